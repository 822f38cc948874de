// The object behind a reader handle, and the resolution of a handle into a
// connected reader.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "connection.h"
#include "handles.h"
#include "kept.h"
#include "qdapi.h"

namespace qd {

class ReaderObject;

// An automatic search: the public record that a reader's `auto_searches`
// list links, and what the library keeps beside it.  Its handle slot and its
// reader's list hold it; an operation in progress holds it too.  The fields
// are guarded by the reader's `auto_list` lock.
class AutoSearchObject final : public handle_object {
public:
    auto_search_record record{};
    reader_handle handle = nullptr;      // its own slot
    std::weak_ptr<ReaderObject> reader;
    bool released = false;               // its reader was closed
    bool claimed = false;                // handed to a start that has not run yet
};

// The transport of a reader's connections: the one use_tcp selects when each
// connection is opened (open_reader), or one of the reader's own, kept for
// all of them (open_reader_over).
enum class ReaderTransport { by_switch, udp, tcp };

// A reader: the public record that handle_to_reader hands out, and what the
// library keeps beside it.  The record's strings point into storage owned
// here.
class ReaderObject final : public handle_object {
public:
    explicit ReaderObject(std::string_view host, ReaderTransport transport = ReaderTransport::by_switch);
    ReaderObject(const ReaderObject&) = delete;
    ReaderObject& operator=(const ReaderObject&) = delete;

    reader_record record{};

    const char* host() const { return record.host_name; }

    // Whether the reader's next connection goes over TCP: its own transport,
    // else what use_tcp says right now.
    bool next_connection_tcp() const;

    // The current connection, null while not connected.
    ConnectionRef current() const;
    // Makes `connection` the current one.
    void attach(ConnectionRef connection);
    // Drops the current connection if it is `failed` (any connection when
    // `failed` is null); `failed` counts as dropped in any case.  Returns what
    // was dropped, for the caller to let go outside its locks.
    ConnectionRef detach(const ConnectionRef& failed);

    // A reader once closed is never connected again: an operation still
    // in flight on it ends at its next call.
    bool is_closed() const { return shut_.load(std::memory_order_acquire); }
    void mark_closed() { shut_.store(true, std::memory_order_release); }

    // Connection attempts that failed so far: a thread that waited for
    // another's attempt does not repeat one that failed meanwhile.
    std::atomic<unsigned> failed_connects{0};

    // Calls a pipelined operation keeps in flight at once on this reader's
    // connection; 0: the transport's default.
    std::atomic<int> window{0};

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

    // Automatic searches.  `auto_serial` lets one operation on this
    // reader's automatic searches run at a time (stopping, search_active, a
    // start by the timer, close_reader) and is held across their calls:
    // only threads working on this reader ever wait for it.  `auto_list`
    // guards the list and the records' fields for the short time they are
    // read or written, and is never held across a call; the timer takes
    // only this one, so a reader that does not answer keeps no other
    // reader's searches waiting.  Order: auto_serial, auto_list, then the
    // connection's locks; the handle-table lock is taken after auto_serial
    // and never together with auto_list.
    std::mutex auto_serial;
    mutable std::mutex auto_list;

    // Puts the search at the head of the list (`auto_list` held); false once
    // the reader is closed.
    bool add_auto_search(std::shared_ptr<AutoSearchObject> search);
    // The searches in list order, newest first (`auto_list` held).
    const std::vector<std::shared_ptr<AutoSearchObject>>& auto_searches() const { return auto_searches_; }
    // Empties the list for good and marks its searches released: the reader
    // is being closed (`auto_list` held).
    std::vector<std::shared_ptr<AutoSearchObject>> close_auto_searches();

private:
    static std::unique_ptr<char[]> copy_text(std::string_view text);

    ConnectionRef connection_;   // guarded by client_teardown_lock
    std::unique_ptr<char[]> host_;
    const ReaderTransport transport_;   // set once, read without a lock
    // The record's texts: each kept until the next answer of its query
    // (kept.h), the record's field pointing at it.
    Kept<std::unique_ptr<char[]>> texts_[3] = {Kept<std::unique_ptr<char[]>>{release_text},
                                               Kept<std::unique_ptr<char[]>>{release_text},
                                               Kept<std::unique_ptr<char[]>>{release_text}};
    static void release_text(std::unique_ptr<char[]>& text) { text.reset(); }
    std::vector<std::unique_ptr<char[]>> hwid_texts_;
    std::vector<std::shared_ptr<AutoSearchObject>> auto_searches_;   // record.auto_searches links them
    bool closed_ = false;
    std::atomic<bool> shut_{false};
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

// An auto-search handle resolved: the search and its reader, both held.
struct AutoSearchRef {
    std::shared_ptr<AutoSearchObject> search;   // null: the handle did not resolve
    std::shared_ptr<ReaderObject> reader;

    explicit operator bool() const { return search != nullptr; }
};

// The search of an allocated auto-search slot whose reader is still open;
// otherwise reader_errno -100 and nothing.  Never connects.
AutoSearchRef resolve_auto_search(reader_handle handle);

// Replaces the session's connection by the reader's current one, connecting
// anew when there is none.  False when that fails (reader_errno -102), or
// when the reader was closed meanwhile (-100).
bool reconnect(Session& session);

// Runs the initial queries again, through the session's connection (or a
// new one), so that the record's copies are fresh.  False (reader_errno
// -102) when they fail; the failed call has dropped the connection.
bool refresh_record(Session& session);

// Drops the reader's connection if it is still `failed` (any connection when
// `failed` is null); the client goes when its last user lets go.
void reset_connection(ReaderObject& reader, const ConnectionRef& failed = nullptr);

}  // namespace qd
