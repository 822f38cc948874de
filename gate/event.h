// One tag read, as the gateway keeps and publishes it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "qdapi.h"

namespace qdgate {

struct Event {
    std::string reader;          // the reader's name
    std::int64_t seq = 0;        // 1, 2, 3, ... per reader, kept across restarts
    std::int64_t time_ms = 0;    // when it was drained, milliseconds since the epoch (UTC)
    std::string id;              // identity in hex, four digits a word
    int id_bits = 0;
    std::array<std::uint16_t, 5> words{};
    std::array<std::uint32_t, 3> counts{};
    std::uint32_t value = 0;
};

// The event of a record taken from a reader (its seq is the store's to give).
Event event_of(const std::string& reader, const tag_record& record, std::int64_t time_ms);

// The event as one line of JSON (no newline): gateway, reader, seq, time,
// id, id_bits, words, counts, value.
std::string event_json(const std::string& gateway, const Event& event);

// "2026-12-09T04:05:06.789Z"
std::string rfc3339_ms(std::int64_t ms);

// Milliseconds since the epoch, now.
std::int64_t now_ms();

}  // namespace qdgate
