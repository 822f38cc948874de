// The virtual reader's privileged instruments: the test mode, the signal
// generator with its pattern buffer, the waveform of PUT_WAVE, the EEPROM,
// the I/Q capture and the protocol trace.  Tests read them through
// VirtualReader::instruments().
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qdsim {

namespace instruments {
constexpr uint32_t default_pattern_capacity = 4096;   // samples
// Chunks are addressed by 16-bit word offsets: 65536 words at most.
constexpr uint32_t max_pattern_capacity = 32768;
constexpr std::size_t eeprom_selectors = 4;           // blocks 0..3
constexpr std::size_t eeprom_words = 1024;            // per block
constexpr std::size_t iq_samples = 1024;
constexpr std::size_t trace_samples = 66;
}  // namespace instruments

enum class Generator {
    off,
    pattern,     // SIGNAL_GENERATOR_ON: plays the pattern buffer
    gen2_lfsr,   // SIGNAL_GENERATOR_GEN2_LFSR: a Gen2 pseudo-random sequence
};

using EepromBlock = std::array<uint16_t, instruments::eeprom_words>;

struct Instruments {
    // TEST_START's code; none after TEST_STOP or code 0 ("stop").
    std::optional<uint16_t> test_mode;

    // The signal generator.  The pattern buffer holds two words (I, Q) a
    // sample.  A write at offset 0 starts a new pattern; later writes extend
    // it.  PATTERN_OUTPUT_ON while the generator plays the buffer captures
    // the pattern (its first 1024 samples) into the I/Q capture.
    uint32_t pattern_capacity = instruments::default_pattern_capacity;   // samples
    std::vector<uint16_t> pattern_buffer = std::vector<uint16_t>(std::size_t{2} * instruments::default_pattern_capacity);
    std::size_t pattern_words = 0;   // the latest pattern's length in words
    uint32_t pattern_writes = 0;     // PATTERN_BUFFER_WRITEs stored
    Generator generator = Generator::off;
    bool output_on = false;

    // PUT_WAVE's latest arguments.
    uint16_t wave_first = 0;
    uint16_t wave_second = 0;
    std::vector<uint16_t> wave;

    // The EEPROM, blocks of 1024 words; it keeps what is written.
    std::array<EepromBlock, instruments::eeprom_selectors> eeprom{};

    // The I/Q capture: the samples of the pattern played last.
    uint16_t iq_count = 0;
    std::array<uint16_t, instruments::iq_samples> iq_i{};
    std::array<uint16_t, instruments::iq_samples> iq_q{};

    // Where the EEPROM is kept between runs; empty: in memory only.
    std::string eeprom_file;

    // GET_PROTOCOL_TRACEs answered.
    uint32_t traces = 0;

    // Test hooks.
    std::optional<uint16_t> refused_write_offset;   // PATTERN_BUFFER_WRITE there answers 1
    std::optional<uint16_t> forced_eeprom_length;   // EEPROM_READ answers this length
    std::optional<uint16_t> forced_iq_count;        // GET_IQ_BUFFER answers this count

    // Keeps the EEPROM in `file` (empty: in memory only), starting with what
    // the file holds.  The file has a line per block that holds anything:
    // the selector, a blank, and its 1024 words as four hex digits each.
    void keep_eeprom_in(std::string file);
    // Writes the EEPROM to its file, if it has one.
    void save_eeprom() const;

    // A new, empty pattern buffer of `samples` samples.
    void set_capacity(uint32_t samples)
    {
        pattern_capacity = samples;
        pattern_buffer.assign(2 * static_cast<std::size_t>(samples), 0);
        pattern_words = 0;
    }
};

}  // namespace qdsim
