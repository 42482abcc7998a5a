"""The encrypted container, through encrypt_buf and decrypt_buf.

    magic[6] | key_prefix | L1 | label (enc) | L2 | sublabel (enc) |
    D | payload (enc) | csum(payload, D)          (4-byte fields big-endian)
"""

from __future__ import annotations

import ctypes
from typing import NamedTuple, Union

from . import _native as n
from ._errors import ContainerError
from ._keys import key_text, prefix_byte
from ._native import Borrowed, BytesLike

MAGICS = ("start", "asar1")
MAX_LABEL = 31
MAX_SUBLABEL = 7
MAX_PAYLOAD = 0xFFFFFFFF  # the length field is 32 bits


class Container(NamedTuple):
    """What unpack() reads: the payload, the two texts (bytes, without their
    NUL), the magic ("start" or "asar1") and the first key byte."""

    payload: bytes
    label: bytes
    sublabel: bytes
    magic: str
    prefix: int


def _text(value: Union[str, bytes], what: str, limit: int) -> bytes:
    if isinstance(value, str):
        value = value.encode()
    elif not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"{what} must be str or bytes, not {type(value).__name__}")
    value = bytes(value)
    if b"\0" in value:
        raise ContainerError(f"the {what} contains a NUL byte")
    if len(value) > limit:
        raise ContainerError(f"{what} is longer than {limit} characters")
    return value


def pack(payload: BytesLike, key: Union[str, bytes], label: Union[str, bytes],
         sublabel: Union[str, bytes] = "", magic: str = "start", prefix: int = 0,
         data_sized: bool = False) -> bytes:
    """A container of payload, as `velkor pack` writes it.

    key: the key text (str as UTF-8, or bytes), at most 254 bytes, no NUL.
    label and sublabel: at most 31 and 7 bytes, no NUL.  magic: "start" or
    "asar1".  prefix: the first key byte, 0..255.  data_sized: each field's
    cipher table as long as the field (the reader must use the same
    setting).  The payload is at most 4 GiB - 1 bytes.  Raises
    ContainerError, with the reason, for anything outside these limits.
    """
    k = key_text(key, ContainerError)
    lab = _text(label, "label", MAX_LABEL)
    sub = _text(sublabel, "sublabel", MAX_SUBLABEL)
    mag = magic.decode() if isinstance(magic, bytes) else magic
    if mag not in MAGICS:
        raise ContainerError(f"unknown magic {magic!r} (use start or asar1)")
    pre = prefix_byte(prefix, ContainerError)

    info = n.EncInfo()
    info.key = k
    info.magic = mag.encode()
    info.label = lab
    info.sublabel = sub
    info.key_prefix = pre
    info.data_sized_state = 1 if data_sized else 0
    header = n.enc_compute_header_len(lab, sub)
    with Borrowed(payload) as (p, size):
        if size > MAX_PAYLOAD:
            raise ContainerError(
                f"too large for a container ({size} bytes, at most {MAX_PAYLOAD})")
        # encrypt_buf enciphers in place: the payload is copied straight to
        # its place in the result, and the checksum taken from that copy.
        out = n.new_bytes(header + size + 4)
        base = n.address(out)
        if size:
            ctypes.memmove(base + header, p, size)
    info.data_length = size
    info.checksum = n.velkor_csum(size, base + header, size)
    if n.encrypt_buf(info, base, base + header) != 0:
        raise MemoryError("pack: no memory for the cipher's table")
    return out


# The most a header can take: magic, prefix, three lengths and the longest
# texts.  The layout is checked on these first bytes alone.
_MAX_HEADER = 6 + 1 + 4 + 32 + 4 + 8 + 4


def _be32(b: bytes, at: int) -> int:
    return int.from_bytes(b[at:at + 4], "big")


def _layout(head: bytes, size: int) -> str:
    """What is wrong with the lengths of a container of size bytes that
    starts with head, or "" if they hold together: the velkor command's
    words for the usual mistakes.  Every field read lies inside the first
    _MAX_HEADER bytes once the checks before it have passed."""
    if size < 6 or head[0:6] not in (b"start\0", b"asar1\0"):
        return "not a container (no start or asar1 magic)"
    if size < 11:
        return "damaged container (cut off in the header)"
    l1 = _be32(head, 7)
    if l1 == 0 or l1 > 32:
        return f"damaged container (label length {l1}, not 1..32)"
    r = size - 11
    if r < l1 + 4:
        return "damaged container (cut off in the header)"
    r -= l1 + 4
    l2 = _be32(head, 11 + l1)
    if l2 == 0 or l2 > 8:
        return f"damaged container (sublabel length {l2}, not 1..8)"
    if r < l2 + 4:
        return "damaged container (cut off in the header)"
    r -= l2 + 4
    d = _be32(head, 15 + l1 + l2)
    if r < d + 4:
        return (f"damaged container (payload of {d} bytes and its checksum run past "
                "the end of the file)")
    return ""


def _field(info: n.EncInfo, name: str, length: int) -> bytes:
    """The first length bytes of a text field of info, NULs included."""
    offset = getattr(n.EncInfo, name).offset
    return ctypes.string_at(ctypes.addressof(info) + offset, length)


def unpack(container: BytesLike, key: Union[str, bytes], data_sized: bool = False) -> Container:
    """Check and decipher a container, as `velkor unpack` does.

    The caller's buffer is left as it was (decrypt_buf works over a private
    copy).  Bytes after the checksum are ignored.  Raises ContainerError with
    the reason: not a container, a damaged header, a payload that runs past
    the end, a checksum mismatch (wrong key, wrong data_sized or damaged
    data), or a label or sublabel that does not decipher to a NUL-ended
    text (a wrong key shows only this way when the payload is empty).
    """
    k = key_text(key, ContainerError)
    with Borrowed(container) as (p, size):
        head = ctypes.string_at(p, min(size, _MAX_HEADER)) if size else b""
        why = _layout(head, size)
        if why:
            raise ContainerError(why)
        l1 = _be32(head, 7)
        l2 = _be32(head, 11 + l1)
        header = 19 + l1 + l2
        d = _be32(head, header - 4)
        end = header + d + 4
        # decrypt_buf deciphers over its buffer, so it gets a private copy
        # (only up to the checksum: what follows is ignored anyway).
        priv = ctypes.create_string_buffer(end)
        ctypes.memmove(priv, p, end)
    info = n.EncInfo()
    info.key = k
    info.data_sized_state = 1 if data_sized else 0
    if n.decrypt_buf(info, priv, end) == 0:
        return Container(ctypes.string_at(priv, d), info.label, info.sublabel,
                         info.magic.decode(), info.key_prefix)
    # decrypt_buf says only that it failed.  The payload it deciphered is at
    # the start of priv and the stored checksum still after it: if they
    # agree, the texts were what failed.
    stored = int.from_bytes(ctypes.string_at(ctypes.addressof(priv) + end - 4, 4), "big")
    if n.velkor_csum(d, priv, d) != stored:
        raise ContainerError("checksum mismatch (wrong key or damaged container)")
    which = "label" if _field(info, "label", l1)[-1] != 0 else "sublabel"
    raise ContainerError(f"wrong key or damaged container ({which} does not decipher to a text)")
