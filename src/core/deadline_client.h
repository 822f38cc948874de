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
