// The reader's EEPROM, a block of 1024 words at a time.  Unlike the rest of
// the family, a failed transfer says why on standard error.
#include <algorithm>
#include <string>

#include "guard.h"
#include "priv/priv_frame.h"

using namespace qd;

namespace {

constexpr int block_words = 1024;   // ZRD_DATA_BLOCK_MAX_U16S

const auto eeprom_write = priv_op<&wire::eeprom_write_1>("PRIV_eepromWrite");
const auto eeprom_read = priv_op<&wire::eeprom_read_1>("PRIV_eepromRead");

// The transfer must stay within one block.  The message names the length
// alone, also when it is the offset that reaches past the block.
bool within_block(uint16_t offset, uint16_t length)
{
    if (offset + length <= block_words)
        return true;
    priv_report("Too much data! len=%d > ZRD_DATA_BLOCK_MAX_U16S=%d", length, block_words);
    return false;
}

// Calls the procedure like the rest of the family, but a failure is reported
// with the RPC library's description of it, taken while the call still owns
// the client.
template <auto Entry>
bool transfer(Session& session, const char* what, Reply<Entry>& reply, argument_t<Entry>& argument)
{
    const std::string prefix = std::string(what) + " RPC failed";
    if (session.connection->dropped() && !reconnect(session)) {
        priv_report("%s: no connection to %s", prefix.c_str(), session.reader->host());
        return false;
    }
    std::string why;
    Connection::Outcome outcome;
    const clnt_stat status = session.connection->call(
        [&](CLIENT* client) {
            const clnt_stat s = Entry(&argument, &reply.value, client);
            if (s != RPC_SUCCESS)
                why = rpc_failure_text(client, prefix.c_str());
            return s;
        },
        what, outcome);
    if (status != RPC_SUCCESS) {
        // The description ends in a newline of its own; the report adds one.
        if (!why.empty() && why.back() == '\n')
            why.pop_back();
        priv_report("%s", why.c_str());
        return false;
    }
    // As for every call: a UDP request that went out twice may be answered
    // twice, so its connection is not used again.
    if (outcome.repeated)
        reset_connection(*session.reader, session.connection);
    return true;
}

}  // namespace

extern "C" {

int PRIV_eepromWrite(reader_handle handle, uint16_t selector, uint16_t offset, const uint16_t* words,
                     uint16_t length)
{
    return qd::guarded_priv<int>(READER_ERROR_API_ALLOC, [&]() -> int {
        PrivFrame frame(eeprom_write, handle);
        if (!frame)
            return frame.result();
        if (!within_block(offset, length) || (length > 0 && !words))
            return READER_ERROR_INVALID_ARGUMENTS;
        wire::eeprom_block block{};   // the words after the caller's go out as 0
        block.selector = selector;
        block.offset = offset;
        block.length = length;
        if (length > 0)
            std::copy_n(words, length, block.words);
        Reply<&wire::eeprom_write_1> reply;
        return transfer(frame.session(), "eeprom_write", reply, block) ? 0 : READER_ERROR_REMOTE;
    });
}

int PRIV_eepromRead(reader_handle handle, uint16_t selector, uint16_t offset, uint16_t* words, uint16_t length)
{
    return qd::guarded_priv<int>(READER_ERROR_API_ALLOC, [&]() -> int {
        PrivFrame frame(eeprom_read, handle);
        if (!frame)
            return frame.result();
        if (!within_block(offset, length) || (length > 0 && !words))
            return READER_ERROR_INVALID_ARGUMENTS;
        wire::eeprom_ref request{};
        request.selector = selector;
        request.offset = offset;
        request.length = length;
        Reply<&wire::eeprom_read_1> reply;
        if (!transfer(frame.session(), "eeprom_read", reply, request))
            return READER_ERROR_REMOTE;
        // A reader that answers more words than were asked for gets its extra
        // words cut: the caller's array holds `length` words and no more.
        const std::size_t answered = std::min<std::size_t>(reply.value.length, length);
        if (answered > 0)
            std::copy_n(reply.value.words, answered, words);
        return 0;
    });
}

}  // extern "C"
