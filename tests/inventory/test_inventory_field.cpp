// Inventories against the virtual reader's tag field, end to end: a search
// runs through waiting, in progress and done, tags_available counts the
// tags found and a drain with tagdb_pop or tagdb_consume hands out every tag
// exactly once with its fields, over UDP and TCP, also when a call fails in
// the middle of the drain or a reply comes too late for UDP.  Identity
// lengths and the tag value's widening are checked on tags made for it.
// Virtual reader at 127.0.0.61.
#include <climits>
#include <cstring>
#include <set>
#include <thread>

#include "inventory_support.h"

namespace {

using qdinv::TagKey;

const char* const host = "127.0.0.61";

enum class Drain { pop, consume };

struct Drained {
    std::map<TagKey, int> keys;
    std::vector<tag_record> records;   // as consumed, or popped and widened back
    int final_status = 1;
};

// One call of the drain; false when the database gave no tag.  Popped
// records are converted to tag_record (tag_word4/5 0) for comparisons.
bool take_one(reader_handle h, Drain how, tag_record& out, int& rc)
{
    if (how == Drain::consume) {
        tag_record r;
        std::memset(&r, 0xAB, sizeof r);
        rc = tagdb_consume(h, &r);
        out = r;
    } else {
        popped_tag_record r;
        std::memset(&r, 0xAB, sizeof r);
        rc = tagdb_pop(h, &r);
        out = tag_record{};
        out.status = r.status;
        if (rc == 0 && r.status == 1) {
            EXPECT_EQ(r.tag_value >> 32, 0u) << "the upper half of a popped tag value is 0";
            out.tag_word1 = r.tag_word1;
            out.tag_word2 = r.tag_word2;
            out.id_bits = r.id_bits;
            std::memcpy(out.id, r.id, sizeof out.id);
            out.tag_word3 = r.tag_word3;
            out.tag_count1 = r.tag_count1;
            out.tag_count2 = r.tag_count2;
            out.tag_count3 = r.tag_count3;
            out.tag_value = static_cast<uint32_t>(r.tag_value);
        }
    }
    return rc == 0 && out.status == 1;
}

// Drains the database, or takes `at_most` tags when that is given.
Drained drain(reader_handle h, Drain how, std::size_t at_most = 0)
{
    const bool to_the_end = at_most == 0;
    if (to_the_end)
        at_most = 100000;
    Drained d;
    for (std::size_t i = 0; i < at_most; ++i) {
        tag_record r;
        int rc = 0;
        if (!take_one(h, how, r, rc)) {
            EXPECT_EQ(rc, 0) << "drain call " << i << " failed, reader_errno " << reader_errno;
            d.final_status = r.status;
            return d;
        }
        ++d.keys[qdinv::key_of_record(r)];
        d.records.push_back(r);
    }
    if (to_the_end)
        ADD_FAILURE() << "the database never ran dry";
    return d;
}

// The records drained carry the fields of the field's tags.
void expect_fields_of_population(const std::vector<qdsim::Tag>& tags, const Drained& d, Drain how)
{
    std::map<TagKey, const qdsim::Tag*> by_key;
    for (const auto& t : tags)
        by_key[qdinv::key_of_tag(t)] = &t;
    for (const auto& r : d.records) {
        const auto it = by_key.find(qdinv::key_of_record(r));
        ASSERT_NE(it, by_key.end()) << "a drained tag that is not in the field";
        const qdsim::Tag& t = *it->second;
        EXPECT_EQ(r.tag_word1, t.tag_word1);
        EXPECT_EQ(r.tag_word2, t.tag_word2);
        EXPECT_EQ(r.tag_word3, t.tag_word3);
        EXPECT_EQ(r.tag_count1, t.tag_count1);
        EXPECT_EQ(r.tag_count2, t.tag_count2);
        EXPECT_EQ(r.tag_count3, t.tag_count3);
        EXPECT_EQ(r.tag_value, t.tag_value);
        if (how == Drain::consume) {
            EXPECT_EQ(r.tag_word4, t.tag_word4);
            EXPECT_EQ(r.tag_word5, t.tag_word5);
        }
    }
}

class FullInventory : public ::testing::TestWithParam<std::tuple<Drain, bool>> {
protected:
    Drain how() const { return std::get<0>(GetParam()); }
    bool tcp() const { return std::get<1>(GetParam()); }
};

TEST_P(FullInventory, EveryTagOfTheFieldExactlyOnce)
{
    auto reader = qdtest::start_reader(host);
    reader->add_random_tags(300, 20261207);
    reader->set_search_duration(std::chrono::milliseconds(60));
    const auto expected = qdinv::population(*reader);
    ASSERT_EQ(expected.size(), 300u) << "random identities collided; pick another seed";

    qdtest::Switch transport(use_tcp, tcp() ? 1 : 0);
    reader_handle h = open_reader(host);
    ASSERT_NE(h, nullptr);

    search_params params{};
    const int id = search_start(h, &params);
    ASSERT_GT(id, 0);
    const auto seen = qdinv::poll_until_settled(h, id);
    EXPECT_EQ(seen, (std::vector<int>{READER_OPERATION_WAITING_TO_RUN, READER_OPERATION_IN_PROGRESS,
                                      READER_OPERATION_DONE}));
    EXPECT_EQ(tags_available(h, 0), 300);

    const Drained d = drain(h, how());
    EXPECT_EQ(d.records.size(), 300u);
    EXPECT_EQ(d.keys, expected) << "every tag once, no other";
    EXPECT_NE(d.final_status, 1);
    expect_fields_of_population(reader->tags(), d, how());
    EXPECT_EQ(tags_available(h, 0), 0);
    EXPECT_EQ(reader->tagdb_size(), 0u);

    close_reader(h);
    for (const auto& c : reader->calls())
        EXPECT_EQ(c.transport, tcp() ? qdsim::Transport::tcp : qdsim::Transport::udp) << "procedure " << c.proc;
    EXPECT_EQ(reader->count(TAGDB_POP), 301u) << "300 tags and one empty answer";
}

INSTANTIATE_TEST_SUITE_P(Drains, FullInventory,
                         ::testing::Combine(::testing::Values(Drain::pop, Drain::consume), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) == Drain::pop ? "pop" : "consume") +
                                    (std::get<1>(info.param) ? "_tcp" : "_udp");
                         });

