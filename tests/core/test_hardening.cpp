// A reader that misbehaves on purpose, as a broken one or an attacker on the
// same network would: every call still ends within the library's time-out
// with the operation's failure value or its answer, the connection heals,
// memory stays bounded and nothing leaks.
//
// One table: transport x misbehaviour x kind of operation.  Each row runs in
// a process of its own (the library's switches and reader_errno are
// process-wide), many at once, since most of the rows wait for a time-out;
// the whole table takes about as long as its slowest rows.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qdapi.h"
#include "support.h"
#include "tag_memory.h"
#include "virtual_reader.h"
#include "wire.h"

#if defined(__SANITIZE_ADDRESS__)
#define QD_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QD_ASAN 1
#endif
#endif
#ifdef QD_ASAN
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using namespace std::chrono_literals;
using qdsim::FaultKind;
using qdsim::Transport;
using Clock = std::chrono::steady_clock;

// The library's time-out of one call, and what a loaded machine (two
// shared cores, sanitizers) may add to it.
constexpr auto call_timeout = 25s;
constexpr auto margin = 20s;
// A process of its own may not grow past this, sanitizer shadow included;
// an unbounded decoding took gigabytes.
constexpr long max_resident_kib = 768 * 1024;

enum class Op { open, scalar, drain, tag_read };

const char* name_of(Op op)
{
    switch (op) {
    case Op::open: return "open";
    case Op::scalar: return "tags_available";
    case Op::drain: return "tagdb_pop";
    case Op::tag_read: return "tagdata_read";
    }
    return "?";
}

uint32_t procedure_of(Op op)
{
    switch (op) {
    case Op::open: return GET_HWID;
    case Op::scalar: return TAGS_AVAILABLE;
    case Op::drain: return TAGDB_POP;
    case Op::tag_read: return TAGDATA_READ;
    }
    return 0;
}

struct Row {
    Transport transport;
    FaultKind kind;
    Op op;
    std::chrono::milliseconds pace{0};
};

// What a caller is to see.
enum class Expect {
    answer,          // the operation's answer
    failure,         // its failure value, reader_errno -102, quickly
    timeout,         // its failure value, reader_errno -102, at the time-out
    next_times_out,  // the answer; the next call on the connection fails at its time-out
};

Expect expected(const Row& row)
{
    const bool tcp = row.transport == Transport::tcp;
    switch (row.kind) {
    case FaultKind::wrong_xid:
    case FaultKind::duplicate_reply:
    case FaultKind::fragments:
    case FaultKind::pause:
        return Expect::answer;
    case FaultKind::wrong_xid_stream:
    case FaultKind::trickle:
        return Expect::timeout;
    case FaultKind::endless_record:
        // Opening makes a second call on the connection itself.
        if (!tcp)
            return Expect::failure;
        return row.op == Op::open ? Expect::timeout : Expect::next_times_out;
    case FaultKind::oversized_length:
        // Only the hardware text has a length to lie about; without one, a
        // TCP record mark promises more than ever comes.
        return tcp && row.op != Op::open ? Expect::timeout : Expect::failure;
    default:
        return Expect::failure;
    }
}

// What one row saw, sent from its process to the test's.
struct Seen {
    bool ran = false;
    bool answered = false;      // the operation gave its answer
    int error = 0;              // reader_errno after a failure
    long ms = 0;                // how long the operation took
    bool next_failed_in_time = true;
    long next_ms = 0;
    bool healed = false;        // a later operation worked
    std::size_t requests = 0;   // requests of the procedure at the reader
    std::size_t carried_out = 0;
    long resident_kib = 0;
    int leaks = 0;
    char note[160] = {};
};

std::string address_of(int index) { return "127.0.14." + std::to_string(10 + index); }

