"""Readers: opening and closing, and the library's process-wide switches."""
from __future__ import annotations

import threading
from types import TracebackType

from ._lib import lib, trace_enabled_var, use_tcp_var
from .admin import AdminMixin
from .diag import Diag
from .errors import Code, InvalidHandleError, failure
from .inventory import InventoryMixin
from .radio import RadioMixin
from .tags import TagMemory, TagId


class Settings:
    """The library's process-wide switches, read and written in place.

    use_tcp: new connections (also the reconnections of open readers) use
    TCP instead of UDP.  trace_enabled: the library traces to standard
    error."""

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


class Reader(InventoryMixin, RadioMixin, AdminMixin):
    """An open reader; a context manager that closes it.

    tcp=True switches the library to TCP first.  The library has one switch
    for the whole process, which it reads whenever it connects: it stays on
    for every reader (settings.use_tcp turns it off again).

    A Reader may be shared by threads: the library serialises what needs it
    per handle."""

    def __init__(self, host: str, tcp: bool = False) -> None:
        if tcp:
            settings.use_tcp = True
        self.host = host
        self._handle: int | None = None
        # The version texts live in the reader's record until the same query
        # runs again: each is copied before another thread can ask.
        self._record_lock = threading.Lock()
        handle = lib.open_reader(host.encode())
        if not handle:
            raise failure(f"open {host}")
        self._handle = handle
        self.params = self._make_params()
        self.config = self._make_config()
        self.diag = Diag(self)

    @property
    def handle(self) -> int:
        """The library's handle; InvalidHandleError once closed."""
        handle = self._handle
        if handle is None:
            raise InvalidHandleError(Code.ERROR_INVALID_ARGUMENTS, f"reader {self.host}", detail="closed")
        return handle

    @property
    def closed(self) -> bool:
        return self._handle is None

    def close(self) -> None:
        handle, self._handle = self._handle, None
        if handle is not None:
            lib.close_reader(handle)

    def reconnect(self) -> None:
        """Connects anew now (the library also does it by itself when needed)."""
        if not lib.reconnect_reader(self.handle):
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

    def __del__(self) -> None:
        # A reader left open would hold one of the library's 128 handles.
        if getattr(self, "_handle", None) is not None:
            try:
                self.close()
            except Exception:   # the interpreter is shutting down
                pass

    def __repr__(self) -> str:
        return f"Reader({self.host!r}{', closed' if self.closed else ''})"
