// The privileged radio and hardware controls against a virtual reader at
// 127.0.13.2: what each operation sends and what it hands back, the closed
// gate, and the operations with logic of their own.  The level is the
// process's: a test closes the gate with a fifth call of level 0 and opens
// it again the same way; no test here gives a wrong code, which would freeze
// the level for the rest of the program (test_priv_unlock.cpp does).
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "call_log.h"
#include "support.h"

namespace {

using namespace qdtest;
using qdsim::Transport;

constexpr int untouched = READER_ERROR_VERIFY_FAILURE;
constexpr const char* host = "127.0.13.2";

// One call as the reader received it: procedure and argument bytes.
struct Sent {
    uint32_t proc;
    std::vector<uint8_t> arg;
    bool operator==(const Sent&) const = default;
};

void PrintTo(const Sent& s, std::ostream* os)
{
    *os << "proc " << s.proc << " (" << s.arg.size() << " bytes)";
}

template <class T, class F>
Sent sent(uint32_t proc, F filter, T value)
{
    return {proc, qdsim::detail::encode_xdr(reinterpret_cast<xdrproc_t>(filter), &value)};
}

Sent with_slot(uint32_t proc, unsigned slot, int value = 0)
{
    return sent(proc, wire::xdr_slot_value, wire::slot_value{static_cast<u_short>(slot), value});
}

Sent bare(uint32_t proc)
{
    return {proc, {}};
}

std::vector<Sent> sent_by(const qdsim::VirtualReader& reader)
{
    std::vector<Sent> out;
    for (const auto& call : reader.calls())
        out.push_back({call.proc, call.arg});
    return out;
}

// A reader, a handle on it over the parameter's transport, the gate open.
class PrivTest {
protected:
    void open(bool tcp)
    {
        set_priv_level(1);
        transport_.emplace(use_tcp, tcp ? 1 : 0);
        reader_ = start_reader(host);
        handle_ = open_reader(host);
        ASSERT_NE(handle_, nullptr);
        reader_->clear_calls();
    }
    void close()
    {
        close_reader(handle_);
        reader_.reset();
        transport_.reset();
        set_priv_level(1);
    }
    void change(const std::function<void(qdsim::DiagHardware&)>& edit)
    {
        qdsim::DiagHardware hw = reader_->diag_hardware();
        edit(hw);
        reader_->set_diag_hardware(hw);
    }
    void force(uint32_t proc, int64_t value)
    {
        change([&](qdsim::DiagHardware& hw) { hw.forced_answers[proc] = value; });
    }

