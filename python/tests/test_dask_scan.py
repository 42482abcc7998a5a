# SPDX-License-Identifier: MIT
"""examples/dask_scan.py on a cluster of two local workers, over 50
generated images: its JSON lines are the find objects `velkor scan --json`
prints for the same files, in the same order."""

import json
import os
import random
import subprocess
import sys
from pathlib import Path

import pytest

import velkor

distributed = pytest.importorskip(
    "distributed", reason="Dask's distributed scheduler is not installed "
                          "(Debian: apt-get install python3-distributed)")

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "dask_scan.py"
KEY = "fleet key"


def filler(rng, n):
    """Random bytes without b, s or a: nothing in them starts a find."""
    return bytes(b if b not in b"bsa" else 0x78 for b in rng.randbytes(n))


def make_images(folder, count=50):
    """count images in folder and one sub-folder: tagged files, containers
    (some nested in tagged files, some damaged), or nothing at all."""
    rng = random.Random(23)
    (folder / "sub").mkdir(parents=True)
    for i in range(count):
        parts = [filler(rng, rng.randrange(0, 300))]
        for _ in range(rng.randrange(0, 4)):
            payload = filler(rng, rng.randrange(0, 2000))
            what = rng.randrange(4)
            if what == 0:
                part = velkor.tag(payload)
            elif what == 1:
                part = velkor.pack(payload, KEY, f"fw{i}", "v1", rng.choice(["start", "asar1"]),
                                   rng.randrange(256))
            elif what == 2:
                part = velkor.tag(filler(rng, 9) + velkor.pack(payload, KEY, "inner"))
            else:
                part = bytearray(velkor.tag(payload))
                part[-1] ^= 0x40  # damaged
            parts += [bytes(part), filler(rng, rng.randrange(0, 100))]
        where = folder / "sub" if i % 5 == 0 else folder
        (where / f"image{i:02}.bin").write_bytes(b"".join(parts))


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    root = tmp_path_factory.mktemp("dask")
    folder = root / "images"
    make_images(folder)
    (root / "key.txt").write_text(KEY + "\n")
    paths = sorted((str(p) for p in folder.rglob("*.bin")), key=os.fsencode)
    assert len(paths) == 50
    return root, folder, paths


def run_example(root, *args):
    tmp = root / "tmp"
    tmp.mkdir(exist_ok=True)
    out = subprocess.run([sys.executable, str(EXAMPLE), *args], cwd=root,
                         env=dict(os.environ, TMPDIR=str(tmp)),
                         capture_output=True, text=True, timeout=300, check=False)
    assert out.returncode == 0, out.stderr
    return [json.loads(line) for line in out.stdout.splitlines()]


def test_local_cluster_matches_velkor_scan(corpus, tool_finds):
    root, folder, paths = corpus
    got = run_example(root, "-K", str(root / "key.txt"), "--all", str(folder))
    want = tool_finds(["-k", KEY, "--all"], paths)
    assert len({r["image"] for r in want}) > 30 and len(want) > 60
    assert got == want
    # Nothing left in the folder it ran from, nor in the temporary folder
    # (the workers' scratch folder goes with them).
    assert sorted(p.name for p in root.iterdir()) == ["images", "key.txt", "tmp"]
    assert list((root / "tmp").iterdir()) == []


def test_given_scheduler(corpus, tool_finds):
    """--scheduler ADDRESS: the same code on a cluster it did not start, as
    on a real one."""
    root, folder, paths = corpus
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None,
                                  local_directory=str(root / "workers")) as cluster:
        got = run_example(root, "--scheduler", cluster.scheduler_address, str(folder))
        with distributed.Client(cluster) as client:
            assert len(client.scheduler_info()["workers"]) == 2
    assert got == tool_finds([], paths)
