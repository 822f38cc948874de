#include "event.h"

#include <chrono>
#include <ctime>

#include <nlohmann/json.hpp>

namespace qdgate {

Event event_of(const std::string& reader, const tag_record& r, std::int64_t time_ms)
{
    static const char digits[] = "0123456789ABCDEF";
    Event e;
    e.reader = reader;
    e.time_ms = time_ms;
    const int bits = r.id_bits > 256 ? 256 : r.id_bits;
    const int words = (bits + 15) / 16;
    e.id.reserve(static_cast<std::size_t>(words) * 4);
    for (int i = 0; i < words; ++i)
        for (int shift = 12; shift >= 0; shift -= 4)
            e.id.push_back(digits[(r.id[i] >> shift) & 0xF]);
    e.id_bits = r.id_bits;
    e.words = {r.tag_word1, r.tag_word2, r.tag_word3, r.tag_word4, r.tag_word5};
    e.counts = {r.tag_count1, r.tag_count2, r.tag_count3};
    e.value = r.tag_value;
    return e;
}

std::string rfc3339_ms(std::int64_t ms)
{
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms % 1000));
    return text;
}

std::int64_t now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string event_json(const std::string& gateway, const Event& e)
{
    const nlohmann::ordered_json j = {
        {"gateway", gateway},
        {"reader", e.reader},
        {"seq", e.seq},
        {"time", rfc3339_ms(e.time_ms)},
        {"id", e.id},
        {"id_bits", e.id_bits},
        {"words", e.words},
        {"counts", e.counts},
        {"value", e.value},
    };
    // Names come from the configuration, which holds printable ASCII only;
    // replacing what is not UTF-8 keeps every line valid all the same.
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace qdgate
