// The pipelined drain (tagdb_pop_many, tagdb_consume_many) and the pipeline
// window, over UDP and TCP, against virtual readers on 127.0.15.x: every tag
// exactly once and in the reader's order whatever the window, replies that
// come twice, with foreign transaction ids or out of order, a reader that
// stops answering or drops the connection with calls in flight, an array
// smaller than the database, a reader closed meanwhile, and bad arguments.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>
#include <tuple>

#include "inventory_support.h"

namespace {

using qdsim::FaultKind;
using qdsim::Transport;

constexpr const char* host = "127.0.15.1";
constexpr const char* host_udp = "127.0.15.2";    // the concurrent pair
constexpr const char* host_tcp = "127.0.15.3";
constexpr const char* relay_host = "127.0.15.4";  // in front of `host`

// A virtual reader with `tags` random tags in its tag database (put there
// by a search), opened on `transport` with an empty call log.
struct Filled {
    std::unique_ptr<qdsim::VirtualReader> reader;
    reader_handle handle = nullptr;
    std::vector<qdsim::Tag> field;   // in the order the database holds them

    Filled(const char* address, Transport transport, std::size_t tags, uint64_t seed = 7)
    {
        reader = qdtest::start_reader(address);
        reader->add_random_tags(tags, seed);
        field = reader->tags();
        qdtest::Switch tcp(use_tcp, transport == Transport::tcp ? 1 : 0);
        handle = open_reader(address);
        if (!handle)
            return;
        refill();
    }
    ~Filled()
    {
        if (handle)
            close_reader(handle);
    }
    Filled(const Filled&) = delete;
    Filled& operator=(const Filled&) = delete;

