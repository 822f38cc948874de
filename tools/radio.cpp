// qdctl HOST power | protocols | antennas | region | rf-state: the radio,
// and what info shows of it.
#include <cctype>
#include <cerrno>
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <strings.h>

#include "cli.h"
#include "qdapi.h"

namespace qdctl {

const char power_synopsis[] = "power [--json] | power set [--slot N | --antenna N] [--json] UNITS";
const char power_help[] =
    "      Prints the transmit power of each slot and of each connected antenna,\n"
    "      the power and antenna in use (the latest search's) and the reader's\n"
    "      maximum; every power in units with two decimals (the reader's\n"
    "      hundredths / 100).  'power set' sets the power of a slot, of an\n"
    "      antenna, or of both slots (no option; an empty slot is skipped) and\n"
    "      prints the power the reader then reports for each, with the power\n"
    "      asked for when the reader holds another: UNITS is clamped to 0..33\n"
    "      and sent in hundredths, truncated; the reader keeps to its maximum.\n"
    "      --slot N       slot 0 or 1\n"
    "      --antenna N    antenna 0..7 (it must be connected)\n"
    "      --json         a JSON object\n";

const char protocols_synopsis[] = "protocols [--json] | protocols set [--json] NAME|ID[=on|off]...";
const char protocols_help[] =
    "      Prints the protocols the reader supports, an identifier and its name a\n"
    "      line.  'protocols set' stores the reader's protocol enable list (each\n"
    "      protocol by name or identifier 0..255, on unless =off; no protocol: the\n"
    "      empty list), connects anew and prints the protocols now supported.\n"
    "      --json         a JSON object\n";

const char antennas_synopsis[] = "antennas [--json]";
const char antennas_help[] = "      Prints the connected antenna ports.\n"
                             "      --json         a JSON object\n";

const char region_synopsis[] = "region [--json]";
const char region_help[] = "      Prints the reader's region.\n"
                           "      --json         a JSON object\n";

const char rf_state_synopsis[] = "rf-state [--json]";
const char rf_state_help[] = "      Prints the reader's RF state word, in hex.\n"
                             "      --json         a JSON object\n";

namespace {

constexpr uint32_t empty_slot = 0xFFFFFFFFu;
constexpr int protocol_count = 14;   // names in protocol_names
// The enable list must fit the reader's 127 characters, or its tail is lost.
constexpr std::size_t max_enable_text = 127;
// Room for a region name at first: real names are short; a longer one is
// asked for again with the room the library says it needs.
constexpr std::size_t region_room = 64;

std::string protocol_name(int32_t id)
{
    if (id >= 0 && id < protocol_count && protocol_names[id] && *protocol_names[id])
        return protocol_names[id];
    return std::to_string(id);
}

std::string power_text(double power)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", power);
    return text;
}

// A power as JSON: the number that power_text shows.
Json power_json(double power)
{
    return std::round(power * 100) / 100;
}

// The reader gives its maximum in hundredths; qdctl shows every power in
// units.
double units_of_hundredths(int hundredths)
{
    return hundredths / 100.0;
}

// --json and nothing else as options.
std::vector<std::string> json_option(const std::vector<std::string>& args, bool& json)
{
    return parse_options(args, {{"json", false, [&](const std::string&) { json = true; }}});
}

void no_arguments(const std::vector<std::string>& rest, const char* command)
{
    if (!rest.empty())
        throw UsageError(std::string("unexpected argument '") + rest.front() + "' for " + command);
}

std::vector<int32_t> listed(const id_list& list)
{
    const int n = list[0] < 0 ? 0 : list[0] > 16 ? 16 : list[0];
    return std::vector<int32_t>(list + 1, list + 1 + n);
}

std::vector<int32_t> connected_antennas(reader_handle h)
{
    id_list list{};
    if (get_connected_antennas(h, list) < 0)
        fail("get_connected_antennas");
    return listed(list);
}

std::vector<int32_t> supported_protocols(reader_handle h)
{
    id_list list{};
    if (get_supported_protocols(h, list) < 0)
        fail("get_supported_protocols");
    return listed(list);
}

double checked_power(double power, const char* what)
{
    if (power < 0)
        fail(what);
    return power;
}

// ---------------------------------------------------------------------------
// What the radio reports.

struct SlotPower {
    uint32_t hwid;
    std::string text;
    std::optional<double> power;   // none: an empty slot
};

struct Powers {
    SlotPower slots[2];
    std::vector<std::pair<int32_t, double>> antennas;
    uint16_t antenna_in_use = 0;
    double in_use = 0;
    int16_t max = 0;
};

Powers read_powers(reader_handle h)
{
    Powers p;
    const reader_record* record = handle_to_reader(h);
    if (!record)
        fail("handle_to_reader");
    for (int s = 0; s < 2; ++s) {
        p.slots[s].hwid = record->hwids[s].hwid;
        p.slots[s].text = record->hwids[s].text ? record->hwids[s].text : "";
    }
    for (int s = 0; s < 2; ++s)
        if (p.slots[s].hwid != empty_slot)
            p.slots[s].power = checked_power(get_slot_tx_power(h, static_cast<int16_t>(s)), "get_slot_tx_power");
    for (int32_t port : connected_antennas(h))
        p.antennas.emplace_back(port, checked_power(get_antenna_tx_power(h, static_cast<int16_t>(port)),
                                                    "get_antenna_tx_power"));
    p.in_use = checked_power(get_current_tx_power(h, &p.antenna_in_use), "get_current_tx_power");
    // A failed call leaves the value and reader_errno alone: preset it.
    constexpr int16_t unanswered = INT16_MIN;
    p.max = unanswered;
    get_max_reader_power(h, &p.max);
    if (p.max == unanswered)
        throw Failure("get_max_reader_power: the reader did not answer");
    return p;
}

std::string read_region(reader_handle h)
{
    std::vector<char> buffer(region_room, '\0');
    // The reader may change its region between two calls: the name is
    // taken from a call whose whole answer fit.  The library never reports
    // more than QDAPI_REGION_MAX, so the second call's room always does.
    for (int attempt = 0;; ++attempt) {
        const int length = get_region_sized(h, buffer.data(), buffer.size());
        if (length < 0)
            fail("get_region_sized");
        const auto whole = static_cast<std::size_t>(length);
        if (whole < buffer.size() || attempt == 2)
            return std::string(buffer.data(), std::min(whole, buffer.size() - 1));
        buffer.assign(std::min<std::size_t>(whole, QDAPI_REGION_MAX) + 1, '\0');
    }
}

std::string hwid_hex(uint32_t hwid)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIX32, hwid);
    return text;
}

