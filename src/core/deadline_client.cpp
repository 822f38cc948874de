#include "deadline_client.h"
#include "call_deadline.h"

#include <fcntl.h>
#include <linux/errqueue.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <rpc/pmap_prot.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <random>
#include <type_traits>
#include <vector>

namespace qd {

namespace {

using Clock = std::chrono::steady_clock;

// Buffer sizes of the RPC library's own clients, so that what fits in one of
// their datagrams or record fragments fits in ours: a UDP message of up to
// 8800 bytes each way, TCP record fragments of up to 64 KiB less the mark.
constexpr std::size_t udp_message_size = UDPMSGSIZE;
constexpr u_int tcp_buffer_size = 64 * 1024;
constexpr std::size_t tcp_fragment_size = tcp_buffer_size - 4;
constexpr uint32_t last_fragment = 0x80000000u;
// Requests a pipelined UDP run sends at once before any reply came back.
constexpr std::size_t initial_udp_burst = 16;
// The port mapper's retransmission interval in the RPC library.
constexpr std::chrono::seconds port_mapper_retry{5};
// The call header before the argument: transaction id, direction, RPC
// version, program, version, procedure, then credentials and verifier.
constexpr std::size_t call_header_size = 6 * 4 + 2 * (8 + MAX_AUTH_BYTES);

// Transaction ids: one sequence for the process, started at random, so that
// a reader's duplicate-request cache never takes a new client's call for an
// old client's that happened to come from the same port.
std::atomic<uint32_t> xid_sequence{[] {
    std::random_device seed;
    return static_cast<uint32_t>(seed());
}()};

int milliseconds_until(Clock::time_point when)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
    if (left <= 0)
        return 0;
    return left > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : static_cast<int>(left);
}

Clock::duration duration_of(const timeval& tv)
{
    if (tv.tv_sec < 0 || tv.tv_usec < 0)
        return Clock::duration::zero();
    return std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec);
}

bool same_peer(const sockaddr_in& a, const sockaddr_in& b)
{
    return a.sin_family == b.sin_family && a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

template <class F>
xdrproc_t filter(F* f)
{
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(f));
}

using Operations = std::remove_pointer_t<decltype(CLIENT::cl_ops)>;

// Frees what decoding a reply's verifier allocated.  Only an accepted reply
// has one: a denied reply's fields share its memory.  A header that failed
// to decode may hold any number in its status, so it is read as a number.
void free_verifier(rpc_msg& reply)
{
    std::int32_t status;
    static_assert(sizeof status == sizeof reply.rm_reply.rp_stat);
    std::memcpy(&status, &reply.rm_reply.rp_stat, sizeof status);
    if (status != MSG_ACCEPTED)
        return;
    opaque_auth& verifier = reply.acpted_rply.ar_verf;
    if (verifier.oa_base) {
        XDR x{};
        x.x_op = XDR_FREE;
        xdr_opaque_auth(&x, &verifier);
        verifier.oa_base = nullptr;
    }
}

// Where a stream of records stands: in a record mark (the bytes of it read
// so far) or in a fragment (the bytes still to come, and whether the
// fragment ends its record).  At a boundary, the next byte starts a record.
struct Framing {
    uint32_t left = 0;
    bool last = true;
    unsigned mark_have = 0;
    unsigned char mark[4]{};

    bool at_boundary() const { return left == 0 && last && mark_have == 0; }

    // Moves past `n` bytes.  `fragment(bytes, count)` sees the bytes of
    // fragments, `marked(length)` each new fragment's length, `ended(end)`
    // the end of each record (`end` just past it); a false from `marked`
    // stops at once (false).
    template <class Fragment, class Marked, class Ended>
    bool advance(const char* p, std::size_t n, Fragment&& fragment, Marked&& marked, Ended&& ended)
    {
        while (n > 0) {
            if (left == 0) {
                const std::size_t take = std::min<std::size_t>(4 - mark_have, n);
                std::memcpy(mark + mark_have, p, take);
                mark_have += static_cast<unsigned>(take);
                p += take;
                n -= take;
                if (mark_have < 4)
                    break;
                mark_have = 0;
                uint32_t value = 0;
                std::memcpy(&value, mark, sizeof value);
                value = ntohl(value);
                last = (value & last_fragment) != 0;
                left = value & ~last_fragment;
                if (!marked(left))
                    return false;
                if (left == 0 && last)
                    ended(p);
                continue;
            }
            const std::size_t take = std::min<std::size_t>(left, n);
            fragment(p, take);
            left -= static_cast<uint32_t>(take);
            p += take;
            n -= take;
            if (left == 0 && last)
                ended(p);
        }
        return true;
    }

    void advance(const char* p, std::size_t n)
    {
        advance(p, n, [](const char*, std::size_t) {}, [](uint32_t) { return true; }, [](const char*) {});
    }
};

// A pipelined run's calls in flight, matched to replies by transaction id.
// A window holds at most 256 calls: a search through them costs less than
// the system call that brought the reply.
struct Flight {
    uint32_t xid;
    std::size_t index;
    Clock::time_point deadline;
    Clock::time_point next_send;   // UDP: when the request goes out (again)
    unsigned sends = 0;
};

