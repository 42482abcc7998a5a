// SPDX-License-Identifier: MIT
// The scanner: every tagged file and container inside a larger image, found
// in one pass over it, whatever the pieces it arrives in.
//
// Positions.  Three offsets move forward through the image:
//   pos       bytes fed so far;
//   frontier  the next offset to examine as a start;
//   cursor    where the CRC register (while it runs) and every payload
//             being deciphered have got to.
// A start is examined once ENC_MAX_HEADER_LEN bytes from it are in (or the
// image has ended), so that what it is never depends on where a piece
// ends; the bytes from the frontier to pos are kept in a carry of at most
// ENC_MAX_HEADER_LEN - 1 bytes.  The cursor never passes the frontier, so
// every position a candidate needs (its offset, its end) is at or ahead of
// the cursor when the candidate is found.
//
// Tagged files.  Let R(n) be a CRC register run from zero at some offset
// b <= n up to n.  The register is linear in the data (crc_combine.cpp),
// so over the L bytes B of a candidate at o, read as they are,
//   reg(B) = R(o+L) + R(o) x^(8L)  mod P   whatever b is, if b <= o.
// The file's CRC is taken with its CRC field zero: B less D, D being zero
// but for the stored field s at bytes 16..19.  Over D the register is zero
// for 16 bytes, s x^32 after the next four, and that times x^(8(L-20))
// after the rest, so
//   reg(file, CRC field zero) = R(o+L) + K x^(8(L-20)),
//   K = R(o) x^160 + s x^32  mod P.
// The scan brings the register to o when it keeps a candidate there (the
// cursor is then at or before o), forms K at once, and at o+L does one
// power and one product; nothing is read twice, and the header is not run
// through the CRC separately.  The register runs only while some tagged
// candidate is open, and starts again from zero at the candidate's offset
// when one opens after none was (then R(o) = 0): over an image without
// candidates the scan computes no CRC at all.
//
// Order and memory.  Candidates are kept in order of offset.  A candidate
// is resolved at its end (or when the image ends: truncated), and handed
// out once everything before it is resolved, so that the innermost
// verified find around it is known.  Candidates from the oldest unresolved
// one on count against the memory limit, each at what it holds (see
// costs below); a candidate that would exceed it is dropped when found.
// Everything that decides a drop happens at image positions in a fixed
// order (events at or before an offset, then the start at that offset),
// so drops, like finds, do not depend on the pieces.
//
// A known length.  When the caller gives the image's length, a candidate
// whose end lies past it is resolved as truncated the moment it is found:
// it never opens the CRC register, a cipher or an entry among the ends, so
// a flood of headers claiming gigabytes costs each one record, and only
// while a candidate before it is still open.
//
// Passes.  An image that can be read again need not lose what a drop
// hides.  In a pass, the first candidate dropped while others were pending
// marks where the next pass starts; from there on this pass looks at no
// start (every find from there comes out of a later pass, in order), and
// only resolves what it holds.  The next pass begins with nothing pending,
// so its first candidate fits unless it alone exceeds the limit: such a
// candidate is dropped and counted in every mode, since no pass could
// keep it.  Each pass so gets past the start where the last one stopped,
// and the finds handed out over all passes are those of one pass with
// unbounded memory.  The verified finds that enclose later ones
// (`enclosing`) are carried from pass to pass, so `inside` is too.
#include "velkor.h"
#include "be32.h"
#include "checksum_kernels.h"
#include "cipher_key.h"
#include "container_internal.h"
#include "crc_combine.h"
#include "scan_search.h"
#include "tag_internal.h"

#if defined(VELKOR_HAVE_X86_KERNELS)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr size_t lookahead = ENC_MAX_HEADER_LEN; // bytes examined at a start
constexpr size_t tag_len = VELKOR_TAG_HEADER_LEN;
static_assert(velkor::tag_layout::crc_at + 4 == tag_len,
              "K (see above) takes the CRC field as the header's last four bytes");
constexpr uint64_t none = UINT64_MAX;

// At most this many payloads are deciphered at once (see velkor.h).
constexpr size_t max_deciphers = VELKOR_SCAN_MAX_DECIPHERS;

// A pending candidate, kept small: an image of back-to-back headers keeps
// hundreds of thousands of them, and each is written once and read about
// three times.  What a tagged find reports follows from these fields; a
// container's details (magic, lengths, texts) wait in a queue of their own
// (velkor_scanner::details), in the same order.
struct candidate {
    uint64_t offset;
    uint64_t end;     // offset + length, possibly past the image
    uint32_t reg;     // tagged: K (see the top of this file), then the computed CRC
    uint32_t stored;  // tagged: the CRC field
    uint8_t kind;     // velkor_find_kind
    uint8_t reason;   // velkor_scan_reason, once resolved
    bool resolved;
    bool deciphering; // container: a payload cipher is running
};

// end -> the candidates ending there.  A list of sequence numbers, not a
// chain through the records: many may end at one offset, and a chain
// would visit them one cache miss after another.
using end_index = std::map<uint64_t, std::vector<uint64_t>>;

