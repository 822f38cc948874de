// Test modes, the signal generator, the EEPROM and the I/Q buffer as a
// caller sees them: what reaches the reader, what comes back, what is
// refused before any call and what is said on standard error.  Virtual
// readers at 127.0.13.129, .131 and .132; the privilege gate is opened once.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cmath>
#include <functional>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support.h"
#include "xdr_filter.h"

namespace {

using namespace qdtest;
using Chunks = std::vector<std::pair<std::size_t, std::vector<uint16_t>>>;

constexpr char host[] = "127.0.13.129";

// The chunks that PATTERN_BUFFER_WRITE received: offset and words.
Chunks chunks(const qdsim::VirtualReader& reader)
{
    Chunks out;
    for (const auto& call : reader.calls())
        if (call.proc == PATTERN_BUFFER_WRITE) {
            qdsim::Decoded<wire::word_list> v(call, qdsim::detail::xdr_filter(wire::xdr_word_list));
            const auto& w = v->words;
            out.emplace_back(v->offset, std::vector<uint16_t>(w.words_val, w.words_val + w.words_len));
        }
    return out;
}

// An I/Q list: its texts and their addresses.
struct List {
    List(std::vector<std::string> given) : texts(std::move(given))
    {
        for (const auto& t : texts)
            argv.push_back(t.c_str());
    }
    List(const List&) = delete;   // argv points into texts
    int argc() const { return static_cast<int>(argv.size()); }
    std::vector<std::string> texts;
    std::vector<const char*> argv;
};

// `n` texts: base, base + 1, ...
std::vector<std::string> numbers(std::size_t n, int base = 0)
{
    std::vector<std::string> out;
    for (std::size_t k = 0; k < n; ++k)
        out.push_back(std::to_string(base + static_cast<int>(k)));
    return out;
}

class Instruments : public testing::Test {
protected:
    void SetUp() override
    {
        // Only every fifth call with the code sets the level; nothing else
        // in this program calls it.
        static const bool open = [] {
            qdtest::set_priv_level(1);
            return PRIV_getCurPrivLevel() == 1;
        }();
        ASSERT_TRUE(open);
        reader_ = start_reader(host);
        handle_ = open_reader(host);
        ASSERT_NE(handle_, nullptr);
        reader_->clear_calls();
    }
    void TearDown() override { close_reader(handle_); }

