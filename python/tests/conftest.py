# SPDX-License-Identifier: MIT
"""Shared fixtures.  CTest runs these files with PYTHONPATH at the source
package, VELKOR_LIBRARY at the built library and VELKOR_TOOL / BGNTAG_TOOL
at the built commands (see python/CMakeLists.txt)."""

import array
import json
import mmap
import os
import resource
import subprocess
from pathlib import Path

import pytest


def _tool(var: str) -> str:
    path = os.environ.get(var)
    if not path:
        # Not a skip: a run that quietly leaves out the comparisons with the
        # commands would look like a pass.
        pytest.fail(f"{var} is not set; run these tests through ctest")
    return path


@pytest.fixture(scope="session")
def velkor_tool() -> str:
    return _tool("VELKOR_TOOL")


@pytest.fixture(scope="session")
def bgntag_tool() -> str:
    return _tool("BGNTAG_TOOL")


@pytest.fixture(scope="session")
def tool_finds(velkor_tool: str):
    """tool_finds(args, paths): the find objects `velkor scan --json ARGS
    PATHS` prints, in its order (without the summary that ends each
    image)."""

    def finds(args, paths):
        out = run(velkor_tool, "scan", "--json", *args, *map(str, paths))
        assert out.returncode in (0, 1), out.stderr
        objs = [json.loads(line) for line in out.stdout.splitlines()]
        return [o for o in objs if o.get("kind") in ("tagged", "container")]

    return finds


@pytest.fixture
def capped_memory():
    """For tests that hand over a 4 GiB input (a sparse file, mapped) that
    must be refused by its size: caps the data this process may add at
    1 GiB while the test runs, so code that wrongly accepts the input fails
    with MemoryError instead of taking the machine's memory."""
    with open("/proc/self/status") as f:
        vmdata = next(int(l.split()[1]) for l in f if l.startswith("VmData:")) * 1024
    soft, hard = resource.getrlimit(resource.RLIMIT_DATA)
    cap = vmdata + (1 << 30)
    if hard != resource.RLIM_INFINITY:
        cap = min(cap, hard)
    resource.setrlimit(resource.RLIMIT_DATA, (cap, hard))
    yield
    resource.setrlimit(resource.RLIMIT_DATA, (soft, hard))


def run(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run(list(args), capture_output=True, text=True, check=False)


@pytest.fixture
def kinds(tmp_path: Path):
    """kinds(data): data as each kind of bytes-like object the functions
    take, as (name, object) pairs: bytes, bytearray, read-only and writable
    memoryviews, a memoryview that starts inside a larger buffer, a
    read-only mmap of a file and an array of 16-bit items (for an even
    length).  The maps are closed when the test ends."""
    maps = []

    def make(data: bytes):
        out = [
            ("bytes", data),
            ("bytearray", bytearray(data)),
            ("memoryview", memoryview(data)),
            ("memoryview of bytearray", memoryview(bytearray(data))),
            ("memoryview slice", memoryview(b"xyz" + data + b"uvw")[3:3 + len(data)]),
        ]
        if data:  # an empty file cannot be mapped
            f = tmp_path / f"mapped{len(maps)}"
            f.write_bytes(data)
            with open(f, "rb") as fh:
                maps.append(mmap.mmap(fh.fileno(), 0, access=mmap.ACCESS_READ))
            out.append(("mmap", maps[-1]))
        if len(data) % 2 == 0:
            a = array.array("H")
            a.frombytes(data)
            out.append(("array", a))
        return out

    yield make
    for m in maps:
        m.close()
