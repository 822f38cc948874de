// qdctl HOST diag: the privileged family from the command line, for service
// work on a reader: the dispatcher of the diag subcommands, the unlock, and
// the radio and hardware subcommands.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"
#include "qdapi.h"

namespace qdctl {

const char diag_synopsis[] = "diag [--json] SUBCOMMAND [ARGS]";
const char diag_help[] =
    "      Privileged service operations on the reader's radio and hardware\n"
    "      (qdctl HOST diag --help lists them).  They need the privilege\n"
    "      level unlocked: qdctl --unlock CODE [--level N] HOST diag ...\n"
    "      --json prints a JSON object instead of NAME: VALUE lines.\n";

void diag_unlock(uint32_t code, int level)
{
    // The library changes the level only on every fifth call with the code.
    for (int i = 0; i < 5; ++i)
        PRIV_setPrivLevel(level, code);
}

int diag_result(int result, const std::string& what)
{
    switch (result) {
    case -1:
        fail(what);
    case -2:
        throw Failure(what + ": the privilege gate is closed (-2): unlock it with qdctl --unlock CODE, "
                             "the access code, and a --level above 0");
    case READER_ERROR_INVALID_ARGUMENTS:
        throw Failure(what + ": ERROR_INVALID_ARGUMENTS (-100)");
    case READER_ERROR_INVALID_DATA:
        throw Failure(what + ": ERROR_INVALID_DATA (-101)");
    case READER_ERROR_REMOTE: {
        const std::string why = remote_failure_reason();
        throw Failure(what + ": ERROR_REMOTE (-102): " + (why.empty() ? "a call failed or was refused" : why));
    }
    default:
        if (result < 0)
            throw Failure(what + ": " + code_name(result) + " (" + std::to_string(result) + ")");
        return result;
    }
}

namespace {

using Args = std::vector<std::string>;

// What a subcommand prints: "NAME: VALUE" lines, or one JSON object.
class Report {
public:
    explicit Report(bool json) : json_(json) {}

    Report& number(const std::string& name, long long value) { return add(name, value, std::to_string(value)); }
    Report& text(const std::string& name, const std::string& value) { return add(name, value, shown(value)); }
    Report& numbers(const std::string& name, const std::vector<long long>& values)
    {
        std::string joined;
        for (std::size_t i = 0; i < values.size(); ++i)
            joined += (i == 0 ? "" : " ") + std::to_string(values[i]);
        return add(name, values, joined);
    }

    int print() const
    {
        if (json_) {
            print_json(object_);
            return exit_ok;
        }
        for (const auto& [name, value] : lines_)
            std::printf("%s: %s\n", name.c_str(), value.c_str());
        return exit_ok;
    }

private:
    Report& add(const std::string& name, Json value, std::string line)
    {
        object_[name] = std::move(value);
        lines_.emplace_back(name, std::move(line));
        return *this;
    }

