// Automatic searches: registration, stopping and watching, the due times,
// and the worker that starts each search on its reader once it is due.
//
// A reader's searches are guarded by its two auto-search locks (reader.h):
// the list lock for every read or write of the list and the records, the
// serial lock around the operations that call the reader for a search.  The
// timer thread takes list locks only; the calls that start searches run on
// a starter thread per reader, so a reader that does not answer holds up its
// own searches and nobody else's.
#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>

#include "auto_search.h"
#include "guard.h"
#include "reader.h"
#include "trace.h"

using namespace qd;

namespace qd::autosearch {

namespace {

using SearchRef = std::shared_ptr<AutoSearchObject>;

// Waiting for its start: registered active, not started, not handed to a
// starter yet.  A stopped search, or one registered inactive, never starts,
// so it is no due time either (else the timer would fire at the minimum
// lead for as long as it is registered).
bool waiting(const AutoSearchObject& search)
{
    const auto& r = search.record;
    return !search.claimed && !search.released && r.active && !r.started && r.next_start != 0.0;
}

bool valid_time(double t)
{
    return t >= 0.0;   // false for a negative time and for NaN
}

ReaderObject& reader_in(const SlotEntry& entry)
{
    return static_cast<ReaderObject&>(*entry.object);
}

// What the timer's own calls store in reader_errno would reach whichever
// application thread reads it next: put back what was there, unless some
// other thread has stored a value since.
class ErrnoKept {
public:
    ErrnoKept() : before_(get_errno()) {}
    ~ErrnoKept()
    {
        int left = get_errno();
        std::atomic_ref<int>(reader_errno).compare_exchange_strong(left, before_, std::memory_order_relaxed);
    }
    ErrnoKept(const ErrnoKept&) = delete;
    ErrnoKept& operator=(const ErrnoKept&) = delete;

private:
    int before_;
};

// A search whose start did not go through waits for the next try.
void put_back(auto_search_record& r)
{
    r.started = 0;
    r.reader_handle = nullptr;
    r.next_start = now() + retry_after;
}

// Starts the claimed searches of one reader, in list order, on a starter
// thread.
void start_claimed(const std::shared_ptr<ReaderObject>& reader, reader_handle handle,
                   const std::vector<SearchRef>& claimed)
{
    bool failed = false;
    std::size_t next = 0;
    // Searches this run did not come to are due again for the next one.
    struct Unclaim {
        ~Unclaim()
        {
            std::lock_guard<std::mutex> list(reader.auto_list);
            for (std::size_t i = next; i < claimed.size(); ++i)
                claimed[i]->claimed = false;
        }
        ReaderObject& reader;
        const std::vector<SearchRef>& claimed;
        const std::size_t& next;
    } unclaim{*reader, claimed, next};

    std::lock_guard<std::mutex> serial(reader->auto_serial);
    for (; next < claimed.size(); ++next) {
        const SearchRef& search = claimed[next];
        std::unique_ptr<Configuration> configuration;
        {
            std::lock_guard<std::mutex> list(reader->auto_list);
            search->claimed = false;
            auto& r = search->record;
            // Stopped, or the reader closed, since it was claimed.
            if (stopping() || search->released || !r.active || r.started)
                continue;
            r.started = 1;
            r.reader_handle = handle;
            r.next_start = 0.0;   // started once only
            try {
                configuration = std::make_unique<Configuration>(r);
            } catch (const std::bad_alloc&) {
                put_back(r);
                failed = true;
                continue;
            }
        }
        int id;
        {
            ErrnoKept kept;
            id = detailed_read_start(handle, &configuration->config());
        }
        std::lock_guard<std::mutex> list(reader->auto_list);
        auto& r = search->record;
        r.search_id = static_cast<int16_t>(id);
        if (id == -1) {
            put_back(r);
            failed = true;
        } else {
            // Written back once only: a retry must not append a second group.
            r.params = configuration->params();
        }
    }
    if (failed)
        arm_timer(next_due_time());
}

}  // namespace

double now()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

double next_due_time()
{
    double earliest = no_end;
    for (const SlotEntry& entry : slots_of_kind(HANDLE_KIND_READER)) {
        ReaderObject& reader = reader_in(entry);
        std::lock_guard<std::mutex> list(reader.auto_list);
        for (const SearchRef& search : reader.auto_searches())
            if (waiting(*search))
                earliest = std::min(earliest, search->record.next_start);
    }
    if (earliest >= no_end)
        return no_end;
    const double current = now();
    return earliest < current + minimum_lead ? current + minimum_lead : earliest;
}

void run_worker()
{
    const double current = now();
    for (const SlotEntry& entry : slots_of_kind(HANDLE_KIND_READER)) {
        auto reader = std::static_pointer_cast<ReaderObject>(entry.object);
        std::vector<SearchRef> due;
        {
            std::lock_guard<std::mutex> list(reader->auto_list);
            for (const SearchRef& search : reader->auto_searches())
                if (waiting(*search) && search->record.next_start <= current) {
                    search->claimed = true;
                    due.push_back(search);
                }
        }
        if (due.empty())
            continue;
        if (!run_starter([reader, handle = entry.handle, due] { start_claimed(reader, handle, due); })) {
            // No thread for it now: the searches stay due for the next run.
            std::lock_guard<std::mutex> list(reader->auto_list);
            for (const SearchRef& search : due)
                search->claimed = false;
        }
    }
}

}  // namespace qd::autosearch

