// The virtual reader, run for real on loopback and talked to with a bare
// libtirpc client (no library): answers, call log, faults, lifecycle and
// the port mapper.
#include <dirent.h>
#include <gtest/gtest.h>
#include <rpc/pmap_clnt.h>
#include <rpc/pmap_prot.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "raw_client.h"
#include "virtual_reader.h"

using namespace std::chrono_literals;
using qdsim::Fault;
using qdsim::FaultKind;
using qdsim::Transport;
using qdsim::VirtualReader;
using qdsim::testing::RawClient;
using qdsim::testing::Result;

namespace {

qdsim::Options at(const std::string& address)
{
    qdsim::Options o;
    o.address = address;
    return o;
}

struct Hwid {
    clnt_stat stat;
    uint32_t hwid;
    std::string text;
};

Hwid get_hwid(RawClient& c, int slot)
{
    Result<wire::hwid_result> r(qdsim::detail::xdr_filter(wire::xdr_hwid_result));
    clnt_stat s = c.call(GET_HWID, xdr_int, &slot, wire::xdr_hwid_result, &r.value);
    return {s, r.value.hwid, r.value.text ? r.value.text : "<null>"};
}

clnt_stat ping(RawClient& c) { return c.call(NULLPROC, xdr_void, static_cast<void*>(nullptr)); }

short search_start(RawClient& c, clnt_stat* stat = nullptr)
{
    wire::search_params p{};
    short id = 0;
    clnt_stat s = c.call(SEARCH_START, wire::xdr_search_params, &p, xdr_short, &id);
    if (stat)
        *stat = s;
    return id;
}

sockaddr_in inet(const std::string& address, uint16_t port)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &sin.sin_addr);
    return sin;
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

class BothTransports : public ::testing::TestWithParam<Transport> {};

INSTANTIATE_TEST_SUITE_P(Sim, BothTransports, ::testing::Values(Transport::udp, Transport::tcp),
                         [](const auto& info) { return info.param == Transport::udp ? "udp" : "tcp"; });

}  // namespace

// --- Initial queries ---------------------------------------------------

TEST_P(BothTransports, InitialQueriesAnswerTheConfiguredHardware)
{
    qdsim::Options o = at("127.0.0.2");
    o.hardware.hwid[0] = 0x12345678;
    o.hardware.text[0] = "slot zero";
    o.hardware.hwid[1] = 0x0badf00d;
    o.hardware.text[1] = "slot one";
    o.hardware.antenna_count = 3;
    o.hardware.antenna_connected_mask = 0x8005;
    o.hardware.protocol_bits[0] = 0x0003;
    o.hardware.protocol_bits[15] = 0x8000;
    VirtualReader r(o);
    r.start();
    RawClient c("127.0.0.2", GetParam());
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(ping(c), RPC_SUCCESS);

    Hwid h0 = get_hwid(c, 0), h1 = get_hwid(c, 1);
    EXPECT_EQ(h0.stat, RPC_SUCCESS);
    EXPECT_EQ(h0.hwid, 0x12345678u);
    EXPECT_EQ(h0.text, "slot zero");
    EXPECT_EQ(h1.hwid, 0x0badf00du);
    EXPECT_EQ(h1.text, "slot one");
    for (int slot : {2, -1, 1 << 30}) {
        Hwid h = get_hwid(c, slot);
        EXPECT_EQ(h.stat, RPC_SUCCESS) << slot;
        EXPECT_EQ(h.hwid, 0xFFFFFFFFu) << slot;
        EXPECT_EQ(h.text, "") << slot;
    }

    wire::antenna_list ants{};
    ASSERT_EQ(c.call(GET_CONNECTED_ANTENNAS, wire::xdr_antenna_list, &ants), RPC_SUCCESS);
    EXPECT_EQ(ants.count, 3);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(ants.entries[i].connected != 0, i == 0 || i == 2 || i == 15) << i;

    wire::protocol_list protos{};
    ASSERT_EQ(c.call(GET_SUPPORTED_PROTOCOLS, wire::xdr_protocol_list, &protos), RPC_SUCCESS);
    EXPECT_EQ(protos.bits[0], 0x0003);
    EXPECT_EQ(protos.bits[15], 0x8000);
    for (int i = 1; i < 15; ++i)
        EXPECT_EQ(protos.bits[i], 0) << i;
}

