// The library's timer thread: a search is started when it is due and not
// before, a search due later is left alone while one due now starts, a
// reader that does not answer holds up no other reader's searches,
// registration, stopping, watching and closing from many threads at once
// while the timer starts searches, and a process that exits with searches
// registered.  Order and generous bounds only; the benchmark measures.
// Virtual readers at 127.0.12.3 to 127.0.12.6 (127.0.12.9 for the exiting
// process).
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "auto_search_support.h"
#include "support.h"

namespace {

using qdauto::a_day_from_now;
using qdauto::epoch_now;
using qdauto::eventually;
using qdauto::seconds_of;
using namespace std::chrono_literals;

search_params spanning(uint16_t span)
{
    search_params p{};
    p.a_count = 1;
    p.a_values[0] = span;
    p.span = span;
    return p;
}

// The dwell time the reader decoded for a search registered with spanning().
uint16_t span_of(const qdsim::TimedSearchView& v)
{
    return v.dwell.empty() ? 0 : static_cast<uint16_t>(v.dwell.front().count());
}

struct Open {
    explicit Open(const char* address) : reader(qdtest::start_reader(address)), handle(open_reader(address))
    {
        EXPECT_NE(handle, nullptr) << "open_reader(" << address << "), reader_errno " << reader_errno;
    }
    ~Open() { close_reader(handle); }
    Open(const Open&) = delete;
    Open& operator=(const Open&) = delete;

    std::unique_ptr<qdsim::VirtualReader> reader;
    reader_handle handle;
};

TEST(AutoTimer, SearchDueInASecondStartsWithinTheSecondAfterAndNotBefore)
{
    Open r("127.0.12.3");
    const search_params p = spanning(10);
    const double due = epoch_now() + 1.0;
    ASSERT_NE(auto_search_start(r.handle, &p, due, 0, 0, 0), nullptr);
    const auto started = qdauto::wait_started(*r.reader, 1, 5s);
    ASSERT_EQ(started.size(), 1u) << "not started";
    const double at = seconds_of(started[0].started);
    EXPECT_GE(at, due) << "started " << due - at << " s early";
    EXPECT_LE(at, due + 1.0) << "started " << at - due << " s late";
}

TEST(AutoTimer, SearchDueInAnHourIsLeftAloneWhileOneDueNowStarts)
{
    Open r("127.0.12.3");
    const search_params later = spanning(20), now = spanning(30);
    ASSERT_NE(auto_search_start(r.handle, &later, epoch_now() + 3600, 0, 0, 0), nullptr);
    ASSERT_NE(auto_search_start(r.handle, &now, 0, 0, 0, 0), nullptr);
    auto started = qdauto::wait_started(*r.reader, 1, 5s);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(span_of(started[0]), 30);
    std::this_thread::sleep_for(300ms);
    started = r.reader->timed_searches();
    ASSERT_EQ(started.size(), 1u) << "the search due in an hour was started too";
    EXPECT_EQ(r.reader->count(DETAILED_READ_START), 1u);
}

TEST(AutoTimer, ReaderThatDoesNotAnswerHoldsUpNoOtherReadersSearch)
{
    // Over TCP, so that stopping the silent reader ends its call at once.
    std::unique_ptr<Open> silent;
    {
        qdtest::TcpOn tcp;
        silent = std::make_unique<Open>("127.0.12.4");
    }
    Open other("127.0.12.5");
    silent->reader->inject(DETAILED_READ_START, qdsim::Fault{qdsim::FaultKind::drop, -1, {}});
    const search_params p = spanning(40);
    ASSERT_NE(auto_search_start(silent->handle, &p, 0, 0, 0, 0), nullptr);
    ASSERT_TRUE(eventually([&] { return silent->reader->count(DETAILED_READ_START) > 0; }, 5s));

    const double due = epoch_now() + 0.2;
    const reader_handle s = auto_search_start(other.handle, &p, due, 0, 0, 0);
    ASSERT_NE(s, nullptr);
    const auto started = qdauto::wait_started(*other.reader, 1, 5s);
    ASSERT_EQ(started.size(), 1u) << "held up by the silent reader";
    EXPECT_LE(seconds_of(started[0].started), due + 2.0);
    EXPECT_EQ(search_active(s), 1) << "watched while the other reader's start still waits";

    silent->reader->stop();   // its call fails; closing waits for it
}

// Registration, stopping, watching and closing on two readers from several
// threads while the timer starts the searches that are due.
TEST(AutoTimer, OperationsFromManyThreadsWhileTheTimerStartsSearches)
{
    const char* const addresses[] = {"127.0.12.5", "127.0.12.6"};
    std::vector<std::unique_ptr<qdsim::VirtualReader>> readers;
    for (const char* a : addresses)
        readers.push_back(qdtest::start_reader(a));
    constexpr int threads = 4;
    constexpr int rounds = 6;
    std::atomic<int> failures{0};
    std::latch go(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            go.arrive_and_wait();
            for (int round = 0; round < rounds; ++round) {
                const reader_handle h = open_reader(addresses[(t + round) % 2]);
                if (!h) {
                    ++failures;
                    continue;
                }
                std::vector<reader_handle> searches;
                for (int i = 0; i < 4; ++i) {
                    const search_params p = spanning(static_cast<uint16_t>(1 + i));
                    const double start = i % 2 == 0 ? 0.0 : epoch_now() + 0.05 * i;
                    const reader_handle s = auto_search_start(h, &p, start, 0, 0, start == 0 ? 1.0 : start + 1.0);
                    if (s)
                        searches.push_back(s);
                    else
                        ++failures;
                }
                for (reader_handle s : searches)
                    search_active(s);
                if (round % 2 == 0 && !searches.empty())
                    auto_search_stop(searches.front());
                std::this_thread::sleep_for(std::chrono::milliseconds(20 * (round % 3)));
                // (Its searches' handles may name other threads' searches
                // from here on: their slots are free again.)
                close_reader(h);
            }
        });
    for (auto& w : workers)
        w.join();
    EXPECT_EQ(failures, 0);
    std::size_t started = 0;
    for (const auto& r : readers)
        started += r->timed_searches().size();
    EXPECT_GT(started, 0u) << "the timer started none of them";
}

