// The library's timer: one thread, started by the first registration of an
// automatic search, that sleeps until the next due time, runs the handler
// (trace, worker, next due time) and sleeps again.  A registration that
// brings the due time forward wakes it early.  The starts themselves run on
// starter threads that the timer joins.
//
// The timer is a function-local static: created by the first arming, after
// every other static object of the library, so it is destroyed before any
// of them, both when the process exits and when the library is unloaded.
// Its destructor stops and joins the thread, which joins its starters; a
// starter in a call to a reader that does not answer is waited for (the
// call's time-out at most).
#include <pthread.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <iterator>
#include <limits>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "auto_search.h"
#include "trace.h"

namespace qd::autosearch {

namespace {

using Steady = std::chrono::steady_clock;

// The longest single wait; a due time further away is waited for in steps.
constexpr double longest_wait = 86400.0;

// Set as the timer starts going away; a destroyed timer is never armed.
std::atomic<bool> stop_requested{false};
std::atomic<bool> timer_gone{false};
// The timer of the process before its latest fork(), in a child: it has the
// timer's memory but none of its threads, so nothing of it may run, stop or
// be joined there.  The child's first registration starts a timer of its own.
std::atomic<bool> forked_child{false};

// Guards the making and replacing of the timer.  Held across fork() by the
// forking thread, so that the child finds it free whatever other threads of
// the parent were doing.
std::mutex instance_lock;

extern "C" void before_fork()
{
    instance_lock.lock();
}

extern "C" void after_fork_in_parent()
{
    instance_lock.unlock();
}

extern "C" void after_fork_in_child()
{
    forked_child.store(true);
    instance_lock.unlock();
}

class Timer {
public:
    Timer() : thread_([this] { run(); }) {}

    ~Timer()
    {
        stop_requested.store(true);
        {
            std::lock_guard<std::mutex> lock(mu_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
        timer_gone.store(true);
    }

    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void arm(double due)
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (stopping_ || !(due < due_))
            return;
        due_ = due;
        wake_.notify_all();
    }

    bool start(std::function<void()> work)
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (stopping_)
            return false;
        try {
            starters_.emplace_back();
            const auto starter = std::prev(starters_.end());
            starter->thread = std::thread([this, starter, work = std::move(work)] {
                try {
                    work();
                } catch (...) {
                    // Whatever it did not start stays due for the next run.
                }
                std::lock_guard<std::mutex> done(mu_);
                starter->done = true;
                wake_.notify_all();
            });
        } catch (const std::system_error&) {
            starters_.pop_back();
            return false;
        } catch (const std::bad_alloc&) {
            if (!starters_.empty() && !starters_.back().thread.joinable())
                starters_.pop_back();
            return false;
        }
        return true;
    }

private:
    struct Starter {
        std::thread thread;
        bool done = false;
    };

    void run()
    {
        std::unique_lock<std::mutex> lock(mu_);
        while (!stopping_) {
            // Joining finished starters lets go of the lock: a stop, a new
            // due time or another finished starter may have come in the
            // meantime, and its wake-up with it.  Look again before waiting,
            // or a stop that came then would be waited through (a day, for
            // a search due tomorrow) and the process could not exit.
            if (reap(lock, false))
                continue;
            if (due_ >= no_end) {
                wake_.wait(lock);
                continue;
            }
            if (due_ != timed_for_) {
                // Armed anew: the interval from now, as a one-shot timer
                // takes it (rounded up past the due time, never before).
                timed_for_ = due_;
                const timeval interval = double_as_timeval(std::clamp(due_ - now(), 0.0, longest_wait));
                deadline_ = Steady::now() + std::chrono::seconds(interval.tv_sec) +
                            std::chrono::microseconds(interval.tv_usec + 1);
            }
            if (Steady::now() < deadline_) {
                wake_.wait_until(lock, deadline_);
                continue;
            }
            if (now() < due_) {
                timed_for_ = std::numeric_limits<double>::quiet_NaN();   // a step of a long wait
                continue;
            }
            due_ = no_end;
            timed_for_ = std::numeric_limits<double>::quiet_NaN();
            lock.unlock();
            handler();
            lock.lock();
        }
        reap(lock, true);
    }

