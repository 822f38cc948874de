// Host-name look-up.
#pragma once

#include <netinet/in.h>

#include <string>

namespace qd {

// The first IPv4 address of a host name (or dotted quad).  Safe to call from
// several threads at once.
bool resolve_ipv4(const std::string& host, in_addr& address);

}  // namespace qd