class Run {
public:
    Run(const PipelineCalls& calls, PipelineSink& sink) : calls_(calls), sink_(sink)
    {
        flights.reserve(std::max<std::size_t>(calls.window, 1));
    }

    // Makes the next call if the window and the sink allow; its flight, or
    // null.
    Flight* issue(Clock::time_point now)
    {
        if (closed_ || flights.size() >= std::min(limit_, std::max<std::size_t>(calls_.window, 1)))
            return nullptr;
        if (!sink_.next(next_index_)) {
            closed_ = true;
            return nullptr;
        }
        flights.push_back(Flight{xid_sequence.fetch_add(1, std::memory_order_relaxed), next_index_++,
                                 now + calls_.timeout, now, 0});
        ++outcome.calls;
        return &flights.back();
    }

    // UDP: the window opens a call at a time, from `first` calls on, as
    // replies come back.  A burst of the whole window could overflow the
    // reader's socket buffer, and a request lost there is carried out only
    // when sent again, seconds later and out of its turn.
    void open_gradually(std::size_t first) { limit_ = first; }

    // The run cannot start: no call goes out.
    void refuse(clnt_stat status)
    {
        closed_ = true;
        outcome.failure = status;
        error_.re_status = status;
    }

    // No more calls will go out and none is in flight.
    bool over() const { return closed_ && flights.empty(); }
    void close() { closed_ = true; }

    Flight* find(uint32_t xid)
    {
        for (auto& f : flights)
            if (f.xid == xid)
                return &f;
        return nullptr;
    }

    void settle(Flight& flight, clnt_stat status, int error_number = 0)
    {
        const std::size_t index = flight.index;
        if (status == RPC_SUCCESS && limit_ < calls_.window)
            ++limit_;
        if (status != RPC_SUCCESS && outcome.failure == RPC_SUCCESS) {
            outcome.failure = status;
            error_.re_status = status;
            error_.re_errno = error_number;
        }
        flight = flights.back();
        flights.pop_back();
        sink_.settled(index, status);
    }

    // A decoded reply's status, with its error as the run's first failure.
    void settle(Flight& flight, const rpc_err& reply_error)
    {
        if (reply_error.re_status != RPC_SUCCESS && outcome.failure == RPC_SUCCESS) {
            outcome.failure = reply_error.re_status;
            error_ = reply_error;
        }
        settle(flight, reply_error.re_status);
    }

    // Calls whose time is up fail.
    void expire(Clock::time_point now)
    {
        for (std::size_t i = 0; i < flights.size();) {
            if (flights[i].deadline <= now) {
                ++outcome.unanswered;
                settle(flights[i], RPC_TIMEDOUT);
            } else {
                ++i;
            }
        }
    }

    // Every call in flight fails with `status`; no more go out.
    void abandon(clnt_stat status, int error_number)
    {
        closed_ = true;
        while (!flights.empty()) {
            ++outcome.unanswered;
            settle(flights.back(), status, error_number);
        }
    }

    void transport_failed(clnt_stat status, int error_number)
    {
        outcome.transport_failed = true;
        abandon(status, error_number);
        // The connection's failure is what the run failed of, even when a
        // call failed before it.
        outcome.failure = status;
        error_ = rpc_err{};
        error_.re_status = status;
        error_.re_errno = error_number;
    }

    bool cancelled()
    {
        if (!sink_.cancelled())
            return false;
        outcome.cancelled = true;
        abandon(RPC_INTR, 0);
        return true;
    }

    Clock::time_point earliest_deadline() const
    {
        auto earliest = Clock::time_point::max();
        for (const auto& f : flights)
            earliest = std::min(earliest, f.deadline);
        return earliest;
    }

    // When to look at the sink's cancelled() again.
    static Clock::time_point cancel_check(Clock::time_point now) { return now + std::chrono::milliseconds(50); }

    void* result(const Flight& f) { return sink_.result(f.index); }
    const rpc_err& error() const { return error_; }

    std::vector<Flight> flights;
    PipelineOutcome outcome;

private:
    const PipelineCalls& calls_;
    PipelineSink& sink_;
    std::size_t next_index_ = 0;
    std::size_t limit_ = std::numeric_limits<std::size_t>::max();
    bool closed_ = false;
    rpc_err error_{};
};