TEST_P(BothTransports, SetHardwareTakesEffectForTheNextCall)
{
    VirtualReader r(at("127.0.0.2"));
    r.start();
    RawClient c("127.0.0.2", GetParam());
    EXPECT_EQ(get_hwid(c, 0).hwid, qdsim::Hardware{}.hwid[0]);
    qdsim::Hardware hw;
    hw.hwid[0] = 7;
    hw.text[0] = "changed";
    r.set_hardware(hw);
    Hwid h = get_hwid(c, 0);
    EXPECT_EQ(h.hwid, 7u);
    EXPECT_EQ(h.text, "changed");
}

TEST_P(BothTransports, OtherProceduresAnswerEmptyResults)
{
    VirtualReader r(at("127.0.0.2"));
    r.start();
    RawClient c("127.0.0.2", GetParam());

    // Strings are never null (a null string cannot be sent); a procedure
    // without behaviour of its own answers them empty.
    for (uint32_t proc : {PROC_1, READ_SETTINGS, GET_FIRMWARE_VERSION, GET_OS_VERSION}) {
        Result<char*> s(qdsim::detail::xdr_filter(xdr_wrapstring));
        ASSERT_EQ(c.call(proc, xdr_wrapstring, &s.value), RPC_SUCCESS) << proc;
        ASSERT_NE(s.value, nullptr) << proc;
        if (proc == PROC_1) {
            EXPECT_STREQ(s.value, "") << proc;
        }
    }
    char name[] = "some.key";
    char* arg = name;
    Result<char*> v(qdsim::detail::xdr_filter(xdr_wrapstring));
    ASSERT_EQ(c.call(CONFIG_GET, xdr_wrapstring, &arg, xdr_wrapstring, &v.value), RPC_SUCCESS);
    EXPECT_NE(v.value, nullptr);

    Result<wire::host_info> host(qdsim::detail::xdr_filter(wire::xdr_host_info));
    ASSERT_EQ(c.call(GET_HOST_INFO, wire::xdr_host_info, &host.value), RPC_SUCCESS);
    EXPECT_NE(host.value.info1, nullptr);
    EXPECT_NE(host.value.info3, nullptr);
    Result<wire::fw_complete_result> fw(qdsim::detail::xdr_filter(wire::xdr_fw_complete_result));
    ASSERT_EQ(c.call(FW_COMPLETE, wire::xdr_fw_complete_result, &fw.value), RPC_SUCCESS);
    EXPECT_NE(fw.value.fw_text2, nullptr);

    // Records are zero, whatever the server's stack held before.
    wire::eeprom_block block{};
    block.length = 1024;
    for (auto& w : block.words)
        w = 0xFFFF;
    ASSERT_EQ(c.call(EEPROM_WRITE, wire::xdr_eeprom_block, &block, xdr_void, static_cast<void*>(nullptr)), RPC_SUCCESS);
    wire::memory_ref ref{7, 1024};
    wire::memory_block mem{};
    mem.mem_arg = 1;
    ASSERT_EQ(c.call(PROC_16, wire::xdr_memory_ref, &ref, wire::xdr_memory_block, &mem), RPC_SUCCESS);
    EXPECT_EQ(mem.mem_arg, 0u);
    for (int i = 0; i < 1024; ++i)
        ASSERT_EQ(mem.words[i], 0) << i;
    Result<wire::iq_buffer> iq(qdsim::detail::xdr_filter(wire::xdr_iq_buffer));
    u_short which = 1;
    ASSERT_EQ(c.call(GET_IQ_BUFFER, xdr_u_short, &which, wire::xdr_iq_buffer, &iq.value), RPC_SUCCESS);
    EXPECT_EQ(iq.value.count, 0);

    u_short word = 99;
    ASSERT_EQ(c.call(PROC_4, xdr_u_short, &word), RPC_SUCCESS);
    EXPECT_EQ(word, 0u);
    ASSERT_EQ(c.call(TEST_STOP, xdr_void, static_cast<void*>(nullptr)), RPC_SUCCESS);
}

