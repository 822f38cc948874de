// The virtual reader's tag operations (procedures 20-26) on the tags of its
// field, with the request conventions of tag_memory.h, over a bare client.
#include <gtest/gtest.h>

#include <algorithm>

#include "raw_client.h"
#include "tag_memory.h"
#include "virtual_reader.h"

using qdsim::Tag;
using qdsim::Transport;
using qdsim::VirtualReader;
using qdsim::testing::RawClient;
namespace tagmem = qdsim::tagmem;

namespace {

constexpr const char* kAddress = "127.0.0.6";

const std::vector<uint16_t> kId = {0x3000, 0x1234, 0x5678, 0x9ABC, 0xDEF0, 0x0042};

class TagOps : public ::testing::TestWithParam<Transport> {
protected:
    TagOps()
    {
        qdsim::Options o;
        o.address = kAddress;
        Tag t;
        t.id_bits = 96;
        t.id = kId;
        Tag other;
        other.id_bits = 32;
        other.id = {0x7777, 0x8888};
        o.tags = {t, other};
        reader = std::make_unique<VirtualReader>(o);
        reader->start();
        client = std::make_unique<RawClient>(kAddress, GetParam());
    }

    // A request addressed to the tag kId (or another identity).
    static wire::tagop_request request(uint16_t word1 = 0, uint16_t word19 = 0, uint16_t word20 = 0,
                                       const std::vector<uint16_t>& id = kId, uint16_t id_bits = 96)
    {
        wire::tagop_request r{};
        r.op_word1 = word1;
        r.id_bits = id_bits;
        std::copy_n(id.begin(), std::min<std::size_t>(id.size(), 16), r.id);
        r.op_word19 = word19;
        r.op_word20 = word20;
        return r;
    }
    static wire::tagop_request with_data(wire::tagop_request r, const std::vector<uint16_t>& words)
    {
        r.data_bits = static_cast<u_short>(16 * words.size());
        std::copy(words.begin(), words.end(), r.data);
        return r;
    }

    wire::tagop_reply call(uint32_t proc, wire::tagop_request req)
    {
        wire::tagop_reply rep{};
        rep.op_status = 12345;
        EXPECT_EQ(client->call(proc, wire::xdr_tagop_request, &req, wire::xdr_tagop_reply, &rep), RPC_SUCCESS);
        return rep;
    }
    short status(uint32_t proc, const wire::tagop_request& req) { return call(proc, req).op_status; }

    std::vector<uint16_t> read(uint16_t area, uint16_t first, uint16_t count)
    {
        wire::tagop_reply rep = call(TAGDATA_READ, request(area, first, count));
        EXPECT_EQ(rep.op_status, 0);
        EXPECT_EQ(rep.data_bits, 16 * count);
        return {rep.data, rep.data + count};
    }
    short write(uint16_t area, uint16_t first, const std::vector<uint16_t>& words)
    {
        return status(TAGDATA_WRITE, with_data(request(area, first), words));
    }
    Tag state(std::size_t i = 0) { return reader->tags().at(i); }

    std::unique_ptr<VirtualReader> reader;
    std::unique_ptr<RawClient> client;
};

INSTANTIATE_TEST_SUITE_P(Sim, TagOps, ::testing::Values(Transport::udp, Transport::tcp),
                         [](const auto& info) { return info.param == Transport::udp ? "udp" : "tcp"; });

}  // namespace

// --- Reading and writing memory ---------------------------------------------------

TEST_P(TagOps, WrittenWordsReadBackAndTheReplyEchoesTheRequest)
{
    EXPECT_EQ(write(tagmem::area_user, 10, {0xAAAA, 0xBBBB, 0xCCCC}), tagmem::status_ok);
    wire::tagop_reply rep = call(TAGDATA_READ, request(tagmem::area_user, 9, 5));
    EXPECT_EQ(rep.op_status, tagmem::status_ok);
    EXPECT_EQ(rep.op_word1, tagmem::area_user);
    EXPECT_EQ(rep.op_word19, 9);
    EXPECT_EQ(rep.op_word20, 5);
    EXPECT_EQ(rep.data_bits, 80);
    EXPECT_EQ(rep.id_bits, 96);
    EXPECT_TRUE(std::equal(kId.begin(), kId.end(), rep.id));
    EXPECT_EQ(std::vector<uint16_t>(rep.data, rep.data + 6), (std::vector<uint16_t>{0, 0xAAAA, 0xBBBB, 0xCCCC, 0, 0}));

    // Areas are separate, and so are tags.
    EXPECT_EQ(read(tagmem::area_tid, 10, 3), (std::vector<uint16_t>(3, 0)));
    EXPECT_EQ(state(0).memory[tagmem::area_user].at(11), 0xBBBB);
    EXPECT_TRUE(state(1).memory[tagmem::area_user].empty());
}

