// The protocol and antenna lists of the current connection.  They are read
// from the copies that the connection's initial queries keep in the reader's
// record; no call is made, though resolving the handle may reconnect and so
// refresh them.
#include "guard.h"
#include "reader.h"
#include "trace.h"

using namespace qd;

namespace {

constexpr int max_listed = 16;

// Resolves the handle and copies one of the connection's lists out of the
// reader's record.  False, with reader_errno set, when the handle does not
// resolve or `list` is null.
template <class T>
bool connection_list(reader_handle handle, const int32_t* list, T reader_record::*member, T& copy)
{
    const auto session = resolve(handle);
    if (!session)
        return false;
    if (!list) {
        set_errno(READER_ERROR_INVALID_ARGUMENTS);
        return false;
    }
    std::lock_guard<std::mutex> copies(session.reader->copies);
    copy = session.reader->record.*member;
    return true;
}

}  // namespace

extern "C" {

extern const char* const protocol_names[14] = {
    "NULL",   "EPC1",   "HF_EPC_DRAFT", "ISO15693",   "ISO14443", "HF_EPC", "EPC1V0",
    "EPC1V1", "ISO18000-6B", "EPC0", "DIAGNOSTIC", "LBT", "GEN2", "PROTOCOL_ID_LAST_VALUE",
};

int get_supported_protocols(reader_handle handle, int32_t* list)
{
    return qd::guarded<int>("get_supported_protocols", -1, [&]() -> int {
        reader_protocol_list protocols;
        if (!connection_list(handle, list, &reader_record::protocols, protocols))
            return -1;
        list[0] = 0;
        for (int id = 0; id < 256 && list[0] < max_listed; ++id)
            if (protocols.bits[id / 16] & (1u << (id % 16)))
                list[++list[0]] = id;
        return list[0];
    });
}

int get_connected_antennas(reader_handle handle, int32_t* list)
{
    return qd::guarded<int>("get_connected_antennas", -1, [&]() -> int {
        reader_antenna_list antennas;
        if (!connection_list(handle, list, &reader_record::antennas, antennas))
            return -1;
        for (int i = 0; i <= max_listed; ++i)
            list[i] = 0;
        for (int port = 0; port < antennas.count && port < 16 && list[0] < max_listed; ++port)
            if (antennas.entries[port].connected)
                list[++list[0]] = port;
        return list[0];
    });
}

}  // extern "C"
