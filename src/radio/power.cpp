// Transmit power of the two radio slots and of the antennas.  The library
// keeps no power of its own: it clamps and converts the caller's value,
// checks the slot or antenna against what the connection found, and makes
// one call per slot or antenna.  The reader works in hundredths.
#include <algorithm>
#include <array>

#include "guard.h"
#include "frame.h"

using namespace qd;

namespace {

constexpr double failed = -1.0;
constexpr uint32_t empty_slot = 0xFFFFFFFFu;
constexpr int16_t last_antenna = 7;
constexpr float max_power = 33.0f;

constexpr Operation<&wire::get_slot_tx_power_1, double> get_slot_tx_power_op{
    .check = "get_slot_tx_power", .failure = failed};

constexpr Operation<&wire::get_antenna_tx_power_1, double> get_antenna_tx_power_op{
    .check = "get_antenna_tx_power", .failure = failed};

constexpr Operation<&wire::get_current_tx_power_1, double> get_current_tx_power_op{
    .check = "get_current_tx_power", .failure = failed};

constexpr Operation<&wire::set_antenna_tx_power_1, double> set_antenna_tx_power_op{
    .check = "set_antenna_tx_power", .failure = failed};

constexpr Operation<&wire::set_slot_tx_power_1, double> set_slot_tx_power_op{
    .check = "set_slot_tx_power", .failure = failed};

// The same procedure as set_slot_tx_power, under the operation's own name.
constexpr Operation<&wire::set_slot_tx_power_1, double> set_tx_power_op{
    .check = "set_tx_power", .failure = failed};

// No failure check: a failed call changes nothing at all.
constexpr Operation<&wire::get_max_reader_power_1, int> get_max_reader_power_op{
    .check = "get_max_reader_power", .policy = Policy::none};

u_short slot_of(int16_t slot)
{
    return slot > 0 ? 1 : 0;
}

u_short antenna_of(int16_t antenna)
{
    return static_cast<u_short>(std::clamp<int16_t>(antenna, 0, last_antenna));
}

// A NaN is taken as the lower bound: converting it to hundredths would be
// undefined.
float clamp_power(float power)
{
    if (!(power >= 0.0f))
        return 0.0f;
    return std::min(power, max_power);
}

// Truncated toward zero, so a float 20.3 (20.2999992...) goes as 2029.
int hundredths(float power)
{
    return static_cast<int>(static_cast<double>(power) * 100.0);
}

double from_hundredths(int value)
{
    return value / 100.0;
}

std::array<uint32_t, 2> slot_hwids(const ReaderObject& reader)
{
    std::lock_guard<std::mutex> copies(reader.copies);
    return {reader.record.hwids[0].hwid, reader.record.hwids[1].hwid};
}

// Connected as get_connected_antennas lists it: below the reported count
// and marked connected.
bool antenna_connected(const ReaderObject& reader, u_short antenna)
{
    std::lock_guard<std::mutex> copies(reader.copies);
    const reader_antenna_list& list = reader.record.antennas;
    return antenna < list.count && antenna < 16 && list.entries[antenna].connected != 0;
}

// A getter's reply in hundredths, traced as the operation's success.
auto power_read(const char* success)
{
    return [success](short value) {
        trace("%s", success);
        return from_hundredths(value);
    };
}

}  // namespace

extern "C" {

double get_slot_tx_power(reader_handle handle, int16_t slot)
{
    return qd::guarded<double>("get_slot_tx_power", -1.0, [&]() -> double {
        return perform(get_slot_tx_power_op, handle, wire::slot_value{slot_of(slot), 0},
                       power_read("get_slot_tx_power got a valid number\n"));
    });
}

double get_antenna_tx_power(reader_handle handle, int16_t antenna)
{
    return qd::guarded<double>("get_antenna_tx_power", -1.0, [&]() -> double {
        return perform(get_antenna_tx_power_op, handle, wire::antenna_value{antenna_of(antenna), 0},
                       power_read("get_antenna_tx_power got a valid number\n"));
    });
}

double get_current_tx_power(reader_handle handle, uint16_t* antenna)
{
    return qd::guarded<double>("get_current_tx_power", -1.0, [&]() -> double {
        return perform(get_current_tx_power_op, handle, [antenna](const wire::antenna_value& in_use) {
            trace("get_current_tx_power got a valid number\n");
            if (antenna)
                *antenna = in_use.antenna;
            return from_hundredths(in_use.value);
        });
    });
}

double set_antenna_tx_power(reader_handle handle, float power, int16_t antenna)
{
    return qd::guarded<double>("set_antenna_tx_power", -1.0, [&]() -> double {
        Frame frame(set_antenna_tx_power_op, handle);
        if (!frame)
            return frame.failure();
        const float clamped = clamp_power(power);
        const u_short port = antenna_of(antenna);
        if (!antenna_connected(*frame.session().reader, port)) {
            trace("set_antenna_tx_power: invalid antenna number\n");
            return frame.refuse(READER_ERROR_INVALID_ANTENNA);
        }
        return frame.run(wire::antenna_value{port, hundredths(clamped)}, [clamped](short) {
            trace("set_antenna_tx_power got a valid number\n");
            return static_cast<double>(clamped);
        });
    });
}

double set_slot_tx_power(reader_handle handle, float power, int16_t slot)
{
    return qd::guarded<double>("set_slot_tx_power", -1.0, [&]() -> double {
        Frame frame(set_slot_tx_power_op, handle);
        if (!frame)
            return frame.failure();
        const float clamped = clamp_power(power);
        const u_short target = slot_of(slot);
        if (slot_hwids(*frame.session().reader)[target] == empty_slot) {
            trace("set_slot_tx_power got a null ptr\n");
            return frame.refuse(READER_ERROR_REMOTE);
        }
        return frame.run(wire::slot_value{target, hundredths(clamped)}, [clamped](short) {
            trace("set_slot_tx_power got a valid number\n");
            return static_cast<double>(clamped);
        });
    });
}

double set_tx_power(reader_handle handle, float power)
{
    return qd::guarded<double>("set_tx_power", -1.0, [&]() -> double {
        Frame frame(set_tx_power_op, handle);
        if (!frame)
            return frame.failure();
        const float clamped = clamp_power(power);
        const auto hwids = slot_hwids(*frame.session().reader);
        bool called = false;
        for (u_short slot = 0; slot < 2; ++slot) {
            if (hwids[slot] == empty_slot)
                continue;
            // A failure on slot 0 leaves slot 1 alone.
            if (frame.run(wire::slot_value{slot, hundredths(clamped)}, [](short) { return 0.0; }) < 0.0)
                return failed;
            called = true;
        }
        if (!called) {
            trace("set_tx_power got a null ptr\n");
            return frame.refuse(READER_ERROR_REMOTE);
        }
        trace("set_tx_power got a valid number\n");
        return clamped;
    });
}

void get_max_reader_power(reader_handle handle, int16_t* power)
{
    qd::guarded_void("get_max_reader_power", [&] {
        Frame frame(get_max_reader_power_op, handle);
        if (!frame || !power)
            return;
        frame.run([power](short max) {
            *power = max;   // as the reader gives it: no conversion
            return 0;
        });
    });
}

}  // extern "C"