TEST_P(BothTransports, ProcedureTheProtocolLacksIsRefused)
{
    VirtualReader r(at("127.0.0.2"));
    r.start();
    RawClient c("127.0.0.2", GetParam());
    int out = 0;
    EXPECT_EQ(c.call(13, xdr_int, &out), RPC_PROCUNAVAIL);
    EXPECT_EQ(c.call(136, xdr_int, &out), RPC_PROCUNAVAIL);
    EXPECT_EQ(ping(c), RPC_SUCCESS);   // the connection is still good
}

// --- Call log -------------------------------------------------------------

TEST_P(BothTransports, LogRecordsProcedureTransportAndDecodedArgument)
{
    VirtualReader r(at("127.0.0.2"));
    r.start();
    RawClient c("127.0.0.2", GetParam());
    ASSERT_EQ(ping(c), RPC_SUCCESS);
    get_hwid(c, 1);
    wire::search_params p{};
    p.a_count = 2;
    p.a_values[0] = 11;
    p.a_values[1] = 22;
    p.b_count = 1;
    p.b_values[0] = 0xBEEF;
    p.span = 500;
    short id = 0;
    ASSERT_EQ(c.call(SEARCH_START, wire::xdr_search_params, &p, xdr_short, &id), RPC_SUCCESS);
    char key[] = "a key";
    char* keyp = key;
    Result<char*> v(qdsim::detail::xdr_filter(xdr_wrapstring));
    ASSERT_EQ(c.call(CONFIG_GET, xdr_wrapstring, &keyp, xdr_wrapstring, &v.value), RPC_SUCCESS);

    auto calls = r.calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].proc, 0u);
    EXPECT_TRUE(calls[0].arg.empty());
    EXPECT_EQ(calls[1].proc, uint32_t{GET_HWID});
    EXPECT_EQ(calls[2].proc, uint32_t{SEARCH_START});
    EXPECT_EQ(calls[3].proc, uint32_t{CONFIG_GET});
    for (const auto& call : calls)
        EXPECT_EQ(call.transport, GetParam());

    qdsim::Decoded<int> slot(calls[1], qdsim::detail::xdr_filter(xdr_int));
    ASSERT_TRUE(slot.ok());
    EXPECT_EQ(*slot, 1);
    qdsim::Decoded<wire::search_params> sp(calls[2], qdsim::detail::xdr_filter(wire::xdr_search_params));
    ASSERT_TRUE(sp.ok());
    EXPECT_EQ(sp->a_count, 2);
    EXPECT_EQ(sp->a_values[1], 22);
    EXPECT_EQ(sp->b_values[0], 0xBEEF);
    EXPECT_EQ(sp->span, 500);
    EXPECT_EQ(calls[2].arg.size(), 4u * (1 + 16 + 1 + 16 + 1));
    qdsim::Decoded<char*> name(calls[3], qdsim::detail::xdr_filter(xdr_wrapstring));
    ASSERT_TRUE(name.ok());
    EXPECT_STREQ(*name, "a key");

    EXPECT_EQ(r.count(GET_HWID), 1u);
    EXPECT_EQ(r.count(GET_REGION), 0u);
    r.clear_calls();
    EXPECT_TRUE(r.calls().empty());
    EXPECT_EQ(r.count(GET_HWID), 0u);
}

