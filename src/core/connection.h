// One RPC connection to a reader: a client of the reader program, shared by
// every thread that calls through it and destroyed when the last of them
// lets go.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "wire.h"

namespace qd {

// Held around the destruction of a client, and around every change of a
// reader's current connection.  Always the innermost lock.
extern std::mutex client_teardown_lock;

class Connection {
public:
    // Opens a client for the host (the port mapper on the host supplies the
    // program's port).  Null when the host does not resolve or the client
    // cannot be created.
    static std::shared_ptr<Connection> open(const std::string& host, bool tcp);

    explicit Connection(CLIENT* client) : client_(client) {}
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Makes one call.  Calls on one client are serialised.  When the call
    // fails and the trace is on, `why` receives the RPC library's description
    // of the failure, prefixed with "RPC call to NAME failed".
    template <class F>
    clnt_stat call(F&& entry, const char* name, std::string& why)
    {
        std::lock_guard<std::mutex> serial(calls_);
        const clnt_stat status = entry(client_);
        if (status != RPC_SUCCESS)
            describe_failure(name, why);
        return status;
    }

private:
    void describe_failure(const char* name, std::string& why);

    CLIENT* client_;
    std::mutex calls_;
};

using ConnectionRef = std::shared_ptr<Connection>;

}  // namespace qd
