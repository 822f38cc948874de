// Taking tags out of the reader's tag database a chunk at a time, with the
// library keeping several calls in flight (tagdb_pop_many): inventory and
// watch print each chunk as it comes and decide between chunks whether to
// go on.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "cli.h"
#include "qdapi.h"

namespace qdctl {

// The most tags a chunk holds, and the most calls the library keeps in
// flight (--window).
constexpr int max_window = 256;

// --window N: 1..max_window, else a UsageError.
int parse_window(std::string_view text);

// Gives the reader the pipeline window asked for (0: keeps the library's)
// and returns the window in force.  Throws Failure.
int apply_window(reader_handle h, int window);

// What one call of tagdb_pop_many brought.
struct DrainChunk {
    std::span<const popped_tag_record> tags;
    bool full = false;    // as many tags as were asked for: the reader may have more
    int code = 0;         // reader_errno of a drain that ended in a failure; 0 otherwise
    int unanswered = 0;   // calls of that drain the reader never answered

    bool failed() const { return code != 0; }
};

class TagDrain {
public:
    TagDrain(reader_handle h, std::size_t chunk);

    // The next chunk of at most `capacity` tags (0: as many as the chunk
    // holds), in the order the reader handed them out.  Throws Failure when
    // the drain could not start at all (nothing taken).
    DrainChunk next(std::size_t capacity = 0);

    // The failure of a chunk that ended early, once its tags were shown:
    // how many tags may have been lost with the calls left unanswered.
    static std::string failure(const DrainChunk& chunk);

private:
    reader_handle h_;
    std::vector<popped_tag_record> records_;
};

}  // namespace qdctl
