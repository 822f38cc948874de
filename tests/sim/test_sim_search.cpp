// The virtual reader's searches, tag database and tag field, driven with a
// bare libtirpc client; and the daemon's command line for the tag field.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "daemon_options.h"
#include "raw_client.h"
#include "tag_memory.h"
#include "virtual_reader.h"

using namespace std::chrono_literals;
using qdsim::Tag;
using qdsim::Transport;
using qdsim::VirtualReader;
using qdsim::testing::RawClient;
namespace tagmem = qdsim::tagmem;

namespace {

constexpr const char* kAddress = "127.0.0.4";

Tag tag_with(std::vector<uint16_t> id, uint16_t bits, uint16_t seed_word)
{
    Tag t;
    t.id_bits = bits;
    t.id = std::move(id);
    t.tag_word1 = seed_word;
    t.tag_word2 = static_cast<uint16_t>(seed_word + 1);
    t.tag_word3 = static_cast<uint16_t>(seed_word + 2);
    t.tag_word4 = static_cast<uint16_t>(seed_word + 3);
    t.tag_word5 = static_cast<uint16_t>(seed_word + 4);
    t.tag_count1 = 100u + seed_word;
    t.tag_count2 = 200u + seed_word;
    t.tag_count3 = 0xFFFFFFF0u + seed_word;
    t.tag_value = 0x80000000u | seed_word;
    return t;
}

class Searches : public ::testing::TestWithParam<Transport> {
protected:
    Searches()
    {
        qdsim::Options o;
        o.address = kAddress;
        o.search_duration = 0ms;
        reader = std::make_unique<VirtualReader>(o);
        reader->start();
        client = std::make_unique<RawClient>(kAddress, GetParam());
    }

    short start()
    {
        wire::search_params p{};
        short id = 0;
        EXPECT_EQ(client->call(SEARCH_START, wire::xdr_search_params, &p, xdr_short, &id), RPC_SUCCESS);
        return id;
    }
    short start_detailed()
    {
        qdsim::testing::Result<wire::search_config> cfg(qdsim::detail::xdr_filter(wire::xdr_search_config));
        short id = 0;
        EXPECT_EQ(client->call(DETAILED_READ_START, wire::xdr_search_config, &cfg.value, xdr_short, &id), RPC_SUCCESS);
        return id;
    }
    short status(short id)
    {
        u_short arg = static_cast<u_short>(id);
        short st = 0;
        EXPECT_EQ(client->call(OPERATION_STATUS, xdr_u_short, &arg, xdr_short, &st), RPC_SUCCESS);
        return st;
    }
    short stop(short id)
    {
        u_short arg = static_cast<u_short>(id);
        short res = 0;
        EXPECT_EQ(client->call(DETAILED_READ_STOP, xdr_u_short, &arg, xdr_short, &res), RPC_SUCCESS);
        return res;
    }
    unsigned available()
    {
        int arg = 0;
        u_short n = 0;
        EXPECT_EQ(client->call(TAGS_AVAILABLE, xdr_int, &arg, xdr_u_short, &n), RPC_SUCCESS);
        return n;
    }
    wire::tag_record pop()
    {
        wire::tag_record r{};
        r.status = 99;
        EXPECT_EQ(client->call(TAGDB_POP, wire::xdr_tag_record, &r), RPC_SUCCESS);
        return r;
    }
    // Polls a search to its end; the statuses seen, in order, without repeats.
    std::vector<short> run(short id)
    {
        std::vector<short> seen;
        for (int i = 0; i < 1000; ++i) {
            short s = status(id);
            if (seen.empty() || seen.back() != s)
                seen.push_back(s);
            if (s == tagmem::search_done || s >= 0 || s < -3)
                break;
        }
        return seen;
    }

    std::unique_ptr<VirtualReader> reader;
    std::unique_ptr<RawClient> client;
};

INSTANTIATE_TEST_SUITE_P(Sim, Searches, ::testing::Values(Transport::udp, Transport::tcp),
                         [](const auto& info) { return info.param == Transport::udp ? "udp" : "tcp"; });

}  // namespace

// --- Search progress ---------------------------------------------------------

