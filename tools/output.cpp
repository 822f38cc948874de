#include "output.h"

#include <cstdio>

namespace qdctl {

std::string json_line(const Json& value)
{
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void print_json(const Json& value)
{
    const std::string line = json_line(value) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
}

std::size_t utf8_sequence(std::string_view text)
{
    if (text.empty())
        return 0;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;   // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;    // overlong below U+0800
        else if (lead == 0xED)
            high = 0x9F;   // the surrogates U+D800-U+DFFF
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;    // overlong below U+10000
        else if (lead == 0xF4)
            high = 0x8F;   // above U+10FFFF
    } else {
        return 0;   // a continuation byte, C0/C1 (overlong) or F5-FF
    }
    if (text.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    return length;
}

std::string shown(std::string_view text, Newlines newlines)
{
    std::string out;
    out.reserve(text.size());
    const auto escape = [&](unsigned char c) {
        char code[8];
        std::snprintf(code, sizeof code, "\\x%02x", c);
        out += code;
    };
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = utf8_sequence(text.substr(i));
        const auto c = static_cast<unsigned char>(text[i]);
        if (n == 0) {
            escape(c);
            i += 1;
            continue;
        }
        if (n == 1) {
            const bool kept = (c == '\n' || c == '\t') && newlines == Newlines::kept;
            if (c == '\\')
                out += "\\\\";
            else if (!kept && (c < 0x20 || c == 0x7F))
                escape(c);
            else
                out += static_cast<char>(c);
        } else if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            // A C1 control: some terminals act on it as on ESC [.
            escape(c);
            escape(static_cast<unsigned char>(text[i + 1]));
        } else {
            out.append(text.substr(i, n));
        }
        i += n;
    }
    return out;
}

}  // namespace qdctl
