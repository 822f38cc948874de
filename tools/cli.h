// Shared pieces of qdctl: the command table, option parsing, number and hex
// parsing, hex printing and the reporting of failures.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "output.h"
#include "qdapi.h"
#include "session.h"

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

// A tag as inventory and watch print it with --json.
Json tag_json(const popped_tag_record& r);

// qdctl HOST watch: a continuous inventory on an automatic search
// (tools/watch.cpp).
int run_watch(const Invocation& inv);
extern const char watch_synopsis[], watch_help[];

// ---------------------------------------------------------------------------
// The radio (tools/radio.cpp): qdctl HOST power, protocols, antennas,
// region, rf-state; and what info shows of the radio.

int run_power(const Invocation& inv);
int run_protocols(const Invocation& inv);
int run_antennas(const Invocation& inv);
int run_region(const Invocation& inv);
int run_rf_state(const Invocation& inv);
extern const char power_synopsis[], power_help[];
extern const char protocols_synopsis[], protocols_help[];
extern const char antennas_synopsis[], antennas_help[];
extern const char region_synopsis[], region_help[];
extern const char rf_state_synopsis[], rf_state_help[];

// The hardware of both slots with their texts, the region and the powers:
// as lines of text, or as members of a JSON object ("hardware", "region",
// "power").  Throw Failure.
std::string radio_info_text(reader_handle h);
void add_radio_info(reader_handle h, Json& object);

// ---------------------------------------------------------------------------
// qdctl HOST diag SUBCOMMAND: the privileged family.  Its subcommands come
// from two tables, looked up in this order; each runs on an open reader and
// prints text, or JSON with --json.

struct DiagCommand {
    const char* name;
    const char* synopsis;   // one line: "leds MASK VALUE"
    int (*run)(reader_handle handle, const std::vector<std::string>& args, bool json);
};

const std::vector<DiagCommand>& diag_hardware_commands();     // tools/diag.cpp
const std::vector<DiagCommand>& diag_instrument_commands();   // tools/diag_instruments.cpp

int run_diag(const Invocation& inv);
extern const char diag_synopsis[], diag_help[];

// --unlock CODE [--level N]: the five calls of PRIV_setPrivLevel that raise
// the level; run before any command.
void diag_unlock(uint32_t code, int level);

// The result of a privileged operation: returned when it is 0 or more,
// otherwise thrown as a Failure that names it ("diag rf on: the privilege
// gate is closed (-2): unlock it with ...").
int diag_result(int result, const std::string& what);

// ---------------------------------------------------------------------------
// Administration (tools/params.cpp, tools/device.cpp): qdctl HOST params,
// config, stats, gpio, firmware, reboot, version.

int run_params(const Invocation& inv);
int run_config(const Invocation& inv);
int run_stats(const Invocation& inv);
int run_gpio(const Invocation& inv);
int run_firmware(const Invocation& inv);
int run_reboot(const Invocation& inv);
int run_version(const Invocation& inv);
extern const char params_synopsis[], params_help[];
extern const char config_synopsis[], config_help[];
extern const char stats_synopsis[], stats_help[];
extern const char gpio_synopsis[], gpio_help[];
extern const char firmware_synopsis[], firmware_help[];
extern const char reboot_synopsis[], reboot_help[];
extern const char version_synopsis[], version_help[];

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

// Every number qdctl takes is written one way: decimal, or hexadecimal after
// 0x (or 0X); leading zeros are decimal ("010" is ten).  No sign but a '-'
// where negatives are allowed, no blanks.
//
// A number within min..max.
long long parse_integer(std::string_view text, long long min, long long max, std::string_view what);
// An unsigned number, at most `max`.
unsigned long parse_number(std::string_view text, unsigned long max, std::string_view what);
// A comma-separated list of such numbers, at most `max_count` of them.
std::vector<uint16_t> parse_number_list(std::string_view text, std::size_t max_count,
                                        std::string_view what);
// A non-negative number of seconds, decimal with an optional fraction
// ("2.5").
double parse_seconds(std::string_view text, std::string_view what);
// A decimal number with an optional fraction and sign ("-1.25").
double parse_decimal(std::string_view text, std::string_view what);

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
// What a failure of `what` with `code` says: the library's own message of
// the calling thread's last failure when it is this one (same code), which
// names the operation and the host ("get_region_sized: 127.0.0.2:
// ERROR_REMOTE"), else "<what>: <name of code>"; for a failed call to the
// reader, what became of it (remote_failure_reason) follows.  A `what` that
// is or ends with the library's operation ("power set: set_tx_power") is not
// repeated.
std::string failure_text(const std::string& what, int code);
// failure_text(what, reader_errno), thrown as a Failure.
[[noreturn]] void fail(const std::string& what);
// ": <why>" for ERROR_REMOTE when the run knows why, else "".
std::string remote_detail(int code);

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