// What a pending candidate holds, counted as the allocations that hold it
// (with the allocator's header on each taken as 16 bytes), so that the
// memory limit is memory:
//  - its record, in a queue of large chunks: sizeof(candidate);
//  - a container's details, likewise: sizeof(velkor_find);
//  - unless it was resolved when found, its place among the ends: for a
//    new end, a tree node (four words of links and colour, the key and
//    the list's header) and the list's storage, one entry to begin with;
//    the list's capacity is doubled by the scanner itself when full, and
//    the growth counted then;
//  - a payload being deciphered: see decipher::cost.
// The figures depend on the build alone, so drops are the same on every
// machine a build runs on.
constexpr size_t alloc_header = 16;
constexpr size_t record_cost = sizeof(candidate);
constexpr size_t detail_cost = sizeof(velkor_find);
constexpr size_t list_entry = sizeof(uint64_t);
constexpr size_t node_cost =
    4 * sizeof(void *) + sizeof(end_index::value_type) + alloc_header + alloc_header;
constexpr size_t new_end_cost = node_cost + list_entry;

// Where a new end goes among the ends, and what adding it there costs.
struct end_slot {
    end_index::iterator it;
    bool shared; // other candidates end there already
    uint64_t cost;
};

struct decipher {
    uint64_t seq;
    uint64_t detail; // sequence number of its details
    uint64_t payload_at, payload_end; // trailer: 4 bytes from payload_end
    enc_stream st;
    enc_info info;
    uint8_t trailer[4];
    uint64_t cost; // its record and its table (256 entries, or D with data-sized tables)
};

// A queue in chunks of many records: std::deque would allocate one block
// per record or two of this size, and a scan may hold hundreds of
// thousands.  Chunks emptied at the front are kept for reuse at the back.
template <typename T> class chunk_queue {
public:
    size_t size() const { return size_; }
    T &operator[](size_t k)
    {
        const size_t at = first_ + k;
        return chunks_[head_ + at / chunk][at % chunk];
    }
    const T &operator[](size_t k) const
    {
        const size_t at = first_ + k;
        return chunks_[head_ + at / chunk][at % chunk];
    }
    T &front() { return (*this)[0]; }
    const T &front() const { return (*this)[0]; }
    T &back() { return (*this)[size_ - 1]; }

    void push_back(const T &x)
    {
        const size_t at = first_ + size_;
        if (head_ + at / chunk == chunks_.size()) {
            if (!spare_.empty()) {
                chunks_.push_back(std::move(spare_.back()));
                spare_.pop_back();
            } else {
                // Left uninitialised, as make_unique_for_overwrite would
                // (which the WebAssembly build's C++ library lacks).
                chunks_.push_back(std::unique_ptr<T[]>(new T[chunk]));
            }
        }
        chunks_[head_ + at / chunk][at % chunk] = x;
        size_++;
    }

    void pop_front()
    {
        size_--;
        if (++first_ == chunk) {
            first_ = 0;
            if (spare_.empty())
                spare_.push_back(std::move(chunks_[head_]));
            else
                chunks_[head_].reset();
            // Emptied slots at the front are removed in one go once they
            // are half the list, not one at a time: a queue of many chunks
            // is often emptied from the front at once.
            if (++head_ * 2 >= chunks_.size()) {
                chunks_.erase(chunks_.begin(), chunks_.begin() + static_cast<ptrdiff_t>(head_));
                head_ = 0;
            }
        }
    }

private:
    static constexpr size_t chunk = 256;
    std::vector<std::unique_ptr<T[]>> chunks_, spare_;
    size_t head_ = 0; // chunks_[0 .. head_) are emptied slots
    size_t first_ = 0, size_ = 0;
};

// The bytes available during one call: the carry, then the piece.
struct window {
    const uint8_t *carry;
    uint64_t carry_at;
    size_t carry_len;
    const uint8_t *piece;
    uint64_t piece_at;
    size_t piece_len;

    uint64_t end() const { return piece_at + piece_len; }

    uint8_t at(uint64_t o) const
    {
        return o >= piece_at ? piece[o - piece_at] : carry[o - carry_at];
    }

    // n bytes from o, contiguous: in the piece itself, or copied to tmp.
    const uint8_t *bytes(uint64_t o, size_t n, uint8_t *tmp) const
    {
        if (o >= piece_at)
            return piece + (o - piece_at);
        for (size_t k = 0; k < n; k++)
            tmp[k] = at(o + k);
        return tmp;
    }

    // Calls f(pointer, count, offset) on the parts of [a, b).
    template <typename F> void each(uint64_t a, uint64_t b, F f) const
    {
        if (a < piece_at && a < b) {
            const uint64_t e = std::min(b, piece_at);
            f(carry + (a - carry_at), static_cast<size_t>(e - a), a);
            a = e;
        }
        if (a < b)
            f(piece + (a - piece_at), static_cast<size_t>(b - a), a);
    }
};

} // namespace

// ---------------------------------------------------------------------------
// The search for starts (see scan_search.h).

