// Administration: the parameter store and its saved copy, named settings,
// statistics, GPIO, firmware update, reboot and the version texts.
//
// The store is what the reader works with; its saved copy is what
// PARAMS_COMMIT_ALL wrote (to the state file, when the reader has one) and
// what PARAMS_LOAD_ALL and a reboot come back to.
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "behaviour.h"
#include "state_file.h"
#include "tag_memory.h"

namespace qdsim::detail {

namespace {

constexpr int32_t status_invalid = -100;         // ERROR_INVALID_ARGUMENTS
constexpr int32_t status_unable = -103;          // ERROR_UNABLE_TO_COMPLY
constexpr int32_t update_in_progress = -2;       // OPERATION_IN_PROGRESS
constexpr int32_t update_idle = -13;             // STATE_IDLE: no update started

// The settings whose text the reader keeps as "yes" or "no".
bool yes_no_setting(const std::string& name)
{
    return name == "epc0_deghost" || name == "epc1_deghost" || name == "synch_regulatory_timeout";
}

std::string yes_no(const std::string& text)
{
    static const char* const yes[] = {"yes", "true", "on"};
    for (const char* word : yes)
        if (strcasecmp(text.c_str(), word) == 0)
            return "yes";
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 0);
    return end != text.c_str() && *end == '\0' && n != 0 ? "yes" : "no";
}

std::optional<int32_t> forced(const ReaderModel& m, uint32_t proc)
{
    const auto it = m.admin.forced_status.find(proc);
    if (it == m.admin.forced_status.end())
        return std::nullopt;
    return it->second;
}

std::string text_of(const char* s) { return s ? s : ""; }

// Written whole to a new file that then replaces the old one, so that a
// reader killed half-way keeps its last complete commit.
void write_state(const AdminModel& a)
{
    if (a.state_file.empty())
        return;
    std::string error;
    if (!write_atomically(a.state_file, format_state(a.committed), error))
        std::cerr << "qdsim: " << error << "\n";
}

void commit(AdminModel& a)
{
    a.committed = a.params;
    write_state(a);
}

// The saved copy, from the state file: none yet keeps the one in memory.
// Throws StateFileError for a file that cannot be read or does not parse.
void reload_committed_or_throw(AdminModel& a)
{
    if (a.state_file.empty())
        return;
    if (const auto text = read_state_text(a.state_file))
        a.committed = parse_state(*text, a.state_file);
}

// While serving, a file damaged since the start leaves the saved copy in
// memory as it was, and the file alone until the next commit replaces it.
void reload_committed(AdminModel& a)
{
    try {
        reload_committed_or_throw(a);
    } catch (const StateFileError& e) {
        std::cerr << "qdsim: " << e.what() << " (kept the parameters saved before)\n";
    }
}

void set_bit(uint32_t& bits, uint32_t bit, bool on)
{
    bits = on ? (bits | (1u << bit)) : (bits & ~(1u << bit));
}

void fire(AdminModel& a, uint32_t event)
{
    for (uint32_t line = gpio::inputs; line < gpio::lines; ++line)
        if (a.gpio_bindings[line].event == event)
            set_bit(a.gpio_levels, line, a.gpio_bindings[line].level);
}

bool update_finished(const AdminModel& a)
{
    return a.update && std::chrono::steady_clock::now() - a.update->started >= a.update_time;
}

// The version an image installs: its file name without directories and
// without its last extension ("images/fw-2.1.0.bin" installs "fw-2.1.0").
std::string version_of(const std::string& image)
{
    std::string name = image.substr(image.find_last_of('/') == std::string::npos ? 0 : image.find_last_of('/') + 1);
    const auto dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0)
        name.resize(dot);
    return name.empty() ? image : name;
}

}  // namespace

// ---------------------------------------------------------------------------
// The parameter store

void answer(Proc<PARAMS_GET>, ReaderModel& m, const wire::param_ref* req, char** res)
{
    const auto it = m.admin.params.find(text_of(req->name));
    set_string(*res, it == m.admin.params.end() ? "" : it->second);
}

// Every parameter whose name begins with the text asked for, a
// "NAME=VALUE" line each, as many whole lines as the answer's bound holds.
void answer(Proc<PARAMS_LOOKUP>, ReaderModel& m, const wire::param_ref* req, char** res)
{
    const std::string prefix = text_of(req->name);
    std::string lines;
    for (auto it = m.admin.params.lower_bound(prefix);
         it != m.admin.params.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
        std::string line = it->first + "=" + it->second + "\n";
        if (lines.size() + line.size() > READER_VALUE_MAX)
            break;
        lines += line;
    }
    set_string(*res, lines);
}

