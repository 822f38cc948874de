// qdctl HOST watch: a continuous inventory on an automatic search.  The
// search is registered with the library, which starts it on the reader when
// it is due; watch drains the reader's tag database while the search runs.
#include <chrono>
#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <utility>

#include "cli.h"
#include "drain.h"
#include "qdapi.h"

namespace qdctl {

const char watch_synopsis[] =
    "watch [--start SECONDS] [--stop SECONDS | --duration SECONDS] [--period SECONDS]\n"
    "                [--run-time SECONDS] [--all] [--json] [--reset] [--a-values LIST]\n"
    "                [--a-count N] [--b-values LIST] [--b-count N] [--span N]\n"
    "                [--window N]";
const char watch_help[] =
    "      A continuous inventory: registers an automatic search, which the\n"
    "      library starts on the reader when it is due, and prints each tag the\n"
    "      first time it is seen, until the search ends or Ctrl-C (which stops\n"
    "      the search on the reader; a second Ctrl-C ends qdctl at once); then\n"
    "      \"N tags, M sightings in X.XXX s (R sightings/s)\".  The end and Ctrl-C\n"
    "      are seen between two chunks of tags (at most one --window, fewer from a\n"
    "      reader that answers slowly), however fast the reader finds them.  The\n"
    "      reader is given the search in spans of at most 30 s, each registered\n"
    "      as the one before ends, so a search outlives a qdctl that was killed\n"
    "      by 30 s at most.  While standard error is a terminal (and without\n"
    "      --quiet) a line there shows the count and the rate.\n"
    "      --start SECONDS     the search starts this long from now (default 0)\n"
    "      --stop SECONDS      it ends this long from now\n"
    "      --duration SECONDS  it ends this long after its start (default: no end)\n"
    "      --period SECONDS    the cycle of its groups; what the span leaves of\n"
    "                          it goes to one more group\n"
    "      --run-time SECONDS  time added to that group\n"
    "      --all               every sighting, with how often the tag was seen\n"
    "      --json              one JSON object per line; the summary goes to\n"
    "                          standard error\n"
    "      --reset             empty the reader's tag database first\n"
    "      --a-values LIST, --a-count N, --b-values LIST, --b-count N, --span N\n"
    "                          the search's parameters, as for inventory\n"
    "      --window N          how many calls for tags the library keeps in\n"
    "                          flight at once, and the most tags taken between\n"
    "                          two looks at the end and Ctrl-C (1..256; default:\n"
    "                          the library's, 8 over UDP, 32 over TCP)\n";

namespace {

using Steady = std::chrono::steady_clock;

// The longest span of search the reader is given at once: it runs no longer
// than this when nobody is left to stop it.  The reader times up to 65.535 s
// (milliseconds in 16 bits).
constexpr double span_limit = 30.0;
constexpr auto poll_interval = std::chrono::milliseconds(50);
// About how long one chunk of tags may take: the end and Ctrl-C wait at
// most this long for the chunk in progress.
constexpr double check_interval = 0.05;
// How long the tags of the last pass are taken after the end, at most.
constexpr double last_pass_grace = 1.0;

volatile std::sig_atomic_t interrupted = 0;

extern "C" void on_interrupt(int)
{
    interrupted = 1;
}

// SIGINT and SIGTERM end the watch instead of the process while it exists.
class InterruptCatcher {
public:
    InterruptCatcher()
    {
        interrupted = 0;
        struct sigaction action {};
        action.sa_handler = on_interrupt;
        sigemptyset(&action.sa_mask);
        // A call to the reader is finished, not cut off; a second signal
        // finds the default action and ends the process at once.
        action.sa_flags = SA_RESTART | SA_RESETHAND;
        sigaction(SIGINT, &action, &old_int_);
        sigaction(SIGTERM, &action, &old_term_);
    }
    ~InterruptCatcher()
    {
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
    }
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;

private:
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

double epoch_now()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

double since(Steady::time_point start)
{
    return std::chrono::duration<double>(Steady::now() - start).count();
}

struct WatchOptions {
    double start = 0;
    double stop = -1;       // from now; -1: none
    double duration = -1;   // from the start; -1: none
    double period = 0;
    double run_time = 0;
    bool all = false;
    bool json = false;
    bool reset = false;
    int window = 0;   // 0: the library's
    search_params params{};
};

// Stops the search on the reader unless it ended: a watch that fails leaves
// no search running.
class RegisteredSearch {
public:
    explicit RegisteredSearch(reader_handle search) : search_(search) {}
    ~RegisteredSearch() { stop(); }
    RegisteredSearch(const RegisteredSearch&) = delete;
    RegisteredSearch& operator=(const RegisteredSearch&) = delete;

