// qdgate: moves every tag from a fleet of readers to a broker (or standard
// output) through a durable store.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <pthread.h>

#include "config.h"
#include "log.h"
#include "metrics.h"
#include "output.h"
#include "qdapi.h"
#include "reader_loop.h"
#include "status.h"
#include "stop.h"
#include "store.h"

namespace {

const char usage[] =
    "usage: qdgate --config FILE [--check]\n"
    "       qdgate --help | --version\n"
    "Moves every tag read by the readers that FILE names to an MQTT broker\n"
    "(or, without one, to standard output as JSON lines) through a store on\n"
    "disk, until SIGINT or SIGTERM.\n"
    "  --config FILE  the gateway's configuration (TOML)\n"
    "  --check        check FILE and exit: 0 when it is a valid configuration,\n"
    "                 2 when not (the store and the addresses are tried at a start)\n"
    "  --help         this text\n"
    "  --version      the versions of qdgate and of the library\n"
    "Exit status: 0 after a stop, 1 when the store or the metrics address\n"
    "cannot be used, 2 for a bad command line or configuration.\n";

struct Options {
    std::string config;
    bool check = false;
};

// Waits for SIGINT, SIGTERM or SIGHUP (blocked in every thread) while it
// keeps the store's gauges up to date.
void wait_for_signal(qdgate::Store& store, qdgate::Metrics& metrics)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    const timespec second{1, 0};
    for (;;) {
        metrics.store_events.Set(static_cast<double>(store.size()));
        try {
            const auto oldest = store.oldest_time_ms();
            metrics.publish_lag.Set(oldest ? std::max<double>(0, (qdgate::now_ms() - *oldest) / 1000.0) : 0);
        } catch (const qdgate::StoreError&) {
        }
        const int sig = sigtimedwait(&set, nullptr, &second);
        if (sig > 0) {
            qdgate::log_line(std::string("stopping (") + (sig == SIGINT ? "SIGINT" : sig == SIGHUP ? "SIGHUP" : "SIGTERM") +
                             ")");
            return;
        }
    }
}

int run(const Options& o)
{
    qdgate::Config config;
    try {
        config = qdgate::load_config(o.config);
    } catch (const qdgate::ConfigError& e) {
        std::fprintf(stderr, "qdgate: %s\n", e.what());
        return 2;
    }
    if (o.check) {
        std::printf("qdgate: %s: %zu reader%s, output %s\n", o.config.c_str(), config.readers.size(),
                    config.readers.size() == 1 ? "" : "s",
                    config.mqtt ? ("mqtt " + config.broker.host + ":" + std::to_string(config.broker.port)).c_str()
                                : "standard output");
        return 0;
    }

    // Signals are taken by sigtimedwait alone; a broker or pipe that goes
    // away is an error of a write, not a signal.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);   // a closed terminal or a reload: stopped in order all the same
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<qdgate::Store> store;
    std::unique_ptr<qdgate::Metrics> metrics;
    try {
        store = std::make_unique<qdgate::Store>(config.store, config.store_limit);
        metrics = std::make_unique<qdgate::Metrics>(config.metrics);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qdgate: %s\n", e.what());
        return 1;
    }
    metrics->store_limit.Set(static_cast<double>(config.store_limit));
    qdgate::log_line("gateway " + config.id + " started: " + std::to_string(config.readers.size()) +
                     (config.readers.size() == 1 ? " reader" : " readers") + ", store " + config.store + " (" + std::to_string(store->size()) + " events kept)");

    qdgate::StatusBoard board;
    qdgate::Stop stop_readers;
    qdgate::Stop finish_output;
    std::unique_ptr<qdgate::Output> output;
    if (config.mqtt)
        output = qdgate::make_mqtt_output(config, *store, *metrics, board);
    else
        output = std::make_unique<qdgate::LineOutput>(config, *store, *metrics, board);
    std::thread output_thread([&] { output->run(finish_output); });

    std::vector<std::unique_ptr<qdgate::ReaderLoop>> loops;
    for (const qdgate::ReaderConfig& r : config.readers) {
        loops.push_back(std::make_unique<qdgate::ReaderLoop>(r, *store, *metrics, board, stop_readers));
        loops.back()->start();
    }

    wait_for_signal(*store, *metrics);
    // Readers first: every tag they took is in the store when they are
    // gone.  Then the output, which takes what it can of the rest.
    stop_readers.request();
    loops.clear();
    finish_output.request();
    output_thread.join();
    qdgate::log_line("stopped: " + std::to_string(store->size()) + " events kept in the store");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("qdgate %s (libqdapi %s)\n", QD_VERSION, qdapi_version(nullptr, nullptr, nullptr));
            return 0;
        }
        if (arg == "--check") {
            o.check = true;
        } else if (arg == "--config" && i + 1 < argc) {
            o.config = argv[++i];
        } else if (arg.rfind("--config=", 0) == 0) {
            o.config = arg.substr(9);
        } else {
            std::fprintf(stderr, "qdgate: %s '%s'\n%s",
                         arg == "--config" ? "missing FILE after" : "unknown argument", arg.c_str(), usage);
            return 2;
        }
    }
    if (o.config.empty()) {
        std::fprintf(stderr, "qdgate: --config FILE is required\n%s", usage);
        return 2;
    }
    try {
        return run(o);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qdgate: %s\n", e.what());
        return 1;
    }
}
