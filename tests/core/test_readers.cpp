// Reader handles and their connections, against a virtual reader on
// loopback: opening and the initial queries, the table of 128 handles,
// validation of handles, the debug trace, and a connection that drops after a
// failed call and is opened again by the next operation.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "qdapi.h"
#include "support.h"

namespace {

using namespace qdtest;
using qdsim::Transport;

constexpr const char* host = "127.0.0.11";

// `text` holds each of `parts` in this order.
testing::AssertionResult in_order(const std::string& text, const std::vector<std::string>& parts)
{
    std::size_t at = 0;
    for (const auto& part : parts) {
        const std::size_t found = text.find(part, at);
        if (found == std::string::npos)
            return testing::AssertionFailure()
                   << "missing (in this order) \"" << part << "\" in:\n" << text;
        at = found + part.size();
    }
    return testing::AssertionSuccess();
}

class Readers : public testing::Test {
protected:
    static void SetUpTestSuite() { reader_ = start_reader(host).release(); }
    static void TearDownTestSuite()
    {
        delete reader_;
        reader_ = nullptr;
    }

    void SetUp() override
    {
        reader().start();
        reader().clear_faults();
        reader().clear_calls();
        reader_errno = 0;
    }
    void TearDown() override
    {
        reader().clear_faults();
        reader().start();
    }

    static qdsim::VirtualReader& reader() { return *reader_; }

    // A connected handle; the log is cleared after its initial queries.
    reader_handle open_clean()
    {
        reader_handle h = open_reader(host);
        EXPECT_NE(h, nullptr) << "reader_errno " << reader_errno;
        reader().clear_calls();
        return h;
    }

    // Makes the reader's next answer to tags_available an error reply: the
    // call fails and the library drops the handle's connection.
    void fail_one_call(reader_handle h)
    {
        reader().inject(proc_tags_available, error_reply(1));
        EXPECT_EQ(tags_available(h, 0), -1);
        EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
        reader().clear_calls();
    }