// A failed call in the middle of a drain: the call reports the failure,
// the next one reconnects, and the drain goes on.  The virtual reader fails
// the call before it looks at its database, so the tag of the failed call
// is not lost: it comes with a later call.
class InterruptedDrain : public ::testing::TestWithParam<std::tuple<Drain, qdsim::FaultKind>> {};

TEST_P(InterruptedDrain, FailedCallLosesAndDuplicatesNothing)
{
    const Drain how = std::get<0>(GetParam());
    auto reader = qdtest::start_reader(host);
    reader->add_random_tags(60, 77);
    reader->set_search_duration(std::chrono::milliseconds(5));
    const auto expected = qdinv::population(*reader);
    reader_handle h = open_reader(host);
    ASSERT_NE(h, nullptr);
    qdinv::run_search(h);

    Drained first = drain(h, how, 20);   // stops after 20 tags: not dry yet
    ASSERT_EQ(first.records.size(), 20u);

    reader->inject(TAGDB_POP, qdsim::Fault{std::get<1>(GetParam()), 1});
    reader->clear_calls();
    tag_record r;
    int rc = 0;
    reader_errno = 0;
    EXPECT_FALSE(take_one(h, how, r, rc));
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
    EXPECT_EQ(reader->tagdb_size(), 40u) << "the reader kept the tag of the failed call";

    reader->clear_calls();
    ASSERT_TRUE(take_one(h, how, r, rc)) << "the next call reconnects and takes a tag";
    EXPECT_EQ(qdtest::procs(*reader), qdtest::concat(qdtest::initial_queries, {TAGDB_POP}));
    ++first.keys[qdinv::key_of_record(r)];

    const Drained rest = drain(h, how);
    EXPECT_EQ(rest.records.size(), 39u);
    for (const auto& [key, n] : rest.keys)
        first.keys[key] += n;
    EXPECT_EQ(first.keys, expected);
    close_reader(h);
}

INSTANTIATE_TEST_SUITE_P(Drains, InterruptedDrain,
                         ::testing::Combine(::testing::Values(Drain::pop, Drain::consume),
                                            ::testing::Values(qdsim::FaultKind::error_reply,
                                                              qdsim::FaultKind::garbage_reply)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) == Drain::pop ? "pop" : "consume") +
                                    (std::get<1>(info.param) == qdsim::FaultKind::error_reply ? "_error_reply"
                                                                                              : "_garbage_reply");
                         });

