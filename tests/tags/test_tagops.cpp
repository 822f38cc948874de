// Tag memory operations as seen through the call log: each of the seven
// sends the caller's whole record (every one of the 1024 data words,
// whatever data_bits says), none of them writes to the record unless the
// reader carried a read out, a missing record never reaches the reader, and
// handles and failed calls take the common paths.  Virtual reader at
// 127.0.0.63.
#include <cstring>
#include <functional>

#include "inventory_support.h"

namespace {

using qdinv::ReaderTest;
using qdtest::expect_in_order;
using qdtest::stderr_of;
using qdtest::TraceOn;

const char* const host = "127.0.0.63";

class TagOps : public ReaderTest {
protected:
    TagOps() : ReaderTest(host) {}
};

struct Op {
    const char* label;
    uint32_t proc;
    const char* trace_name;
    int null_record;   // the result for a null record
    std::function<int(reader_handle, tagop_record*)> call;
};

const std::vector<Op>& operations()
{
    static const std::vector<Op> ops = {
        {"tagid_write", TAGID_WRITE, "RPC call", -102,
         [](reader_handle h, tagop_record* r) { return tagid_write(h, r); }},
        {"tagid_lock", TAGID_LOCK, "RPC call", -102,
         [](reader_handle h, tagop_record* r) { return tagid_lock(h, r); }},
        {"tag_kill", TAG_KILL, "RPC call", -102, [](reader_handle h, tagop_record* r) { return tag_kill(h, r); }},
        {"tag_passwd", TAG_PASSWD, "RPC call", -102,
         [](reader_handle h, tagop_record* r) { return tag_passwd(h, r); }},
        {"tagdata_write", TAGDATA_WRITE, "RPC call", -102,
         [](reader_handle h, tagop_record* r) { return tagdata_write(h, r); }},
        {"tagdata_lock", TAGDATA_LOCK, "RPC call", -102,
         [](reader_handle h, tagop_record* r) { return tagdata_lock(h, r); }},
        {"tagdata_read", TAGDATA_READ, "tagdata_read", -100,
         [](reader_handle h, tagop_record* r) { return tagdata_read(h, r); }},
    };
    return ops;
}

// A record with every field distinct: data word i is 0x4000 + i.
tagop_record distinct_record(uint16_t data_bits)
{
    tagop_record r = qdinv::patterned_tagop(0x00);
    r.op_status = -2;
    r.op_word1 = 3;
    r.id_bits = 96;
    for (int i = 0; i < 16; ++i)
        r.id[i] = static_cast<uint16_t>(0xE000 + i);
    r.op_word19 = 0x1111;
    r.op_word20 = 0x2222;
    r.data_bits = data_bits;
    for (int i = 0; i < 1024; ++i)
        r.data[i] = static_cast<uint16_t>(0x4000 + i);
    return r;
}

class TagOpFrame : public TagOps, public ::testing::WithParamInterface<Op> {
protected:
    const Op& op() const { return GetParam(); }
};

class TagOpFailure : public TagOps, public ::testing::WithParamInterface<std::tuple<Op, qdsim::FaultKind>> {
protected:
    const Op& op() const { return std::get<0>(GetParam()); }
    qdsim::FaultKind fault() const { return std::get<1>(GetParam()); }
};

TEST_P(TagOpFrame, TheWholeRecordReachesTheReaderWhateverDataBitsSays)
{
    for (const uint16_t bits : {uint16_t{0}, uint16_t{1}, uint16_t{17}, uint16_t{16384}, uint16_t{65535}}) {
        reader_->clear_calls();
        tagop_record record = distinct_record(bits);
        const tagop_record before = record;
        op().call(handle_, &record);
        const auto call = qdinv::last_call(*reader_, op().proc);
        ASSERT_TRUE(call) << "data_bits " << bits;
        EXPECT_EQ(call->arg.size(), 4184u) << "every request is 1046 XDR units";
        qdsim::Decoded<wire::tagop_request> sent(*call, qdinv::filter_of_tagop_request());
        ASSERT_TRUE(sent.ok());
        SCOPED_TRACE("data_bits " + std::to_string(bits));
        qdinv::expect_request_eq(before, *sent);
        EXPECT_EQ(procs(), std::vector<uint32_t>{op().proc});
    }
}

TEST_P(TagOpFrame, NullRecordNeverReachesTheReader)
{
    reader_errno = 0;
    EXPECT_EQ(op().call(handle_, nullptr), op().null_record);
    EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
    EXPECT_TRUE(procs().empty());

    // Also when the handle must reconnect first: only the initial queries.
    drop_connection();
    reader_errno = 0;
    EXPECT_EQ(op().call(handle_, nullptr), op().null_record);
    EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(procs(), qdinv::initial_queries);
}

TEST_P(TagOpFrame, InvalidHandleFailsWithRemoteErrorAndInvalidArguments)
{
    const reader_handle closed = open_reader(host);
    ASSERT_NE(closed, nullptr);
    close_reader(closed);
    reader_->clear_calls();
    tagop_record record = distinct_record(16);
    const tagop_record before = record;
    for (reader_handle h : {closed, qdinv::bogus_handle(), static_cast<reader_handle>(nullptr)}) {
        reader_errno = 0;
        EXPECT_EQ(op().call(h, &record), READER_ERROR_REMOTE);
        EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
    }
    EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0);
    EXPECT_TRUE(procs().empty());
}

