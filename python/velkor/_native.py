# SPDX-License-Identifier: MIT
"""The shared library, its prototypes, and borrowing the memory of bytes-like
objects for the length of one call.

Calls go through ctypes.CDLL, which releases the GIL for the duration of each
foreign call, so checksums on several threads run in parallel.
"""

from __future__ import annotations

import array
import ctypes
import mmap
import os
from typing import Any, Optional, Tuple, Union

# What every function accepts: any object with a contiguous buffer.
BytesLike = Union[bytes, bytearray, memoryview, mmap.mmap, "array.array[Any]"]

SONAME = "libvelkor.so.0"


def library_path() -> str:
    """Where the library is loaded from.

    VELKOR_LIBRARY, when set, overrides everything (the tests point it at a
    build tree).  An installed package carries _libpath.py, written by
    ``cmake --install``, which names the library relative to the package's
    own directory so an installed tree may be moved or staged; an absolute
    name there is used as it stands.  Without either (the Debian package,
    pip install), the dynamic loader's search finds an installed
    libvelkor.so.0.
    """
    override = os.environ.get("VELKOR_LIBRARY")
    if override:
        return override
    try:
        from . import _libpath  # type: ignore[attr-defined]
    except ImportError:
        return SONAME
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.normpath(os.path.join(here, _libpath.LIBRARY))


def _load() -> ctypes.CDLL:
    path = library_path()
    try:
        return ctypes.CDLL(path, use_errno=True)
    except OSError as e:
        # Say what to install: the package alone does not bring the library.
        raise ImportError(
            f"velkor: cannot load {path}: {e}; the Python package needs the velkor "
            f"library {SONAME} (Debian: apt-get install libvelkor0; after "
            f"cmake --install into another prefix, put its lib directory in "
            f"LD_LIBRARY_PATH or /etc/ld.so.conf.d)") from e


lib = _load()


class CrcState(ctypes.Structure):
    """velkor_crc_state: a plain value, copied to fork a computation."""

    _fields_ = [("crc", ctypes.c_uint32), ("length", ctypes.c_uint64)]


class VcryptState(ctypes.Structure):
    """vcrypt_state: owns its table from vcrypt_init to vcrypt_finish."""

    _fields_ = [
        ("i", ctypes.c_uint64),
        ("j", ctypes.c_uint64),
        ("state", ctypes.c_void_p),
        ("state_len", ctypes.c_size_t),
    ]


class EncInfo(ctypes.Structure):
    """enc_info, the container's parameters."""

    _fields_ = [
        ("key", ctypes.c_char_p),
        ("magic", ctypes.c_char * 6),
        ("label", ctypes.c_char * 32),
        ("sublabel", ctypes.c_char * 8),
        ("key_prefix", ctypes.c_uint8),
        ("data_sized_state", ctypes.c_int),
        ("data_length", ctypes.c_uint32),
        ("checksum", ctypes.c_uint32),
    ]


class TagInfo(ctypes.Structure):
    """velkor_tag_info: what a tagged file's header says."""

    _fields_ = [
        ("format", ctypes.c_uint8),
        ("length", ctypes.c_uint32),
        ("stored_crc", ctypes.c_uint32),
        ("computed_crc", ctypes.c_uint32),
    ]


class EncStream(ctypes.Structure):
    """enc_stream: a container's payload cipher and running checksum between
    the piecewise calls; owns a table from *_header to *_finish."""

    _fields_ = [
        ("cipher", VcryptState),
        ("csum", ctypes.c_uint32),
        ("remaining", ctypes.c_uint32),
        ("data_length", ctypes.c_uint32),
        ("label_len", ctypes.c_uint32),
        ("sublabel_len", ctypes.c_uint32),
        ("header_len", ctypes.c_size_t),
    ]


class ScanOptions(ctypes.Structure):
    """velkor_scan_options."""

    _fields_ = [
        ("key", ctypes.c_char_p),
        ("data_sized_state", ctypes.c_int),
        ("memory_limit", ctypes.c_size_t),
    ]


