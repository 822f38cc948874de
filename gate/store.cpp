#include "store.h"

#include <sqlite3.h>

namespace qdgate {

namespace {

// One prepared statement, finalised when it goes.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
            throw StoreError(std::string("store: ") + sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int i, std::int64_t v)
    {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Statement& bind(int i, const std::string& v)
    {
        sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // true: a row; false: done.  Throws on an error.
    bool step()
    {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        throw StoreError(std::string("store: ") + sqlite3_errmsg(db_));
    }
    void run()
    {
        step();
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    std::int64_t integer(int i) const { return sqlite3_column_int64(stmt_, i); }
    std::string text(int i) const
    {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, i))) : std::string();
    }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

constexpr int schema_version = 1;

}  // namespace

Store::Store(const std::string& path, std::int64_t limit) : limit_(limit)
{
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw StoreError("store " + path + ": " + why);
    }
    try {
        sqlite3_busy_timeout(db_, 5000);
        {
            Statement version(db_, "PRAGMA user_version");
            version.step();
            if (version.integer(0) > schema_version)
                throw StoreError("store " + path + ": written by a newer qdgate (schema " +
                                 std::to_string(version.integer(0)) + ")");
        }
        if (path != ":memory:") {
            Statement wal(db_, "PRAGMA journal_mode=WAL");
            wal.step();
            if (wal.text(0) != "wal")
                throw StoreError("store " + path + ": cannot use a write-ahead log");
        }
        exec("PRAGMA synchronous=FULL");
        exec("CREATE TABLE IF NOT EXISTS events ("
             " row INTEGER PRIMARY KEY AUTOINCREMENT, reader TEXT NOT NULL, seq INTEGER NOT NULL, time_ms INTEGER NOT NULL,"
             " id TEXT NOT NULL, id_bits INTEGER NOT NULL, w1 INTEGER, w2 INTEGER, w3 INTEGER, w4 INTEGER,"
             " w5 INTEGER, c1 INTEGER, c2 INTEGER, c3 INTEGER, value INTEGER)");
        exec("CREATE TABLE IF NOT EXISTS sequence (reader TEXT PRIMARY KEY, last INTEGER NOT NULL)");
        exec("PRAGMA user_version=1");
        {
            Statement count(db_, "SELECT COUNT(*) FROM events");
            count.step();
            size_ = count.integer(0);
        }
        {
            Statement seqs(db_, "SELECT reader, last FROM sequence");
            while (seqs.step())
                last_seq_[seqs.text(0)] = seqs.integer(1);
        }
        // The output reads through a connection of its own: in WAL mode it
        // sees what was committed and never waits for a commit.
        if (path != ":memory:") {
            if (sqlite3_open_v2(path.c_str(), &read_db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
                SQLITE_OK)
                throw StoreError(std::string("store: ") + (read_db_ ? sqlite3_errmsg(read_db_) : "out of memory"));
            sqlite3_busy_timeout(read_db_, 5000);
        }
    } catch (const StoreError& e) {
        sqlite3_close(read_db_);
        sqlite3_close(db_);
        db_ = read_db_ = nullptr;
        const std::string what = e.what();
        throw StoreError(what.rfind("store: ", 0) == 0 ? "store " + path + what.substr(5) : what);
    }
}

Store::~Store()
{
    sqlite3_close(read_db_);
    sqlite3_close(db_);
}

void Store::exec(const char* sql)
{
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string why = message ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        throw StoreError("store: " + why);
    }
}

int Store::reserve(int want)
{
    std::lock_guard lock(counts_mutex_);
    const std::int64_t room = limit_ - size_ - reserved_;
    const int granted = room <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(room, want));
    reserved_ += granted;
    return granted;
}

void Store::release(int count)
{
    std::lock_guard lock(counts_mutex_);
    reserved_ -= std::min<std::int64_t>(count, reserved_);
}

void Store::append(std::vector<Event>& events)
{
    if (events.empty())
        return;
    Batch batch;
    batch.events = &events;
    std::unique_lock lock(queue_mutex_);
    // commit_queued returns once the batch is committed and out of queue_.
    // cppcheck-suppress danglingLifetime
    queue_.push_back(&batch);
    commit_queued(lock, &batch);
    if (!batch.error.empty())
        throw StoreError(batch.error);
}

void Store::remove(const std::vector<std::int64_t>& rows)
{
    if (rows.empty())
        return;
    std::unique_lock lock(queue_mutex_);
    doomed_.insert(doomed_.end(), rows.begin(), rows.end());
    if (!committing_)
        commit_queued(lock, nullptr);
}

void Store::commit_queued(std::unique_lock<std::mutex>& lock, Batch* batch)
{
    while (committing_ && !(batch && batch->done))
        committed_.wait(lock);
    if (batch && batch->done)
        return;
    // Nobody commits: this caller commits everything queued, until nothing
    // is left, its own batch first among them.
    committing_ = true;
    while (!queue_.empty() || !doomed_.empty()) {
        std::vector<Batch*> batches;
        std::vector<std::int64_t> rows;
        batches.swap(queue_);
        rows.swap(doomed_);
        lock.unlock();
        const bool deleted = commit(batches, rows);
        lock.lock();
        for (Batch* b : batches)
            b->done = true;
        committed_.notify_all();
        if (!deleted) {
            // Tried again with the next commit, which someone else's
            // events or deletes will bring.
            doomed_.insert(doomed_.end(), rows.begin(), rows.end());
            break;
        }
    }
    committing_ = false;
    committed_.notify_all();
}

