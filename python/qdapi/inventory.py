"""Inventories: one search and its tags, automatic searches (watch), and the
detailed, conveyor and extended searches."""
from __future__ import annotations

import ctypes
import threading
import time
from dataclasses import dataclass
from typing import Iterable, Iterator

from ._lib import PoppedTagRecord, SearchConfig, SearchParams as _SearchParamsRecord, TagRecord, lib
from .errors import Code, clear_errno, error, failure, last_errno

# The longest duration the reader times by itself (milliseconds in 16 bits);
# a watch ends a longer one itself.
READER_TIMED_LIMIT = 65.535


@dataclass(frozen=True)
class SearchParams:
    """The parameters of a search; the default finds every tag.  a_count and
    b_count default to the number of values."""
    a_values: tuple[int, ...] = ()
    b_values: tuple[int, ...] = ()
    span: int = 0
    a_count: int | None = None
    b_count: int | None = None

    def record(self) -> _SearchParamsRecord:
        if len(self.a_values) > 16 or len(self.b_values) > 16:
            raise ValueError("a search takes at most 16 a values and 16 b values")
        r = _SearchParamsRecord()
        r.a_count = len(self.a_values) if self.a_count is None else self.a_count
        r.b_count = len(self.b_values) if self.b_count is None else self.b_count
        r.a_values[:len(self.a_values)] = list(self.a_values)
        r.b_values[:len(self.b_values)] = list(self.b_values)
        r.span = self.span
        return r


def _params(params: SearchParams | None) -> _SearchParamsRecord:
    return (params or SearchParams()).record()


@dataclass(frozen=True)
class Tag:
    """A tag from the reader's database: its identity (the significant words,
    high byte first), its length in bits, the reader's words and counters.
    word4 and word5 come only with Reader.consume()."""
    id: bytes
    id_bits: int
    word1: int
    word2: int
    word3: int
    count1: int
    count2: int
    count3: int
    value: int
    word4: int | None = None
    word5: int | None = None

    @property
    def hex(self) -> str:
        """The identity in hex, four digits a word, as qdctl prints it."""
        return self.id.hex().upper()

    @classmethod
    def from_record(cls, r: PoppedTagRecord | TagRecord) -> Tag:
        words = (min(r.id_bits, 256) + 15) // 16
        extra = {"word4": r.tag_word4, "word5": r.tag_word5} if isinstance(r, TagRecord) else {}
        return cls(b"".join(w.to_bytes(2, "big") for w in r.id[:words]), r.id_bits, r.tag_word1, r.tag_word2,
                   r.tag_word3, r.tag_count1, r.tag_count2, r.tag_count3, r.tag_value, **extra)


def _checked(result: int, operation: str, failed: int = -1) -> int:
    if result == failed:
        raise failure(operation)
    return result


