"""The privileged family (PRIV_*): service operations on the reader's radio
and hardware, closed until qdapi.unlock() raised the privilege level.

Each operation returns -1 for a bad handle, -2 while the family is closed
and -102 when its call fails, and leaves reader_errno alone; these raise
InvalidHandleError, PrivilegeError and RemoteError."""
from __future__ import annotations

import ctypes
from ctypes import c_int, c_uint16, c_uint32
from typing import Any, Callable, Sequence

from ._lib import (DataCaptureArgs, DataCaptureResult, HopTable, HostInfoTexts, IqBuffer, EEPROM_BLOCK_WORDS,
                   buffer_lock, declare, lib, text)
from ._session import Session
from .errors import (Code, InvalidHandleError, PrivilegeError, ReaderError, clear_errno, error, last_errno)

_UNLOCK_CALLS = 5


def privilege_level() -> int:
    """The current privilege level; 0 while the family is closed."""
    return lib.PRIV_getCurPrivLevel()


def unlock(level: int, code: int) -> None:
    """Raises the privilege level with the access code.

    The library sets the level only on every fifth call with the code, so
    five calls always set it once.  A call with any other code freezes the
    level for the rest of the process: PrivilegeError then."""
    for _ in range(_UNLOCK_CALLS):
        lib.PRIV_setPrivLevel(level, code)
    if privilege_level() != level & 0xFFFF:
        raise PrivilegeError(-2, "unlock", name="PRIVILEGE_LOCKED",
                             detail="the level did not change: a wrong access code freezes it for the process")


def _gate_error(result: int, operation: str) -> ReaderError:
    if result == -1:
        return InvalidHandleError(Code.ERROR_INVALID_ARGUMENTS, operation, detail="no such reader")
    if result == -2:
        return PrivilegeError(-2, operation, name="PRIVILEGE_LOCKED", detail="unlock it with qdapi.unlock()")
    return error(result, operation)


def _status(result: int, operation: str) -> None:
    if result < 0:
        raise _gate_error(result, operation)


def _value(result: int, operation: str) -> int:
    """An answer 0..65535; negative only for a failure."""
    _status(result, operation)
    return result


def _signed(result: int, operation: str) -> int:
    """An answer that may be negative: -1 is a failure only when reader_errno
    was set (by the handle's resolution), -2 only while closed."""
    unresolved = result == -1 and last_errno() != 0
    closed = result == -2 and privilege_level() == 0
    if unresolved or closed or result == Code.ERROR_REMOTE:
        raise _gate_error(result, operation)
    return result


# The operations of one call with plain arguments: method, C name, the
# arguments after the handle, how the result reads.
_PLAIN: list[tuple[str, str, list[Any], Callable[[int, str], Any]]] = [
    ("nop", "PRIV_nop", [], _status),
    ("set_leds", "PRIV_setLeds", [c_uint16, c_uint16], _status),
    ("set_ant_id", "PRIV_setAntId", [c_uint16, c_uint16], _value),
    *[(f"{name}_{state}", f"PRIV_{c_name}{state.capitalize()}", [c_int], _status)
      for name, c_name in (("rf", "rf"), ("rxen", "setRxen"), ("txen", "setTxen"), ("txsw", "setTxsw"))
      for state in ("on", "off")],
    ("listen_on", "PRIV_listenOn", [c_int], _status),
    ("receive_on", "PRIV_receiveOn", [c_int], _status),
    ("set_freq_hop_forced", "PRIV_setFreqHopForced", [c_int], _status),
    ("get_freq_hop_forced", "PRIV_getFreqHopForced", [], _signed),
    ("set_gen2_cmd", "PRIV_setGen2Cmd", [c_int], _status),
    ("get_tx_power", "PRIV_getTxPower", [c_int], _signed),
    ("set_tx_power", "PRIV_setTxPower", [c_int, c_int], _signed),
    ("set_uncal_tx_power", "PRIV_setUncalTxPower", [c_int, c_int], _signed),
    ("get_rx_gain", "PRIV_getRxGain", [c_int], _signed),
    ("set_rx_gain", "PRIV_setRxGain", [c_int, c_int], _status),
    ("set_freq", "PRIV_setFreq", [c_int, c_int], _status),
    ("get_ant", "PRIV_getAnt", [c_int], _value),
    ("set_ant", "PRIV_setAnt", [c_int, c_int], _value),
    ("ant_safety", "PRIV_antSafety", [c_int, c_int], _status),
    ("set_rx_class", "PRIV_setRxClass", [c_int, c_int], _status),
    ("set_debug_level", "PRIV_setDebugLevel", [c_uint32], _status),
    ("get_debug_level", "PRIV_getDebugLevel", [], _signed),
    ("set_autoload", "PRIV_setAutoload", [c_int], _status),
    ("get_autoload", "PRIV_getAutoload", [], _signed),
    ("resync", "PRIV_resync", [], _status),
    ("rescan_hardware", "PRIV_rescanHardware", [], _status),
    ("get_current_slot", "PRIV_getCurrentSlot", [], _value),
    ("get_ant_id", "PRIV_getAntId", [], _value),
    ("power_up", "PRIV_powerUp", [c_int, c_int], _status),
    ("power_down", "PRIV_powerDown", [c_int], _status),
    ("test_stop", "PRIV_testStop", [], _status),
]