// The state behind one CLIENT.  Calls on one client come one at a time (the
// caller serialises them, as the RPC library requires of its own clients).
class Client {
public:
    Client(int fd, const sockaddr_in& server, rpcprog_t program, rpcvers_t version)
        : fd_(fd), server_(server), program_(program), version_(version)
    {
        handle_.cl_auth = authnone_create();
        handle_.cl_ops = &operations;
        handle_.cl_private = this;
    }
    virtual ~Client()
    {
        if (handle_.cl_auth)
            auth_destroy(handle_.cl_auth);
        if (close_fd_)
            close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    CLIENT* handle() { return &handle_; }
    virtual bool ok() const { return handle_.cl_auth != nullptr; }
    void own_socket() { close_fd_ = true; }
    unsigned sends() const { return sends_; }

    static Client* of(CLIENT* client) { return static_cast<Client*>(client->cl_private); }
    static bool ours(const CLIENT* client) { return client && client->cl_ops == &operations; }

    // A pipelined run (deadline_client_pipeline).  The run's first failure
    // becomes the client's latest error, for clnt_sperror.
    PipelineOutcome pipeline(const PipelineCalls& calls, PipelineSink& sink)
    {
        error_ = rpc_err{};
        Run run(calls, sink);
        try {
            run_pipeline(calls, run);
        } catch (const std::bad_alloc&) {
            run.transport_failed(RPC_SYSTEMERROR, ENOMEM);
            lost_stream();
        }
        if (run.outcome.failure != RPC_SUCCESS)
            error_ = run.error();
        return run.outcome;
    }

protected:
    virtual clnt_stat call(rpcproc_t procedure, xdrproc_t encode, void* argument, xdrproc_t decode,
                           void* result) = 0;
    virtual void run_pipeline(const PipelineCalls& calls, Run& run) = 0;
    // The connection's state is no longer known (a run ended in the middle).
    virtual void lost_stream() {}

    // Decodes one reply message (header and results into `result`) and
    // stores its status in `error`.
    clnt_stat decode_reply(char* data, std::size_t length, xdrproc_t decode, void* result, rpc_err& error)
    {
        XDR x;
        xdrmem_create(&x, data, static_cast<u_int>(length), XDR_DECODE);
        rpc_msg reply{};
        reply.acpted_rply.ar_verf = _null_auth;
        reply.acpted_rply.ar_results.where = static_cast<caddr_t>(result);
        reply.acpted_rply.ar_results.proc = decode;
        if (xdr_replymsg(&x, &reply)) {
            settle(reply, error);
        } else {
            error.re_status = RPC_CANTDECODERES;
            error.re_errno = 0;
        }
        free_verifier(reply);
        xdr_destroy(&x);
        return error.re_status;
    }

    // Encodes the call message (header, null credentials, argument) into
    // `out` from `at` on; false when the argument cannot be encoded.
    bool encode_call(std::vector<char>& out, std::size_t at, rpcproc_t procedure, xdrproc_t encode,
                     void* argument, std::size_t& length)
    {
        XDR x;
        xdrmem_create(&x, out.data() + at, static_cast<u_int>(out.size() - at), XDR_ENCODE);
        rpc_msg message{};
        message.rm_xid = xid_;
        message.rm_direction = CALL;
        message.rm_call.cb_rpcvers = RPC_MSG_VERSION;
        message.rm_call.cb_prog = program_;
        message.rm_call.cb_vers = version_;
        const bool ok = xdr_callhdr(&x, &message) && xdr_u_int32_t(&x, &procedure) &&
                        AUTH_MARSHALL(handle_.cl_auth, &x) && encode(&x, argument);
        length = xdr_getpos(&x);
        xdr_destroy(&x);
        return ok;
    }

    // The reply's status into error_, after its header decoded with the
    // results (or with none, to be decoded after).
    void settle(rpc_msg& reply) { settle(reply, error_); }
    void settle(rpc_msg& reply, rpc_err& error)
    {
        _seterr_reply(&reply, &error);
        if (error.re_status == RPC_SUCCESS && !AUTH_VALIDATE(handle_.cl_auth, &reply.acpted_rply.ar_verf)) {
            error.re_status = RPC_AUTHERROR;
            error.re_why = AUTH_INVALIDRESP;
        }
    }

    clnt_stat fail(clnt_stat status, int error_number = 0)
    {
        error_.re_status = status;
        error_.re_errno = error_number;
        return status;
    }

    const int fd_;
    const sockaddr_in server_;
    rpcprog_t program_;
    rpcvers_t version_;
    uint32_t xid_ = 0;
    unsigned sends_ = 0;
    rpc_err error_{};
    Clock::time_point deadline_{};
    Clock::duration retry_{};
    bool close_fd_ = false;   // set once the client is fully made

private:
    static clnt_stat op_call(CLIENT* client, rpcproc_t procedure, xdrproc_t encode, void* argument,
                             xdrproc_t decode, void* result, timeval timeout)
    {
        Client& self = *of(client);
        self.error_ = rpc_err{};
        self.sends_ = 0;
        self.deadline_ = capped_deadline(Clock::now() + duration_of(timeout));
        self.xid_ = xid_sequence.fetch_add(1, std::memory_order_relaxed);
        try {
            return self.call(procedure, encode, argument, decode, result);
        } catch (const std::bad_alloc&) {
            return self.fail(RPC_SYSTEMERROR, ENOMEM);
        }
    }
    static void op_abort(CLIENT*) {}
    static void op_geterr(CLIENT* client, rpc_err* error) { *error = of(client)->error_; }
    static bool_t op_freeres(CLIENT*, xdrproc_t filter, void* result)
    {
        xdr_free(filter, static_cast<char*>(result));
        return TRUE;
    }
    static void op_destroy(CLIENT* client) { delete of(client); }
    static bool_t op_control(CLIENT* client, u_int request, void* info);

    static Operations operations;

    CLIENT handle_{};
};

bool_t Client::op_control(CLIENT* client, u_int request, void* info)
{
    Client& self = *of(client);
    switch (request) {
    case CLSET_FD_CLOSE:
        self.close_fd_ = true;
        return TRUE;
    case CLSET_FD_NCLOSE:
        self.close_fd_ = false;
        return TRUE;
    default:
        break;
    }
    if (!info)
        return FALSE;
    switch (request) {
    case CLGET_FD:
        *static_cast<int*>(info) = self.fd_;
        return TRUE;
    case CLGET_SERVER_ADDR:
        std::memcpy(info, &self.server_, sizeof self.server_);
        return TRUE;
    case CLGET_XID:
        *static_cast<uint32_t*>(info) = self.xid_;
        return TRUE;
    case CLGET_VERS:
        *static_cast<uint32_t*>(info) = self.version_;
        return TRUE;
    case CLSET_VERS:
        self.version_ = *static_cast<uint32_t*>(info);
        return TRUE;
    case CLGET_PROG:
        *static_cast<uint32_t*>(info) = self.program_;
        return TRUE;
    case CLSET_PROG:
        self.program_ = *static_cast<uint32_t*>(info);
        return TRUE;
    case CLGET_RETRY_TIMEOUT: {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(self.retry_).count();
        *static_cast<timeval*>(info) = timeval{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
        return TRUE;
    }
    case CLSET_RETRY_TIMEOUT:
        self.retry_ = duration_of(*static_cast<timeval*>(info));
        return TRUE;
    default:
        return FALSE;
    }
}

Operations Client::operations = {op_call, op_abort, op_geterr, op_freeres, op_destroy, op_control};

// UDP: one datagram a request, sent again after each retry interval until a
// datagram from the server with the call's transaction id arrives or the
// deadline passes.  Any other datagram is dropped without a word.
class UdpClient final : public Client {
public:
    UdpClient(int fd, const sockaddr_in& server, rpcprog_t program, rpcvers_t version, Clock::duration retry)
        : Client(fd, server, program, version), out_(udp_message_size), in_(udp_message_size)
    {
        retry_ = retry;
    }

private:
    clnt_stat call(rpcproc_t procedure, xdrproc_t encode, void* argument, xdrproc_t decode, void* result) override
    {
        std::size_t length = 0;
        if (!encode_call(out_, 0, procedure, encode, argument, length))
            return fail(RPC_CANTENCODEARGS);
        auto next_send = Clock::now();
        for (;;) {
            const auto now = Clock::now();
            if (now >= deadline_ && sends_ > 0)
                return fail(RPC_TIMEDOUT);
            if (now >= next_send) {
                if (sendto(fd_, out_.data(), length, 0, reinterpret_cast<const sockaddr*>(&server_),
                           sizeof server_) < 0 &&
                    errno != EINTR)
                    return fail(RPC_CANTSEND, errno);
                ++sends_;
                next_send = now + (retry_ > Clock::duration::zero() ? retry_ : deadline_ - now);
            }
            pollfd ready{fd_, POLLIN, 0};
            const int n = poll(&ready, 1, milliseconds_until(std::min(next_send, deadline_)));
            if (n < 0 && errno != EINTR)
                return fail(RPC_CANTRECV, errno);
            if (n <= 0)
                continue;
            if ((ready.revents & POLLERR) && refused())
                return error_.re_status;
            if (ready.revents & POLLIN) {
                if (const auto status = receive(decode, result))
                    return *status;
            }
        }
    }

    // The request is encoded once; each send writes its call's transaction
    // id into it.
    void run_pipeline(const PipelineCalls& calls, Run& run) override
    {
        std::size_t length = 0;
        if (!encode_call(out_, 0, calls.procedure, calls.encode, calls.argument, length)) {
            run.refuse(RPC_CANTENCODEARGS);
            return;
        }
        make_room_for(calls.window);
        run.open_gradually(initial_udp_burst);
        bool blocked = false;   // a request waits for room in the socket's buffer
        // Sends the flight's request; false when the socket failed (the run
        // is then over).
        auto send_request = [&](Flight& f, Clock::time_point now) {
            const uint32_t xid = htonl(f.xid);
            std::memcpy(out_.data(), &xid, sizeof xid);
            if (sendto(fd_, out_.data(), length, 0, reinterpret_cast<const sockaddr*>(&server_), sizeof server_) < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS || errno == EINTR) {
                    f.next_send = now;
                    blocked = true;
                    return true;
                }
                run.transport_failed(RPC_CANTSEND, errno);
                return false;
            }
            if (++f.sends > 1)
                run.outcome.resent = true;
            f.next_send = retry_ > Clock::duration::zero() ? now + retry_ : f.deadline;
            return true;
        };

        while (!run.cancelled()) {
            auto now = Clock::now();
            bool sending = true;
            while (sending) {
                Flight* f = run.issue(now);
                if (!f)
                    break;
                sending = send_request(*f, now);
            }
            if (!sending)
                return;
            run.expire(now);
            if (run.over())
                return;
            if (run.flights.empty())
                continue;
            blocked = false;
            auto wake = std::min(run.earliest_deadline(), Run::cancel_check(now));
            for (auto& f : run.flights) {
                if (f.next_send <= now && !send_request(f, now))
                    return;
                wake = std::min(wake, f.next_send);
            }
            pollfd ready{fd_, static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0};
            const int n = poll(&ready, 1, blocked ? 1 : milliseconds_until(wake));
            if (n < 0 && errno != EINTR) {
                run.transport_failed(RPC_CANTRECV, errno);
                return;
            }
            if (n <= 0)
                continue;
            if (ready.revents & POLLERR) {
                uint32_t xid = 0;
                int error_number = 0;
                if (icmp_error(xid, error_number) && run.find(ntohl(xid))) {
                    run.transport_failed(RPC_CANTRECV, error_number);
                    return;
                }
            }
            if (ready.revents & POLLIN)
                receive_all(calls, run);
        }
    }

    // The datagrams waiting: each that answers a call in flight settles it.
    void receive_all(const PipelineCalls& calls, Run& run)
    {
        for (;;) {
            sockaddr_in from{};
            socklen_t from_length = sizeof from;
            const ssize_t n = recvfrom(fd_, in_.data(), in_.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &from_length);
            if (n < 0)
                return;
            uint32_t xid = 0;
            if (n < static_cast<ssize_t>(sizeof xid) || !same_peer(from, server_))
                continue;
            std::memcpy(&xid, in_.data(), sizeof xid);
            Flight* f = run.find(ntohl(xid));
            if (!f)
                continue;   // a duplicate, a late answer, a stray: no call of the run
            rpc_err error{};
            decode_reply(in_.data(), static_cast<std::size_t>(n), calls.decode, run.result(*f), error);
            run.settle(*f, error);
        }
    }

    // Room in the socket's receive buffer for a window of replies that come
    // back together; as much as the system allows, never less than before.
    void make_room_for(std::size_t window)
    {
        int current = 0;
        socklen_t size = sizeof current;
        if (getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &current, &size) != 0)
            return;
        const auto wanted = static_cast<int>(std::min<std::size_t>(window, 256) * 2048);
        if (current < wanted)
            (void)setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    }

