/* The names of the library's error, status and state codes, indexed by the
 * magnitude of a code.  Every entry is a string; unnamed codes are "". */
#include "qdapi.h"

/* Not the table's length: the published value, which programs may rely on. */
const int reader_nerr = 199;

const char *const reader_errlist[181] = {
    [0] = "SUCCESSFUL",
    [1] = "OPERATION_WAITING_TO_RUN",
    [2] = "OPERATION_IN_PROGRESS",
    [3] = "OPERATION_DONE",
    [4] = "OPERATION_TIMED_OUT",
    [5] = "OPERATION_BUILD_IN_PROGRESS",
    [6 ... 9] = "",
    [10] = "STATE_ACTIVE",
    [11] = "STATE_CLEANUP",
    [12] = "STATE_ERROR",
    [13] = "STATE_IDLE",
    [14] = "STATE_POWERUP",
    [15] = "STATE_RUNNING",
    [16] = "STATE_WAITING",
    [17] = "STATE_CATCHUP",
    [18 ... 99] = "",
    [100] = "ERROR_INVALID_ARGUMENTS",
    [101] = "ERROR_INVALID_DATA",
    [102] = "ERROR_REMOTE",
    [103] = "ERROR_UNABLE_TO_COMPLY",
    [104] = "ERROR_MISCONFIGURATION",
    [105] = "ERROR_NO_RESPONSE",
    [106] = "ERROR_INVALID_ANTENNA",
    [107] = "ERROR_UNCONNECTED_ANTENNA",
    [108] = "ERROR_VERIFY_FAILURE",
    [109 ... 119] = "",
    [120] = "ERROR_API_ALLOC",
    [121] = "ERROR_API_MAX_HANDLES",
    [122 ... 125] = "",
    [126] = "ERROR_NYI",
    [127 ... 179] = "",
    [180] = "ERROR_UNKNOWN",
};