TEST(SimLog, TellsTheTransportsApartAndLogsFaultedCalls)
{
    VirtualReader r(at("127.0.0.2"));
    r.start();
    RawClient udp("127.0.0.2", Transport::udp), tcp("127.0.0.2", Transport::tcp);
    r.inject(GET_HWID, Fault{FaultKind::error_reply, 1, {}});
    EXPECT_EQ(get_hwid(tcp, 0).stat, RPC_SYSTEMERROR);
    EXPECT_EQ(get_hwid(udp, 0).stat, RPC_SUCCESS);
    auto calls = r.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].transport, Transport::tcp);
    EXPECT_EQ(calls[1].transport, Transport::udp);
    qdsim::Decoded<int> slot(calls[0], qdsim::detail::xdr_filter(xdr_int));
    EXPECT_TRUE(slot.ok());
}

TEST(SimLog, IsSafeToReadWhileCallsArrive)
{
    VirtualReader r(at("127.0.0.2"));
    r.start();
    std::atomic<bool> done{false};
    std::size_t seen = 0;
    std::thread reader([&] {
        while (!done) {
            auto calls = r.calls();
            seen = std::max(seen, calls.size());
            for (const auto& c : calls)
                ASSERT_EQ(c.proc, uint32_t{GET_HWID});
            (void)r.count(GET_HWID);
        }
    });
    {
        RawClient c("127.0.0.2", Transport::tcp);
        for (int i = 0; i < 200; ++i)
            ASSERT_EQ(get_hwid(c, i % 2).stat, RPC_SUCCESS);
    }
    done = true;
    reader.join();
    EXPECT_EQ(r.count(GET_HWID), 200u);
    EXPECT_LE(seen, 200u);
}

TEST(SimLog, LimitKeepsTheLatestCalls)
{
    qdsim::Options o = at("127.0.0.2");
    o.log_limit = 3;
    VirtualReader r(o);
    r.start();
    RawClient c("127.0.0.2", Transport::udp);
    for (int slot = 0; slot < 5; ++slot)
        get_hwid(c, slot);
    auto calls = r.calls();
    ASSERT_EQ(calls.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        qdsim::Decoded<int> slot(calls[i], qdsim::detail::xdr_filter(xdr_int));
        EXPECT_EQ(*slot, i + 2);
    }
    EXPECT_EQ(r.count(GET_HWID), 5u);   // the count covers every call
}

// --- Faults ------------------------------------------------------------------

TEST_P(BothTransports, ErrorReplyFailsTheCallAtOnce)
{
    VirtualReader r(at("127.0.0.2"));
    r.start();
    RawClient c("127.0.0.2", GetParam());
    r.inject(GET_HWID, Fault{FaultKind::error_reply});
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(get_hwid(c, 0).stat, RPC_SYSTEMERROR);
    EXPECT_EQ(ping(c), RPC_SUCCESS);   // other procedures are unaffected
    r.clear_faults();
    EXPECT_EQ(get_hwid(c, 0).stat, RPC_SUCCESS);
}

TEST_P(BothTransports, GarbageReplyCannotBeDecoded)
{
    VirtualReader r(at("127.0.0.2"));
    r.start();
    RawClient c("127.0.0.2", GetParam());
    r.inject(GET_HWID, Fault{FaultKind::garbage_reply});
    r.inject(SEARCH_START, Fault{FaultKind::garbage_reply});
    r.inject(GET_CONNECTED_ANTENNAS, Fault{FaultKind::garbage_reply});
    r.inject(TEST_STOP, Fault{FaultKind::garbage_reply});
    EXPECT_EQ(get_hwid(c, 0).stat, RPC_CANTDECODERES);
    clnt_stat s;
    search_start(c, &s);
    EXPECT_EQ(s, RPC_CANTDECODERES);
    wire::antenna_list ants{};
    EXPECT_EQ(c.call(GET_CONNECTED_ANTENNAS, wire::xdr_antenna_list, &ants), RPC_CANTDECODERES);
    // Any body decodes as void: a procedure without result fails by an
    // error reply instead.
    EXPECT_NE(c.call(TEST_STOP, xdr_void, static_cast<void*>(nullptr)), RPC_SUCCESS);
    EXPECT_EQ(ping(c), RPC_SUCCESS);
}

