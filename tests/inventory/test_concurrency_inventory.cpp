// Inventories from several threads at once: threads draining one reader's
// database (through one handle or a handle each, with tagdb_pop and
// tagdb_consume mixed, also while calls fail and the connection is
// reopened) take every tag exactly once between them, and concurrent
// searches each reach the reader with their own parameters and get their
// own identifiers.  Virtual reader at 127.0.0.65.
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "inventory_support.h"

namespace {

using qdinv::TagKey;

const char* const host = "127.0.0.65";
constexpr int threads = 4;

struct Taken {
    std::map<TagKey, int> keys;
    int failures = 0;          // calls that returned -1
    bool ran_dry = false;
};

// Drains until the database gives no tag; thread t pops when t is even and
// consumes when it is odd.  A failed call (-1) is retried.
Taken drain_in_thread(reader_handle h, int t, int max_failures)
{
    Taken out;
    for (int i = 0; i < 100000; ++i) {
        int rc;
        int status;
        TagKey key;
        if (t % 2 == 0) {
            popped_tag_record r{};
            rc = tagdb_pop(h, &r);
            status = r.status;
            key = qdinv::key_of_record(r);
        } else {
            tag_record r{};
            rc = tagdb_consume(h, &r);
            status = r.status;
            key = qdinv::key_of_record(r);
        }
        if (rc != 0) {
            if (++out.failures > max_failures)
                return out;
            continue;
        }
        if (status != 1) {
            out.ran_dry = true;
            return out;
        }
        ++out.keys[key];
    }
    return out;
}

class Drains : public ::testing::TestWithParam<std::tuple<bool, bool>> {
protected:
    bool shared_handle() const { return std::get<0>(GetParam()); }
    bool tcp() const { return std::get<1>(GetParam()); }
};

TEST_P(Drains, EveryTagIsTakenExactlyOnceBetweenTheThreads)
{
    auto reader = qdtest::start_reader(host);
    reader->add_random_tags(2000, 4242);
    reader->set_search_duration(std::chrono::milliseconds(1));
    const auto expected = qdinv::population(*reader);
    ASSERT_EQ(expected.size(), 2000u);

    qdtest::Switch transport(use_tcp, tcp() ? 1 : 0);
    qdtest::Handles handles;
    for (int t = 0; t < (shared_handle() ? 1 : threads); ++t) {
        reader_handle h = open_reader(host);
        ASSERT_NE(h, nullptr);
        handles.add(h);
    }
    qdinv::run_search(handles[0]);
    ASSERT_EQ(tags_available(handles[0], 0), 2000);

    std::vector<Taken> taken(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] { taken[t] = drain_in_thread(handles[shared_handle() ? 0 : t], t, 0); });
    for (auto& w : workers)
        w.join();

    std::map<TagKey, int> all;
    std::size_t total = 0;
    for (const Taken& tk : taken) {
        EXPECT_TRUE(tk.ran_dry);
        EXPECT_EQ(tk.failures, 0);
        for (const auto& [key, n] : tk.keys) {
            all[key] += n;
            total += n;
        }
    }
    EXPECT_EQ(total, 2000u);
    EXPECT_EQ(all, expected) << "every tag once, none twice, none lost";
    EXPECT_EQ(reader->tagdb_size(), 0u);
    EXPECT_EQ(reader->count(TAGDB_POP), 2000u + threads) << "each thread's last call found the database empty";
}

INSTANTIATE_TEST_SUITE_P(Handles, Drains, ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "shared_handle" : "handle_each") +
                                    (std::get<1>(info.param) ? "_tcp" : "_udp");
                         });

// Failed calls while four threads drain through one handle: each failure
// drops the connection under the others' feet; the next call reopens it.
// The reader fails those calls before it pops, so nothing is lost.
TEST(DrainWithFailures, NothingIsLostOrDuplicatedWhenCallsFailAndTheConnectionIsReopened)
{
    auto reader = qdtest::start_reader(host);
    reader->add_random_tags(800, 11);
    reader->set_search_duration(std::chrono::milliseconds(1));
    const auto expected = qdinv::population(*reader);
    reader_handle h = open_reader(host);
    ASSERT_NE(h, nullptr);
    qdinv::run_search(h);

    constexpr int injected = 12;
    reader->inject(TAGDB_POP, qdtest::error_reply(injected));
    std::vector<Taken> taken(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] { taken[t] = drain_in_thread(h, t, injected + 1); });
    for (auto& w : workers)
        w.join();

    std::map<TagKey, int> all;
    int failures = 0;
    for (const Taken& tk : taken) {
        EXPECT_TRUE(tk.ran_dry);
        failures += tk.failures;
        for (const auto& [key, n] : tk.keys)
            all[key] += n;
    }
    EXPECT_EQ(failures, injected);
    EXPECT_EQ(all, expected);
    EXPECT_GE(reader->count(qdtest::proc_get_hwid), 2u) << "the connection was reopened";
    close_reader(h);
}

