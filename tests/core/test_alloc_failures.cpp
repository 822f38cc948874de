// Memory that runs out, one allocation at a time: for N = 1, 2, ... the Nth
// allocation that an operation makes on its caller's thread fails, with the
// library, the RPC library and the virtual reader (on its own thread, never
// failed) running for real.  Every run ends with the operation's answer or
// its failure value, reader_errno -120 where the library saw the failure
// itself (its own allocations), -102 where the RPC library did (decoding a
// reply); nothing crashes, and under the address sanitizer nothing leaks.
//
// This program replaces operator new; built without sanitizers it also
// replaces malloc, calloc and realloc (forwarding to the C library's own), so
// that the RPC library's allocations fail too.  A sanitizer keeps malloc to
// itself, so there only the C++ allocations fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <thread>

#include "qdapi.h"
#include "support.h"
#include "tag_memory.h"
#include "virtual_reader.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QD_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QD_SANITIZED 1
#endif
#endif

namespace {

// Allocations left on this thread before the one that fails; 0: none fails.
thread_local long t_countdown = 0;
thread_local bool t_failed = false;

bool fail_this_one()
{
    if (t_countdown <= 0)
        return false;
    if (--t_countdown > 0)
        return false;
    t_failed = true;
    return true;
}

}  // namespace

#ifndef QD_SANITIZED
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t size)
{
    return fail_this_one() ? nullptr : __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size)
{
    return fail_this_one() ? nullptr : __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size)
{
    return fail_this_one() ? nullptr : __libc_realloc(p, size);
}
void free(void* p)
{
    __libc_free(p);
}
}
#define QD_RAW_MALLOC __libc_malloc
#define QD_RAW_FREE __libc_free
#else
#define QD_RAW_MALLOC std::malloc
#define QD_RAW_FREE std::free
#endif

void* operator new(std::size_t size)
{
    void* p = fail_this_one() ? nullptr : QD_RAW_MALLOC(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t size)
{
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return fail_this_one() ? nullptr : QD_RAW_MALLOC(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept
{
    return operator new(size, tag);
}
void operator delete(void* p) noexcept
{
    QD_RAW_FREE(p);
}
void operator delete[](void* p) noexcept
{
    QD_RAW_FREE(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    QD_RAW_FREE(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    QD_RAW_FREE(p);
}

namespace {

using namespace std::chrono_literals;

constexpr const char* host = "127.0.14.3";

// One operation of the table: what it returns, and whether that is its
// failure value.
struct Outcome {
    bool failed = false;
};

struct Operation {
    const char* name;
    // Whether every failure sets reader_errno.  A host look-up that fails
    // (here: for want of memory in the C library) leaves it as it was, and
    // the parameter list's copying leaves it alone when it runs out.
    bool errno_checked;
    std::function<Outcome(reader_handle)> run;
};

qdsim::Tag memory_tag()
{
    qdsim::Tag tag;
    tag.id_bits = 96;
    tag.id = {0x3000, 0x1, 0x2, 0x3, 0x4, 0x5};
    tag.memory[qdsim::tagmem::area_user] = {1, 2, 3, 4};
    return tag;
}

// Built at load, before any allocation may fail: only the library's count.
const tagop_record read_request = [] {
    const qdsim::Tag tag = memory_tag();
    tagop_record r{};
    r.id_bits = tag.id_bits;
    for (std::size_t i = 0; i < tag.id.size(); ++i)
        r.id[i] = tag.id[i];
    r.op_word1 = qdsim::tagmem::area_user;
    r.op_word20 = 4;
    return r;
}();

bool fill_tag_database(reader_handle h)
{
    search_params params{};
    const int id = search_start(h, &params);
    for (int i = 0; id != -1 && i < 2000; ++i) {
        const int status = operation_status(h, id);
        if (status != READER_OPERATION_WAITING_TO_RUN && status != READER_OPERATION_IN_PROGRESS)
            return status == READER_OPERATION_DONE;
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

const Operation operations[] = {
    {"open_reader", false,
     [](reader_handle) {
         reader_handle h = open_reader(host);
         if (h)
             close_reader(h);
         return Outcome{h == nullptr};
     }},
    {"tagdb_pop", true,
     [](reader_handle h) {
         popped_tag_record record{};
         return Outcome{tagdb_pop(h, &record) != 0};
     }},
    {"tagdata_read", true,
     [](reader_handle h) {
         tagop_record r = read_request;
         return Outcome{tagdata_read(h, &r) != 0};
     }},
    {"reader_params_list_r", false,
     [](reader_handle h) {
         int count = 0;
         char** names = reader_params_list_r(h, &count);
         for (int i = 0; i < count; ++i)
             std::free(names[i]);
         std::free(names);
         return Outcome{names == nullptr};
     }},
};

class AllocationFailures : public ::testing::TestWithParam<std::size_t> {};

TEST_P(AllocationFailures, EveryRunEndsWithTheAnswerOrTheFailureValue)
{
    const Operation& op = operations[GetParam()];
    qdsim::Options options;
    options.address = host;
    options.search_duration = 1ms;
    options.tags.push_back(memory_tag());
    qdsim::VirtualReader reader(options);
    reader.add_random_tags(400, 3);
    reader.set_param("first", "1");
    reader.set_param("second", "2");
    reader.start();
    for (int transport = 0; transport < 2; ++transport) {
        qdtest::Switch tcp(use_tcp, transport);
        reader_handle h = open_reader(host);
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(fill_tag_database(h));
        int failures = 0;
        for (long n = 1;; ++n) {
            SCOPED_TRACE(std::string(op.name) + (transport ? " tcp" : " udp") + ", allocation " + std::to_string(n));
            reader_errno = 0;
            t_failed = false;
            t_countdown = n;
            const Outcome run = op.run(h);
            t_countdown = 0;
            if (!t_failed) {
                EXPECT_FALSE(run.failed) << "failed with every allocation granted, reader_errno " << reader_errno;
                break;   // the operation made fewer than n allocations
            }
            if (run.failed) {
                ++failures;
                if (op.errno_checked) {
                    EXPECT_TRUE(reader_errno == READER_ERROR_API_ALLOC || reader_errno == READER_ERROR_REMOTE)
                        << "reader_errno " << reader_errno;
#ifdef QD_SANITIZED
                    // Only the library's own (C++) allocations fail here.
                    EXPECT_EQ(reader_errno, READER_ERROR_API_ALLOC);
#endif
                }
            }
            if (reader.tagdb_size() < 10) {
                ASSERT_TRUE(fill_tag_database(h));
            }
            ASSERT_LT(n, 5000) << "the operation never stops allocating";
        }
        // The handle still works once memory is back.
        EXPECT_GE(tags_available(h, 0), 0) << "reader_errno " << reader_errno;
        close_reader(h);
        RecordProperty(std::string(op.name) + (transport ? "_tcp" : "_udp") + "_failed_runs", failures);
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, AllocationFailures, ::testing::Range<std::size_t>(0, std::size(operations)),
                         [](const auto& info) { return std::string(operations[info.param].name); });

}  // namespace