class ScanFind(ctypes.Structure):
    """velkor_find: one find of the scanner."""

    _fields_ = [
        ("offset", ctypes.c_uint64),
        ("kind", ctypes.c_int),
        ("reason", ctypes.c_int),
        ("length", ctypes.c_uint64),
        ("payload_offset", ctypes.c_uint64),
        ("payload_length", ctypes.c_uint64),
        ("inside_valid", ctypes.c_int),
        ("inside", ctypes.c_uint64),
        ("stored_crc", ctypes.c_uint32),
        ("computed_crc", ctypes.c_uint32),
        ("magic", ctypes.c_char * 6),
        ("key_prefix", ctypes.c_uint8),
        ("label_len", ctypes.c_uint32),
        ("sublabel_len", ctypes.c_uint32),
        ("deciphered", ctypes.c_int),
        ("label", ctypes.c_char * 32),
        ("sublabel", ctypes.c_char * 8),
        ("checksum", ctypes.c_uint32),
    ]


class ScanFindInfo(ctypes.Structure):
    """velkor_find_info: a find with its key number, damaged texts, the
    bytes an over-limit candidate needs and the level it was found at."""

    _fields_ = [
        ("size", ctypes.c_size_t),
        ("find", ScanFind),
        ("key", ctypes.c_uint32),
        ("damaged_texts", ctypes.c_int),
        ("needs", ctypes.c_uint64),
        ("level", ctypes.c_uint32),
    ]


# The header's public constants (#defines, which ctypes cannot read).
VELKOR_TAG_HEADER_LEN = 20
VELKOR_TAG_MAX_PAYLOAD = 0xFFFFFFFF - VELKOR_TAG_HEADER_LEN

# velkor_tag_reason and enc_reason values.
VELKOR_TAG_OK, VELKOR_TAG_SHORT, VELKOR_TAG_NO_MAGIC, VELKOR_TAG_WRONG_FORMAT, \
    VELKOR_TAG_WRONG_LENGTH, VELKOR_TAG_CRC_MISMATCH = range(6)
ENC_OK, ENC_NOT_CONTAINER, ENC_CUT_OFF, ENC_BAD_LABEL_LENGTH, ENC_BAD_SUBLABEL_LENGTH, \
    ENC_PAST_END, ENC_KEY_TOO_LONG, ENC_NO_MEMORY, ENC_CHECKSUM_MISMATCH, \
    ENC_BAD_TEXT, ENC_TABLE_TOO_LARGE = range(11)
ENC_DEFAULT_MAX_TABLE = 16 << 20
VELKOR_FIND_TAGGED, VELKOR_FIND_CONTAINER = 1, 2
VELKOR_SCAN_VERIFIED, VELKOR_SCAN_NO_KEY, VELKOR_SCAN_CRC_MISMATCH, VELKOR_SCAN_TRUNCATED, \
    VELKOR_SCAN_WRONG_KEY, VELKOR_SCAN_OVER_MEMORY, VELKOR_SCAN_OVER_BUDGET = range(7)
VELKOR_SCAN_MAX_KEYS = 64
VELKOR_SCAN_MAX_LEVEL = 8
VELKOR_SCAN_DEFAULT_BUDGET = 16


def _proto(name: str, restype: Any, *argtypes: Any) -> Any:
    f = getattr(lib, name)
    f.restype = restype
    f.argtypes = list(argtypes)
    return f


_u8p = ctypes.c_void_p  # takes bytes (their storage), an address or None
velkor_crc = _proto("velkor_crc", ctypes.c_uint32, _u8p, ctypes.c_size_t)
velkor_crc_init = _proto("velkor_crc_init", None, ctypes.POINTER(CrcState))
velkor_crc_update = _proto("velkor_crc_update", None, ctypes.POINTER(CrcState), _u8p,
                           ctypes.c_size_t)
velkor_crc_final = _proto("velkor_crc_final", ctypes.c_uint32, ctypes.POINTER(CrcState))
velkor_csum = _proto("velkor_csum", ctypes.c_uint32, ctypes.c_uint32, _u8p, ctypes.c_size_t)
vcrypt_init = _proto("vcrypt_init", ctypes.c_int, ctypes.POINTER(VcryptState), _u8p,
                     ctypes.c_int, ctypes.c_size_t)
vcrypt_process = _proto("vcrypt_process", ctypes.c_uint32, ctypes.POINTER(VcryptState), _u8p,
                        _u8p, ctypes.c_size_t)
