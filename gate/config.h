// The gateway's configuration: a TOML file read once at start.  Every
// mistake is refused there, naming the file, the line and the key, so that a
// gateway that starts runs with exactly what its file says.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace qdgate {

// The most readers one gateway drives.
constexpr std::size_t max_readers = 100;

// A configuration that cannot be used; what() is "FILE:LINE: KEY: why".
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct BrokerAddress {
    std::string host;
    int port = 1883;
    bool tls = false;   // mqtts://
};

struct ReaderConfig {
    std::string name;
    std::string host;
    bool tcp = true;
    bool automatic = false;   // mode "auto": an automatic search; else searches back to back
    double dedup_seconds = 0;
};

struct Config {
    std::string file;

    // [gateway]
    std::string id;
    std::string store;        // a path, or ":memory:" (nothing kept across restarts)
    std::int64_t store_limit = 1000000;
    std::string metrics;      // "HOST:PORT", or empty for none

    // [output]
    bool mqtt = false;        // false: JSON lines on standard output
    BrokerAddress broker;
    std::string topic = "qd/{gateway}/{reader}/tags";
    int qos = 1;
    std::string username, password, ca, cert, key;

    std::vector<ReaderConfig> readers;

    // The topic of a reader's events: `topic` with {gateway} and {reader}.
    std::string tags_topic(const std::string& reader) const;
    std::string status_topic() const { return "qd/" + id + "/status"; }
    std::string reader_status_topic(const std::string& reader) const
    {
        return "qd/" + id + "/" + reader + "/status";
    }
};

// Reads and checks FILE.  Throws ConfigError.
Config load_config(const std::string& file);

// "mqtt://HOST[:PORT]" or "mqtts://HOST[:PORT]"; throws std::invalid_argument.
BrokerAddress parse_broker_url(const std::string& url);

// A name usable as one level of an MQTT topic: not empty, at most 64 bytes
// of printable ASCII, none of '+', '#', '/'.
bool valid_topic_level(const std::string& name);

}  // namespace qdgate
