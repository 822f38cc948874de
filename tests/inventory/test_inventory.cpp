// The plain search and the reader's tag database as seen through the call
// log: search_start, operation_status, tags_available, tagdb_consume,
// tagdb_pop and tagdb_reset_db send what the caller gave and copy an empty
// database's answer by their own rules (the frame they share is the frame
// suite's).
// Virtual reader at 127.0.0.60.
#include <climits>
#include <cstring>

#include "inventory_support.h"

namespace {

using qdinv::ReaderTest;
using qdtest::expect_in_order;
using qdtest::stderr_of;
using qdtest::TraceOn;

const char* const host = "127.0.0.60";

class Inventory : public ReaderTest {
protected:
    Inventory() : ReaderTest(host) {}
};

// ---------------------------------------------------------------------------
// search_start

TEST_F(Inventory, SearchStartSendsTheCallersParametersUnchanged)
{
    // Counts beyond 16 included: the library neither checks nor changes them.
    for (const uint16_t a_count : {uint16_t{0}, uint16_t{16}, uint16_t{40}}) {
        search_params params{};
        params.a_count = a_count;
        for (int i = 0; i < 16; ++i) {
            params.a_values[i] = static_cast<uint16_t>(0xF000 + i * 17);
            params.b_values[i] = static_cast<uint16_t>(i == 15 ? 0xFFFF : i * 3);
        }
        params.b_count = 3;
        params.span = 0x8001;
        const search_params before = params;

        reader_->clear_calls();
        EXPECT_NE(search_start(handle_, &params), -1);
        EXPECT_EQ(std::memcmp(&params, &before, sizeof params), 0) << "the caller's parameters changed";

        const auto call = qdinv::last_call(*reader_, SEARCH_START);
        ASSERT_TRUE(call);
        qdsim::Decoded<wire::search_params> sent(*call, qdinv::filter_of_search_params());
        ASSERT_TRUE(sent.ok());
        EXPECT_EQ(sent->a_count, params.a_count);
        EXPECT_EQ(sent->b_count, params.b_count);
        EXPECT_EQ(sent->span, params.span);
        for (int i = 0; i < 16; ++i) {
            EXPECT_EQ(sent->a_values[i], params.a_values[i]) << "a_values " << i;
            EXPECT_EQ(sent->b_values[i], params.b_values[i]) << "b_values " << i;
        }
        EXPECT_EQ(procs(), std::vector<uint32_t>{SEARCH_START});
    }
}

TEST_F(Inventory, SearchStartClearsReaderErrnoAndTracesTheCallAndTheIdentifier)
{
    for (const int junk : {int{READER_ERROR_REMOTE}, 12345, INT_MIN}) {
        search_params params{};
        reader_errno = junk;
        std::string err;
        int id = -1;
        {
            TraceOn trace;
            err = stderr_of([&] { id = search_start(handle_, &params); });
        }
        ASSERT_NE(id, -1);
        EXPECT_EQ(reader_errno, READER_SUCCESSFUL) << "after " << junk;
        expect_in_order(err, {"Calling search_start_1\n", "start search uid=" + std::to_string(id) + "\n"});
    }
}

TEST_F(Inventory, SearchStartWithoutParametersMakesNoCallAndKeepsReaderErrno)
{
    reader_errno = 4242;
    EXPECT_EQ(search_start(handle_, nullptr), -1);
    EXPECT_EQ(reader_errno, 4242);
    EXPECT_TRUE(procs().empty());
}

TEST_F(Inventory, SearchStartAfterAFailureClearsTheRemoteError)
{
    reader_->inject(OPERATION_STATUS, qdtest::error_reply(1));
    EXPECT_EQ(operation_status(handle_, 1), READER_OPERATION_BUILD_IN_PROGRESS);
    ASSERT_EQ(reader_errno, READER_ERROR_REMOTE);
    search_params params{};
    EXPECT_NE(search_start(handle_, &params), -1);
    EXPECT_EQ(reader_errno, READER_SUCCESSFUL);
}

// ---------------------------------------------------------------------------
// operation_status

TEST_F(Inventory, OperationStatusSendsTheIdentifiersLow16Bits)
{
    const std::vector<std::pair<int, uint16_t>> cases = {
        {0, 0}, {1, 1}, {0x7FFF, 0x7FFF}, {0x8000, 0x8000}, {-1, 0xFFFF},
        {-32768, 0x8000}, {0x12345, 0x2345}, {INT_MIN, 0}, {INT_MAX, 0xFFFF}};
    for (const auto& [id, wire_id] : cases) {
        reader_->clear_calls();
        operation_status(handle_, id);
        const auto call = qdinv::last_call(*reader_, OPERATION_STATUS);
        ASSERT_TRUE(call) << id;
        const auto sent = qdinv::decode_scalar<u_short>(*call, xdr_u_short);
        ASSERT_TRUE(sent) << id;
        EXPECT_EQ(*sent, wire_id) << "identifier " << id;
    }
}

TEST_F(Inventory, OperationStatusPassesAStatusAboveMinus100WithoutTouchingReaderErrno)
{
    search_params params{};
    const int search = search_start(handle_, &params);
    ASSERT_NE(search, -1);
    reader_errno = 777;
    const int status = operation_status(handle_, search);
    EXPECT_GT(status, READER_ERROR_INVALID_ARGUMENTS);
    EXPECT_NE(status, READER_OPERATION_BUILD_IN_PROGRESS);
    EXPECT_EQ(reader_errno, 777);
}

// ---------------------------------------------------------------------------
// tags_available

TEST_F(Inventory, TagsAvailableSendsTheValueUnchangedAndClearsReaderErrno)
{
    for (const int value : {0, 1, -1, INT_MIN, INT_MAX, 0x12345678, 65536}) {
        reader_->clear_calls();
        reader_errno = READER_ERROR_REMOTE;
        const int count = tags_available(handle_, value);
        EXPECT_GE(count, 0) << value;
        EXPECT_LE(count, 65535) << value;
        EXPECT_EQ(reader_errno, READER_SUCCESSFUL) << value;
        const auto call = qdinv::last_call(*reader_, TAGS_AVAILABLE);
        ASSERT_TRUE(call);
        const auto sent = qdinv::decode_scalar<int>(*call, xdr_int);
        ASSERT_TRUE(sent);
        EXPECT_EQ(*sent, value);
    }
}

// ---------------------------------------------------------------------------
// tagdb_consume and tagdb_pop on a database that gives no tag (the reader
// answers a record of zeros: status 0).

TEST_F(Inventory, ConsumeCopiesAnEmptyDatabasesAnswerWholeButNoIdentityWord)
{
    tag_record record;
    std::memset(&record, 0xAB, sizeof record);
    reader_errno = 31337;
    ASSERT_EQ(tagdb_consume(handle_, &record), 0);
    EXPECT_EQ(reader_errno, 31337) << "tagdb_consume does not clear reader_errno";
    EXPECT_EQ(procs(), std::vector<uint32_t>{TAGDB_POP});

    EXPECT_EQ(record.status, 0);
    EXPECT_EQ(record.tag_word1, 0);
    EXPECT_EQ(record.tag_word2, 0);
    EXPECT_EQ(record.id_bits, 0);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(record.id[i], 0xABAB) << "id_bits 0 carries no identity word; id " << i;
    EXPECT_EQ(record.tag_word3, 0);
    EXPECT_EQ(record.tag_count1, 0u);
    EXPECT_EQ(record.tag_count2, 0u);
    EXPECT_EQ(record.tag_count3, 0u);
    EXPECT_EQ(record.tag_value, 0u);
    EXPECT_EQ(record.tag_word4, 0);
    EXPECT_EQ(record.tag_word5, 0);
}

TEST_F(Inventory, PopOnAnEmptyDatabaseWritesOnlyTheStatus)
{
    popped_tag_record record;
    std::memset(&record, 0xAB, sizeof record);
    popped_tag_record expected = record;
    expected.status = 0;
    reader_errno = 31337;
    ASSERT_EQ(tagdb_pop(handle_, &record), 0);
    EXPECT_EQ(record.status, 0);
    EXPECT_EQ(std::memcmp(&record, &expected, sizeof record), 0)
        << "bytes other than the status were written";
    EXPECT_EQ(reader_errno, 31337);
    EXPECT_EQ(procs(), std::vector<uint32_t>{TAGDB_POP});
}

TEST_F(Inventory, ConsumeAndPopWithoutARecordMakeNoCall)
{
    reader_errno = 999;
    EXPECT_EQ(tagdb_consume(handle_, nullptr), -1);
    EXPECT_EQ(tagdb_pop(handle_, nullptr), -1);
    EXPECT_EQ(reader_errno, 999);
    EXPECT_TRUE(procs().empty());
}

TEST_F(Inventory, PopWithANullHandleLeavesReaderErrnoAlone)
{
    popped_tag_record record{};
    reader_errno = 999;
    EXPECT_EQ(tagdb_pop(nullptr, &record), -1);
    EXPECT_EQ(reader_errno, 999);
    EXPECT_TRUE(procs().empty());
}

TEST_F(Inventory, FailedPopLeavesTheCallersRecordAlone)
{
    reader_->inject(TAGDB_POP, qdtest::error_reply(2));
    popped_tag_record popped;
    std::memset(&popped, 0x5C, sizeof popped);
    const popped_tag_record popped_before = popped;
    EXPECT_EQ(tagdb_pop(handle_, &popped), -1);
    EXPECT_EQ(std::memcmp(&popped, &popped_before, sizeof popped), 0);

    tag_record consumed;
    std::memset(&consumed, 0x5C, sizeof consumed);
    const tag_record consumed_before = consumed;
    EXPECT_EQ(tagdb_consume(handle_, &consumed), -1);
    EXPECT_EQ(std::memcmp(&consumed, &consumed_before, sizeof consumed), 0);
}

// ---------------------------------------------------------------------------
// tagdb_reset_db

TEST_F(Inventory, ResetDbReturnsZeroAndClearsReaderErrnoAndTraces)
{
    reader_errno = READER_ERROR_REMOTE;
    int rc = -1;
    std::string err;
    {
        TraceOn trace;
        err = stderr_of([&] { rc = tagdb_reset_db(handle_); });
    }
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(reader_errno, READER_SUCCESSFUL);
    EXPECT_NE(err.find("Calling tagdb_reset_db_1\n"), std::string::npos) << err;
    EXPECT_EQ(procs(), std::vector<uint32_t>{TAGDB_RESET_DB});
}

// ---------------------------------------------------------------------------
// Over TCP: the same operations reach the reader on the stream transport.

TEST(InventoryTcp, OperationsTravelOverTcpWhenSwitchedOn)
{
    auto reader = qdtest::start_reader(host);
    qdtest::TcpOn tcp;
    reader_handle h = open_reader(host);
    ASSERT_NE(h, nullptr);
    search_params params{};
    params.span = 9;
    const int id = search_start(h, &params);
    EXPECT_NE(id, -1);
    EXPECT_NE(operation_status(h, id), -5);
    EXPECT_GE(tags_available(h, 0), 0);
    tag_record tag{};
    EXPECT_EQ(tagdb_consume(h, &tag), 0);
    EXPECT_EQ(tagdb_reset_db(h), 0);
    close_reader(h);
    const auto calls = reader->calls();
    ASSERT_EQ(calls.size(), qdtest::initial_queries.size() + 5);
    for (const auto& c : calls)
        EXPECT_EQ(c.transport, qdsim::Transport::tcp) << "procedure " << c.proc;
}

}  // namespace
