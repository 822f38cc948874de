// Automatic searches through the public interface: what a registration
// records and what it refuses, stopping and watching a search before and
// after the timer started it, the detailed search the timer sends for it
// (decoded as the reader received it), the virtual reader running that
// search, a start that fails and is tried again, the next due time as the
// timer's trace shows it, and a closed reader's searches.  Virtual reader
// at 127.0.12.2.
#include <cmath>
#include <cstring>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "auto_search_support.h"
#include "inventory_support.h"

namespace {

using qdauto::a_day_from_now;
using qdauto::epoch_now;
using qdauto::eventually;
using qdauto::newest;
using qdauto::now_in;
using namespace std::chrono_literals;

const char* const host = "127.0.12.2";
constexpr double no_end = 1e37;
constexpr int untouched = READER_ERROR_VERIFY_FAILURE;
const double nan = std::numeric_limits<double>::quiet_NaN();

class AutoSearch : public qdinv::ReaderTest {
protected:
    AutoSearch() : ReaderTest(host) {}

    reader_handle register_search(const search_params& p, double start, double period, double run_time,
                                  double stop)
    {
        reader_handle s = auto_search_start(handle_, &p, start, period, run_time, stop);
        EXPECT_NE(s, nullptr) << "reader_errno " << reader_errno;
        return s;
    }

    // A search that the timer does not start while the test looks.
    reader_handle register_later()
    {
        search_params p{};
        return register_search(p, a_day_from_now(), 1.0, 0.0, 0.0);
    }

    // Waits for the timer's detailed search to reach the reader; its
    // configuration as the reader decoded it.
    std::unique_ptr<qdsim::Decoded<wire::search_config>> started_config()
    {
        if (!eventually([&] { return reader_->count(DETAILED_READ_START) > 0; })) {
            ADD_FAILURE() << "the timer started nothing";
            return nullptr;
        }
        auto decoded = std::make_unique<qdsim::Decoded<wire::search_config>>(
            *qdinv::last_call(*reader_, DETAILED_READ_START), qdinv::filter_of_search_config());
        if (!decoded->ok()) {
            ADD_FAILURE() << "the configuration does not decode";
            return nullptr;
        }
        return decoded;
    }
};

// ---------------------------------------------------------------------------
// Registration

struct Times {
    double start, period, run_time, stop;
};

struct Registration {
    const char* name;
    Times (*times)();
    // Expected record; `start_time` NaN: the clock's whole second at the
    // call.  `stop_time` counts from start_time when `relative_stop`.
    double start_time;
    double stop_time;
    bool relative_stop;
    int active;
};

void PrintTo(const Registration& r, std::ostream* os) { *os << r.name; }

class Registers : public AutoSearch, public ::testing::WithParamInterface<Registration> {};

TEST_P(Registers, RecordsTheSearchAtTheHeadOfTheReadersList)
{
    const Registration& row = GetParam();
    const Times t = row.times();
    search_params p{};
    p.a_count = 2;
    p.a_values[0] = 0x1111;
    p.a_values[1] = 0x2222;
    p.b_count = 1;
    p.b_values[0] = 0x3333;
    p.span = 400;
    reader_handle before = register_later();
    auto_search_record* previous = newest(handle_);

    reader_errno = untouched;
    const double called = epoch_now();
    reader_handle s = auto_search_start(handle_, &p, t.start, t.period, t.run_time, t.stop);
    ASSERT_NE(s, nullptr);
    EXPECT_NE(s, before);
    EXPECT_EQ(reader_errno, untouched);

    auto_search_record* r = newest(handle_);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->next, previous) << "at the head of the list";
    const double start_time = std::isnan(row.start_time) ? std::floor(called) : row.start_time;
    if (std::isnan(row.start_time))
        EXPECT_TRUE(r->start_time == std::floor(called) || r->start_time == std::floor(called) + 1.0)
            << r->start_time << " is not the whole second of " << called;
    else
        EXPECT_EQ(r->start_time, row.start_time);
    EXPECT_EQ(r->stop_time, row.relative_stop ? r->start_time + row.stop_time : row.stop_time);
    EXPECT_EQ(r->period, t.period);
    EXPECT_EQ(r->run_time, t.run_time);
    EXPECT_EQ(r->active, row.active);
    EXPECT_EQ(std::memcmp(&r->params, &p, sizeof p), 0) << "the parameters copied";
    if (start_time > epoch_now() + 60) {   // not due: the timer leaves it alone
        EXPECT_EQ(r->next_start, r->start_time);
        EXPECT_EQ(r->started, 0);
        EXPECT_EQ(r->search_id, 0);
        EXPECT_EQ(r->reader_handle, nullptr);
    }
}

