// The remote call frame.  An exported remote operation is a descriptor (an
// Operation: failure-check name, call trace, failure value, failure policy,
// reader_errno rule) and a copy-out; the frame that resolves the handle,
// traces, calls, checks, copies and sets reader_errno is written once, here.
//
//   constexpr Operation<&wire::tags_available_1, int> tags_available_op{
//       .check = "tags_available", .trace = "Calling tags_available\n",
//       .failure = -1, .on_success = OnSuccess::clear};
//
//   int tags_available(reader_handle handle, int value)
//   {
//       return perform(tags_available_op, handle, value, answer);
//   }
//
// An operation that checks its caller's arguments between resolving the
// handle and calling uses the two halves (Frame's constructor and run()).
#pragma once

#include <concepts>
#include <mutex>
#include <new>
#include <optional>
#include <type_traits>

#include "call_deadline.h"
#include "layout.h"
#include "procedure_traits.h"
#include "reader.h"
#include "trace.h"

namespace qd {

// What a failed call does besides returning the operation's failure value.
enum class Policy {
    check,       // trace the RPC library's description, reader_errno -102,
                 // drop the connection: the next operation reconnects
    privileged,  // nothing: no message, reader_errno untouched, connection kept
    none,        // the operation has no failure check: nothing at all
};

// What a successful call does to reader_errno.
enum class OnSuccess {
    keep,    // leaves it as it was
    clear,   // sets it to 0
    status,  // stores the reader's status (Operation::status)
};

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

template <auto Entry>
using answer_t = typename Reply<Entry>::value_type;

template <auto Entry>
using argument_t = typename wire::procedure<Entry>::arg_type;

template <auto Entry>
concept takes_argument = !std::is_void_v<argument_t<Entry>>;

// What is particular to one exported remote operation on one procedure.
template <auto Entry, class Result>
struct Operation {
    const char* check;                  // the failure check's name for the call
    const char* trace = nullptr;        // traced before the call
    Result failure{};                   // for a failed call (and a bad handle)
    std::optional<Result> unresolved{}; // for a bad handle, where it differs
    OnSuccess on_success = OnSuccess::keep;
    Policy policy = Policy::check;
    // The reader's status in an answer, for OnSuccess::status; nullopt
    // leaves reader_errno as it was.
    std::optional<int> (*status)(const answer_t<Entry>&) = nullptr;
};

// The failure check and the policies that replace it: true when the call
// failed.
bool call_failed(ReaderObject& reader, const ConnectionRef& connection, clnt_stat status,
                 const std::string& why, Policy policy);

// How a call through the frame ended.
enum class Called {
    ok,
    failed,   // the policy's failure (reader_errno -102 under Policy::check)
    closed,   // the reader was closed: nothing was sent
    stale,    // the connection was dropped while the call waited for it
};

// A failure's description for an operation that reports it itself: the RPC
// library's text after `prefix`.
struct Description {
    const char* prefix;
    std::string text;
};

// Calls the procedure of `Entry` through `connection`.
template <auto Entry>
Called call_on(ReaderObject& reader, const ConnectionRef& connection, const char* name, Reply<Entry>& reply,
               argument_t<Entry>* argument, Policy policy = Policy::check, Description* why = nullptr)
{
    Connection::Outcome outcome;
    if (why)
        outcome.prefix = why->prefix;
    const clnt_stat status = connection->call(
        [&](CLIENT* client) { return Entry(argument, &reply.value, client); }, name, outcome);
    if (outcome.stale)
        return Called::stale;
    if (why)
        why->text = outcome.why;
    if (call_failed(reader, connection, status, outcome.why, policy))
        return Called::failed;
    // A UDP request that went out more than once may be answered again
    // late, and the RPC library meets a stale answer by sending its current
    // request again: every later call on the connection would be carried out
    // twice.  The connection is dropped instead; its socket takes the late
    // answers with it, and the operation's next call goes through a new one.
    if (outcome.repeated)
        reset_connection(reader, connection);
    return Called::ok;
}

// Calls the procedure of `Entry` for the session's operation, through a new
// connection if its own was dropped since.  The one way an operation calls
// its reader: a closed reader is never called (nor connected again), and a
// call that waited behind a failed one goes through a new connection.
template <auto Entry>
Called remote(Session& session, const char* name, Reply<Entry>& reply, argument_t<Entry>* argument,
              Policy policy = Policy::check, Description* why = nullptr)
{
    // A round that finds its connection dropped by another thread's failed
    // call (while this one waited for it) goes on through a new one; the
    // reconnection and the call made then end by the time this call would
    // have, so a caller queued behind a dead reader waits one time-out, not
    // one each in turn.
    const auto started = DeadlineClock::now();
    std::optional<DeadlineCap> cap;
    for (;;) {
        if (session.reader->is_closed())
            return Called::closed;
        if (session.connection->dropped() && !reconnect(session))
            return session.reader->is_closed() ? Called::closed : Called::failed;
        const Called called = call_on(*session.reader, session.connection, name, reply, argument, policy, why);
        if (called != Called::stale)
            return called;
        if (!cap)
            cap.emplace(started + Connection::call_timeout);
        // Its time is up: failed without a call, which would end at once
        // and take a connection that may be sound with it.
        if (DeadlineClock::now() >= capped_deadline(DeadlineClock::time_point::max())) {
            if (policy == Policy::check)
                set_errno(READER_ERROR_REMOTE);
            return Called::failed;
        }
    }
}

// One run of the frame for one operation.
template <auto Entry, class Result>
class Frame {
public:
    using Op = Operation<Entry, Result>;

