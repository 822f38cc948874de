// The reader's EEPROM, a block of 1024 words at a time.  Unlike the rest of
// the family, a failed transfer says why on standard error.
#include <algorithm>
#include <string>

#include "guard.h"
#include "priv/priv_frame.h"

using namespace qd;

namespace {

constexpr int block_words = 1024;   // ZRD_DATA_BLOCK_MAX_U16S

// The transfer must stay within one block.  The message names the length
// alone, also when it is the offset that reaches past the block.
bool within_block(uint16_t offset, uint16_t length)
{
    if (offset + length <= block_words)
        return true;
    priv_report("Too much data! len=%d > ZRD_DATA_BLOCK_MAX_U16S=%d", length, block_words);
    return false;
}

// A failed transfer is reported with the RPC library's description of it.
void report_failure(const std::string& why)
{
    std::string text = why;
    // The description ends in a newline of its own; the report adds one.
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    priv_report("%s", text.c_str());
}

}  // namespace

extern "C" {

int PRIV_eepromWrite(reader_handle handle, uint16_t selector, uint16_t offset, const uint16_t* words,
                     uint16_t length)
{
    return qd::guarded_priv<int>("PRIV_eepromWrite", READER_ERROR_API_ALLOC, [&]() -> int {
        PrivSession session("PRIV_eepromWrite", handle);
        if (!session)
            return session.result();
        if (!within_block(offset, length) || (length > 0 && !words))
            return READER_ERROR_INVALID_ARGUMENTS;
        wire::eeprom_block block{};   // the words after the caller's go out as 0
        block.selector = selector;
        block.offset = offset;
        block.length = length;
        if (length > 0)
            std::copy_n(words, length, block.words);
        if (!session.call_reporting<&wire::eeprom_write_1>("eeprom_write RPC failed", block, ignore, report_failure))
            return session.closed() ? priv_bad_handle : READER_ERROR_REMOTE;
        return 0;
    });
}

int PRIV_eepromRead(reader_handle handle, uint16_t selector, uint16_t offset, uint16_t* words, uint16_t length)
{
    return qd::guarded_priv<int>("PRIV_eepromRead", READER_ERROR_API_ALLOC, [&]() -> int {
        PrivSession session("PRIV_eepromRead", handle);
        if (!session)
            return session.result();
        if (!within_block(offset, length) || (length > 0 && !words))
            return READER_ERROR_INVALID_ARGUMENTS;
        wire::eeprom_ref request{};
        request.selector = selector;
        request.offset = offset;
        request.length = length;
        // A reader that answers more words than were asked for gets its extra
        // words cut: the caller's array holds `length` words and no more.
        const auto copy = [&](const wire::eeprom_block& answer) {
            const std::size_t answered = std::min<std::size_t>(answer.length, length);
            if (answered > 0)
                std::copy_n(answer.words, answered, words);
        };
        if (!session.call_reporting<&wire::eeprom_read_1>("eeprom_read RPC failed", request, copy, report_failure))
            return session.closed() ? priv_bad_handle : READER_ERROR_REMOTE;
        return 0;
    });
}

}  // extern "C"
