// How qdctl fills the tagop_record of a tag operation.  The library hands the
// record to the reader as it is, so which word carries what is the reader's
// convention; qdctl keeps its own copy of it here, from the public record
// alone, rather than borrowing the virtual reader's:
//
//   operation        op_word1   op_word19        op_word20        data_bits / data[]
//   tagid_write      -          -                -                the new identity: bits, words
//   tagid_lock       -          password, high   password, low    -
//   tag_kill         -          password, high   password, low    -
//   tag_passwd       -          password, high   password, low    32: the new password, high word first
//   tagdata_read     area       first word       word count       - (the reply: 16 * count, the words)
//   tagdata_write    area       first word       -                16 * n: the n words to write
//   tagdata_lock     area       password, high   password, low    -
//
// Every operation addresses its tag by id_bits and id[].  Unused fields are
// zero.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qdapi.h"

namespace qdctl::tagreq {

// The tag's memory areas, by the numbers the reader gives them.
inline constexpr uint16_t area_reserved = 0;
inline constexpr uint16_t area_identity = 1;
inline constexpr uint16_t area_tid = 2;
inline constexpr uint16_t area_user = 3;

// The longest identity qdctl sends, as the length of an addressed tag or of
// a new identity; id[] holds the first 256 bits of it.
inline constexpr std::size_t max_id_bits = 300;

// Most 16-bit words a request or a read carries.
inline constexpr std::size_t max_data_words = sizeof(tagop_record{}.data) / sizeof(uint16_t);

inline void set_area(tagop_record& r, uint16_t area) { r.op_word1 = area; }

// tagdata_read and tagdata_write: the first word of the area to touch.
inline void set_first_word(tagop_record& r, uint16_t address) { r.op_word19 = address; }

// tagdata_read: how many words to read.
inline void set_word_count(tagop_record& r, uint16_t count) { r.op_word20 = count; }

// The tag's current password, which locks, kills and tag_passwd need.
inline void set_password(tagop_record& r, uint32_t password)
{
    r.op_word19 = static_cast<uint16_t>(password >> 16);
    r.op_word20 = static_cast<uint16_t>(password & 0xFFFF);
}

// The payload: `bits` long, held in the first ceil(bits/16) of `words`.
inline void set_data(tagop_record& r, const uint16_t* words, std::size_t count, std::size_t bits)
{
    r.data_bits = static_cast<uint16_t>(bits);
    for (std::size_t k = 0; k < count; ++k)
        r.data[k] = words[k];
}

// tag_passwd: the new password travels as data.
inline void set_new_password(tagop_record& r, uint32_t password)
{
    const uint16_t words[2] = {static_cast<uint16_t>(password >> 16),
                               static_cast<uint16_t>(password & 0xFFFF)};
    set_data(r, words, 2, 32);
}

}  // namespace qdctl::tagreq
