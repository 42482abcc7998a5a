# SPDX-License-Identifier: MIT
"""Scanning files on disk into plain records: one dict per find, with the
members and values of a find object of `velkor scan --json`, so that
pandas, Dask or any engine that moves data between processes can take them
as they are."""

from __future__ import annotations

import ctypes
import errno
import os
import stat
import warnings
from typing import Any, Dict, Iterable, Iterator, Optional, Tuple, Union

from ._keys import flag
from ._scan import Find, KeyArg, Scanner, _passes

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# What one read asks for: large enough that the per-call costs vanish,
# small enough that many workers' buffers fit anywhere.
CHUNK = 1 << 20


def _text(raw: bytes) -> str:
    """raw as `velkor scan --json` shows it: UTF-8, each byte that is not
    part of a well-formed sequence replaced by U+FFFD.  (Python's "replace"
    handler would replace a cut-off sequence as a whole; surrogateescape
    keeps one code per byte, and Python's decoder refuses what the
    command refuses: overlong forms, surrogates, values past U+10FFFF.)"""
    s = raw.decode("utf-8", "surrogateescape")
    return "".join("\ufffd" if "\udc80" <= c <= "\udcff" else c for c in s)


def _image(raw: bytes) -> Dict[str, Any]:
    """The members that name an image: its text, and for a name that is not
    UTF-8 its exact bytes too, as `velkor scan --json` gives them."""
    r: Dict[str, Any] = {"image": _text(raw)}
    try:
        raw.decode("utf-8")
    except UnicodeDecodeError:
        r["image_bytes"] = raw.hex()
    return r


def _record(image: Dict[str, Any], f: Find) -> Dict[str, Any]:
    r: Dict[str, Any] = {
        **image,
        "offset": f.offset,
        "kind": f.kind,
        "length": f.length,
        "payload_offset": f.payload_offset,
        "payload_length": f.payload_length,
        "verified": f.verified,
        "reason": f.reason,
        "inside": f.inside,
        "payload_of": f.payload_of,
    }
    if f.kind == "container":
        r["magic"] = f.magic
        r["key_prefix"] = f.key_prefix
        r["key"] = f.key
        if f.label is not None and f.sublabel is not None:
            r["label"] = _text(f.label)
            r["label_hex"] = f.label.hex()
            r["sublabel"] = _text(f.sublabel)
            r["sublabel_hex"] = f.sublabel.hex()
        if f.damaged_texts:
            r["damaged_texts"] = True
    return r


