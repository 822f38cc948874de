// Several readers used side by side: a reader that does not answer, whether
// in a call or while its connection is being opened again, holds up no
// other reader's operations nor the handling of other handles; two threads
// reconnecting one reader share one new connection; and close_reader waits
// for a connection being opened.  "Not held up" is shown by order, never by
// time: the other thread's call returned while the first one was still
// pending.  Every wait has a bound, and stopping the silent reader (all TCP
// here: stop() closes its connections) ends its pending call at once.
// Virtual readers at 127.0.7.21 and 127.0.7.22.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "qdapi.h"
#include "support.h"

namespace {

using namespace qdtest;
using namespace std::chrono_literals;

constexpr const char* host_a = "127.0.7.21";
constexpr const char* host_b = "127.0.7.22";

// How long a wait for something that should happen at once may last before
// the test gives up on it (and fails).
constexpr auto patience = 10s;

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds bound = patience)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// One library call on a thread of its own; returned() turns true as soon as
// the call has returned.
class Background {
public:
    explicit Background(std::function<int()> call)
        : thread_([this, call = std::move(call)] {
              result_ = call();
              returned_.store(true);
          })
    {
    }
    ~Background() { join(); }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    bool returned() const { return returned_.load(); }
    int join()
    {
        if (thread_.joinable())
            thread_.join();
        return result_;
    }

private:
    std::atomic<bool> returned_{false};
    int result_ = 0;
    std::thread thread_;   // last: runs once the members above exist
};

// Stops a reader when it goes, so that a call pending on it fails and its
// thread can be joined even when the test gives up early.
struct StopOnExit {
    qdsim::VirtualReader& reader;
    ~StopOnExit() { reader.stop(); }
};

int pop(reader_handle h)
{
    popped_tag_record record{};
    return tagdb_pop(h, &record);
}

qdsim::Fault silent() { return qdsim::Fault{qdsim::FaultKind::drop, -1}; }

class Fleet : public testing::Test {
protected:
    void SetUp() override
    {
        a_ = start_reader(host_a);
        b_ = start_reader(host_b);
        ha_ = open_reader(host_a);
        hb_ = open_reader(host_b);
        ASSERT_NE(ha_, nullptr);
        ASSERT_NE(hb_, nullptr);
        a_->clear_calls();
        b_->clear_calls();
    }
    void TearDown() override
    {
        close_reader(ha_);
        close_reader(hb_);
        a_.reset();
        b_.reset();
    }

    // A's connection is dropped and its host then answers no get_hwid: the
    // next operation on A stays in the handle's resolution.
    void make_a_unreachable_on_reconnection()
    {
        drop_connection(*a_, ha_);
        a_->inject(proc_get_hwid, silent());
    }

    // `proc` has reached reader A.
    bool arrived_at_a(uint32_t proc) const
    {
        return eventually([&] { return a_->count(proc) >= 1; });
    }

    TcpOn tcp_;
    std::unique_ptr<qdsim::VirtualReader> a_, b_;
    reader_handle ha_ = nullptr;
    reader_handle hb_ = nullptr;
};

TEST_F(Fleet, CallPendingOnASilentReaderHoldsUpNoOtherReader)
{
    a_->inject(TAGDB_POP, silent());
    Background on_a([&] { return pop(ha_); });
    StopOnExit release{*a_};
    ASSERT_TRUE(arrived_at_a(TAGDB_POP));

    bool a_pending_after_pop = false;
    bool a_pending_after_tags = false;
    Background pop_b([&] {
        const int r = pop(hb_);
        a_pending_after_pop = !on_a.returned();
        return r;
    });
    Background tags_b([&] {
        const int r = tags_available(hb_, 0);
        a_pending_after_tags = !on_a.returned();
        return r;
    });
    eventually([&] { return pop_b.returned() && tags_b.returned(); });
    a_->stop();

    EXPECT_EQ(pop_b.join(), 0);
    EXPECT_TRUE(a_pending_after_pop) << "tagdb_pop on B returned only after A's tagdb_pop had";
    EXPECT_EQ(tags_b.join(), 0);
    EXPECT_TRUE(a_pending_after_tags) << "tags_available on B returned only after A's tagdb_pop had";
    EXPECT_EQ(on_a.join(), -1);
    EXPECT_EQ(b_->count(TAGDB_POP), 1u);
}

