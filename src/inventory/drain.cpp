// Emptying the reader's tag database with a window of tagdb_pop calls in
// flight on the reader's connection (deadline_client_pipeline), and the
// window itself.
//
// The reader hands its tags out in the order the calls reach it, and the
// calls go out in index order: delivering the answers in index order, as
// they complete, keeps the reader's order whatever order the replies take.
#include <deque>
#include <optional>
#include <string>

#include "frame.h"
#include "guard.h"
#include "handles.h"
#include "tag_copy.h"

using namespace qd;

namespace {

using Pop = wire::procedure<&wire::tagdb_pop_1>;

constexpr int max_window = 256;
constexpr int udp_default_window = 8;
constexpr int tcp_default_window = 32;

// A connection found dropped by another thread's failed call is replaced this
// many times before the drain gives up (as a single call would).
constexpr int connection_rounds = 3;

// guarded() for these exports, with or without the operation's name: the
// guard is gaining one while this file is written.
template <class Body>
int guard(const char* name, Body&& body)
{
    if constexpr (requires { qd::guarded(name, -1, body); })
        return qd::guarded(name, -1, body);
    else
        return qd::guarded(-1, body);
}

int default_window(bool tcp) { return tcp ? tcp_default_window : udp_default_window; }

ReaderRef reader_of(reader_handle handle)
{
    return std::static_pointer_cast<ReaderObject>(slot_object(handle, HANDLE_KIND_READER));
}

// The caller's array as the calls fill it.  Calls are numbered from 0 in the
// order they go out; answers wait in `pending_` until every earlier call is
// settled, then go to the array in that order.
template <class Out, void (*Convert)(const wire::tag_record&, Out&)>
class Drain final : public PipelineSink {
public:
    Drain(Out* records, int capacity, reader_handle handle, const ReaderObject* reader)
        : records_(records), capacity_(static_cast<std::size_t>(capacity)), handle_(handle), reader_(reader)
    {
    }
    Drain(const Drain&) = delete;
    Drain& operator=(const Drain&) = delete;
    ~Drain()
    {
        for (auto& p : pending_)
            xdr_free(Pop::result_xdr(), reinterpret_cast<char*>(&p.value));
    }

    // Never more calls than tags the array can still take: each call may
    // take a tag out of the reader.
    bool next(std::size_t index) override
    {
        if (stop_ || index >= capacity_)
            return false;
        pending_.emplace_back();
        return true;
    }

    void* result(std::size_t index) override { return &pending_.at(index - base_).value; }

    void settled(std::size_t index, clnt_stat status) override
    {
        Pending& p = pending_.at(index - base_);
        p.done = true;
        p.status = status;
        // No tag, or no knowing: nothing more is asked for.  The calls
        // already out still bring what they bring.
        if (status != RPC_SUCCESS) {
            ++lost_;
            stop_ = true;
        } else if (p.value.status != 1) {
            stop_ = true;
        }
        while (!pending_.empty() && pending_.front().done) {
            Pending& front = pending_.front();
            if (front.status == RPC_SUCCESS && front.value.status == 1)
                Convert(front.value, records_[written_++]);
            xdr_free(Pop::result_xdr(), reinterpret_cast<char*>(&front.value));
            pending_.pop_front();
            ++base_;
        }
    }

    // close_reader frees the handle's slot: the handle no longer names
    // this reader.
    bool cancelled() override { return reader_of(handle_).get() != reader_; }

    int written() const { return static_cast<int>(written_); }
    int lost() const { return static_cast<int>(lost_); }

private:
    struct Pending {
        wire::tag_record value{};
        clnt_stat status = RPC_SUCCESS;
        bool done = false;
    };

