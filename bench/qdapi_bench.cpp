// How much the library costs over bare RPC calls, against a virtual reader
// on loopback in this process:
//  - draining the tag database: tagdb_pop through the library against the
//    bare client entry tagdb_pop_1 through a client of our own, in turns;
//  - opening a reader: open_reader + close_reader against the bare sequence
//    (port mapper look-up, client creation, the four initial queries), in
//    turns.
// Both sides run in the same process and the same run; the ratios printed at
// the end are what to look at (1.00: the library costs nothing).
#include <benchmark/benchmark.h>

#include <chrono>

#include <arpa/inet.h>

#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>

#include "procedure_traits.h"
#include "qdapi.h"
#include "virtual_reader.h"

namespace {

constexpr const char* address = "127.0.0.3";
constexpr std::size_t tag_count = 10000;

qdsim::VirtualReader& reader()
{
    static qdsim::VirtualReader sim([] {
        qdsim::Options options;
        options.address = address;
        options.log_limit = 64;
        options.search_duration = std::chrono::milliseconds(0);
        return options;
    }());
    static bool started = [] {
        sim.add_random_tags(tag_count, 42);
        sim.start();
        return true;
    }();
    (void)started;
    return sim;
}

// Fills the reader's tag database with every tag of the field.
void fill_database(reader_handle handle)
{
    search_params params{};
    const int id = search_start(handle, &params);
    int status;
    while ((status = operation_status(handle, id)) == READER_OPERATION_WAITING_TO_RUN ||
           status == READER_OPERATION_IN_PROGRESS)
        std::this_thread::yield();
    if (reader().tagdb_size() != tag_count)
        throw std::runtime_error("the search did not fill the tag database");
}

CLIENT* raw_client()
{
    sockaddr_in server{};
    server.sin_family = AF_INET;
    inet_pton(AF_INET, address, &server.sin_addr);
    int sock = RPC_ANYSOCK;
    CLIENT* client = clntudp_create(&server, READER_RPC_PROG, READER_RPC_VERS, {3, 0}, &sock);
    if (!client)
        throw std::runtime_error("no client");
    return client;
}

// Drains the database alternately through the library and through the bare
// client, in slices, so that both sides see the same machine: the noise of a
// loaded machine falls on both alike and the ratio stays meaningful.
void drain(benchmark::State& state)
{
    using Clock = std::chrono::steady_clock;
    constexpr std::size_t slice = 250;
    reader();
    reader_handle handle = open_reader(address);
    if (!handle) {
        state.SkipWithError("open_reader failed");
        return;
    }
    CLIENT* client = raw_client();
    Clock::duration library_time{}, raw_time{};
    std::size_t library_tags = 0, raw_tags = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fill_database(handle);
        state.ResumeTiming();
        bool more = true;
        while (more) {
            auto started = Clock::now();
            for (std::size_t i = 0; i < slice && more; ++i) {
                popped_tag_record tag{};
                more = tagdb_pop(handle, &tag) == 0 && tag.status == 1;
                library_tags += more;
            }
            library_time += Clock::now() - started;
            started = Clock::now();
            for (std::size_t i = 0; i < slice && more; ++i) {
                wire::tag_record tag{};
                more = wire::tagdb_pop_1(nullptr, &tag, client) == RPC_SUCCESS && tag.status == 1;
                raw_tags += more;
                xdr_free(wire::procedure<&wire::tagdb_pop_1>::result_xdr(), reinterpret_cast<char*>(&tag));
            }
            raw_time += Clock::now() - started;
        }
    }
    auto rate = [](std::size_t n, Clock::duration d) {
        return static_cast<double>(n) / std::chrono::duration<double>(d).count();
    };
    state.counters["library_per_s"] = rate(library_tags, library_time);
    state.counters["raw_per_s"] = rate(raw_tags, raw_time);
    state.counters["ratio"] = rate(library_tags, library_time) / rate(raw_tags, raw_time);
    state.SetItemsProcessed(static_cast<int64_t>(library_tags + raw_tags));
    clnt_destroy(client);
    close_reader(handle);
}

// The bare sequence behind opening a reader: port mapper look-up and client
// creation, the four initial queries, and closing.
bool open_raw_once()
{
    CLIENT* client = raw_client();
    bool ok = true;
    for (int slot = 0; slot < 2; ++slot) {
        wire::hwid_result hwid{};
        ok = ok && wire::get_hwid_1(&slot, &hwid, client) == RPC_SUCCESS;
        xdr_free(wire::procedure<&wire::get_hwid_1>::result_xdr(), reinterpret_cast<char*>(&hwid));
    }
    wire::antenna_list antennas{};
    wire::protocol_list protocols{};
    ok = ok && wire::get_connected_antennas_1(nullptr, &antennas, client) == RPC_SUCCESS &&
         wire::get_supported_protocols_1(nullptr, &protocols, client) == RPC_SUCCESS;
    clnt_destroy(client);
    return ok;
}

// open_reader + close_reader and the bare sequence, in turns.
void open(benchmark::State& state)
{
    using Clock = std::chrono::steady_clock;
    reader();
    Clock::duration library_time{}, raw_time{};
    std::size_t opened = 0;
    for (auto _ : state) {
        auto started = Clock::now();
        reader_handle handle = open_reader(address);
        close_reader(handle);
        library_time += Clock::now() - started;
        started = Clock::now();
        const bool ok = open_raw_once();
        raw_time += Clock::now() - started;
        if (!handle || !ok) {
            state.SkipWithError("opening failed");
            return;
        }
        ++opened;
    }
    const auto per_second = [&](Clock::duration d) {
        return static_cast<double>(opened) / std::chrono::duration<double>(d).count();
    };
    state.counters["library_per_s"] = per_second(library_time);
    state.counters["raw_per_s"] = per_second(raw_time);
    state.counters["ratio"] = per_second(library_time) / per_second(raw_time);
}

BENCHMARK(drain)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(open)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

// Prints the usual table and keeps each benchmark's rate for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            for (const auto& [name, counter] : run.counters)
                rates[run.benchmark_name() + " " + name] = counter.value;
        }
    }
    std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto ratio = [&](const char* what, const char* library, const char* raw) {
        const auto l = reporter.rates.find(library), r = reporter.rates.find(raw);
        if (l == reporter.rates.end() || r == reporter.rates.end() || r->second <= 0)
            return;
        std::printf("%-28s library %10.0f/s  raw %10.0f/s  ratio %.3f\n", what, l->second,
                    r->second, l->second / r->second);
    };
    std::printf("\n");
    ratio("tagdb_pop drain (10000 tags)", "drain/iterations:5/real_time library_per_s",
          "drain/iterations:5/real_time raw_per_s");
    ratio("open_reader", "open/min_time:2.000/real_time library_per_s",
          "open/min_time:2.000/real_time raw_per_s");
    benchmark::Shutdown();
    return 0;
}
