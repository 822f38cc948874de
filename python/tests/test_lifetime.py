# What a reader's handle and the tags it takes out of the reader go through:
# the allocator that frees the library's strings, readers dropped without
# close(), close() racing with calls in other threads, and KeyboardInterrupt
# in the middle of an inventory.
import gc
import glob
import os
import signal
import threading
import time

import pytest

import qdapi
from conftest import ADDRESS, run_python
from qdapi import _lib
from qdapi.inventory import Tag
from qdapi.sim import VirtualReader, write_field

OTHER_ADDRESS = "127.0.0.152"


def wait_until(condition, what, limit=30.0):
    # A generous limit only against a hang: nothing here depends on speed.
    deadline = time.monotonic() + limit
    while not condition():
        assert time.monotonic() < deadline, f"still waiting for {what}"
        time.sleep(0.005)


# ---------------------------------------------------------------------------
# The library's strings are freed by the allocator that made them

JEMALLOC = sorted(glob.glob("/usr/lib/*/libjemalloc.so.2") + glob.glob("/usr/lib/libjemalloc.so.2"))


@pytest.mark.skipif(not JEMALLOC, reason="no libjemalloc.so.2 to preload")
def test_strings_are_freed_under_a_preloaded_allocator(sim):
    # Each path that frees what the library handed over: a value, a look-up,
    # the list of names and its array, the firmware texts.
    code = f"""
import qdapi
r = qdapi.Reader("{ADDRESS}")
r.update_firmware("fw-2.0.img", poll=0.05)
for _ in range(50):
    print(r.params["hostname"], r.params.lookup("hostname").strip(), "hostname" in r.params.names(),
          r.firmware_status().text1)
r.close()
"""
    env = dict(os.environ, LD_PRELOAD=JEMALLOC[0])
    out = run_python(code, env=env)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["qdsim hostname=qdsim True fw-2.0.img"] * 50


# ---------------------------------------------------------------------------
# A reader nobody refers to is closed at once


def _firmware(r):
    return r.firmware_version


USES = [
    ("nothing", lambda r: None),
    ("params", lambda r: r.params["hostname"]),
    ("config", lambda r: r.config.epc0_deghost),
    ("diag", lambda r: r.diag),
    ("tag memory", lambda r: r.tag("3000ABCD").read("user", 0, 1)),
    ("inventory", lambda r: list(r.inventory())),
]


@pytest.mark.parametrize("use", [u[1] for u in USES], ids=[u[0] for u in USES])
def test_dropped_readers_give_their_handle_back_without_the_cycle_collector(sim, use):
    def probe():
        r = qdapi.Reader(ADDRESS)
        use(r)
        return r.firmware_version

    # Far more readers than the library's 128 handles; with the collector
    # off, only reference counting can close them.
    rounds = 1000 if use is USES[0][1] else 200
    gc.disable()
    try:
        results = [probe() for _ in range(rounds)]
    finally:
        gc.enable()
    assert results == ["1.0.0"] * rounds


def test_a_helper_kept_keeps_its_reader_open(sim):
    gc.disable()
    try:
        params = qdapi.Reader(ADDRESS).params
        tag = qdapi.Reader(ADDRESS).tag("E2801160600002054E3A1B2C")
        assert params["hostname"] == "qdsim"
        assert tag.read("user", 0, 2) == [0x0011, 0x0022]
    finally:
        gc.enable()


# ---------------------------------------------------------------------------
# close() and the calls of other threads


@pytest.fixture
def two_readers(sim):
    """Reader A (description "A") and a second virtual reader, B, whose
    description is "B": a call on A that reached B would read "B"."""
    with VirtualReader(OTHER_ADDRESS, tags=["3000ABCD"]) as other:
        with qdapi.Reader(ADDRESS) as a, qdapi.Reader(OTHER_ADDRESS) as b:
            a.params["description"] = "A"
            b.params["description"] = "B"
        yield other


class HeldCall:
    """Stands in for one library function: its first call, in whichever
    thread, stops with the handle in hand until released, as a call in
    flight inside the library would."""

    def __init__(self, real):
        self.real = real
        self.entered = threading.Event()
        self.release = threading.Event()
        self.first = threading.Lock()

    def __call__(self, handle, *args):
        if self.first.acquire(blocking=False):
            self.entered.set()
            assert self.release.wait(60)
        return self.real(handle, *args)