    Out* records_;
    std::size_t capacity_;
    reader_handle handle_;
    const ReaderObject* reader_;
    std::deque<Pending> pending_;
    std::size_t base_ = 0;      // the call of pending_.front()
    std::size_t written_ = 0;
    std::size_t lost_ = 0;
    bool stop_ = false;
};

template <class Out, void (*Convert)(const wire::tag_record&, Out&)>
int drain(reader_handle handle, Out* records, int capacity, int* unanswered)
{
    if (unanswered)
        *unanswered = 0;
    if (!records || capacity < 0) {
        set_errno(READER_ERROR_INVALID_ARGUMENTS);
        return -1;
    }
    Session session = resolve(handle);
    if (!session)
        return -1;
    if (capacity == 0) {
        set_errno(READER_SUCCESSFUL);
        return 0;
    }

    Drain<Out, Convert> sink(records, capacity, handle, session.reader.get());
    std::optional<PipelineOutcome> outcome;
    std::string why;
    bool out_of_memory = false;
    for (int round = 0; !outcome; ++round) {
        if (sink.cancelled()) {
            set_errno(READER_ERROR_INVALID_ARGUMENTS);
            return -1;
        }
        if (round == connection_rounds) {
            set_errno(READER_ERROR_REMOTE);
            return -1;
        }
        if (session.connection->dropped() && !reconnect(session))
            return -1;
        const ConnectionRef& connection = session.connection;
        const int set = session.reader->window.load(std::memory_order_relaxed);
        PipelineCalls calls;
        calls.procedure = static_cast<rpcproc_t>(Pop::number);
        calls.encode = Pop::arg_xdr();
        calls.decode = Pop::result_xdr();
        calls.window = static_cast<std::size_t>(set > 0 ? set : default_window(connection->tcp()));
        calls.timeout = Connection::call_timeout;
        trace("Draining the tag database: %zu calls in flight\n", calls.window);
        outcome = connection->exclusive([&](CLIENT* client) -> std::optional<PipelineOutcome> {
            // Dropped while this thread waited for it: through a new one.
            if (connection->dropped())
                return std::nullopt;
            PipelineOutcome o = deadline_client_pipeline(client, calls, sink);
            out_of_memory = deadline_client_out_of_memory(client);
            if (o.failure != RPC_SUCCESS && tracing())
                why = rpc_failure_text(client, "RPC call to tagdb_pop failed");
            return o;
        });
    }

    if (unanswered)
        *unanswered = sink.lost();
    if (outcome->cancelled) {
        set_errno(READER_ERROR_INVALID_ARGUMENTS);
        return sink.written();
    }
    if (out_of_memory) {
        reset_connection(*session.reader, session.connection);
        set_errno(READER_ERROR_API_ALLOC);
        return sink.written();
    }
    if (call_failed(*session.reader, session.connection, outcome->failure, why, Policy::check))
        return sink.written();
    // As after a single call: late answers to a repeated request go with
    // the connection's socket.
    if (outcome->resent)
        reset_connection(*session.reader, session.connection);
    set_errno(READER_SUCCESSFUL);
    return sink.written();
}

}  // namespace

extern "C" {

int tagdb_pop_many(reader_handle handle, popped_tag_record* records, int capacity, int* unanswered)
{
    return guard("tagdb_pop_many", [&] { return drain<popped_tag_record, copy_popped>(handle, records, capacity, unanswered); });
}

int tagdb_consume_many(reader_handle handle, tag_record* records, int capacity, int* unanswered)
{
    return guard("tagdb_consume_many", [&] { return drain<tag_record, copy_consumed>(handle, records, capacity, unanswered); });
}

int set_pipeline_window(reader_handle handle, int window)
{
    return guard("set_pipeline_window", [&] {
        const ReaderRef reader = reader_of(handle);
        if (!reader || window < 1 || window > max_window) {
            set_errno(READER_ERROR_INVALID_ARGUMENTS);
            return -1;
        }
        reader->window.store(window, std::memory_order_relaxed);
        return 0;
    });
}

int get_pipeline_window(reader_handle handle)
{
    return guard("get_pipeline_window", [&] {
        const ReaderRef reader = reader_of(handle);
        if (!reader) {
            set_errno(READER_ERROR_INVALID_ARGUMENTS);
            return -1;
        }
        if (const int set = reader->window.load(std::memory_order_relaxed); set > 0)
            return set;
        // Not connected: the transport the next connection will use.
        const ConnectionRef connection = reader->current();
        return default_window(connection ? connection->tcp() : reader->next_connection_tcp());
    });
}

}  // extern "C"