// ---------------------------------------------------------------------------
// Tag records of chosen identity lengths and values.

class TagRecords : public qdinv::ReaderTest {
protected:
    TagRecords() : ReaderTest(host) {}

    // Puts exactly `tag` in the database.
    void land(const qdsim::Tag& tag)
    {
        reader_->clear_tags();
        reader_->add_tag(tag);
        ASSERT_EQ(tagdb_reset_db(handle_), 0);
        qdinv::run_search(handle_);
        ASSERT_EQ(reader_->tagdb_size(), 1u);
    }
};

struct Length {
    uint16_t id_bits;
    std::size_t words;   // identity words a caller's record receives
};

TEST_F(TagRecords, OnlyTheSignificantIdentityWordsAreWritten)
{
    reader_->set_search_duration(std::chrono::milliseconds(1));
    for (const Length len : {Length{0, 0}, Length{1, 1}, Length{16, 1}, Length{17, 2}, Length{96, 6},
                             Length{256, 16}, Length{300, 16}}) {
        SCOPED_TRACE("id_bits " + std::to_string(len.id_bits));
        qdsim::Tag tag = qdinv::tag_with_identity(len.id_bits, 0x7000);
        tag.tag_word1 = 0x0101;
        tag.tag_word2 = 0x0202;
        tag.tag_word3 = 0x0303;
        tag.tag_word4 = 0x0404;
        tag.tag_word5 = 0x0505;
        tag.tag_count1 = 0xFFFFFFFFu;
        tag.tag_count2 = 0x80000000u;
        tag.tag_count3 = 3;
        tag.tag_value = 0xFFFFFFFFu;

        land(tag);
        popped_tag_record popped;
        std::memset(&popped, 0xAB, sizeof popped);
        ASSERT_EQ(tagdb_pop(handle_, &popped), 0);
        ASSERT_EQ(popped.status, 1);
        EXPECT_EQ(popped.id_bits, len.id_bits);
        for (std::size_t i = 0; i < 16; ++i)
            EXPECT_EQ(popped.id[i], i < len.words ? 0x7000 + i : 0xABAB) << "popped id word " << i;
        EXPECT_EQ(popped.tag_word1, 0x0101);
        EXPECT_EQ(popped.tag_word2, 0x0202);
        EXPECT_EQ(popped.tag_word3, 0x0303);
        EXPECT_EQ(popped.tag_count1, 0xFFFFFFFFu);
        EXPECT_EQ(popped.tag_count2, 0x80000000u);
        EXPECT_EQ(popped.tag_count3, 3u);
        EXPECT_EQ(popped.tag_value, uint64_t{0xFFFFFFFFu}) << "zero-extended, not sign-extended";

        land(tag);
        tag_record consumed;
        std::memset(&consumed, 0xAB, sizeof consumed);
        ASSERT_EQ(tagdb_consume(handle_, &consumed), 0);
        ASSERT_EQ(consumed.status, 1);
        EXPECT_EQ(consumed.id_bits, len.id_bits);
        for (std::size_t i = 0; i < 16; ++i)
            EXPECT_EQ(consumed.id[i], i < len.words ? 0x7000 + i : 0xABAB) << "consumed id word " << i;
        EXPECT_EQ(consumed.tag_word1, 0x0101);
        EXPECT_EQ(consumed.tag_word2, 0x0202);
        EXPECT_EQ(consumed.tag_word3, 0x0303);
        EXPECT_EQ(consumed.tag_count1, 0xFFFFFFFFu);
        EXPECT_EQ(consumed.tag_count2, 0x80000000u);
        EXPECT_EQ(consumed.tag_count3, 3u);
        EXPECT_EQ(consumed.tag_value, 0xFFFFFFFFu);
        EXPECT_EQ(consumed.tag_word4, 0x0404);
        EXPECT_EQ(consumed.tag_word5, 0x0505);
    }
}