class InventoryMixin:
    handle: int

    # -- one search ---------------------------------------------------------

    def inventory(self, params: SearchParams | None = None, timeout: float = 30.0, reset: bool = False,
                  poll: float = 0.01) -> Iterator[Tag]:
        """Runs one search and yields every tag it found.  reset empties the
        reader's database first.  OperationTimeoutError when the search has
        not ended within `timeout` seconds."""
        if reset:
            self.reset_tags()
        search_id = self.search_start(params)
        deadline = time.monotonic() + timeout
        while (status := self.search_status(search_id)) in (Code.OPERATION_WAITING_TO_RUN,
                                                            Code.OPERATION_IN_PROGRESS):
            if time.monotonic() >= deadline:
                raise error(Code.OPERATION_TIMED_OUT, "inventory", detail=f"the search did not end within {timeout:g} s")
            time.sleep(poll)
        if status not in (Code.OPERATION_DONE, Code.SUCCESSFUL):
            raise error(status, "inventory", detail="the search ended with this status")
        self.tags_available()
        yield from self.tags()

    def search_start(self, params: SearchParams | None = None) -> int:
        """Starts a search; its identifier."""
        return _checked(lib.search_start(self.handle, ctypes.byref(_params(params))), "search_start")

    def search_status(self, search_id: int) -> int:
        """The reader's status of a search (-1 waiting, -2 running, -3 done...)."""
        return _checked(lib.operation_status(self.handle, search_id), "operation_status",
                        Code.OPERATION_BUILD_IN_PROGRESS)

    def tags_available(self) -> int:
        """The number of tags in the reader's database."""
        return _checked(lib.tags_available(self.handle, 0), "tags_available")

    def tags(self) -> Iterator[Tag]:
        """Takes the tags out of the reader's database, one by one."""
        while True:
            record = PoppedTagRecord()
            _checked(lib.tagdb_pop(self.handle, ctypes.byref(record)), "tagdb_pop")
            if record.status != 1:
                return
            yield Tag.from_record(record)

    def consume(self) -> Tag | None:
        """Takes one tag in the full form (word4, word5), or None when empty."""
        record = TagRecord()
        _checked(lib.tagdb_consume(self.handle, ctypes.byref(record)), "tagdb_consume")
        return Tag.from_record(record) if record.status == 1 else None

    def reset_tags(self) -> None:
        """Empties the reader's tag database."""
        _checked(lib.tagdb_reset_db(self.handle), "tagdb_reset_db")

    # -- detailed, conveyor and extended searches ---------------------------

    def detailed_start(self, config: SearchConfig) -> int:
        """Starts a search from a full configuration (whose discriminants the
        library fills in place); its identifier."""
        return _checked(lib.detailed_read_start(self.handle, ctypes.byref(config)), "detailed_read_start")

    def detailed_stop(self, search_id: int) -> int:
        return _checked(lib.detailed_read_stop(self.handle, search_id), "detailed_read_stop")

    def conveyor_start(self, params: SearchParams | None = None) -> int:
        return _checked(lib.conveyor_read_start(self.handle, ctypes.byref(_params(params))), "conveyor_read_start")

    def conveyor_stop(self, search_id: int) -> int:
        return _checked(lib.conveyor_read_stop(self.handle, search_id), "conveyor_read_stop")

    def extended_configure(self, config: SearchConfig) -> int:
        """The reader's status of the configuration."""
        result = lib.zr_search_configure(self.handle, ctypes.byref(config))
        if result in (-2, -3):
            raise failure("zr_search_configure", None if result == -3 else Code.ERROR_REMOTE)
        return result

    def _extended(self, name: str) -> int:
        result = getattr(lib, name)(self.handle)
        if result in (-1, -4):
            raise failure(name, None if result == -4 else Code.ERROR_REMOTE)
        return result

    def extended_start(self) -> int:
        return self._extended("zr_search_start")

    def extended_stop(self) -> int:
        return self._extended("zr_search_stop")

    def extended_verify(self) -> int:
        return self._extended("zr_search_verify")

    # -- automatic searches -------------------------------------------------

    def watch(self, params: SearchParams | None = None, *, start: float = 0.0, duration: float | None = None,
              period: float = 0.0, run_time: float = 0.0, reset: bool = False, poll: float = 0.05) -> Watch:
        """A continuous inventory: registers an automatic search, due `start`
        seconds from now, for `duration` seconds (None: until stopped), and
        yields every sighting while it runs.  Ends when the search ends, on
        Watch.stop() (from any thread), or when the loop is left."""
        if reset:
            self.reset_tags()
        return Watch(self, params, start, duration, period, run_time, poll)


class Watch:
    """An automatic search being watched: iterate it for the sightings; use
    it as a context manager, or call close(), to stop it on the reader."""

    def __init__(self, reader: InventoryMixin, params: SearchParams | None, start: float, duration: float | None,
                 period: float, run_time: float, poll: float) -> None:
        self._reader = reader
        self._poll = poll
        self._stopping = threading.Event()
        self._lock = threading.Lock()
        now = time.time()
        start_at = now + start
        end = 0.0 if duration is None else start_at + duration
        # The reader would take a longer duration modulo 65.536 s.
        self._local_end = end if end and end - start_at > READER_TIMED_LIMIT else None
        self._search = lib.auto_search_start(reader.handle, ctypes.byref(_params(params)), start_at, period,
                                             run_time, 0.0 if self._local_end else end)
        if not self._search:
            raise failure("auto_search_start")
        self._running = True

    def __iter__(self) -> Iterator[Tag]:
        try:
            while True:
                yield from self._reader.tags()
                if self._stopping.is_set() or (self._local_end and time.time() >= self._local_end):
                    break
                clear_errno()
                if lib.search_active(self._search) != 1:
                    reason = last_errno()
                    with self._lock:
                        self._running = False
                    yield from self._reader.tags()
                    if reason:
                        raise error(reason, "search_active")
                    return
                self._stopping.wait(self._poll)
            self.close()
            yield from self._reader.tags()
        finally:
            self.close()

    def stop(self) -> None:
        """Ends the watch at its next poll (callable from any thread)."""
        self._stopping.set()

    def close(self) -> None:
        """Stops the search on the reader unless it ended."""
        self._stopping.set()
        with self._lock:
            running, self._running = self._running, False
        if running and not getattr(self._reader, "closed", False):
            lib.auto_search_stop(self._search)

    @property
    def active(self) -> bool:
        return lib.search_active(self._search) == 1

    def __enter__(self) -> Watch:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def unique(tags: Iterable[Tag]) -> Iterator[Tag]:
    """Each tag the first time it is seen."""
    seen: set[tuple[int, bytes]] = set()
    for tag in tags:
        if (tag.id_bits, tag.id) not in seen:
            seen.add((tag.id_bits, tag.id))
            yield tag
