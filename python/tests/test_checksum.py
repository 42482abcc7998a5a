# SPDX-License-Identifier: MIT
"""crc, Crc and csum: values against cksum(1), the written formats and a
bit-by-bit model, pieces, and every kind of bytes-like input."""

import random
import subprocess
import threading

import pytest

import velkor

TAGGED_ABC_ZEROED = bytes.fromhex("62676E0000000000000000B10000001700000000") + b"abc"


def csum_model(data: bytes, initial: int) -> int:
    """velkor_csum bit by bit: each byte sign-extended into the register,
    eight reflected shifts, no final complement."""
    r = initial
    for b in data:
        r ^= (b | 0xFFFFFF00) if b & 0x80 else b
        for _ in range(8):
            r = (r >> 1) ^ 0xEDB88320 if r & 1 else r >> 1
    return r


@pytest.mark.parametrize("fn, data, want", [
    (lambda d: velkor.crc(d), b"", 0xFFFFFFFF),
    (lambda d: velkor.crc(d), b"abc", 1219131554),  # cksum's first field
    (lambda d: velkor.crc(d), TAGGED_ABC_ZEROED, 0x07E3221F),  # the stored CRC
    (lambda d: velkor.csum(d, 3), b"abc", 0xC8232689),
    (lambda d: velkor.csum(d), b"abc", 0xCA6598D0),
    (lambda d: velkor.csum(d), b"\x80", 0xED477CDF),  # sign-extended
    (lambda d: velkor.csum(d, 0x12345678), b"", 0x12345678),
    (lambda d: velkor.csum(d, 0xFFFFFFFF), b"", 0xFFFFFFFF),
])
def test_known_values(fn, data, want):
    assert fn(data) == want


@pytest.mark.parametrize("size", [1, 255, 256, 768, 70001])
def test_crc_equals_cksum(tmp_path, size):
    data = random.Random(size).randbytes(size)
    f = tmp_path / "in"
    f.write_bytes(data)
    out = subprocess.run(["cksum", str(f)], capture_output=True, text=True, check=True).stdout
    assert velkor.crc(data) == int(out.split()[0])


def test_csum_matches_model_and_chains():
    rng = random.Random(7)
    for size in (1, 3, 64, 1000):
        data = rng.randbytes(size)
        initial = rng.getrandbits(32)
        assert velkor.csum(data, initial) == csum_model(data, initial)
        cut = rng.randrange(size + 1)
        assert velkor.csum(data[cut:], velkor.csum(data[:cut], initial)) == velkor.csum(data, initial)


def test_crc_pieces():
    rng = random.Random(3)
    data = rng.randbytes(100_000)
    for _ in range(20):
        cuts = sorted(rng.randrange(len(data) + 1) for _ in range(rng.randrange(6)))
        c = velkor.Crc()
        for a, b in zip([0] + cuts, cuts + [len(data)]):
            c.update(data[a:b])  # empty pieces included
        assert c.value == velkor.crc(data)
    assert velkor.Crc().value == velkor.crc(b"")
    assert velkor.Crc(b"ab").value == velkor.crc(b"ab")


def test_crc_object_reads_midway_and_copies():
    c = velkor.Crc(b"ab")
    assert c.value == velkor.crc(b"ab")
    fork = c.copy()
    c.update(b"c")
    fork.update(b"x")
    assert c.value == velkor.crc(b"abc")
    assert fork.value == velkor.crc(b"abx")
    assert c.digest() == (1219131554).to_bytes(4, "big")
    assert c.hexdigest() == "48aa78a2"
    assert velkor.Crc().hexdigest() == "ffffffff"
    assert (c.name, c.digest_size) == ("velkor_crc", 4)


def test_bytes_like_inputs(kinds):
    data = random.Random(5).randbytes(4096)
    want_crc, want_csum = velkor.crc(data), velkor.csum(data, 99)
    for name, obj in kinds(data):
        assert velkor.crc(obj) == want_crc, name
        assert velkor.csum(obj, 99) == want_csum, name
        c = velkor.Crc()
        c.update(obj)
        assert c.value == want_crc, name
    for name, obj in kinds(b""):
        assert velkor.crc(obj) == 0xFFFFFFFF, name


def test_refusals():
    for bad in ("abc", 3, None, [1, 2]):
        with pytest.raises(TypeError):
            velkor.crc(bad)
        with pytest.raises(TypeError):
            velkor.csum(bad)
        with pytest.raises(TypeError):
            velkor.Crc().update(bad)
    strided = memoryview(b"abcdef")[::2]
    with pytest.raises((BufferError, TypeError, ValueError)):
        velkor.crc(strided)
    for initial in (-1, 2**32):
        with pytest.raises(ValueError):
            velkor.csum(b"abc", initial)


def test_threads_get_their_own_results():
    # The GIL is released during each call; results must stay per call.
    bufs = [random.Random(i).randbytes(1 << 20) for i in range(4)]
    want = [velkor.crc(b) for b in bufs]
    got = [None] * 4

    def work(i):
        for _ in range(20):
            got[i] = velkor.crc(bufs[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == want
