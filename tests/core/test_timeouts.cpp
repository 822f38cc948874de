// A reader that does not answer: a lost UDP request is sent again within the
// call, and a call that is never answered fails after the library's fixed
// 25 seconds and drops the connection.  (This program takes about half a
// minute: it waits for one real time-out.)
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "qdapi.h"
#include "support.h"

namespace {

using namespace qdtest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* host = "127.0.0.12";

qdsim::Fault dropped(int count)
{
    qdsim::Fault fault;
    fault.kind = qdsim::FaultKind::drop;
    fault.count = count;
    return fault;
}

class Timeouts : public testing::Test {
protected:
    void SetUp() override
    {
        reader_ = start_reader(host);
        h_ = open_reader(host);
        ASSERT_NE(h_, nullptr) << "reader_errno " << reader_errno;
        reader_->clear_calls();
    }
    void TearDown() override
    {
        close_reader(h_);
        reader_.reset();
    }

    std::unique_ptr<qdsim::VirtualReader> reader_;
    reader_handle h_ = nullptr;
};

TEST_F(Timeouts, LostUdpRequestIsSentAgainWithinTheCall)
{
    reader_->inject(proc_tags_available, dropped(1));
    const auto started = Clock::now();
    EXPECT_EQ(tags_available(h_, 0), 0);
    const auto took = Clock::now() - started;
    EXPECT_GE(took, 1s);
    EXPECT_LT(took, 10s) << "the request should be repeated long before the call times out";
    // The same connection: no initial queries in between.
    EXPECT_EQ(procs(*reader_), (std::vector<uint32_t>{proc_tags_available, proc_tags_available}));
}

TEST_F(Timeouts, UnansweredCallFailsAfterTwentyFiveSecondsAndDropsTheConnection)
{
    reader_->inject(proc_tags_available, dropped(-1));
    TraceOn trace;
    Clock::duration took{};
    const std::string text = stderr_of([&] {
        const auto started = Clock::now();
        EXPECT_EQ(tags_available(h_, 0), -1);
        took = Clock::now() - started;
        EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
    });
    EXPECT_GE(took, 24s);
    EXPECT_LT(took, 35s);
    const auto failure = text.find("RPC call to tags_available failed");
    ASSERT_NE(failure, std::string::npos) << text;
    EXPECT_NE(text.find("Timed out", failure), std::string::npos) << text;
    EXPECT_NE(text.find("\nResetting RPC connection to '127.0.0.12'\n", failure), std::string::npos)
        << text;

    reader_->clear_faults();
    reader_->clear_calls();
    EXPECT_EQ(tags_available(h_, 0), 0);
    EXPECT_EQ(procs(*reader_), concat(initial_queries, {proc_tags_available}));
}

}  // namespace
