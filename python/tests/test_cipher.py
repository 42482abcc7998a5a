# SPDX-License-Identifier: MIT
"""vcrypt and Cipher: RC4 vectors, agreement with each other, keystream
across calls, table sizes, closing, and the refusals."""

import gc
import random

import pytest

import velkor

# RC4 test vectors; the key material is the prefix byte and then the key.
RC4_VECTORS = [
    (b"Key", b"Plaintext", "bbf316e8d940af0ad3"),
    (b"Wiki", b"pedia", "1021bf0420"),
    (b"Secret", b"Attack at dawn", "45a01f645fc35b383552544b9bf5"),
]


@pytest.mark.parametrize("material, plain, hexout", RC4_VECTORS)
def test_rc4_vectors(material, plain, hexout):
    prefix, key = material[0], material[1:]
    assert velkor.vcrypt(plain, key, prefix).hex() == hexout
    assert velkor.vcrypt(plain, key.decode(), prefix).hex() == hexout
    with velkor.Cipher(key, prefix) as c:
        assert c.process(plain).hex() == hexout
    assert velkor.vcrypt(bytes.fromhex(hexout), key, prefix) == plain


def test_cipher_equals_vcrypt_and_continues_across_calls():
    rng = random.Random(11)
    data = rng.randbytes(3000)
    for data_sized in (False, True):
        want = velkor.vcrypt(data, b"k3y", 0x42, data_sized=data_sized)
        state_len = len(data) if data_sized else 256
        with velkor.Cipher(b"k3y", 0x42, state_len) as c:
            assert c.state_len == state_len
            got = c.process(data[:10]) + c.process(data[10:30]) + c.process(b"") + c.process(data[30:])
        assert got == want
    # A data-sized table below 256 entries leaves a 2-byte field's bytes
    # differing in the lowest bit at most.
    two = velkor.vcrypt(b"\x00\x00", b"key", 1, data_sized=True)
    assert all(b <= 1 for b in two)


def test_tables_of_no_entries_change_nothing():
    with velkor.Cipher(b"key", 0, state_len=0) as c:
        assert c.process(b"unchanged") == b"unchanged"
        assert c.process(bytearray(b"")) == b""
    assert velkor.vcrypt(b"", b"key", 0, data_sized=True) == b""


def test_bytes_like_inputs(kinds):
    data = random.Random(2).randbytes(1000)
    want = velkor.vcrypt(data, "key", 7)
    for name, obj in kinds(data):
        assert velkor.vcrypt(obj, "key", 7) == want, name
        with velkor.Cipher(b"key", 7) as c:
            assert c.process(obj) == want, name


def test_output_is_fresh_and_input_untouched():
    data = bytearray(b"same input")
    a = velkor.vcrypt(data, "k", 1)
    b = velkor.vcrypt(data, "k", 1)
    assert a == b and a is not b
    assert data == b"same input"
    # One-byte results are new objects: the interpreter's shared one-byte
    # bytes must come through unchanged.
    for i in range(256):
        velkor.vcrypt(bytes([i]), "k", i)
    assert all(bytes([i])[0] == i for i in range(256))


def test_close():
    c = velkor.Cipher(b"key", 0)
    c.close()
    c.close()
    with pytest.raises(ValueError, match="closed"):
        c.process(b"x")
    with velkor.Cipher(b"key", 0) as c:
        pass
    with pytest.raises(ValueError):
        c.process(b"x")
    # Collected without close(): the table is released, nothing breaks.
    for _ in range(1000):
        velkor.Cipher(b"key", 0, 1 << 16).process(b"x")
    gc.collect()


def test_refusals():
    with pytest.raises(ValueError, match="^the key is longer than 254 bytes$"):
        velkor.vcrypt(b"x", "k" * 255)
    with pytest.raises(ValueError, match="NUL"):
        velkor.vcrypt(b"x", b"a\0b")
    for prefix in (-1, 256):
        with pytest.raises(ValueError):
            velkor.vcrypt(b"x", "k", prefix)
        with pytest.raises(ValueError):
            velkor.Cipher(b"k", prefix)
    with pytest.raises(ValueError):
        velkor.Cipher(b"k", 0, state_len=-1)
    with pytest.raises(TypeError):
        velkor.Cipher(3, 0)
    with pytest.raises(TypeError):
        velkor.vcrypt("text", "k")
    # The step-by-step cipher takes any key bytes, NUL and long keys too.
    with velkor.Cipher(b"a\0b" * 200, 0) as c:
        assert len(c.process(b"abc")) == 3
    assert len(velkor.vcrypt(b"x", "k" * 254)) == 1