namespace {

// Whether a start at p could open a find, from two of its bytes: "bgn" ...
// 0xB1, "start", "asar1".  Any false hit is refused by the full check.
inline bool maybe_start(const uint8_t *p)
{
    return (p[0] == 'b' && p[11] == 0xB1) || (p[0] == 's' && p[4] == 't') ||
           (p[0] == 'a' && p[4] == '1');
}

// find_starts_W: W starts are tested at once, reading 11 bytes past them;
// a block with a hit gives its starts from the hit mask (x86) or by
// looking at each (generic), and the starts too near `readable` for a whole
// block are looked at one by one.

// The starts in [i, end) one by one, into out[n..max); returns the new n.
inline size_t each_start(const uint8_t *p, size_t i, size_t end, size_t *out, size_t n,
                         size_t max)
{
    for (; i < end && n < max; i++)
        if (maybe_start(p + i))
            out[n++] = i;
    return n;
}

#if defined(VELKOR_HAVE_X86_KERNELS)
// The starts at i + the set bits of mask below `to`, into out[n..max).
inline size_t mask_starts(uint64_t mask, size_t i, size_t to, size_t *out, size_t n, size_t max)
{
    for (; mask != 0 && n < max; mask &= mask - 1) {
        const size_t k = i + static_cast<size_t>(__builtin_ctzll(mask));
        if (k >= to)
            break;
        out[n++] = k;
    }
    return n;
}
#endif

// Any CPU: the compiler's generic vectors (SSE2 on x86-64, NEON on ARM64,
// plain words where there are none).
size_t find_starts_16(const uint8_t *p, size_t from, size_t to, size_t readable, size_t *out,
                      size_t max)
{
    typedef uint8_t v16 __attribute__((vector_size(16)));
    size_t i = from, n = 0;
    for (; i < to && i + 16 + 11 <= readable; i += 16) {
        v16 a, b4, b11;
        memcpy(&a, p + i, 16);
        memcpy(&b4, p + i + 4, 16);
        memcpy(&b11, p + i + 11, 16);
        const v16 hit = static_cast<v16>(((a == 'b') & (b11 == 0xB1)) |
                                         ((a == 's') & (b4 == 't')) | ((a == 'a') & (b4 == '1')));
        uint64_t w[2];
        memcpy(w, &hit, 16);
        if ((w[0] | w[1]) != 0 && (n = each_start(p, i, std::min(i + 16, to), out, n, max)) == max)
            return n;
    }
    return each_start(p, i, to, out, n, max);
}

#if defined(VELKOR_HAVE_X86_KERNELS)
[[gnu::target("avx2")]] size_t find_starts_32(const uint8_t *p, size_t from, size_t to,
                                              size_t readable, size_t *out, size_t max)
{
    const __m256i b = _mm256_set1_epi8('b'), b1 = _mm256_set1_epi8(static_cast<char>(0xB1));
    const __m256i s = _mm256_set1_epi8('s'), t = _mm256_set1_epi8('t');
    const __m256i a = _mm256_set1_epi8('a'), one = _mm256_set1_epi8('1');
    size_t i = from, n = 0;
    for (; i < to && i + 32 + 11 <= readable; i += 32) {
        const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
        const __m256i x4 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i + 4));
        const __m256i x11 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i + 11));
        const __m256i hit = _mm256_or_si256(
            _mm256_and_si256(_mm256_cmpeq_epi8(x0, b), _mm256_cmpeq_epi8(x11, b1)),
            _mm256_or_si256(_mm256_and_si256(_mm256_cmpeq_epi8(x0, s), _mm256_cmpeq_epi8(x4, t)),
                            _mm256_and_si256(_mm256_cmpeq_epi8(x0, a), _mm256_cmpeq_epi8(x4, one))));
        // The mask is maybe_start() itself, one bit per start.
        const auto m = static_cast<uint32_t>(_mm256_movemask_epi8(hit));
        if (m != 0 && (n = mask_starts(m, i, to, out, n, max)) == max)
            return n;
    }
    return each_start(p, i, to, out, n, max);
}

// Compares into mask registers all issue on one port of the cores that
// have AVX-512, so the 64-byte search makes do with one: each pair test is
// (x ^ c) | (y ^ d), zero exactly where both bytes match, formed by one XOR
// and one ternary-logic operation; the three are merged by byte minimum and
// tested for zero bytes once.
[[gnu::target("avx512f,avx512bw")]] size_t find_starts_64(const uint8_t *p, size_t from,
                                                          size_t to, size_t readable,
                                                          size_t *out, size_t max)
{
    const __m512i b = _mm512_set1_epi8('b'), b1 = _mm512_set1_epi8(static_cast<char>(0xB1));
    const __m512i s = _mm512_set1_epi8('s'), t = _mm512_set1_epi8('t');
    const __m512i a = _mm512_set1_epi8('a'), one = _mm512_set1_epi8('1');
    constexpr int a_or_b_xor_c = 0xF6; // ternary logic: A | (B ^ C)
    // Blocks start on a 64-byte boundary, so only the two shifted loads
    // cross cache lines, and each load is made once (the empty asm keeps
    // the compiler from folding a load into every instruction that uses it:
    // loads that cross a line are what this loop is bound by).
    const size_t head = std::min(to, from + ((64 - (reinterpret_cast<uintptr_t>(p + from) & 63)) & 63));
    size_t n = each_start(p, from, head, out, 0, max);
    if (n == max)
        return n;
    size_t i = head;
    for (; i < to && i + 64 + 11 <= readable; i += 64) {
        __m512i x0 = _mm512_load_si512(p + i);
        __m512i x4 = _mm512_loadu_si512(p + i + 4);
        __m512i x11 = _mm512_loadu_si512(p + i + 11);
        asm("" : "+v"(x0), "+v"(x4), "+v"(x11));
        const __m512i tagged = _mm512_ternarylogic_epi32(_mm512_xor_si512(x0, b), x11, b1,
                                                         a_or_b_xor_c);
        const __m512i start = _mm512_ternarylogic_epi32(_mm512_xor_si512(x0, s), x4, t,
                                                        a_or_b_xor_c);
        const __m512i asar = _mm512_ternarylogic_epi32(_mm512_xor_si512(x0, a), x4, one,
                                                       a_or_b_xor_c);
        const __m512i least = _mm512_min_epu8(tagged, _mm512_min_epu8(start, asar));
        // The mask is maybe_start() itself, one bit per start.
        const __mmask64 hit = _mm512_testn_epi8_mask(least, least);
        if (hit != 0 && (n = mask_starts(hit, i, to, out, n, max)) == max)
            return n;
    }
    return each_start(p, i, to, out, n, max);
}
#endif

} // namespace

