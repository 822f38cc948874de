// The frame that every remote operation shares, as one table-driven suite:
// what a bad handle, a failed call, a successful call and a failed
// reconnection do to the result, reader_errno, the trace and the reader's
// connection, over UDP and TCP, so that family tests need check only what is
// particular to an operation.
//
// A test program of a family includes this header once and defines, in
// namespace qdframe, its rows and its virtual reader:
//
//   const char* frame_host();                             // its own address
//   void prepare_frame_reader(qdsim::VirtualReader&);     // before the handle opens
//   const std::vector<Row>& frame_rows();                 // a row per operation
//
// A new operation is a new row; an operation whose frame differs says so
// with the modifiers next to Row.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "qdapi.h"
#include "support.h"

namespace qdframe {

using namespace qdtest;
using qdsim::FaultKind;
using qdsim::Transport;

// A value no operation stores, preset to see whether reader_errno was written.
constexpr int untouched = READER_ERROR_VERIFY_FAILURE;

// reader_errno after a successful call.
enum class OnSuccess {
    leave,           // as it was
    zero,            // 0
    reader_status,   // the status the reader reported (0 for a success)
};

// What a failed call does.
enum class OnFailure {
    failure_check,   // trace, reader_errno -102, connection dropped
    privileged,      // nothing but the result: no trace, reader_errno and connection kept
    none,            // nothing at all; the result is the row's `failed`
    reset_only,      // no failure check, but the connection dropped (its trace line only)
};

// The reader made to report a status that the operation stores in
// reader_errno, and what the operation returns for it.
struct Relay {
    std::function<void(qdsim::VirtualReader&)> report;
    int status;
    int result;
};

struct Row {
    const char* name;
    // Calls the operation with valid arguments; operations that return a
    // pointer or a power report it as an int (null: -1).
    std::function<int(reader_handle)> call;
    std::optional<uint32_t> proc;   // none: the operation makes no call of its own
    const char* check_name;         // in "RPC call to NAME failed"
    int unresolved;                 // result when the handle does not resolve
    int failed;                     // result when the call fails
    OnSuccess on_success;
    std::optional<int> success;     // result on success; none: any value >= 0
    std::function<void(qdsim::VirtualReader&)> prepare = nullptr;   // makes `success` the answer
    // Set by the modifiers below.
    OnFailure on_failure = OnFailure::failure_check;
    std::optional<Relay> relay = std::nullopt;
    bool null_refused_early = false;
    std::vector<uint32_t> then = {};   // calls a success makes after its own
    const char* failure_report = nullptr;   // privileged: how what a failed call writes begins
};

inline void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

inline Row relaying(Row row, Relay relay)
{
    row.relay = std::move(relay);
    return row;
}

// A success goes on with these calls after its own (a failed own call
// makes none of them).
inline Row followed_by(Row row, std::vector<uint32_t> calls)
{
    row.then = std::move(calls);
    return row;
}

// A privileged operation that says on standard error why its call failed:
// one line that begins with `report`.
inline Row reporting(Row row, const char* report)
{
    row.failure_report = report;
    return row;
}

// Refuses a null handle before resolving it, leaving reader_errno alone.
inline Row refusing_null_early(Row row)
{
    row.null_refused_early = true;
    return row;
}

// A failed call gives only the result: no trace, reader_errno and the
// connection kept.
inline Row privileged(Row row)
{
    row.on_failure = OnFailure::privileged;
    return row;
}

// No failure check at all: a failed call changes nothing.
inline Row unchecked(Row row)
{
    row.on_failure = OnFailure::none;
    return row;
}

// No failure check, but the connection is dropped whatever the outcome: a
// failed call writes the reset line alone and keeps reader_errno.
inline Row resetting(Row row)
{
    row.on_failure = OnFailure::reset_only;
    return row;
}

const char* frame_host();
void prepare_frame_reader(qdsim::VirtualReader& reader);
const std::vector<Row>& frame_rows();

inline std::vector<Row> calling_rows()
{
    std::vector<Row> out;
    for (const Row& row : frame_rows())
        if (row.proc)
            out.push_back(row);
    return out;
}

inline int errno_after_success(OnSuccess rule)
{
    return rule == OnSuccess::leave ? untouched : READER_SUCCESSFUL;
}

// A fresh virtual reader, prepared by the program, and one handle on it over the
// parameter's transport; the transport stays switched on for reconnections.
template <class Param>
class Frame : public testing::TestWithParam<Param> {
protected:
    const Row& row() const { return std::get<0>(this->GetParam()); }
    bool tcp() const { return std::get<1>(this->GetParam()) == Transport::tcp; }

    void SetUp() override
    {
        transport_.emplace(use_tcp, tcp() ? 1 : 0);
        reader_ = start_reader(frame_host());
        prepare_frame_reader(*reader_);
        handle_ = open_reader(frame_host());
        ASSERT_NE(handle_, nullptr) << "reader_errno " << reader_errno;
        reader_->clear_calls();
    }
    void TearDown() override
    {
        close_reader(handle_);
        reader_.reset();
        transport_.reset();
    }

    // The calls of a success.
    std::vector<uint32_t> own_calls() const
    {
        return row().proc ? concat({*row().proc}, row().then) : std::vector<uint32_t>{};
    }

