#include "last_error.h"

#include <cstdio>
#include <cstring>

#include "guard.h"
#include "qdapi.h"

namespace qd {

namespace {

// Fixed-size storage: recording a failure never allocates, so that it works
// when memory has run out, and nothing is left to free when a thread ends.
struct ThreadError {
    const char* operation = nullptr;
    char host[256] = "";
    char message[512] = "";
    qdapi_error error{0, message};
};

thread_local ThreadError last;

const char* code_name(int code)
{
    const char* name = reader_strerror(code);
    return name && *name ? name : "unknown error";
}

}  // namespace

OperationScope::OperationScope(const char* name) noexcept : outermost_(last.operation == nullptr)
{
    if (outermost_) {
        last.operation = name;
        last.host[0] = '\0';
    }
}

OperationScope::~OperationScope()
{
    if (outermost_)
        last.operation = nullptr;
}

void note_host(const char* host) noexcept
{
    if (last.operation && host)
        std::snprintf(last.host, sizeof last.host, "%s", host);
}

void note_failure(int code, const char* what) noexcept
{
    last.error.code = code;
    const char* operation = last.operation ? last.operation : "qdapi";
    std::snprintf(last.message, sizeof last.message, "%s: %s", operation, what);
}

void note_failure(int code) noexcept
{
    char what[384];
    if (last.host[0])
        std::snprintf(what, sizeof what, "%s: %s", last.host, code_name(code));
    else
        std::snprintf(what, sizeof what, "%s", code_name(code));
    note_failure(code, what);
}

}  // namespace qd

extern "C" {

// Guarded as every export is, though neither can throw: nothing here
// allocates.
const qdapi_error* qdapi_last_error(void)
{
    return qd::guarded_priv<const qdapi_error*>("qdapi_last_error", &qd::last.error,
                                                [] { return &qd::last.error; });
}

void qdapi_clear_error(void)
{
    qd::guarded_priv_void("qdapi_clear_error", [] {
        qd::last.error.code = 0;
        qd::last.message[0] = '\0';
    });
}

}  // extern "C"