    std::unique_ptr<qdsim::VirtualReader> reader_;
    reader_handle handle_ = nullptr;
};

// --- Test modes ------------------------------------------------------------------

TEST_F(Instruments, TestModesSendTheirCodeWhateverTheCase)
{
    const struct {
        const char* name;
        int16_t code;
        const char* message;
    } modes[] = {{"stop", 0, "Attempting to disable test mode...\n"},
                 {"CW", 1, "Attempting switch to CW test mode...\n"},
                 {"Epc1", 2, "Attempting switch to EPC1 search test mode...\n"},
                 {"ISO18000", 3, "Attempting switch to ISO18000-6B search test mode...\n"},
                 {"epc1lfsr", 4, "Attempting switch to EPC1 LFSR test mode...\n"},
                 {"iso18000LFSR", 5, "Attempting switch to ISO18000-6B LFSR test mode...\n"},
                 {"Gen2OnOff", 6, "Attempting switch to Gen2 RF On/Off test mode...\n"}};
    for (const auto& m : modes) {
        SCOPED_TRACE(m.name);
        reader_->clear_calls();
        int16_t code = -1;
        const char* message = nullptr;
        ASSERT_EQ(PRIV_testStart(handle_, m.name, &code, &message), 0);
        EXPECT_EQ(code, m.code);
        EXPECT_STREQ(message, m.message);
        EXPECT_EQ(reader_->instruments().test_mode,
                  m.code == 0 ? std::nullopt : std::optional<uint16_t>(static_cast<uint16_t>(m.code)));
        // Without a code variable the mode is started all the same.
        EXPECT_EQ(PRIV_testStart(handle_, m.name, nullptr, &message), 0);
        EXPECT_EQ(procs(*reader_), (std::vector<uint32_t>{TEST_START, TEST_START}));
    }
    EXPECT_EQ(PRIV_testStop(handle_), 0);
    EXPECT_EQ(reader_->instruments().test_mode, std::nullopt);
}

TEST_F(Instruments, UnknownTestModeIsRefusedWithoutACall)
{
    for (const std::string& name : {std::string("foo"), std::string("cw "), std::string(""), std::string(300, 'x')}) {
        int16_t code = 77;
        const char* message = nullptr;
        EXPECT_EQ(PRIV_testStart(handle_, name.c_str(), &code, &message), -2);
        EXPECT_EQ(code, 77) << "the code variable is left alone";
        EXPECT_EQ(std::string(message), ("Unknown test mode: " + name + "\n").substr(0, 255));
    }
    EXPECT_TRUE(reader_->calls().empty());
}

// --- Arguments refused before any call ----------------------------------------

TEST_F(Instruments, MissingPointersAndBadCountsAreRefusedWithoutACall)
{
    const char* message = nullptr;
    const uint16_t words[1025] = {};
    const std::function<int()> calls[] = {
        [&] { return PRIV_testStart(handle_, nullptr, nullptr, &message); },
        [&] { return PRIV_testStart(handle_, "cw", nullptr, nullptr); },
        [&] { return PRIV_putWave(handle_, 1, 2, 3, nullptr); },
        [&] { return PRIV_putWave(handle_, 1, 2, 1025, words); },
        [&] { return PRIV_putWave(handle_, 1, 2, -1, words); },
        [&] { return PRIV_putWave(handle_, 1, 2, INT_MIN, words); },
        [&] { return PRIV_signalGenerator(handle_, nullptr, 0, nullptr); },
        [&] { return PRIV_signalGenerator(handle_, "iqlist", 2, nullptr); },
        [&] { return PRIV_eepromWrite(handle_, 0, 0, nullptr, 2); },
        [&] { return PRIV_eepromRead(handle_, 0, 0, nullptr, 2); },
        [&] { return PRIV_getIqBuffer(handle_, 0, nullptr); },
    };
    for (std::size_t i = 0; i < std::size(calls); ++i) {
        reader_errno = READER_ERROR_VERIFY_FAILURE;
        EXPECT_EQ(calls[i](), READER_ERROR_INVALID_ARGUMENTS) << "case " << i;
        EXPECT_EQ(reader_errno, READER_ERROR_VERIFY_FAILURE) << "case " << i;
    }
    EXPECT_TRUE(reader_->calls().empty());
}

TEST_F(Instruments, PutWaveSendsUpTo1024Words)
{
    for (const int count : {0, 1024}) {
        std::vector<uint16_t> words(static_cast<std::size_t>(count));
        for (std::size_t i = 0; i < words.size(); ++i)
            words[i] = static_cast<uint16_t>(i * 7);
        EXPECT_EQ(PRIV_putWave(handle_, 0x1111, 0x2222, count, words.data()), 0);
        const qdsim::Instruments in = reader_->instruments();
        EXPECT_EQ(in.wave_first, 0x1111);
        EXPECT_EQ(in.wave_second, 0x2222);
        EXPECT_EQ(in.wave, words);
    }
}

// --- The signal generator -----------------------------------------------------

constexpr uint32_t size_q = PATTERN_BUFFER_SIZE, write_q = PATTERN_BUFFER_WRITE, gen_on = SIGNAL_GENERATOR_ON,
                   out_on = PATTERN_OUTPUT_ON;

struct SignalCase {
    const char* name;
    const char* mode;
    List list;
    uint32_t capacity;
    int result;
    std::vector<uint32_t> calls;
    std::vector<std::pair<std::size_t, std::size_t>> chunks = {};   // offset, words
    std::string report = "";                                // on standard error
    std::optional<uint32_t> failing = std::nullopt;         // this call fails once
    std::optional<uint16_t> refused_at = std::nullopt;      // this chunk is refused
};

TEST_F(Instruments, SignalGeneratorCallsChunksAndReports)
{
    const SignalCase cases[] = {
        {"off", "off", List({}), 4096, 0, {PATTERN_OUTPUT_OFF, SIGNAL_GENERATOR_OFF}},
        {"off, first call failing", "OFF", List({}), 4096, -102, {PATTERN_OUTPUT_OFF}, {}, "", PATTERN_OUTPUT_OFF},
        {"gen2lfsr", "Gen2Lfsr", List({}), 4096, 0, {SIGNAL_GENERATOR_GEN2_LFSR}},
        {"unknown mode", "sine", List({}), 4096, -100, {}},
        {"sin160k, capacity 40", "sin160k", List({}), 40, -101, {size_q}},
        {"sin160k, capacity 41", "SIN160K", List({}), 41, 0, {size_q, write_q, gen_on, out_on}, {{0, 82}}},
        {"generator failing", "gen2one", List({}), 4096, -102, {size_q, write_q, gen_on}, {{0, 136}}, "", gen_on},
        {"2500 words", "iqlist", List(numbers(2500)), 1250, 0, {size_q, write_q, write_q, write_q, gen_on, out_on},
         {{0, 1024}, {1024, 1024}, {2048, 452}}},
        {"chunk at 1024 refused", "iqlist", List(numbers(2500)), 1250, -102, {size_q, write_q, write_q, gen_on, out_on},
         {{0, 1024}, {1024, 1024}},
         "Can't write 1024 words at offset=1024.  Aborting...\nStuffed pattern buffer; used 512/1250 samples\n\n",
         std::nullopt, 1024},
        {"notations", "iqlist", List({" 0x10", "010", "-2", "65537"}), 4096, 0, {size_q, write_q, gen_on, out_on},
         {{0, 4}}},
        // A list that does not parse ends nothing but the call.
        {"unparsable", "iqlist", List({"1", "zz", "3"}), 4096, -100, {}, {}, "Can't parse IQ[1] (\"zz\")\n"},
        {"empty list", "iqlist", List({}), 4096, -100, {}},
    };
    for (const SignalCase& c : cases) {
        SCOPED_TRACE(c.name);
        reader_->clear_calls();
        reader_->set_pattern_capacity(c.capacity);
        reader_->refuse_pattern_write(c.refused_at);
        if (c.failing)
            reader_->inject(*c.failing, error_reply(1));
        int result = 0;
        const std::string text =
            stderr_of([&] { result = PRIV_signalGenerator(handle_, c.mode, c.list.argc(), c.list.argv.data()); });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(procs(*reader_), c.calls);
        EXPECT_EQ(text, c.report);
        std::vector<std::pair<std::size_t, std::size_t>> written;
        for (const auto& [offset, words] : chunks(*reader_)) {
            written.emplace_back(offset, words.size());
            for (std::size_t k = 0; k < words.size() && !c.list.texts.empty(); ++k)
                ASSERT_EQ(words[k], std::stoul(c.list.texts[offset + k], nullptr, 0) & 0xFFFF);
        }
        EXPECT_EQ(written, c.chunks);
    }
}

// Each call sends its own list, also while another thread loads a list of
// another length into another reader.
TEST_F(Instruments, ConcurrentListsStayApart)
{
    auto other = start_reader("127.0.13.131");
    const reader_handle other_handle = open_reader("127.0.13.131");
    ASSERT_NE(other_handle, nullptr);
    const auto load = [](reader_handle h, const List& list) {
        bool ok = true;
        for (int round = 0; round < 20; ++round)
            ok = ok && PRIV_signalGenerator(h, "iqlist", list.argc(), list.argv.data()) == 0;
        return ok;
    };
    const List first_list(numbers(1500, 10000)), second_list(numbers(700, 30000));
    bool first_ok = false;
    std::thread first([&] { first_ok = load(handle_, first_list); });
    EXPECT_TRUE(load(other_handle, second_list));
    first.join();
    EXPECT_TRUE(first_ok);
    close_reader(other_handle);

    for (const auto& [reader, base, count] :
         {std::tuple{reader_.get(), 10000, 40u}, std::tuple{other.get(), 30000, 20u}}) {
        const Chunks written = chunks(*reader);
        EXPECT_EQ(written.size(), count);
        for (const auto& [offset, words] : written)
            for (std::size_t k = 0; k < words.size(); ++k)
                ASSERT_EQ(words[k], base + offset + k);
    }
}

// The built-in tables as the reader plays them back into its I/Q capture.
TEST_F(Instruments, BuiltInWavesKeepTheirBoundShape)
{
    using Point = std::pair<std::size_t, int>;
    const struct {
        const char* mode;
        std::size_t samples;
        std::vector<int> first, last;   // the first eight samples, the last four
        std::vector<Point> turns;       // turning points, in order, with both ends
        Point minimum, maximum;
    } waves[] = {
        {"sin160k", 41, {-2, -171, -673, -1497, -2626, -4034, -5690, -7559}, {-4628, -3122, -1886, -945},
         {{0, -2}, {21, -30715}, {40, -945}}, {21, -30715}, {0, -2}},
        {"gen2zero", 42, {-2676, -2072, -1686, -1490, -1467, -1616, -1950, -2492}, {-7928, -6146, -4683, -3534},
         {{0, -2676}, {4, -1467}, {25, -30518}, {41, -3534}}, {25, -30518}, {4, -1467}},
        {"gen2one", 68, {-2792, -2334, -2004, -1783, -1669, -1668, -1782, -2003}, {-6934, -5428, -4274, -3418},
         {{0, -2792}, {5, -1668}, {17, -4566}, {29, -1658}, {51, -29808}, {67, -3418}}, {51, -29808}, {29, -1658}},
    };
    for (const auto& w : waves) {
        SCOPED_TRACE(w.mode);
        ASSERT_EQ(PRIV_signalGenerator(handle_, w.mode, 0, nullptr), 0);
        iq_buffer buffer{};
        ASSERT_EQ(PRIV_getIqBuffer(handle_, 0, &buffer), 0);
        ASSERT_EQ(buffer.count, w.samples);
        std::vector<int> v;
        for (std::size_t k = 0; k < w.samples; ++k) {
            ASSERT_EQ(buffer.i_values[k], buffer.q_values[k]) << "sample " << k;
            v.push_back(static_cast<int16_t>(buffer.i_values[k]));
        }
        EXPECT_LE(*std::max_element(v.begin(), v.end()), -2);
        EXPECT_EQ(std::vector<int>(v.begin(), v.begin() + 8), w.first);
        EXPECT_EQ(std::vector<int>(v.end() - 4, v.end()), w.last);
        const auto lo = std::min_element(v.begin(), v.end()), hi = std::max_element(v.begin(), v.end());
        EXPECT_EQ(Point(static_cast<std::size_t>(lo - v.begin()), *lo), w.minimum);
        EXPECT_EQ(Point(static_cast<std::size_t>(hi - v.begin()), *hi), w.maximum);
        for (std::size_t t = 0; t + 1 < w.turns.size(); ++t) {
            const auto [from, from_value] = w.turns[t];
            const auto [to, to_value] = w.turns[t + 1];
            EXPECT_EQ(v[from], from_value);
            for (std::size_t k = from; k < to; ++k)
                ASSERT_TRUE(to_value > from_value ? v[k] < v[k + 1] : v[k] > v[k + 1]) << "not monotonic at " << k;
        }
        for (std::size_t k = 0; std::string(w.mode) == "sin160k" && k < v.size(); ++k) {
            const double dip = 15360 * (1 - std::cos(2 * std::numbers::pi * static_cast<double>(k) / 42.375));
            EXPECT_NEAR(v[k], std::lround(-2 - dip), 2) << "sample " << k;
        }
    }
}

// --- EEPROM ----------------------------------------------------------------------

TEST_F(Instruments, EepromTransfersStayWithinOneBlock)
{
    std::vector<uint16_t> words(1024, 0x5A5A);
    const struct {
        uint16_t offset, length;
        int result;
    } cases[] = {{0, 1024, 0}, {1, 1024, -100}, {1000, 100, -100},
                 {1000, 24, 0}, {1024, 0, 0}, {0xFFFF, 0xFFFF, -100}};
    for (const auto& t : cases)
        for (const bool write : {true, false}) {
            SCOPED_TRACE(std::to_string(t.offset) + "+" + std::to_string(t.length) + (write ? " write" : " read"));
            reader_->clear_calls();
            int result = 0;
            const std::string text = stderr_of([&] {
                result = write ? PRIV_eepromWrite(handle_, 2, t.offset, words.data(), t.length)
                               : PRIV_eepromRead(handle_, 2, t.offset, words.data(), t.length);
            });
            EXPECT_EQ(result, t.result);
            EXPECT_EQ(reader_->calls().size(), t.result == 0 ? 1u : 0u);
            // The message shows the length, also where the offset is to blame.
            EXPECT_EQ(text, t.result == 0 ? "" : "Too much data! len=" + std::to_string(t.length) +
                                                     " > ZRD_DATA_BLOCK_MAX_U16S=1024\n");
        }
}

TEST_F(Instruments, EepromWriteSendsTheCallersWordsAndZerosAfterThem)
{
    const uint16_t words[] = {0xBEEF, 0x0102, 0xFFFF, 0xDEAD};
    ASSERT_EQ(PRIV_eepromWrite(handle_, 3, 100, words, 3), 0);
    const auto calls = reader_->calls();
    ASSERT_EQ(calls.size(), 1u);
    qdsim::Decoded<wire::eeprom_block> block(calls[0], qdsim::detail::xdr_filter(wire::xdr_eeprom_block));
    EXPECT_EQ(std::tie(block->selector, block->offset, block->length), std::make_tuple(3u, 100u, u_short{3}));
    for (int k = 0; k < 1024; ++k)
        ASSERT_EQ(block->words[k], k < 3 ? words[k] : 0) << k;
    // The reader keeps them.
    uint16_t back[3] = {};
    ASSERT_EQ(PRIV_eepromRead(handle_, 3, 100, back, 3), 0);
    EXPECT_TRUE(std::equal(back, back + 3, words));
}

TEST_F(Instruments, EepromReadWritesNoWordPastTheCallersLength)
{
    std::vector<uint16_t> stored(32);
    for (std::size_t k = 0; k < stored.size(); ++k)
        stored[k] = static_cast<uint16_t>(0x1000 + k);
    reader_->set_eeprom(1, 0, stored);
    const struct {
        std::optional<uint16_t> answered;   // the reply's length; none: as asked
        std::size_t filled;
    } cases[] = {{std::nullopt, 8}, {16, 8}, {4, 4}};
    for (const auto& c : cases) {
        reader_->force_eeprom_length(c.answered);
        std::vector<uint16_t> words(12, 0xCCCC);
        ASSERT_EQ(PRIV_eepromRead(handle_, 1, 0, words.data(), 8), 0);
        for (std::size_t k = 0; k < words.size(); ++k)
            EXPECT_EQ(words[k], k < c.filled ? stored[k] : 0xCCCC) << k << ", reply of " << c.answered.value_or(8);
    }
}

// The EEPROM outlives its reader when the reader keeps a state file.
TEST_F(Instruments, EepromIsKeptWithTheStateFile)
{
    qdsim::Options options;
    options.address = "127.0.13.132";
    options.state_file = testing::TempDir() + "instruments_state_" + std::to_string(getpid());
    const uint16_t words[] = {0xCAFE, 0xF00D};
    for (const bool first_run : {true, false}) {
        qdsim::VirtualReader reader(options);
        reader.start();
        const reader_handle h = open_reader("127.0.13.132");
        ASSERT_NE(h, nullptr);
        uint16_t back[2] = {};
        EXPECT_EQ(first_run ? PRIV_eepromWrite(h, 0, 1022, words, 2) : PRIV_eepromRead(h, 0, 1022, back, 2), 0);
        close_reader(h);
        if (!first_run) {
            EXPECT_TRUE(std::equal(back, back + 2, words));
        }
    }
    std::remove(options.state_file.c_str());
    std::remove((options.state_file + ".eeprom").c_str());
}

// --- The I/Q buffer ------------------------------------------------------------------

TEST_F(Instruments, IqBufferIsCopiedWholeWhateverItsCount)
{
    const List list(numbers(2048, 40000));
    ASSERT_EQ(PRIV_signalGenerator(handle_, "iqlist", list.argc(), list.argv.data()), 0);
    reader_->force_iq_count(3);
    iq_buffer buffer{};
    ASSERT_EQ(PRIV_getIqBuffer(handle_, 5, &buffer), 0);
    EXPECT_EQ(buffer.count, 3);
    for (int k = 0; k < 1024; ++k)
        ASSERT_EQ(std::make_pair(buffer.i_values[k], buffer.q_values[k]),
                  std::make_pair(static_cast<uint16_t>(40000 + 2 * k), static_cast<uint16_t>(40001 + 2 * k)));
}

}  // namespace
