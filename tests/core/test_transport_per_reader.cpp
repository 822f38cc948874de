// A transport per reader: open_reader_over keeps the transport it was given
// for every connection of the reader, reconnections included, whatever
// use_tcp says meanwhile; open_reader still takes the one use_tcp selects at
// each connection.  The transport is read from the virtual reader's call log
// (which records what each call came over), and from get_pipeline_window's
// default while the reader is not connected (8 over UDP, 32 over TCP).
//
// Addresses: 127.0.57.1 to 127.0.57.5.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "qdapi.h"
#include "support.h"

namespace {

using namespace qdtest;
using qdsim::Transport;

// use_tcp as another thread of the application would write it.
void set_use_tcp(int value)
{
    std::atomic_ref<int>(use_tcp).store(value, std::memory_order_relaxed);
}

constexpr int udp_window = 8;
constexpr int tcp_window = 32;

int window_of(Transport t)
{
    return t == Transport::tcp ? tcp_window : udp_window;
}

// Every call in the reader's log came over `expected`, and the log holds
// `want` (in this order).
testing::AssertionResult calls_over(const qdsim::VirtualReader& reader, Transport expected,
                                    const std::vector<uint32_t>& want)
{
    const auto calls = reader.calls();
    std::vector<uint32_t> got;
    for (const auto& call : calls) {
        got.push_back(call.proc);
        if (call.transport != expected)
            return testing::AssertionFailure()
                   << "procedure " << call.proc << " came over " << testing::PrintToString(call.transport)
                   << ", not " << testing::PrintToString(expected);
    }
    if (got != want)
        return testing::AssertionFailure() << "calls " << testing::PrintToString(got) << ", not "
                                           << testing::PrintToString(want);
    return testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// One reader at a time: how it is opened, use_tcp when it is opened and when
// it connects again, and the transport of each connection.

enum class Opener { by_switch, over_udp, over_tcp };
enum class Reconnection { failed_call, reader_restarted, reconnect_reader };
const char* const reconnection_names[] = {"failed_call", "reader_restarted", "reconnect_reader"};
void PrintTo(Reconnection how, std::ostream* os)
{
    *os << reconnection_names[static_cast<int>(how)];
}

struct Row {
    const char* name;
    Opener opener;
    int use_tcp_at_open;
    int use_tcp_at_reconnection;
    Transport first;      // the transport of the first connection
    Transport second;     // and of the one that replaces it
};

const Row rows[] = {
    // open_reader: use_tcp at each connection.
    {"switch_udp_then_tcp", Opener::by_switch, 0, 1, Transport::udp, Transport::tcp},
    {"switch_tcp_then_udp", Opener::by_switch, 1, 0, Transport::tcp, Transport::udp},
    {"switch_udp_stays", Opener::by_switch, 0, 0, Transport::udp, Transport::udp},
    // open_reader_over: its own, whatever use_tcp says.
    {"over_udp_switch_off", Opener::over_udp, 0, 0, Transport::udp, Transport::udp},
    {"over_udp_switch_on", Opener::over_udp, 1, 1, Transport::udp, Transport::udp},
    {"over_udp_switch_turned_on", Opener::over_udp, 0, 1, Transport::udp, Transport::udp},
    {"over_tcp_switch_off", Opener::over_tcp, 0, 0, Transport::tcp, Transport::tcp},
    {"over_tcp_switch_on", Opener::over_tcp, 1, 1, Transport::tcp, Transport::tcp},
    {"over_tcp_switch_turned_off", Opener::over_tcp, 1, 0, Transport::tcp, Transport::tcp},
};

const Reconnection reconnections[] = {Reconnection::failed_call, Reconnection::reader_restarted,
                                      Reconnection::reconnect_reader};

reader_handle open_with(Opener opener, const char* host)
{
    switch (opener) {
    case Opener::by_switch: return open_reader(host);
    case Opener::over_udp: return open_reader_over(host, QDAPI_TRANSPORT_UDP);
    case Opener::over_tcp: return open_reader_over(host, QDAPI_TRANSPORT_TCP);
    }
    return nullptr;
}

class TransportOfEachConnection : public testing::TestWithParam<std::tuple<std::size_t, Reconnection>> {
protected:
    static constexpr const char* host = "127.0.57.1";
    void SetUp() override { reader_ = start_reader(host); }
    void TearDown() override { reader_.reset(); }
    std::unique_ptr<qdsim::VirtualReader> reader_;
};

TEST_P(TransportOfEachConnection, FollowsTheReaderOrTheSwitch)
{
    const Row& row = rows[std::get<0>(GetParam())];
    const Reconnection how = std::get<1>(GetParam());
    qdsim::VirtualReader& reader = *reader_;

    Switch tcp(use_tcp, row.use_tcp_at_open);
    reader_errno = 0;
    reader_handle h = open_with(row.opener, host);
    ASSERT_NE(h, nullptr) << "reader_errno " << reader_errno;
    EXPECT_TRUE(calls_over(reader, row.first, initial_queries));
    EXPECT_EQ(get_pipeline_window(h), window_of(row.first));

    // The switch changes; the open connection stays as it is.
    set_use_tcp(row.use_tcp_at_reconnection);
    reader.clear_calls();
    EXPECT_EQ(tags_available(h, 0), 0);
    EXPECT_TRUE(calls_over(reader, row.first, {proc_tags_available}));
    EXPECT_EQ(get_pipeline_window(h), window_of(row.first)) << "the connection's own transport";

    // The connection goes ...
    switch (how) {
    case Reconnection::failed_call:
        drop_connection(reader, h);
        break;
    case Reconnection::reader_restarted:
        reader.stop();
        EXPECT_EQ(tags_available(h, 0), -1);
        reader.start();
        reader.clear_calls();
        break;
    case Reconnection::reconnect_reader:
        drop_connection(reader, h);
        break;
    }
    // ... and, until the next one is made, the window is that of the
    // transport it will use.
    EXPECT_EQ(get_pipeline_window(h), window_of(row.second)) << "while not connected";
    EXPECT_TRUE(reader.calls().empty()) << "get_pipeline_window connected the reader";

    // The next connection.
    if (how == Reconnection::reconnect_reader) {
        EXPECT_EQ(reconnect_reader(h), h) << "reader_errno " << reader_errno;
        EXPECT_TRUE(calls_over(reader, row.second, initial_queries));
        reader.clear_calls();
        EXPECT_EQ(tags_available(h, 0), 0);
        EXPECT_TRUE(calls_over(reader, row.second, {proc_tags_available}));
    } else {
        EXPECT_EQ(tags_available(h, 0), 0) << "reader_errno " << reader_errno;
        EXPECT_TRUE(calls_over(reader, row.second, concat(initial_queries, {proc_tags_available})));
    }
    EXPECT_EQ(get_pipeline_window(h), window_of(row.second));
    EXPECT_EQ(close_reader(h), 0);
}

std::string row_name(const testing::TestParamInfo<std::tuple<std::size_t, Reconnection>>& info)
{
    return std::string(rows[std::get<0>(info.param)].name) + "_" +
           reconnection_names[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Rows, TransportOfEachConnection,
                         testing::Combine(testing::Range<std::size_t>(0, std::size(rows)),
                                          testing::ValuesIn(reconnections)),
                         row_name);

// ---------------------------------------------------------------------------
// Transports that are neither: no handle, no call, -100.

TEST(OpenReaderOver, RefusesATransportThatIsNeither)
{
    constexpr const char* host = "127.0.57.4";
    auto reader = start_reader(host);
    const int transports[] = {0, 3, -1, QDAPI_TRANSPORT_UDP | QDAPI_TRANSPORT_TCP, INT_MIN, INT_MAX};
    for (const int transport : transports) {
        SCOPED_TRACE("transport " + std::to_string(transport));
        reader_errno = 0;
        qdapi_clear_error();
        EXPECT_EQ(open_reader_over(host, transport), nullptr);
        EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
        const qdapi_error* error = qdapi_last_error();
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code, READER_ERROR_INVALID_ARGUMENTS);
        EXPECT_NE(std::string(error->message).find("open_reader_over"), std::string::npos) << error->message;
        EXPECT_TRUE(reader->calls().empty()) << "a refused transport connected";
    }
    // The refusals took no handle: all 128 are still there.
    Handles open;
    for (int i = 0; i < 128; ++i) {
        reader_handle h = open_reader_over(host, i % 2 ? QDAPI_TRANSPORT_TCP : QDAPI_TRANSPORT_UDP);
        ASSERT_NE(h, nullptr) << "open " << i << ": reader_errno " << reader_errno;
        open.add(h);
    }
    reader_errno = 0;
    EXPECT_EQ(open_reader_over(host, QDAPI_TRANSPORT_TCP), nullptr);
    EXPECT_EQ(reader_errno, READER_ERROR_API_MAX_HANDLES);
}

TEST(OpenReaderOver, FailsAsOpenReaderForAMissingHostOrReader)
{
    for (const int transport : {QDAPI_TRANSPORT_UDP, QDAPI_TRANSPORT_TCP}) {
        SCOPED_TRACE("transport " + std::to_string(transport));
        qdapi_clear_error();
        EXPECT_EQ(open_reader_over(nullptr, transport), nullptr);
        EXPECT_EQ(qdapi_last_error()->code, READER_ERROR_INVALID_ARGUMENTS);
        // Nothing serves there.
        reader_errno = 0;
        EXPECT_EQ(open_reader_over("127.0.57.5", transport), nullptr);
        EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
    }
}

// ---------------------------------------------------------------------------
// Two threads, each with a reader of its own transport, opening, losing and
// regaining connections while a third flips use_tcp all along.

TEST(TransportPerReader, KeptByEachReaderWhileAnotherThreadFlipsTheSwitch)
{
    struct Side {
        const char* host;
        int transport;
        Transport expected;
        std::unique_ptr<qdsim::VirtualReader> reader;
        std::vector<std::string> faults;
    };
    Side sides[] = {{"127.0.57.2", QDAPI_TRANSPORT_UDP, Transport::udp, nullptr, {}},
                    {"127.0.57.3", QDAPI_TRANSPORT_TCP, Transport::tcp, nullptr, {}}};
    for (Side& side : sides)
        side.reader = start_reader(side.host);

    const Switch restore(use_tcp, 0);
    std::atomic<int> working{2};
    std::thread flipper([&] {
        for (int value = 1; working.load() > 0; value ^= 1) {
            set_use_tcp(value);
            std::this_thread::yield();
        }
    });

    constexpr int rounds = 15;
    auto work = [&](Side& side) {
        qdsim::VirtualReader& reader = *side.reader;
        auto check = [&](const char* when, const std::vector<uint32_t>& want) {
            if (auto result = calls_over(reader, side.expected, want); !result)
                side.faults.push_back(std::string(when) + ": " + result.message());
            reader.clear_calls();
        };
        for (int round = 0; round < rounds; ++round) {
            reader.clear_calls();
            reader_handle h = open_reader_over(side.host, side.transport);
            if (!h) {
                side.faults.push_back("open: reader_errno " + std::to_string(reader_errno));
                continue;
            }
            check("open", initial_queries);
            // A failed call drops the connection; the next call makes another.
            reader.inject(proc_tags_available, error_reply(1));
            if (tags_available(h, 0) != -1)
                side.faults.push_back("the injected failure did not fail");
            reader.clear_calls();
            if (get_pipeline_window(h) != window_of(side.expected))
                side.faults.push_back("window while not connected: " + std::to_string(get_pipeline_window(h)));
            if (tags_available(h, 0) != 0)
                side.faults.push_back("tags_available after the drop failed");
            check("after a failed call", concat(initial_queries, {proc_tags_available}));
            // Once more, connected again by reconnect_reader.
            reader.inject(proc_tags_available, error_reply(1));
            static_cast<void>(tags_available(h, 0));
            reader.clear_calls();
            if (reconnect_reader(h) != h)
                side.faults.push_back("reconnect_reader failed");
            check("reconnect_reader", initial_queries);
            close_reader(h);
        }
        working.fetch_sub(1);
    };
    std::thread udp_side(work, std::ref(sides[0]));
    std::thread tcp_side(work, std::ref(sides[1]));
    udp_side.join();
    tcp_side.join();
    flipper.join();

    for (const Side& side : sides)
        EXPECT_TRUE(side.faults.empty()) << side.host << ": " << testing::PrintToString(side.faults);
}

}  // namespace
