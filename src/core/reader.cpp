// Opening, resolving, reconnecting and closing readers.  A reader's
// connection is opened lazily by the first operation that needs it, filled
// with the initial queries, dropped after any failed call and opened again by
// the next operation.
#include "reader.h"

#include <arpa/inet.h>

#include <cstring>

#include "call.h"
#include "export.h"
#include "host.h"
#include "trace.h"

namespace qd {

namespace {

// Held for the whole of close_reader.
std::mutex close_lock;

ConnectionRef current_connection(reader_record* reader)
{
    std::lock_guard<std::mutex> teardown(client_teardown_lock);
    return reader->client;
}

void attach_connection(reader_record* reader, ConnectionRef connection)
{
    {
        std::lock_guard<std::mutex> teardown(client_teardown_lock);
        reader->client.swap(connection);
    }
    // `connection` now holds what was there before (nothing, in practice);
    // it is let go outside the lock.
}

// The queries run on every new connection; their answers stay in the record.
int initial_queries(const Session& session)
{
    reader_record* reader = session.reader;
    for (int slot = 0; slot < 2; ++slot) {
        Reply<&wire::get_hwid_1> hwid;
        if (!remote(session, "get_hwid", hwid, &slot)) {
            set_errno(READER_ERROR_REMOTE);
            return -1;
        }
        reader->hwids[slot].hwid = hwid.value.hwid;
        reader->hwids[slot].text = hwid.value.text ? hwid.value.text : "";
    }

    Reply<&wire::get_connected_antennas_1> antennas;
    if (!remote(session, "get_connected_antennas", antennas)) {
        set_errno(READER_ERROR_REMOTE);
        return -1;
    }
    reader->antennas = antennas.value;

    Reply<&wire::get_supported_protocols_1> protocols;
    if (!remote(session, "get_supported_protocols", protocols)) {
        set_errno(READER_ERROR_REMOTE);
        return -1;
    }
    reader->protocols = protocols.value;
    return 0;
}

reader_record* reader_of_locked(reader_handle handle)
{
    return static_cast<reader_record*>(slot_object_locked(handle, HANDLE_KIND_READER));
}

}  // namespace

Session resolve(reader_handle handle)
{
    std::lock_guard<std::mutex> table(handle_table_lock);
    reader_record* reader = reader_of_locked(handle);
    if (!reader) {
        set_errno(READER_ERROR_INVALID_ARGUMENTS);
        return {};
    }
    if (ConnectionRef connection = current_connection(reader))
        return Session{reader, std::move(connection)};

    trace("Opening RPC connection to '%s'\n", reader->host_name.c_str());
    ConnectionRef connection = Connection::open(reader->host_name, switched_on(use_tcp));
    if (!connection) {
        set_errno(READER_ERROR_REMOTE);
        return {};
    }
    attach_connection(reader, connection);
    Session session{reader, std::move(connection)};
    if (initial_queries(session) != 0)
        return {};
    return session;
}

void reset_connection(reader_record* reader, const ConnectionRef& failed)
{
    if (!reader)
        return;
    trace("Resetting RPC connection to '%s'\n", reader->host_name.c_str());
    ConnectionRef dropped;
    {
        std::lock_guard<std::mutex> teardown(client_teardown_lock);
        if (!failed || reader->client == failed)
            dropped.swap(reader->client);
    }
}

bool call_failed(const Session& session, clnt_stat status, const std::string& why)
{
    if (status == RPC_SUCCESS)
        return false;
    // One line: the RPC library's description may come without a newline.
    if (!why.empty())
        trace("%s%s", why.c_str(), why.back() == '\n' ? "" : "\n");
    set_errno(READER_ERROR_REMOTE);
    reset_connection(session.reader, session.connection);
    return true;
}

}  // namespace qd

using namespace qd;

extern "C" {

QD_EXPORT reader_handle open_reader(const char* host_name)
{
    if (!host_name) {
        trace("open_reader: hostname is NULL.\n");
        return nullptr;
    }
    std::unique_ptr<reader_record> reader;
    try {
        reader = std::make_unique<reader_record>();
        reader->host_name = host_name;
    } catch (const std::bad_alloc&) {
        trace("open_reader: couldn't allocate reader handle\n");
        return nullptr;
    }
    in_addr address{};
    if (!resolve_ipv4(host_name, address)) {
        trace("open_reader: gethostname(%s) failed.\n", host_name);
        return nullptr;
    }
    const auto first_byte = reinterpret_cast<const unsigned char*>(&address.s_addr)[0];
    reader->remote = first_byte != 127;

    reader_handle handle = allocate_slot(HANDLE_KIND_READER, std::move(reader));
    if (!handle) {
        trace("open_reader: handle_to_reader(%s) failed.\n", host_name);
        return nullptr;
    }
    if (!resolve(handle)) {
        trace("open_reader: handle_to_reader(%s) failed.\n", host_name);
        const int reason = get_errno();
        release_slot(handle);
        set_errno(reason);
        return nullptr;
    }
    return handle;
}

QD_EXPORT reader_record* handle_to_reader(reader_handle handle)
{
    return resolve(handle).reader;
}

QD_EXPORT reader_handle reconnect_reader(reader_handle handle)
{
    return handle_to_reader(handle) ? handle : nullptr;
}

QD_EXPORT int close_reader(reader_handle handle)
{
    // A reader that is not connected is closed as it is: connecting it only
    // to close it would fail for an unreachable reader and leave its handle
    // allocated for good.
    std::lock_guard<std::mutex> closing(close_lock);
    ConnectionRef dropped;   // its client goes with the last call using it
    {
        std::lock_guard<std::mutex> table(handle_table_lock);
        reader_record* reader = reader_of_locked(handle);
        if (!reader) {
            set_errno(READER_ERROR_INVALID_ARGUMENTS);
            return 0;
        }
        trace("Shutting down RPC connection to '%s'\n", reader->host_name.c_str());
        std::lock_guard<std::mutex> teardown(client_teardown_lock);
        dropped.swap(reader->client);
    }
    release_slot(handle);
    return 0;
}

}  // extern "C"
