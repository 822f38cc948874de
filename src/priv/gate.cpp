// The unlock rule: only the 5th, 10th, 15th ... call with the access code
// sets the level; the first call with another code freezes the level, raised
// or not, for the life of the process.
#include "gate.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

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

void priv_report(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputs("\n", stderr);
}

void priv_trace(const char*, ...) {}

}  // namespace qd

extern "C" {

void PRIV_setPrivLevel(int new_level, uint32_t code)
{
    using namespace qd;
    int32_t count = unlock_count.load(std::memory_order_relaxed);
    for (;;) {
        if (code != unlock_code || count == frozen) {
            unlock_count.store(frozen, std::memory_order_relaxed);
            return;
        }
        if (unlock_count.compare_exchange_weak(count, count + 1, std::memory_order_relaxed))
            break;
    }
    if ((count + 1) % 5 == 0)
        level.store(static_cast<uint16_t>(new_level), std::memory_order_relaxed);
}

uint16_t PRIV_getCurPrivLevel(void)
{
    return qd::priv_level();
}

}  // extern "C"
