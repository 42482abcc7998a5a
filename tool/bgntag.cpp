// bgntag <in> <out>: write <out> as a 20-byte "bgn" header followed by the
// bytes of <in>.  The header holds the total length and the cksum-style CRC
// of the whole tagged file, taken while the CRC field is zero.
//
// Quiet on success; every failure is one err(3) line and status 1.
#include "velkor.h"
#include "io.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <err.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t header_len = VELKOR_TAG_HEADER_LEN;

// Read exactly len bytes; a single read(2) moves at most about 2 GiB and
// may be interrupted, so loop.  Returns 0, -1 with errno set, or 1 when the
// file ends early.
int read_full(int fd, uint8_t *p, size_t len)
{
    while (len > 0) {
        ssize_t n = read(fd, p, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            return 1;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

// The whole run is one read into fresh memory, one CRC pass and one write,
// so for a large file its cost is mostly the first touch of every page of
// the buffer: a fault, then zeroing, per 4 KiB.  Ask for transparent huge
// pages, which take one fault per 2 MiB and free faster; the CRC pass and
// the write then miss the TLB less too.  Only advice: any failure is
// harmless and leaves errno for no one.
void advise_huge_pages(uint8_t *buf, size_t len)
{
    constexpr size_t huge = size_t{2} << 20;
    if (len < 2 * huge)
        return;
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t start = (reinterpret_cast<uintptr_t>(buf) + page - 1) & ~(page - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(buf) + len) & ~(page - 1);
    int saved = errno;
    madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
    errno = saved;
}

// <out> names the input file itself (perhaps through a link): its tagged
// form replaces it through a temporary file beside the real file, so a
// failure leaves the original untouched.  The replacement keeps the file's
// mode and, where allowed, its owner.
void replace_same_file(const char *out, const uint8_t *buf, size_t len)
{
    velkor_io::output o;
    if (!o.open(out) || !o.write(buf, len) || !o.commit()) {
        o.discard();
        err(1, "%s", out);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s <in> <out>\n", argv[0]);
        return 1;
    }
    const char *in = argv[1];
    const char *out = argv[2];
    velkor_io::setup_exit_and_signals();

    int fd = open(in, O_RDONLY);
    if (fd < 0)
        err(1, "%s", in);
    struct stat st;
    if (fstat(fd, &st) != 0)
        err(1, "%s", in);
    // A directory opens, but has no bytes to tag; say so before allocating,
    // whatever size its file system reports for it.
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        err(1, "%s", in);
    }
    // The total length must fit the 32-bit length field.
    if (static_cast<uint64_t>(st.st_size) >= UINT64_C(0x100000000) - header_len) {
        errno = EFBIG;
        err(1, "%s", in);
    }
    const size_t size = static_cast<size_t>(st.st_size);
    const size_t total = size + header_len;

    auto *buf = static_cast<uint8_t *>(malloc(total));
    if (buf == nullptr)
        err(1, "malloc");
    advise_huge_pages(buf, total);

    int rc = read_full(fd, buf + header_len, size);
    if (rc < 0)
        err(1, "%s", in);
    if (rc > 0)
        errx(1, "%s: unexpected end of file", in);
    close(fd);

    // The header goes in front of the payload; its CRC covers both.
    velkor_crc_state crc;
    velkor_crc_init(&crc);
    velkor_crc_update(&crc, buf + header_len, size);
    if (velkor_tag_build(buf, &crc) != 0) {
        errno = EFBIG;
        err(1, "%s", in);
    }

    // Only a regular file is replaced through a temporary file: a device
    // named twice (say /dev/null) is written in place, never renamed over.
    struct stat ost;
    if (S_ISREG(st.st_mode) && stat(out, &ost) == 0 && ost.st_dev == st.st_dev &&
        ost.st_ino == st.st_ino) {
        replace_same_file(out, buf, total);
    } else {
        int ofd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (ofd < 0)
            err(1, "%s", out);
        // A failed close can mean the data never reached the file (NFS,
        // quotas): that is a failed write, not a success.
        if (!velkor_io::write_all(ofd, buf, total) || close(ofd) != 0)
            err(1, "%s", out);
    }
    free(buf);
    return 0;
}
