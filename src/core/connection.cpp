#include "connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <rpc/pmap_clnt.h>
#include <sys/socket.h>

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "host.h"
#include "trace.h"

namespace qd {

std::mutex client_teardown_lock;

namespace {

// clnt_sperror() formats into one buffer of the RPC library's: one caller at
// a time.
std::mutex sperror_lock;

}  // namespace

ConnectionRef Connection::open(const std::string& host, bool tcp)
{
    trace("Making RPC connection to %s\n", host.c_str());

    in_addr address{};
    if (!resolve_ipv4(host, address)) {
        std::perror("rpc_client_open(): gethostbyname failed");
        return nullptr;
    }

    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr = address;

    // The host's port mapper supplies the program's port.  The look-up is
    // made here, through the RPC library, rather than by handing port 0 to
    // the client constructors: when the port mapper has no answer, their own
    // look-up releases a lock of the RPC library's that it no longer holds,
    // which can break that lock for other threads.
    sockaddr_in mapper = server;
    const u_short port = pmap_getport(&mapper, READER_RPC_PROG, READER_RPC_VERS,
                                      tcp ? IPPROTO_TCP : IPPROTO_UDP);
    if (port == 0)
        return nullptr;
    server.sin_port = htons(port);

    int sock = RPC_ANYSOCK;
    CLIENT* client =
        tcp ? clnttcp_create(&server, READER_RPC_PROG, READER_RPC_VERS, &sock, 0, 0)
            : clntudp_create(&server, READER_RPC_PROG, READER_RPC_VERS,
                             timeval{static_cast<time_t>(udp_retry_wait.count()), 0}, &sock);
    if (!client)
        return nullptr;
    try {
        return std::make_shared<Connection>(client, tcp);
    } catch (const std::bad_alloc&) {
        clnt_destroy(client);
        return nullptr;
    }
}

SigpipeBlock::SigpipeBlock()
{
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe, &previous_);
}

SigpipeBlock::~SigpipeBlock()
{
    if (!was_pending_) {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        const timespec no_wait{};
        while (sigtimedwait(&pipe, nullptr, &no_wait) == SIGPIPE) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

Connection::~Connection()
{
    std::lock_guard<std::mutex> teardown(client_teardown_lock);
    clnt_destroy(client_);
}

void Connection::describe_failure(const char* name, std::string& why)
{
    if (!tracing())
        return;
    char prefix[128];
    std::snprintf(prefix, sizeof prefix, "RPC call to %s failed", name);
    std::lock_guard<std::mutex> one_at_a_time(sperror_lock);
    why = clnt_sperror(client_, prefix);
}

}  // namespace qd
