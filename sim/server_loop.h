// The process-wide RPC server thread.
//
// libtirpc keeps its server state per process (the callout list, svc_pollfd,
// the table from descriptors to transports), so every virtual reader in a
// process is served by one thread that owns that state: it polls the
// descriptors of all transports, and every transport is created and
// destroyed on it (call() hands it the work and waits).  Requests are routed
// to the reader whose address they arrived at.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "wire.h"

namespace qdsim::detail {

// A virtual reader as the server thread sees it.  The calls come on the
// server thread only.
class Endpoint {
public:
    virtual ~Endpoint() = default;
    // A call of the reader program that arrived at one of the endpoint's
    // program ports.
    virtual void serve_program(svc_req* rq, SVCXPRT* xprt) = 0;
    // A call of the port mapper program that arrived at port 111.
    virtual void serve_port_mapper(svc_req* rq, SVCXPRT* xprt) = 0;
    // The endpoint's program ports (host order); 0 when not bound.
    virtual uint16_t program_port(int sock_type) const = 0;
    virtual bool serves_port_mapper() const = 0;
};

class ServerLoop {
public:
    // The running loop, started when the first holder asks for it and ended
    // when the last holder lets go.
    static std::shared_ptr<ServerLoop> acquire();

    ServerLoop();
    ~ServerLoop();
    ServerLoop(const ServerLoop&) = delete;
    ServerLoop& operator=(const ServerLoop&) = delete;

    // Runs `fn` on the server thread and waits for it; an exception thrown by
    // `fn` is rethrown here.  Called on the server thread, runs it directly.
    void call(const std::function<void()>& fn);

    // Server thread only: routing of requests by local address.
    void attach(in_addr_t address, Endpoint* endpoint);
    void detach(in_addr_t address);
    Endpoint* find(in_addr_t address) const;

private:
    void run();
    void run_commands();

    int wake_fd_ = -1;
    std::mutex mu_;
    std::deque<std::packaged_task<void()>> commands_;
    bool quit_ = false;
    std::map<in_addr_t, Endpoint*> endpoints_;   // server thread only
    std::thread thread_;
};

// Registers the dispatchers of the reader program and of the port mapper
// with libtirpc (once per process; the registrations are process-wide and
// serve every transport).  Server thread only.
void register_dispatchers(SVCXPRT* any_transport);

}  // namespace qdsim::detail
