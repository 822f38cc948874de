// The object behind a reader handle, and the resolution of a handle into a
// connected reader.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "connection.h"
#include "handles.h"
#include "qdapi.h"

namespace qd {

// A reader: the public record that handle_to_reader hands out, and what the
// library keeps beside it.  The record's strings point into storage owned
// here.
class ReaderObject final : public handle_object {
public:
    explicit ReaderObject(std::string_view host);
    ReaderObject(const ReaderObject&) = delete;
    ReaderObject& operator=(const ReaderObject&) = delete;

    reader_record record{};

    const char* host() const { return record.host_name; }

    // The current connection, null while not connected.
    ConnectionRef current() const;
    // Makes `connection` the current one.
    void attach(ConnectionRef connection);
    // Drops the current connection if it is `failed` (any connection when
    // `failed` is null); `failed` counts as dropped in any case.  Returns what
    // was dropped, for the caller to let go outside its locks.
    ConnectionRef detach(const ConnectionRef& failed);

    // Held while a connection is opened and its initial queries run: a
    // second thread on the same reader waits for that connection and then
    // uses it.  Never taken by threads working on other readers.
    std::mutex connecting;

    // Guards the record's copies of the connection's answers (hwids,
    // antennas, protocols) and its texts, for the short time they are written
    // or copied; never held across a call.
    mutable std::mutex copies;

    // Stores the hardware of one slot (`copies` held).  A text that changed
    // gets new storage; the old one stays valid until the reader is closed.
    void store_hwid(int slot, uint32_t hwid, const char* text);

    // The record's own texts, replaced by the next answer of their query.
    enum class Text { firmware_version, os_version, settings_text };
    // Stores a copy of `value` as the text (`copies` held) and returns it.
    const char* replace_text(Text which, std::string_view value);

private:
    static std::unique_ptr<char[]> copy_text(std::string_view text);

    ConnectionRef connection_;   // guarded by client_teardown_lock
    std::unique_ptr<char[]> host_;
    std::unique_ptr<char[]> texts_[3];
    std::vector<std::unique_ptr<char[]>> hwid_texts_;
};

using ReaderRef = std::shared_ptr<ReaderObject>;

// A resolved reader and the connection that the operation calls through.
// Holding both keeps the reader's object and the connection's client alive
// even if another thread closes the reader or drops the connection meanwhile.
struct Session {
    ReaderRef reader;   // null: the handle did not resolve
    ConnectionRef connection;

    explicit operator bool() const { return reader != nullptr; }
};

// handle_to_reader with the connection it found or made.
Session resolve(reader_handle handle);

// Replaces the session's connection by the reader's current one, connecting
// anew when there is none.  False (reader_errno -102) when that fails.
bool reconnect(Session& session);

// Drops the reader's connection if it is still `failed` (any connection when
// `failed` is null); the client goes when its last user lets go.
void reset_connection(ReaderObject& reader, const ConnectionRef& failed = nullptr);

}  // namespace qd