    // Calls the operation where it should succeed; reader_errno is preset.
    int call_to_succeed()
    {
        if (row().prepare)
            row().prepare(*reader_);
        reader_errno = untouched;
        return row().call(handle_);
    }

    void expect_success(int result) const
    {
        if (row().success)
            EXPECT_EQ(result, *row().success);
        else
            EXPECT_GE(result, 0);
    }

    std::optional<Switch> transport_;
    std::unique_ptr<qdsim::VirtualReader> reader_;
    reader_handle handle_ = nullptr;
};

using RowTransport = std::tuple<Row, Transport>;
using RowTransportFault = std::tuple<Row, Transport, FaultKind>;
using Calls = Frame<RowTransport>;
using FailedCalls = Frame<RowTransportFault>;

TEST_P(Calls, BadHandleFailsWithoutACall)
{
    const reader_handle closed = open_reader(frame_host());
    ASSERT_NE(closed, nullptr);
    close_reader(closed);
    reader_->clear_calls();

    // A closed handle, and one the library never gave out.
    static int not_a_slot[64];
    for (reader_handle h : {closed, reinterpret_cast<reader_handle>(&not_a_slot[1])}) {
        reader_errno = untouched;
        EXPECT_EQ(row().call(h), row().unresolved);
        EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
    }

    reader_errno = untouched;
    EXPECT_EQ(row().call(nullptr), row().unresolved);
    EXPECT_EQ(reader_errno, row().null_refused_early ? untouched : READER_ERROR_INVALID_ARGUMENTS);

    EXPECT_TRUE(reader_->calls().empty());
}

TEST_P(Calls, SuccessfulCall)
{
    const int result = call_to_succeed();
    expect_success(result);
    EXPECT_EQ(reader_errno, errno_after_success(row().on_success));
    EXPECT_EQ(procs(*reader_), own_calls());
    for (const auto& call : reader_->calls())
        EXPECT_EQ(call.transport, std::get<1>(GetParam()));

    if (const auto& relay = row().relay) {
        SCOPED_TRACE("the reader reports status " + std::to_string(relay->status));
        relay->report(*reader_);
        reader_errno = untouched;
        EXPECT_EQ(row().call(handle_), relay->result);
        EXPECT_EQ(reader_errno, relay->status);
    }
}

TEST_P(Calls, ReconnectsBeforeItsOwnCallAndFailsWithoutItWhenThatFails)
{
    drop_connection(*reader_, handle_);
    reader_->inject(proc_get_supported_protocols, error_reply(1));
    reader_errno = untouched;
    EXPECT_EQ(row().call(handle_), row().unresolved);
    EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
    EXPECT_EQ(procs(*reader_), initial_queries) << "no call after the failed initial query";

    reader_->clear_calls();
    expect_success(call_to_succeed());
    EXPECT_EQ(procs(*reader_), concat(initial_queries, own_calls()));
}

TEST_P(FailedCalls, FailedCall)
{
    const FaultKind fault = std::get<2>(GetParam());
    reader_->inject(*row().proc, qdsim::Fault{fault, 1});
    int result = 0;
    std::string text;
    {
        TraceOn trace;
        reader_errno = untouched;
        text = stderr_of([&] { result = row().call(handle_); });
    }
    EXPECT_EQ(result, row().failed);
    EXPECT_EQ(procs(*reader_), std::vector<uint32_t>{*row().proc}) << "one call, not repeated";

    std::vector<uint32_t> next = own_calls();
    switch (row().on_failure) {
    case OnFailure::failure_check:
        EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
        expect_in_order("\n" + text, {std::string("\nRPC call to ") + row().check_name + " failed",
                                      std::string("\nResetting RPC connection to '") + frame_host() + "'\n"});
        EXPECT_EQ(text.find("Opening RPC connection"), std::string::npos) << text;
        next = concat(initial_queries, next);
        break;
    case OnFailure::reset_only:
        EXPECT_EQ(reader_errno, untouched);
        EXPECT_EQ(text, std::string("Resetting RPC connection to '") + frame_host() + "'\n");
        next = concat(initial_queries, next);
        break;
    case OnFailure::privileged:
    case OnFailure::none:
        EXPECT_EQ(reader_errno, untouched);
        if (row().failure_report) {
            EXPECT_EQ(text.rfind(row().failure_report, 0), 0u) << text;
            EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line: " << text;
        } else {
            EXPECT_EQ(text, "");
        }
        break;
    }

    reader_->clear_calls();
    expect_success(call_to_succeed());
    EXPECT_EQ(procs(*reader_), next) << "the next operation";
}

inline const auto transports = testing::Values(Transport::udp, Transport::tcp);

template <class Param>
std::string test_name(const testing::TestParamInfo<Param>& info)
{
    std::string name = std::get<0>(info.param).name;
    std::apply([&](const Row&, const auto&... rest) { ((name += "_" + testing::PrintToString(rest)), ...); },
               info.param);
    return name;
}

INSTANTIATE_TEST_SUITE_P(Frame, Calls, testing::Combine(testing::ValuesIn(frame_rows()), transports),
                         test_name<RowTransport>);

INSTANTIATE_TEST_SUITE_P(Frame, FailedCalls,
                         testing::Combine(testing::ValuesIn(calling_rows()), transports,
                                          testing::Values(FaultKind::error_reply, FaultKind::garbage_reply)),
                         test_name<RowTransportFault>);

}  // namespace qdframe
