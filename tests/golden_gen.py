#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Golden values for golden_test.cpp, from an independent model of both
formats, the two checksums and the cipher written from their definitions.

The C++ test compares the library's output on any host, little- or
big-endian, with these bytes.  The model is checked here against the system
cksum and published RC4 keystream before anything is printed.

Usage: python3 tests/golden_gen.py > /tmp/golden.txt, then paste into
tests/known_answers.h, which the host tests and the device images share.

    python3 tests/golden_gen.py image OUT.c

writes the device example's two images as C arrays (examples/device/): a
tagged file and the same with one payload bit flipped.
"""
import subprocess
import sys


def pattern(n, seed):
    return bytes((k * 131 + seed * 17 + (k >> 8)) & 0xFF for k in range(n))


def _crc_table():
    t = []
    for k in range(256):
        c = k << 24
        for _ in range(8):
            c = ((c << 1) ^ 0x04C11DB7) if c & 0x80000000 else (c << 1)
            c &= 0xFFFFFFFF
        t.append(c)
    return t


CRC_T = _crc_table()


def crc(data):
    if not data:
        return 0xFFFFFFFF
    h = 0
    for b in data:
        h = ((h << 8) & 0xFFFFFFFF) ^ CRC_T[(h >> 24) ^ b]
    n = len(data)
    while True:
        h = ((h << 8) & 0xFFFFFFFF) ^ CRC_T[(h >> 24) ^ (n & 0xFF)]
        if n <= 255:
            break
        n >>= 8
    return ~h & 0xFFFFFFFF


def _csum_table():
    t = []
    for k in range(256):
        a = k
        for _ in range(8):
            a = (a >> 1) ^ 0xEDB88320 if a & 1 else a >> 1
        t.append(a)
    return t


CSUM_T = _csum_table()


def csum(initial, data):
    a = initial
    for b in data:
        a ^= b | 0xFFFFFF00 if b & 0x80 else b  # sign extension
        a = (a >> 8) ^ CSUM_T[a & 0xFF]  # eight bit steps at once
    return a


def cipher(key, n, data):
    out = bytearray(data)
    if n == 0:
        return bytes(out)
    s = [k % 256 for k in range(n)]
    j = 0
    for k in range(n):
        j = (j + s[k] + key[k % len(key)]) % n
        s[k], s[j] = s[j], s[k]
    i = j = 0
    for p in range(len(out)):
        i = ((i + 1) % n) & 0xFF
        j = ((j + s[i]) % n) & 0xFF
        s[i], s[j] = s[j], s[i]
        out[p] ^= s[(s[i] + s[j]) % n]
    return bytes(out)


def vcrypt_buf(prefix, key, data, dss):
    return cipher(bytes([prefix]) + key, len(data) if dss else 256, data)


def be32(v):
    return v.to_bytes(4, "big")


def container(magic, prefix, key, label, sublabel, payload, dss):
    lab = vcrypt_buf(prefix, key, label + b"\0", dss)
    sub = vcrypt_buf(lab[0], key, sublabel + b"\0", dss)
    pay = vcrypt_buf(sub[0], key, payload, dss)
    return (magic + b"\0" + bytes([prefix]) + be32(len(lab)) + lab + be32(len(sub)) + sub +
            be32(len(payload)) + pay + be32(csum(len(payload), payload)))


def tagged(data):
    head = bytearray(b"bgn" + bytes(8) + b"\xb1" + be32(len(data) + 20) + bytes(4))
    head[16:20] = be32(crc(bytes(head) + data))
    return bytes(head) + data


def self_check():
    for n in (0, 3, 300, 70000):
        d = pattern(n, 9)
        out = subprocess.run(["cksum"], input=d, capture_output=True, check=True).stdout
        assert int(out.split()[0]) == crc(d), n
    # Published RC4 keystream for the 40-bit key 01 02 03 04 05.
    ks = cipher(bytes([1, 2, 3, 4, 5]), 256, bytes(4112))
    assert ks[:16].hex() == "b2396305f03dc027ccc3524a0a1118a8"
    assert ks[4096:].hex() == "ff25b58995996707e51fbdf08b34d875"
    assert csum(3, b"abc") == 0xC8232689 and csum(0, b"\x80") == 0xED477CDF
    assert tagged(b"abc").hex() == "62676e0000000000000000b100000017" "07e3221f616263"


def c_hex(b):
    return '"' + b.hex() + '"'


def main():
    self_check()
    print("// checksums: {length, seed-1 crc, seed-2 csum from 0x12345678}")
    for n in (0, 1, 3, 15, 16, 17, 63, 64, 65, 255, 256, 257, 1000, 4096, 65543, 1 << 20):
        print("    {%d, 0x%08X, 0x%08X}," % (n, crc(pattern(n, 1)), csum(0x12345678, pattern(n, 2))))
    print("// keystreams: {prefix, key, length, dss, hex}")
    for prefix, key, n, dss in ((0x00, b"Key", 48, 0), (0x07, b"golden", 5, 1),
                                (0x07, b"golden", 300, 1)):
        print('    {0x%02X, "%s", %d, %d, %s},' % (prefix, key.decode(), n, dss,
                                                  c_hex(vcrypt_buf(prefix, key, bytes(n), dss))))
    print("// containers: {magic, prefix, key, label, sublabel, payload length, seed, dss, hex}")
    for magic, prefix, key, label, sub, n, seed, dss in (
            (b"asar1", 0x09, b"", b"a", b"b", 0, 0, 0),
            (b"start", 0xC3, b"big-endian", b"label text", b"sub", 70, 3, 1),
            (b"asar1", 0x80, b"k", b"0123456789abcdefghijklmnopqrstu", b"ABCDEFG", 300, 4, 0)):
        c = container(magic, prefix, key, label, sub, pattern(n, seed), dss)
        print('    {"%s", 0x%02X, "%s", "%s", "%s", %d, %d, %d, %s},' % (
            magic.decode(), prefix, key.decode(), label.decode(), sub.decode(), n, seed, dss,
            c_hex(c)))
    print("// tagged file of pattern(1000, 5): header")
    print("    " + c_hex(tagged(pattern(1000, 5))[:20]))


def image(path):
    """The device example's flash images: a 6000-byte "firmware" payload
    tagged, and the same image with bit 3 of payload byte 4321 flipped."""
    self_check()
    good = tagged(pattern(6000, 11))
    bad = bytearray(good)
    bad[20 + 4321] ^= 0x08

    def array(name, data):
        rows = ",\n".join("    " + ", ".join("0x%02x" % b for b in data[k:k + 16])
                          for k in range(0, len(data), 16))
        return ("__attribute__((aligned(4))) const uint8_t %s[%d] = {\n%s\n};\n"
                % (name, len(data), rows))

    with open(path, "w") as f:
        f.write("/* Generated by tests/golden_gen.py image: do not edit. */\n"
                "#include <stdint.h>\n\n" + array("image_good", good) + "\n" +
                array("image_flipped", bytes(bad)))


if __name__ == "__main__":
    if sys.argv[1:2] == ["image"]:
        image(sys.argv[2])
    else:
        main()