def scan_files(paths: Union[PathLike, Iterable[PathLike]], key: KeyArg = None,
               data_sized: bool = False, all: bool = False, memory_limit: Optional[int] = None,
               chunk_size: int = CHUNK, payloads: bool = True) -> Iterator[Dict[str, Any]]:
    """Every tagged file and container in each file of paths, one record
    per find, image by image in the order given and by offset within each.

    paths: an iterable of paths (str, bytes or path-like), or one path.
    key, data_sized, all, memory_limit: as for Scanner (and `velkor scan
    -k`, `--data-sized`, `--all`; None leaves the limit to the library);
    key may be a list of keys, tried in order.  payloads (a bool): look
    inside the payloads the keys open, as `velkor scan` does without
    --no-payloads; a file that cannot be read again (a pipe) is not looked
    into, and a RuntimeWarning says so.  chunk_size: bytes per read; a file
    of any size needs one such buffer.

    Each record is a dict of plain values (str, int, bool, None), picklable
    and JSON-ready, with the members of a find object of `velkor scan
    --json` in its order: image (the path as given, and image_bytes, its
    bytes in hex, when they are not UTF-8), offset, kind, length,
    payload_offset, payload_length, verified, reason, inside, payload_of;
    containers add magic, key_prefix and key, and, once deciphered, label,
    label_hex, sublabel and sublabel_hex, and damaged_texts (True) when
    those are the texts of a container whose checksum failed.  Texts are UTF-8 with each stray byte shown as U+FFFD,
    as the command shows them; the _hex members keep the exact bytes.

    A file that can be read again at any offset (a regular file, a block
    device) is read again in passes where the scanner had to drop
    candidates at its memory limit, as `velkor scan` and velkor.scan() do,
    so its records are complete whatever the limit; a pipe is read once.
    The reads (os.preadv or os.readv, straight into one buffer) and the
    scanner's calls (ctypes) run without the GIL, so threads scanning
    different files overlap.  A file that cannot be opened or read raises
    OSError, naming it, after the records before the failure; so does a
    file that ends before the size it had when it was opened (cut short
    while it is read).  Raises velkor.Error for a key outside the rules, and
    TypeError for a data_sized or all that is not a bool.

    Where candidates were dropped all the same (from a pipe, or one that
    alone needs more than the limit), the image's records may lack finds:
    a RuntimeWarning names the file and the number dropped, as `velkor
    scan` does on standard error.
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, int):
        raise TypeError(f"chunk_size must be an int, not {type(chunk_size).__name__}")
    if chunk_size < 1:
        raise ValueError("chunk_size must be at least 1")
    # Arguments are refused here, at the call, rather than at the first
    # record (a generator starts only when iterated).
    options: Dict[str, Any] = {"data_sized": data_sized, "all": all}
    if memory_limit is not None:
        options["memory_limit"] = memory_limit
    Scanner(key, **options).close()
    inside = flag(payloads, "payloads") == 1
    return _scan(paths, key, options, chunk_size, inside)


def _scan(paths: Iterable[PathLike], key: KeyArg, options: Dict[str, Any],
          chunk_size: int, inside: bool) -> Iterator[Dict[str, Any]]:
    buf = bytearray(chunk_size)
    view = memoryview(buf)
    # The scanner reads the buffer at its address; from_buffer pins it.
    base = ctypes.addressof((ctypes.c_char * chunk_size).from_buffer(buf))
    for path in paths:
        name = os.fspath(path)
        image = _image(os.fsencode(name))
        # O_NOCTTY: a terminal given as an image must not become ours.
        fd = os.open(name, os.O_RDONLY | os.O_CLOEXEC | os.O_NOCTTY)
        try:
            length = _length(fd, name)

            def read(at: int, count: int) -> Tuple[int, int]:
                # os.preadv and os.readv leave the GIL while they wait.
                try:
                    if length is None:
                        return base, os.readv(fd, [view[:count]])
                    got = os.preadv(fd, [view[:count]], at)
                except OSError as e:
                    e.filename = name
                    raise
                if got == 0 and count > 0:
                    # Not the end: the file was cut short while it is read,
                    # and what lay past here is unknown.
                    raise OSError(errno.EIO, f"ended after {at} of its {length} bytes", name)
                return base, got

            with Scanner(key, **options) as s:
                for find in _passes(s, length, chunk_size, read, inside):
                    yield _record(image, find)
                if s.dropped:
                    why = ("each needs more memory than the limit alone" if length is not None
                           else "the file cannot be read again")
                    warnings.warn(f"{name}: {s.dropped} candidate{'s' if s.dropped != 1 else ''} "
                                  f"dropped at the memory limit; its records are incomplete "
                                  f"({why})", RuntimeWarning, stacklevel=2)
                for said in s._limits():
                    warnings.warn(f"{name}: {said}", RuntimeWarning, stacklevel=2)
                if inside and s._keys and length is None:
                    warnings.warn(f"{name}: the payloads the keys open were not looked into (the "
                                  f"file cannot be read again)", RuntimeWarning, stacklevel=2)
        finally:
            os.close(fd)


def _length(fd: int, name: str) -> Optional[int]:
    """The size of the file open at fd when it can be read again at any
    offset (a regular file, a block device), else None (a pipe, a
    terminal)."""
    st = os.fstat(fd)
    if stat.S_ISDIR(st.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), name)
    if stat.S_ISREG(st.st_mode):
        return st.st_size
    if stat.S_ISBLK(st.st_mode):
        return os.lseek(fd, 0, os.SEEK_END)
    return None