TEST_P(Searches, StatusWaitsThenRunsForTheDurationThenIsDone)
{
    reader->set_search_duration(150ms);
    reader->add_tag(tag_with({1, 2, 3, 4, 5, 6}, 96, 10));
    short id = start();
    ASSERT_GT(id, 0);
    EXPECT_EQ(status(id), tagmem::search_waiting);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(status(id), tagmem::search_running);
    EXPECT_EQ(available(), 0u);   // nothing lands before the search completes
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(status(id), tagmem::search_running);
    short s;
    while ((s = status(id)) == tagmem::search_running)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(s, tagmem::search_done);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 140ms);
    EXPECT_EQ(available(), 1u);
    EXPECT_EQ(status(id), tagmem::search_done);   // done stays done and lands nothing more
    EXPECT_EQ(available(), 1u);
}

TEST_P(Searches, CompletedSearchHandsOutEveryTagOnceWithItsFields)
{
    const Tag a = tag_with({0x3000, 0x1111, 0x2222, 0x3333, 0x4444, 0x5555}, 96, 1);
    const Tag b = tag_with({0xABCD, 0xEF00}, 24, 7);
    reader->add_tag(a);
    reader->add_tag(b);
    EXPECT_EQ(run(start()), (std::vector<short>{-1, -3}));   // duration 0
    EXPECT_EQ(available(), 2u);
    EXPECT_EQ(reader->tagdb_size(), 2u);

    for (const Tag* t : {&a, &b}) {
        wire::tag_record r = pop();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.id_bits, t->id_bits);
        for (std::size_t i = 0; i < 16; ++i)
            EXPECT_EQ(r.id[i], i < t->id.size() ? t->id[i] : 0) << i;
        EXPECT_EQ(r.tag_word1, t->tag_word1);
        EXPECT_EQ(r.tag_word2, t->tag_word2);
        EXPECT_EQ(r.tag_word3, t->tag_word3);
        EXPECT_EQ(r.tag_word4, t->tag_word4);
        EXPECT_EQ(r.tag_word5, t->tag_word5);
        EXPECT_EQ(r.tag_count1, t->tag_count1);
        EXPECT_EQ(r.tag_count2, t->tag_count2);
        EXPECT_EQ(r.tag_count3, t->tag_count3);
        EXPECT_EQ(r.tag_value, t->tag_value);
    }
    EXPECT_EQ(available(), 0u);
    for (int i = 0; i < 2; ++i) {   // empty: records without a tag, again and again
        wire::tag_record r = pop();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.id_bits, 0);
    }
}

TEST_P(Searches, EverySearchLandsTheFieldAgainAndResetEmpties)
{
    reader->add_random_tags(5, 42);
    run(start());
    run(start_detailed());
    EXPECT_EQ(available(), 10u);
    u_short res = 99;
    ASSERT_EQ(client->call(TAGDB_RESET_DB, xdr_u_short, &res), RPC_SUCCESS);
    EXPECT_EQ(res, 0);
    EXPECT_EQ(available(), 0u);
    EXPECT_EQ(pop().status, 0);
}

TEST_P(Searches, IdentifiersArePositiveAndNewForEverySearch)
{
    std::set<short> ids;
    for (int i = 0; i < 20; ++i) {
        short id = i % 2 ? start() : start_detailed();
        EXPECT_GT(id, 0);
        EXPECT_TRUE(ids.insert(id).second) << id;
    }
    // Increasing, in one sequence for both kinds of search.
    EXPECT_EQ(*ids.rbegin() - *ids.begin(), 19);
}

TEST_P(Searches, UnknownIdentifierGetsTheConfiguredStatus)
{
    EXPECT_EQ(status(1234), tagmem::search_unknown_default);
    EXPECT_EQ(status(-5), tagmem::search_unknown_default);
    EXPECT_EQ(stop(1234), tagmem::search_unknown_default);
    reader->set_unknown_search_status(-7);
    EXPECT_EQ(status(1234), -7);
    short id = start();
    EXPECT_EQ(status(id), tagmem::search_waiting);   // known ones are unaffected
}