    // One more search: the whole field into the database again.
    void refill()
    {
        qdinv::run_search(handle);
        reader->clear_calls();
    }
};

// `got` are the tags of `field` from `from` on, in order, each field as the
// tag carries it.
template <class Record>
void expect_tags(const std::vector<Record>& got, const std::vector<qdsim::Tag>& field, std::size_t from = 0)
{
    ASSERT_LE(from + got.size(), field.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        const auto& t = field[from + i];
        const auto& r = got[i];
        ASSERT_EQ(r.status, 1) << "record " << i;
        ASSERT_EQ(qdinv::key_of_record(r), qdinv::key_of_tag(t)) << "record " << i << " is not tag " << from + i;
        EXPECT_EQ(r.tag_word1, t.tag_word1);
        EXPECT_EQ(r.tag_word2, t.tag_word2);
        EXPECT_EQ(r.tag_word3, t.tag_word3);
        EXPECT_EQ(r.tag_count1, t.tag_count1);
        EXPECT_EQ(r.tag_count2, t.tag_count2);
        EXPECT_EQ(r.tag_count3, t.tag_count3);
        EXPECT_EQ(r.tag_value, t.tag_value);
        if constexpr (requires { r.tag_word4; }) {
            EXPECT_EQ(r.tag_word4, t.tag_word4);
            EXPECT_EQ(r.tag_word5, t.tag_word5);
        }
    }
}

// A drain into an array of `capacity`, cut to what was written.
struct Drained {
    int result = 0;
    int unanswered = -1;
    int error = 0;
    std::vector<popped_tag_record> tags;
};

Drained pop_many(reader_handle h, int capacity)
{
    Drained d;
    d.tags.resize(static_cast<std::size_t>(capacity));
    reader_errno = 12345;
    d.result = tagdb_pop_many(h, d.tags.data(), capacity, &d.unanswered);
    d.error = reader_errno;
    d.tags.resize(static_cast<std::size_t>(std::max(d.result, 0)));
    return d;
}

// ---------------------------------------------------------------------------
// Every tag exactly once, in order, whatever the window.

class DrainWindow : public testing::TestWithParam<std::tuple<Transport, int>> {};

TEST_P(DrainWindow, EveryTagOnceInTheReadersOrder)
{
    const auto [transport, window] = GetParam();
    constexpr int tags = 10000;
    Filled f(host, transport, tags);
    ASSERT_NE(f.handle, nullptr);
    ASSERT_EQ(set_pipeline_window(f.handle, window), 0);
    ASSERT_EQ(get_pipeline_window(f.handle), window);

    const Drained d = pop_many(f.handle, tags + 300);
    EXPECT_EQ(d.result, tags);
    EXPECT_EQ(d.error, READER_SUCCESSFUL);
    EXPECT_EQ(d.unanswered, 0);
    // The virtual reader queues a whole window of UDP requests: none is
    // lost and served later, out of its turn.
    expect_tags(d.tags, f.field);
    EXPECT_EQ(f.reader->tagdb_size(), 0u);
    // Past the last tag, at most the calls of one window were out.
    const std::size_t pops = f.reader->count(TAGDB_POP);
    EXPECT_GT(pops, static_cast<std::size_t>(tags));
    EXPECT_LE(pops, static_cast<std::size_t>(tags + window));
    // Nothing failed: the connection was kept.
    EXPECT_EQ(f.reader->count(qdtest::proc_get_hwid), 0u);
}

INSTANTIATE_TEST_SUITE_P(Windows, DrainWindow,
                         testing::Combine(testing::Values(Transport::udp, Transport::tcp),
                                          testing::Values(1, 8, 32, 256)));

// ---------------------------------------------------------------------------
// The same records as tagdb_pop and tagdb_consume one at a time.

class Drain : public testing::TestWithParam<Transport> {};

TEST_P(Drain, WritesWhatOneCallAtATimeWrites)
{
    constexpr int tags = 300;
    Filled f(host, GetParam(), tags);
    ASSERT_NE(f.handle, nullptr);
    ASSERT_EQ(set_pipeline_window(f.handle, 16), 0);
    constexpr uint16_t untouched = 0xEEEE;

    std::vector<popped_tag_record> one_by_one;
    for (;;) {
        popped_tag_record r{};
        std::fill(std::begin(r.id), std::end(r.id), untouched);
        ASSERT_EQ(tagdb_pop(f.handle, &r), 0);
        if (r.status != 1)
            break;
        one_by_one.push_back(r);
    }
    ASSERT_EQ(one_by_one.size(), static_cast<std::size_t>(tags));
    f.refill();
    std::vector<popped_tag_record> many(tags + 1);
    for (auto& r : many)
        std::fill(std::begin(r.id), std::end(r.id), untouched);
    ASSERT_EQ(tagdb_pop_many(f.handle, many.data(), tags + 1, nullptr), tags);
    for (int i = 0; i < tags; ++i)
        ASSERT_EQ(std::memcmp(&one_by_one[i], &many[i], sizeof many[i]), 0) << "record " << i;
    // The answer without a tag is not written.
    EXPECT_EQ(many[tags].id[0], untouched);

    std::vector<tag_record> consumed;
    f.refill();
    for (;;) {
        tag_record r{};
        std::fill(std::begin(r.id), std::end(r.id), untouched);
        ASSERT_EQ(tagdb_consume(f.handle, &r), 0);
        if (r.status != 1)
            break;
        consumed.push_back(r);
    }
    f.refill();
    std::vector<tag_record> consumed_many(tags);
    for (auto& r : consumed_many)
        std::fill(std::begin(r.id), std::end(r.id), untouched);
    int unanswered = -1;
    ASSERT_EQ(tagdb_consume_many(f.handle, consumed_many.data(), tags, &unanswered), tags);
    EXPECT_EQ(unanswered, 0);
    ASSERT_EQ(consumed.size(), consumed_many.size());
    for (int i = 0; i < tags; ++i)
        ASSERT_EQ(std::memcmp(&consumed[i], &consumed_many[i], sizeof consumed[i]), 0) << "record " << i;
    expect_tags(consumed_many, f.field);
}

// An array smaller than the database: no more calls than it holds, the rest
// stays in the reader, and repeated calls stream it out in order.
TEST_P(Drain, TakesNoMoreThanTheArrayHoldsAndGoesOnWhereItStopped)
{
    constexpr int tags = 1000;
    constexpr int capacity = 96;
    Filled f(host, GetParam(), tags);
    ASSERT_NE(f.handle, nullptr);
    ASSERT_EQ(set_pipeline_window(f.handle, 32), 0);

    Drained d = pop_many(f.handle, capacity);
    EXPECT_EQ(d.result, capacity);
    EXPECT_EQ(d.error, READER_SUCCESSFUL);
    EXPECT_EQ(f.reader->requests(TAGDB_POP), static_cast<std::size_t>(capacity));
    EXPECT_EQ(f.reader->tagdb_size(), static_cast<std::size_t>(tags - capacity));
    expect_tags(d.tags, f.field);

    std::size_t from = d.tags.size();
    for (int round = 0; round < tags; ++round) {
        d = pop_many(f.handle, capacity);
        ASSERT_EQ(d.error, READER_SUCCESSFUL);
        expect_tags(d.tags, f.field, from);
        from += d.tags.size();
        if (d.result < capacity)
            break;
    }
    EXPECT_EQ(from, static_cast<std::size_t>(tags));
    EXPECT_EQ(f.reader->tagdb_size(), 0u);
    d = pop_many(f.handle, capacity);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.error, READER_SUCCESSFUL);
}