// Flag bit 0 saves the value at once, as a commit of that one parameter.
// A full store takes no new names: its list must still fit an answer.
void answer(Proc<PARAMS_SET>, ReaderModel& m, const wire::param_assign* req, void*)
{
    const std::string name = text_of(req->name);
    if (name.empty())
        return;
    if (m.admin.params.size() >= READER_PARAM_LIST_MAX && m.admin.params.count(name) == 0)
        return;
    m.admin.params[name] = text_of(req->value);
    if (req->flag & 1u) {
        m.admin.committed[name] = m.admin.params[name];
        write_state(m.admin);
    }
}

void answer(Proc<PARAMS_REMOVE>, ReaderModel& m, const wire::param_ref* req, void*)
{
    m.admin.params.erase(text_of(req->name));
}

void answer(Proc<PARAMS_LOG>, ReaderModel& m, const wire::param_ref* req, void*)
{
    const std::string name = text_of(req->name);
    const auto it = m.admin.params.find(name);
    const std::string line = it == m.admin.params.end() ? name + " is not set" : name + "=" + it->second;
    m.admin.log.push_back(line);
    if (m.admin.log_to_stderr)
        std::cerr << "qdsim: parameter " << line << " (level " << req->level << ")\n";
}

// Back to the saved value; a parameter that was never saved goes.
void answer(Proc<PARAMS_LOAD>, ReaderModel& m, const wire::param_ref* req, void*)
{
    const std::string name = text_of(req->name);
    reload_committed(m.admin);
    const auto saved = m.admin.committed.find(name);
    if (saved == m.admin.committed.end())
        m.admin.params.erase(name);
    else
        m.admin.params[name] = saved->second;
}

void answer(Proc<PARAMS_LOAD_ALL>, ReaderModel& m, const u_short*, void*)
{
    reload_committed(m.admin);
    m.admin.params = m.admin.committed;
}

void answer(Proc<PARAMS_COMMIT_ALL>, ReaderModel& m, const u_short*, void*)
{
    commit(m.admin);
}

void answer(Proc<PARAMS_LIST>, ReaderModel& m, const u_short*, wire::name_value_list* res)
{
    std::vector<std::pair<std::string, std::string>> entries;
    if (m.admin.forced_list)
        entries = *m.admin.forced_list;
    else
        entries.assign(m.admin.params.begin(), m.admin.params.end());
    if (entries.empty())
        return;
    // The server frees the result with its filter, which releases with free().
    auto* items = static_cast<wire::name_value*>(std::calloc(entries.size(), sizeof(wire::name_value)));
    if (!items)
        return;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        set_string(items[i].name, entries[i].first);
        set_string(items[i].value, entries[i].second);
    }
    res->items.items_val = items;
    res->items.items_len = static_cast<u_int>(entries.size());
}

// ---------------------------------------------------------------------------
// Named settings

void answer(Proc<CONFIG_GET>, ReaderModel& m, char* const* name, char** res)
{
    const auto it = m.admin.settings.find(text_of(*name));
    set_string(*res, it == m.admin.settings.end() ? "" : it->second);
}

// Settings the reader does not have are ignored.
void answer(Proc<CONFIG_SET>, ReaderModel& m, const wire::name_value* req, void*)
{
    const std::string name = text_of(req->name);
    const auto it = m.admin.settings.find(name);
    if (it == m.admin.settings.end())
        return;
    it->second = yes_no_setting(name) ? yes_no(text_of(req->value)) : text_of(req->value);
}

// ---------------------------------------------------------------------------
// Statistics

void answer(Proc<ANTENNA_STATS>, ReaderModel& m, const u_short* antenna, wire::antenna_stats_result* res)
{
    const auto it = m.admin.antenna_counters.find(*antenna);
    if (it == m.admin.antenna_counters.end())
        return;   // an antenna without counters (or without an antenna) reads all 0
    const AntennaCounters& c = it->second;
    int* out[] = {&res->stat1, &res->stat2,  &res->stat3,  &res->stat4,  &res->stat5,  &res->stat6,  &res->stat7,
                  &res->stat8, &res->stat9, &res->stat10, &res->stat11, &res->stat12, &res->stat13, &res->stat14};
    for (std::size_t i = 0; i < c.size(); ++i)
        *out[i] = c[i];
}

