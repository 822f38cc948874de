// qdctl HOST stats, gpio, firmware, reboot, version: the reader as a
// device.  The values of GPIO, statistics and firmware are the reader's; they
// are printed as numbers, not interpreted.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "qdapi.h"

namespace qdctl {

const char stats_synopsis[] = "stats [--antenna N] [--reset] [--json]";
const char stats_help[] =
    "      Prints the reader's counters: 14 for each connected antenna (or only\n"
    "      antenna N), then 13 for its tag operations (source 0).\n"
    "      --antenna N        only this antenna (sent as it is, 0..65535)\n"
    "      --reset            clear the counters after printing them\n"
    "      --json             {\"antennas\":[{\"antenna\":N,\"stats\":[...]}],\"source\":[...]}\n";

const char gpio_synopsis[] = "gpio get LINE | set A B | event A B C";
const char gpio_help[] =
    "      get prints the value the reader reads for LINE; set and event send\n"
    "      their values as they are (GPIO_set, GPIO_set_reader_event) and fail\n"
    "      with the reader's status when it is negative.\n";

const char firmware_synopsis[] = "firmware update IMAGE [VALUE] [--timeout SECONDS] [--json] | status [--json]";
const char firmware_help[] =
    "      update starts a firmware update from IMAGE (VALUE: the request's\n"
    "      number, default 0) and follows it until the reader no longer reports\n"
    "      it waiting (-1) or in progress (-2), with a progress line while\n"
    "      standard error is a terminal (none with --quiet); then prints the\n"
    "      outcome.  status prints the outcome once.\n"
    "      The reader runs the new firmware after its next reboot.\n"
    "      --timeout SECONDS  give up following the update (default 600)\n"
    "      --json             the outcome as a JSON object\n";

const char reboot_synopsis[] = "reboot [--wait] [--timeout SECONDS]";
const char reboot_help[] =
    "      Asks the reader to reboot.\n"
    "      --wait             return once the reader has gone away and answers\n"
    "                         again\n"
    "      --timeout SECONDS  how long --wait waits (default 120)\n";

const char version_synopsis[] = "version [--settings] [--json]";
const char version_help[] =
    "      Prints the reader's firmware and OS versions.\n"
    "      --settings         also the reader's settings text\n"
    "      --json             {\"firmware\":...,\"os\":...[,\"settings\":...]}\n";

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string seconds_text(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3g s", seconds);
    return text;
}

void expect_args(const std::vector<std::string>& rest, std::size_t count, const char* usage)
{
    if (rest.size() != count)
        throw UsageError(std::string("usage: ") + usage);
}

uint32_t parse_u32(const std::string& text, const char* what)
{
    return static_cast<uint32_t>(parse_number(text, UINT32_MAX, what));
}

template <class Stats, std::size_t N>
std::vector<int32_t> counters(const Stats& s)
{
    static_assert(sizeof(Stats) == N * sizeof(int32_t));
    const auto* first = &s.stat1;
    return std::vector<int32_t>(first, first + N);
}

std::string counters_text(const std::vector<int32_t>& values)
{
    std::string out;
    for (std::size_t i = 0; i < values.size(); ++i)
        out += (i ? " stat" : "stat") + std::to_string(i + 1) + "=" + std::to_string(values[i]);
    return out;
}

// The outcome of an update, its texts freed with it.
struct Outcome {
    fw_update_info info{};
    int status = 0;
    Outcome() = default;
    Outcome(const Outcome&) = delete;
    Outcome& operator=(const Outcome&) = delete;
    ~Outcome()
    {
        std::free(info.fw_text1);
        std::free(info.fw_text2);
        std::free(info.fw_text3);
    }
};

void ask_outcome(reader_handle h, Outcome& outcome)
{
    // -1 is also a status the reader may report; only reader_errno tells a
    // failed call.
    reader_errno = 0;
    outcome.status = reader_fw_update_complete(h, &outcome.info);
    if (outcome.status == -1 && reader_errno != 0)
        fail("firmware");
}

bool in_progress(int status)
{
    return status == READER_OPERATION_WAITING_TO_RUN || status == READER_OPERATION_IN_PROGRESS;
}

const char* text_or_empty(const char* text) { return text ? text : ""; }

int print_outcome(const Outcome& o, bool json)
{
    const fw_update_info& i = o.info;
    if (json) {
        print_json({{"status", o.status},
                    {"status_name", code_name(o.status)},
                    {"text1", text_or_empty(i.fw_text1)},
                    {"text2", text_or_empty(i.fw_text2)},
                    {"text3", text_or_empty(i.fw_text3)},
                    {"value", i.fw_value}});
    } else {
        std::printf("status: %d (%s)\ntext1: %s\ntext2: %s\ntext3: %s\nvalue: %d\n", o.status,
                    code_name(o.status).c_str(), shown(text_or_empty(i.fw_text1)).c_str(),
                    shown(text_or_empty(i.fw_text2)).c_str(), shown(text_or_empty(i.fw_text3)).c_str(), i.fw_value);
    }
    return exit_ok;
}

// True when a new connection to the host succeeds.
bool answers(const std::string& host)
{
    const reader_handle h = open_reader(host.c_str());
    if (!h)
        return false;
    close_reader(h);
    return true;
}

}  // namespace