// An empty database: one answer without a tag, nothing written.
TEST_P(Drain, EmptyDatabaseGivesNothing)
{
    Filled f(host, GetParam(), 0);
    ASSERT_NE(f.handle, nullptr);
    const Drained d = pop_many(f.handle, 50);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.error, READER_SUCCESSFUL);
    EXPECT_EQ(d.unanswered, 0);
}

// The reader drops the connection in the middle of a window: the drain
// returns what arrived, the next operation reconnects and drains the rest.
TEST_P(Drain, ConnectionFailureEndsTheDrainWithWhatArrived)
{
    constexpr int tags = 200;
    constexpr int answered = 20;
    constexpr int window = 8;
    Filled f(host, GetParam(), tags);
    ASSERT_NE(f.handle, nullptr);
    ASSERT_EQ(set_pipeline_window(f.handle, window), 0);
    // UDP: the first half of the reply, which does not decode.
    qdsim::Fault reset;
    reset.kind = FaultKind::reset;
    reset.count = 1;
    reset.after = answered;
    f.reader->inject(TAGDB_POP, reset);

    const Drained d = pop_many(f.handle, tags);
    EXPECT_EQ(d.error, READER_ERROR_REMOTE);
    if (GetParam() == Transport::tcp) {
        // The calls behind it in the window went with the connection.  So
        // may replies sent before it that were not read yet: the reader
        // closes with calls unread, and the reset that follows discards
        // what the client's socket held.  Those count among the unanswered.
        ASSERT_LE(d.result, answered);
        expect_tags(d.tags, f.field);
        EXPECT_GE(d.unanswered, 1);
        EXPECT_LE(d.unanswered, window);
    } else {
        ASSERT_GE(d.result, answered);
        expect_tags(std::vector(d.tags.begin(), d.tags.begin() + answered), f.field);
        // Only that call is lost; the window's others answered after it.
        EXPECT_EQ(d.unanswered, 1);
        expect_tags(std::vector(d.tags.begin() + answered, d.tags.end()), f.field, answered + 1);
    }
    f.reader->clear_calls();
    const Drained rest = pop_many(f.handle, tags);
    EXPECT_EQ(rest.error, READER_SUCCESSFUL);
    EXPECT_EQ(f.reader->tagdb_size(), 0u);
    // Through a new connection.
    EXPECT_EQ(f.reader->count(qdtest::proc_get_hwid), 2u);
    // The half-answered call took its tag, and calls behind it may have
    // taken theirs before the connection went: lost to every client, and
    // counted among the unanswered.
    const int lost = tags - d.result - rest.result;
    EXPECT_GE(lost, 1);
    EXPECT_LE(lost, d.unanswered);
    expect_tags(rest.tags, f.field, static_cast<std::size_t>(tags - rest.result));
}

// An RPC error for one call: the drain stops asking, keeps what the other
// calls of the window bring, and counts the failed call.
TEST_P(Drain, FailedCallEndsTheDrainWithWhatArrived)
{
    constexpr int tags = 100;
    Filled f(host, GetParam(), tags);
    ASSERT_NE(f.handle, nullptr);
    ASSERT_EQ(set_pipeline_window(f.handle, 8), 0);
    qdsim::Fault fault = qdtest::error_reply(1);
    fault.after = 30;
    f.reader->inject(TAGDB_POP, fault);

    const Drained d = pop_many(f.handle, tags);
    EXPECT_EQ(d.error, READER_ERROR_REMOTE);
    EXPECT_EQ(d.unanswered, 1);
    // The failed call took no tag; the window's others after it did.
    ASSERT_GE(d.result, 30);
    expect_tags(d.tags, f.field);
    EXPECT_EQ(f.reader->tagdb_size(), static_cast<std::size_t>(tags - d.result));
}

