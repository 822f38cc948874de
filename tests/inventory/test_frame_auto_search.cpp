// The frame suite's row for registering an automatic search (see
// frame_suite.h): it resolves the reader's handle like every operation and
// makes no call of its own; the search registered is due in a day, so the
// timer starts nothing while a test looks.  stop and search_active take a
// search's handle and are tested in test_auto_search.cpp.  Virtual reader
// at 127.0.12.1.
#include <chrono>

#include "frame_suite.h"

namespace qdframe {

namespace {

double a_day_from_now()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count() + 86400.0;
}

}  // namespace

const char* frame_host()
{
    return "127.0.12.1";
}

void prepare_frame_reader(qdsim::VirtualReader&) {}

const std::vector<Row>& frame_rows()
{
    static const std::vector<Row> table = {
        {"auto_search_start",
         [](reader_handle h) {
             search_params p{};
             return auto_search_start(h, &p, a_day_from_now(), 1.0, 0.0, 0.0) ? 0 : -1;
         },
         std::nullopt, nullptr, -1, -1, OnSuccess::leave, 0},
    };
    return table;
}

// The row makes no call of its own, so there are no failed calls to try.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FailedCalls);

}  // namespace qdframe
