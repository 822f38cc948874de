// A reader across a network (link delay) against a reader that takes its
// time (latency): a client with many calls in flight on one socket gets them
// all back after about one link delay, in order, while a latency answers
// them one after another.  The calls are written by hand, all of them before
// any reply is read, so that nothing in a client library serialises them.
// Times are only compared with what the models predict: a lower bound that
// a slow machine can only exceed, and an upper bound far above the
// concurrent model and far below the sequential one.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <rpc/pmap_clnt.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "daemon_options.h"
#include "raw_client.h"
#include "virtual_reader.h"
#include "wire_link.h"

using namespace std::chrono_literals;
using qdsim::Transport;
using qdsim::VirtualReader;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr const char* kReader = "127.0.41.1";
constexpr const char* kMapped = "127.0.41.2";
constexpr const char* kFlood = "127.0.41.3";
constexpr auto kGiveUp = 20s;   // only ever reached when a reply never comes

// NULL calls with consecutive transaction ids, written before any reply is
// read, and their replies read back as they come.
class PipelinedClient {
public:
    PipelinedClient(const std::string& address, uint16_t port, Transport t) : tcp_(t == Transport::tcp)
    {
        fd_ = socket(AF_INET, tcp_ ? SOCK_STREAM : SOCK_DGRAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &sin.sin_addr);
        connected_ = fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
    }
    ~PipelinedClient()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    PipelinedClient(const PipelinedClient&) = delete;
    PipelinedClient& operator=(const PipelinedClient&) = delete;

    bool ok() const { return connected_; }

    // Over TCP the calls go in one write, as records back to back.
    bool send_calls(uint32_t first_xid, int n)
    {
        std::vector<char> stream;
        for (int i = 0; i < n; ++i) {
            const auto call = encode_call(first_xid + static_cast<uint32_t>(i));
            if (tcp_) {
                const uint32_t mark = htonl(0x80000000u | static_cast<uint32_t>(call.size()));
                const auto* m = reinterpret_cast<const char*>(&mark);
                stream.insert(stream.end(), m, m + 4);
                stream.insert(stream.end(), call.begin(), call.end());
            } else if (send(fd_, call.data(), call.size(), 0) != static_cast<ssize_t>(call.size())) {
                return false;
            }
        }
        for (std::size_t sent = 0; sent < stream.size();) {
            const ssize_t k = send(fd_, stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
            if (k <= 0)
                return false;
            sent += static_cast<std::size_t>(k);
        }
        return true;
    }

    // The transaction id of the next successful reply; none when nothing
    // (or something else) comes.
    std::optional<uint32_t> next_reply()
    {
        std::vector<char> reply;
        if (tcp_) {
            if (!read_exactly(4, reply))
                return std::nullopt;
            uint32_t mark = 0;
            std::memcpy(&mark, reply.data(), 4);
            reply.clear();
            if (!read_exactly(ntohl(mark) & 0x7FFFFFFFu, reply))
                return std::nullopt;
        } else {
            if (!readable())
                return std::nullopt;
            reply.resize(65536);
            const ssize_t k = recv(fd_, reply.data(), reply.size(), 0);
            if (k <= 0)
                return std::nullopt;
            reply.resize(static_cast<std::size_t>(k));
        }
        // xid, REPLY, MSG_ACCEPTED, a verifier of flavour 0 and length 0,
        // SUCCESS: a NULL call's reply.
        if (reply.size() != 24)
            return std::nullopt;
        uint32_t words[6];
        std::memcpy(words, reply.data(), sizeof words);
        if (ntohl(words[1]) != REPLY || ntohl(words[2]) != MSG_ACCEPTED || ntohl(words[5]) != SUCCESS)
            return std::nullopt;
        return ntohl(words[0]);
    }

private:
    static std::vector<char> encode_call(uint32_t xid)
    {
        rpc_msg msg{};
        msg.rm_xid = xid;
        msg.rm_direction = CALL;
        msg.rm_call.cb_rpcvers = RPC_MSG_VERSION;
        msg.rm_call.cb_prog = READER_RPC_PROG;
        msg.rm_call.cb_vers = READER_RPC_VERS;
        msg.rm_call.cb_proc = NULLPROC;
        msg.rm_call.cb_cred = _null_auth;
        msg.rm_call.cb_verf = _null_auth;
        std::vector<char> out(256);
        XDR x;
        xdrmem_create(&x, out.data(), static_cast<u_int>(out.size()), XDR_ENCODE);
        EXPECT_TRUE(xdr_callmsg(&x, &msg));
        out.resize(xdr_getpos(&x));
        xdr_destroy(&x);
        return out;
    }

    bool readable() const
    {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, static_cast<int>(std::chrono::duration_cast<milliseconds>(kGiveUp).count())) == 1;
    }

