// One reader's loop, on a thread of its own: it keeps the reader searching
// and drains its tags into the store, a chunk at a time, each chunk
// committed before the next is taken.  A reader that fails is closed, told
// down and opened again after a back-off; the store full holds the drain
// (the tags wait in the reader) until there is room.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "config.h"
#include "metrics.h"
#include "qdapi.h"
#include "status.h"
#include "stop.h"
#include "store.h"

namespace qdgate {

class ReaderLoop {
public:
    ReaderLoop(const ReaderConfig& config, Store& store, Metrics& metrics, StatusBoard& board, Stop& stop);
    ~ReaderLoop();   // joins
    ReaderLoop(const ReaderLoop&) = delete;
    ReaderLoop& operator=(const ReaderLoop&) = delete;

    void start();
    void join();

    // The most tags one chunk takes (the library's pipeline window, its
    // default for the transport, sets how many calls are in flight).
    static constexpr int chunk = 256;

private:
    // A failure of the reader: the text says which call and why.
    struct Failed {
        std::string why;
        int code = 0;   // as reader_errno would hold it; 0: none from the library
    };

    void run();
    void open();
    // Closes the reader; stop_search: stops its automatic search first.
    void close(bool stop_search);
    void continuous_cycle();
    void automatic_cycle();
    // Takes the tags the reader holds into the store, chunk by chunk, until
    // it is empty or a stop is requested; how many were taken.
    int drain();
    // Commits the chunk's events, waiting for room (disk full) as long as
    // it takes: a tag taken from the reader is never given up.
    void keep(std::vector<Event>& events);
    bool duplicate(const Event& e);
    // The store can take no more: the reader keeps its tags meanwhile.
    void back_pressure(bool on);
    [[noreturn]] void fail(const char* call);

    const ReaderConfig& config_;
    Store& store_;
    Metrics& metrics_;
    ReaderMetrics& m_;
    StatusBoard& board_;
    Stop& stop_;
    std::thread thread_;

    reader_handle h_ = nullptr;
    reader_handle search_ = nullptr;   // automatic mode: the registered search
    std::vector<tag_record> records_;
    std::unordered_map<std::string, std::int64_t> last_event_ms_;   // dedup: identity -> last event
    std::int64_t next_prune_ms_ = 0;
    bool back_pressure_ = false;
};

}  // namespace qdgate
