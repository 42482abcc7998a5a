"""pack and unpack: round trips, the same bytes as the velkor command in
both directions, the reasons for every refusal, and the caller's buffer."""

import json
import mmap
import random

import pytest

import velkor
from conftest import run

KEY = "correct horse"


@pytest.mark.parametrize("magic, prefix, label, sublabel, data_sized, size, key", [
    ("start", 0, "orders", "", False, 14, KEY),
    ("asar1", 0x09, "a", "b", False, 0, KEY),
    ("start", 255, "x" * 31, "y" * 7, True, 1000, KEY),
    ("asar1", 1, "", "", True, 0, KEY),
    ("start", 2, b"\xff\x01", b"\x80", False, 256, b"\xc3\xa9t\xc3\xa9"),
    ("start", 3, "label", "sub", True, 3, ""),  # the command takes an empty key
])
def test_same_bytes_as_the_command(tmp_path, velkor_tool, magic, prefix, label, sublabel,
                                   data_sized, size, key):
    payload = random.Random(size).randbytes(size)
    box = velkor.pack(payload, key, label, sublabel, magic, prefix, data_sized)
    as_bytes = [v.encode() if isinstance(v, str) else v for v in (label, sublabel, key)]
    got = velkor.unpack(box, key, data_sized)
    assert got == velkor.Container(payload, as_bytes[0], as_bytes[1], magic, prefix)

    src, out = tmp_path / "in", tmp_path / "out.vc"
    src.write_bytes(payload)
    opts = ["-k", as_bytes[2], "-l", as_bytes[0], "-s", as_bytes[1], "-m", magic,
            "-p", str(prefix)] + (["--data-sized"] if data_sized else [])
    r = run(velkor_tool, "pack", *opts, str(src), str(out))
    assert r.returncode == 0, r.stderr
    assert out.read_bytes() == box

    mine = tmp_path / "mine.vc"
    mine.write_bytes(box)
    back = tmp_path / "back"
    key_opts = ["-k", as_bytes[2]] + (["--data-sized"] if data_sized else [])
    assert run(velkor_tool, "unpack", *key_opts, str(mine), str(back)).returncode == 0
    assert back.read_bytes() == payload
    info = json.loads(run(velkor_tool, "info", *key_opts, "--json", str(mine)).stdout)
    assert (info["label"].encode("latin-1"), info["sublabel"].encode("latin-1")) == tuple(as_bytes[:2])
    assert (info["magic"], info["prefix"], info["length"]) == (magic, prefix, size)


def test_written_format():
    # The 27-byte example: asar1, prefix 9, one-letter texts, no payload.
    box = velkor.pack(b"", KEY, "a", "b", magic="asar1", prefix=0x09)
    assert len(box) == 27
    assert box[0:11] == b"asar1\0\x09\0\0\0\x02"
    assert box[13:17] == b"\0\0\0\x02"
    assert box[19:27] == bytes(8)
    # The checksum is csum(payload, D), after the payload.
    box = velkor.pack(b"abc", KEY, "", "")
    assert box[-4:] == velkor.csum(b"abc", 3).to_bytes(4, "big") == bytes.fromhex("C8232689")
    # The enciphered payload is vcrypt keyed by the first enciphered sublabel byte.
    assert box[21:24] == velkor.vcrypt(b"abc", KEY, box[15 + 1])


def test_bytes_like_and_the_callers_buffer(kinds):
    payload = random.Random(9).randbytes(2000)
    box = velkor.pack(payload, KEY, "l", "s")
    for name, obj in kinds(payload):
        assert velkor.pack(obj, KEY, "l", "s") == box, name
    for name, obj in kinds(box):
        assert velkor.unpack(obj, KEY).payload == payload, name
    mutable = bytearray(box)
    velkor.unpack(mutable, KEY)
    with pytest.raises(velkor.ContainerError):
        velkor.unpack(mutable, "wrong")
    assert mutable == box
    assert velkor.unpack(box + b"trailing bytes", KEY).payload == payload