size_t velkor::scan_searches(scan_search out[3])
{
    size_t n = 0;
#if defined(VELKOR_HAVE_X86_KERNELS)
    const unsigned f = velkor_kernels::cpu_features();
    if (f & velkor_kernels::feat_vpclmul512)
        out[n++] = {"avx512", find_starts_64};
    if (f & velkor_kernels::feat_avx2)
        out[n++] = {"avx2", find_starts_32};
#endif
    out[n++] = {"generic", find_starts_16};
    return n;
}

namespace {

// The widest search this CPU runs.
velkor::scan_find_fn choose_find()
{
    velkor::scan_search all[3];
    velkor::scan_searches(all);
    return all[0].find;
}

} // namespace

struct velkor_scanner {
    velkor::scan_find_fn find_starts = choose_find();
    std::string key;
    bool has_key = false;
    int data_sized = 0;
    uint64_t limit = VELKOR_SCAN_DEFAULT_MEMORY;
    uint64_t image_length = none;   // when the caller knows it
    bool passes = false;            // the caller feeds the image again

    uint64_t pos = 0, frontier = 0, cursor = 0;
    velkor_crc_state crc{};
    uint64_t open_tagged = 0; // the register runs while this is non-zero
    // Times x^160, 20 bytes: for K, and the step between the powers of
    // headers that lie back to back.
    const velkor::crc_times times_x160{velkor::crc_x_pow_8n(tag_len)};
    uint8_t carry[lookahead];
    size_t carry_len = 0;

    chunk_queue<candidate> cands;   // in order of offset
    uint64_t front_seq = 0;         // sequence number of cands.front()
    // The containers' finds, in the same order; inside is set when taken.
    chunk_queue<velkor_find> details;
    uint64_t details_front = 0;     // sequence number of details.front()
    uint64_t released = 0;          // first sequence number not yet ready
    uint64_t pending_containers = 0; // among the candidates from released on
    end_index ends;
    uint64_t index_bytes = 0;       // what ends holds (see the costs above)
    std::vector<decipher> deciphers;
    uint64_t decipher_bytes = 0;
    std::vector<uint8_t> scratch;   // deciphered payload, thrown away
    uint64_t dropped = 0;
    uint64_t retry_at = none;       // where the next pass starts

    // Verified finds already handed out that may still enclose later ones:
    // offsets rising, ends falling (see take()).
    std::vector<std::pair<uint64_t, uint64_t>> enclosing;

    bool finished = false, failed = false;

    uint64_t next_seq() const { return front_seq + cands.size(); }
    candidate &cand(uint64_t seq) { return cands[static_cast<size_t>(seq - front_seq)]; }
    velkor_find &detail(uint64_t seq)
    {
        return details[static_cast<size_t>(seq - details_front)];
    }

    uint64_t pending_bytes() const
    {
        return (next_seq() - released) * record_cost + pending_containers * detail_cost +
               index_bytes + decipher_bytes;
    }
    bool pending() const { return released != next_seq(); }

    uint64_t next_event() const
    {
        return ends.empty() ? none : ends.begin()->first;
    }

    // Whether a candidate at o that holds `cost` bytes may be kept; if not,
    // the drop is noted as a start for the next pass or counted.
    bool keep(uint64_t o, uint64_t cost);
    void note_drop(uint64_t o, bool alone);
    bool past_end(uint64_t end) const { return image_length != none && end > image_length; }

    void run(const window &w, uint64_t stop);
    void run_stretch(const window &w, uint64_t stop);
    void advance(const window &w, uint64_t target);
    void events_at(uint64_t p);
    // Each true when a candidate was added.
    bool examine(const window &w, uint64_t o);
    bool add_tagged(const window &w, uint64_t o, uint32_t length, uint32_t stored);
    bool add_container(const uint8_t *h, size_t avail, uint64_t o);
    // Whether a start opens a candidate, its header's layout alone.
    bool opens(const window &w, uint64_t o) const;
    bool parse_container(const uint8_t *h, size_t avail, enc_stream *st, enc_info *info) const;
    // A candidate that waits for its end, or one resolved as it is found.
    uint64_t push(const candidate &c);
    void push_resolved(candidate c, velkor_scan_reason why);
    void add_end(const end_slot &slot, uint64_t end, uint64_t seq);
    void resolve(uint64_t seq, velkor_scan_reason why);
    void release();
    void finish_container(candidate &c, uint64_t seq);
    void truncate_rest();
    bool take(velkor_find *f);
    void next_pass();
};

// Handles every event and start before stop, in order of position (events
// first at equal positions), then brings the cursor to stop.  Any stop in
// between gives the same order, so the work may be cut anywhere.
void velkor_scanner::run(const window &w, uint64_t stop)
{
    // A stretch at a time, small enough to stay in the first-level cache
    // from the search to the CRC.
    constexpr uint64_t stretch = 16384;
    while (stop - frontier > stretch)
        run_stretch(w, frontier + stretch);
    run_stretch(w, stop);
}

