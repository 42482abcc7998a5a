// SPDX-License-Identifier: MIT
// Whole-file helpers: size, read and write a file by path through stdio.
#include "velkor.h"

#include <cerrno>
#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

extern "C" int64_t get_file_size(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return -1;
    return static_cast<int64_t>(st.st_size);
}

extern "C" int read_file_to_buf(const char *path, uint8_t *buf, size_t len)
{
    FILE *f = fopen(path, "r");
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
    FILE *f = fopen(path, "w");
    if (f == nullptr)
        return -1;
    errno = 0;
    bool ok = len == 0 || fwrite(buf, len, 1, f) == 1;
    // A full disk often shows only when the buffered tail is flushed or the
    // file closed, so both count as the write failing.
    if (fflush(f) != 0)
        ok = false;
    // Ask the open stream, not the path, what was written to: a path that is
    // a link to a regular file is removed like the file itself would be,
    // while a device or FIFO (say /dev/full) must never be unlinked.
    struct stat st;
    const bool regular = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
    if (fclose(f) != 0)
        ok = false;
    if (ok)
        return 0;
    if (regular) {
        // Leave the caller the write's error, not the removal's.
        const int saved = errno;
        unlink(path);
        errno = saved;
    }
    return -1;
}
