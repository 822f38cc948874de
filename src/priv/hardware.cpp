// Radio and hardware controls of the privileged family: first the operations
// that make one call and do nothing else, as a table, then the ones with
// logic of their own.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "guard.h"
#include "kept.h"
#include "layout.h"
#include "priv/hardware.h"
#include "priv/priv_frame.h"

namespace qd {

// The diagnostic records that the library hands to the reader, or back to
// its caller, as they are.
QD_SAME_RECORD(hop_table);
QD_FIELD(hop_table, hops);
QD_FIELD(hop_table, count);

QD_SAME_RECORD(data_capture_args);
QD_FIELD(data_capture_args, capture_word1);
QD_FIELD(data_capture_args, capture_word2);
QD_FIELD(data_capture_args, capture_word3);
QD_FIELD(data_capture_args, capture_word4);
QD_FIELD(data_capture_args, capture_word5);
QD_FIELD(data_capture_args, capture_word6);
QD_FIELD(data_capture_args, capture_list);
QD_FIELD(data_capture_args, capture_list.capture_list_len);
QD_FIELD(data_capture_args, capture_list.capture_list_val);
QD_FIELD(data_capture_args, capture_word7);

QD_SAME_RECORD(data_capture_result);
QD_FIELD(data_capture_result, result_word1);
QD_FIELD(data_capture_result, result_word2);
QD_FIELD(data_capture_result, result_word3);
QD_FIELD(data_capture_result, samples);
QD_FIELD(data_capture_result, result_word4);
QD_FIELD(data_capture_result, result_word5);
QD_FIELD(data_capture_result, result_word6);
QD_FIELD(data_capture_result, result_word7);

namespace {

// ---------------------------------------------------------------------------
// Arguments and answers

wire::slot_value on_slot(int slot, int value = 0)
{
    return {static_cast<u_short>(slot), value};
}

u_short low16(int value)
{
    return static_cast<u_short>(value);
}

struct no_argument {};
constexpr no_argument none{};
constexpr bool ok = true;

// Stores the answer through the caller's pointer.
auto store_to(uint32_t* out)
{
    return [out](u_int value) {
        *out = value;
        return 0;
    };
}

// The 32-bit answer as the int that callers receive.
constexpr auto as_int = [](u_int value) { return static_cast<int>(value); };

template <auto Entry, class Arg, class Copy>
int one_call(const PrivOperation<Entry>& op, reader_handle handle, bool within_limits, const Arg& argument,
             Copy copy)
{
    PrivFrame<Entry> frame(op, handle);
    if (!frame)
        return frame.result();
    if (!within_limits)
        return frame.out_of_limits(READER_ERROR_INVALID_ARGUMENTS);
    if constexpr (std::is_same_v<Arg, no_argument>)
        return frame.run(copy);
    else
        return frame.run(argument, copy);
}

// ---------------------------------------------------------------------------
// Numbers in the reader's texts and the caller's, read as the C library of a
// 32-bit reader reads them: leading white space, an optional sign, then
// "0x" hexadecimal, "0" octal or decimal, up to the first character that
// does not fit; out of range saturates.

// Skips white space and a sign; true for a minus.
bool negative_number(const char* text)
{
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    return *text == '-';
}

// As an unsigned 32-bit strtoul; text without a number gives 0.
uint32_t unsigned_number(const char* text)
{
    const int saved = errno;
    errno = 0;
    const unsigned long long value = std::strtoull(text, nullptr, 0);
    const bool overflow = errno == ERANGE;
    errno = saved;
    // strtoull negates a negative number in 64 bits: its magnitude decides
    // whether a 32-bit conversion would have saturated.
    const bool minus = negative_number(text);
    const unsigned long long magnitude = minus ? 0ull - value : value;
    if (overflow || magnitude > UINT32_MAX)
        return UINT32_MAX;
    return static_cast<uint32_t>(minus ? 0ull - magnitude : magnitude);
}

// As a signed 32-bit strtol; nothing when no character was converted.
std::optional<int32_t> signed_number(const char* text)
{
    const int saved = errno;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 0);
    errno = saved;
    if (end == text)
        return std::nullopt;
    return static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

// ---------------------------------------------------------------------------
// Library-owned storage of the answers handed out by pointer

KeptText<256> host_info_text[3];
KeptText<2048> zr_conf_text;

constexpr char hardware_unknown[] = "Error detecting hardware.";
// Its text at load is the failure text, as after a failed call.
KeptText<256> hwid_text{"Error detecting hardware.\n"};

// A procedure's latest answer; releasing it frees what the RPC library
// allocated while decoding it.
template <auto Entry>
void release_answer(answer_t<Entry>& answer)
{
    xdr_free(wire::procedure<Entry>::result_xdr(), reinterpret_cast<char*>(&answer));
    answer = answer_t<Entry>{};
}

template <auto Entry>
using KeptAnswer = Kept<answer_t<Entry>>;

KeptAnswer<&wire::get_data_1> data_answer{release_answer<&wire::get_data_1>};
KeptAnswer<&wire::gen2_get_mer_1> mer_answer{release_answer<&wire::gen2_get_mer_1>};

// PRIV_getData and PRIV_gen2GetMER: the answer stays where *result points
// until the next call.
template <auto Entry, class Request, class Result>
int kept_call(const char* gate, reader_handle handle, const Request* request, const Result** result,
              KeptAnswer<Entry>& kept)
{
    PrivSession session(gate, handle);
    if (!session)
        return session.result();
    if (!request || !result)
        return READER_ERROR_INVALID_ARGUMENTS;
    using Answer = answer_t<Entry>;
    static_assert(std::is_same_v<Result, Answer> || same_layout<Result, Answer>::value);
    const Answer* answer = nullptr;
    // The answer changes owner: what it points to is released with it later.
    const auto keep = [&](Answer& fresh) {
        answer = kept.replace(std::exchange(fresh, Answer{}), [](const Answer& a) { return &a; });
    };
    bool answered;
    if constexpr (std::is_same_v<Request, argument_t<Entry>>)
        answered = session.template call<Entry>(*request, keep);
    else
        answered = session.template call<Entry>(as_wire<argument_t<Entry>>(*request), keep);
    if (!answered)
        kept.replace(Answer{}, [](const Answer&) { return 0; });
    *result = reinterpret_cast<const Result*>(answer);
    return answered ? 0 : READER_ERROR_REMOTE;
}

// PRIV_getCurrentSlot and PRIV_getAntId: a setting of the reader, as a
// number.
int setting_number(const char* gate, reader_handle handle, const char* name)
{
    PrivSession session(gate, handle);
    if (!session)
        return session.result();
    uint32_t value = 0;
    char* setting = const_cast<char*>(name);   // only encoded
    if (!session.call<&wire::config_get_1>(setting, [&](const char* text) { value = text ? unsigned_number(text) : 0; }))
        return READER_ERROR_REMOTE;
    return value & 0xFFFF;
}

constexpr uint32_t max_hops = 64;
constexpr int max_antenna_readings = 16;

}  // namespace

int PRIV_gen2GetMER(reader_handle handle, const wire::mer_args* request, const wire::mer_result** result)
{
    return kept_call<&wire::gen2_get_mer_1>("gen2GetMER", handle, request, result, mer_answer);
}

}  // namespace qd

