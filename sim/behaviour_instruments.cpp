// The privileged instruments: test modes, the signal generator and its
// pattern buffer, PUT_WAVE, the EEPROM, the I/Q capture, the protocol trace.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "behaviour.h"
#include "state_file.h"

namespace qdsim {

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parse_block(const std::string& hex, EepromBlock& block)
{
    if (hex.size() != 4 * block.size())
        return false;
    EepromBlock parsed{};
    for (std::size_t i = 0; i < hex.size(); ++i) {
        const int d = hex_digit(hex[i]);
        if (d < 0)
            return false;
        parsed[i / 4] = static_cast<uint16_t>(parsed[i / 4] << 4 | d);
    }
    block = parsed;
    return true;
}

}  // namespace

void Instruments::keep_eeprom_in(std::string file)
{
    eeprom_file = std::move(file);
    if (eeprom_file.empty())
        return;
    // A damaged file stops the reader: the next write would replace it with
    // what little of it could be read.
    const auto text = detail::read_state_text(eeprom_file);
    if (!text)
        return;
    std::istringstream lines(*text);
    std::string line;
    for (std::size_t number = 1; std::getline(lines, line); ++number) {
        if (line.empty())
            continue;
        std::istringstream fields(line);
        std::size_t selector = 0;
        std::string hex, rest;
        if (!(fields >> selector >> hex) || (fields >> rest) || selector >= eeprom.size() ||
            !parse_block(hex, eeprom[selector]))
            throw detail::StateFileError(eeprom_file + ":" + std::to_string(number) +
                                         ": not a block (a selector 0..3 and 4096 hexadecimal digits)");
    }
}

// Written whole to a new file that then replaces the old one: a reader
// killed half-way keeps the EEPROM of its last complete write.
void Instruments::save_eeprom() const
{
    if (eeprom_file.empty())
        return;
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t selector = 0; selector < eeprom.size(); ++selector) {
        const EepromBlock& block = eeprom[selector];
        if (std::all_of(block.begin(), block.end(), [](uint16_t w) { return w == 0; }))
            continue;
        text += std::to_string(selector) + ' ';
        for (const uint16_t w : block)
            for (int shift = 12; shift >= 0; shift -= 4)
                text += digits[(w >> shift) & 0xF];
        text += '\n';
    }
    std::string error;
    if (!detail::write_atomically(eeprom_file, text, error))
        std::fprintf(stderr, "qdsim: %s\n", error.c_str());
}

}  // namespace qdsim

