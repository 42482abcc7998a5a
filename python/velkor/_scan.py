# SPDX-License-Identifier: MIT
"""Finding tagged files and containers inside a larger image, through the
library's streaming scanner (velkor_scan_*), which owns the search, the
checks and the order of the finds."""

from __future__ import annotations

import ctypes
import errno
import threading
import warnings
from typing import Callable, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

from . import _native as n
from ._errors import Error
from ._keys import flag, key_text
from ._native import Borrowed, BytesLike

class Find(NamedTuple):
    """One find, with the members of `velkor scan --json` except the image's
    name.

    offset, length: where its first byte lies in the image (or, for a
    find inside a deciphered payload, in that payload), and how many bytes
    it spans.  kind: "tagged" or "container".  payload_offset and
    payload_length: its payload, counted likewise.  verified: whether it
    checks, or None when it was not checked (over the memory limit or the
    work budget); reason: None when it checks, else "no key", "CRC
    mismatch", "truncated", "wrong key or damaged", "needs N bytes, over
    the memory limit" or "over the work budget".  inside: the offset of the
    innermost verified find around it, or None.  Containers also give magic
    ("start" or "asar1") and key_prefix, and, once deciphered with one of
    the keys, label and sublabel (bytes without their NUL); all four are
    None for a tagged file, the texts None for a container not deciphered.
    key: the number (1 for the first) of the key that opened the
    container, or whose texts a damaged one shows, else None.
    damaged_texts: True when label and sublabel are the texts of a
    container whose payload checksum failed.  payload_of: None for a find
    in the image itself; for a find inside a deciphered payload, the
    offset of the innermost container whose payload holds it.
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
    key: Optional[int] = None
    damaged_texts: bool = False
    payload_of: Optional[int] = None


_UNCHECKED = (n.VELKOR_SCAN_OVER_MEMORY, n.VELKOR_SCAN_OVER_BUDGET)


def _find(i: n.ScanFindInfo, payload_of: Optional[int] = None) -> Find:
    f = i.find
    container = f.kind == n.VELKOR_FIND_CONTAINER
    damaged = container and bool(i.damaged_texts)
    texts = container and (bool(f.deciphered) or damaged)
    if f.reason == n.VELKOR_SCAN_VERIFIED:
        reason = None
    elif f.reason == n.VELKOR_SCAN_OVER_MEMORY:
        reason = f"needs {i.needs} bytes, over the memory limit"
    else:
        reason = n.velkor_scan_reason_text(f.reason).decode()
    return Find(
        offset=f.offset,
        kind="container" if container else "tagged",
        length=f.length,
        payload_offset=f.payload_offset,
        payload_length=f.payload_length,
        verified=None if f.reason in _UNCHECKED else f.reason == n.VELKOR_SCAN_VERIFIED,
        reason=reason,
        inside=f.inside if f.inside_valid else None,
        magic=f.magic.decode() if container else None,
        key_prefix=f.key_prefix if container else None,
        label=f.label if texts else None,
        sublabel=f.sublabel if texts else None,
        key=i.key if container and i.key else None,
        damaged_texts=damaged,
        payload_of=payload_of,
    )


KeyArg = Union[str, bytes, Sequence[Union[str, bytes]], None]


def _keys(key: KeyArg) -> List[bytes]:
    """The keys, in order: None is none, a str or bytes one, a list or
    tuple of them several (1 to VELKOR_SCAN_MAX_KEYS)."""
    if key is None:
        return []
    if isinstance(key, (list, tuple)):
        if not key:
            raise Error("the list of keys is empty")
        if len(key) > n.VELKOR_SCAN_MAX_KEYS:
            raise Error(f"at most {n.VELKOR_SCAN_MAX_KEYS} keys may be given")
        return [key_text(k, Error, empty_ok=False) for k in key]
    return [key_text(key, Error, empty_ok=False)]


# The largest memory limit the library takes (its size_t).
_MAX_LIMIT = min(2**64 - 1, 2**(8 * ctypes.sizeof(ctypes.c_size_t)) - 1)


class Scanner:
    """A scan fed in pieces: feed() returns the finds that have become
    certain, close() the rest; a piece may end anywhere, and the finds are
    those one scan of the whole image gives.

    key: the key text for containers (str as UTF-8, or bytes, 1 to 254
    bytes, no NUL), a list or tuple of such keys (at most 64), tried in
    order as `velkor scan` tries repeated -k, or None.  data_sized: the containers' tables are as long
    as their fields.  all: also report the finds that fail ("CRC mismatch",
    "truncated", "wrong key or damaged"); by default only verified finds and
    containers not verified for want of a key are returned, as `velkor
    scan` prints them.  data_sized and all are bools.  memory_limit: bytes
    for pending candidates, 1 to 2**64 - 1 (None: the library's default, 16
    MiB); `dropped` counts the candidates dropped for it.  Raises
    velkor.Error for a key outside these rules, ValueError for a limit out
    of range and TypeError for a limit that is not an int (True among them)
    or a data_sized or all that is not a bool.  A find that alone needs
    more than the limit is returned, not checked (verified None).  A
    Scanner hands out the image's own finds; velkor.scan() and scan_files()
    also look inside the payloads the keys open.  One scanner may be used
    from several threads; its calls then take turns.
    """

    def __init__(self, key: KeyArg = None, data_sized: bool = False,
                 all: bool = False, memory_limit: Optional[int] = None) -> None:
        self._sc = None
        self._lock = threading.Lock()
        self._all = flag(all, "all") == 1
        self._keys = _keys(key)
        opts = n.ScanOptions()
        opts.data_sized_state = flag(data_sized, "data_sized")
        if memory_limit is not None:
            if isinstance(memory_limit, bool) or not isinstance(memory_limit, int):
                raise TypeError(
                    f"memory_limit must be an int, not {type(memory_limit).__name__}")
            if not 1 <= memory_limit <= _MAX_LIMIT:
                raise ValueError(f"memory_limit must be 1 to {_MAX_LIMIT}, not {memory_limit}")
            opts.memory_limit = memory_limit
        texts = (ctypes.c_char_p * max(1, len(self._keys)))(*self._keys)
        sc = n.velkor_scan_new_keys(texts, len(self._keys), ctypes.byref(opts))
        if not sc:
            raise MemoryError("no memory for a scanner")
        self._sc = sc
        self._closed = False
        self.dropped = 0
        # Finds not checked for the memory limit or the work budget, and
        # payloads the library would not scan, by errno (ELOOP: nested too
        # deep, E2BIG: over the work budget, ENOMEM: too little memory
        # left under the limit).
        self.over_memory = 0
        self.over_budget = 0
        self.payloads_refused: dict = {}
        self.dropped_inside = 0

    def _wanted(self, i: n.ScanFindInfo) -> bool:
        r = i.find.reason
        return (self._all or r == n.VELKOR_SCAN_VERIFIED or r == n.VELKOR_SCAN_NO_KEY
                or r in _UNCHECKED)

    def _infos(self, sc: object) -> Iterator[n.ScanFindInfo]:
        """The finds `sc` has ready that this scanner reports, as records
        of the library's (each a fresh one)."""
        while True:
            i = n.ScanFindInfo()
            i.size = ctypes.sizeof(i)
            if n.velkor_scan_next_info(sc, ctypes.byref(i)) != 1:
                return
            if self._wanted(i):
                self.over_memory += i.find.reason == n.VELKOR_SCAN_OVER_MEMORY
                self.over_budget += i.find.reason == n.VELKOR_SCAN_OVER_BUDGET
                yield i

    def _limits(self) -> List[str]:
        """What kept finds from being checked, in words, as `velkor scan`
        says it on standard error; empty when nothing did."""
        def count(k: int, what: str) -> str:
            return f"{k} {what}{'' if k == 1 else 's'}"
        said = []
        if self.over_memory:
            said.append(f"{count(self.over_memory, 'find')} not checked: over the memory limit "
                        f"(raise memory_limit)")
        budget = self.over_budget + self.payloads_refused.get(errno.E2BIG, 0)
        if budget:
            said.append(f"{count(budget, 'find')} or payloads not checked: over the work budget")
        if self.payloads_refused.get(errno.ENOMEM):
            said.append(f"{count(self.payloads_refused[errno.ENOMEM], 'payload')} not looked into: "
                        f"the memory limit left too little (raise memory_limit)")
        if self.payloads_refused.get(errno.ELOOP):
            said.append(f"{count(self.payloads_refused[errno.ELOOP], 'payload')} not looked into: "
                        f"nested deeper than {n.VELKOR_SCAN_MAX_LEVEL} containers")
        return said

    def _feed_raw(self, p: object, size: int) -> List[n.ScanFindInfo]:
        with self._lock:
            if self._closed:
                raise ValueError("feed() on a closed Scanner")
            if n.velkor_scan_feed(self._sc, p, size) != 0:
                raise MemoryError("no memory for the scan")
            out = list(self._infos(self._sc))
            self.dropped = n.velkor_scan_dropped(self._sc) + self.dropped_inside
            return out

    def _feed(self, p: object, size: int) -> List[Find]:
        return [_find(i) for i in self._feed_raw(p, size)]

    def feed(self, piece: BytesLike) -> List[Find]:
        """Scan the next piece of the image; returns the finds now certain."""
        with Borrowed(piece) as (p, size):
            return self._feed(p, size)

    def _finish_raw(self) -> List[n.ScanFindInfo]:
        with self._lock:
            if self._closed:
                raise ValueError("close() on a closed Scanner")
            if n.velkor_scan_finish(self._sc) != 0:
                self._closed = True
                self._free()
                raise MemoryError("no memory for the scan")
            out = list(self._infos(self._sc))
            self.dropped = n.velkor_scan_dropped(self._sc) + self.dropped_inside
            return out

    def close(self) -> List[Find]:
        """End the image; returns the remaining finds.  Only once."""
        out = [_find(i) for i in self._finish_raw()]
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