void velkor_scanner::run_stretch(const window &w, uint64_t stop)
{
    // Starts in the carry (at most lookahead - 1 of them) one by one; in
    // the piece, the fast search, a batch at a time, which needs 11 bytes
    // after the last start: at least lookahead - 1 follow it during a feed.
    constexpr size_t batch = 64;
    size_t found[batch], have = 0, used = 0;
    bool more = true; // the piece may hold starts not yet in found[]
    uint64_t resume = std::max(frontier, w.piece_at);
    auto next_start = [&](uint64_t from) -> uint64_t {
        for (uint64_t o = from; o < stop && o < w.piece_at; o++) {
            const uint8_t c = w.at(o);
            if (c == 'b' || c == 's' || c == 'a')
                return o;
        }
        if (used == have && more && resume < stop) {
            have = find_starts(w.piece, static_cast<size_t>(resume - w.piece_at),
                               static_cast<size_t>(stop - w.piece_at), w.piece_len, found, batch);
            used = 0;
            more = have == batch;
            if (more)
                resume = w.piece_at + found[batch - 1] + 1;
        }
        return used < have ? w.piece_at + found[used++] : stop;
    };
    // Once a pass has marked where the next one starts, it looks at no
    // more starts: it only resolves what it holds.
    uint64_t start = retry_at != none ? stop : next_start(frontier);
    uint64_t ev = next_event(); // changes only through events and new candidates
    for (;;) {
        if (ev <= start && ev <= stop) {
            advance(w, ev);
            events_at(ev);
            ev = next_event();
            continue;
        }
        if (start >= stop)
            break;
        if (pending_bytes() + record_cost > limit) {
            // Full: only an event frees anything, so every start before the
            // next one that opens a candidate is dropped, as examine() would.
            // In the piece, straight from the batch: a whole header lies in
            // the piece there (run() stops lookahead - 1 bytes before the
            // end of a feed).  With passes, the first such start is where
            // the next pass begins, unless nothing is pending (a limit
            // below one record), when no pass could keep them.
            const uint64_t until = std::min(ev, stop);
            const bool count_all = !passes || pending_bytes() == 0;
            uint64_t n = 0;
            while (start < until) {
                if (start < w.piece_at) {
                    if (opens(w, start)) {
                        if (!count_all)
                            break;
                        n++;
                    }
                    start = next_start(start + 1);
                    continue;
                }
                const auto lim = static_cast<size_t>(until - w.piece_at);
                auto k = static_cast<size_t>(start - w.piece_at);
                bool opened = false;
                for (;;) {
                    const uint8_t *h = w.piece + k;
                    uint32_t length, stored;
                    opened = h[0] == 'b' ? velkor::tag_header_candidate(h, &length, &stored)
                                         : opens(w, w.piece_at + k);
                    if (opened && !count_all)
                        break;
                    n += opened;
                    if (used == have || found[used] >= lim)
                        break;
                    k = found[used++];
                }
                if (opened && !count_all) {
                    start = w.piece_at + k;
                    break;
                }
                start = next_start(w.piece_at + k + 1);
            }
            dropped += n;
            if (start < until) { // stopped at the next pass's start
                note_drop(start, false);
                start = stop;
            }
            continue;
        }
        if (examine(w, start))
            ev = next_event();
        frontier = start + 1;
        start = retry_at != none ? stop : next_start(frontier);
    }
    advance(w, stop);
    frontier = stop;
}

// Runs the CRC register (while a tagged candidate is open) and the payload
// ciphers over [cursor, target).
void velkor_scanner::advance(const window &w, uint64_t target)
{
    if (target <= cursor)
        return;
    w.each(cursor, target, [&](const uint8_t *p, size_t n, uint64_t at) {
        if (open_tagged != 0)
            velkor_crc_update(&crc, p, n);
        for (decipher &d : deciphers) {
            // Payload bytes through the cipher (the plaintext is not kept).
            uint64_t a = std::max(at, d.payload_at), b = std::min(at + n, d.payload_end);
            while (a < b) {
                const size_t k = static_cast<size_t>(std::min<uint64_t>(b - a, scratch.size()));
                enc_read_payload(&d.st, p + (a - at), scratch.data(), k);
                a += k;
            }
            // Trailer bytes into the candidate's copy.
            a = std::max(at, d.payload_end);
            b = std::min(at + n, d.payload_end + 4);
            for (; a < b; a++)
                d.trailer[a - d.payload_end] = p[a - at];
        }
    });
    cursor = target;
}

void velkor_scanner::events_at(uint64_t p)
{
    auto it = ends.begin();
    if (it == ends.end() || it->first != p)
        return;
    index_bytes -= node_cost + it->second.capacity() * list_entry;
    const std::vector<uint64_t> group = std::move(it->second);
    ends.erase(it);
    // Latest first, so payload lengths mostly rise, and each power is the
    // last one times a short step.
    uint64_t last_len = 0;
    uint32_t last_pow = 1; // x^(8 last_len)
    for (auto k = group.rbegin(); k != group.rend(); ++k) {
        const uint64_t seq = *k;
        candidate &c = cand(seq);
        if (c.kind == VELKOR_FIND_TAGGED) {
            const uint64_t n = c.end - c.offset - tag_len;
            if (n == last_len + tag_len)
                last_pow = times_x160(last_pow);
            else if (n >= last_len)
                last_pow = velkor::crc_mul(last_pow, velkor::crc_x_pow_8n(n - last_len));
            else
                last_pow = velkor::crc_x_pow_8n(n);
            last_len = n;
            // The register over the whole file, its CRC field zero (see the
            // top of this file), then the length and the complement.
            velkor_crc_state st;
            velkor_crc_init(&st);
            st.crc = crc.crc ^ velkor::crc_mul(c.reg, last_pow);
            st.length = c.end - c.offset;
            c.reg = velkor_crc_final(&st);
            open_tagged--;
            resolve(seq, c.reg == c.stored ? VELKOR_SCAN_VERIFIED : VELKOR_SCAN_CRC_MISMATCH);
        } else {
            finish_container(c, seq);
        }
    }
}

