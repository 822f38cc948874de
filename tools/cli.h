// Shared pieces of qdctl: the command table, option parsing, number and hex
// parsing, hex printing and the reporting of failures.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "qdapi.h"

namespace qdctl {

// Bad usage: reported with a usage line, exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The reader or the library reported a failure; the message is complete
// (e.g. "open 127.0.0.40: ERROR_REMOTE").  Exit status 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A request to print a command's usage (a --help among its arguments).
struct HelpRequest {};

enum Exit { exit_ok = 0, exit_failure = 1, exit_usage = 2 };

// What a command is run with.
struct Invocation {
    std::string host;
    std::vector<std::string> args;   // everything after the command's name
};

struct Command {
    const char* name;
    const char* synopsis;            // one line: "info"
    const char* help;                // the description and options, indented
    int (*run)(const Invocation&);
};

// The commands, in the order --help lists them.
const std::vector<Command>& commands();

int run_info(const Invocation& inv);
int run_inventory(const Invocation& inv);
int run_tag(const Invocation& inv);

extern const char info_synopsis[], info_help[];
extern const char inventory_synopsis[], inventory_help[];
extern const char tag_synopsis[], tag_help[];

// ---------------------------------------------------------------------------
// Options of a command: "--name VALUE", "--name=VALUE" or a flag "--name".
// "--" ends the options.  Unknown options and missing values are UsageErrors;
// "--help" raises HelpRequest.

struct OptionSpec {
    std::string name;                               // without the dashes
    bool takes_value;
    std::function<void(const std::string& value)> apply;   // may throw UsageError
};

// Applies the options in `args` and returns the other arguments in order.
std::vector<std::string> parse_options(const std::vector<std::string>& args,
                                       const std::vector<OptionSpec>& specs);

// An unsigned number, decimal or 0x-hexadecimal, at most `max`.
unsigned long parse_number(std::string_view text, unsigned long max, std::string_view what);
// A comma-separated list of such numbers, at most `max_count` of them.
std::vector<uint16_t> parse_number_list(std::string_view text, std::size_t max_count,
                                        std::string_view what);
// A non-negative number of seconds ("2.5").
double parse_seconds(std::string_view text, std::string_view what);

// 16-bit words written as hex, four digits a word ("E2001234"), upper or
// lower case, an optional leading "0x".  At most `max_words`.
std::vector<uint16_t> parse_hex_words(std::string_view text, std::size_t max_words,
                                      std::string_view what);
// Words as upper-case hex, four digits each, concatenated.
std::string hex_words(const uint16_t* words, std::size_t count);

// Words that hold `bits` bits.
constexpr std::size_t words_for_bits(std::size_t bits) { return (bits + 15) / 16; }

// ---------------------------------------------------------------------------
// Failures

// The name of a reader code ("ERROR_REMOTE"), or "error N" for codes
// without a name.
std::string code_name(int code);
// "<what>: <name of reader_errno>", thrown as a Failure.
[[noreturn]] void fail(const std::string& what);

// An open reader, closed when it goes out of scope.
class Reader {
public:
    explicit Reader(const std::string& host);   // throws Failure
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    reader_handle handle() const { return handle_; }
    const std::string& host() const { return host_; }

private:
    std::string host_;
    reader_handle handle_;
};

}  // namespace qdctl
