// The frame suite's rows for the radio operations (see frame_suite.h).
// Virtual reader at 127.0.10.1, as it starts: slot 0 occupied, antennas 0
// and 1 connected, every power 20.00, maximum 3000, region "US".
#include <cstring>

#include "frame_suite.h"

namespace qdframe {

namespace {

// A power is reported in whole units (-1.0: -1).
Row power_row(const char* name, double (*call)(reader_handle), uint32_t proc, int success)
{
    return {name, [call](reader_handle h) { return static_cast<int>(call(h)); }, proc, name, -1, -1,
            OnSuccess::leave, success};
}

}  // namespace

const char* frame_host()
{
    return "127.0.10.1";
}

void prepare_frame_reader(qdsim::VirtualReader&) {}

const std::vector<Row>& frame_rows()
{
    static const std::vector<Row> table = {
        power_row("get_slot_tx_power", [](reader_handle h) { return get_slot_tx_power(h, 0); }, GET_SLOT_TX_POWER, 20),
        power_row("get_antenna_tx_power", [](reader_handle h) { return get_antenna_tx_power(h, 1); },
                  GET_ANTENNA_TX_POWER, 20),
        power_row("get_current_tx_power", [](reader_handle h) { return get_current_tx_power(h, nullptr); },
                  GET_CURRENT_TX_POWER, 0),
        power_row("set_antenna_tx_power", [](reader_handle h) { return set_antenna_tx_power(h, 25.5f, 1); },
                  SET_ANTENNA_TX_POWER, 25),
        power_row("set_slot_tx_power", [](reader_handle h) { return set_slot_tx_power(h, 25.5f, 0); },
                  SET_SLOT_TX_POWER, 25),
        power_row("set_tx_power", [](reader_handle h) { return set_tx_power(h, 25.5f); }, SET_SLOT_TX_POWER, 25),
        // The value as the caller preset it when nothing was stored.
        unchecked({"get_max_reader_power",
                   [](reader_handle h) {
                       int16_t max = -1;
                       get_max_reader_power(h, &max);
                       return static_cast<int>(max);
                   },
                   GET_MAX_READER_POWER, nullptr, -1, -1, OnSuccess::leave, 3000}),
        // The length of the name copied, -1 when the buffer was left alone.
        unchecked({"get_region",
                   [](reader_handle h) {
                       char region[64] = "?";
                       get_region(h, region);
                       return std::strcmp(region, "?") == 0 ? -1 : static_cast<int>(std::strlen(region));
                   },
                   GET_REGION, nullptr, -1, -1, OnSuccess::leave, 2}),
        {"get_rfState",
         [](reader_handle h) {
             uint32_t state = 0;
             return static_cast<int>(get_rfState(h, &state));
         },
         GET_RF_STATE, "get_rf_state", -1, -1, OnSuccess::leave, 1},
        // Enables protocol 0, which the reader lists anyway.
        followed_by({"set_supported_protocols",
                     [](reader_handle h) {
                         const protocol_enable_entry entry{0, 1};
                         id_list list{};
                         return set_supported_protocols(h, 1, &entry, list);
                     },
                     PARAMS_SET, "params_set", -1, -1, OnSuccess::leave, 1},
                    initial_queries),
    };
    return table;
}

}  // namespace qdframe