    std::optional<Switch> transport_;
    std::unique_ptr<qdsim::VirtualReader> reader_;
    reader_handle handle_ = nullptr;
};

class Priv : public PrivTest, public testing::Test {
protected:
    void SetUp() override { open(false); }
    void TearDown() override { close(); }
};

// ---------------------------------------------------------------------------
// The operations that make one call: a row each.

struct OneCall {
    const char* name;
    std::function<int(reader_handle)> call;
    Sent sent;
    int result;
    std::optional<int64_t> forced = std::nullopt;   // the reader's answer, when not its own
};

void PrintTo(const OneCall& row, std::ostream* os)
{
    *os << row.name;
}

// Slot arguments carry bits above the 16 that are sent.
const std::vector<OneCall>& one_calls()
{
    static const std::vector<OneCall> rows = {
        {"PRIV_setLeds", [](reader_handle h) { return PRIV_setLeds(h, 0xF0F0, 0x1234); },
         sent(SETLEDS, wire::xdr_leds_args, wire::leds_args{0xF0F0, 0x1234}), 0},
        {"PRIV_setAntId", [](reader_handle h) { return PRIV_setAntId(h, 2, 0xBEEF); },
         sent(SET_ANT_ID, wire::xdr_ant_id_args, wire::ant_id_args{2, 0xBEEF}), 0xBEEF},
        {"PRIV_rfOn", [](reader_handle h) { return PRIV_rfOn(h, 0x10001); }, with_slot(RF_ON, 1), 0},
        {"PRIV_rfOff", [](reader_handle h) { return PRIV_rfOff(h, 0x10001); }, with_slot(RF_OFF, 1), 0},
        {"PRIV_setRxenOn", [](reader_handle h) { return PRIV_setRxenOn(h, 0x10001); }, with_slot(SET_RXEN_ON, 1), 0},
        {"PRIV_setRxenOff", [](reader_handle h) { return PRIV_setRxenOff(h, 0x10001); }, with_slot(SET_RXEN_OFF, 1),
         0},
        {"PRIV_setTxenOn", [](reader_handle h) { return PRIV_setTxenOn(h, 0x10001); }, with_slot(SET_TXEN_ON, 1), 0},
        {"PRIV_setTxenOff", [](reader_handle h) { return PRIV_setTxenOff(h, 0x10001); }, with_slot(SET_TXEN_OFF, 1),
         0},
        {"PRIV_setTxswOn", [](reader_handle h) { return PRIV_setTxswOn(h, 0x10001); }, with_slot(SET_TXSW_ON, 1), 0},
        {"PRIV_setTxswOff", [](reader_handle h) { return PRIV_setTxswOff(h, 0x10001); }, with_slot(SET_TXSW_OFF, 1),
         0},
        {"PRIV_listenOn", [](reader_handle h) { return PRIV_listenOn(h, 0x10001); }, with_slot(LISTEN_ON, 1), 0},
        {"PRIV_receiveOn", [](reader_handle h) { return PRIV_receiveOn(h, 0x10001); }, with_slot(RECEIVE_ON, 1), 0},
        {"PRIV_setFreqHopForced", [](reader_handle h) { return PRIV_setFreqHopForced(h, 0x10001); },
         sent(SET_FREQ_HOP_FORCED, xdr_u_short, u_short{1}), 0},
        {"PRIV_getFreqHopForced", [](reader_handle h) { return PRIV_getFreqHopForced(h); }, bare(GET_FREQ_HOP_FORCED),
         -1, -1},
        {"PRIV_setGen2Cmd", [](reader_handle h) { return PRIV_setGen2Cmd(h, 0x12345); },
         sent(SET_GEN2_CMD, xdr_u_short, u_short{0x2345}), 0},
        {"PRIV_getTxPower", [](reader_handle h) { return PRIV_getTxPower(h, 0x10001); }, with_slot(GET_TX_POWER, 1),
         -5, -5},
        {"PRIV_setTxPower", [](reader_handle h) { return PRIV_setTxPower(h, 0x10000, 2500); },
         with_slot(SET_SLOT_TX_POWER, 0, 2500), 2500},
        {"PRIV_setUncalTxPower", [](reader_handle h) { return PRIV_setUncalTxPower(h, 0x10001, -40); },
         with_slot(SET_UNCAL_TX_POWER, 1, -40), -40, -40},
        {"PRIV_getRxGain", [](reader_handle h) { return PRIV_getRxGain(h, 0x10001); }, with_slot(GET_RX_GAIN, 1),
         -300, -300},
        {"PRIV_setRxGain", [](reader_handle h) { return PRIV_setRxGain(h, 0x10001, -12); },
         with_slot(SET_RX_GAIN, 1, -12), 0},
        {"PRIV_getFreq",
         [](reader_handle h) {
             uint32_t khz = 0;
             const int rc = PRIV_getFreq(h, 0x10001, &khz);
             return rc != 0 ? rc : khz == 0xFFFFFFF0u ? 1 : -1000;
         },
         with_slot(GET_FREQ, 1), 1, 0xFFFFFFF0u},
        {"PRIV_setFreq", [](reader_handle h) { return PRIV_setFreq(h, 0x10001, 902750); },
         with_slot(SET_FREQ, 1, 902750), 0},
        {"PRIV_getAnt", [](reader_handle h) { return PRIV_getAnt(h, 0x10001); }, with_slot(GET_ANT, 1), 65535, 0xFFFF},
        {"PRIV_antSafety", [](reader_handle h) { return PRIV_antSafety(h, 0x10001, -3); },
         with_slot(ANT_SAFETY, 1, -3), 0},
        {"PRIV_setRxClass", [](reader_handle h) { return PRIV_setRxClass(h, 0x10001, 7); },
         with_slot(SET_RX_CLASS, 1, 7), 0},
        {"PRIV_setDebugLevel", [](reader_handle h) { return PRIV_setDebugLevel(h, 0xFFFFFFFFu); },
         sent(SET_DEBUG_LEVEL, xdr_u_int, u_int{0xFFFFFFFFu}), 0},
        {"PRIV_getDebugLevel", [](reader_handle h) { return PRIV_getDebugLevel(h); }, bare(GET_DEBUG_LEVEL),
         INT32_MIN, 0x80000000u},
        {"PRIV_setAutoload", [](reader_handle h) { return PRIV_setAutoload(h, -2); },
         sent(SET_AUTOLOAD, xdr_int, int{-2}), 0},
        {"PRIV_getAutoload", [](reader_handle h) { return PRIV_getAutoload(h); }, bare(GET_AUTOLOAD), -7, -7},
        {"PRIV_resync", [](reader_handle h) { return PRIV_resync(h); }, bare(RESYNC), 0},
        {"PRIV_rescanHardware", [](reader_handle h) { return PRIV_rescanHardware(h); }, bare(RESCAN_HARDWARE), 0},
    };
    return rows;
}

class OneCalls : public PrivTest, public testing::TestWithParam<std::tuple<OneCall, Transport>> {
protected:
    const OneCall& row() const { return std::get<0>(GetParam()); }
    void SetUp() override { open(std::get<1>(GetParam()) == Transport::tcp); }
    void TearDown() override { close(); }
};

TEST_P(OneCalls, SendsItsArgumentAndHandsBackTheAnswerWidened)
{
    if (row().forced)
        force(row().sent.proc, *row().forced);
    reader_errno = untouched;
    EXPECT_EQ(row().call(handle_), row().result);
    EXPECT_EQ(sent_by(*reader_), std::vector<Sent>{row().sent});
    EXPECT_EQ(reader_errno, untouched);
}

TEST_P(OneCalls, ClosedGateRefusesWithoutACallButABadHandleComesFirst)
{
    set_priv_level(0);
    reader_errno = untouched;
    EXPECT_EQ(row().call(handle_), -2);
    EXPECT_EQ(reader_errno, untouched);
    EXPECT_EQ(row().call(nullptr), -1);
    EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
    EXPECT_TRUE(reader_->calls().empty());
}

INSTANTIATE_TEST_SUITE_P(Priv, OneCalls,
                         testing::Combine(testing::ValuesIn(one_calls()),
                                          testing::Values(Transport::udp, Transport::tcp)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) == Transport::tcp ? "_tcp" : "_udp");
                         });

