/*
 * qdapi/errors.h: Error and status codes, reader_errno and the process-wide switches.
 *
 * Part of the public interface; include <qdapi.h>, which includes every
 * family header, or this header alone.
 */
#ifndef QDAPI_ERRORS_H
#define QDAPI_ERRORS_H

#include "qdapi/common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Error and status codes
 *
 * `reader_errno` holds these values negated (e.g. -102); their magnitude
 * indexes `reader_errlist`.  Operation states reported by the reader come
 * back negated too (-1 waiting to run ... -5 build in progress).
 * ---------------------------------------------------------------------- */

enum reader_code {
    READER_SUCCESSFUL = 0,
    READER_OPERATION_WAITING_TO_RUN = -1,
    READER_OPERATION_IN_PROGRESS = -2,
    READER_OPERATION_DONE = -3,
    READER_OPERATION_TIMED_OUT = -4,
    READER_OPERATION_BUILD_IN_PROGRESS = -5,
    READER_STATE_ACTIVE = -10,
    READER_STATE_CLEANUP = -11,
    READER_STATE_ERROR = -12,
    READER_STATE_IDLE = -13,
    READER_STATE_POWERUP = -14,
    READER_STATE_RUNNING = -15,
    READER_STATE_WAITING = -16,
    READER_STATE_CATCHUP = -17,
    READER_ERROR_INVALID_ARGUMENTS = -100,
    READER_ERROR_INVALID_DATA = -101,
    READER_ERROR_REMOTE = -102,
    READER_ERROR_UNABLE_TO_COMPLY = -103,
    READER_ERROR_MISCONFIGURATION = -104,
    READER_ERROR_NO_RESPONSE = -105,
    READER_ERROR_INVALID_ANTENNA = -106,
    READER_ERROR_UNCONNECTED_ANTENNA = -107,
    READER_ERROR_VERIFY_FAILURE = -108,
    READER_ERROR_API_ALLOC = -120,
    READER_ERROR_API_MAX_HANDLES = -121,
    READER_ERROR_NYI = -126,
    READER_ERROR_UNKNOWN = -180
};

/* The reason of the latest failure, process-wide (not per thread). */
QDAPI_EXTERN(int) reader_errno;
/* Names of the codes, indexed by magnitude 0..180; unnamed codes are "". */
QDAPI_EXTERN(const char *const) reader_errlist[181];
/* Published beside the table; the table itself has 181 entries. */
QDAPI_EXTERN(const int) reader_nerr;

/* The name of a code (either sign), or NULL above 180. */
QDAPI_EXTERN(const char *) reader_strerror(int code);
/* Prints "prefix: NAME\n" for reader_errno to standard error (prefix may be
 * NULL); leaves reader_errno holding the code's magnitude. */
QDAPI_EXTERN(void) reader_perror(const char *prefix);

/* ------------------------------------------------------------------------
 * Process-wide switches, both 0 at load; the library never sets them.
 * ---------------------------------------------------------------------- */

/* Non-zero: the library writes its debug trace to standard error. */
QDAPI_EXTERN(int) trace_enabled;
/* Non-zero: new reader connections use TCP instead of UDP. */
QDAPI_EXTERN(int) use_tcp;

/* The library also exports the RPC interface's `_null_auth`, `rpc_createerr`
 * and `svc_fdset` for programs written against that interface; they are zero
 * at load and the library itself never uses them.
 *
 * They cannot be declared here: their types belong to the RPC library, whose
 * headers this one does not include; that library also makes rpc_createerr
 * a macro and gives C++ code svc_fdset with C++ linkage.  So they are
 * listed instead, as X(type, name) entries of the macro below; the library
 * expands it to define them, and the build's list of exports (the version
 * script, the export test) takes them from these entries as it takes the
 * other exports from the QDAPI_EXTERN declarations. */
#define QDAPI_RPC_INTERFACE_VARIABLES(X) \
    X(struct opaque_auth, _null_auth) \
    X(struct rpc_createerr, rpc_createerr) \
    X(fd_set, svc_fdset)

#ifdef __cplusplus
}
#endif

#endif /* QDAPI_ERRORS_H */
