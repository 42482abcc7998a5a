# SPDX-License-Identifier: MIT
"""tag and untag against the written format, bgntag and `velkor check`."""

import mmap
import random

import pytest

import velkor
from conftest import run

ABC_TAGGED = bytes.fromhex("62676E0000000000000000B100000017 07E3221F 616263".replace(" ", ""))
EMPTY_TAGGED = bytes.fromhex("62676E0000000000000000B10000001498B96AA8")


def test_written_format():
    assert velkor.tag(b"abc") == ABC_TAGGED
    assert velkor.tag(b"") == EMPTY_TAGGED
    assert velkor.untag(ABC_TAGGED) == b"abc"
    assert velkor.untag(EMPTY_TAGGED) == b""


@pytest.mark.parametrize("size", [0, 1, 4096, 100_003])
def test_same_bytes_as_bgntag(tmp_path, bgntag_tool, velkor_tool, size):
    data = random.Random(size).randbytes(size)
    src, out = tmp_path / "in", tmp_path / "out.bgn"
    src.write_bytes(data)
    assert run(bgntag_tool, str(src), str(out)).returncode == 0
    assert velkor.tag(data) == out.read_bytes()
    assert velkor.untag(out.read_bytes()) == data
    mine = tmp_path / "mine.bgn"
    mine.write_bytes(velkor.tag(data))
    assert run(velkor_tool, "check", "-q", str(mine)).returncode == 0


def test_bytes_like_inputs(kinds):
    data = random.Random(1).randbytes(1000)
    tagged = velkor.tag(data)
    for name, obj in kinds(data):
        assert velkor.tag(obj) == tagged, name
    for name, obj in kinds(tagged):
        assert velkor.untag(obj) == data, name


def _damaged():
    good = velkor.tag(b"hello, world\n")
    length_off = bytearray(good)
    length_off[15] += 1
    fmt = bytearray(good)
    fmt[11] = 0xB2
    magic = bytearray(good)
    magic[0:3] = b"BGN"
    payload = bytearray(good)
    payload[-1] ^= 1
    crc = bytearray(good)
    crc[16] ^= 0x80
    return [
        (b"", "not a tagged file: 0 bytes, shorter than the 20-byte header"),
        (good[:19], "not a tagged file: 19 bytes, shorter than the 20-byte header"),
        (bytes(magic), "not a tagged file"),
        (bytes(fmt), "wrong format byte 0xb2, expected 0xb1"),
        (bytes(length_off), "length field says 34 but the file has 33 bytes"),
        (good + b"x", "length field says 33 but the file has 34 bytes"),
        (bytes(payload), "CRC mismatch: stored 0x%08x, computed 0x%08x"
         % (int.from_bytes(good[16:20], "big"), velkor.crc(bytes(payload[:16]) + bytes(4) + bytes(payload[20:])))),
        (bytes(crc), "CRC mismatch: stored 0x%08x, computed 0x%08x"
         % (int.from_bytes(crc[16:20], "big"), int.from_bytes(good[16:20], "big"))),
    ]


@pytest.mark.parametrize("data, reason", _damaged())
def test_damage_gives_the_command_reason(tmp_path, velkor_tool, data, reason):
    with pytest.raises(velkor.TagError) as e:
        velkor.untag(data)
    assert e.value.reason == reason == str(e.value)
    f = tmp_path / "t"
    f.write_bytes(data)
    r = run(velkor_tool, "check", str(f))
    assert r.returncode == 1
    assert r.stdout == f"{f}: FAILED ({reason})\n"


def test_too_large_to_tag(tmp_path, capped_memory):
    # A sparse file mapped, never read: the size alone is refused.
    f = tmp_path / "big"
    with open(f, "wb") as fh:
        fh.truncate(2**32 - 20)
    with open(f, "rb") as fh, mmap.mmap(fh.fileno(), 0, access=mmap.ACCESS_READ) as m:
        with pytest.raises(velkor.TagError, match="File too large"):
            velkor.tag(m)


def test_not_bytes_like():
    for fn in (velkor.tag, velkor.untag):
        with pytest.raises(TypeError):
            fn("abc")
