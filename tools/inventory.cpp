// qdctl HOST inventory: one search, then every tag the reader found.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <thread>

#include "cli.h"
#include "drain.h"
#include "qdapi.h"

namespace qdctl {

const char inventory_synopsis[] =
    "inventory [--json] [--reset] [--timeout SECONDS] [--a-values LIST] [--a-count N]\n"
    "                [--b-values LIST] [--b-count N] [--span N] [--window N]";
const char inventory_help[] =
    "      Runs one search and prints each tag the reader found: its identity in\n"
    "      hex, its words and counters; then \"N tags in X.XXX s (R tags/s)\".\n"
    "      The default search finds every tag (all parameters zero).\n"
    "      --json             one JSON object per tag on standard output; the\n"
    "                         summary goes to standard error\n"
    "      --reset            empty the reader's tag database before the search\n"
    "      --timeout SECONDS  give up after this long, whatever the reader does\n"
    "                         (default 30)\n"
    "      --a-values LIST    the search's a values: numbers separated by commas\n"
    "      --a-count N        a_count (default: the number of a values; at most 16)\n"
    "      --b-values LIST    the search's b values\n"
    "      --b-count N        b_count (default: the number of b values; at most 16)\n"
    "      --span N           the search's span (0..65535)\n"
    "      --window N         how many calls for tags the library keeps in flight\n"
    "                         at once while it takes them from the reader (1..256;\n"
    "                         default: the library's, 8 over UDP, 32 over TCP)\n";

namespace {

using Clock = std::chrono::steady_clock;

struct InventoryOptions {
    bool json = false;
    bool reset = false;
    double timeout = 30.0;
    search_params params{};
    int a_count = -1;   // -1: the number of values
    int b_count = -1;
    int window = 0;     // 0: the library's
};

// The tags taken from the reader per call of the library: the reader holds
// at most 65535, so a handful of calls empties it.
constexpr std::size_t inventory_chunk = max_window;

void fill_values(uint16_t* out, const std::vector<uint16_t>& values)
{
    for (std::size_t k = 0; k < values.size(); ++k)
        out[k] = values[k];
}

void print_tag(const popped_tag_record& r, bool json)
{
    if (json) {
        print_json(tag_json(r));
        return;
    }
    const std::string id = hex_words(r.id, words_for_bits(r.id_bits > 256 ? 256 : r.id_bits));
    // The identity, with its length when that is not whole words (as qdsim
    // --tag takes it), then the fields; a tag without an identity starts
    // with its fields.
    std::string label = id;
    if (r.id_bits % 16 != 0)
        label += "/" + std::to_string(r.id_bits);
    if (!label.empty())
        label += ' ';
    std::printf("%stag_word1=%u tag_word2=%u tag_word3=%u count1=%" PRIu32 " count2=%" PRIu32 " count3=%" PRIu32
                " value=%" PRIu64 "\n",
                label.c_str(), r.tag_word1, r.tag_word2, r.tag_word3, r.tag_count1, r.tag_count2, r.tag_count3,
                r.tag_value);
}

// Ctrl-C clears the progress line before the program ends.
constexpr char clear_line[] = "\r\033[K";

extern "C" void clear_and_end(int sig)
{
    [[maybe_unused]] ssize_t n = write(STDERR_FILENO, clear_line, sizeof clear_line - 1);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

class Progress {
public:
    Progress()
    {
        if (line_.enabled()) {
            std::signal(SIGINT, clear_and_end);
            std::signal(SIGTERM, clear_and_end);
        }
    }
    ~Progress()
    {
        line_.clear();
        if (line_.enabled()) {
            std::signal(SIGINT, SIG_DFL);
            std::signal(SIGTERM, SIG_DFL);
        }
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void show(const char* what, double seconds)
    {
        char text[64];
        std::snprintf(text, sizeof text, "%s %.1f s", what, seconds);
        line_.show(text);
    }
    void clear() { line_.clear(); }

private:
    ProgressLine line_;
};

double since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Bounds the whole command: a reader that stops answering in the middle of
// a call holds that call for the library's time-out, so at the deadline the
// command reports and ends on its own, leaving the call behind.
class Deadline {
public:
    explicit Deadline(double seconds) : watch_([this, seconds] { wait(seconds); }) {}
    ~Deadline()
    {
        {
            std::lock_guard<std::mutex> lock(mu_);
            done_ = true;
        }
        wake_.notify_one();
        watch_.join();
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

private:
    void wait(double seconds)
    {
        std::unique_lock<std::mutex> lock(mu_);
        if (wake_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return done_; }))
            return;
        std::fflush(stdout);
        if (isatty(STDERR_FILENO) == 1)
            std::fputs(clear_line, errors());
        std::fprintf(errors(), "qdctl: inventory: no result within %.3g s (--timeout): %s last answered %.1f s ago\n",
                     seconds, current_host().c_str(), seconds_since_answer());
        std::fflush(errors());
        std::_Exit(exit_failure);
    }

    std::mutex mu_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread watch_;
};

}  // namespace

Json tag_json(const popped_tag_record& r)
{
    return {{"id", hex_words(r.id, words_for_bits(r.id_bits > 256 ? 256 : r.id_bits))},
            {"id_bits", r.id_bits},
            {"word1", r.tag_word1},
            {"word2", r.tag_word2},
            {"word3", r.tag_word3},
            {"count1", r.tag_count1},
            {"count2", r.tag_count2},
            {"count3", r.tag_count3},
            {"value", r.tag_value}};
}

int run_inventory(const Invocation& inv)
{
    InventoryOptions o;
    std::vector<uint16_t> a_values, b_values;
    std::vector<std::string> rest = parse_options(
        inv.args,
        {
            {"json", false, [&](const std::string&) { o.json = true; }},
            {"reset", false, [&](const std::string&) { o.reset = true; }},
            {"timeout", true, [&](const std::string& v) { o.timeout = parse_seconds(v, "time-out"); }},
            {"a-values", true, [&](const std::string& v) { a_values = parse_number_list(v, 16, "a value"); }},
            {"b-values", true, [&](const std::string& v) { b_values = parse_number_list(v, 16, "b value"); }},
            {"a-count", true, [&](const std::string& v) { o.a_count = static_cast<int>(parse_number(v, 16, "a count")); }},
            {"b-count", true, [&](const std::string& v) { o.b_count = static_cast<int>(parse_number(v, 16, "b count")); }},
            {"span", true, [&](const std::string& v) { o.params.span = static_cast<uint16_t>(parse_number(v, 0xFFFF, "span")); }},
            {"window", true, [&](const std::string& v) { o.window = parse_window(v); }},
        });
    if (!rest.empty())
        throw UsageError("unexpected argument '" + rest.front() + "'");
    fill_values(o.params.a_values, a_values);
    fill_values(o.params.b_values, b_values);
    o.params.a_count = static_cast<uint16_t>(o.a_count >= 0 ? o.a_count : static_cast<int>(a_values.size()));
    o.params.b_count = static_cast<uint16_t>(o.b_count >= 0 ? o.b_count : static_cast<int>(b_values.size()));

    const Deadline deadline(o.timeout);
    Reader reader(inv.host);
    const reader_handle h = reader.handle();
    apply_window(h, o.window);

    if (o.reset && tagdb_reset_db(h) != 0)
        fail("tagdb_reset_db");

    const Clock::time_point start = Clock::now();
    const int id = search_start(h, &o.params);
    if (id == -1)
        fail("search_start");

    Progress progress;
    int status;
    while (true) {
        status = operation_status(h, id);
        if (status == READER_OPERATION_BUILD_IN_PROGRESS)
            fail("operation_status");
        note_answer();
        if (status != READER_OPERATION_WAITING_TO_RUN && status != READER_OPERATION_IN_PROGRESS)
            break;
        const double elapsed = since(start);
        if (elapsed >= o.timeout) {
            progress.clear();
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.3g", o.timeout);
            throw Failure(std::string("inventory: the search did not end within ") + buf + " s (" +
                          code_name(status) + ")");
        }
        progress.show(status == READER_OPERATION_WAITING_TO_RUN ? "search waiting to run"
                                                                : "searching",
                      elapsed);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    progress.show("reading tags", since(start));
    if (status != READER_OPERATION_DONE && status != READER_SUCCESSFUL) {
        progress.clear();
        std::fprintf(errors(), "qdctl: inventory: the search ended with %s\n", code_name(status).c_str());
    }

    if (tags_available(h, 0) < 0)
        fail("tags_available");

    unsigned long found = 0;
    TagDrain drain(h, inventory_chunk);
    for (bool more = true; more;) {
        const DrainChunk chunk = drain.next();
        if (!chunk.tags.empty())
            progress.clear();
        for (const popped_tag_record& rec : chunk.tags)
            print_tag(rec, o.json);
        found += chunk.tags.size();
        // The tags that came are out before the failure is told.
        if (chunk.failed())
            throw Failure(TagDrain::failure(chunk));
        more = chunk.full;
    }
    progress.clear();
    const double seconds = since(start);
    std::fflush(stdout);
    std::FILE* summary = o.json ? errors() : stdout;
    std::fprintf(summary, "%lu tags in %.3f s (%.1f tags/s)\n", found, seconds,
                 seconds > 0 ? static_cast<double>(found) / seconds : 0.0);
    return exit_ok;
}

}  // namespace qdctl
