#include "host.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace qd {

bool resolve_ipv4(const std::string& host, in_addr& address)
{
    hostent entry{};
    hostent* result = nullptr;
    int error = 0;
    std::vector<char> scratch(1024);
    for (;;) {
        const int rc = gethostbyname_r(host.c_str(), &entry, scratch.data(), scratch.size(),
                                       &result, &error);
        if (rc == ERANGE && scratch.size() < (1u << 20)) {
            scratch.resize(scratch.size() * 2);
            continue;
        }
        break;
    }
    if (!result || result->h_addrtype != AF_INET || !result->h_addr_list[0])
        return false;
    const auto length = static_cast<std::size_t>(result->h_length);
    std::memcpy(&address, result->h_addr_list[0], length < sizeof address ? length : sizeof address);
    return true;
}

}  // namespace qd
