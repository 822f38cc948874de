"""Loading of libqdapi, its records as ctypes structures, and the prototypes
of its functions.

The library is the one named by the environment variable QDAPI_LIBRARY (a
path to libqdapi.so, e.g. in a build tree), else the installed
libqdapi.so.1, else whatever ctypes.util.find_library("qdapi") finds.
"""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from ctypes import (POINTER, Structure, Union, c_char_p, c_double, c_float, c_int, c_int16,
                    c_int32, c_uint8, c_uint16, c_uint32, c_uint64, c_void_p)

SOVERSION = 1
ENV_LIBRARY = "QDAPI_LIBRARY"


def _load() -> ctypes.CDLL:
    explicit = os.environ.get(ENV_LIBRARY)
    if explicit:
        return ctypes.CDLL(explicit)
    try:
        return ctypes.CDLL(f"libqdapi.so.{SOVERSION}")
    except OSError:
        found = ctypes.util.find_library("qdapi")
        if not found:
            raise OSError(f"libqdapi.so.{SOVERSION} not found: install the library, "
                          f"or set {ENV_LIBRARY} to the path of libqdapi.so") from None
        return ctypes.CDLL(found)


lib = _load()
# The strings and arrays that the library hands over came from the malloc
# that the library itself binds to: the process's global one, which is not
# libc's when an allocator is preloaded (LD_PRELOAD) or linked in.  The
# process's own `free` pairs with it; libc's would abort on such a block.
free = ctypes.CDLL(None).free
free.argtypes = [c_void_p]
free.restype = None

# ---------------------------------------------------------------------------
# Records, in the header's layout.

Handle = c_void_p


class SearchParams(Structure):
    _fields_ = [("a_count", c_uint16), ("a_values", c_uint16 * 16), ("b_count", c_uint16),
                ("b_values", c_uint16 * 16), ("span", c_uint16)]


_TAG_HEAD = [("status", c_int32), ("tag_word1", c_uint16), ("tag_word2", c_uint16), ("id_bits", c_uint16),
             ("id", c_uint16 * 16), ("tag_word3", c_uint16), ("tag_count1", c_uint32),
             ("tag_count2", c_uint32), ("tag_count3", c_uint32)]


class TagRecord(Structure):
    _fields_ = _TAG_HEAD + [("tag_value", c_uint32), ("tag_word4", c_uint16), ("tag_word5", c_uint16)]


class PoppedTagRecord(Structure):
    _fields_ = _TAG_HEAD + [("tag_value", c_uint64)]


def _vector(name: str, element) -> type:
    """A variable list: a count followed by a pointer to the elements."""
    return type(name, (Structure,), {"_fields_": [(f"{name}_len", c_uint32), (f"{name}_val", POINTER(element))]})


class UlongList(Structure):
    _fields_ = [("values", _vector("values", c_uint32))]


class SearchLists(Structure):
    _fields_ = [("value_lists", _vector("value_lists", UlongList)), ("values2", _vector("values2", c_uint32)),
                ("values3", _vector("values3", c_uint32))]


class WordPattern(Structure):
    _fields_ = [("pattern_kind", c_uint16), ("pattern_value", c_uint16), ("pattern_extra", c_uint16),
                ("pattern_words", c_uint16 * 7)]


class _TermValue(Union):
    _fields_ = [("pattern", WordPattern), ("value", c_int32)]


class SearchTerm(Structure):
    _fields_ = [("kind", c_uint16), ("search_term_u", _TermValue)]


class TermRow(Structure):
    _fields_ = [("terms", SearchTerm * 16)]


class TermTable(Structure):
    _fields_ = [("term_count", c_uint16), ("term_kinds", c_uint16 * 16), ("groups", _vector("groups", TermRow))]


class OptionPair(Structure):
    _fields_ = [("first", c_uint16), ("second", c_int16)]


class _OptionValue(Union):
    _fields_ = [("u_value", c_uint16), ("s_value", c_int16), ("pair", OptionPair), ("longs", c_int32 * 8)]


class SearchOption(Structure):
    _fields_ = [("kind", c_uint16), ("search_option_u", _OptionValue)]


class LimitValues(Structure):
    _fields_ = [("limit_word", c_uint16), ("limit_a", c_int32), ("limit_b", c_int32), ("limit_c", c_uint32),
                ("limit_d", c_uint32)]


class _LimitValue(Union):
    _fields_ = [("values", LimitValues), ("longs", c_int32 * 8)]


class SearchLimit(Structure):
    _fields_ = [("kind", c_uint16), ("search_limit_u", _LimitValue)]


class StepEntry(Structure):
    _fields_ = [("step_a", c_uint8), ("step_b", c_uint8), ("step_c", c_uint8), ("step_value", c_uint32),
                ("step_word1", c_uint16), ("step_word2", c_uint16)]


