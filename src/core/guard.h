// The C interface's one guard.  Every exported function's body runs inside
// guarded() (or guarded_priv() in the privileged family), which also names
// the operation for the calling thread's last error: an exception that
// would leave an extern "C" function ends the caller's process, so whatever
// escapes a body (memory or threads that ran out, anything else) becomes the
// operation's failure value instead.
#pragma once

#include <type_traits>

#include "last_error.h"
#include "qdapi.h"
#include "trace.h"

namespace qd {

// The body's result, or `failure` with reader_errno -120 when it threw.
template <class R, class Body>
R guarded(const char* name, R failure, Body&& body) noexcept
{
    const OperationScope scope(name);
    try {
        return body();
    } catch (...) {
        set_errno(READER_ERROR_API_ALLOC);
        return failure;
    }
}

template <class Body>
void guarded_void(const char* name, Body&& body) noexcept
{
    const OperationScope scope(name);
    try {
        body();
    } catch (...) {
        set_errno(READER_ERROR_API_ALLOC);
    }
}

// The privileged family tells its outcome by the result alone and never
// writes reader_errno: a body that threw returns -120 itself.
template <class R, class Body>
R guarded_priv(const char* name, R failure, Body&& body) noexcept
{
    const OperationScope scope(name);
    try {
        return body();
    } catch (...) {
        note_failure(READER_ERROR_API_ALLOC);
        return failure;
    }
}

template <class Body>
void guarded_priv_void(const char* name, Body&& body) noexcept
{
    const OperationScope scope(name);
    try {
        body();
    } catch (...) {
    }
}

}  // namespace qd
