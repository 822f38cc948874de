// Statistics, GPIO, firmware update and the reader's texts, with the
// virtual reader counting and driving what really happens.  Virtual
// readers at 127.0.11.5 and 127.0.11.6.
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "support.h"

namespace {

using namespace qdtest;
using qdsim::Transport;

constexpr char host[] = "127.0.11.5";
constexpr char other_host[] = "127.0.11.6";
constexpr int untouched = READER_ERROR_VERIFY_FAILURE;

class Device : public OpenReader {
protected:
    Device() : OpenReader(host) {}
    void prepare(qdsim::VirtualReader& reader) override { reader.set_search_duration(std::chrono::milliseconds(0)); }

    // Runs one search to its end: every tag of the field is found.
    void search() const
    {
        search_params p{};
        const int id = search_start(handle_, &p);
        ASSERT_GT(id, 0);
        int status = READER_OPERATION_WAITING_TO_RUN;
        for (int polls = 0; polls < 1000 && status != READER_OPERATION_DONE; ++polls)
            status = operation_status(handle_, id);
        ASSERT_EQ(status, READER_OPERATION_DONE);
    }
};

// The caller's structure as the counters it holds.
template <std::size_t N, class Stats>
std::array<int32_t, N> copied(const Stats& s)
{
    static_assert(sizeof s == N * sizeof(int32_t));
    std::array<int32_t, N> out{};
    std::memcpy(out.data(), &s, sizeof s);
    return out;
}

// ---------------------------------------------------------------------------
// Statistics

TEST_P(Device, CountersArriveInTheReadersOrderOrNotAtAll)
{
    const std::array<int32_t, 14> antenna = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, -13, 2147483647};
    const std::array<int32_t, 13> source = {101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112, -113};
    reader_->set_antenna_stats(40, antenna);
    reader_->set_source_stats(0, source);

    antenna_stats a{};
    EXPECT_EQ(get_antenna_stats(handle_, 40, &a), 0);
    EXPECT_EQ(copied<14>(a), antenna);
    source_stats s{};
    EXPECT_EQ(get_source_stats(handle_, &s), 0);
    EXPECT_EQ(copied<13>(s), source);

    // The antenna number and source 0 go as they are.
    const auto calls = reader_->calls();
    ASSERT_EQ(calls.size(), 2u);
    qdsim::Decoded<u_short> antenna_sent(calls[0], reinterpret_cast<xdrproc_t>(xdr_u_short));
    qdsim::Decoded<u_short> source_sent(calls[1], reinterpret_cast<xdrproc_t>(xdr_u_short));
    EXPECT_EQ(*antenna_sent, 40);
    EXPECT_EQ(*source_sent, 0);

    // A failed call writes nothing.
    reader_->inject(ANTENNA_STATS, error_reply(1));
    reader_->inject(SOURCE_STATS, error_reply(1));
    EXPECT_EQ(get_antenna_stats(handle_, 40, &a), -1);
    EXPECT_EQ(get_source_stats(handle_, &s), -1);
    EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
    EXPECT_EQ(copied<14>(a), antenna);
    EXPECT_EQ(copied<13>(s), source);
}

TEST_P(Device, NullStructuresAreRefusedWithoutACall)
{
    reader_errno = untouched;
    EXPECT_EQ(get_antenna_stats(handle_, 0, nullptr), -1);
    EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
    reader_errno = untouched;
    EXPECT_EQ(get_source_stats(handle_, nullptr), -1);
    EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
    reader_errno = untouched;
    EXPECT_EQ(reader_fw_update(handle_, nullptr, 0), -1);
    EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
    EXPECT_TRUE(reader_->calls().empty());
}

// The virtual reader counts searches and tags per connected antenna, and
// the tag operations of source 0, until the counters are reset.
TEST_P(Device, TheReaderCountsWhatHappened)
{
    reader_->add_random_tags(5, 3, 32);
    search();
    search();
    antenna_stats a0{}, a1{};
    ASSERT_EQ(get_antenna_stats(handle_, 0, &a0), 0);
    ASSERT_EQ(get_antenna_stats(handle_, 1, &a1), 0);
    EXPECT_EQ(a0.stat1, 2);   // searches
    EXPECT_EQ(a1.stat1, 2);
    EXPECT_EQ(a0.stat2 + a1.stat2, 10);   // tags found, each on one antenna

    const auto tag = reader_->tags().front();
    tagop_record read{};
    read.id_bits = tag.id_bits;
    for (std::size_t i = 0; i < tag.id.size(); ++i)
        read.id[i] = tag.id[i];
    read.op_word1 = 3;    // user memory
    read.op_word20 = 1;   // one word
    EXPECT_EQ(tagdata_read(handle_, &read), 0);
    tagop_record missing = read;
    missing.id[0] ^= 0xFFFF;
    EXPECT_EQ(tagdata_read(handle_, &missing), READER_ERROR_REMOTE);

    source_stats s{};
    ASSERT_EQ(get_source_stats(handle_, &s), 0);
    EXPECT_EQ(s.stat1, 1);   // done
    EXPECT_EQ(s.stat2, 1);   // failed
    EXPECT_EQ(s.stat3, 1);   // of which: no such tag

    EXPECT_EQ(reset_epcg_stats(handle_), 0);
    ASSERT_EQ(get_antenna_stats(handle_, 0, &a0), 0);
    ASSERT_EQ(get_source_stats(handle_, &s), 0);
    EXPECT_EQ(copied<14>(a0), (std::array<int32_t, 14>{}));
    EXPECT_EQ(copied<13>(s), (std::array<int32_t, 13>{}));
}

