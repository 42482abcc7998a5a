"""scan and Scanner: what the library's scanner reports, as Find records;
pieces never change the finds; the default keeps what `velkor scan` prints."""

import mmap
import random

import pytest

import velkor

KEY = "correct horse"


def filler(n, seed):
    """Random bytes without b, s or a: nothing in them starts a find."""
    data = bytearray(random.Random(seed).randbytes(n))
    return bytes(b if b not in b"bsa" else 0x78 for b in data)


def image():
    """A tagged file holding a container and a damaged tagged file, then a
    container cut off by the end."""
    box = velkor.pack(filler(200, 1), KEY, "firmware", "v2", "asar1", 7)
    bad = bytearray(velkor.tag(filler(40, 2)))
    bad[25] ^= 1
    outer = velkor.tag(filler(5, 3) + box + filler(6, 4) + bytes(bad))
    cut = velkor.pack(filler(50, 5), KEY, "x")[:-1]
    return filler(11, 6) + outer + filler(3, 7) + cut, len(box)


def test_finds_and_their_fields():
    data, box_len = image()
    outer_len = 20 + 5 + box_len + 6 + 60
    finds = velkor.scan(data, KEY, all=True)
    assert [(f.offset, f.kind, f.verified, f.reason, f.inside) for f in finds] == [
        (11, "tagged", True, None, None),
        (36, "container", True, None, 11),
        (36 + box_len + 6, "tagged", False, "CRC mismatch", 11),
        (11 + outer_len + 3, "container", False, "truncated", None),
    ]
    outer, box, bad, cut = finds
    assert (outer.length, outer.payload_offset, outer.payload_length) == (outer_len, 31,
                                                                           outer_len - 20)
    assert outer.magic is None and outer.label is None
    assert (box.magic, box.key_prefix, box.label, box.sublabel) == ("asar1", 7, b"firmware",
                                                                    b"v2")
    assert (box.length, box.payload_length) == (box_len, 200)
    assert box.payload_offset == 36 + 19 + 9 + 3
    assert bad.length == 60
    assert cut.length == len(data) - cut.offset + 1 and cut.label is None
    # The payload read back from the find's place is the container's own.
    assert velkor.unpack(data[box.offset:box.offset + box.length], KEY).payload == filler(200, 1)


def test_default_keeps_verified_and_unkeyed():
    data, _ = image()
    assert [f.offset for f in velkor.scan(data, KEY)] == [11, 36]
    nokey = velkor.scan(data)
    assert [(f.offset, f.reason) for f in nokey] == [(11, None), (36, "no key")]
    assert nokey[1].label is None and nokey[1].magic == "asar1"
    wrong = velkor.scan(data, "wrong", all=True)
    assert wrong[1].reason == "wrong key or damaged"
    assert [f.offset for f in velkor.scan(data, "wrong")] == [11]


@pytest.mark.parametrize("make", [bytes, bytearray, memoryview])
def test_pieces_and_buffer_types(make):
    data, _ = image()
    whole = velkor.scan(data, KEY, all=True)
    rng = random.Random(3)
    for _ in range(20):
        s = velkor.Scanner(KEY, all=True)
        got, at = [], 0
        while at < len(data):
            n = rng.randrange(0, 90)
            got += s.feed(make(data[at:at + n]))
            at += n
        got += s.close()
        assert got == whole


def test_mmap_and_empty():
    data, _ = image()
    m = mmap.mmap(-1, len(data))
    m.write(data)
    assert velkor.scan(m, KEY) == velkor.scan(data, KEY)
    m.close()
    assert velkor.scan(b"") == []


def test_keys_and_misuse():
    for bad in ("", "x" * 255, "a\0b"):
        with pytest.raises(velkor.Error):
            velkor.Scanner(bad)
    with pytest.raises(TypeError):
        velkor.scan("not bytes")
    s = velkor.Scanner()
    s.close()
    with pytest.raises(ValueError):
        s.feed(b"x")
    with pytest.raises(ValueError):
        s.close()
    # A find becomes certain only once enough follows it, or at the end.
    s = velkor.Scanner()
    assert s.feed(velkor.tag(b"abc")) == []
    assert [f.verified for f in s.close()] == [True]


def test_memory_limit_drops_are_counted():
    nest = velkor.tag(b"core")
    for k in range(30):
        nest = velkor.tag(b"..." + nest)
    s = velkor.Scanner(memory_limit=2048)
    finds = s.feed(nest) + s.close()
    assert s.dropped > 0 and len(finds) + s.dropped == 31
    assert velkor.Scanner(memory_limit=0).feed(nest) == []  # all 31 still open