bool Store::commit(const std::vector<Batch*>& batches, const std::vector<std::int64_t>& rows)
{
    std::map<std::string, std::int64_t> last;
    {
        std::lock_guard counts(counts_mutex_);
        last = last_seq_;
    }
    std::pair<std::int64_t, std::int64_t> changed{0, 0};
    try {
        changed = transaction(batches, rows, last);
    } catch (const StoreError& e) {
        for (Batch* b : batches) {
            b->error = e.what();
            for (Event& ev : *b->events)
                ev.seq = 0;
        }
        // The deletes alone may go through where the events did not (a full
        // disk): they make the room the events wait for.
        if (rows.empty() || batches.empty())
            return rows.empty();
        {
            std::lock_guard counts(counts_mutex_);
            last = last_seq_;
        }
        try {
            changed = transaction({}, rows, last);
        } catch (const StoreError&) {
            return false;
        }
    }
    std::lock_guard counts(counts_mutex_);
    last_seq_.swap(last);
    size_ += changed.first - changed.second;
    reserved_ -= std::min(changed.first, reserved_);
    return true;
}

std::pair<std::int64_t, std::int64_t> Store::transaction(const std::vector<Batch*>& batches,
                                                         const std::vector<std::int64_t>& rows,
                                                         std::map<std::string, std::int64_t>& last)
{
    std::lock_guard lock(db_mutex_);
    std::int64_t added = 0, removed = 0;
    try {
        exec("BEGIN IMMEDIATE");
        if (!rows.empty()) {
            Statement erase(db_, "DELETE FROM events WHERE row = ?1");
            for (const std::int64_t row : rows) {
                erase.bind(1, row).run();
                removed += sqlite3_changes(db_);
            }
        }
        if (!batches.empty()) {
            Statement insert(
                db_, "INSERT INTO events (reader, seq, time_ms, id, id_bits, w1, w2, w3, w4, w5, c1, c2, c3, value)"
                     " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14)");
            Statement sequence(db_, "INSERT OR REPLACE INTO sequence (reader, last) VALUES (?1, ?2)");
            for (Batch* b : batches) {
                for (Event& e : *b->events) {
                    e.seq = ++last[e.reader];
                    insert.bind(1, e.reader).bind(2, e.seq).bind(3, e.time_ms).bind(4, e.id).bind(5, e.id_bits);
                    for (int i = 0; i < 5; ++i)
                        insert.bind(6 + i, e.words[static_cast<std::size_t>(i)]);
                    for (int i = 0; i < 3; ++i)
                        insert.bind(11 + i, e.counts[static_cast<std::size_t>(i)]);
                    insert.bind(14, e.value);
                    insert.run();
                    ++added;
                }
                const std::string& reader = b->events->front().reader;
                sequence.bind(1, reader).bind(2, last[reader]).run();
            }
        }
        exec("COMMIT");
    } catch (const StoreError&) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    return {added, removed};
}

std::vector<StoredEvent> Store::fetch(std::int64_t after, int count)
{
    std::unique_lock lock(read_db_ ? read_mutex_ : db_mutex_);
    Statement select(read_db_ ? read_db_ : db_,
                     "SELECT row, reader, seq, time_ms, id, id_bits, w1, w2, w3, w4, w5, c1, c2, c3, value"
                     " FROM events WHERE row > ?1 ORDER BY row LIMIT ?2");
    select.bind(1, after).bind(2, count);
    std::vector<StoredEvent> out;
    while (select.step()) {
        StoredEvent s;
        s.row = select.integer(0);
        Event& e = s.event;
        e.reader = select.text(1);
        e.seq = select.integer(2);
        e.time_ms = select.integer(3);
        e.id = select.text(4);
        e.id_bits = static_cast<int>(select.integer(5));
        for (int i = 0; i < 5; ++i)
            e.words[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(select.integer(6 + i));
        for (int i = 0; i < 3; ++i)
            e.counts[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(select.integer(11 + i));
        e.value = static_cast<std::uint32_t>(select.integer(14));
        out.push_back(std::move(s));
    }
    return out;
}

std::int64_t Store::size() const
{
    std::lock_guard lock(counts_mutex_);
    return size_;
}

std::optional<std::int64_t> Store::oldest_time_ms()
{
    std::unique_lock lock(read_db_ ? read_mutex_ : db_mutex_);
    Statement select(read_db_ ? read_db_ : db_, "SELECT time_ms FROM events ORDER BY row LIMIT 1");
    if (!select.step())
        return std::nullopt;
    return select.integer(0);
}

std::int64_t Store::last_seq(const std::string& reader) const
{
    std::lock_guard lock(counts_mutex_);
    const auto it = last_seq_.find(reader);
    return it == last_seq_.end() ? 0 : it->second;
}

}  // namespace qdgate
