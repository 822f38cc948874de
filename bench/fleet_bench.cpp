// How the library serves a fleet of readers from one process: virtual
// readers in this process, each answering every call 2 ms late (standing in
// for a network), each inventoried through the library (tagdb_reset_db,
// search_start, operation_status, tags_available, then tagdb_pop per tag) by
// a thread of its own.
//  - fleet/N: N readers at once against one reader alone, in turns within
//    each iteration; the ratio is the aggregate rate over N times the one
//    reader's (1.00: N readers cost no more than one);
//  - silent_neighbour: 7 readers at once, alone and then while the thread of
//    an 8th reader waits in a tagdb_pop call that reader never answers; the
//    ratio is the rate beside the silent reader over the rate without it.
//    A drain held up by the silent reader is cut off after a while and
//    counts what it got by then.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <latch>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qdapi.h"
#include "virtual_reader.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int fleet_size = 8;
constexpr int neighbours = 7;
constexpr std::size_t tags_per_reader = 200;
constexpr std::chrono::milliseconds latency{2};
constexpr const char* silent_address = "127.0.8.100";

qdsim::Options reader_options(const std::string& address)
{
    qdsim::Options options;
    options.address = address;
    options.log_limit = 64;
    options.search_duration = 0ms;
    options.latency = latency;
    return options;
}

// The readers of the fleet, started and opened once for the whole run.
struct Fleet {
    Fleet()
    {
        for (int i = 0; i < fleet_size; ++i) {
            const std::string address = "127.0.8." + std::to_string(i + 1);
            readers.push_back(std::make_unique<qdsim::VirtualReader>(reader_options(address)));
            readers.back()->add_random_tags(tags_per_reader, 100 + static_cast<uint64_t>(i));
            readers.back()->start();
            handles.push_back(open_reader(address.c_str()));
            if (handles.back() == nullptr)
                throw std::runtime_error("open_reader " + address + " failed");
        }
    }
    ~Fleet()
    {
        for (reader_handle h : handles)
            close_reader(h);
    }
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    std::vector<std::unique_ptr<qdsim::VirtualReader>> readers;
    std::vector<reader_handle> handles;
};

std::unique_ptr<Fleet>& fleet_slot()
{
    static std::unique_ptr<Fleet> fleet;
    return fleet;
}

Fleet& fleet()
{
    auto& slot = fleet_slot();
    if (!slot)
        slot = std::make_unique<Fleet>();
    return *slot;
}

// One inventory through the library; every tag popped counts in `popped`.
// Ends early, without a failure, once `stop` is set.  False on a failure.
bool inventory(reader_handle h, std::atomic<std::size_t>& popped, const std::atomic<bool>& stop)
{
    if (tagdb_reset_db(h) != 0)
        return false;
    search_params params{};
    const int id = search_start(h, &params);
    if (id == -1)
        return false;
    int status;
    while ((status = operation_status(h, id)) == READER_OPERATION_WAITING_TO_RUN ||
           status == READER_OPERATION_IN_PROGRESS) {
        if (stop)
            return true;
    }
    if (status != READER_OPERATION_DONE || tags_available(h, 0) < 0)
        return false;
    popped_tag_record record{};
    while (!stop) {
        if (tagdb_pop(h, &record) != 0)
            return false;
        if (record.status != 1)
            return true;
        ++popped;
    }
    return true;
}

// Inventories the first `n` readers of the fleet at once, a thread each,
// until they are done or `deadline` has passed.  The time taken (to the
// deadline at most) and the tags popped by then.
struct Drain {
    Clock::duration time{};
    std::size_t tags = 0;
    bool failed = false;
};

Drain drain(int n, Clock::duration deadline = Clock::duration::max())
{
    Fleet& f = fleet();
    std::atomic<std::size_t> popped{0};
    std::atomic<bool> stop{false};
    std::atomic<int> running{n};
    std::atomic<bool> failed{false};
    std::latch ready(n + 1);
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back([&, h = f.handles[i]] {
            ready.arrive_and_wait();
            if (!inventory(h, popped, stop))
                failed = true;
            --running;
        });
    ready.arrive_and_wait();
    const auto started = Clock::now();
    const auto cut_off = deadline == Clock::duration::max() ? Clock::time_point::max() : started + deadline;
    while (running > 0 && Clock::now() < cut_off)
        std::this_thread::sleep_for(1ms);
    Drain out;
    out.time = std::min(Clock::now(), cut_off) - started;
    out.tags = popped;
    stop = true;
    for (auto& t : threads)
        t.join();
    out.failed = failed;
    return out;
}

double per_second(std::size_t n, Clock::duration d)
{
    return static_cast<double>(n) / std::chrono::duration<double>(d).count();
}

