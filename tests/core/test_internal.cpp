// The privileged operations that the shared library keeps to itself (the
// protocol trace and the Gen2 MER query), reached by linking the library's
// code directly, against a virtual reader at 127.0.13.45: the closed gate,
// what reaches the reader, what comes back, and a failed call.
#include <cstring>

#include "priv/hardware.h"
#include "priv/protocol_trace.h"
#include "support.h"

namespace {

using namespace qdtest;

constexpr const char* host = "127.0.13.45";

class Internal : public OpenReader {
protected:
    Internal() : OpenReader(host) {}
    void prepare(qdsim::VirtualReader&) override { set_priv_level(1); }
    void TearDown() override
    {
        OpenReader::TearDown();
        set_priv_level(1);
    }
};

TEST_P(Internal, ClosedGateAndBadHandleMakeNoCall)
{
    wire::protocol_trace trace{};
    const wire::mer_args request{};
    const wire::mer_result* result = nullptr;
    EXPECT_EQ(qd::PRIV_getProtocolTrace(nullptr, 1, &trace), -1);
    EXPECT_EQ(qd::PRIV_gen2GetMER(nullptr, &request, &result), -1);
    set_priv_level(0);
    EXPECT_EQ(qd::PRIV_getProtocolTrace(handle_, 1, &trace), -2);
    EXPECT_EQ(qd::PRIV_gen2GetMER(handle_, &request, &result), -2);
    set_priv_level(1);
    EXPECT_EQ(qd::PRIV_gen2GetMER(handle_, nullptr, &result), READER_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(qd::PRIV_gen2GetMER(handle_, &request, nullptr), READER_ERROR_INVALID_ARGUMENTS);
    EXPECT_TRUE(reader_->calls().empty());
}

TEST_P(Internal, ProtocolTraceCopiesTheReadersRecord)
{
    wire::protocol_trace trace{};
    reader_errno = READER_ERROR_VERIFY_FAILURE;
    ASSERT_EQ(qd::PRIV_getProtocolTrace(handle_, 0x12345, &trace), 0);
    EXPECT_EQ(trace.trace_word1, 0x2345) << "the selector's low 16 bits";
    EXPECT_EQ(trace.entries[0].time1, 1u);
    EXPECT_EQ(qd::PRIV_getProtocolTrace(handle_, 7, nullptr), 0) << "no record asked for";
    EXPECT_EQ(procs(*reader_), (std::vector<uint32_t>{GET_PROTOCOL_TRACE, GET_PROTOCOL_TRACE}));

    reader_->inject(GET_PROTOCOL_TRACE, error_reply(1));
    std::memset(&trace, 0xA5, sizeof trace);
    const wire::protocol_trace before = trace;
    int status = 0;
    EXPECT_EQ(stderr_of([&] { status = qd::PRIV_getProtocolTrace(handle_, 1, &trace); }), "Remote Error\n");
    EXPECT_EQ(status, READER_ERROR_REMOTE);
    EXPECT_EQ(std::memcmp(&trace, &before, sizeof trace), 0);
    EXPECT_EQ(reader_errno, READER_ERROR_VERIFY_FAILURE) << "the family leaves reader_errno alone";
}

TEST_P(Internal, MerAnswerComesBackAndAFailedQueryLeavesNone)
{
    wire::mer_args request{};
    request.mer_word1 = 0x1111;
    request.mer_word6 = 0x6666;
    request.mer_word7 = 3;   // entries asked for
    const wire::mer_result* first = nullptr;
    ASSERT_EQ(qd::PRIV_gen2GetMER(handle_, &request, &first), 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->result_word1, 0x1111);
    EXPECT_EQ(first->result_word6, 0x6666);
    ASSERT_EQ(first->entries.entries_len, 3u);
    EXPECT_EQ(procs(*reader_), std::vector<uint32_t>{GEN2_GET_MER});

    reader_->inject(GEN2_GET_MER, error_reply(1));
    const wire::mer_result* failed = first;
    EXPECT_EQ(qd::PRIV_gen2GetMER(handle_, &request, &failed), READER_ERROR_REMOTE);
    EXPECT_EQ(failed, nullptr);

    request.mer_word7 = 0;
    const wire::mer_result* empty = nullptr;
    ASSERT_EQ(qd::PRIV_gen2GetMER(handle_, &request, &empty), 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->entries.entries_len, 0u);
}

INSTANTIATE_TEST_SUITE_P(Transports, Internal, testing::Values(qdsim::Transport::udp, qdsim::Transport::tcp),
                         [](const auto& info) { return info.param == qdsim::Transport::tcp ? "tcp" : "udp"; });

}  // namespace
