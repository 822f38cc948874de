// The time an operation has left.  A call's own time-out is whole (25 s
// from its start); a caller that already waited behind a call that failed
// has less left, and the reconnection and the call it makes instead end by
// the time its own call would have.
#pragma once

#include <algorithm>
#include <chrono>
#include <optional>

namespace qd {

using DeadlineClock = std::chrono::steady_clock;

inline thread_local std::optional<DeadlineClock::time_point> deadline_cap;

// `wanted`, or the calling thread's cap when that comes first.
inline DeadlineClock::time_point capped_deadline(DeadlineClock::time_point wanted)
{
    return deadline_cap ? std::min(wanted, *deadline_cap) : wanted;
}

// A duration from now, cut to what the cap leaves.
template <class Duration>
Duration capped_timeout(Duration wanted)
{
    if (!deadline_cap)
        return wanted;
    const auto left = std::chrono::duration_cast<Duration>(*deadline_cap - DeadlineClock::now());
    return std::clamp(left, Duration::zero(), wanted);
}

// Caps the calling thread's calls at `until` for a scope.
class DeadlineCap {
public:
    explicit DeadlineCap(DeadlineClock::time_point until) : saved_(deadline_cap)
    {
        deadline_cap = capped_deadline(until);
    }
    ~DeadlineCap() { deadline_cap = saved_; }
    DeadlineCap(const DeadlineCap&) = delete;
    DeadlineCap& operator=(const DeadlineCap&) = delete;

private:
    std::optional<DeadlineClock::time_point> saved_;
};

}  // namespace qd