void fleet_drain(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    Clock::duration one_time{}, fleet_time{};
    std::size_t one_tags = 0, fleet_tags = 0;
    for (auto _ : state) {
        const Drain one = drain(1), all = drain(n);
        if (one.failed || all.failed || one.tags != tags_per_reader || all.tags != n * tags_per_reader) {
            state.SkipWithError("an inventory failed or missed tags");
            return;
        }
        one_time += one.time;
        one_tags += one.tags;
        fleet_time += all.time;
        fleet_tags += all.tags;
    }
    const double one_rate = per_second(one_tags, one_time), fleet_rate = per_second(fleet_tags, fleet_time);
    state.counters["one_per_s"] = one_rate;
    state.counters["fleet_per_s"] = fleet_rate;
    state.counters["ratio"] = fleet_rate / (n * one_rate);
}

// The 8th reader: answers the queries of open_reader, then drops every
// tagdb_pop.  Over TCP, so that stopping the reader ends the call at once.
class SilentReader {
public:
    SilentReader() : reader_(reader_options(silent_address))
    {
        reader_.start();
        use_tcp = 1;
        handle_ = open_reader(silent_address);
        use_tcp = 0;
        if (handle_ == nullptr)
            throw std::runtime_error(std::string("open_reader ") + silent_address + " failed");
        reader_.inject(TAGDB_POP, qdsim::Fault{qdsim::FaultKind::drop, -1, {}});
        thread_ = std::thread([this] {
            popped_tag_record record{};
            while (!stop_)
                tagdb_pop(handle_, &record);
        });
        // Its thread is in the call before the others start.
        for (int i = 0; reader_.count(TAGDB_POP) == 0; ++i) {
            if (i == 5000) {
                stop_ = true;
                reader_.stop();
                thread_.join();
                close_reader(handle_);
                throw std::runtime_error("the silent reader's thread made no call");
            }
            std::this_thread::sleep_for(1ms);
        }
    }
    ~SilentReader()
    {
        stop_ = true;
        reader_.stop();
        thread_.join();
        close_reader(handle_);
    }
    SilentReader(const SilentReader&) = delete;
    SilentReader& operator=(const SilentReader&) = delete;

private:
    qdsim::VirtualReader reader_;
    reader_handle handle_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void silent_neighbour(benchmark::State& state)
{
    Clock::duration alone_time{}, beside_time{};
    std::size_t alone_tags = 0, beside_tags = 0;
    for (auto _ : state) {
        const Drain alone = drain(neighbours);
        Drain beside;
        {
            SilentReader silent;
            beside = drain(neighbours, 2 * alone.time + 500ms);
        }
        if (alone.failed || beside.failed || alone.tags != neighbours * tags_per_reader) {
            state.SkipWithError("an inventory failed or missed tags");
            return;
        }
        alone_time += alone.time;
        alone_tags += alone.tags;
        beside_time += beside.time;
        beside_tags += beside.tags;
    }
    const double alone_rate = per_second(alone_tags, alone_time), beside_rate = per_second(beside_tags, beside_time);
    state.counters["alone_per_s"] = alone_rate;
    state.counters["beside_per_s"] = beside_rate;
    state.counters["ratio"] = beside_rate / alone_rate;
}

BENCHMARK(fleet_drain)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(silent_neighbour)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// Prints the usual table and keeps each benchmark's counters for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (!run.error_occurred)
                for (const auto& [name, counter] : run.counters)
                    counters[run.run_name.function_name + "/" + run.run_name.args][name] = counter.value;
    }
    std::map<std::string, std::map<std::string, double>> counters;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    int status = 0;
    try {
        benchmark::RunSpecifiedBenchmarks(&reporter);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qdapi_fleet_bench: %s\n", e.what());
        status = 1;
    }
    std::printf("\nreaders in one process, each %lld ms away, %zu tags each:\n",
                static_cast<long long>(latency.count()), tags_per_reader);
    for (int n : {1, 2, 4, 8}) {
        auto it = reporter.counters.find("fleet_drain/" + std::to_string(n));
        if (it == reporter.counters.end())
            continue;
        auto& c = it->second;
        std::printf("  %d reader%s at once  %8.0f tags/s   one alone %6.0f tags/s   ratio to %d x one %.3f\n", n,
                    n == 1 ? " " : "s", c["fleet_per_s"], c["one_per_s"], n, c["ratio"]);
    }
    if (auto it = reporter.counters.find("silent_neighbour/"); it != reporter.counters.end()) {
        auto& c = it->second;
        std::printf("  %d readers beside a silent one %8.0f tags/s   without it %6.0f tags/s   ratio %.3f\n",
                    neighbours, c["beside_per_s"], c["alone_per_s"], c["ratio"]);
    }
    fleet_slot().reset();
    benchmark::Shutdown();
    return status;
}
