import ctypes
import os
import re
import resource
import shutil
import subprocess
import sys
import threading
import time

import pytest

import qdapi
from conftest import ADDRESS, FIELD, PYTHON_DIR, RECORDS, run_python
from qdapi.sim import VirtualReader

ACCESS_CODE = 0x3C5A17E9
EXPECTED = {(tag.split("/")[0].ljust(4 * ((bits + 15) // 16), "0"), bits) for tag, bits, _ in FIELD}


# ---------------------------------------------------------------------------
# Inventory


def test_inventory_reports_the_known_field(reader):
    tags = {t.hex: t for t in reader.inventory(reset=True)}
    assert {(t.hex, t.id_bits) for t in tags.values()} == EXPECTED
    first = tags["3000ABCD"]
    assert first.id == bytes.fromhex("3000ABCD")
    assert (first.word1, first.word2, first.word3, first.count1, first.count2, first.count3, first.value) == \
        (1, 2, 3, 10, 20, 30, 7)
    # The database was emptied by the inventory; a new one finds them again.
    assert reader.tags_available() == 0 and reader.consume() is None
    assert {t.hex for t in reader.inventory()} == set(tags)


def test_watch_yields_sightings_until_stopped(reader):
    seen = []
    with reader.watch() as watch:
        threading.Timer(0.5, watch.stop).start()
        for tag in watch:
            seen.append(tag)
    assert len(seen) > len(FIELD)
    assert {(t.hex, t.id_bits) for t in qdapi.unique(seen)} == EXPECTED
    assert not watch.active
    # A search with a duration ends by itself.
    assert {t.hex for t in reader.watch(duration=0.3)} == {h for h, _ in EXPECTED}


def test_consume_gives_the_full_record(reader):
    search = reader.search_start()
    while reader.search_status(search) in (qdapi.Code.OPERATION_WAITING_TO_RUN, qdapi.Code.OPERATION_IN_PROGRESS):
        time.sleep(0.01)
    tags = {t.hex: t for t in iter(reader.consume, None)}
    assert {(h, t.id_bits) for h, t in tags.items()} == EXPECTED
    assert (tags["3000ABCD"].word4, tags["3000ABCD"].word5, tags["3000ABCD"].value) == (4, 5, 7)


@pytest.mark.parametrize("kind, argument", [("conveyor", qdapi.SearchParams(a_values=(1, 2), span=3)),
                                            ("detailed", qdapi.SearchConfig())])
def test_searches_stopped_at_once_fill_the_database(reader, kind, argument):
    search = getattr(reader, f"{kind}_start")(argument)
    getattr(reader, f"{kind}_stop")(search)
    assert reader.search_status(search) == qdapi.Code.OPERATION_DONE
    assert {(t.hex, t.id_bits) for t in reader.tags()} == EXPECTED


def test_virtual_reader_takes_identities_in_every_form():
    tag = qdapi.Tag(b"\x12\x34\x56\x00", 28, 0, 0, 0, 0, 0, 0, 0)
    with VirtualReader("127.0.0.151", tags=["ABC/12", b"\xE2\x00", tag]), qdapi.Reader("127.0.0.151") as r:
        assert {(t.hex, t.id_bits) for t in r.inventory()} == {("ABC0", 12), ("E200", 16), ("12345600", 28)}


# ---------------------------------------------------------------------------
# Tag memory


@pytest.mark.parametrize("given, bits", [("ABCD/17", None), ("ABCD1234", 8), (b"\x01", None), ("12345", 16), ("XYZ", None)])
def test_identities_that_do_not_fit_their_length_are_refused(reader, given, bits):
    with pytest.raises(ValueError):
        reader.tag(given, bits)


@pytest.mark.parametrize("area, first, data, expect", [
    ("user", 0, [0x1111, 0x2222, 0x3333], [0x1111, 0x2222, 0x3333]),
    (qdapi.Area.USER, 1020, b"\xAB\xCD\x00\x01", [0xABCD, 0x0001]),
    (0, 2, [0xFFFF], [0xFFFF]),
])
def test_tag_memory_round_trips(reader, area, first, data, expect):
    tag = reader.tag("E2801160600002054E3A1B2C")
    tag.write(area, first, data)
    assert tag.read(area, first, len(expect)) == expect


def test_field_memory_identity_password_and_kill(reader):
    tag = reader.tag("E2801160600002054E3A1B2C")
    assert tag.read("user", 0, 2) == [0x0011, 0x0022]
    assert reader.tag("ABC/12").read("tid", 0, 2) == [0xE200, 0x1234]
    with pytest.raises(qdapi.VerifyError):
        tag.set_password(0, 1)
    tag.set_password(0x1234ABCD, 0x55)
    tag.write_id("1234567890AB")
    assert ("1234567890AB", 48) in {(t.hex, t.id_bits) for t in reader.inventory()}
    assert tag.read("identity", 0, 3) == [0x1234, 0x5678, 0x90AB]
    tag.lock("user", 0x55)
    with pytest.raises(qdapi.UnableToComplyError):
        tag.write("user", 0, [1])
    tag.kill(0x55)
    assert "1234567890AB" not in {t.hex for t in reader.inventory()}


# ---------------------------------------------------------------------------
# Errors


def _closed_reader(reader):
    other = qdapi.Reader(ADDRESS)
    other.close()
    other.antennas


ERROR_CASES = [
    ("read of a missing tag", lambda r: r.tag("DEAD").read("user", 0, 1), qdapi.RemoteError, -102),
    ("write to a missing tag", lambda r: r.tag("DEAD").write("user", 0, [1]), qdapi.NoResponseError, -105),
    ("wrong password", lambda r: r.tag("3000ABCD").kill(1), qdapi.VerifyError, -108),
    ("word out of range", lambda r: r.tag("3000ABCD").read("user", 1024, 1), qdapi.RemoteError, -102),
    ("antenna not connected", lambda r: r.set_antenna_power(5, 10), qdapi.AntennaNotConnectedError, -106),
    ("closed reader", _closed_reader, qdapi.InvalidHandleError, -100),
    ("no reader there", lambda r: qdapi.Reader("127.0.0.159"), qdapi.RemoteError, -102),
    ("gpio input line", lambda r: r.set_gpio(0, 1), qdapi.UnableToComplyError, -103),
]


@pytest.mark.parametrize("what, call, kind, code", ERROR_CASES, ids=[c[0] for c in ERROR_CASES])
def test_failures_raise_with_the_reader_code(reader, what, call, kind, code):
    with pytest.raises(kind) as raised:
        call(reader)
    assert raised.value.code == code
    assert raised.value.name == qdapi.strerror(code) != ""
    assert raised.value.operation


def test_table_full(sim):
    readers = []
    try:
        with pytest.raises(qdapi.TableFullError) as raised:
            for _ in range(129):
                readers.append(qdapi.Reader(ADDRESS))
        assert raised.value.code == -121 and 0 < len(readers) <= 128
    finally:
        for r in readers:
            r.close()
    qdapi.Reader(ADDRESS).close()   # the handles came back


def test_privilege_gate_in_a_process_of_its_own(sim):
    # The level is the process's: a wrong code freezes it for good.
    out = run_python(f"""
import qdapi
r = qdapi.Reader("{ADDRESS}")
for call in (r.diag.nop, lambda: qdapi.unlock(1, 0x1234), lambda: qdapi.unlock(1, {ACCESS_CODE})):
    try:
        call()
    except qdapi.PrivilegeError as e:
        print(e.code, qdapi.privilege_level())
""")
    assert out.stdout.split("\n") == ["-2 0"] * 3 + [""], out.stderr


# ---------------------------------------------------------------------------
# Radio and administration


def test_radio(reader):
    assert reader.hardware == (qdapi.Hardware(0x00010001, "virtual radio"), None)
    assert reader.antennas == [0, 1] and reader.region == "US" and reader.max_power == 3000
    assert reader.set_slot_power(0, 20.3) == pytest.approx(20.3, abs=0.01)
    assert reader.slot_power(0) == pytest.approx(20.29)
    assert reader.set_antenna_power(1, 99) == 33   # clamped
    assert reader.antenna_power(1) == 30           # the reader's maximum
    assert reader.protocols == [qdapi.protocol_names[0]]
    assert reader.set_protocols({qdapi.protocol_names[8]: True, 12: True}) == \
        [qdapi.protocol_names[i] for i in (0, 8, 12)]
    assert reader.protocol_ids == [0, 8, 12]
    with pytest.raises(ValueError):
        reader.set_protocols(["no such protocol"])


def test_params_and_config(reader):
    params = reader.params
    assert params["hostname"] == "qdsim" and "netmask" in params and "x" not in params
    params["x"] = "y"
    assert params["x"] == "y" and params.lookup("x") == "x=y\n" and "x" in list(params)
    del params["x"]
    assert params["x"] == "" and len(params) == 6
    config = reader.config
    for name, value, reads in [("tagop_retry_timeout_ms", 70000, 70000 & 0xFFFF), ("epc0_search_depth", -3, -3),
                               ("epc0_deghost", 1, 1), ("epc0_deghost_len", 0xFFFFFFFF, 0xFFFFFFFF),
                               ("synch_regulatory_timeout", 5, 1)]:
        setattr(config, name, value)
        assert getattr(config, name) == reads, name
    assert set(config.as_dict()) == set(qdapi.Config.names)


def test_stats_gpio_firmware_versions_reboot(reader):
    list(reader.inventory())
    assert reader.antenna_stats(0).stat1 == 1 and reader.source_stats() == qdapi.SourceStats(*[0] * 13)
    reader.reset_stats()
    assert reader.antenna_stats(0) == qdapi.AntennaStats(*[0] * 14)
    assert reader.set_gpio(5, 1) == 0 and reader.gpio(5) == 1
    assert (reader.firmware_version, reader.os_version) == ("1.0.0", "qdsim-os 1.0")
    assert "currentslot=0" in reader.settings_text
    percents = []
    done = reader.update_firmware("fw-2.0.img", progress=lambda s: percents.append(s.value), poll=0.05)
    assert (done.status, done.text1, done.text3) == (0, "fw-2.0.img", "fw-2.0") and percents
    reader.params["description"] = "lost on reboot"
    reader.reboot()
    deadline = time.monotonic() + 10
    while True:   # the reader goes away some time after it was asked, then serves again
        try:
            if reader.params["description"] != "lost on reboot":
                break
        except qdapi.RemoteError:
            pass
        assert time.monotonic() < deadline, "the reboot kept a parameter that was not committed"
        time.sleep(0.1)


def test_settings_switch_the_transport(sim):
    assert not qdapi.settings.use_tcp
    try:
        with qdapi.Reader(ADDRESS, tcp=True) as r:
            assert qdapi.settings.use_tcp and r.antennas == [0, 1]
    finally:
        qdapi.settings.use_tcp = False


# ---------------------------------------------------------------------------
# The privileged family


def test_diag_round_trips(reader):
    qdapi.unlock(1, ACCESS_CODE)
    assert qdapi.privilege_level() == 1
    d = reader.diag
    d.set_freq(0, 902750)
    assert d.get_freq(0) == 902750
    assert d.set_tx_power(0, 1500) == 1500 and d.get_tx_power(0) == 1500
    d.set_rx_gain(0, -7)
    assert d.get_rx_gain(0) == -7   # negative values are answers, not failures
    assert d.set_hops([902000, 0x0DC9C8]) == [902000, 903624]
    d.set_hops(range(900000, 900000 + 100 * 10, 10))
    assert d.hops() == list(range(900000, 901000, 10))   # past the 64 of one read
    d.eeprom_write(1, 1000, [7, 8, 9])
    assert d.eeprom_read(1, 1000, 3) == [7, 8, 9]
    d.signal_generator("iqlist", [1, -2, 3, -4])
    assert d.iq_buffer() == ([1, 3], [-2, -4])
    assert d.test_start("cw") == (1, "Attempting switch to CW test mode...")
    with pytest.raises(qdapi.InvalidArgumentError, match="Unknown test mode"):
        d.test_start("no such mode")
    assert d.check_ants(0) == [200, 201] and d.hw_id(0) == "virtual radio"
    assert d.set_ant(0, 1) == 1 and d.get_ant(0) == 1
    assert d.set_ant(0, 9) == 1   # the antenna the reader then reports


# ---------------------------------------------------------------------------
# Threads and memory


def test_reader_shared_by_threads(reader):
    errors, counts = [], []

    def work(n):
        try:
            for i in range(20):
                tag = reader.tag("E2801160600002054E3A1B2C")
                tag.write("user", 100 + n, [n * 100 + i])
                assert tag.read("user", 100 + n, 1) == [n * 100 + i]
                assert reader.params["hostname"] == "qdsim"
                assert reader.firmware_version == "1.0.0"
            counts.append(len(list(reader.inventory())))
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and len(counts) == 8
    # Inventories ran at once: each search's tags went to one or another.
    assert sum(counts) == 8 * len(FIELD)


def _rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize() // 1024


def test_no_leak_of_strings_over_10000_calls(reader):
    def calls(n):
        for _ in range(n):
            reader.params["hostname"]
            reader.params.lookup("host")
            reader.params.names()
            reader.firmware_status()
            reader.os_version

    calls(1000)
    before = _rss_kib()
    calls(9000)
    grown = _rss_kib() - before
    # A string of each call not freed is over 3 MiB here.
    assert grown < 1024, f"resident memory grew by {grown} KiB"


# ---------------------------------------------------------------------------
# Records: sizes and field offsets as the C compiler lays out the header's


LAYOUTS = RECORDS


@pytest.mark.skipif(not shutil.which("cc"), reason="no C compiler")
def test_records_have_the_header_layout(tmp_path):
    from qdapi import _lib
    program, expected = ["#include <stdio.h>", "#include <stddef.h>", '#include "qdapi.h"', "int main(void) {"], []
    for c_name, py_name in LAYOUTS.items():
        record = getattr(_lib, py_name)
        fields = [f[0] for f in record._fields_]
        program.append(f'printf("{c_name} %zu' + " %zu" * len(fields) + f'\\n", sizeof({c_name})' +
                       "".join(f", offsetof({c_name}, {f})" for f in fields) + ");")
        expected.append(" ".join([c_name, str(ctypes.sizeof(record))] + [str(getattr(record, f).offset)
                                                                         for f in fields]))
    (tmp_path / "layout.c").write_text("\n".join(program + ["return 0; }"]))
    include = PYTHON_DIR.parent / "include"
    subprocess.run(["cc", "-I", str(include), "-o", str(tmp_path / "layout"), str(tmp_path / "layout.c")], check=True)
    shown = subprocess.run([str(tmp_path / "layout")], capture_output=True, text=True, check=True).stdout
    assert shown.splitlines() == expected


# ---------------------------------------------------------------------------
# Packaging and documentation


def test_pip_install_into_a_venv(tmp_path):
    source = tmp_path / "src"
    subprocess.run(["cp", "-r", str(PYTHON_DIR), str(source)], check=True)
    subprocess.run(["rm", "-rf", *map(str, source.glob("**/__pycache__"))], check=True)
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    pip = subprocess.run([str(venv / "bin/python"), "-m", "pip", "install", "--no-build-isolation", "--no-index",
                          str(source)], capture_output=True, text=True)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    shown = subprocess.run([str(venv / "bin/python"), "-c",
                            "import importlib.metadata as m, qdapi; "
                            "print(qdapi.__file__, qdapi.strerror(-102), m.version('qdapi'))"],
                           capture_output=True, text=True, cwd=tmp_path, env=env)
    assert shown.returncode == 0, shown.stderr
    path, name, version = shown.stdout.split()
    assert path.startswith(str(venv)) and name == "ERROR_REMOTE"
    # One version: the project's, as the library and the tools carry it.
    project = re.search(r"project\(qdapi VERSION ([0-9.]+)", (PYTHON_DIR.parent / "CMakeLists.txt").read_text())
    assert version == qdapi.__version__ == project.group(1)


def test_readme_example_runs_as_written():
    readme = (PYTHON_DIR / "README.md").read_text()
    example = re.search(r"```python\n(.*?)```", readme, re.S).group(1)
    assert len(example.strip().splitlines()) <= 5
    out = run_python(example)
    assert out.returncode == 0, out.stderr
    assert sorted(out.stdout.split("\n")) == ["", "3000ABCD 32", "E200001D 32"]


def test_virtual_reader_that_cannot_start():
    with pytest.raises(RuntimeError, match="did not serve"):
        VirtualReader("127.0.0.158", antennas=99).start()