// Replies with foreign transaction ids and replies that come twice change
// nothing.
class DrainStrayReplies : public testing::TestWithParam<std::tuple<Transport, FaultKind>> {};

TEST_P(DrainStrayReplies, ChangeNothing)
{
    const auto [transport, kind] = GetParam();
    constexpr int tags = 500;
    Filled f(host, transport, tags);
    ASSERT_NE(f.handle, nullptr);
    ASSERT_EQ(set_pipeline_window(f.handle, 8), 0);
    qdsim::Fault fault;
    fault.kind = kind;
    f.reader->inject(TAGDB_POP, fault);

    const Drained d = pop_many(f.handle, tags + 50);
    EXPECT_EQ(d.result, tags);
    EXPECT_EQ(d.error, READER_SUCCESSFUL);
    EXPECT_EQ(d.unanswered, 0);
    expect_tags(d.tags, f.field);
    EXPECT_EQ(f.reader->count(qdtest::proc_get_hwid), 0u);

    // The connection still carries single calls (TCP: the stray records
    // left in the stream are skipped).
    f.reader->clear_faults();
    f.refill();
    popped_tag_record r{};
    ASSERT_EQ(tagdb_pop(f.handle, &r), 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(qdinv::key_of_record(r), qdinv::key_of_tag(f.field[0]));
    const Drained rest = pop_many(f.handle, tags);
    EXPECT_EQ(rest.result, tags - 1);
    expect_tags(rest.tags, f.field, 1);
    EXPECT_EQ(f.reader->count(qdtest::proc_get_hwid), 0u);
}

INSTANTIATE_TEST_SUITE_P(Faults, DrainStrayReplies,
                         testing::Combine(testing::Values(Transport::udp, Transport::tcp),
                                          testing::Values(FaultKind::wrong_xid, FaultKind::duplicate_reply)));

// The handle closed by another thread while calls are in flight: the drain
// ends at once, with what it had, as a bad handle.
TEST_P(Drain, ReaderClosedMeanwhileEndsTheDrain)
{
    constexpr int tags = 100;
    constexpr int answered = 10;
    Filled f(host, GetParam(), tags);
    ASSERT_NE(f.handle, nullptr);
    ASSERT_EQ(set_pipeline_window(f.handle, 8), 0);
    qdsim::Fault drop;
    drop.kind = FaultKind::drop;
    drop.after = answered;
    f.reader->inject(TAGDB_POP, drop);

    Drained d;
    std::thread drainer([&] { d = pop_many(f.handle, tags); });
    while (f.reader->requests(TAGDB_POP) < answered + 8)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    close_reader(f.handle);
    drainer.join();
    f.handle = nullptr;
    // A drain that waited for its calls' time-out would report -102.
    EXPECT_EQ(d.error, READER_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(d.result, answered);
    EXPECT_EQ(d.unanswered, 8);
    expect_tags(d.tags, f.field);
}

TEST_P(Drain, WindowDefaultsToTheTransports)
{
    Filled f(host, GetParam(), 0);
    ASSERT_NE(f.handle, nullptr);
    EXPECT_EQ(get_pipeline_window(f.handle), GetParam() == Transport::tcp ? 32 : 8);
    EXPECT_EQ(set_pipeline_window(f.handle, 1), 0);
    EXPECT_EQ(get_pipeline_window(f.handle), 1);
    EXPECT_EQ(set_pipeline_window(f.handle, 256), 0);
    EXPECT_EQ(get_pipeline_window(f.handle), 256);
}

INSTANTIATE_TEST_SUITE_P(Transports, Drain, testing::Values(Transport::udp, Transport::tcp));

// ---------------------------------------------------------------------------
// Bad arguments: -1 with -100, and nothing changes.

TEST(DrainArguments, AreRefused)
{
    Filled f(host, Transport::udp, 10);
    ASSERT_NE(f.handle, nullptr);
    ASSERT_EQ(set_pipeline_window(f.handle, 5), 0);
    for (const int window : {0, -1, 257, 1 << 30}) {
        reader_errno = 0;
        EXPECT_EQ(set_pipeline_window(f.handle, window), -1) << window;
        EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS) << window;
        EXPECT_EQ(get_pipeline_window(f.handle), 5) << window;
    }
    popped_tag_record popped[4]{};
    tag_record consumed[4]{};
    const reader_handle bad[] = {nullptr, qdinv::bogus_handle()};
    for (const reader_handle h : bad) {
        struct {
            const char* name;
            std::function<int()> call;
        } const calls[] = {
            {"tagdb_pop_many", [&] { return tagdb_pop_many(h, popped, 4, nullptr); }},
            {"tagdb_consume_many", [&] { return tagdb_consume_many(h, consumed, 4, nullptr); }},
            {"set_pipeline_window", [&] { return set_pipeline_window(h, 8); }},
            {"get_pipeline_window", [&] { return get_pipeline_window(h); }},
        };
        for (const auto& c : calls) {
            reader_errno = 0;
            EXPECT_EQ(c.call(), -1) << c.name;
            EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS) << c.name;
        }
    }
    int unanswered = -1;
    reader_errno = 0;
    EXPECT_EQ(tagdb_pop_many(f.handle, nullptr, 4, &unanswered), -1);
    EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(unanswered, 0);
    reader_errno = 0;
    EXPECT_EQ(tagdb_consume_many(f.handle, nullptr, 4, nullptr), -1);
    EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
    reader_errno = 0;
    EXPECT_EQ(tagdb_pop_many(f.handle, popped, -1, nullptr), -1);
    EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
    // No room: no call at all.
    EXPECT_EQ(tagdb_pop_many(f.handle, popped, 0, nullptr), 0);
    EXPECT_EQ(f.reader->requests(TAGDB_POP), 0u);
    EXPECT_EQ(f.reader->tagdb_size(), 10u);
}