def test_close_waits_for_a_call_in_flight_and_no_call_reaches_the_next_reader(two_readers, monkeypatch):
    held = HeldCall(_lib.lib.reader_params_get_r)
    monkeypatch.setattr(_lib.lib, "reader_params_get_r", held)
    a = qdapi.Reader(ADDRESS)
    slot = a.handle
    results, errors = [], []

    def in_flight():
        try:
            results.append(a.params["description"])
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    caller = threading.Thread(target=in_flight)
    caller.start()
    assert held.entered.wait(60)
    # Other calls on the reader still run while one is in flight.
    assert a.firmware_version == "1.0.0"
    closer = threading.Thread(target=a.close)
    closer.start()
    wait_until(lambda: a.closed, "the close to begin")
    # The close has begun: new calls are refused, in every form...
    for call in (lambda: a.params["description"], lambda: a.firmware_version, lambda: a.antennas,
                 lambda: a.tag("3000ABCD").read("user", 0, 1), lambda: a.diag.get_freq(0), lambda: list(a.tags())):
        with pytest.raises(qdapi.InvalidHandleError):
            call()
    # ...but the handle stays open until the call in flight returns.
    assert closer.is_alive()
    held.release.set()
    caller.join()
    closer.join()
    assert errors == [] and results == ["A"]
    # Readers of B until one has A's old slot (or the table is full): no
    # call through A reaches any of them.
    others = []
    try:
        while not others or others[-1].handle != slot:
            try:
                others.append(qdapi.Reader(OTHER_ADDRESS))
            except qdapi.TableFullError:
                break
        with pytest.raises(qdapi.InvalidHandleError):
            a.params["description"]
        assert others[-1].params["description"] == "B"
    finally:
        for other in others:
            other.close()


def test_threads_calling_while_another_closes(two_readers):
    a = qdapi.Reader(ADDRESS)
    workers, calls_each = 6, 5
    seen = [[] for _ in range(workers)]
    started = threading.Semaphore(0)
    b_open = threading.Event()
    after_b = 40

    def work(n):
        outcomes, calls_after_b = seen[n], 0
        while calls_after_b < after_b:
            # Read before the call: a call that began after B opened.
            calls_after_b += b_open.is_set()
            try:
                outcomes.append(a.params["description"])
            except qdapi.InvalidHandleError:
                outcomes.append("closed")
            except Exception as e:  # noqa: BLE001 - reported below
                outcomes.append(repr(e))
            if len(outcomes) == calls_each:
                started.release()

    threads = [threading.Thread(target=work, args=(n,)) for n in range(workers)]
    for t in threads:
        t.start()
    for _ in range(workers):
        assert started.acquire(timeout=60)
    a.close()
    b = qdapi.Reader(OTHER_ADDRESS)
    try:
        b_open.set()
        for t in threads:
            t.join()
        assert b.params["description"] == "B"
    finally:
        b.close()
    for outcomes in seen:
        # Answers from A, then refusals only: never B's, never another error.
        first_closed = outcomes.index("closed")
        assert set(outcomes[:first_closed]) == {"A"} and first_closed >= calls_each
        assert set(outcomes[first_closed:]) == {"closed"}


# ---------------------------------------------------------------------------
# KeyboardInterrupt in the middle of an inventory loses no tag

FIELD_SIZE = 40
# The reader hands the field's tags out in the field's order.
ALL = [f"3000{n:04X}" for n in range(FIELD_SIZE)]
# Tags are taken a window at a time: with 4, the tenth drain of the library
# takes the last four and the eleventh finds none.
WINDOW = 4
LAST_CALL = FIELD_SIZE // WINDOW + 1


@pytest.fixture
def big_field(tmp_path):
    path = write_field(tmp_path / "big.txt", ALL)
    with VirtualReader(OTHER_ADDRESS, tags=path) as daemon, qdapi.Reader(OTHER_ADDRESS) as r:
        r.window = WINDOW
        yield daemon, r


@pytest.fixture
def sigint_raises():
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


def interrupt_at(target, nth, before=False):
    """A stand-in for a library function whose nth call is interrupted by
    SIGINT just after it returned (or, before=True, before it was made)."""
    count = [0]

    def wrapper(*args):
        count[0] += 1
        if count[0] == nth and before:
            signal.raise_signal(signal.SIGINT)
        result = target(*args)
        if count[0] == nth and not before:
            signal.raise_signal(signal.SIGINT)
        return result

    return wrapper


def interrupt(monkeypatch, where, nth):
    """Interrupts the nth drain of the library, or the making of the nth tag."""
    if where == "after the library's call":
        monkeypatch.setattr(_lib.lib, "tagdb_pop_many", interrupt_at(_lib.lib.tagdb_pop_many, nth))
    elif where == "before the library's call":
        monkeypatch.setattr(_lib.lib, "tagdb_pop_many", interrupt_at(_lib.lib.tagdb_pop_many, nth, before=True))
    elif where == "while the tag is made":
        monkeypatch.setattr(Tag, "from_record", interrupt_at(Tag.from_record, nth))


