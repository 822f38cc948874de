// The unlock rule: only the 5th, 10th, 15th ... call with the access code
// sets the level; the first call with another code freezes the level, raised
// or not, for the life of the process.
#include "gate.h"
#include "guard.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "qdapi.h"

namespace qd {

namespace {

constexpr uint32_t unlock_code = 0x3c5a17e9;
constexpr int32_t frozen = -1;

// Atomic so that threads unlocking and using the family at once never tear
// the values; a single thread sees exactly the plain rule.
std::atomic<uint16_t> level{0};
std::atomic<int32_t> unlock_count{0};

}  // namespace

uint16_t priv_level()
{
    return level.load(std::memory_order_relaxed);
}

bool priv_allowed(const char*, int current)
{
    return current > 0;
}

// The message and its newline go out in one write, so that reports of
// threads running at once never mix within a line.
void priv_report(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string line(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(line.data(), line.size() + 1, format, again);
    va_end(again);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

void priv_trace(const char*, ...) {}

}  // namespace qd

extern "C" {

void PRIV_setPrivLevel(int new_level, uint32_t code)
{
    qd::guarded_priv_void("PRIV_setPrivLevel", [&] {
        using namespace qd;
        int32_t count = unlock_count.load(std::memory_order_relaxed);
        int32_t next;
        for (;;) {
            if (code != unlock_code || count < 0) {
                unlock_count.store(frozen, std::memory_order_relaxed);
                return;
            }
            // A counter that runs past its range turns negative, which freezes
            // the level like a wrong code, instead of overflowing.
            next = static_cast<int32_t>(static_cast<uint32_t>(count) + 1u);
            if (unlock_count.compare_exchange_weak(count, next, std::memory_order_relaxed))
                break;
        }
        if (next > 0 && next % 5 == 0)
            level.store(static_cast<uint16_t>(new_level), std::memory_order_relaxed);
    });
}

uint16_t PRIV_getCurPrivLevel(void)
{
    return qd::guarded_priv<uint16_t>("PRIV_getCurPrivLevel", uint16_t{}, [&]() -> uint16_t {
        return qd::priv_level();
    });
}

}  // extern "C"