int run_stats(const Invocation& inv)
{
    bool json = false, reset = false;
    long antenna = -1;
    std::vector<std::string> rest = parse_options(
        inv.args, {
                      {"json", false, [&](const std::string&) { json = true; }},
                      {"reset", false, [&](const std::string&) { reset = true; }},
                      {"antenna", true,
                       [&](const std::string& v) { antenna = static_cast<long>(parse_number(v, 0xFFFF, "antenna")); }},
                  });
    expect_args(rest, 0, stats_synopsis);

    Reader reader(inv.host);
    const reader_handle h = reader.handle();
    std::vector<int32_t> antennas;
    if (antenna >= 0) {
        antennas.push_back(static_cast<int32_t>(antenna));
    } else {
        id_list connected{};
        const int n = get_connected_antennas(h, connected);
        if (n < 0)
            fail("get_connected_antennas");
        antennas.assign(connected + 1, connected + 1 + (n > 16 ? 16 : n));
    }

    Json per_antenna = Json::array();
    std::string text;
    for (const int32_t port : antennas) {
        ::antenna_stats s{};
        if (get_antenna_stats(h, static_cast<uint16_t>(port), &s) != 0)
            fail("stats antenna " + std::to_string(port));
        const std::vector<int32_t> values = counters<::antenna_stats, 14>(s);
        per_antenna.push_back({{"antenna", port}, {"stats", values}});
        text += "antenna " + std::to_string(port) + ": " + counters_text(values) + "\n";
    }
    ::source_stats src{};
    if (get_source_stats(h, &src) != 0)
        fail("stats source");
    const std::vector<int32_t> values = counters<::source_stats, 13>(src);
    if (json)
        print_json({{"antennas", per_antenna}, {"source", values}});
    else
        std::fputs((text + "source: " + counters_text(values) + "\n").c_str(), stdout);

    if (reset && reset_epcg_stats(h) != 0)
        fail("stats reset");
    return exit_ok;
}

int run_gpio(const Invocation& inv)
{
    std::vector<std::string> rest = parse_options(inv.args, {});
    if (rest.empty())
        throw UsageError("gpio needs get, set or event");
    const std::string verb = rest.front();
    rest.erase(rest.begin());
    std::vector<uint32_t> values;
    if (verb == "get")
        expect_args(rest, 1, "gpio get LINE");
    else if (verb == "set")
        expect_args(rest, 2, "gpio set A B");
    else if (verb == "event")
        expect_args(rest, 3, "gpio event A B C");
    else
        throw UsageError("unknown gpio operation '" + verb + "'");
    values.reserve(rest.size());
    for (const std::string& v : rest)
        values.push_back(parse_u32(v, "GPIO value"));

    Reader reader(inv.host);
    const reader_handle h = reader.handle();
    int result;
    if (verb == "get") {
        result = GPIO_get(h, values[0]);
        if (result == -1)
            fail("gpio get " + rest[0]);
        std::printf("%d\n", result);
        return exit_ok;
    }
    result = verb == "set" ? GPIO_set(h, values[0], values[1]) : GPIO_set_reader_event(h, values[0], values[1], values[2]);
    // reader_errno holds the reader's result, or the library's reason.
    if (result < 0)
        fail("gpio " + verb);
    if (result > 0)
        std::printf("%d\n", result);
    return exit_ok;
}

