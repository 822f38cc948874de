// The virtual reader's administration state.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qdsim::detail {

// The meaning of the statistics counters (index = counter number - 1).
namespace stats {
// Per antenna (14 counters).
constexpr int searches = 0;          // stat1: searches completed on the antenna
constexpr int tags_found = 1;        // stat2: tags those searches found there
// Per source (13 counters); the reader's own tag operations are source 0.
constexpr int tagops_done = 0;       // stat1: tag operations carried out
constexpr int tagops_failed = 1;     // stat2: tag operations that failed
constexpr int no_tag = 2;            // stat3: failed: no such tag
constexpr int wrong_password = 3;    // stat4: failed: wrong password
constexpr int refused = 4;           // stat5: failed: locked, out of range, or any other status
}  // namespace stats

using AntennaCounters = std::array<int32_t, 14>;
using SourceCounters = std::array<int32_t, 13>;

// GPIO: lines 0..3 are inputs, 4..7 outputs.
namespace gpio {
constexpr uint32_t inputs = 4;
constexpr uint32_t lines = 8;
// Events an output can be bound to (GPIO_SET_READER_EVENT's second value).
constexpr uint32_t event_none = 0;           // unbinds the output
constexpr uint32_t event_tags_found = 1;     // a search completed with tags
constexpr uint32_t event_no_tags = 2;        // a search completed without tags
constexpr uint32_t event_tagop_done = 3;     // a tag operation was carried out
constexpr uint32_t event_tagop_failed = 4;   // a tag operation failed
constexpr uint32_t event_last = event_tagop_failed;
}  // namespace gpio

struct GpioBinding {
    uint32_t event = gpio::event_none;
    bool level = false;   // driven onto the output when the event happens
};

struct FirmwareUpdate {
    std::string image;
    std::string version;   // the version the image installs
    std::chrono::steady_clock::time_point started{};
};

struct AdminModel {
    // The parameter store: names and their string values, as they are now.
    std::map<std::string, std::string> params;
    // The store as params_commit_all (or a set with flag bit 0) left it: what
    // params_load_all and a reboot come back to.
    std::map<std::string, std::string> committed;
    std::string state_file;   // where commits are written; empty: memory only
    // Test hook: params_list answers this instead of the store.
    std::optional<std::vector<std::pair<std::string, std::string>>> forced_list;
    // What params_log wrote, a line per call.
    std::vector<std::string> log;
    bool log_to_stderr = false;

    // The named settings (config_get / config_set).
    std::map<std::string, std::string> settings;

    // Statistics, by antenna and by source; absent: all zero.
    std::map<uint16_t, AntennaCounters> antenna_counters;
    std::map<uint16_t, SourceCounters> source_counters;

    // GPIO: bit i is the level of line i.
    uint32_t gpio_levels = 0;
    std::array<GpioBinding, gpio::lines> gpio_bindings{};

    // Firmware.
    std::string firmware_version;
    std::string os_version;
    std::optional<std::string> settings_text;   // none: made from the settings
    std::optional<FirmwareUpdate> update;       // started, not yet installed
    std::string installed_on_reboot;            // a finished update's version
    std::chrono::milliseconds update_time{3000};

    // Test hook: the status these procedures answer instead of their own
    // (GPIO_GET's status, FW_COMPLETE's outcome, the others' result).
    std::map<uint32_t, int32_t> forced_status;

    // Set by the reader's owner: starts a reboot once the current reply has
    // gone.  Called with the model locked; must not block.
    std::function<void()> request_reboot;
};

}  // namespace qdsim::detail
