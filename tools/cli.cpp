#include "cli.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include <netdb.h>
#include <sys/socket.h>

namespace qdctl {

const std::vector<Command>& commands()
{
    static const std::vector<Command> table = {
        {"info", info_synopsis, info_help, run_info},
        {"inventory", inventory_synopsis, inventory_help, run_inventory},
        {"tag", tag_synopsis, tag_help, run_tag},
        {"watch", watch_synopsis, watch_help, run_watch},
        {"power", power_synopsis, power_help, run_power},
        {"protocols", protocols_synopsis, protocols_help, run_protocols},
        {"antennas", antennas_synopsis, antennas_help, run_antennas},
        {"region", region_synopsis, region_help, run_region},
        {"rf-state", rf_state_synopsis, rf_state_help, run_rf_state},
        {"params", params_synopsis, params_help, run_params},
        {"config", config_synopsis, config_help, run_config},
        {"stats", stats_synopsis, stats_help, run_stats},
        {"gpio", gpio_synopsis, gpio_help, run_gpio},
        {"firmware", firmware_synopsis, firmware_help, run_firmware},
        {"reboot", reboot_synopsis, reboot_help, run_reboot},
        {"version", version_synopsis, version_help, run_version},
        {"diag", diag_synopsis, diag_help, run_diag},
    };
    return table;
}

std::vector<std::string> parse_options(const std::vector<std::string>& args,
                                       const std::vector<OptionSpec>& specs)
{
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            rest.insert(rest.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        }
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            rest.push_back(arg);
            continue;
        }
        if (arg == "--help")
            throw HelpRequest{};
        std::string name = arg.substr(2);
        std::string value;
        bool inline_value = false;
        if (auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            inline_value = true;
        }
        const OptionSpec* option = nullptr;
        for (const OptionSpec& s : specs)
            if (s.name == name)
                option = &s;
        if (!option)
            throw UsageError("unknown option --" + name);
        if (option->takes_value) {
            if (!inline_value) {
                if (i + 1 >= args.size())
                    throw UsageError("option --" + name + " needs a value");
                value = args[++i];
            }
        } else if (inline_value) {
            throw UsageError("option --" + name + " takes no value");
        }
        option->apply(value);
    }
    return rest;
}

long long parse_integer(std::string_view text, long long min, long long max, std::string_view what)
{
    const std::string shown_text(text);
    const auto bad = [&] { return UsageError("bad " + std::string(what) + " '" + shown_text + "'"); };
    const auto out_of_range = [&] {
        if (min == 0)
            return UsageError(std::string(what) + " '" + shown_text + "' is above " + std::to_string(max));
        return UsageError(std::string(what) + " '" + shown_text + "' is not within " + std::to_string(min) + ".." +
                          std::to_string(max));
    };
    std::string_view digits = text;
    const bool negative = !digits.empty() && digits.front() == '-' && min < 0;
    if (negative)
        digits.remove_prefix(1);
    int base = 10;
    if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    // from_chars takes neither a sign nor blanks for an unsigned type.
    unsigned long long magnitude = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
    if (digits.empty() || error == std::errc::invalid_argument || end != digits.data() + digits.size())
        throw bad();
    if (error == std::errc::result_out_of_range)
        throw out_of_range();
    if (negative) {
        // -magnitude >= min, in unsigned arithmetic; the conversion back
        // is modular (two's complement).
        if (magnitude > 0ULL - static_cast<unsigned long long>(min))
            throw out_of_range();
        return static_cast<long long>(0ULL - magnitude);
    }
    // A range that starts above 0 ("1..256") holds its lower end too.
    if (max < 0 || magnitude > static_cast<unsigned long long>(max) ||
        (min > 0 && magnitude < static_cast<unsigned long long>(min)))
        throw out_of_range();
    return static_cast<long long>(magnitude);
}

unsigned long parse_number(std::string_view text, unsigned long max, std::string_view what)
{
    return static_cast<unsigned long>(parse_integer(text, 0, static_cast<long long>(max), what));
}

std::vector<uint16_t> parse_number_list(std::string_view text, std::size_t max_count,
                                        std::string_view what)
{
    std::vector<uint16_t> values;
    if (text.empty())
        return values;
    std::size_t start = 0;
    while (true) {
        std::size_t comma = text.find(',', start);
        std::string_view item = text.substr(start, comma == std::string_view::npos ? text.npos : comma - start);
        values.push_back(static_cast<uint16_t>(parse_number(item, 0xFFFF, what)));
        if (values.size() > max_count)
            throw UsageError("at most " + std::to_string(max_count) + " " + std::string(what) + "s");
        if (comma == std::string_view::npos)
            break;
        start = comma + 1;
    }
    return values;
}

double parse_decimal(std::string_view text, std::string_view what)
{
    // from_chars reads plain decimal only: no blanks, no '+', no hex, no
    // "inf" or "nan" spelled out.
    double value = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || !std::isfinite(value))
        throw UsageError("bad " + std::string(what) + " '" + std::string(text) + "'");
    return value;
}

