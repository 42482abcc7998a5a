/* SPDX-License-Identifier: MIT */
/*
 * An LD_PRELOAD shim for the scan tests: it disturbs the reads of one file,
 * to show what velkor does with an image that fails or changes part-way.
 *
 *   VELKOR_SHIM_FILE  the file, known by its device and inode
 *   VELKOR_SHIM_FAIL  N: the Nth read(2) of it fails with EIO
 *   VELKOR_SHIM_FLIP  set: every pread(2) of it comes back with its last
 *                     byte changed, as if the file changed after the scan
 *   VELKOR_SHIM_SHRINK N: once the first read(2) of it has returned, the
 *                     file is cut to N bytes, as if another program
 *                     truncated it while it is scanned (the file is the
 *                     test's own, in its scratch directory)
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

/* The next definition of `name`, as POSIX has dlsym's result taken. */
static void next(const char *name, void *fn)
{
    void *p = dlsym(RTLD_NEXT, name);
    memcpy(fn, &p, sizeof p);
}

static int is_target(int fd)
{
    static int looked;
    static struct stat want;
    static int have;
    struct stat st;
    if (!looked) {
        const char *path = getenv("VELKOR_SHIM_FILE");
        have = path != NULL && stat(path, &want) == 0;
        looked = 1;
    }
    return have && fstat(fd, &st) == 0 && st.st_dev == want.st_dev && st.st_ino == want.st_ino;
}

ssize_t read(int fd, void *buf, size_t len)
{
    static ssize_t (*real)(int, void *, size_t);
    static long count;
    if (real == NULL)
        next("read", &real);
    if (is_target(fd)) {
        const char *fail = getenv("VELKOR_SHIM_FAIL");
        const char *shrink = getenv("VELKOR_SHIM_SHRINK");
        ++count;
        if (fail != NULL && count == atol(fail)) {
            errno = EIO;
            return -1;
        }
        if (shrink != NULL && count == 1) {
            const ssize_t n = real(fd, buf, len);
            const int e = errno;
            if (truncate(getenv("VELKOR_SHIM_FILE"), (off_t)atol(shrink)) != 0)
                abort();
            errno = e;
            return n;
        }
    }
    return real(fd, buf, len);
}

static ssize_t flipped(int fd, void *buf, ssize_t n)
{
    if (n > 0 && getenv("VELKOR_SHIM_FLIP") != NULL && is_target(fd))
        ((unsigned char *)buf)[n - 1] ^= 0x01;
    return n;
}

ssize_t pread(int fd, void *buf, size_t len, off_t at)
{
    static ssize_t (*real)(int, void *, size_t, off_t);
    if (real == NULL)
        next("pread", &real);
    return flipped(fd, buf, real(fd, buf, len, at));
}

ssize_t pread64(int fd, void *buf, size_t len, off_t at)
{
    static ssize_t (*real)(int, void *, size_t, off_t);
    if (real == NULL)
        next("pread64", &real);
    return flipped(fd, buf, real(fd, buf, len, at));
}