    bool read_exactly(std::size_t n, std::vector<char>& out)
    {
        while (out.size() < n) {
            if (!readable())
                return false;
            char buffer[4096];
            const std::size_t want = std::min(sizeof buffer, n - out.size());
            const ssize_t k = recv(fd_, buffer, want, 0);
            if (k <= 0)
                return false;
            out.insert(out.end(), buffer, buffer + k);
        }
        return true;
    }

    int fd_ = -1;
    bool tcp_;
    bool connected_ = false;
};

// When the replies to n calls sent at once came, from the sending on.
struct Arrivals {
    std::vector<uint32_t> xids;
    std::vector<milliseconds> at;
};

Arrivals call_all_at_once(const VirtualReader& reader, Transport t, int n)
{
    PipelinedClient client(reader.address(), reader.port(t), t);
    EXPECT_TRUE(client.ok());
    Arrivals out;
    const auto start = Clock::now();
    if (!client.send_calls(1, n))
        return out;
    for (int i = 0; i < n; ++i) {
        const auto xid = client.next_reply();
        if (!xid)
            break;
        out.xids.push_back(*xid);
        out.at.push_back(std::chrono::duration_cast<milliseconds>(Clock::now() - start));
    }
    return out;
}

std::vector<uint32_t> one_to(int n)
{
    std::vector<uint32_t> v;
    for (int i = 1; i <= n; ++i)
        v.push_back(static_cast<uint32_t>(i));
    return v;
}

std::string transport_name(const ::testing::TestParamInfo<Transport>& info)
{
    return info.param == Transport::udp ? "udp" : "tcp";
}

class Link : public ::testing::TestWithParam<Transport> {};

struct Timing {
    const char* what;
    milliseconds latency;
    milliseconds link;
    int calls;
    milliseconds first_not_before;   // the first reply comes no sooner
    milliseconds last_not_before;    // nor does the last
    std::optional<milliseconds> last_before;   // and comes before this
};

TEST_P(Link, CallsInFlightComeBackInOrderAsTheModelSays)
{
    const Timing cases[] = {
        // Concurrent: all back after about one delay.  Sequential would be
        // 20 x 50 = 1000 ms; half of it is the bound.
        {"link delay", 0ms, 50ms, 20, 50ms, 50ms, 500ms},
        // A reader that takes 30 ms over every call answers them one after
        // another, however many arrive together.
        {"latency", 30ms, 0ms, 10, 30ms, 300ms, std::nullopt},
        // Both: the reader's time adds up, the link's is paid once.
        // Sequential would be 10 x 210 = 2100 ms.
        {"latency and link delay", 10ms, 200ms, 10, 210ms, 300ms, 1050ms},
    };
    for (const Timing& c : cases) {
        SCOPED_TRACE(c.what);
        qdsim::Options o;
        o.address = kReader;
        o.latency = c.latency;
        o.link_delay = c.link;
        VirtualReader reader(o);
        reader.start();
        const Arrivals got = call_all_at_once(reader, GetParam(), c.calls);
        ASSERT_EQ(got.xids, one_to(c.calls)) << "every reply, in the order of the calls";
        EXPECT_GE(got.at.front(), c.first_not_before);
        EXPECT_GE(got.at.back(), c.last_not_before);
        if (c.last_before) {
            EXPECT_LT(got.at.back(), *c.last_before) << "the calls were answered one after another";
        }
    }
}

