#include "fleet.h"

#include <arpa/inet.h>
#include <sys/resource.h>

#include <algorithm>
#include <stdexcept>

namespace qdsim {

std::string nth_address(const std::string& first, std::size_t index)
{
    in_addr a{};
    if (inet_pton(AF_INET, first.c_str(), &a) != 1)
        throw std::runtime_error("not an IPv4 address: '" + first + "'");
    const uint64_t host = ntohl(a.s_addr);
    const uint64_t n = host + index;
    if ((host >> 24) != 127 || (n >> 24) != 127)
        throw std::runtime_error("reader " + std::to_string(index + 1) + " from " + first +
                                 " would lie outside the loopback network 127.0.0.0/8");
    a.s_addr = htonl(static_cast<uint32_t>(n));
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

uint64_t member_seed(uint64_t base, std::size_t index)
{
    if (index == 0)
        return base;
    // splitmix64's finaliser over the base and the index.
    uint64_t z = base + 0x9E3779B97F4A7C15ull * (static_cast<uint64_t>(index) + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::vector<FleetMember> plan_fleet(const DaemonOptions& daemon)
{
    std::vector<FleetMember> fleet;
    fleet.reserve(daemon.readers);
    for (std::size_t i = 0; i < daemon.readers; ++i) {
        FleetMember m{daemon.reader, member_seed(daemon.seed, i)};
        m.options.address = nth_address(daemon.reader.address, i);
        // Readers sharing one store would overwrite each other's commits.
        if (daemon.readers > 1 && !m.options.state_file.empty())
            m.options.state_file += "-" + m.options.address;
        fleet.push_back(std::move(m));
    }
    return fleet;
}

void raise_descriptor_limit(std::size_t readers)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    const rlim_t wanted = static_cast<rlim_t>(64 + 8 * readers);
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace qdsim
