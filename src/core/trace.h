// The debug trace and the process-wide switches that steer the library.
#pragma once

#include <atomic>

#include "last_error.h"

extern "C" {
extern int trace_enabled;
extern int use_tcp;
extern int reader_errno;
}

namespace qd {

// Reads a switch that applications set as a plain int.
inline bool switched_on(int& flag)
{
    return std::atomic_ref<int>(flag).load(std::memory_order_relaxed) != 0;
}

// Writes a formatted line to standard error and flushes it, while
// trace_enabled is on; does nothing otherwise.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline bool tracing() { return switched_on(trace_enabled); }

// reader_errno is one unguarded int shared by all threads, as applications
// see it; the library stores into it atomically so that concurrent callers
// never tear it.
// The calling thread's last failure follows every error code
// (qdapi_last_error).
inline void set_errno(int code)
{
    std::atomic_ref<int>(reader_errno).store(code, std::memory_order_relaxed);
    if (code <= -100)
        note_failure(code);
}

inline int get_errno()
{
    return std::atomic_ref<int>(reader_errno).load(std::memory_order_relaxed);
}

}  // namespace qd
