# The binding against qdsim on loopback addresses 127.0.0.150..159 (run in a
# private network namespace whose lo is up).  QDAPI_LIBRARY names the
# library under test, QDSIM the daemon.
import os
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

import qdapi  # noqa: E402
from qdapi.sim import VirtualReader, write_field  # noqa: E402

ADDRESS = "127.0.0.150"
PYTHON_DIR = Path(__file__).resolve().parents[1]

# The header's records (typedef names) and their ctypes structures in _lib.
RECORDS = {
    "search_params": "SearchParams", "tag_record": "TagRecord", "popped_tag_record": "PoppedTagRecord",
    "search_lists": "SearchLists", "term_table": "TermTable", "search_term": "SearchTerm",
    "search_option": "SearchOption", "search_limit": "SearchLimit", "step_entry": "StepEntry",
    "search_extension": "SearchExtension", "search_config": "SearchConfig", "auto_search_record": "AutoSearchRecord",
    "reader_record": "ReaderRecord", "tagop_record": "TagopRecord", "protocol_enable_entry": "ProtocolEnableEntry",
    "antenna_stats": "AntennaStatsRecord", "source_stats": "SourceStatsRecord", "fw_update_info": "FwUpdateInfo",
    "hop_table": "HopTable", "host_info_texts": "HostInfoTexts", "data_capture_args": "DataCaptureArgs",
    "data_capture_result": "DataCaptureResult", "iq_buffer": "IqBuffer",
}


def run_python(code, env=None, **kw):
    """Runs code in a Python process of its own, with this binding."""
    env = dict(os.environ if env is None else env, PYTHONPATH=str(PYTHON_DIR))
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120, **kw)

# The known field: identity, then what the inventory must report of it.
FIELD = [
    ("3000ABCD", 32, "word1=1 word2=2 word3=3 word4=4 word5=5 count1=10 count2=20 count3=30 value=7"),
    ("E2801160600002054E3A1B2C", 96, "password=1234ABCD user=00110022"),
    ("ABC/12", 12, "tid=E2001234"),
]


@pytest.fixture(scope="module")
def field_file(tmp_path_factory):
    return write_field(tmp_path_factory.mktemp("field") / "field.txt",
                       ["# the known field"] + [f"{tag} {keys}" for tag, _, keys in FIELD])


@pytest.fixture
def sim(field_file):
    # A reader of its own for each test: tag memory and settings start anew.
    with VirtualReader(ADDRESS, tags=field_file, antennas=2, reboot_time=200, fw_update_time=300) as daemon:
        yield daemon


@pytest.fixture
def reader(sim):
    with qdapi.Reader(ADDRESS) as r:
        yield r
