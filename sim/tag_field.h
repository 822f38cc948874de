// The tags in the reader's field and their memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "virtual_reader.h"
#include "wire.h"

namespace qdsim::detail {

class TagField {
public:
    // Tags are kept as given, except that an identity is cut to
    // tagmem::max_id_bits and its word vector sized to the length.
    void add(Tag tag);
    void add_random(std::size_t n, uint64_t seed, uint16_t id_bits);
    void clear() { tags_.clear(); }
    const std::vector<Tag>& tags() const { return tags_; }

    // The live tag with exactly this identity (first ceil(id_bits/16)
    // words, at most the 16 a request carries); null when there is none.
    Tag* find(uint16_t id_bits, const u_short (&id)[16]);

private:
    std::vector<Tag> tags_;
};

// Words needed for an identity of `bits` bits.
inline std::size_t id_words(std::size_t bits) { return (bits + 15) / 16; }

// Sets a tag's identity (length cut to tagmem::max_id_bits).
void set_identity(Tag& tag, uint16_t id_bits, const u_short* words, std::size_t available);

// The tag database's record of a tag.
wire::tag_record tag_record_of(const Tag& tag);

// Tag memory access; the caller has checked area and range.
uint16_t read_word(const Tag& tag, uint16_t area, std::size_t address);
void write_word(Tag& tag, uint16_t area, std::size_t address, uint16_t value);

}  // namespace qdsim::detail
