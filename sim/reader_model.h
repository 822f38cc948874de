// The state of the reader as the procedures see it.  The owner serialises
// access (ReaderState::mu): procedures run on the server thread, the test
// hooks on any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "call_log.h"
#include "model_admin.h"
#include "model_auto_search.h"
#include "model_radio.h"
#include "tag_field.h"
#include "virtual_reader.h"

namespace qdsim::detail {

using Clock = std::chrono::steady_clock;

struct Search {
    bool polled = false;          // the first poll starts it running
    bool done = false;
    Clock::time_point running_since{};
    std::optional<TimedSearch> timed;   // runs on times of its own (behaviour_auto_search.cpp)
};

struct ReaderModel {
    Hardware hardware;
    TagField field;

    // Searches and the tag database (behaviour_search.cpp).
    std::map<int16_t, Search> searches;
    int16_t last_search_id = 0;
    std::chrono::milliseconds search_duration{50};
    int16_t unknown_search_status = tagmem::search_unknown_default;
    std::optional<int16_t> forced_operation_status;
    std::optional<uint16_t> forced_tags_available;
    std::deque<wire::tag_record> tagdb;
    std::map<uint32_t, int32_t> zr_status;   // by procedure; absent: 0

    // Tag operations (behaviour_tagops.cpp).
    TagopOverride tagop_override;

    // Administration (behaviour_admin.cpp).
    AdminModel admin;

    // Radio (behaviour_radio.cpp).
    RadioModel radio;

    // Privileged instruments (behaviour_instruments.cpp).
    Instruments instruments;

    // The hardware of the privileged radio and hardware controls (behaviour_priv.cpp).
    DiagHardware priv;
};

// Everything one virtual reader keeps.
struct ReaderState {
    CallLog log;
    FaultTable faults;
    // Added to the time of every reply (Options::latency); any thread.
    std::atomic<std::chrono::milliseconds::rep> latency_ms{0};
    bool verbose = false;   // a line per call on standard error; set before start
    std::mutex mu;          // guards model
    ReaderModel model;
};

// Replaces a string of a result with a copy of `value` (results own their
// strings; the server frees them with the result's filter after replying).
void set_string(char*& field, const std::string& value);

}  // namespace qdsim::detail
