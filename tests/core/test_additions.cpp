// What the interface offers beside the error variable and the unsized
// region: the calling thread's last failure, the region into a buffer of a
// given size, and the library's version.
#include <gtest/gtest.h>

#include <barrier>
#include <cstring>
#include <string>
#include <thread>

#include "qdapi.h"
#include "support.h"
#include "virtual_reader.h"

namespace {

using namespace std::chrono_literals;

std::string last_message()
{
    return qdapi_last_error()->message;
}

// Two threads fail differently at the same moment; each reads its own
// failure afterwards, whatever the other did to reader_errno meanwhile.
TEST(LastError, EachThreadSeesItsOwnFailure)
{
    auto reader = qdtest::start_reader("127.0.51.1");
    reader_handle h = open_reader("127.0.51.1");
    ASSERT_NE(h, nullptr);
    reader->inject(qdtest::proc_tags_available, qdtest::error_reply());
    for (int round = 0; round < 50; ++round) {
        std::barrier both(2);
        qdapi_error remote{}, invalid{};
        std::string remote_text, invalid_text;
        std::thread a([&] {
            qdapi_clear_error();
            both.arrive_and_wait();
            EXPECT_EQ(tags_available(h, 0), -1);
            both.arrive_and_wait();
            remote = *qdapi_last_error();
            remote_text = remote.message;
        });
        std::thread b([&] {
            qdapi_clear_error();
            both.arrive_and_wait();
            EXPECT_EQ(tags_available(nullptr, 0), -1);
            both.arrive_and_wait();
            invalid = *qdapi_last_error();
            invalid_text = invalid.message;
        });
        a.join();
        b.join();
        ASSERT_EQ(remote.code, READER_ERROR_REMOTE) << "round " << round;
        ASSERT_EQ(invalid.code, READER_ERROR_INVALID_ARGUMENTS) << "round " << round;
        EXPECT_EQ(remote_text, "tags_available: 127.0.51.1: ERROR_REMOTE");
        EXPECT_EQ(invalid_text.rfind("tags_available: ", 0), 0u) << invalid_text;
    }
    close_reader(h);
}

// The failures that leave reader_errno as it was still reach the thread's
// record; success leaves the record alone.
TEST(LastError, FailuresThatLeaveReaderErrnoAloneAreRecorded)
{
    if (!qdtest::only_loopback())
        GTEST_SKIP() << "looks up a name that must not exist: run in a private network namespace";
    struct Case {
        const char* host;
        std::string message;
    };
    const Case cases[] = {{"nosuch.invalid", "open_reader: nosuch.invalid: the host name does not resolve"},
                          {nullptr, "open_reader: no host name"}};
    for (const Case& c : cases) {
        qdapi_clear_error();
        reader_errno = 12;
        EXPECT_EQ(open_reader(c.host), nullptr);
        EXPECT_EQ(reader_errno, 12) << "reader_errno changed";
        EXPECT_EQ(qdapi_last_error()->code, READER_ERROR_INVALID_ARGUMENTS);
        EXPECT_EQ(last_message(), c.message);
    }
    auto reader = qdtest::start_reader("127.0.51.2");
    reader_handle h = open_reader("127.0.51.2");
    ASSERT_NE(h, nullptr);
    EXPECT_GE(tags_available(h, 0), 0);
    EXPECT_EQ(last_message(), "open_reader: no host name") << "success changed the record";
    qdapi_clear_error();
    EXPECT_EQ(qdapi_last_error()->code, 0);
    EXPECT_EQ(last_message(), "");
    close_reader(h);
}

// The region into buffers of every interesting size: cut and terminated as
// snprintf does, with the whole length as the result.
TEST(SizedRegion, CutsAndTerminatesAndReturnsTheWholeLength)
{
    const std::string name(100, 'R');
    qdsim::Options options;
    options.address = "127.0.51.3";
    options.radio.region = name;
    qdsim::VirtualReader reader(options);
    reader.start();
    reader_handle h = open_reader("127.0.51.3");
    ASSERT_NE(h, nullptr);
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{32}, std::size_t{100}, std::size_t{101},
                             std::size_t{QDAPI_REGION_MAX + 1}}) {
        std::string buffer(size + 8, '#');   // bytes past `size` must stay
        EXPECT_EQ(get_region_sized(h, size ? buffer.data() : nullptr, size), 100) << size;
        if (size > 0) {
            const std::size_t kept = std::min<std::size_t>(100, size - 1);
            EXPECT_EQ(std::string(buffer.c_str()), name.substr(0, kept)) << size;
        }
        EXPECT_EQ(buffer.substr(size), std::string(8, '#')) << "written past the size " << size;
    }
    reader_errno = 0;
    EXPECT_EQ(get_region_sized(h, nullptr, 8), -1);
    EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(get_region_sized(nullptr, nullptr, 0), -1);
    close_reader(h);
}

TEST(Version, TheLibraryIsTheHeadersVersion)
{
    int major = -1, minor = -1, patch = -1;
    const char* text = qdapi_version(&major, &minor, &patch);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, QDAPI_VERSION);
    EXPECT_EQ(major, QDAPI_VERSION_MAJOR);
    EXPECT_EQ(minor, QDAPI_VERSION_MINOR);
    EXPECT_EQ(patch, QDAPI_VERSION_PATCH);
    EXPECT_EQ(QDAPI_VERSION_NUM, (major << 16) | (minor << 8) | patch);
    EXPECT_EQ(std::string(text), std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch));
    EXPECT_STREQ(qdapi_version(nullptr, nullptr, nullptr), QDAPI_VERSION);
}

}  // namespace
