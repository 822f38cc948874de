"""The library's codes, and its failures as exceptions."""
from __future__ import annotations

import enum

from ._lib import errno_var, lib


class Code(enum.IntEnum):
    """The library's codes, as reader_errno holds them (negated)."""
    SUCCESSFUL = 0
    OPERATION_WAITING_TO_RUN = -1
    OPERATION_IN_PROGRESS = -2
    OPERATION_DONE = -3
    OPERATION_TIMED_OUT = -4
    OPERATION_BUILD_IN_PROGRESS = -5
    STATE_ACTIVE = -10
    STATE_CLEANUP = -11
    STATE_ERROR = -12
    STATE_IDLE = -13
    STATE_POWERUP = -14
    STATE_RUNNING = -15
    STATE_WAITING = -16
    STATE_CATCHUP = -17
    ERROR_INVALID_ARGUMENTS = -100
    ERROR_INVALID_DATA = -101
    ERROR_REMOTE = -102
    ERROR_UNABLE_TO_COMPLY = -103
    ERROR_MISCONFIGURATION = -104
    ERROR_NO_RESPONSE = -105
    ERROR_INVALID_ANTENNA = -106
    ERROR_UNCONNECTED_ANTENNA = -107
    ERROR_VERIFY_FAILURE = -108
    ERROR_API_ALLOC = -120
    ERROR_API_MAX_HANDLES = -121
    ERROR_NYI = -126
    ERROR_UNKNOWN = -180


def strerror(code: int) -> str:
    """The library's name of a code (either sign); "" for an unnamed one."""
    name = lib.reader_strerror(code)
    return name.decode() if name else ""


def last_errno() -> int:
    """reader_errno: the reason of the latest failure, process-wide."""
    return errno_var.value


def clear_errno() -> None:
    errno_var.value = 0


# The calling thread's own record of its last failure; a library older than
# the record has neither function, and its failures read reader_errno only.
_last_error = getattr(lib, "qdapi_last_error", None)
_clear_error = getattr(lib, "qdapi_clear_error", None)


def clear_error() -> None:
    """Forgets the calling thread's last failure: done before every call, so
    that the record read after a failed call is that call's, not an older
    one's."""
    if _clear_error is not None:
        _clear_error()


def thread_error() -> tuple[int, str]:
    """The calling thread's last failure since clear_error(): its code (0:
    none) and the library's message, which names the operation and the
    reader's host."""
    if _last_error is None:
        return 0, ""
    record = _last_error()
    if not record:
        return 0, ""
    return record.contents.code, (record.contents.message or b"").decode(errors="replace")


class ReaderError(Exception):
    """A failure reported by the library or the reader.

    code: the negative code (e.g. -102); name: its name as reader_strerror
    gives it (e.g. "ERROR_REMOTE"); operation: what was attempted; message:
    the library's own account of the failure, for the thread that met it
    ("tagdb_pop_many: 127.0.0.2: ERROR_REMOTE"), "" where it has none.

    A failed drain of the tag database also carries `tags`, the tags that
    arrived and were not handed over otherwise (Reader.drain() hands every
    tag it received over here; an iteration yields them before it raises),
    and `unanswered`, the calls that went out without an answer: each may
    have taken a tag out of the reader that nobody can recover.
    """

    def __init__(self, code: int, operation: str, name: str | None = None, detail: str = "",
                 message: str = "") -> None:
        self.code = int(code)
        self.name = strerror(code) if name is None else name
        self.operation = operation
        self.detail = detail
        self.message = message
        self.tags: list = []
        self.unanswered = 0
        text = f"{message} ({code})" if message else f"{operation}: {self.name or 'code'} ({code})"
        super().__init__(f"{text}: {detail}" if detail else text)


class OperationTimeoutError(ReaderError):
    """-4: an operation that did not end in time."""


class InvalidArgumentError(ReaderError):
    """-100: an argument the library refused, or a handle it does not know."""


class InvalidHandleError(InvalidArgumentError):
    """A reader that is closed (or a handle the library does not know)."""


class RemoteError(ReaderError):
    """-102: a call to the reader failed, or the reader refused it."""


class UnableToComplyError(ReaderError):
    """-103: the reader cannot do it (a locked area, a word out of range)."""


class NoResponseError(ReaderError):
    """-105: no tag answered (no such tag, or a killed one)."""


class AntennaNotConnectedError(ReaderError):
    """-106 or -107: no antenna is connected to the port."""


class VerifyError(ReaderError):
    """-108: the tag refused the password, or a write did not verify."""


class TableFullError(ReaderError):
    """-121: the library's table of handles is full."""


class PrivilegeError(ReaderError):
    """The privileged family is closed (-2), or an unlock did not raise the
    level."""


_BY_CODE: dict[int, type[ReaderError]] = {
    Code.OPERATION_TIMED_OUT: OperationTimeoutError,
    Code.ERROR_INVALID_ARGUMENTS: InvalidArgumentError,
    Code.ERROR_REMOTE: RemoteError,
    Code.ERROR_UNABLE_TO_COMPLY: UnableToComplyError,
    Code.ERROR_NO_RESPONSE: NoResponseError,
    Code.ERROR_INVALID_ANTENNA: AntennaNotConnectedError,
    Code.ERROR_UNCONNECTED_ANTENNA: AntennaNotConnectedError,
    Code.ERROR_VERIFY_FAILURE: VerifyError,
    Code.ERROR_API_MAX_HANDLES: TableFullError,
}


def error(code: int, operation: str, detail: str = "", message: str = "") -> ReaderError:
    """The exception for a code."""
    return _BY_CODE.get(code, ReaderError)(code, operation, detail=detail, message=message)


def failure(operation: str, code: int | None = None) -> ReaderError:
    """The exception for the calling thread's failed call: `code`, else the
    thread's own record of it, else reader_errno (a failure that left both
    at 0 is ERROR_UNKNOWN).

    reader_errno is one variable for the whole process, which a thread
    failing at the same moment overwrites; the thread's record is its own.
    The record is kept for failures of -100 and below (and for those that
    leave reader_errno alone, such as a host name that does not resolve):
    other failures still read reader_errno."""
    own, message = thread_error()
    if code is None:
        code = own or last_errno() or Code.ERROR_UNKNOWN
    return error(int(code), operation, message=message if own and own == code else "")
