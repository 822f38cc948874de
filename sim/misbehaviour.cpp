#include "misbehaviour.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>

#include "xdr_filter.h"

namespace qdsim::detail {

namespace {

using Clock = std::chrono::steady_clock;
using Ops = std::remove_const_t<std::remove_pointer_t<decltype(SVCXPRT::xp_ops)>>;

// Requests remembered by the reply cache: far more than a client has in
// flight, far fewer than would make a retransmission find someone else's.
constexpr std::size_t cache_size = 512;
// Streams that never end on their own end after this, or with the transport.
constexpr auto stream_lifetime = std::chrono::seconds(60);
constexpr auto default_pace = std::chrono::seconds(1);
constexpr uint32_t last_fragment = 0x80000000u;
constexpr uint32_t declared_far_too_long = 0x0FFFFFFFu;

struct Watched {
    ReplyPath* path = nullptr;
    ServerLoop* loop = nullptr;
    in_addr_t reader = 0;
    const Ops* original = nullptr;
    bool listening = false;
    bool udp = false;
    // The call being served.
    uint32_t xid = 0;
    std::vector<uint8_t> caller;
    std::optional<ReplyPath::Key> key;   // its entry in the reply cache
    Fault armed{};
    int length_at = -1;
    // A reply kept by keep_call() is being sent: it is encoded here, with
    // the call it answers.
    bool replaying = false;
    // Goes with the transport; timed sends check it before they write.
    std::shared_ptr<WireEnd> end;
};

// Server thread only.
std::map<const SVCXPRT*, Watched> g_watched;
std::map<const Ops*, std::unique_ptr<Ops>> g_wrapped;

Watched* watched(const SVCXPRT* xprt)
{
    auto it = g_watched.find(xprt);
    return it == g_watched.end() ? nullptr : &it->second;
}

// Where and how one reply leaves, kept by sends that come later.
struct Channel {
    int fd = -1;
    bool udp = false;
    std::vector<uint8_t> caller;
    std::weak_ptr<WireEnd> end;
    ServerLoop* loop = nullptr;
    ReplyPath* path = nullptr;
    in_addr_t reader = 0;

    Channel(const Watched& w, SVCXPRT* xprt)
        : fd(xprt->xp_fd), udp(w.udp), caller(w.caller), end(w.end), loop(w.loop), path(w.path), reader(w.reader)
    {
    }

    bool open() const { return !end.expired(); }

    void send_bytes(const char* data, std::size_t size) const
    {
        if (auto e = end.lock())
            e->send(data, size, caller);
    }
    void send_bytes(const std::vector<char>& bytes) const { send_bytes(bytes.data(), bytes.size()); }

