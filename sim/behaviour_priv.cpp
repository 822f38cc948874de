// The hardware that the privileged procedures drive: LEDs, the switches and
// settings of the two radio slots, antennas and their checks, the hop table,
// the reader's debug settings and texts, and the data capture and MER
// answers.  Slots other than 0 and 1 change nothing and read 0.
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>

#include "behaviour.h"

namespace qdsim::detail {

namespace {

SlotHardware* slot_of(ReaderModel& m, u_short slot)
{
    return slot < m.priv.slots.size() ? &m.priv.slots[slot] : nullptr;
}

// The answer of a procedure that answers one number: the hardware's, unless
// a test forced another.
template <class T>
T reply(const ReaderModel& m, uint32_t proc, T natural)
{
    const auto forced = m.priv.forced_answers.find(proc);
    return forced == m.priv.forced_answers.end() ? natural : static_cast<T>(forced->second);
}

int16_t as_short(int32_t value)
{
    return static_cast<int16_t>(std::clamp<int32_t>(value, std::numeric_limits<int16_t>::min(),
                                                    std::numeric_limits<int16_t>::max()));
}

// The settings "currentslot" and "currentantid", which CONFIG_GET answers
// from the named settings, follow the hardware.
void publish_current(ReaderModel& m)
{
    const DiagHardware& d = m.priv;
    const uint16_t port = d.slots[d.current_slot].antenna;
    m.admin.settings["currentslot"] = std::to_string(d.current_slot);
    m.admin.settings["currentantid"] = std::to_string(port < d.antenna_ids.size() ? d.antenna_ids[port] : port);
}

bool connected_port(const Hardware& hw, uint32_t port)
{
    return port < 16 && static_cast<int32_t>(port) < hw.antenna_count && ((hw.antenna_connected_mask >> port) & 1u);
}

std::vector<uint16_t> antenna_readings(const ReaderModel& m)
{
    if (m.priv.antenna_checks)
        return *m.priv.antenna_checks;
    std::vector<uint16_t> readings;
    for (uint16_t port = 0; port < 16; ++port)
        if (connected_port(m.hardware, port))
            readings.push_back(static_cast<uint16_t>(200 + port));
    return readings;
}

template <bool SlotHardware::*Flag>
void set_flag(ReaderModel& m, const wire::slot_value* arg, bool on)
{
    if (SlotHardware* s = slot_of(m, arg->slot))
        s->*Flag = on;
}

}  // namespace

void answer(Proc<NOP>, ReaderModel&, const void*, int* res)
{
    *res = 0;
}

void answer(Proc<SETLEDS>, ReaderModel& m, const wire::leds_args* arg, void*)
{
    m.priv.leds = static_cast<uint16_t>((m.priv.leds & ~arg->mask) | (arg->value & arg->mask));
}

void answer(Proc<GET_HOST_INFO>, ReaderModel& m, const void*, wire::host_info* res)
{
    set_string(res->info1, m.priv.host_info[0]);
    set_string(res->info2, m.priv.host_info[1]);
    set_string(res->info3, m.priv.host_info[2]);
}

void answer(Proc<GET_ZR_CONF>, ReaderModel& m, const void*, char** res)
{
    set_string(*res, m.priv.config_text);
}

void answer(Proc<RF_ON>, ReaderModel& m, const wire::slot_value* arg, void*)
{
    if (SlotHardware* s = slot_of(m, arg->slot)) {
        s->rf_on = true;
        m.priv.current_slot = arg->slot;
        publish_current(m);
    }
}

void answer(Proc<RF_OFF>, ReaderModel& m, const wire::slot_value* arg, void*)
{
    if (SlotHardware* s = slot_of(m, arg->slot)) {
        s->rf_on = false;
        s->listening = false;
        s->receiving = false;
    }
}

void answer(Proc<SET_RXEN_ON>, ReaderModel& m, const wire::slot_value* arg, void*)
{
    set_flag<&SlotHardware::rx_enabled>(m, arg, true);
}

void answer(Proc<SET_RXEN_OFF>, ReaderModel& m, const wire::slot_value* arg, void*)
{
    set_flag<&SlotHardware::rx_enabled>(m, arg, false);
}

void answer(Proc<SET_TXEN_ON>, ReaderModel& m, const wire::slot_value* arg, void*)
{
    set_flag<&SlotHardware::tx_enabled>(m, arg, true);
}

void answer(Proc<SET_TXEN_OFF>, ReaderModel& m, const wire::slot_value* arg, void*)
{
    set_flag<&SlotHardware::tx_enabled>(m, arg, false);
}

void answer(Proc<SET_TXSW_ON>, ReaderModel& m, const wire::slot_value* arg, void*)
{
    set_flag<&SlotHardware::tx_switch>(m, arg, true);
}

void answer(Proc<SET_TXSW_OFF>, ReaderModel& m, const wire::slot_value* arg, void*)
{
    set_flag<&SlotHardware::tx_switch>(m, arg, false);
}

void answer(Proc<LISTEN_ON>, ReaderModel& m, const wire::slot_value* arg, void*)
{
    set_flag<&SlotHardware::listening>(m, arg, true);
}

void answer(Proc<RECEIVE_ON>, ReaderModel& m, const wire::slot_value* arg, void*)
{
    set_flag<&SlotHardware::receiving>(m, arg, true);
}

// The calibrated power is the radio's power of the slot (SET_SLOT_TX_POWER).
void answer(Proc<GET_TX_POWER>, ReaderModel& m, const wire::slot_value* arg, short* res)
{
    const short power = arg->slot < m.radio.slot_power.size() ? m.radio.slot_power[arg->slot] : 0;
    *res = reply<short>(m, GET_TX_POWER, power);
}

void answer(Proc<SET_UNCAL_TX_POWER>, ReaderModel& m, const wire::slot_value* arg, short* res)
{
    short power = 0;
    if (SlotHardware* s = slot_of(m, arg->slot)) {
        s->uncal_power = std::max<int16_t>(as_short(arg->value), 0);
        power = s->uncal_power;
    }
    *res = reply<short>(m, SET_UNCAL_TX_POWER, power);
}

void answer(Proc<GET_RX_GAIN>, ReaderModel& m, const wire::slot_value* arg, short* res)
{
    const SlotHardware* s = slot_of(m, arg->slot);
    *res = reply<short>(m, GET_RX_GAIN, s ? s->rx_gain : 0);
}

void answer(Proc<SET_RX_GAIN>, ReaderModel& m, const wire::slot_value* arg, void*)
{
    if (SlotHardware* s = slot_of(m, arg->slot))
        s->rx_gain = as_short(arg->value);
}

void answer(Proc<GET_FREQ>, ReaderModel& m, const wire::slot_value* arg, u_int* res)
{
    const SlotHardware* s = slot_of(m, arg->slot);
    *res = reply<u_int>(m, GET_FREQ, s ? s->frequency_khz : 0);
}

void answer(Proc<SET_FREQ>, ReaderModel& m, const wire::slot_value* arg, void*)
{
    if (SlotHardware* s = slot_of(m, arg->slot))
        s->frequency_khz = static_cast<uint32_t>(arg->value);
}

void answer(Proc<CHECK_ANTS_COUNT>, ReaderModel& m, const wire::slot_value*, u_short* res)
{
    const auto readings = antenna_readings(m);
    *res = reply<u_short>(m, CHECK_ANTS_COUNT, static_cast<u_short>(std::min<std::size_t>(readings.size(), 0xFFFF)));
}

void answer(Proc<CHECK_ANTS_GET>, ReaderModel& m, const wire::slot_value* arg, u_short* res)
{
    const auto readings = antenna_readings(m);
    const auto index = static_cast<uint32_t>(arg->value);
    *res = index < readings.size() ? readings[index] : 0;
}

void answer(Proc<GET_ANT>, ReaderModel& m, const wire::slot_value* arg, u_short* res)
{
    const SlotHardware* s = slot_of(m, arg->slot);
    *res = reply<u_short>(m, GET_ANT, s ? s->antenna : 0);
}

// Only a connected port can be selected; the slot keeps its antenna
// otherwise, which GET_ANT then shows.
void answer(Proc<SET_ANT>, ReaderModel& m, const wire::slot_value* arg, void*)
{
    SlotHardware* s = slot_of(m, arg->slot);
    if (!s || !connected_port(m.hardware, static_cast<uint32_t>(arg->value)))
        return;
    s->antenna = static_cast<uint16_t>(arg->value);
    m.priv.current_slot = arg->slot;
    publish_current(m);
}

// {port, identifier}: gives the port an identifier; answers the port's
// identifier as it is now (0 for a port that does not exist).
void answer(Proc<SET_ANT_ID>, ReaderModel& m, const wire::ant_id_args* arg, u_short* res)
{
    u_short now = 0;
    if (arg->first < m.priv.antenna_ids.size()) {
        m.priv.antenna_ids[arg->first] = arg->second;
        now = arg->second;
        publish_current(m);
    }
    *res = reply<u_short>(m, SET_ANT_ID, now);
}

void answer(Proc<ANT_SAFETY>, ReaderModel& m, const wire::slot_value* arg, void*)
{
    if (SlotHardware* s = slot_of(m, arg->slot))
        s->antenna_safety = arg->value;
}

void answer(Proc<SET_RX_CLASS>, ReaderModel& m, const wire::slot_value* arg, void*)
{
    if (SlotHardware* s = slot_of(m, arg->slot))
        s->rx_class = arg->value;
}

void answer(Proc<HOPS_CLEAR>, ReaderModel& m, const void*, void*)
{
    m.priv.hops.clear();
}

void answer(Proc<HOPS_ADD>, ReaderModel& m, const wire::hop_table* arg, void*)
{
    const u_int count = std::min<u_int>(arg->count, 64);
    for (u_int i = 0; i < count && m.priv.hops.size() < DiagHardware::max_hops; ++i)
        m.priv.hops.push_back(arg->hops[i]);
}

void answer(Proc<HOPS_COUNT>, ReaderModel& m, const void*, u_int* res)
{
    *res = reply<u_int>(m, HOPS_COUNT, static_cast<u_int>(m.priv.hops.size()));
}

void answer(Proc<HOPS_GET>, ReaderModel& m, const u_int* index, u_int* res)
{
    *res = *index < m.priv.hops.size() ? m.priv.hops[*index] : 0;
}

void answer(Proc<SET_FREQ_HOP_FORCED>, ReaderModel& m, const u_short* flag, void*)
{
    m.priv.hop_forced = *flag != 0;
}

void answer(Proc<GET_FREQ_HOP_FORCED>, ReaderModel& m, const void*, short* res)
{
    *res = reply<short>(m, GET_FREQ_HOP_FORCED, m.priv.hop_forced ? 1 : 0);
}

void answer(Proc<SET_GEN2_CMD>, ReaderModel& m, const u_short* command, void*)
{
    m.priv.gen2_command = *command;
}

void answer(Proc<SET_DEBUG_LEVEL>, ReaderModel& m, const u_int* level, void*)
{
    m.priv.debug_level = *level;
}

void answer(Proc<GET_DEBUG_LEVEL>, ReaderModel& m, const void*, u_int* res)
{
    *res = reply<u_int>(m, GET_DEBUG_LEVEL, m.priv.debug_level);
}

void answer(Proc<SET_AUTOLOAD>, ReaderModel& m, const int* flag, void*)
{
    m.priv.autoload = *flag;
}

void answer(Proc<GET_AUTOLOAD>, ReaderModel& m, const void*, int* res)
{
    *res = reply<int>(m, GET_AUTOLOAD, m.priv.autoload);
}

void answer(Proc<RESYNC>, ReaderModel& m, const void*, void*)
{
    ++m.priv.resyncs;
}

void answer(Proc<RESCAN_HARDWARE>, ReaderModel& m, const void*, void*)
{
    ++m.priv.rescans;
}

// A capture made to the request's measure: words 1 to 3 and 5 to 7 come
// back, sample k is list value k (cyclically) plus k, or word 4 plus k
// without a list, and word 4 of the result is the list's length.
void answer(Proc<GET_DATA>, ReaderModel&, const wire::data_capture_args* arg, wire::data_capture_result* res)
{
    res->result_word1 = arg->capture_word1;
    res->result_word2 = arg->capture_word2;
    res->result_word3 = arg->capture_word3;
    const u_int n = arg->capture_list.capture_list_len;
    for (u_int k = 0; k < 32; ++k) {
        const u_short base = n > 0 ? arg->capture_list.capture_list_val[k % n] : arg->capture_word4;
        res->samples[k] = static_cast<u_short>(base + k);
    }
    res->result_word4 = static_cast<u_short>(n);
    res->result_word5 = arg->capture_word5;
    res->result_word6 = arg->capture_word6;
    res->result_word7 = arg->capture_word7;
}

// MER answers: words 1 to 6 come back; word 7 asks for that many entries
// (at most 8), entry e has e in its first words and the list's values plus
// e as its samples.
void answer(Proc<GEN2_GET_MER>, ReaderModel&, const wire::mer_args* arg, wire::mer_result* res)
{
    res->result_word1 = arg->mer_word1;
    res->result_word2 = arg->mer_word2;
    res->result_word3 = arg->mer_word3;
    res->result_word4 = arg->mer_word4;
    res->result_word5 = arg->mer_word5;
    res->result_word6 = arg->mer_word6;
    const u_int entries = std::min<u_int>(arg->mer_word7, 8);
    if (entries == 0)
        return;
    // Freed with the result's filter, which releases with free().
    auto* list = static_cast<wire::mer_entry*>(std::calloc(entries, sizeof(wire::mer_entry)));
    if (!list)
        return;
    const u_int n = arg->mer_list.mer_list_len;
    for (u_int e = 0; e < entries; ++e) {
        wire::mer_entry& entry = list[e];
        entry.channel1.channel_word1 = static_cast<u_short>(e);
        entry.channel2.channel_word1 = static_cast<u_short>(e);
        entry.entry_word1 = static_cast<u_short>(e);
        entry.entry_word2 = arg->mer_word8;
        for (u_int k = 0; k < 32; ++k)
            entry.samples[k] = static_cast<u_short>((n > 0 ? arg->mer_list.mer_list_val[k % n] : 0) + e);
        entry.entry_word3 = arg->mer_word9;
    }
    res->entries.entries_len = entries;
    res->entries.entries_val = list;
}

}  // namespace qdsim::detail
