// qdctl HOST diag: the instrument subcommands (test modes, signal generator,
// EEPROM, I/Q buffer).
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "cli.h"
#include "qdapi.h"

namespace qdctl {

namespace {

constexpr std::size_t iq_samples = 1024;

std::string without_newline(std::string text)
{
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

void expect_count(const std::vector<std::string>& args, std::size_t n, const char* usage)
{
    if (args.size() != n)
        throw UsageError(std::string("usage: diag ") + usage);
}

// ---------------------------------------------------------------------------
// test start MODE | test stop

int run_test(reader_handle handle, const std::vector<std::string>& args, bool json)
{
    if (!args.empty() && args[0] == "stop") {
        expect_count(args, 1, "test stop");
        diag_result(PRIV_testStop(handle), "diag test stop");
        std::printf(json ? "{\"test_mode\":\"stopped\"}\n" : "test mode stopped\n");
        return exit_ok;
    }
    if (args.empty() || args[0] != "start")
        throw UsageError("usage: diag test start MODE | diag test stop");
    expect_count(args, 2, "test start MODE");
    const std::string& mode = args[1];
    int16_t code = -1;
    const char* message = nullptr;
    const int result = PRIV_testStart(handle, mode.c_str(), &code, &message);
    // The library refuses a name it does not know as it refuses a closed
    // gate; only an open gate tells them apart.
    if (result == -2 && PRIV_getCurPrivLevel() != 0 && message)
        throw Failure("diag test start: " + shown(without_newline(message)));
    diag_result(result, "diag test start " + mode);
    const std::string text = without_newline(message ? message : "");
    if (json)
        print_json({{"mode", mode}, {"code", code}, {"message", text}});
    else
        std::printf("%s (code %d)\n", shown(text).c_str(), code);
    return exit_ok;
}

// ---------------------------------------------------------------------------
// siggen MODE [IQ...]

int run_siggen(reader_handle handle, const std::vector<std::string>& args, bool json)
{
    if (args.empty())
        throw UsageError("usage: diag siggen off|gen2lfsr|sin160k|gen2zero|gen2one|iqlist [IQ...]");
    const std::string& mode = args[0];
    // The library reads C notation (a leading 0 is octal): it gets the words
    // as qdctl read them.  A sample is a 16-bit word, signed or not.
    std::vector<std::string> words;
    words.reserve(args.size());
    for (std::size_t i = 1; i < args.size(); ++i)
        words.push_back(std::to_string(parse_integer(args[i], -32768, 0xFFFF, "I/Q value") & 0xFFFF));
    std::vector<const char*> list;
    list.reserve(words.size());
    for (const std::string& w : words)
        list.push_back(w.c_str());
    const int result =
        PRIV_signalGenerator(handle, mode.c_str(), static_cast<int>(list.size()), list.data());
    const std::string what = "diag siggen " + mode;
    if (result == READER_ERROR_INVALID_DATA)
        throw Failure(what + ": the pattern is longer than the reader's pattern buffer (-101)");
    diag_result(result, what);
    if (json)
        print_json({{"mode", mode}, {"words", list.size()}});
    else
        std::printf("signal generator: %s\n", mode.c_str());
    return exit_ok;
}

// ---------------------------------------------------------------------------
// eeprom read SEL OFFSET COUNT | eeprom write SEL OFFSET WORDS

int run_eeprom(reader_handle handle, const std::vector<std::string>& args, bool json)
{
    const char* usage = "eeprom read SEL OFFSET COUNT | eeprom write SEL OFFSET WORDS";
    if (args.size() != 4 || (args[0] != "read" && args[0] != "write"))
        throw UsageError(std::string("usage: diag ") + usage);
    const auto selector = static_cast<uint16_t>(parse_number(args[1], 0xFFFF, "selector"));
    const auto offset = static_cast<uint16_t>(parse_number(args[2], PRIV_EEPROM_BLOCK_WORDS - 1, "offset"));
    const std::size_t room = PRIV_EEPROM_BLOCK_WORDS - offset;
    const std::string what = "diag eeprom " + args[0];

    std::vector<uint16_t> words;
    if (args[0] == "read") {
        words.resize(parse_number(args[3], room, "count"));
        diag_result(PRIV_eepromRead(handle, selector, offset, words.data(), static_cast<uint16_t>(words.size())),
                    what);
    } else {
        words = parse_hex_words(args[3], room, "words");
        diag_result(PRIV_eepromWrite(handle, selector, offset, words.data(), static_cast<uint16_t>(words.size())),
                    what);
    }
    const std::string hex = hex_words(words.data(), words.size());
    if (json)
        print_json({{"selector", selector}, {"offset", offset}, {"count", words.size()}, {"words", hex}});
    else if (args[0] == "read")
        std::printf("%s\n", hex.c_str());
    else
        std::printf("wrote %zu words at %u of block %u\n", words.size(), offset, selector);
    return exit_ok;
}

// ---------------------------------------------------------------------------
// iq [SEL] [--all] [--csv | --svg FILE]

// Samples are shown as signed values: patterns are two's complement words.
int sample(uint16_t word)
{
    return static_cast<int16_t>(word);
}

Json sample_list(const uint16_t* words, std::size_t n)
{
    Json out = Json::array();
    for (std::size_t k = 0; k < n; ++k)
        out.push_back(sample(words[k]));
    return out;
}

// A plot of I and Q against the sample index, for a browser.
std::string iq_svg(const iq_buffer& buffer, std::size_t n, const std::string& title)
{
    constexpr double width = 900, height = 420, left = 80, right = 20, top = 40, bottom = 50;
    const double plot_w = width - left - right, plot_h = height - top - bottom;
    int lo = n > 0 ? sample(buffer.i_values[0]) : 0;
    int hi = lo;
    for (std::size_t k = 0; k < n; ++k)
        for (const int v : {sample(buffer.i_values[k]), sample(buffer.q_values[k])}) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    if (lo == hi) {
        --lo;
        ++hi;
    }
    const auto x_of = [&](double k) { return left + (n > 1 ? k / static_cast<double>(n - 1) : 0.5) * plot_w; };
    const auto y_of = [&](double v) { return top + (hi - v) / (hi - lo) * plot_h; };
    const auto fmt = [](double v) {
        char s[32];
        std::snprintf(s, sizeof s, "%.1f", v);
        return std::string(s);
    };

    std::string svg;
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"900\" height=\"420\" viewBox=\"0 0 900 420\" "
           "font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    std::string escaped;
    for (const char c : title)
        escaped += c == '<' ? "&lt;" : c == '&' ? "&amp;" : std::string(1, c);
    svg += "<text x=\"" + fmt(left) + "\" y=\"24\" font-size=\"14\">" + escaped + "</text>\n";
    // Grid and value labels.
    for (int t = 0; t <= 4; ++t) {
        const double v = lo + (hi - lo) * t / 4.0;
        const std::string y = fmt(y_of(v));
        for (const std::string& piece : {std::string("<line x1=\""), fmt(left), std::string("\" x2=\""),
                                         fmt(left + plot_w), std::string("\" y1=\""), y, std::string("\" y2=\""), y,
                                         std::string("\" stroke=\"#ddd\"/>\n")})
            svg += piece;
        svg += "<text x=\"" + fmt(left - 6) + "\" y=\"" + y + "\" text-anchor=\"end\" dy=\"4\">" +
               std::to_string(static_cast<long>(v)) + "</text>\n";
    }
    for (int t = 0; t <= 4 && n > 0; ++t) {
        const std::size_t k = (n - 1) * static_cast<std::size_t>(t) / 4;
        svg += "<text x=\"" + fmt(x_of(static_cast<double>(k))) + "\" y=\"" + fmt(top + plot_h + 18) +
               "\" text-anchor=\"middle\">" + std::to_string(k) + "</text>\n";
    }
    svg += "<rect x=\"" + fmt(left) + "\" y=\"" + fmt(top) + "\" width=\"" + fmt(plot_w) + "\" height=\"" +
           fmt(plot_h) + "\" fill=\"none\" stroke=\"#444\"/>\n";
    svg += "<text x=\"" + fmt(left + plot_w / 2) + "\" y=\"" + fmt(height - 8) +
           "\" text-anchor=\"middle\">sample</text>\n";
    // I solid, Q dashed on top of it: the two often coincide.
    const struct {
        const uint16_t* values;
        const char* name;
        const char* style;
    } traces[] = {{buffer.i_values, "I", "stroke=\"#1f5fbf\" stroke-width=\"2\""},
                  {buffer.q_values, "Q", "stroke=\"#d03020\" stroke-width=\"1.5\" stroke-dasharray=\"6 4\""}};
    double legend_x = left + plot_w - 120;
    for (const auto& trace : traces) {
        if (n > 0) {
            svg += "<polyline fill=\"none\" " + std::string(trace.style) + " points=\"";
            for (std::size_t k = 0; k < n; ++k)
                svg += (k ? " " : "") + fmt(x_of(static_cast<double>(k))) + "," + fmt(y_of(sample(trace.values[k])));
            svg += "\"/>\n";
        }
        svg += "<line x1=\"" + fmt(legend_x) + "\" x2=\"" + fmt(legend_x + 24) + "\" y1=\"20\" y2=\"20\" " +
               trace.style + "/>\n";
        svg += "<text x=\"" + fmt(legend_x + 30) + "\" y=\"24\">" + trace.name + "</text>\n";
        legend_x += 60;
    }
    if (n == 0)
        svg += "<text x=\"" + fmt(left + plot_w / 2) + "\" y=\"" + fmt(top + plot_h / 2) +
               "\" text-anchor=\"middle\">no samples</text>\n";
    svg += "</svg>\n";
    return svg;
}

int run_iq(reader_handle handle, const std::vector<std::string>& args, bool json)
{
    bool all = false, csv = false;
    std::string svg_file;
    const std::vector<std::string> rest =
        parse_options(args, {{"all", false, [&](const std::string&) { all = true; }},
                             {"csv", false, [&](const std::string&) { csv = true; }},
                             {"svg", true, [&](const std::string& v) { svg_file = v; }}});
    if (rest.size() > 1)
        throw UsageError("usage: diag iq [SEL] [--all] [--csv | --svg FILE]");
    if (static_cast<int>(csv) + static_cast<int>(json) + static_cast<int>(!svg_file.empty()) > 1)
        throw UsageError("diag iq: --json, --csv and --svg go one at a time");
    const auto selector = static_cast<uint16_t>(rest.empty() ? 0 : parse_number(rest[0], 0xFFFF, "selector"));

    iq_buffer buffer{};
    diag_result(PRIV_getIqBuffer(handle, selector, &buffer), "diag iq");
    // The reader's count says how many samples hold a capture; --all shows
    // the whole buffer regardless.
    const std::size_t n = all ? iq_samples : std::min<std::size_t>(buffer.count, iq_samples);

    if (!svg_file.empty()) {
        std::ofstream out(svg_file, std::ios::binary | std::ios::trunc);
        out << iq_svg(buffer, n, "I/Q buffer, selector " + std::to_string(selector) + ", " + std::to_string(n) +
                                     " samples (count " + std::to_string(buffer.count) + ")");
        out.close();
        if (!out)
            throw Failure("diag iq: cannot write " + svg_file);
        std::printf("%s: %zu samples\n", shown(svg_file).c_str(), n);
    } else if (json) {
        print_json({{"selector", selector},
                    {"count", buffer.count},
                    {"i", sample_list(buffer.i_values, n)},
                    {"q", sample_list(buffer.q_values, n)}});
    } else if (csv) {
        std::printf("sample,i,q\n");
        for (std::size_t k = 0; k < n; ++k)
            std::printf("%zu,%d,%d\n", k, sample(buffer.i_values[k]), sample(buffer.q_values[k]));
    } else {
        std::printf("count %u\n", buffer.count);
        for (std::size_t k = 0; k < n; ++k)
            std::printf("%4zu %6d %6d\n", k, sample(buffer.i_values[k]), sample(buffer.q_values[k]));
    }
    return exit_ok;
}

}  // namespace

const std::vector<DiagCommand>& diag_instrument_commands()
{
    static const std::vector<DiagCommand> table = {
        {"test", "test start MODE | test stop", run_test},
        {"siggen", "siggen MODE [IQ...]   (off, gen2lfsr, sin160k, gen2zero, gen2one, iqlist)", run_siggen},
        {"eeprom", "eeprom read SEL OFFSET COUNT | eeprom write SEL OFFSET WORDS", run_eeprom},
        {"iq", "iq [SEL] [--all] [--csv | --svg FILE]", run_iq},
    };
    return table;
}

}  // namespace qdctl
