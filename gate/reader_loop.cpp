#include "reader_loop.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "log.h"

namespace qdgate {

using namespace std::chrono_literals;

namespace {

// How long an empty reader is left before it is asked again, while its
// search runs.
constexpr auto idle_poll = 5ms;
// The readers' threads' niceness, over the output's.
constexpr int reader_niceness = 10;
// How long a drain held by a full store waits before it looks again.
constexpr auto room_poll = 100ms;

std::string last_error_text(const char* call)
{
    const qdapi_error* e = qdapi_last_error();
    if (e->code != 0 && e->message[0] != '\0')
        return e->message;
    return std::string(call) + ": failed";
}

}  // namespace

ReaderLoop::ReaderLoop(const ReaderConfig& config, Store& store, Metrics& metrics, StatusBoard& board, Stop& stop)
    : config_(config), store_(store), metrics_(metrics), m_(metrics.reader(config.name)), board_(board), stop_(stop),
      records_(chunk)
{
    metrics_.reconnects("reader/" + config_.name);   // a series from the start, at 0
}

ReaderLoop::~ReaderLoop()
{
    join();
}

void ReaderLoop::start()
{
    thread_ = std::thread([this] { run(); });
}

void ReaderLoop::join()
{
    if (thread_.joinable())
        thread_.join();
}

void ReaderLoop::fail(const char* call)
{
    throw Failed{last_error_text(call), qdapi_last_error()->code};
}

void ReaderLoop::run()
{
    // Readers yield to the output when the processors are short: a tag
    // then waits in its reader rather than in the store, and what was taken
    // goes out soon after.  (Each thread has a niceness of its own.)
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), reader_niceness);
    Backoff backoff;
    bool reconnecting = false;
    while (!stop_.requested()) {
        try {
            if (!h_) {
                open();
                if (reconnecting)
                    metrics_.reconnects("reader/" + config_.name).Increment();
                backoff.reset();
                board_.set(config_.name, true, "");
                m_.up.Set(1);
            }
            if (config_.automatic)
                automatic_cycle();
            else
                continuous_cycle();
        } catch (const Failed& f) {
            // A reader that does not answer is not asked to stop its search:
            // the stop would hold the next attempt (and the gateway's own
            // stop) for a time-out.  One that answered with an error is, so
            // that a search left behind does not run beside the next one.
            close(f.code != 0 && f.code != READER_ERROR_REMOTE);
            m_.up.Set(0);
            board_.set(config_.name, false, f.why);
            reconnecting = true;
            stop_.wait(backoff.next());
        }
    }
    close(true);
    board_.set(config_.name, false, "the gateway stopped");
    m_.up.Set(0);
}

void ReaderLoop::open()
{
    qdapi_clear_error();
    h_ = open_reader_over(config_.host.c_str(), config_.tcp ? QDAPI_TRANSPORT_TCP : QDAPI_TRANSPORT_UDP);
    if (!h_)
        fail("open_reader");
}

void ReaderLoop::close(bool stop_search)
{
    if (search_) {
        if (stop_search)
            auto_search_stop(search_);
        search_ = nullptr;   // the reader's close forgets it
    }
    if (h_) {
        close_reader(h_);
        h_ = nullptr;
    }
}

// Searches back to back: each search is drained while it runs, and once
// more when it has ended.
void ReaderLoop::continuous_cycle()
{
    const search_params params{};
    qdapi_clear_error();
    const int id = search_start(h_, &params);
    if (id == -1)
        fail("search_start");
    while (!stop_.requested()) {
        const int taken = drain();
        qdapi_clear_error();
        const int status = operation_status(h_, id);
        if (status == READER_OPERATION_BUILD_IN_PROGRESS)
            fail("operation_status");
        if (status != READER_OPERATION_WAITING_TO_RUN && status != READER_OPERATION_IN_PROGRESS) {
            drain();
            return;
        }
        if (taken == 0)
            stop_.wait(idle_poll);
    }
}

