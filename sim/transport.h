// The sockets and libtirpc transports of one virtual reader.  Everything
// here runs on the server thread (see server_loop.h).
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "virtual_reader.h"
#include "wire.h"

namespace qdsim::detail {

// A UDP or TCP transport bound to address:port (port 0: any free port).
// Throws std::runtime_error naming the address when the port cannot be bound.
SVCXPRT* open_udp(in_addr_t address, uint16_t port);
SVCXPRT* open_tcp(in_addr_t address, uint16_t port);

// Destroys a transport (closing its socket); null is ignored.
void close_transport(SVCXPRT*& xprt);

// The local port of a transport, host order.
uint16_t local_port(const SVCXPRT* xprt);

// Ends every accepted TCP connection whose local address is `address`: the
// peers see the connection close, and libtirpc destroys the transports.
void close_connections(in_addr_t address);

// The transport a request came by.
Transport transport_of(const SVCXPRT* xprt);

// "a.b.c.d" for messages.
std::string address_text(in_addr_t address);

}  // namespace qdsim::detail
