# SPDX-License-Identifier: MIT
"""velkor for Python: the library's checksums, cipher, tagged files and
encrypted containers, and a scanner for both inside larger images, over
libvelkor.so.0.

    >>> import velkor
    >>> hex(velkor.crc(b"abc"))                 # what cksum prints first
    '0x48aa78a2'
    >>> velkor.untag(velkor.tag(b"abc"))
    b'abc'
    >>> box = velkor.pack(b"attack at dawn", "correct horse", "orders", "v1")
    >>> velkor.unpack(box, "correct horse").payload
    b'attack at dawn'
    >>> [(f.offset, f.kind, f.verified) for f in velkor.scan(b"xyz" + velkor.tag(b"abc"))]
    [(3, 'tagged', True)]

velkor.scan_files(paths, key) yields the finds in files on disk as plain
records, the members of `velkor scan --json`, for pandas or Dask.

Every function takes any bytes-like object (bytes, bytearray, memoryview,
mmap, array) and reads it in place, without copying it.  The library's
calls run without the GIL, so threads checksum in parallel.
"""

from ._version import __version__
from ._checksum import Crc, crc, csum
from ._cipher import Cipher, vcrypt
from ._container import Container, pack, unpack
from ._errors import ContainerError, Error, TagError
from ._scan import Find, Scanner, scan
from ._scan_files import scan_files
from ._tag import tag, untag

__all__ = [
    "Cipher",
    "Container",
    "ContainerError",
    "Crc",
    "Error",
    "Find",
    "Scanner",
    "TagError",
    "__version__",
    "crc",
    "csum",
    "pack",
    "scan",
    "scan_files",
    "tag",
    "unpack",
    "untag",
    "vcrypt",
]

# Tracebacks and help() name the public names where they are imported from.
for _name in __all__:
    if _name != "__version__":
        globals()[_name].__module__ = __name__
del _name