long ms_since(Clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A plain search run to completion, so that the tag database has tags.
bool fill_tag_database(reader_handle h)
{
    search_params params{};
    const int id = search_start(h, &params);
    if (id == -1)
        return false;
    for (int i = 0; i < 2000; ++i) {
        const int status = operation_status(h, id);
        if (status != READER_OPERATION_WAITING_TO_RUN && status != READER_OPERATION_IN_PROGRESS)
            return status == READER_OPERATION_DONE;
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

tagop_record read_request(const qdsim::Tag& tag)
{
    tagop_record r{};
    r.id_bits = tag.id_bits;
    for (std::size_t i = 0; i < 16 && i < tag.id.size(); ++i)
        r.id[i] = tag.id[i];
    r.op_word1 = qdsim::tagmem::area_user;
    r.op_word19 = 0;
    r.op_word20 = 4;
    return r;
}

// The operation of a row on an open handle: true when it gave its answer.
bool operate(Op op, reader_handle h, const qdsim::Tag& tag)
{
    switch (op) {
    case Op::open:
        return true;
    case Op::scalar:
        return tags_available(h, 0) >= 0;
    case Op::drain: {
        popped_tag_record record{};
        return tagdb_pop(h, &record) == 0 && record.status == 1;
    }
    case Op::tag_read: {
        tagop_record r = read_request(tag);
        return tagdata_read(h, &r) == 0;
    }
    }
    return false;
}

Seen run_row(const Row& row, const std::string& address)
{
    Seen seen;
    seen.ran = true;
    use_tcp = row.transport == Transport::tcp ? 1 : 0;
    qdsim::Options options;
    options.address = address;
    options.search_duration = 1ms;
    qdsim::Tag tag;
    tag.id_bits = 96;
    tag.id = {0x3000, 0x1111, 0x2222, 0x3333, 0x4444, 0x5555};
    tag.memory[qdsim::tagmem::area_user] = {1, 2, 3, 4};
    options.tags.push_back(tag);
    {
        qdsim::VirtualReader reader(options);
        reader.add_random_tags(20, 7);
        reader.start();
        reader_handle h = nullptr;
        if (row.op != Op::open) {
            h = open_reader(address.c_str());
            if (!h || ((row.op == Op::drain) && !fill_tag_database(h))) {
                std::snprintf(seen.note, sizeof seen.note, "setting up failed, reader_errno %d", reader_errno);
                return seen;
            }
        }
        const uint32_t proc = procedure_of(row.op);
        const std::size_t requests_before = reader.requests(proc);
        const std::size_t calls_before = reader.count(proc);
        reader.inject(proc, qdsim::Fault{row.kind, 1, row.pace});

        reader_errno = 0;
        auto started = Clock::now();
        if (row.op == Op::open) {
            h = open_reader(address.c_str());
            seen.answered = h != nullptr;
        } else {
            seen.answered = operate(row.op, h, tag);
        }
        seen.ms = ms_since(started);
        seen.error = reader_errno;
        seen.requests = reader.requests(proc) - requests_before;
        seen.carried_out = reader.count(proc) - calls_before;

        if (h && expected(row) == Expect::next_times_out) {
            started = Clock::now();
            seen.next_failed_in_time = tags_available(h, 0) == -1 && reader_errno == READER_ERROR_REMOTE;
            seen.next_ms = ms_since(started);
        }
        // The reader behaves again: the connection heals.
        if (!h)
            h = open_reader(address.c_str());
        seen.healed = h && tags_available(h, 0) >= 0;
        if (h)
            close_reader(h);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    seen.resident_kib = usage.ru_maxrss;
#ifdef QD_ASAN
    seen.leaks = __lsan_do_recoverable_leak_check();
#endif
    return seen;
}

// Runs every row in a process of its own, `parallel` at a time.
template <class Job>
std::vector<Seen> run_forked(std::size_t rows, std::size_t parallel, Job job)
{
    std::vector<Seen> results(rows);
    struct Child {
        pid_t pid;
        int fd;
        std::size_t row;
    };
    std::vector<Child> running;
    auto reap = [&](Child c) {
        Seen s;
        std::size_t got = 0;
        while (got < sizeof s) {
            const ssize_t n = read(c.fd, reinterpret_cast<char*>(&s) + got, sizeof s - got);
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        close(c.fd);
        int status = 0;
        waitpid(c.pid, &status, 0);
        if (got == sizeof s)
            results[c.row] = s;
        else
            std::snprintf(results[c.row].note, sizeof results[c.row].note, "the row's process ended with status %d",
                          status);
    };
    for (std::size_t i = 0; i < rows; ++i) {
        if (running.size() >= parallel) {
            reap(running.front());
            running.erase(running.begin());
        }
        int fds[2];
        if (pipe(fds) != 0)
            break;
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            alarm(180);   // a row that hangs ends here, and fails
            const Seen s = job(i);
            [[maybe_unused]] ssize_t n = write(fds[1], &s, sizeof s);
            _exit(0);
        }
        close(fds[1]);
        running.push_back(Child{pid, fds[0], i});
    }
    for (const Child& c : running)
        reap(c);
    return results;
}

std::string describe(const Row& row)
{
    return std::string(row.transport == Transport::tcp ? "tcp" : "udp") + " " + qdsim::fault_name(row.kind) + " " +
           name_of(row.op);
}

TEST(Hardening, EveryMisbehaviourEndsInTimeWithTheFailureValueOrTheAnswer)
{
    std::vector<Row> rows;
    for (Transport t : {Transport::udp, Transport::tcp})
        for (Op op : {Op::open, Op::scalar, Op::drain, Op::tag_read}) {
            rows.push_back({t, FaultKind::wrong_xid, op, 300ms});
            rows.push_back({t, FaultKind::wrong_xid_stream, op, 1000ms});
            rows.push_back({t, FaultKind::duplicate_reply, op});
            rows.push_back({t, FaultKind::trickle, op, 1000ms});
            rows.push_back({t, FaultKind::fragments, op});
            rows.push_back({t, FaultKind::endless_record, op, 1000ms});
            rows.push_back({t, FaultKind::oversized_length, op});
            rows.push_back({t, FaultKind::reset, op});
            rows.push_back({t, FaultKind::pause, op, 4000ms});
        }
    // QD_HARDENING_ROW=N runs row N alone, in this process (for a debugger).
    if (const char* only = std::getenv("QD_HARDENING_ROW")) {
        const auto i = static_cast<std::size_t>(std::atoi(only));
        ASSERT_LT(i, rows.size());
        const Seen s = run_row(rows[i], address_of(int(i)));
        std::printf("%s: answered %d error %d %ld ms requests %zu note %s\n", describe(rows[i]).c_str(), s.answered,
                    s.error, s.ms, s.requests, s.note);
        return;
    }
    const auto seen = run_forked(rows.size(), 16, [&](std::size_t i) { return run_row(rows[i], address_of(int(i))); });

    const long deadline_ms = std::chrono::duration_cast<std::chrono::milliseconds>(call_timeout + margin).count();
    const long timeout_ms = std::chrono::duration_cast<std::chrono::milliseconds>(call_timeout).count();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        const Seen& s = seen[i];
        SCOPED_TRACE(describe(row));
        ASSERT_TRUE(s.ran) << s.note;
        const Expect e = expected(row);
        EXPECT_LT(s.ms, deadline_ms) << "the operation outlived its time-out";
        if (e == Expect::answer || e == Expect::next_times_out) {
            EXPECT_TRUE(s.answered) << "reader_errno " << s.error;
        } else {
            EXPECT_FALSE(s.answered);
            EXPECT_EQ(s.error, READER_ERROR_REMOTE);
        }
        if (e == Expect::timeout) {
            EXPECT_GE(s.ms, timeout_ms - 1000) << "ended before its time-out: something not its own ended it";
        }
        if (e == Expect::failure) {
            EXPECT_LT(s.ms, timeout_ms - 5000) << "a broken answer should fail the call at once";
        }
        if (e == Expect::next_times_out) {
            EXPECT_TRUE(s.next_failed_in_time);
            EXPECT_LT(s.next_ms, deadline_ms);
        }
        if (row.transport == Transport::udp && row.kind != FaultKind::pause && row.op != Op::open) {
            // Answers that are not the call's own neither make the request go
            // out again before the retransmission interval nor end the call.
            const std::size_t most = e == Expect::timeout ? 9 : 1;
            EXPECT_LE(s.requests, most) << "the request went out again too soon";
        }
        if (row.op != Op::open) {
            EXPECT_EQ(s.carried_out, 1u) << "the reader carried the call out more or less than once";
        }
        EXPECT_TRUE(s.healed) << "the reader works again, so should the handle";
        EXPECT_LT(s.resident_kib, max_resident_kib);
        EXPECT_EQ(s.leaks, 0);
    }
}

// A reader that pauses in a UDP drain: the library sends its request again
// while the reader is still busy with it.  A reader with a duplicate-request
// cache answers the repeated request with the first reply, so no tag is
// lost; one without carries it out again and pops a tag that no call returns.
Seen drain_with_pauses(const std::string& address, bool cache)
{
    Seen seen;
    seen.ran = true;
    qdsim::Options options;
    options.address = address;
    options.search_duration = 1ms;
    options.reply_cache = cache;
    qdsim::VirtualReader reader(options);
    reader.add_random_tags(300, 11);
    reader.start();
    reader_handle h = open_reader(address.c_str());
    if (!h || !fill_tag_database(h))
        return seen;
    std::set<std::vector<uint16_t>> tags;
    popped_tag_record record{};
    for (int i = 0;; ++i) {
        if (i == 40)
            reader.inject(TAGDB_POP, qdsim::Fault{FaultKind::pause, 1, 4000ms});
        if (i == 200)
            reader.inject(TAGDB_POP, qdsim::Fault{FaultKind::pause, 1, 7000ms});
        if (tagdb_pop(h, &record) != 0 || record.status != 1)
            break;
        tags.insert(std::vector<uint16_t>(record.id, record.id + 6));
    }
    seen.carried_out = tags.size();
    seen.healed = record.status != 1;   // the drain ended at an empty database
    close_reader(h);
    return seen;
}

TEST(Hardening, UdpDrainThroughPausesLosesNoTagWithTheReplyCache)
{
    const auto seen = run_forked(2, 2, [](std::size_t i) { return drain_with_pauses(address_of(200 + int(i)), i == 0); });
    ASSERT_TRUE(seen[0].ran);
    EXPECT_TRUE(seen[0].healed) << "the drain ended on a failed call";
    EXPECT_EQ(seen[0].carried_out, 300u) << "tags lost with the reply cache on";
    ASSERT_TRUE(seen[1].ran);
    EXPECT_LT(seen[1].carried_out, 300u) << "without the cache the repeated requests should have cost tags";
}

}  // namespace
