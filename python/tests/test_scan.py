# SPDX-License-Identifier: MIT
"""scan and Scanner: what the library's scanner reports, as Find records;
pieces never change the finds; the default keeps what `velkor scan` prints."""

import mmap
import pickle
import random
import re
import tracemalloc
import warnings

import re

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
    finds = list(velkor.scan(data, KEY, all=True))
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
    nokey = list(velkor.scan(data))
    assert [(f.offset, f.reason) for f in nokey] == [(11, None), (36, "no key")]
    assert nokey[1].label is None and nokey[1].magic == "asar1"
    wrong = list(velkor.scan(data, "wrong", all=True))
    assert wrong[1].reason == "wrong key or damaged"
    assert [f.offset for f in velkor.scan(data, "wrong")] == [11]


@pytest.mark.parametrize("make", [bytes, bytearray, memoryview])
def test_pieces_and_buffer_types(make):
    data, _ = image()
    whole = list(velkor.scan(data, KEY, all=True))
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
    assert list(velkor.scan(m, KEY)) == list(velkor.scan(data, KEY))
    m.close()
    assert list(velkor.scan(b"")) == []


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


def nest(depth):
    """depth tagged files, each inside the next, all ending together."""
    t = velkor.tag(b"core")
    for _ in range(depth - 1):
        t = velkor.tag(b"..." + t)
    return t


def test_memory_limit_drops_are_counted_and_scan_loses_none():
    data = nest(31)
    s = velkor.Scanner(memory_limit=600)
    finds = s.feed(data) + s.close()
    assert s.dropped > 0 and len(finds) + s.dropped == 31
    assert velkor.Scanner().feed(data) == []  # all 31 still open
    # scan() reads the data again from what was dropped: nothing is lost.
    assert [f.offset for f in velkor.scan(data, memory_limit=600)] == [23 * k for k in range(31)]


@pytest.mark.parametrize("limit, error", [
    (0, ValueError), (-1, ValueError), (2**64, ValueError), (2**64 + 1, ValueError),
    (True, TypeError), (False, TypeError), (1.0, TypeError), ("1", TypeError),
])
def test_memory_limit_range(limit, error):
    with pytest.raises(error):
        velkor.Scanner(memory_limit=limit)
    with pytest.raises(error):
        velkor.scan(b"", memory_limit=limit)  # at the call, not at the first find


def test_memory_limit_extremes():
    data = velkor.tag(b"x")
    s = velkor.Scanner(memory_limit=2**64 - 1)
    assert [f.verified for f in s.feed(data) + s.close()] == [True]
    s = velkor.Scanner(memory_limit=1)  # below one candidate: every one dropped
    assert s.feed(data) + s.close() == [] and s.dropped == 1


def test_scan_says_what_it_dropped():
    """A candidate that alone outgrows the limit cannot be kept in any pass:
    scan() then warns, once, when its iterator ends, and its dropped says
    how many, as the command says it on standard error; an empty list is
    never the silent answer.  Nothing dropped, nothing said."""
    data = velkor.tag(b"x") + velkor.tag(b"y")
    it = velkor.scan(data, memory_limit=1)
    with pytest.warns(RuntimeWarning, match=r"^2 candidates dropped at the memory limit; the finds are incomplete"):
        assert list(it) == []
    assert it.dropped == 2
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert list(it) == []  # ended: no second warning
        it = velkor.scan(data)
        assert [f.offset for f in it] == [0, 21] and it.dropped == 0
    # A data-sized table larger than the limit, beside a find that fits:
    # reported, not checked, with the bytes it needs, and told.
    box = velkor.pack(bytes(10_000), KEY, "big", data_sized=True)
    it = velkor.scan(velkor.tag(b"x") + box, KEY, data_sized=True, memory_limit=4096)
    with pytest.warns(RuntimeWarning, match=r"^1 find not checked: over the memory limit"):
        finds = list(it)
    assert [(f.kind, f.verified) for f in finds] == [("tagged", True), ("container", None)]
    assert re.fullmatch(r"needs [0-9]+ bytes, over the memory limit", finds[1].reason)
    assert int(finds[1].reason.split()[1]) > 10_000
    assert it.dropped == 0
    # Ended early, it says nothing and lets go of the data.
    it = velkor.scan(data, memory_limit=1)
    it.close()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert list(it) == []


# Yes-or-no options take a bool and nothing else: "false" or 0 would read
# as the opposite of what was meant, or hide a mistake.
@pytest.mark.parametrize("value", ["false", "", 0, 1, None, 1.0, [True]])
@pytest.mark.parametrize("call", [
    lambda v: velkor.Scanner(all=v),
    lambda v: velkor.Scanner(data_sized=v),
    lambda v: velkor.scan(b"", all=v),
    lambda v: velkor.scan(b"", data_sized=v),
    lambda v: velkor.scan_files([], all=v),
    lambda v: velkor.scan_files([], data_sized=v),
    lambda v: velkor.pack(b"p", KEY, "l", data_sized=v),
    lambda v: velkor.unpack(velkor.pack(b"p", KEY, "l"), KEY, data_sized=v),
    lambda v: velkor.vcrypt(b"p", KEY, data_sized=v),
])
def test_flags_are_bools(call, value):
    with pytest.raises(TypeError, match=r"(all|data_sized) must be a bool, not "):
        call(value)