    // One datagram: the call's status when it is the answer.
    std::optional<clnt_stat> receive(xdrproc_t decode, void* result)
    {
        sockaddr_in from{};
        socklen_t from_length = sizeof from;
        const ssize_t n = recvfrom(fd_, in_.data(), in_.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                                   &from_length);
        if (n < 0)
            return std::nullopt;
        uint32_t xid = 0;
        if (n < static_cast<ssize_t>(sizeof xid) || !same_peer(from, server_))
            return std::nullopt;
        std::memcpy(&xid, in_.data(), sizeof xid);
        if (ntohl(xid) != xid_)
            return std::nullopt;   // late, stray or forged: not this call's

        return decode_reply(in_.data(), static_cast<std::size_t>(n), decode, result, error_);
    }

    // An ICMP error about this call's request (the server's port is closed):
    // the call fails at once with the reason, as the RPC library's own UDP
    // client does.  Errors about anything else are dropped.
    bool refused()
    {
        uint32_t xid = 0;
        int error_number = 0;
        if (!icmp_error(xid, error_number) || std::memcmp(&xid, out_.data(), sizeof xid) != 0)
            return false;
        fail(RPC_CANTRECV, error_number);
        return true;
    }

    // One ICMP error from the server about a request of ours: the request's
    // transaction id (as on the wire) and the reason.  False for anything
    // else, and when there is none.
    bool icmp_error(uint32_t& xid, int& error_number)
    {
        char payload[16];
        char control[256];
        sockaddr_in offender{};
        iovec io{payload, sizeof payload};
        msghdr message{};
        message.msg_name = &offender;
        message.msg_namelen = sizeof offender;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(fd_, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
        if (n < 4 || !same_peer(offender, server_))
            return false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_IP && c->cmsg_type == IP_RECVERR) {
                sock_extended_err e{};
                std::memcpy(&e, CMSG_DATA(c), sizeof e);
                std::memcpy(&xid, payload, sizeof xid);
                error_number = static_cast<int>(e.ee_errno);
                return true;
            }
        }
        return false;
    }

    std::vector<char> out_;
    std::vector<char> in_;
};