TEST_F(TagRecords, DrainCallsWithATagKeepReaderErrno)
{
    reader_->set_search_duration(std::chrono::milliseconds(1));
    qdsim::Tag tag = qdinv::tag_with_identity(96, 0x100);
    tag.tag_word4 = 0x4444;
    tag.tag_word5 = 0x5555;
    land(tag);
    popped_tag_record popped;
    std::memset(&popped, 0xAB, sizeof popped);
    reader_errno = 1234;
    ASSERT_EQ(tagdb_pop(handle_, &popped), 0);
    EXPECT_EQ(reader_errno, 1234) << "a successful drain call does not clear reader_errno";
    EXPECT_EQ(popped.status, 1);

    land(tag);
    tag_record consumed{};
    reader_errno = 4321;
    ASSERT_EQ(tagdb_consume(handle_, &consumed), 0);
    EXPECT_EQ(reader_errno, 4321);
    EXPECT_EQ(consumed.status, 1);
    EXPECT_EQ(consumed.tag_word4, 0x4444);
    EXPECT_EQ(consumed.tag_word5, 0x5555);
}

// ---------------------------------------------------------------------------
// Statuses and counts the reader reports.

class ReaderAnswers : public qdinv::ReaderTest {
protected:
    ReaderAnswers() : ReaderTest(host) {}
};

TEST_F(ReaderAnswers, OperationStatusRelaysStatusesAboveMinus100AndReportsTheOthersInReaderErrno)
{
    struct Case {
        int16_t reader;
        int result;
        int errno_after;   // INT_MIN: unchanged
    };
    constexpr int unchanged = INT_MIN;
    const Case cases[] = {
        {0, 0, unchanged},
        {-1, -1, unchanged},
        {-2, -2, unchanged},
        {-3, -3, unchanged},
        {-4, -4, unchanged},
        {-5, -5, unchanged},
        {-17, -17, unchanged},
        {-99, -99, unchanged},
        {42, 42, unchanged},
        {-100, -5, -100},
        {-102, -5, -102},
        {-180, -5, -180},
        {-32768, -5, -32768},
    };
    for (const Case& c : cases) {
        reader_->force_operation_status(c.reader);
        reader_errno = 5150;
        EXPECT_EQ(operation_status(handle_, 1), c.result) << "reader status " << c.reader;
        EXPECT_EQ(reader_errno, c.errno_after == unchanged ? 5150 : c.errno_after) << "reader status " << c.reader;
    }
}

TEST_F(ReaderAnswers, UnknownSearchStatusOfTheReaderReachesReaderErrno)
{
    reader_->set_unknown_search_status(-101);
    reader_errno = 0;
    EXPECT_EQ(operation_status(handle_, 999), -5);
    EXPECT_EQ(reader_errno, -101);
}

TEST_F(ReaderAnswers, TagsAvailableReturnsCountsAbove32767AsPositive)
{
    for (const uint16_t count : {uint16_t{0}, uint16_t{1}, uint16_t{32767}, uint16_t{32768}, uint16_t{40000},
                                 uint16_t{65535}}) {
        reader_->force_tags_available(count);
        EXPECT_EQ(tags_available(handle_, 0), static_cast<int>(count));
    }
}

TEST_F(ReaderAnswers, SearchStartReturnsEachNewIdentifierAndTracesIt)
{
    search_params params{};
    std::set<int> ids;
    for (int i = 0; i < 5; ++i) {
        int id = -1;
        std::string err;
        {
            qdtest::TraceOn trace;
            err = qdtest::stderr_of([&] { id = search_start(handle_, &params); });
        }
        EXPECT_GT(id, 0);
        EXPECT_NE(err.find("start search uid=" + std::to_string(id) + "\n"), std::string::npos) << err;
        ids.insert(id);
        // The identifier names the search to operation_status.
        EXPECT_EQ(operation_status(handle_, id), READER_OPERATION_WAITING_TO_RUN);
    }
    EXPECT_EQ(ids.size(), 5u);
}

TEST_F(ReaderAnswers, ResetDbEmptiesTheDatabase)
{
    reader_->add_random_tags(25, 5);
    reader_->set_search_duration(std::chrono::milliseconds(1));
    qdinv::run_search(handle_);
    ASSERT_EQ(tags_available(handle_, 0), 25);
    reader_errno = -1;
    EXPECT_EQ(tagdb_reset_db(handle_), 0);
    EXPECT_EQ(reader_errno, 0);
    EXPECT_EQ(reader_->tagdb_size(), 0u);
    EXPECT_EQ(tags_available(handle_, 0), 0);
    popped_tag_record r{};
    EXPECT_EQ(tagdb_pop(handle_, &r), 0);
    EXPECT_NE(r.status, 1);
}


