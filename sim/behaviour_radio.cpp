// The radio: transmit power per slot and per antenna, the power and antenna
// of the latest search, the maximum power, the region, the RF state word and
// the protocols that the parameter store switches on and off.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

#include "behaviour.h"

namespace qdsim::detail {

namespace {

constexpr uint32_t transmitting = 0x1;

int16_t within(const RadioModel& radio, int32_t value)
{
    return static_cast<int16_t>(std::clamp<int32_t>(value, 0, std::max<int16_t>(radio.max_power, 0)));
}

bool slot_present(const ReaderModel& m, u_short slot)
{
    return slot < 2 && m.hardware.hwid[slot] != 0xFFFFFFFFu;
}

bool running(const Search& s, Clock::time_point now, std::chrono::milliseconds duration)
{
    return s.polled && !s.done && now - s.running_since < duration;
}

}  // namespace

void RadioModel::configure(const Radio& settings)
{
    *this = RadioModel{};
    max_power = settings.max_power;
    slot_power.fill(settings.power);   // as given: a reader may start anywhere
    region = settings.region;
}

int16_t RadioModel::effective_power(uint16_t antenna) const
{
    if (antenna < antenna_power.size() && antenna_power_set[antenna])
        return antenna_power[antenna];
    return slot_power[0];
}

void RadioModel::search_started(const Hardware& hardware)
{
    search_antenna = 0;
    for (uint16_t port = 0; port < 16 && port < hardware.antenna_count; ++port)
        if ((hardware.antenna_connected_mask >> port) & 1u) {
            search_antenna = port;
            break;
        }
    search_power = effective_power(search_antenna);
}

uint32_t rf_state(const ReaderModel& m)
{
    const auto now = Clock::now();
    for (const auto& [id, search] : m.searches)
        if (running(search, now, m.search_duration))
            return transmitting;
    return 0;
}

void supported_protocols(const ReaderModel& m, uint16_t (&bits)[16])
{
    std::copy(std::begin(m.hardware.protocol_bits), std::end(m.hardware.protocol_bits), bits);
    const auto list = m.admin.params.find("protocol_enable_list");
    if (list == m.admin.params.end())
        return;
    std::istringstream pairs(list->second);
    std::string pair;
    while (pairs >> pair) {
        // Anything but "ID:0xVALUE" with an identifier below 256 is passed over.
        char* end = nullptr;
        const unsigned long id = std::strtoul(pair.c_str(), &end, 10);
        if (!std::isdigit(static_cast<unsigned char>(pair[0])) || *end != ':' || id > 255)
            continue;
        const char* value = end + 1;
        const unsigned long enable = std::strtoul(value, &end, 16);
        if (!std::isxdigit(static_cast<unsigned char>(*value)) || *end != '\0')
            continue;
        const uint16_t bit = static_cast<uint16_t>(1u << (id % 16));
        uint16_t& word = bits[id / 16];
        const bool present = ((m.hardware.protocol_bits[id / 16] | m.hardware.protocol_bits_off[id / 16]) & bit) != 0;
        if (enable == 0)
            word = static_cast<uint16_t>(word & ~bit);
        else if (present)
            word = static_cast<uint16_t>(word | bit);
    }
}

void answer(Proc<GET_SLOT_TX_POWER>, ReaderModel& m, const wire::slot_value* arg, short* res)
{
    if (slot_present(m, arg->slot))
        *res = m.radio.slot_power[arg->slot];
}

void answer(Proc<SET_SLOT_TX_POWER>, ReaderModel& m, const wire::slot_value* arg, short* res)
{
    if (!slot_present(m, arg->slot))
        return;
    m.radio.slot_power[arg->slot] = within(m.radio, arg->value);
    *res = m.radio.slot_power[arg->slot];
}

void answer(Proc<GET_ANTENNA_TX_POWER>, ReaderModel& m, const wire::antenna_value* arg, short* res)
{
    if (arg->antenna < m.radio.antenna_power.size())
        *res = m.radio.effective_power(arg->antenna);
}

void answer(Proc<SET_ANTENNA_TX_POWER>, ReaderModel& m, const wire::antenna_value* arg, short* res)
{
    if (arg->antenna >= m.radio.antenna_power.size())
        return;
    m.radio.antenna_power[arg->antenna] = within(m.radio, arg->value);
    m.radio.antenna_power_set[arg->antenna] = true;
    *res = m.radio.antenna_power[arg->antenna];
}

void answer(Proc<GET_CURRENT_TX_POWER>, ReaderModel& m, const void*, wire::antenna_value* res)
{
    res->antenna = m.radio.search_antenna;
    res->value = m.radio.search_power;
}

void answer(Proc<GET_MAX_READER_POWER>, ReaderModel& m, const void*, short* res)
{
    *res = m.radio.max_power;
}

void answer(Proc<GET_REGION>, ReaderModel& m, const void*, char** res)
{
    set_string(*res, m.radio.region);
}

void answer(Proc<GET_RF_STATE>, ReaderModel& m, const void*, u_int* res)
{
    *res = rf_state(m);
}

}  // namespace qdsim::detail
