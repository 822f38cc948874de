#include "drain.h"

#include <cstring>

namespace qdctl {

int parse_window(std::string_view text)
{
    return static_cast<int>(parse_integer(text, 1, max_window, "window"));
}

int apply_window(reader_handle h, int window)
{
    if (window > 0 && set_pipeline_window(h, window) != 0)
        fail("set_pipeline_window");
    const int in_force = get_pipeline_window(h);
    if (in_force < 1)
        fail("get_pipeline_window");
    return in_force;
}

TagDrain::TagDrain(reader_handle h, std::size_t chunk) : h_(h), records_(chunk) {}

DrainChunk TagDrain::next(std::size_t capacity)
{
    if (capacity == 0 || capacity > records_.size())
        capacity = records_.size();
    // The library writes only an identity's significant words: the rest of
    // each record must not keep the previous chunk's.
    std::memset(records_.data(), 0, capacity * sizeof records_.front());
    int unanswered = 0;
    reader_errno = 0;
    const int count = tagdb_pop_many(h_, records_.data(), static_cast<int>(capacity), &unanswered);
    if (count < 0)
        fail("tagdb_pop_many");
    const int code = reader_errno;
    if (code == 0 || count > 0)
        note_answer();
    DrainChunk chunk;
    chunk.tags = std::span<const popped_tag_record>(records_.data(), static_cast<std::size_t>(count));
    chunk.full = static_cast<std::size_t>(count) == capacity;
    chunk.code = code;
    chunk.unanswered = code != 0 ? unanswered : 0;
    return chunk;
}

std::string TagDrain::failure(const DrainChunk& chunk)
{
    std::string text = failure_text("tagdb_pop_many", chunk.code);
    if (chunk.unanswered == 1)
        text += ": 1 call went unanswered, so 1 tag may have been lost";
    else if (chunk.unanswered > 1)
        text += ": " + std::to_string(chunk.unanswered) + " calls went unanswered, so up to " +
                std::to_string(chunk.unanswered) + " tags may have been lost";
    return text;
}

}  // namespace qdctl