void answer(Proc<SOURCE_STATS>, ReaderModel& m, const u_short* source, wire::source_stats_result* res)
{
    const auto it = m.admin.source_counters.find(*source);
    if (it == m.admin.source_counters.end())
        return;
    const SourceCounters& c = it->second;
    int* out[] = {&res->stat1, &res->stat2, &res->stat3,  &res->stat4,  &res->stat5,  &res->stat6, &res->stat7,
                  &res->stat8, &res->stat9, &res->stat10, &res->stat11, &res->stat12, &res->stat13};
    for (std::size_t i = 0; i < c.size(); ++i)
        *out[i] = c[i];
}

void answer(Proc<RESET_STATS>, ReaderModel& m, const u_short*, void*)
{
    m.admin.antenna_counters.clear();
    m.admin.source_counters.clear();
}

void note_search_done(ReaderModel& m, std::size_t tags_found)
{
    std::vector<uint16_t> antennas;
    for (int port = 0; port < m.hardware.antenna_count && port < 16; ++port)
        if ((m.hardware.antenna_connected_mask >> port) & 1u)
            antennas.push_back(static_cast<uint16_t>(port));
    for (uint16_t port : antennas)
        ++m.admin.antenna_counters[port][stats::searches];
    // Each tag answers on one antenna; the reader cycles through them.
    for (std::size_t k = 0; k < tags_found && !antennas.empty(); ++k)
        ++m.admin.antenna_counters[antennas[k % antennas.size()]][stats::tags_found];
    fire(m.admin, tags_found > 0 ? gpio::event_tags_found : gpio::event_no_tags);
}

void note_tagop(ReaderModel& m, int16_t status)
{
    SourceCounters& c = m.admin.source_counters[0];
    if (status == tagmem::status_ok) {
        ++c[stats::tagops_done];
        fire(m.admin, gpio::event_tagop_done);
        return;
    }
    ++c[stats::tagops_failed];
    if (status == tagmem::status_no_response)
        ++c[stats::no_tag];
    else if (status == tagmem::status_verify_failure)
        ++c[stats::wrong_password];
    else
        ++c[stats::refused];
    fire(m.admin, gpio::event_tagop_failed);
}

// ---------------------------------------------------------------------------
// GPIO: GPIO_GET (line), GPIO_SET (line, level), GPIO_SET_READER_EVENT
// (output line, event, level).

void answer(Proc<GPIO_GET>, ReaderModel& m, const u_int* line, wire::gpio_get_result* res)
{
    if (*line >= gpio::lines) {
        res->gpio_status = status_invalid;
    } else {
        res->gpio_value = (m.admin.gpio_levels >> *line) & 1u;
        res->gpio_status = 0;
    }
    if (const auto status = forced(m, GPIO_GET))
        res->gpio_status = *status;
}

namespace {

// 0 for an output line; the status that refuses any other.
int32_t output_line(uint32_t line)
{
    if (line >= gpio::lines)
        return status_invalid;
    if (line < gpio::inputs)
        return status_unable;
    return 0;
}

}  // namespace

void answer(Proc<GPIO_SET>, ReaderModel& m, const wire::gpio_set_args* req, int* res)
{
    if (const auto status = forced(m, GPIO_SET)) {
        *res = *status;
        return;
    }
    *res = output_line(req->gpio_arg1);
    if (*res == 0)
        set_bit(m.admin.gpio_levels, req->gpio_arg1, req->gpio_arg2 != 0);
}

void answer(Proc<GPIO_SET_READER_EVENT>, ReaderModel& m, const wire::gpio_event_args* req, int* res)
{
    if (const auto status = forced(m, GPIO_SET_READER_EVENT)) {
        *res = *status;
        return;
    }
    *res = output_line(req->gpio_arg1);
    if (*res == 0 && req->gpio_arg2 > gpio::event_last)
        *res = status_invalid;
    if (*res == 0)
        m.admin.gpio_bindings[req->gpio_arg1] = GpioBinding{req->gpio_arg2, req->gpio_arg3 != 0};
}

// ---------------------------------------------------------------------------
// Firmware: FW_UPDATE starts installing an image; FW_COMPLETE reports the
// update in progress for the update time, then its outcome; the next reboot
// runs the new version.

