// Several threads on the library at once, over UDP and over TCP: one handle
// shared by workers while the reader refuses calls and reboots under them,
// and many handles opened and closed side by side.  Nothing may crash or
// hang, and every call returns its success or its failure value.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "qdapi.h"
#include "support.h"

namespace {

using namespace qdtest;
using Clock = std::chrono::steady_clock;

constexpr const char* host = "127.0.0.31";
constexpr int workers = 6;
constexpr int min_rounds = 100;      // per worker, after the faults are over
constexpr int max_rounds = 20000;    // per worker: a bound on the time taken
constexpr int fault_steps = 300;     // about 1 ms each

int errno_now() { return __atomic_load_n(&reader_errno, __ATOMIC_RELAXED); }

// What the workers saw.
struct Tally {
    std::atomic<int> succeeded{0};
    std::atomic<int> failed{0};
    std::atomic<int> wrong{0};   // a value that is neither success nor failure

    void count(bool ok, bool valid)
    {
        (valid ? (ok ? succeeded : failed) : wrong).fetch_add(1, std::memory_order_relaxed);
    }
};

class SharedHandle : public testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        reader_ = start_reader(host);
        tcp_ = GetParam();
    }
    void TearDown() override { reader_.reset(); }

    std::unique_ptr<qdsim::VirtualReader> reader_;
    bool tcp_ = false;
};

