#include "server_loop.h"

#include <poll.h>
#include <rpc/pmap_prot.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace qdsim::detail {

namespace {

std::mutex g_acquire_mu;
std::weak_ptr<ServerLoop> g_loop;

// The loop whose thread is the calling thread (set on the server thread).
thread_local ServerLoop* t_loop = nullptr;

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

Endpoint* endpoint_for(SVCXPRT* xprt, LocalAddress& local)
{
    if (t_loop == nullptr || !local_address(xprt, local))
        return nullptr;
    return t_loop->find(local.address);
}

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

ServerLoop::ServerLoop()
{
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    thread_ = std::thread([this] { run(); });
}

ServerLoop::~ServerLoop()
{
    {
        std::lock_guard lock(mu_);
        quit_ = true;
    }
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();   // the last holder let go on the server thread
        else
            thread_.join();
    }
    close(wake_fd_);
}

void ServerLoop::call(const std::function<void()>& fn)
{
    if (t_loop == this) {
        fn();
        return;
    }
    std::packaged_task<void()> task(fn);
    auto done = task.get_future();
    {
        std::lock_guard lock(mu_);
        if (quit_)
            throw std::logic_error("the server loop has ended");
        commands_.push_back(std::move(task));
    }
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
    done.get();
}

void ServerLoop::attach(in_addr_t address, Endpoint* endpoint) { endpoints_[address] = endpoint; }

void ServerLoop::detach(in_addr_t address) { endpoints_.erase(address); }

Endpoint* ServerLoop::find(in_addr_t address) const
{
    auto it = endpoints_.find(address);
    return it == endpoints_.end() ? nullptr : it->second;
}

void ServerLoop::run_commands()
{
    for (;;) {
        std::packaged_task<void()> task;
        {
            std::lock_guard lock(mu_);
            if (commands_.empty())
                return;
            task = std::move(commands_.front());
            commands_.pop_front();
        }
        task();
    }
}

void ServerLoop::run()
{
    block_async_signals();
    t_loop = this;
    std::vector<pollfd> fds;
    for (;;) {
        {
            std::lock_guard lock(mu_);
            if (quit_ && commands_.empty())
                break;
        }
        // svc_getreq_poll walks svc_max_pollfd entries of the array it is
        // given, and a connection accepted while it runs adds one entry per
        // ready descriptor at most: the copy gets that much slack (unused
        // entries are -1), and the wake-up descriptor sits behind it.
        const int n = svc_max_pollfd;
        fds.assign(2 * static_cast<size_t>(n) + 1, pollfd{-1, 0, 0});
        for (int i = 0; i < n; ++i)
            fds[i] = svc_pollfd[i];
        pollfd& wake = fds.back();
        wake = pollfd{wake_fd_, POLLIN, 0};
        int ready = poll(fds.data(), fds.size(), -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (wake.revents != 0) {
            uint64_t value;
            [[maybe_unused]] ssize_t r = read(wake_fd_, &value, sizeof value);
            // Commands change the set of transports: serve the requests in
            // the next round, with a fresh copy of the descriptors.
            run_commands();
            continue;
        }
        int svc_ready = 0;
        for (int i = 0; i < n; ++i)
            if (fds[i].fd >= 0 && fds[i].revents != 0)
                ++svc_ready;
        if (svc_ready > 0)
            svc_getreq_poll(fds.data(), svc_ready);
    }
    run_commands();
    t_loop = nullptr;
}

}  // namespace qdsim::detail
