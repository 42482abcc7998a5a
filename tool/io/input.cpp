// SPDX-License-Identifier: MIT
// Inputs, found by the walk and its rule, read from the start to their end
// in pieces; nameless spool files; whole reads.
#include "internal.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <err.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velkor_io {
namespace {

// Reads up to len bytes, at *at when given, stopping short only at the end
// of the file; resumes after EINTR.
ssize_t read_fully(int fd, void *buf, size_t len, const uint64_t *at)
{
    auto p = static_cast<uint8_t *>(buf);
    size_t got = 0;
    while (got < len) {
        const ssize_t n = at != nullptr ? pread(fd, p + got, len - got, static_cast<off_t>(*at + got))
                                        : ::read(fd, p + got, len - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

} // namespace

int anonymous_file()
{
    const char *tmp = getenv("TMPDIR");
    const std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    int fd = ::open(dir.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    // No O_TMPFILE on this file system: a named file, unlinked at once.
    std::string name = dir + "/." + std::string(program_invocation_short_name).substr(0, 32) + ".XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0)
        unlink(name.c_str());
    return fd;
}

ssize_t read_full(int fd, void *buf, size_t len) { return read_fully(fd, buf, len, nullptr); }

ssize_t read_full_at(int fd, void *buf, size_t len, uint64_t offset)
{
    return read_fully(fd, buf, len, &offset);
}

file_id id_of_fd(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? file_id::of(st) : file_id{};
}

file_id id_of_input(const char *path)
{
    if (strcmp(path, "-") == 0)
        return id_of_fd(0);
    detail::walked w;
    if (!detail::walk(path, w, detail::walk_end::look) || !w.exists)
        return {};
    return file_id::of(w.st);
}

bool input::open_file(const char *path)
{
    refusal_ = nullptr;
    // Looked at first (O_PATH, which never blocks, not even on a FIFO
    // without a writer), judged by the rule, and only then opened: the
    // very file that was judged.
    detail::walked w;
    if (!detail::walk(path, w, detail::walk_end::look)) {
        refusal_ = w.why;
        return false;
    }
    if (!w.exists) {
        errno = ENOENT;
        return false;
    }
    if (S_ISDIR(w.st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    const int fd = detail::reopen(w, O_RDONLY);
    if (fd < 0)
        return false;
    return adopt(fd);
}

ssize_t input::read_some(void *buf, size_t len)
{
    for (;;) {
        const ssize_t n = ::read(fd_, buf, len);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

bool input::adopt(int fd)
{
    if (close_fd_)
        close(fd_);
    fd_ = fd;
    close_fd_ = true;
    return take_status();
}

bool input::take_status()
{
    struct stat st;
    if (fstat(fd_, &st) != 0)
        return false;
    id_ = file_id::of(st);
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    size_known_ = S_ISREG(st.st_mode);
    size_ = size_known_ ? static_cast<uint64_t>(st.st_size) : 0;
    // Standard input may be a file the shell has already read into.
    const bool still = size_known_ || S_ISBLK(st.st_mode);
    const off_t at = still ? lseek(fd_, 0, SEEK_CUR) : 0;
    rereadable_ = still && at >= 0;
    base_ = at > 0 ? static_cast<uint64_t>(at) : 0;
    if (at > 0)
        size_ = static_cast<uint64_t>(at) < size_ ? size_ - static_cast<uint64_t>(at) : 0;
    if (size_known_)
        posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

ssize_t input::read(void *buf, size_t len)
{
    return read_full(fd_, buf, len);
}

ssize_t input::read_at(void *buf, size_t len, uint64_t offset)
{
    return read_full_at(fd_, buf, len, base_ + offset);
}

bool input::device_size(uint64_t &size) const
{
    uint64_t bytes = 0;
    if (!S_ISBLK(id_.mode) || ioctl(fd_, BLKGETSIZE64, &bytes) != 0)
        return false;
    size = bytes > base_ ? bytes - base_ : 0;
    return true;
}

} // namespace velkor_io
