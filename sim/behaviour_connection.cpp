// The queries a client makes when it connects: hardware identity, antennas,
// protocols.
#include "behaviour.h"

namespace qdsim::detail {

void answer(Proc<GET_HWID>, ReaderModel& m, const int* slot, wire::hwid_result* res)
{
    if (*slot == 0 || *slot == 1) {
        res->hwid = m.hardware.hwid[*slot];
        set_string(res->text, m.hardware.text[*slot]);
    } else {
        res->hwid = 0xFFFFFFFFu;   // no such slot: reported like an empty one
    }
}

// The hardware's protocols as the parameter store's enable list leaves them
// (behaviour_radio.cpp).
void answer(Proc<GET_SUPPORTED_PROTOCOLS>, ReaderModel& m, const void*, wire::protocol_list* res)
{
    supported_protocols(m, res->bits);
}

void answer(Proc<GET_CONNECTED_ANTENNAS>, ReaderModel& m, const void*, wire::antenna_list* res)
{
    res->count = m.hardware.antenna_count;
    for (int i = 0; i < 16; ++i)
        res->entries[i].connected = (m.hardware.antenna_connected_mask >> i) & 1u;
}

}  // namespace qdsim::detail
