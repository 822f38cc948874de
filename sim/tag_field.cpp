#include "tag_field.h"

#include <algorithm>
#include <random>

namespace qdsim::detail {

void set_identity(Tag& tag, uint16_t id_bits, const u_short* words, std::size_t available)
{
    tag.id_bits = std::min(id_bits, tagmem::max_id_bits);
    tag.id.assign(id_words(tag.id_bits), 0);
    for (std::size_t i = 0; i < tag.id.size() && i < available; ++i)
        tag.id[i] = words[i];
}

void TagField::add(Tag tag)
{
    tag.id_bits = std::min(tag.id_bits, tagmem::max_id_bits);
    tag.id.resize(id_words(tag.id_bits), 0);
    for (auto& area : tag.memory)
        if (area.size() > tagmem::area_words)
            area.resize(tagmem::area_words);
    tags_.push_back(std::move(tag));
}

void TagField::add_random(std::size_t n, uint64_t seed, uint16_t id_bits)
{
    std::mt19937_64 rng(seed);
    auto word = [&] { return static_cast<uint16_t>(rng()); };
    tags_.reserve(tags_.size() + n);
    for (std::size_t i = 0; i < n; ++i) {
        Tag t;
        t.id_bits = std::min(id_bits, tagmem::max_id_bits);
        t.id.resize(id_words(t.id_bits));
        for (auto& w : t.id)
            w = word();
        if (unsigned rest = t.id_bits % 16; rest != 0)   // unused low bits of the last word stay 0
            t.id.back() = static_cast<uint16_t>(t.id.back() & (0xFFFFu << (16 - rest)));
        t.tag_word1 = word();
        t.tag_word2 = word();
        t.tag_word3 = word();
        t.tag_word4 = word();
        t.tag_word5 = word();
        t.tag_count1 = static_cast<uint32_t>(rng());
        t.tag_count2 = static_cast<uint32_t>(rng());
        t.tag_count3 = static_cast<uint32_t>(rng());
        t.tag_value = static_cast<uint32_t>(rng());
        tags_.push_back(std::move(t));
    }
}

Tag* TagField::find(uint16_t id_bits, const u_short (&id)[16])
{
    const std::size_t n = std::min<std::size_t>(id_words(id_bits), 16);
    for (auto& t : tags_) {
        if (t.killed || t.id_bits != id_bits)
            continue;
        if (std::equal(id, id + n, t.id.begin()))
            return &t;
    }
    return nullptr;
}

wire::tag_record tag_record_of(const Tag& tag)
{
    wire::tag_record r{};
    r.status = 1;
    r.tag_word1 = tag.tag_word1;
    r.tag_word2 = tag.tag_word2;
    r.id_bits = tag.id_bits;   // may say more than the 16 words carry
    for (std::size_t i = 0; i < 16 && i < tag.id.size(); ++i)
        r.id[i] = tag.id[i];
    r.tag_word3 = tag.tag_word3;
    r.tag_count1 = tag.tag_count1;
    r.tag_count2 = tag.tag_count2;
    r.tag_count3 = tag.tag_count3;
    r.tag_value = tag.tag_value;
    r.tag_word4 = tag.tag_word4;
    r.tag_word5 = tag.tag_word5;
    return r;
}

uint16_t read_word(const Tag& tag, uint16_t area, std::size_t address)
{
    // The identity area starts with the identity itself, as on a tag.
    if (area == tagmem::area_identity && address < tag.id.size())
        return tag.id[address];
    const auto& words = tag.memory[area];
    return address < words.size() ? words[address] : 0;
}

void write_word(Tag& tag, uint16_t area, std::size_t address, uint16_t value)
{
    auto& words = tag.memory[area];
    if (address >= words.size())
        words.resize(address + 1, 0);
    words[address] = value;
}

}  // namespace qdsim::detail