TEST_P(Searches, StopEndsASearchEarlyAndItsTagsLand)
{
    reader->set_search_duration(60s);
    reader->add_random_tags(3, 1);
    short id = start_detailed();
    EXPECT_EQ(status(id), tagmem::search_waiting);
    EXPECT_EQ(status(id), tagmem::search_running);
    EXPECT_EQ(stop(id), id);
    EXPECT_EQ(status(id), tagmem::search_done);
    EXPECT_EQ(available(), 3u);
    EXPECT_EQ(stop(id), id);   // stopping again lands nothing more
    EXPECT_EQ(available(), 3u);
    short never_polled = start();
    EXPECT_EQ(stop(never_polled), never_polled);
    EXPECT_EQ(available(), 6u);
}

TEST_P(Searches, AvailableSaturatesAt65535)
{
    reader->add_random_tags(70000, 3, 16);
    run(start());
    EXPECT_EQ(available(), 65535u);
    EXPECT_EQ(reader->tagdb_size(), 70000u);
    EXPECT_EQ(pop().status, 1);
}

TEST_P(Searches, HooksForceStatusAndAvailable)
{
    reader->add_random_tags(2, 9);
    short id = start();
    reader->force_operation_status(-102);
    EXPECT_EQ(status(id), -102);
    EXPECT_EQ(status(777), -102);
    reader->force_tags_available(40000);
    EXPECT_EQ(available(), 40000u);
    reader->force_operation_status(std::nullopt);
    reader->force_tags_available(std::nullopt);
    EXPECT_EQ(run(id).back(), tagmem::search_done);
    EXPECT_EQ(available(), 2u);
}

TEST_P(Searches, ZrProceduresAnswerTheirConfiguredStatus)
{
    for (uint32_t proc : {ZR_SEARCH_START, ZR_SEARCH_STOP, ZR_SEARCH_VERIFY}) {
        int res = 5;
        ASSERT_EQ(client->call(proc, xdr_int, &res), RPC_SUCCESS);
        EXPECT_EQ(res, 0) << proc;
    }
    reader->set_zr_status(ZR_SEARCH_CONFIGURE, -3);
    reader->set_zr_status(ZR_SEARCH_VERIFY, 17);
    qdsim::testing::Result<wire::search_config> cfg(qdsim::detail::xdr_filter(wire::xdr_search_config));
    int res = 0;
    ASSERT_EQ(client->call(ZR_SEARCH_CONFIGURE, wire::xdr_search_config, &cfg.value, xdr_int, &res), RPC_SUCCESS);
    EXPECT_EQ(res, -3);
    ASSERT_EQ(client->call(ZR_SEARCH_VERIFY, xdr_int, &res), RPC_SUCCESS);
    EXPECT_EQ(res, 17);
    ASSERT_EQ(client->call(ZR_SEARCH_START, xdr_int, &res), RPC_SUCCESS);
    EXPECT_EQ(res, 0);
}

TEST_P(Searches, KilledTagsAreNotFound)
{
    Tag dead = tag_with({9, 9}, 32, 3);
    dead.killed = true;
    reader->add_tag(dead);
    reader->add_tag(tag_with({1, 1}, 32, 4));
    run(start());
    EXPECT_EQ(available(), 1u);
    EXPECT_EQ(pop().id[0], 1);
}

// --- The tag field ---------------------------------------------------------

TEST(SimTagField, RandomTagsDependOnTheSeedOnly)
{
    VirtualReader a, b, c;
    a.add_random_tags(50, 7, 40);
    b.add_random_tags(50, 7, 40);
    c.add_random_tags(50, 8, 40);
    auto ta = a.tags(), tb = b.tags(), tc = c.tags();
    ASSERT_EQ(ta.size(), 50u);
    std::set<std::vector<uint16_t>> distinct;
    int same_as_other_seed = 0;
    for (std::size_t i = 0; i < ta.size(); ++i) {
        EXPECT_EQ(ta[i].id_bits, 40);
        ASSERT_EQ(ta[i].id.size(), 3u);
        EXPECT_EQ(ta[i].id[2] & 0x00FF, 0) << "bits past the identity's length are 0";
        EXPECT_EQ(ta[i].id, tb[i].id);
        EXPECT_EQ(ta[i].tag_value, tb[i].tag_value);
        same_as_other_seed += ta[i].id == tc[i].id;
        distinct.insert(ta[i].id);
    }
    EXPECT_EQ(same_as_other_seed, 0);
    EXPECT_EQ(distinct.size(), 50u);
    a.clear_tags();
    EXPECT_TRUE(a.tags().empty());
}