// ---------------------------------------------------------------------------
// The reader stops answering with calls in flight: every call ends at its
// own time-out (25 s), so both transports run at once.

TEST(DrainTimeout, ReaderThatStopsAnsweringEndsTheDrainWithWhatArrived)
{
    constexpr int tags = 100;
    constexpr int answered = 40;
    constexpr int window = 8;
    struct Side {
        Transport transport;
        const char* address;
        std::unique_ptr<Filled> f;
        Drained d;
    } sides[] = {{Transport::udp, host_udp, nullptr, {}}, {Transport::tcp, host_tcp, nullptr, {}}};
    for (auto& s : sides) {
        s.f = std::make_unique<Filled>(s.address, s.transport, tags);
        ASSERT_NE(s.f->handle, nullptr);
        ASSERT_EQ(set_pipeline_window(s.f->handle, window), 0);
        qdsim::Fault drop;
        drop.kind = FaultKind::drop;   // the call is not carried out: no tag taken
        drop.after = answered;
        s.f->reader->inject(TAGDB_POP, drop);
    }
    std::vector<std::thread> drains;
    for (auto& s : sides) {
        drains.emplace_back([&s] {
            s.d.tags.resize(tags);
            s.d.result = tagdb_pop_many(s.f->handle, s.d.tags.data(), tags, &s.d.unanswered);
            s.d.tags.resize(static_cast<std::size_t>(std::max(s.d.result, 0)));
        });
    }
    for (auto& t : drains)
        t.join();
    EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);   // shared by both threads
    for (auto& s : sides) {
        SCOPED_TRACE(s.transport == Transport::tcp ? "tcp" : "udp");
        EXPECT_EQ(s.d.result, answered);
        EXPECT_EQ(s.d.unanswered, window);
        expect_tags(s.d.tags, s.f->field);
        EXPECT_EQ(s.f->reader->tagdb_size(), static_cast<std::size_t>(tags - answered));
        // The reader answers again: a new connection drains the rest.
        s.f->reader->clear_faults();
        qdtest::Switch tcp(use_tcp, s.transport == Transport::tcp ? 1 : 0);
        const Drained rest = pop_many(s.f->handle, tags);
        EXPECT_EQ(rest.error, READER_SUCCESSFUL);
        EXPECT_EQ(rest.result, tags - answered);
        expect_tags(rest.tags, s.f->field, answered);
    }
}

// ---------------------------------------------------------------------------
// UDP replies out of order: a relay between the library and the reader
// passes the requests on and sends each pair of replies back reversed.

