#include "server_loop.h"

#include <poll.h>
#include <rpc/pmap_prot.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace qdsim::detail {

namespace {

std::mutex g_acquire_mu;
std::weak_ptr<ServerLoop> g_loop;

struct LocalAddress {
    in_addr_t address = 0;   // network order
    uint16_t port = 0;       // host order
    int sock_type = 0;
};

bool local_address(SVCXPRT* xprt, LocalAddress& out)
{
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    if (getsockname(xprt->xp_fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0 || sin.sin_family != AF_INET)
        return false;
    int type = 0;
    socklen_t tlen = sizeof type;
    if (getsockopt(xprt->xp_fd, SOL_SOCKET, SO_TYPE, &type, &tlen) != 0)
        return false;
    out.address = sin.sin_addr.s_addr;
    out.port = ntohs(sin.sin_port);
    out.sock_type = type;
    return true;
}

Endpoint* endpoint_for(SVCXPRT* xprt, LocalAddress& local);

// One dispatcher per program: libtirpc serves a (program, version) with one
// function for all transports, so the reader is found by the address the
// request arrived at, and a request at the wrong port is refused.
void program_dispatch(svc_req* rq, SVCXPRT* xprt)
{
    LocalAddress local;
    Endpoint* ep = endpoint_for(xprt, local);
    if (ep == nullptr || local.port == 0 || ep->program_port(local.sock_type) != local.port) {
        svcerr_noprog(xprt);
        return;
    }
    ep->serve_program(rq, xprt);
}

void port_mapper_dispatch(svc_req* rq, SVCXPRT* xprt)
{
    LocalAddress local;
    Endpoint* ep = endpoint_for(xprt, local);
    if (ep == nullptr || !ep->serves_port_mapper() || local.port != PMAPPORT) {
        svcerr_noprog(xprt);
        return;
    }
    ep->serve_port_mapper(rq, xprt);
}

void block_async_signals()
{
    // The server thread takes no signals: SIGPIPE from a write to a client
    // that went away must become EPIPE, and the daemon waits for SIGINT and
    // SIGTERM on its main thread.
    sigset_t set;
    sigfillset(&set);
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP})
        sigdelset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

// A reply that leaves later.
struct PendingReply {
    SVCXPRT* xprt = nullptr;
    in_addr_t reader = 0;
    ServerLoop::TimePoint due{};
    std::function<void()> send;
};

struct LoopState {
    LoopState()
    {
        wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_fd < 0)
            throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    ~LoopState() { close(wake_fd); }
    LoopState(const LoopState&) = delete;
    LoopState& operator=(const LoopState&) = delete;

    void wake()
    {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wake_fd, &one, sizeof one);
    }

    void run();
    void run_commands();
    void send_due_replies();
    const timespec* poll_timeout(timespec& out) const;

    int wake_fd = -1;
    std::mutex mu;
    std::deque<std::packaged_task<void()>> commands;
    bool quit = false;

    // Server thread only.
    std::map<in_addr_t, Endpoint*> endpoints;
    // By descriptor, in the order they leave: a transport is not read from
    // while it has any, so only requests read in one go queue up.
    std::map<int, std::deque<PendingReply>> pending;
    std::set<int> held;
    std::map<int, std::function<void()>> writers;
    bool polled(int fd) const { return pending.count(fd) == 0 && held.count(fd) == 0; }

    // --- timed sends of a misbehaving reader ---
    std::multimap<ServerLoop::TimePoint, PendingReply> timers;
    void run_due_timers();
    // --- end of timed sends ---
};

namespace {

// The loop state whose thread is the calling thread (set on the server
// thread).
thread_local LoopState* t_state = nullptr;

Endpoint* endpoint_for(SVCXPRT* xprt, LocalAddress& local)
{
    if (t_state == nullptr || !local_address(xprt, local))
        return nullptr;
    auto it = t_state->endpoints.find(local.address);
    return it == t_state->endpoints.end() ? nullptr : it->second;
}

}  // namespace

