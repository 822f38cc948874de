// The virtual reader's searches that run on times of their own: those whose
// configuration carries dwell times per group or a duration, as an
// automatic search's does (behaviour_auto_search.cpp).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace qdsim::detail {

struct TimedSearch {
    std::chrono::steady_clock::time_point since;      // its start call
    std::chrono::system_clock::time_point started;    // the same, on the wall clock
    std::optional<std::chrono::milliseconds> duration;   // none: runs until stopped
    std::vector<std::chrono::milliseconds> dwell;     // per group, in the order it cycles through them
    // One pass through the groups, in which every live tag is seen once.
    std::chrono::milliseconds pass{1};
    uint64_t passes_landed = 0;
};

}  // namespace qdsim::detail
