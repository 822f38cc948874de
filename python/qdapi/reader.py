"""Readers: opening and closing, and the library's process-wide switches."""
from __future__ import annotations

import threading
from types import TracebackType
from typing import Any, Callable, TypeVar

from ._lib import lib, trace_enabled_var, use_tcp_var
from ._session import Session
from .admin import AdminMixin
from .diag import Diag
from .errors import Code, InvalidArgumentError, InvalidHandleError, clear_error, failure
from .inventory import InventoryMixin
from .radio import RadioMixin
from .tags import TagMemory, TagId


class Settings:
    """The library's process-wide switches, read and written in place.

    use_tcp: new connections (also the reconnections of open readers) use
    TCP instead of UDP, except those of readers opened with a transport of
    their own (Reader(host, transport=...)).  trace_enabled: the library
    traces to standard error."""

    @property
    def use_tcp(self) -> bool:
        return bool(use_tcp_var.value)

    @use_tcp.setter
    def use_tcp(self, on: bool) -> None:
        use_tcp_var.value = int(bool(on))

    @property
    def trace_enabled(self) -> bool:
        return bool(trace_enabled_var.value)

    @trace_enabled.setter
    def trace_enabled(self, on: bool) -> None:
        trace_enabled_var.value = int(bool(on))


settings = Settings()

# The library's transports for open_reader_over (QDAPI_TRANSPORT_*).
TRANSPORTS = {"udp": 1, "tcp": 2}

T = TypeVar("T")


class Reader(InventoryMixin, RadioMixin, AdminMixin):
    """An open reader; a context manager that closes it.  A reader that
    nothing refers to any more (neither it nor its params, config, diag, tag
    memories or watches) is closed at once.

    transport="udp" or "tcp": the reader's own transport, kept for all its
    connections (reconnections included) whatever settings.use_tcp says;
    readers of both kinds may be used side by side, from any thread.
    Without it the reader connects as settings.use_tcp says at each
    connection.

    tcp=True (without a transport) switches the library to TCP first.  The
    library has one switch for the whole process, which it reads whenever it
    connects: it stays on for every reader opened without a transport
    (settings.use_tcp turns it off again).

    A Reader may be shared by threads: the library serialises what needs it
    per handle.  close() waits for the calls that other threads have in
    flight on it; every call after it raises InvalidHandleError."""

    def __init__(self, host: str, tcp: bool = False, transport: str | None = None) -> None:
        if transport is not None and (tcp or transport not in TRANSPORTS):
            detail = ("tcp=True with a transport" if transport in TRANSPORTS
                      else f"transport {transport!r}: neither 'udp' nor 'tcp'")
            raise InvalidArgumentError(Code.ERROR_INVALID_ARGUMENTS, f"open {host}", detail=detail)
        if tcp:
            settings.use_tcp = True
        self.host = host
        self._session: Session | None = None
        # The version texts live in the reader's record until the same query
        # runs again: each is copied before another thread can ask.
        self._record_lock = threading.Lock()
        self._pending: list = []
        self._pending_lock = threading.Lock()
        clear_error()
        if transport is None:
            handle = lib.open_reader(host.encode())
        else:
            handle = lib.open_reader_over(host.encode(), TRANSPORTS[transport])
        if not handle:
            raise failure(f"open {host}")
        self._session = Session(host, handle)
        self.params = self._make_params()
        self.config = self._make_config()
        self.diag = Diag(self._session)

    def _call(self, function: Callable[..., T], *args: Any) -> T:
        """function(handle, *args), with the handle kept open meanwhile."""
        session = self._session
        if session is None:
            raise InvalidHandleError(Code.ERROR_INVALID_ARGUMENTS, f"reader {self.host}", detail="closed")
        return session.call(function, *args)

    @property
    def handle(self) -> int:
        """The library's handle; InvalidHandleError once closed.  A call made
        with it directly is not kept apart from close()."""
        handle = None if self._session is None or self._session.closed else self._session.handle
        if handle is None:
            raise InvalidHandleError(Code.ERROR_INVALID_ARGUMENTS, f"reader {self.host}", detail="closed")
        return handle

    @property
    def closed(self) -> bool:
        return self._session is None or self._session.closed

    def close(self) -> None:
        """Closes the reader, once the calls in flight on it have returned."""
        if self._session is not None:
            self._session.close()

    def reconnect(self) -> None:
        """Connects anew now (the library also does it by itself when needed)."""
        if not self._call(lib.reconnect_reader):
            raise failure(f"reconnect {self.host}")

    def tag(self, tag_id: TagId, id_bits: int | None = None) -> TagMemory:
        """The memory of the tag with this identity (a Tag, bytes, or hex
        text, optionally "HEX/BITS")."""
        return TagMemory(self, tag_id, id_bits)

    def __enter__(self) -> Reader:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"Reader({self.host!r}{', closed' if self.closed else ''})"
