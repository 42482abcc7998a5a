// SPDX-License-Identifier: MIT
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
#include <limits.h>
#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

constexpr size_t header_len = VELKOR_TAG_HEADER_LEN;

// The whole run is one read into fresh memory, one CRC pass and one write,
// so for a large file its cost is mostly the first touch of every page of
// the buffer: a fault, then zeroing, per 4 KiB.  Ask for transparent huge
// pages, which take one fault per 2 MiB and free faster; the CRC pass and
// the write then miss the TLB less too.  Only advice: any failure is
// harmless and leaves errno for no one.
void advise_huge_pages([[maybe_unused]] uint8_t *buf, [[maybe_unused]] size_t len)
{
#if !defined(_WIN32) // Windows gives large pages only to a privileged few
    constexpr size_t huge = size_t{2} << 20;
    if (len < 2 * huge)
        return;
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t start = (reinterpret_cast<uintptr_t>(buf) + page - 1) & ~(page - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(buf) + len) & ~(page - 1);
    int saved = errno;
    madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
    errno = saved;
#endif
}

// The input's status reports size 0: an empty file, or a pipe, FIFO,
// /proc file or character device whose status tells nothing of its
// length.  Read it to its end, growing the buffer, so that its bytes are
// tagged rather than silently dropped.  More than the length field can
// describe is refused before anything is written.
uint8_t *read_to_end(velkor_io::input &from, const char *in, size_t &size)
{
    constexpr size_t most = size_t{VELKOR_TAG_MAX_PAYLOAD} + header_len;
    size_t cap = size_t{64} << 10, used = header_len;
    auto *buf = static_cast<uint8_t *>(malloc(cap));
    for (;;) {
        if (buf == nullptr)
            err(1, "malloc");
        const ssize_t n = from.read(buf + used, cap - used);
        if (n < 0)
            err(1, "%s", in);
        used += static_cast<size_t>(n);
        if (used < cap)
            break;
        if (cap > most) {
            errno = EFBIG;
            err(1, "%s", in);
        }
        // One byte past the limit is enough to know the input is too long.
        cap = cap <= most / 2 ? cap * 2 : most + 1;
        buf = static_cast<uint8_t *>(realloc(buf, cap));
    }
    size = used - header_len;
    return buf;
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

    // <in> is walked by the rules every name follows (io.h), "-" being a
    // file of that name; a directory is refused before anything is
    // allocated, whatever size its file system reports for it.  It is read
    // whole and closed before <out> is opened: Windows replaces no file
    // that is still open, and <out> may be <in>.
    size_t size;
    uint8_t *buf;
    velkor_io::file_id in_id;
    {
        velkor_io::input from;
        if (!from.open_file(in))
            velkor_io::fail_refused(in, from.refusal());
        in_id = from.id();
        // The total length must fit the 32-bit length field.
        if (from.size_known() && from.size() > VELKOR_TAG_MAX_PAYLOAD) {
            errno = EFBIG;
            err(1, "%s", in);
        }
        size = from.size_known() ? static_cast<size_t>(from.size()) : 0;
        if (size > 0) {
            // Exactly the size the status reports, never more.
            buf = static_cast<uint8_t *>(malloc(size + header_len));
            if (buf == nullptr)
                err(1, "malloc");
            advise_huge_pages(buf, size + header_len);
            const ssize_t n = from.read(buf + header_len, size);
            if (n < 0)
                err(1, "%s", in);
            if (static_cast<size_t>(n) < size)
                errx(1, "%s: unexpected end of file", in);
        } else {
            buf = read_to_end(from, in, size);
        }
    }
    const size_t total = size + header_len;

    // The header goes in front of the payload; its CRC covers both.
    velkor_crc_state crc;
    velkor_crc_init(&crc);
    velkor_crc_update(&crc, buf + header_len, size);
    if (velkor_tag_build(buf, &crc) != 0) {
        errno = EFBIG;
        err(1, "%s", in);
    }

    // <out> is walked once, by the rules every name follows (io.h), and
    // the file found is the file written: truncated in place, or made with
    // mode 0644 when missing.  It may name the input file itself (perhaps
    // through a link): its tagged form then replaces it through a
    // temporary file beside it, so a failure leaves the original
    // untouched, and the file keeps its mode and, where allowed, its
    // owner.  So is a file with more than one link replaced, whose other
    // names keep the old bytes.  Only a regular file is so replaced: a
    // device named twice (say /dev/null) is written in place.
    velkor_io::output o;
    if (!o.open_truncating(out, in_id))
        velkor_io::fail_refused(out, o.refusal());
    // A failed close can mean the data never reached the file (NFS,
    // quotas): that is a failed write, not a success.  A file written in
    // place keeps what it got, as any failed write leaves it.
    if (!o.write(buf, total) || !o.commit()) {
        o.discard();
        err(1, "%s", out);
    }
    free(buf);
    return 0;
}