TEST_P(BothTransports, DropLeavesTheCallerWaiting)
{
    VirtualReader r(at("127.0.0.2"));
    r.start();
    RawClient c("127.0.0.2", GetParam(), 300ms);
    r.inject(GET_HWID, Fault{FaultKind::drop, 1, {}});
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(get_hwid(c, 0).stat, RPC_TIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 250ms);
    EXPECT_EQ(r.count(GET_HWID), 1u);
    // The count is used up: answered again.  (A fresh client: libtirpc's
    // TCP client does not recover from a timed-out call.)
    RawClient next("127.0.0.2", GetParam(), 1000ms);
    Hwid h = get_hwid(next, 0);
    EXPECT_EQ(h.stat, RPC_SUCCESS);
    EXPECT_EQ(h.hwid, qdsim::Hardware{}.hwid[0]);
}

TEST(SimFaults, DelayAnswersLate)
{
    VirtualReader r(at("127.0.0.2"));
    r.start();
    RawClient c("127.0.0.2", Transport::tcp);
    r.inject(GET_HWID, Fault{FaultKind::delay, 1, 1000ms});
    auto t0 = std::chrono::steady_clock::now();
    Hwid h = get_hwid(c, 0);
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(h.stat, RPC_SUCCESS);
    EXPECT_EQ(h.hwid, qdsim::Hardware{}.hwid[0]);
    EXPECT_GE(took, 990ms);
    // Only the first call is delayed (a generous bound: sanitizer builds are slow).
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(get_hwid(c, 0).stat, RPC_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 900ms);
}

TEST(SimFaults, CountLimitsTheCallsHitAndNullTakesFaults)
{
    VirtualReader r(at("127.0.0.2"));
    r.start();
    RawClient c("127.0.0.2", Transport::tcp);
    r.inject(GET_HWID, Fault{FaultKind::error_reply, 2, {}});
    r.inject(NULLPROC, Fault{FaultKind::error_reply, 1, {}});
    EXPECT_EQ(ping(c), RPC_SYSTEMERROR);
    EXPECT_EQ(ping(c), RPC_SUCCESS);
    EXPECT_EQ(get_hwid(c, 0).stat, RPC_SYSTEMERROR);
    EXPECT_EQ(get_hwid(c, 0).stat, RPC_SYSTEMERROR);
    EXPECT_EQ(get_hwid(c, 0).stat, RPC_SUCCESS);
    // count 0 and kind none remove a fault
    r.inject(GET_HWID, Fault{FaultKind::error_reply});
    r.inject(GET_HWID, Fault{FaultKind::none});
    EXPECT_EQ(get_hwid(c, 0).stat, RPC_SUCCESS);
    r.inject(GET_HWID, Fault{FaultKind::error_reply, 0, {}});
    EXPECT_EQ(get_hwid(c, 0).stat, RPC_SUCCESS);
    EXPECT_EQ(r.count(GET_HWID), 5u);
}

// --- Lifecycle ------------------------------------------------------------

TEST(SimLifecycle, StopEndsServiceAndStartServesAgain)
{
    VirtualReader r(at("127.0.0.2"));
    EXPECT_FALSE(r.running());
    EXPECT_EQ(r.port(Transport::udp), 0);
    r.start();
    r.start();   // a second start changes nothing
    ASSERT_TRUE(r.running());
    EXPECT_NE(r.port(Transport::udp), 0);
    EXPECT_NE(r.port(Transport::tcp), 0);

    RawClient tcp("127.0.0.2", Transport::tcp, 10s);
    RawClient udp("127.0.0.2", Transport::udp, 500ms);
    ASSERT_EQ(ping(tcp), RPC_SUCCESS);
    ASSERT_EQ(ping(udp), RPC_SUCCESS);

    r.stop();
    EXPECT_FALSE(r.running());
    EXPECT_EQ(r.port(Transport::udp), 0);
    EXPECT_EQ(r.port(Transport::tcp), 0);
    // The open connection is closed: the client sees the reader go away at
    // once, not after its timeout.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_NE(ping(tcp), RPC_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    EXPECT_NE(ping(udp), RPC_SUCCESS);
    sockaddr_in pm = inet("127.0.0.2", 0);   // nobody answers the port mapper either
    EXPECT_EQ(pmap_getport(&pm, READER_RPC_PROG, READER_RPC_VERS, IPPROTO_UDP), 0);

    r.start();
    ASSERT_TRUE(r.running());
    RawClient again("127.0.0.2", Transport::tcp);
    ASSERT_TRUE(again.ok());
    Hwid h = get_hwid(again, 0);
    EXPECT_EQ(h.stat, RPC_SUCCESS);
    EXPECT_EQ(h.hwid, qdsim::Hardware{}.hwid[0]);
    RawClient again_udp("127.0.0.2", Transport::udp);
    EXPECT_EQ(ping(again_udp), RPC_SUCCESS);
}

