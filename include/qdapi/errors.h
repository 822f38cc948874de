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

/* The calling thread's last failure.  `reader_errno` is one variable for
 * the whole process, so with several threads a failure's code may be
 * another thread's; this record is the calling thread's own.  It is set
 * wherever a failure sets `reader_errno` to -100 or below, and also where
 * the failure leaves `reader_errno` as it was (a host name that does not
 * resolve in open_reader, a NULL host name).  `message` names the operation
 * and, where there is one, the reader's host: "tags_available: 127.0.0.2:
 * ERROR_REMOTE".  Success leaves the record as it was. */
typedef struct qdapi_error {
    int code;                /* as reader_errno would hold it; 0: none yet */
    const char *message;     /* never NULL; "" while code is 0 */
} qdapi_error;

/* The calling thread's last failure; the record lives as long as the
 * thread, and the thread's next failure overwrites it. */
QDAPI_EXTERN(const qdapi_error *) qdapi_last_error(void);
/* Forgets the calling thread's last failure (code 0, message ""). */
QDAPI_EXTERN(void) qdapi_clear_error(void);

/* ------------------------------------------------------------------------
 * The library's version
 * ---------------------------------------------------------------------- */

/* The version of the header at compile time. */
#define QDAPI_VERSION_MAJOR 1
#define QDAPI_VERSION_MINOR 1
#define QDAPI_VERSION_PATCH 0
#define QDAPI_VERSION "1.1.0"
/* 0xMMmmpp: compares as numbers (QDAPI_VERSION_NUM >= 0x010100). */
#define QDAPI_VERSION_NUM ((QDAPI_VERSION_MAJOR << 16) | (QDAPI_VERSION_MINOR << 8) | QDAPI_VERSION_PATCH)

/* The version of the library loaded at run time, which may be newer than
 * the header a program was built with: its numbers into the pointers that
 * are not NULL, its text ("1.1.0") as the result. */
QDAPI_EXTERN(const char *) qdapi_version(int *major, int *minor, int *patch);

/* ------------------------------------------------------------------------
 * Process-wide switches, both 0 at load; the library never sets them.
 * ---------------------------------------------------------------------- */

/* Non-zero: the library writes its debug trace to standard error. */
QDAPI_EXTERN(int) trace_enabled;
/* Non-zero: new reader connections use TCP instead of UDP (except those of
 * readers opened with open_reader_over, which keep their own transport). */
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