Json powers_json(const Powers& p)
{
    Json slots = Json::array();
    for (int s = 0; s < 2; ++s)
        slots.push_back({{"slot", s}, {"power", p.slots[s].power ? power_json(*p.slots[s].power) : Json(nullptr)}});
    Json antennas = Json::array();
    for (const auto& [port, power] : p.antennas)
        antennas.push_back({{"antenna", port}, {"power", power_json(power)}});
    return {{"slots", slots},
            {"antennas", antennas},
            {"in_use", {{"antenna", p.antenna_in_use}, {"power", power_json(p.in_use)}}},
            {"max", power_json(units_of_hundredths(p.max))}};
}

void print_powers(const Powers& p)
{
    for (int s = 0; s < 2; ++s)
        std::printf("slot %d: %s\n", s, p.slots[s].power ? power_text(*p.slots[s].power).c_str() : "empty");
    for (const auto& [port, power] : p.antennas)
        std::printf("antenna %d: %s\n", port, power_text(power).c_str());
    std::printf("in use: %s (antenna %u)\n", power_text(p.in_use).c_str(), p.antenna_in_use);
    std::printf("maximum: %s\n", power_text(units_of_hundredths(p.max)).c_str());
}

void print_protocols(const std::vector<int32_t>& ids, bool json)
{
    if (json) {
        Json list = Json::array();
        for (int32_t id : ids)
            list.push_back({{"id", id}, {"name", protocol_name(id)}});
        print_json({{"protocols", list}});
        return;
    }
    for (int32_t id : ids)
        std::printf("%d %s\n", id, protocol_name(id).c_str());
}

// ---------------------------------------------------------------------------
// power set, protocols set

float parse_units(const std::string& text)
{
    const double units = parse_decimal(text, "power");
    if (std::fabs(units) > 1e6)   // far beyond any reader, and beyond a float's hundredths
        throw UsageError("bad power '" + text + "'");
    return static_cast<float>(units);
}