const Registration registrations[] = {
    {"start_0_stop_0_begins_now_without_end", [] { return Times{0, 0, 0, 0}; }, nan, no_end, false, 1},
    {"start_0_stop_counts_from_now", [] { return Times{0, 0, 0, 5}; }, nan, 5, true, 1},
    {"start_after_stop_is_inactive", [] { return Times{100, 0, 0, 50}; }, 100, 50, false, 0},
    {"start_at_stop_is_active", [] { return Times{100, 0, 0, 100}; }, 100, 100, false, 1},
    {"stop_0_is_no_end", [] { return Times{4e9, 2.5, 0.75, 0}; }, 4e9, no_end, false, 1},
    {"times_kept", [] { return Times{4e9, 2.5, 0.75, 4e9 + 10}; }, 4e9, 4e9 + 10, false, 1},
};

INSTANTIATE_TEST_SUITE_P(AutoSearch, Registers, ::testing::ValuesIn(registrations),
                         [](const auto& info) { return std::string(info.param.name); });

struct Refusal {
    const char* name;
    Times times;
    bool null_params;
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

class Refuses : public AutoSearch, public ::testing::WithParamInterface<Refusal> {};

TEST_P(Refuses, RegistersNothing)
{
    const Refusal& row = GetParam();
    register_later();
    const auto_search_record* previous = newest(handle_);
    reader_->clear_calls();
    search_params p{};
    // Each refusal that kept a slot would fill the table.
    for (int i = 0; i < 200; ++i) {
        reader_errno = untouched;
        const Times& t = row.times;
        ASSERT_EQ(auto_search_start(handle_, row.null_params ? nullptr : &p, t.start, t.period, t.run_time, t.stop),
                  nullptr);
        ASSERT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
    }
    EXPECT_EQ(newest(handle_), previous);
    EXPECT_TRUE(reader_->calls().empty());
    EXPECT_NE(register_later(), nullptr) << "the table has room";
}

const Refusal refusals[] = {
    {"negative_start", {-1, 0, 0, 0}, false},
    {"negative_period", {0, -0.5, 0, 0}, false},
    {"negative_run_time", {0, 0, -1e-9, 0}, false},
    {"negative_stop", {4e9, 0, 0, -1}, false},
    {"nan_start", {nan, 0, 0, 0}, false},
    {"nan_period", {0, nan, 0, 0}, false},
    {"nan_run_time", {0, 0, nan, 0}, false},
    {"nan_stop", {4e9, 0, 0, nan}, false},
    {"minus_infinity", {0, -std::numeric_limits<double>::infinity(), 0, 0}, false},
    {"null_params", {0, 0, 0, 0}, true},
};

INSTANTIATE_TEST_SUITE_P(AutoSearch, Refuses, ::testing::ValuesIn(refusals),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Stopping and watching

TEST_F(AutoSearch, UnstartedSearchIsWatchedWithoutACallAndStoppedWithoutOne)
{
    reader_handle s = register_later();
    reader_->clear_calls();
    EXPECT_EQ(search_active(s), 1);
    EXPECT_TRUE(reader_->calls().empty()) << "search_active asked the reader";

    reader_errno = untouched;
    EXPECT_EQ(auto_search_stop(s), 0);
    EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS) << "the stop of a search never started";
    EXPECT_TRUE(reader_->calls().empty());
    EXPECT_EQ(search_active(s), 0);
    const auto_search_record* r = newest(handle_);
    EXPECT_EQ(r->active, 0);
    EXPECT_EQ(r->started, 0);
}

TEST_F(AutoSearch, StartedSearchIsAskedAboutAndStoppedOnTheReader)
{
    search_params p{};
    p.a_count = 1;
    p.span = 50;
    reader_handle s = register_search(p, 0, 0, 0, 0);   // now, without end
    const auto started = qdauto::wait_started(*reader_, 1);
    ASSERT_EQ(started.size(), 1u);
    ASSERT_TRUE(eventually([&] { return now_in(newest(handle_)->search_id) != 0; }));
    EXPECT_EQ(newest(handle_)->search_id, started[0].id);
    EXPECT_EQ(newest(handle_)->reader_handle, handle_);
    EXPECT_EQ(newest(handle_)->started, 1);
    EXPECT_EQ(newest(handle_)->next_start, 0.0) << "started once only";

    reader_->clear_calls();
    EXPECT_EQ(search_active(s), 1);
    EXPECT_EQ(procs(), std::vector<uint32_t>{OPERATION_STATUS});
    const auto asked = qdinv::decode_scalar(*qdinv::last_call(*reader_, OPERATION_STATUS), xdr_u_short);
    EXPECT_EQ(asked, static_cast<u_short>(started[0].id));

    reader_->clear_calls();
    reader_errno = untouched;
    EXPECT_EQ(auto_search_stop(s), 0);
    EXPECT_EQ(reader_errno, READER_SUCCESSFUL) << "as the reader's stop left it";
    ASSERT_EQ(procs(), std::vector<uint32_t>{DETAILED_READ_STOP});
    EXPECT_EQ(qdinv::decode_scalar(*qdinv::last_call(*reader_, DETAILED_READ_STOP), xdr_u_short),
              static_cast<u_short>(started[0].id));
    EXPECT_TRUE(reader_->timed_searches().front().done);

    reader_->clear_calls();
    EXPECT_EQ(search_active(s), 0);
    EXPECT_TRUE(reader_->calls().empty()) << "a stopped search names no reader";
    EXPECT_EQ(newest(handle_)->search_id, started[0].id) << "kept";
}

// ---------------------------------------------------------------------------
// The detailed search the timer sends

struct Group {
    uint32_t value;
    uint16_t dwell;
};

struct Configured {
    const char* name;
    search_params params;
    double start, period, run_time, stop;
    std::vector<Group> groups;              // second table
    std::optional<uint16_t> first_dwell;    // the first table's one group, when a_count is 0
    std::optional<uint16_t> duration;       // the duration pattern
    uint16_t a_count_after;
};

void PrintTo(const Configured& c, std::ostream* os) { *os << c.name; }

search_params params_of(std::vector<uint16_t> a, std::vector<uint16_t> b, uint16_t span, int a_count = -1)
{
    search_params p{};
    p.a_count = static_cast<uint16_t>(a_count >= 0 ? a_count : static_cast<int>(a.size()));
    for (std::size_t i = 0; i < a.size(); ++i)
        p.a_values[i] = a[i];
    p.b_count = static_cast<uint16_t>(b.size());
    for (std::size_t i = 0; i < b.size(); ++i)
        p.b_values[i] = b[i];
    p.span = span;
    return p;
}

std::vector<uint16_t> values_from(uint16_t first, std::size_t n)
{
    std::vector<uint16_t> v;
    for (std::size_t i = 0; i < n; ++i)
        v.push_back(static_cast<uint16_t>(first + i));
    return v;
}

std::vector<Group> groups_from(uint16_t first, std::size_t n, uint16_t dwell)
{
    std::vector<Group> g;
    for (std::size_t i = 0; i < n; ++i)
        g.push_back({static_cast<uint32_t>(first + i), dwell});
    return g;
}

class Configures : public AutoSearch, public ::testing::WithParamInterface<Configured> {};

TEST_P(Configures, TheTimerSendsTheSearchesConfiguration)
{
    const Configured& c = GetParam();
    register_search(c.params, c.start, c.period, c.run_time, c.stop);
    const auto sent = started_config();
    ASSERT_NE(sent, nullptr);
    const wire::search_config& got = **sent;

    // Lists: the b values, one zero, nothing.
    const uint16_t b_count = std::min<uint16_t>(c.params.b_count, 16);
    if (b_count == 0) {
        EXPECT_EQ(got.lists.value_lists.value_lists_len, 0u);
    } else {
        ASSERT_EQ(got.lists.value_lists.value_lists_len, 1u);
        const auto& values = got.lists.value_lists.value_lists_val[0].values;
        ASSERT_EQ(values.values_len, b_count);
        for (uint16_t i = 0; i < b_count; ++i)
            EXPECT_EQ(values.values_val[i], c.params.b_values[i]) << "b value " << i;
    }
    ASSERT_EQ(got.lists.values2.values2_len, 1u);
    EXPECT_EQ(got.lists.values2.values2_val[0], 0u);

    const auto& second = got.second_table;
    EXPECT_EQ(second.term_kinds[0], 1);
    EXPECT_EQ(second.term_kinds[1], 4);
    EXPECT_EQ(second.term_count, c.groups.empty() ? 0 : 2);
    ASSERT_EQ(second.groups.groups_len, c.groups.size());
    for (std::size_t g = 0; g < c.groups.size(); ++g) {
        const auto& terms = second.groups.groups_val[g].terms;
        EXPECT_EQ(terms[0].kind, 1) << "group " << g;
        EXPECT_EQ(static_cast<uint32_t>(terms[0].search_term_u.value), c.groups[g].value) << "group " << g;
        ASSERT_EQ(terms[1].kind, 4) << "group " << g;
        EXPECT_EQ(terms[1].search_term_u.pattern.pattern_kind, 3) << "group " << g;
        EXPECT_EQ(terms[1].search_term_u.pattern.pattern_value, c.groups[g].dwell) << "group " << g;
    }

    const auto& first = got.first_table;
    if (c.first_dwell) {
        EXPECT_EQ(first.term_count, 1);
        EXPECT_EQ(first.term_kinds[0], 4);
        ASSERT_EQ(first.groups.groups_len, 1u);
        const auto& term = first.groups.groups_val[0].terms[0];
        ASSERT_EQ(term.kind, 4);
        EXPECT_EQ(term.search_term_u.pattern.pattern_kind, 3);
        EXPECT_EQ(term.search_term_u.pattern.pattern_value, *c.first_dwell);
    } else {
        EXPECT_EQ(first.term_count, 0);
        EXPECT_EQ(first.groups.groups_len, 0u);
    }

    EXPECT_EQ(got.pattern.pattern_kind, c.duration ? 3 : 0);
    EXPECT_EQ(got.pattern.pattern_value, c.duration.value_or(0));
    EXPECT_EQ(got.setting1, 1);
    EXPECT_EQ(got.setting2, 1);
    EXPECT_EQ(got.option_kind, 0);
    EXPECT_EQ(got.setting4, 1);
    EXPECT_EQ(got.limit_kind, 1);
    EXPECT_EQ(got.steps.steps_len, 0u);

    ASSERT_TRUE(eventually([&] { return now_in(newest(handle_)->search_id) != 0; }));
    EXPECT_EQ(newest(handle_)->params.a_count, c.a_count_after) << "written back into the record";
    EXPECT_EQ(newest(handle_)->params.b_count, b_count);
}

const Configured configurations[] = {
    {"two_groups_and_the_rest_of_the_period", params_of({7, 9}, {}, 400), 1.5, 1.0, 0, 0,
     {{7, 200}, {9, 200}, {0, 600}}, std::nullopt, std::nullopt, 3},
    {"no_a_values_span_in_fifteenths", params_of({}, {}, 300), 1.5, 0, 0, 0, {}, 20, std::nullopt, 0},
    {"duration_across_a_second_boundary", params_of({}, {}, 0), 1.5, 0, 0, 3.25, {}, 0, 1750, 0},
    {"duration_with_a_fraction", params_of({}, {}, 0), 1.25, 0, 0, 3.5, {}, 0, 2250, 0},
    {"run_time_goes_to_the_last_group", params_of({5}, {}, 100), 1.0, 0, 0.25, 0, {{5, 100}, {0, 250}},
     std::nullopt, std::nullopt, 2},
    {"rest_of_period_and_run_time", params_of({5}, {}, 100), 1.0, 0.5, 0.25, 0, {{5, 100}, {0, 650}},
     std::nullopt, std::nullopt, 2},
    {"span_covers_the_period", params_of({1, 2}, {}, 1000), 1.0, 0.5, 0, 0, {{1, 500}, {2, 500}}, std::nullopt,
     std::nullopt, 2},
    {"period_kept_to_16_bits", params_of({1}, {}, 0), 1.0, 70.0, 0, 0, {{1, 0}, {0, 4464}}, std::nullopt,
     std::nullopt, 2},
    {"sixteen_groups_leave_no_room", params_of(values_from(100, 16), {}, 1600), 1.0, 0, 0.5, 0,
     groups_from(100, 16, 100), std::nullopt, std::nullopt, 16},
    {"a_count_above_16_is_clamped", params_of(values_from(1, 16), {}, 32, 20), 1.0, 0, 0, 0,
     groups_from(1, 16, 2), std::nullopt, std::nullopt, 16},
    {"b_values_in_the_first_list", params_of({3}, {10, 20, 0xFFFF}, 30), 1.0, 0, 0, 0, {{3, 30}}, std::nullopt,
     std::nullopt, 1},
    {"start_0_runs_for_stop_seconds", params_of({}, {}, 0), 0, 0, 0, 2.5, {}, 0, 2500, 0},
};

INSTANTIATE_TEST_SUITE_P(AutoSearch, Configures, ::testing::ValuesIn(configurations),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The virtual reader runs it

TEST_F(AutoSearch, ReaderRunsTheSearchForItsDurationLandingTagsAsItGoes)
{
    constexpr std::size_t tags = 5;
    reader_->add_random_tags(tags, 77);
    const auto expected = qdinv::population(*reader_);
    const double start = epoch_now();
    const reader_handle s = register_search(params_of({1}, {}, 100), start, 0, 0, start + 0.6);
    const auto started = qdauto::wait_started(*reader_, 1);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].duration, 600ms);
    EXPECT_EQ(started[0].dwell, std::vector<std::chrono::milliseconds>{100ms});