class Diag:
    """reader.diag: the privileged operations on one reader.  Slots are
    radio slots, powers in hundredths, frequencies in kHz."""

    def __init__(self, reader: Any) -> None:
        # The session, not the reader: see admin._session_of.
        self._session = reader if isinstance(reader, Session) else reader._session

    def _call(self, name: str, *args: Any) -> int:
        clear_errno()
        return self._session.call(getattr(lib, name), *args)

    def get_freq(self, slot: int) -> int:
        khz = c_uint32()
        _status(self._call("PRIV_getFreq", slot, ctypes.byref(khz)), "PRIV_getFreq")
        return khz.value

    def host_info(self) -> tuple[str, str, str]:
        with buffer_lock("PRIV_getHostInfo"):
            texts = HostInfoTexts()
            _status(self._call("PRIV_getHostInfo", ctypes.byref(texts)), "PRIV_getHostInfo")
            return text(texts.info1), text(texts.info2), text(texts.info3)

    def zr_conf(self) -> str:
        """The reader's configuration text."""
        with buffer_lock("PRIV_getZrConf"):
            value = ctypes.c_char_p()
            _status(self._call("PRIV_getZrConf", ctypes.byref(value)), "PRIV_getZrConf")
            return text(value.value)

    def hw_id(self, selector: int = 0) -> str:
        """The hardware description of a slot (without its newline)."""
        with buffer_lock("PRIV_getHwId"):
            value = ctypes.c_char_p()
            _status(self._call("PRIV_getHwId", selector, ctypes.byref(value)), "PRIV_getHwId")
            return text(value.value).rstrip("\n")

    def check_ants(self, slot: int) -> list[int]:
        """One reading per antenna of the slot."""
        checks = (ctypes.c_int32 * 17)()
        _status(self._call("PRIV_checkAnts", slot, checks), "PRIV_checkAnts")
        return list(checks[1:1 + max(0, min(checks[0], 16))])

    def get_data(self, words: Sequence[int] = (0,) * 7, capture_list: Sequence[int] = ()) -> dict[str, Any]:
        """A data capture: the request's seven words and its list (at most
        16 values); the reader's answer as a dict of its fields."""
        request = DataCaptureArgs(*words[:6])
        request.capture_word7 = words[6] if len(words) > 6 else 0
        values = (c_uint16 * max(1, len(capture_list)))(*capture_list)
        request.capture_list.capture_list_len = len(capture_list)
        request.capture_list.capture_list_val = values
        with buffer_lock("PRIV_getData"):
            result = ctypes.POINTER(DataCaptureResult)()
            _status(self._call("PRIV_getData", ctypes.byref(request), ctypes.byref(result)), "PRIV_getData")
            answer = result.contents
            return {f[0]: list(getattr(answer, f[0])) if f[0] == "samples" else getattr(answer, f[0])
                    for f in DataCaptureResult._fields_}

    def hops(self) -> list[int]:
        """The whole frequency hop table, kHz.  The library reads 64 entries
        a call and does not hand out the table's length: read in pages."""
        hops: list[int] = []
        while True:
            table = HopTable()
            _status(self._call("PRIV_getHops", ctypes.byref(table), len(hops)), "PRIV_getHops")
            count = min(table.count, 64)
            hops += table.hops[:count]
            if count < 64:
                return hops

    def set_hops(self, khz: Sequence[int]) -> list[int]:
        """Replaces the hop table; the table read back (its first 64)."""
        texts = (ctypes.c_char_p * max(1, len(khz)))(*(str(int(f)).encode() for f in khz))
        table = HopTable()
        _status(self._call("PRIV_setHops", len(khz), texts, ctypes.byref(table)), "PRIV_setHops")
        return list(table.hops[:min(table.count, 64)])

    def test_start(self, mode: str) -> tuple[int, str]:
        """Puts the reader into a test mode by name (stop, cw, epc1, iso18000,
        epc1lfsr, iso18000lfsr, gen2onoff); the code sent and the library's
        message."""
        with buffer_lock("PRIV_testStart"):
            code, message = ctypes.c_int16(-1), ctypes.c_char_p()
            result = self._call("PRIV_testStart", mode.encode(), ctypes.byref(code), ctypes.byref(message))
            said = text(message.value).rstrip("\n")
        # An unknown name is refused as a closed family is: only the level
        # tells them apart.
        if result == -2 and privilege_level() != 0:
            raise error(Code.ERROR_INVALID_ARGUMENTS, f"PRIV_testStart {mode}", detail=said)
        _status(result, f"PRIV_testStart {mode}")
        return code.value, said

    def put_wave(self, first: int, second: int, values: Sequence[int]) -> None:
        words = (c_uint16 * max(1, len(values)))(*values)
        _status(self._call("PRIV_putWave", first, second, len(values), words), "PRIV_putWave")

    def signal_generator(self, mode: str, iq: Sequence[int] = ()) -> None:
        """Drives the signal generator: off, gen2lfsr, sin160k, gen2zero,
        gen2one, or iqlist with I, Q, I, Q ... values."""
        argv = (ctypes.c_char_p * max(1, len(iq)))(*(str(int(v)).encode() for v in iq))
        _status(self._call("PRIV_signalGenerator", mode.encode(), len(iq), argv), f"PRIV_signalGenerator {mode}")

    def eeprom_write(self, selector: int, offset: int, words: Sequence[int]) -> None:
        self._eeprom_room(offset, len(words))
        values = (c_uint16 * max(1, len(words)))(*words)
        _status(self._call("PRIV_eepromWrite", selector, offset, values, len(words)), "PRIV_eepromWrite")

    def eeprom_read(self, selector: int, offset: int, count: int) -> list[int]:
        """Up to `count` words: as many as the reader answers."""
        self._eeprom_room(offset, count)
        values = (c_uint16 * max(1, count))()
        _status(self._call("PRIV_eepromRead", selector, offset, values, count), "PRIV_eepromRead")
        return list(values[:count])

    @staticmethod
    def _eeprom_room(offset: int, count: int) -> None:
        # The library refuses these too, but with a line on standard error.
        if offset < 0 or count < 0 or offset + count > EEPROM_BLOCK_WORDS:
            raise ValueError(f"offset + count must be within {EEPROM_BLOCK_WORDS} words")

    def iq_buffer(self, selector: int = 0, all_samples: bool = False) -> tuple[list[int], list[int]]:
        """The I and Q samples of the capture buffer (the reader's count of
        them, or all 1024), as signed values."""
        buffer = IqBuffer()
        _status(self._call("PRIV_getIqBuffer", selector, ctypes.byref(buffer)), "PRIV_getIqBuffer")
        n = 1024 if all_samples else min(buffer.count, 1024)
        return _signed16(buffer.i_values[:n]), _signed16(buffer.q_values[:n])


def _signed16(words: Sequence[int]) -> list[int]:
    return [w - 0x10000 if w & 0x8000 else w for w in words]


def _plain(method: str, c_name: str, checked: Callable[[int, str], Any]) -> Callable[..., Any]:
    def call(self: Diag, *args: int) -> Any:
        return checked(self._call(c_name, *args), c_name)

    call.__name__ = method
    call.__doc__ = f"{c_name}; the slot or other arguments as the library takes them."
    return call


for _method, _c_name, _argtypes, _checked in _PLAIN:
    declare(_c_name, c_int, [ctypes.c_void_p, *_argtypes])
    setattr(Diag, _method, _plain(_method, _c_name, _checked))