int set_power(const Invocation& inv)
{
    bool json = false;
    std::optional<int16_t> slot, antenna;
    std::vector<std::string> rest = parse_options(
        std::vector<std::string>(inv.args.begin() + 1, inv.args.end()),
        {
            {"json", false, [&](const std::string&) { json = true; }},
            {"slot", true, [&](const std::string& v) { slot = static_cast<int16_t>(parse_number(v, 1, "slot")); }},
            {"antenna", true,
             [&](const std::string& v) { antenna = static_cast<int16_t>(parse_number(v, 7, "antenna")); }},
        });
    if (slot && antenna)
        throw UsageError("power set takes --slot or --antenna, not both");
    if (rest.size() != 1)
        throw UsageError("power set takes one power (UNITS)");
    const float units = parse_units(rest[0]);

    Reader reader(inv.host);
    const reader_handle h = reader.handle();
    // What the call answers is the power asked for, clamped by the library;
    // the reader may hold less (its maximum), so it is asked afterwards.
    double asked;
    std::vector<std::pair<std::string, double>> held;
    if (slot) {
        // The library refuses an empty slot as it refuses a failed call.
        const reader_record* record = handle_to_reader(h);
        if (record && record->hwids[*slot].hwid == empty_slot)
            throw Failure("power set: slot " + std::to_string(*slot) + " is empty");
        asked = checked_power(set_slot_tx_power(h, units, *slot), "power set: set_slot_tx_power");
        held.emplace_back("slot " + std::to_string(*slot),
                          checked_power(get_slot_tx_power(h, *slot), "power set: get_slot_tx_power"));
    } else if (antenna) {
        asked = checked_power(set_antenna_tx_power(h, units, *antenna), "power set: set_antenna_tx_power");
        held.emplace_back("antenna " + std::to_string(*antenna),
                          checked_power(get_antenna_tx_power(h, *antenna), "power set: get_antenna_tx_power"));
    } else {
        asked = checked_power(set_tx_power(h, units), "power set: set_tx_power");
        const reader_record* record = handle_to_reader(h);
        if (!record)
            fail("power set: handle_to_reader");
        for (int16_t s = 0; s < 2; ++s)
            if (record->hwids[s].hwid != empty_slot)
                held.emplace_back("slot " + std::to_string(s),
                                  checked_power(get_slot_tx_power(h, s), "power set: get_slot_tx_power"));
    }
    // The library sends hundredths, truncated: a power held as sent is no
    // news, one the reader changed is told beside it.
    const long sent = static_cast<long>(asked * 100);
    const double sent_units = units_of_hundredths(static_cast<int>(sent));
    if (json) {
        Json set = Json::array();
        for (const auto& [target, power] : held)
            set.push_back({{"target", target}, {"power", power_json(power)}});
        print_json({{"asked", power_json(sent_units)}, {"set", set}});
        return exit_ok;
    }
    for (const auto& [target, power] : held) {
        std::printf("%s: %s", target.c_str(), power_text(power).c_str());
        if (std::lround(power * 100) != sent)
            std::printf(" (asked %s)", power_text(sent_units).c_str());
        std::printf("\n");
    }
    return exit_ok;
}

protocol_enable_entry parse_enable(const std::string& item)
{
    const auto eq = item.find('=');
    const std::string which = item.substr(0, eq);
    uint16_t enable = 1;
    if (eq != std::string::npos) {
        const std::string state = item.substr(eq + 1);
        if (state == "off")
            enable = 0;
        else if (state != "on")
            throw UsageError("bad protocol state '" + state + "' (on or off)");
    }
    if (which.empty())
        throw UsageError("no protocol in '" + item + "'");
    if (std::isdigit(static_cast<unsigned char>(which[0])))
        return {static_cast<uint16_t>(parse_number(which, 255, "protocol identifier")), enable};
    for (int id = 0; id < protocol_count; ++id)
        if (strcasecmp(which.c_str(), protocol_names[id]) == 0)
            return {static_cast<uint16_t>(id), enable};
    throw UsageError("unknown protocol '" + which + "'");
}

