// qdgate's configuration: what a good file gives, and every mistake
// refused with its file, line and key.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "config.h"

namespace {

class ConfigFile {
public:
    explicit ConfigFile(const std::string& text)
    {
        char name[] = "/tmp/qdgate-config-XXXXXX";
        const int fd = mkstemp(name);
        ::close(fd);
        path_ = name;
        std::ofstream(path_) << text;
    }
    ~ConfigFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

const std::string gateway = "[gateway]\nid = \"g\"\nstore = \"/tmp/g.db\"\n";   // lines 1-3
const std::string reader = "[[reader]]\nname = \"a\"\nhost = \"door-a.local\"\n";

// The message of a refusal, without the file's name.
std::string refusal(const std::string& text)
{
    const ConfigFile file(text);
    try {
        qdgate::load_config(file.path());
    } catch (const qdgate::ConfigError& e) {
        const std::string what = e.what();
        EXPECT_EQ(what.rfind(file.path(), 0), 0u) << what;
        return what.substr(file.path().size());
    }
    return "(accepted)";
}

std::string many_readers(int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += "[[reader]]\nname = \"r" + std::to_string(i) + "\"\nhost = \"h\"\n";
    return out;
}

struct Refused {
    const char* name;
    std::string text;
    std::string message;   // from the first ':' on
};

class Refusals : public ::testing::TestWithParam<Refused> {};

TEST_P(Refusals, NameTheLineAndTheKey)
{
    EXPECT_EQ(refusal(GetParam().text), GetParam().message);
}

const std::string topic_reason = "must be 1 to 64 printable characters, none of '+', '#', '/' or a space";

INSTANTIATE_TEST_SUITE_P(
    Gate, Refusals,
    ::testing::Values(
        Refused{"UnknownKey", gateway + "colour = \"red\"\n" + reader, ":4: gateway.colour: unknown key"},
        Refused{"UnknownTable", gateway + "[outputs]\nmqtt = \"mqtt://h\"\n" + reader, ":4: outputs: unknown key"},
        Refused{"UnknownReaderKey", gateway + reader + "antenna = 2\n", ":7: reader[0].antenna: unknown key"},
        Refused{"WrongType", gateway + "store_limit = \"many\"\n" + reader,
                ":4: gateway.store_limit: must be an integer"},
        Refused{"LimitZero", gateway + "store_limit = 0\n" + reader,
                ":4: gateway.store_limit: must be 1 to 1000000000"},
        Refused{"NoId", "[gateway]\nstore = \"s\"\n" + reader, ":1: gateway.id: missing"},
        Refused{"NoStore", "[gateway]\nid = \"g\"\n" + reader, ":1: gateway.store: missing"},
        Refused{"NoGateway", reader, ": gateway.id: missing"},
        Refused{"IdWithWildcard", "[gateway]\nid = \"a+b\"\nstore = \"s\"\n" + reader, ":2: gateway.id: " + topic_reason},
        Refused{"MetricsNoPort", gateway + "metrics = \"localhost\"\n" + reader, ":4: gateway.metrics: must be HOST:PORT"},
        Refused{"MetricsBadPort", gateway + "metrics = \"localhost:70000\"\n" + reader,
                ":4: gateway.metrics: must be HOST:PORT with a port of 1 to 65535"},
        Refused{"DuplicateName", gateway + reader + "[[reader]]\nname = \"a\"\nhost = \"h2\"\n",
                ":8: reader[1].name: 'a' is already the name of reader[0]"},
        Refused{"NoHost", gateway + "[[reader]]\nname = \"a\"\n", ":4: reader[0].host: missing"},
        Refused{"EmptyHost", gateway + "[[reader]]\nname = \"a\"\nhost = \"\"\n", ":6: reader[0].host: must not be empty"},
        Refused{"NameWithPlus", gateway + "[[reader]]\nname = \"a+\"\nhost = \"h\"\n", ":5: reader[0].name: " + topic_reason},
        Refused{"NameWithHash", gateway + "[[reader]]\nname = \"#\"\nhost = \"h\"\n", ":5: reader[0].name: " + topic_reason},
        Refused{"NameWithSlash", gateway + "[[reader]]\nname = \"a/b\"\nhost = \"h\"\n", ":5: reader[0].name: " + topic_reason},
        Refused{"NameNotText", gateway + "[[reader]]\nname = 7\nhost = \"h\"\n", ":5: reader[0].name: must be a string"},
        Refused{"Transport", gateway + reader + "transport = \"sctp\"\n",
                ":7: reader[0].transport: must be \"tcp\" or \"udp\""},
        Refused{"Mode", gateway + reader + "mode = \"fast\"\n", ":7: reader[0].mode: must be \"continuous\" or \"auto\""},
        Refused{"DedupNegative", gateway + reader + "dedup_seconds = -1\n",
                ":7: reader[0].dedup_seconds: must be 0 to 86400 seconds"},
        Refused{"DedupNotNumber", gateway + reader + "dedup_seconds = nan\n",
                ":7: reader[0].dedup_seconds: must be 0 to 86400 seconds"},
        Refused{"Period", gateway + reader + "period = 2\n", ":7: reader[0].period: unknown key"},
        Refused{"ReaderNotTables", "reader = [1, 2]\n" + gateway, ":1: reader: must be tables ([[reader]])"},
        Refused{"ReaderInGateway", gateway + "reader = [1, 2]\n", ":4: gateway.reader: unknown key"},
        Refused{"NoReader", gateway, ":1: reader: no [[reader]]: a gateway needs at least one"},
        Refused{"TooManyReaders", gateway + many_readers(101), ":4: reader: at most 100 readers"},
        Refused{"BrokerScheme", gateway + "[output]\nmqtt = \"http://h\"\n" + reader,
                ":5: output.mqtt: not a broker URL: must start with mqtt:// or mqtts://"},
        Refused{"BrokerNoHost", gateway + "[output]\nmqtt = \"mqtt://:1883\"\n" + reader,
                ":5: output.mqtt: not a broker URL: no host"},
        Refused{"BrokerPort", gateway + "[output]\nmqtt = \"mqtt://h:99999\"\n" + reader,
                ":5: output.mqtt: not a broker URL: the port must be 1 to 65535"},
        Refused{"BrokerPath", gateway + "[output]\nmqtt = \"mqtt://h/x\"\n" + reader,
                ":5: output.mqtt: not a broker URL: the host holds a character a host name cannot"},
        Refused{"QosZero", gateway + "[output]\nmqtt = \"mqtt://h\"\nqos = 0\n" + reader,
                ":6: output.qos: must be 1 or 2: the gateway deletes an event only once the broker acknowledged it"},
        Refused{"TopicWildcard", gateway + "[output]\ntopic = \"qd/#\"\n" + reader, ":5: output.topic: must not hold '#'"},
        Refused{"TopicEmptyLevel", gateway + "[output]\ntopic = \"qd//{reader}\"\n" + reader,
                ":5: output.topic: must be levels separated by single '/'"},
        Refused{"CertWithoutKey", gateway + "[output]\nmqtt = \"mqtts://h\"\ncert = \"c.pem\"\n" + reader,
                ":6: output.cert: cert and key go together"},
        Refused{"CertWithoutTls", gateway + "[output]\nmqtt = \"mqtt://h\"\ncert = \"c.pem\"\nkey = \"k.pem\"\n" + reader,
                ":6: output.cert: needs TLS: an mqtts:// URL or a ca"},
        Refused{"PasswordWithoutUser", gateway + "[output]\nmqtt = \"mqtt://h\"\npassword = \"p\"\n" + reader,
                ":6: output.password: needs a username"},
        Refused{"CredentialsWithoutBroker", gateway + "[output]\nusername = \"u\"\n" + reader,
                ":5: output.username: needs mqtt"},
        Refused{"Syntax", gateway + "store_limit = = 3\n" + reader, ":4: Error while parsing value: could not determine value type"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GateConfig, AGoodFileGivesWhatItSays)
{
    const ConfigFile file(gateway + "store_limit = 500\nmetrics = \"localhost:9464\"\n"
                          "[output]\nmqtt = \"mqtts://broker.example:8884\"\ntopic = \"site/{gateway}/{reader}\"\nqos = 2\n"
                          "username = \"u\"\npassword = \"p\"\nca = \"ca.pem\"\n" +
                          reader +
                          "[[reader]]\nname = \"b\"\nhost = \"h\"\ntransport = \"udp\"\nmode = \"auto\"\n"
                          "dedup_seconds = 1.5\n");
    const qdgate::Config c = qdgate::load_config(file.path());
    EXPECT_EQ(c.id, "g");
    EXPECT_EQ(c.store_limit, 500);
    EXPECT_EQ(c.metrics, "localhost:9464");
    EXPECT_TRUE(c.mqtt);
    EXPECT_EQ(c.broker.host, "broker.example");
    EXPECT_EQ(c.broker.port, 8884);
    EXPECT_TRUE(c.broker.tls);
    EXPECT_EQ(c.qos, 2);
    EXPECT_EQ(c.tags_topic("b"), "site/g/b");
    EXPECT_EQ(c.status_topic(), "qd/g/status");
    EXPECT_EQ(c.reader_status_topic("b"), "qd/g/b/status");
    ASSERT_EQ(c.readers.size(), 2u);
    EXPECT_TRUE(c.readers[0].tcp);
    EXPECT_FALSE(c.readers[0].automatic);
    EXPECT_EQ(c.readers[0].dedup_seconds, 0);
    EXPECT_FALSE(c.readers[1].tcp);
    EXPECT_TRUE(c.readers[1].automatic);
    EXPECT_EQ(c.readers[1].dedup_seconds, 1.5);
}

TEST(GateConfig, DefaultsAndAHundredReaders)
{
    const ConfigFile file(gateway + many_readers(100));
    const qdgate::Config c = qdgate::load_config(file.path());
    EXPECT_FALSE(c.mqtt);
    EXPECT_EQ(c.store_limit, 1000000);
    EXPECT_EQ(c.qos, 1);
    EXPECT_EQ(c.readers.size(), 100u);
    EXPECT_EQ(c.tags_topic("r7"), "qd/g/r7/tags");
}

TEST(GateConfig, AFileThatCannotBeRead)
{
    try {
        qdgate::load_config("/nonexistent/qdgate.toml");
        FAIL() << "accepted";
    } catch (const qdgate::ConfigError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("/nonexistent/qdgate.toml: ", 0), 0u) << e.what();
    }
}

TEST(GateConfig, BrokerUrls)
{
    struct Row {
        const char* url;
        const char* host;
        int port;
        bool tls;
    };
    for (const Row& r : {Row{"mqtt://broker.local", "broker.local", 1883, false}, Row{"mqtt://h:1", "h", 1, false},
                         Row{"mqtts://h", "h", 8883, true}, Row{"mqtt://[::1]:1884", "::1", 1884, false},
                         Row{"mqtt://h/", "h", 1883, false}}) {
        const qdgate::BrokerAddress a = qdgate::parse_broker_url(r.url);
        EXPECT_EQ(a.host, r.host) << r.url;
        EXPECT_EQ(a.port, r.port) << r.url;
        EXPECT_EQ(a.tls, r.tls) << r.url;
    }
    for (const char* bad : {"mqtt://", "mqtt://h:", "mqtt://h:0", "mqtt://h:x", "mqtt://[::1", "mqtt://[::1]x",
                            "mqtt://u@h", "tcp://h", "mqtt://h h"})
        EXPECT_THROW(qdgate::parse_broker_url(bad), std::invalid_argument) << bad;
}

}  // namespace
