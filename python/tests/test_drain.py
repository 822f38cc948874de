# Tags taken out a window of calls at a time: the same tags, in the same
# order and with the same fields as one call a tag; the window; a drain
# that fails; and, beside them, the region through a sized buffer, the
# library's version and each thread's own failure.
import ctypes
import re
import threading

import pytest

import qdapi
from conftest import ADDRESS, PYTHON_DIR
from qdapi import _lib, _version
from qdapi.inventory import Tag
from qdapi.sim import VirtualReader, write_field

DRAIN_ADDRESS = "127.0.0.153"


def reader_of(tmp_path, size, **options):
    lines = [f"3000{n:04X} word1={n % 7} word2={n % 5} word3={n % 3} count1={n} count2={2 * n} count3={3 * n} "
             f"value={11 * n}" for n in range(size)]
    return VirtualReader(DRAIN_ADDRESS, tags=write_field(tmp_path / "field.txt", lines), **options)


def search(r):
    """Runs a search to its end: its tags are in the reader's database."""
    r.reset_tags()
    search_id = r.search_start()
    while r.search_status(search_id) in (qdapi.Code.OPERATION_WAITING_TO_RUN, qdapi.Code.OPERATION_IN_PROGRESS):
        pass
    return r.tags_available()


def one_call_a_tag(r):
    """The database as a loop of tagdb_pop takes it: the reference."""
    tags = []
    while True:
        record = _lib.PoppedTagRecord()
        assert _lib.lib.tagdb_pop(r.handle, ctypes.byref(record)) == 0
        if record.status != 1:
            return tags
        tags.append(Tag.from_record(record))


TAKES = {
    "inventory": lambda r: list(r.inventory()),
    "tags": lambda r: list(r.tags()),
    "drain": lambda r: r.drain(),
}


@pytest.mark.parametrize("size", [0, 1, 40, 300])
@pytest.mark.parametrize("window", [1, 3, 256])
@pytest.mark.parametrize("take", sorted(TAKES))
def test_a_window_at_a_time_takes_what_one_call_a_tag_takes(tmp_path, size, window, take):
    with reader_of(tmp_path, size), qdapi.Reader(DRAIN_ADDRESS) as r:
        assert search(r) == size
        reference = one_call_a_tag(r)
        assert len(reference) == size
        r.window = window
        if take != "inventory":
            search(r)
        assert TAKES[take](r) == reference
        assert r.tags_available() == 0 and r.drain() == []


@pytest.mark.parametrize("limit", [0, 1, 3, 4, 9, 10, 11, None])
def test_a_limited_drain_leaves_the_rest_in_the_reader(tmp_path, limit):
    with reader_of(tmp_path, 10), qdapi.Reader(DRAIN_ADDRESS) as r:
        search(r)
        reference = one_call_a_tag(r)
        search(r)
        r.window = 4
        first = r.drain(limit)
        assert first == reference[:limit]
        assert r.tags_available() == len(reference) - len(first)
        assert r.drain() == reference[len(first):]


def test_a_negative_limit_is_refused(reader):
    with pytest.raises(ValueError):
        reader.drain(-1)


@pytest.mark.parametrize("tcp, default", [(False, 8), (True, 32)], ids=["udp", "tcp"])
def test_the_window_defaults_to_the_transport_and_keeps_what_is_set(sim, tcp, default):
    try:
        with qdapi.Reader(ADDRESS, tcp=tcp) as r:
            assert r.window == default
            for window in (1, 256, 17):
                r.window = window
                assert r.window == window
    finally:
        qdapi.settings.use_tcp = False


@pytest.mark.parametrize("window, kind", [(0, qdapi.InvalidArgumentError), (-1, qdapi.InvalidArgumentError),
                                          (257, qdapi.InvalidArgumentError), (2**31, qdapi.InvalidArgumentError),
                                          (-2**40, qdapi.InvalidArgumentError), (2.5, TypeError), ("8", TypeError)])
def test_a_window_out_of_range_is_refused_and_changes_nothing(reader, window, kind):
    reader.window = 5
    with pytest.raises(kind):
        reader.window = window
    assert reader.window == 5


# A reply that fails: the sixth call of tagdb_pop, in the second window of 4.
FAULTS = ["error_reply", "garbage_reply"]