TEST(SimLifecycle, StateSurvivesARestart)
{
    VirtualReader r(at("127.0.0.2"));
    r.start();
    r.inject(GET_HWID, Fault{FaultKind::error_reply});
    {
        RawClient c("127.0.0.2", Transport::udp);
        get_hwid(c, 0);
    }
    r.stop();
    r.start();
    RawClient c("127.0.0.2", Transport::udp);
    EXPECT_EQ(get_hwid(c, 0).stat, RPC_SYSTEMERROR);
    EXPECT_EQ(r.count(GET_HWID), 2u);
}

TEST(SimLifecycle, DestructorStops)
{
    auto r = std::make_unique<VirtualReader>(at("127.0.0.2"));
    r->start();
    RawClient c("127.0.0.2", Transport::tcp, 500ms);
    ASSERT_EQ(ping(c), RPC_SUCCESS);
    r.reset();
    EXPECT_NE(ping(c), RPC_SUCCESS);
    VirtualReader next(at("127.0.0.2"));   // the address is free again
    EXPECT_NO_THROW(next.start());
}

TEST(SimLifecycle, RepeatedStartStopLeaksNoDescriptors)
{
    VirtualReader r(at("127.0.0.2"));
    r.start();
    r.stop();
    const int before = open_fds();
    for (int i = 0; i < 20; ++i) {
        r.start();
        RawClient c("127.0.0.2", Transport::tcp);   // leaves an accepted connection
        ASSERT_EQ(ping(c), RPC_SUCCESS);
        r.stop();
    }
    EXPECT_EQ(open_fds(), before);
}

TEST(SimLifecycle, RefusesAddressesItCannotServe)
{
    VirtualReader outside(at("192.0.2.1"));
    EXPECT_THROW(outside.start(), std::runtime_error);
    EXPECT_FALSE(outside.running());
    VirtualReader bogus(at("not-an-address"));
    EXPECT_THROW(bogus.start(), std::runtime_error);

    VirtualReader first(at("127.0.0.2"));
    first.start();
    VirtualReader second(at("127.0.0.2"));
    EXPECT_THROW(second.start(), std::runtime_error);
    EXPECT_FALSE(second.running());
    RawClient c("127.0.0.2", Transport::udp);   // the first one is unharmed
    EXPECT_EQ(ping(c), RPC_SUCCESS);
    EXPECT_EQ(first.count(NULLPROC), 1u);
    EXPECT_EQ(second.count(NULLPROC), 0u);
}

// --- Several readers, port mapper ---------------------------------------------

TEST(SimSideBySide, EachReaderAnswersOnItsOwnAddress)
{
    qdsim::Options a = at("127.0.0.2"), b = at("127.0.0.3");
    a.hardware.hwid[0] = 0xA;
    b.hardware.hwid[0] = 0xB;
    VirtualReader ra(a), rb(b);
    ra.start();
    rb.start();
    for (Transport t : {Transport::udp, Transport::tcp}) {
        RawClient ca("127.0.0.2", t), cb("127.0.0.3", t);
        EXPECT_EQ(get_hwid(ca, 0).hwid, 0xAu);
        EXPECT_EQ(get_hwid(cb, 0).hwid, 0xBu);
    }
    EXPECT_EQ(ra.count(GET_HWID), 2u);
    EXPECT_EQ(rb.count(GET_HWID), 2u);

    rb.stop();
    RawClient ca("127.0.0.2", Transport::tcp);
    EXPECT_EQ(get_hwid(ca, 0).hwid, 0xAu);
    rb.start();
    RawClient cb("127.0.0.3", Transport::tcp);
    EXPECT_EQ(get_hwid(cb, 0).hwid, 0xBu);
}

