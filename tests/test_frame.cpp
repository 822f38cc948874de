// The frame that every remote operation shares, one row per operation: what
// a bad handle, a failed call, a successful call and a failed reconnection
// do to the result, reader_errno, the trace and the reader's connection,
// over UDP and TCP, so that family tests need check only what is particular
// to an operation.  A new operation is a new row; an operation whose frame
// differs says so with the modifiers next to Row.  Virtual reader at
// 127.0.7.1.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "qdapi.h"
#include "support.h"

namespace {

using namespace qdtest;
using qdsim::FaultKind;
using qdsim::Transport;

constexpr const char* host = "127.0.7.1";

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
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

Row relaying(Row row, Relay relay)
{
    row.relay = std::move(relay);
    return row;
}

// Refuses a null handle before resolving it, leaving reader_errno alone.
Row refusing_null_early(Row row)
{
    row.null_refused_early = true;
    return row;
}

// A failed call gives only the result: no trace, reader_errno and the
// connection kept.
[[maybe_unused]] Row privileged(Row row)
{
    row.on_failure = OnFailure::privileged;
    return row;
}

// No failure check at all: a failed call changes nothing.
[[maybe_unused]] Row unchecked(Row row)
{
    row.on_failure = OnFailure::none;
    return row;
}

// The tag that the tag operations address; its password is 0.
qdsim::Tag field_tag()
{
    qdsim::Tag tag;
    tag.id_bits = 32;
    tag.id = {0x3000, 0xABCD};
    return tag;
}

tagop_record tag_request(uint16_t word1 = 0, uint16_t word19 = 0, uint16_t word20 = 0,
                         std::vector<uint16_t> data = {})
{
    tagop_record r{};
    r.op_word1 = word1;
    r.id_bits = 32;
    r.id[0] = 0x3000;
    r.id[1] = 0xABCD;
    r.op_word19 = word19;
    r.op_word20 = word20;
    r.data_bits = static_cast<uint16_t>(16 * data.size());
    for (std::size_t i = 0; i < data.size(); ++i)
        r.data[i] = data[i];
    return r;
}

template <int (*Op)(reader_handle, const tagop_record*)>
Row shared_tagop(const char* name, uint32_t proc, std::function<tagop_record()> request)
{
    const Row row = {name,
                     [request](reader_handle h) {
                         const tagop_record r = request();
                         return Op(h, &r);
                     },
                     proc, "RPC call", -102, -102, OnSuccess::reader_status, 0};
    return relaying(row, {[](qdsim::VirtualReader& r) {
                              qdsim::TagopOverride refusal;
                              refusal.op_status = -103;
                              r.force_tagop(refusal);
                          },
                          -103, -102});
}

template <int (*Op)(reader_handle)>
Row zr_control(const char* name, uint32_t proc, int status)
{
    return {name, [](reader_handle h) { return Op(h); }, proc, name, -4, -1, OnSuccess::zero, status,
            [proc, status](qdsim::VirtualReader& r) { r.set_zr_status(proc, status); }};
}

const std::vector<Row>& rows()
{
    constexpr uint16_t user = qdsim::tagmem::area_user;
    static const std::vector<Row> table = {
        {"search_start",
         [](reader_handle h) {
             search_params p{};
             return search_start(h, &p);
         },
         SEARCH_START, "search_start", -1, -1, OnSuccess::zero, std::nullopt},
        relaying({"operation_status", [](reader_handle h) { return operation_status(h, 1); },
                  OPERATION_STATUS, "operation_status", -5, -5, OnSuccess::leave, READER_OPERATION_DONE,
                  [](qdsim::VirtualReader& r) { r.force_operation_status(READER_OPERATION_DONE); }},
                 {[](qdsim::VirtualReader& r) { r.force_operation_status(-101); }, -101, -5}),
        {"tags_available", [](reader_handle h) { return tags_available(h, 0); }, TAGS_AVAILABLE,
         "tags_available", -1, -1, OnSuccess::zero, 40000,
         [](qdsim::VirtualReader& r) { r.force_tags_available(40000); }},
        {"tagdb_consume",
         [](reader_handle h) {
             tag_record t{};
             return tagdb_consume(h, &t);
         },
         TAGDB_POP, "tagdb_pop", -1, -1, OnSuccess::leave, 0},
        refusing_null_early({"tagdb_pop",
                             [](reader_handle h) {
                                 popped_tag_record t{};
                                 return tagdb_pop(h, &t);
                             },
                             TAGDB_POP, "tagdb_pop", -1, -1, OnSuccess::leave, 0}),
        {"tagdb_reset_db", [](reader_handle h) { return tagdb_reset_db(h); }, TAGDB_RESET_DB,
         "tagdb_reset_db", -1, -1, OnSuccess::zero, 0},
        {"detailed_read_start",
         [](reader_handle h) {
             search_config c{};
             return detailed_read_start(h, &c);
         },
         DETAILED_READ_START, "detailed_read_start", -1, -1, OnSuccess::zero, std::nullopt},
        {"detailed_read_stop", [](reader_handle h) { return detailed_read_stop(h, 7); },
         DETAILED_READ_STOP, "detailed_read_stop", -1, -1, OnSuccess::zero, 9,
         [](qdsim::VirtualReader& r) { r.set_unknown_search_status(9); }},
        refusing_null_early({"conveyor_read_start",
                             [](reader_handle h) {
                                 search_params p{};
                                 return conveyor_read_start(h, &p);
                             },
                             DETAILED_READ_START, "detailed_read_start", -1, -1, OnSuccess::zero,
                             std::nullopt}),
        {"conveyor_read_stop", [](reader_handle h) { return conveyor_read_stop(h, 7); },
         DETAILED_READ_STOP, "detailed_read_stop", -1, -1, OnSuccess::zero, 9,
         [](qdsim::VirtualReader& r) { r.set_unknown_search_status(9); }},
        {"zr_search_configure",
         [](reader_handle h) {
             search_config c{};
             return zr_search_configure(h, &c);
         },
         ZR_SEARCH_CONFIGURE, "zr_search_configure", -3, -2, OnSuccess::zero, 5,
         [](qdsim::VirtualReader& r) { r.set_zr_status(ZR_SEARCH_CONFIGURE, 5); }},
        zr_control<zr_search_start>("zr_search_start", ZR_SEARCH_START, 6),
        zr_control<zr_search_stop>("zr_search_stop", ZR_SEARCH_STOP, 7),
        zr_control<zr_search_verify>("zr_search_verify", ZR_SEARCH_VERIFY, 8),
        // Requests the virtual reader carries out on field_tag().
        shared_tagop<tagid_write>("tagid_write", TAGID_WRITE,
                                  [] { return tag_request(0, 0, 0, {0x3000, 0xABCD}); }),
        shared_tagop<tagid_lock>("tagid_lock", TAGID_LOCK, [] { return tag_request(); }),
        shared_tagop<tag_kill>("tag_kill", TAG_KILL, [] { return tag_request(); }),
        shared_tagop<tag_passwd>("tag_passwd", TAG_PASSWD, [] { return tag_request(0, 0, 0, {0, 0}); }),
        shared_tagop<tagdata_write>("tagdata_write", TAGDATA_WRITE,
                                    [] { return tag_request(user, 0, 0, {0xBEEF}); }),
        shared_tagop<tagdata_lock>("tagdata_lock", TAGDATA_LOCK, [] { return tag_request(user); }),
        {"tagdata_read",
         [](reader_handle h) {
             tagop_record r = tag_request(user, 0, 1);
             return tagdata_read(h, &r);
         },
         TAGDATA_READ, "tagdata_read", -102, -102, OnSuccess::reader_status, 0},
        {"get_supported_protocols",
         [](reader_handle h) {
             id_list l{};
             return get_supported_protocols(h, l);
         },
         std::nullopt, nullptr, -1, -1, OnSuccess::leave, 1},
        {"get_connected_antennas",
         [](reader_handle h) {
             id_list l{};
             return get_connected_antennas(h, l);
         },
         std::nullopt, nullptr, -1, -1, OnSuccess::leave, 2},
    };
    return table;
}

std::vector<Row> calling_rows()
{
    std::vector<Row> out;
    for (const Row& row : rows())
        if (row.proc)
            out.push_back(row);
    return out;
}

int errno_after_success(OnSuccess rule)
{
    return rule == OnSuccess::leave ? untouched : READER_SUCCESSFUL;
}

// A fresh virtual reader with field_tag() and one handle on it over the
// parameter's transport; the transport stays switched on for reconnections.
template <class Param>
class Frame : public testing::TestWithParam<Param> {
protected:
    const Row& row() const { return std::get<0>(this->GetParam()); }
    bool tcp() const { return std::get<1>(this->GetParam()) == Transport::tcp; }