    static qdsim::VirtualReader* reader_;
};

qdsim::VirtualReader* Readers::reader_ = nullptr;

TEST_F(Readers, OpenRunsTheInitialQueriesOnceAndThenOnlyOnDemand)
{
    reader_handle h = open_reader(host);
    ASSERT_NE(h, nullptr) << "reader_errno " << reader_errno;

    const auto calls = reader().calls();
    ASSERT_EQ(procs(reader()), initial_queries);
    const qdsim::Decoded<int> slot0(calls[0], (xdrproc_t)xdr_int);
    const qdsim::Decoded<int> slot1(calls[1], (xdrproc_t)xdr_int);
    ASSERT_TRUE(slot0.ok() && slot1.ok());
    EXPECT_EQ(*slot0, 0);
    EXPECT_EQ(*slot1, 1);
    for (const auto& call : calls)
        EXPECT_EQ(call.transport, Transport::udp);

    // A connected handle resolves without a call.
    reader().clear_calls();
    EXPECT_NE(handle_to_reader(h), nullptr);
    EXPECT_EQ(reconnect_reader(h), h);
    EXPECT_EQ(tags_available(h, 0), 0);
    EXPECT_EQ(procs(reader()), std::vector<uint32_t>{proc_tags_available});

    reader().clear_calls();
    EXPECT_EQ(close_reader(h), 0);
    EXPECT_TRUE(reader().calls().empty());
    reader_errno = 0;
    EXPECT_EQ(handle_to_reader(h), nullptr);
    EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
}

TEST_F(Readers, UseTcpAppliesToConnectionsOpenedAfterwards)
{
    reader_handle h;
    {
        TcpOn tcp;
        h = open_reader(host);
        ASSERT_NE(h, nullptr) << "reader_errno " << reader_errno;
    }
    EXPECT_EQ(procs(reader()), initial_queries);
    for (const auto& call : reader().calls())
        EXPECT_EQ(call.transport, Transport::tcp);

    // use_tcp is 0 again, but the open connection stays on TCP ...
    reader().clear_calls();
    EXPECT_EQ(tags_available(h, 0), 0);
    ASSERT_EQ(reader().calls().size(), 1u);
    EXPECT_EQ(reader().calls()[0].transport, Transport::tcp);

    // ... until it is replaced: the new one is UDP.
    fail_one_call(h);
    EXPECT_EQ(tags_available(h, 0), 0);
    EXPECT_EQ(procs(reader()), concat(initial_queries, {proc_tags_available}));
    for (const auto& call : reader().calls())
        EXPECT_EQ(call.transport, Transport::udp);
    close_reader(h);
}

TEST_F(Readers, TableHoldsExactly128Handles)
{
    Handles open;
    for (int i = 0; i < 128; ++i) {
        reader_handle h = open_reader(host);
        ASSERT_NE(h, nullptr) << "open " << i << ": reader_errno " << reader_errno;
        open.add(h);
    }
    reader_errno = 0;
    EXPECT_EQ(open_reader(host), nullptr);
    EXPECT_EQ(reader_errno, READER_ERROR_API_MAX_HANDLES);
    EXPECT_EQ(reader_errno, -121);
    EXPECT_EQ(open_reader(host), nullptr);

    // The handles are the slots of one table; the addresses just outside it
    // are not handles (nor is anything dereferenced to find that out).
    std::vector<std::uintptr_t> slots;
    for (std::size_t i = 0; i < open.size(); ++i)
        slots.push_back(reinterpret_cast<std::uintptr_t>(open[i]));
    std::sort(slots.begin(), slots.end());
    ASSERT_EQ(std::adjacent_find(slots.begin(), slots.end()), slots.end()) << "a handle twice";
    const std::uintptr_t stride = (slots.back() - slots.front()) / 127;
    ASSERT_GT(stride, 0u);
    for (std::size_t i = 1; i < slots.size(); ++i)
        ASSERT_EQ(slots[i] - slots[i - 1], stride) << "slot " << i;
    for (const std::uintptr_t outside : {slots.front() - stride, slots.back() + stride}) {
        reader_errno = 0;
        EXPECT_EQ(handle_to_reader(reinterpret_cast<reader_handle>(outside)), nullptr);
        EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
        EXPECT_EQ(close_reader(reinterpret_cast<reader_handle>(outside)), 0);
    }

    // Every handle is its own: closing one leaves the others working.
    open.close(57);
    EXPECT_NE(handle_to_reader(open[0]), nullptr);
    EXPECT_NE(handle_to_reader(open[126]), nullptr);
    reader_handle again = open_reader(host);
    ASSERT_NE(again, nullptr) << "reader_errno " << reader_errno;
    open.add(again);
    EXPECT_EQ(open_reader(host), nullptr);
    EXPECT_EQ(reader_errno, READER_ERROR_API_MAX_HANDLES);
}

TEST_F(Readers, FailedOpensLeaveNoHandleBehind)
{
    // The reader refuses the first query, or the last one, or is down.
    reader().inject(proc_get_hwid, error_reply());
    for (int i = 0; i < 70; ++i) {
        reader_errno = 0;
        ASSERT_EQ(open_reader(host), nullptr);
        ASSERT_EQ(reader_errno, READER_ERROR_REMOTE);
    }
    reader().clear_faults();
    reader().inject(proc_get_supported_protocols, error_reply());
    for (int i = 0; i < 70; ++i) {
        reader_errno = 0;
        ASSERT_EQ(open_reader(host), nullptr);
        ASSERT_EQ(reader_errno, READER_ERROR_REMOTE);
    }
    reader().clear_faults();
    reader().stop();
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 60; ++i) {
        reader_errno = 0;
        ASSERT_EQ(open_reader(host), nullptr);
        ASSERT_EQ(reader_errno, READER_ERROR_REMOTE);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10))
        << "a reader that is down should be reported at once";
    reader().start();

    Handles open;
    for (int i = 0; i < 128; ++i) {
        reader_handle h = open_reader(host);
        ASSERT_NE(h, nullptr) << "open " << i << ": reader_errno " << reader_errno;
        open.add(h);
    }
}