    void later(Clock::duration after, std::function<void()> task) const
    {
        loop->schedule(Clock::now() + after, reader, std::move(task));
    }
};

std::vector<char> fragment(const char* data, std::size_t size, bool last, uint32_t declared = 0)
{
    const uint32_t mark = htonl((declared ? declared : static_cast<uint32_t>(size)) | (last ? last_fragment : 0));
    std::vector<char> out(sizeof mark + size);
    std::memcpy(out.data(), &mark, sizeof mark);
    if (size)
        std::memcpy(out.data() + sizeof mark, data, size);
    return out;
}

// A whole reply the way it goes out when nothing is wrong: one datagram, or
// one record.
void send_plain(const Channel& c, const std::vector<char>& reply)
{
    if (c.udp)
        c.send_bytes(reply);
    else
        c.send_bytes(fragment(reply.data(), reply.size(), true));
}

std::vector<char> with_other_xid(std::vector<char> reply)
{
    for (std::size_t i = 0; i < 4 && i < reply.size(); ++i)
        reply[i] = static_cast<char>(~reply[i]);
    return reply;
}

void repeat_until_closed(const Channel& c, const std::vector<char>& bytes, Clock::duration pace,
                         Clock::time_point until)
{
    if (!c.open() || Clock::now() > until)
        return;
    c.send_bytes(bytes);
    c.later(pace, [c, bytes, pace, until] { repeat_until_closed(c, bytes, pace, until); });
}

void trickle_from(const Channel& c, const std::shared_ptr<const std::vector<char>>& bytes, std::size_t at,
                  Clock::duration pace)
{
    if (!c.open() || at >= bytes->size())
        return;
    c.send_bytes(bytes->data() + at, 1);
    c.later(pace, [c, bytes, at, pace] { trickle_from(c, bytes, at + 1, pace); });
}

// The reply as it reaches the client, made wrong by `fault`.
void arrive(const Channel& c, std::vector<char> reply, std::size_t results_at, const Fault& fault, int length_at)
{
    const auto now = Clock::now();
    const Clock::duration pace = fault.delay.count() > 0 ? Clock::duration(fault.delay) : Clock::duration(default_pace);
    const std::size_t half = reply.size() / 2;
    switch (fault.kind) {
    case FaultKind::wrong_xid:
        send_plain(c, with_other_xid(reply));
        if (fault.delay.count() == 0)
            send_plain(c, reply);
        else
            c.later(fault.delay, [c, reply] { send_plain(c, reply); });
        return;
    case FaultKind::wrong_xid_stream: {
        const auto wrong = with_other_xid(reply);
        repeat_until_closed(c, c.udp ? wrong : fragment(wrong.data(), wrong.size(), true), pace, now + stream_lifetime);
        return;
    }
    case FaultKind::duplicate_reply:
        send_plain(c, reply);
        send_plain(c, reply);
        return;
    case FaultKind::trickle: {
        auto bytes = std::make_shared<const std::vector<char>>(c.udp ? reply : fragment(reply.data(), reply.size(), true));
        trickle_from(c, bytes, 0, pace);
        return;
    }
    case FaultKind::fragments: {
        if (c.udp) {
            send_plain(c, reply);
            return;
        }
        std::vector<char> record;
        for (std::size_t at = 0; at < reply.size(); at += 4) {
            const std::size_t piece = std::min<std::size_t>(4, reply.size() - at);
            const auto f = fragment(reply.data() + at, piece, at + piece == reply.size());
            record.insert(record.end(), f.begin(), f.end());
        }
        c.send_bytes(record);
        return;
    }
    case FaultKind::endless_record: {
        if (c.udp) {
            c.send_bytes(reply.data(), half);
            return;
        }
        c.send_bytes(fragment(reply.data(), reply.size(), false));
        const std::vector<char> filler = fragment("\0\0\0\0", 4, false);
        c.later(pace, [c, filler, pace, until = now + stream_lifetime] { repeat_until_closed(c, filler, pace, until); });
        return;
    }
    case FaultKind::oversized_length: {
        if (length_at >= 0 && results_at + static_cast<std::size_t>(length_at) + 4 <= reply.size()) {
            const std::size_t at = results_at + static_cast<std::size_t>(length_at);
            reply.resize(at + 4);
            const uint32_t length = htonl(declared_far_too_long);
            std::memcpy(reply.data() + at, &length, sizeof length);
            send_plain(c, reply);
        } else if (c.udp) {
            c.send_bytes(reply.data(), results_at);
        } else {
            // A record that promises 2 GiB and brings the reply's header.
            c.send_bytes(fragment(reply.data(), results_at, true, ~last_fragment));
        }
        return;
    }
    case FaultKind::reset:
        if (c.udp) {
            c.send_bytes(reply.data(), half);
            return;
        }
        {
            const auto whole = fragment(reply.data(), reply.size(), true);
            c.send_bytes(whole.data(), 4 + half);
            // The transport reads the end of the stream and goes.
            const linger abort{1, 0};
            (void)setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            (void)shutdown(c.fd, SHUT_RDWR);
        }
        return;
    default:
        send_plain(c, reply);
        return;
    }
}

// A reply leaves the reader once it is no longer paused, and crosses the
// link.
void deliver(const Channel& c, std::vector<char> reply, std::size_t results_at, const Fault& fault, int length_at)
{
    const auto now = Clock::now();
    if (c.path->paused_until > now) {
        c.later(c.path->paused_until - now, [c, reply = std::move(reply), results_at, fault, length_at] {
            Fault rest = fault;
            if (rest.kind == FaultKind::pause)
                rest = Fault{};
            deliver(c, reply, results_at, rest, length_at);
        });
        return;
    }
    Link& link = c.path->link;
    if (link.delay().count() == 0 && link.idle()) {
        arrive(c, std::move(reply), results_at, fault, length_at);
        return;
    }
    const auto end = c.end.lock();
    if (!end)
        return;
    const std::size_t size = reply.size();
    link.carry(end, size, *c.loop, c.reader, [c, reply = std::move(reply), results_at, fault, length_at]() mutable {
        arrive(c, std::move(reply), results_at, fault, length_at);
    });
}

// The reply message `message` for the call `xid`, encoded as libtirpc's
// transports encode it; `results_at` is where the result starts.
bool encode_reply(uint32_t xid, rpc_msg* message, std::vector<char>& out, std::size_t& results_at)
{
    message->rm_xid = xid;
    const bool has_results =
        message->rm_reply.rp_stat == MSG_ACCEPTED && message->acpted_rply.ar_stat == SUCCESS;
    const xdrproc_t results = message->acpted_rply.ar_results.proc;
    const caddr_t where = message->acpted_rply.ar_results.where;
    if (has_results) {
        message->acpted_rply.ar_results.proc = xdr_filter(xdr_void);
        message->acpted_rply.ar_results.where = nullptr;
    }
    bool ok = false;
    constexpr std::size_t first_capacity = std::size_t{64} << 10;
    constexpr std::size_t most = std::size_t{4} << 20;
    for (std::size_t capacity = first_capacity; !ok && capacity <= most; capacity *= 4) {
        out.assign(capacity, 0);
        XDR x;
        xdrmem_create(&x, out.data(), static_cast<u_int>(capacity), XDR_ENCODE);
        ok = xdr_replymsg(&x, message);
        results_at = xdr_getpos(&x);
        if (ok && has_results)
            ok = results(&x, where);
        if (ok)
            out.resize(xdr_getpos(&x));
        xdr_destroy(&x);
    }
    if (has_results) {
        message->acpted_rply.ar_results.proc = results;
        message->acpted_rply.ar_results.where = where;
    }
    return ok;
}

void watch(SVCXPRT* xprt, ReplyPath& path, ServerLoop& loop, in_addr_t reader, bool listening, bool udp);

bool never_answers(FaultKind kind)
{
    switch (kind) {
    case FaultKind::wrong_xid_stream:
    case FaultKind::trickle:
    case FaultKind::endless_record:
    case FaultKind::oversized_length:
    case FaultKind::reset:
        return true;
    default:
        return false;
    }
}

bool_t accept_connection(SVCXPRT* listener, const Watched& w)
{
    const int fd = accept4(listener->xp_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return FALSE;
    // A reply trickled a byte at a time leaves a byte at a time.
    const int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    SVCXPRT* connection = svc_fd_create(fd, 0, 0);
    if (connection == nullptr) {
        close(fd);
        return FALSE;
    }
    watch(connection, *w.path, *w.loop, w.reader, false, false);
    return FALSE;   // a listening transport never has a call to serve
}

bool_t watched_recv(SVCXPRT* xprt, rpc_msg* message)
{
    Watched* w = watched(xprt);
    if (w->listening)
        return accept_connection(xprt, *w);
    if (!w->original->xp_recv(xprt, message))
        return FALSE;
    w->xid = message->rm_xid;
    w->armed = Fault{};
    w->key.reset();
    const netbuf* from = svc_getrpccaller(xprt);
    const auto* bytes = static_cast<const uint8_t*>(from->buf);
    w->caller.assign(bytes, bytes + (w->udp ? std::min<std::size_t>(from->len, sizeof(sockaddr_in)) : from->len));
    if (message->rm_direction != CALL || message->rm_call.cb_prog != READER_RPC_PROG)
        return TRUE;
    ReplyPath& path = *w->path;
    const uint32_t proc = message->rm_call.cb_proc;
    path.count_request(proc);
    if (!w->udp || !path.cache_on())
        return TRUE;
    ReplyPath::Key key{w->caller, w->xid, proc};
    if (auto hit = path.cache.find(key); hit != path.cache.end()) {
        // A retransmission: the first reply again, or nothing while the
        // call is still being carried out.
        if (hit->second.done)
            deliver(Channel(*w, xprt), hit->second.reply, 0, Fault{}, -1);
        return FALSE;
    }
    path.cache.emplace(key, ReplyPath::Entry{});
    path.cache_order.push_back(key);
    if (path.cache_order.size() > cache_size) {
        path.cache.erase(path.cache_order.front());
        path.cache_order.erase(path.cache_order.begin());
    }
    w->key = std::move(key);
    return TRUE;
}

bool_t watched_reply(SVCXPRT* xprt, rpc_msg* message)
{
    Watched* w = watched(xprt);
    ReplyPath& path = *w->path;
    const Fault fault = std::exchange(w->armed, Fault{});
    const bool paused = path.paused_until > Clock::now() || fault.kind == FaultKind::pause;
    // libtirpc writes a plain TCP reply itself, unless it must wait for
    // something sent before it.
    if (!w->udp && !is_misbehaviour(fault.kind) && !paused && !w->replaying && path.link.delay().count() == 0 &&
        path.link.idle() && !w->end->backlogged())
        return w->original->xp_reply(xprt, message);

    std::vector<char> reply;
    std::size_t results_at = 0;
    if (!encode_reply(w->xid, message, reply, results_at))
        return FALSE;
    // A retransmission gets the reply again only where the reader did get
    // its reply out; one that never does keeps it to itself, and the
    // retransmissions go unanswered.
    if (w->key && !never_answers(fault.kind)) {
        if (auto entry = path.cache.find(*w->key); entry != path.cache.end())
            entry->second = ReplyPath::Entry{true, reply};
    }
    w->key.reset();
    if (fault.kind == FaultKind::pause)
        path.paused_until = std::max(path.paused_until, Clock::now() + fault.delay);
    deliver(Channel(*w, xprt), std::move(reply), results_at, fault, w->length_at);
    return TRUE;
}

void watched_destroy(SVCXPRT* xprt)
{
    auto it = g_watched.find(xprt);
    const Ops* original = it->second.original;
    it->second.end->closed();
    g_watched.erase(it);
    // libtirpc tells a listening transport from a connection by its
    // receive operation when it destroys one.
    xprt->xp_ops = original;
    original->xp_destroy(xprt);
}

void watch(SVCXPRT* xprt, ReplyPath& path, ServerLoop& loop, in_addr_t reader, bool listening, bool udp)
{
    const Ops* original = xprt->xp_ops;
    auto& wrapped = g_wrapped[original];
    if (!wrapped) {
        wrapped = std::make_unique<Ops>(*original);
        wrapped->xp_recv = watched_recv;
        wrapped->xp_reply = watched_reply;
        wrapped->xp_destroy = watched_destroy;
    }
    Watched w;
    w.path = &path;
    w.loop = &loop;
    w.reader = reader;
    w.original = original;
    w.listening = listening;
    w.udp = udp;
    w.end = std::make_shared<WireEnd>(xprt->xp_fd, udp, loop);
    g_watched[xprt] = std::move(w);
    xprt->xp_ops = wrapped.get();
}

}  // namespace

void ReplyPath::set_cache(bool on)
{
    std::lock_guard lock(mu_);
    cache_on_ = on;
}

bool ReplyPath::cache_on() const
{
    std::lock_guard lock(mu_);
    return cache_on_;
}

std::size_t ReplyPath::requests(uint32_t proc) const
{
    std::lock_guard lock(mu_);
    auto it = requests_.find(proc);
    return it == requests_.end() ? 0 : it->second;
}

void ReplyPath::forget_all()
{
    cache.clear();
    cache_order.clear();
    paused_until = {};
    link.reset();
}

void ReplyPath::count_request(uint32_t proc)
{
    std::lock_guard lock(mu_);
    ++requests_[proc];
}

void watch_transport(SVCXPRT* xprt, ReplyPath& path, ServerLoop& loop, in_addr_t reader)
{
    int type = 0;
    socklen_t length = sizeof type;
    getsockopt(xprt->xp_fd, SOL_SOCKET, SO_TYPE, &type, &length);
    watch(xprt, path, loop, reader, type == SOCK_STREAM, type != SOCK_STREAM);
}

void arm_misbehaviour(SVCXPRT* xprt, const Fault& fault, int length_at)
{
    if (Watched* w = watched(xprt)) {
        w->armed = fault;
        w->length_at = length_at;
    }
}

void forget_request(SVCXPRT* xprt)
{
    Watched* w = watched(xprt);
    if (w == nullptr || !w->key)
        return;
    ReplyPath& path = *w->path;
    path.cache.erase(*w->key);
    std::erase(path.cache_order, *w->key);
    w->key.reset();
}

std::function<void()> keep_call(SVCXPRT* xprt, std::function<void()> send)
{
    const Watched* w = watched(xprt);
    if (w == nullptr)
        return send;
    struct Call {
        uint32_t xid;
        std::vector<uint8_t> caller;
        std::optional<ReplyPath::Key> key;
        Fault armed;
        int length_at;
    };
    return [xprt, end = std::weak_ptr<WireEnd>(w->end), call = Call{w->xid, w->caller, w->key, w->armed, w->length_at},
            send = std::move(send)] {
        if (end.expired())
            return;   // the transport went, and `xprt` with it
        Watched* now = watched(xprt);
        Call serving{now->xid, now->caller, now->key, now->armed, now->length_at};
        now->xid = call.xid;
        now->caller = call.caller;
        now->key = call.key;
        now->armed = call.armed;
        now->length_at = call.length_at;
        now->replaying = true;
        send();
        // `send` may have ended the transport (a reset).
        if ((now = watched(xprt)) == nullptr || end.expired())
            return;
        now->replaying = false;
        now->xid = serving.xid;
        now->caller = std::move(serving.caller);
        now->key = std::move(serving.key);
        now->armed = serving.armed;
        now->length_at = serving.length_at;
    };
}

bool is_misbehaviour(FaultKind kind)
{
    switch (kind) {
    case FaultKind::wrong_xid:
    case FaultKind::wrong_xid_stream:
    case FaultKind::duplicate_reply:
    case FaultKind::trickle:
    case FaultKind::fragments:
    case FaultKind::endless_record:
    case FaultKind::oversized_length:
    case FaultKind::reset:
    case FaultKind::pause:
        return true;
    default:
        return false;
    }
}

}  // namespace qdsim::detail
