// Helpers of the automatic-search tests: the wall clock as the library reads
// it, waiting for what the timer does, and what reached the reader.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "qdapi.h"
#include "virtual_reader.h"

namespace qdauto {

using namespace std::chrono_literals;

// Seconds since the epoch, with their fraction.
inline double epoch_now()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

inline double seconds_of(std::chrono::system_clock::time_point t)
{
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// A day from now: a search due then is never started while a test looks.
inline double a_day_from_now()
{
    return epoch_now() + 86400.0;
}

// Polls `done` until it holds or `limit` has passed; whether it held.
template <class Pred>
bool eventually(Pred done, std::chrono::milliseconds limit = 10s)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// The newest automatic search of the reader (the head of its list).
inline auto_search_record* newest(reader_handle h)
{
    reader_record* r = handle_to_reader(h);
    return r ? r->auto_searches : nullptr;
}

// A field of a record that the timer's thread writes, read as it is now.
template <class T>
T now_in(T& field)
{
    return std::atomic_ref<T>(field).load();
}

// The timed searches the reader has started, once there are `n`.
inline std::vector<qdsim::TimedSearchView> wait_started(const qdsim::VirtualReader& reader, std::size_t n,
                                                         std::chrono::milliseconds limit = 10s)
{
    std::vector<qdsim::TimedSearchView> seen;
    eventually([&] { return (seen = reader.timed_searches()).size() >= n; }, limit);
    return seen;
}

}  // namespace qdauto
