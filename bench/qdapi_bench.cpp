// How much the library costs over bare RPC calls, against a virtual reader
// on loopback in this process:
//  - draining the tag database: tagdb_pop through the library against the
//    bare client entry tagdb_pop_1 through a client of our own;
//  - opening a reader: open_reader + close_reader against the bare sequence
//    (port mapper look-up, client creation, the four initial queries).
// Both sides run in the same process and the same run; the ratios printed at
// the end are what to look at (1.00: the library costs nothing).
#include <benchmark/benchmark.h>

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

void drain_library(benchmark::State& state)
{
    reader();
    reader_handle handle = open_reader(address);
    if (!handle) {
        state.SkipWithError("open_reader failed");
        return;
    }
    std::size_t drained = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fill_database(handle);
        state.ResumeTiming();
        popped_tag_record tag{};
        while (tagdb_pop(handle, &tag) == 0 && tag.status == 1)
            ++drained;
    }
    state.SetItemsProcessed(static_cast<int64_t>(drained));
    close_reader(handle);
}

void drain_raw(benchmark::State& state)
{
    reader();
    reader_handle filler = open_reader(address);
    CLIENT* client = raw_client();
    std::size_t drained = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fill_database(filler);
        state.ResumeTiming();
        for (;;) {
            wire::tag_record tag{};
            if (wire::tagdb_pop_1(nullptr, &tag, client) != RPC_SUCCESS || tag.status != 1)
                break;
            ++drained;
            xdr_free(wire::procedure<&wire::tagdb_pop_1>::result_xdr(), reinterpret_cast<char*>(&tag));
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(drained));
    clnt_destroy(client);
    close_reader(filler);
}

void open_library(benchmark::State& state)
{
    reader();
    for (auto _ : state) {
        reader_handle handle = open_reader(address);
        if (!handle) {
            state.SkipWithError("open_reader failed");
            return;
        }
        close_reader(handle);
    }
    state.SetItemsProcessed(state.iterations());
}

void open_raw(benchmark::State& state)
{
    reader();
    for (auto _ : state) {
        CLIENT* client = raw_client();
        for (int slot = 0; slot < 2; ++slot) {
            wire::hwid_result hwid{};
            if (wire::get_hwid_1(&slot, &hwid, client) != RPC_SUCCESS)
                state.SkipWithError("get_hwid failed");
            xdr_free(wire::procedure<&wire::get_hwid_1>::result_xdr(), reinterpret_cast<char*>(&hwid));
        }
        wire::antenna_list antennas{};
        wire::protocol_list protocols{};
        if (wire::get_connected_antennas_1(nullptr, &antennas, client) != RPC_SUCCESS ||
            wire::get_supported_protocols_1(nullptr, &protocols, client) != RPC_SUCCESS)
            state.SkipWithError("initial queries failed");
        clnt_destroy(client);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(drain_raw)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(drain_library)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(open_raw)->Unit(benchmark::kMicrosecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(open_library)->Unit(benchmark::kMicrosecond)->MinTime(1.0)->UseRealTime();

// Prints the usual table and keeps each benchmark's rate for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto it = run.counters.find("items_per_second");
            if (it != run.counters.end())
                rates[run.benchmark_name()] = it->second.value;
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
    ratio("tagdb_pop drain (10000 tags)", "drain_library/iterations:5/real_time", "drain_raw/iterations:5/real_time");
    ratio("open_reader", "open_library/min_time:1.000/real_time", "open_raw/min_time:1.000/real_time");
    benchmark::Shutdown();
    return 0;
}