void answer(Proc<FW_UPDATE>, ReaderModel& m, const wire::fw_update_args* req, int* res)
{
    if (const auto status = forced(m, FW_UPDATE)) {
        *res = *status;
        return;
    }
    const std::string image = text_of(req->fw_text);
    if (image.empty()) {
        *res = status_invalid;
        return;
    }
    if (m.admin.update && !update_finished(m.admin)) {
        *res = status_unable;
        return;
    }
    m.admin.update = FirmwareUpdate{image, version_of(image), std::chrono::steady_clock::now()};
    *res = 0;
}

// fw_text1: the image; fw_text2: the version running; fw_text3: the version
// installed; fw_value: percent done.
void answer(Proc<FW_COMPLETE>, ReaderModel& m, const void*, wire::fw_complete_result* res)
{
    AdminModel& a = m.admin;
    set_string(res->fw_text2, a.firmware_version);
    if (!a.update) {
        res->fw_status = update_idle;
    } else {
        set_string(res->fw_text1, a.update->image);
        set_string(res->fw_text3, a.update->version);
        if (update_finished(a)) {
            res->fw_status = 0;
            res->fw_value = 100;
        } else {
            const auto spent = std::chrono::steady_clock::now() - a.update->started;
            res->fw_status = update_in_progress;
            res->fw_value = a.update_time.count() > 0 ? static_cast<int>(100 * spent / a.update_time) : 0;
        }
    }
    if (const auto status = forced(m, FW_COMPLETE))
        res->fw_status = *status;
}

void answer(Proc<REBOOT>, ReaderModel& m, const wire::reboot_args*, void*)
{
    if (m.admin.request_reboot)
        m.admin.request_reboot();
}

void restart_after_reboot(ReaderModel& m)
{
    AdminModel& a = m.admin;
    reload_committed(a);
    a.params = a.committed;   // what was not committed is lost
    if (update_finished(a))
        a.firmware_version = a.update->version;
    a.update.reset();   // an update cut short by the reboot is lost too
    a.gpio_levels &= (1u << gpio::inputs) - 1u;
    a.gpio_bindings = {};
    a.antenna_counters.clear();
    a.source_counters.clear();
    m.searches.clear();
    m.tagdb.clear();
}

void start_admin(ReaderModel& m, const Options& o)
{
    AdminModel& a = m.admin;
    a.params = {
        {"hostname", "qdsim"},         {"ip_address", o.address}, {"netmask", "255.0.0.0"},
        {"gateway", ""},               {"time_zone", "UTC"},      {"description", "virtual reader"},
    };
    a.settings = {
        {"tagopretrytimeoutms", "1000"}, {"epc1idlen", "96"},    {"epc0repeats", "3"},
        {"epc0_deghost", "no"},          {"epc0_deghost_len", "0"}, {"epc1_deghost", "no"},
        {"synch_regulatory_timeout", "no"}, {"currentslot", "0"}, {"currentantid", "0"},
    };
    a.state_file = o.state_file;
    a.log_to_stderr = o.verbose;
    a.firmware_version = o.firmware_version;
    a.os_version = o.os_version;
    a.settings_text = o.settings_text;
    a.update_time = o.fw_update_time;
    a.gpio_levels = o.gpio_inputs & ((1u << gpio::inputs) - 1u);
    // A reader with a saved store starts with it, and one whose store
    // cannot be read or written does not start: it would lose the store.
    a.committed = a.params;
    if (!a.state_file.empty()) {
        reload_committed_or_throw(a);
        check_writable(a.state_file);
    }
    a.params = a.committed;
}

// ---------------------------------------------------------------------------
// Texts

void answer(Proc<READ_SETTINGS>, ReaderModel& m, const void*, char** res)
{
    if (m.admin.settings_text) {
        set_string(*res, *m.admin.settings_text);
        return;
    }
    std::string text;
    for (const auto& [name, value] : m.admin.settings) {
        text += name;
        text += '=';
        text += value;
        text += '\n';
    }
    set_string(*res, text);
}

void answer(Proc<GET_FIRMWARE_VERSION>, ReaderModel& m, const void*, char** res)
{
    set_string(*res, m.admin.firmware_version);
}

void answer(Proc<GET_OS_VERSION>, ReaderModel& m, const void*, char** res)
{
    set_string(*res, m.admin.os_version);
}

}  // namespace qdsim::detail