double parse_seconds(std::string_view text, std::string_view what)
{
    const double value = parse_decimal(text, what);
    if (value < 0 || (text.front() == '-'))
        throw UsageError("bad " + std::string(what) + " '" + std::string(text) + "'");
    return value;
}

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::vector<uint16_t> parse_hex_words(std::string_view text, std::size_t max_words,
                                      std::string_view what)
{
    std::string_view digits = text;
    if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits.remove_prefix(2);
    const std::string shown(text);
    if (digits.empty())
        throw UsageError("empty " + std::string(what));
    if (digits.size() % 4 != 0)
        throw UsageError(std::string(what) + " '" + shown +
                         "' is not whole 16-bit words (4 hex digits each)");
    if (digits.size() / 4 > max_words)
        throw UsageError(std::string(what) + " '" + shown + "' is longer than " +
                         std::to_string(max_words) + " words");
    std::vector<uint16_t> words;
    for (std::size_t i = 0; i < digits.size(); i += 4) {
        unsigned w = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            int d = hex_digit(digits[i + k]);
            if (d < 0)
                throw UsageError("bad hex digit in " + std::string(what) + " '" + shown + "'");
            w = w << 4 | static_cast<unsigned>(d);
        }
        words.push_back(static_cast<uint16_t>(w));
    }
    return words;
}

std::string hex_words(const uint16_t* words, std::size_t count)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(count * 4);
    for (std::size_t i = 0; i < count; ++i)
        for (int shift = 12; shift >= 0; shift -= 4)
            out.push_back(digits[(words[i] >> shift) & 0xF]);
    return out;
}

std::string code_name(int code)
{
    const char* name = reader_strerror(code);
    if (name && *name)
        return name;
    return "error " + std::to_string(code);
}

std::string remote_detail(int code)
{
    if (code != READER_ERROR_REMOTE)
        return "";
    const std::string reason = remote_failure_reason();
    return reason.empty() ? "" : ": " + reason;
}

namespace {

// The library's words for this failure: its record of the thread's last
// failure, when that is the failure at hand.  A record left from an earlier
// failure that qdctl handled carries another code, or none; the codes the
// record follows are -100 and below.
std::optional<std::string> library_message(int code)
{
    if (code == 0)
        return std::nullopt;
    const qdapi_error* last = qdapi_last_error();
    if (!last || last->code != code || !last->message || !*last->message)
        return std::nullopt;
    return std::string(last->message);
}

}  // namespace

std::string failure_text(const std::string& what, int code)
{
    const std::optional<std::string> message = library_message(code);
    if (!message)
        return what + ": " + code_name(code) + remote_detail(code);
    // "OPERATION: HOST: NAME": what qdctl calls the failure keeps its own
    // words ("gpio get 40") in front, without naming the operation twice.
    const std::string operation = message->substr(0, message->find(':'));
    std::string head = what;
    if (head == operation)
        head.clear();
    else if (head.ends_with(": " + operation))
        head.resize(head.size() - operation.size() - 2);
    // The message names the host already; the trace's words need not again.
    std::string detail = remote_detail(code);
    if (const std::string host = ": " + current_host() + ": "; detail.starts_with(host))
        detail.replace(0, host.size(), ": ");
    return (head.empty() ? "" : head + ": ") + *message + detail;
}

void fail(const std::string& what)
{
    const int code = reader_errno;
    throw Failure(failure_text(what, code));
}

namespace {

bool resolves_ipv4(const std::string& host)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0)
        return false;
    freeaddrinfo(found);
    return true;
}

}  // namespace

Reader::Reader(const std::string& host) : host_(host)
{
    reader_errno = 0;
    set_current_host(host);
    forget_call_failures();
    const auto started = std::chrono::steady_clock::now();
    handle_ = open_reader(host.c_str());
    if (handle_) {
        note_answer();
        return;
    }
    // The library leaves reader_errno alone when the name does not resolve.
    if (reader_errno == 0 && !resolves_ipv4(host))
        throw Failure("open " + host + ": unknown host");
    // The library's record names the host itself; without one, qdctl does.
    if (reader_errno != READER_ERROR_REMOTE)
        fail(library_message(reader_errno) ? "open_reader" : "open " + host);
    // All come back as a remote failure: a host where nothing serves the
    // reader refuses at once, a reader that is silent is given up on after
    // the time-out, a reply that does not decode fails the call.  The trace
    // tells which, when it says; the time taken otherwise.
    const CallFailure traced = last_call_failure();
    if (traced.reason.find("decode") != std::string::npos)
        throw Failure("open " + host + ": " + code_name(reader_errno) + ": " + host +
                      " sent a reply that could not be decoded (" + traced.call + ")");
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char reason[128];
    if (waited < 1.0)
        std::snprintf(reason, sizeof reason, "nothing answers at %s (refused at once)", host.c_str());
    else
        std::snprintf(reason, sizeof reason, "%s does not answer (waited %.1f s)", host.c_str(), waited);
    throw Failure("open " + host + ": " + code_name(reader_errno) + ": " + reason);
}

Reader::~Reader()
{
    close_reader(handle_);
}

}  // namespace qdctl