    void SetUp() override
    {
        transport_.emplace(use_tcp, tcp() ? 1 : 0);
        reader_ = start_reader(host);
        reader_->add_tag(field_tag());
        handle_ = open_reader(host);
        ASSERT_NE(handle_, nullptr) << "reader_errno " << reader_errno;
        reader_->clear_calls();
    }
    void TearDown() override
    {
        close_reader(handle_);
        reader_.reset();
        transport_.reset();
    }

    std::vector<uint32_t> own_calls() const
    {
        return row().proc ? std::vector<uint32_t>{*row().proc} : std::vector<uint32_t>{};
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
    const reader_handle closed = open_reader(host);
    ASSERT_NE(closed, nullptr);
    close_reader(closed);
    reader_->clear_calls();

    reader_errno = untouched;
    EXPECT_EQ(row().call(closed), row().unresolved);
    EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);

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
    EXPECT_EQ(procs(*reader_), own_calls()) << "one call, not repeated";

    std::vector<uint32_t> next = own_calls();
    switch (row().on_failure) {
    case OnFailure::failure_check:
        EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
        expect_in_order("\n" + text, {std::string("\nRPC call to ") + row().check_name + " failed",
                                      std::string("\nResetting RPC connection to '") + host + "'\n"});
        EXPECT_EQ(text.find("Opening RPC connection"), std::string::npos) << text;
        next = concat(initial_queries, next);
        break;
    case OnFailure::privileged:
    case OnFailure::none:
        EXPECT_EQ(reader_errno, untouched);
        EXPECT_EQ(text, "");
        break;
    }

    reader_->clear_calls();
    expect_success(call_to_succeed());
    EXPECT_EQ(procs(*reader_), next) << "the next operation";
}

const auto transports = testing::Values(Transport::udp, Transport::tcp);

template <class Param>
std::string test_name(const testing::TestParamInfo<Param>& info)
{
    std::string name = std::get<0>(info.param).name;
    std::apply([&](const Row&, const auto&... rest) { ((name += "_" + testing::PrintToString(rest)), ...); },
               info.param);
    return name;
}

INSTANTIATE_TEST_SUITE_P(Frame, Calls, testing::Combine(testing::ValuesIn(rows()), transports),
                         test_name<RowTransport>);

INSTANTIATE_TEST_SUITE_P(Frame, FailedCalls,
                         testing::Combine(testing::ValuesIn(calling_rows()), transports,
                                          testing::Values(FaultKind::error_reply, FaultKind::garbage_reply)),
                         test_name<RowTransportFault>);

}  // namespace