TEST_P(TagOpFrame, FailedReconnectionFailsTheOperationWithoutItsCall)
{
    drop_connection();
    reader_->inject(qdtest::proc_get_hwid, qdtest::error_reply(1));
    tagop_record record = distinct_record(16);
    const tagop_record before = record;
    reader_errno = 0;
    EXPECT_EQ(op().call(handle_, &record), READER_ERROR_REMOTE);
    EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
    EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0);
    EXPECT_EQ(procs(), std::vector<uint32_t>{qdtest::proc_get_hwid}) << "nothing after the failed query";

    reader_->clear_calls();
    op().call(handle_, &record);
    expect_reconnect_then(op().proc);
}

TEST_P(TagOpFrame, DroppedConnectionIsReopenedBeforeTheOperationsOwnCall)
{
    drop_connection();
    tagop_record record = distinct_record(32);
    op().call(handle_, &record);
    expect_reconnect_then(op().proc);
}

TEST_P(TagOpFailure, FailedCallReturnsRemoteErrorLeavesTheRecordAndReconnects)
{
    reader_->inject(op().proc, qdsim::Fault{fault(), 1});
    tagop_record record = distinct_record(48);
    const tagop_record before = record;
    reader_errno = 0;
    int rc = 0;
    {
        TraceOn trace;
        const std::string err = stderr_of([&] { rc = op().call(handle_, &record); });
        expect_in_order(err, {std::string("RPC call to ") + op().trace_name + " failed",
                              std::string("Resetting RPC connection to '") + host + "'\n"});
    }
    EXPECT_EQ(rc, READER_ERROR_REMOTE);
    EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
    EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0) << "a failed call writes nothing";
    EXPECT_EQ(procs(), std::vector<uint32_t>{op().proc});

    reader_->clear_calls();
    {
        TraceOn trace;
        const std::string err = stderr_of([&] { op().call(handle_, &record); });
        EXPECT_NE(err.find(std::string("Opening RPC connection to '") + host + "'\n"), std::string::npos)
            << err;
    }
    expect_reconnect_then(op().proc);
}

INSTANTIATE_TEST_SUITE_P(Operations, TagOpFrame, ::testing::ValuesIn(operations()),
                         [](const auto& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Operations, TagOpFailure,
    ::testing::Combine(::testing::ValuesIn(operations()),
                       ::testing::Values(qdsim::FaultKind::error_reply, qdsim::FaultKind::garbage_reply)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).label) +
               (std::get<1>(info.param) == qdsim::FaultKind::error_reply ? "_error_reply" : "_garbage_reply");
    });

// The six operations of the shared worker never write into the record,
// whatever the reader answers.
TEST_F(TagOps, SharedWorkerNeverWritesTheRecord)
{
    for (const auto& op : operations()) {
        if (op.proc == TAGDATA_READ)
            continue;
        tagop_record record = distinct_record(64);
        const tagop_record before = record;
        op.call(handle_, &record);
        EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0) << op.label;
    }
}

TEST(TagOpsTcp, OperationsTravelOverTcpWhenSwitchedOn)
{
    auto reader = qdtest::start_reader(host);
    qdtest::TcpOn tcp;
    reader_handle h = open_reader(host);
    ASSERT_NE(h, nullptr);
    reader->clear_calls();
    for (const auto& op : operations()) {
        tagop_record record = distinct_record(1);
        op.call(h, &record);
        const auto call = qdinv::last_call(*reader, op.proc);
        ASSERT_TRUE(call) << op.label;
        EXPECT_EQ(call->transport, qdsim::Transport::tcp) << op.label;
        qdsim::Decoded<wire::tagop_request> sent(*call, qdinv::filter_of_tagop_request());
        ASSERT_TRUE(sent.ok());
        qdinv::expect_request_eq(distinct_record(1), *sent);
    }
    EXPECT_EQ(reader->calls().size(), operations().size());
    close_reader(h);
}

}  // namespace
