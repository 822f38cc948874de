// Choosing the enabled protocols: the list goes to the reader's parameter
// store as one text, and the connection's initial queries run again so that
// the record's protocol and antenna lists show what the reader now reports.
#include <cstdio>
#include <string>

#include "guard.h"
#include "reader.h"
#include "trace.h"

using namespace qd;

namespace {

// The reader keeps the text in a 128-byte buffer: 127 characters and a NUL.
constexpr std::size_t max_text = 127;
// "ID:0xVALUE " per entry in the caller's order, cut at max_text.  Entries
// past the cut are never read: whatever the count, at most the 19 or so
// entries that fit are.  (A longer list once gave the empty text, which
// enables every protocol: the opposite of what a caller restricting them
// asked for.)
std::string enable_text(int count, const protocol_enable_entry* entries)
{
    std::string text;
    if (count <= 0)
        return text;
    for (int i = 0; i < count && text.size() < max_text; ++i) {
        char item[16];   // "65535:0xFFFF " at the longest
        std::snprintf(item, sizeof item, "%d:0x%02X ", static_cast<int>(entries[i].protocol_id),
                      static_cast<unsigned>(entries[i].enable_value));
        text += item;
    }
    if (text.size() > max_text)
        text.resize(max_text);
    return text;
}

}  // namespace

extern "C" {

int set_supported_protocols(reader_handle handle, int count, const protocol_enable_entry* entries, int32_t* list)
{
    return qd::guarded<int>("set_supported_protocols", -1, [&]() -> int {
        Session session = resolve(handle);
        if (!session)
            return -1;
        // Refused rather than read as an empty list: storing the empty text
        // would enable every protocol the hardware has.
        if (!entries && count > 0) {
            set_errno(READER_ERROR_INVALID_ARGUMENTS);
            return -1;
        }
        const std::string text = enable_text(count, entries);
        if (reader_params_set_with_flag(handle, "protocol_enable_list", text.c_str(), 1) < 0)
            return -1;
        if (!refresh_record(session))
            return -1;
        return list ? get_supported_protocols(handle, list) : 0;
    });
}

}  // extern "C"