using namespace qd::autosearch;

namespace {

// What a stop or a status asks about: the reader and the identifier of a
// registered search, read under the list lock, with the reader's serial
// lock held until the target goes.
struct Target {
    std::unique_lock<std::mutex> serial;
    reader_handle on = nullptr;
    int id = 0;
};

// False, with reader_errno -100, once close_reader has released the search.
bool target_of(const AutoSearchRef& ref, Target& out)
{
    out.serial = std::unique_lock<std::mutex>(ref.reader->auto_serial);
    std::lock_guard<std::mutex> list(ref.reader->auto_list);
    if (ref.search->released) {
        set_errno(READER_ERROR_INVALID_ARGUMENTS);
        return false;
    }
    out.on = ref.search->record.reader_handle;
    out.id = ref.search->record.search_id;
    return true;
}

}  // namespace

extern "C" {

reader_handle auto_search_start(reader_handle handle, const search_params* params, double start, double period,
                                double run_time, double stop)
{
    return qd::guarded<reader_handle>("auto_search_start", nullptr, [&]() -> reader_handle {
        const Session session = resolve(handle);
        if (!session)
            return nullptr;
        if (!params || !valid_time(start) || !valid_time(period) || !valid_time(run_time) || !valid_time(stop)) {
            set_errno(READER_ERROR_INVALID_ARGUMENTS);
            return nullptr;
        }
        std::shared_ptr<AutoSearchObject> search;
        try {
            search = std::make_shared<AutoSearchObject>();
        } catch (const std::bad_alloc&) {
            set_errno(READER_ERROR_API_ALLOC);
            return nullptr;
        }
        search->reader = session.reader;
        if (stop == 0.0)
            stop = no_end;
        if (start == 0.0) {
            start = static_cast<double>(std::time(nullptr));
            stop += start;
        }
        auto& r = search->record;
        r.start_time = start;
        r.stop_time = stop;
        r.run_time = run_time;
        r.period = period;
        r.next_start = start;
        r.active = start <= stop ? 1 : 0;
        r.started = 0;
        r.reader_handle = nullptr;
        r.params = *params;
        r.search_id = 0;

        // A timer that cannot start (no threads or memory left) fails the
        // registration before anything of it is kept.
        start_timer();
        const reader_handle slot = allocate_slot(HANDLE_KIND_AUTO_SEARCH, search);
        if (!slot)
            return nullptr;
        bool added;
        {
            std::lock_guard<std::mutex> list(session.reader->auto_list);
            search->handle = slot;
            added = session.reader->add_auto_search(search);
        }
        if (!added) {
            // The reader was closed meanwhile.
            release_slot_of(slot, search.get());
            set_errno(READER_ERROR_INVALID_ARGUMENTS);
            return nullptr;
        }
        try {
            arm_timer(next_due_time());
        } catch (...) {
            // Not handed out, so never to run: its slot is free again.
            {
                std::lock_guard<std::mutex> list(session.reader->auto_list);
                search->record.active = 0;
            }
            release_slot_of(slot, search.get());
            throw;
        }
        return slot;
    });
}

int auto_search_stop(reader_handle handle)
{
    return qd::guarded<int>("auto_search_stop", -1, [&]() -> int {
        const AutoSearchRef ref = resolve_auto_search(handle);
        Target target;
        if (!ref || !target_of(ref, target))
            return -1;
        // A search never started names no reader: the stop then only sets
        // reader_errno to -100.
        detailed_read_stop(target.on, target.id);
        std::lock_guard<std::mutex> list(ref.reader->auto_list);
        auto& r = ref.search->record;
        r.active = 0;
        r.started = 0;
        r.reader_handle = nullptr;
        return 0;
    });
}

int search_active(reader_handle handle)
{
    return qd::guarded<int>("search_active", -1, [&]() -> int {
        const AutoSearchRef ref = resolve_auto_search(handle);
        Target target;
        if (!ref || !target_of(ref, target))
            return 0;
        auto& r = ref.search->record;
        if (!target.on || target.id == 0) {
            std::lock_guard<std::mutex> list(ref.reader->auto_list);
            return r.active;
        }
        const int status = operation_status(target.on, target.id);
        std::lock_guard<std::mutex> list(ref.reader->auto_list);
        r.active = status == READER_OPERATION_WAITING_TO_RUN || status == READER_OPERATION_IN_PROGRESS;
        return r.active;
    });
}

}  // extern "C"