// ---------------------------------------------------------------------------
// The gate and the limits of the operations with logic of their own.

TEST_F(Priv, EveryOperationWithLogicOfItsOwnStaysClosedWithTheGate)
{
    set_priv_level(0);
    int32_t checks[17] = {};
    hop_table table{};
    host_info_texts texts{};
    const char* text = nullptr;
    data_capture_args request{};
    const data_capture_result* result = nullptr;
    const char* const hops[] = {"902750"};
    const std::vector<std::function<int()>> calls = {
        [&] { return PRIV_nop(handle_); },
        [&] { return PRIV_getHostInfo(handle_, &texts); },
        [&] { return PRIV_getZrConf(handle_, &text); },
        [&] { return PRIV_twiddleLeds(handle_); },
        [&] { return PRIV_getHwId(handle_, 0, &text); },
        [&] { return PRIV_getCurrentSlot(handle_); },
        [&] { return PRIV_getAntId(handle_); },
        [&] { return PRIV_powerUp(handle_, 0, 2000); },
        [&] { return PRIV_powerDown(handle_, 0); },
        [&] { return PRIV_checkAnts(handle_, 0, checks); },
        [&] { return PRIV_setAnt(handle_, 0, 1); },
        [&] { return PRIV_getData(handle_, &request, &result); },
        [&] { return PRIV_getHops(handle_, &table, 0); },
        [&] { return PRIV_setHops(handle_, 1, hops, &table); },
    };
    for (std::size_t i = 0; i < calls.size(); ++i)
        EXPECT_EQ(calls[i](), -2) << "operation " << i;
    EXPECT_TRUE(reader_->calls().empty());
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(result, nullptr);
}