vcrypt_finish = _proto("vcrypt_finish", None, ctypes.POINTER(VcryptState))
vcrypt_buf = _proto("vcrypt_buf", ctypes.c_int, ctypes.c_uint8, ctypes.c_char_p, _u8p, _u8p,
                    ctypes.c_size_t, ctypes.c_int)
velkor_tag_build = _proto("velkor_tag_build", ctypes.c_int, _u8p, ctypes.POINTER(CrcState))
velkor_tag_parse = _proto("velkor_tag_parse", ctypes.c_int, ctypes.POINTER(TagInfo), _u8p,
                          ctypes.c_size_t)
velkor_tag_check_length = _proto("velkor_tag_check_length", ctypes.c_int,
                                 ctypes.POINTER(TagInfo), ctypes.c_uint64)
velkor_tag_check_crc = _proto("velkor_tag_check_crc", ctypes.c_int, ctypes.POINTER(TagInfo),
                              _u8p, ctypes.POINTER(CrcState))
enc_compute_header_len = _proto("enc_compute_header_len", ctypes.c_size_t, ctypes.c_char_p,
                                ctypes.c_char_p)
enc_read_header = _proto("enc_read_header", ctypes.c_int, ctypes.POINTER(EncStream),
                         ctypes.POINTER(EncInfo), _u8p, ctypes.c_size_t, ctypes.c_int64)
enc_read_header_limited = _proto("enc_read_header_limited", ctypes.c_int,
                                 ctypes.POINTER(EncStream), ctypes.POINTER(EncInfo), _u8p,
                                 ctypes.c_size_t, ctypes.c_int64, ctypes.c_size_t)
enc_read_payload = _proto("enc_read_payload", ctypes.c_size_t, ctypes.POINTER(EncStream), _u8p,
                          _u8p, ctypes.c_size_t)
enc_read_finish = _proto("enc_read_finish", ctypes.c_int, ctypes.POINTER(EncStream),
                         ctypes.POINTER(EncInfo), _u8p)
enc_write_header = _proto("enc_write_header", ctypes.c_int, ctypes.POINTER(EncStream),
                          ctypes.POINTER(EncInfo), _u8p)
enc_write_payload = _proto("enc_write_payload", ctypes.c_size_t, ctypes.POINTER(EncStream),
                           _u8p, _u8p, ctypes.c_size_t)
enc_write_finish = _proto("enc_write_finish", ctypes.c_int, ctypes.POINTER(EncStream), _u8p)
enc_stream_release = _proto("enc_stream_release", None, ctypes.POINTER(EncStream))
velkor_scan_new = _proto("velkor_scan_new", ctypes.c_void_p, ctypes.POINTER(ScanOptions))
velkor_scan_feed = _proto("velkor_scan_feed", ctypes.c_int, ctypes.c_void_p, _u8p,
                          ctypes.c_size_t)
velkor_scan_finish = _proto("velkor_scan_finish", ctypes.c_int, ctypes.c_void_p)
velkor_scan_next = _proto("velkor_scan_next", ctypes.c_int, ctypes.c_void_p,
                          ctypes.POINTER(ScanFind))
velkor_scan_dropped = _proto("velkor_scan_dropped", ctypes.c_uint64, ctypes.c_void_p)
velkor_scan_free = _proto("velkor_scan_free", None, ctypes.c_void_p)
velkor_scan_set_length = _proto("velkor_scan_set_length", ctypes.c_int, ctypes.c_void_p,
                                ctypes.c_uint64)
velkor_scan_set_passes = _proto("velkor_scan_set_passes", ctypes.c_int, ctypes.c_void_p,
                                ctypes.c_int)
velkor_scan_pass_done = _proto("velkor_scan_pass_done", ctypes.c_int, ctypes.c_void_p)
velkor_scan_next_pass = _proto("velkor_scan_next_pass", ctypes.c_int, ctypes.c_void_p,
                               ctypes.POINTER(ctypes.c_uint64))
velkor_scan_reason_text = _proto("velkor_scan_reason_text", ctypes.c_char_p, ctypes.c_int)
velkor_scan_new_keys = _proto("velkor_scan_new_keys", ctypes.c_void_p,
                              ctypes.POINTER(ctypes.c_char_p), ctypes.c_size_t,
                              ctypes.POINTER(ScanOptions))
