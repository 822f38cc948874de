"""The memory, identity, password and locks of one tag.

Which request word carries what is the reader's convention:

    operation       op_word1  op_word19       op_word20       data_bits / data
    tagid_write     -         -               -               the new identity
    tagid_lock      -         password high   password low    -
    tag_kill        -         password high   password low    -
    tag_passwd      -         password high   password low    32: the new password
    tagdata_read    area      first word      word count      (the reply)
    tagdata_write   area      first word      -               the words to write
    tagdata_lock    area      password high   password low    -
"""
from __future__ import annotations

import ctypes
import enum
from typing import Protocol, Sequence, Union

from ._lib import TagopRecord, lib
from ._session import Session
from .errors import failure
from .inventory import Tag


class HasSession(Protocol):
    """What the tag operations need of a reader: the session of its handle."""

    _session: Session


MAX_ID_WORDS = 16
MAX_DATA_WORDS = 1024

TagId = Union[Tag, bytes, str]
Words = Union[Sequence[int], bytes]


class Area(enum.IntEnum):
    RESERVED = 0
    IDENTITY = 1
    TID = 2
    USER = 3


def _area(area: Area | str | int) -> int:
    return Area[area.upper()] if isinstance(area, str) else int(area)


def words_of(data: Words) -> list[int]:
    """16-bit words from a sequence of ints, or from bytes (high byte first)."""
    if isinstance(data, (bytes, bytearray)):
        if len(data) % 2:
            raise ValueError("bytes are written as whole 16-bit words")
        return [int.from_bytes(data[i:i + 2], "big") for i in range(0, len(data), 2)]
    words = [int(w) for w in data]
    if any(not 0 <= w <= 0xFFFF for w in words):
        raise ValueError("a word is 0..0xFFFF")
    return words


def identity(tag_id: TagId, id_bits: int | None = None) -> tuple[list[int], int]:
    """The words and length in bits of an identity: a Tag, bytes, or hex
    text ("3000ABCD", "0x3000ABCD", "ABC/12": 4 bits a digit unless /BITS)."""
    if isinstance(tag_id, Tag):
        words, bits = words_of(tag_id.id), tag_id.id_bits
    elif isinstance(tag_id, (bytes, bytearray)):
        words, bits = words_of(tag_id), 8 * len(tag_id)
    else:
        digits, _, given = tag_id.partition("/")
        if digits[:2].lower() == "0x":
            digits = digits[2:]
        bits = int(given) if given else 4 * len(digits)
        digits += "0" * (-len(digits) % 4)
        words = [int(digits[i:i + 4], 16) for i in range(0, len(digits), 4)]
    if id_bits is not None:
        bits = id_bits
    if (min(bits, 16 * MAX_ID_WORDS) + 15) // 16 != len(words) or bits > 0xFFFF:
        raise ValueError(f"an identity of {bits} bits is not {len(words)} words")
    return words, bits


class TagMemory:
    """Operations on the tag with one identity (Reader.tag)."""

    def __init__(self, reader: HasSession, tag_id: TagId, id_bits: int | None = None) -> None:
        self._session = reader._session
        self.id_words, self.id_bits = identity(tag_id, id_bits)

    def _request(self) -> TagopRecord:
        # The record goes to the reader as it is: what is unused stays zero.
        r = TagopRecord()
        r.id_bits = self.id_bits
        r.id[:len(self.id_words)] = self.id_words
        return r

    def _run(self, name: str, r: TagopRecord) -> None:
        if self._session.call(getattr(lib, name), ctypes.byref(r)) != 0:
            raise failure(f"{name} {self.hex}")

    @staticmethod
    def _password(r: TagopRecord, password: int) -> None:
        r.op_word19, r.op_word20 = password >> 16 & 0xFFFF, password & 0xFFFF

    @staticmethod
    def _data(r: TagopRecord, words: list[int], bits: int) -> None:
        if len(words) > MAX_DATA_WORDS:
            raise ValueError(f"at most {MAX_DATA_WORDS} words")
        r.data_bits = bits
        r.data[:len(words)] = words

    @property
    def hex(self) -> str:
        return "".join(f"{w:04X}" for w in self.id_words)

    def read(self, area: Area | str | int, first: int, count: int) -> list[int]:
        """`count` words of an area from word `first`.  The library reports
        every read the reader refuses (no such tag, a locked or missing area)
        as RemoteError, without the reader's reason."""
        if not 1 <= count <= MAX_DATA_WORDS:
            raise ValueError(f"a read is 1..{MAX_DATA_WORDS} words")
        r = self._request()
        r.op_word1, r.op_word19, r.op_word20 = _area(area), first, count
        self._run("tagdata_read", r)
        return list(r.data[:min((r.data_bits + 15) // 16, MAX_DATA_WORDS)])

    def write(self, area: Area | str | int, first: int, data: Words) -> None:
        """Writes words (ints, or bytes high byte first) from word `first`."""
        words = words_of(data)
        r = self._request()
        r.op_word1, r.op_word19 = _area(area), first
        self._data(r, words, 16 * len(words))
        self._run("tagdata_write", r)

    def lock(self, area: Area | str | int, password: int = 0) -> None:
        """Locks an area for good."""
        r = self._request()
        r.op_word1 = _area(area)
        self._password(r, password)
        self._run("tagdata_lock", r)

    def lock_id(self, password: int = 0) -> None:
        """Locks the identity for good."""
        r = self._request()
        self._password(r, password)
        self._run("tagid_lock", r)

    def write_id(self, new_id: TagId, id_bits: int | None = None) -> None:
        """Gives the tag a new identity; this object then addresses it."""
        words, bits = identity(new_id, id_bits)
        r = self._request()
        self._data(r, words, bits)
        self._run("tagid_write", r)
        self.id_words, self.id_bits = words, bits

    def kill(self, password: int = 0) -> None:
        """Silences the tag for good."""
        r = self._request()
        self._password(r, password)
        self._run("tag_kill", r)

    def set_password(self, password: int, new_password: int) -> None:
        r = self._request()
        self._password(r, password)
        self._data(r, [new_password >> 16 & 0xFFFF, new_password & 0xFFFF], 32)
        self._run("tag_passwd", r)