TEST_F(Priv, MissingOutputsAndFlagsAboveOneAreRefusedWithoutACall)
{
    data_capture_args request{};
    const data_capture_result* result = nullptr;
    reader_errno = untouched;
    EXPECT_EQ(PRIV_setFreqHopForced(handle_, 2), -100);
    EXPECT_EQ(PRIV_setFreqHopForced(handle_, -1), -100);
    EXPECT_EQ(PRIV_getFreq(handle_, 0, nullptr), -100);
    EXPECT_EQ(PRIV_getHostInfo(handle_, nullptr), -100);
    EXPECT_EQ(PRIV_getZrConf(handle_, nullptr), -100);
    EXPECT_EQ(PRIV_getHwId(handle_, 0, nullptr), -100);
    EXPECT_EQ(PRIV_checkAnts(handle_, 0, nullptr), -100);
    EXPECT_EQ(PRIV_getData(handle_, nullptr, &result), -100);
    EXPECT_EQ(PRIV_getData(handle_, &request, nullptr), -100);
    EXPECT_EQ(PRIV_setHops(handle_, 2, nullptr, nullptr), -100);
    EXPECT_TRUE(reader_->calls().empty());
    EXPECT_EQ(reader_errno, untouched);
}

TEST_F(Priv, NopSucceedsWhateverTheReaderDoes)
{
    reader_->inject(NOP, error_reply(1));
    EXPECT_EQ(PRIV_nop(handle_), 0);
    EXPECT_EQ(procs(*reader_), std::vector<uint32_t>{NOP});
}

// ---------------------------------------------------------------------------
// Settings read as numbers

struct SettingText {
    const char* text;
    int value;
};

TEST_F(Priv, CurrentSlotAndAntennaIdReadTheSettingTextsAsNumbers)
{
    const SettingText rows[] = {
        {"0x1F", 31}, {"70000", 4464}, {"no digits", 0}, {"", 0},       {"  017", 15},
        {"0X10", 16}, {"12abc", 12},   {"-1", 65535},    {"99999999999", 65535},
    };
    for (const auto& row : rows) {
        reader_->set_setting("currentslot", row.text);
        reader_->set_setting("currentantid", row.text);
        EXPECT_EQ(PRIV_getCurrentSlot(handle_), row.value) << "'" << row.text << "'";
        EXPECT_EQ(PRIV_getAntId(handle_), row.value) << "'" << row.text << "'";
    }
    reader_->clear_calls();
    PRIV_getCurrentSlot(handle_);
    PRIV_getAntId(handle_);
    EXPECT_EQ(sent_by(*reader_), (std::vector<Sent>{sent(CONFIG_GET, xdr_wrapstring, (char*)"currentslot"),
                                                    sent(CONFIG_GET, xdr_wrapstring, (char*)"currentantid")}));
}

// ---------------------------------------------------------------------------
// Texts in the library's buffers

TEST_F(Priv, HardwareIdTextEndsInANewlineAndShowsTheFailureText)
{
    const char* text = nullptr;
    EXPECT_EQ(PRIV_getHwId(handle_, 0, &text), 0);
    EXPECT_STREQ(text, "virtual radio\n");
    EXPECT_EQ(sent_by(*reader_), std::vector<Sent>{sent(GET_HWID, xdr_int, int{0})});

    reader_->inject(GET_HWID, error_reply(1));
    text = nullptr;
    EXPECT_EQ(PRIV_getHwId(handle_, 0xFFFF, &text), -102);
    EXPECT_STREQ(text, "Error detecting hardware.\n");
    EXPECT_EQ(reader_->calls().back().arg, sent(GET_HWID, xdr_int, int{0xFFFF}).arg) << "widened without sign";

    qdsim::Hardware hw;
    hw.text[0] = std::string(300, 'h');
    reader_->set_hardware(hw);
    EXPECT_EQ(PRIV_getHwId(handle_, 0, &text), 0);
    EXPECT_EQ(std::string(text), std::string(255, 'h'));
}

