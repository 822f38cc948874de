// qdgate's store: each reader's events numbered without a gap across
// reopenings, committed together from many threads, never past the limit,
// handed out in commit order, and nothing half-kept when the disk is full.
#include <gtest/gtest.h>

#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "event.h"
#include "store.h"

namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir()
    {
        char name[] = "/tmp/qdgate-store-XXXXXX";
        path_ = mkdtemp(name);
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string file(const char* name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::vector<qdgate::Event> events(const std::string& reader, int n, int first_id = 0)
{
    std::vector<qdgate::Event> out;
    for (int i = 0; i < n; ++i) {
        tag_record r{};
        r.status = 1;
        r.id_bits = 32;
        r.id[0] = static_cast<uint16_t>(first_id + i);
        r.id[1] = 0xBEEF;
        r.tag_word4 = 4;
        r.tag_count2 = 22;
        r.tag_value = 0xFFFFFFFF;
        out.push_back(qdgate::event_of(reader, r, 1000 + i));
    }
    return out;
}

std::vector<std::int64_t> seqs(const std::vector<qdgate::Event>& es)
{
    std::vector<std::int64_t> out;
    for (const auto& e : es)
        out.push_back(e.seq);
    return out;
}

TEST(GateStore, NumbersGoOnAcrossReopeningAndEmptying)
{
    const TempDir dir;
    const std::string path = dir.file("s.db");
    std::int64_t cursor = 0;
    {
        qdgate::Store s(path, 100);
        auto a = events("a", 3);
        auto b = events("b", 2);
        s.append(a);
        s.append(b);
        EXPECT_EQ(seqs(a), (std::vector<std::int64_t>{1, 2, 3}));
        EXPECT_EQ(seqs(b), (std::vector<std::int64_t>{1, 2}));
        const auto page = s.fetch(0, 10);
        ASSERT_EQ(page.size(), 5u);
        EXPECT_EQ(page[0].event.reader, "a");
        EXPECT_EQ(page[3].event.reader, "b");
        // Everything a record carries comes back.
        EXPECT_EQ(qdgate::event_json("g", page[1].event), qdgate::event_json("g", a[1]));
        // An output that took everything leaves the store empty...
        std::vector<std::int64_t> rows;
        for (const auto& p : page)
            rows.push_back(p.row);
        s.remove(rows);
        cursor = page.back().row;
        EXPECT_EQ(s.size(), 0);
        EXPECT_FALSE(s.oldest_time_ms());
    }
    qdgate::Store s(path, 100);
    EXPECT_EQ(s.last_seq("a"), 3);
    auto a = events("a", 2);
    s.append(a);
    EXPECT_EQ(seqs(a), (std::vector<std::int64_t>{4, 5}));
    // ...and what comes after is found after the output's place.
    const auto page = s.fetch(cursor, 10);
    ASSERT_EQ(page.size(), 2u);
    EXPECT_EQ(page[0].event.seq, 4);
    EXPECT_EQ(s.oldest_time_ms(), 1000);
}

// Eight writers and an output that takes events out as they come: the
// output's deletes go with the writers' commits, and none is lost.
TEST(GateStore, ManyThreadsNoGapNoDouble)
{
    const TempDir dir;
    const std::string path = dir.file("s.db");
    qdgate::Store s(path, 1000000);
    constexpr int threads = 8, batches = 40, per_batch = 25;
    std::atomic<int> writing{threads};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int b = 0; b < batches; ++b) {
                auto es = events("r" + std::to_string(t % 4), per_batch);
                ASSERT_EQ(s.reserve(per_batch), per_batch);
                s.append(es);
            }
            --writing;
        });
    std::map<std::string, std::set<std::int64_t>> got;
    std::map<std::string, std::int64_t> last_seq;
    std::int64_t cursor = 0, last_row = 0;
    for (;;) {
        const bool last_pass = writing == 0;
        const auto page = s.fetch(cursor, 33);
        std::vector<std::int64_t> rows;
        for (const auto& p : page) {
            EXPECT_GT(p.row, last_row);
            last_row = p.row;
            // In commit order, so in seq order for each reader.
            EXPECT_EQ(p.event.seq, last_seq[p.event.reader] + 1);
            last_seq[p.event.reader] = p.event.seq;
            EXPECT_TRUE(got[p.event.reader].insert(p.event.seq).second);
            rows.push_back(p.row);
        }
        if (!page.empty())
            cursor = page.back().row;
        s.remove(rows);
        if (page.empty() && last_pass)
            break;
    }
    for (auto& th : pool)
        th.join();
    for (int r = 0; r < 4; ++r)
        EXPECT_EQ(got["r" + std::to_string(r)].size(), 2u * batches * per_batch);
    EXPECT_EQ(s.size(), 0);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* count = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM events", -1, &count, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int64(count, 0), 0);
    sqlite3_finalize(count);
    sqlite3_close(db);
}

