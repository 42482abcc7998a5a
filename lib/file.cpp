// SPDX-License-Identifier: MIT
// Whole-file helpers: size, read and write a file by path through stdio.
// On Windows a name is UTF-8, whatever the process's code page, and is
// handed to the C run-time's wide-character calls as the UTF-16 name
// Windows keeps (velkor(3)); elsewhere it is bytes, as the system takes it.
#include "velkor.h"

#include <cerrno>
#include <cstdio>

#if defined(_WIN32)
#include "utf8.h"

#include <filesystem>
#include <string>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#if defined(_WIN32)

namespace {

FILE *open_file(const char *path, bool writing)
{
    std::wstring name;
    if (!velkor::utf8_to_wide(path, name))
        return nullptr;
    return _wfopen(name.c_str(), writing ? L"wb" : L"rb");
}

// After a failed write: remove `path` if it is a regular file (a link to
// one included), never a device such as NUL or a pipe.  Windows' C
// run-time cannot tell what a stream is open on without its POSIX-style
// headers, so this asks the name.
void remove_if_regular(const char *path)
{
    std::wstring name;
    std::error_code ec;
    if (velkor::utf8_to_wide(path, name) && std::filesystem::is_regular_file(name, ec))
        _wremove(name.c_str());
}

} // namespace

extern "C" int64_t get_file_size(const char *path)
{
    std::wstring name;
    if (!velkor::utf8_to_wide(path, name))
        return -1;
    std::error_code ec;
    const auto size = std::filesystem::file_size(name, ec);
    return ec ? -1 : static_cast<int64_t>(size);
}

#else

namespace {

FILE *open_file(const char *path, bool writing) { return fopen(path, writing ? "wb" : "rb"); }

} // namespace

extern "C" int64_t get_file_size(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return -1;
    return static_cast<int64_t>(st.st_size);
}

#endif

extern "C" int read_file_to_buf(const char *path, uint8_t *buf, size_t len)
{
    FILE *f = open_file(path, false);
    if (f == nullptr)
        return -1;
    // Cleared so that a file merely shorter than len leaves errno at 0.
    errno = 0;
    // One block of len bytes: it counts only if all of it arrived.  Reading
    // nothing is not a failure.
    const bool ok = len == 0 || fread(buf, len, 1, f) == 1;
    fclose(f);
    return ok ? 0 : -1;
}

extern "C" int write_buf_to_file(const char *path, const uint8_t *buf, size_t len)
{
    FILE *f = open_file(path, true);
    if (f == nullptr)
        return -1;
    errno = 0;
    bool ok = len == 0 || fwrite(buf, len, 1, f) == 1;
    // A full disk often shows only when the buffered tail is flushed or the
    // file closed, so both count as the write failing.
    if (fflush(f) != 0)
        ok = false;
#if !defined(_WIN32)
    // Ask the open stream, not the path, what was written to: a path that is
    // a link to a regular file is removed like the file itself would be,
    // while a device or FIFO (say /dev/full) must never be unlinked.
    struct stat st;
    const bool regular = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
#endif
    if (fclose(f) != 0)
        ok = false;
    if (ok)
        return 0;
    // Leave the caller the write's error, not the removal's.
    const int saved = errno;
#if defined(_WIN32)
    remove_if_regular(path);
#else
    if (regular)
        unlink(path);
#endif
    errno = saved;
    return -1;
}
