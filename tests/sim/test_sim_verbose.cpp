// The virtual reader's report of the calls it receives (Options::verbose,
// qdsim --verbose): one line per call on standard error.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "raw_client.h"
#include "virtual_reader.h"

using namespace std::chrono_literals;
using qdsim::Fault;
using qdsim::FaultKind;
using qdsim::Transport;
using qdsim::VirtualReader;
using qdsim::testing::RawClient;

namespace {

constexpr const char* kAddress = "127.0.9.20";

// The client's port, as the reader sees it calling.
std::string port_of(const RawClient& c)
{
    int fd = -1;
    clnt_control(c.handle(), CLGET_FD, reinterpret_cast<char*>(&fd));
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    return std::to_string(ntohs(sin.sin_port));
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

clnt_stat ping(RawClient& c) { return c.call(NULLPROC, xdr_void, static_cast<void*>(nullptr)); }

}  // namespace

TEST(SimVerbose, ReportsEachCallWithItsTransportCallerAndFault)
{
    qdsim::Options o;
    o.address = kAddress;
    o.verbose = true;
    VirtualReader r(o);
    r.start();
    RawClient udp(kAddress, Transport::udp), tcp(kAddress, Transport::tcp);
    RawClient impatient(kAddress, Transport::udp, 200ms);
    r.inject(SEARCH_START, Fault{FaultKind::error_reply, 1, {}});
    r.inject(GET_CONNECTED_ANTENNAS, Fault{FaultKind::garbage_reply, 1, {}});
    r.inject(TAGDB_POP, Fault{FaultKind::delay, 1, 20ms});
    r.inject(TAGS_AVAILABLE, Fault{FaultKind::drop, 1, {}});

    testing::internal::CaptureStderr();
    EXPECT_EQ(ping(udp), RPC_SUCCESS);
    int slot = 0;
    wire::hwid_result hwid{};
    EXPECT_EQ(tcp.call(GET_HWID, xdr_int, &slot, wire::xdr_hwid_result, &hwid), RPC_SUCCESS);
    xdr_free(qdsim::detail::xdr_filter(wire::xdr_hwid_result), reinterpret_cast<char*>(&hwid));
    wire::search_params params{};
    short id = 0;
    EXPECT_EQ(udp.call(SEARCH_START, wire::xdr_search_params, &params, xdr_short, &id), RPC_SYSTEMERROR);
    wire::antenna_list antennas{};
    EXPECT_EQ(udp.call(GET_CONNECTED_ANTENNAS, wire::xdr_antenna_list, &antennas), RPC_CANTDECODERES);
    wire::tag_record tag{};
    EXPECT_EQ(tcp.call(TAGDB_POP, wire::xdr_tag_record, &tag), RPC_SUCCESS);
    int value = 0;
    u_short available = 0;
    EXPECT_EQ(impatient.call(TAGS_AVAILABLE, xdr_int, &value, xdr_u_short, &available), RPC_TIMEDOUT);
    int out = 0;
    EXPECT_EQ(udp.call(13, xdr_int, &out), RPC_PROCUNAVAIL);
    r.set_latency(5ms);
    EXPECT_EQ(ping(tcp), RPC_SUCCESS);
    const auto lines = lines_of(testing::internal::GetCapturedStderr());

    const std::string u = port_of(udp), t = port_of(tcp), i = port_of(impatient);
    const std::vector<std::string> expected = {
        "null udp " + u,
        "get_hwid tcp " + t,
        "search_start udp " + u + " error_reply",
        "get_connected_antennas udp " + u + " garbage_reply",
        "tagdb_pop tcp " + t + " delay 20 ms",
        "tags_available udp " + i + " drop",
        "13 udp " + u,
        "null tcp " + t + " latency 5 ms",
    };
    ASSERT_EQ(lines.size(), expected.size()) << testing::PrintToString(lines);
    for (std::size_t n = 0; n < lines.size(); ++n) {
        // The caller's address is whichever loopback address the kernel
        // chose to send from; its port is the client's own.
        const std::string& want = expected[n];
        const auto space = want.find(' ', want.find(' ') + 1);
        const std::string pattern = "qdsim 127\\.0\\.9\\.20: " + want.substr(0, space) +
                                    " 127\\.[0-9]+\\.[0-9]+\\.[0-9]+:" + want.substr(space + 1);
        EXPECT_TRUE(std::regex_match(lines[n], std::regex(pattern))) << lines[n] << "\nexpected: " << pattern;
    }
}

TEST(SimVerbose, QuietUnlessAskedFor)
{
    qdsim::Options o;
    o.address = kAddress;
    VirtualReader r(o);
    r.start();
    RawClient c(kAddress, Transport::udp);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ping(c), RPC_SUCCESS);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
