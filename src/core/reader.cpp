// Opening, resolving, reconnecting and closing readers.  A reader's
// connection is opened lazily by the first operation that needs it, filled
// with the initial queries, dropped after any failed call and opened again by
// the next operation.
//
// Locks: the handle-table lock only guards the table.  A connection is
// opened under the reader's own `connecting` lock, so a reader that does not
// answer holds up the threads working on that reader and no others.
#include "reader.h"
#include "guard.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "frame.h"
#include "host.h"
#include "last_error.h"
#include "trace.h"

namespace qd {

ReaderObject::ReaderObject(std::string_view host, ReaderTransport transport)
    : host_(copy_text(host)), transport_(transport)
{
    record.host_name = host_.get();
}

bool ReaderObject::next_connection_tcp() const
{
    switch (transport_) {
    case ReaderTransport::udp: return false;
    case ReaderTransport::tcp: return true;
    case ReaderTransport::by_switch: break;
    }
    return switched_on(use_tcp);
}

std::unique_ptr<char[]> ReaderObject::copy_text(std::string_view text)
{
    auto copy = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(copy.get(), text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

ConnectionRef ReaderObject::current() const
{
    std::lock_guard<std::mutex> teardown(client_teardown_lock);
    return connection_;
}

void ReaderObject::attach(ConnectionRef connection)
{
    {
        std::lock_guard<std::mutex> teardown(client_teardown_lock);
        connection_.swap(connection);
        record.client = connection_ ? connection_->client() : nullptr;
    }
    // `connection` now holds what was there before; let go outside the lock.
}

ConnectionRef ReaderObject::detach(const ConnectionRef& failed)
{
    ConnectionRef dropped;
    std::lock_guard<std::mutex> teardown(client_teardown_lock);
    if (failed)
        failed->mark_dropped();
    if (!failed || connection_ == failed) {
        dropped.swap(connection_);
        record.client = nullptr;
        if (dropped)
            dropped->mark_dropped();
    }
    return dropped;
}

void ReaderObject::store_hwid(int slot, uint32_t hwid, const char* text)
{
    reader_hwid& entry = record.hwids[slot];
    entry.hwid = hwid;
    const std::string_view value = text ? text : "";
    if (entry.text && value == entry.text)
        return;
    hwid_texts_.push_back(copy_text(value));
    entry.text = hwid_texts_.back().get();
}

const char* ReaderObject::replace_text(Text which, std::string_view value)
{
    char* reader_record::*const fields[] = {&reader_record::firmware_version, &reader_record::os_version,
                                            &reader_record::settings_text};
    char* reader_record::*const field = fields[static_cast<int>(which)];
    return texts_[static_cast<int>(which)].replace(copy_text(value), [&](const std::unique_ptr<char[]>& kept) {
        record.*field = kept.get();
        return kept.get();
    });
}

bool ReaderObject::add_auto_search(std::shared_ptr<AutoSearchObject> search)
{
    if (closed_)
        return false;
    search->record.next = record.auto_searches;
    auto_searches_.insert(auto_searches_.begin(), std::move(search));
    record.auto_searches = &auto_searches_.front()->record;
    return true;
}

std::vector<std::shared_ptr<AutoSearchObject>> ReaderObject::close_auto_searches()
{
    closed_ = true;
    record.auto_searches = nullptr;
    for (const auto& search : auto_searches_)
        search->released = true;
    return std::exchange(auto_searches_, {});
}

namespace {

// A reader whose UDP answers keep coming after the retransmission interval
// loses every connection under its initial queries; give up after this many.
constexpr int connection_attempts = 3;

ReaderRef reader_of(reader_handle handle)
{
    return std::static_pointer_cast<ReaderObject>(slot_object(handle, HANDLE_KIND_READER));
}

// The queries run on every new connection; their answers stay in the record.
int initial_queries(ReaderObject& reader, const ConnectionRef& connection)
{
    for (int slot = 0; slot < 2; ++slot) {
        Reply<&wire::get_hwid_1> hwid;
        if (call_on(reader, connection, "get_hwid", hwid, &slot) != Called::ok) {
            set_errno(READER_ERROR_REMOTE);
            return -1;
        }
        std::lock_guard<std::mutex> copies(reader.copies);
        reader.store_hwid(slot, hwid.value.hwid, hwid.value.text);
    }

    Reply<&wire::get_connected_antennas_1> antennas;
    if (call_on(reader, connection, "get_connected_antennas", antennas, nullptr) != Called::ok) {
        set_errno(READER_ERROR_REMOTE);
        return -1;
    }
    {
        std::lock_guard<std::mutex> copies(reader.copies);
        as_wire<wire::antenna_list>(reader.record.antennas) = antennas.value;
    }

    Reply<&wire::get_supported_protocols_1> protocols;
    if (call_on(reader, connection, "get_supported_protocols", protocols, nullptr) != Called::ok) {
        set_errno(READER_ERROR_REMOTE);
        return -1;
    }
    std::lock_guard<std::mutex> copies(reader.copies);
    as_wire<wire::protocol_list>(reader.record.protocols) = protocols.value;
    return 0;
}

// The reader's current connection, or a new one with its initial queries
// answered.  The connection becomes the reader's only once they are, so no
// other thread calls through it before.
Session connect(ReaderRef reader)
{
    const unsigned failed_before = reader->failed_connects.load();
    std::lock_guard<std::mutex> serial(reader->connecting);
    for (int attempt = 0; attempt < connection_attempts; ++attempt) {
        if (reader->is_closed()) {
            set_errno(READER_ERROR_INVALID_ARGUMENTS);
            return {};
        }
        if (ConnectionRef connection = reader->current()) {
            if (!connection->dropped())
                return Session{std::move(reader), std::move(connection)};
            // Dropped by a failed call whose thread has not let go of it yet.
            static_cast<void>(reader->detach(connection));
        }
        // Another thread's attempt failed while this one waited for it: the
        // reader did not answer just now, and asking again would keep every
        // queued caller waiting a time-out of its own in turn.
        if (reader->failed_connects.load() != failed_before) {
            set_errno(READER_ERROR_REMOTE);
            return {};
        }

        trace("Opening RPC connection to '%s'\n", reader->host());
        // Memory that runs out while connecting fails the resolution with
        // -120; the connection made so far goes with `connection`.
        try {
            bool out_of_memory = false;
            ConnectionRef connection = Connection::open(reader->host(), reader->next_connection_tcp(), &out_of_memory);
            if (!connection) {
                ++reader->failed_connects;
                set_errno(out_of_memory ? READER_ERROR_API_ALLOC : READER_ERROR_REMOTE);
                return {};
            }
            if (initial_queries(*reader, connection) != 0) {
                ++reader->failed_connects;
                return {};
            }
            // A query repeated over UDP dropped the connection: its answers
            // stand, but nothing more may go through it.
            if (!connection->dropped())
                reader->attach(connection);
        } catch (const std::bad_alloc&) {
            set_errno(READER_ERROR_API_ALLOC);
            return {};
        }
    }
    set_errno(READER_ERROR_REMOTE);
    return {};
}

}  // namespace

Session resolve(reader_handle handle)
{
    ReaderRef reader = reader_of(handle);
    if (!reader) {
        set_errno(READER_ERROR_INVALID_ARGUMENTS);
        return {};
    }
    note_host(reader->host());
    if (ConnectionRef connection = reader->current(); connection && !connection->dropped())
        return Session{std::move(reader), std::move(connection)};
    return connect(std::move(reader));
}

AutoSearchRef resolve_auto_search(reader_handle handle)
{
    AutoSearchRef ref;
    ref.search = std::static_pointer_cast<AutoSearchObject>(slot_object(handle, HANDLE_KIND_AUTO_SEARCH));
    // `reader` is set before the slot is allocated and never changes.
    if (ref.search)
        ref.reader = ref.search->reader.lock();
    if (!ref.reader) {
        set_errno(READER_ERROR_INVALID_ARGUMENTS);
        return {};
    }
    return ref;
}

bool reconnect(Session& session)
{
    Session fresh = connect(session.reader);
    if (!fresh)
        return false;
    session = std::move(fresh);
    return true;
}

bool refresh_record(Session& session)
{
    if (session.reader->is_closed()) {
        set_errno(READER_ERROR_INVALID_ARGUMENTS);
        return false;
    }
    if (session.connection->dropped() && !reconnect(session))
        return false;
    // As while connecting: a thread that finds the reader without a
    // connection meanwhile waits, and close_reader waits for the queries.
    std::lock_guard<std::mutex> serial(session.reader->connecting);
    try {
        return initial_queries(*session.reader, session.connection) == 0;
    } catch (const std::bad_alloc&) {
        set_errno(READER_ERROR_API_ALLOC);
        return false;
    }
}

void reset_connection(ReaderObject& reader, const ConnectionRef& failed)
{
    trace("Resetting RPC connection to '%s'\n", reader.host());
    ConnectionRef dropped = reader.detach(failed);
}

bool call_failed(ReaderObject& reader, const ConnectionRef& connection, clnt_stat status,
                 const std::string& why, Policy policy)
{
    if (status == RPC_SUCCESS)
        return false;
    if (policy != Policy::check) {
        // A reply that never came, or came broken, may leave a TCP stream out
        // of step: every later call on it would wait out its time-out.  The
        // connection goes under every policy, without a word where the
        // operation's policy keeps quiet.
        if (connection->dropped())
            static_cast<void>(reader.detach(connection));
        return true;
    }
    // One line: the RPC library's description may come without a newline.
    if (!why.empty())
        trace("%s%s", why.c_str(), why.back() == '\n' ? "" : "\n");
    set_errno(READER_ERROR_REMOTE);
    reset_connection(reader, connection);
    return true;
}

}  // namespace qd

using namespace qd;

namespace {

// open_reader and open_reader_over: `name` is the operation, for the trace.
reader_handle open_reader_with(const char* name, const char* host_name, ReaderTransport transport)
{
    if (!host_name) {
        trace("%s: hostname is NULL.\n", name);
        note_failure(READER_ERROR_INVALID_ARGUMENTS, "no host name");
        return nullptr;
    }
    note_host(host_name);
    ReaderRef reader;
    try {
        reader = std::make_shared<ReaderObject>(host_name, transport);
    } catch (const std::bad_alloc&) {
        trace("%s: couldn't allocate reader handle\n", name);
        set_errno(READER_ERROR_API_ALLOC);
        return nullptr;
    }
    in_addr address{};
    bool resolved = false;
    bool out_of_memory = false;
    try {
        resolved = resolve_ipv4(host_name, address);
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
        set_errno(READER_ERROR_API_ALLOC);
    }
    if (!resolved) {
        trace("%s: gethostname(%s) failed.\n", name, host_name);
        // reader_errno stays as it was; the thread's last error says why.
        if (!out_of_memory) {
            char what[320];
            std::snprintf(what, sizeof what, "%.255s: the host name does not resolve", host_name);
            note_failure(READER_ERROR_INVALID_ARGUMENTS, what);
        }
        return nullptr;
    }
    const auto first_byte = reinterpret_cast<const unsigned char*>(&address.s_addr)[0];
    reader->record.remote = first_byte != 127;

    reader_handle handle = allocate_slot(HANDLE_KIND_READER, reader);
    if (!handle) {
        trace("%s: handle_to_reader(%s) failed.\n", name, host_name);
        return nullptr;
    }
    if (!connect(reader)) {
        trace("%s: handle_to_reader(%s) failed.\n", name, host_name);
        const int reason = get_errno();
        release_slot_of(handle, reader.get());
        set_errno(reason);
        return nullptr;
    }
    return handle;
}

}  // namespace

extern "C" {

reader_handle open_reader(const char* host_name)
{
    return qd::guarded<reader_handle>("open_reader", nullptr, [&]() -> reader_handle {
        return open_reader_with("open_reader", host_name, ReaderTransport::by_switch);
    });
}

reader_handle open_reader_over(const char* host_name, int transport)
{
    return qd::guarded<reader_handle>("open_reader_over", nullptr, [&]() -> reader_handle {
        ReaderTransport pinned = ReaderTransport::by_switch;
        if (transport == QDAPI_TRANSPORT_UDP) {
            pinned = ReaderTransport::udp;
        } else if (transport == QDAPI_TRANSPORT_TCP) {
            pinned = ReaderTransport::tcp;
        } else {
            trace("open_reader_over: transport %d is neither UDP nor TCP.\n", transport);
            char what[96];
            std::snprintf(what, sizeof what, "transport %d is neither UDP (%d) nor TCP (%d)", transport,
                          QDAPI_TRANSPORT_UDP, QDAPI_TRANSPORT_TCP);
            set_errno(READER_ERROR_INVALID_ARGUMENTS);
            note_failure(READER_ERROR_INVALID_ARGUMENTS, what);
            return nullptr;
        }
        return open_reader_with("open_reader_over", host_name, pinned);
    });
}

reader_record* handle_to_reader(reader_handle handle)
{
    return qd::guarded<reader_record *>("handle_to_reader", nullptr, [&]() -> reader_record * {
        const Session session = resolve(handle);
        return session ? &session.reader->record : nullptr;
    });
}

reader_handle reconnect_reader(reader_handle handle)
{
    return qd::guarded<reader_handle>("reconnect_reader", nullptr, [&]() -> reader_handle {
        return handle_to_reader(handle) ? handle : nullptr;
    });
}

int close_reader(reader_handle handle)
{
    return qd::guarded<int>("close_reader", 0, [&]() -> int {
        // A reader that is not connected is closed as it is: connecting it only
        // to close it would fail for an unreachable reader and leave its handle
        // allocated for good.
        ReaderRef reader = reader_of(handle);
        if (!reader) {
            set_errno(READER_ERROR_INVALID_ARGUMENTS);
            return 0;
        }
        // From here on no operation connects it again; one in flight ends at
        // its next call.
        reader->mark_closed();
        // Its automatic searches go first, together with their slots: their
        // handles give -100 from now on and the slots are free again.  An
        // operation on them in progress (a start by the timer included) is
        // waited for.
        std::vector<std::shared_ptr<AutoSearchObject>> searches;
        {
            std::lock_guard<std::mutex> serial(reader->auto_serial);
            {
                std::lock_guard<std::mutex> list(reader->auto_list);
                searches = reader->close_auto_searches();
            }
            for (const auto& search : searches)
                release_slot_of(search->handle, search.get());
        }
        ConnectionRef dropped;   // its client goes with the last call using it
        {
            // A connection being opened is waited for, then shut down.
            std::lock_guard<std::mutex> serial(reader->connecting);
            trace("Shutting down RPC connection to '%s'\n", reader->host());
            dropped = reader->detach(nullptr);
        }
        release_slot_of(handle, reader.get());
        return 0;
    });
}

}  // extern "C"