TEST_F(Fleet, ReaderReconnectingToASilentHostHoldsUpNoOtherHandle)
{
    make_a_unreachable_on_reconnection();
    Background on_a([&] { return pop(ha_); });
    StopOnExit release{*a_};
    ASSERT_TRUE(arrived_at_a(proc_get_hwid));

    struct Step {
        const char* what;
        bool ok = false;
        bool a_pending = false;   // A's operation had not returned yet
    };
    Step steps[] = {{"tagdb_pop on B"},   {"tags_available on B"}, {"handle_to_reader of B"},
                    {"open_reader of B"}, {"handle_to_reader of the new handle"},
                    {"close_reader of the new handle"}};
    Background others([&] {
        auto done = [&](int i, bool ok) {
            steps[i].ok = ok;
            steps[i].a_pending = !on_a.returned();
        };
        done(0, pop(hb_) == 0);
        done(1, tags_available(hb_, 0) == 0);
        done(2, handle_to_reader(hb_) != nullptr);
        const reader_handle extra = open_reader(host_b);
        done(3, extra != nullptr);
        done(4, handle_to_reader(extra) != nullptr);
        done(5, close_reader(extra) == 0);
        return 0;
    });
    eventually([&] { return others.returned(); });
    a_->stop();
    others.join();

    for (const Step& step : steps) {
        EXPECT_TRUE(step.ok) << step.what;
        EXPECT_TRUE(step.a_pending) << step.what << " returned only after A's reconnection had ended";
    }
    EXPECT_EQ(on_a.join(), -1);
    EXPECT_EQ(a_->count(TAGDB_POP), 0u) << "A's operation made its call without a connection";
}

TEST_F(Fleet, ThreadsReconnectingOneReaderShareOneNewConnection)
{
    // Repeated, since the two threads' arrival in the reconnection is left to
    // the scheduler.
    for (int round = 0; round < 20 && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        drop_connection(*a_, ha_);
        std::atomic<bool> go{false};
        Background popping([&] {
            while (!go.load())
                std::this_thread::yield();
            return pop(ha_);
        });
        Background counting([&] {
            while (!go.load())
                std::this_thread::yield();
            return tags_available(ha_, 0);
        });
        go = true;
        EXPECT_EQ(popping.join(), 0);
        EXPECT_EQ(counting.join(), 0);
        EXPECT_EQ(a_->count(proc_get_hwid), 2u);
        EXPECT_EQ(a_->count(proc_get_connected_antennas), 1u);
        EXPECT_EQ(a_->count(proc_get_supported_protocols), 1u);
        EXPECT_EQ(a_->count(TAGDB_POP), 1u);
        EXPECT_EQ(a_->count(proc_tags_available), 1u);
    }
}

TEST_F(Fleet, CloseWaitsForAConnectionBeingOpened)
{
    make_a_unreachable_on_reconnection();
    Background on_a([&] { return pop(ha_); });
    StopOnExit release{*a_};
    ASSERT_TRUE(arrived_at_a(proc_get_hwid));

    Background closing([&] { return close_reader(ha_); });
    // Given every chance to, the close must not finish while the connection
    // is still being opened.
    EXPECT_FALSE(eventually([&] { return closing.returned(); }, 200ms))
        << "close_reader returned while the reader's connection was being opened";
    a_->stop();
    EXPECT_EQ(closing.join(), 0);
    EXPECT_EQ(on_a.join(), -1);

    const reader_handle closed = ha_;
    ha_ = nullptr;
    reader_errno = 0;
    EXPECT_EQ(handle_to_reader(closed), nullptr);
    EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
    EXPECT_NE(handle_to_reader(hb_), nullptr) << "B's handle suffered";
}

}  // namespace
