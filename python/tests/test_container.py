# SPDX-License-Identifier: MIT
"""pack and unpack: round trips, the same bytes as the velkor command in
both directions, the reasons for every refusal, and the caller's buffer."""

import json
import mmap
import random

import pytest

import velkor
from conftest import run

KEY = "correct horse"
MISMATCH = "checksum mismatch (wrong key, wrong data_sized setting or damaged container)"
BAD_TEXT = ("wrong key, wrong data_sized setting or damaged container (label or sublabel does "
            "not decipher to a text)")


@pytest.mark.parametrize("magic, prefix, label, sublabel, data_sized, size, key", [
    ("start", 0, "orders", "", False, 14, KEY),
    ("asar1", 0x09, "a", "b", False, 0, KEY),
    ("start", 255, "x" * 31, "y" * 7, True, 1000, KEY),
    ("asar1", 1, "", "", True, 0, KEY),
    ("start", 2, b"\xff\x01", b"\x80", False, 256, b"\xc3\xa9t\xc3\xa9"),
    ("start", 3, "\u00e9t\u00e9", "\u2603", True, 3, "k"),  # UTF-8 texts, a 1-byte key
    ("asar1", 4, b"bad \xff\xfe utf-8", b"\xe2\x98", False, 5, KEY),  # not UTF-8
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
    # The *_hex fields carry the exact bytes; the texts are their UTF-8
    # reading, with U+FFFD standing for what is not UTF-8.
    for field in ("label", "sublabel"):
        exact = as_bytes[0] if field == "label" else as_bytes[1]
        assert bytes.fromhex(info[field + "_hex"]) == exact
        try:
            assert info[field] == exact.decode()
        except UnicodeDecodeError:
            assert "\ufffd" in info[field]
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
        (bytes(flipped), MISMATCH),
        (box[:-4] + bytes(4), MISMATCH),
    ]


@pytest.mark.parametrize("data, reason", _cut_and_damaged())
def test_refusals_give_the_command_reason(tmp_path, velkor_tool, data, reason):
    with pytest.raises(velkor.ContainerError) as e:
        velkor.unpack(data, KEY)
    assert e.value.reason == reason == str(e.value)
    f = tmp_path / "c.vc"
    f.write_bytes(data)
    r = run(velkor_tool, "unpack", "-k", KEY, str(f), str(tmp_path / "out"))
    # The same words, each naming its own setting: data_sized= here,
    # --data-sized there.
    said = reason.replace("wrong data_sized setting", "wrong --data-sized setting")
    assert (r.returncode, r.stderr) == (1, f"velkor: {f}: {said}\n")


def test_wrong_key_or_setting():
    # The texts are checked first, and these keys do not open them.
    box = velkor.pack(b"some payload", KEY, "lab", "sub")
    for key, data_sized in (("wrong", False), (KEY, True)):
        with pytest.raises(velkor.ContainerError) as e:
            velkor.unpack(box, key, data_sized)
        assert str(e.value) == BAD_TEXT


def test_texts_that_do_not_decipher(tmp_path, velkor_tool):
    # With no payload the checksum always holds, so a wrong key shows only
    # in the texts.  Find keys that garble the label, and keys that garble
    # the sublabel alone (the label at 11..12 keyed by the prefix, the
    # sublabel at 17..18 by the first enciphered label byte): both refused.
    box = velkor.pack(b"", KEY, "a", "b")
    garbled = {"label": [], "sublabel": []}
    for i in range(3000):
        key = f"wrong {i}"
        label = velkor.vcrypt(box[11:13], key, box[6])
        sublabel = velkor.vcrypt(box[17:19], key, box[11])
        which = "label" if label[-1] else "sublabel" if sublabel[-1] else None
        if which is None:
            assert velkor.unpack(box, key).payload == b""
            continue
        with pytest.raises(velkor.ContainerError) as e:
            velkor.unpack(box, key)
        assert str(e.value) == BAD_TEXT
        garbled[which].append(key)
        if all(garbled.values()):
            break
    assert all(garbled.values()), garbled
    f = tmp_path / "c.vc"
    f.write_bytes(box)
    r = run(velkor_tool, "unpack", "-k", garbled["sublabel"][0], str(f), str(tmp_path / "out"))
    said = BAD_TEXT.replace("wrong data_sized setting", "wrong --data-sized setting")
    assert (r.returncode, r.stderr) == (1, f"velkor: {f}: {said}\n")


# The last column, where the command takes the same value, is its option:
# it refuses it as a bad command line with the same words.
@pytest.mark.parametrize("kwargs, reason, option", [
    (dict(key="k" * 255), "the key is longer than 254 bytes", ["-k", "k" * 255]),
    (dict(key=""), "the key is empty", ["-k", ""]),
    (dict(key=b""), "the key is empty", None),
    (dict(key=b"a\0b"), "the key contains a NUL byte", None),
    (dict(label="x" * 32), "label is longer than 31 bytes", ["-l", "x" * 32]),
    (dict(label="é" * 16), "label is longer than 31 bytes", ["-l", "é" * 16]),  # 32 bytes of UTF-8
    (dict(label="a\0b"), "the label contains a NUL byte", None),
    (dict(sublabel="y" * 8), "sublabel is longer than 7 bytes", ["-s", "y" * 8]),
    (dict(sublabel=b"\0"), "the sublabel contains a NUL byte", None),
    (dict(magic="asar2"), "unknown magic 'asar2' (use start or asar1)", ["-m", "asar2"]),
    (dict(magic="Start"), "unknown magic 'Start' (use start or asar1)", ["-m", "Start"]),
    (dict(prefix=-1), "prefix -1 is not a number from 0 to 255", None),
    (dict(prefix=256), "prefix 256 is not a number from 0 to 255", None),
])
def test_pack_refusals(tmp_path, velkor_tool, kwargs, reason, option):
    args = dict(payload=b"p", key=KEY, label="l")
    args.update(kwargs)
    with pytest.raises(velkor.ContainerError) as e:
        velkor.pack(**args)
    assert str(e.value) == reason
    if "key" in kwargs:
        with pytest.raises(velkor.ContainerError) as e:
            velkor.unpack(velkor.pack(b"p", KEY, "l"), kwargs["key"])
        assert str(e.value) == reason
    if option:
        src = tmp_path / "in"
        src.write_bytes(b"p")
        # One key per pack: the option's own key takes the place of KEY.
        key = [] if option[0] == "-k" else ["-k", KEY]
        r = run(velkor_tool, "pack", *key, "-l", "l", *option, str(src), str(tmp_path / "out"))
        assert (r.returncode, r.stderr.splitlines()[0]) == (2, f"velkor: {reason}")


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


def test_unpack_tries_several_keys_in_order():
    """A list of keys is tried in order, as `velkor unpack` tries repeated
    -k: the first that opens the container is used and named by its
    number; when none does, the reason is that of the first key whose
    texts deciphered (a damaged payload), else the first key's."""
    box = velkor.pack(b"payload", KEY, "l", "s")
    got = velkor.unpack(box, ["wrong", b"worse", KEY])
    assert (got.payload, got.key) == (b"payload", 3)
    assert velkor.unpack(box, (KEY, "wrong")).key == 1
    assert velkor.unpack(box, KEY).key == 1
    with pytest.raises(velkor.ContainerError, match="does not decipher to a text"):
        velkor.unpack(box, ["wrong", "worse"])
    damaged = bytearray(box)
    damaged[-5] ^= 1
    with pytest.raises(velkor.ContainerError, match="checksum"):
        velkor.unpack(bytes(damaged), ["wrong", KEY, "worse"])
    with pytest.raises(velkor.ContainerError, match="the list of keys is empty"):
        velkor.unpack(box, [])
    with pytest.raises(velkor.ContainerError, match="the key is empty"):
        velkor.unpack(box, [KEY, ""])
