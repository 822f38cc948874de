// The files a reader keeps its saved state in (--state FILE, and the EEPROM
// beside it): read strictly, so that a damaged file stops the reader rather
// than being taken for an empty one and overwritten by the next commit, and
// written whole to a new file that replaces the old one once it is on disk.
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>

namespace qdsim::detail {

// A state file that cannot be used; what() names the file, and the line
// where one is at fault ("params:3: ...").
class StateFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The parameter store's file: a line per parameter, "NAME<TAB>VALUE", with
// backslash, tab and newline escaped as \\, \t and \n.
std::string format_state(const std::map<std::string, std::string>& params);
// Throws StateFileError naming `file` and the line: a line without a tab or
// with an empty name, an unknown escape, a name given twice, a last line
// without its newline (a file cut short).  Empty lines are allowed.
std::map<std::string, std::string> parse_state(const std::string& text, const std::string& file);

// The file's text; nullopt when it does not exist.  Throws StateFileError
// when it exists and cannot be read.
std::optional<std::string> read_state_text(const std::string& file);

// Throws StateFileError unless `file` can be replaced by write_atomically():
// its directory exists and takes a new file, and `file` is no directory.
void check_writable(const std::string& file);

// Writes `text` to a new file in `file`'s directory, flushes it to disk and
// renames it over `file`; false, with `error` saying why, when any step
// fails (then `file` is as it was).
bool write_atomically(const std::string& file, const std::string& text, std::string& error);

}  // namespace qdsim::detail