// TCP: the call goes out as one record (fragments of the RPC library's
// size); records come back through the RPC library's record stream, read by
// a function of ours that waits no longer than the deadline.  Records with
// another transaction id are skipped, and the stream is never read past the
// deadline, however slowly or endlessly the server sends.
class TcpClient final : public Client {
public:
    TcpClient(int fd, const sockaddr_in& server, rpcprog_t program, rpcvers_t version)
        : Client(fd, server, program, version)
    {
        xdrrec_create(&in_, 0, tcp_buffer_size, this, read_stream, write_nothing);
        in_.x_op = XDR_DECODE;
    }
    ~TcpClient() override
    {
        if (in_.x_private)
            xdr_destroy(&in_);
    }
    bool ok() const override { return in_.x_private != nullptr && Client::ok(); }

private:
    clnt_stat call(rpcproc_t procedure, xdrproc_t encode, void* argument, xdrproc_t decode, void* result) override
    {
        sends_ = 1;
        if (broken_)
            return fail(RPC_CANTSEND, broken_errno_);
        if (!send_call(procedure, encode, argument))
            return error_.re_status;
        for (;;) {
            if (!xdrrec_skiprecord(&in_))
                return error_.re_status == RPC_SUCCESS ? fail(RPC_CANTRECV) : error_.re_status;
            rpc_msg reply{};
            reply.acpted_rply.ar_verf = _null_auth;
            reply.acpted_rply.ar_results.where = nullptr;
            reply.acpted_rply.ar_results.proc = filter(xdr_void);
            const bool header = xdr_replymsg(&in_, &reply);
            if (error_.re_status != RPC_SUCCESS) {
                free_verifier(reply);
                return error_.re_status;
            }
            if (reply.rm_xid != xid_) {
                free_verifier(reply);
                continue;   // an answer to an earlier call, or a stray record
            }
            if (!header) {
                free_verifier(reply);
                return fail(RPC_CANTDECODERES);
            }
            settle(reply);
            free_verifier(reply);
            if (error_.re_status == RPC_SUCCESS && !decode(&in_, result) && error_.re_status == RPC_SUCCESS)
                fail(RPC_CANTDECODERES);
            return error_.re_status;
        }
    }