    reader_handle handle() const { return search_; }
    void stop()
    {
        if (running_)
            auto_search_stop(search_);
        running_ = false;
    }
    void ended() { running_ = false; }

private:
    reader_handle search_;
    bool running_ = true;
};

class Sightings {
public:
    // Chunks of at most `window` tags: what is taken between two looks at
    // `stop`.
    Sightings(const WatchOptions& o, ProgressLine& line, reader_handle h, std::size_t window)
        : o_(o), line_(line), drain_(h, window), window_(window), chunk_(window)
    {
    }

    // Takes the tags the database holds until it is empty or `stop` says so
    // (asked before each chunk); false when the drain failed, which
    // failure() then tells.
    template <class Stop>
    bool drain(Stop stop)
    {
        while (!stop()) {
            const Steady::time_point asked = Steady::now();
            const DrainChunk chunk = drain_.next(chunk_);
            if (chunk.full)
                fit_chunk(chunk.tags.size(), since(asked));
            for (const popped_tag_record& r : chunk.tags)
                take(r);
            if (chunk.failed()) {
                failure_ = TagDrain::failure(chunk);
                return false;
            }
            if (!chunk.full)
                return true;
        }
        return true;
    }

    const std::string& failure() const { return failure_; }

    std::size_t tags() const { return seen_.size(); }
    unsigned long sightings() const { return sightings_; }

private:
    // A reader that answers slowly (its own latency, one call at a time)
    // fills a window's chunk slowly too: the chunk is sized so that it takes
    // about one check_interval, and the end and Ctrl-C are still seen in
    // time; a fast reader gets whole windows.
    void fit_chunk(std::size_t tags, double seconds)
    {
        const double per_tag = seconds / static_cast<double>(tags);
        const double fits = per_tag > 0 ? check_interval / per_tag : static_cast<double>(window_);
        chunk_ = static_cast<std::size_t>(std::clamp(fits, 1.0, static_cast<double>(window_)));
    }

    void take(const popped_tag_record& r)
    {
        ++sightings_;
        const std::size_t words = words_for_bits(r.id_bits > 256 ? 256 : r.id_bits);
        const unsigned long seen = ++seen_[{r.id_bits, hex_words(r.id, words)}];
        if (seen == 1 || o_.all) {
            line_.clear();
            print(r, hex_words(r.id, words), seen);
        }
    }

    void print(const popped_tag_record& r, const std::string& id, unsigned long seen) const
    {
        if (o_.json) {
            Json tag = tag_json(r);
            tag["seen"] = seen;
            print_json(tag);
        } else {
            std::printf("%s tag_word1=%u tag_word2=%u tag_word3=%u count1=%" PRIu32 " count2=%" PRIu32
                        " count3=%" PRIu32 " value=%" PRIu64,
                        id.c_str(), r.tag_word1, r.tag_word2, r.tag_word3, r.tag_count1, r.tag_count2, r.tag_count3,
                        r.tag_value);
            if (o_.all)
                std::printf(" seen=%lu", seen);
            std::printf("\n");
        }
        std::fflush(stdout);
    }