TEST(SimTagField, LongIdentitiesTravelAsSixteenWordsWithTheirLength)
{
    qdsim::Options o;
    o.address = kAddress;
    o.search_duration = 0ms;
    Tag longest;
    longest.id_bits = 300;
    for (uint16_t i = 0; i < 19; ++i)
        longest.id.push_back(static_cast<uint16_t>(0x100 + i));
    Tag too_long;
    too_long.id_bits = 400;   // cut to the model's maximum
    o.tags = {longest, too_long};
    VirtualReader r(o);
    r.start();
    ASSERT_EQ(r.tags().size(), 2u);
    EXPECT_EQ(r.tags()[1].id_bits, tagmem::max_id_bits);
    EXPECT_EQ(r.tags()[1].id.size(), 19u);

    RawClient c(kAddress, Transport::tcp);
    wire::search_params p{};
    short id = 0;
    ASSERT_EQ(c.call(SEARCH_START, wire::xdr_search_params, &p, xdr_short, &id), RPC_SUCCESS);
    u_short arg = static_cast<u_short>(id);
    short st = 0;
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(c.call(OPERATION_STATUS, xdr_u_short, &arg, xdr_short, &st), RPC_SUCCESS);
    ASSERT_EQ(st, tagmem::search_done);
    wire::tag_record rec{};
    ASSERT_EQ(c.call(TAGDB_POP, wire::xdr_tag_record, &rec), RPC_SUCCESS);
    EXPECT_EQ(rec.status, 1);
    EXPECT_EQ(rec.id_bits, 300);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(rec.id[i], 0x100 + i);
}

// --- The daemon's command line -----------------------------------------------

namespace {

qdsim::ParseOutcome parse(std::vector<std::string> args, qdsim::DaemonOptions& out, std::string& error)
{
    args.insert(args.begin(), "qdsim");
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return qdsim::parse_daemon_options(static_cast<int>(args.size()), argv.data(), out, error);
}

}  // namespace

TEST(SimDaemonOptions, TagFieldOptions)
{
    qdsim::DaemonOptions o;
    std::string error;
    ASSERT_EQ(parse({"--tags", "12", "--seed", "0x99", "--id-bits", "64", "--tag", "3000ABCD/32", "--tag",
                     "0xABC", "--search-duration", "250"},
                    o, error),
              qdsim::ParseOutcome::run)
        << error;
    EXPECT_EQ(o.random_tags, 12u);
    EXPECT_EQ(o.seed, 0x99u);
    EXPECT_EQ(o.id_bits, 64);
    EXPECT_EQ(o.reader.search_duration, 250ms);
    ASSERT_EQ(o.reader.tags.size(), 2u);
    EXPECT_EQ(o.reader.tags[0].id_bits, 32);
    EXPECT_EQ(o.reader.tags[0].id, (std::vector<uint16_t>{0x3000, 0xABCD}));
    EXPECT_EQ(o.reader.tags[1].id_bits, 12);
    EXPECT_EQ(o.reader.tags[1].id, (std::vector<uint16_t>{0xABC0}));
}

TEST(SimDaemonOptions, BadValuesAreBadUsage)
{
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--tag", "12G4"},
             {"--tag", "ABCD/301"},
             {"--tag", std::string(76, 'A')},
             {"--id-bits", "301"},
             {"--tags", "-1"},
             {"--tags", "many"},
             {"--seed"},
             {"--search-duration", "1e3"},
             {"--hwid0", "0x100000000"},
             {"--protocols", "1,,2"},
             {"--protocols", "256"},
             {"--antennas", "17"},
             {"--bogus"},
         }) {
        qdsim::DaemonOptions o;
        std::string error;
        EXPECT_EQ(parse(args, o, error), qdsim::ParseOutcome::bad_usage) << args[0];
        EXPECT_FALSE(error.empty());
    }
    qdsim::DaemonOptions o;
    std::string error;
    EXPECT_EQ(parse({"--antennas", "16", "--help"}, o, error), qdsim::ParseOutcome::help);
    EXPECT_EQ(o.reader.hardware.antenna_connected_mask, 0xFFFF);
    EXPECT_NE(qdsim::daemon_usage().find("TAGDATA_READ"), std::string::npos);
}