// One automatic search without an end, registered once: the reader goes on
// searching while the gateway is away (restarting, say) and keeps what it
// finds for the next drain.  A search that ended (the reader restarted, say)
// is registered again on a new connection.
void ReaderLoop::automatic_cycle()
{
    if (!search_) {
        const search_params params{};
        qdapi_clear_error();
        search_ = auto_search_start(h_, &params, 0, 0, 0, 0);
        if (!search_)
            fail("auto_search_start");
    }
    const int taken = drain();
    qdapi_clear_error();
    if (search_active(search_) != 1) {
        const int code = qdapi_last_error()->code;
        const std::string why = code != 0 ? last_error_text("search_active")
                                          : "the automatic search ended on the reader; registering it again";
        drain();
        throw Failed{why, code};
    }
    if (taken == 0)
        stop_.wait(idle_poll * 4);
}

int ReaderLoop::drain()
{
    int total = 0;
    while (!stop_.requested()) {
        const int room = store_.reserve(chunk);
        if (room == 0) {
            back_pressure(true);
            stop_.wait(room_poll);
            continue;
        }
        // Off again once a tenth of the store is free, so that a store
        // that hovers at its limit does not switch it on and off by the
        // chunk.
        if (back_pressure_ && store_.size() <= store_.limit() - store_.limit() / 10)
            back_pressure(false);

        // Only an identity's significant words are written.
        std::memset(records_.data(), 0, sizeof(tag_record) * static_cast<std::size_t>(room));
        int unanswered = 0;
        qdapi_clear_error();
        const int got = tagdb_consume_many(h_, records_.data(), room, &unanswered);
        const int code = qdapi_last_error()->code;
        const bool failed = got < 0 || code != 0;
        const std::string why = failed ? last_error_text("tagdb_consume_many") : std::string();
        const int count = got < 0 ? 0 : got;

        const std::int64_t now = now_ms();
        std::vector<Event> events;
        events.reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            Event e = event_of(config_.name, records_[static_cast<std::size_t>(i)], now);
            if (!duplicate(e))
                events.push_back(std::move(e));
        }
        store_.release(room - static_cast<int>(events.size()));
        m_.tags_read.Increment(count);
        keep(events);
        total += count;
        if (failed) {
            if (unanswered > 0)
                m_.unaccounted.Increment(unanswered);
            throw Failed{why, code};
        }
        if (count < room)
            break;
    }
    return total;
}

void ReaderLoop::keep(std::vector<Event>& events)
{
    Backoff backoff(5s);
    bool told = false;
    for (;;) {
        try {
            store_.append(events);
            if (told)
                back_pressure(false);
            return;
        } catch (const StoreError& e) {
            if (!told) {
                log_line("reader " + config_.name + ": cannot write to the store (" + e.what() +
                         "); holding " + std::to_string(events.size()) + " events and the reader's tags");
                back_pressure(true);
                told = true;
            }
            if (stop_.wait(backoff.next())) {
                // One last try; what still cannot be kept is written out
                // where an operator finds it rather than vanish.
                try {
                    store_.append(events);
                    return;
                } catch (const StoreError&) {
                    for (const Event& ev : events)
                        log_line("not kept: " + event_json("", ev));
                    metrics_.dropped_stopped.Increment(static_cast<double>(events.size()));
                    store_.release(static_cast<int>(events.size()));
                    return;
                }
            }
        }
    }
}

void ReaderLoop::back_pressure(bool on)
{
    back_pressure_ = on;
    board_.set_back_pressure(config_.name, on);
    m_.back_pressure.Set(on ? 1 : 0);
}

bool ReaderLoop::duplicate(const Event& e)
{
    if (config_.dedup_seconds <= 0)
        return false;
    const auto window = static_cast<std::int64_t>(config_.dedup_seconds * 1000);
    if (e.time_ms >= next_prune_ms_) {
        std::erase_if(last_event_ms_, [&](const auto& kv) { return e.time_ms - kv.second >= window; });
        next_prune_ms_ = e.time_ms + window;
    }
    auto [it, fresh] = last_event_ms_.emplace(e.id, e.time_ms);
    if (fresh)
        return false;
    if (e.time_ms - it->second < window)
        return true;
    it->second = e.time_ms;
    return false;
}

}  // namespace qdgate