    // The call as one record, cut as the RPC library's record stream would
    // cut it; its transaction id is at `xid_offset`.
    bool make_record(rpcproc_t procedure, xdrproc_t encode, void* argument, std::vector<char>& record)
    {
        const unsigned long argument_size = xdr_sizeof(encode, argument);
        std::vector<char> message(call_header_size + argument_size);
        std::size_t length = 0;
        if (!encode_call(message, 0, procedure, encode, argument, length)) {
            fail(RPC_CANTENCODEARGS);
            return false;
        }
        record.clear();
        record.reserve(length + 4 * (length / tcp_fragment_size + 1));
        std::size_t at = 0;
        do {
            const std::size_t piece = std::min(tcp_fragment_size, length - at);
            const uint32_t mark = htonl(static_cast<uint32_t>(piece) | (at + piece == length ? last_fragment : 0));
            const auto* m = reinterpret_cast<const char*>(&mark);
            record.insert(record.end(), m, m + 4);
            record.insert(record.end(), message.begin() + static_cast<std::ptrdiff_t>(at),
                          message.begin() + static_cast<std::ptrdiff_t>(at + piece));
            at += piece;
        } while (at < length);
        return true;
    }
    static constexpr std::size_t xid_offset = 4;

    bool send_call(rpcproc_t procedure, xdrproc_t encode, void* argument)
    {
        std::vector<char> record;
        if (!make_record(procedure, encode, argument, record))
            return false;

        std::size_t sent = 0;
        while (sent < record.size()) {
            const ssize_t n = send(fd_, record.data() + sent, record.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                fail(RPC_CANTSEND, errno);
                return false;
            }
            if (!wait_for(POLLOUT, RPC_CANTSEND))
                return false;
        }
        return true;
    }

    // Waits for the socket until the deadline; false (status set) when it
    // passes first.
    bool wait_for(short events, clnt_stat failure)
    {
        for (;;) {
            if (Clock::now() >= deadline_) {
                fail(RPC_TIMEDOUT);
                return false;
            }
            pollfd ready{fd_, events, 0};
            const int n = poll(&ready, 1, milliseconds_until(deadline_));
            if (n > 0)
                return true;
            if (n < 0 && errno != EINTR) {
                fail(failure, errno);
                return false;
            }
        }
    }

    // What a run left of a reply it did not finish reading comes first: the
    // record stream reads on from a record's start.  Every byte handed to
    // the stream moves `framing_`, so a run knows where the stream stands.
    static int read_stream(void* handle, void* buffer, int length)
    {
        auto& self = *static_cast<TcpClient*>(handle);
        if (length <= 0)
            return 0;
        if (self.carry_at_ < self.carry_.size()) {
            const std::size_t n = std::min(static_cast<std::size_t>(length), self.carry_.size() - self.carry_at_);
            std::memcpy(buffer, self.carry_.data() + self.carry_at_, n);
            self.carry_at_ += n;
            if (self.carry_at_ == self.carry_.size()) {
                self.carry_.clear();
                self.carry_at_ = 0;
            }
            self.framing_.advance(static_cast<const char*>(buffer), n);
            return static_cast<int>(n);
        }
        for (;;) {
            const ssize_t n = recv(self.fd_, buffer, static_cast<std::size_t>(length), MSG_DONTWAIT);
            if (n > 0) {
                self.framing_.advance(static_cast<const char*>(buffer), static_cast<std::size_t>(n));
                return static_cast<int>(n);
            }
            if (n == 0) {
                self.fail(RPC_CANTRECV, ECONNRESET);
                return -1;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                self.fail(RPC_CANTRECV, errno);
                return -1;
            }
            if (!self.wait_for(POLLIN, RPC_CANTRECV))
                return -1;
        }
    }