void velkor_scanner::finish_container(candidate &c, uint64_t seq)
{
    if (!has_key) {
        resolve(seq, VELKOR_SCAN_NO_KEY);
        return;
    }
    if (!c.deciphering) {
        resolve(seq, VELKOR_SCAN_WRONG_KEY);
        return;
    }
    auto d = std::find_if(deciphers.begin(), deciphers.end(),
                          [seq](const decipher &x) { return x.seq == seq; });
    const enc_reason why = enc_read_finish(&d->st, &d->info, d->trailer);
    velkor_find &f = detail(d->detail);
    f.checksum = velkor::get_be32(d->trailer);
    if (why == ENC_OK) {
        f.deciphered = 1;
        memcpy(f.label, d->info.label, sizeof f.label);
        memcpy(f.sublabel, d->info.sublabel, sizeof f.sublabel);
    }
    decipher_bytes -= d->cost;
    deciphers.erase(d);
    c.deciphering = false;
    resolve(seq, why == ENC_OK ? VELKOR_SCAN_VERIFIED : VELKOR_SCAN_WRONG_KEY);
}

void velkor_scanner::resolve(uint64_t seq, velkor_scan_reason why)
{
    candidate &c = cand(seq);
    c.reason = static_cast<uint8_t>(why);
    c.resolved = true;
    release();
}

// Makes ready every resolved candidate that nothing unresolved precedes.
void velkor_scanner::release()
{
    while (released < next_seq()) {
        const candidate &c = cand(released);
        if (!c.resolved)
            break;
        pending_containers -= c.kind == VELKOR_FIND_CONTAINER;
        released++;
    }
}

bool velkor_scanner::keep(uint64_t o, uint64_t cost)
{
    const uint64_t held = pending_bytes();
    if (held + cost <= limit)
        return true;
    note_drop(o, held == 0);
    return false;
}

// A candidate dropped while nothing else was held exceeds the limit alone:
// no pass could keep it, so it is counted.  Any other drop, with passes,
// is where the next pass starts.
void velkor_scanner::note_drop(uint64_t o, bool alone)
{
    if (passes && !alone) {
        if (retry_at == none)
            retry_at = o;
    } else {
        dropped++;
    }
}

bool velkor_scanner::examine(const window &w, uint64_t o)
{
    const size_t avail = static_cast<size_t>(std::min<uint64_t>(lookahead, w.end() - o));
    uint8_t tmp[lookahead];
    const uint8_t *h = w.bytes(o, avail, tmp);
    uint32_t length, stored;
    if (h[0] == 'b')
        return avail >= tag_len && velkor::tag_header_candidate(h, &length, &stored) &&
               add_tagged(w, o, length, stored);
    return add_container(h, avail, o);
}

bool velkor_scanner::opens(const window &w, uint64_t o) const
{
    const size_t avail = static_cast<size_t>(std::min<uint64_t>(lookahead, w.end() - o));
    uint8_t tmp[lookahead];
    const uint8_t *h = w.bytes(o, avail, tmp);
    uint32_t length, stored;
    if (h[0] == 'b')
        return avail >= tag_len && velkor::tag_header_candidate(h, &length, &stored);
    enc_stream st;
    enc_info info;
    return parse_container(h, avail, &st, &info);
}

bool velkor_scanner::parse_container(const uint8_t *h, size_t avail, enc_stream *st,
                                     enc_info *info) const
{
    *info = enc_info{};
    info->key = key.c_str();
    info->data_sized_state = data_sized;
    return velkor::enc_parse_header(st, info, h, avail, -1) == ENC_OK;
}

uint64_t velkor_scanner::push(const candidate &c)
{
    const uint64_t seq = next_seq();
    cands.push_back(c);
    pending_containers += c.kind == VELKOR_FIND_CONTAINER;
    return seq;
}

void velkor_scanner::push_resolved(candidate c, velkor_scan_reason why)
{
    c.reason = static_cast<uint8_t>(why);
    c.resolved = true;
    push(c);
    release();
}

namespace {

end_slot find_end(end_index &ends, uint64_t end)
{
    end_slot s{ends.lower_bound(end), false, new_end_cost};
    if (s.it != ends.end() && s.it->first == end) {
        s.shared = true;
        // A full list doubles (see add_end).
        const auto &list = s.it->second;
        s.cost = list.size() == list.capacity() ? list.capacity() * list_entry : 0;
    }
    return s;
}

} // namespace

// Notes that candidate seq ends at `end`, in the slot find_end() gave.
void velkor_scanner::add_end(const end_slot &slot, uint64_t end, uint64_t seq)
{
    auto it = slot.it;
    if (!slot.shared) {
        it = ends.emplace_hint(it, end, std::vector<uint64_t>());
        it->second.reserve(1);
    } else if (it->second.size() == it->second.capacity()) {
        it->second.reserve(2 * it->second.capacity());
    }
    index_bytes += slot.cost;
    it->second.push_back(seq);
}

