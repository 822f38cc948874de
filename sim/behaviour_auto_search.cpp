// Searches that run on times of their own.  Such a search runs from its
// start call: in progress until its duration is over (or until it is
// stopped, without one), then done.  It cycles through its groups, staying
// on each for the group's time; every pass through them sees each live tag
// of the field once, and lands it in the tag database as the pass ends, so
// that a client drains tags while the search runs.
#include "behaviour_auto_search.h"

#include <algorithm>

namespace qdsim::detail {

namespace {

constexpr uint16_t pattern_arm = 4;      // a term of this kind carries a pattern
constexpr uint16_t timed_pattern = 3;    // a pattern of this kind carries milliseconds

// A client that polls rarely gets no more than this many passes at once, and
// the database takes no more than this many records: a search left running
// for hours fills neither memory nor the next answer.
constexpr uint64_t passes_at_once = 64;
constexpr std::size_t tagdb_capacity = 100000;

void add_dwell(const wire::term_table& table, std::vector<std::chrono::milliseconds>& dwell)
{
    const unsigned terms = std::min<unsigned>(table.term_count, 16);
    for (u_int g = 0; g < table.groups.groups_len; ++g)
        for (unsigned t = 0; t < terms; ++t) {
            const auto& term = table.groups.groups_val[g].terms[t];
            if (term.kind == pattern_arm && term.search_term_u.pattern.pattern_kind == timed_pattern) {
                dwell.emplace_back(term.search_term_u.pattern.pattern_value);
                break;
            }
        }
}

uint64_t passes_in(const TimedSearch& t, Clock::duration elapsed)
{
    return static_cast<uint64_t>(elapsed / t.pass);
}

Clock::duration elapsed_by(const TimedSearch& t, Clock::time_point now)
{
    Clock::time_point until = now;
    if (t.duration)
        until = std::min(until, t.since + *t.duration);
    return std::max(Clock::duration::zero(), until - t.since);
}

void land(ReaderModel& m, TimedSearch& t, uint64_t passes)
{
    if (passes <= t.passes_landed)
        return;
    const uint64_t fresh = std::min(passes - t.passes_landed, passes_at_once);
    t.passes_landed = passes;
    for (uint64_t p = 0; p < fresh; ++p)
        for (const auto& tag : m.field.tags())
            if (!tag.killed && m.tagdb.size() < tagdb_capacity)
                m.tagdb.push_back(tag_record_of(tag));
}

}  // namespace

std::optional<TimedSearch> timed_search_of(const wire::search_config& config, Clock::time_point now,
                                           std::chrono::milliseconds plain_pass)
{
    TimedSearch t;
    add_dwell(config.first_table, t.dwell);
    add_dwell(config.second_table, t.dwell);
    if (config.pattern.pattern_kind == timed_pattern)
        t.duration = std::chrono::milliseconds(config.pattern.pattern_value);
    if (t.dwell.empty() && !t.duration)
        return std::nullopt;
    t.since = now;
    t.started = std::chrono::system_clock::now();
    std::chrono::milliseconds pass{0};
    for (const auto d : t.dwell)
        pass += d;
    if (pass.count() == 0)
        pass = plain_pass;
    t.pass = std::max(pass, std::chrono::milliseconds(1));
    return t;
}

bool advance_timed(ReaderModel& m, TimedSearch& t, Clock::time_point now)
{
    land(m, t, passes_in(t, elapsed_by(t, now)));
    return !t.duration || now < t.since + *t.duration;
}

void finish_timed(ReaderModel& m, TimedSearch& t, Clock::time_point now)
{
    const Clock::duration elapsed = elapsed_by(t, now);
    uint64_t passes = passes_in(t, elapsed);
    if (passes == 0 || elapsed > static_cast<int64_t>(passes) * t.pass)
        ++passes;
    land(m, t, passes);
}

}  // namespace qdsim::detail
