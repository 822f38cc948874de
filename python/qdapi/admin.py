"""Administration: the parameter store, the named settings, statistics,
GPIO, firmware updates, reboots and the version texts."""
from __future__ import annotations

import ctypes
import dataclasses
import threading
import time
from collections.abc import MutableMapping
from typing import Any, Callable, Iterator

from ._lib import AntennaStatsRecord, FwUpdateInfo, SourceStatsRecord, free, lib, take_string, text
from ._session import Session
from .errors import Code, clear_errno, error, failure, last_errno


def _session_of(reader: Any) -> Session:
    # The helpers keep the reader's session, not the reader: the reader
    # holds them, and a reference back would make a cycle that keeps a
    # dropped reader's handle open until the cycle collector runs.
    return reader if isinstance(reader, Session) else reader._session


class Params(MutableMapping):
    """The reader's parameter store as a mapping of names to texts.  An unset
    name reads "" (the reader's answer); `in` and iteration follow the
    reader's list of names."""

    def __init__(self, reader: Any) -> None:
        self._session = _session_of(reader)

    def __getitem__(self, name: str) -> str:
        value = take_string(self._session.call(lib.reader_params_get_r, name.encode()))
        if value is None:
            raise failure(f"params get {name}")
        return value

    def __setitem__(self, name: str, value: str) -> None:
        self.set(name, value)

    def __delitem__(self, name: str) -> None:
        self._command(lib.reader_params_remove, "remove", name)

    def __contains__(self, name: object) -> bool:
        return name in self.names()

    def __iter__(self) -> Iterator[str]:
        return iter(self.names())

    def __len__(self) -> int:
        return len(self.names())

    def names(self) -> list[str]:
        """The names, in the reader's order."""
        count = ctypes.c_int(0)
        clear_errno()
        names = self._session.call(lib.reader_params_list_r, ctypes.byref(count))
        if not names:
            # NULL is an empty store unless reader_errno says otherwise.
            if last_errno():
                raise failure("params list")
            return []
        # The array is the caller's even when it holds no names.
        try:
            return [take_string(names[i]) or "" for i in range(count.value)]
        finally:
            free(ctypes.cast(names, ctypes.c_void_p))

    def set(self, name: str, value: str, flag: int = 0) -> None:
        """Sets a parameter; flag bit 0 saves it at once."""
        if self._session.call(lib.reader_params_set_with_flag, name.encode(), value.encode(), flag) != 0:
            raise failure(f"params set {name}")

    def lookup(self, name: str) -> str:
        """The reader's answer to a look-up of a name."""
        value = take_string(self._session.call(lib.reader_params_lookup_r, name.encode()))
        if value is None:
            raise failure(f"params lookup {name}")
        return value

    def _command(self, function: Callable[..., int], verb: str, *names: str) -> None:
        if self._session.call(function, *(n.encode() for n in names)) != 0:
            raise failure(" ".join(("params", verb) + names))

    def log(self, name: str) -> None:
        self._command(lib.reader_params_log, "log", name)

    def load(self, name: str) -> None:
        """Takes one parameter back to its saved value."""
        self._command(lib.reader_params_load, "load", name)

    def load_all(self) -> None:
        self._command(lib.reader_params_load_all, "load-all")

    def commit(self) -> None:
        """Saves the whole store."""
        self._command(lib.reader_params_commit_all, "commit")


# The named settings: attribute, the library's name, the getter's failure
# value, and whether the number is unsigned 32-bit.
_SETTINGS = [
    ("tagop_retry_timeout_ms", "tagop_retry_timeout_ms", 0xFFFF, False),
    ("epc1_96_bit_support", "EPC1_96_bit_support", -1, False),
    ("epc0_search_depth", "EPC0_search_depth", -1, False),
    ("epc0_deghost", "EPC0_deghost", -1, False),
    ("epc0_deghost_len", "EPC0_deghost_len", -1, True),
    ("epc1_deghost", "EPC1_deghost", -1, False),
    ("synch_regulatory_timeout", "synch_regulatory_timeout", -1, False),
]


class Config:
    """The reader's named settings as attributes (reader.config.epc0_deghost).
    Flags read 1 only when the reader reports "yes"; the synch regulatory
    time-out is set as a number and read back as such a flag."""

    names = tuple(s[0] for s in _SETTINGS)

    def __init__(self, reader: Any) -> None:
        self._session = _session_of(reader)

    def as_dict(self) -> dict[str, int]:
        return {name: getattr(self, name) for name in self.names}


def _setting(attribute: str, c_name: str, failed: int, unsigned: bool) -> property:
    getter, setter = getattr(lib, f"config_get_{c_name}"), getattr(lib, f"config_set_{c_name}")

    def get(self: Config) -> int:
        # The failure value is also a value the reader may hold: only
        # reader_errno tells them apart.
        clear_errno()
        value = self._session.call(getter)
        if value == failed and last_errno():
            raise failure(f"config get {attribute}")
        return value & 0xFFFFFFFF if unsigned else value

    def set(self: Config, value: int) -> None:
        if self._session.call(setter, int(value)) != 0:
            raise failure(f"config set {attribute}")

    return property(get, set, doc=f"The reader's {attribute} setting.")


