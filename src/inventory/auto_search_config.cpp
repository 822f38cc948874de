// The detailed search that an automatic search runs on the reader: a group
// per a value with its share of the span as dwell time, an appended group
// for the rest of the period and the run time, the duration from the start
// to the stop time, and the fixed settings.
#include <algorithm>
#include <cmath>

#include "auto_search.h"

namespace qd::autosearch {

namespace {

// Term kinds of the groups: a value, then a pattern.
constexpr uint16_t value_term = 1;
constexpr uint16_t pattern_term = 4;
// A pattern of this kind carries a time in milliseconds.
constexpr uint16_t timed_pattern = 3;
constexpr uint16_t max_groups = 16;
// Without a values the whole span goes to one group, in fifteenths.
constexpr uint16_t span_divisor = 15;

// The low 16 bits of a number truncated toward zero, as those of its 64-bit
// integer; computed without the conversion, which a number beyond the
// integer's range (a time far in the future) would make undefined.
uint16_t low16(double x)
{
    if (!std::isfinite(x))
        return 0;
    const double wrapped = std::fmod(std::trunc(x), 65536.0);   // exact, with the sign of x
    return static_cast<uint16_t>(static_cast<int32_t>(wrapped));
}

word_pattern timed(uint16_t milliseconds)
{
    word_pattern pattern{};
    pattern.pattern_kind = timed_pattern;
    pattern.pattern_value = milliseconds;
    return pattern;
}

term_row group(uint16_t value, uint16_t dwell)
{
    term_row row{};
    row.terms[0].search_term_u.value = value;
    row.terms[1].search_term_u.pattern = timed(dwell);
    return row;
}

}  // namespace

uint16_t milliseconds_low16(double seconds)
{
    return low16(seconds * 1000.0);
}

uint16_t duration_pattern(double start_time, double stop_time)
{
    const double whole = std::trunc(stop_time - start_time) * 1000.0;
    // The milliseconds of each time past its whole second.
    const double from = std::fmod(std::trunc(start_time * 1000.0), 1000.0);
    const double to = std::fmod(std::trunc(stop_time * 1000.0), 1000.0);
    double fraction = 0;
    if (to > from)
        fraction = to - from;
    else if (to < from)
        fraction = 1000.0 - from + to;
    return static_cast<uint16_t>(low16(whole) + low16(fraction));
}

Configuration::Configuration(const auto_search_record& record) : params_(record.params)
{
    params_.a_count = std::min(params_.a_count, max_groups);
    params_.b_count = std::min(params_.b_count, max_groups);

    b_values_.assign(params_.b_values, params_.b_values + params_.b_count);
    if (!b_values_.empty()) {
        b_list_.values.values_len = static_cast<uint32_t>(b_values_.size());
        b_list_.values.values_val = b_values_.data();
        config_.lists.value_lists.value_lists_len = 1;
        config_.lists.value_lists.value_lists_val = &b_list_;
    }
    config_.lists.values2.values2_len = 1;
    config_.lists.values2.values2_val = &zero_;

    term_table& second = config_.second_table;
    second.term_kinds[0] = value_term;
    second.term_kinds[1] = pattern_term;
    if (params_.a_count > 0) {
        const auto dwell = static_cast<uint16_t>(params_.span / params_.a_count);
        for (uint16_t j = 0; j < params_.a_count; ++j)
            second_groups_.push_back(group(params_.a_values[j], dwell));
        // What the period leaves beyond the span, and the run time, go to
        // one more group while there is room for it.
        const uint16_t interval = milliseconds_low16(record.period);
        const uint16_t run = milliseconds_low16(record.run_time);
        if (params_.a_count < max_groups && (params_.span < interval || run != 0)) {
            uint16_t rest = 0;
            if (params_.span < interval)
                rest = static_cast<uint16_t>(rest + interval - params_.span);
            rest = static_cast<uint16_t>(rest + run);
            second_groups_.push_back(group(0, rest));
            ++params_.a_count;
        }
        second.term_count = 2;
        second.groups.groups_len = static_cast<uint32_t>(second_groups_.size());
        second.groups.groups_val = second_groups_.data();
    } else {
        term_table& first = config_.first_table;
        first.term_count = 1;
        first.term_kinds[0] = pattern_term;
        first_groups_.resize(1);
        first_groups_[0].terms[0].search_term_u.pattern = timed(static_cast<uint16_t>(params_.span / span_divisor));
        first.groups.groups_len = 1;
        first.groups.groups_val = first_groups_.data();
    }

    // A stop at or beyond the no-end mark (infinity included) is no end:
    // its duration would be meaningless.
    if (record.stop_time < no_end)
        config_.pattern = timed(duration_pattern(record.start_time, record.stop_time));

    config_.setting1 = 1;
    config_.setting2 = 1;
    config_.option_kind = 0;
    config_.setting4 = 1;
    config_.limit_kind = 1;
}

}  // namespace qd::autosearch
