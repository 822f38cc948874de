// Tag operations from several threads at once on one reader: every thread
// reads back exactly what it wrote to its own tag, results of the shared
// worker and of tagdata_read do not cross between threads, every request
// reaches the reader whole, and calls that fail under the other threads'
// feet leave them working.  Virtual reader at 127.0.0.66.
#include <atomic>
#include <cstring>
#include <set>
#include <thread>

#include "inventory_support.h"
#include "tag_memory.h"

namespace {

namespace tagmem = qdsim::tagmem;

const char* const host = "127.0.0.66";
constexpr int threads = 4;
constexpr int rounds = 60;

qdsim::Tag tag_of_thread(int t) { return qdinv::tag_with_identity(96, static_cast<uint16_t>(0x1000 * (t + 1))); }

// The words thread t writes in round i.
std::vector<uint16_t> words_of(int t, int i, std::size_t n)
{
    std::vector<uint16_t> w(n);
    for (std::size_t k = 0; k < n; ++k)
        w[k] = static_cast<uint16_t>((t << 12) ^ (i << 4) ^ static_cast<int>(k));
    return w;
}

struct Outcome {
    int mismatches = 0;
    int failures = 0;
    std::string first_problem;
    void note(const std::string& what)
    {
        if (first_problem.empty())
            first_problem = what;
    }
};

// Round i: write a block of words at a place of its own, read it back.
Outcome write_and_read_back(reader_handle h, int t)
{
    Outcome out;
    const qdsim::Tag tag = tag_of_thread(t);
    for (int i = 0; i < rounds; ++i) {
        const std::size_t n = 1 + static_cast<std::size_t>((i * 7 + t) % 64);
        const uint16_t first = static_cast<uint16_t>((i * 13) % 900);
        const auto words = words_of(t, i, n);

        tagop_record w = qdinv::addressing(tag);
        w.op_word1 = tagmem::area_user;
        w.op_word19 = first;
        w.data_bits = static_cast<uint16_t>(16 * n);
        std::copy(words.begin(), words.end(), w.data);
        if (tagdata_write(h, &w) != 0) {
            ++out.failures;
            out.note("write failed in round " + std::to_string(i));
            continue;
        }

        tagop_record r = qdinv::addressing(tag);
        std::fill(std::begin(r.data), std::end(r.data), uint16_t{0xEEEE});
        r.op_word1 = tagmem::area_user;
        r.op_word19 = first;
        r.op_word20 = static_cast<uint16_t>(n);
        if (tagdata_read(h, &r) != 0) {
            ++out.failures;
            out.note("read failed in round " + std::to_string(i));
            continue;
        }
        bool same = r.data_bits == 16 * n && r.op_word19 == first && r.op_word20 == n;
        for (std::size_t k = 0; k < n; ++k)
            same = same && r.data[k] == words[k];
        for (std::size_t k = n; k < 1024; ++k)
            same = same && r.data[k] == 0xEEEE;
        if (!same) {
            ++out.mismatches;
            out.note("round " + std::to_string(i) + " read back other data");
        }
    }
    return out;
}

class ReadBack : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(ReadBack, EachThreadReadsBackWhatItWroteToItsOwnTag)
{
    const bool shared_handle = std::get<0>(GetParam());
    auto reader = qdtest::start_reader(host);
    for (int t = 0; t < threads; ++t)
        reader->add_tag(tag_of_thread(t));
    qdtest::Switch transport(use_tcp, std::get<1>(GetParam()) ? 1 : 0);
    qdtest::Handles handles;
    for (int t = 0; t < (shared_handle ? 1 : threads); ++t) {
        reader_handle h = open_reader(host);
        ASSERT_NE(h, nullptr);
        handles.add(h);
    }

    std::vector<Outcome> outcomes(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] { outcomes[t] = write_and_read_back(handles[shared_handle ? 0 : t], t); });
    for (auto& w : workers)
        w.join();
    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ(outcomes[t].failures, 0) << "thread " << t << ": " << outcomes[t].first_problem;
        EXPECT_EQ(outcomes[t].mismatches, 0) << "thread " << t << ": " << outcomes[t].first_problem;
    }
    EXPECT_EQ(reader->count(TAGDATA_WRITE), std::size_t{threads * rounds});
    EXPECT_EQ(reader->count(TAGDATA_READ), std::size_t{threads * rounds});
}

INSTANTIATE_TEST_SUITE_P(Handles, ReadBack, ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "shared_handle" : "handle_each") +
                                    (std::get<1>(info.param) ? "_tcp" : "_udp");
                         });

