// A bare ONC RPC client of the reader program, for tests that talk to a
// virtual reader without the library: libtirpc's client, found through the
// reader's port mapper, and the generated XDR filters.
#pragma once

#include <arpa/inet.h>
#include <rpc/pmap_clnt.h>

#include <chrono>
#include <string>
#include <type_traits>

#include "virtual_reader.h"
#include "xdr_filter.h"

namespace qdsim::testing {

// A result that frees what its decoder allocated.
template <class R>
struct Result {
    explicit Result(xdrproc_t f) : filter(f) {}
    ~Result() { xdr_free(filter, reinterpret_cast<char*>(&value)); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    R value{};
    xdrproc_t filter;
};

class RawClient {
public:
    // Asks the port mapper at `address` for the program's port (port 0) or
    // uses `port`.  `timeout` bounds every call.
    RawClient(const std::string& address, Transport transport,
              std::chrono::milliseconds timeout = std::chrono::milliseconds(3000), uint16_t port = 0)
        : timeout_(timeout)
    {
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(port);
        if (inet_pton(AF_INET, address.c_str(), &sin.sin_addr) != 1)
            return;
        int sock = RPC_ANYSOCK;
        if (transport == Transport::udp) {
            // No retransmission within a call: one call is one datagram.
            auto ms = timeout.count();
            timeval retry{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
            client_ = clntudp_create(&sin, READER_RPC_PROG, READER_RPC_VERS, retry, &sock);
        } else {
            client_ = clnttcp_create(&sin, READER_RPC_PROG, READER_RPC_VERS, &sock, 0, 0);
        }
    }
    ~RawClient()
    {
        if (client_ != nullptr)
            clnt_destroy(client_);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool ok() const { return client_ != nullptr; }
    CLIENT* handle() const { return client_; }

    // One call; A or R void for procedures without argument or result.
    template <class A, class R, class FA, class FR>
    clnt_stat call(uint32_t proc, FA* arg_filter, A* arg, FR* res_filter, R* res)
    {
        if (client_ == nullptr)
            return RPC_FAILED;
        auto ms = timeout_.count();
        timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
        return clnt_call(client_, proc, detail::xdr_filter(arg_filter), static_cast<void*>(arg),
                         detail::xdr_filter(res_filter), static_cast<void*>(res), tv);
    }

    // Calls without an argument.
    template <class R, class FR>
    clnt_stat call(uint32_t proc, FR* res_filter, R* res)
    {
        return call(proc, xdr_void, static_cast<void*>(nullptr), res_filter, res);
    }

private:
    CLIENT* client_ = nullptr;
    std::chrono::milliseconds timeout_;
};

}  // namespace qdsim::testing