class ReorderingRelay {
public:
    // Relays `ports` of relay_host to the same ports of `reader`.
    ReorderingRelay(const std::string& reader, const std::vector<uint16_t>& ports, uint16_t reordered)
        : reordered_(reordered)
    {
        for (const uint16_t port : ports) {
            Path p;
            p.port = port;
            p.front = bound_socket(relay_host, port);
            p.back = bound_socket("127.0.15.4", 0);
            sockaddr_in to = address_of(reader, port);
            if (connect(p.back, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
                ADD_FAILURE() << "relay connect";
            paths_.push_back(p);
        }
        thread_ = std::thread([this] { run(); });
    }
    ~ReorderingRelay()
    {
        stop_ = true;
        thread_.join();
        for (const auto& p : paths_) {
            close(p.front);
            close(p.back);
        }
    }
    ReorderingRelay(const ReorderingRelay&) = delete;
    ReorderingRelay& operator=(const ReorderingRelay&) = delete;

    std::size_t reversed() const { return reversed_; }

private:
    struct Path {
        uint16_t port = 0;
        int front = -1;   // the library's side
        int back = -1;    // the reader's side
        sockaddr_in client{};
    };

    static sockaddr_in address_of(const std::string& ip, uint16_t port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
        return a;
    }
    static int bound_socket(const std::string& ip, uint16_t port)
    {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = address_of(ip, port);
        if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
            ADD_FAILURE() << "relay socket on " << ip << ":" << port;
        return fd;
    }

    void run()
    {
        std::vector<char> held;   // a reply waiting for the next one
        while (!stop_) {
            std::vector<pollfd> fds;
            for (const auto& p : paths_) {
                fds.push_back({p.front, POLLIN, 0});
                fds.push_back({p.back, POLLIN, 0});
            }
            // A lone reply (the initial queries come one at a time) goes on
            // after a moment without a partner.
            const int n = poll(fds.data(), fds.size(), 5);
            if (n == 0 && !held.empty()) {
                send_back(reordered_path(), held);
                held.clear();
            }
            if (n <= 0)
                continue;
            for (std::size_t i = 0; i < paths_.size(); ++i) {
                Path& p = paths_[i];
                char buffer[9000];
                if (fds[2 * i].revents & POLLIN) {
                    socklen_t length = sizeof p.client;
                    const ssize_t got = recvfrom(p.front, buffer, sizeof buffer, 0,
                                                 reinterpret_cast<sockaddr*>(&p.client), &length);
                    if (got > 0)
                        (void)send(p.back, buffer, static_cast<std::size_t>(got), 0);
                }
                if (fds[2 * i + 1].revents & POLLIN) {
                    const ssize_t got = recv(p.back, buffer, sizeof buffer, 0);
                    if (got <= 0)
                        continue;
                    std::vector<char> reply(buffer, buffer + got);
                    if (p.port != reordered_) {
                        send_back(p, reply);
                    } else if (held.empty()) {
                        held = std::move(reply);
                    } else {
                        send_back(p, reply);
                        send_back(p, held);
                        held.clear();
                        ++reversed_;
                    }
                }
            }
        }
    }
    Path& reordered_path()
    {
        for (auto& p : paths_)
            if (p.port == reordered_)
                return p;
        return paths_.front();
    }
    static void send_back(const Path& p, const std::vector<char>& bytes)
    {
        (void)sendto(p.front, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&p.client),
                     sizeof p.client);
    }

    uint16_t reordered_;
    std::vector<Path> paths_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> reversed_{0};
};

TEST(DrainUdp, RepliesOutOfOrderChangeNothing)
{
    constexpr int tags = 2000;
    auto reader = qdtest::start_reader(host);
    reader->add_random_tags(tags, 11);
    const auto field = reader->tags();
    const uint16_t port = reader->port(Transport::udp);
    ReorderingRelay relay(host, {111, port}, port);
    qdtest::Switch udp(use_tcp, 0);
    const reader_handle h = open_reader(relay_host);
    ASSERT_NE(h, nullptr);
    qdinv::run_search(h);
    ASSERT_EQ(set_pipeline_window(h, 8), 0);
    reader->clear_calls();

    const Drained d = pop_many(h, tags + 10);
    close_reader(h);
    EXPECT_EQ(d.result, tags);
    EXPECT_EQ(d.error, READER_SUCCESSFUL);
    expect_tags(d.tags, field);
    EXPECT_EQ(reader->tagdb_size(), 0u);
    // Replies did come reversed, and no request went out twice.
    EXPECT_GT(relay.reversed(), static_cast<std::size_t>(tags / 4));
    EXPECT_EQ(reader->requests(TAGDB_POP), reader->count(TAGDB_POP));
}

}  // namespace
