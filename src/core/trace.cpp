#include "trace.h"

#include <cstdarg>
#include <cstdio>

#include "qdapi.h"

extern "C" {
int trace_enabled = 0;
int use_tcp = 0;
}

namespace qd {

void trace(const char* format, ...)
{
    if (!tracing())
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fflush(stderr);
}

}  // namespace qd
