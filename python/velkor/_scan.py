# SPDX-License-Identifier: MIT
"""Finding tagged files and containers inside a larger image, through the
library's streaming scanner (velkor_scan_*), which owns the search, the
checks and the order of the finds."""

from __future__ import annotations

import ctypes
import threading
import warnings
from typing import Callable, Iterator, List, NamedTuple, Optional, Tuple, Union

from . import _native as n
from ._errors import Error
from ._keys import flag, key_text
from ._native import Borrowed, BytesLike

class Find(NamedTuple):
    """One find, with the members of `velkor scan --json` except the image's
    name.

    offset, length: where its first byte lies in the image, and how many
    bytes it spans.  kind: "tagged" or "container".  payload_offset and
    payload_length: its payload within the image.  verified: whether it
    checks; reason: None when it does, else "no key", "CRC mismatch",
    "truncated" or "wrong key or damaged".  inside: the offset of the
    innermost verified find around it, or None.  Containers also give magic
    ("start" or "asar1") and key_prefix, and, once deciphered with the
    right key, label and sublabel (bytes without their NUL); all four are
    None for a tagged file, the texts None for a container not deciphered.
    """

    offset: int
    kind: str
    length: int
    payload_offset: int
    payload_length: int
    verified: bool
    reason: Optional[str]
    inside: Optional[int]
    magic: Optional[str] = None
    key_prefix: Optional[int] = None
    label: Optional[bytes] = None
    sublabel: Optional[bytes] = None


def _find(f: n.ScanFind) -> Find:
    container = f.kind == n.VELKOR_FIND_CONTAINER
    deciphered = container and bool(f.deciphered)
    return Find(
        offset=f.offset,
        kind="container" if container else "tagged",
        length=f.length,
        payload_offset=f.payload_offset,
        payload_length=f.payload_length,
        verified=f.reason == n.VELKOR_SCAN_VERIFIED,
        reason=(None if f.reason == n.VELKOR_SCAN_VERIFIED
                else n.velkor_scan_reason_text(f.reason).decode()),
        inside=f.inside if f.inside_valid else None,
        magic=f.magic.decode() if container else None,
        key_prefix=f.key_prefix if container else None,
        label=f.label if deciphered else None,
        sublabel=f.sublabel if deciphered else None,
    )


# The largest memory limit the library takes (its size_t).
_MAX_LIMIT = min(2**64 - 1, 2**(8 * ctypes.sizeof(ctypes.c_size_t)) - 1)


class Scanner:
    """A scan fed in pieces: feed() returns the finds that have become
    certain, close() the rest; a piece may end anywhere, and the finds are
    those one scan of the whole image gives.

    key: the key text for containers (str as UTF-8, or bytes, 1 to 254
    bytes, no NUL), or None.  data_sized: the containers' tables are as long
    as their fields.  all: also report the finds that fail ("CRC mismatch",
    "truncated", "wrong key or damaged"); by default only verified finds and
    containers not verified for want of a key are returned, as `velkor
    scan` prints them.  data_sized and all are bools.  memory_limit: bytes
    for pending candidates, 1 to 2**64 - 1 (None: the library's default, 16
    MiB); `dropped` counts the candidates dropped for it.  Raises
    velkor.Error for a key outside these rules, ValueError for a limit out
    of range and TypeError for a limit that is not an int (True among them)
    or a data_sized or all that is not a bool.  One scanner may be used
    from several threads; its calls then take turns.
    """

    def __init__(self, key: Union[str, bytes, None] = None, data_sized: bool = False,
                 all: bool = False, memory_limit: Optional[int] = None) -> None:
        self._sc = None
        self._lock = threading.Lock()
        self._all = flag(all, "all") == 1
        self._key = None if key is None else key_text(key, Error, empty_ok=False)
        opts = n.ScanOptions()
        opts.key = self._key
        opts.data_sized_state = flag(data_sized, "data_sized")
        if memory_limit is not None:
            if isinstance(memory_limit, bool) or not isinstance(memory_limit, int):
                raise TypeError(
                    f"memory_limit must be an int, not {type(memory_limit).__name__}")
            if not 1 <= memory_limit <= _MAX_LIMIT:
                raise ValueError(f"memory_limit must be 1 to {_MAX_LIMIT}, not {memory_limit}")
            opts.memory_limit = memory_limit
        sc = n.velkor_scan_new(ctypes.byref(opts))
        if not sc:
            raise MemoryError("no memory for a scanner")
        self._sc = sc
        self._closed = False
        self.dropped = 0

    def _take(self) -> List[Find]:
        out = []
        f = n.ScanFind()
        while n.velkor_scan_next(self._sc, ctypes.byref(f)) == 1:
            if (self._all or f.reason == n.VELKOR_SCAN_VERIFIED
                    or f.reason == n.VELKOR_SCAN_NO_KEY):
                out.append(_find(f))
        self.dropped = n.velkor_scan_dropped(self._sc)
        return out

    def _feed(self, p: object, size: int) -> List[Find]:
        with self._lock:
            if self._closed:
                raise ValueError("feed() on a closed Scanner")
            if n.velkor_scan_feed(self._sc, p, size) != 0:
                raise MemoryError("no memory for the scan")
            return self._take()

    def feed(self, piece: BytesLike) -> List[Find]:
        """Scan the next piece of the image; returns the finds now certain."""
        with Borrowed(piece) as (p, size):
            return self._feed(p, size)

    def _finish(self) -> List[Find]:
        with self._lock:
            if self._closed:
                raise ValueError("close() on a closed Scanner")
            if n.velkor_scan_finish(self._sc) != 0:
                self._closed = True
                self._free()
                raise MemoryError("no memory for the scan")
            return self._take()

    def close(self) -> List[Find]:
        """End the image; returns the remaining finds.  Only once."""
        out = self._finish()
        with self._lock:
            self._closed = True
            self._free()
        return out

    def _free(self) -> None:
        if self._sc:
            n.velkor_scan_free(self._sc)
            self._sc = None

    def __del__(self) -> None:
        self._free()

    def __enter__(self) -> "Scanner":
        return self

    def __exit__(self, *exc: object) -> None:
        with self._lock:
            self._closed = True
            self._free()