TEST_F(Readers, AnythingButAnOpenHandleIsRejected)
{
    reader_handle live = open_clean();
    ASSERT_NE(live, nullptr);
    reader_handle closed = open_clean();
    ASSERT_NE(closed, nullptr);
    close_reader(closed);

    int local = 0;
    const reader_handle not_handles[] = {
        nullptr,
        closed,
        reinterpret_cast<reader_handle>(&local),
        // inside a slot of the table, but not its start
        reinterpret_cast<reader_handle>(reinterpret_cast<char*>(live) + 4),
        reinterpret_cast<reader_handle>(reinterpret_cast<char*>(live) - 1),
    };
    for (std::size_t i = 0; i < std::size(not_handles); ++i) {
        SCOPED_TRACE("not a handle #" + std::to_string(i));
        const reader_handle h = not_handles[i];
        reader_errno = 0;
        EXPECT_EQ(handle_to_reader(h), nullptr);
        EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
        reader_errno = 0;
        EXPECT_EQ(reconnect_reader(h), nullptr);
        EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
        reader_errno = 0;
        EXPECT_EQ(close_reader(h), 0);
        EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
    }
    EXPECT_EQ(local, 0);
    // None of that touched the reader or the live handle.
    EXPECT_TRUE(reader().calls().empty());
    EXPECT_EQ(reconnect_reader(live), live);
    close_reader(live);
}

TEST_F(Readers, OpenWithoutAUsableHostName)
{
    if (!only_loopback())
        GTEST_SKIP() << "looks up an unknown host name: run in a network namespace with only loopback";
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(open_reader(nullptr), nullptr); }), "");
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(open_reader("no-such-reader.invalid"), nullptr); }), "");

    TraceOn trace;
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(open_reader("no-such-reader.invalid"), nullptr); }),
              "open_reader: gethostname(no-such-reader.invalid) failed.\n");
    EXPECT_EQ(open_reader(nullptr), nullptr);
    EXPECT_TRUE(reader().calls().empty());
}

TEST_F(Readers, TraceIsSilentUnlessEnabled)
{
    if (!only_loopback())
        GTEST_SKIP() << "looks up an unknown host name: run in a network namespace with only loopback";
    const std::string quiet = stderr_of([this] {
        reader_handle h = open_reader(host);
        EXPECT_NE(h, nullptr);
        fail_one_call(h);
        EXPECT_EQ(tags_available(h, 0), 0);
        EXPECT_EQ(close_reader(h), 0);
        reader().inject(proc_get_hwid, error_reply(1));
        EXPECT_EQ(open_reader(host), nullptr);
        EXPECT_EQ(open_reader("no-such-reader.invalid"), nullptr);
    });
    EXPECT_EQ(quiet, "");

    TraceOn trace;
    reader_handle h = nullptr;
    const std::string opening = stderr_of([&] { h = open_reader(host); });
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(in_order(opening, {"Opening RPC connection to '127.0.0.11'\n",
                                   "Making RPC connection to 127.0.0.11\n"}));
    EXPECT_EQ(opening.find("Shutting down"), std::string::npos);

    const std::string closing = stderr_of([&] { EXPECT_EQ(close_reader(h), 0); });
    EXPECT_EQ(closing, "Shutting down RPC connection to '127.0.0.11'\n");
}

TEST_F(Readers, RefusedInitialQueryIsTracedAndFailsTheOpen)
{
    TraceOn trace;
    reader().inject(proc_get_connected_antennas, error_reply(1));
    const std::string text = stderr_of([] {
        reader_errno = 0;
        EXPECT_EQ(open_reader(host), nullptr);
        EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
    });
    EXPECT_TRUE(in_order(text, {"Opening RPC connection to '127.0.0.11'\n",
                                "\nRPC call to get_connected_antennas failed",
                                "\nResetting RPC connection to '127.0.0.11'\n"}));
    EXPECT_EQ(procs(reader()), (std::vector<uint32_t>{proc_get_hwid, proc_get_hwid,
                                                      proc_get_connected_antennas}));
}