using namespace qd;

// The operations that make one call and have no logic of their own.  A row:
// exported name, gate name, procedure, the limit of the caller's arguments
// (false: -100 without a call), the argument sent, the result on success,
// then the parameters after the handle.  `answer` returns the reader's
// answer widened as its type says (16-bit with or without sign).
#define QD_PRIV_ONE_CALL_OPERATIONS(X)                                                                          \
    X(PRIV_setLeds, "setLeds", setleds, ok, (wire::leds_args{mask, value}), nothing, uint16_t mask, uint16_t value) \
    X(PRIV_setAntId, "setAntId", set_ant_id, ok, (wire::ant_id_args{first, second}), answer, uint16_t first,        \
      uint16_t second)                                                                                          \
    X(PRIV_rfOn, "rfOn", rf_on, ok, on_slot(slot), nothing, int slot)                                           \
    X(PRIV_rfOff, "rfOff", rf_off, ok, on_slot(slot), nothing, int slot)                                        \
    X(PRIV_setRxenOn, "setRxenOn", set_rxen_on, ok, on_slot(slot), nothing, int slot)                           \
    X(PRIV_setRxenOff, "setRxenOff", set_rxen_off, ok, on_slot(slot), nothing, int slot)                        \
    X(PRIV_setTxenOn, "setTxenOn", set_txen_on, ok, on_slot(slot), nothing, int slot)                           \
    X(PRIV_setTxenOff, "setTxenOff", set_txen_off, ok, on_slot(slot), nothing, int slot)                        \
    X(PRIV_setTxswOn, "setTxswOn", set_txsw_on, ok, on_slot(slot), nothing, int slot)                           \
    X(PRIV_setTxswOff, "setTxswOff", set_txsw_off, ok, on_slot(slot), nothing, int slot)                        \
    X(PRIV_listenOn, "listenOn", listen_on, ok, on_slot(slot), nothing, int slot)                               \
    X(PRIV_receiveOn, "receiveOn", receive_on, ok, on_slot(slot), nothing, int slot)                            \
    X(PRIV_setFreqHopForced, "setFreqHopForced", set_freq_hop_forced, low16(flag) <= 1, low16(flag), nothing,    \
      int flag)                                                                                                 \
    X(PRIV_getFreqHopForced, "getFreqHopForced", get_freq_hop_forced, ok, none, answer)                         \
    X(PRIV_setGen2Cmd, "setGen2Cmd", set_gen2_cmd, ok, low16(command), nothing, int command)                    \
    X(PRIV_getTxPower, "getTxPower", get_tx_power, ok, on_slot(slot), answer, int slot)                         \
    X(PRIV_setTxPower, "setTxPower", set_slot_tx_power, ok, on_slot(slot, power), answer, int slot, int power)  \
    X(PRIV_setUncalTxPower, "setUncalTxPower", set_uncal_tx_power, ok, on_slot(slot, power), answer, int slot,  \
      int power)                                                                                                \
    X(PRIV_getRxGain, "getRxGain", get_rx_gain, ok, on_slot(slot), answer, int slot)                            \
    X(PRIV_setRxGain, "setRxGain", set_rx_gain, ok, on_slot(slot, gain), nothing, int slot, int gain)           \
    X(PRIV_getFreq, "getFreq", get_freq, frequency != nullptr, on_slot(slot), store_to(frequency), int slot,    \
      uint32_t* frequency)                                                                                      \
    X(PRIV_setFreq, "setFreq", set_freq, ok, on_slot(slot, frequency), nothing, int slot, int frequency)        \
    X(PRIV_getAnt, "getAnt", get_ant, ok, on_slot(slot), answer, int slot)                                      \
    X(PRIV_antSafety, "antSafety", ant_safety, ok, on_slot(slot, value), nothing, int slot, int value)          \
    X(PRIV_setRxClass, "setRxClass", set_rx_class, ok, on_slot(slot, rx_class), nothing, int slot, int rx_class) \
    X(PRIV_setDebugLevel, "setDebugLevel", set_debug_level, ok, u_int{level}, nothing, uint32_t level)          \
    X(PRIV_getDebugLevel, "getDebugLevel", get_debug_level, ok, none, as_int)                                   \
    X(PRIV_setAutoload, "autoload", set_autoload, ok, int{flag}, nothing, int flag)                             \
    X(PRIV_getAutoload, "autoload", get_autoload, ok, none, answer)                                             \
    X(PRIV_resync, "resync", resync, ok, none, nothing)                                                         \
    X(PRIV_rescanHardware, "rescanHardware", rescan_hardware, ok, none, nothing)

