// SPDX-License-Identifier: MIT
// Inputs on Windows, found by the walk and its rule, read from the start to
// their end in pieces; nameless spool files; whole reads and writes.
#include "internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include <io.h>
#include <sys/stat.h>
#include <winioctl.h>

namespace velkor_io {

using detail::handle_of;

namespace detail {
namespace {

// The most one ReadFile or WriteFile call is asked for.
constexpr size_t most_per_call = size_t{1} << 30;

// Runs f at `at`, leaving the file pointer where it was, as pread(2) and
// pwrite(2) do.
template <class F> bool at_offset(HANDLE h, uint64_t at, F f)
{
    LARGE_INTEGER zero{}, was;
    if (!SetFilePointerEx(h, zero, &was, FILE_CURRENT)) {
        set_errno(GetLastError());
        return false;
    }
    const bool ok = f(at);
    const int e = errno;
    SetFilePointerEx(h, was, nullptr, FILE_BEGIN);
    errno = e;
    return ok;
}

// One ReadFile or WriteFile, at `at` when given.
bool transfer(HANDLE h, void *p, size_t len, const uint64_t *at, bool writing, DWORD &done)
{
    OVERLAPPED o{};
    if (at != nullptr) {
        o.Offset = static_cast<DWORD>(*at);
        o.OffsetHigh = static_cast<DWORD>(*at >> 32);
    }
    const auto n = static_cast<DWORD>(std::min(len, most_per_call));
    const BOOL ok = writing ? WriteFile(h, p, n, &done, at != nullptr ? &o : nullptr)
                            : ReadFile(h, p, n, &done, at != nullptr ? &o : nullptr);
    if (ok)
        return true;
    const DWORD e = GetLastError();
    // The end of a pipe's or a file's bytes is no failure.
    if (!writing && (e == ERROR_BROKEN_PIPE || e == ERROR_HANDLE_EOF)) {
        done = 0;
        return true;
    }
    set_errno(e);
    return false;
}

} // namespace

int64_t read_fully(HANDLE h, void *buf, size_t len, const uint64_t *at)
{
    auto p = static_cast<uint8_t *>(buf);
    size_t got = 0;
    const auto loop = [&](const uint64_t *from) {
        while (got < len) {
            DWORD n = 0;
            uint64_t where = from != nullptr ? *from + got : 0;
            if (!transfer(h, p + got, len - got, from != nullptr ? &where : nullptr, false, n))
                return false;
            if (n == 0)
                break;
            got += n;
        }
        return true;
    };
    const bool ok = at != nullptr ? at_offset(h, *at, [&](uint64_t a) { return loop(&a); }) : loop(nullptr);
    return ok ? static_cast<int64_t>(got) : -1;
}

bool write_fully(HANDLE h, const uint8_t *p, size_t len, uint64_t *at)
{
    const auto loop = [&](uint64_t *where) {
        while (len > 0) {
            DWORD n = 0;
            if (!transfer(h, const_cast<uint8_t *>(p), len, where, true, n))
                return false;
            if (n == 0) {
                errno = ENOSPC;
                return false;
            }
            p += n;
            len -= n;
            if (where != nullptr)
                *where += n;
        }
        return true;
    };
    return at != nullptr ? at_offset(h, *at, [&](uint64_t) { return loop(at); }) : loop(nullptr);
}

} // namespace detail

int anonymous_file()
{
    wchar_t dir[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, dir);
    if (n == 0 || n > MAX_PATH) {
        detail::set_errno(GetLastError());
        return -1;
    }
    for (int tries = 0; tries < 100; tries++) {
        std::wstring name = std::wstring(dir) + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
                            std::to_wstring(GetTickCount64() + static_cast<unsigned>(tries)) + L".tmp";
        // No other handle may open it, and it goes with ours.
        HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE,
                               nullptr);
        if (h != INVALID_HANDLE_VALUE)
            return detail::to_fd(h);
        if (GetLastError() != ERROR_FILE_EXISTS) {
            detail::set_errno(GetLastError());
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

ssize_t read_full(int fd, void *buf, size_t len) { return detail::read_fully(handle_of(fd), buf, len, nullptr); }

ssize_t read_full_at(int fd, void *buf, size_t len, uint64_t offset)
{
    return detail::read_fully(handle_of(fd), buf, len, &offset);
}

bool write_all(int fd, const void *buf, size_t len)
{
    return detail::write_fully(handle_of(fd), static_cast<const uint8_t *>(buf), len, nullptr);
}

bool write_all_at(int fd, const void *buf, size_t len, uint64_t offset)
{
    return detail::write_fully(handle_of(fd), static_cast<const uint8_t *>(buf), len, &offset);
}

file_id id_of_fd(int fd) { return detail::id_of_handle(handle_of(fd)); }

file_id id_of_input(const char *path)
{
    if (strcmp(path, "-") == 0)
        return id_of_fd(0);
    detail::walked w;
    if (!detail::walk(path, w, detail::walk_end::look) || !w.exists)
        return {};
    return w.info.id;
}

bool input::open_file(const char *path)
{
    refusal_ = nullptr;
    detail::walked w;
    if (!detail::walk(path, w, detail::walk_end::look)) {
        refusal_ = w.why;
        return false;
    }
    if (!w.exists) {
        errno = ENOENT;
        return false;
    }
    if (w.info.directory()) {
        errno = EISDIR;
        return false;
    }
    // Others may go on reading, writing, renaming or removing it meanwhile,
    // as on POSIX systems.
    HANDLE h = detail::reopen(w, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (h == nullptr)
        return false;
    const int fd = detail::to_fd(h);
    return fd >= 0 && adopt(fd);
}

ssize_t input::read_some(void *buf, size_t len)
{
    DWORD n = 0;
    return detail::transfer(handle_of(fd_), buf, len, nullptr, false, n) ? static_cast<ssize_t>(n) : -1;
}

bool input::adopt(int fd)
{
    if (close_fd_)
        _close(fd_);
    fd_ = fd;
    close_fd_ = true;
    return take_status();
}

bool input::take_status()
{
    HANDLE h = handle_of(fd_);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return false;
    }
    id_ = detail::id_of_handle(h);
    if (id_.mode == S_IFDIR) {
        errno = EISDIR;
        return false;
    }
    size_known_ = id_.valid && id_.mode == S_IFREG;
    LARGE_INTEGER size{};
    if (size_known_ && !GetFileSizeEx(h, &size)) {
        detail::set_errno(GetLastError());
        return false;
    }
    size_ = size_known_ ? static_cast<uint64_t>(size.QuadPart) : 0;
    // A disk opened whole holds its bytes still, as a file does; standard
    // input may be a file the shell has already read into.
    uint64_t whole;
    const bool still = size_known_ || device_size(whole);
    LARGE_INTEGER zero{}, at{};
    rereadable_ = still && SetFilePointerEx(h, zero, &at, FILE_CURRENT);
    base_ = rereadable_ ? static_cast<uint64_t>(at.QuadPart) : 0;
    if (base_ > 0)
        size_ = base_ < size_ ? size_ - base_ : 0;
    return true;
}

ssize_t input::read(void *buf, size_t len) { return read_full(fd_, buf, len); }

ssize_t input::read_at(void *buf, size_t len, uint64_t offset) { return read_full_at(fd_, buf, len, base_ + offset); }

bool input::device_size(uint64_t &size) const
{
    if (id_.mode == S_IFREG || id_.mode == S_IFDIR)
        return false;
    GET_LENGTH_INFORMATION length;
    DWORD got;
    if (!DeviceIoControl(handle_of(fd_), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &got,
                         nullptr))
        return false;
    const auto bytes = static_cast<uint64_t>(length.Length.QuadPart);
    size = bytes > base_ ? bytes - base_ : 0;
    return true;
}

} // namespace velkor_io
