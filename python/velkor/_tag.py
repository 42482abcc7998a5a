# SPDX-License-Identifier: MIT
"""Tagged files: a header the library builds and checks, then the payload
unchanged.  The reasons are the velkor command's (`velkor check`) word for
word, made from the same fields of velkor_tag_info."""

from __future__ import annotations

import ctypes

from . import _native as n
from ._errors import TagError
from ._native import Borrowed, BytesLike

HEADER_LEN = n.VELKOR_TAG_HEADER_LEN
MAX_PAYLOAD = n.VELKOR_TAG_MAX_PAYLOAD


def tag(data: BytesLike) -> bytes:
    """The tagged file of data: the 20-byte header, then data unchanged.

    Raises TagError for data of 4 GiB - 20 bytes or more, whose length the
    header cannot hold.

    >>> tag(b"abc").hex(" ")
    '62 67 6e 00 00 00 00 00 00 00 00 b1 00 00 00 17 07 e3 22 1f 61 62 63'
    """
    with Borrowed(data) as (p, size):
        # Checked before the result is allocated: the library would refuse
        # only once the whole payload had been read.
        if size > MAX_PAYLOAD:
            raise TagError("File too large")
        out = n.new_bytes(HEADER_LEN + size)
        base = n.address(out)
        if size:
            ctypes.memmove(base + HEADER_LEN, p, size)
    # The CRC is taken over the copy that is returned, so a buffer another
    # thread changes meanwhile cannot give a file that fails.
    st = n.CrcState()
    n.velkor_crc_init(st)
    n.velkor_crc_update(st, base + HEADER_LEN, size)
    if n.velkor_tag_build(base, st) != 0:
        raise TagError("File too large")
    return out


def _reason(why: int, info: n.TagInfo, file_len: int) -> str:
    """The command's words for a refusal (tool/velkor_main.cpp, check)."""
    if why == n.VELKOR_TAG_SHORT:
        return f"not a tagged file: {file_len} bytes, shorter than the 20-byte header"
    if why == n.VELKOR_TAG_WRONG_FORMAT:
        return f"wrong format byte 0x{info.format:02x}, expected 0xb1"
    if why == n.VELKOR_TAG_WRONG_LENGTH:
        return f"length field says {info.length} but the file has {file_len} bytes"
    if why == n.VELKOR_TAG_CRC_MISMATCH:
        return (f"CRC mismatch: stored 0x{info.stored_crc:08x}, "
                f"computed 0x{info.computed_crc:08x}")
    return "not a tagged file"


def untag(tagged: BytesLike) -> bytes:
    """Check a tagged file as `velkor check` does and return its payload.

    Raises TagError carrying the command's reason: too short, wrong magic,
    wrong format byte, a length field that disagrees with the size, or a
    CRC mismatch.
    """
    info = n.TagInfo()
    with Borrowed(tagged) as (p, size):
        base = n.address(p)
        # Checked is what is returned: the header and the payload are copied
        # out before their CRC is taken.
        head = ctypes.string_at(base, min(size, HEADER_LEN)) if size else b""
        why = n.velkor_tag_parse(info, head, len(head))
        if why == n.VELKOR_TAG_OK:
            why = n.velkor_tag_check_length(info, size)
        if why != n.VELKOR_TAG_OK:
            raise TagError(_reason(why, info, size))
        payload = ctypes.string_at(base + HEADER_LEN, size - HEADER_LEN)
    st = n.CrcState()
    n.velkor_crc_init(st)
    n.velkor_crc_update(st, payload, len(payload))
    why = n.velkor_tag_check_crc(info, head, st)
    if why != n.VELKOR_TAG_OK:
        raise TagError(_reason(why, info, size))
    return payload