    bool json_;
    Json object_ = Json::object();
    std::vector<std::pair<std::string, std::string>> lines_;
};

void expect_args(const Args& args, std::size_t n, const std::string& usage)
{
    if (args.size() != n)
        throw UsageError("usage: diag " + usage);
}

long long parse_signed(const std::string& text, long long min, long long max, const std::string& what)
{
    return parse_integer(text, min, max, what);
}

int parse_slot(const std::string& text)
{
    return static_cast<int>(parse_number(text, 0xFFFF, "slot"));
}

int parse_int(const std::string& text, const std::string& what)
{
    return static_cast<int>(parse_signed(text, INT_MIN, INT_MAX, what));
}

// The result of an operation whose value may be negative (a 16-bit power
// or gain, a 32-bit level in an int): -1 is a failure only when the handle
// did not resolve, which is the one thing that writes reader_errno, and -2
// only while the gate is closed.
template <class Call>
int value_result(Call call, const std::string& what)
{
    reader_errno = 0;
    const int result = call();
    const bool unresolved = result == -1 && reader_errno != 0;
    const bool closed = result == -2 && PRIV_getCurPrivLevel() == 0;
    if (unresolved || closed || result == READER_ERROR_REMOTE)
        diag_result(result, what);
    return result;
}

std::string without_newline(std::string text)
{
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

// ---------------------------------------------------------------------------
// Switches of a slot: SUBCOMMAND on|off SLOT

struct Switch {
    const char* name;
    int (*on)(reader_handle, int);
    int (*off)(reader_handle, int);   // null: the reader has no way to switch it off
};

int run_switch(const Switch& sw, reader_handle handle, const Args& args, bool json)
{
    const std::string usage = std::string(sw.name) + (sw.off ? " on|off SLOT" : " SLOT");
    bool on = true;
    std::size_t at = 0;
    if (sw.off) {
        if (args.empty() || (args[0] != "on" && args[0] != "off"))
            throw UsageError("usage: diag " + usage);
        on = args[0] == "on";
        at = 1;
    }
    expect_args(args, at + 1, usage);
    const int slot = parse_slot(args[at]);
    const std::string state = on ? "on" : "off";
    diag_result((on ? sw.on : sw.off)(handle, slot), "diag " + std::string(sw.name) + (sw.off ? " " + state : ""));
    return Report(json).number("slot", slot).text(sw.name, state).print();
}

constexpr Switch rf{"rf", PRIV_rfOn, PRIV_rfOff};
constexpr Switch rxen{"rxen", PRIV_setRxenOn, PRIV_setRxenOff};
constexpr Switch txen{"txen", PRIV_setTxenOn, PRIV_setTxenOff};
constexpr Switch txsw{"txsw", PRIV_setTxswOn, PRIV_setTxswOff};
constexpr Switch listen{"listen", PRIV_listenOn, nullptr};
constexpr Switch receive{"receive", PRIV_receiveOn, nullptr};

template <const Switch& S>
int run_switch(reader_handle handle, const Args& args, bool json)
{
    return run_switch(S, handle, args, json);
}

// ---------------------------------------------------------------------------
// Subcommands

int run_leds(reader_handle handle, const Args& args, bool json)
{
    if (args.size() == 1 && args[0] == "twiddle") {
        // Runs until a call fails (or the user stops qdctl).
        diag_result(PRIV_twiddleLeds(handle), "diag leds twiddle");
        return exit_ok;
    }
    expect_args(args, 2, "leds MASK VALUE | leds twiddle");
    const auto mask = static_cast<uint16_t>(parse_number(args[0], 0xFFFF, "mask"));
    const auto value = static_cast<uint16_t>(parse_number(args[1], 0xFFFF, "value"));
    diag_result(PRIV_setLeds(handle, mask, value), "diag leds");
    return Report(json).number("mask", mask).number("value", value).print();
}

int run_freq(reader_handle handle, const Args& args, bool json)
{
    if (args.size() == 2 && args[0] == "get") {
        const int slot = parse_slot(args[1]);
        uint32_t khz = 0;
        diag_result(PRIV_getFreq(handle, slot, &khz), "diag freq get");
        return Report(json).number("slot", slot).number("frequency_khz", khz).print();
    }
    if (args.size() != 3 || args[0] != "set")
        throw UsageError("usage: diag freq get SLOT | diag freq set SLOT KHZ");
    const int slot = parse_slot(args[1]);
    const int khz = parse_int(args[2], "frequency");
    diag_result(PRIV_setFreq(handle, slot, khz), "diag freq set");
    return Report(json).number("slot", slot).number("frequency_khz", khz).print();
}

int run_hop_forced(reader_handle handle, const Args& args, bool json)
{
    if (args.size() > 1)
        throw UsageError("usage: diag hop-forced [0|1]");
    if (args.size() == 1) {
        const int flag = static_cast<int>(parse_number(args[0], 1, "flag"));
        diag_result(PRIV_setFreqHopForced(handle, flag), "diag hop-forced");
        return Report(json).number("hop_forced", flag).print();
    }
    const int flag = value_result([&] { return PRIV_getFreqHopForced(handle); }, "diag hop-forced");
    return Report(json).number("hop_forced", flag).print();
}

int print_hops(const hop_table& table, bool json)
{
    std::vector<long long> khz(table.hops, table.hops + std::min<uint32_t>(table.count, 64));
    return Report(json).number("count", static_cast<long long>(khz.size())).numbers("hops_khz", khz).print();
}

int run_hops(reader_handle handle, const Args& args, bool json)
{
    hop_table table{};
    if (!args.empty() && args[0] == "set") {
        if (args.size() < 2)
            throw UsageError("usage: diag hops set KHZ...");
        // The library reads C notation (a leading 0 is octal) and skips what
        // it cannot read: it gets the numbers as qdctl read them.
        std::vector<std::string> numbers;
        numbers.reserve(args.size());
        for (std::size_t i = 1; i < args.size(); ++i)
            numbers.push_back(std::to_string(parse_int(args[i], "frequency")));
        std::vector<const char*> texts;
        texts.reserve(numbers.size());
        for (const std::string& n : numbers)
            texts.push_back(n.c_str());
        diag_result(PRIV_setHops(handle, static_cast<int>(texts.size()), texts.data(), &table), "diag hops set");
        return print_hops(table, json);
    }
    int first = 0;
    const Args rest = parse_options(args, {{"first", true, [&](const std::string& v) {
                                                 first = static_cast<int>(parse_number(v, INT_MAX, "first"));
                                             }}});
    if (!rest.empty())
        throw UsageError("usage: diag hops [--first N] | diag hops set KHZ...");
    diag_result(PRIV_getHops(handle, &table, first), "diag hops");
    return print_hops(table, json);
}

int run_gen2_cmd(reader_handle handle, const Args& args, bool json)
{
    expect_args(args, 1, "gen2-cmd COMMAND");
    const int command = static_cast<int>(parse_number(args[0], 0xFFFF, "command"));
    diag_result(PRIV_setGen2Cmd(handle, command), "diag gen2-cmd");
    return Report(json).number("gen2_command", command).print();
}

int run_power(reader_handle handle, const Args& args, bool json)
{
    const std::string usage =
        "power get SLOT | power set|uncal|up SLOT HUNDREDTHS | power down SLOT";
    if (args.empty())
        throw UsageError("usage: diag " + usage);
    const std::string& what = args[0];
    if (what == "get" || what == "down") {
        expect_args(args, 2, usage);
        const int slot = parse_slot(args[1]);
        if (what == "down") {
            diag_result(PRIV_powerDown(handle, slot), "diag power down");
            return Report(json).number("slot", slot).text("rf", "off").print();
        }
        const int power = value_result([&] { return PRIV_getTxPower(handle, slot); }, "diag power get");
        return Report(json).number("slot", slot).number("power_hundredths", power).print();
    }
    if (what != "set" && what != "uncal" && what != "up")
        throw UsageError("usage: diag " + usage);
    expect_args(args, 3, usage);
    const int slot = parse_slot(args[1]);
    const int power = static_cast<int>(parse_signed(args[2], -32768, 32767, "power"));
    if (what == "up") {
        diag_result(PRIV_powerUp(handle, slot, power), "diag power up");
        return Report(json).number("slot", slot).number("power_hundredths", power).text("rf", "on").print();
    }
    const int answer = value_result(
        [&] { return what == "set" ? PRIV_setTxPower(handle, slot, power) : PRIV_setUncalTxPower(handle, slot, power); },
        "diag power " + what);
    return Report(json).number("slot", slot).number("power_hundredths", answer).print();
}

int run_gain(reader_handle handle, const Args& args, bool json)
{
    if (args.size() == 2 && args[0] == "get") {
        const int slot = parse_slot(args[1]);
        const int gain = value_result([&] { return PRIV_getRxGain(handle, slot); }, "diag gain get");
        return Report(json).number("slot", slot).number("rx_gain", gain).print();
    }
    if (args.size() != 3 || args[0] != "set")
        throw UsageError("usage: diag gain get SLOT | diag gain set SLOT GAIN");
    const int slot = parse_slot(args[1]);
    const int gain = parse_int(args[2], "gain");
    diag_result(PRIV_setRxGain(handle, slot, gain), "diag gain set");
    return Report(json).number("slot", slot).number("rx_gain", gain).print();
}

int run_ants(reader_handle handle, const Args& args, bool json)
{
    if (args.size() != 2 || args[0] != "check")
        throw UsageError("usage: diag ants check SLOT");
    const int slot = parse_slot(args[1]);
    int32_t checks[17] = {};
    diag_result(PRIV_checkAnts(handle, slot, checks), "diag ants check");
    std::vector<long long> readings(checks + 1, checks + 1 + std::min(checks[0], 16));
    return Report(json).number("slot", slot).number("antennas", checks[0]).numbers("readings", readings).print();
}

int run_ant(reader_handle handle, const Args& args, bool json)
{
    const std::string usage = "ant get SLOT | ant set SLOT ANTENNA | ant id PORT ID | ant safety SLOT VALUE | "
                              "ant current";
    const std::string what = args.empty() ? "" : args[0];
    if (what == "get") {
        expect_args(args, 2, usage);
        const int slot = parse_slot(args[1]);
        const int antenna = diag_result(PRIV_getAnt(handle, slot), "diag ant get");
        return Report(json).number("slot", slot).number("antenna", antenna).print();
    }
    if (what == "set") {
        expect_args(args, 3, usage);
        const int slot = parse_slot(args[1]);
        const int antenna = diag_result(PRIV_setAnt(handle, slot, parse_int(args[2], "antenna")), "diag ant set");
        return Report(json).number("slot", slot).number("antenna", antenna).print();
    }
    if (what == "id") {
        expect_args(args, 3, usage);
        const auto port = static_cast<uint16_t>(parse_number(args[1], 0xFFFF, "port"));
        const auto id = static_cast<uint16_t>(parse_number(args[2], 0xFFFF, "id"));
        const int now = diag_result(PRIV_setAntId(handle, port, id), "diag ant id");
        return Report(json).number("port", port).number("id", now).print();
    }
    if (what == "safety") {
        expect_args(args, 3, usage);
        const int slot = parse_slot(args[1]);
        const int value = parse_int(args[2], "value");
        diag_result(PRIV_antSafety(handle, slot, value), "diag ant safety");
        return Report(json).number("slot", slot).number("safety", value).print();
    }
    if (what == "current") {
        expect_args(args, 1, usage);
        const int id = diag_result(PRIV_getAntId(handle), "diag ant current");
        return Report(json).number("antenna_id", id).print();
    }
    throw UsageError("usage: diag " + usage);
}

int run_rx_class(reader_handle handle, const Args& args, bool json)
{
    expect_args(args, 2, "rx-class SLOT CLASS");
    const int slot = parse_slot(args[0]);
    const int rx_class = parse_int(args[1], "class");
    diag_result(PRIV_setRxClass(handle, slot, rx_class), "diag rx-class");
    return Report(json).number("slot", slot).number("rx_class", rx_class).print();
}

int run_slot(reader_handle handle, const Args& args, bool json)
{
    expect_args(args, 0, "slot");
    return Report(json).number("current_slot", diag_result(PRIV_getCurrentSlot(handle), "diag slot")).print();
}

int run_hostinfo(reader_handle handle, const Args& args, bool json)
{
    expect_args(args, 0, "hostinfo");
    host_info_texts texts{};
    diag_result(PRIV_getHostInfo(handle, &texts), "diag hostinfo");
    return Report(json).text("info1", texts.info1).text("info2", texts.info2).text("info3", texts.info3).print();
}

int run_config(reader_handle handle, const Args& args, bool json)
{
    expect_args(args, 0, "config");
    const char* text = nullptr;
    diag_result(PRIV_getZrConf(handle, &text), "diag config");
    if (json)
        return Report(json).text("config", text).print();
    const std::string config = shown(text, Newlines::kept);
    std::fputs(config.c_str(), stdout);
    if (!config.empty() && config.back() != '\n')
        std::fputc('\n', stdout);
    return exit_ok;
}

int run_hwid(reader_handle handle, const Args& args, bool json)
{
    if (args.size() > 1)
        throw UsageError("usage: diag hwid [SELECTOR]");
    const auto selector = static_cast<uint16_t>(args.empty() ? 0 : parse_number(args[0], 0xFFFF, "selector"));
    const char* text = nullptr;
    diag_result(PRIV_getHwId(handle, selector, &text), "diag hwid");
    return Report(json).number("selector", selector).text("hardware", without_newline(text)).print();
}

int run_debug(reader_handle handle, const Args& args, bool json)
{
    if (args.size() > 1)
        throw UsageError("usage: diag debug [LEVEL]");
    if (args.size() == 1) {
        const auto level = static_cast<uint32_t>(parse_number(args[0], 0xFFFFFFFFul, "level"));
        diag_result(PRIV_setDebugLevel(handle, level), "diag debug");
        return Report(json).number("debug_level", level).print();
    }
    const int level = value_result([&] { return PRIV_getDebugLevel(handle); }, "diag debug");
    return Report(json).number("debug_level", static_cast<uint32_t>(level)).print();
}

int run_autoload(reader_handle handle, const Args& args, bool json)
{
    if (args.size() > 1)
        throw UsageError("usage: diag autoload [FLAG]");
    if (args.size() == 1) {
        const int flag = parse_int(args[0], "flag");
        diag_result(PRIV_setAutoload(handle, flag), "diag autoload");
        return Report(json).number("autoload", flag).print();
    }
    return Report(json).number("autoload", value_result([&] { return PRIV_getAutoload(handle); }, "diag autoload")).print();
}

template <int (*Op)(reader_handle)>
int run_plain(reader_handle handle, const Args& args, bool json, const char* name)
{
    expect_args(args, 0, name);
    diag_result(Op(handle), std::string("diag ") + name);
    return Report(json).text(name, "done").print();
}

int run_resync(reader_handle h, const Args& a, bool json) { return run_plain<PRIV_resync>(h, a, json, "resync"); }
int run_rescan(reader_handle h, const Args& a, bool json) { return run_plain<PRIV_rescanHardware>(h, a, json, "rescan"); }
int run_nop(reader_handle h, const Args& a, bool json) { return run_plain<PRIV_nop>(h, a, json, "nop"); }

void print_diag_help()
{
    std::printf("usage: qdctl --unlock CODE [--level N] HOST diag [--json] SUBCOMMAND [ARGS]\n\nSubcommands:\n");
    for (const auto* table : {&diag_hardware_commands(), &diag_instrument_commands()})
        for (const DiagCommand& c : *table)
            std::printf("  %s\n", c.synopsis);
    std::printf("\nSLOT is a radio slot; powers are in hundredths; frequencies in kHz.\n");
}

}  // namespace

const std::vector<DiagCommand>& diag_hardware_commands()
{
    static const std::vector<DiagCommand> table = {
        {"leds", "leds MASK VALUE | leds twiddle", run_leds},
        {"rf", "rf on|off SLOT", run_switch<rf>},
        {"rxen", "rxen on|off SLOT", run_switch<rxen>},
        {"txen", "txen on|off SLOT", run_switch<txen>},
        {"txsw", "txsw on|off SLOT", run_switch<txsw>},
        {"listen", "listen SLOT", run_switch<listen>},
        {"receive", "receive SLOT", run_switch<receive>},
        {"freq", "freq get SLOT | freq set SLOT KHZ", run_freq},
        {"hop-forced", "hop-forced [0|1]", run_hop_forced},
        {"hops", "hops [--first N] | hops set KHZ...", run_hops},
        {"gen2-cmd", "gen2-cmd COMMAND", run_gen2_cmd},
        {"power", "power get SLOT | power set|uncal|up SLOT HUNDREDTHS | power down SLOT", run_power},
        {"gain", "gain get SLOT | gain set SLOT GAIN", run_gain},
        {"ants", "ants check SLOT", run_ants},
        {"ant", "ant get SLOT | ant set SLOT ANTENNA | ant id PORT ID | ant safety SLOT VALUE | ant current", run_ant},
        {"rx-class", "rx-class SLOT CLASS", run_rx_class},
        {"slot", "slot", run_slot},
        {"hostinfo", "hostinfo", run_hostinfo},
        {"config", "config", run_config},
        {"hwid", "hwid [SELECTOR]", run_hwid},
        {"debug", "debug [LEVEL]", run_debug},
        {"autoload", "autoload [FLAG]", run_autoload},
        {"resync", "resync", run_resync},
        {"rescan", "rescan", run_rescan},
        {"nop", "nop", run_nop},
    };
    return table;
}

int run_diag(const Invocation& inv)
{
    // --json may stand anywhere; every other argument after the subcommand
    // is the subcommand's own.
    bool json = false;
    Args words;
    for (const std::string& a : inv.args) {
        if (a == "--json")
            json = true;
        else
            words.push_back(a);
    }
    if (!words.empty() && (words[0] == "--help" || words[0] == "help")) {
        print_diag_help();
        return exit_ok;
    }
    if (words.empty())
        throw UsageError("diag needs a SUBCOMMAND (qdctl HOST diag --help lists them)");
    const std::string& name = words[0];
    const DiagCommand* command = nullptr;
    for (const auto* table : {&diag_hardware_commands(), &diag_instrument_commands()})
        for (const DiagCommand& c : *table)
            if (!command && name == c.name)
                command = &c;
    if (!command)
        throw UsageError("unknown diag subcommand '" + name + "' (qdctl HOST diag --help lists them)");
    const Args args(words.begin() + 1, words.end());
    Reader reader(inv.host);
    // The privileged calls write their own reports to standard error: from
    // here on the user sees what the library writes, as without qdctl.
    release_library_trace();
    return command->run(reader.handle(), args, json);
}

}  // namespace qdctl
