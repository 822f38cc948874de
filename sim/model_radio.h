// The virtual reader's radio: transmit powers, region, what the last search
// used, and the protocols that the parameter store switched on or off.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "virtual_reader.h"

namespace qdsim::detail {

struct ReaderModel;

struct RadioModel {
    // Powers in hundredths; a power set by a client is kept within
    // 0..max_power.  An antenna without a power of its own transmits with
    // slot 0's.
    int16_t max_power = 0;
    std::array<int16_t, 2> slot_power{};
    std::array<int16_t, 16> antenna_power{};
    std::array<bool, 16> antenna_power_set{};
    std::string region;

    // What the latest search transmitted with (none yet: antenna 0, 0).
    uint16_t search_antenna = 0;
    int32_t search_power = 0;

    void configure(const Radio& settings);
    int16_t effective_power(uint16_t antenna) const;
    // A search starts: it transmits on the lowest connected antenna.
    void search_started(const Hardware& hardware);
};

// The RF state word: bit 0 while a search is transmitting.
uint32_t rf_state(const ReaderModel& m);

// The protocols reported to a client: the hardware's, changed by the
// "protocol_enable_list" parameter ("ID:0xVALUE " pairs; value 0 switches a
// protocol off, any other on, if the hardware has it).
void supported_protocols(const ReaderModel& m, uint16_t (&bits)[16]);

}  // namespace qdsim::detail
