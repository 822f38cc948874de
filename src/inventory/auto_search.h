// Automatic searches: the detailed search each one runs, the due times, and
// the library's timer thread that starts them.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "qdapi.h"

namespace qd::autosearch {

// A stop time that never comes (and a due time that never comes).
constexpr double no_end = 1e37;
// A due time is never less than this far ahead when the timer is armed.
constexpr double minimum_lead = 0.01;
// A start whose call failed is tried again this long after: a reader that
// cannot be reached loses none of its due searches, and does not keep the
// timer firing at the minimum lead meanwhile.
constexpr double retry_after = 1.0;

// Seconds since the epoch, with their fraction.
double now();

// The detailed search an automatic search runs on the reader, built from
// its record.  The configuration points into this object.
class Configuration {
public:
    explicit Configuration(const auto_search_record& record);
    Configuration(const Configuration&) = delete;
    Configuration& operator=(const Configuration&) = delete;

    search_config& config() { return config_; }
    // The record's parameters as the configuration used them: counts
    // clamped to 16, a_count one more when a group was appended.
    const search_params& params() const { return params_; }

private:
    search_params params_;
    std::vector<uint32_t> b_values_;
    ulong_list b_list_{};
    uint32_t zero_ = 0;
    std::vector<term_row> first_groups_;
    std::vector<term_row> second_groups_;
    search_config config_{};
};

// Low 16 bits of a number of seconds in milliseconds, truncated toward zero
// (0 for what is not a finite number).
uint16_t milliseconds_low16(double seconds);

// The duration from start to stop in milliseconds, as the duration pattern
// carries it (modulo 2^16).
uint16_t duration_pattern(double start_time, double stop_time);

// When the timer is next due: the earliest start among the searches still
// waiting to be started, at least minimum_lead from now; no_end without any.
// Reads the readers' lists only; connects no reader.
double next_due_time();

// The worker: hands the searches that are due to starters, one per reader
// that has any.  Runs on the timer thread.
void run_worker();

// Hands the timer the next due time (absolute); it wakes at once when that
// is sooner than the time it waits for.  The first call starts the timer's
// thread.
void arm_timer(double due);

// Makes the timer if there is none yet; throws what making it throws
// (std::system_error when its thread cannot start, std::bad_alloc), so that
// a registration can fail before anything of it is kept.
void start_timer();

// Runs `start` on a thread of its own, which the timer joins; false when no
// thread could be started (nothing ran).
bool run_starter(std::function<void()> start);

// True once the library is going away: starters stop starting searches.
bool stopping();

// A time in seconds as an interval timer takes it, traced.
timeval double_as_timeval(double t);

}  // namespace qd::autosearch