def scan(data: BytesLike, key: KeyArg = None, data_sized: bool = False,
         all: bool = False, memory_limit: Optional[int] = None,
         payloads: bool = True) -> "ScanFinds":
    """Every tagged file and container in data, by offset, nested ones
    included, as Scanner(key, data_sized, all, memory_limit) finds them,
    and, with payloads (a bool, True by default), the finds inside each
    payload that a key opens, right after its container, as `velkor scan`
    gives them (see Find.payload_of).

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
    inside = flag(payloads, "payloads") == 1
    memoryview(data).release()  # TypeError now for what is not bytes-like
    return ScanFinds(s, _scan_all(s, data, inside))


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
        for said in self._scanner._limits():
            warnings.warn(said, RuntimeWarning, stacklevel=3)

    def close(self) -> None:
        """End the scan now; the finds not yet taken are not looked for."""
        self._ended = True
        close = getattr(self._finds, "close", None)
        if close is not None:
            close()


def _scan_all(s: Scanner, data: BytesLike, payloads: bool) -> Iterator[Find]:
    with Borrowed(data) as (p, size), s:
        base = n.address(p)
        yield from _passes(s, size, _PIECE, lambda at, k: (base + at, k), payloads)


def _passes(s: Scanner, length: Optional[int], piece: int,
            read: Callable[[int, int], Tuple[object, int]],
            payloads: bool = False) -> Iterator[Find]:
    """The finds of one image in s, fed from read(offset, count), which
    gives the address of the image's bytes from offset on and how many it
    holds there, at most count and 0 at its end.

    length: the image's size, when it can be read again: the scan then goes
    on in passes for as long as the scanner asks, from where it asks, and
    loses nothing to the memory limit.  None: the image is read once, in
    order, to its end (a pipe), and what the limit drops is lost.

    payloads: the payload of each container a key opens is scanned too,
    its finds following the container's, as `velkor scan` does; only for
    an image that can be read again (length not None).  Payloads the
    library would not scan are counted in s.payloads_refused by errno.
    """
    sc = s._sc
    if length is not None and (n.velkor_scan_set_length(sc, length) != 0
                               or n.velkor_scan_set_passes(sc, 1) != 0):
        raise MemoryError("the scanner refused the image's length")
    inside = payloads and length is not None and bool(s._keys)
    start = ctypes.c_uint64(0)
    while True:
        at = start.value
        # A pass with nothing left to resolve needs no more bytes.
        while length is None or (at < length and n.velkor_scan_pass_done(sc) != 1):
            p, got = read(at, piece if length is None else min(piece, length - at))
            if not got:
                break  # an image cut short: what runs past its end is truncated
            yield from _handed_out(s, sc, s._feed_raw(p, got), None, piece, read, inside)
            at += got
        yield from _handed_out(s, sc, s._finish_raw(), None, piece, read, inside)
        if length is None or n.velkor_scan_next_pass(sc, ctypes.byref(start)) != 1:
            break


def _handed_out(s: Scanner, sc: object, infos: List[n.ScanFindInfo], payload_of: Optional[int],
                piece: int, read: Callable[[int, int], Tuple[object, int]],
                inside: bool) -> Iterator[Find]:
    """Each find of infos (from the scanner sc), each verified container's
    payload finds right after it when `inside`."""
    for i in infos:
        yield _find(i, payload_of)
        if (inside and i.find.kind == n.VELKOR_FIND_CONTAINER
                and i.find.reason == n.VELKOR_SCAN_VERIFIED and i.key):
            yield from _payload(s, sc, i, piece, read)


def _payload(s: Scanner, parent: object, info: n.ScanFindInfo, piece: int,
             read: Callable[[int, int], Tuple[object, int]]) -> Iterator[Find]:
    """The finds inside the deciphered payload of the container `info`,
    which the scanner `parent` handed out: its payload scanner is fed the
    outermost container's bytes from the image, in as many passes as it
    asks."""
    sc = n.velkor_scan_payload_new(parent, ctypes.byref(info))
    if not sc:
        why = ctypes.get_errno() or "refused"
        s.payloads_refused[why] = s.payloads_refused.get(why, 0) + 1
        return
    try:
        at, length = ctypes.c_uint64(0), ctypes.c_uint64(0)
        if (n.velkor_scan_payload_source(sc, ctypes.byref(at), ctypes.byref(length)) != 0
                or n.velkor_scan_set_passes(sc, 1) != 0):
            raise MemoryError("the scanner refused a payload")
        start = ctypes.c_uint64(0)
        while True:
            off = start.value
            while off < length.value:
                p, got = read(at.value + off, min(piece, length.value - off))
                if not got:
                    raise OSError(errno.EIO, "the image ended before a container could be read again")
                if n.velkor_scan_feed(sc, p, got) != 0:
                    raise MemoryError("no memory for the scan")
                off += got
                yield from _handed_out(s, sc, list(s._infos(sc)), info.find.offset, piece, read, True)
            if n.velkor_scan_finish(sc) != 0:
                raise MemoryError("no memory for the scan")
            yield from _handed_out(s, sc, list(s._infos(sc)), info.find.offset, piece, read, True)
            if n.velkor_scan_next_pass(sc, ctypes.byref(start)) != 1:
                break
        lost = n.velkor_scan_dropped(sc)
        s.dropped_inside += lost
        s.dropped += lost
    finally:
        n.velkor_scan_free(sc)
