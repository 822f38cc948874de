// The state of the reader as the procedures see it.  The owner serialises
// access (ReaderState::mu): procedures run on the server thread, the test
// hooks on any thread.
#pragma once

#include <mutex>
#include <string>

#include "call_log.h"
#include "virtual_reader.h"

namespace qdsim::detail {

struct ReaderModel {
    Hardware hardware;
};

// Everything one virtual reader keeps.
struct ReaderState {
    CallLog log;
    FaultTable faults;
    std::mutex mu;        // guards model
    ReaderModel model;
};

// Replaces a string of a result with a copy of `value` (results own their
// strings; the server frees them with the result's filter after replying).
void set_string(char*& field, const std::string& value);

}  // namespace qdsim::detail
