// The signal generator's built-in waveforms: runs of I/Q samples, I first,
// as 16-bit words in the order they are written to the reader's pattern
// buffer.
#pragma once

#include <cstdint>
#include <span>

namespace qd {

struct Waveform {
    const char* mode;                // the signal generator's mode name
    std::span<const int16_t> words;  // I, Q, I, Q, ...
};

// "sin160k", "gen2zero" and "gen2one", in that order.
std::span<const Waveform> builtin_waveforms();

}  // namespace qd
