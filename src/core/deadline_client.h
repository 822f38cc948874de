// Clients of an RPC program whose every call ends by its total time-out,
// whatever the server sends or withholds.
//
// The RPC library's own clients measure their time-out afresh for each read:
// a server that trickles a TCP reply a byte at a time, answers with other
// transaction ids or never ends a record keeps a call alive for as long as it
// likes, and a UDP datagram with a foreign transaction id makes the library's
// UDP client send its request again at once.  These clients speak the same
// protocol with the same bytes on the wire, behind the same CLIENT interface
// (clnt_call, clnt_sperror and clnt_destroy work on them as on any client),
// but hold every call to one deadline: the time-out given to the call,
// counted from its start.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "wire.h"

namespace qd {

// Creates a client of (program, version) at `server` (address and port).
// UDP: the request goes out again after each `retry` without its answer;
// answers that are not to the call in progress are ignored.  TCP: the
// connection is made within `connect_timeout`.  Null when no socket could be
// made, bound or connected (errno says why), or memory ran out (errno ENOMEM).
CLIENT* deadline_client_create(const sockaddr_in& server, rpcprog_t program, rpcvers_t version, bool tcp,
                               std::chrono::milliseconds retry, std::chrono::milliseconds connect_timeout);

// --- Several calls in flight ---------------------------------------------
//
// A pipelined run keeps up to a window of calls of one procedure, all with
// the same argument, in flight at once on one client of
// deadline_client_create.  Each goes out with a transaction id of its own
// and is held to its own time-out, counted from when it went out; replies
// are matched to their calls by transaction id in whatever order they come,
// and a reply to no call in flight is ignored.  UDP: a request goes out again
// after each retry interval without its answer, so a lost request or reply
// costs a retry, never the call.  TCP: requests are written as the
// connection takes them and replies are read as they arrive, so neither side
// waits on the other.  Calls made with clnt_call before and after go on one
// at a time as ever.
//
// The sink hears of every call.  next(index) comes before call `index`
// (0, 1, 2, ...) goes out; false: no more calls go out.  result(index) is
// where its answer is decoded (zeroed storage, kept until it is settled).
// settled(index, status) comes once for every call that went out: RPC_SUCCESS
// when its answer was decoded into result(index), otherwise why it failed.
// cancelled() is asked between events (at least every 50 ms): true ends the
// run at once, the calls in flight settled as interrupted (RPC_INTR).
class PipelineSink {
public:
    virtual bool next(std::size_t index) = 0;
    virtual void* result(std::size_t index) = 0;
    virtual void settled(std::size_t index, clnt_stat status) = 0;
    virtual bool cancelled() { return false; }

protected:
    ~PipelineSink() = default;
};

struct PipelineCalls {
    rpcproc_t procedure = 0;
    xdrproc_t encode = nullptr;      // the argument's filter
    void* argument = nullptr;        // encoded once, sent with every call
    xdrproc_t decode = nullptr;      // the result's filter
    std::size_t window = 1;          // calls in flight at most (at least 1)
    std::chrono::milliseconds timeout{25000};   // of each call
};

struct PipelineOutcome {
    std::size_t calls = 0;           // calls that went out
    std::size_t unanswered = 0;      // settled without any reply: timed out,
                                     // interrupted, or abandoned with the
                                     // connection
    clnt_stat failure = RPC_SUCCESS; // the first failure: of a call, or of
                                     // the connection (clnt_sperror tells it)
    bool transport_failed = false;   // the connection failed: the calls in
                                     // flight were abandoned with it
    bool cancelled = false;          // the sink ended the run
    bool resent = false;             // UDP: a request went out more than once
};

// Runs the calls.  After a TCP run whose connection failed, or that had to
// leave a request half-written, the client is unusable: every later call
// fails at once (RPC_CANTSEND), and the caller drops it.  A client not made
// by deadline_client_create: RPC_UNKNOWNPROTO, nothing sent.
PipelineOutcome deadline_client_pipeline(CLIENT* client, const PipelineCalls& calls, PipelineSink& sink);

// How many times the latest call on a client of deadline_client_create sent
// its request (0 before the first call; always 1 over TCP).
unsigned deadline_client_sends(const CLIENT* client);

// True when the latest call failed because memory ran out for its buffers.
bool deadline_client_out_of_memory(CLIENT* client);

// The port that the port mapper at `host` (its address; the port is ignored)
// reports for (program, version, protocol); 0 when it reports none or does
// not answer within `timeout`.
uint16_t deadline_getport(const sockaddr_in& host, rpcprog_t program, rpcvers_t version, int protocol,
                          std::chrono::milliseconds timeout);

}  // namespace qd
