# SPDX-License-Identifier: MIT
"""scan_files: the records equal the find objects of `velkor scan --json`
on the same files, whatever the options and the size of the reads; they
are plain and picklable; reads leave the GIL to other threads; failures
name the file."""

import json
import os
import pickle
import random
import struct
import subprocess
import sys
import textwrap
import threading
import warnings
from pathlib import Path

import pytest

import velkor

KEY = "correct horse"
OTHER = "battery staple"


def filler(n, seed):
    """Random bytes without b, s or a: nothing in them starts a find."""
    data = bytearray(random.Random(seed).randbytes(n))
    return bytes(b if b not in b"bsa" else 0x78 for b in data)


def images(tmp_path):
    """Files with every kind of find: nested, damaged, cut off, labels that
    are not UTF-8 or hold control characters, a container made with
    data-sized tables, and a file with none; and one whose containers are
    made with another key, holding a tagged file and a container in their
    payloads."""
    box = velkor.pack(filler(300, 1), KEY, "firmware", "v2", "asar1", 7)
    odd = velkor.pack(filler(20, 2), KEY, b"\xe2\x82A\xff\x01\x7f\xc2\x85", "\xe9t\xe9\t",
                      prefix=0xFF)
    sized = velkor.pack(filler(70, 3), KEY, "sized", data_sized=True)
    bad = bytearray(velkor.tag(filler(40, 4)))
    bad[25] ^= 1
    contents = [
        filler(9, 5) + velkor.tag(filler(5, 6) + box + bytes(bad)) + filler(3, 7) + odd,
        sized + velkor.tag(b"") + velkor.pack(filler(50, 8), KEY, "cut")[:-1],
        filler(500, 9),
        box,
        filler(7, 10) + velkor.pack(filler(11, 11) + velkor.tag(filler(30, 12)) + box, OTHER, "outer")
        + velkor.pack(bytes(velkor.pack(filler(40, 13), KEY, "deep")), OTHER, "two"),
    ]
    paths = []
    for i, data in enumerate(contents):
        p = tmp_path / f"image{i}.bin"
        p.write_bytes(data)
        paths.append(str(p))
    return paths


@pytest.mark.parametrize("args, kwargs", [
    ([], {}),
    (["--all"], {"all": True}),
    (["-k", KEY], {"key": KEY}),
    (["-k", KEY, "--all"], {"key": KEY, "all": True}),
    (["-k", "wrong", "--all"], {"key": "wrong", "all": True}),
    (["-k", KEY, "--data-sized", "--all"], {"key": KEY, "data_sized": True, "all": True}),
    (["-k", OTHER, "-k", KEY], {"key": [OTHER, KEY]}),
    (["-k", KEY, "-k", OTHER, "--all"], {"key": (KEY, OTHER), "all": True}),
    (["-k", OTHER, "-k", KEY, "--no-payloads"], {"key": [OTHER, KEY], "payloads": False}),
])
def test_records_are_the_commands_finds(tmp_path, tool_finds, args, kwargs):
    paths = images(tmp_path)
    want = tool_finds(args, paths)
    assert want, "the images hold finds"
    if len(kwargs.get("key", ())) == 2:
        # Both keys open containers, and payload finds are there exactly
        # when payloads are looked into.
        assert {r.get("key") for r in want} >= {1, 2}
        inside = [r for r in want if r["payload_of"] is not None]
        assert bool(inside) == kwargs.get("payloads", True)
    for chunk in (1, 7, 4096, velkor._scan_files.CHUNK):
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # no candidate dropped
            got = list(velkor.scan_files(paths, chunk_size=chunk, **kwargs))
        assert got == want, chunk
        # The same members in the same order, so that a record written as
        # JSON reads like the command's line.
        assert [list(r) for r in got] == [list(w) for w in want]


