// How qdctl writes what a reader sent: as JSON, or as text for a terminal.
// A reader's texts are bytes, not promised to be UTF-8 nor free of control
// characters; neither output passes them on as they came.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qdctl {

// Members keep the order they were added in, as the output lists them.
using Json = nlohmann::ordered_json;

// One line of JSON.  Bytes that are not UTF-8 become U+FFFD, so the result
// is valid JSON whatever the texts in it hold.
std::string json_line(const Json& value);
// json_line on standard output, with a newline.
void print_json(const Json& value);

enum class Newlines { escaped, kept };

// `text` safe to write to a terminal: a control byte (0x00-0x1F, 0x7F, and
// the C1 controls U+0080-U+009F), a byte that is not part of valid UTF-8,
// and the backslash itself are written as \xNN (\\ for the backslash), so
// the result says unambiguously which bytes the reader sent.  Newlines and
// tabs stay as they are when `newlines` is kept (a multi-line document).
std::string shown(std::string_view text, Newlines newlines = Newlines::escaped);

// The length of the valid UTF-8 sequence at the start of `text` (1 to 4),
// or 0 when it does not start with one (overlong forms and surrogates are
// not valid).
std::size_t utf8_sequence(std::string_view text);

}  // namespace qdctl
