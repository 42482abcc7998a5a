# SPDX-License-Identifier: MIT
"""The encrypted container, written and read by the library's piecewise
calls (enc_write_* and enc_read_*), which own its layout and its checks."""

from __future__ import annotations

import ctypes
from typing import List, NamedTuple, Sequence, Union

from . import _native as n
from ._errors import ContainerError
from ._keys import flag, key_text, prefix_byte
from ._native import Borrowed, BytesLike

MAGICS = ("start", "asar1")
MAX_LABEL = 31
MAX_SUBLABEL = 7
MAX_PAYLOAD = 0xFFFFFFFF  # the length field is 32 bits


class Container(NamedTuple):
    """What unpack() reads: the payload, the two texts (bytes, without their
    NUL), the magic ("start" or "asar1"), the first key byte, and the
    number of the key that opened it (1 for the first given)."""

    payload: bytes
    label: bytes
    sublabel: bytes
    magic: str
    prefix: int
    key: int = 1


def _text(value: Union[str, bytes], what: str, limit: int) -> bytes:
    if isinstance(value, str):
        value = value.encode()
    elif not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"{what} must be str or bytes, not {type(value).__name__}")
    value = bytes(value)
    if b"\0" in value:
        raise ContainerError(f"the {what} contains a NUL byte")
    if len(value) > limit:
        raise ContainerError(f"{what} is longer than {limit} bytes")
    return value


def pack(payload: BytesLike, key: Union[str, bytes], label: Union[str, bytes],
         sublabel: Union[str, bytes] = "", magic: str = "start", prefix: int = 0,
         data_sized: bool = False) -> bytes:
    """A container of payload, byte for byte as `velkor pack` writes it.

    key: the key text (str as UTF-8, or bytes), 1 to 254 bytes, no NUL.
    label and sublabel: at most 31 and 7 bytes, no NUL.  magic: "start" or
    "asar1".  prefix: the first key byte, 0..255.  data_sized: each field's
    cipher table as long as the field (the reader must use the same
    setting), a bool.  The payload is at most 4 GiB - 1 bytes.  Raises
    ContainerError, with the reason, for anything outside these limits (an
    empty key included), TypeError for a data_sized that is not a bool,
    MemoryError when a cipher table cannot be allocated.
    """
    k = key_text(key, ContainerError, empty_ok=False)
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
    info.data_sized_state = flag(data_sized, "data_sized")
    header = n.enc_compute_header_len(lab, sub)
    st = n.EncStream()
    with Borrowed(payload) as (p, size):
        if size > MAX_PAYLOAD:
            raise ContainerError(
                f"too large for a container ({size} bytes, at most {MAX_PAYLOAD})")
        info.data_length = size
        out = n.new_bytes(header + size + 4)
        base = n.address(out)
        # The payload is copied to its place in the result first and the
        # checksum taken from that copy, as it is enciphered in place: a
        # buffer another thread changes meanwhile cannot give a container
        # that fails its checksum.
        if size:
            ctypes.memmove(base + header, p, size)
    # The arguments have been checked: only a table's allocation can fail.
    if n.enc_write_header(st, info, base) != 0:
        raise MemoryError("pack: no memory for the cipher's table")
    n.enc_write_payload(st, base + header, base + header, size)
    n.enc_write_finish(st, base + header + size)  # releases the table
    return out


def _reason(why: int, st: n.EncStream) -> str:
    """The velkor command's words for a refusal: the library's, except that
    a wrong table setting is named by its parameter."""
    text = ctypes.create_string_buffer(200)
    n.enc_reason_message(why, st, text, len(text))
    return text.value.decode().replace("wrong table setting", "wrong data_sized setting", 1)


def unpack(container: BytesLike, key: Union[str, bytes, Sequence[Union[str, bytes]]],
           data_sized: bool = False) -> Container:
    """Check and decipher a container, as `velkor unpack` does.

    The payload is deciphered from the caller's buffer straight into the
    result; the buffer is left as it was.  Bytes after the checksum are
    ignored.  key follows pack()'s rules (an empty key raises
    ContainerError), or is a list or tuple of such keys (1 to 64), tried in
    order as `velkor unpack` tries repeated -k: the first that opens the
    container is used, and its number is the result's key.  data_sized is
    a bool (TypeError otherwise).  Raises ContainerError with the command's
    reason: not a container, a damaged header, a payload that runs past the
    end, a label or sublabel that does not decipher to a NUL-ended text
    (checked first: how a wrong key or data_sized setting almost always
    shows), or a checksum mismatch (wrong key, wrong data_sized or damaged
    data); with several keys, the reason of the first key whose texts
    deciphered, else the first key's.  MemoryError when a cipher table
    cannot be allocated.
    """
    if isinstance(key, (list, tuple)):
        if not key:
            raise ContainerError("the list of keys is empty")
        if len(key) > n.VELKOR_SCAN_MAX_KEYS:
            raise ContainerError(f"at most {n.VELKOR_SCAN_MAX_KEYS} keys may be given")
        keys: List[bytes] = [key_text(k, ContainerError, empty_ok=False) for k in key]
    else:
        keys = [key_text(key, ContainerError, empty_ok=False)]
    sized = flag(data_sized, "data_sized")
    failure = None
    for number, k in enumerate(keys, 1):
        why, said, got = _unpack_with(container, k, sized)
        if why == n.ENC_OK:
            return got._replace(key=number)
        if why == n.ENC_NO_MEMORY:
            raise MemoryError(said)
        if failure is None or (failure[0] == n.ENC_BAD_TEXT and why != n.ENC_BAD_TEXT):
            failure = (why, said)
        if why not in (n.ENC_BAD_TEXT, n.ENC_CHECKSUM_MISMATCH):
            break  # the layout is wrong, whatever the key
    raise ContainerError(failure[1])


def _unpack_with(container: BytesLike, k: bytes, sized: int):
    """(reason, its words, the Container or None) under the key k."""
    info = n.EncInfo()
    info.key = k
    info.data_sized_state = sized
    st = n.EncStream()
    payload = None
    with Borrowed(container) as (p, size):
        base = n.address(p)
        why = n.enc_read_header(st, info, p, size, size)
        if why == n.ENC_OK:
            try:
                # The whole payload and its checksum lie within size: the
                # header's check had the total length.
                at = base + st.header_len
                d = st.data_length
                payload = n.new_bytes(d)
                n.enc_read_payload(st, at, payload, d)
                why = n.enc_read_finish(st, info, at + d)
            finally:
                n.enc_stream_release(st)  # harmless after enc_read_finish
    if why != n.ENC_OK:
        return why, _reason(why, st), None
    # Both texts end within their fields once the reader accepted them.
    return why, "", Container(payload, info.label, info.sublabel, info.magic.decode(), info.key_prefix)
