// The signal generator: a pattern (a built-in waveform or the caller's I/Q
// list) is loaded into the reader's pattern buffer in chunks and played;
// PRIV_putWave hands the reader one waveform of its own kind.
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "guard.h"
#include "priv/priv_frame.h"
#include "priv/waves.h"

using namespace qd;

namespace {

constexpr int max_wave_words = 1024;
constexpr std::size_t pattern_chunk_words = 1024;
// A pattern's length is a 16-bit word count, and its chunks are addressed by
// 16-bit word offsets: a longer list would wrap around onto its own start.
constexpr int max_list_words = 0xFFFF;

const auto put_wave = priv_op<&wire::put_wave_1>("putWave");
constexpr const char* signal_generator = "signalGenerator";

// The words of an I/Q list: each text a number in C notation, of which the
// low 16 bits count.  A text without a number is reported and refused: a
// caller's typing mistake must not end the caller's process.
bool parse_iq_list(int argc, const char* const* argv, std::vector<uint16_t>& words)
{
    words.resize(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        const char* text = argv[i];
        char* end = nullptr;
        const unsigned long value = text ? std::strtoul(text, &end, 0) : 0;
        if (!text || end == text) {
            std::fprintf(stderr, "Can't parse IQ[%d] (\"%s\")\n", i, text ? text : "(null)");
            return false;
        }
        words[static_cast<std::size_t>(i)] = static_cast<uint16_t>(value);
    }
    return true;
}

// Writes the pattern from word 0 on and starts the generator, also after a
// failed write: the reader then plays what it got.
int load_and_play(PrivSession& session, std::span<const uint16_t> pattern)
{
    int capacity = 0;   // in samples of two words
    if (!session.call<&wire::pattern_buffer_size_1>([&](int answer) { capacity = answer; }))
        return READER_ERROR_REMOTE;
    if (static_cast<long long>(pattern.size()) > 2LL * capacity)
        return READER_ERROR_INVALID_DATA;

    int result = 0;
    for (std::size_t offset = 0; offset < pattern.size();) {
        const std::size_t n = std::min(pattern_chunk_words, pattern.size() - offset);
        // The client entry only encodes from the words.
        auto* chunk = const_cast<u_short*>(pattern.data() + offset);
        priv_trace(" b=%p, buf=%p, b-buf=%d offset=%d, data_len=%d, data_val=%p", static_cast<void*>(chunk),
                   static_cast<const void*>(pattern.data()), static_cast<int>(offset), static_cast<int>(offset),
                   static_cast<int>(n), static_cast<void*>(chunk));
        wire::word_list list{};
        list.offset = static_cast<u_short>(offset);
        list.words.words_len = static_cast<u_int>(n);
        list.words.words_val = chunk;
        int written = -1;
        if (!session.call<&wire::pattern_buffer_write_1>(list, [&](int answer) { written = answer; }) ||
            written != 0) {
            priv_report("Can't write %d words at offset=%d.  Aborting...", static_cast<int>(n),
                        static_cast<int>(offset));
            priv_report("Stuffed pattern buffer; used %d/%d samples\n", static_cast<int>(offset / 2), capacity);
            result = READER_ERROR_REMOTE;
            break;
        }
        offset += n;
    }

    if (!session.call<&wire::signal_generator_on_1>(ignore) || !session.call<&wire::pattern_output_on_1>(ignore))
        return READER_ERROR_REMOTE;
    return result;
}

bool is(const char* mode, const char* name)
{
    return strcasecmp(mode, name) == 0;
}

}  // namespace

extern "C" {

int PRIV_putWave(reader_handle handle, uint16_t first, uint16_t second, int count, const uint16_t* values)
{
    return qd::guarded_priv<int>("PRIV_putWave", READER_ERROR_API_ALLOC, [&]() -> int {
        PrivFrame frame(put_wave, handle);
        if (!frame)
            return frame.result();
        // A negative count is refused like one that is too large: there is no
        // sensible wave to send for it.
        if (count < 0 || count > max_wave_words || (count > 0 && !values))
            return READER_ERROR_INVALID_ARGUMENTS;
        wire::wave_args args{};
        args.first = first;
        args.second = second;
        args.words.words_len = static_cast<u_int>(count);
        args.words.words_val = const_cast<u_short*>(values);
        return frame.run(args, nothing);
    });
}

int PRIV_signalGenerator(reader_handle handle, const char* mode, int argc, const char* const* argv)
{
    return qd::guarded_priv<int>("PRIV_signalGenerator", READER_ERROR_API_ALLOC, [&]() -> int {
        PrivSession session(signal_generator, handle);
        if (!session)
            return session.result();
        if (!mode)
            return READER_ERROR_INVALID_ARGUMENTS;

        if (is(mode, "off")) {
            return session.call<&wire::pattern_output_off_1>(ignore) &&
                           session.call<&wire::signal_generator_off_1>(ignore)
                       ? 0
                       : READER_ERROR_REMOTE;
        }
        if (is(mode, "gen2lfsr"))
            return session.call<&wire::signal_generator_gen2_lfsr_1>(ignore) ? 0 : READER_ERROR_REMOTE;

        for (const Waveform& wave : builtin_waveforms()) {
            if (is(mode, wave.mode)) {
                // Signed samples go out as their two's complement words.
                const std::span<const uint16_t> words(reinterpret_cast<const uint16_t*>(wave.words.data()),
                                                      wave.words.size());
                return load_and_play(session, words);
            }
        }

        if (is(mode, "iqlist")) {
            // An empty list is refused rather than played: the reader would be
            // started on whatever its pattern buffer still holds.
            if (argc <= 0 || argc > max_list_words || !argv)
                return READER_ERROR_INVALID_ARGUMENTS;
            // Each call parses into its own list: a buffer shared between calls
            // could be resized under a call that is still sending it.
            std::vector<uint16_t> words;
            if (!parse_iq_list(argc, argv, words))
                return READER_ERROR_INVALID_ARGUMENTS;
            return load_and_play(session, words);
        }
        return READER_ERROR_INVALID_ARGUMENTS;
    });
}

}  // extern "C"
