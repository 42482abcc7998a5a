# SPDX-License-Identifier: MIT
"""scan_files: the records equal the find objects of `velkor scan --json`
on the same files, whatever the options and the size of the reads; they
are plain and picklable; reads leave the GIL to other threads; failures
name the file."""

import faulthandler
import json
import os
import pickle
import random
import struct
import subprocess
import threading
import warnings
from pathlib import Path

import pytest

import velkor

KEY = "correct horse"


def filler(n, seed):
    """Random bytes without b, s or a: nothing in them starts a find."""
    data = bytearray(random.Random(seed).randbytes(n))
    return bytes(b if b not in b"bsa" else 0x78 for b in data)


def images(tmp_path):
    """Files with every kind of find: nested, damaged, cut off, labels that
    are not UTF-8 or hold control characters, a container made with
    data-sized tables, and a file with none."""
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
    ]
    paths = []
    for i, data in enumerate(contents):
        p = tmp_path / f"image{i}.bin"
        p.write_bytes(data)
        paths.append(str(p))
    return paths


def tool_finds(velkor_tool, args, paths):
    """The find objects `velkor scan --json` prints, in its order."""
    out = subprocess.run([velkor_tool, "scan", "--json", *args, *paths],
                         capture_output=True, text=True, check=False)
    assert out.returncode in (0, 1), out.stderr
    objs = [json.loads(line) for line in out.stdout.splitlines()]
    return [o for o in objs if o.get("kind") in ("tagged", "container")]


@pytest.mark.parametrize("args, kwargs", [
    ([], {}),
    (["--all"], {"all": True}),
    (["-k", KEY], {"key": KEY}),
    (["-k", KEY, "--all"], {"key": KEY, "all": True}),
    (["-k", "wrong", "--all"], {"key": "wrong", "all": True}),
    (["-k", KEY, "--data-sized", "--all"], {"key": KEY, "data_sized": True, "all": True}),
])
def test_records_are_the_commands_finds(tmp_path, velkor_tool, args, kwargs):
    paths = images(tmp_path)
    want = tool_finds(velkor_tool, args, paths)
    assert want, "the images hold finds"
    for chunk in (1, 7, 4096, velkor._scan_files.CHUNK):
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # no candidate dropped
            got = list(velkor.scan_files(paths, chunk_size=chunk, **kwargs))
        assert got == want, chunk
        # The same members in the same order, so that a record written as
        # JSON reads like the command's line.
        assert [list(r) for r in got] == [list(w) for w in want]


def test_labels_read_as_the_command_shows_them(tmp_path, velkor_tool):
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


def test_dropped_candidates_are_told(tmp_path):
    """Finds lost to the memory limit do not vanish silently: the file and
    the count are named, as `velkor scan` names them."""
    head = b"bgn" + bytes(8) + b"\xb1" + struct.pack(">I", 100_000) + bytes(4)
    p = tmp_path / "crowded.img"
    p.write_bytes((head + bytes(30)) * 200 + bytes(100_000) + velkor.tag(b"x"))
    with pytest.warns(RuntimeWarning, match=r"crowded\.img: [0-9]+ candidates dropped"):
        few = list(velkor.scan_files([p], all=True, memory_limit=4096))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert len(list(velkor.scan_files([p], all=True))) == 201 > len(few)


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


def test_reads_leave_the_gil(tmp_path):
    """The scan opens and reads a FIFO that a Python thread of the same
    process writes: had the blocking open or read kept the GIL, the writer
    could never run and the process would hang (the watchdog then stops it
    with a traceback)."""
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    data = filler(100, 10) + velkor.tag(filler(300_000, 11))

    def writer():
        with open(fifo, "wb") as f:
            for i in range(0, len(data), 4096):
                f.write(data[i:i + 4096])
                f.flush()

    faulthandler.dump_traceback_later(60, exit=True)
    try:
        t = threading.Thread(target=writer)
        t.start()
        got = list(velkor.scan_files([str(fifo)], chunk_size=1000))
        t.join()
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert [(r["offset"], r["kind"], r["verified"]) for r in got] == [(100, "tagged", True)]