#define QD_DEFINE_ONE_CALL(name, gate, procedure, limit, argument, result, ...) \
    int name(reader_handle handle __VA_OPT__(, ) __VA_ARGS__)                    \
    {                                                                            \
        static constexpr auto op = priv_op<&wire::procedure##_1>(gate);          \
        return qd::guarded_priv<int>(#name, READER_ERROR_API_ALLOC,                         \
                                 [&] { return one_call(op, handle, limit, argument, result); }); \
    }

extern "C" {

QD_PRIV_ONE_CALL_OPERATIONS(QD_DEFINE_ONE_CALL)

int PRIV_nop(reader_handle handle)
{
    return qd::guarded_priv<int>("PRIV_nop", READER_ERROR_API_ALLOC, [&]() -> int {
        PrivSession session("nop", handle);
        if (!session)
            return session.result();
        session.call<&wire::nop_1>(ignore);   // whatever came of it
        return 0;
    });
}

int PRIV_getHostInfo(reader_handle handle, host_info_texts* texts)
{
    return qd::guarded_priv<int>("PRIV_getHostInfo", READER_ERROR_API_ALLOC, [&]() -> int {
        PrivSession session("getHostInfo", handle);
        if (!session)
            return session.result();
        if (!texts)
            return READER_ERROR_INVALID_ARGUMENTS;
        const bool answered = session.call<&wire::get_host_info_1>([](const wire::host_info& info) {
            const char* const from[3] = {info.info1, info.info2, info.info3};
            for (int i = 0; i < 3; ++i)
                host_info_text[i].replace(from[i]);
        });
        if (!answered)
            return READER_ERROR_REMOTE;
        texts->info1 = host_info_text[0].text();
        texts->info2 = host_info_text[1].text();
        texts->info3 = host_info_text[2].text();
        return 0;
    });
}

int PRIV_getZrConf(reader_handle handle, const char** text)
{
    return qd::guarded_priv<int>("PRIV_getZrConf", READER_ERROR_API_ALLOC, [&]() -> int {
        PrivSession session("getZrConf", handle);
        if (!session)
            return session.result();
        if (!text)
            return READER_ERROR_INVALID_ARGUMENTS;
        const bool answered = session.call<&wire::get_zr_conf_1>([](const char* conf) { zr_conf_text.replace(conf); });
        if (!answered)
            return READER_ERROR_REMOTE;
        *text = zr_conf_text.text();
        return 0;
    });
}

int PRIV_twiddleLeds(reader_handle handle)
{
    return qd::guarded_priv<int>("PRIV_twiddleLeds", READER_ERROR_API_ALLOC, [&]() -> int {
        PrivSession session("twiddleLeds", handle);
        if (!session)
            return session.result();
        for (uint32_t counter = 0;;) {
            const wire::leds_args leds{0xFFFF, static_cast<u_short>(counter)};
            ++counter;
            priv_trace("Calling setleds_1(mask=0x%X, value=0x%X)", leds.mask, leds.value);
            if (!session.call<&wire::setleds_1>(leds, ignore)) {
                if (session.closed())
                    return priv_bad_handle;   // closed by another thread
                priv_report("RPC setleds call failed");
                return READER_ERROR_REMOTE;
            }
        }
    });
}

int PRIV_getHwId(reader_handle handle, uint16_t selector, const char** text)
{
    return qd::guarded_priv<int>("PRIV_getHwId", READER_ERROR_API_ALLOC, [&]() -> int {
        PrivSession session("getHwId", handle);
        if (!session)
            return session.result();
        if (!text)
            return READER_ERROR_INVALID_ARGUMENTS;
        *text = hwid_text.format("%s\n", hardware_unknown);
        const int slot = selector;
        const bool answered = session.call<&wire::get_hwid_1>(slot, [](const wire::hwid_result& hw) {
            hwid_text.format("%s\n", hw.text ? hw.text : "");
        });
        return answered ? 0 : READER_ERROR_REMOTE;
    });
}

int PRIV_getCurrentSlot(reader_handle handle)
{
    return qd::guarded_priv<int>("PRIV_getCurrentSlot", READER_ERROR_API_ALLOC, [&]() -> int {
        return setting_number("getCurrentSlot", handle, "currentslot");
    });
}

int PRIV_getAntId(reader_handle handle)
{
    return qd::guarded_priv<int>("PRIV_getAntId", READER_ERROR_API_ALLOC, [&]() -> int {
        return setting_number("getAntId", handle, "currentantid");
    });
}

int PRIV_powerUp(reader_handle handle, int slot, int power)
{
    return qd::guarded_priv<int>("PRIV_powerUp", READER_ERROR_API_ALLOC, [&]() -> int {
        PrivSession session("powerUp", handle);
        if (!session)
            return session.result();
        // Through the exported operation, with its checks, its lock and its
        // reader_errno rules.
        const float units = static_cast<float>(power / 100.0);
        if (set_slot_tx_power(handle, units, static_cast<int16_t>(slot)) < 0)
            return READER_ERROR_REMOTE;
        if (!session.call<&wire::rf_on_1>(on_slot(slot, power), ignore))
            return READER_ERROR_REMOTE;
        return 0;
    });
}

int PRIV_powerDown(reader_handle handle, int slot)
{
    return qd::guarded_priv<int>("PRIV_powerDown", READER_ERROR_API_ALLOC, [&]() -> int {
        PrivSession session("powerDown", handle);
        if (!session)
            return session.result();
        const wire::slot_value off = on_slot(slot);
        if (!session.call<&wire::set_slot_tx_power_1>(off, ignore) || !session.call<&wire::rf_on_1>(off, ignore) ||
            !session.call<&wire::rf_off_1>(off, ignore))
            return READER_ERROR_REMOTE;
        return 0;
    });
}

int PRIV_checkAnts(reader_handle handle, int slot, int32_t* checks)
{
    return qd::guarded_priv<int>("PRIV_checkAnts", READER_ERROR_API_ALLOC, [&]() -> int {
        PrivSession session("checkAnts", handle);
        if (!session)
            return session.result();
        if (!checks)
            return READER_ERROR_INVALID_ARGUMENTS;
        u_short reported = 0;
        if (!session.call<&wire::check_ants_count_1>(on_slot(slot), [&](u_short count) { reported = count; }))
            return READER_ERROR_REMOTE;
        // The caller's array holds 16 readings: a reader that reports more gets
        // the first 16 read, and the count says 16 so that the array describes
        // itself.
        const int readings = std::min<int>(reported, max_antenna_readings);
        std::fill_n(checks, max_antenna_readings + 1, 0);
        checks[0] = readings;
        for (int i = 0; i < readings; ++i)
            if (!session.call<&wire::check_ants_get_1>(on_slot(slot, i), [&](u_short reading) { checks[i + 1] = reading; }))
                return READER_ERROR_REMOTE;
        return 0;
    });
}

int PRIV_setAnt(reader_handle handle, int slot, int antenna)
{
    return qd::guarded_priv<int>("PRIV_setAnt", READER_ERROR_API_ALLOC, [&]() -> int {
        PrivSession session("setAnt", handle);
        if (!session)
            return session.result();
        const wire::slot_value selected = on_slot(slot, antenna);
        int now = 0;
        if (!session.call<&wire::set_ant_1>(selected, ignore) ||
            !session.call<&wire::get_ant_1>(selected, [&](u_short in_use) { now = in_use; }))
            return READER_ERROR_REMOTE;
        return now;
    });
}

int PRIV_getData(reader_handle handle, const data_capture_args* request, const data_capture_result** result)
{
    return qd::guarded_priv<int>("PRIV_getData", READER_ERROR_API_ALLOC, [&]() -> int {
        return kept_call<&wire::get_data_1>("getData", handle, request, result, data_answer);
    });
}

int PRIV_getHops(reader_handle handle, hop_table* table, int first)
{
    return qd::guarded_priv<int>("PRIV_getHops", READER_ERROR_API_ALLOC, [&]() -> int {
        PrivSession session("getHops", handle);
        if (!session)
            return session.result();
        int hops = 0;
        if (!session.call<&wire::hops_count_1>([&](u_int count) { hops = static_cast<int>(count); }))
            return READER_ERROR_REMOTE;
        if (!table)
            return 0;
        table->count = 0;
        // Entries go to the table from position 0 on, whatever `first` is.
        for (int i = first; i < hops && table->count < max_hops; ++i)
            if (!session.call<&wire::hops_get_1>(static_cast<u_int>(i),
                                                 [&](u_int khz) { table->hops[table->count++] = khz; }))
                return READER_ERROR_REMOTE;
        return 0;
    });
}

int PRIV_setHops(reader_handle handle, int count, const char* const* texts, hop_table* table)
{
    return qd::guarded_priv<int>("PRIV_setHops", READER_ERROR_API_ALLOC, [&]() -> int {
        PrivSession session("setHops", handle);
        if (!session)
            return session.result();
        if (count > 0 && !texts)
            return READER_ERROR_INVALID_ARGUMENTS;
        priv_trace("Clear frehop table");
        if (!session.call<&wire::hops_clear_1>(ignore))
            return READER_ERROR_REMOTE;
        for (int i = 0; i < count; ++i) {
            const auto khz = texts[i] ? signed_number(texts[i]) : std::nullopt;
            if (!khz)
                continue;
            wire::hop_table one{};
            one.hops[0] = static_cast<u_int>(*khz);
            one.count = 1;
            priv_trace("Add hop: %d kHz", *khz);
            if (!session.call<&wire::hops_add_1>(one, ignore))
                return READER_ERROR_REMOTE;
        }
        if (table && PRIV_getHops(handle, table, 0) < 0)
            return READER_ERROR_REMOTE;
        return 0;
    });
}

}  // extern "C"