void register_dispatchers(SVCXPRT* any_transport)
{
    // The callouts outlive transports and loops; register them once.  The
    // protocol argument 0 keeps libtirpc from calling the system's binder.
    static bool done = false;
    if (done)
        return;
    if (!svc_register(any_transport, READER_RPC_PROG, READER_RPC_VERS, program_dispatch, 0))
        throw std::runtime_error("cannot register the reader program's dispatcher");
    if (!svc_register(any_transport, PMAPPROG, PMAPVERS, port_mapper_dispatch, 0))
        throw std::runtime_error("cannot register the port mapper's dispatcher");
    done = true;
}

std::shared_ptr<ServerLoop> ServerLoop::acquire()
{
    std::lock_guard lock(g_acquire_mu);
    auto loop = g_loop.lock();
    if (!loop) {
        loop = std::make_shared<ServerLoop>();
        g_loop = loop;
    }
    return loop;
}

ServerLoop::ServerLoop() : state_(std::make_shared<LoopState>())
{
    thread_ = std::thread([state = state_] { state->run(); });
}

ServerLoop::~ServerLoop()
{
    {
        std::lock_guard lock(state_->mu);
        state_->quit = true;
    }
    state_->wake();
    if (thread_.joinable()) {
        // The last holder let go on the server thread itself (a command that
        // destroyed the last reader): the thread cannot wait for itself.  It
        // ends once the command returns, on its own reference to the state.
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }
}

void ServerLoop::call(const std::function<void()>& fn)
{
    if (t_state == state_.get()) {
        fn();
        return;
    }
    std::packaged_task<void()> task(fn);
    auto done = task.get_future();
    {
        std::lock_guard lock(state_->mu);
        if (state_->quit)
            throw std::logic_error("the server loop has ended");
        state_->commands.push_back(std::move(task));
    }
    state_->wake();
    done.get();
}

void ServerLoop::attach(in_addr_t address, Endpoint* endpoint) { state_->endpoints[address] = endpoint; }

void ServerLoop::detach(in_addr_t address) { state_->endpoints.erase(address); }

Endpoint* ServerLoop::find(in_addr_t address) const
{
    auto it = state_->endpoints.find(address);
    return it == state_->endpoints.end() ? nullptr : it->second;
}

bool ServerLoop::defer_reply(SVCXPRT* xprt, in_addr_t reader, TimePoint due, std::function<void()> send)
{
    // libtirpc keeps the transaction id and the caller's address of the
    // request being served in its transport (for UDP: in the socket's one
    // transport), and the next request read overwrites them.  The loop does
    // not poll the descriptor while a reply is pending, but over TCP a
    // request that the client sent right behind this one may already sit in
    // the transport's buffer: svc_getreq_common reads it as soon as the
    // dispatcher returns (SVC_STAT says XPRT_MOREREQS).  Such a call cannot
    // waits behind this one, and the caller's `send` restores the call it
    // answers.  A connection that has failed cannot wait.
    if (SVC_STAT(xprt) == XPRT_DIED)
        return false;
    auto& queue = state_->pending[xprt->xp_fd];
    if (!queue.empty()) {
        const auto now = std::chrono::steady_clock::now();
        due = std::max(due, queue.back().due + std::max(due - now, TimePoint::duration::zero()));
    }
    queue.push_back(PendingReply{xprt, reader, due, std::move(send)});
    return true;
}

void ServerLoop::hold(int fd, bool held)
{
    if (held)
        state_->held.insert(fd);
    else
        state_->held.erase(fd);
}

void ServerLoop::when_writable(int fd, std::function<void()> ready) { state_->writers[fd] = std::move(ready); }

void ServerLoop::forget_fd(int fd)
{
    state_->held.erase(fd);
    state_->writers.erase(fd);
}

void ServerLoop::cancel_replies(in_addr_t reader)
{
    for (auto it = state_->pending.begin(); it != state_->pending.end();) {
        std::erase_if(it->second, [reader](const PendingReply& r) { return r.reader == reader; });
        it = it->second.empty() ? state_->pending.erase(it) : std::next(it);
    }
    std::erase_if(state_->timers, [reader](const auto& entry) { return entry.second.reader == reader; });
}

// --- timed sends of a misbehaving reader ---
void ServerLoop::schedule(TimePoint due, in_addr_t reader, std::function<void()> task)
{
    state_->timers.emplace(due, PendingReply{nullptr, reader, due, std::move(task)});
}

