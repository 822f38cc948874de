// The readers one qdsim process serves (--readers): each on an address of
// its own, the addresses consecutive from --address on, all of them served
// by the one server thread of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "daemon_options.h"

namespace qdsim {

// The options of one reader of the fleet, and the seed of its random tags.
struct FleetMember {
    Options options;
    uint64_t seed = 1;
};

// The address `index` places after `first` ("127.0.40.255" + 1 is
// "127.0.41.0"); throws std::runtime_error when it would leave
// 127.0.0.0/8 or `first` is no IPv4 address.
std::string nth_address(const std::string& first, std::size_t index);

// The seed of reader `index`'s random tags: `base` for the first reader,
// so that one reader is the one qdsim always served, and for the others a
// mix of both that sets neighbours' fields far apart.
uint64_t member_seed(uint64_t base, std::size_t index);

// The readers that `daemon` asks for, in the order of their addresses.  With
// more than one, a --state FILE becomes FILE-ADDRESS for each reader.
std::vector<FleetMember> plan_fleet(const DaemonOptions& daemon);

// Lets the process open the descriptors `readers` readers need (four each,
// and their clients' connections), as far as the hard limit allows.  Before
// the first reader starts: libtirpc sizes its table of transports once.
void raise_descriptor_limit(std::size_t readers);

}  // namespace qdsim
