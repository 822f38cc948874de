// The record behind a reader handle, and the resolution of a handle into a
// connected reader.
#pragma once

#include <cstdint>
#include <string>

#include "connection.h"
#include "handles.h"
#include "wire.h"

struct reader_record : qd::handle_object {
    struct hwid_entry {
        uint32_t hwid = 0;      // all ones: empty slot
        std::string text;
    };

    qd::ConnectionRef client;   // the current connection; guarded by the
                                // client-teardown lock; null: not connected
    std::string host_name;
    int remote = 0;             // 1 unless the address was 127.x.x.x
    hwid_entry hwids[2];
    wire::antenna_list antennas{};
    wire::protocol_list protocols{};
};

namespace qd {

// A resolved reader and the connection that the operation calls through.
// Holding the connection keeps its client alive even if another thread
// resets the reader meanwhile.
struct Session {
    reader_record* reader = nullptr;   // null: the handle did not resolve
    ConnectionRef connection;

    explicit operator bool() const { return reader != nullptr; }
};

// handle_to_reader with the connection it found or made.
Session resolve(reader_handle handle);

// Drops the reader's connection if it is still `failed` (any connection
// when `failed` is null); the client goes when its last user lets go.
void reset_connection(reader_record* reader, const ConnectionRef& failed = nullptr);

}  // namespace qd
