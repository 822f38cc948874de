// behaviour_auto_search.cpp: searches whose configuration carries times (an
// automatic search's: a dwell time per group, a duration).  The search
// behaviour (behaviour_search.cpp) runs them through these.
#pragma once

#include <optional>

#include "reader_model.h"
#include "wire.h"

namespace qdsim::detail {

// The times a configuration carries, or nothing when it carries none (the
// search then runs as any other).  Patterns of kind 3 carry milliseconds:
// the top pattern the duration, a group's the time spent on that group.  A
// pass through groups without times takes `plain_pass`.
std::optional<TimedSearch> timed_search_of(const wire::search_config& config, Clock::time_point now,
                                           std::chrono::milliseconds plain_pass);

// Lands in the tag database the passes the search has completed by `now`;
// false once its duration is over (it is then to be completed).
bool advance_timed(ReaderModel& m, TimedSearch& t, Clock::time_point now);

// Lands the passes up to `now` (the duration's end at most), the one under
// way included, and at least one: the search has ended or was stopped.
void finish_timed(ReaderModel& m, TimedSearch& t, Clock::time_point now);

}  // namespace qdsim::detail