TEST(SimPortMapper, GetportAndDumpNameTheReadersPorts)
{
    VirtualReader ra(at("127.0.0.2")), rb(at("127.0.0.3"));
    ra.start();
    rb.start();
    sockaddr_in pa = inet("127.0.0.2", 0), pb = inet("127.0.0.3", 0);
    EXPECT_EQ(pmap_getport(&pa, READER_RPC_PROG, READER_RPC_VERS, IPPROTO_UDP), ra.port(Transport::udp));
    EXPECT_EQ(pmap_getport(&pa, READER_RPC_PROG, READER_RPC_VERS, IPPROTO_TCP), ra.port(Transport::tcp));
    EXPECT_EQ(pmap_getport(&pb, READER_RPC_PROG, READER_RPC_VERS, IPPROTO_TCP), rb.port(Transport::tcp));
    EXPECT_EQ(pmap_getport(&pa, READER_RPC_PROG, 2, IPPROTO_UDP), 0);
    EXPECT_EQ(pmap_getport(&pa, 100003, 3, IPPROTO_UDP), 0);

    sockaddr_in dump_at = inet("127.0.0.2", PMAPPORT);
    pmaplist* list = pmap_getmaps(&dump_at);
    int pmap_entries = 0, program_udp = 0, program_tcp = 0;
    for (pmaplist* p = list; p != nullptr; p = p->pml_next) {
        if (p->pml_map.pm_prog == PMAPPROG && p->pml_map.pm_port == PMAPPORT)
            ++pmap_entries;
        if (p->pml_map.pm_prog == READER_RPC_PROG && p->pml_map.pm_vers == READER_RPC_VERS) {
            if (p->pml_map.pm_prot == IPPROTO_UDP && p->pml_map.pm_port == ra.port(Transport::udp))
                ++program_udp;
            if (p->pml_map.pm_prot == IPPROTO_TCP && p->pml_map.pm_port == ra.port(Transport::tcp))
                ++program_tcp;
        }
    }
    xdr_free(qdsim::detail::xdr_filter(xdr_pmaplist), reinterpret_cast<char*>(&list));
    EXPECT_EQ(pmap_entries, 2);
    EXPECT_EQ(program_udp, 1);
    EXPECT_EQ(program_tcp, 1);
}

TEST(SimPortMapper, EachPortServesItsOwnProgramOnly)
{
    VirtualReader r(at("127.0.0.2"));
    r.start();
    // The reader program is not served on port 111 ...
    RawClient at_111("127.0.0.2", Transport::udp, 1000ms, PMAPPORT);
    ASSERT_TRUE(at_111.ok());
    EXPECT_EQ(ping(at_111), RPC_PROGUNAVAIL);
    // ... nor the port mapper on the program's port.
    sockaddr_in sin = inet("127.0.0.2", r.port(Transport::udp));
    int sock = RPC_ANYSOCK;
    CLIENT* pm = clntudp_create(&sin, PMAPPROG, PMAPVERS, timeval{0, 200000}, &sock);
    ASSERT_NE(pm, nullptr);
    timeval tv{1, 0};
    EXPECT_EQ(clnt_call(pm, PMAPPROC_NULL, qdsim::detail::xdr_filter(xdr_void), nullptr,
                        qdsim::detail::xdr_filter(xdr_void), nullptr, tv),
              RPC_PROGUNAVAIL);
    clnt_destroy(pm);
    EXPECT_EQ(r.count(NULLPROC), 0u);
}
