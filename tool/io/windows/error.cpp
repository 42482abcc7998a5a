// SPDX-License-Identifier: MIT
// Windows' errors as errno, so that the programs report them in the same
// words as on Linux; names as UTF-16; C run-time descriptors over handles.
#include "internal.h"

#include <cerrno>

#include <fcntl.h>
#include <io.h>
#include <winternl.h>

#include "utf8.h"

namespace velkor_io::detail {

bool to_wide(const char *utf8, std::wstring &wide) { return velkor::utf8_to_wide(utf8, wide); }

void set_errno(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_NOT_FOUND:
        errno = ENOENT;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_CANNOT_MAKE:
        errno = EACCES;
        break;
    case ERROR_WRITE_PROTECT:
        errno = EROFS;
        break;
    // Sharing, which Windows enforces and POSIX has no word for (io.h).
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
        errno = EBUSY;
        break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        errno = EEXIST;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
    case ERROR_FILE_TOO_LARGE:
        errno = EFBIG;
        break;
    case ERROR_DIRECTORY:
        errno = ENOTDIR;
        break;
    case ERROR_DIR_NOT_EMPTY:
        errno = ENOTEMPTY;
        break;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BUFFER_OVERFLOW:
        errno = ENAMETOOLONG;
        break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        errno = ENOMEM;
        break;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
        errno = EPIPE;
        break;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
    case ERROR_NEGATIVE_SEEK:
    case ERROR_NOT_SUPPORTED:
        errno = EINVAL;
        break;
    case ERROR_INVALID_HANDLE:
        errno = EBADF;
        break;
    case ERROR_TOO_MANY_OPEN_FILES:
        errno = EMFILE;
        break;
    default:
        errno = EIO;
        break;
    }
}

void set_errno_nt(long status)
{
    set_errno(RtlNtStatusToDosError(static_cast<NTSTATUS>(status)));
}

int to_fd(HANDLE h)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | _O_NOINHERIT);
    if (fd < 0) {
        CloseHandle(h);
        errno = EMFILE;
    }
    return fd;
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

} // namespace velkor_io::detail
