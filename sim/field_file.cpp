#include "field_file.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "daemon_options.h"

namespace qdsim {

namespace {

bool number(const std::string& text, unsigned long long max, unsigned long long& out)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > max)
        return false;
    out = v;
    return true;
}

bool hex_words(const std::string& text, std::vector<uint16_t>& out)
{
    if (text.empty() || text.size() % 4 != 0 || text.size() / 4 > tagmem::area_words)
        return false;
    out.clear();
    for (std::size_t i = 0; i < text.size(); i += 4) {
        unsigned long long w = 0;
        if (!number("0x" + text.substr(i, 4), 0xFFFF, w))
            return false;
        out.push_back(static_cast<uint16_t>(w));
    }
    return true;
}

bool apply(Tag& tag, const std::string& key, const std::string& value)
{
    static const char* const areas[tagmem::area_count] = {"reserved", "identity", "tid", "user"};
    for (uint16_t a = 0; a < tagmem::area_count; ++a)
        if (key == areas[a])
            return hex_words(value, tag.memory[a]);
    unsigned long long n = 0;
    if (key == "password") {
        if (value.empty() || value.size() > 8 || !number("0x" + value, 0xFFFFFFFFull, n))
            return false;
        tag.password = static_cast<uint32_t>(n);
        return true;
    }
    uint16_t* words[] = {&tag.tag_word1, &tag.tag_word2, &tag.tag_word3, &tag.tag_word4, &tag.tag_word5};
    for (int i = 0; i < 5; ++i)
        if (key == "word" + std::to_string(i + 1)) {
            if (!number(value, 0xFFFF, n))
                return false;
            *words[i] = static_cast<uint16_t>(n);
            return true;
        }
    uint32_t* longs[] = {&tag.tag_count1, &tag.tag_count2, &tag.tag_count3, &tag.tag_value};
    const char* const long_names[] = {"count1", "count2", "count3", "value"};
    for (int i = 0; i < 4; ++i)
        if (key == long_names[i]) {
            if (!number(value, 0xFFFFFFFFull, n))
                return false;
            *longs[i] = static_cast<uint32_t>(n);
            return true;
        }
    return false;
}

}  // namespace

bool parse_field(std::istream& in, std::vector<Tag>& out, std::string& error)
{
    std::string line;
    for (int number_of_line = 1; std::getline(in, line); ++number_of_line) {
        if (const auto hash = line.find('#'); hash != std::string::npos)
            line.erase(hash);
        std::istringstream words(line);
        std::string identity;
        if (!(words >> identity))
            continue;
        const std::string where = "line " + std::to_string(number_of_line) + ": ";
        Tag tag;
        if (!parse_tag(identity, tag)) {
            error = where;
            error += "bad identity '" + identity + "'";
            return false;
        }
        std::string item;
        while (words >> item) {
            const auto equals = item.find('=');
            if (equals == std::string::npos || !apply(tag, item.substr(0, equals), item.substr(equals + 1))) {
                error = where;
                error += "bad item '" + item + "'";
                return false;
            }
        }
        out.push_back(std::move(tag));
    }
    return true;
}

bool load_field_file(const std::string& path, std::vector<Tag>& out, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    if (!parse_field(in, out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

}  // namespace qdsim