    const WatchOptions& o_;
    ProgressLine& line_;
    TagDrain drain_;
    std::size_t window_;
    std::size_t chunk_;   // the tags asked for at once
    std::string failure_;
    std::map<std::pair<uint16_t, std::string>, unsigned long> seen_;
    unsigned long sightings_ = 0;
};

std::string progress_text(const Sightings& s, double seconds)
{
    char text[96];
    std::snprintf(text, sizeof text, "%zu tags, %lu sightings, %.1f sightings/s, %.1f s", s.tags(), s.sightings(),
                  seconds > 0 ? static_cast<double>(s.sightings()) / seconds : 0.0, seconds);
    return text;
}

}  // namespace

int run_watch(const Invocation& inv)
{
    WatchOptions o;
    std::vector<uint16_t> a_values, b_values;
    int a_count = -1, b_count = -1;
    std::vector<std::string> rest = parse_options(
        inv.args,
        {
            {"start", true, [&](const std::string& v) { o.start = parse_seconds(v, "start"); }},
            {"stop", true, [&](const std::string& v) { o.stop = parse_seconds(v, "stop"); }},
            {"duration", true, [&](const std::string& v) { o.duration = parse_seconds(v, "duration"); }},
            {"period", true, [&](const std::string& v) { o.period = parse_seconds(v, "period"); }},
            {"run-time", true, [&](const std::string& v) { o.run_time = parse_seconds(v, "run time"); }},
            {"all", false, [&](const std::string&) { o.all = true; }},
            {"json", false, [&](const std::string&) { o.json = true; }},
            {"reset", false, [&](const std::string&) { o.reset = true; }},
            {"a-values", true, [&](const std::string& v) { a_values = parse_number_list(v, 16, "a value"); }},
            {"b-values", true, [&](const std::string& v) { b_values = parse_number_list(v, 16, "b value"); }},
            {"a-count", true, [&](const std::string& v) { a_count = static_cast<int>(parse_number(v, 16, "a count")); }},
            {"b-count", true, [&](const std::string& v) { b_count = static_cast<int>(parse_number(v, 16, "b count")); }},
            {"span", true, [&](const std::string& v) { o.params.span = static_cast<uint16_t>(parse_number(v, 0xFFFF, "span")); }},
            {"window", true, [&](const std::string& v) { o.window = parse_window(v); }},
        });
    if (!rest.empty())
        throw UsageError("unexpected argument '" + rest.front() + "'");
    if (o.stop >= 0 && o.duration >= 0)
        throw UsageError("--stop and --duration exclude each other");
    if (o.stop >= 0 && o.stop <= o.start)
        throw UsageError("--stop must come after --start");
    for (std::size_t k = 0; k < a_values.size(); ++k)
        o.params.a_values[k] = a_values[k];
    for (std::size_t k = 0; k < b_values.size(); ++k)
        o.params.b_values[k] = b_values[k];
    o.params.a_count = static_cast<uint16_t>(a_count >= 0 ? a_count : static_cast<int>(a_values.size()));
    o.params.b_count = static_cast<uint16_t>(b_count >= 0 ? b_count : static_cast<int>(b_values.size()));

    Reader reader(inv.host);
    const reader_handle h = reader.handle();
    // A chunk of one window: the library fills it in about one round trip,
    // so the end and Ctrl-C are seen about as soon as with one tag a call.
    const int window = apply_window(h, o.window);
    if (o.reset && tagdb_reset_db(h) != 0)
        fail("tagdb_reset_db");

    // Absolute times, from one reading of the clock.
    const double now = epoch_now();
    const double start = now + o.start;
    double end = 0;   // 0: no end
    if (o.stop >= 0)
        end = now + o.stop;
    else if (o.duration >= 0)
        end = start + o.duration;
    const Steady::time_point began = Steady::now();

    InterruptCatcher catcher;
    ProgressLine line;
    Sightings sightings(o, line, h, static_cast<std::size_t>(window));
    const auto over = [&] { return interrupted || (end != 0 && epoch_now() >= end); };

    // The search, span by span: each span the reader times itself, and the
    // next is registered once it has ended.
    double span_start = start;
    bool failed = false;
    std::string why;   // the failure that ended the search, told after the summary
    for (bool done = false; !done;) {
        const double span_end = end != 0 && end - span_start <= span_limit ? end : span_start + span_limit;
        const reader_handle search = auto_search_start(h, &o.params, span_start, o.period, o.run_time, span_end);
        if (!search)
            fail("auto_search_start");
        RegisteredSearch registered(search);
        for (;;) {
            if (!sightings.drain(over)) {
                // A reader that does not answer would hold the stop for
                // another time-out; its span ends the search anyway.
                if (reader_errno == READER_ERROR_REMOTE)
                    registered.ended();
                throw Failure(sightings.failure());
            }
            if (over()) {
                registered.stop();
                done = true;
                break;
            }
            reader_errno = 0;
            if (search_active(search) != 1) {
                registered.ended();
                failed = reader_errno != 0;
                if (failed)
                    why = failure_text("search_active", reader_errno);
                done = failed || span_end == end;
                break;
            }
            note_answer();
            line.show(progress_text(sightings, since(began)));
            std::this_thread::sleep_for(poll_interval);
        }
        span_start = std::max(epoch_now(), span_end);
    }
    // What the last pass left, unless the user asked to stop or the reader
    // failed; a reader that landed more than could be taken meanwhile gets a
    // second more, not the time its backlog would take.
    const double last_pass_until = std::max(epoch_now(), end) + last_pass_grace;
    if (!interrupted && !failed &&
        !sightings.drain([&] { return interrupted != 0 || epoch_now() >= last_pass_until; }))
        throw Failure(sightings.failure());
    line.clear();
    const double seconds = since(began);
    std::FILE* summary = o.json ? errors() : stdout;
    std::fprintf(summary, "%zu tags, %lu sightings in %.3f s (%.1f sightings/s)\n", sightings.tags(),
                 sightings.sightings(), seconds,
                 seconds > 0 ? static_cast<double>(sightings.sightings()) / seconds : 0.0);
    if (failed)
        throw Failure(why);
    return exit_ok;
}

}  // namespace qdctl