// ---------------------------------------------------------------------------
// A process that exits with searches registered: a child of this program,
// which runs only the test below.

constexpr const char* child_switch = "QD_AUTO_TIMER_EXIT_CHILD";

// A forked child has none of its parent's threads, so what they held looks
// leaked to the leak checker at its exit.  This object, made before the
// library's timer, goes after it: the child ends here, once the timer's
// destructor has returned.
bool forked_child = false;
struct EndForkedChild {
    ~EndForkedChild()
    {
        if (forked_child)
            _exit(0);
    }
} end_forked_child;

// The child exits while its starters end and the timer waits for a search
// due tomorrow.  With the switch set to "fork" it forks first (the timer's
// fork handlers run) and waits for its own child, which exits at once.
TEST(AutoTimerExit, Child)
{
    const char* const mode = std::getenv(child_switch);
    if (!mode)
        GTEST_SKIP() << "run by ProcessExitsCleanlyWithSearchesRegistered";
    auto reader = qdtest::start_reader("127.0.12.9");
    const reader_handle h = open_reader("127.0.12.9");
    ASSERT_NE(h, nullptr);
    const search_params p = spanning(50);
    ASSERT_NE(auto_search_start(h, &p, 0, 0, 0, 0), nullptr);
    ASSERT_NE(auto_search_start(h, &p, a_day_from_now(), 0, 0, 0), nullptr);
    ASSERT_NE(auto_search_start(h, &p, 100, 0, 0, 50), nullptr);
    ASSERT_EQ(qdauto::wait_started(*reader, 1, 5s).size(), 1u);
    if (std::string(mode) == "fork") {
        std::fflush(nullptr);
        const pid_t grandchild = fork();
        ASSERT_GE(grandchild, 0);
        if (grandchild == 0) {
            forked_child = true;
            std::exit(1);   // ends in end_forked_child, with 0
        }
        int status = 0;
        ASSERT_EQ(waitpid(grandchild, &status, 0), grandchild);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    reader.reset();
    std::fflush(nullptr);
    std::exit(0);   // the reader's handle and its searches still registered
}

TEST(AutoTimerExit, ProcessExitsCleanlyWithSearchesRegistered)
{
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    // The exit races the timer's thread and its starters: several children,
    // every other one forking before it exits.
    constexpr int children = 10;
    for (int i = 0; i < children; ++i) {
        const char* const mode = i % 2 == 0 ? "plain" : "fork";
        const std::string command =
            std::string(child_switch) + "=" + mode + " '" + self + "' --gtest_filter=AutoTimerExit.Child 2>&1";
        FILE* child = popen(command.c_str(), "r");
        ASSERT_NE(child, nullptr);
        std::string output;
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, child))
            output += buffer;
        const int status = pclose(child);
        ASSERT_TRUE(WIFEXITED(status)) << "child " << i << " (" << mode << ") did not exit:\n" << output;
        EXPECT_EQ(WEXITSTATUS(status), 0) << "child " << i << " (" << mode << ")\n" << output;
        EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
        EXPECT_EQ(output.find("[  FAILED  ]"), std::string::npos) << output;
        EXPECT_EQ(output.find("[  SKIPPED ]"), std::string::npos) << "child " << i << " ran no test:\n" << output;
    }
}

TEST(AutoTimerExit, ForkedChildExitsWithoutTheTimersThread)
{
    Open r("127.0.12.9");
    const search_params p = spanning(60);
    ASSERT_NE(auto_search_start(r.handle, &p, a_day_from_now(), 0, 0, 0), nullptr);   // the timer runs
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        forked_child = true;
        std::exit(1);   // the library's static objects go, as at any exit; then end_forked_child
    }
    int status = 0;
    const bool ended = eventually([&] { return waitpid(child, &status, WNOHANG) == child; }, 20s);
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    ASSERT_TRUE(ended) << "the child hung at exit";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