int set_protocols(const Invocation& inv)
{
    bool json = false;
    std::vector<std::string> rest = json_option(std::vector<std::string>(inv.args.begin() + 1, inv.args.end()), json);
    std::vector<protocol_enable_entry> entries;
    std::size_t length = 0;
    for (const std::string& item : rest) {
        entries.push_back(parse_enable(item));
        char pair[16];
        length += static_cast<std::size_t>(std::snprintf(pair, sizeof pair, "%d:0x%02X ",
                                                         static_cast<int>(entries.back().protocol_id),
                                                         static_cast<unsigned>(entries.back().enable_value)));
    }
    if (length > max_enable_text)
        throw UsageError("too many protocols: the reader's list holds " + std::to_string(max_enable_text) +
                         " characters");

    Reader reader(inv.host);
    id_list list{};
    if (set_supported_protocols(reader.handle(), static_cast<int>(entries.size()), entries.data(), list) < 0)
        fail("protocols set");
    print_protocols(listed(list), json);
    return exit_ok;
}

}  // namespace

int run_power(const Invocation& inv)
{
    if (!inv.args.empty() && inv.args[0] == "set")
        return set_power(inv);
    bool json = false;
    no_arguments(json_option(inv.args, json), "power");
    Reader reader(inv.host);
    const Powers p = read_powers(reader.handle());
    if (json)
        print_json(powers_json(p));
    else
        print_powers(p);
    return exit_ok;
}

int run_protocols(const Invocation& inv)
{
    if (!inv.args.empty() && inv.args[0] == "set")
        return set_protocols(inv);
    bool json = false;
    no_arguments(json_option(inv.args, json), "protocols");
    Reader reader(inv.host);
    print_protocols(supported_protocols(reader.handle()), json);
    return exit_ok;
}

int run_antennas(const Invocation& inv)
{
    bool json = false;
    no_arguments(json_option(inv.args, json), "antennas");
    Reader reader(inv.host);
    const std::vector<int32_t> ports = connected_antennas(reader.handle());
    std::string text;
    for (std::size_t i = 0; i < ports.size(); ++i)
        text += (i ? (json ? "," : " ") : "") + std::to_string(ports[i]);
    if (json)
        print_json({{"antennas", ports}});
    else
        std::printf("%s\n", text.c_str());
    return exit_ok;
}

int run_region(const Invocation& inv)
{
    bool json = false;
    no_arguments(json_option(inv.args, json), "region");
    Reader reader(inv.host);
    const std::string region = read_region(reader.handle());
    if (json)
        print_json({{"region", region}});
    else
        std::printf("%s\n", shown(region).c_str());
    return exit_ok;
}

int run_rf_state(const Invocation& inv)
{
    bool json = false;
    no_arguments(json_option(inv.args, json), "rf-state");
    Reader reader(inv.host);
    uint32_t state = 0;
    if (get_rfState(reader.handle(), &state) < 0)
        fail("get_rfState");
    if (json)
        print_json({{"rf_state", state}});
    else
        std::printf("0x%08" PRIX32 "\n", state);
    return exit_ok;
}

std::string radio_info_text(reader_handle h)
{
    const Powers p = read_powers(h);
    const std::string region = read_region(h);
    std::string out;
    for (int s = 0; s < 2; ++s)
        out += "slot " + std::to_string(s) + ": " +
               (p.slots[s].hwid == empty_slot ? std::string("empty")
                                              : hwid_hex(p.slots[s].hwid) + " " + shown(p.slots[s].text)) +
               "\n";
    out += "region: " + shown(region) + "\n";
    out += "power:";
    for (int s = 0; s < 2; ++s)
        if (p.slots[s].power)
            out += " slot " + std::to_string(s) + " " + power_text(*p.slots[s].power) + ",";
    out += " in use " + power_text(p.in_use) + " (antenna " + std::to_string(p.antenna_in_use) + "), maximum " +
           power_text(units_of_hundredths(p.max)) + "\n";
    return out;
}

void add_radio_info(reader_handle h, Json& object)
{
    const Powers p = read_powers(h);
    const std::string region = read_region(h);
    Json hardware = Json::array();
    for (int s = 0; s < 2; ++s) {
        if (p.slots[s].hwid == empty_slot)
            hardware.push_back(nullptr);
        else
            hardware.push_back({{"hwid", p.slots[s].hwid}, {"text", p.slots[s].text}});
    }
    object["hardware"] = hardware;
    object["region"] = region;
    object["power"] = powers_json(p);
}

}  // namespace qdctl