TEST_F(Priv, HostInformationIsCutTo255CharactersAndCopiedAsPlainText)
{
    change([](qdsim::DiagHardware& hw) { hw.host_info = {std::string(300, 'x'), "100% %s %n %d", ""}; });
    host_info_texts texts{};
    EXPECT_EQ(PRIV_getHostInfo(handle_, &texts), 0);
    EXPECT_EQ(std::string(texts.info1), std::string(255, 'x'));
    EXPECT_STREQ(texts.info2, "100% %s %n %d");
    EXPECT_STREQ(texts.info3, "");
}

TEST_F(Priv, ConfigurationTextIsCutTo2047Characters)
{
    const char* text = nullptr;
    EXPECT_EQ(PRIV_getZrConf(handle_, &text), 0);
    EXPECT_STREQ(text, reader_->diag_hardware().config_text.c_str());
    change([](qdsim::DiagHardware& hw) { hw.config_text = std::string(3000, 'c'); });
    EXPECT_EQ(PRIV_getZrConf(handle_, &text), 0);
    EXPECT_EQ(std::string(text), std::string(2047, 'c'));
}

// ---------------------------------------------------------------------------
// Sequences

TEST_F(Priv, TwiddleLedsCountsUntilTheReaderFailsThenSaysSo)
{
    qdsim::Fault fault = error_reply(1);
    fault.after = 5;
    reader_->inject(SETLEDS, fault);
    int result = 0;
    const std::string text = stderr_of([&] { result = PRIV_twiddleLeds(handle_); });
    EXPECT_EQ(result, -102);
    EXPECT_EQ(text, "RPC setleds call failed\n");
    std::vector<Sent> expected;
    for (u_short v = 0; v < 6; ++v)
        expected.push_back(sent(SETLEDS, wire::xdr_leds_args, wire::leds_args{0xFFFF, v}));
    EXPECT_EQ(sent_by(*reader_), expected);
    EXPECT_EQ(reader_->diag_hardware().leds, 4);
}

TEST_F(Priv, PowerUpSetsThePowerThroughSetSlotTxPowerThenSwitchesRfOn)
{
    reader_errno = untouched;
    EXPECT_EQ(PRIV_powerUp(handle_, 0, 2550), 0);
    EXPECT_EQ(sent_by(*reader_), (std::vector<Sent>{with_slot(SET_SLOT_TX_POWER, 0, 2550), with_slot(RF_ON, 0, 2550)}));
    EXPECT_EQ(reader_errno, untouched);
    EXPECT_TRUE(reader_->diag_hardware().slots[0].rf_on);
}

struct Sequence {
    const char* name;
    std::function<int(reader_handle)> call;
    std::optional<uint32_t> failing;   // the procedure made to fail
    int result;
    std::vector<Sent> sent;
};