def test_flags_take_both_bools():
    box = velkor.pack(b"p", KEY, "l", data_sized=True)
    assert velkor.unpack(box, KEY, data_sized=True).payload == b"p"
    assert [f.verified for f in velkor.scan(box, KEY, data_sized=True, all=False)] == [True]
    assert [f.reason for f in velkor.scan(box, KEY, data_sized=False, all=True)] == ["wrong key or damaged"]


def test_inside_zero_is_an_offset():
    outer, inner = list(velkor.scan(velkor.tag(velkor.tag(b"x"))))
    assert outer.inside is None and inner.inside == 0


def test_data_sized_reaches_the_library():
    box = velkor.pack(filler(300, 8), KEY, "sized", data_sized=True)
    assert [f.verified for f in velkor.scan(box, KEY, data_sized=True)] == [True]
    assert [f.reason for f in velkor.scan(box, KEY, all=True)] == ["wrong key or damaged"]
    s = velkor.Scanner(KEY, data_sized=True)
    assert [f.label for f in s.feed(box) + s.close()] == [b"sized"]


def test_scan_yields_finds_as_they_are_ready():
    # 100,000 empty tagged files: a list of every find holds them all at
    # once; iterating over scan() holds those of one piece.
    data = velkor.tag(b"") * 100000

    def peak(consume):
        tracemalloc.start()
        try:
            consume(velkor.scan(data))
            return tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()

    counted = []
    streaming = peak(lambda it: counted.append(sum(1 for _ in it)))
    listed = peak(list)
    assert counted == [100000]
    assert streaming * 4 < listed, (streaming, listed)


def test_native_mirror_of_the_reporting_scanner():
    """The ctypes mirrors of velkor_find_info and the calls that fill it
    match the library's layout: key numbers, levels and a payload scan come
    back where the header puts them."""
    import ctypes
    from velkor import _native as n

    inner = velkor.tag(filler(30, 20))
    box = velkor.pack(filler(9, 21) + inner, "second", "label", "s")
    data = filler(13, 22) + box
    keys = (ctypes.c_char_p * 2)(b"first", b"second")
    sc = n.velkor_scan_new_keys(keys, 2, None)
    assert sc
    try:
        assert n.velkor_scan_feed(sc, data, len(data)) == 0
        assert n.velkor_scan_finish(sc) == 0
        info = n.ScanFindInfo()
        info.size = ctypes.sizeof(info)
        assert n.velkor_scan_next_info(sc, ctypes.byref(info)) == 1
        assert (info.find.offset, info.find.reason, info.key, info.level) == (
            13, n.VELKOR_SCAN_VERIFIED, 2, 0)
        assert info.find.label == b"label"
        child = n.velkor_scan_payload_new(sc, ctypes.byref(info))
        assert child
        try:
            at, length = ctypes.c_uint64(), ctypes.c_uint64()
            assert n.velkor_scan_payload_source(child, ctypes.byref(at), ctypes.byref(length)) == 0
            assert (at.value, length.value) == (13, len(box))
            assert n.velkor_scan_level(child) == 1
            assert n.velkor_scan_feed(child, box, len(box)) == 0
            assert n.velkor_scan_finish(child) == 0
            found = n.ScanFindInfo()
            found.size = ctypes.sizeof(found)
            assert n.velkor_scan_next_info(child, ctypes.byref(found)) == 1
            assert (found.find.offset, found.find.kind, found.find.reason, found.level) == (
                9, n.VELKOR_FIND_TAGGED, n.VELKOR_SCAN_VERIFIED, 1)
            assert found.find.length == len(inner)
        finally:
            n.velkor_scan_free(child)
    finally:
        n.velkor_scan_free(sc)


def test_scan_with_several_keys_looks_into_payloads():
    """Keys are tried in order and named by number; the finds inside a
    payload a key opens follow its container, with payload_of and offsets
    from the payload's start, unless payloads=False."""
    inner = velkor.tag(b"firmware")
    box = velkor.pack(bytes(5) + inner, "second", "outer")
    data = bytes(100) + box
    finds = list(velkor.scan(data, ["first", "second"]))
    assert [(f.kind, f.offset, f.key, f.payload_of) for f in finds] == [
        ("container", 100, 2, None), ("tagged", 5, None, 100)]
    assert finds[0].label == b"outer" and not finds[0].damaged_texts
    assert finds[1].payload_length == len(b"firmware")
    assert [f.kind for f in velkor.scan(data, ["second"], payloads=False)] == ["container"]
    with pytest.raises(TypeError):
        velkor.scan(data, "second", payloads=1)
    with pytest.raises(velkor.Error, match="the key is empty"):
        velkor.scan(data, ["second", ""])
