// Replies that wait: delay faults and a reader's latency.  A waiting reply
// must not hold up the other virtual readers of the process, must still
// carry the right answer, and must not outlive its reader; and the server
// loop must end safely whichever thread lets go of it last.  Talked to with
// bare libtirpc clients.  "Not held up" is shown by order: a call to one
// reader returns while the call to another is still pending.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <rpc/pmap_clnt.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "daemon_options.h"
#include "raw_client.h"
#include "server_loop.h"
#include "virtual_reader.h"

using namespace std::chrono_literals;
using qdsim::Fault;
using qdsim::FaultKind;
using qdsim::Transport;
using qdsim::VirtualReader;
using qdsim::testing::RawClient;
using qdsim::testing::Result;

namespace {

// The reader whose replies wait, and the one that must not wait for it.
constexpr const char* kSlow = "127.0.9.1";
constexpr const char* kQuick = "127.0.9.2";

qdsim::Options at(const std::string& address, uint32_t hwid = qdsim::Hardware{}.hwid[0])
{
    qdsim::Options o;
    o.address = address;
    o.hardware.hwid[0] = hwid;
    return o;
}

Fault delayed(std::chrono::milliseconds by, int count = -1) { return Fault{FaultKind::delay, count, by}; }

// Long enough to never end within a test: such a reply only ever ends by
// its reader stopping.
constexpr std::chrono::milliseconds kForever = std::chrono::hours(1);

struct Hwid {
    clnt_stat stat = RPC_FAILED;
    uint32_t hwid = 0;
};

Hwid get_hwid(RawClient& c, int slot = 0)
{
    Result<wire::hwid_result> r(qdsim::detail::xdr_filter(wire::xdr_hwid_result));
    clnt_stat s = c.call(GET_HWID, xdr_int, &slot, wire::xdr_hwid_result, &r.value);
    return {s, r.value.hwid};
}

clnt_stat ping(RawClient& c) { return c.call(NULLPROC, xdr_void, static_cast<void*>(nullptr)); }

// GET_HWID from a client of its own on another thread.  The client goes
// to the program's port straight away: a reader with a latency answers the
// port mapper late too.
std::future<Hwid> get_hwid_async(const VirtualReader& r, Transport t,
                                 std::chrono::milliseconds timeout = std::chrono::milliseconds(30000))
{
    return std::async(std::launch::async, [address = r.address(), port = r.port(t), t, timeout] {
        RawClient c(address, t, timeout, port);
        return get_hwid(c);
    });
}

template <class T>
bool pending(std::future<T>& f)
{
    return f.wait_for(0s) == std::future_status::timeout;
}

// Waits for something the reader does on its own; false if it never does.
template <class Pred>
bool eventually(Pred pred)
{
    for (int i = 0; i < 12000; ++i) {
        if (pred())
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return pred();
}

int open_fds()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr)
            ++n;
        closedir(d);
    }
    return n;
}

std::string transport_name(const ::testing::TestParamInfo<Transport>& info)
{
    return info.param == Transport::udp ? "udp" : "tcp";
}

}  // namespace

// --- Waiting replies hold up no other reader -----------------------------------

struct Holding {
    FaultKind kind;
    Transport transport;
};

class WaitingReply : public ::testing::TestWithParam<Holding> {};

INSTANTIATE_TEST_SUITE_P(
    Sim, WaitingReply,
    ::testing::Values(Holding{FaultKind::delay, Transport::udp}, Holding{FaultKind::delay, Transport::tcp},
                      Holding{FaultKind::drop, Transport::udp}, Holding{FaultKind::drop, Transport::tcp}),
    [](const auto& info) {
        return std::string(info.param.kind == FaultKind::delay ? "delay_" : "drop_") +
               (info.param.transport == Transport::udp ? "udp" : "tcp");
    });

