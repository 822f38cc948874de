// qdgate's reader loops, store and an output working at once, as in the
// gateway: four readers (TCP, UDP, an automatic search) drained into one
// store by threads of their own while a consumer takes events out.  With
// a store that holds the limit most of the time and with one that never
// fills, every reader's seq runs without a gap and every tag of its field
// arrives.  (The thread sanitizer runs this one.)
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <set>

#include "metrics.h"
#include "reader_loop.h"
#include "status.h"
#include "stop.h"
#include "store.h"
#include "support.h"

namespace {

std::string hex_of(const qdsim::Tag& t)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    const int words = ((t.id_bits > 256 ? 256 : t.id_bits) + 15) / 16;
    for (int i = 0; i < words; ++i) {
        const uint16_t w = static_cast<std::size_t>(i) < t.id.size() ? t.id[static_cast<std::size_t>(i)] : 0;
        for (int shift = 12; shift >= 0; shift -= 4)
            out.push_back(digits[(w >> shift) & 0xF]);
    }
    return out;
}

class GateAtOnce : public testing::TestWithParam<std::int64_t> {};

TEST_P(GateAtOnce, EveryTagOnceInOrderWithoutAGap)
{
    const char* addresses[] = {"127.0.64.1", "127.0.64.2", "127.0.64.3", "127.0.64.4"};
    std::vector<std::unique_ptr<qdsim::VirtualReader>> sims;
    std::vector<qdgate::ReaderConfig> configs;
    std::map<std::string, std::set<std::string>> field;
    for (int i = 0; i < 4; ++i) {
        sims.push_back(qdtest::start_reader(addresses[i]));
        sims.back()->add_random_tags(25, 100 + static_cast<uint64_t>(i));
        qdgate::ReaderConfig c;
        c.name = "r" + std::to_string(i);
        c.host = addresses[i];
        c.tcp = i != 1;
        c.automatic = i == 3;
        configs.push_back(c);
        for (const qdsim::Tag& t : sims.back()->tags())
            field[c.name].insert(hex_of(t));
    }

    char dir[] = "/tmp/qdgate-concurrency-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    {
        qdgate::Store store(std::string(dir) + "/s.db", GetParam());
        qdgate::Metrics metrics("");
        qdgate::StatusBoard board;
        qdgate::Stop stop;
        std::vector<std::unique_ptr<qdgate::ReaderLoop>> loops;
        for (const auto& c : configs) {
            loops.push_back(std::make_unique<qdgate::ReaderLoop>(c, store, metrics, board, stop));
            loops.back()->start();
        }

        // The consumer: takes events in pages, as an output does, until each
        // reader has brought its field three times over.
        std::map<std::string, std::vector<std::int64_t>> seqs;
        std::map<std::string, std::set<std::string>> seen;
        std::int64_t cursor = 0;
        const auto enough = [&] {
            for (const auto& c : configs)
                if (seqs[c.name].size() < 75)
                    return false;
            return true;
        };
        const auto take = [&] {
            const auto page = store.fetch(cursor, 64);
            std::vector<std::int64_t> rows;
            for (const auto& p : page) {
                seqs[p.event.reader].push_back(p.event.seq);
                seen[p.event.reader].insert(p.event.id);
                rows.push_back(p.row);
            }
            if (!page.empty())
                cursor = page.back().row;
            store.remove(rows);
            return page.size();
        };
        for (int spins = 0; !enough() && spins < 20000; ++spins)
            if (take() == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop.request();
        loops.clear();
        while (take() > 0) {
        }
        EXPECT_EQ(store.size(), 0);

        std::uint64_t version = 0;
        const auto states = board.changed(0, version);
        EXPECT_EQ(states.size(), configs.size());
        for (const auto& s : states)
            EXPECT_EQ(s.reason, "the gateway stopped") << s.reader;
        for (const auto& c : configs) {
            const auto& got = seqs[c.name];
            ASSERT_GE(got.size(), 75u) << c.name;
            for (std::size_t i = 0; i < got.size(); ++i)
                ASSERT_EQ(got[i], static_cast<std::int64_t>(i) + 1) << c.name << " event " << i;
            EXPECT_EQ(seen[c.name], field[c.name]) << c.name;
            EXPECT_EQ(store.last_seq(c.name), static_cast<std::int64_t>(got.size())) << c.name;
        }
    }
    std::filesystem::remove_all(dir);
}

// 40: the readers wait for room most of the time.
INSTANTIATE_TEST_SUITE_P(Gate, GateAtOnce, testing::Values(40, 1000000),
                         [](const auto& info) { return info.param == 40 ? "StoreAtItsLimit" : "RoomEnough"; });

}  // namespace