def interrupted_inventory(r, monkeypatch, where, nth):
    """The tags of an inventory that KeyboardInterrupt ends at the nth call
    or tag, at the point `where`."""
    got = []
    interrupt(monkeypatch, where, nth)
    with pytest.raises(KeyboardInterrupt):
        for tag in r.inventory(reset=True):
            got.append(tag)
            if where == "in the caller's loop" and len(got) == nth:
                signal.raise_signal(signal.SIGINT)
        # An interruption that did not come: fail through pytest.raises.
    monkeypatch.undo()
    return got


# Where the interruption comes, and at which call of the library (the first,
# one in the middle, the one that finds the database empty) or which tag.
CALLS = [1, LAST_CALL // 2, LAST_CALL]
TAGS = [1, FIELD_SIZE // 2, FIELD_SIZE]
INTERRUPTIONS = [("after the library's call", n) for n in CALLS] + \
    [("before the library's call", n) for n in CALLS] + \
    [("while the tag is made", n) for n in TAGS] + [("in the caller's loop", n) for n in TAGS]


@pytest.mark.parametrize("where, nth", INTERRUPTIONS)
def test_interrupted_inventory_loses_no_tag(big_field, sigint_raises, monkeypatch, where, nth):
    _, r = big_field
    got = interrupted_inventory(r, monkeypatch, where, nth)
    # The rest, those in hand first: each tag exactly once, in the reader's
    # order.
    rest = list(r.tags())
    assert [t.hex for t in got + rest] == ALL
    assert r.consume() is None and list(r.tags()) == [] and r.drain() == []


@pytest.mark.parametrize("where, nth", [w for w in INTERRUPTIONS if w[0] != "in the caller's loop"])
def test_interrupted_drain_loses_no_tag(big_field, sigint_raises, monkeypatch, where, nth):
    _, r = big_field
    list(r.inventory(reset=True))
    search = r.search_start()
    wait_until(lambda: r.search_status(search) not in (qdapi.Code.OPERATION_WAITING_TO_RUN,
                                                      qdapi.Code.OPERATION_IN_PROGRESS), "the search")
    interrupt(monkeypatch, where, nth)
    with pytest.raises(KeyboardInterrupt):
        r.drain()
    monkeypatch.undo()
    assert [t.hex for t in r.drain()] == ALL
    assert r.drain() == [] and r.tags_available() == 0


@pytest.mark.parametrize("next_take", ["inventory", "consume", "drain"])
def test_the_tags_in_hand_come_first_in_the_next_take(big_field, sigint_raises, monkeypatch, next_take):
    _, r = big_field
    # The second window is in hand, not yet handed over.
    got = interrupted_inventory(r, monkeypatch, "after the library's call", 2)
    assert [t.hex for t in got] == ALL[:WINDOW]
    if next_take == "inventory":
        # Those in hand, the rest of the first search's, then the second's.
        assert [t.hex for t in r.inventory()] == ALL[WINDOW:] + ALL
    elif next_take == "consume":
        assert r.consume().hex == ALL[WINDOW]
        assert [t.hex for t in r.tags()] == ALL[WINDOW + 1:]
    else:
        assert [t.hex for t in r.drain(limit=2)] == ALL[WINDOW:WINDOW + 2]
        assert [t.hex for t in r.drain()] == ALL[WINDOW + 2:]


def test_interrupted_consume_loses_no_tag(big_field, sigint_raises, monkeypatch):
    _, r = big_field
    list(r.inventory(reset=True))
    search = r.search_start()
    wait_until(lambda: r.search_status(search) not in (qdapi.Code.OPERATION_WAITING_TO_RUN,
                                                      qdapi.Code.OPERATION_IN_PROGRESS), "the search")
    monkeypatch.setattr(_lib.lib, "tagdb_consume", interrupt_at(_lib.lib.tagdb_consume, 1))
    with pytest.raises(KeyboardInterrupt):
        r.consume()
    monkeypatch.undo()
    taken = list(iter(r.consume, None))
    assert [t.hex for t in taken] == ALL


def test_reset_forgets_the_tags_in_hand(big_field, sigint_raises, monkeypatch):
    _, r = big_field
    interrupted_inventory(r, monkeypatch, "after the library's call", 1)
    r.reset_tags()
    assert list(r.tags()) == [] and r.drain() == []