bool velkor_scanner::add_tagged(const window &w, uint64_t o, uint32_t length, uint32_t stored)
{
    candidate c{};
    c.offset = o;
    c.kind = VELKOR_FIND_TAGGED;
    c.stored = stored;
    c.end = o + length;
    if (past_end(c.end)) {
        if (!keep(o, record_cost))
            return false;
        push_resolved(c, VELKOR_SCAN_TRUNCATED);
        return true;
    }
    const end_slot slot = find_end(ends, c.end);
    if (!keep(o, record_cost + slot.cost))
        return false;
    // R(o): the register brought to o, or started there when this is the
    // only tagged candidate open.  Then K (see the top of this file).
    advance(w, o);
    if (open_tagged++ == 0)
        velkor_crc_init(&crc);
    c.reg = times_x160(crc.crc) ^ velkor::crc_times_x32(stored);
    add_end(slot, c.end, push(c));
    return true;
}

bool velkor_scanner::add_container(const uint8_t *h, size_t avail, uint64_t o)
{
    enc_stream st;
    enc_info info;
    if (!parse_container(h, avail, &st, &info))
        return false;
    velkor_find f;
    memset(&f, 0, sizeof f);
    f.offset = o;
    f.kind = VELKOR_FIND_CONTAINER;
    f.payload_offset = o + st.header_len;
    f.payload_length = st.data_length;
    f.length = st.header_len + uint64_t{st.data_length} + 4;
    memcpy(f.magic, info.magic, sizeof f.magic);
    f.key_prefix = info.key_prefix;
    f.label_len = st.label_len;
    f.sublabel_len = st.sublabel_len;
    candidate c{};
    c.offset = o;
    c.kind = VELKOR_FIND_CONTAINER;
    c.end = o + f.length;
    if (past_end(c.end)) {
        if (!keep(o, record_cost + detail_cost))
            return false;
        details.push_back(f);
        push_resolved(c, VELKOR_SCAN_TRUNCATED);
        return true;
    }
    const end_slot slot = find_end(ends, c.end);
    const uint64_t cost = record_cost + detail_cost + slot.cost;
    if (!keep(o, cost))
        return false;

    if (has_key) {
        const enc_reason texts = velkor::enc_texts_decipher(&info, &st);
        if (texts == ENC_NO_MEMORY)
            throw std::bad_alloc();
        if (texts == ENC_OK) {
            // The payload goes through its own cipher from here to its end.
            const uint64_t table = data_sized ? st.data_length : 256;
            const uint64_t dcost = sizeof(decipher) + table;
            if (deciphers.size() >= max_deciphers) {
                note_drop(o, false);
                return false;
            }
            if (!keep(o, cost + dcost))
                return false;
            decipher d{};
            d.info = info;
            if (enc_read_header(&d.st, &d.info, h, avail, -1) != ENC_OK)
                throw std::bad_alloc(); // the layout passed: only the table can fail
            d.payload_at = f.payload_offset;
            d.payload_end = d.payload_at + st.data_length;
            d.cost = dcost;
            d.seq = next_seq();
            d.detail = details_front + details.size();
            deciphers.push_back(d);
            decipher_bytes += dcost;
            c.deciphering = true;
        }
    }
    details.push_back(f);
    add_end(slot, c.end, push(c));
    return true;
}

// A new pass from where the last one stopped looking: everything it held
// has been resolved (truncate_rest() emptied the ends and the ciphers), and
// its finds come before any of the new pass's.
void velkor_scanner::next_pass()
{
    pos = frontier = cursor = retry_at;
    carry_len = 0;
    retry_at = none;
    finished = false;
}

// The image has ended: what is still open runs past it.
void velkor_scanner::truncate_rest()
{
    open_tagged = 0;
    for (auto &[end, group] : ends)
        for (const uint64_t seq : group)
            resolve(seq, VELKOR_SCAN_TRUNCATED);
    ends.clear();
    index_bytes = 0;
    for (decipher &d : deciphers) {
        enc_stream_release(&d.st);
        cand(d.seq).deciphering = false;
    }
    deciphers.clear();
    decipher_bytes = 0;
}

// Hands out the oldest ready find, with the innermost verified find around
// it.  `enclosing` holds verified finds already handed out; as finds come
// out by offset, one that ends at or before the current offset encloses
// nothing more, and one that ends at or before a newer verified find's end
// is beaten by it for every later find (same start or after, and nearer).
// So the list keeps offsets rising and ends falling, and the innermost
// enclosing find is the last entry whose end reaches the find's end.
bool velkor_scanner::take(velkor_find *f)
{
    if (front_seq >= released)
        return false;
    const candidate &c = cands.front();
    const uint64_t o = c.offset, e = c.end;
    if (c.kind == VELKOR_FIND_CONTAINER) {
        *f = details.front();
        details.pop_front();
        details_front++;
    } else {
        memset(f, 0, sizeof *f);
        f->offset = o;
        f->kind = VELKOR_FIND_TAGGED;
        f->length = e - o;
        f->payload_offset = o + tag_len;
        f->payload_length = e - o - tag_len;
        f->stored_crc = c.stored;
        // Only a tagged file read to its end has a computed CRC.
        f->computed_crc = c.reason == VELKOR_SCAN_TRUNCATED ? 0 : c.reg;
    }
    f->reason = static_cast<velkor_scan_reason>(c.reason);
    while (!enclosing.empty() && enclosing.back().second <= o)
        enclosing.pop_back();
    auto it = std::partition_point(enclosing.begin(), enclosing.end(),
                                   [e](const auto &x) { return x.second >= e; });
    f->inside_valid = it != enclosing.begin();
    f->inside = f->inside_valid ? (it - 1)->first : 0;
    if (c.reason == VELKOR_SCAN_VERIFIED) {
        while (!enclosing.empty() && enclosing.back().second <= e)
            enclosing.pop_back();
        enclosing.emplace_back(o, e);
    }
    cands.pop_front();
    front_seq++;
    return true;
}

