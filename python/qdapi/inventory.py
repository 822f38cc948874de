"""Inventories: one search and its tags, automatic searches (watch), and the
detailed, conveyor and extended searches."""
from __future__ import annotations

import ctypes
import operator
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Iterable, Iterator

from ._lib import PoppedTagRecord, SearchConfig, SearchParams as _SearchParamsRecord, TagRecord, lib
from ._session import Session
from .errors import (Code, InvalidArgumentError, InvalidHandleError, ReaderError, clear_errno, error, failure,
                     last_errno, thread_error)

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
    _session: Session
    _call: Callable[..., Any]
    # Records that left the reader's database but were not handed to the
    # caller (an exception, KeyboardInterrupt above all, left the iteration
    # between the two): the next iteration hands them over first.  A record
    # whose status is not 1 is one that the library never filled.
    _pending: list[PoppedTagRecord | TagRecord]
    _pending_lock: threading.Lock

    # -- one search ---------------------------------------------------------

    def inventory(self, params: SearchParams | None = None, timeout: float = 30.0, reset: bool = False,
                  poll: float = 0.01) -> Iterator[Tag]:
        """Runs one search and yields every tag it found (after any tag that
        an interrupted iteration took out of the reader and did not hand
        over).  reset empties the reader's database first, and forgets such
        tags.  OperationTimeoutError when the search has not ended within
        `timeout` seconds."""
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
        return _checked(self._call(lib.search_start, ctypes.byref(_params(params))), "search_start")

    def search_status(self, search_id: int) -> int:
        """The reader's status of a search (-1 waiting, -2 running, -3 done...)."""
        return _checked(self._call(lib.operation_status, search_id), "operation_status",
                        Code.OPERATION_BUILD_IN_PROGRESS)

    def tags_available(self) -> int:
        """The number of tags in the reader's database."""
        return _checked(self._call(lib.tags_available, 0), "tags_available")

    # A tag taken out of the reader exists only here until it is handed
    # over.  The library takes tags out a chunk at a time, into an array
    # that goes to the pending records as a whole (whatever interrupts the
    # call), and every tag is handed over from there: `held` names it from
    # its removal from the pending records to the moment of the hand-over,
    # and whatever ends the iteration in between puts it back in front.
    # Python raises KeyboardInterrupt (and switches threads) only at calls
    # and loops, so the steps without a call between them below (take and
    # delete; clear and yield or return) cannot be split by it.

    def _take_chunk(self, capacity: int) -> tuple[int, ReaderError | None]:
        """Takes up to `capacity` tags out of the reader's database, with the
        reader's window of calls in flight, onto the end of the pending
        records, in the reader's order: how many came, and the failure that
        ended the drain (None if it ended because the reader had no tag
        left, or the chunk was full)."""
        records = count = None
        unanswered = ctypes.c_int(0)
        try:
            records = (PoppedTagRecord * capacity)()
            count = self._call(lib.tagdb_pop_many, records, capacity, ctypes.byref(unanswered))
        finally:
            if records is not None:
                # Without the count (an interruption between the library's
                # return and here), the whole array: the records that the
                # library did not fill have status 0 and are passed over.
                with self._pending_lock:
                    self._pending.extend(records if count is None else records[:count] if count > 0 else ())
        code, _ = thread_error()
        if count == -1 or code:
            problem = failure("tagdb_pop_many")
            problem.unanswered = unanswered.value
            return max(count, 0), problem
        return count, None

    def _chunk_size(self) -> int:
        # One window a call: every call of it goes out at once, and an
        # interrupted iteration leaves no more than that in hand.
        return max(1, self.window)

    def tags(self) -> Iterator[Tag]:
        """Takes the tags out of the reader's database, in the reader's
        order; first any that an interrupted iteration took out and did not
        hand over.  A drain that fails raises (ReaderError with
        `unanswered`) once the tags that did arrive have been yielded."""
        held: PoppedTagRecord | TagRecord | None = None
        problem: ReaderError | None = None
        more = True
        capacity = 0
        try:
            while True:
                with self._pending_lock:
                    if self._pending:
                        held = self._pending[0]
                        del self._pending[0]
                if held is None:
                    if problem is not None:
                        raise problem
                    if not more:
                        return
                    capacity = capacity or self._chunk_size()
                    count, problem = self._take_chunk(capacity)
                    # A short chunk: the reader answered that it had no tag.
                    more = count == capacity
                    continue
                if held.status != 1:
                    held = None
                    continue
                tag = Tag.from_record(held)
                held = None
                yield tag
        finally:
            if held is not None:
                self._pending.insert(0, held)

    def drain(self, limit: int | None = None) -> list[Tag]:
        """Takes every tag out of the reader's database (at most `limit`),
        in the reader's order, first any that an interrupted iteration took
        out; what is beyond the limit stays in the reader.  A drain that
        fails raises ReaderError (RemoteError for a failed call) carrying
        the tags that arrived (`tags`) and `unanswered`."""
        if limit is not None and limit < 0:
            raise ValueError(f"a limit of {limit} tags")
        taken: list[PoppedTagRecord | TagRecord] | None = []
        problem: ReaderError | None = None
        more = True
        capacity = self._chunk_size()
        try:
            while True:
                with self._pending_lock:
                    # Records the library never filled go first, so that the
                    # limit counts tags only.
                    self._pending[:] = [r for r in self._pending if r.status == 1]
                    room = None if limit is None else limit - len(taken)
                    taken += self._pending[:room]
                    del self._pending[:room]
                if problem is not None or not more or (limit is not None and len(taken) >= limit):
                    break
                want = capacity if limit is None else min(capacity, limit - len(taken))
                count, problem = self._take_chunk(want)
                more = count == want
            tags = [Tag.from_record(r) for r in taken]
            taken = None   # handed over, by the result or by the exception
            if problem is not None:
                problem.tags = tags
                raise problem
            return tags
        finally:
            if taken:
                with self._pending_lock:
                    self._pending[0:0] = taken

    @property
    def window(self) -> int:
        """How many calls a drain of the tag database keeps in flight at
        once (1 to 256; by default 8 over UDP, 32 over TCP)."""
        return _checked(self._call(lib.get_pipeline_window), "get_pipeline_window")

    @window.setter
    def window(self, window: int) -> None:
        window = operator.index(window)
        # The library judges the range; a number beyond an int never reaches it.
        if not -2**31 <= window < 2**31:
            raise InvalidArgumentError(Code.ERROR_INVALID_ARGUMENTS, "set_pipeline_window",
                                       detail=f"a window of {window} calls")
        _checked(self._call(lib.set_pipeline_window, window), "set_pipeline_window")

    def consume(self) -> Tag | None:
        """Takes one tag in the full form (word4, word5), or None when empty.
        A tag that an interrupted iteration took out comes first, in the form
        it was taken in."""
        held: PoppedTagRecord | TagRecord | None = None
        try:
            while True:
                with self._pending_lock:
                    if self._pending:
                        held = self._pending[0]
                        del self._pending[0]
                if held is None:
                    held = TagRecord()
                    if self._call(lib.tagdb_consume, ctypes.byref(held)) == -1:
                        held = None
                        raise failure("tagdb_consume")
                    if held.status != 1:
                        held = None
                        return None
                elif held.status != 1:
                    held = None
                    continue
                tag = Tag.from_record(held)
                held = None
                return tag
        finally:
            if held is not None:
                self._pending.insert(0, held)

    def reset_tags(self) -> None:
        """Empties the reader's tag database, and forgets the tags that an
        interrupted iteration took out of it and did not hand over."""
        _checked(self._call(lib.tagdb_reset_db), "tagdb_reset_db")
        with self._pending_lock:
            del self._pending[:]

    # -- detailed, conveyor and extended searches ---------------------------

    def detailed_start(self, config: SearchConfig) -> int:
        """Starts a search from a full configuration (whose discriminants the
        library fills in place); its identifier."""
        return _checked(self._call(lib.detailed_read_start, ctypes.byref(config)), "detailed_read_start")

    def detailed_stop(self, search_id: int) -> int:
        return _checked(self._call(lib.detailed_read_stop, search_id), "detailed_read_stop")

    def conveyor_start(self, params: SearchParams | None = None) -> int:
        return _checked(self._call(lib.conveyor_read_start, ctypes.byref(_params(params))), "conveyor_read_start")

    def conveyor_stop(self, search_id: int) -> int:
        return _checked(self._call(lib.conveyor_read_stop, search_id), "conveyor_read_stop")

    def extended_configure(self, config: SearchConfig) -> int:
        """The reader's status of the configuration."""
        result = self._call(lib.zr_search_configure, ctypes.byref(config))
        if result in (-2, -3):
            raise failure("zr_search_configure", None if result == -3 else Code.ERROR_REMOTE)
        return result

    def _extended(self, name: str) -> int:
        result = self._call(getattr(lib, name))
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
        self._search = reader._call(lib.auto_search_start, ctypes.byref(_params(params)), start_at, period,
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
                if self._on_search(lib.search_active) != 1:
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

    def _on_search(self, function: Callable[[int], int]) -> int:
        # The search's handle is one of the library's slots, freed with the
        # reader's: used only while the reader cannot be closed.
        search = self._search
        return self._reader._call(lambda _reader_handle: function(search))

    def stop(self) -> None:
        """Ends the watch at its next poll (callable from any thread)."""
        self._stopping.set()

    def close(self) -> None:
        """Stops the search on the reader unless it ended."""
        self._stopping.set()
        with self._lock:
            running, self._running = self._running, False
        if running:
            try:
                self._on_search(lib.auto_search_stop)
            except InvalidHandleError:
                pass   # closing the reader stopped it

    @property
    def active(self) -> bool:
        """False also once the reader is closed, which ends its searches."""
        try:
            return self._on_search(lib.search_active) == 1
        except InvalidHandleError:
            return False

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