// The reader changes its link while serving; replies already on their way
// are not overtaken.
TEST_P(Link, ALinkChangedWhileServingTakesEffect)
{
    qdsim::Options o;
    o.address = kReader;
    VirtualReader reader(o);
    reader.start();
    reader.set_link_delay(100ms);
    const Arrivals slow = call_all_at_once(reader, GetParam(), 5);
    ASSERT_EQ(slow.xids, one_to(5));
    EXPECT_GE(slow.at.front(), 100ms);
    reader.set_link_delay(0ms);
    const Arrivals quick = call_all_at_once(reader, GetParam(), 5);
    EXPECT_EQ(quick.xids, one_to(5));
}

// More replies than the link holds: over TCP none is lost, and the
// connection is read again once the link has drained, so the last reply
// comes after two crossings at least.
TEST(LinkBound, AFullLinkStopsReadingATcpConnectionAndLosesNothing)
{
    constexpr milliseconds kDelay = 300ms;
    const int n = static_cast<int>(qdsim::detail::Link::max_replies) * 2;
    qdsim::Options o;
    o.address = kFlood;
    o.link_delay = kDelay;
    VirtualReader reader(o);
    reader.start();
    const Arrivals got = call_all_at_once(reader, Transport::tcp, n);
    ASSERT_EQ(got.xids, one_to(n));
    EXPECT_GE(got.at.back(), 2 * kDelay);
}

// The port mapper sits behind the same link.
TEST(LinkPortMapper, ThePortMappersRepliesCrossTheLinkToo)
{
    qdsim::Options o;
    o.address = kMapped;
    o.link_delay = 150ms;
    VirtualReader reader(o);
    reader.start();
    for (const auto protocol : {IPPROTO_UDP, IPPROTO_TCP}) {
        sockaddr_in mapper{};
        mapper.sin_family = AF_INET;
        inet_pton(AF_INET, kMapped, &mapper.sin_addr);
        const auto start = Clock::now();
        const uint16_t port = pmap_getport(&mapper, READER_RPC_PROG, READER_RPC_VERS, static_cast<u_int>(protocol));
        const auto took = Clock::now() - start;
        EXPECT_EQ(port, reader.port(protocol == IPPROTO_UDP ? Transport::udp : Transport::tcp));
        EXPECT_GE(took, 150ms);
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, Link, ::testing::Values(Transport::udp, Transport::tcp), transport_name);

TEST(LinkOption, MillisecondsWithUpToThreeDecimals)
{
    struct Case {
        const char* text;
        std::optional<long long> micros;   // none: refused
    };
    const Case cases[] = {
        {"0", 0},         {"20", 20000},    {"0.5", 500},       {"1.234", 1234}, {"0x10", std::nullopt},
        {"1.2345", std::nullopt},           {".5", std::nullopt}, {"5.", std::nullopt},
        {"-1", std::nullopt},               {"+1", std::nullopt}, {"", std::nullopt},
        {"1.5ms", std::nullopt},            {"3600000", 3600000000LL},
        {"3600000.001", std::nullopt},      {"3600001", std::nullopt},
    };
    for (const Case& c : cases) {
        const char* argv[] = {"qdsim", "--link-delay", c.text};
        qdsim::DaemonOptions options;
        std::string error;
        const auto outcome = qdsim::parse_daemon_options(3, const_cast<char**>(argv), options, error);
        if (c.micros) {
            ASSERT_EQ(outcome, qdsim::ParseOutcome::run) << c.text << ": " << error;
            EXPECT_EQ(options.reader.link_delay.count(), *c.micros) << c.text;
        } else {
            EXPECT_EQ(outcome, qdsim::ParseOutcome::bad_usage) << c.text;
            EXPECT_NE(error.find("--link-delay"), std::string::npos) << error;
        }
    }
}

TEST(LinkOption, TheHelpTellsLinkFromLatency)
{
    const std::string help = qdsim::daemon_usage();
    EXPECT_NE(help.find("--link-delay MS"), std::string::npos);
    EXPECT_NE(help.find("--latency MS"), std::string::npos);
}

}  // namespace