def test_labels_read_as_the_command_shows_them(tmp_path):
    paths = images(tmp_path)
    odd = [r for r in velkor.scan_files(paths[:1], KEY) if r.get("key_prefix") == 0xFF]
    assert len(odd) == 1
    # Each stray byte is one U+FFFD (a cut-off sequence is not replaced as a
    # whole); C1 and C0 controls are kept as characters, escaped in JSON.
    assert odd[0]["label"] == "\ufffd\ufffdA\ufffd\x01\x7f\x85"
    assert odd[0]["label_hex"] == "e28241ff017fc285"
    assert odd[0]["sublabel"] == "\xe9t\xe9\t"


def test_records_are_plain_and_picklable(tmp_path):
    paths = images(tmp_path)
    records = list(velkor.scan_files(paths, KEY, all=True))
    plain = (str, int, bool, type(None))
    for r in records:
        assert type(r) is dict and all(type(v) in plain for v in r.values()), r
    assert pickle.loads(pickle.dumps(records)) == records
    assert json.loads(json.dumps(records)) == records
    # The function itself travels to workers by reference.
    assert pickle.loads(pickle.dumps(velkor.scan_files)) is velkor.scan_files


def test_one_path_and_path_kinds(tmp_path):
    paths = images(tmp_path)
    want = list(velkor.scan_files([paths[3]], KEY))
    assert len(want) == 1
    assert list(velkor.scan_files(paths[3], KEY)) == want
    assert list(velkor.scan_files(Path(paths[3]), KEY)) == want
    assert list(velkor.scan_files(os.fsencode(paths[3]), KEY)) == want
    assert list(velkor.scan_files(iter([paths[3]]), KEY)) == want


def crowded(folder):
    """A file whose 200 open tagged candidates, each claiming 100000 bytes,
    outgrow a 4 KiB limit long before the one tagged file at its end."""
    head = b"bgn" + bytes(8) + b"\xb1" + struct.pack(">I", 100_000) + bytes(4)
    p = folder / "crowded.img"
    p.write_bytes((head + bytes(30)) * 200 + bytes(100_000) + velkor.tag(b"x"))
    return p


def fed_through_fifo(fifo, data, scan):
    """scan(fifo) while a thread writes data into it."""
    os.mkfifo(fifo)

    def writer():
        with open(fifo, "wb") as f:
            try:
                f.write(data)
            except BrokenPipeError:
                pass

    t = threading.Thread(target=writer)
    t.start()
    try:
        return scan(fifo)
    finally:
        t.join()


def test_small_limit_loses_nothing_in_a_file(tmp_path, tool_finds):
    """A file is read again in passes, as velkor scan reads it: a limit far
    below what the candidates need changes neither the records nor their
    order, and nothing is dropped."""
    p = crowded(tmp_path)
    want = tool_finds(["--all"], [str(p)])
    assert len(want) == 201
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for chunk in (4096, velkor._scan_files.CHUNK):
            assert list(velkor.scan_files([p], all=True, memory_limit=4096,
                                          chunk_size=chunk)) == want


def test_dropped_candidates_are_told(tmp_path):
    """Finds lost to the memory limit do not vanish silently: the file, the
    count and the cause are named, as `velkor scan` names them.  A pipe
    cannot be read again; a candidate that alone outgrows the limit is
    reported from a file, not checked, and told."""
    data = crowded(tmp_path).read_bytes()
    with pytest.warns(RuntimeWarning, match=r"fifo: [0-9]+ candidates dropped .*cannot be read again"):
        few = fed_through_fifo(tmp_path / "fifo", data, lambda f: list(
            velkor.scan_files([f], all=True, memory_limit=4096)))
    assert 0 < len(few) < 201
    big = tmp_path / "big.img"
    big.write_bytes(velkor.tag(b"x") + velkor.pack(bytes(10_000), KEY, "big", data_sized=True))
    with pytest.warns(RuntimeWarning, match=r"big\.img: 1 find not checked: over the memory limit"):
        got = list(velkor.scan_files([big], KEY, data_sized=True, memory_limit=4096))
    assert [(r["kind"], r["verified"]) for r in got] == [("tagged", True), ("container", None)]