for _setting_row in _SETTINGS:
    setattr(Config, _setting_row[0], _setting(*_setting_row))


def _stats_class(name: str, record: type) -> type:
    fields = [(f[0], int) for f in record._fields_]
    return dataclasses.make_dataclass(name, fields, frozen=True,
                                      namespace={"__doc__": "The reader's counters, in its order."})


AntennaStats = _stats_class("AntennaStats", AntennaStatsRecord)
SourceStats = _stats_class("SourceStats", SourceStatsRecord)


def _counters(cls: type, record: ctypes.Structure) -> Any:
    return cls(*(getattr(record, f[0]) for f in record._fields_))


@dataclasses.dataclass(frozen=True)
class FirmwareStatus:
    """The outcome of a firmware update as the reader reports it: status -2
    while it runs (value: percent done), then 0 or a negative code."""
    status: int
    text1: str
    text2: str
    text3: str
    value: int

    @property
    def in_progress(self) -> bool:
        return self.status in (Code.OPERATION_WAITING_TO_RUN, Code.OPERATION_IN_PROGRESS)


class AdminMixin:
    _session: Session
    _record_lock: threading.Lock
    _call: Callable[..., Any]

    def _make_params(self) -> Params:
        return Params(self._session)

    def _make_config(self) -> Config:
        return Config(self._session)

    # -- statistics ---------------------------------------------------------

    def antenna_stats(self, antenna: int) -> Any:
        """The counters of one antenna (an AntennaStats)."""
        record = AntennaStatsRecord()
        if self._call(lib.get_antenna_stats, antenna, ctypes.byref(record)) != 0:
            raise failure(f"stats antenna {antenna}")
        return _counters(AntennaStats, record)

    def source_stats(self) -> Any:
        """The counters of the tag operations (a SourceStats)."""
        record = SourceStatsRecord()
        if self._call(lib.get_source_stats, ctypes.byref(record)) != 0:
            raise failure("stats source")
        return _counters(SourceStats, record)

    def reset_stats(self) -> None:
        if self._call(lib.reset_epcg_stats) != 0:
            raise failure("stats reset")

    # -- GPIO ---------------------------------------------------------------

    def gpio(self, line: int) -> int:
        """The value the reader reads for a line."""
        clear_errno()
        value = self._call(lib.GPIO_get, line)
        if value == -1 and last_errno():
            raise failure(f"gpio get {line}")
        return value

    def _gpio_result(self, result: int, operation: str) -> int:
        # The reader's result, also in reader_errno; negative is a failure.
        if result < 0:
            raise failure(operation, None if result == -1 else result)
        return result

    def set_gpio(self, first: int, second: int) -> int:
        return self._gpio_result(self._call(lib.GPIO_set, first, second), "gpio set")

    def set_gpio_event(self, first: int, second: int, third: int) -> int:
        return self._gpio_result(self._call(lib.GPIO_set_reader_event, first, second, third), "gpio event")

    # -- firmware, reboot ---------------------------------------------------

    def firmware_status(self) -> FirmwareStatus:
        info = FwUpdateInfo()
        clear_errno()
        try:
            status = self._call(lib.reader_fw_update_complete, ctypes.byref(info))
        finally:
            texts = [take_string(info.fw_text1), take_string(info.fw_text2), take_string(info.fw_text3)]
        if status == -1 and last_errno():
            raise failure("firmware status")
        return FirmwareStatus(status, *(t or "" for t in texts), info.fw_value)

    def update_firmware(self, image: str, value: int = 0, progress: Callable[[FirmwareStatus], None] | None = None,
                        timeout: float = 600.0, poll: float = 0.2) -> FirmwareStatus:
        """Starts a firmware update from an image and follows it to its end,
        calling progress(status) at each poll while it runs.  The reader runs
        the new firmware after its next reboot."""
        started = self._call(lib.reader_fw_update, image.encode(), value)
        if started != 0:
            raise failure(f"firmware update {image}", None if started == -1 else started)
        deadline = time.monotonic() + timeout
        while (status := self.firmware_status()).in_progress:
            if progress:
                progress(status)
            if time.monotonic() >= deadline:
                raise error(Code.OPERATION_TIMED_OUT, f"firmware update {image}",
                            detail=f"still in progress after {timeout:g} s")
            time.sleep(poll)
        if status.status < 0:
            raise error(status.status, f"firmware update {image}")
        return status

    def reboot(self, first: int = 0, second: int = 0) -> None:
        """Asks the reader to reboot; the next operation connects anew."""
        self._call(lib.reboot_reader, first, second)

    # -- versions -----------------------------------------------------------

    def _record_text(self, name: str) -> str:
        # The text belongs to the reader's record until the same query runs
        # again, or the reader is closed: copied before another thread may
        # ask, and before a close may free it.
        function = getattr(lib, name)

        def copied(handle: int) -> str | None:
            value = function(handle)
            return None if value is None else text(value)

        with self._record_lock:
            value = self._call(copied)
        if value is None:
            raise failure(name)
        return value

    @property
    def firmware_version(self) -> str:
        return self._record_text("get_firmware_version")

    @property
    def os_version(self) -> str:
        return self._record_text("get_os_version")

    @property
    def settings_text(self) -> str:
        return self._record_text("read_settings")