def _cut_and_damaged():
    box = velkor.pack(b"payload", KEY, "lab", "sub")  # L1 = 4, L2 = 4, header 27
    def put(at, value):
        b = bytearray(box)
        b[at:at + 4] = value.to_bytes(4, "big")
        return bytes(b)
    flipped = bytearray(box)
    flipped[30] ^= 1
    return [
        (b"", "not a container (no start or asar1 magic)"),
        (b"start", "not a container (no start or asar1 magic)"),
        (b"start!" + box[6:], "not a container (no start or asar1 magic)"),
        (b"other\0" + box[6:], "not a container (no start or asar1 magic)"),
        (box[:10], "damaged container (cut off in the header)"),
        (box[:14], "damaged container (cut off in the header)"),
        (box[:19], "damaged container (cut off in the header)"),
        (box[:26], "damaged container (cut off in the header)"),
        (put(7, 0), "damaged container (label length 0, not 1..32)"),
        (put(7, 33), "damaged container (label length 33, not 1..32)"),
        (put(15, 0), "damaged container (sublabel length 0, not 1..8)"),
        (put(15, 9), "damaged container (sublabel length 9, not 1..8)"),
        (box[:-1], "damaged container (payload of 7 bytes and its checksum run past the end of the file)"),
        (put(23, 0xFFFFFFFF), "damaged container (payload of 4294967295 bytes and its checksum run past the end of the file)"),
        (bytes(flipped), "checksum mismatch (wrong key or damaged container)"),
        (box[:-4] + bytes(4), "checksum mismatch (wrong key or damaged container)"),
    ]


@pytest.mark.parametrize("data, reason", _cut_and_damaged())
def test_refusals_give_the_command_reason(tmp_path, velkor_tool, data, reason):
    with pytest.raises(velkor.ContainerError) as e:
        velkor.unpack(data, KEY)
    assert e.value.reason == reason == str(e.value)
    f = tmp_path / "c.vc"
    f.write_bytes(data)
    r = run(velkor_tool, "unpack", "-k", KEY, str(f), str(tmp_path / "out"))
    assert (r.returncode, r.stderr) == (1, f"velkor: {f}: {reason}\n")


def test_wrong_key_or_setting():
    box = velkor.pack(b"some payload", KEY, "lab", "sub")
    for key, data_sized in (("wrong", False), (KEY, True)):
        with pytest.raises(velkor.ContainerError, match=r"^checksum mismatch \(wrong key"):
            velkor.unpack(box, key, data_sized)


def test_texts_that_do_not_decipher():
    # With no payload the checksum always holds, so a wrong key shows only
    # in the texts: find keys that garble the label, and the sublabel alone.
    box = velkor.pack(b"", KEY, "a", "b")
    seen = {}
    for i in range(5000):
        try:
            velkor.unpack(box, f"wrong {i}")
        except velkor.ContainerError as e:
            seen.setdefault(str(e), i)
        if len(seen) == 2:
            break
    assert set(seen) == {
        "wrong key or damaged container (label does not decipher to a text)",
        "wrong key or damaged container (sublabel does not decipher to a text)",
    }


@pytest.mark.parametrize("kwargs, reason", [
    (dict(key="k" * 255), "key is longer than 254 characters"),
    (dict(key=b"a\0b"), "the key contains a NUL byte"),
    (dict(label="x" * 32), "label is longer than 31 characters"),
    (dict(label="é" * 16), "label is longer than 31 characters"),  # 32 bytes of UTF-8
    (dict(label="a\0b"), "the label contains a NUL byte"),
    (dict(sublabel="y" * 8), "sublabel is longer than 7 characters"),
    (dict(sublabel=b"\0"), "the sublabel contains a NUL byte"),
    (dict(magic="asar2"), "unknown magic 'asar2' (use start or asar1)"),
    (dict(magic="Start"), "unknown magic 'Start' (use start or asar1)"),
    (dict(prefix=-1), "prefix -1 is not a number from 0 to 255"),
    (dict(prefix=256), "prefix 256 is not a number from 0 to 255"),
])
def test_pack_refusals(kwargs, reason):
    args = dict(payload=b"p", key=KEY, label="l")
    args.update(kwargs)
    with pytest.raises(velkor.ContainerError) as e:
        velkor.pack(**args)
    assert str(e.value) == reason
    if "key" in kwargs:
        with pytest.raises(velkor.ContainerError, match=reason):
            velkor.unpack(velkor.pack(b"p", KEY, "l"), kwargs["key"])


def test_pack_limits_and_types(tmp_path, capped_memory):
    # The longest texts and key pass; a 4 GiB payload (a sparse file mapped,
    # never read) is refused by its size.
    box = velkor.pack(b"p", "k" * 254, "x" * 31, "y" * 7)
    assert velkor.unpack(box, "k" * 254).label == b"x" * 31
    f = tmp_path / "big"
    with open(f, "wb") as fh:
        fh.truncate(2**32)
    with open(f, "rb") as fh, mmap.mmap(fh.fileno(), 0, access=mmap.ACCESS_READ) as m:
        with pytest.raises(velkor.ContainerError, match=r"too large for a container \(4294967296 bytes"):
            velkor.pack(m, KEY, "l")
    with pytest.raises(TypeError):
        velkor.pack("text", KEY, "l")
    with pytest.raises(TypeError):
        velkor.unpack("text", KEY)
    with pytest.raises(TypeError):
        velkor.pack(b"p", KEY, 5)
