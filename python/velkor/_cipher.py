# SPDX-License-Identifier: MIT
"""The keyed stream cipher: vcrypt_buf in one call, or a Cipher object over
vcrypt_init / vcrypt_process / vcrypt_finish for data in pieces."""

from __future__ import annotations

import ctypes
import threading
from typing import Any, Optional, Union

from . import _native as n
from ._keys import flag, key_bytes, key_text, prefix_byte
from ._native import Borrowed, BytesLike

_INT_MAX = 2**31 - 1


def vcrypt(data: BytesLike, key: Union[str, bytes], prefix: int = 0,
           data_sized: bool = False) -> bytes:
    """Encipher or decipher data (the same operation) with vcrypt_buf.

    The key material is the prefix byte (0..255) followed by the key text
    (str as UTF-8, or bytes; at most 254 bytes, no NUL).  The table has 256
    entries, which makes this RC4 under the key material, or as many as data
    has bytes when data_sized is True.  Raises ValueError for a bad key or
    prefix, TypeError for a data_sized that is not a bool, MemoryError when
    the table cannot be allocated.

    >>> vcrypt(b"Plaintext", b"ey", prefix=ord("K")).hex()
    'bbf316e8d940af0ad3'
    """
    k = key_text(key, ValueError)
    pre = prefix_byte(prefix, ValueError)
    dss = flag(data_sized, "data_sized")
    with Borrowed(data) as (p, size):
        out = n.new_bytes(size)
        if n.vcrypt_buf(pre, k, p, out, size, dss) != 0:
            raise MemoryError(f"vcrypt: no memory for a table of {size} entries")
    return out


class Cipher:
    """A cipher context whose keystream continues from call to call.

    Cipher(key, prefix, state_len) keys a table of state_len entries with the
    key material prefix byte + key (bytes, any content, or str as UTF-8).
    With state_len 256, Cipher(k, p).process(data) == vcrypt(data, k, p),
    and with state_len len(data) it equals vcrypt(..., data_sized=True).  A
    table of 0 entries is valid and leaves data unchanged.

    The table is released by close(), at the end of a with block, or when
    the object is collected.  Calls from several threads are serialised.

    >>> with Cipher(b"ey", ord("K")) as c:
    ...     (c.process(b"Plain") + c.process(b"text")).hex()
    'bbf316e8d940af0ad3'
    """

    __slots__ = ("_ctx", "_lock", "_open")

    def __init__(self, key: Union[str, bytes], prefix: int, state_len: int = 256) -> None:
        self._open = False
        self._lock = threading.Lock()
        self._ctx = n.VcryptState()
        material = bytes([prefix_byte(prefix, ValueError)]) + key_bytes(key)
        if len(material) > _INT_MAX:
            raise ValueError("key is too long")
        if not 0 <= state_len <= ctypes.c_size_t(-1).value:
            raise ValueError(f"state_len {state_len} is out of range")
        if n.vcrypt_init(self._ctx, material, len(material), state_len) != 0:
            raise MemoryError(f"Cipher: no memory for a table of {state_len} entries")
        self._open = True

    @property
    def state_len(self) -> int:
        """The number of table entries."""
        return self._ctx.state_len  # type: ignore[no-any-return]

    def process(self, data: BytesLike) -> bytes:
        """The next len(data) keystream bytes XORed into data, as new bytes."""
        with self._lock:
            if not self._open:
                raise ValueError("the cipher is closed")
            with Borrowed(data) as (p, size):
                if self._ctx.state_len == 0:
                    return ctypes.string_at(p, size) if size else b""
                out = n.new_bytes(size)
                n.vcrypt_process(self._ctx, p, out, size)
            return out

    def close(self) -> None:
        """Release the table.  Further process() calls raise ValueError;
        closing again does nothing."""
        with self._lock:
            if self._open:
                self._open = False
                n.vcrypt_finish(self._ctx)

    def __enter__(self) -> "Cipher":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        # A constructor that failed has nothing to release.
        if getattr(self, "_open", False):
            self.close()

    def __repr__(self) -> str:
        state = "open" if self._open else "closed"
        return f"<velkor.Cipher {state}, {self._ctx.state_len} entries>"