TEST_P(WaitingReply, DoesNotHoldUpAnotherReader)
{
    VirtualReader slow(at(kSlow, 0xA)), quick(at(kQuick, 0xB));
    slow.start();
    quick.start();
    slow.inject(GET_HWID, Fault{GetParam().kind, -1, kForever});

    // The UDP client gives up after its time-out (a few seconds: far longer
    // than the calls to the other reader take); the TCP one when the reader
    // closes the connection.
    auto held = get_hwid_async(slow, GetParam().transport, 3000ms);
    ASSERT_TRUE(eventually([&] { return slow.count(GET_HWID) == 1; }));
    for (Transport t : {Transport::udp, Transport::tcp}) {
        RawClient c(kQuick, t);
        Hwid h = get_hwid(c);
        EXPECT_EQ(h.stat, RPC_SUCCESS);
        EXPECT_EQ(h.hwid, 0xBu);
        EXPECT_TRUE(pending(held)) << "the other reader answered only after the held call ended";
    }
    // The held reader itself goes on serving its other connections.
    RawClient other(kSlow, Transport::tcp);
    EXPECT_EQ(ping(other), RPC_SUCCESS);
    EXPECT_TRUE(pending(held));

    slow.stop();
    EXPECT_NE(held.get().stat, RPC_SUCCESS);
}

TEST(SimWaitingReplies, ManyReadersWithLatencyAnswerSideBySide)
{
    constexpr int kReaders = 4;
    std::vector<std::unique_ptr<VirtualReader>> readers;
    std::vector<std::future<Hwid>> calls;
    for (int i = 0; i < kReaders; ++i) {
        qdsim::Options o = at("127.0.9." + std::to_string(10 + i), 0x100u + i);
        o.latency = 1500ms;
        readers.push_back(std::make_unique<VirtualReader>(o));
        readers.back()->start();
    }
    for (int i = 0; i < kReaders; ++i)
        calls.push_back(get_hwid_async(*readers[i], i % 2 ? Transport::tcp : Transport::udp));
    // Every reader takes its call while no reader has answered yet: none of
    // them waited for another one's reply before reading its own call.
    ASSERT_TRUE(eventually([&] {
        for (auto& r : readers)
            if (r->count(GET_HWID) != 1)
                return false;
        return true;
    }));
    for (auto& c : calls)
        EXPECT_TRUE(pending(c));
    for (int i = 0; i < kReaders; ++i) {
        Hwid h = calls[i].get();
        EXPECT_EQ(h.stat, RPC_SUCCESS) << i;
        EXPECT_EQ(h.hwid, 0x100u + i) << i;
    }
}

// --- Waiting replies carry the right answer ---------------------------------------

class DelayedReply : public ::testing::TestWithParam<Transport> {};

INSTANTIATE_TEST_SUITE_P(Sim, DelayedReply, ::testing::Values(Transport::udp, Transport::tcp), transport_name);

TEST_P(DelayedReply, CarriesTheAnswerOfItsTimeAndTheReaderServesOn)
{
    VirtualReader r(at(kSlow, 0x1111));
    r.start();
    r.inject(GET_HWID, delayed(1500ms, 1));
    auto late = get_hwid_async(r, GetParam());
    ASSERT_TRUE(eventually([&] { return r.count(GET_HWID) == 1; }));
    // The answer is made when the reply leaves, as by a reader that took
    // that long: it sees what changed meanwhile.
    qdsim::Hardware hw;
    hw.hwid[0] = 0x2222;
    r.set_hardware(hw);
    // A second caller over the same transport is answered too (over UDP
    // only once the delayed reply is out: the socket is read no further
    // until then).
    auto next = get_hwid_async(r, GetParam());

    Hwid h = late.get();
    EXPECT_EQ(h.stat, RPC_SUCCESS);
    EXPECT_EQ(h.hwid, 0x2222u);
    Hwid n = next.get();
    EXPECT_EQ(n.stat, RPC_SUCCESS);
    EXPECT_EQ(n.hwid, 0x2222u);

    // Later calls: the argument survives a wait too (slot 7 is one the
    // reader lacks).
    RawClient c(kSlow, GetParam());
    r.inject(GET_HWID, delayed(100ms, 1));
    Hwid empty = get_hwid(c, 7);
    EXPECT_EQ(empty.stat, RPC_SUCCESS);
    EXPECT_EQ(empty.hwid, 0xFFFFFFFFu);
    EXPECT_EQ(ping(c), RPC_SUCCESS);
    EXPECT_EQ(r.count(GET_HWID), 3u);
}