extern "C" velkor_scanner *velkor_scan_new(const velkor_scan_options *options)
{
    velkor_scan_options o{};
    if (options != nullptr)
        o = *options;
    size_t key_len = 0;
    if (o.key != nullptr) {
        key_len = strnlen(o.key, velkor::max_key_text + 1);
        if (key_len == 0 || key_len > velkor::max_key_text)
            return nullptr;
    }
    try {
        auto *sc = new velkor_scanner;
        if (o.key != nullptr) {
            sc->key.assign(o.key, key_len);
            sc->has_key = true;
            sc->scratch.resize(16384);
            sc->deciphers.reserve(max_deciphers);
        }
        sc->data_sized = o.data_sized_state != 0;
        if (o.memory_limit != 0)
            sc->limit = o.memory_limit;
        return sc;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

namespace {

int invalid()
{
    errno = EINVAL;
    return -1;
}

} // namespace

extern "C" int velkor_scan_feed(velkor_scanner *sc, const uint8_t *buf, size_t len)
{
    if (sc == nullptr || (buf == nullptr && len > 0) || sc->failed || sc->finished)
        return invalid();
    if (len == 0)
        return 0;
    if (sc->image_length != none && len > sc->image_length - sc->pos)
        return invalid();
    try {
        const window w{sc->carry, sc->frontier, sc->carry_len, buf, sc->pos, len};
        const uint64_t end = sc->pos + len;
        // Starts with lookahead bytes behind them can be examined now.
        if (end >= lookahead && end - (lookahead - 1) > sc->frontier)
            sc->run(w, end - (lookahead - 1));
        // Keep what is left to examine (at most lookahead - 1 bytes),
        // through a copy when it still lies partly in the carry itself.
        uint8_t keep[lookahead];
        const size_t n = static_cast<size_t>(end - sc->frontier);
        memcpy(sc->carry, w.bytes(sc->frontier, n, keep), n);
        sc->carry_len = n;
        sc->pos = end;
    } catch (const std::bad_alloc &) {
        sc->failed = true;
        errno = ENOMEM;
        return -1;
    }
    return 0;
}

extern "C" int velkor_scan_finish(velkor_scanner *sc)
{
    if (sc == nullptr || sc->failed || sc->finished)
        return invalid();
    try {
        const window w{sc->carry, sc->frontier, sc->carry_len, nullptr, sc->pos, 0};
        sc->run(w, sc->pos);
        sc->truncate_rest();
        sc->carry_len = 0;
        sc->finished = true;
    } catch (const std::bad_alloc &) {
        sc->failed = true;
        errno = ENOMEM;
        return -1;
    }
    return 0;
}

extern "C" int velkor_scan_next(velkor_scanner *sc, velkor_find *find)
{
    if (sc == nullptr || find == nullptr)
        return invalid();
    return sc->take(find) ? 1 : 0;
}

extern "C" uint64_t velkor_scan_dropped(const velkor_scanner *sc)
{
    if (sc == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return sc->dropped;
}

extern "C" int velkor_scan_set_length(velkor_scanner *sc, uint64_t length)
{
    if (sc == nullptr || sc->pos != 0 || sc->finished || sc->failed || length == none)
        return invalid();
    sc->image_length = length;
    return 0;
}

extern "C" int velkor_scan_set_passes(velkor_scanner *sc, int on)
{
    if (sc == nullptr || sc->pos != 0 || sc->finished || sc->failed)
        return invalid();
    sc->passes = on != 0;
    return 0;
}

extern "C" int velkor_scan_pass_done(const velkor_scanner *sc)
{
    if (sc == nullptr)
        return invalid();
    return sc->retry_at != none && !sc->pending() ? 1 : 0;
}

extern "C" int velkor_scan_next_pass(velkor_scanner *sc, uint64_t *from)
{
    if (sc == nullptr || from == nullptr || !sc->finished || sc->failed)
        return invalid();
    if (sc->retry_at == none)
        return 0;
    *from = sc->retry_at;
    sc->next_pass();
    return 1;
}

extern "C" uint64_t velkor_scan_keep_from(const velkor_scanner *sc)
{
    if (sc == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return sc->cands.size() > 0 ? std::min(sc->cands.front().offset, sc->frontier) : sc->frontier;
}

extern "C" void velkor_scan_free(velkor_scanner *sc)
{
    if (sc == nullptr)
        return;
    for (decipher &d : sc->deciphers)
        enc_stream_release(&d.st);
    delete sc;
}

extern "C" const char *velkor_scan_reason_text(velkor_scan_reason why)
{
    switch (why) {
    case VELKOR_SCAN_VERIFIED: return "verified";
    case VELKOR_SCAN_NO_KEY: return "no key";
    case VELKOR_SCAN_CRC_MISMATCH: return "CRC mismatch";
    case VELKOR_SCAN_TRUNCATED: return "truncated";
    case VELKOR_SCAN_WRONG_KEY: return "wrong key or damaged";
    }
    return "unknown reason";
}