TEST_P(SharedHandle, SurvivesARefusingAndRebootingReader)
{
    Switch transport(use_tcp, tcp_ ? 1 : 0);
    reader_handle h = open_reader(host);
    ASSERT_NE(h, nullptr) << "reader_errno " << reader_errno;
    reader_record* const record = handle_to_reader(h);
    ASSERT_NE(record, nullptr);

    Tally tally;
    std::atomic<int> bad_errno{0};
    std::atomic<bool> faults_over{false};
    reader_errno = 0;
    const auto started = Clock::now();

    // Each worker keeps calling while the faults go on, and a little after.
    auto worker = [&](int seed) {
        int after = 0;
        for (int round = 0; round < max_rounds && after < min_rounds; ++round) {
            if (faults_over.load())
                ++after;
            switch ((round + seed) % 4) {
            case 0: {
                const reader_handle r = reconnect_reader(h);
                tally.count(r == h, r == h || r == nullptr);
                break;
            }
            case 1: {
                reader_record* const r = handle_to_reader(h);
                tally.count(r != nullptr, r == record || r == nullptr);
                break;
            }
            case 2: {
                const int n = tags_available(h, 0);
                tally.count(n == 0, n == 0 || n == -1);
                break;
            }
            case 3: {
                id_list antennas;
                const int n = get_connected_antennas(h, antennas);
                tally.count(n == 2, (n == 2 && antennas[1] == 0 && antennas[2] == 1) || n == -1);
                break;
            }
            }
            // Only these codes can be left by what the threads do.
            const int e = errno_now();
            if (e != READER_SUCCESSFUL && e != READER_ERROR_REMOTE)
                bad_errno.store(e);
        }
    };

    std::vector<std::thread> threads;
    for (int i = 0; i < workers; ++i)
        threads.emplace_back(worker, i);

    // Meanwhile the reader refuses bursts of calls, refuses the initial
    // queries of a reconnection now and then, and reboots twice.
    int reboots = 0;
    for (int step = 0; step < fault_steps; ++step) {
        if (step % 7 == 0)
            reader_->inject(proc_tags_available, error_reply(3));
        if (step % 11 == 0)
            reader_->inject(proc_get_hwid, error_reply(1));
        if (step % 13 == 0)
            reader_->inject(proc_get_connected_antennas, error_reply(1));
        if (step % 100 == 50) {
            reader_->stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            reader_->start();
            ++reboots;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    faults_over = true;
    for (auto& t : threads)
        t.join();
    const auto took = Clock::now() - started;
    EXPECT_EQ(reboots, 3);

    EXPECT_EQ(tally.wrong.load(), 0);
    EXPECT_EQ(bad_errno.load(), 0) << "reader_errno held " << bad_errno.load();
    EXPECT_GT(tally.succeeded.load(), 0);
    EXPECT_GT(tally.failed.load(), 0) << "the faults never reached a call";
    EXPECT_LT(took, std::chrono::seconds(40));

    // Once the reader behaves, the handle works as before.
    reader_->clear_faults();
    EXPECT_EQ(reconnect_reader(h), h);
    EXPECT_EQ(tags_available(h, 0), 0);
    EXPECT_EQ(close_reader(h), 0);
    EXPECT_EQ(handle_to_reader(h), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Transports, SharedHandle, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "tcp" : "udp";
                         });

// Calls queued on a TCP connection behind the one that finds the reader gone
// fail like that one; writing to the dead connection must not raise SIGPIPE
// in the application.  Runs in a child process, which exits 0 when the three
// calls returned what they should.
[[noreturn]] void queued_calls_on_a_closing_tcp_connection()
{
    auto reader = start_reader("127.0.0.32");
    TcpOn tcp;
    reader_handle h = open_reader("127.0.0.32");
    if (!h)
        std::exit(2);
    // The first call is slow; two more wait behind it on the same
    // connection.  The reader answers the first, takes the second without
    // answering, and closes the connection.
    qdsim::Fault slow;
    slow.kind = qdsim::FaultKind::delay;
    slow.count = 1;
    slow.delay = std::chrono::milliseconds(400);
    reader->inject(proc_tags_available, slow);
    const auto arrived = [&](std::size_t n) {
        for (int i = 0; i < 1000 && reader->count(proc_tags_available) < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    int first = 1, second = 1, third = 1;
    std::thread a([&] { first = tags_available(h, 0); });
    arrived(1);
    qdsim::Fault unanswered;
    unanswered.kind = qdsim::FaultKind::drop;
    reader->inject(proc_tags_available, unanswered);
    std::thread b([&] { second = tags_available(h, 0); });
    std::thread c([&] { third = tags_available(h, 0); });
    arrived(2);
    reader->stop();
    a.join();
    b.join();
    c.join();
    std::fprintf(stderr, "results %d %d %d\n", first, second, third);
    std::exit(first == 0 && second == -1 && third == -1 ? 0 : 1);
}

TEST(TcpConnection, CallsQueuedBehindAFailedOneFailWithoutKillingTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(queued_calls_on_a_closing_tcp_connection(), testing::ExitedWithCode(0),
                "results 0 -1 -1");
}

TEST(ManyHandles, OpenAndCloseSideBySide)
{
    auto reader = start_reader(host);
    constexpr int threads_count = 4;
    constexpr int cycles = 40;
    std::atomic<int> failures{0};

    auto cycle = [&] {
        for (int i = 0; i < cycles; ++i) {
            reader_handle h = open_reader(host);
            if (!h) {
                failures.fetch_add(1);
                continue;
            }
            if (reconnect_reader(h) != h || tags_available(h, 0) != 0)
                failures.fetch_add(1);
            if (close_reader(h) != 0)
                failures.fetch_add(1);
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < threads_count; ++i)
        threads.emplace_back(cycle);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);

    // Nothing leaked: the whole table is free again, and the handles handed
    // out are distinct.
    Handles open;
    std::set<reader_handle> distinct;
    for (int i = 0; i < 128; ++i) {
        reader_handle h = open_reader(host);
        ASSERT_NE(h, nullptr) << "open " << i << ": reader_errno " << reader_errno;
        open.add(h);
        distinct.insert(h);
    }
    EXPECT_EQ(distinct.size(), 128u);

    // And closing them from several threads at once frees every one.
    std::vector<std::thread> closers;
    for (int t = 0; t < threads_count; ++t)
        closers.emplace_back([&, t] {
            for (std::size_t i = static_cast<std::size_t>(t); i < open.size(); i += threads_count)
                close_reader(open[i]);
        });
    for (auto& t : closers)
        t.join();
    for (std::size_t i = 0; i < open.size(); ++i)
        EXPECT_EQ(handle_to_reader(open[i]), nullptr);
}

}  // namespace
