// The reader's test modes.  The text about the latest attempt lives in one
// library-owned buffer: callers get its address, so it has to outlive the
// call.
#include <strings.h>

#include <cstdio>
#include <mutex>

#include "guard.h"
#include "priv/priv_frame.h"

using namespace qd;

namespace {

struct TestMode {
    const char* name;
    uint16_t code;
    const char* message;
};

constexpr TestMode test_modes[] = {
    {"stop", 0, "Attempting to disable test mode...\n"},
    {"cw", 1, "Attempting switch to CW test mode...\n"},
    {"epc1", 2, "Attempting switch to EPC1 search test mode...\n"},
    {"iso18000", 3, "Attempting switch to ISO18000-6B search test mode...\n"},
    {"epc1lfsr", 4, "Attempting switch to EPC1 LFSR test mode...\n"},
    {"iso18000lfsr", 5, "Attempting switch to ISO18000-6B LFSR test mode...\n"},
    {"gen2onoff", 6, "Attempting switch to Gen2 RF On/Off test mode...\n"},
};

char test_mode_message[256];
// Two threads starting test modes at once must not interleave their texts;
// what a caller reads after the call is its own affair.
std::mutex message_lock;

// An unknown mode gets the gate's refusal.
constexpr int unknown_mode = -2;

const auto test_start = priv_op<&wire::test_start_1>("testStart");
const auto test_stop = priv_op<&wire::test_stop_1>("testStop");

}  // namespace

extern "C" {

int PRIV_testStart(reader_handle handle, const char* mode, int16_t* code, const char** message)
{
    return qd::guarded_priv<int>(READER_ERROR_API_ALLOC, [&]() -> int {
        PrivFrame frame(test_start, handle);
        if (!frame)
            return frame.result();
        if (!mode || !message)
            return READER_ERROR_INVALID_ARGUMENTS;
        *message = test_mode_message;

        const TestMode* found = nullptr;
        for (const TestMode& m : test_modes)
            if (strcasecmp(mode, m.name) == 0)
                found = &m;
        {
            std::lock_guard<std::mutex> writing(message_lock);
            if (found)
                std::snprintf(test_mode_message, sizeof test_mode_message, "%s", found->message);
            else
                std::snprintf(test_mode_message, sizeof test_mode_message, "Unknown test mode: %s\n", mode);
        }
        if (!found)
            return unknown_mode;

        const u_short sent = found->code;
        const int result = frame.run(sent, nothing);
        if (result == 0 && code)
            *code = static_cast<int16_t>(found->code);
        return result;
    });
}

int PRIV_testStop(reader_handle handle)
{
    return qd::guarded_priv<int>(READER_ERROR_API_ALLOC, [&]() -> int {
        return priv_perform(test_stop, handle, nothing);
    });
}

}  // extern "C"