// ---------------------------------------------------------------------------
// Concurrent searches.

TEST(ConcurrentSearches, EachStartReachesTheReaderIntactAndGetsItsOwnIdentifier)
{
    auto reader = qdtest::start_reader(host);
    reader_handle h = open_reader(host);
    ASSERT_NE(h, nullptr);
    reader->clear_calls();

    constexpr int per_thread = 40;
    std::vector<std::vector<int>> ids(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) {
                const uint16_t tag = static_cast<uint16_t>(t * 1000 + i);
                if (i % 2 == 0) {
                    search_params p{};
                    p.a_count = 2;
                    for (int k = 0; k < 16; ++k)
                        p.a_values[k] = p.b_values[k] = tag;
                    p.span = tag;
                    ids[t].push_back(search_start(h, &p));
                } else {
                    // A conveyor search carrying the same marker.
                    search_params p{};
                    p.a_count = 3;
                    p.a_values[0] = p.a_values[1] = p.a_values[2] = tag;
                    p.b_count = 1;
                    p.b_values[0] = tag;
                    ids[t].push_back(conveyor_read_start(h, &p));
                }
            }
        });
    for (auto& w : workers)
        w.join();

    std::set<int> distinct;
    for (const auto& v : ids)
        for (const int id : v) {
            EXPECT_GT(id, 0);
            distinct.insert(id);
        }
    EXPECT_EQ(distinct.size(), std::size_t{threads * per_thread}) << "identifiers are not shared out twice";

    // Every call's argument arrived whole: all its markers agree.
    std::multiset<int> plain, conveyor;
    for (const auto& call : reader->calls()) {
        if (call.proc == SEARCH_START) {
            qdsim::Decoded<wire::search_params> p(call, qdinv::filter_of_search_params());
            ASSERT_TRUE(p.ok());
            for (int k = 0; k < 16; ++k) {
                EXPECT_EQ(p->a_values[k], p->span);
                EXPECT_EQ(p->b_values[k], p->span);
            }
            EXPECT_EQ(p->a_count, 2);
            plain.insert(p->span);
        } else if (call.proc == DETAILED_READ_START) {
            qdsim::Decoded<wire::search_config> c(call, qdinv::filter_of_search_config());
            ASSERT_TRUE(c.ok());
            ASSERT_EQ(c->second_table.groups.groups_len, 3u);
            ASSERT_EQ(c->lists.value_lists.value_lists_len, 1u);
            const int marker = c->lists.value_lists.value_lists_val[0].values.values_val[0];
            for (int j = 0; j < 3; ++j)
                EXPECT_EQ(c->second_table.groups.groups_val[j].terms[0].search_term_u.value, marker);
            conveyor.insert(marker);
        }
    }
    std::multiset<int> want_plain, want_conveyor;
    for (int t = 0; t < threads; ++t)
        for (int i = 0; i < per_thread; ++i)
            (i % 2 == 0 ? want_plain : want_conveyor).insert(t * 1000 + i);
    EXPECT_EQ(plain, want_plain);
    EXPECT_EQ(conveyor, want_conveyor);
    close_reader(h);
}

TEST(ConcurrentSearches, PollingThreadsEachSeeTheirOwnSearchComplete)
{
    auto reader = qdtest::start_reader(host);
    reader->add_random_tags(10, 1);
    reader->set_search_duration(std::chrono::milliseconds(15));
    reader_handle h = open_reader(host);
    ASSERT_NE(h, nullptr);

    std::vector<std::vector<int>> seen(threads);
    std::vector<int> ids(threads, -1);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            search_params p{};
            ids[t] = search_start(h, &p);
            seen[t] = qdinv::poll_until_settled(h, ids[t]);
        });
    for (auto& w : workers)
        w.join();
    for (int t = 0; t < threads; ++t) {
        EXPECT_GT(ids[t], 0);
        EXPECT_TRUE(qdinv::legal_progress(seen[t])) << "thread " << t << ": " << testing::PrintToString(seen[t]);
    }
    EXPECT_EQ(tags_available(h, 0), 10 * threads) << "each search landed the field once";
    close_reader(h);
}

}  // namespace
