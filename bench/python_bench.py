#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The Python package's checksums against the C library and zlib, in one run.

    python3 bench/python_bench.py [BUILD_DIR]        (default build/default)

Uses the package in python/ over BUILD_DIR's libvelkor.so.0.  Each case is
measured in every one of several interleaved rounds and the best round
counts, in CPU time, as the C benchmark programs do.  Cases:

- velkor.crc / velkor.csum on 64 MiB (an anonymous map on transparent huge
  pages, like checksum_bench's buffer, passed through the buffer protocol)
  against the same C functions called on the same buffer with its bare
  address, in alternating samples; and for reference
  BUILD_DIR/bench/checksum_bench's own figure for them (a C program in
  another process, on its own buffer), run between the rounds;
- velkor.crc against zlib.crc32 on 1 MiB of bytes, in cache;
- the cost of one call on 16 bytes, for the functions and their peers;
- two threads each checksumming their own 1 MiB, against one thread doing
  both shares, in wall time: near 2x when the calls run without the GIL
  and two cores are free.
"""

import ctypes
import json
import mmap
import os
import subprocess
import sys
import tempfile
import threading
import time
import zlib

ROUNDS = 5
BIG = 64 << 20
MID = 1 << 20

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build/default"))
os.environ["VELKOR_LIBRARY"] = os.path.join(build, "lib", "libvelkor.so.0")
sys.path.insert(0, os.path.join(root, "python"))
import velkor  # noqa: E402
from velkor import _native  # noqa: E402


def cpu_rate(fn, nbytes, seconds=0.25):
    """Bytes per CPU second of fn(), called until seconds have passed."""
    calls = 0
    t0 = time.process_time()
    while True:
        fn()
        calls += 1
        t = time.process_time() - t0
        if t >= seconds:
            return calls * nbytes / t


def paired_rates(fa, fb, nbytes, calls=8, samples=12):
    """Bytes per CPU second of fa() and of fb(), timed in alternating short
    samples so both see the same machine; the fastest sample of each."""
    best_a = best_b = float("inf")
    for _ in range(samples):
        for fn, which in ((fa, "a"), (fb, "b")):
            t0 = time.process_time()
            for _ in range(calls):
                fn()
            t = time.process_time() - t0
            if which == "a":
                best_a = min(best_a, t)
            else:
                best_b = min(best_b, t)
    return calls * nbytes / best_a, calls * nbytes / best_b


def per_call_ns(fn, calls=200_000):
    t0 = time.process_time()
    for _ in range(calls):
        fn()
    return (time.process_time() - t0) / calls * 1e9


def c_program_rates():
    """checksum_bench's own figures for velkor_crc and velkor_csum at 64 MiB."""
    prog = os.path.join(build, "bench", "checksum_bench")
    if not os.access(prog, os.X_OK):
        return {}
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run([prog, f"--benchmark_filter=^velkor_(crc|csum)/{BIG}$",
                        "--benchmark_min_time=0.5", f"--benchmark_out={out.name}",
                        "--benchmark_out_format=json"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        runs = json.load(out)["benchmarks"]
    return {b["name"].split("/")[0]: b["bytes_per_second"] for b in runs}


def two_threads_speedup(buf, calls=400):
    def work(n):
        for _ in range(n):
            velkor.crc(buf)
    t0 = time.perf_counter()
    work(2 * calls)
    one = time.perf_counter() - t0
    threads = [threading.Thread(target=work, args=(calls,)) for _ in range(2)]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return one / (time.perf_counter() - t0)


def main():
    # Private: a shared anonymous map is shared memory, which gets no
    # transparent huge pages.
    big = mmap.mmap(-1, BIG, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
    if hasattr(mmap, "MADV_HUGEPAGE"):
        big.madvise(mmap.MADV_HUGEPAGE)
    big.write(os.urandom(BIG))
    mid = os.urandom(MID)
    small = os.urandom(16)
    addr = ctypes.addressof(ctypes.c_char.from_buffer(big))

    # Each package function against the C function on the same buffer,
    # called with its bare address through ctypes (0.4 us of a 2 ms call).
    pairs = {
        "crc": (lambda: velkor.crc(big), lambda: _native.velkor_crc(addr, BIG)),
        "csum": (lambda: velkor.csum(big), lambda: _native.velkor_csum(0, addr, BIG)),
    }
    cases = {
        "velkor.crc 1 MiB": (lambda: velkor.crc(mid), MID),
        "velkor.csum 1 MiB": (lambda: velkor.csum(mid), MID),
        "zlib.crc32 1 MiB": (lambda: zlib.crc32(mid), MID),
    }
    calls = {
        "velkor.crc": lambda: velkor.crc(small),
        "velkor.csum": lambda: velkor.csum(small),
        "velkor.Crc().update": lambda: velkor.Crc().update(small),
        "velkor.crc (bytearray)": lambda: velkor.crc(bytearray_small),
        "bare ctypes velkor_crc": lambda: _native.velkor_crc(small, 16),
        "zlib.crc32": lambda: zlib.crc32(small),
    }
    bytearray_small = bytearray(small)

    best = {}
    for f in pairs:
        best[f"velkor.{f} 64 MiB"] = best[f"C velkor_{f} 64 MiB"] = 0.0
    best.update({k: 0.0 for k in cases})
    ns = {k: float("inf") for k in calls}
    prog = {}
    speedup = 0.0
    for _ in range(ROUNDS):
        for f, (fa, fb) in pairs.items():
            a, b = paired_rates(fa, fb, BIG)
            best[f"velkor.{f} 64 MiB"] = max(best[f"velkor.{f} 64 MiB"], a)
            best[f"C velkor_{f} 64 MiB"] = max(best[f"C velkor_{f} 64 MiB"], b)
        for k, (fn, n) in cases.items():
            best[k] = max(best[k], cpu_rate(fn, n))
        for k, fn in calls.items():
            ns[k] = min(ns[k], per_call_ns(fn))
        for k, v in c_program_rates().items():
            prog[k] = max(prog.get(k, 0.0), v)
        speedup = max(speedup, two_threads_speedup(mid))

    print(f"{'case':<24} {'GB/s':>8}")
    for k, v in best.items():
        print(f"{k:<24} {v / 1e9:8.2f}")
    for k, v in prog.items():
        print(f"{'checksum_bench ' + k:<24} {v / 1e9:8.2f}")
    print(f"\n{'one call on 16 bytes':<24} {'ns':>8}")
    for k, v in ns.items():
        print(f"{k:<24} {v:8.0f}")

    print("\nratios (best round of each):")
    for f in ("crc", "csum"):
        print(f"  velkor.{f} / C velkor_{f} on the same buffer, 64 MiB: "
              f"{best[f'velkor.{f} 64 MiB'] / best[f'C velkor_{f} 64 MiB']:.3f}")
        if f"velkor_{f}" in prog:
            print(f"  velkor.{f} / checksum_bench velkor_{f}, 64 MiB: "
                  f"{best[f'velkor.{f} 64 MiB'] / prog[f'velkor_{f}']:.3f}")
    print(f"  velkor.crc / zlib.crc32, 1 MiB: "
          f"{best['velkor.crc 1 MiB'] / best['zlib.crc32 1 MiB']:.2f}"
          f"   (one call on 16 bytes: {ns['velkor.crc']:.0f} ns, zlib.crc32 {ns['zlib.crc32']:.0f} ns)")
    print(f"  velkor.csum / zlib.crc32, 1 MiB: "
          f"{best['velkor.csum 1 MiB'] / best['zlib.crc32 1 MiB']:.2f}")
    print(f"  two threads / one, velkor.crc on 1 MiB each (wall time): {speedup:.2f}")
    if not prog:
        print(f"  ({build}/bench/checksum_bench not built: no figure from the C program)")


if __name__ == "__main__":
    main()
