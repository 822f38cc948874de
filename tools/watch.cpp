// qdctl HOST watch: a continuous inventory on an automatic search.  The
// search is registered with the library, which starts it on the reader when
// it is due; watch drains the reader's tag database while the search runs.
#include <chrono>
#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <utility>

#include "cli.h"
#include "qdapi.h"

namespace qdctl {

const char watch_synopsis[] =
    "watch [--start SECONDS] [--stop SECONDS | --duration SECONDS] [--period SECONDS]\n"
    "                [--run-time SECONDS] [--all] [--json] [--reset] [--a-values LIST]\n"
    "                [--a-count N] [--b-values LIST] [--b-count N] [--span N]";
const char watch_help[] =
    "      A continuous inventory: registers an automatic search, which the\n"
    "      library starts on the reader when it is due, and prints each tag the\n"
    "      first time it is seen, until the search ends or Ctrl-C (which stops\n"
    "      the search on the reader; a second Ctrl-C ends qdctl at once); then\n"
    "      \"N tags, M sightings in X.XXX s (R sightings/s)\".  The end and Ctrl-C\n"
    "      are seen between two tags, however fast the reader finds them.  The\n"
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
    "                          the search's parameters, as for inventory\n";

namespace {

using Steady = std::chrono::steady_clock;

// The longest span of search the reader is given at once: it runs no longer
// than this when nobody is left to stop it.  The reader times up to 65.535 s
// (milliseconds in 16 bits).
constexpr double span_limit = 30.0;
constexpr auto poll_interval = std::chrono::milliseconds(50);
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
    Sightings(const WatchOptions& o, ProgressLine& line) : o_(o), line_(line) {}

    // Takes the tags the database holds until it is empty or `stop` says so
    // (asked before each tag); false when a call failed.
    template <class Stop>
    bool drain(reader_handle h, Stop stop)
    {
        while (!stop()) {
            popped_tag_record r;
            std::memset(&r, 0, sizeof r);
            if (tagdb_pop(h, &r) != 0)
                return false;
            note_answer();
            if (r.status != 1)
                return true;
            ++sightings_;
            const std::size_t words = words_for_bits(r.id_bits > 256 ? 256 : r.id_bits);
            const unsigned long seen = ++seen_[{r.id_bits, hex_words(r.id, words)}];
            if (seen == 1 || o_.all) {
                line_.clear();
                print(r, hex_words(r.id, words), seen);
            }
        }
        return true;
    }

    std::size_t tags() const { return seen_.size(); }
    unsigned long sightings() const { return sightings_; }

private:
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
    Sightings sightings(o, line);
    const auto over = [&] { return interrupted || (end != 0 && epoch_now() >= end); };

    // The search, span by span: each span the reader times itself, and the
    // next is registered once it has ended.
    double span_start = start;
    bool failed = false;
    int reason = 0;
    for (bool done = false; !done;) {
        const double span_end = end != 0 && end - span_start <= span_limit ? end : span_start + span_limit;
        const reader_handle search = auto_search_start(h, &o.params, span_start, o.period, o.run_time, span_end);
        if (!search)
            fail("auto_search_start");
        RegisteredSearch registered(search);
        for (;;) {
            if (!sightings.drain(h, over)) {
                // A reader that does not answer would hold the stop for
                // another time-out; its span ends the search anyway.
                if (reader_errno == READER_ERROR_REMOTE)
                    registered.ended();
                fail("tagdb_pop");
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
                reason = reader_errno;
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
    const std::string why = failed ? remote_detail(reason) : "";
    const double last_pass_until = std::max(epoch_now(), end) + last_pass_grace;
    if (!interrupted && !failed &&
        !sightings.drain(h, [&] { return interrupted != 0 || epoch_now() >= last_pass_until; }))
        fail("tagdb_pop");
    line.clear();
    const double seconds = since(began);
    std::FILE* summary = o.json ? errors() : stdout;
    std::fprintf(summary, "%zu tags, %lu sightings in %.3f s (%.1f sightings/s)\n", sightings.tags(),
                 sightings.sightings(), seconds,
                 seconds > 0 ? static_cast<double>(sightings.sightings()) / seconds : 0.0);
    if (failed)
        throw Failure("search_active: " + code_name(reason) + why);
    return exit_ok;
}

}  // namespace qdctl