namespace qdsim::detail {

namespace {

// What PATTERN_BUFFER_WRITE answers for words it did not store.
constexpr int write_refused = 1;

// The generator plays the pattern buffer: the capture takes the pattern's
// first samples, as many as it holds.
void capture_pattern(Instruments& in)
{
    const std::size_t samples = std::min(in.pattern_words / 2, instruments::iq_samples);
    in.iq_i.fill(0);
    in.iq_q.fill(0);
    for (std::size_t k = 0; k < samples; ++k) {
        in.iq_i[k] = in.pattern_buffer[2 * k];
        in.iq_q[k] = in.pattern_buffer[2 * k + 1];
    }
    in.iq_count = static_cast<uint16_t>(samples);
}

}  // namespace

void answer(Proc<TEST_START>, ReaderModel& m, const u_short* code, void*)
{
    m.instruments.test_mode = *code == 0 ? std::nullopt : std::optional<uint16_t>(*code);
}

void answer(Proc<TEST_STOP>, ReaderModel& m, const void*, void*)
{
    m.instruments.test_mode.reset();
}

void answer(Proc<PATTERN_BUFFER_SIZE>, ReaderModel& m, const void*, int* res)
{
    *res = static_cast<int>(m.instruments.pattern_capacity);
}

void answer(Proc<PATTERN_BUFFER_WRITE>, ReaderModel& m, const wire::word_list* list, int* res)
{
    Instruments& in = m.instruments;
    const std::size_t offset = list->offset;
    const std::size_t n = list->words.words_len;
    if (in.refused_write_offset == list->offset || offset + n > in.pattern_buffer.size()) {
        *res = write_refused;
        return;
    }
    std::copy_n(list->words.words_val, n, in.pattern_buffer.begin() + static_cast<std::ptrdiff_t>(offset));
    in.pattern_words = offset == 0 ? n : std::max(in.pattern_words, offset + n);
    ++in.pattern_writes;
    *res = 0;
}

void answer(Proc<SIGNAL_GENERATOR_ON>, ReaderModel& m, const void*, void*)
{
    m.instruments.generator = Generator::pattern;
    if (m.instruments.output_on)
        capture_pattern(m.instruments);
}

void answer(Proc<SIGNAL_GENERATOR_OFF>, ReaderModel& m, const void*, void*)
{
    m.instruments.generator = Generator::off;
}

void answer(Proc<SIGNAL_GENERATOR_GEN2_LFSR>, ReaderModel& m, const void*, void*)
{
    m.instruments.generator = Generator::gen2_lfsr;
}

void answer(Proc<PATTERN_OUTPUT_ON>, ReaderModel& m, const void*, void*)
{
    m.instruments.output_on = true;
    if (m.instruments.generator == Generator::pattern)
        capture_pattern(m.instruments);
}

void answer(Proc<PATTERN_OUTPUT_OFF>, ReaderModel& m, const void*, void*)
{
    m.instruments.output_on = false;
}

void answer(Proc<PUT_WAVE>, ReaderModel& m, const wire::wave_args* args, void*)
{
    Instruments& in = m.instruments;
    in.wave_first = args->first;
    in.wave_second = args->second;
    in.wave.assign(args->words.words_val, args->words.words_val + args->words.words_len);
}

void answer(Proc<EEPROM_READ>, ReaderModel& m, const wire::eeprom_ref* ref, wire::eeprom_block* res)
{
    const Instruments& in = m.instruments;
    res->selector = ref->selector;
    res->offset = ref->offset;
    if (ref->selector >= instruments::eeprom_selectors || ref->offset >= instruments::eeprom_words)
        return;   // length 0
    const std::size_t asked = in.forced_eeprom_length.value_or(ref->length);
    const std::size_t n = std::min(asked, instruments::eeprom_words - ref->offset);
    const EepromBlock& block = in.eeprom[ref->selector];
    std::copy_n(block.begin() + ref->offset, n, res->words);
    res->length = in.forced_eeprom_length.value_or(static_cast<u_short>(n));
}

void answer(Proc<EEPROM_WRITE>, ReaderModel& m, const wire::eeprom_block* block, void*)
{
    if (block->selector >= instruments::eeprom_selectors || block->offset >= instruments::eeprom_words)
        return;
    const std::size_t n = std::min<std::size_t>(block->length, instruments::eeprom_words - block->offset);
    std::copy_n(block->words, n, m.instruments.eeprom[block->selector].begin() + block->offset);
    m.instruments.save_eeprom();
}

void answer(Proc<GET_IQ_BUFFER>, ReaderModel& m, const u_short*, wire::iq_buffer* res)
{
    const Instruments& in = m.instruments;
    res->count = in.forced_iq_count.value_or(in.iq_count);
    std::copy(in.iq_i.begin(), in.iq_i.end(), res->i_values);
    std::copy(in.iq_q.begin(), in.iq_q.end(), res->q_values);
}

void answer(Proc<GET_PROTOCOL_TRACE>, ReaderModel& m, const u_short* selector, wire::protocol_trace* res)
{
    Instruments& in = m.instruments;
    res->trace_word1 = *selector;
    res->trace_word2 = in.test_mode.value_or(0);
    res->trace_word3 = static_cast<u_short>(static_cast<unsigned>(in.generator) + (in.output_on ? 256u : 0u));
    wire::trace_entry& e = res->entries[0];
    e.time1 = ++in.traces;
    e.entry_word1 = in.iq_count;
    e.entry_word2 = static_cast<u_short>(std::min<std::size_t>(in.pattern_words, 0xFFFF));
    e.entry_value = in.pattern_writes;
    std::copy_n(in.iq_i.begin(), instruments::trace_samples, e.samples);
}

}  // namespace qdsim::detail