// Four threads on one handle, each with an operation whose answer differs
// from the others': the answers never cross.
TEST(TagOpAnswers, ResultsOfConcurrentOperationsDoNotCross)
{
    auto reader = qdtest::start_reader(host);
    for (int t = 0; t < threads; ++t)
        reader->add_tag(tag_of_thread(t));
    reader_handle h = open_reader(host);
    ASSERT_NE(h, nullptr);
    {
        // Thread 3's tag holds known words to read.
        tagop_record w = qdinv::addressing(tag_of_thread(3));
        w.op_word1 = tagmem::area_tid;
        w.data_bits = 16 * 8;
        const auto words = words_of(3, 0, 8);
        std::copy(words.begin(), words.end(), w.data);
        ASSERT_EQ(tagdata_write(h, &w), 0);
    }

    std::vector<int> wrong(threads, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < rounds * 2; ++i) {
                switch (t) {
                case 0: {   // wrong password: refused
                    tagop_record r = qdinv::addressing(tag_of_thread(0));
                    r.op_word20 = 1;
                    wrong[t] += tag_kill(h, &r) != READER_ERROR_REMOTE;
                    break;
                }
                case 1: {   // a write that succeeds
                    tagop_record r = qdinv::addressing(tag_of_thread(1));
                    r.op_word1 = tagmem::area_user;
                    r.data_bits = 16;
                    r.data[0] = static_cast<uint16_t>(i);
                    wrong[t] += tagdata_write(h, &r) != 0;
                    break;
                }
                case 2: {   // a tag that is not there: refused read, record untouched
                    tagop_record r = qdinv::addressing(qdinv::tag_with_identity(96, 0x7777));
                    r.op_word20 = 4;
                    std::fill(std::begin(r.data), std::end(r.data), uint16_t{0x1234});
                    const tagop_record before = r;
                    wrong[t] += tagdata_read(h, &r) != READER_ERROR_REMOTE;
                    wrong[t] += std::memcmp(&r, &before, sizeof r) != 0;
                    break;
                }
                case 3: {   // a read that succeeds with known words
                    tagop_record r = qdinv::addressing(tag_of_thread(3));
                    r.op_word1 = tagmem::area_tid;
                    r.op_word20 = 8;
                    wrong[t] += tagdata_read(h, &r) != 0;
                    const auto words = words_of(3, 0, 8);
                    wrong[t] += r.data_bits != 128 || !std::equal(words.begin(), words.end(), r.data);
                    break;
                }
                }
            }
        });
    for (auto& w : workers)
        w.join();
    for (int t = 0; t < threads; ++t)
        EXPECT_EQ(wrong[t], 0) << "thread " << t << " got answers that were not its own";
    EXPECT_FALSE(reader->tags()[0].killed);
    close_reader(h);
}

// Every request of every thread reaches the reader whole: all 1024 data
// words and the identity, whatever data_bits says.
TEST(TagOpRequests, EveryRequestArrivesWhole)
{
    auto reader = qdtest::start_reader(host);
    reader_handle h = open_reader(host);
    ASSERT_NE(h, nullptr);
    reader->clear_calls();

    using Worker = int (*)(reader_handle, const tagop_record*);
    const Worker worker_ops[] = {tagid_write, tagid_lock, tag_kill, tag_passwd, tagdata_write, tagdata_lock};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < rounds; ++i) {
                tagop_record r{};
                r.id_bits = static_cast<uint16_t>(t);
                r.op_word1 = static_cast<uint16_t>(i);
                r.data_bits = 1;
                for (int k = 0; k < 16; ++k)
                    r.id[k] = static_cast<uint16_t>(t * 100 + i);
                for (int k = 0; k < 1024; ++k)
                    r.data[k] = static_cast<uint16_t>(t * 100 + i);
                if (i % 7 == 0)
                    tagdata_read(h, &r);
                else
                    worker_ops[i % 6](h, &r);
            }
        });
    for (auto& w : workers)
        w.join();

    std::multiset<std::pair<int, int>> arrived;
    for (const auto& call : reader->calls()) {
        ASSERT_GE(call.proc, uint32_t{TAGID_WRITE});
        ASSERT_LE(call.proc, uint32_t{TAGDATA_LOCK});
        qdsim::Decoded<wire::tagop_request> r(call, qdinv::filter_of_tagop_request());
        ASSERT_TRUE(r.ok());
        const uint16_t marker = r->data[0];
        int differing = 0;
        for (int k = 0; k < 16; ++k)
            differing += r->id[k] != marker;
        for (int k = 0; k < 1024; ++k)
            differing += r->data[k] != marker;
        EXPECT_EQ(differing, 0) << "a request mixed with another";
        EXPECT_EQ(marker, r->id_bits * 100 + r->op_word1);
        arrived.insert({r->id_bits, r->op_word1});
    }
    std::multiset<std::pair<int, int>> sent;
    for (int t = 0; t < threads; ++t)
        for (int i = 0; i < rounds; ++i)
            sent.insert({t, i});
    EXPECT_EQ(arrived, sent);
    close_reader(h);
}

// Calls failing now and then while four threads work through one handle:
// the failed ones report -102, the others carry on, and every thread's
// later calls work again.
TEST(TagOpFailures, FailedCallsUnderOtherThreadsLeaveThemWorking)
{
    auto reader = qdtest::start_reader(host);
    for (int t = 0; t < threads; ++t)
        reader->add_tag(tag_of_thread(t));
    reader_handle h = open_reader(host);
    ASSERT_NE(h, nullptr);
    reader->inject(TAGDATA_READ, qdtest::error_reply(5));
    reader->inject(TAGDATA_WRITE, qdtest::error_reply(5));

    std::vector<Outcome> outcomes(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] { outcomes[t] = write_and_read_back(h, t); });
    for (auto& w : workers)
        w.join();
    int failures = 0;
    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ(outcomes[t].mismatches, 0) << "thread " << t << ": " << outcomes[t].first_problem;
        failures += outcomes[t].failures;
    }
    EXPECT_EQ(failures, 10);

    // Afterwards every thread's operations work.
    std::vector<Outcome> after(threads);
    workers.clear();
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] { after[t] = write_and_read_back(h, t); });
    for (auto& w : workers)
        w.join();
    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ(after[t].failures, 0) << "thread " << t << ": " << after[t].first_problem;
        EXPECT_EQ(after[t].mismatches, 0) << "thread " << t << ": " << after[t].first_problem;
    }
    close_reader(h);
}

}  // namespace
