// One RPC connection to a reader: a client of the reader program, shared by
// every thread that calls through it and destroyed when the last of them
// lets go.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "deadline_client.h"
#include "trace.h"
#include "wire.h"

namespace qd {

// Held around the destruction of a client, and around every change of a
// reader's current connection.  Always the innermost lock.
extern std::mutex client_teardown_lock;

// The RPC library's description of the last call's failure on `client`,
// after `prefix` (clnt_sperror(), which formats into one buffer of the
// RPC library's: every caller goes through here, one at a time).
std::string rpc_failure_text(CLIENT* client, const char* prefix);

class Connection {
public:
    // Opens a client for the host (the port mapper on the host supplies the
    // program's port).  Null when the host does not resolve or the client
    // cannot be created; `out_of_memory` tells when memory ran out.
    static std::shared_ptr<Connection> open(const std::string& host, bool tcp, bool* out_of_memory = nullptr);

    Connection(CLIENT* client, bool tcp) : client_(client), tcp_(tcp) {}
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // What became of one call besides its status.
    struct Outcome {
        std::string why;        // the RPC library's description of a failure,
                                // prefixed "RPC call to NAME failed"; only
                                // while the trace is on
        bool repeated = false;  // a UDP request was sent more than once
        const char* prefix = nullptr;   // set: a failure is described even
                                        // while the trace is off, after this
        bool stale = false;     // nothing was sent: the connection had been
                                // dropped while the call waited for it
    };

    // Makes one call.  Calls on one client are serialised.  The client is
    // one of deadline_client.h: whatever the reader does, the call ends by
    // its time-out.
    template <class F>
    clnt_stat call(F&& entry, const char* name, Outcome& outcome)
    {
        std::unique_lock<std::mutex> serial(calls_, std::try_to_lock);
        if (!serial.owns_lock()) {
            serial.lock();
            // A call that waited behind one that failed does not go through
            // the dead connection for a time-out of its own: its caller
            // reconnects.
            if (dropped()) {
                outcome.stale = true;
                return RPC_FAILED;
            }
        }
        const clnt_stat status = entry(client_);
        outcome.repeated = deadline_client_sends(client_) > 1;
        // Marked before the next call waiting for the lock may go through.
        if (leaves_out_of_step(status))
            mark_dropped();
        // Our client ran out of memory for the call (nothing was sent): the
        // caller's frame reports that as the library's own failure.
        if (status == RPC_SYSTEMERROR && deadline_client_out_of_memory(client_))
            throw std::bad_alloc();
        if (status != RPC_SUCCESS && (outcome.prefix || tracing()))
            describe_failure(name, outcome);
        return status;
    }

    // Runs `work(client)` with the client to itself: no other call goes
    // through the connection meanwhile (a window of calls in flight, say).
    template <class F>
    decltype(auto) exclusive(F&& work)
    {
        std::lock_guard<std::mutex> serial(calls_);
        return work(client_);
    }

    // True when a call that ended with `status` may have left the
    // connection out of step (no reply, or none that could be read whole):
    // no call may go through it any more, whatever the operation's policy.
    static bool leaves_out_of_step(clnt_stat status);

    // Retransmission interval of UDP calls.
    static constexpr std::chrono::seconds udp_retry_wait{3};
    // The total time-out of every call (the client entries pass it), also
    // the most that opening a connection waits for the port mapper's answer
    // and for the TCP connection.
    static constexpr std::chrono::seconds call_timeout{25};

    CLIENT* client() const { return client_; }
    bool tcp() const { return tcp_; }

    // A dropped connection is no longer its reader's: calls that still hold
    // it may finish, but an operation's next call goes through a new one.
    bool dropped() const { return dropped_.load(std::memory_order_acquire); }
    void mark_dropped() { dropped_.store(true, std::memory_order_release); }

private:
    void describe_failure(const char* name, Outcome& outcome);

    CLIENT* client_;
    const bool tcp_;
    std::mutex calls_;
    std::atomic<bool> dropped_{false};
};

using ConnectionRef = std::shared_ptr<Connection>;

}  // namespace qd
