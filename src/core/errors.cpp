// reader_errno and the two functions that turn a code into text.
#include <cstdio>

#include "guard.h"
#include "qdapi.h"
#include "trace.h"

namespace {

constexpr unsigned last_code = 180;

// The magnitude of a code, without overflow for the most negative int.
constexpr unsigned magnitude(int code)
{
    return code < 0 ? 0u - static_cast<unsigned>(code) : static_cast<unsigned>(code);
}

}  // namespace

extern "C" {

int reader_errno = 0;

const char* reader_strerror(int code)
{
    return qd::guarded<const char *>("reader_strerror", nullptr, [&]() -> const char * {
        const unsigned m = magnitude(code);
        return m > last_code ? nullptr : reader_errlist[m];
    });
}

void reader_perror(const char* prefix)
{
    qd::guarded_void("reader_perror", [&] {
        if (prefix)
            std::fprintf(stderr, "%s: ", prefix);
        int code = qd::get_errno();
        const unsigned m = magnitude(code);
        // The variable keeps the magnitude afterwards.  INT_MIN has no positive
        // counterpart: it is left as it is and reported as unknown.
        if (code < 0 && m <= static_cast<unsigned>(__INT_MAX__)) {
            code = static_cast<int>(m);
            qd::set_errno(code);
        }
        if (m > last_code)
            std::fprintf(stderr, "unknown error code %d\n", code);
        else
            std::fprintf(stderr, "%s\n", reader_errlist[m]);
    });
}

}  // extern "C"

// The header's version is the project's: the build passes the project's
// numbers, and a header left behind stops it.
static_assert(QDAPI_VERSION_MAJOR == QD_PROJECT_VERSION_MAJOR && QDAPI_VERSION_MINOR == QD_PROJECT_VERSION_MINOR &&
                  QDAPI_VERSION_PATCH == QD_PROJECT_VERSION_PATCH,
              "include/qdapi/errors.h: QDAPI_VERSION_* differ from the project's version");

extern "C" {

const char* qdapi_version(int* major, int* minor, int* patch)
{
    return qd::guarded<const char*>("qdapi_version", QDAPI_VERSION, [&]() -> const char* {
        if (major)
            *major = QDAPI_VERSION_MAJOR;
        if (minor)
            *minor = QDAPI_VERSION_MINOR;
        if (patch)
            *patch = QDAPI_VERSION_PATCH;
        return QDAPI_VERSION;
    });
}

}  // extern "C"