TEST_F(Priv, MultiCallOperationsRunInOrderAndStopAtTheFirstFailure)
{
    const auto power_down = [](reader_handle h) { return PRIV_powerDown(h, 0x10001); };
    const auto set_ant = [](reader_handle h) { return PRIV_setAnt(h, 0, 1); };
    const std::vector<Sequence> rows = {
        {"powerDown", power_down, std::nullopt, 0,
         {with_slot(SET_SLOT_TX_POWER, 1), with_slot(RF_ON, 1), with_slot(RF_OFF, 1)}},
        {"powerDown power fails", power_down, SET_SLOT_TX_POWER, -102, {with_slot(SET_SLOT_TX_POWER, 1)}},
        {"powerDown rf on fails", power_down, RF_ON, -102, {with_slot(SET_SLOT_TX_POWER, 1), with_slot(RF_ON, 1)}},
        {"powerDown rf off fails", power_down, RF_OFF, -102,
         {with_slot(SET_SLOT_TX_POWER, 1), with_slot(RF_ON, 1), with_slot(RF_OFF, 1)}},
        {"setAnt", set_ant, std::nullopt, 1, {with_slot(SET_ANT, 0, 1), with_slot(GET_ANT, 0, 1)}},
        {"setAnt set fails", set_ant, SET_ANT, -102, {with_slot(SET_ANT, 0, 1)}},
        {"setAnt get fails", set_ant, GET_ANT, -102, {with_slot(SET_ANT, 0, 1), with_slot(GET_ANT, 0, 1)}},
        // A port without an antenna is not taken: the reader reports the
        // antenna still in use.
        {"setAnt unconnected", [](reader_handle h) { return PRIV_setAnt(h, 0, 9); }, std::nullopt, 1,
         {with_slot(SET_ANT, 0, 9), with_slot(GET_ANT, 0, 9)}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        reader_->clear_calls();
        if (row.failing)
            reader_->inject(*row.failing, error_reply(1));
        reader_errno = untouched;
        EXPECT_EQ(row.call(handle_), row.result);
        EXPECT_EQ(sent_by(*reader_), row.sent);
        EXPECT_EQ(reader_errno, untouched);
    }
}

// ---------------------------------------------------------------------------
// Antenna checks

struct AntennaChecks {
    std::vector<uint16_t> readings;   // what the reader reports
    std::vector<int32_t> expected;    // the caller's 17 elements
};

TEST_F(Priv, AntennaChecksFillTheCountAndAReadingEachWithinSeventeenElements)
{
    std::vector<uint16_t> twenty;
    for (uint16_t i = 0; i < 20; ++i)
        twenty.push_back(static_cast<uint16_t>(1000 + i));
    std::vector<int32_t> first_sixteen = {16};
    first_sixteen.insert(first_sixteen.end(), twenty.begin(), twenty.begin() + 16);
    const std::vector<AntennaChecks> rows = {
        {{}, std::vector<int32_t>(17, 0)},
        {{11, 22, 0xFFFF}, {3, 11, 22, 65535, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {twenty, first_sixteen},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.readings.size()) + " antennas");
        change([&](qdsim::DiagHardware& hw) { hw.antenna_checks = row.readings; });
        reader_->clear_calls();
        int32_t checks[18];
        std::fill_n(checks, 18, -9);   // element 17 lies past the caller's array
        EXPECT_EQ(PRIV_checkAnts(handle_, 0x10001, checks), 0);
        EXPECT_EQ(std::vector<int32_t>(checks, checks + 17), row.expected);
        EXPECT_EQ(checks[17], -9);
        std::vector<Sent> expected = {with_slot(CHECK_ANTS_COUNT, 1)};
        for (int i = 0; i < row.expected[0]; ++i)
            expected.push_back(with_slot(CHECK_ANTS_GET, 1, i));
        EXPECT_EQ(sent_by(*reader_), expected);
    }
}

TEST_F(Priv, AFailedAntennaCheckKeepsTheReadingsSoFar)
{
    change([](qdsim::DiagHardware& hw) { hw.antenna_checks = std::vector<uint16_t>{5, 6, 7}; });
    qdsim::Fault fault = error_reply(1);
    fault.after = 1;
    reader_->inject(CHECK_ANTS_GET, fault);
    int32_t checks[17];
    std::fill_n(checks, 17, -9);
    EXPECT_EQ(PRIV_checkAnts(handle_, 0, checks), -102);
    EXPECT_EQ(std::vector<int32_t>(checks, checks + 5), (std::vector<int32_t>{3, 5, 0, 0, 0}));
}

// ---------------------------------------------------------------------------
// Data capture

TEST_F(Priv, DataCaptureSendsTheRequestAsItIsAndKeepsTheAnswerUntilTheNextCall)
{
    uint16_t list[] = {100, 200};
    data_capture_args request{1, 2, 3, 4, 5, 6, {2, list}, 7};
    const data_capture_result* result = nullptr;
    ASSERT_EQ(PRIV_getData(handle_, &request, &result), 0);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->result_word1, 1);
    EXPECT_EQ(result->samples[0], 100);
    EXPECT_EQ(result->samples[3], 203);
    EXPECT_EQ(result->result_word4, 2);
    EXPECT_EQ(result->result_word7, 7);
    u_short wire_list[] = {100, 200};
    EXPECT_EQ(sent_by(*reader_), std::vector<Sent>{sent(GET_DATA, wire::xdr_data_capture_args,
                                                         wire::data_capture_args{1, 2, 3, 4, 5, 6, {2, wire_list}, 7})});

    // The next call releases it: a failed one leaves no answer at all.
    reader_->inject(GET_DATA, error_reply(1));
    EXPECT_EQ(PRIV_getData(handle_, &request, &result), -102);
    EXPECT_EQ(result, nullptr);

    // A list longer than 16 cannot be sent.
    uint16_t long_list[17] = {};
    request.capture_list = {17, long_list};
    reader_->clear_calls();
    result = reinterpret_cast<const data_capture_result*>(&request);
    EXPECT_EQ(PRIV_getData(handle_, &request, &result), -102);
    EXPECT_EQ(result, nullptr);
    EXPECT_TRUE(reader_->calls().empty());
}