    static void handler()
    {
        trace("auto_search_itimer_handler ()\n");
        double next;
        try {
            run_worker();
            next = next_due_time();
        } catch (const std::bad_alloc&) {
            next = now() + retry_after;
        }
        arm_timer(next);
    }

    // Joins the starters that are done (every one when `all`), outside the
    // lock: a starter takes it to say it is done.  True when it let go of
    // the lock (there was a starter to join).
    bool reap(std::unique_lock<std::mutex>& lock, bool all)
    {
        std::list<Starter> finished;
        for (auto it = starters_.begin(); it != starters_.end();) {
            const auto next = std::next(it);
            if (all || it->done)
                finished.splice(finished.end(), starters_, it);
            it = next;
        }
        if (finished.empty())
            return false;
        lock.unlock();
        for (Starter& starter : finished)
            starter.thread.join();
        lock.lock();
        if (all)
            reap(lock, true);   // none can have been added: start() refuses while stopping
        return true;
    }

    std::mutex mu_;
    std::condition_variable wake_;
    double due_ = no_end;
    double timed_for_ = std::numeric_limits<double>::quiet_NaN();   // the due time deadline_ is for
    Steady::time_point deadline_{};
    bool stopping_ = false;
    std::list<Starter> starters_;
    std::thread thread_;   // last: it runs once everything above is ready
};

// The process's timer, made by the first registration.  In a forked child
// the parent's timer is left as it is, never joined (its thread is not
// there) and never freed (its locks may be held for good), and a new one
// starts, as in a new process.
//
// The timer is used with instance_lock held only, so it cannot go while a
// caller arms it or hands it a starter; once it is going, no caller gets it
// and none makes another.  It is stopped and joined outside the lock: its
// thread and its starters take the lock to arm it again.
struct Instance {
    Instance() { pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); }
    ~Instance()
    {
        std::unique_ptr<Timer> going;
        {
            std::lock_guard<std::mutex> hold(instance_lock);
            closed = true;
            stop_requested.store(true);
            if (forked_child.load())
                static_cast<void>(timer.release());   // the parent's: see above
            going = std::move(timer);
        }
        // `going` stops and joins the timer here, with the lock free.
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    // instance_lock held.  Null once the timer is going away.
    Timer* get()
    {
        if (closed)
            return nullptr;
        if (forked_child.exchange(false))
            static_cast<void>(timer.release());   // the parent's: see above
        if (!timer)
            timer = std::make_unique<Timer>();
        return timer.get();
    }

    std::unique_ptr<Timer> timer;
    bool closed = false;
};

// The one Instance of the process (not in the template below: each of its
// instantiations would have its own).
Instance& instance()
{
    static Instance one;
    return one;
}

// Runs `use` on the process's timer, made first if there is none yet, with
// instance_lock held; false, without running it, once the timer is going
// away.
template <typename Use>
bool with_timer(Use&& use)
{
    Instance& made = instance();
    std::lock_guard<std::mutex> hold(instance_lock);
    Timer* const timer = made.get();
    if (!timer)
        return false;
    use(*timer);
    return true;
}

}  // namespace

void start_timer()
{
    if (timer_gone.load() || stop_requested.load())
        return;
    static_cast<void>(with_timer([](Timer&) {}));
}

void arm_timer(double due)
{
    if (timer_gone.load() || stop_requested.load())
        return;
    static_cast<void>(with_timer([due](Timer& timer) { timer.arm(due); }));
}

bool run_starter(std::function<void()> start)
{
    if (timer_gone.load() || stop_requested.load())
        return false;
    bool started = false;
    static_cast<void>(with_timer([&](Timer& timer) { started = timer.start(std::move(start)); }));
    return started;
}

bool stopping()
{
    return stop_requested.load();
}

timeval double_as_timeval(double t)
{
    // Whole seconds that a long holds, whatever the caller passes.
    constexpr double limit = 1e15;
    if (std::isnan(t))
        t = 0;
    t = std::clamp(t, -limit, limit);
    timeval out{};
    out.tv_sec = static_cast<time_t>(t);
    out.tv_usec = static_cast<suseconds_t>((t - static_cast<double>(out.tv_sec)) * 1000000.0);
    trace("double_as_timeval(%6.6f) => [%ld|%06ld]\n", t, static_cast<long>(out.tv_sec),
          static_cast<long>(out.tv_usec));
    return out;
}

}  // namespace qd::autosearch