void LoopState::run_due_timers()
{
    // A task may schedule the next one; each round takes what is due now.
    const auto now = std::chrono::steady_clock::now();
    while (!timers.empty() && timers.begin()->first <= now) {
        PendingReply task = std::move(timers.begin()->second);
        timers.erase(timers.begin());
        task.send();
    }
}
// --- end of timed sends ---

void LoopState::run_commands()
{
    for (;;) {
        std::packaged_task<void()> task;
        {
            std::lock_guard lock(mu);
            if (commands.empty())
                return;
            task = std::move(commands.front());
            commands.pop_front();
        }
        task();
    }
}

const timespec* LoopState::poll_timeout(timespec& out) const
{
    if (pending.empty() && timers.empty())
        return nullptr;
    auto due = timers.empty() ? ServerLoop::TimePoint::max() : timers.begin()->first;
    for (const auto& entry : pending)
        due = std::min(due, entry.second.front().due);
    const auto wait = std::max(due - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    out.tv_sec = static_cast<time_t>(ns / 1000000000);
    out.tv_nsec = static_cast<long>(ns % 1000000000);
    return &out;
}

void LoopState::send_due_replies()
{
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        auto due = pending.end();
        for (auto it = pending.begin(); it != pending.end(); ++it)
            if (it->second.front().due <= now &&
                (due == pending.end() || it->second.front().due < due->second.front().due))
                due = it;
        if (due == pending.end())
            return;
        PendingReply reply = std::move(due->second.front());
        due->second.pop_front();
        if (due->second.empty())
            pending.erase(due);
        reply.send();
        // What svc_getreq_common does after a call: a connection that failed
        // (here: while the reply was written) is done with, and so are the
        // replies still queued for it.  A reader's own UDP transport never
        // reports that.
        if (SVC_STAT(reply.xprt) == XPRT_DIED) {
            pending.erase(reply.xprt->xp_fd);
            SVC_DESTROY(reply.xprt);
        }
    }
}

void LoopState::run()
{
    block_async_signals();
    t_state = this;
    std::vector<pollfd> fds;
    for (;;) {
        {
            std::lock_guard lock(mu);
            if (quit && commands.empty())
                break;
        }
        // svc_getreq_poll walks svc_max_pollfd entries of the array it is
        // given, and a connection accepted while it runs adds one entry per
        // ready descriptor at most: the copy gets that much slack (unused
        // entries are -1), the descriptors waiting to be written follow, and
        // the wake-up descriptor sits behind them.  A transport with a reply
        // pending, or held, is left out (see defer_reply).
        const int n = svc_max_pollfd;
        fds.assign(2 * static_cast<size_t>(n) + writers.size() + 1, pollfd{-1, 0, 0});
        for (int i = 0; i < n; ++i) {
            fds[i] = svc_pollfd[i];
            if (fds[i].fd >= 0 && !polled(fds[i].fd))
                fds[i].fd = -1;
        }
        std::size_t w = 2 * static_cast<size_t>(n);
        for (const auto& entry : writers)
            fds[w++] = pollfd{entry.first, POLLOUT, 0};
        pollfd& wake_entry = fds.back();
        wake_entry = pollfd{wake_fd, POLLIN, 0};
        timespec timeout{};
        int ready = ppoll(fds.data(), fds.size(), poll_timeout(timeout), nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (wake_entry.revents != 0) {
            uint64_t value;
            [[maybe_unused]] ssize_t r = read(wake_fd, &value, sizeof value);
            // Commands change the set of transports: serve the requests in
            // the next round, with a fresh copy of the descriptors.
            run_commands();
            continue;
        }
        send_due_replies();
        run_due_timers();
        // A callback may register the next one, or forget its descriptor.
        for (std::size_t i = 2 * static_cast<size_t>(n); i + 1 < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            auto it = writers.find(fds[i].fd);
            if (it == writers.end())
                continue;
            auto ready = std::move(it->second);
            writers.erase(it);
            ready();
        }
        int svc_ready = 0;
        for (int i = 0; i < n; ++i)
            if (fds[i].fd >= 0 && fds[i].revents != 0)
                ++svc_ready;
        if (svc_ready > 0)
            svc_getreq_poll(fds.data(), svc_ready);
    }
    run_commands();
    pending.clear();
    timers.clear();
    writers.clear();
    t_state = nullptr;
}

}  // namespace qdsim::detail
