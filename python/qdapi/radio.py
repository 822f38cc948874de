"""The radio: transmit power, protocols, antennas, region, RF state and the
hardware of the slots."""
from __future__ import annotations

import ctypes
import threading
from dataclasses import dataclass
from typing import Any, Callable, Iterable, Mapping, Union

from ._lib import IdList, ProtocolEnableEntry, lib, protocol_names, text
from .errors import Code, clear_errno, failure, last_errno

EMPTY_SLOT = 0xFFFFFFFF
# The longest region name a reader can send, without its NUL (the header's
# QDAPI_REGION_MAX).
REGION_MAX = 4096
# The reader keeps the protocol enable list in 127 characters.
_ENABLE_TEXT_ROOM = 127

Protocol = Union[str, int]


@dataclass(frozen=True)
class Hardware:
    """The hardware of a slot, as the reader reported it on connecting."""
    hwid: int
    text: str


def protocol_id(protocol: Protocol) -> int:
    if isinstance(protocol, int):
        return protocol
    for number, name in enumerate(protocol_names):
        if name and name.lower() == protocol.lower():
            return number
    raise ValueError(f"unknown protocol {protocol!r} (known: {', '.join(n for n in protocol_names if n)})")


def protocol_name(number: int) -> str:
    return protocol_names[number] if 0 <= number < len(protocol_names) and protocol_names[number] else str(number)


def _listed(values: IdList) -> list[int]:
    return list(values[1:1 + max(0, min(values[0], 16))])


def _power(result: float, operation: str) -> float:
    if result < 0:
        raise failure(operation)
    return result


class RadioMixin:
    _record_lock: threading.Lock
    _call: Callable[..., Any]

    @property
    def hardware(self) -> tuple[Hardware | None, Hardware | None]:
        """Slots 0 and 1 (None: empty)."""
        def copied(handle: int) -> list[tuple[int, str]] | None:
            # The record is the library's until the reader is closed: read
            # while it cannot be.
            record = lib.handle_to_reader(handle)
            return [(h.hwid, text(h.text)) for h in record.contents.hwids] if record else None

        with self._record_lock:
            slots = self._call(copied)
        if slots is None:
            raise failure("handle_to_reader")
        first, second = (None if hwid == EMPTY_SLOT else Hardware(hwid, name) for hwid, name in slots)
        return first, second

    def slot_power(self, slot: int) -> float:
        return _power(self._call(lib.get_slot_tx_power, slot), "get_slot_tx_power")

    def antenna_power(self, antenna: int) -> float:
        return _power(self._call(lib.get_antenna_tx_power, antenna), "get_antenna_tx_power")

    def set_slot_power(self, slot: int, power: float) -> float:
        """Sets a slot's power (clamped to 0..33, sent in hundredths); the
        power set."""
        return _power(self._call(lib.set_slot_tx_power, power, slot), "set_slot_tx_power")

    def set_antenna_power(self, antenna: int, power: float) -> float:
        """AntennaNotConnectedError for an antenna without an antenna."""
        return _power(self._call(lib.set_antenna_tx_power, power, antenna), "set_antenna_tx_power")

    def set_power(self, power: float) -> float:
        """Sets the power of both slots (an empty one is skipped)."""
        return _power(self._call(lib.set_tx_power, power), "set_tx_power")

    @property
    def current_power(self) -> tuple[float, int]:
        """The power in use and the antenna it is used on."""
        antenna = ctypes.c_uint16()
        power = _power(self._call(lib.get_current_tx_power, ctypes.byref(antenna)), "get_current_tx_power")
        return power, antenna.value

    @property
    def max_power(self) -> int:
        """The reader's maximum power, as the reader gives it."""
        # A failed call writes nothing and leaves reader_errno alone.
        unanswered = -0x8000
        value = ctypes.c_int16(unanswered)
        clear_errno()
        self._call(lib.get_max_reader_power, ctypes.byref(value))
        if value.value == unanswered:
            raise failure("get_max_reader_power", last_errno() or Code.ERROR_REMOTE)
        return value.value

    @property
    def region(self) -> str:
        # The library writes no more than the size it is given, and says
        # how long the whole name was: a name longer than the largest a
        # reader can send is asked for once more with room for it (a name
        # that keeps growing comes back cut).
        size = REGION_MAX + 1
        for _ in range(2):
            buffer = ctypes.create_string_buffer(size)
            length = self._call(lib.get_region_sized, buffer, size)
            if length < 0:
                raise failure("get_region_sized")
            if length < size:
                break
            size = length + 1
        return text(buffer.value)

    @property
    def rf_state(self) -> int:
        state = ctypes.c_uint32()
        if self._call(lib.get_rfState, ctypes.byref(state)) < 0:
            raise failure("get_rfState")
        return state.value

    @property
    def antennas(self) -> list[int]:
        """The connected antenna ports."""
        values = IdList()
        if self._call(lib.get_connected_antennas, values) < 0:
            raise failure("get_connected_antennas")
        return _listed(values)

    @property
    def protocol_ids(self) -> list[int]:
        values = IdList()
        if self._call(lib.get_supported_protocols, values) < 0:
            raise failure("get_supported_protocols")
        return _listed(values)

    @property
    def protocols(self) -> list[str]:
        """The supported protocols by name (an unnamed one by its number)."""
        return [protocol_name(p) for p in self.protocol_ids]

    def set_protocols(self, enable: Mapping[Protocol, bool] | Iterable[Protocol]) -> list[str]:
        """Stores the reader's protocol enable list (protocols by name or
        number; a mapping says on or off for each), connects anew, and
        returns the protocols now supported."""
        items = list(enable.items()) if isinstance(enable, Mapping) else [(p, True) for p in enable]
        entries = (ProtocolEnableEntry * max(1, len(items)))(
            *[ProtocolEnableEntry(protocol_id(p), 1 if on else 0) for p, on in items])
        length = sum(len(f"{e.protocol_id}:0x{e.enable_value:02X} ") for e in entries[:len(items)])
        if length > _ENABLE_TEXT_ROOM:
            raise ValueError(f"too many protocols: the reader's list holds {_ENABLE_TEXT_ROOM} characters")
        values = IdList()
        if self._call(lib.set_supported_protocols, len(items), entries, values) < 0:
            raise failure("set_supported_protocols")
        return [protocol_name(p) for p in _listed(values)]