int run_firmware(const Invocation& inv)
{
    bool json = false;
    double timeout = 600;
    std::vector<std::string> rest = parse_options(
        inv.args, {
                      {"json", false, [&](const std::string&) { json = true; }},
                      {"timeout", true, [&](const std::string& v) { timeout = parse_seconds(v, "time-out"); }},
                  });
    if (rest.empty())
        throw UsageError("firmware needs update or status");
    const std::string verb = rest.front();
    rest.erase(rest.begin());
    uint32_t value = 0;
    if (verb == "update") {
        if (rest.empty() || rest.size() > 2)
            throw UsageError("usage: firmware update IMAGE [VALUE]");
        if (rest.size() == 2)
            value = parse_u32(rest[1], "value");
    } else if (verb == "status") {
        expect_args(rest, 0, "firmware status");
    } else {
        throw UsageError("unknown firmware operation '" + verb + "'");
    }

    Reader reader(inv.host);
    const reader_handle h = reader.handle();
    Outcome outcome;
    if (verb == "status") {
        ask_outcome(h, outcome);
        return print_outcome(outcome, json);
    }

    const int started = reader_fw_update(h, rest[0].c_str(), value);
    if (started == -1 && reader_errno != -1)
        fail("firmware update " + rest[0]);
    if (started != 0)
        throw Failure("firmware update " + rest[0] + ": the reader refused it: " + code_name(started));

    const Clock::time_point start = Clock::now();
    ProgressLine progress;
    while (true) {
        Outcome next;
        ask_outcome(h, next);
        note_answer();
        if (!in_progress(next.status)) {
            progress.clear();
            print_outcome(next, json);
            if (next.status < 0)
                throw Failure("firmware update " + rest[0] + ": ended with " + code_name(next.status));
            return exit_ok;
        }
        const double elapsed = since(start);
        if (elapsed >= timeout) {
            progress.clear();
            throw Failure("firmware update " + rest[0] + ": still in progress after " + seconds_text(elapsed));
        }
        char line[80];
        std::snprintf(line, sizeof line, "firmware update in progress (%d) %.1f s", next.info.fw_value, elapsed);
        progress.show(line);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

int run_reboot(const Invocation& inv)
{
    bool wait = false;
    double timeout = 120;
    std::vector<std::string> rest = parse_options(
        inv.args, {
                      {"wait", false, [&](const std::string&) { wait = true; }},
                      {"timeout", true, [&](const std::string& v) { timeout = parse_seconds(v, "time-out"); }},
                  });
    expect_args(rest, 0, reboot_synopsis);

    {
        Reader reader(inv.host);
        reboot_reader(reader.handle(), 0, 0);
    }
    if (!wait)
        return exit_ok;

    // A reader goes away some time after it was asked, and one that
    // reboots faster than it is probed is never seen away: after a while it
    // counts as back.
    const Clock::time_point start = Clock::now();
    const double away_within = timeout < 10 ? timeout : 10;
    while (since(start) < away_within && answers(inv.host))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    while (!answers(inv.host)) {
        if (since(start) >= timeout)
            throw Failure("reboot: the reader did not answer again within " + seconds_text(timeout));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::printf("the reader answers again after %.1f s\n", since(start));
    return exit_ok;
}

int run_version(const Invocation& inv)
{
    bool json = false, settings = false;
    std::vector<std::string> rest = parse_options(
        inv.args, {
                      {"json", false, [&](const std::string&) { json = true; }},
                      {"settings", false, [&](const std::string&) { settings = true; }},
                  });
    expect_args(rest, 0, version_synopsis);

    Reader reader(inv.host);
    const reader_handle h = reader.handle();
    // The texts belong to the reader's record; copied before the next query.
    const char* text = get_firmware_version(h);
    if (!text)
        fail("get_firmware_version");
    const std::string firmware = text;
    text = get_os_version(h);
    if (!text)
        fail("get_os_version");
    const std::string os = text;
    std::string settings_text;
    if (settings) {
        text = read_settings(h);
        if (!text)
            fail("read_settings");
        settings_text = text;
    }
    if (json) {
        Json out = {{"firmware", firmware}, {"os", os}};
        if (settings)
            out["settings"] = settings_text;
        print_json(out);
        return exit_ok;
    }
    std::printf("firmware: %s\nos: %s\n", shown(firmware).c_str(), shown(os).c_str());
    if (settings) {
        std::printf("settings:\n%s", shown(settings_text, Newlines::kept).c_str());
        if (!settings_text.empty() && settings_text.back() != '\n')
            std::printf("\n");
    }
    return exit_ok;
}

}  // namespace qdctl
