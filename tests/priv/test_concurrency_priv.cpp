// The privilege level from several threads at once: no unlock call is lost
// and the level is never seen half-written.  Run under the thread sanitizer
// too.
#include <atomic>
#include <thread>
#include <vector>

#include "support.h"

namespace {


TEST(PrivConcurrency, FiveUnlockCallsFromFiveThreadsAtOnceSetTheLevel)
{
    for (int round = 1; round <= 40; ++round) {
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 5; ++t)
            threads.emplace_back([&] {
                ++ready;
                while (ready.load() < 5)
                    std::this_thread::yield();
                PRIV_setPrivLevel(round, qdtest::priv_access_code);
                const uint16_t seen = PRIV_getCurPrivLevel();
                EXPECT_TRUE(seen == round || seen == round - 1) << seen;
            });
        for (auto& t : threads)
            t.join();
        ASSERT_EQ(PRIV_getCurPrivLevel(), round) << "a call of round " << round << " was not counted";
    }
}

}  // namespace