// ---------------------------------------------------------------------------
// A reply slower than the UDP retransmission interval (3 s): the RPC
// library sends the request again within the same call and the reader,
// which keeps no record of the requests it answered, carries out both
// copies.  What the caller can rely on: the call returns one answer, later
// calls reach the reader once each, no tag is handed out twice, and at most
// the one tag taken by the repeated request is missing from the drain.  Over
// TCP nothing is repeated and nothing is lost.
class SlowReply : public ::testing::TestWithParam<bool> {};

TEST_P(SlowReply, LaterCallsReachTheReaderOnceAndTheDrainLosesAtMostTheRepeatedTag)
{
    const bool tcp = GetParam();
    auto reader = qdtest::start_reader(host);
    reader->add_random_tags(10, 31);
    reader->set_search_duration(std::chrono::milliseconds(1));
    const auto expected = qdinv::population(*reader);
    qdtest::Switch transport(use_tcp, tcp ? 1 : 0);
    reader_handle h = open_reader(host);
    ASSERT_NE(h, nullptr);
    qdinv::run_search(h);

    qdsim::Fault slow;
    slow.kind = qdsim::FaultKind::delay;
    slow.count = 1;
    slow.delay = std::chrono::milliseconds(3500);
    reader->inject(TAGDB_POP, slow);
    Drained d = drain(h, Drain::pop, 1);   // the slow call
    ASSERT_EQ(d.records.size(), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    // Five more calls: five calls at the reader.
    const std::size_t before = reader->count(TAGS_AVAILABLE);
    for (int i = 0; i < 5; ++i)
        EXPECT_GE(tags_available(h, 0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(reader->count(TAGS_AVAILABLE) - before, 5u)
        << "calls after the slow one were carried out more than once by the reader";

    const Drained rest = drain(h, Drain::pop);
    for (const auto& [key, n] : rest.keys)
        d.keys[key] += n;
    for (const auto& [key, n] : d.keys)
        EXPECT_EQ(n, 1) << "a tag handed out twice";
    const std::size_t lost = expected.size() - d.keys.size();
    EXPECT_LE(lost, tcp ? 0u : 1u) << "tags popped by the reader that no call returned";
    close_reader(h);
}

INSTANTIATE_TEST_SUITE_P(Transports, SlowReply, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "tcp" : "udp"); });

// The same slowness in one of the initial queries of a reconnection: the
// query's answer stands, but the connection it was repeated on is dropped and
// the operation goes on through a fresh one, so its own call reaches the
// reader once and the drain loses nothing.
class SlowInitialQuery : public ::testing::TestWithParam<uint32_t> {};

TEST_P(SlowInitialQuery, TheOperationGoesOnThroughAFreshConnection)
{
    auto reader = qdtest::start_reader(host);
    reader->add_random_tags(10, 32);
    reader->set_search_duration(std::chrono::milliseconds(1));
    reader_handle h = open_reader(host);
    ASSERT_NE(h, nullptr);
    qdinv::run_search(h);

    reader->inject(TAGS_AVAILABLE, qdtest::error_reply(1));
    EXPECT_EQ(tags_available(h, 0), -1);   // the connection is dropped
    qdsim::Fault slow;
    slow.kind = qdsim::FaultKind::delay;
    slow.count = 1;
    slow.delay = std::chrono::milliseconds(3500);
    reader->inject(GetParam(), slow);
    const std::size_t before = reader->count(TAGS_AVAILABLE);
    EXPECT_EQ(tags_available(h, 0), 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(reader->count(TAGS_AVAILABLE) - before, 1u) << "the operation's call went out twice";

    EXPECT_EQ(drain(h, Drain::pop).keys.size(), 10u) << "a tag was lost";
    close_reader(h);
}

INSTANTIATE_TEST_SUITE_P(Queries, SlowInitialQuery, ::testing::Values(GET_HWID, GET_SUPPORTED_PROTOCOLS),
                         [](const auto& info) { return std::string(info.param == GET_HWID ? "get_hwid" : "get_supported_protocols"); });

}  // namespace
