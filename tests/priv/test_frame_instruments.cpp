// The frame suite's rows for the privileged instruments (see frame_suite.h).
// Virtual reader at 127.0.13.128.  The privilege gate is opened once for the
// whole program.
#include "frame_suite.h"

namespace qdframe {

namespace {

constexpr uint16_t words[] = {0xBEEF, 0x0102, 3, 4};

// A privileged instrument: -1 for a bad handle, -2 closed, -102 when its
// call fails, 0 on success.
Row instrument(const char* name, std::function<int(reader_handle)> call, uint32_t proc)
{
    return privileged({name, std::move(call), proc, name, -1, -102, OnSuccess::leave, 0});
}

// Loads a pattern and plays it: capacity query, one chunk, generator on,
// output on.
Row pattern_mode(const char* name, std::function<int(reader_handle)> call)
{
    return followed_by(instrument(name, std::move(call), PATTERN_BUFFER_SIZE),
                       {PATTERN_BUFFER_WRITE, SIGNAL_GENERATOR_ON, PATTERN_OUTPUT_ON});
}

}  // namespace

const char* frame_host()
{
    return "127.0.13.128";
}

void prepare_frame_reader(qdsim::VirtualReader&)
{
    // The level changes on every fifth call with the code, and nothing else
    // in this program calls it.
    static const bool unlocked = [] {
        set_priv_level(1);
        return PRIV_getCurPrivLevel() == 1;
    }();
    ASSERT_TRUE(unlocked);
}

const std::vector<Row>& frame_rows()
{
    static const std::vector<Row> table = {
        instrument("PRIV_testStart",
                   [](reader_handle h) {
                       const char* message = nullptr;
                       return PRIV_testStart(h, "cw", nullptr, &message);
                   },
                   TEST_START),
        instrument("PRIV_testStop", [](reader_handle h) { return PRIV_testStop(h); }, TEST_STOP),
        instrument("PRIV_putWave", [](reader_handle h) { return PRIV_putWave(h, 7, 8, 4, words); }, PUT_WAVE),
        followed_by(instrument("PRIV_signalGenerator_off",
                               [](reader_handle h) { return PRIV_signalGenerator(h, "off", 0, nullptr); },
                               PATTERN_OUTPUT_OFF),
                    {SIGNAL_GENERATOR_OFF}),
        instrument("PRIV_signalGenerator_gen2lfsr",
                   [](reader_handle h) { return PRIV_signalGenerator(h, "gen2lfsr", 0, nullptr); },
                   SIGNAL_GENERATOR_GEN2_LFSR),
        pattern_mode("PRIV_signalGenerator_sin160k",
                     [](reader_handle h) { return PRIV_signalGenerator(h, "sin160k", 0, nullptr); }),
        pattern_mode("PRIV_signalGenerator_iqlist",
                     [](reader_handle h) {
                         const char* list[] = {"1", "2", "0x30", "-4"};
                         return PRIV_signalGenerator(h, "iqlist", 4, list);
                     }),
        reporting(instrument("PRIV_eepromWrite",
                             [](reader_handle h) { return PRIV_eepromWrite(h, 1, 10, words, 2); }, EEPROM_WRITE),
                  "eeprom_write RPC failed"),
        reporting(instrument("PRIV_eepromRead",
                             [](reader_handle h) {
                                 uint16_t read[2] = {};
                                 return PRIV_eepromRead(h, 1, 10, read, 2);
                             },
                             EEPROM_READ),
                  "eeprom_read RPC failed"),
        instrument("PRIV_getIqBuffer",
                   [](reader_handle h) {
                       iq_buffer buffer{};
                       return PRIV_getIqBuffer(h, 0, &buffer);
                   },
                   GET_IQ_BUFFER),
    };
    return table;
}

}  // namespace qdframe