// ---------------------------------------------------------------------------
// The hop table

struct HopRead {
    const char* name;
    std::size_t hops_on_reader;
    int first;
    std::size_t stored;   // entries read, from position 0 of the table
};

TEST_F(Priv, HopTableIsReadFromFirstIntoPositionZeroOnAtMost64)
{
    const HopRead rows[] = {
        {"100 hops", 100, 0, 64},   {"first 10 of 20", 20, 10, 10}, {"first at the end", 20, 20, 0},
        {"first past the end", 20, 25, 0}, {"no table", 0, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<uint32_t> hops;
        for (std::size_t i = 0; i < row.hops_on_reader; ++i)
            hops.push_back(static_cast<uint32_t>(900000 + i));
        change([&](qdsim::DiagHardware& hw) { hw.hops = hops; });
        reader_->clear_calls();
        hop_table table;
        std::fill_n(table.hops, 64, 7u);
        table.count = 99;
        EXPECT_EQ(PRIV_getHops(handle_, &table, row.first), 0);
        ASSERT_EQ(table.count, row.stored);
        for (std::size_t i = 0; i < row.stored; ++i)
            EXPECT_EQ(table.hops[i], hops[row.first + i]);
        std::vector<Sent> expected = {bare(HOPS_COUNT)};
        for (std::size_t i = 0; i < row.stored; ++i)
            expected.push_back(sent(HOPS_GET, xdr_u_int, static_cast<u_int>(row.first + i)));
        EXPECT_EQ(sent_by(*reader_), expected);
    }

    reader_->clear_calls();
    EXPECT_EQ(PRIV_getHops(handle_, nullptr, 0), 0);
    EXPECT_EQ(procs(*reader_), std::vector<uint32_t>{HOPS_COUNT});

    // A count above 2^31 is taken as negative: nothing to read.
    force(HOPS_COUNT, 0xFFFFFFFFu);
    hop_table table{};
    EXPECT_EQ(PRIV_getHops(handle_, &table, 0), 0);
    EXPECT_EQ(table.count, 0u);
}

TEST_F(Priv, SetHopsAddsTheTextsThatHoldANumberThenReadsTheTableBack)
{
    const char* const texts[] = {"902750", "", "no digits", nullptr, "0x100"};
    hop_table table{};
    EXPECT_EQ(PRIV_setHops(handle_, 5, texts, &table), 0);
    ASSERT_EQ(table.count, 2u);
    EXPECT_EQ(table.hops[0], 902750u);
    EXPECT_EQ(table.hops[1], 256u);
    EXPECT_EQ(reader_->diag_hardware().hops, (std::vector<uint32_t>{902750, 256}));
    const auto add = [](u_int khz) {
        wire::hop_table one{};
        one.hops[0] = khz;
        one.count = 1;
        return sent(HOPS_ADD, wire::xdr_hop_table, one);
    };
    EXPECT_EQ(sent_by(*reader_), (std::vector<Sent>{bare(HOPS_CLEAR), add(902750), add(256), bare(HOPS_COUNT),
                                                    sent(HOPS_GET, xdr_u_int, u_int{0}),
                                                    sent(HOPS_GET, xdr_u_int, u_int{1})}));

    // A failed add stops there; what was added stays on the reader.
    qdsim::Fault fault = error_reply(1);
    fault.after = 1;
    reader_->inject(HOPS_ADD, fault);
    EXPECT_EQ(PRIV_setHops(handle_, 5, texts, &table), -102);
    EXPECT_EQ(reader_->diag_hardware().hops, std::vector<uint32_t>{902750});
}

}  // namespace
