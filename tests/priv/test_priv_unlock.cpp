// The unlock rule of the privilege level.  The level and its counter live as
// long as the process and a wrong code freezes them for good, so every case
// runs in a child process of its own, forked before this program has
// touched the level: each starts as the library does at load.
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "support.h"

namespace {

using namespace qdtest;

constexpr uint32_t wrong_code = 0x3c5a17e8;

// Runs `body` in a child process; its result is the child's exit status
// (0: passed), and what it wrote to standard error says why it failed.
int in_fresh_process(const std::function<bool()>& body)
{
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0)
        _exit(body() ? 0 : 1);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct Step {
    int level;
    uint32_t code;
    uint16_t level_after;
};

struct UnlockCase {
    const char* name;
    std::vector<Step> steps;
};

void PrintTo(const UnlockCase& c, std::ostream* os)
{
    *os << c.name;
}

std::vector<Step> repeat(int times, int level, uint32_t code, std::vector<uint16_t> after)
{
    std::vector<Step> steps;
    for (int i = 0; i < times; ++i)
        steps.push_back({level, code, after[static_cast<std::size_t>(i)]});
    return steps;
}

std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<UnlockCase>& unlock_cases()
{
    static const std::vector<UnlockCase> cases = {
        {"FifthCorrectCallSetsTheLevel", repeat(5, 1, priv_access_code, {0, 0, 0, 0, 1})},
        {"OnlyEveryFifthCallChangesIt",
         repeat(10, 7, priv_access_code, {0, 0, 0, 0, 7, 7, 7, 7, 7, 7}) + repeat(5, 9, priv_access_code, {7, 7, 7, 7, 9})},
        {"WrongCodeFirstFreezesTheGateClosed",
         repeat(1, 1, wrong_code, {0}) + repeat(10, 1, priv_access_code, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
        {"WrongCodeAfterRaisingKeepsTheLevelForGood",
         repeat(5, 3, priv_access_code, {0, 0, 0, 0, 3}) + repeat(1, 5, wrong_code, {3}) +
             repeat(5, 0, priv_access_code, {3, 3, 3, 3, 3})},
        {"WrongCodeMidCountStopsTheCount", repeat(4, 1, priv_access_code, {0, 0, 0, 0}) + repeat(1, 1, wrong_code, {0}) +
                                               repeat(5, 1, priv_access_code, {0, 0, 0, 0, 0})},
        {"LevelAbove16BitsKeepsItsLow16", repeat(5, 0x10000, priv_access_code, {0, 0, 0, 0, 0}) +
                                              repeat(5, 0x10002, priv_access_code, {0, 0, 0, 0, 2})},
        {"MinusOneIsTheHighestLevel", repeat(5, -1, priv_access_code, {0, 0, 0, 0, 0xFFFF})},
        {"AFifthCallWithZeroClosesTheGateAgain",
         repeat(5, 1, priv_access_code, {0, 0, 0, 0, 1}) + repeat(5, 0, priv_access_code, {1, 1, 1, 1, 0})},
    };
    return cases;
}

class Unlock : public testing::TestWithParam<UnlockCase> {};

TEST_P(Unlock, LevelAfterEachCall)
{
    const auto& steps = GetParam().steps;
    EXPECT_EQ(in_fresh_process([&] {
                  if (PRIV_getCurPrivLevel() != 0)
                      return false;
                  for (std::size_t i = 0; i < steps.size(); ++i) {
                      PRIV_setPrivLevel(steps[i].level, steps[i].code);
                      if (PRIV_getCurPrivLevel() != steps[i].level_after) {
                          std::fprintf(stderr, "after call %zu: level %u, expected %u\n", i + 1,
                                       PRIV_getCurPrivLevel(), steps[i].level_after);
                          return false;
                      }
                  }
                  return true;
              }),
              0);
}

INSTANTIATE_TEST_SUITE_P(Priv, Unlock, testing::ValuesIn(unlock_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The gate as a reader sees it: nothing reaches the reader before the fifth
// correct call, and nothing after a wrong code, however many correct calls
// follow.
struct GateCase {
    const char* name;
    const char* address;
    std::vector<Step> before;
    bool open;
};

TEST(PrivGate, RfOnReachesTheReaderOnlyOnceTheLevelIsRaised)
{
    const std::vector<GateCase> cases = {
        {"four correct calls", "127.0.13.20", repeat(4, 1, priv_access_code, {0, 0, 0, 0}), false},
        {"five correct calls", "127.0.13.21", repeat(5, 1, priv_access_code, {0, 0, 0, 0, 1}), true},
        {"a wrong code first", "127.0.13.22",
         repeat(1, 1, wrong_code, {0}) + repeat(5, 1, priv_access_code, {0, 0, 0, 0, 0}), false},
        {"level 0xFFFF", "127.0.13.23", repeat(5, 0xFFFF, priv_access_code, {0, 0, 0, 0, 0xFFFF}), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(in_fresh_process([&] {
                      auto reader = start_reader(c.address);
                      reader_handle h = open_reader(c.address);
                      if (!h)
                          return false;
                      // A bad handle is -1 whether or not the gate is open.
                      if (PRIV_rfOn(nullptr, 0) != -1)
                          return false;
                      for (const auto& step : c.before)
                          PRIV_setPrivLevel(step.level, step.code);
                      reader->clear_calls();
                      const int result = PRIV_rfOn(h, 0);
                      const std::size_t calls = reader->count(RF_ON);
                      close_reader(h);
                      if (result != (c.open ? 0 : -2) || calls != (c.open ? 1u : 0u)) {
                          std::fprintf(stderr, "PRIV_rfOn %d, %zu calls\n", result, calls);
                          return false;
                      }
                      return true;
                  }),
                  0);
    }
}

}  // namespace
