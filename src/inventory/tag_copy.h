// The conversion of a tag from the reader's tag database into the caller's
// records, for the one-at-a-time and the pipelined ways of taking tags out.
#pragma once

#include <algorithm>
#include <cstddef>

#include "qdapi.h"
#include "wire.h"

namespace qd {

// Identity words that carry the tag's id_bits: none for 0 bits, at most 16.
inline std::size_t significant_words(unsigned id_bits)
{
    return id_bits == 0 ? 0 : (std::min(id_bits, 256u) - 1) / 16 + 1;
}

// The fields that both of the caller's tag records carry, from status to
// tag_value: only the identity's significant words are written.
template <class From, class To>
void copy_tag(const From& from, To& to)
{
    to.status = from.status;
    to.tag_word1 = from.tag_word1;
    to.tag_word2 = from.tag_word2;
    to.id_bits = from.id_bits;
    std::copy_n(from.id, significant_words(from.id_bits), to.id);
    to.tag_word3 = from.tag_word3;
    to.tag_count1 = from.tag_count1;
    to.tag_count2 = from.tag_count2;
    to.tag_count3 = from.tag_count3;
    to.tag_value = from.tag_value;   // zero-extended into a 64-bit field
}

// A tag as tagdb_consume writes it.
inline void copy_consumed(const wire::tag_record& from, tag_record& to)
{
    copy_tag(from, to);
    to.tag_word4 = from.tag_word4;
    to.tag_word5 = from.tag_word5;
}

// A tag as tagdb_pop writes it.
inline void copy_popped(const wire::tag_record& from, popped_tag_record& to) { copy_tag(from, to); }

}  // namespace qd
