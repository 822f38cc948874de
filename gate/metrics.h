// What the gateway counts, exposed in the Prometheus text format over HTTP
// when the configuration names an address ([gateway] metrics).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>

namespace prometheus {
class Exposer;
}

namespace qdgate {

struct ReaderMetrics {
    prometheus::Gauge& up;
    prometheus::Counter& tags_read;
    prometheus::Counter& published;
    prometheus::Counter& unaccounted;
    prometheus::Gauge& back_pressure;
};

class Metrics {
    // Declared first: the members below are taken from them.
    std::shared_ptr<prometheus::Registry> registry_;
    prometheus::Family<prometheus::Gauge>& reader_up_;
    prometheus::Family<prometheus::Counter>& tags_read_;
    prometheus::Family<prometheus::Counter>& published_;
    prometheus::Family<prometheus::Counter>& unaccounted_;
    prometheus::Family<prometheus::Gauge>& back_pressure_;
    prometheus::Family<prometheus::Counter>& reconnects_;
    prometheus::Family<prometheus::Counter>& dropped_;

public:
    // Serves them at `address` ("HOST:PORT"; empty: counts only).  Throws
    // std::runtime_error when the address cannot be served.
    explicit Metrics(const std::string& address);
    ~Metrics();

    ReaderMetrics& reader(const std::string& name);
    prometheus::Counter& reconnects(const std::string& target);

    prometheus::Gauge& store_events;
    prometheus::Gauge& store_limit;
    prometheus::Gauge& broker_connected;
    prometheus::Gauge& publish_lag;
    // Always zero: the gateway drops no event; the series lets a dashboard
    // show it.
    prometheus::Counter& dropped_store_full;
    prometheus::Counter& dropped_too_large;
    // An event that could not be kept when the gateway was told to stop
    // while the store refused writes; it is written to standard error.
    prometheus::Counter& dropped_stopped;

private:
    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<ReaderMetrics>> readers_;
    std::unique_ptr<prometheus::Exposer> exposer_;
};

}  // namespace qdgate