def test_failures(tmp_path):
    paths = images(tmp_path)
    missing = str(tmp_path / "missing")
    it = velkor.scan_files([paths[3], missing, paths[0]], KEY)
    assert next(it)["image"] == paths[3]
    with pytest.raises(FileNotFoundError) as e:
        next(it)
    assert e.value.filename == missing
    with pytest.raises(IsADirectoryError) as e:
        list(velkor.scan_files([str(tmp_path)]))
    assert e.value.filename == str(tmp_path)
    # Refused at the call, before any file is opened.
    for bad in ("", "x" * 255, "a\0b"):
        with pytest.raises(velkor.Error):
            velkor.scan_files([missing], bad)
    with pytest.raises(ValueError):
        velkor.scan_files([missing], chunk_size=0)
    with pytest.raises(ValueError):
        velkor.scan_files([missing], memory_limit=-1)


def test_file_cut_short_while_read(tmp_path):
    """A file that ends before the size it had when opened was cut short
    under the scan: its records up to there stand, then OSError names it,
    rather than the rest passing for its end."""
    p = tmp_path / "shrinks.img"
    p.write_bytes(velkor.tag(b"first") + bytes(50_000) + velkor.tag(b"last"))
    it = velkor.scan_files([p], chunk_size=4096)
    assert next(it)["offset"] == 0
    os.truncate(p, 20_000)
    with pytest.raises(OSError, match=r"ended after 20000 of its 50049 bytes") as e:
        next(it)
    assert e.value.filename == str(p)


def test_names_that_are_not_utf8(tmp_path, tool_finds):
    """Two names that differ only in bytes that are not UTF-8 read alike as
    text; their records carry the exact bytes, as the command's do."""
    paths = [os.path.join(os.fsencode(tmp_path), b"x\xff"), os.path.join(os.fsencode(tmp_path), b"x\xfe")]
    for p in paths:
        with open(p, "wb") as f:
            f.write(velkor.tag(b"payload"))
    got = list(velkor.scan_files(paths))
    assert [r["image_bytes"] for r in got] == [p.hex() for p in paths]
    assert got[0]["image"] == got[1]["image"] == os.fsdecode(tmp_path) + "/x\ufffd"
    assert list(got[0])[:3] == ["image", "image_bytes", "offset"]
    assert got == tool_finds([], [os.fsdecode(p) for p in paths])
    assert all("image_bytes" not in r for r in velkor.scan_files(images(tmp_path)[:1]))


def test_reads_leave_the_gil(tmp_path):
    """The scan opens and reads a FIFO that a Python thread of the same
    process writes: had the blocking open or read kept the GIL, the writer
    could never run and the process would hang.  It runs in a child
    process, so that a hang fails the test, with the child's stacks, rather
    than stopping the run."""
    child = textwrap.dedent("""
        import faulthandler, json, os, sys, threading
        import velkor
        fifo, data = sys.argv[1], bytes.fromhex(sys.stdin.read())
        faulthandler.dump_traceback_later(50, exit=True)
        os.mkfifo(fifo)
        def writer():
            with open(fifo, "wb") as f:
                for i in range(0, len(data), 4096):
                    f.write(data[i:i + 4096])
                    f.flush()
        t = threading.Thread(target=writer)
        t.start()
        got = list(velkor.scan_files([fifo], chunk_size=1000))
        t.join()
        print(json.dumps([(r["offset"], r["kind"], r["verified"]) for r in got]))
        """)
    data = filler(100, 10) + velkor.tag(filler(300_000, 11))
    try:
        out = subprocess.run([sys.executable, "-c", child, str(tmp_path / "fifo")],
                             input=data.hex(), capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"the scan of a FIFO kept the GIL from its writer:\n{e.stderr}")
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == [[100, "tagged", True]]