@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("take", ["drain", "inventory"])
def test_a_failed_drain_hands_over_every_tag_that_arrived(tmp_path, fault, take):
    size = 20
    with reader_of(tmp_path, size, fault=f"tagdb_pop:{fault}:0:1:5"), qdapi.Reader(DRAIN_ADDRESS) as r:
        r.window = 4
        search(r)
        got = []
        with pytest.raises(qdapi.RemoteError) as raised:
            if take == "drain":
                r.drain()
            else:
                for tag in r.tags():
                    got.append(tag)
        failed = raised.value
        assert failed.code == qdapi.Code.ERROR_REMOTE and failed.operation == "tagdb_pop_many"
        assert failed.message.startswith(f"tagdb_pop_many: {DRAIN_ADDRESS}: ")
        # drain(): the tags come with the exception; an iteration yields
        # them before it raises.
        arrived = failed.tags if take == "drain" else got
        assert take == "drain" or failed.tags == []
        assert 1 <= failed.unanswered <= 4
        rest = r.drain()
        search(r)
        reference = one_call_a_tag(r)
        # The five calls before the fault brought their tags; what arrived
        # and what stayed keep the reader's order; only an unanswered call
        # may have taken a tag that nobody has.
        assert len(arrived) >= 5
        assert arrived == reference[:len(arrived)] and rest == reference[size - len(rest):]
        assert size - failed.unanswered <= len(arrived) + len(rest) <= size


# ---------------------------------------------------------------------------
# The region, through a buffer the library cannot overrun


@pytest.mark.parametrize("region", ["US", "EU 2", "R" * 4095, "R" * 4096], ids=["short", "space", "4095", "4096"])
def test_region_names_up_to_the_longest_a_reader_sends(tmp_path, region):
    with reader_of(tmp_path, 0, region=region), qdapi.Reader(DRAIN_ADDRESS) as r:
        assert r.region == region


def test_region_of_a_reader_that_went_away(tmp_path):
    with reader_of(tmp_path, 0) as daemon, qdapi.Reader(DRAIN_ADDRESS) as r:
        assert r.region == "US"
        daemon.stop()
        with pytest.raises(qdapi.RemoteError) as raised:
            r.region
        assert raised.value.message.startswith(f"get_region_sized: {DRAIN_ADDRESS}")


# ---------------------------------------------------------------------------
# Versions


def test_the_library_is_the_version_of_the_binding():
    project = re.search(r"project\(qdapi\s+VERSION\s+([\d.]+)", (PYTHON_DIR.parent / "CMakeLists.txt").read_text())
    header = re.search(r'#define QDAPI_VERSION "([^"]+)"', (PYTHON_DIR.parent / "include/qdapi/errors.h").read_text())
    assert qdapi.__version__ == project.group(1) == header.group(1)
    assert qdapi.library_version() == qdapi.__version__


@pytest.mark.parametrize("package, library, verdict", [
    ("1.0.0", "1.0.0", None),
    ("1.0.0", "1.0.3", None),
    ("1.0.0", "1.4.0", None),
    ("1.2.0", "1.1.9", "warning"),
    ("1.0.1", "1.0.0", "warning"),
    ("1.0.0", "", "warning"),
    ("1.0.0", "2.0.0", "error"),
    ("2.1.0", "1.9.9", "error"),
])
def test_what_a_library_version_means_to_the_binding(package, library, verdict):
    found = _version.mismatch(package, library)
    assert (found and found[0]) == verdict
    if found:
        assert package in found[1]


# ---------------------------------------------------------------------------
# Each thread's own failure

# A failure, the library function it comes from, its code.
FAILURES = {
    "missing tag": (lambda r: r.tag("DEAD").read("user", 0, 1), "tagdata_read", -102),
    "antenna": (lambda r: r.set_antenna_power(5, 10), "set_antenna_tx_power", -106),
    "gpio input": (lambda r: r.set_gpio(0, 1), "GPIO_set", -103),
}
PAIRS = [(a, b) for a in FAILURES for b in FAILURES if a != b]


@pytest.mark.parametrize("first, second", PAIRS, ids=[f"{a}, then {b}" for a, b in PAIRS])
def test_threads_failing_at_once_each_get_their_own_failure(reader, monkeypatch, first, second):
    # The first thread's call fails, and the second's fails after it and
    # before the first thread reads why: reader_errno then holds the
    # second's reason.
    first_failed, second_failed = threading.Event(), threading.Event()

    def ordered(name, before, after):
        real = getattr(_lib.lib, name)

        def wrapper(*args):
            if before:
                assert before.wait(30)
            result = real(*args)
            after[0].set()
            if after[1]:
                assert after[1].wait(30)
            return result
        monkeypatch.setattr(_lib.lib, name, wrapper)

    ordered(FAILURES[first][1], None, (first_failed, second_failed))
    ordered(FAILURES[second][1], first_failed, (second_failed, None))
    raised = {}

    def run(which):
        try:
            FAILURES[which][0](reader)
        except qdapi.ReaderError as e:
            raised[which] = e

    threads = [threading.Thread(target=run, args=(which,)) for which in (first, second)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    for which in (first, second):
        _, function, code = FAILURES[which]
        assert raised[which].code == code
        assert raised[which].message == f"{function}: {ADDRESS}: {qdapi.strerror(code)}"
        assert str(raised[which]).startswith(raised[which].message)


def test_a_host_that_does_not_resolve_is_named(sim):
    with pytest.raises(qdapi.InvalidArgumentError) as raised:
        qdapi.Reader("no-such-host.invalid")
    assert raised.value.code == -100 and "no-such-host.invalid" in raised.value.message
