// The library's error codes: the name table, reader_strerror and
// reader_perror.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <map>
#include <string>

#include "qdapi.h"
#include "support.h"

namespace {

using qdtest::stderr_of;

const std::map<int, std::string> named_codes = {
    {0, "SUCCESSFUL"},
    {1, "OPERATION_WAITING_TO_RUN"},
    {2, "OPERATION_IN_PROGRESS"},
    {3, "OPERATION_DONE"},
    {4, "OPERATION_TIMED_OUT"},
    {5, "OPERATION_BUILD_IN_PROGRESS"},
    {10, "STATE_ACTIVE"},
    {11, "STATE_CLEANUP"},
    {12, "STATE_ERROR"},
    {13, "STATE_IDLE"},
    {14, "STATE_POWERUP"},
    {15, "STATE_RUNNING"},
    {16, "STATE_WAITING"},
    {17, "STATE_CATCHUP"},
    {100, "ERROR_INVALID_ARGUMENTS"},
    {101, "ERROR_INVALID_DATA"},
    {102, "ERROR_REMOTE"},
    {103, "ERROR_UNABLE_TO_COMPLY"},
    {104, "ERROR_MISCONFIGURATION"},
    {105, "ERROR_NO_RESPONSE"},
    {106, "ERROR_INVALID_ANTENNA"},
    {107, "ERROR_UNCONNECTED_ANTENNA"},
    {108, "ERROR_VERIFY_FAILURE"},
    {120, "ERROR_API_ALLOC"},
    {121, "ERROR_API_MAX_HANDLES"},
    {126, "ERROR_NYI"},
    {180, "ERROR_UNKNOWN"},
};

class ErrorsTest : public testing::Test {
protected:
    void SetUp() override { reader_errno = 0; }
    void TearDown() override { reader_errno = 0; }
};

TEST_F(ErrorsTest, NameTableHasEveryCodeAndEmptyStringsBetween)
{
    EXPECT_EQ(sizeof(reader_errlist) / sizeof(reader_errlist[0]), 181u);
    EXPECT_EQ(reader_nerr, 199);
    for (int code = 0; code <= 180; ++code) {
        ASSERT_NE(reader_errlist[code], nullptr) << "code " << code;
        const auto named = named_codes.find(code);
        const std::string expected = named == named_codes.end() ? "" : named->second;
        EXPECT_EQ(reader_errlist[code], expected) << "code " << code;
    }
    // The enumeration of the header names the same codes, negated.
    EXPECT_STREQ(reader_errlist[-READER_ERROR_REMOTE], "ERROR_REMOTE");
    EXPECT_STREQ(reader_errlist[-READER_ERROR_API_MAX_HANDLES], "ERROR_API_MAX_HANDLES");
    EXPECT_STREQ(reader_errlist[-READER_STATE_CATCHUP], "STATE_CATCHUP");
    EXPECT_STREQ(reader_errlist[-READER_OPERATION_BUILD_IN_PROGRESS], "OPERATION_BUILD_IN_PROGRESS");
    EXPECT_STREQ(reader_errlist[-READER_ERROR_UNKNOWN], "ERROR_UNKNOWN");
}

TEST_F(ErrorsTest, StrerrorIgnoresTheSignAndStopsAtTheTableEnd)
{
    reader_errno = -7;
    EXPECT_STREQ(reader_strerror(-102), "ERROR_REMOTE");
    EXPECT_STREQ(reader_strerror(102), "ERROR_REMOTE");
    EXPECT_STREQ(reader_strerror(0), "SUCCESSFUL");
    EXPECT_STREQ(reader_strerror(-180), "ERROR_UNKNOWN");
    EXPECT_STREQ(reader_strerror(180), "ERROR_UNKNOWN");
    EXPECT_STREQ(reader_strerror(50), "");
    EXPECT_STREQ(reader_strerror(-50), "");
    // The table has 181 entries even though reader_nerr says 199.
    EXPECT_EQ(reader_strerror(181), nullptr);
    EXPECT_EQ(reader_strerror(-181), nullptr);
    EXPECT_EQ(reader_strerror(199), nullptr);
    EXPECT_EQ(reader_strerror(INT_MAX), nullptr);
    EXPECT_EQ(reader_strerror(INT_MIN), nullptr);
    EXPECT_EQ(reader_strerror(INT_MIN + 1), nullptr);
    // A pure look-up: the reason of the last failure is left alone.
    EXPECT_EQ(reader_errno, -7);
}

TEST_F(ErrorsTest, PerrorPrintsTheNameOfReaderErrnoAndKeepsItsMagnitude)
{
    reader_errno = -121;
    EXPECT_EQ(stderr_of([] { reader_perror("open"); }), "open: ERROR_API_MAX_HANDLES\n");
    EXPECT_EQ(reader_errno, 121);
    // A second call sees the positive code and prints the same.
    EXPECT_EQ(stderr_of([] { reader_perror("open"); }), "open: ERROR_API_MAX_HANDLES\n");
    EXPECT_EQ(reader_errno, 121);

    reader_errno = -102;
    EXPECT_EQ(stderr_of([] { reader_perror(nullptr); }), "ERROR_REMOTE\n");
    EXPECT_EQ(reader_errno, 102);

    reader_errno = 0;
    EXPECT_EQ(stderr_of([] { reader_perror(nullptr); }), "SUCCESSFUL\n");
    EXPECT_EQ(reader_errno, 0);

    reader_errno = -50;
    EXPECT_EQ(stderr_of([] { reader_perror("x"); }), "x: \n");
    EXPECT_EQ(reader_errno, 50);

    reader_errno = 180;
    EXPECT_EQ(stderr_of([] { reader_perror(""); }), ": ERROR_UNKNOWN\n");
}

TEST_F(ErrorsTest, PerrorReportsCodesBeyondTheTableAsUnknown)
{
    reader_errno = 500;
    EXPECT_EQ(stderr_of([] { reader_perror(nullptr); }), "unknown error code 500\n");
    EXPECT_EQ(reader_errno, 500);

    reader_errno = 190;
    EXPECT_EQ(stderr_of([] { reader_perror(nullptr); }), "unknown error code 190\n");

    reader_errno = 181;
    EXPECT_EQ(stderr_of([] { reader_perror("p"); }), "p: unknown error code 181\n");

    reader_errno = -181;
    EXPECT_EQ(stderr_of([] { reader_perror("p"); }), "p: unknown error code 181\n");
    EXPECT_EQ(reader_errno, 181);

    reader_errno = INT_MAX;
    EXPECT_EQ(stderr_of([] { reader_perror(nullptr); }), "unknown error code 2147483647\n");

    reader_errno = -INT_MAX;
    EXPECT_EQ(stderr_of([] { reader_perror(nullptr); }), "unknown error code 2147483647\n");
    EXPECT_EQ(reader_errno, INT_MAX);

    // The most negative code has no magnitude in an int: it stays as it is.
    reader_errno = INT_MIN;
    EXPECT_EQ(stderr_of([] { reader_perror(nullptr); }), "unknown error code -2147483648\n");
    EXPECT_EQ(reader_errno, INT_MIN);
}

TEST_F(ErrorsTest, PerrorWritesWhetherOrNotTheTraceIsOn)
{
    for (int trace : {0, 1}) {
        qdtest::Switch on(trace_enabled, trace);
        reader_errno = -100;
        EXPECT_EQ(stderr_of([] { reader_perror("t"); }), "t: ERROR_INVALID_ARGUMENTS\n")
            << "trace_enabled " << trace;
    }
}

}  // namespace