namespace {

// One record-marked call message of the reader program.
std::vector<char> call_record(uint32_t xid, uint32_t proc, int slot)
{
    rpc_msg msg{};
    msg.rm_xid = xid;
    msg.rm_direction = CALL;
    msg.rm_call.cb_rpcvers = RPC_MSG_VERSION;
    msg.rm_call.cb_prog = READER_RPC_PROG;
    msg.rm_call.cb_vers = READER_RPC_VERS;
    msg.rm_call.cb_proc = proc;
    msg.rm_call.cb_cred = opaque_auth{AUTH_NONE, nullptr, 0};
    msg.rm_call.cb_verf = opaque_auth{AUTH_NONE, nullptr, 0};
    std::vector<char> out(512);
    XDR x;
    xdrmem_create(&x, out.data() + 4, static_cast<u_int>(out.size() - 4), XDR_ENCODE);
    EXPECT_TRUE(xdr_callmsg(&x, &msg));
    EXPECT_TRUE(xdr_int(&x, &slot));
    const uint32_t len = xdr_getpos(&x);
    xdr_destroy(&x);
    const uint32_t mark = htonl(0x80000000u | len);
    std::memcpy(out.data(), &mark, 4);
    out.resize(4 + len);
    return out;
}

bool read_exactly(int fd, char* buf, size_t n)
{
    while (n > 0) {
        ssize_t got = read(fd, buf, n);
        if (got <= 0)
            return false;
        buf += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

struct HwidReply {
    uint32_t xid = 0;
    bool accepted = false;
    uint32_t hwid = 0;
};

HwidReply read_hwid_reply(int fd)
{
    HwidReply out;
    uint32_t mark = 0;
    if (!read_exactly(fd, reinterpret_cast<char*>(&mark), 4))
        return out;
    std::vector<char> body(ntohl(mark) & 0x7FFFFFFFu);
    if (!read_exactly(fd, body.data(), body.size()))
        return out;
    Result<wire::hwid_result> res(qdsim::detail::xdr_filter(wire::xdr_hwid_result));
    rpc_msg reply{};
    reply.acpted_rply.ar_verf = opaque_auth{AUTH_NONE, nullptr, 0};
    reply.acpted_rply.ar_results.where = reinterpret_cast<caddr_t>(&res.value);
    reply.acpted_rply.ar_results.proc = qdsim::detail::xdr_filter(wire::xdr_hwid_result);
    XDR x;
    xdrmem_create(&x, body.data(), static_cast<u_int>(body.size()), XDR_DECODE);
    const bool ok = xdr_replymsg(&x, &reply);
    xdr_destroy(&x);
    out.xid = reply.rm_xid;
    out.accepted = ok && reply.rm_reply.rp_stat == MSG_ACCEPTED && reply.acpted_rply.ar_stat == SUCCESS;
    out.hwid = res.value.hwid;
    return out;
}

}  // namespace

// libtirpc reads a request that arrived right behind another on the same
// connection as soon as the dispatcher returns; the reply to the first must
// not go out under the second one's transaction id.
TEST(SimWaitingReplies, CallsSentBackToBackOverTcpAreEachAnsweredUnderTheirOwnId)
{
    qdsim::Options o = at(kSlow, 0x5150);
    o.hardware.hwid[1] = 0x5151;
    o.latency = 50ms;
    VirtualReader r(o);
    r.start();
    r.inject(GET_HWID, delayed(200ms, 1));

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(r.port(Transport::tcp));
    inet_pton(AF_INET, kSlow, &sin.sin_addr);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
    std::vector<char> both = call_record(0x1001, GET_HWID, 0);
    std::vector<char> second = call_record(0x1002, GET_HWID, 1);
    both.insert(both.end(), second.begin(), second.end());
    ASSERT_EQ(write(fd, both.data(), both.size()), static_cast<ssize_t>(both.size()));

    HwidReply a = read_hwid_reply(fd), b = read_hwid_reply(fd);
    close(fd);
    EXPECT_TRUE(a.accepted);
    EXPECT_TRUE(b.accepted);
    EXPECT_EQ(a.xid, 0x1001u);
    EXPECT_EQ(a.hwid, 0x5150u);
    EXPECT_EQ(b.xid, 0x1002u);
    EXPECT_EQ(b.hwid, 0x5151u);
}

// --- Latency --------------------------------------------------------------------------

TEST(SimLatency, HoldsEveryKindOfReply)
{
    qdsim::Options o = at(kSlow, 0xCAFE);
    o.latency = 2000ms;
    VirtualReader slow(o), quick(at(kQuick, 0xB));
    slow.start();
    quick.start();
    slow.inject(SEARCH_START, Fault{FaultKind::error_reply, -1, {}});
    slow.inject(GET_CONNECTED_ANTENNAS, Fault{FaultKind::garbage_reply, -1, {}});

    // Each call on a connection of its own: a reply pending on one keeps
    // nothing else of that connection from being read.
    auto on_tcp = [port = slow.port(Transport::tcp)](auto fn) {
        return std::async(std::launch::async, [fn, port] {
            RawClient c(kSlow, Transport::tcp, 30000ms, port);
            return fn(c);
        });
    };
    auto answer = get_hwid_async(slow, Transport::udp);
    auto null = on_tcp([](RawClient& c) { return ping(c); });
    auto error = on_tcp([](RawClient& c) {
        wire::search_params p{};
        short id = 0;
        return c.call(SEARCH_START, wire::xdr_search_params, &p, xdr_short, &id);
    });
    auto garbage = on_tcp([](RawClient& c) {
        wire::antenna_list ants{};
        return c.call(GET_CONNECTED_ANTENNAS, wire::xdr_antenna_list, &ants);
    });
    auto unknown = on_tcp([](RawClient& c) {
        int out = 0;
        return c.call(13, xdr_int, &out);
    });
    ASSERT_TRUE(eventually([&] {
        return slow.count(GET_HWID) == 1 && slow.count(NULLPROC) == 1 && slow.count(SEARCH_START) == 1 &&
               slow.count(GET_CONNECTED_ANTENNAS) == 1 && slow.count(13) == 1;
    }));
    RawClient c(kQuick, Transport::udp);
    EXPECT_EQ(get_hwid(c).stat, RPC_SUCCESS);
    EXPECT_TRUE(pending(answer));
    EXPECT_TRUE(pending(null));
    EXPECT_TRUE(pending(error));
    EXPECT_TRUE(pending(garbage));
    EXPECT_TRUE(pending(unknown));

    Hwid h = answer.get();
    EXPECT_EQ(h.stat, RPC_SUCCESS);
    EXPECT_EQ(h.hwid, 0xCAFEu);
    EXPECT_EQ(null.get(), RPC_SUCCESS);
    EXPECT_EQ(error.get(), RPC_SYSTEMERROR);
    EXPECT_EQ(garbage.get(), RPC_CANTDECODERES);
    EXPECT_EQ(unknown.get(), RPC_PROCUNAVAIL);
    // The port mapper's replies cross the same network.
    sockaddr_in pm{};
    pm.sin_family = AF_INET;
    inet_pton(AF_INET, kSlow, &pm.sin_addr);
    EXPECT_EQ(pmap_getport(&pm, READER_RPC_PROG, READER_RPC_VERS, IPPROTO_TCP), slow.port(Transport::tcp));
}

// --- Stopping with replies pending --------------------------------------------------

TEST(SimWaitingReplies, ReaderStoppedWithRepliesPendingStopsCleanlyAndServesAgain)
{
    VirtualReader r(at(kSlow, 0xE));
    r.start();
    r.stop();
    const int before = open_fds();
    for (int round = 0; round < 3; ++round) {
        r.start();
        r.inject(GET_HWID, delayed(kForever));
        auto udp = get_hwid_async(r, Transport::udp, 2000ms);
        auto tcp = get_hwid_async(r, Transport::tcp);
        ASSERT_TRUE(eventually([&] { return r.count(GET_HWID) == 2; }));
        r.stop();
        EXPECT_NE(tcp.get().stat, RPC_SUCCESS);
        EXPECT_NE(udp.get().stat, RPC_SUCCESS);
        r.clear_faults();
        r.clear_calls();
    }
    EXPECT_EQ(open_fds(), before);

    r.start();
    RawClient c(kSlow, Transport::tcp);
    Hwid h = get_hwid(c);
    EXPECT_EQ(h.stat, RPC_SUCCESS);
    EXPECT_EQ(h.hwid, 0xEu);
}

// --- The end of the server loop ------------------------------------------------------

TEST(SimServerLoop, LastHolderMayLetGoOnTheServerThread)
{
    using qdsim::detail::ServerLoop;
    {
        auto loop = ServerLoop::acquire();
        ServerLoop* raw = loop.get();
        raw->call([&loop] { loop.reset(); });
        EXPECT_EQ(loop, nullptr);
    }
    {
        // The last reader of the process destroyed by a command of the
        // server thread, with a reply pending.
        auto reader = std::make_unique<VirtualReader>(at(kSlow));
        reader->start();
        reader->set_latency(kForever);
        auto held = get_hwid_async(*reader, Transport::tcp);
        ASSERT_TRUE(eventually([&] { return reader->count(GET_HWID) == 1; }));
        ServerLoop* raw = ServerLoop::acquire().get();   // the reader holds it
        raw->call([&reader] { reader.reset(); });
        EXPECT_EQ(reader, nullptr);
        EXPECT_NE(held.get().stat, RPC_SUCCESS);
    }
    // A new loop serves the next readers.
    VirtualReader next(at(kQuick, 0xB));
    next.start();
    RawClient c(kQuick, Transport::udp);
    EXPECT_EQ(get_hwid(c).hwid, 0xBu);
}

// --- The daemon's options ------------------------------------------------------------

TEST(SimDaemonOptions, LatencyAndVerbose)
{
    auto parse = [](std::vector<std::string> args, qdsim::DaemonOptions& out) {
        args.insert(args.begin(), "qdsim");
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        std::string error;
        return qdsim::parse_daemon_options(static_cast<int>(argv.size()), argv.data(), out, error);
    };
    qdsim::DaemonOptions plain, set, bad;
    EXPECT_EQ(parse({}, plain), qdsim::ParseOutcome::run);
    EXPECT_EQ(plain.reader.latency, 0ms);
    EXPECT_FALSE(plain.reader.verbose);
    EXPECT_EQ(parse({"--latency", "250", "--verbose"}, set), qdsim::ParseOutcome::run);
    EXPECT_EQ(set.reader.latency, 250ms);
    EXPECT_TRUE(set.reader.verbose);
    EXPECT_EQ(parse({"--latency", "-1"}, bad), qdsim::ParseOutcome::bad_usage);
}

TEST(SimDaemonOptions, FaultsByProcedureNameOrNumber)
{
    struct Row {
        const char* text;
        bool ok;
        FaultKind kind;
        int ms, count, after;
    };
    const Row rows[] = {
        {"tagdb_pop:trickle", true, FaultKind::trickle, 1000, -1, 0},
        {"tagdb_pop:delay:3500", true, FaultKind::delay, 3500, -1, 0},
        {"null:pause:4000:1:2", true, FaultKind::pause, 4000, 1, 2},
        {"2:wrong_xid:0:all", true, FaultKind::wrong_xid, 0, -1, 0},
        {"tagdb_pop:reset", true, FaultKind::reset, 0, -1, 0},
        {"tagdb_pop", false, {}, 0, 0, 0},
        {"no_such_procedure:drop", false, {}, 0, 0, 0},
        {"tagdb_pop:melt", false, {}, 0, 0, 0},
        {"tagdb_pop:delay:-5", false, {}, 0, 0, 0},
        {"tagdb_pop:delay:1:2:3:4", false, {}, 0, 0, 0},
        {":drop", false, {}, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        uint32_t proc = 0;
        Fault fault;
        ASSERT_EQ(qdsim::parse_fault(row.text, proc, fault), row.ok);
        if (!row.ok)
            continue;
        EXPECT_EQ(fault.kind, row.kind);
        EXPECT_EQ(fault.delay, std::chrono::milliseconds(row.ms));
        EXPECT_EQ(fault.count, row.count);
        EXPECT_EQ(fault.after, row.after);
    }
    uint32_t proc = 99;
    Fault fault;
    ASSERT_TRUE(qdsim::parse_fault("null:drop", proc, fault));
    EXPECT_EQ(proc, 0u);
}
