// The frame suite's rows for the privileged radio and hardware controls (see
// frame_suite.h): -1 for a bad handle, -102 for a failed call with nothing
// else changed, the connection kept.  The gate is opened before each test;
// the level is the process's, so this program never closes it.  Virtual
// reader at 127.0.13.1.
#include "frame_suite.h"

namespace qdframe {

namespace {


// Makes `proc` answer `value` instead of the hardware's answer.
std::function<void(qdsim::VirtualReader&)> forcing(uint32_t proc, int64_t value)
{
    return [=](qdsim::VirtualReader& r) {
        qdsim::DiagHardware hw = r.diag_hardware();
        hw.forced_answers[proc] = value;
        r.set_diag_hardware(hw);
    };
}

// A privileged row: -1 when the handle does not resolve, -102 when the call
// fails, reader_errno kept on success.
Row priv(const char* name, std::function<int(reader_handle)> call, uint32_t proc, int success,
         std::function<void(qdsim::VirtualReader&)> prepare = nullptr)
{
    return privileged({name, std::move(call), proc, name, -1, -102, OnSuccess::leave, success, std::move(prepare)});
}

}  // namespace

const char* frame_host()
{
    return "127.0.13.1";
}

void prepare_frame_reader(qdsim::VirtualReader&)
{
    set_priv_level(1);
}

const std::vector<Row>& frame_rows()
{
    static const std::vector<Row> table = {
        // One call each.
        priv("PRIV_setLeds", [](reader_handle h) { return PRIV_setLeds(h, 0x00FF, 0x0055); }, SETLEDS, 0),
        priv("PRIV_setAntId", [](reader_handle h) { return PRIV_setAntId(h, 3, 0xBEEF); }, SET_ANT_ID, 0xBEEF),
        priv("PRIV_rfOn", [](reader_handle h) { return PRIV_rfOn(h, 0); }, RF_ON, 0),
        priv("PRIV_rfOff", [](reader_handle h) { return PRIV_rfOff(h, 0); }, RF_OFF, 0),
        priv("PRIV_setRxenOn", [](reader_handle h) { return PRIV_setRxenOn(h, 0); }, SET_RXEN_ON, 0),
        priv("PRIV_setRxenOff", [](reader_handle h) { return PRIV_setRxenOff(h, 0); }, SET_RXEN_OFF, 0),
        priv("PRIV_setTxenOn", [](reader_handle h) { return PRIV_setTxenOn(h, 0); }, SET_TXEN_ON, 0),
        priv("PRIV_setTxenOff", [](reader_handle h) { return PRIV_setTxenOff(h, 0); }, SET_TXEN_OFF, 0),
        priv("PRIV_setTxswOn", [](reader_handle h) { return PRIV_setTxswOn(h, 0); }, SET_TXSW_ON, 0),
        priv("PRIV_setTxswOff", [](reader_handle h) { return PRIV_setTxswOff(h, 0); }, SET_TXSW_OFF, 0),
        priv("PRIV_listenOn", [](reader_handle h) { return PRIV_listenOn(h, 0); }, LISTEN_ON, 0),
        priv("PRIV_receiveOn", [](reader_handle h) { return PRIV_receiveOn(h, 0); }, RECEIVE_ON, 0),
        priv("PRIV_setFreqHopForced", [](reader_handle h) { return PRIV_setFreqHopForced(h, 1); },
             SET_FREQ_HOP_FORCED, 0),
        priv("PRIV_getFreqHopForced", [](reader_handle h) { return PRIV_getFreqHopForced(h); },
             GET_FREQ_HOP_FORCED, -7, forcing(GET_FREQ_HOP_FORCED, -7)),
        priv("PRIV_setGen2Cmd", [](reader_handle h) { return PRIV_setGen2Cmd(h, 9); }, SET_GEN2_CMD, 0),
        priv("PRIV_getTxPower", [](reader_handle h) { return PRIV_getTxPower(h, 0); }, GET_TX_POWER, -5,
             forcing(GET_TX_POWER, -5)),
        priv("PRIV_setTxPower", [](reader_handle h) { return PRIV_setTxPower(h, 0, 2500); }, SET_SLOT_TX_POWER,
             2500),
        priv("PRIV_setUncalTxPower", [](reader_handle h) { return PRIV_setUncalTxPower(h, 1, 1234); },
             SET_UNCAL_TX_POWER, 1234),
        priv("PRIV_getRxGain", [](reader_handle h) { return PRIV_getRxGain(h, 0); }, GET_RX_GAIN, -300,
             forcing(GET_RX_GAIN, -300)),
        priv("PRIV_setRxGain", [](reader_handle h) { return PRIV_setRxGain(h, 0, 12); }, SET_RX_GAIN, 0),
        // The frequency stored, as an int.
        priv("PRIV_getFreq",
             [](reader_handle h) {
                 uint32_t khz = 0;
                 const int rc = PRIV_getFreq(h, 0, &khz);
                 return rc != 0 ? rc : static_cast<int>(khz);
             },
             GET_FREQ, 915250),
        priv("PRIV_setFreq", [](reader_handle h) { return PRIV_setFreq(h, 0, 902750); }, SET_FREQ, 0),
        priv("PRIV_getAnt", [](reader_handle h) { return PRIV_getAnt(h, 0); }, GET_ANT, 65535,
             forcing(GET_ANT, 0xFFFF)),
        priv("PRIV_antSafety", [](reader_handle h) { return PRIV_antSafety(h, 0, 3); }, ANT_SAFETY, 0),
        priv("PRIV_setRxClass", [](reader_handle h) { return PRIV_setRxClass(h, 0, 2); }, SET_RX_CLASS, 0),
        priv("PRIV_setDebugLevel", [](reader_handle h) { return PRIV_setDebugLevel(h, 0xFFFFFFFFu); },
             SET_DEBUG_LEVEL, 0),
        priv("PRIV_getDebugLevel", [](reader_handle h) { return PRIV_getDebugLevel(h); }, GET_DEBUG_LEVEL,
             INT32_MIN, forcing(GET_DEBUG_LEVEL, 0x80000000u)),
        priv("PRIV_setAutoload", [](reader_handle h) { return PRIV_setAutoload(h, 0); }, SET_AUTOLOAD, 0),
        priv("PRIV_getAutoload", [](reader_handle h) { return PRIV_getAutoload(h); }, GET_AUTOLOAD, 1),
        priv("PRIV_resync", [](reader_handle h) { return PRIV_resync(h); }, RESYNC, 0),
        priv("PRIV_rescanHardware", [](reader_handle h) { return PRIV_rescanHardware(h); }, RESCAN_HARDWARE, 0),

        // Their own logic.  PRIV_nop succeeds whatever the call does.
        privileged({"PRIV_nop", [](reader_handle h) { return PRIV_nop(h); }, NOP, "PRIV_nop", -1, 0,
                    OnSuccess::leave, 0}),
        priv("PRIV_getHostInfo",
             [](reader_handle h) {
                 host_info_texts t{};
                 return PRIV_getHostInfo(h, &t);
             },
             GET_HOST_INFO, 0),
        priv("PRIV_getZrConf",
             [](reader_handle h) {
                 const char* text = nullptr;
                 return PRIV_getZrConf(h, &text);
             },
             GET_ZR_CONF, 0),
        priv("PRIV_getHwId",
             [](reader_handle h) {
                 const char* text = nullptr;
                 return PRIV_getHwId(h, 0, &text);
             },
             GET_HWID, 0),
        priv("PRIV_getCurrentSlot", [](reader_handle h) { return PRIV_getCurrentSlot(h); }, CONFIG_GET, 31,
             [](qdsim::VirtualReader& r) { r.set_setting("currentslot", "0x1F"); }),
        priv("PRIV_getAntId", [](reader_handle h) { return PRIV_getAntId(h); }, CONFIG_GET, 4464,
             [](qdsim::VirtualReader& r) { r.set_setting("currentantid", "70000"); }),
        followed_by(priv("PRIV_powerDown", [](reader_handle h) { return PRIV_powerDown(h, 0); },
                         SET_SLOT_TX_POWER, 0),
                    {RF_ON, RF_OFF}),
        followed_by(priv("PRIV_checkAnts",
                         [](reader_handle h) {
                             int32_t checks[17] = {};
                             return PRIV_checkAnts(h, 0, checks);
                         },
                         CHECK_ANTS_COUNT, 0),
                    {CHECK_ANTS_GET, CHECK_ANTS_GET}),
        followed_by(priv("PRIV_setAnt", [](reader_handle h) { return PRIV_setAnt(h, 0, 1); }, SET_ANT, 1),
                    {GET_ANT}),
        priv("PRIV_getData",
             [](reader_handle h) {
                 data_capture_args request{};
                 const data_capture_result* result = nullptr;
                 return PRIV_getData(h, &request, &result);
             },
             GET_DATA, 0),
        followed_by(priv("PRIV_getHops",
                         [](reader_handle h) {
                             hop_table table{};
                             return PRIV_getHops(h, &table, 0);
                         },
                         HOPS_COUNT, 0,
                         [](qdsim::VirtualReader& r) {
                             qdsim::DiagHardware hw = r.diag_hardware();
                             hw.hops = {902750, 903250};
                             r.set_diag_hardware(hw);
                         }),
                    {HOPS_GET, HOPS_GET}),
        followed_by(priv("PRIV_setHops",
                         [](reader_handle h) {
                             const char* const texts[] = {"902750", "0x100"};
                             return PRIV_setHops(h, 2, texts, nullptr);
                         },
                         HOPS_CLEAR, 0),
                    {HOPS_ADD, HOPS_ADD}),
        // Its power goes through set_slot_tx_power, whose failure check
        // drops the connection and sets reader_errno.
        followed_by({"PRIV_powerUp", [](reader_handle h) { return PRIV_powerUp(h, 0, 2550); }, SET_SLOT_TX_POWER,
                     "set_slot_tx_power", -1, -102, OnSuccess::leave, 0},
                    {RF_ON}),
    };
    return table;
}

}  // namespace qdframe
