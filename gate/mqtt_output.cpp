// Events to a broker, at QoS 1 (or 2): each is deleted from the store once
// the broker acknowledged it.  One thread does all of the client's work
// (connect, publish, read acknowledgements), so nothing of it is shared.
// A connection that is lost is dropped with everything in flight, and the
// next one publishes again from the oldest event not acknowledged: in
// order, with duplicates only of what was in flight.
#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "log.h"
#include "output.h"

namespace qdgate {

using Steady = std::chrono::steady_clock;

namespace {

// Events published and not yet acknowledged, at most.  The client library
// looks through all of them for each acknowledgement, so more costs more
// than it brings.
constexpr std::size_t window = 100;
constexpr int keepalive_seconds = 30;
constexpr auto connack_wait = std::chrono::seconds(10);

struct MosquittoDeleter {
    void operator()(mosquitto* m) const { mosquitto_destroy(m); }
};
using Client = std::unique_ptr<mosquitto, MosquittoDeleter>;

void library_once()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

class MqttOutput : public Output {
public:
    using Output::Output;
    void run(Stop& finish) override;

private:
    bool connect();
    void disconnected(const std::string& why);
    // Publishes what fits in the window; false when the client failed.
    bool publish_more();
    bool publish_statuses();
    void settle();

    static void on_connect(mosquitto*, void* self, int rc) { static_cast<MqttOutput*>(self)->connack_ = rc; }
    static void on_publish(mosquitto*, void* self, int mid)
    {
        auto* out = static_cast<MqttOutput*>(self);
        const auto it = out->in_flight_.find(mid);
        if (it == out->in_flight_.end())
            return;   // a status message
        out->acked_.push_back(std::move(it->second));
        out->in_flight_.erase(it);
    }

    Client client_;
    int connack_ = -1;   // -1: none yet
    bool connected_ = false;
    std::int64_t cursor_ = 0;
    std::unordered_map<int, std::pair<std::int64_t, std::string>> in_flight_;
    std::vector<std::pair<std::int64_t, std::string>> acked_;
    std::uint64_t status_version_ = 0;
    std::map<std::string, std::string> topics_;   // reader -> its tags topic
    Backoff backoff_;
    bool ever_connected_ = false;
    bool told_unreachable_ = false;
};

bool MqttOutput::connect()
{
    library_once();
    const std::string client_id = "qdgate-" + config_.id;
    client_.reset(mosquitto_new(client_id.c_str(), true, this));
    if (!client_)
        throw std::bad_alloc();
    mosquitto* m = client_.get();
    mosquitto_connect_callback_set(m, on_connect);
    mosquitto_publish_callback_set(m, on_publish);
    mosquitto_max_inflight_messages_set(m, static_cast<unsigned>(window));
    const std::string offline = "offline";
    mosquitto_will_set(m, config_.status_topic().c_str(), static_cast<int>(offline.size()), offline.data(), 1, true);
    if (!config_.username.empty())
        mosquitto_username_pw_set(m, config_.username.c_str(), config_.password.empty() ? nullptr : config_.password.c_str());
    if (config_.broker.tls || !config_.ca.empty()) {
        const int rc = mosquitto_tls_set(m, config_.ca.empty() ? nullptr : config_.ca.c_str(),
                                         config_.ca.empty() ? "/etc/ssl/certs" : nullptr,
                                         config_.cert.empty() ? nullptr : config_.cert.c_str(),
                                         config_.key.empty() ? nullptr : config_.key.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            disconnected(std::string("TLS: ") + mosquitto_strerror(rc));
            return false;
        }
    }
    connack_ = -1;
    int rc = mosquitto_connect(m, config_.broker.host.c_str(), config_.broker.port, keepalive_seconds);
    const auto until = Steady::now() + connack_wait;
    while (rc == MOSQ_ERR_SUCCESS && connack_ == -1 && Steady::now() < until)
        rc = mosquitto_loop(m, 100, 1);
    if (rc != MOSQ_ERR_SUCCESS || connack_ != 0) {
        disconnected(rc != MOSQ_ERR_SUCCESS ? (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno))
                                                                      : std::string(mosquitto_strerror(rc)))
                     : connack_ == -1       ? std::string("no answer to CONNECT")
                                            : std::string(mosquitto_connack_string(connack_)));
        return false;
    }
    connected_ = true;
    ever_connected_ = true;
    told_unreachable_ = false;
    backoff_.reset();
    metrics_.broker_connected.Set(1);
    log_line("broker " + config_.broker.host + ":" + std::to_string(config_.broker.port) + " connected");
    // Everything not acknowledged goes again, from the oldest.
    cursor_ = 0;
    status_version_ = 0;
    const std::string online = "online";
    mosquitto_publish(m, nullptr, config_.status_topic().c_str(), static_cast<int>(online.size()), online.data(), 1,
                      true);
    return true;
}