    std::map<qdinv::TagKey, int> seen;
    bool seen_while_running = false;
    double ended_at = 0;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        const int active = search_active(s);
        for (popped_tag_record r{}; tagdb_pop(handle_, &r) == 0 && r.status == 1; r = {}) {
            ++seen[qdinv::key_of_record(r)];
            seen_while_running = seen_while_running || active == 1;
        }
        if (active != 1) {
            ended_at = epoch_now();
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_NE(ended_at, 0.0) << "the search did not end";
    // (Less a little: the reader times it on another clock.)
    EXPECT_GE(ended_at, qdauto::seconds_of(started[0].started) + 0.6 - 0.01) << "ended before its duration";
    EXPECT_TRUE(seen_while_running) << "tags land while the search runs";
    // Six passes of 100 ms, each seeing every tag once.
    std::map<qdinv::TagKey, int> six_times;
    for (const auto& [key, n] : expected)
        six_times[key] = 6 * n;
    EXPECT_EQ(seen, six_times);
}

// ---------------------------------------------------------------------------
// A start that fails

TEST_F(AutoSearch, FailedStartIsTriedAgainAndLeavesReaderErrnoAlone)
{
    reader_->inject(DETAILED_READ_START, qdtest::error_reply(1));
    reader_errno = untouched;
    const reader_handle s = register_search(params_of({1}, {}, 10), 1.0, 0, 0, 0);
    ASSERT_TRUE(eventually([&] { return reader_->count(DETAILED_READ_START) >= 1; }));
    EXPECT_EQ(search_active(s), 1) << "still waiting for its start";
    EXPECT_TRUE(eventually([&] { return reader_->timed_searches().size() == 1; }))
        << "the start was not tried again";
    EXPECT_EQ(reader_->count(DETAILED_READ_START), 2u);
    ASSERT_TRUE(eventually([&] { return now_in(newest(handle_)->search_id) > 0; }));
    EXPECT_EQ(search_active(s), 1);
    EXPECT_EQ(reader_errno, untouched) << "the timer's calls changed reader_errno";
}

// ---------------------------------------------------------------------------
// The next due time, as the timer is armed with it

TEST_F(AutoSearch, TimerIsArmedWithTheNextDueTime)
{
    qdtest::TraceOn trace;
    std::string text = qdtest::stderr_of([&] {
        search_params p{};
        register_search(p, 100, 0, 0, 50);   // inactive: never due
        std::this_thread::sleep_for(300ms);
    });
    EXPECT_EQ(text.find("double_as_timeval("), std::string::npos) << "armed without a due search:\n" << text;

    text = qdtest::stderr_of([&] {
        search_params p{};
        register_search(p, 1.0, 0, 0, 0);   // due long ago
        eventually([&] { return reader_->count(DETAILED_READ_START) > 0; });
    });
    qdtest::expect_in_order(text, {"double_as_timeval(", "auto_search_itimer_handler ()\n", "Calling detailed_read_start\n"});
    double interval = -1;
    long whole = -1, micro = -1;
    const auto at = text.find("double_as_timeval(");
    ASSERT_EQ(std::sscanf(text.c_str() + at, "double_as_timeval(%lf) => [%ld|%ld]", &interval, &whole, &micro), 3)
        << text;
    EXPECT_GE(interval, 0.0);
    EXPECT_LE(interval, 0.01) << "a due time in the past is armed 0.01 s ahead at most";
    EXPECT_EQ(whole, 0);
    EXPECT_NEAR(static_cast<double>(micro), interval * 1e6, 1.0);
}

// ---------------------------------------------------------------------------
// Closing the reader

// Handles open_reader can still allocate, all closed again after
// `while_full` ran.
std::size_t free_slots(const std::function<void()>& while_full = nullptr)
{
    qdtest::Handles probes;
    for (reader_handle h; (h = open_reader(host)) != nullptr;)
        probes.add(h);
    EXPECT_EQ(reader_errno, READER_ERROR_API_MAX_HANDLES);
    if (while_full)
        while_full();
    return probes.size();
}

TEST_F(AutoSearch, ClosedReadersSearchesAreGoneWithTheirSlots)
{
    const std::size_t before = free_slots();
    const reader_handle h = open_reader(host);
    ASSERT_NE(h, nullptr);
    search_params p{};
    p.a_count = 1;
    const reader_handle started = auto_search_start(h, &p, 0, 0, 0, 0);
    const reader_handle later = auto_search_start(h, &p, a_day_from_now(), 0, 0, 0);
    const reader_handle inactive = auto_search_start(h, &p, 100, 0, 0, 50);
    ASSERT_TRUE(started && later && inactive);
    qdauto::wait_started(*reader_, 1);
    EXPECT_EQ(free_slots([&] {
                  reader_errno = untouched;
                  EXPECT_EQ(auto_search_start(h, &p, a_day_from_now(), 0, 0, 0), nullptr);
                  EXPECT_EQ(reader_errno, READER_ERROR_API_MAX_HANDLES);
              }),
              before - 4);
    EXPECT_EQ(auto_search_start(later, &p, 0, 0, 0, 0), nullptr) << "a search's handle is no reader's";

    close_reader(h);
    reader_->clear_calls();
    // The closed reader's searches, and handles that never named a search.
    for (reader_handle s : {started, later, inactive, reader_handle{}, handle_, qdinv::bogus_handle()}) {
        reader_errno = untouched;
        EXPECT_EQ(search_active(s), 0);
        EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
        reader_errno = untouched;
        EXPECT_EQ(auto_search_stop(s), -1);
        EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
    }
    EXPECT_TRUE(reader_->calls().empty());
    EXPECT_EQ(free_slots(), before) << "the searches' slots are free again";
}

}  // namespace
