#include "config.h"

#include <charconv>
#include <cmath>
#include <map>
#include <set>

#include <toml++/toml.h>

namespace qdgate {

namespace {

// Reads one table's keys, each at most once, and refuses the ones nobody
// asked for when done.
class Section {
public:
    Section(const std::string& file, const toml::table& table, std::string path)
        : file_(file), table_(table), path_(std::move(path))
    {
    }

    [[noreturn]] void refuse(const std::string& key, const std::string& why) const
    {
        const toml::node* node = table_.get(key);
        const auto line = node ? node->source().begin.line : table_.source().begin.line;
        // A table the file does not have has no line.
        throw ConfigError(file_ + (line ? ":" + std::to_string(line) : std::string()) + ": " + name(key) + ": " + why);
    }

    bool has(const std::string& key)
    {
        seen_.insert(key);
        return table_.contains(key);
    }

    std::string text(const std::string& key, bool required, std::string fallback = {})
    {
        if (!has(key)) {
            if (required)
                refuse(key, "missing");
            return fallback;
        }
        const auto* value = table_.get(key)->as_string();
        if (!value)
            refuse(key, "must be a string");
        const std::string& s = value->get();
        if (s.find('\0') != std::string::npos)
            refuse(key, "must not hold a NUL character");
        return s;
    }

    std::int64_t integer(const std::string& key, std::int64_t fallback, std::int64_t lo, std::int64_t hi)
    {
        if (!has(key))
            return fallback;
        const auto* value = table_.get(key)->as_integer();
        if (!value)
            refuse(key, "must be an integer");
        const std::int64_t n = value->get();
        if (n < lo || n > hi)
            refuse(key, "must be " + std::to_string(lo) + " to " + std::to_string(hi));
        return n;
    }

    double seconds(const std::string& key, double hi)
    {
        if (!has(key))
            return 0;
        const toml::node* node = table_.get(key);
        double n;
        if (const auto* i = node->as_integer())
            n = static_cast<double>(i->get());
        else if (const auto* f = node->as_floating_point())
            n = f->get();
        else
            refuse(key, "must be a number of seconds");
        if (!std::isfinite(n) || n < 0 || n > hi)
            refuse(key, "must be 0 to " + std::to_string(static_cast<long>(hi)) + " seconds");
        return n;
    }

    // Refuses a key that was not read.
    void finish() const
    {
        for (const auto& [key, node] : table_) {
            const std::string k(key.str());
            if (!seen_.count(k))
                refuse(k, "unknown key");
        }
    }

    std::string name(const std::string& key) const { return path_.empty() ? key : path_ + "." + key; }

private:
    const std::string& file_;
    const toml::table& table_;
    std::string path_;
    std::set<std::string> seen_;
};

const toml::table& table_at(const std::string& file, const toml::table& root, const std::string& key,
                            const toml::table& empty)
{
    const toml::node* node = root.get(key);
    if (!node)
        return empty;
    if (const auto* t = node->as_table())
        return *t;
    throw ConfigError(file + ":" + std::to_string(node->source().begin.line) + ": " + key + ": must be a table ([" +
                      key + "])");
}

void check_address(Section& s, const std::string& key, const std::string& text)
{
    const auto colon = text.rfind(':');
    int port = 0;
    if (colon == std::string::npos || colon == 0)
        s.refuse(key, "must be HOST:PORT");
    const char* first = text.data() + colon + 1;
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(first, last, port);
    if (ec != std::errc() || end != last || port < 1 || port > 65535)
        s.refuse(key, "must be HOST:PORT with a port of 1 to 65535");
}

}  // namespace

bool valid_topic_level(const std::string& name)
{
    if (name.empty() || name.size() > 64)
        return false;
    for (const unsigned char c : name)
        if (c <= 0x20 || c >= 0x7F || c == '+' || c == '#' || c == '/')
            return false;
    return true;
}

BrokerAddress parse_broker_url(const std::string& url)
{
    BrokerAddress out;
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        out.tls = true;
        out.port = 8883;
    } else {
        throw std::invalid_argument("must start with mqtt:// or mqtts://");
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    std::string host = rest;
    if (!rest.empty() && rest.front() == '[') {   // [v6]:port
        const auto close = rest.find(']');
        if (close == std::string::npos)
            throw std::invalid_argument("an address in [ ] is not closed");
        host = rest.substr(1, close - 1);
        rest = rest.substr(close + 1);
        if (!rest.empty() && rest.front() != ':')
            throw std::invalid_argument("only a port may follow the address");
    } else if (const auto colon = rest.find(':'); colon != std::string::npos) {
        host = rest.substr(0, colon);
        rest = rest.substr(colon);
    } else {
        rest.clear();
    }
    if (!rest.empty()) {
        const char* first = rest.data() + 1;
        const char* last = rest.data() + rest.size();
        const auto [end, ec] = std::from_chars(first, last, out.port);
        if (ec != std::errc() || end != last || out.port < 1 || out.port > 65535)
            throw std::invalid_argument("the port must be 1 to 65535");
    }
    if (host.empty())
        throw std::invalid_argument("no host");
    for (const unsigned char c : host)
        if (c <= 0x20 || c >= 0x7F || c == '/' || c == '@' || c == '?' || c == '#')
            throw std::invalid_argument("the host holds a character a host name cannot");
    out.host = host;
    return out;
}

std::string Config::tags_topic(const std::string& reader) const
{
    std::string out;
    for (std::size_t i = 0; i < topic.size();) {
        if (topic.compare(i, 9, "{gateway}") == 0) {
            out += id;
            i += 9;
        } else if (topic.compare(i, 8, "{reader}") == 0) {
            out += reader;
            i += 8;
        } else {
            out += topic[i++];
        }
    }
    return out;
}

Config load_config(const std::string& file)
{
    toml::table root;
    try {
        root = toml::parse_file(file);
    } catch (const toml::parse_error& e) {
        if (e.source().begin.line == 0)   // not read at all
            throw ConfigError(file + ": " + std::string(e.description()));
        throw ConfigError(file + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description()));
    }