class WordBlock(Structure):
    _fields_ = [("block_word1", c_uint16), ("block_word2", c_uint16), ("block_word3", c_uint16),
                ("words", c_uint16 * 2048)]


class SearchExtension(Structure):
    _fields_ = [("ext_word1", c_uint16), ("ext_word2", c_uint16), ("ext_word3", c_uint16),
                ("ext_id", c_uint16 * 16), ("ext_value1", c_uint32), ("ext_value2", c_uint32),
                ("ext_value3", c_uint32), ("block", POINTER(WordBlock))]


class SearchConfig(Structure):
    """The full search configuration of detailed and extended searches."""
    _fields_ = [("lists", SearchLists), ("first_table", TermTable), ("second_table", TermTable),
                ("pattern", WordPattern), ("setting1", c_uint16), ("setting2", c_uint16),
                ("option_kind", c_uint16), ("setting4", c_uint16), ("limit_kind", c_uint16),
                ("option", SearchOption), ("limit", SearchLimit), ("steps", _vector("steps", StepEntry)),
                ("extension", POINTER(SearchExtension))]


class ReaderHwid(Structure):
    _fields_ = [("hwid", c_uint32), ("text", c_char_p)]


class ReaderAntenna(Structure):
    _fields_ = [("connected", c_int32), ("aux1", c_uint16), ("aux2", c_uint16)]


class ReaderAntennaList(Structure):
    _fields_ = [("count", c_int16), ("entries", ReaderAntenna * 16)]


class ReaderProtocolList(Structure):
    _fields_ = [("bits", c_uint16 * 16)]


class AutoSearchRecord(Structure):
    pass


AutoSearchRecord._fields_ = [
    ("next", POINTER(AutoSearchRecord)), ("start_time", c_double), ("stop_time", c_double),
    ("run_time", c_double), ("period", c_double), ("next_start", c_double), ("active", c_int32),
    ("search_id", c_int16), ("params", SearchParams), ("started", c_int32), ("reader_handle", c_void_p)]


class ReaderRecord(Structure):
    _fields_ = [("client", c_void_p), ("host_name", c_char_p), ("remote", c_int32),
                ("firmware_version", c_char_p), ("os_version", c_char_p), ("settings_text", c_char_p),
                ("hwids", ReaderHwid * 2), ("antennas", ReaderAntennaList), ("protocols", ReaderProtocolList),
                ("auto_searches", POINTER(AutoSearchRecord))]


class TagopRecord(Structure):
    _fields_ = [("op_status", c_int16), ("op_word1", c_uint16), ("id_bits", c_uint16), ("id", c_uint16 * 16),
                ("op_word19", c_uint16), ("op_word20", c_uint16), ("data_bits", c_uint16),
                ("data", c_uint16 * 1024)]


class ProtocolEnableEntry(Structure):
    _fields_ = [("protocol_id", c_uint16), ("enable_value", c_uint16)]


class AntennaStatsRecord(Structure):
    _fields_ = [(f"stat{i}", c_int32) for i in range(1, 15)]


class SourceStatsRecord(Structure):
    _fields_ = [(f"stat{i}", c_int32) for i in range(1, 14)]


class FwUpdateInfo(Structure):
    # The texts are the caller's to free: kept as plain addresses.
    _fields_ = [("fw_status", c_int32), ("fw_text1", c_void_p), ("fw_text2", c_void_p), ("fw_text3", c_void_p),
                ("fw_value", c_int32)]


class HopTable(Structure):
    _fields_ = [("hops", c_uint32 * 64), ("count", c_uint32)]


class HostInfoTexts(Structure):
    _fields_ = [("info1", c_char_p), ("info2", c_char_p), ("info3", c_char_p)]


class DataCaptureArgs(Structure):
    _fields_ = [(f"capture_word{i}", c_uint16) for i in range(1, 7)] + [
        ("capture_list", _vector("capture_list", c_uint16)), ("capture_word7", c_uint16)]


class DataCaptureResult(Structure):
    _fields_ = [("result_word1", c_uint16), ("result_word2", c_uint16), ("result_word3", c_uint16),
                ("samples", c_uint16 * 32)] + [(f"result_word{i}", c_uint16) for i in range(4, 8)]


class IqBuffer(Structure):
    _fields_ = [("count", c_uint16), ("i_values", c_uint16 * 1024), ("q_values", c_uint16 * 1024)]


class ErrorRecord(Structure):
    """A thread's last failure, as qdapi_last_error hands it out."""
    _fields_ = [("code", c_int), ("message", c_char_p)]


IdList = c_int32 * 17

# ---------------------------------------------------------------------------
# Prototypes: name, result, arguments, for every function that the header
# exports (tests/test_prototypes.py holds this table to the header).  Strings
# that the caller frees (the _r functions) come back as c_void_p so that
# they can be copied, then freed; the library's own strings as c_char_p.