# scan() feeds this much at a time: the finds of one piece are all that
# wait in the scanner, whatever the number of finds in the whole.
_PIECE = 1 << 18


def scan(data: BytesLike, key: Union[str, bytes, None] = None, data_sized: bool = False,
         all: bool = False, memory_limit: Optional[int] = None) -> "ScanFinds":
    """Every tagged file and container in data, by offset, nested ones
    included, as Scanner(key, data_sized, all, memory_limit) finds them.

    Returns an iterator that feeds data 256 KiB at a time and yields each
    find once it is certain, so memory stays within the limit however many
    finds there are (take list() of it for a list).  As data can be read
    again, the scan is complete: where candidates had to be dropped at the
    memory limit, data is scanned again from the first of them, as `velkor
    scan` reads a file again, and only a candidate that alone needs more
    than the limit is left out.  Such candidates are counted in the
    iterator's `dropped` attribute, and when the iterator ends with any, a
    RuntimeWarning says how many, as `velkor scan` says it on standard
    error: the finds may then lack what they would have been.  The
    arguments are checked at the call; data is held from the first find
    asked for until the iterator ends, and must not change meanwhile.
    """
    s = Scanner(key, data_sized, all, memory_limit)
    memoryview(data).release()  # TypeError now for what is not bytes-like
    return ScanFinds(s, _scan_all(s, data))


class ScanFinds:
    """velkor.scan()'s iterator of finds.  dropped: the candidates left
    out so far because each alone needs more than the memory limit (final
    once the iterator has ended; a RuntimeWarning is given then when it is
    not 0).  close() ends it early and releases data."""

    __slots__ = ("_scanner", "_finds", "_ended", "dropped")

    def __init__(self, scanner: Scanner, finds: Iterator[Find]) -> None:
        self._scanner = scanner
        self._finds = finds
        self._ended = False
        self.dropped = 0

    def __iter__(self) -> "ScanFinds":
        return self

    def __next__(self) -> Find:
        try:
            f = next(self._finds)
        except StopIteration:
            self._end()
            raise
        self.dropped = self._scanner.dropped
        return f

    def _end(self) -> None:
        if self._ended:
            return
        self._ended = True
        self.dropped = self._scanner.dropped
        if self.dropped:
            warnings.warn(f"{self.dropped} candidate{'s' if self.dropped != 1 else ''} dropped at "
                          f"the memory limit; the finds are incomplete (each needs more memory "
                          f"than the limit alone)", RuntimeWarning, stacklevel=3)

    def close(self) -> None:
        """End the scan now; the finds not yet taken are not looked for."""
        self._ended = True
        close = getattr(self._finds, "close", None)
        if close is not None:
            close()


def _scan_all(s: Scanner, data: BytesLike) -> Iterator[Find]:
    with Borrowed(data) as (p, size), s:
        base = n.address(p)
        yield from _passes(s, size, _PIECE, lambda at, k: (base + at, k))


def _passes(s: Scanner, length: Optional[int], piece: int,
            read: Callable[[int, int], Tuple[object, int]]) -> Iterator[Find]:
    """The finds of one image in s, fed from read(offset, count), which
    gives the address of the image's bytes from offset on and how many it
    holds there, at most count and 0 at its end.

    length: the image's size, when it can be read again: the scan then goes
    on in passes for as long as the scanner asks, from where it asks, and
    loses nothing to the memory limit.  None: the image is read once, in
    order, to its end (a pipe), and what the limit drops is lost.
    """
    sc = s._sc
    if length is not None and (n.velkor_scan_set_length(sc, length) != 0
                               or n.velkor_scan_set_passes(sc, 1) != 0):
        raise MemoryError("the scanner refused the image's length")
    start = ctypes.c_uint64(0)
    while True:
        at = start.value
        # A pass with nothing left to resolve needs no more bytes.
        while length is None or (at < length and n.velkor_scan_pass_done(sc) != 1):
            p, got = read(at, piece if length is None else min(piece, length - at))
            if not got:
                break  # an image cut short: what runs past its end is truncated
            yield from s._feed(p, got)
            at += got
        yield from s._finish()
        if length is None or n.velkor_scan_next_pass(sc, ctypes.byref(start)) != 1:
            break
