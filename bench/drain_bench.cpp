// How fast the reader's tag database empties: one virtual reader with
// 10,000 tags (--tags N for another number), across a link that delays
// every reply by 0, 0.5 or 5 ms, over UDP and TCP, drained by a tagdb_pop
// loop (one call at a time) and by tagdb_pop_many with windows of 8, 32 and
// 128 calls in flight.  Prints tags/s and the ratio to the loop's rate over
// the same transport without delay.  A plain program: each figure is one
// drain of the whole database.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qdapi.h"
#include "virtual_reader.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* address = "127.0.16.1";
constexpr int windows[] = {8, 32, 128};
constexpr std::chrono::microseconds delays[] = {0us, 500us, 5000us};

// Puts the whole field into the reader's tag database with a search.
bool refill(reader_handle h)
{
    search_params params{};
    const int id = search_start(h, &params);
    if (id == -1)
        return false;
    for (int polls = 0; polls < 100000; ++polls) {
        const int status = operation_status(h, id);
        if (status != READER_OPERATION_WAITING_TO_RUN && status != READER_OPERATION_IN_PROGRESS)
            return status == READER_OPERATION_DONE;
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

// Tags per second of one drain; `window` 0: the tagdb_pop loop.
double drain_rate(reader_handle h, int window, int tags)
{
    if (!refill(h)) {
        std::fprintf(stderr, "drain_bench: the search failed (reader_errno %d)\n", reader_errno);
        std::exit(1);
    }
    std::vector<popped_tag_record> records(static_cast<std::size_t>(tags) + 1);
    int got = 0;
    const auto start = Clock::now();
    if (window == 0) {
        for (;;) {
            popped_tag_record& r = records[static_cast<std::size_t>(got)];
            if (tagdb_pop(h, &r) != 0 || r.status != 1)
                break;
            if (++got == tags + 1)
                break;
        }
    } else {
        set_pipeline_window(h, window);
        got = tagdb_pop_many(h, records.data(), tags + 1, nullptr);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (got != tags) {
        std::fprintf(stderr, "drain_bench: %d tags of %d (reader_errno %d)\n", got, tags, reader_errno);
        std::exit(1);
    }
    return tags / seconds;
}

}  // namespace

int main(int argc, char** argv)
{
    int tags = 10000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--tags") == 0 && i + 1 < argc)
            tags = std::atoi(argv[++i]);
    }
    if (tags <= 0) {
        std::fprintf(stderr, "usage: drain_bench [--tags N]\n");
        return 2;
    }

    qdsim::Options options;
    options.address = address;
    options.log_limit = 64;
    options.search_duration = 0ms;
    qdsim::VirtualReader reader(options);
    reader.add_random_tags(static_cast<std::size_t>(tags), 42);
    reader.start();

    std::printf("Draining %d tags from one virtual reader (tags/s; ratio to the one-call loop without delay)\n",
                tags);
    std::printf("%-4s %9s %12s %14s %14s %14s\n", "", "delay", "one call", "window 8", "window 32", "window 128");
    for (const bool tcp : {false, true}) {
        use_tcp = tcp ? 1 : 0;
        reader.set_link_delay(0us);
        const reader_handle h = open_reader(address);
        if (!h) {
            std::fprintf(stderr, "drain_bench: cannot open the reader (reader_errno %d)\n", reader_errno);
            return 1;
        }
        double base = 0;
        for (const auto delay : delays) {
            reader.set_link_delay(delay);
            const double loop = drain_rate(h, 0, tags);
            if (delay == 0us)
                base = loop;
            std::printf("%-4s %6.1f ms %12.0f", tcp ? "tcp" : "udp", delay.count() / 1000.0, loop);
            for (const int window : windows) {
                const double rate = drain_rate(h, window, tags);
                std::printf(" %8.0f %5.1fx", rate, rate / base);
            }
            std::printf("   (loop %.2fx)\n", loop / base);
            std::fflush(stdout);
        }
        close_reader(h);
    }
    return 0;
}
