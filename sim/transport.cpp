#include "transport.h"

#include <arpa/inet.h>
#include <rpc/pmap_prot.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace qdsim::detail {

namespace {

// Large enough for the biggest record of the protocol in one datagram.
constexpr u_int kUdpBufferSize = 65000;

int bound_socket(in_addr_t address, uint16_t port, int type)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = address;
    sin.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
        (type == SOCK_STREAM && listen(fd, SOMAXCONN) != 0)) {
        int e = errno;
        close(fd);
        std::string what = "cannot bind " + address_text(address) + ":" + std::to_string(port) + "/" +
                           (type == SOCK_STREAM ? "tcp" : "udp") + ": " + std::strerror(e);
        if (e == EADDRINUSE && port == PMAPPORT)
            what += " (port 111 is in use: run with --rpcbind to register with the system's port mapper, "
                    "or use a private network namespace)";
        throw std::runtime_error(what);
    }
    return fd;
}

}  // namespace

std::string address_text(in_addr_t address)
{
    char buf[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = address;
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

SVCXPRT* open_udp(in_addr_t address, uint16_t port)
{
    int fd = bound_socket(address, port, SOCK_DGRAM);
    // Room for a client's whole window of requests in flight (256 calls):
    // the kernel's default queue drops part of it, and a dropped request is
    // served only when resent, seconds later and out of its turn.  Forced
    // past the system's limit where the process may, asked for otherwise.
    const int queue = 1 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &queue, sizeof queue) != 0)
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &queue, sizeof queue);
    SVCXPRT* xprt = svc_dg_create(fd, kUdpBufferSize, kUdpBufferSize);
    if (xprt == nullptr) {
        close(fd);
        throw std::runtime_error("cannot create a UDP transport on " + address_text(address));
    }
    return xprt;
}

SVCXPRT* open_tcp(in_addr_t address, uint16_t port)
{
    int fd = bound_socket(address, port, SOCK_STREAM);
    SVCXPRT* xprt = svc_vc_create(fd, 0, 0);
    if (xprt == nullptr) {
        close(fd);
        throw std::runtime_error("cannot create a TCP transport on " + address_text(address));
    }
    return xprt;
}

void close_transport(SVCXPRT*& xprt)
{
    if (xprt != nullptr)
        svc_destroy(xprt);   // unregisters it and closes its socket
    xprt = nullptr;
}

uint16_t local_port(const SVCXPRT* xprt)
{
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    if (xprt == nullptr || getsockname(xprt->xp_fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0)
        return 0;
    return ntohs(sin.sin_port);
}

void close_connections(in_addr_t address)
{
    // Accepted connections are created by libtirpc, not by us; they are
    // found among the served descriptors by their local address.
    std::vector<int> ended;
    for (int i = 0; i < svc_max_pollfd; ++i) {
        int fd = svc_pollfd[i].fd;
        if (fd < 0)
            continue;
        sockaddr_in sin{};
        socklen_t len = sizeof sin;
        int type = 0, listening = 0;
        socklen_t tlen = sizeof type, llen = sizeof listening;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0 || sin.sin_family != AF_INET ||
            sin.sin_addr.s_addr != address)
            continue;
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tlen) != 0 || type != SOCK_STREAM)
            continue;
        if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &llen) != 0 || listening)
            continue;
        shutdown(fd, SHUT_RDWR);
        ended.push_back(fd);
    }
    // The transport reads the end of the stream and destroys itself now,
    // rather than in some later round of the loop.
    for (int fd : ended)
        svc_getreq_common(fd);
}

Transport transport_of(const SVCXPRT* xprt)
{
    int type = 0;
    socklen_t len = sizeof type;
    getsockopt(xprt->xp_fd, SOL_SOCKET, SO_TYPE, &type, &len);
    return type == SOCK_STREAM ? Transport::tcp : Transport::udp;
}

}  // namespace qdsim::detail