velkor_scan_next_info = _proto("velkor_scan_next_info", ctypes.c_int, ctypes.c_void_p,
                               ctypes.POINTER(ScanFindInfo))
velkor_scan_set_budget = _proto("velkor_scan_set_budget", ctypes.c_int, ctypes.c_void_p,
                                ctypes.c_uint32)
velkor_scan_payload_new = _proto("velkor_scan_payload_new", ctypes.c_void_p, ctypes.c_void_p,
                                 ctypes.POINTER(ScanFindInfo))
velkor_scan_payload_source = _proto("velkor_scan_payload_source", ctypes.c_int, ctypes.c_void_p,
                                    ctypes.POINTER(ctypes.c_uint64),
                                    ctypes.POINTER(ctypes.c_uint64))
velkor_scan_level = _proto("velkor_scan_level", ctypes.c_int, ctypes.c_void_p)
enc_reason_message = _proto("enc_reason_message", ctypes.c_int, ctypes.c_int,
                            ctypes.POINTER(EncStream), ctypes.c_char_p, ctypes.c_size_t)


# Borrowing memory.  ctypes hands the storage of a bytes object to a c_void_p
# argument directly; every other exporter (bytearray, memoryview, mmap,
# array) is asked for its buffer through the C API, which pins it (a
# bytearray cannot be resized, an mmap not closed) until it is released, and
# works for read-only buffers, which ctypes' from_buffer refuses.

class _PyBuffer(ctypes.Structure):
    _fields_ = [
        ("buf", ctypes.c_void_p),
        ("obj", ctypes.c_void_p),
        ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t),
        ("readonly", ctypes.c_int),
        ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p),
        ("shape", ctypes.c_void_p),
        ("strides", ctypes.c_void_p),
        ("suboffsets", ctypes.c_void_p),
        ("internal", ctypes.c_void_p),
    ]


_PyBUF_SIMPLE = 0  # contiguous bytes; a strided exporter refuses it

_get_buffer = ctypes.pythonapi.PyObject_GetBuffer
_get_buffer.restype = ctypes.c_int
_get_buffer.argtypes = [ctypes.py_object, ctypes.POINTER(_PyBuffer), ctypes.c_int]
_release_buffer = ctypes.pythonapi.PyBuffer_Release
_release_buffer.restype = None
_release_buffer.argtypes = [ctypes.POINTER(_PyBuffer)]


class Borrowed:
    """``with Borrowed(data) as (ptr, n):`` the address (or the bytes object
    itself, which ctypes turns into its address) and the length of data's
    memory, pinned until the block ends.  Raises TypeError for objects that
    are not bytes-like (str among them), as hashlib does."""

    __slots__ = ("_data", "_view")

    def __init__(self, data: BytesLike) -> None:
        self._data = data
        self._view: Optional[_PyBuffer] = None

    def __enter__(self) -> Tuple[Any, int]:
        data = self._data
        if type(data) is bytes:
            return data, len(data)
        view = _PyBuffer()
        # Raises the exporter's own error (TypeError, BufferError) on failure.
        _get_buffer(data, ctypes.byref(view), _PyBUF_SIMPLE)
        self._view = view
        return view.buf, view.len

    def __exit__(self, *exc: object) -> None:
        if self._view is not None:
            _release_buffer(ctypes.byref(self._view))
            self._view = None


def address(ptr: Any) -> int:
    """The integer address behind a value Borrowed handed out."""
    if ptr is None:
        return 0
    if isinstance(ptr, int):
        return ptr
    return ctypes.cast(ctypes.c_char_p(ptr), ctypes.c_void_p).value or 0


_bytes_new = ctypes.pythonapi.PyBytes_FromStringAndSize
_bytes_new.restype = ctypes.py_object
_bytes_new.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]


def new_bytes(n: int) -> bytes:
    """A new, unshared bytes object of n bytes for the library to fill.

    Results are returned as bytes without copying them out of a scratch
    buffer: the object is written before anyone else can see it, as a C
    extension would.  Asking for no initial content always gives a fresh
    object for n >= 1 (only n == 0 gives the shared empty bytes, which is
    never written to).
    """
    return _bytes_new(None, n)  # type: ignore[no-any-return]
