#include "metrics.h"

#include <prometheus/exposer.h>

namespace qdgate {

namespace {

prometheus::Family<prometheus::Gauge>& gauges(prometheus::Registry& r, const char* name, const char* help)
{
    return prometheus::BuildGauge().Name(name).Help(help).Register(r);
}

prometheus::Family<prometheus::Counter>& counters(prometheus::Registry& r, const char* name, const char* help)
{
    return prometheus::BuildCounter().Name(name).Help(help).Register(r);
}

}  // namespace

Metrics::Metrics(const std::string& address)
    : registry_(std::make_shared<prometheus::Registry>()),
      reader_up_(gauges(*registry_, "qdgate_reader_up", "1 while the reader answers")),
      tags_read_(counters(*registry_, "qdgate_tags_read_total", "Tags taken from the reader")),
      published_(counters(*registry_, "qdgate_events_published_total", "Events the output took")),
      unaccounted_(counters(*registry_, "qdgate_tags_unaccounted_total",
                            "Tags the reader may have handed out whose replies never arrived")),
      back_pressure_(gauges(*registry_, "qdgate_back_pressure",
                            "1 while the reader is not drained because the store is full")),
      reconnects_(counters(*registry_, "qdgate_reconnects_total", "Connections made again")),
      dropped_(counters(*registry_, "qdgate_events_dropped_total", "Events the gateway dropped (none by design)")),
      store_events(gauges(*registry_, "qdgate_store_events", "Events kept in the store, not yet taken by the output")
                       .Add({})),
      store_limit(gauges(*registry_, "qdgate_store_limit", "The most events the store keeps").Add({})),
      broker_connected(gauges(*registry_, "qdgate_broker_connected", "1 while the broker is connected").Add({})),
      publish_lag(gauges(*registry_, "qdgate_publish_lag_seconds", "Age of the oldest event not yet taken by the output")
                      .Add({})),
      dropped_store_full(dropped_.Add({{"reason", "store_full"}})),
      dropped_too_large(dropped_.Add({{"reason", "too_large"}})),
      dropped_stopped(dropped_.Add({{"reason", "stopped"}}))
{
    if (!address.empty()) {
        try {
            exposer_ = std::make_unique<prometheus::Exposer>(address, 2);
        } catch (const std::exception& e) {
            throw std::runtime_error("metrics " + address + ": cannot serve there (" + e.what() + ")");
        }
        exposer_->RegisterCollectable(registry_);
    }
}

Metrics::~Metrics() = default;

ReaderMetrics& Metrics::reader(const std::string& name)
{
    std::lock_guard lock(mutex_);
    auto& slot = readers_[name];
    if (!slot) {
        const prometheus::Labels labels{{"reader", name}};
        slot = std::make_unique<ReaderMetrics>(ReaderMetrics{reader_up_.Add(labels), tags_read_.Add(labels),
                                                             published_.Add(labels), unaccounted_.Add(labels),
                                                             back_pressure_.Add(labels)});
    }
    return *slot;
}

prometheus::Counter& Metrics::reconnects(const std::string& target)
{
    return reconnects_.Add({{"target", target}});
}

}  // namespace qdgate
