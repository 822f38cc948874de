"""A virtual reader for tests and notebooks: qdsim, started on a loopback
address and stopped again.

qdsim serves with a port mapper of its own on port 111 of its address
(rpcbind=True registers with the system's rpcbind instead); port 111 is free
inside a private network namespace (unshare -n, then ip link set lo up)."""
from __future__ import annotations

import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
from pathlib import Path
from types import TracebackType
from typing import Any, Iterable, Union

from .inventory import Tag

TagLike = Union[str, bytes, Tag]


def _tag_option(tag: TagLike) -> str:
    """A tag as qdsim --tag takes it: HEX[/BITS]."""
    if isinstance(tag, Tag):
        return f"{tag.hex}/{tag.id_bits}"
    if isinstance(tag, (bytes, bytearray)):
        return tag.hex().upper()
    return tag


def qdsim_path(path: str | None = None) -> str:
    found = path or os.environ.get("QDSIM") or shutil.which("qdsim")
    if not found:
        raise FileNotFoundError("qdsim not found: set QDSIM to its path or put it on PATH")
    return found


class VirtualReader:
    """qdsim serving on `address` while the context is open.

    tags: a list of identities (hex text "3000ABCD" or "ABC/12", bytes, or
    Tags), or the path of a field file (one tag a line:
    IDENTITY[/BITS] [KEY=VALUE]...; see qdsim --help).  Every other keyword
    is a qdsim option: antennas=4 gives --antennas 4, hwid1=0x10002 gives
    --hwid1 0x10002, verbose=True gives --verbose; a list repeats the option.
    """

    def __init__(self, address: str = "127.0.0.2", tags: Iterable[TagLike] | str | os.PathLike[str] | None = None,
                 *, rpcbind: bool = False, qdsim: str | None = None, start_timeout: float = 10.0,
                 **options: Any) -> None:
        self.address = address
        self.args = [qdsim_path(qdsim), "--address", address]
        if rpcbind:
            self.args.append("--rpcbind")
        if isinstance(tags, (str, os.PathLike)):
            self.args += ["--field", os.fspath(tags)]
        else:
            for tag in tags or ():
                self.args += ["--tag", _tag_option(tag)]
        for key, value in options.items():
            option = "--" + key.replace("_", "-")
            for v in value if isinstance(value, (list, tuple)) else [value]:
                if v is True:
                    self.args.append(option)
                elif v is not False and v is not None:
                    self.args += [option, str(v)]
        self.start_timeout = start_timeout
        self.process: subprocess.Popen[str] | None = None
        self._log = tempfile.TemporaryFile("w+")
        self._serving = threading.Event()
        self.serving_line = ""

    def start(self) -> VirtualReader:
        self.process = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=self._log, text=True,
                                        stdin=subprocess.DEVNULL)
        threading.Thread(target=self._read_output, daemon=True).start()
        deadline = time.monotonic() + self.start_timeout
        while not self._serving.wait(0.05):
            if self.process.poll() is not None or time.monotonic() >= deadline:
                self.stop()
                raise RuntimeError(f"qdsim did not serve on {self.address}:\n{self.log()}")
        return self

    def _read_output(self) -> None:
        # Drained to the end, so that the daemon never blocks on a full pipe.
        assert self.process and self.process.stdout
        for line in self.process.stdout:
            if not self._serving.is_set() and f"serving on {self.address} " in line:
                self.serving_line = line.strip()
                self._serving.set()

    def stop(self) -> int | None:
        """Stops the daemon; its exit status."""
        process, self.process = self.process, None
        if process is None:
            return None
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        return process.returncode

    def log(self) -> str:
        """What the daemon wrote to standard error (its --verbose lines)."""
        self._log.seek(0)
        return self._log.read()

    @property
    def running(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def __enter__(self) -> VirtualReader:
        return self.start()

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.stop()
        self._log.close()


def write_field(path: str | Path, lines: Iterable[str]) -> Path:
    """Writes a field file for VirtualReader(tags=path)."""
    path = Path(path)
    path.write_text("".join(f"{line}\n" for line in lines))
    return path
