// The reader's test modes.  The text about the latest attempt lives in one
// library-owned buffer (kept.h): callers get its address, so it has to
// outlive the call.
#include <strings.h>

#include <cstdio>
#include <mutex>

#include "guard.h"
#include "kept.h"
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

// Two threads starting test modes at once never interleave their texts;
// what a caller reads after the call is its own affair.
KeptText<256> test_mode_message;

// An unknown mode gets the gate's refusal.
constexpr int unknown_mode = -2;

const auto test_start = priv_op<&wire::test_start_1>("testStart");
const auto test_stop = priv_op<&wire::test_stop_1>("testStop");

}  // namespace

extern "C" {

int PRIV_testStart(reader_handle handle, const char* mode, int16_t* code, const char** message)
{
    return qd::guarded_priv<int>("PRIV_testStart", READER_ERROR_API_ALLOC, [&]() -> int {
        PrivFrame frame(test_start, handle);
        if (!frame)
            return frame.result();
        if (!mode || !message)
            return READER_ERROR_INVALID_ARGUMENTS;
        const TestMode* found = nullptr;
        for (const TestMode& m : test_modes)
            if (strcasecmp(mode, m.name) == 0)
                found = &m;
        if (found)
            *message = test_mode_message.replace(found->message);
        else
            *message = test_mode_message.format("Unknown test mode: %s\n", mode);
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
    return qd::guarded_priv<int>("PRIV_testStop", READER_ERROR_API_ALLOC, [&]() -> int {
        return priv_perform(test_stop, handle, nothing);
    });
}

}  // extern "C"