    // The record stream is only read: calls are written by send_call.
    static int write_nothing(void*, void*, int) { return -1; }

    // A run reads the connection itself, record by record, while it writes
    // the requests as the connection takes them.  It starts where the record
    // stream's reading stopped: when that was inside a record (a stray or
    // duplicate reply after the latest call), the record stream's buffer
    // holds only what no call waits for, and is started anew, and the run
    // skips the rest of that record.  It leaves the unread part of a record
    // for the record stream, so calls after it read on from a record's start.
    void run_pipeline(const PipelineCalls& calls, Run& run) override
    {
        if (broken_) {
            run.refuse(fail(RPC_CANTSEND, broken_errno_));
            return;
        }
        sends_ = 1;
        std::vector<char> record;
        if (!make_record(calls.procedure, calls.encode, calls.argument, record)) {
            run.refuse(RPC_CANTENCODEARGS);
            return;
        }
        // Requests go out as soon as they are made: small records held back
        // for the acknowledgement of the ones before would stall the window.
        const int on = 1;
        (void)setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

        Framing framing = framing_;
        bool skipping = !framing.at_boundary();
        if (skipping && !restart_record_stream()) {
            run.refuse(fail(RPC_SYSTEMERROR, ENOMEM));
            lost_stream();
            return;
        }
        std::vector<char> raw;    // the current record's bytes so far, marks included
        std::vector<char> body;   // its fragments' bytes
        std::vector<char> out;    // requests not yet taken by the connection
        std::size_t out_at = 0;
        std::vector<char> chunk(tcp_buffer_size);

        // Bytes read: replies that answer a call in flight settle it.
        // False when the stream cannot be a reply stream (the run is over).
        auto take = [&](const char* p, std::size_t n) {
            const char* start = p;   // of the current record's bytes in these
            const bool ok = framing.advance(
                p, n,
                [&](const char* bytes, std::size_t count) {
                    if (!skipping)
                        body.insert(body.end(), bytes, bytes + count);
                },
                [&](uint32_t length) {
                    if (skipping || body.size() + length <= max_reply_size)
                        return true;
                    run.transport_failed(RPC_CANTDECODERES, EMSGSIZE);
                    return false;
                },
                [&](const char* end) {
                    start = end;
                    raw.clear();
                    if (skipping) {
                        skipping = false;
                        return;
                    }
                    uint32_t xid = 0;
                    if (body.size() >= sizeof xid) {
                        std::memcpy(&xid, body.data(), sizeof xid);
                        // Any other record answers no call of the run.
                        if (Flight* f = run.find(ntohl(xid))) {
                            rpc_err error{};
                            decode_reply(body.data(), body.size(), calls.decode, run.result(*f), error);
                            run.settle(*f, error);
                        }
                    }
                    body.clear();
                });
            if (ok && !skipping)
                raw.insert(raw.end(), start, p + n);
            return ok;
        };

        bool open = true;
        if (carry_at_ < carry_.size())
            open = take(carry_.data() + carry_at_, carry_.size() - carry_at_);
        carry_.clear();
        carry_at_ = 0;

        while (open && !run.cancelled()) {
            const auto now = Clock::now();
            while (Flight* f = run.issue(now)) {
                const uint32_t xid = htonl(f->xid);
                std::memcpy(record.data() + xid_offset, &xid, sizeof xid);
                out.insert(out.end(), record.begin(), record.end());
            }
            while (out_at < out.size()) {
                const ssize_t n = send(fd_, out.data() + out_at, out.size() - out_at, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0) {
                    out_at += static_cast<std::size_t>(n);
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                    run.transport_failed(RPC_CANTSEND, errno);
                    open = false;
                }
                break;
            }
            if (!open)
                break;
            if (out_at == out.size()) {
                out.clear();
                out_at = 0;
            }
            run.expire(now);
            if (run.over())
                break;
            if (run.flights.empty())
                continue;
            const short events = static_cast<short>(POLLIN | (out_at < out.size() ? POLLOUT : 0));
            pollfd ready{fd_, events, 0};
            const int n = poll(&ready, 1, milliseconds_until(std::min(run.earliest_deadline(), Run::cancel_check(now))));
            if (n < 0 && errno != EINTR) {
                run.transport_failed(RPC_CANTRECV, errno);
                break;
            }
            if (n <= 0 || !(ready.revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            for (;;) {
                const ssize_t got = recv(fd_, chunk.data(), chunk.size(), MSG_DONTWAIT);
                if (got > 0) {
                    open = take(chunk.data(), static_cast<std::size_t>(got));
                    if (!open || static_cast<std::size_t>(got) < chunk.size())
                        break;
                    continue;
                }
                if (got < 0 && errno == EINTR)
                    continue;
                if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                    run.transport_failed(RPC_CANTRECV, got == 0 ? ECONNRESET : errno);
                    open = false;
                }
                break;
            }
        }

        // Requests that never began to go out are simply not sent; one cut
        // short, or a stream whose framing is lost, leaves the connection
        // unusable.
        const bool cut = out_at % record.size() != 0;
        if (run.outcome.transport_failed || cut || skipping) {
            broken_errno_ = run.outcome.transport_failed ? run.error().re_errno : EPIPE;
            broken_ = true;
            if (!run.outcome.transport_failed && !run.flights.empty())
                run.transport_failed(RPC_CANTSEND, broken_errno_);
            return;
        }
        carry_ = std::move(raw);
        carry_at_ = 0;
        framing_ = Framing{};
    }

    void lost_stream() override
    {
        broken_ = true;
        broken_errno_ = EPIPE;
    }

    // A new record stream, at a record's start.
    bool restart_record_stream()
    {
        if (in_.x_private)
            xdr_destroy(&in_);
        in_ = XDR{};
        xdrrec_create(&in_, 0, tcp_buffer_size, this, read_stream, write_nothing);
        in_.x_op = XDR_DECODE;
        framing_ = Framing{};
        return in_.x_private != nullptr;
    }

    // No reply of the program comes near; a record longer is not a reply.
    static constexpr std::size_t max_reply_size = std::size_t{1} << 20;

    XDR in_{};
    Framing framing_;            // where the bytes handed to the record stream end
    std::vector<char> carry_;    // read by a run, for the record stream
    std::size_t carry_at_ = 0;
    bool broken_ = false;
    int broken_errno_ = 0;
};

int open_socket(bool tcp)
{
    const int fd = socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    // As the RPC library does for the sockets it opens itself: a reserved
    // port where the process may bind one, any port otherwise.
    (void)bindresvport(fd, nullptr);
    if (!tcp) {
        // ICMP errors (port unreachable) end the call at once.
        const int on = 1;
        (void)setsockopt(fd, SOL_IP, IP_RECVERR, &on, sizeof on);
    }
    return fd;
}

bool connect_within(int fd, const sockaddr_in& server, std::chrono::milliseconds timeout)
{
    if (connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0)
        return true;
    if (errno != EINPROGRESS && errno != EINTR)
        return false;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        pollfd ready{fd, POLLOUT, 0};
        const int n = poll(&ready, 1, milliseconds_until(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ETIMEDOUT;
            return false;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            return false;
        if (error != 0) {
            errno = error;
            return false;
        }
        return true;
    }
}

}  // namespace

CLIENT* deadline_client_create(const sockaddr_in& server, rpcprog_t program, rpcvers_t version, bool tcp,
                               std::chrono::milliseconds retry, std::chrono::milliseconds connect_timeout)
{
    const int fd = open_socket(tcp);
    if (fd < 0)
        return nullptr;
    if (tcp && !connect_within(fd, server, connect_timeout)) {
        const int reason = errno;
        close(fd);
        errno = reason;
        return nullptr;
    }
    std::unique_ptr<Client> client;
    try {
        if (tcp)
            client = std::make_unique<TcpClient>(fd, server, program, version);
        else
            client = std::make_unique<UdpClient>(fd, server, program, version, retry);
    } catch (const std::bad_alloc&) {
        client.reset();
    }
    if (!client || !client->ok()) {
        client.reset();
        close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    client->own_socket();
    return client.release()->handle();
}

PipelineOutcome deadline_client_pipeline(CLIENT* client, const PipelineCalls& calls, PipelineSink& sink)
{
    if (!Client::ours(client)) {
        PipelineOutcome outcome;
        outcome.failure = RPC_UNKNOWNPROTO;
        return outcome;
    }
    return Client::of(client)->pipeline(calls, sink);
}

unsigned deadline_client_sends(const CLIENT* client)
{
    return client ? static_cast<const Client*>(client->cl_private)->sends() : 0;
}

bool deadline_client_out_of_memory(CLIENT* client)
{
    rpc_err error{};
    clnt_geterr(client, &error);
    return error.re_status == RPC_SYSTEMERROR && error.re_errno == ENOMEM;
}

uint16_t deadline_getport(const sockaddr_in& host, rpcprog_t program, rpcvers_t version, int protocol,
                          std::chrono::milliseconds timeout)
{
    sockaddr_in mapper = host;
    mapper.sin_port = htons(PMAPPORT);
    CLIENT* client = deadline_client_create(mapper, PMAPPROG, PMAPVERS, false,
                                            std::chrono::duration_cast<std::chrono::milliseconds>(port_mapper_retry),
                                            timeout);
    if (!client)
        return 0;
    pmap query{};
    query.pm_prog = program;
    query.pm_vers = version;
    query.pm_prot = static_cast<u_long>(protocol);
    u_short port = 0;
    const auto ms = timeout.count();
    const timeval total{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
    const clnt_stat status = clnt_call(client, PMAPPROC_GETPORT, filter(xdr_pmap), &query,
                                       filter(xdr_u_short), &port, total);
    clnt_destroy(client);
    return status == RPC_SUCCESS ? port : 0;
}

}  // namespace qd