TEST(GateStore, TheLimitHoldsWhateverTheCallers)
{
    const TempDir dir;
    qdgate::Store s(dir.file("s.db"), 10);
    EXPECT_EQ(s.reserve(4), 4);
    EXPECT_EQ(s.reserve(100), 6);
    EXPECT_EQ(s.reserve(1), 0);   // all reserved
    s.release(6);
    auto a = events("a", 4);
    s.append(a);   // uses the first reservation
    EXPECT_EQ(s.reserve(100), 6);
    s.release(2);
    EXPECT_EQ(s.reserve(100), 2);
    s.release(2);
    auto rows = s.fetch(0, 2);
    s.remove({rows[0].row, rows[1].row});
    EXPECT_EQ(s.size(), 2);
    EXPECT_EQ(s.reserve(100), 4);
}

TEST(GateStore, ANewerStoreIsRefused)
{
    const TempDir dir;
    const std::string path = dir.file("s.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA user_version=2", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    try {
        qdgate::Store s(path, 10);
        FAIL() << "opened";
    } catch (const qdgate::StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("newer"), std::string::npos) << e.what();
    }
    EXPECT_THROW(qdgate::Store(dir.file("no/such/dir/s.db"), 10), qdgate::StoreError);
}

// A file system of 256 KiB (root only: it is mounted in a mount namespace
// of this process), made larger once the store failed.
TEST(GateStore, ADiskFullKeepsNothingHalfAndGoesOnWithoutAGap)
{
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "needs root and a mount namespace";
    const TempDir dir;
    ASSERT_EQ(mount("qdgate-test", dir.path().c_str(), "tmpfs", 0, "size=256k"), 0);
    struct Unmount {
        const std::string& path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{dir.path()};
    std::int64_t kept = 0;
    std::vector<qdgate::Event> refused;
    {
        qdgate::Store s(dir.file("s.db"), 1000000);
        for (int i = 0; i < 10000 && refused.empty(); ++i) {
            auto es = events("a", 50, i * 50);
            try {
                s.append(es);
                kept = es.back().seq;
            } catch (const qdgate::StoreError&) {
                refused = es;
            }
        }
        ASSERT_FALSE(refused.empty()) << "the disk never filled";
        EXPECT_EQ(seqs(refused), std::vector<std::int64_t>(50, 0));
        EXPECT_EQ(s.last_seq("a"), kept);
        EXPECT_EQ(s.size(), kept);
        ASSERT_EQ(mount(nullptr, dir.path().c_str(), nullptr, MS_REMOUNT, "size=16m"), 0);
        s.append(refused);
        EXPECT_EQ(refused.front().seq, kept + 1);
        EXPECT_EQ(refused.back().seq, kept + 50);
    }
    qdgate::Store s(dir.file("s.db"), 1000000);
    EXPECT_EQ(s.size(), kept + 50);
    EXPECT_EQ(s.last_seq("a"), kept + 50);
}

TEST(GateEvent, JsonAndTimes)
{
    EXPECT_EQ(qdgate::rfc3339_ms(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(qdgate::rfc3339_ms(1796787296789), "2026-12-09T03:34:56.789Z");
    tag_record r{};
    r.id_bits = 17;
    r.id[0] = 0x00AB;
    r.id[1] = 0x8000;
    r.id[2] = 0x1234;   // past the identity's bits
    r.tag_word1 = 1;
    r.tag_word5 = 5;
    r.tag_count3 = 3;
    r.tag_value = 4000000000u;
    qdgate::Event e = qdgate::event_of("door-1", r, 1796787296789);
    e.seq = 7;
    EXPECT_EQ(qdgate::event_json("dock", e),
              R"({"gateway":"dock","reader":"door-1","seq":7,"time":"2026-12-09T03:34:56.789Z","id":"00AB8000",)"
              R"("id_bits":17,"words":[1,0,0,0,5],"counts":[0,0,3],"value":4000000000})");
    // An identity longer than the record holds is cut at its 16 words.
    r.id_bits = 300;
    EXPECT_EQ(qdgate::event_of("x", r, 0).id.size(), 64u);
    r.id_bits = 0;
    EXPECT_EQ(qdgate::event_of("x", r, 0).id, "");
}

}  // namespace