    // Resolves the handle (connecting the reader if needed).
    Frame(const Op& op, reader_handle handle) : op_(op), session_(resolve(handle)) {}

    // False when the handle did not resolve; reader_errno says why.
    explicit operator bool() const { return static_cast<bool>(session_); }

    // The failure value for a handle that did not resolve or a missing
    // argument (reader_errno untouched).
    Result failure() const { return op_.unresolved.value_or(op_.failure); }

    // The failure value, with reader_errno set to `code` (an argument refused
    // after the handle resolved).
    Result refuse(int code)
    {
        set_errno(code);
        return op_.failure;
    }

    Session& session() { return session_; }

    // Calls, checks, copies the answer out with `copy(const answer&)` and
    // applies the reader_errno rule.
    template <class Copy>
    Result run(Copy&& copy)
        requires(!takes_argument<Entry>)
    {
        return run_with(nullptr, copy);
    }

    // The argument, of exactly the procedure's argument type, is sent as it
    // is: a procedure that takes one cannot be called without it.
    template <class Arg, class Copy>
    Result run(const Arg& argument, Copy&& copy)
        requires takes_argument<Entry> && std::same_as<Arg, argument_t<Entry>>
    {
        // The client entries take a non-const pointer but only encode from it.
        return run_with(const_cast<Arg*>(&argument), copy);
    }

private:
    template <class Copy>
    Result run_with(argument_t<Entry>* argument, Copy& copy)
    {
        if (op_.trace)
            trace("%s", op_.trace);
        Reply<Entry> reply;
        // Memory that runs out in the library's own hands (the call's
        // buffers, the copy-out) fails the operation with -120; the reply's
        // decoding is the RPC library's, and its failure a failed call.
        std::optional<Result> copied;
        try {
            switch (remote(session_, op_.check, reply, argument, op_.policy)) {
            case Called::ok:
                break;
            case Called::closed:
                // Closed under the operation: as for a handle that no longer
                // resolves.
                if (op_.policy != Policy::privileged)
                    set_errno(READER_ERROR_INVALID_ARGUMENTS);
                return failure();
            default:
                return op_.failure;
            }
            copied.emplace(copy(reply.value));
        } catch (const std::bad_alloc&) {
            set_errno(READER_ERROR_API_ALLOC);
            return op_.failure;
        }
        const answer_t<Entry>& value = reply.value;
        Result result = std::move(*copied);
        switch (op_.on_success) {
        case OnSuccess::keep:
            break;
        case OnSuccess::clear:
            set_errno(READER_SUCCESSFUL);
            break;
        case OnSuccess::status:
            if (const auto code = op_.status(value))
                set_errno(*code);
            break;
        }
        return result;
    }

    const Op& op_;
    Session session_;
};

template <auto Entry, class Result>
Frame(const Operation<Entry, Result>&, reader_handle) -> Frame<Entry, Result>;

// The whole frame, for an operation that checks nothing of its own between
// resolving the handle and calling.
template <auto Entry, class Result, class Copy>
Result perform(const Operation<Entry, Result>& op, reader_handle handle, Copy&& copy)
    requires(!takes_argument<Entry>)
{
    Frame<Entry, Result> frame(op, handle);
    return frame ? frame.run(copy) : frame.failure();
}

template <auto Entry, class Result, class Arg, class Copy>
Result perform(const Operation<Entry, Result>& op, reader_handle handle, const Arg& argument, Copy&& copy)
    requires takes_argument<Entry> && std::same_as<Arg, argument_t<Entry>>
{
    Frame<Entry, Result> frame(op, handle);
    return frame ? frame.run(argument, copy) : frame.failure();
}

// Copy-outs that many operations share.
inline constexpr auto answer = [](const auto& value) { return value; };   // widened as its type says
inline constexpr auto nothing = [](const auto&) { return 0; };           // the answer is not used

}  // namespace qd
