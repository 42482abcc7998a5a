# SPDX-License-Identifier: MIT
"""Checks shared by the cipher and the container on their arguments."""

from __future__ import annotations

from typing import Callable, Union

MAX_KEY = 254  # the key material is the prefix byte and up to 254 more


def key_bytes(key: Union[str, bytes]) -> bytes:
    """A key as bytes: a str is encoded as UTF-8."""
    if isinstance(key, str):
        return key.encode()
    if not isinstance(key, (bytes, bytearray, memoryview)):
        raise TypeError(f"key must be str or bytes, not {type(key).__name__}")
    return bytes(key)


def key_text(key: Union[str, bytes], fail: Callable[[str], Exception],
             empty_ok: bool = True) -> bytes:
    """A key text as the library takes it: at most 254 bytes, no NUL.  With
    empty_ok false also at least one byte, as the velkor command requires of
    a container's key (an empty one is what an unset variable gives)."""
    key = key_bytes(key)
    if b"\0" in key:
        raise fail("the key contains a NUL byte")
    if not key and not empty_ok:
        raise fail("the key is empty")
    if len(key) > MAX_KEY:
        raise fail(f"the key is longer than {MAX_KEY} bytes")
    return key


def flag(value: object, name: str) -> int:
    """A yes-or-no option as the library takes it, 0 or 1.  Only a bool is
    taken: any other object (the string "false", say) would read as true
    and turn on what the caller meant to leave off."""
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be a bool, not {type(value).__name__}")
    return 1 if value else 0


def prefix_byte(prefix: int, fail: Callable[[str], Exception]) -> int:
    """A first key byte, 0..255."""
    if isinstance(prefix, bool) or not isinstance(prefix, int):
        raise TypeError(f"prefix must be an int, not {type(prefix).__name__}")
    if not 0 <= prefix <= 255:
        raise fail(f"prefix {prefix} is not a number from 0 to 255")
    return prefix