H = Handle
P = POINTER
_PROTOTYPES = [
    ("reader_strerror", c_char_p, [c_int]),
    ("reader_perror", None, [c_char_p]),
    ("qdapi_last_error", P(ErrorRecord), []),
    ("qdapi_clear_error", None, []),
    ("qdapi_version", c_char_p, [P(c_int), P(c_int), P(c_int)]),
    ("open_reader", H, [c_char_p]),
    ("open_reader_over", H, [c_char_p, c_int]),
    ("handle_to_reader", P(ReaderRecord), [H]),
    ("reconnect_reader", H, [H]),
    ("close_reader", c_int, [H]),
    # Inventory
    ("search_start", c_int, [H, P(SearchParams)]),
    ("operation_status", c_int, [H, c_int]),
    ("tags_available", c_int, [H, c_int]),
    ("tagdb_consume", c_int, [H, P(TagRecord)]),
    ("tagdb_pop", c_int, [H, P(PoppedTagRecord)]),
    ("tagdb_reset_db", c_int, [H]),
    ("tagdb_pop_many", c_int, [H, P(PoppedTagRecord), c_int, P(c_int)]),
    ("tagdb_consume_many", c_int, [H, P(TagRecord), c_int, P(c_int)]),
    ("set_pipeline_window", c_int, [H, c_int]),
    ("get_pipeline_window", c_int, [H]),
    ("detailed_read_start", c_int, [H, P(SearchConfig)]),
    ("detailed_read_stop", c_int, [H, c_int]),
    ("conveyor_read_start", c_int, [H, P(SearchParams)]),
    ("conveyor_read_stop", c_int, [H, c_int]),
    ("zr_search_configure", c_int, [H, P(SearchConfig)]),
    ("zr_search_start", c_int, [H]),
    ("zr_search_stop", c_int, [H]),
    ("zr_search_verify", c_int, [H]),
    # Tag memory
    *[(name, c_int, [H, P(TagopRecord)]) for name in (
        "tagid_write", "tagid_lock", "tag_kill", "tag_passwd", "tagdata_write", "tagdata_lock", "tagdata_read")],
    # Radio
    ("get_supported_protocols", c_int, [H, P(c_int32)]),
    ("get_connected_antennas", c_int, [H, P(c_int32)]),
    ("get_slot_tx_power", c_double, [H, c_int16]),
    ("get_antenna_tx_power", c_double, [H, c_int16]),
    ("get_current_tx_power", c_double, [H, P(c_uint16)]),
    ("set_antenna_tx_power", c_double, [H, c_float, c_int16]),
    ("set_slot_tx_power", c_double, [H, c_float, c_int16]),
    ("set_tx_power", c_double, [H, c_float]),
    ("get_max_reader_power", None, [H, P(c_int16)]),
    ("set_supported_protocols", c_int, [H, c_int, P(ProtocolEnableEntry), P(c_int32)]),
    ("get_region", None, [H, c_char_p]),
    ("get_region_sized", c_int, [H, c_char_p, ctypes.c_size_t]),
    ("get_rfState", c_int16, [H, P(c_uint32)]),
    # Automatic searches
    ("auto_search_start", H, [H, P(SearchParams), c_double, c_double, c_double, c_double]),
    ("auto_search_stop", c_int, [H]),
    ("search_active", c_int, [H]),
    # Parameter store
    ("reader_params_set", c_int, [H, c_char_p, c_char_p]),
    ("reader_params_set_with_flag", c_int, [H, c_char_p, c_char_p, c_uint16]),
    ("reader_params_get_r", c_void_p, [H, c_char_p]),
    ("reader_params_lookup_r", c_void_p, [H, c_char_p]),
    ("reader_params_remove", c_int, [H, c_char_p]),
    ("reader_params_log", c_int, [H, c_char_p]),
    ("reader_params_load", c_int, [H, c_char_p]),
    ("reader_params_load_all", c_int, [H]),
    ("reader_params_commit_all", c_int, [H]),
    ("reader_params_list_r", P(c_void_p), [H, P(c_int)]),
    # The forms without _r return the library's one copy, which the next
    # call from any thread frees: declared, but the binding uses the _r ones.
    ("reader_params_get", c_char_p, [H, c_char_p]),
    ("reader_params_lookup", c_char_p, [H, c_char_p]),
    ("reader_params_list", P(c_char_p), [H, P(c_int)]),
    # Named settings
    ("config_set_tagop_retry_timeout_ms", c_int, [H, c_uint32]),
    ("config_get_tagop_retry_timeout_ms", c_uint16, [H]),
    ("config_set_EPC0_deghost_len", c_int, [H, c_uint32]),
    *[(f"config_set_{name}", c_int, [H, c_int]) for name in (
        "EPC1_96_bit_support", "EPC0_search_depth", "EPC0_deghost", "EPC1_deghost", "synch_regulatory_timeout")],
    *[(f"config_get_{name}", c_int, [H]) for name in (
        "EPC1_96_bit_support", "EPC0_search_depth", "EPC0_deghost", "EPC0_deghost_len", "EPC1_deghost",
        "synch_regulatory_timeout")],
    # Statistics, GPIO, firmware, reboot, versions
    ("get_antenna_stats", c_int, [H, c_uint16, P(AntennaStatsRecord)]),
    ("get_source_stats", c_int, [H, P(SourceStatsRecord)]),
    ("reset_epcg_stats", c_int, [H]),
    ("GPIO_get", c_int, [H, c_uint32]),
    ("GPIO_set", c_int, [H, c_uint32, c_uint32]),
    ("GPIO_set_reader_event", c_int, [H, c_uint32, c_uint32, c_uint32]),
    ("reader_fw_update", c_int, [H, c_char_p, c_uint32]),
    ("reader_fw_update_complete", c_int, [H, P(FwUpdateInfo)]),
    ("reboot_reader", None, [H, c_uint32, c_uint32]),
    ("read_settings", c_char_p, [H]),
    ("get_firmware_version", c_char_p, [H]),
    ("get_os_version", c_char_p, [H]),
    # Privileged family: the functions with pointers; the plain ones are
    # declared from diag.py's table.
    ("PRIV_setPrivLevel", None, [c_int, c_uint32]),
    ("PRIV_getCurPrivLevel", c_uint16, []),
    ("PRIV_getFreq", c_int, [H, c_int, P(c_uint32)]),
    ("PRIV_getHostInfo", c_int, [H, P(HostInfoTexts)]),
    ("PRIV_getZrConf", c_int, [H, P(c_char_p)]),
    ("PRIV_twiddleLeds", c_int, [H]),
    ("PRIV_getHwId", c_int, [H, c_uint16, P(c_char_p)]),
    ("PRIV_checkAnts", c_int, [H, c_int, P(c_int32)]),
    ("PRIV_getData", c_int, [H, P(DataCaptureArgs), P(P(DataCaptureResult))]),
    ("PRIV_getHops", c_int, [H, P(HopTable), c_int]),
    ("PRIV_setHops", c_int, [H, c_int, P(c_char_p), P(HopTable)]),
    ("PRIV_testStart", c_int, [H, c_char_p, P(c_int16), P(c_char_p)]),
    ("PRIV_putWave", c_int, [H, c_uint16, c_uint16, c_int, P(c_uint16)]),
    ("PRIV_signalGenerator", c_int, [H, c_char_p, c_int, P(c_char_p)]),
    ("PRIV_eepromWrite", c_int, [H, c_uint16, c_uint16, P(c_uint16), c_uint16]),
    ("PRIV_eepromRead", c_int, [H, c_uint16, c_uint16, P(c_uint16), c_uint16]),
    ("PRIV_getIqBuffer", c_int, [H, c_uint16, P(IqBuffer)]),
]
del H, P