    Config c;
    c.file = file;
    const toml::table empty;
    Section top(file, root, "");

    top.has("gateway");
    Section gateway(file, table_at(file, root, "gateway", empty), "gateway");
    c.id = gateway.text("id", true);
    if (!valid_topic_level(c.id))
        gateway.refuse("id", "must be 1 to 64 printable characters, none of '+', '#', '/' or a space");
    c.store = gateway.text("store", true);
    if (c.store.empty())
        gateway.refuse("store", "must not be empty");
    c.store_limit = gateway.integer("store_limit", c.store_limit, 1, 1000000000);
    c.metrics = gateway.text("metrics", false);
    if (!c.metrics.empty())
        check_address(gateway, "metrics", c.metrics);
    gateway.finish();

    top.has("output");
    Section output(file, table_at(file, root, "output", empty), "output");
    if (output.has("mqtt")) {
        c.mqtt = true;
        try {
            c.broker = parse_broker_url(output.text("mqtt", true));
        } catch (const std::invalid_argument& e) {
            output.refuse("mqtt", std::string("not a broker URL: ") + e.what());
        }
    }
    c.topic = output.text("topic", false, c.topic);
    for (const char reserved : {'+', '#', '\0'})
        if (c.topic.find(reserved) != std::string::npos)
            output.refuse("topic", std::string("must not hold '") + reserved + "'");
    if (c.topic.empty() || c.topic.front() == '/' || c.topic.back() == '/' || c.topic.find("//") != std::string::npos)
        output.refuse("topic", "must be levels separated by single '/'");
    c.qos = static_cast<int>(output.integer("qos", 1, 0, 2));
    if (c.qos == 0)
        output.refuse("qos", "must be 1 or 2: the gateway deletes an event only once the broker acknowledged it");
    c.username = output.text("username", false);
    c.password = output.text("password", false);
    c.ca = output.text("ca", false);
    c.cert = output.text("cert", false);
    c.key = output.text("key", false);
    if (c.cert.empty() != c.key.empty())
        output.refuse(c.cert.empty() ? "key" : "cert", "cert and key go together");
    // What would otherwise be ignored without a word.
    if (!c.cert.empty() && !c.broker.tls && c.ca.empty())
        output.refuse("cert", "needs TLS: an mqtts:// URL or a ca");
    if (!c.password.empty() && c.username.empty())
        output.refuse("password", "needs a username");
    if (!c.mqtt)
        for (const char* k : {"username", "password", "ca", "cert", "key"})
            if (output.has(k))
                output.refuse(k, "needs mqtt");
    output.finish();

    if (top.has("reader")) {
        const toml::node* node = root.get("reader");
        const toml::array* list = node->as_array();
        if (!list || !list->is_array_of_tables())
            top.refuse("reader", "must be tables ([[reader]])");
        if (list->size() > max_readers)
            top.refuse("reader", "at most " + std::to_string(max_readers) + " readers");
        std::map<std::string, std::size_t> names;
        for (std::size_t i = 0; i < list->size(); ++i) {
            Section r(file, *list->get(i)->as_table(), "reader[" + std::to_string(i) + "]");
            ReaderConfig rc;
            rc.name = r.text("name", true);
            if (!valid_topic_level(rc.name))
                r.refuse("name", "must be 1 to 64 printable characters, none of '+', '#', '/' or a space");
            if (const auto [it, fresh] = names.emplace(rc.name, i); !fresh)
                r.refuse("name", "'" + rc.name + "' is already the name of reader[" + std::to_string(it->second) + "]");
            rc.host = r.text("host", true);
            if (rc.host.empty())
                r.refuse("host", "must not be empty");
            const std::string transport = r.text("transport", false, "tcp");
            if (transport != "tcp" && transport != "udp")
                r.refuse("transport", "must be \"tcp\" or \"udp\"");
            rc.tcp = transport == "tcp";
            const std::string mode = r.text("mode", false, "continuous");
            if (mode != "continuous" && mode != "auto")
                r.refuse("mode", "must be \"continuous\" or \"auto\"");
            rc.automatic = mode == "auto";
            rc.dedup_seconds = r.seconds("dedup_seconds", 86400);
            r.finish();
            c.readers.push_back(std::move(rc));
        }
    }
    if (c.readers.empty())
        top.refuse("reader", "no [[reader]]: a gateway needs at least one");
    top.finish();
    return c;
}

}  // namespace qdgate
