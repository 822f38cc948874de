// How punctually the library's timer starts automatic searches: 100
// searches due at spread times on 4 virtual readers in this process; for
// each, the delay from its due time to its detailed_read_start reaching the
// reader.  Prints the median and the worst delay (aim: median below 20 ms,
// worst below 100 ms).  Exit status 1 when a search started early, twice, or
// not at all.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qdapi.h"
#include "virtual_reader.h"

namespace {

using namespace std::chrono_literals;

constexpr int readers = 4;
constexpr int searches = 100;
constexpr double first_due = 1.0;   // seconds from now
constexpr double spread = 0.023;    // between one due time and the next

double epoch_now()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

double seconds_of(std::chrono::system_clock::time_point t)
{
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

}  // namespace

int main()
{
    std::vector<std::unique_ptr<qdsim::VirtualReader>> fleet;
    std::vector<reader_handle> handles;
    for (int i = 0; i < readers; ++i) {
        qdsim::Options options;
        options.address = "127.0.12." + std::to_string(20 + i);
        options.log_limit = 64;
        fleet.push_back(std::make_unique<qdsim::VirtualReader>(options));
        fleet.back()->start();
        handles.push_back(open_reader(options.address.c_str()));
        if (!handles.back()) {
            std::fprintf(stderr, "auto_timer_bench: open_reader(%s) failed\n", options.address.c_str());
            return 1;
        }
    }

    // Search k is due at due[k] on reader k % readers; its span, k + 1, is
    // the dwell time of its one group, by which the reader's record of it
    // is told from the others.
    std::vector<double> due(searches);
    const double base = epoch_now() + first_due;
    for (int k = 0; k < searches; ++k) {
        due[k] = base + spread * k;
        search_params p{};
        p.a_count = 1;
        p.a_values[0] = static_cast<uint16_t>(k);
        p.span = static_cast<uint16_t>(k + 1);
        if (!auto_search_start(handles[k % readers], &p, due[k], 0, 0, 0)) {
            std::fprintf(stderr, "auto_search_start failed: %s\n", reader_strerror(reader_errno));
            return 1;
        }
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(first_due + spread * searches) + 10s;
    std::map<int, std::vector<double>> started;   // by search
    for (;;) {
        started.clear();
        for (const auto& reader : fleet)
            for (const auto& s : reader->timed_searches())
                if (!s.dwell.empty())
                    started[static_cast<int>(s.dwell.front().count()) - 1].push_back(seconds_of(s.started));
        if (started.size() == searches || std::chrono::steady_clock::now() > deadline)
            break;
        std::this_thread::sleep_for(50ms);
    }

    int status = 0;
    std::vector<double> delays;
    for (int k = 0; k < searches; ++k) {
        const auto it = started.find(k);
        if (it == started.end()) {
            std::fprintf(stderr, "search %d was not started\n", k);
            status = 1;
            continue;
        }
        if (it->second.size() != 1) {
            std::fprintf(stderr, "search %d was started %zu times\n", k, it->second.size());
            status = 1;
        }
        const double delay = it->second.front() - due[k];
        if (delay < 0) {
            std::fprintf(stderr, "search %d started %.3f ms before it was due\n", k, -delay * 1e3);
            status = 1;
        }
        delays.push_back(delay);
    }
    for (reader_handle h : handles)
        close_reader(h);

    if (delays.empty())
        return 1;
    std::sort(delays.begin(), delays.end());
    const double median = delays.size() % 2 ? delays[delays.size() / 2]
                                            : (delays[delays.size() / 2 - 1] + delays[delays.size() / 2]) / 2;
    std::printf("automatic searches: %zu due on %d readers %.0f ms apart; delay from due time to the reader:\n",
                delays.size(), readers, spread * 1e3);
    std::printf("  median %.3f ms   worst %.3f ms   best %.3f ms   (aim: median < 20 ms, worst < 100 ms)\n",
                median * 1e3, delays.back() * 1e3, delays.front() * 1e3);
    return status;
}
