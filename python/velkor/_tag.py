"""Tagged files: a 20-byte header, then the payload unchanged.

    0  3  magic "bgn"          12 4  total length (header + payload)
    3  8  zero                 16 4  velkor_crc of the whole file, this
    11 1  format byte 0xB1           field held at zero

The header is built and checked here, in Python, because the library does
not offer it yet.  When it gains its velkor_tag_ functions, tag() and
untag() should call those and this module should shrink to the wrappers;
the reasons below are the velkor command's (`velkor check`) word for word.
"""

from __future__ import annotations

import ctypes

from . import _native as n
from ._errors import TagError
from ._native import Borrowed, BytesLike

HEADER_LEN = 20
FORMAT_BYTE = 0xB1
# The length field is 32 bits and counts the header too.
MAX_PAYLOAD = 0xFFFFFFFF - HEADER_LEN


def tag(data: BytesLike) -> bytes:
    """The tagged file of data: the 20-byte header, then data unchanged.

    Raises TagError for data of 4 GiB - 20 bytes or more, whose length the
    header cannot hold.

    >>> tag(b"abc").hex(" ")
    '62 67 6e 00 00 00 00 00 00 00 00 b1 00 00 00 17 07 e3 22 1f 61 62 63'
    """
    with Borrowed(data) as (p, size):
        if size > MAX_PAYLOAD:
            raise TagError("File too large")
        head = bytearray(HEADER_LEN)
        head[0:3] = b"bgn"
        head[11] = FORMAT_BYTE
        head[12:16] = (size + HEADER_LEN).to_bytes(4, "big")
        # The CRC is taken over the copy that is returned, so a buffer
        # another thread changes meanwhile cannot give a file that fails.
        out = n.new_bytes(HEADER_LEN + size)
        base = n.address(out)
        ctypes.memmove(base, bytes(head), HEADER_LEN)
        if size:
            ctypes.memmove(base + HEADER_LEN, p, size)
    crc = n.velkor_crc(out, HEADER_LEN + size)
    ctypes.memmove(base + 16, crc.to_bytes(4, "big"), 4)
    return out


def untag(tagged: BytesLike) -> bytes:
    """Check a tagged file as `velkor check` does and return its payload.

    Raises TagError carrying the command's reason: too short, wrong magic,
    wrong format byte, a length field that disagrees with the size, or a
    CRC mismatch.
    """
    with Borrowed(tagged) as (p, size):
        if size < HEADER_LEN:
            raise TagError(
                f"not a tagged file: {size} bytes, shorter than the 20-byte header")
        base = n.address(p)
        head = ctypes.string_at(base, HEADER_LEN)
        if head[0:3] != b"bgn":
            raise TagError("not a tagged file")
        if head[11] != FORMAT_BYTE:
            raise TagError(f"wrong format byte 0x{head[11]:02X}, expected 0xB1")
        length = int.from_bytes(head[12:16], "big")
        if length != size:
            raise TagError(f"length field says {length} but the file has {size} bytes")
        # Checked is what is returned: the payload is copied out first.
        payload = ctypes.string_at(base + HEADER_LEN, size - HEADER_LEN)
    stored = int.from_bytes(head[16:20], "big")
    st = n.CrcState()
    n.velkor_crc_init(st)
    n.velkor_crc_update(st, head[0:16] + bytes(4), HEADER_LEN)
    n.velkor_crc_update(st, payload, len(payload))
    computed = n.velkor_crc_final(st)
    if computed != stored:
        raise TagError(f"CRC mismatch: stored 0x{stored:08X}, computed 0x{computed:08X}")
    return payload
