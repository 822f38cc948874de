// The virtual reader's hardware as the privileged procedures drive it: LEDs,
// the radio slots, the hop table, antenna checks and the reader's own texts.
// Transmit power per slot belongs to the radio (model_radio.h); this keeps
// what only the privileged procedures reach.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qdsim {

// One radio slot.
struct SlotHardware {
    bool rf_on = false;
    bool rx_enabled = false;
    bool tx_enabled = false;
    bool tx_switch = false;
    bool listening = false;          // LISTEN_ON; RF off ends it
    bool receiving = false;          // RECEIVE_ON; RF off ends it
    int16_t uncal_power = 0;         // hundredths, SET_UNCAL_TX_POWER
    int16_t rx_gain = 0;
    uint32_t frequency_khz = 915250;
    uint16_t antenna = 0;            // the port in use (SET_ANT, GET_ANT)
    int32_t antenna_safety = 0;
    int32_t rx_class = 0;
};

// A hop table of 50 channels 500 kHz apart from 902750 kHz, in the
// scattered order a reader hops through them.
inline std::vector<uint32_t> default_hop_table()
{
    std::vector<uint32_t> hops;
    for (uint32_t i = 0; i < 50; ++i)
        hops.push_back(902750 + 500 * (i * 17 % 50));
    return hops;
}

struct DiagHardware {
    uint16_t leds = 0;               // SETLEDS changes the bits of its mask
    std::array<SlotHardware, 2> slots{};
    uint16_t current_slot = 0;       // the slot of the latest RF_ON or SET_ANT
    // The identifier of each antenna port (SET_ANT_ID); port i starts as i.
    std::array<uint16_t, 16> antenna_ids = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    // What CHECK_ANTS_GET reads, in order, for either slot; none: one
    // reading per connected antenna port, 200 + the port.
    std::optional<std::vector<uint16_t>> antenna_checks;
    bool hop_forced = false;
    std::vector<uint32_t> hops = default_hop_table();   // kHz, at most max_hops
    uint16_t gen2_command = 0;
    uint32_t debug_level = 0;
    int32_t autoload = 1;
    uint32_t resyncs = 0;
    uint32_t rescans = 0;
    std::array<std::string, 3> host_info = {"qdsim virtual reader", "loopback", "no hardware"};
    std::string config_text = "slots=2\nantennas=16\nhop_table=50\n";
    // Test hook: the answer of a procedure that answers one number, by
    // procedure number, instead of the hardware's (narrowed to the answer's
    // type).
    std::map<uint32_t, int64_t> forced_answers;

    // A hop table longer than this ignores HOPS_ADD: a client that adds
    // without end cannot exhaust the reader's memory.
    static constexpr std::size_t max_hops = 4096;
};

}  // namespace qdsim
