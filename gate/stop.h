// The gateway's request to stop, which every loop waits on instead of
// sleeping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qdgate {

class Stop {
public:
    void request()
    {
        {
            std::lock_guard lock(mutex_);
            requested_ = true;
        }
        wake_.notify_all();
    }
    bool requested() const
    {
        std::lock_guard lock(mutex_);
        return requested_;
    }
    // Waits `d` or until a stop is requested; true when it is.
    template <class Rep, class Period>
    bool wait(std::chrono::duration<Rep, Period> d)
    {
        std::unique_lock lock(mutex_);
        return wake_.wait_for(lock, d, [this] { return requested_; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool requested_ = false;
};

// Exponential back-off with jitter: 0.5 s doubling up to `cap`, each wait
// between half and all of the current step, so that many readers or
// gateways that failed together do not come back together.
class Backoff {
public:
    explicit Backoff(std::chrono::milliseconds cap = std::chrono::seconds(30)) : cap_(cap) {}
    std::chrono::milliseconds next();
    void reset() { step_ = first; }

private:
    static constexpr std::chrono::milliseconds first{500};
    std::chrono::milliseconds cap_;
    std::chrono::milliseconds step_ = first;
};

}  // namespace qdgate
