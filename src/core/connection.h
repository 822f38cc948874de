// One RPC connection to a reader: a client of the reader program, shared by
// every thread that calls through it and destroyed when the last of them
// lets go.
#pragma once

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <mutex>
#include <string>

#include "wire.h"

namespace qd {

// Held around the destruction of a client, and around every change of a
// reader's current connection.  Always the innermost lock.
extern std::mutex client_teardown_lock;

// Keeps SIGPIPE from the calling thread while it exists: a reader that
// closes its end of a TCP connection must fail the call, not end the
// process.  A SIGPIPE raised meanwhile is taken off the thread again, unless
// one was already pending before.
class SigpipeBlock {
public:
    SigpipeBlock();
    ~SigpipeBlock();
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

private:
    sigset_t previous_;
    bool was_pending_;
};

class Connection {
public:
    // Opens a client for the host (the port mapper on the host supplies the
    // program's port).  Null when the host does not resolve or the client
    // cannot be created.
    static std::shared_ptr<Connection> open(const std::string& host, bool tcp);

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
    };

    // Makes one call.  Calls on one client are serialised.
    template <class F>
    clnt_stat call(F&& entry, const char* name, Outcome& outcome)
    {
        std::lock_guard<std::mutex> serial(calls_);
        clnt_stat status;
        if (tcp_) {
            SigpipeBlock quiet;
            status = entry(client_);
        } else {
            // The RPC library repeats a UDP request after each retry
            // interval without an answer; a call that lasted that long was
            // sent more than once.
            const auto started = std::chrono::steady_clock::now();
            status = entry(client_);
            outcome.repeated = std::chrono::steady_clock::now() - started >= udp_retry_wait;
        }
        if (status != RPC_SUCCESS)
            describe_failure(name, outcome.why);
        return status;
    }

    // Retransmission interval of UDP calls.
    static constexpr std::chrono::seconds udp_retry_wait{3};

    CLIENT* client() const { return client_; }

    // A dropped connection is no longer its reader's: calls that still hold
    // it may finish, but an operation's next call goes through a new one.
    bool dropped() const { return dropped_.load(std::memory_order_acquire); }
    void mark_dropped() { dropped_.store(true, std::memory_order_release); }

private:
    void describe_failure(const char* name, std::string& why);

    CLIENT* client_;
    const bool tcp_;
    std::mutex calls_;
    std::atomic<bool> dropped_{false};
};

using ConnectionRef = std::shared_ptr<Connection>;

}  // namespace qd
