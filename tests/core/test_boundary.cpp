// The C boundary under pressure from other threads and processes: a reader
// closed under an operation in flight, threads queued behind a reader that
// stopped answering, a privileged call whose reply broke the TCP stream,
// handles reused right after a close, automatic searches in a forked child,
// and a protocol list longer than any reader has.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <future>
#include <thread>
#include <vector>

#include "qdapi.h"
#include "support.h"
#include "virtual_reader.h"

namespace {

using namespace std::chrono_literals;
using qdsim::FaultKind;
using qdsim::Transport;
using Clock = std::chrono::steady_clock;

constexpr uint32_t proc_setleds = 3;
constexpr uint32_t proc_set_slot_tx_power = 36;

// Waits (up to 20 s) until the reader has logged `proc` at least `n` times.
bool wait_for_calls(const qdsim::VirtualReader& reader, uint32_t proc, std::size_t n)
{
    for (int i = 0; i < 2000; ++i) {
        if (reader.count(proc) >= n)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

qdsim::Fault fault(FaultKind kind, int count = -1, std::chrono::milliseconds delay = 0ms)
{
    qdsim::Fault f;
    f.kind = kind;
    f.count = count;
    f.delay = delay;
    return f;
}

class ClosedUnderAnOperation : public qdtest::OpenReader {
protected:
    ClosedUnderAnOperation() : OpenReader("127.0.50.1") {}
    // Both slots fitted: set_tx_power makes a call for each.
    void prepare(qdsim::VirtualReader& reader) override
    {
        qdsim::Hardware hw;
        hw.hwid[1] = 0x00010001u;
        hw.text[1] = "second radio";
        reader.set_hardware(hw);
    }
};

// A privileged loop that never ends by itself stops at its next call once
// another thread closed its reader, and nothing connects the reader again.
TEST_P(ClosedUnderAnOperation, PrivilegedLoopStopsAndNeverReconnects)
{
    qdtest::set_priv_level(1);
    auto leds = std::async(std::launch::async, [h = handle_] { return PRIV_twiddleLeds(h); });
    ASSERT_TRUE(wait_for_calls(*reader_, proc_setleds, 20));
    close_reader(handle_);
    ASSERT_EQ(leds.wait_for(30s), std::future_status::ready) << "the loop runs on after close_reader";
    EXPECT_EQ(leds.get(), -1);
    const std::size_t calls = reader_->calls().size();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(reader_->calls().size(), calls) << "calls reached the reader after the loop ended";
    EXPECT_EQ(reader_->count(qdtest::proc_get_hwid), 0u) << "the closed reader was connected again";
    handle_ = nullptr;
    qdtest::set_priv_level(0);
}

// An operation of two calls whose reader is closed while the first is on
// its way ends at the second with its failure value and -100.
TEST_P(ClosedUnderAnOperation, SecondCallOfAnOperationIsNotMade)
{
    reader_->inject(proc_set_slot_tx_power, fault(FaultKind::delay, 1, 300ms));
    auto power = std::async(std::launch::async, [h = handle_] {
        const double result = set_tx_power(h, 10.0f);
        return std::make_pair(result, reader_errno);
    });
    ASSERT_TRUE(wait_for_calls(*reader_, proc_set_slot_tx_power, 1));
    close_reader(handle_);
    handle_ = nullptr;
    const auto [result, code] = power.get();
    EXPECT_EQ(result, -1.0);
    EXPECT_EQ(code, READER_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(reader_->count(proc_set_slot_tx_power), 1u);
    EXPECT_EQ(reader_->count(qdtest::proc_get_hwid), 0u);
}

// A reply that breaks the TCP stream fails the privileged call as the family
// says (-102, reader_errno untouched, no message), and the next privileged
// call goes through a new connection instead of waiting out the broken one.
TEST_P(ClosedUnderAnOperation, BrokenReplyDoesNotBreakLaterPrivilegedCalls)
{
    constexpr uint32_t proc_get_tx_power = 35;
    qdtest::set_priv_level(1);
    reader_->inject(proc_get_tx_power, fault(FaultKind::reset, 1));
    reader_errno = 7;
    std::string said = qdtest::stderr_of([&] { EXPECT_EQ(PRIV_getTxPower(handle_, 0), READER_ERROR_REMOTE); });
    EXPECT_EQ(reader_errno, 7);
    EXPECT_EQ(said, "");
    for (int i = 0; i < 3; ++i)
        EXPECT_GE(PRIV_getTxPower(handle_, 0), 0) << "call " << i << " after the broken reply";
    qdtest::set_priv_level(0);
}

INSTANTIATE_TEST_SUITE_P(Transports, ClosedUnderAnOperation, testing::Values(Transport::udp, Transport::tcp),
                         testing::PrintToStringParamName());

// Threads sharing a handle to a reader that stopped answering: the first
// waits out its time-out; the ones queued behind it do not wait one each in
// turn.  Every configuration runs at once, so the test waits one time-out.
TEST(QueuedBehindAFailedCall, EveryCallEndsWithinOneTimeOutOfItsStart)
{
    struct Case {
        const char* host;
        Transport transport;
        int threads;
    };
    const Case cases[] = {{"127.0.50.11", Transport::udp, 4},
                          {"127.0.50.12", Transport::tcp, 4},
                          {"127.0.50.13", Transport::udp, 16},
                          {"127.0.50.14", Transport::tcp, 16}};
    std::vector<std::unique_ptr<qdsim::VirtualReader>> readers;
    std::vector<reader_handle> handles;
    for (const Case& c : cases) {
        qdtest::Switch tcp(use_tcp, c.transport == Transport::tcp);
        readers.push_back(qdtest::start_reader(c.host));
        handles.push_back(open_reader(c.host));
        ASSERT_NE(handles.back(), nullptr) << c.host;
        readers.back()->inject(qdtest::proc_tags_available, fault(FaultKind::drop));
    }
    struct Outcome {
        int result;
        Clock::duration took;
    };
    std::vector<std::vector<std::future<Outcome>>> runs(std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i)
        for (int t = 0; t < cases[i].threads; ++t)
            runs[i].push_back(std::async(std::launch::async, [h = handles[i]] {
                const auto start = Clock::now();
                const int result = tags_available(h, 0);
                return Outcome{result, Clock::now() - start};
            }));
    // One time-out (25 s) and what a busy machine may add to it; a call
    // queued for a time-out of its own would take 50 s or more.
    const auto bound = 40s;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        for (std::size_t t = 0; t < runs[i].size(); ++t) {
            const Outcome o = runs[i][t].get();
            SCOPED_TRACE(std::string(cases[i].host) + " thread " + std::to_string(t));
            EXPECT_EQ(o.result, -1);
            EXPECT_LT(o.took, bound) << std::chrono::duration<double>(o.took).count() << " s";
        }
        readers[i]->clear_faults();
        qdtest::Switch tcp(use_tcp, cases[i].transport == Transport::tcp);
        EXPECT_GE(tags_available(handles[i], 0), 0) << "the reader answers again: the handle works";
        close_reader(handles[i]);
    }
}

// A slot freed by close_reader is the last to be handed out again.
TEST(HandleSlots, AClosedHandleIsNotHandedOutAtOnce)
{
    auto reader = qdtest::start_reader("127.0.50.20");
    std::vector<reader_handle> seen;
    for (int i = 0; i < 8; ++i) {
        reader_handle h = open_reader("127.0.50.20");
        ASSERT_NE(h, nullptr);
        for (reader_handle before : seen)
            EXPECT_NE(h, before) << "open " << i << " got a handle closed just before";
        seen.push_back(h);
        close_reader(h);
    }
}

// After fork(), the child's automatic searches run, although the timer of
// the parent (started before the fork) has no thread in the child.
TEST(ForkedChild, AutomaticSearchesRunInTheChild)
{
    auto reader = qdtest::start_reader("127.0.50.30");
    reader_handle parent = open_reader("127.0.50.30");
    ASSERT_NE(parent, nullptr);
    search_params params{};
    // Due far ahead: the parent's timer thread is running when fork() comes.
    reader_handle later = auto_search_start(parent, &params, static_cast<double>(std::time(nullptr)) + 3600, 0, 1, 1e37);
    ASSERT_NE(later, nullptr);
    const std::size_t before = reader->calls().size();

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The virtual reader's threads stay in the parent, which serves on.
        reader_handle h = open_reader("127.0.50.30");
        if (!h)
            _exit(2);
        reader_handle search = auto_search_start(h, &params, static_cast<double>(std::time(nullptr)), 0, 1, 1e37);
        if (!search)
            _exit(3);
        for (int i = 0; i < 1000; ++i) {
            if (handle_to_reader(h)->auto_searches && handle_to_reader(h)->auto_searches->started)
                _exit(0);
            std::this_thread::sleep_for(10ms);
        }
        _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: no open, 3: no search, 4: the search never started";
    EXPECT_GT(reader->calls().size(), before);
    close_reader(parent);
}

// A list longer than any reader's is cut as a list of any length is: the
// first entries that fit, never the empty text that enables everything.
TEST(ProtocolList, ALongListIsCutNotEmptied)
{
    auto reader = qdtest::start_reader("127.0.50.40");
    reader_handle h = open_reader("127.0.50.40");
    ASSERT_NE(h, nullptr);
    for (int count : {1, 256, 257, 1000}) {
        std::vector<protocol_enable_entry> entries(static_cast<std::size_t>(count), protocol_enable_entry{5, 1});
        ASSERT_EQ(set_supported_protocols(h, count, entries.data(), nullptr), 0) << count;
        const std::string text = reader->params()["protocol_enable_list"];
        EXPECT_EQ(text.rfind("5:0x01 ", 0), 0u) << count << ": '" << text << "'";
        EXPECT_LE(text.size(), 127u);
    }
    close_reader(h);
}

}  // namespace
