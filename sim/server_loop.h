// The process-wide RPC server thread.
//
// libtirpc keeps its server state per process (the callout list, svc_pollfd,
// the table from descriptors to transports), so every virtual reader in a
// process is served by one thread that owns that state: it polls the
// descriptors of all transports, and every transport is created and
// destroyed on it (call() hands it the work and waits).  Requests are routed
// to the reader whose address they arrived at.
//
// Nothing on that thread waits: a reply that is due later (a delay fault, a
// reader's latency) is queued with defer_reply() and sent by the loop when
// its time comes, while the other readers go on being served; so is a reply
// crossing a reader's link (schedule()), and bytes a client's connection
// would not take yet wait for it to become writable (when_writable()).
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
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

// What the server thread runs on (server_loop.cpp).
struct LoopState;

class ServerLoop {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // The running loop, started when the first holder asks for it and ended
    // when the last holder lets go (on any thread, the server thread
    // included).
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

    // Server thread only, from the dispatcher of a call on `xprt`: the call
    // gets no reply now; `send` runs on the server thread at `due` and sends
    // it.  Until the transport's last waiting reply is sent nothing more is
    // read from it.  Requests already read behind this one (several records
    // of one TCP read) queue behind it: the reader serves one call at a
    // time, so a call's own time (`due` less now) starts when the reply
    // before it leaves.  `send` must not rely on the transport still holding
    // this call (see keep_call() in misbehaviour.h).  False when the reply
    // cannot wait: the connection failed (the caller then replies at once).
    // `reader` is the local address the call arrived at, for
    // cancel_replies().
    bool defer_reply(SVCXPRT* xprt, in_addr_t reader, TimePoint due, std::function<void()> send);

    // Server thread only: nothing is read from descriptor `fd` while it is
    // held (a reader's link is full, or a client does not take its replies).
    void hold(int fd, bool held);
    // Server thread only: `ready` runs once `fd` can be written to; one
    // callback per descriptor, replaced by the next.  forget_fd() drops the
    // callback and the hold, before the descriptor is closed.
    void when_writable(int fd, std::function<void()> ready);
    void forget_fd(int fd);

    // Server thread only: forgets the replies still due for calls that
    // arrived at `reader`, before its transports are destroyed.
    void cancel_replies(in_addr_t reader);

    // --- timed sends of a misbehaving reader (misbehaviour.h) ---
    // Server thread only: runs `task` on the server thread at `due`, while
    // the transports go on being read; cancel_replies(reader) forgets it.
    void schedule(TimePoint due, in_addr_t reader, std::function<void()> task);
    // --- end of timed sends ---

private:
    // Shared with the server thread, which may outlive this object: when the
    // last holder lets go on the server thread itself, the thread is
    // detached and ends on its own reference.
    std::shared_ptr<LoopState> state_;
    std::thread thread_;
};

// Registers the dispatchers of the reader program and of the port mapper
// with libtirpc (once per process; the registrations are process-wide and
// serve every transport).  Server thread only.
void register_dispatchers(SVCXPRT* any_transport);

}  // namespace qdsim::detail
