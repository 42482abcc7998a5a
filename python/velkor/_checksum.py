# SPDX-License-Identifier: MIT
"""The two checksums the formats store: velkor_crc and velkor_csum."""

from __future__ import annotations

import ctypes
import threading

from . import _native as n
from ._native import Borrowed, BytesLike


def crc(data: BytesLike) -> int:
    """The CRC that POSIX cksum prints first, the one tagged files store.

    MSB-first CRC-32 (polynomial 0x04C11DB7) over data and then over its
    length, complemented.  Not zlib.crc32, which is another CRC.

    >>> hex(crc(b"abc"))
    '0x48aa78a2'
    """
    if type(data) is bytes:
        return n.velkor_crc(data, len(data))  # type: ignore[no-any-return]
    with Borrowed(data) as (p, size):
        return n.velkor_crc(p, size)  # type: ignore[no-any-return]


def csum(data: BytesLike, initial: int = 0) -> int:
    """The container's payload check: a reflected CRC-32 register update.

    Starts from initial (0..2**32-1), sign-extends each byte into the
    register and has no final complement, so pieces chain:
    csum(b, csum(a, x)) == csum(a + b, x).  A container stores
    csum(payload, len(payload)).

    >>> hex(csum(b"abc", 3))
    '0xc8232689'
    """
    if not 0 <= initial <= 0xFFFFFFFF:
        raise ValueError(f"initial value {initial} is not in 0..0xFFFFFFFF")
    if type(data) is bytes:
        return n.velkor_csum(initial, data, len(data))  # type: ignore[no-any-return]
    with Borrowed(data) as (p, size):
        return n.velkor_csum(initial, p, size)  # type: ignore[no-any-return]


class Crc:
    """crc() for data that arrives in pieces, shaped like a hashlib object.

    >>> c = Crc(b"a")
    >>> c.update(b"bc")
    >>> c.value == crc(b"abc"), c.hexdigest()
    (True, '48aa78a2')

    Any split of the data, empty pieces included, gives the same value.
    value and digest() may be read at any time and feeding may go on.
    An object may be shared between threads; its updates are serialised.
    """

    name = "velkor_crc"
    digest_size = 4

    __slots__ = ("_state", "_lock")

    def __init__(self, data: BytesLike = b"") -> None:
        self._state = n.CrcState()
        self._lock = threading.Lock()
        n.velkor_crc_init(self._state)
        self.update(data)

    def update(self, data: BytesLike) -> None:
        """Feed the next piece."""
        with self._lock:
            if type(data) is bytes:
                n.velkor_crc_update(self._state, data, len(data))
                return
            with Borrowed(data) as (p, size):
                n.velkor_crc_update(self._state, p, size)

    @property
    def value(self) -> int:
        """The CRC of everything fed so far, as an int."""
        with self._lock:
            return n.velkor_crc_final(self._state)  # type: ignore[no-any-return]

    def digest(self) -> bytes:
        """value as 4 bytes, most significant first, as the formats store it."""
        return self.value.to_bytes(4, "big")

    def hexdigest(self) -> str:
        """value as 8 lower-case hex digits."""
        return f"{self.value:08x}"

    def copy(self) -> "Crc":
        """An independent Crc that continues from the same point."""
        other = Crc.__new__(Crc)
        other._lock = threading.Lock()
        with self._lock:
            other._state = n.CrcState.from_buffer_copy(self._state)
        return other

    def __repr__(self) -> str:
        return f"<velkor.Crc value=0x{self.value:08x}>"