// ---------------------------------------------------------------------------
// GPIO

TEST_P(Device, AnOutputBoundToAnEventFollowsIt)
{
    ASSERT_EQ(GPIO_set_reader_event(handle_, 5, 1, 1), 0);   // tags found: high
    ASSERT_EQ(GPIO_set_reader_event(handle_, 7, 2, 1), 0);   // nothing found: high
    search();
    EXPECT_EQ(GPIO_get(handle_, 5), 0);
    EXPECT_EQ(GPIO_get(handle_, 7), 1);
    reader_->add_random_tags(2, 9, 32);
    search();
    EXPECT_EQ(GPIO_get(handle_, 5), 1);
}

// ---------------------------------------------------------------------------
// Firmware and reboot

// The flow of an update and the reboot into its version: test_admin_qdctl.
TEST_P(Device, UpdateStatusesReachTheCaller)
{
    reader_->set_fw_update_time(std::chrono::minutes(10));
    EXPECT_EQ(reader_fw_update_complete(handle_, nullptr), -13) << "nothing started";
    reader_errno = untouched;
    EXPECT_EQ(reader_fw_update(handle_, "images/fw-2.1.0.bin", 7), 0);
    EXPECT_EQ(reader_errno, 0);
    EXPECT_EQ(reader_fw_update(handle_, "", 0), READER_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);

    // Asked without a structure: the call is still made.
    reader_->clear_calls();
    EXPECT_EQ(reader_fw_update_complete(handle_, nullptr), READER_OPERATION_IN_PROGRESS);
    EXPECT_EQ(procs(*reader_), std::vector<uint32_t>{FW_COMPLETE});

    reader_->set_fw_update_time(std::chrono::milliseconds(0));
    fw_update_info info{};
    EXPECT_EQ(reader_fw_update_complete(handle_, &info), 0);
    EXPECT_EQ(info.fw_value, 100);
    EXPECT_STREQ(info.fw_text1, "images/fw-2.1.0.bin");
    EXPECT_STREQ(info.fw_text3, "fw-2.1.0");
    std::free(info.fw_text1);
    std::free(info.fw_text2);
    std::free(info.fw_text3);
}

// ---------------------------------------------------------------------------
// Texts

TEST_P(Device, TextsBelongToEachReadersRecord)
{
    qdsim::Options options;
    options.address = other_host;
    options.firmware_version = "9.9";
    options.os_version = "other os";
    options.settings_text = "mode=fast";
    qdsim::VirtualReader other(options);
    other.start();
    const reader_handle h2 = open_reader(other_host);
    ASSERT_NE(h2, nullptr);

    struct Text {
        const char* (*get)(reader_handle);
        char* reader_record::*field;
        std::string first, second;
    };
    const Text texts[] = {
        {get_firmware_version, &reader_record::firmware_version, "1.0.0", "9.9"},
        {get_os_version, &reader_record::os_version, "qdsim-os 1.0", "other os"},
        {read_settings, &reader_record::settings_text, "", "mode=fast"},
    };
    for (const Text& t : texts) {
        const char* one = t.get(handle_);
        const char* two = t.get(h2);
        ASSERT_NE(one, nullptr);
        ASSERT_NE(two, nullptr);
        if (!t.first.empty()) {
            EXPECT_EQ(std::string(one), t.first);
        }
        EXPECT_EQ(std::string(two), t.second);
        EXPECT_EQ(handle_to_reader(handle_)->*t.field, one);
        EXPECT_EQ(handle_to_reader(h2)->*t.field, two);

        // A new answer replaces the text of its own reader only; a failed
        // call keeps it.
        const char* again = t.get(handle_);
        EXPECT_EQ(handle_to_reader(handle_)->*t.field, again);
        EXPECT_EQ(handle_to_reader(h2)->*t.field, two);
        EXPECT_EQ(std::string(two), t.second);
        reader_->inject(reader_->calls().back().proc, error_reply(1));
        EXPECT_EQ(t.get(handle_), nullptr);
        EXPECT_EQ(handle_to_reader(handle_)->*t.field, again);
    }
    EXPECT_NE(std::string(read_settings(handle_)).find("tagopretrytimeoutms=1000\n"), std::string::npos);
    close_reader(h2);
}

TEST_P(Device, TextQueriesTraceTheirAnswer)
{
    std::string trace;
    {
        TraceOn on;
        trace = stderr_of([&] {
            read_settings(handle_);
            get_firmware_version(handle_);
            get_os_version(handle_);
        });
    }
    expect_in_order(trace, {"read_settings got a valid string\n", "get_firmware_version got a valid string\n",
                            "get_os_version got a valid string\n"});
}

INSTANTIATE_TEST_SUITE_P(Admin, Device, testing::Values(Transport::udp, Transport::tcp),
                         testing::PrintToStringParamName());

}  // namespace
