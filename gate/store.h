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
    // reservation.  Callers of several threads are committed together, in
    // one transaction.  Throws StoreError (the disk is full, say): then
    // nothing of these events was kept, their seq is 0 and the reservation
    // still held.
    void append(std::vector<Event>& events);

    // Up to `count` events committed after row `after`, oldest first.  Read
    // beside the commits, which it does not wait for.
    std::vector<StoredEvent> fetch(std::int64_t after, int count);
    // Deletes the rows (events the output took) with the commit under way
    // or the next one, without waiting for it while one is under way; a
    // delete that fails is tried again with the next commit.  (A delete the
    // machine lost only makes its events go out again: duplicates that
    // their seq tells.)
    void remove(const std::vector<std::int64_t>& rows);

    std::int64_t size() const;
    std::int64_t limit() const { return limit_; }
    // The time of the oldest event kept, if any.
    std::optional<std::int64_t> oldest_time_ms();
    // The last seq given to a reader's event (0: none yet).
    std::int64_t last_seq(const std::string& reader) const;

private:
    // One caller's events, committed with everybody's.
    struct Batch {
        std::vector<Event>* events = nullptr;
        bool done = false;
        std::string error;
    };
    // Commits until nothing is queued (the caller leads), or waits for the
    // commit that takes `batch` (another leads).  Called with `lock` held.
    void commit_queued(std::unique_lock<std::mutex>& lock, Batch* batch);
    // One commit of the batches and the rows; false when the rows were not
    // deleted.
    bool commit(const std::vector<Batch*>& batches, const std::vector<std::int64_t>& rows);
    // One transaction; how many rows it added and deleted.
    std::pair<std::int64_t, std::int64_t> transaction(const std::vector<Batch*>& batches,
                                                      const std::vector<std::int64_t>& rows,
                                                      std::map<std::string, std::int64_t>& last);
    void exec(const char* sql);

    sqlite3* db_ = nullptr;        // the commits'
    sqlite3* read_db_ = nullptr;   // fetch's; none in memory, where fetch takes db_
    const std::int64_t limit_;

    // Callers wait here and the first one commits everybody's.
    std::mutex queue_mutex_;
    std::condition_variable committed_;
    std::vector<Batch*> queue_;
    std::vector<std::int64_t> doomed_;   // rows to delete
    bool committing_ = false;

    std::mutex db_mutex_;      // db_, and read_db_ when there is none
    std::mutex read_mutex_;    // read_db_
    mutable std::mutex counts_mutex_;   // what follows
    std::map<std::string, std::int64_t> last_seq_;
    std::int64_t size_ = 0;
    std::int64_t reserved_ = 0;
};

}  // namespace qdgate
