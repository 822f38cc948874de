// Detailed, conveyor and extended searches against a virtual reader that
// runs them: the identifiers and answers the reader gives come back to the
// caller (stop returns the reader's answer, not the identifier sent), the
// extended search's statuses are relayed whatever their value, and a
// detailed or conveyor search lands the tag field in the database like a
// plain one.  Virtual reader at 127.0.0.67.
#include <climits>
#include <functional>
#include <set>

#include "inventory_support.h"

namespace {

using qdinv::ConfigStorage;
using qdtest::stderr_of;
using qdtest::TraceOn;

const char* const host = "127.0.0.67";

class SearchAnswers : public qdinv::ReaderTest {
protected:
    SearchAnswers() : ReaderTest(host) {}

    // Drains the database with tagdb_pop; the identities taken.
    std::map<qdinv::TagKey, int> drain()
    {
        std::map<qdinv::TagKey, int> keys;
        for (int i = 0; i < 100000; ++i) {
            popped_tag_record r{};
            if (tagdb_pop(handle_, &r) != 0 || r.status != 1)
                break;
            ++keys[qdinv::key_of_record(r)];
        }
        return keys;
    }
};

TEST_F(SearchAnswers, DetailedReadStartReturnsTheReadersNewIdentifiers)
{
    std::set<int> ids;
    for (int i = 0; i < 4; ++i) {
        ConfigStorage s;
        s.first_groups.resize(1);
        int id = -1;
        std::string err;
        {
            TraceOn trace;
            err = stderr_of([&] { id = detailed_read_start(handle_, &s.bind()); });
        }
        EXPECT_GT(id, 0);
        EXPECT_NE(err.find("start search uid=" + std::to_string(id) + "\n"), std::string::npos) << err;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 4u);
}

TEST_F(SearchAnswers, StopReturnsAndTracesTheReadersAnswerNotTheIdentifierSent)
{
    reader_->set_unknown_search_status(-7);
    for (const bool conveyor : {false, true}) {
        // No search 1234: the reader answers its unknown-search status.
        int answer = 0;
        std::string err;
        reader_errno = READER_ERROR_REMOTE;
        {
            TraceOn trace;
            err = stderr_of([&] { answer = conveyor ? conveyor_read_stop(handle_, 1234)
                                                    : detailed_read_stop(handle_, 1234); });
        }
        EXPECT_EQ(answer, -7);
        EXPECT_EQ(reader_errno, READER_SUCCESSFUL);
        EXPECT_NE(err.find("stop search uid=-7\n"), std::string::npos) << err;
        EXPECT_EQ(err.find("uid=1234"), std::string::npos) << err;

        // A running search, named with bits above the low 16: the reader
        // sees and answers the identifier itself.
        ConfigStorage s;
        s.first_groups.resize(1);
        const int id = detailed_read_start(handle_, &s.bind());
        ASSERT_GT(id, 0);
        answer = conveyor ? conveyor_read_stop(handle_, id + 0x30000) : detailed_read_stop(handle_, id + 0x30000);
        EXPECT_EQ(answer, id);
    }
}

TEST_F(SearchAnswers, StoppedDetailedSearchLandsEveryTagOnce)
{
    reader_->add_random_tags(120, 99);
    reader_->set_search_duration(std::chrono::seconds(30));
    const auto expected = qdinv::population(*reader_);
    ConfigStorage s;
    qdinv::fill_rich_config(s);
    const int id = detailed_read_start(handle_, &s.config);
    ASSERT_GT(id, 0);
    EXPECT_EQ(operation_status(handle_, id), READER_OPERATION_WAITING_TO_RUN);
    EXPECT_EQ(operation_status(handle_, id), READER_OPERATION_IN_PROGRESS);
    EXPECT_EQ(tags_available(handle_, 0), 0) << "nothing lands before the search ends";
    EXPECT_EQ(detailed_read_stop(handle_, id), id);
    EXPECT_EQ(operation_status(handle_, id), READER_OPERATION_DONE);
    EXPECT_EQ(tags_available(handle_, 0), 120);
    EXPECT_EQ(drain(), expected);
}

TEST_F(SearchAnswers, ConveyorSearchRunsToCompletionAndLandsTheField)
{
    reader_->add_random_tags(40, 3, 128);
    reader_->set_search_duration(std::chrono::milliseconds(20));
    const auto expected = qdinv::population(*reader_);
    search_params p{};
    p.a_count = 2;
    p.b_count = 1;
    const int id = conveyor_read_start(handle_, &p);
    ASSERT_GT(id, 0);
    const auto seen = qdinv::poll_until_settled(handle_, id);
    EXPECT_TRUE(qdinv::legal_progress(seen)) << testing::PrintToString(seen);
    EXPECT_EQ(tags_available(handle_, 0), 40);
    EXPECT_EQ(drain(), expected);
}

TEST_F(SearchAnswers, ExtendedSearchRelaysTheReadersStatusWhateverItIs)
{
    // Statuses that look like the operations' failure values, too: a
    // successful call clears reader_errno, which tells them apart.
    const int32_t statuses[] = {0, 17, -1, -2, -3, -4, 123456, INT_MIN, INT_MAX};
    ConfigStorage s;
    s.second_groups.resize(2);
    s.config.second_table.term_count = 1;
    s.bind();
    for (const int32_t status : statuses) {
        const std::vector<std::pair<uint32_t, std::function<int()>>> ops = {
            {ZR_SEARCH_CONFIGURE, [&] { return zr_search_configure(handle_, &s.config); }},
            {ZR_SEARCH_START, [&] { return zr_search_start(handle_); }},
            {ZR_SEARCH_STOP, [&] { return zr_search_stop(handle_); }},
            {ZR_SEARCH_VERIFY, [&] { return zr_search_verify(handle_); }},
        };
        for (const auto& op : ops) {
            const auto proc = op.first;
            const auto& call = op.second;
            reader_->set_zr_status(proc, status);
            reader_errno = READER_ERROR_REMOTE;
            int result = 0;
            std::string err;
            {
                TraceOn trace;
                err = stderr_of([&] { result = call(); });
            }
            EXPECT_EQ(result, status) << "procedure " << proc;
            EXPECT_EQ(reader_errno, READER_SUCCESSFUL) << "procedure " << proc;
            EXPECT_NE(err.find("status = " + std::to_string(status) + "\n"), std::string::npos) << err;
        }
    }
}

}  // namespace