TEST_P(TagOps, WholeAreaReadsAndWritesAtItsEdges)
{
    std::vector<uint16_t> all(tagmem::area_words);
    for (std::size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint16_t>(i * 7);
    EXPECT_EQ(write(tagmem::area_reserved, 0, all), tagmem::status_ok);
    EXPECT_EQ(read(tagmem::area_reserved, 0, tagmem::area_words), all);
    EXPECT_EQ(write(tagmem::area_reserved, tagmem::area_words - 1, {0x1111}), tagmem::status_ok);
    EXPECT_EQ(read(tagmem::area_reserved, tagmem::area_words - 1, 1), (std::vector<uint16_t>{0x1111}));
    EXPECT_EQ(read(tagmem::area_reserved, tagmem::area_words, 0), (std::vector<uint16_t>{}));
}

TEST_P(TagOps, OutOfRangeAndMalformedRequestsAreRefused)
{
    const short refused = tagmem::status_unable_to_comply;
    EXPECT_EQ(status(TAGDATA_READ, request(tagmem::area_count, 0, 1)), refused);
    EXPECT_EQ(status(TAGDATA_READ, request(tagmem::area_user, tagmem::area_words - 2, 3)), refused);
    EXPECT_EQ(status(TAGDATA_READ, request(tagmem::area_user, 0, tagmem::area_words + 1)), refused);
    EXPECT_EQ(status(TAGDATA_READ, request(tagmem::area_user, 0xFFFF, 0xFFFF)), refused);
    EXPECT_EQ(write(tagmem::area_user, tagmem::area_words - 1, {1, 2}), refused);
    EXPECT_EQ(write(7, 0, {1}), refused);
    // More data bits than the request's data words carry.
    wire::tagop_request big = request(tagmem::area_user, 0);
    big.data_bits = 20000;
    EXPECT_EQ(status(TAGDATA_WRITE, big), refused);
    EXPECT_EQ(call(TAGDATA_READ, request(tagmem::area_user, tagmem::area_words, 1)).data_bits, 0);
    EXPECT_TRUE(state().memory[tagmem::area_user].empty()) << "a refused write changes nothing";
}

// --- Addressing ------------------------------------------------------------------

TEST_P(TagOps, TagNotInTheFieldDoesNotRespond)
{
    const short none = tagmem::status_no_response;
    std::vector<uint16_t> wrong = kId;
    wrong[5] ^= 1;
    for (uint32_t proc : {TAGID_WRITE, TAGID_LOCK, TAG_KILL, TAG_PASSWD, TAGDATA_READ, TAGDATA_WRITE, TAGDATA_LOCK})
        EXPECT_EQ(status(proc, request(tagmem::area_user, 0, 1, wrong)), none) << proc;
    EXPECT_EQ(status(TAGDATA_READ, request(tagmem::area_user, 0, 1, kId, 80)), none) << "id_bits must match";
    EXPECT_EQ(status(TAGDATA_READ, request(tagmem::area_user, 0, 1, {0x7777, 0x8888}, 32)), tagmem::status_ok);
    EXPECT_EQ(status(TAGDATA_READ, request(tagmem::area_user, 0, 1, {0x7777, 0x8889}, 32)), none);
}

TEST_P(TagOps, IdentityWriteReaddressesTheTag)
{
    wire::tagop_reply rep = call(TAGID_WRITE, with_data(request(), {0xE200, 0x0001, 0x0002, 0x0003}));
    EXPECT_EQ(rep.op_status, tagmem::status_ok);
    EXPECT_EQ(rep.id_bits, 64);
    EXPECT_EQ(rep.id[0], 0xE200);
    EXPECT_EQ(rep.id[3], 0x0003);
    EXPECT_EQ(rep.id[4], 0);
    EXPECT_EQ(state().id_bits, 64);
    EXPECT_EQ(state().id, (std::vector<uint16_t>{0xE200, 1, 2, 3}));
    EXPECT_EQ(status(TAGDATA_READ, request(tagmem::area_user, 0, 1)), tagmem::status_no_response);
    EXPECT_EQ(status(TAGDATA_READ, request(tagmem::area_user, 0, 1, {0xE200, 1, 2, 3}, 64)), tagmem::status_ok);

    wire::tagop_request too_long = request(0, 0, 0, {0xE200, 1, 2, 3}, 64);
    too_long.data_bits = tagmem::max_id_bits + 1;
    EXPECT_EQ(status(TAGID_WRITE, too_long), tagmem::status_unable_to_comply);
}

// --- Locks, passwords, kill ----------------------------------------------------

TEST_P(TagOps, LockedAreaRefusesWritesButStillReads)
{
    EXPECT_EQ(write(tagmem::area_user, 0, {0x1234}), tagmem::status_ok);
    EXPECT_EQ(status(TAGDATA_LOCK, request(tagmem::area_user, 0, 1)), tagmem::status_verify_failure);
    EXPECT_EQ(write(tagmem::area_user, 0, {0x4321}), tagmem::status_ok) << "a failed lock locks nothing";
    EXPECT_EQ(status(TAGDATA_LOCK, request(tagmem::area_user, 0, 0)), tagmem::status_ok);
    EXPECT_TRUE(state().area_locked[tagmem::area_user]);
    EXPECT_EQ(write(tagmem::area_user, 0, {0x9999}), tagmem::status_unable_to_comply);
    EXPECT_EQ(read(tagmem::area_user, 0, 1), (std::vector<uint16_t>{0x4321}));
    EXPECT_EQ(write(tagmem::area_tid, 0, {0x9999}), tagmem::status_ok) << "other areas stay writable";
    EXPECT_EQ(status(TAGDATA_LOCK, request(tagmem::area_count, 0, 0)), tagmem::status_unable_to_comply);
}

TEST_P(TagOps, PasswordGuardsLocksAndKill)
{
    // A new password takes the current one (0) ...
    EXPECT_EQ(status(TAG_PASSWD, with_data(request(0, 0, 1), {0xDEAD, 0xBEEF})), tagmem::status_verify_failure);
    EXPECT_EQ(status(TAG_PASSWD, with_data(request(0, 0, 0), {0xDEAD})), tagmem::status_unable_to_comply);
    EXPECT_EQ(status(TAG_PASSWD, with_data(request(0, 0, 0), {0xDEAD, 0xBEEF})), tagmem::status_ok);
    EXPECT_EQ(state().password, 0xDEADBEEFu);
    // ... and from then on every guarded operation takes the new one.
    EXPECT_EQ(status(TAGDATA_LOCK, request(tagmem::area_tid, 0, 0)), tagmem::status_verify_failure);
    EXPECT_EQ(status(TAGDATA_LOCK, request(tagmem::area_tid, 0xDEAD, 0xBEEF)), tagmem::status_ok);
    EXPECT_EQ(status(TAGID_LOCK, request(0, 0xBEEF, 0xDEAD)), tagmem::status_verify_failure);
    EXPECT_EQ(status(TAGID_LOCK, request(0, 0xDEAD, 0xBEEF)), tagmem::status_ok);
    EXPECT_TRUE(state().id_locked);
    EXPECT_EQ(status(TAGID_WRITE, with_data(request(), {1, 2})), tagmem::status_unable_to_comply);
    EXPECT_EQ(state().id, kId);
    EXPECT_EQ(status(TAG_KILL, request(0, 0, 0)), tagmem::status_verify_failure);
    EXPECT_FALSE(state().killed);
}

TEST_P(TagOps, KilledTagNeitherAnswersNorIsFound)
{
    EXPECT_EQ(status(TAG_KILL, request(0, 0, 0)), tagmem::status_ok);
    EXPECT_TRUE(state().killed);
    for (uint32_t proc : {TAGDATA_READ, TAGDATA_WRITE, TAG_KILL, TAG_PASSWD})
        EXPECT_EQ(status(proc, request(tagmem::area_user, 0, 1)), tagmem::status_no_response) << proc;

    reader->set_search_duration(std::chrono::milliseconds(0));
    wire::search_params p{};
    short id = 0;
    ASSERT_EQ(client->call(SEARCH_START, wire::xdr_search_params, &p, xdr_short, &id), RPC_SUCCESS);
    u_short arg = static_cast<u_short>(id);
    short st = 0;
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(client->call(OPERATION_STATUS, xdr_u_short, &arg, xdr_short, &st), RPC_SUCCESS);
    EXPECT_EQ(st, tagmem::search_done);
    EXPECT_EQ(reader->tagdb_size(), 1u) << "only the other tag";
}

// --- Test hook -----------------------------------------------------------------

TEST_P(TagOps, ForcedStatusAndLengthReplaceTheReplysFields)
{
    EXPECT_EQ(write(tagmem::area_user, 0, {5, 6}), tagmem::status_ok);
    reader->force_tagop({-102, 20000});
    wire::tagop_reply rep = call(TAGDATA_READ, request(tagmem::area_user, 0, 2));
    EXPECT_EQ(rep.op_status, -102);
    EXPECT_EQ(rep.data_bits, 20000);
    EXPECT_EQ(rep.data[1], 6) << "the words read are still there";
    EXPECT_EQ(call(TAGDATA_WRITE, with_data(request(tagmem::area_user, 0), {1})).op_status, -102);
    EXPECT_EQ(call(TAG_KILL, request(0, 9, 9, {1}, 16)).op_status, -102);   // even without a tag

    reader->force_tagop({std::nullopt, 7});
    rep = call(TAGDATA_READ, request(tagmem::area_user, 0, 2));
    EXPECT_EQ(rep.op_status, tagmem::status_ok);
    EXPECT_EQ(rep.data_bits, 7);
    EXPECT_EQ(rep.data[0], 1) << "the forced write happened, only its status was replaced";

    reader->force_tagop({});
    rep = call(TAGDATA_READ, request(tagmem::area_user, 0, 2));
    EXPECT_EQ(rep.op_status, tagmem::status_ok);
    EXPECT_EQ(rep.data_bits, 32);
}