void MqttOutput::disconnected(const std::string& why)
{
    client_.reset();
    in_flight_.clear();
    if (connected_) {
        log_line("broker lost: " + printable(why) + "; events wait in the store");
        metrics_.broker_connected.Set(0);
    } else if (!told_unreachable_) {
        log_line("broker " + config_.broker.host + ":" + std::to_string(config_.broker.port) +
                 " unreachable: " + printable(why) + "; events wait in the store");
        told_unreachable_ = true;
    }
    connected_ = false;
}

bool MqttOutput::publish_statuses()
{
    std::uint64_t now = 0;
    for (const ReaderStatus& s : board_.changed(status_version_, now)) {
        const std::string payload = s.json();
        const int rc = mosquitto_publish(client_.get(), nullptr, config_.reader_status_topic(s.reader).c_str(),
                                         static_cast<int>(payload.size()), payload.data(), 1, true);
        if (rc != MOSQ_ERR_SUCCESS) {
            disconnected(std::string("publish: ") + mosquitto_strerror(rc));
            return false;
        }
    }
    status_version_ = now;
    return true;
}

bool MqttOutput::publish_more()
{
    while (in_flight_.size() < window) {
        const std::vector<StoredEvent> page =
            store_.fetch(cursor_, static_cast<int>(std::min<std::size_t>(256, window - in_flight_.size())));
        if (page.empty())
            return true;
        for (const StoredEvent& s : page) {
            auto topic = topics_.find(s.event.reader);
            if (topic == topics_.end())
                topic = topics_.emplace(s.event.reader, config_.tags_topic(s.event.reader)).first;
            const std::string payload = event_json(config_.id, s.event);
            int mid = 0;
            const int rc = mosquitto_publish(client_.get(), &mid, topic->second.c_str(),
                                             static_cast<int>(payload.size()), payload.data(), config_.qos, false);
            if (rc != MOSQ_ERR_SUCCESS) {
                disconnected(std::string("publish: ") + mosquitto_strerror(rc));
                return false;
            }
            in_flight_[mid] = {s.row, s.event.reader};
            cursor_ = s.row;
        }
    }
    return true;
}

// Deletes what the broker acknowledged.
void MqttOutput::settle()
{
    if (acked_.empty())
        return;
    taken(acked_);
    acked_.clear();
}

void MqttOutput::run(Stop& finish)
{
    auto next_attempt = Steady::now();
    auto last_pass_end = Steady::time_point::max();
    for (;;) {
        if (finish.requested() && last_pass_end == Steady::time_point::max())
            last_pass_end = Steady::now() + last_pass;
        if (Steady::now() >= last_pass_end)
            break;
        if (!connected_) {
            if (finish.requested())
                break;
            if (Steady::now() < next_attempt) {
                finish.wait(std::min<Steady::duration>(next_attempt - Steady::now(), std::chrono::milliseconds(100)));
                continue;
            }
            const bool again = ever_connected_;
            if (!connect()) {
                next_attempt = Steady::now() + backoff_.next();
                continue;
            }
            if (again)
                metrics_.reconnects("broker").Increment();
        }
        try {
            if (!publish_statuses() || !publish_more()) {
                next_attempt = Steady::now() + backoff_.next();
                continue;
            }
        } catch (const StoreError& e) {
            // The events stay where they are; the store is asked again.
            log_line(std::string("cannot read the store: ") + e.what());
            finish.wait(std::chrono::seconds(1));
        }
        // Nothing to send: wait for acknowledgements a little.
        const int rc = mosquitto_loop(client_.get(), in_flight_.size() < window / 2 ? 10 : 50, 1);
        settle();
        if (rc != MOSQ_ERR_SUCCESS) {
            disconnected(rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(rc));
            next_attempt = Steady::now() + backoff_.next();
            continue;
        }
        if (finish.requested() && in_flight_.empty() && store_.size() == 0)
            break;
    }
    if (connected_) {
        // Readers are gone: say so, then go.
        publish_statuses();
        const std::string offline = "offline";
        int mid = 0;
        mosquitto_publish(client_.get(), &mid, config_.status_topic().c_str(), static_cast<int>(offline.size()),
                          offline.data(), 1, true);
        const auto until = Steady::now() + std::chrono::seconds(1);
        while (Steady::now() < until && mosquitto_loop(client_.get(), 50, 1) == MOSQ_ERR_SUCCESS &&
               !in_flight_.empty()) {
            settle();
        }
        settle();
        mosquitto_disconnect(client_.get());
        mosquitto_loop(client_.get(), 50, 1);
        client_.reset();
        metrics_.broker_connected.Set(0);
        log_line("broker disconnected");
    }
}

}  // namespace

std::unique_ptr<Output> make_mqtt_output(const Config& config, Store& store, Metrics& metrics, StatusBoard& board)
{
    metrics.reconnects("broker");   // a series from the start, at 0
    return std::make_unique<MqttOutput>(config, store, metrics, board);
}

}  // namespace qdgate
