// The remote call frame: one call of one procedure through a session's
// connection, into storage of the call's own, with the failure check that
// drops a broken connection.
//
//   qd::Reply<&wire::tagdb_pop_1> reply;
//   if (!qd::remote(session, "tagdb_pop", reply))
//       return -1;            // reader_errno is -102, the reader reconnects
//   use(reply.value);         // released when `reply` goes
#pragma once

#include <string>
#include <type_traits>

#include "procedure_traits.h"
#include "reader.h"

namespace qd {

// A procedure's answer, zeroed before the call; whatever the RPC library
// allocated while decoding it is released with it.
template <auto Entry>
class Reply {
public:
    using procedure = wire::procedure<Entry>;
    using value_type = wire::result_storage<typename procedure::result_type>;

    Reply() = default;
    ~Reply() { xdr_free(procedure::result_xdr(), reinterpret_cast<char*>(&value)); }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;

    value_type value{};
};

// The failure check: for a failed call, traces the RPC library's
// description, sets reader_errno to -102 and resets the reader's connection.
// Returns true when the call failed.
bool call_failed(const Session& session, clnt_stat status, const std::string& why);

// Calls the procedure of `Entry`; true on success.
template <auto Entry>
bool remote(const Session& session, const char* name, Reply<Entry>& reply,
            typename wire::procedure<Entry>::arg_type* argument = nullptr)
{
    Connection::Outcome outcome;
    const clnt_stat status = session.connection->call(
        [&](CLIENT* client) { return Entry(argument, &reply.value, client); }, name, outcome);
    if (call_failed(session, status, outcome.why))
        return false;
    // A UDP request that went out more than once may be answered again
    // late, and the RPC library meets a stale answer by sending its current
    // request again: every later call on the connection would be carried out
    // twice.  The connection is dropped instead; its socket takes the late
    // answers with it and the next operation reconnects.
    if (outcome.repeated)
        reset_connection(session.reader, session.connection);
    return true;
}

// A caller's structure seen as the wire record that it is laid out as (the
// tests prove the layouts equal), to be handed to a client entry unchanged.
template <class Wire, class Public>
Wire* as_wire(Public* record)
{
    static_assert(sizeof(Wire) == sizeof(Public) && alignof(Wire) == alignof(Public));
    return reinterpret_cast<Wire*>(const_cast<std::remove_const_t<Public>*>(record));
}

}  // namespace qd
