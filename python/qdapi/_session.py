"""One open handle of the library, and the guard that keeps its calls and
its close apart.

The library reuses the slot of a closed handle for the next reader opened:
a call that went out with a handle after its close could reach that other
reader.  So every call takes the handle through Session.call(), which
counts it in flight; close() refuses new calls, waits for those in flight,
and only then closes the handle.  Calls do not exclude each other: threads
sharing a reader still run their calls at once.

The Reader and its helpers (params, config, diag, tag memories, watches)
all hold the Session, and the Session holds none of them: no reference
cycle, so a Reader that nobody holds any more is closed at once (by
reference counting), not when the cycle collector happens to run.
"""
from __future__ import annotations

import threading
from typing import Any, Callable, TypeVar

from ._lib import lib
from .errors import Code, InvalidHandleError, clear_error

T = TypeVar("T")


class Session:
    __slots__ = ("host", "_handle", "_closing", "_calls", "_idle", "__weakref__")

    def __init__(self, host: str, handle: int) -> None:
        self.host = host
        self._handle: int | None = handle
        self._closing = False
        # Calls in flight by thread: a close need not (and cannot) wait for
        # calls of its own thread, which are not inside the library while
        # it closes; see close().
        self._calls: dict[int, int] = {}
        self._idle = threading.Condition(threading.Lock())

    @property
    def handle(self) -> int | None:
        return self._handle

    @property
    def closed(self) -> bool:
        return self._handle is None or self._closing

    def invalid(self) -> InvalidHandleError:
        return InvalidHandleError(Code.ERROR_INVALID_ARGUMENTS, f"reader {self.host}", detail="closed")

    def call(self, function: Callable[..., T], *args: Any) -> T:
        """function(handle, *args) while the handle cannot be closed;
        InvalidHandleError once close() has begun."""
        me = threading.get_ident()
        counted = False
        # The count and `counted` change with nothing between them at which
        # Python could raise KeyboardInterrupt, and the try covers both: an
        # interrupt cannot leave a call counted for ever (which would hold a
        # close from another thread back for good).
        try:
            with self._idle:
                handle = self._handle
                if handle is None or self._closing:
                    raise self.invalid()
                depth = self._calls.get(me, 0) + 1
                self._calls[me] = depth
                counted = True
            # The thread's record of its last failure is then this call's,
            # when it fails, and none of an earlier one's.
            clear_error()
            return function(handle, *args)
        finally:
            if counted:
                with self._idle:
                    depth = self._calls[me] - 1
                    if depth:
                        self._calls[me] = depth
                    else:
                        del self._calls[me]
                    if self._closing:
                        self._idle.notify_all()

    def close(self) -> None:
        """Refuses new calls, waits for those of other threads in flight,
        then closes the handle.  Closing again does nothing."""
        me = threading.get_ident()
        with self._idle:
            if self._handle is None:
                return
            self._closing = True
            # This thread's own count is not waited for: it is a call that a
            # signal handler (or KeyboardInterrupt) interrupted between
            # bytecodes, outside the library, and waiting for it would wait
            # for ever.
            self._idle.wait_for(lambda: self._handle is None or all(t == me for t in self._calls))
            handle, self._handle = self._handle, None
            if handle is None:   # another thread closed it meanwhile
                return
            lib.close_reader(handle)
            self._idle.notify_all()

    def __del__(self) -> None:
        # Nothing holds the handle any more, so nothing can be calling.
        handle = getattr(self, "_handle", None)
        if handle is not None:
            self._handle = None
            try:
                lib.close_reader(handle)
            except Exception:   # the interpreter is shutting down
                pass
