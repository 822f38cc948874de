// The durable outbox: every event drained from a reader is committed here
// before the reader is drained again, and deleted only once the output took
// it (the broker acknowledged it, or standard output was flushed).  SQLite
// in WAL mode, synchronous: a commit is on disk when append() returns.
//
// Each reader's events are numbered 1, 2, 3, ... (seq) without a gap, across
// restarts: the last number given is committed with the events.  Rows come
// back in the order they were committed, so each reader's in seq order; a
// row's number is never given again, even once the store was emptied, so
// an output's place in it ("after row N") stays good.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "event.h"

struct sqlite3;

namespace qdgate {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct StoredEvent {
    std::int64_t row = 0;
    Event event;
};

class Store {
public:
    // Opens (creates) the store at `path` (":memory:": one kept in memory
    // only, for measurements).  Throws StoreError.
    Store(const std::string& path, std::int64_t limit);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Room for up to `want` more events, reserved for this caller until
    // append() uses it or release() gives it back: 0 when the store holds
    // its limit.
    int reserve(int want);
    void release(int count);

    // Commits the events (of one reader) with their reader's next numbers,
    // written into each event's seq, and uses that much of the caller's
    // reservation.  Callers of several threads are committed together.
    // Throws StoreError (the disk is full, say): then nothing of these
    // events was kept, their seq is 0 and the reservation still held.
    void append(std::vector<Event>& events);

    // Up to `count` events committed after row `after`, oldest first.
    std::vector<StoredEvent> fetch(std::int64_t after, int count);
    // Deletes the rows (events the output took).
    void remove(const std::vector<std::int64_t>& rows);

    std::int64_t size() const;
    std::int64_t limit() const { return limit_; }
    // The time of the oldest event kept, if any.
    std::optional<std::int64_t> oldest_time_ms();
    // The last seq given to a reader's event (0: none yet).
    std::int64_t last_seq(const std::string& reader);

private:
    struct Batch {
        std::vector<Event>* events;
        bool done = false;
        std::string error;
    };
    void commit(const std::vector<Batch*>& batches);
    void exec(const char* sql);
    [[noreturn]] void fail(const std::string& what);

    sqlite3* db_ = nullptr;
    const std::int64_t limit_;

    // Appends wait here and the first one commits everybody's.
    std::mutex queue_mutex_;
    std::condition_variable committed_;
    std::vector<Batch*> queue_;
    bool committing_ = false;

    mutable std::mutex mutex_;   // the connection, and what follows
    std::map<std::string, std::int64_t> last_seq_;
    std::int64_t size_ = 0;
    std::int64_t reserved_ = 0;
};

}  // namespace qdgate
