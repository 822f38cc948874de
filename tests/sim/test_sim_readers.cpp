// qdsim --readers: many readers from one process, each on its own address
// with its own port mapper and its own tag field, found and read by the
// library like readers on a network.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <rpc/pmap_clnt.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "daemon_options.h"
#include "fleet.h"
#include "qdapi.h"
#include "raw_client.h"

using namespace std::chrono_literals;

namespace {

// qdsim as a child process, ended by SIGTERM.
class Daemon {
public:
    explicit Daemon(const std::vector<std::string>& args)
    {
        int out[2];
        if (pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            std::string path = QDSIM_PATH;
            argv.push_back(path.data());
            std::vector<std::string> copy = args;
            for (auto& a : copy)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(QDSIM_PATH, argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
    }
    ~Daemon()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
        if (out_ >= 0)
            close(out_);
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // The addresses of the first `n` "serving on" lines; fewer when qdsim
    // ends or stays silent (a generous bound: starting is not timed).
    std::vector<std::string> serving(std::size_t n)
    {
        std::vector<std::string> addresses;
        std::string text;
        while (addresses.size() < n) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 60000) != 1)
                break;
            char buffer[4096];
            const ssize_t k = read(out_, buffer, sizeof buffer);
            if (k <= 0)
                break;
            text.append(buffer, static_cast<std::size_t>(k));
            for (auto nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n')) {
                const std::string line = text.substr(0, nl);
                text.erase(0, nl + 1);
                const std::string prefix = "qdsim: serving on ";
                if (line.rfind(prefix, 0) == 0)
                    addresses.push_back(line.substr(prefix.size(), line.find(' ', prefix.size()) - prefix.size()));
            }
        }
        return addresses;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

// The identities of the tags one search of the reader at `address` finds,
// through the library.
std::set<std::vector<uint16_t>> field_of(const std::string& address)
{
    std::set<std::vector<uint16_t>> ids;
    reader_handle h = open_reader(address.c_str());
    EXPECT_NE(h, nullptr) << address;
    if (h == nullptr)
        return ids;
    search_params params{};
    const int search = search_start(h, &params);
    EXPECT_NE(search, -1) << address;
    int status = 0;
    for (int polls = 0; polls < 1000 && (status = operation_status(h, search)) != -3; ++polls)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(status, -3) << address << ": the search never completed";
    for (int i = 0; i < 1000; ++i) {
        popped_tag_record record{};
        if (tagdb_pop(h, &record) != 0 || record.status != 1)
            break;
        ids.insert(std::vector<uint16_t>(record.id, record.id + (record.id_bits + 15) / 16));
    }
    close_reader(h);
    return ids;
}

TEST(Readers, ThreeReadersOfOneProcessEachServeTheirOwnField)
{
    Daemon qdsim({"--address", "127.0.42.1", "--readers", "3", "--tags", "4", "--seed", "7", "--search-duration",
                  "0"});
    const auto addresses = qdsim.serving(3);
    ASSERT_EQ(addresses, (std::vector<std::string>{"127.0.42.1", "127.0.42.2", "127.0.42.3"}));
    std::vector<std::set<std::vector<uint16_t>>> fields;
    for (const auto& address : addresses) {
        fields.push_back(field_of(address));
        EXPECT_EQ(fields.back().size(), 4u) << address;
    }
    for (std::size_t a = 0; a < fields.size(); ++a)
        for (std::size_t b = a + 1; b < fields.size(); ++b)
            for (const auto& id : fields[a])
                EXPECT_EQ(fields[b].count(id), 0u) << "readers " << a << " and " << b << " share a tag";
}

// Hundreds of readers: more descriptors than a process starts with, and
// addresses that carry into the next octet.  The first and the last answer
// their port mappers and their programs.
TEST(Readers, HundredsOfReadersAcrossAnOctet)
{
    Daemon qdsim({"--address", "127.0.43.200", "--readers", "300"});
    const auto addresses = qdsim.serving(300);
    ASSERT_EQ(addresses.size(), 300u);
    EXPECT_EQ(addresses[55], "127.0.43.255");
    EXPECT_EQ(addresses[56], "127.0.44.0");
    EXPECT_EQ(addresses[299], "127.0.44.243");
    for (const auto& address : {addresses[0], addresses[56], addresses[299]}) {
        for (const auto t : {qdsim::Transport::udp, qdsim::Transport::tcp}) {
            qdsim::testing::RawClient client(address, t);
            ASSERT_TRUE(client.ok()) << address;
            EXPECT_EQ(client.call(NULLPROC, xdr_void, static_cast<void*>(nullptr)), RPC_SUCCESS) << address;
        }
    }
}

TEST(Readers, AddressesFollowEachOtherAcrossOctets)
{
    struct Case {
        const char* first;
        std::size_t index;
        const char* address;   // nullptr: refused
    };
    const Case cases[] = {
        {"127.0.40.1", 0, "127.0.40.1"},          {"127.0.40.1", 99, "127.0.40.100"},
        {"127.0.40.255", 1, "127.0.41.0"},        {"127.0.255.255", 1, "127.1.0.0"},
        {"127.255.255.254", 1, "127.255.255.255"}, {"127.255.255.255", 1, nullptr},
        {"10.0.0.1", 0, nullptr},                 {"127.0.0", 0, nullptr},
    };
    for (const Case& c : cases) {
        if (c.address)
            EXPECT_EQ(qdsim::nth_address(c.first, c.index), c.address) << c.first << " + " << c.index;
        else
            EXPECT_THROW(qdsim::nth_address(c.first, c.index), std::runtime_error) << c.first << " + " << c.index;
    }
}

TEST(Readers, EveryReaderHasASeedOfItsOwnAndTheFirstKeepsTheGivenOne)
{
    std::set<uint64_t> seeds;
    for (std::size_t i = 0; i < qdsim::max_readers; ++i)
        seeds.insert(qdsim::member_seed(7, i));
    EXPECT_EQ(seeds.size(), qdsim::max_readers);
    EXPECT_EQ(qdsim::member_seed(7, 0), 7u);
    EXPECT_NE(qdsim::member_seed(7, 1), qdsim::member_seed(8, 1));
}

TEST(Readers, TheOptionsAreEveryReadersButTheAddressSeedAndStore)
{
    const char* argv[] = {"qdsim", "--address", "127.0.40.254", "--readers", "3", "--seed", "5",
                          "--state", "/var/lib/qdsim/params", "--latency", "7"};
    qdsim::DaemonOptions options;
    std::string error;
    ASSERT_EQ(qdsim::parse_daemon_options(11, const_cast<char**>(argv), options, error), qdsim::ParseOutcome::run)
        << error;
    const auto fleet = qdsim::plan_fleet(options);
    ASSERT_EQ(fleet.size(), 3u);
    const char* addresses[] = {"127.0.40.254", "127.0.40.255", "127.0.41.0"};
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        EXPECT_EQ(fleet[i].options.address, addresses[i]);
        EXPECT_EQ(fleet[i].options.state_file, std::string("/var/lib/qdsim/params-") + addresses[i]);
        EXPECT_EQ(fleet[i].options.latency, 7ms);
        EXPECT_EQ(fleet[i].seed, qdsim::member_seed(5, i));
    }
    // One reader is the one qdsim always served.
    qdsim::DaemonOptions one;
    one.reader.state_file = "params";
    EXPECT_EQ(qdsim::plan_fleet(one).at(0).options.state_file, "params");
}

TEST(Readers, TheCountIsOneToAThousand)
{
    for (const auto& [text, ok] : std::vector<std::pair<std::string, bool>>{
             {"1", true}, {"1000", true}, {"0", false}, {"1001", false}, {"-3", false}, {"x", false}}) {
        const char* argv[] = {"qdsim", "--readers", text.c_str()};
        qdsim::DaemonOptions options;
        std::string error;
        EXPECT_EQ(qdsim::parse_daemon_options(3, const_cast<char**>(argv), options, error),
                  ok ? qdsim::ParseOutcome::run : qdsim::ParseOutcome::bad_usage)
            << text;
    }
}

}  // namespace