# Every prototype declared, whether or not the loaded library has it.
prototypes: dict[str, tuple[object, tuple]] = {}


def declare(name: str, restype, argtypes) -> None:
    prototypes[name] = (restype, tuple(argtypes))
    # A library older than this binding lacks the newest functions: only
    # their use fails (AttributeError), not the import.
    function = getattr(lib, name, None)
    if function is not None:
        function.restype = restype
        function.argtypes = argtypes


for _name, _restype, _argtypes in _PROTOTYPES:
    declare(_name, _restype, _argtypes)

# ---------------------------------------------------------------------------
# Exported variables.

errno_var = c_int.in_dll(lib, "reader_errno")
use_tcp_var = c_int.in_dll(lib, "use_tcp")
trace_enabled_var = c_int.in_dll(lib, "trace_enabled")
protocol_names: tuple[str, ...] = tuple(
    (n or b"").decode() for n in (c_char_p * 14).in_dll(lib, "protocol_names"))
EEPROM_BLOCK_WORDS = 1024


def take_string(address: int | None) -> str | None:
    """Copies a string that the caller owns, then frees it."""
    if not address:
        return None
    try:
        return ctypes.string_at(address).decode(errors="replace")
    finally:
        free(address)


def text(value: bytes | None) -> str:
    return (value or b"").decode(errors="replace")


# Results that the library keeps in one buffer for the whole process, which
# its next call replaces: each is copied under the lock of its function.
_buffer_locks: dict[str, threading.Lock] = {}
_buffer_locks_guard = threading.Lock()


def buffer_lock(name: str) -> threading.Lock:
    with _buffer_locks_guard:
        return _buffer_locks.setdefault(name, threading.Lock())

