// The port mapper of a virtual reader: program 100000 version 2 (NULL,
// GETPORT, DUMP) on port 111 of the reader's own address, so that clients
// find the reader program's ports the way they find a reader's.
#pragma once

#include <cstdint>
#include <functional>

#include "wire.h"

namespace qdsim::detail {

struct ProgramPorts {
    uint16_t udp = 0;
    uint16_t tcp = 0;
};

// Reads one port mapper call (server thread) and returns what sends its
// reply, now or later: the reply needs nothing of the request any more.
// Versions 3 and 4 (rpcbind) are not served: libtirpc answers them with a
// version mismatch naming version 2, and clients fall back to it.
std::function<void()> port_mapper_reply(const ProgramPorts& ports, svc_req* rq, SVCXPRT* xprt);

}  // namespace qdsim::detail