TEST_F(Readers, FailedCallDropsTheConnectionAndTheNextOperationReconnects)
{
    reader_handle h = open_clean();
    ASSERT_NE(h, nullptr);
    TraceOn trace;

    reader().inject(proc_tags_available, error_reply(1));
    const std::string failing = stderr_of([&] {
        EXPECT_EQ(tags_available(h, 0), -1);
        EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
    });
    EXPECT_TRUE(in_order("\n" + failing, {"\nRPC call to tags_available failed",
                                          "\nResetting RPC connection to '127.0.0.11'\n"}))
        << "the failure line comes first, then the reset";
    EXPECT_EQ(failing.find("Opening RPC connection"), std::string::npos);
    EXPECT_EQ(procs(reader()), std::vector<uint32_t>{proc_tags_available});

    reader().clear_calls();
    const std::string next = stderr_of([&] {
        EXPECT_EQ(tags_available(h, 0), 0);
        EXPECT_EQ(reader_errno, READER_SUCCESSFUL);
    });
    EXPECT_TRUE(in_order(next, {"Opening RPC connection to '127.0.0.11'\n",
                                "Making RPC connection to 127.0.0.11\n"}));
    EXPECT_EQ(next.find("failed"), std::string::npos);
    EXPECT_EQ(procs(reader()), concat(initial_queries, {proc_tags_available}));

    // Connected again: no further initial queries.
    reader().clear_calls();
    EXPECT_EQ(tags_available(h, 0), 0);
    EXPECT_EQ(procs(reader()), std::vector<uint32_t>{proc_tags_available});
    close_reader(h);
}

TEST_F(Readers, RebootedReaderIsReachedAgainThroughTheSameHandle)
{
    reader_handle h = open_clean();
    ASSERT_NE(h, nullptr);

    reader().stop();
    // Nothing has called yet: the handle still looks connected.
    EXPECT_EQ(reconnect_reader(h), h);
    EXPECT_EQ(tags_available(h, 0), -1);
    EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
    // Now it is not, and the reader is still down.
    reader_errno = 0;
    EXPECT_EQ(reconnect_reader(h), nullptr);
    EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
    reader_errno = 0;
    EXPECT_EQ(handle_to_reader(h), nullptr);
    EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);

    reader().start();   // on new ports
    EXPECT_EQ(reconnect_reader(h), h);
    EXPECT_EQ(procs(reader()), initial_queries);
    EXPECT_EQ(tags_available(h, 0), 0);

    // A reconnection whose initial queries fail leaves the handle
    // disconnected; the next resolution tries again from the start.
    fail_one_call(h);
    reader().inject(proc_get_hwid, error_reply(1));
    reader_errno = 0;
    EXPECT_EQ(handle_to_reader(h), nullptr);
    EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
    EXPECT_EQ(procs(reader()), std::vector<uint32_t>{proc_get_hwid});
    reader().clear_calls();
    EXPECT_NE(handle_to_reader(h), nullptr);
    EXPECT_EQ(procs(reader()), initial_queries);

    // An operation whose reconnection fails does not make its own call.
    fail_one_call(h);
    reader().inject(proc_get_supported_protocols, error_reply(1));
    reader_errno = 0;
    EXPECT_EQ(tags_available(h, 0), -1);
    EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
    EXPECT_EQ(procs(reader()), (std::vector<uint32_t>{proc_get_hwid, proc_get_hwid,
                                                      proc_get_connected_antennas,
                                                      proc_get_supported_protocols}));
    close_reader(h);
}

TEST_F(Readers, TcpConnectionClosedByARebootingReaderIsReopened)
{
    TcpOn tcp;
    reader_handle h = open_clean();
    ASSERT_NE(h, nullptr);
    reader().stop();
    reader().start();
    EXPECT_EQ(tags_available(h, 0), -1);
    EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
    EXPECT_EQ(tags_available(h, 0), 0);
    EXPECT_EQ(procs(reader()), concat(initial_queries, {proc_tags_available}));
    for (const auto& call : reader().calls())
        EXPECT_EQ(call.transport, Transport::tcp);
    close_reader(h);
}

TEST_F(Readers, CloseFreesTheHandleEvenWhenTheReaderIsUnreachable)
{
    reader_handle h = open_clean();
    ASSERT_NE(h, nullptr);
    reader().stop();
    EXPECT_EQ(tags_available(h, 0), -1);   // the connection is dropped
    EXPECT_EQ(close_reader(h), 0);
    reader().start();

    reader_errno = 0;
    EXPECT_EQ(handle_to_reader(h), nullptr) << "the closed handle came back to life";
    EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
    reader().clear_calls();
    EXPECT_EQ(close_reader(h), 0);
    EXPECT_TRUE(reader().calls().empty());

    Handles open;
    for (int i = 0; i < 128; ++i) {
        reader_handle again = open_reader(host);
        ASSERT_NE(again, nullptr) << "open " << i << ": reader_errno " << reader_errno;
        open.add(again);
    }
}

}  // namespace
