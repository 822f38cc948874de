#include "trace.h"

#include <cstdarg>
#include <cstdio>

#include "export.h"

extern "C" {
QD_EXPORT int trace_enabled = 0;
QD_EXPORT int use_tcp = 0;
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
