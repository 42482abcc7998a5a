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
//
// Containers under a key.  A container at o with a header of h bytes has
// its payload at a = o + h, D bytes, then the stored checksum at e = a + D.
// It checks when velkor_csum(D, P) equals the stored value, P being the
// plaintext C ^ S: C the image's bytes [a, e), S the payload's keystream.
// velkor_csum's step is r -> T(r ^ sx(b)): sx sign-extends the byte (bit 7
// copied upwards), T shifts the register right eight times under the
// reflected polynomial.  Both are linear over GF(2), so with c(X) the
// register run from zero over X,
//   velkor_csum(r, X) = T^|X| r + c(X),   c(X ^ Y) = c(X) + c(Y),
// and, with R(n) a register run over the image from some b <= a up to n,
//   c(C) = R(e) + T^D R(a).
// Hence
//   velkor_csum(D, P) = R(e) + Q(D) + T^D (D + R(a)),   Q(D) = c(S[0, D)).
// T is multiplication by x^8 modulo the CRC's polynomial with the bits of
// the register reversed (0xEDB88320 is 0x04C11DB7 reversed, and a right
// shift of the reversed register is a left shift of the plain one), so T^D
// is one power and one product of crc_combine, between two bit reversals.
// With 256-entry tables the payload's cipher is keyed by the key and one
// byte, the sublabel's first enciphered byte p, so S, and with it Q, is
// the same for every candidate under that key with that p: at most 256
// keystreams per key, each a cipher generated from its start as far as
// the candidates need it, with Q noted at each D a candidate asked for on
// the way.  The scan so brings a second register (R, running while such a
// candidate is open) to o when it finds one, forms K = D + R(a) at once by
// running R on over the header's h bytes, and at e takes R(e), one power
// and one product, and Q(D) from the keystream: nothing is deciphered
// per candidate, and a pass over a flood of containers under a known key
// costs time linear in the image and in the number of keys.  (R's value
// where it starts cancels out, as the CRC register's does above.)  The
// stored checksum is read at e, where the candidate is resolved (its
// event; other candidates resolve at their last byte).
//
// Q(D) for one keystream is asked for in no particular order of D: the D
// asked for wait in a heap, least first, and whenever one is needed the
// keystream is generated on to it, filling every D it passes, by the
// cipher state (`instance`, a few per keystream) furthest on but not past
// it, or else from the nearest copy (`mark`) that the keystream left every
// MiB: a D asked for after the keystream passed it costs a run from the
// mark before it, and a later pass takes the keystream up at the marks
// rather than at its start.  A data-sized payload's table has D entries,
// so its keystream is its own: such payloads are deciphered one by one as
// before, within the work budget.
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
    uint32_t reg;     // tagged: K (see the top of this file), then the computed CRC;
                      // keyed container: its K; over the memory limit: bytes needed
    uint32_t stored;  // tagged: the CRC field
    uint8_t kind;     // velkor_find_kind
    uint8_t reason;   // velkor_scan_reason, once resolved; keyed: p until then
    bool resolved;
    bool deciphering; // container: payload ciphers are running
    bool keyed;       // container: resolved at its payload's end (see the top)
};

// end -> the candidates ending there.  A list of sequence numbers, not a
// chain through the records: many may end at one offset, and a chain
// would visit them one cache miss after another.
using end_index = std::map<uint64_t, std::vector<uint64_t>>;

// What a pending candidate holds, counted as the allocations that hold it
// (with the allocator's header on each taken as 16 bytes), so that the
// memory limit is memory:
//  - its record, in a queue of large chunks: sizeof(candidate);
//  - a container's details, likewise: sizeof(detail_rec);
//  - unless it was resolved when found, its place among the ends: for a
//    new end, a tree node (four words of links and colour, the key and
//    the list's header) and the list's storage, one entry to begin with;
//    the list's capacity is doubled by the scanner itself when full, and
//    the growth counted then;
//  - a keyed container: for each key whose texts decipher, the keystream
//    it needs when no pending candidate made it yet (stream_cost), a slot
//    for its Q(D) and an entry in that keystream's heap of the D asked
//    for (its storage counted by capacity, as it doubles);
//  - a data-sized payload being deciphered: see decipher::cost.
// The figures depend on the build alone, so drops are the same on every
// machine a build runs on.
constexpr size_t alloc_header = 16;
constexpr size_t record_cost = sizeof(candidate);
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
    size_t key;      // index of the key it runs under
    enc_stream st;
    enc_info info;
    uint8_t trailer[4];
    uint64_t cost; // its record and its table (256 entries, or D with data-sized tables)
};

// A container's details (see candidate), as few bytes as a flood of
// held candidates can afford: take() builds its velkor_find from these and
// the candidate's record.  Until the candidate is resolved, label and
// sublabel hold the texts as stored, enciphered.
struct detail_rec {
    uint32_t data_length; // D
    uint32_t checksum;    // as stored, once read
    uint8_t header_len;
    uint8_t key_prefix;
    uint8_t label_len, sublabel_len;
    bool asar;            // magic "asar1", else "start"
    bool deciphered;
    bool damaged;         // label and sublabel: texts of a failed checksum
    uint8_t key;          // 1-based; 0 none
    uint32_t q_first;     // keyed: its first slot's sequence number modulo 2^32
    uint64_t keys_ok;     // bit k: key k's texts decipher
    uint64_t needs;       // VELKOR_SCAN_OVER_MEMORY
    char label[32];
    char sublabel[8];
};
static_assert(VELKOR_SCAN_MAX_KEYS <= 64 && ENC_MAX_HEADER_LEN <= 255,
              "detail_rec's fields hold every key number and header length");

// One state of a payload keystream (see "Containers under a key"): the
// cipher after `pos` bytes, and c() of those bytes.  Its table is its own,
// so the record must not move while the cipher points into it.
struct ks_instance {
    vcrypt_state cipher;
    uint8_t table[256];
    uint64_t pos;
    uint32_t reg;
};

// Q(D) asked for: it goes to slot `slot` (see velkor_scanner::qslots).
struct ks_entry {
    uint64_t d;
    uint32_t slot; // the slot's sequence number modulo 2^32
};

// The keystream of one key and one payload key byte: a header that keys
// it (the cipher is keyed again from it for each new instance), its
// instances, and the D asked for, least first (a heap).
constexpr size_t max_instances = 4;
struct keystream {
    uint8_t header[ENC_MAX_HEADER_LEN];
    size_t header_len;
    std::vector<std::unique_ptr<ks_instance>> inst;
    std::vector<ks_entry> heap;
    // Copies of the cipher every mark_step bytes, rising: a new instance
    // starts from the last one at or before where it is wanted.  They
    // outlive the candidates and the pass, so a further pass does not
    // generate the keystream from its start again.
    std::vector<std::unique_ptr<ks_instance>> marks;
};

constexpr size_t detail_cost = sizeof(detail_rec);
constexpr size_t instance_cost = sizeof(ks_instance) + alloc_header;
// A keystream: its record, the slots of its instances and the first of
// them; a further instance is counted when it is made, and made only while
// it fits within the limit.
constexpr size_t stream_cost = sizeof(keystream) + alloc_header +
                               max_instances * sizeof(void *) + alloc_header + instance_cost;
constexpr size_t slot_cost = sizeof(uint64_t);
constexpr uint64_t mark_step = uint64_t{1} << 20;
constexpr size_t first_heap = 4; // entries a keystream's heap starts with

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
#if defined(__wasm_simd128__)
    out[n++] = {"simd128", simd128::find_starts};
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

namespace {

// The register of velkor_csum with its bits in the order of velkor_crc's.
inline uint32_t reverse32(uint32_t v)
{
    v = ((v >> 1) & 0x55555555u) | ((v & 0x55555555u) << 1);
    v = ((v >> 2) & 0x33333333u) | ((v & 0x33333333u) << 2);
    v = ((v >> 4) & 0x0F0F0F0Fu) | ((v & 0x0F0F0F0Fu) << 4);
    v = ((v >> 8) & 0x00FF00FFu) | ((v & 0x00FF00FFu) << 8);
    return (v >> 16) | (v << 16);
}

// What a scanner and the payload scanners made from it share: the work
// budget and what it is measured against.
struct family {
    uint32_t budget = VELKOR_SCAN_DEFAULT_BUDGET;
    uint64_t charged = 0;     // bytes deciphered, or promised to be
    uint64_t image_bytes = 0; // the image's length, or the most bytes fed
    bool length_known = false; // image_bytes is the image's length
};

// One container of a payload scanner's source, outermost first: its bytes
// at `at` in its input (the source for the first, the payload of the one
// before for the others), deciphered under key `key`.
struct layer {
    uint64_t at = 0, length = 0, header_len = 0, payload_len = 0;
    size_t key = 0;
    uint8_t head[ENC_MAX_HEADER_LEN];
    enc_stream st{};
    bool keyed = false;
    std::vector<uint8_t> out; // plaintext, a piece at a time
};

// Texts of the last header checked under one key: a flood repeats its
// header, and each check is two keyings.
struct texts_memo {
    uint8_t bytes[3 + 32 + 8];
    size_t len = 0;
    bool ok = false;
    char label[32], sublabel[8];
};

struct key_slot {
    std::string text;
    texts_memo memo;
    // Keystreams by payload key byte, made when first needed (see the top).
    std::vector<std::unique_ptr<keystream>> streams;
};

} // namespace

struct velkor_scanner {
    velkor::scan_find_fn find_starts = choose_find();
    std::vector<key_slot> keys;
    bool has_key = false;
    int data_sized = 0;
    bool reports = false;           // made by a reporting call (see velkor.h)
    uint64_t limit = VELKOR_SCAN_DEFAULT_MEMORY;
    uint64_t image_length = none;   // when the caller knows it
    bool passes = false;            // the caller feeds the image again
    std::shared_ptr<family> fam;

    // A payload scanner: its level, its source in the image and the
    // containers it deciphers, outermost first.
    int level = 0;
    uint64_t source_at = 0, source_len = 0, source_fed = 0;
    std::vector<layer> layers;
    bool bad_source = false; // fed bytes that are not the source's

    uint64_t pos = 0, frontier = 0, cursor = 0;
    velkor_crc_state crc{};
    uint64_t open_tagged = 0; // the register runs while this is non-zero
    // Times x^160, 20 bytes: for K, and the step between the powers of
    // headers that lie back to back.
    const velkor::crc_times times_x160{velkor::crc_x_pow_8n(tag_len)};
    uint32_t csum_reg = 0;    // R of "Containers under a key"
    uint64_t open_keyed = 0;  // it runs while this is non-zero
    uint8_t carry[lookahead];
    size_t carry_len = 0;

    chunk_queue<candidate> cands;   // in order of offset
    uint64_t front_seq = 0;         // sequence number of cands.front()
    // The containers' finds, in the same order; inside is set when taken.
    chunk_queue<detail_rec> details;
    uint64_t details_front = 0;     // sequence number of details.front()
    uint64_t released = 0;          // first sequence number not yet ready
    uint64_t pending_containers = 0; // among the candidates from released on
    end_index ends;
    uint64_t index_bytes = 0;       // what ends holds (see the costs above)
    std::vector<decipher> deciphers;
    uint64_t decipher_bytes = 0;
    std::vector<std::pair<size_t, uint8_t>> live_streams; // (key, p) of each
    uint64_t stream_bytes = 0;      // keystreams and their heaps
    // Q(D) of each key whose texts a keyed container's deciphered, in the
    // containers' order: bit 32 set once filled.
    chunk_queue<uint64_t> qslots;
    uint64_t qslots_front = 0;
    uint64_t pending_slots = 0;     // held by candidates from released on
    std::vector<uint8_t> scratch;   // deciphered payload, thrown away
    uint64_t dropped = 0;
    uint64_t retry_at = none;       // where the next pass starts

    // Verified finds already handed out that may still enclose later ones:
    // offsets rising, ends falling (see take()).
    std::vector<std::pair<uint64_t, uint64_t>> enclosing;

    bool finished = false, failed = false;

    uint64_t next_seq() const { return front_seq + cands.size(); }
    candidate &cand(uint64_t seq) { return cands[static_cast<size_t>(seq - front_seq)]; }
    detail_rec &detail(uint64_t seq)
    {
        return details[static_cast<size_t>(seq - details_front)];
    }
    // A keyed candidate's details: their sequence number, modulo 2^32, is
    // in its record (fewer than 2^32 are ever held).
    detail_rec &detail_of(const candidate &c)
    {
        return detail(details_front + static_cast<uint32_t>(c.stored - static_cast<uint32_t>(details_front)));
    }
    uint64_t &qslot(uint32_t slot)
    {
        return qslots[static_cast<uint32_t>(slot - static_cast<uint32_t>(qslots_front))];
    }

    uint64_t pending_bytes() const
    {
        return (next_seq() - released) * record_cost + pending_containers * detail_cost +
               index_bytes + decipher_bytes + stream_bytes + pending_slots * slot_cost;
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
    // What a data-sized payload may still decipher.
    bool within_budget(uint64_t bytes, uint64_t end) const;

    void feed_plain(const uint8_t *buf, size_t len);
    void feed_source(const uint8_t *buf, size_t len);
    void push_layer(size_t i, const uint8_t *p, size_t n, uint64_t in_at);
    void reset_layers();
    void run(const window &w, uint64_t stop);
    void run_stretch(const window &w, uint64_t stop);
    void advance(const window &w, uint64_t target);
    void events_at(const window &w, uint64_t p);
    // Each true when a candidate was added.
    bool examine(const window &w, uint64_t o);
    bool add_tagged(const window &w, uint64_t o, uint32_t length, uint32_t stored);
    bool add_container(const window &w, const uint8_t *h, size_t avail, uint64_t o);
    bool add_keyed(const window &w, const uint8_t *h, uint64_t o, candidate c, detail_rec &d,
                   const enc_stream &st);
    bool add_sized(const uint8_t *h, size_t avail, uint64_t o, candidate c, detail_rec &d,
                   const enc_stream &st, const enc_info &info);
    bool add_reported(uint64_t o, candidate c, detail_rec *d, velkor_scan_reason why,
                      uint64_t needs);
    // Whether a start opens a candidate, its header's layout alone.
    bool opens(const window &w, uint64_t o) const;
    bool parse_container(const uint8_t *h, size_t avail, enc_stream *st, enc_info *info) const;
    // Whether key k deciphers the texts of the header parsed into info and
    // st; their texts into label and sublabel when asked for.
    bool texts(size_t k, const enc_info &info, const enc_stream &st, char *label = nullptr,
               char *sublabel = nullptr);
    bool texts_of(size_t k, detail_rec &f);
    keystream &stream(size_t k, uint8_t p, const uint8_t *h, size_t header_len);
    void start_instance(size_t k, const keystream &ks, ks_instance &in);
    void sweep(size_t k, keystream &ks, uint64_t target);
    void drop_streams();
    // Keystreams stay while nothing is pending only as long as they leave
    // room: what they hold is never the reason a candidate is dropped.
    void make_room(uint64_t cost)
    {
        if (!live_streams.empty() && !pending() && pending_bytes() + cost > limit)
            drop_streams();
    }
    // A candidate that waits for its end, or one resolved as it is found.
    uint64_t push(const candidate &c);
    void push_resolved(candidate c, velkor_scan_reason why);
    void add_end(const end_slot &slot, uint64_t end, uint64_t seq);
    void resolve(uint64_t seq, velkor_scan_reason why);
    void release();
    void finish_container(candidate &c, uint64_t seq);
    void finish_keyed(const window &w, candidate &c, uint64_t seq, uint32_t x8d);
    void truncate_rest();
    bool take(velkor_find_info *f);
    void next_pass();
    void release_all();
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
            events_at(w, ev);
            ev = next_event();
            continue;
        }
        if (start >= stop)
            break;
        make_room(record_cost);
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


// Runs the CRC register (while a tagged candidate is open), the register R
// (while a keyed container is) and the data-sized payload ciphers over
// [cursor, target).
void velkor_scanner::advance(const window &w, uint64_t target)
{
    if (target <= cursor)
        return;
    w.each(cursor, target, [&](const uint8_t *p, size_t n, uint64_t at) {
        if (open_tagged != 0)
            velkor_crc_update(&crc, p, n);
        if (open_keyed != 0)
            csum_reg = velkor_csum(csum_reg, p, n);
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

void velkor_scanner::events_at(const window &w, uint64_t p)
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
    auto power = [&](uint64_t n) {
        if (n == last_len + tag_len)
            last_pow = times_x160(last_pow);
        else if (n >= last_len)
            last_pow = velkor::crc_mul(last_pow, velkor::crc_x_pow_8n(n - last_len));
        else
            last_pow = velkor::crc_x_pow_8n(n);
        last_len = n;
        return last_pow;
    };
    for (auto k = group.rbegin(); k != group.rend(); ++k) {
        const uint64_t seq = *k;
        candidate &c = cand(seq);
        if (c.kind == VELKOR_FIND_TAGGED) {
            const uint32_t pw = power(c.end - c.offset - tag_len);
            // The register over the whole file, its CRC field zero (see the
            // top of this file), then the length and the complement.
            velkor_crc_state st;
            velkor_crc_init(&st);
            st.crc = crc.crc ^ velkor::crc_mul(c.reg, pw);
            st.length = c.end - c.offset;
            c.reg = velkor_crc_final(&st);
            open_tagged--;
            resolve(seq, c.reg == c.stored ? VELKOR_SCAN_VERIFIED : VELKOR_SCAN_CRC_MISMATCH);
        } else if (c.keyed) {
            finish_keyed(w, c, seq, power(detail_of(c).data_length));
        } else {
            finish_container(c, seq);
        }
    }
}

// At the payload's end e of a keyed container (see "Containers under a
// key"): the stored checksum is the four bytes from e, R(e) the register,
// and each key whose texts deciphered is tried with its Q(D), in order.
void velkor_scanner::finish_keyed(const window &w, candidate &c, uint64_t seq, uint32_t x8d)
{
    open_keyed--;
    detail_rec &d = detail_of(c);
    const uint64_t e = c.end - 4;
    const auto p = static_cast<uint8_t>(c.reason);
    const uint32_t len = d.data_length;
    const bool whole = e + 4 <= w.end();
    uint32_t stored = 0;
    if (whole) {
        uint8_t tmp[4];
        stored = velkor::get_be32(w.bytes(e, 4, tmp));
    }
    const uint32_t base = csum_reg ^ reverse32(velkor::crc_mul(reverse32(c.reg), x8d));
    size_t opened = keys.size();
    uint32_t slot = d.q_first;
    for (size_t k = 0; k < keys.size(); k++) {
        if (!(d.keys_ok >> k & 1))
            continue;
        // Every key's Q is formed, so that each key's keystream moves on
        // as it would alone: the work is the keys' times one's.
        if (!(qslot(slot) >> 32))
            sweep(k, *keys[k].streams[p], len);
        const auto q = static_cast<uint32_t>(qslot(slot++));
        if (whole && opened == keys.size() && (base ^ q) == stored)
            opened = k;
    }
    if (!whole) {
        resolve(seq, VELKOR_SCAN_TRUNCATED);
        return;
    }
    d.checksum = stored;
    if (opened < keys.size()) {
        texts_of(opened, d);
        d.deciphered = true;
        d.key = static_cast<uint8_t>(opened + 1);
        resolve(seq, VELKOR_SCAN_VERIFIED);
        return;
    }
    const auto first = static_cast<size_t>(__builtin_ctzll(d.keys_ok));
    texts_of(first, d);
    d.damaged = true;
    d.key = static_cast<uint8_t>(first + 1);
    resolve(seq, VELKOR_SCAN_WRONG_KEY);
}

// A data-sized container (or one no key deciphers) at its last byte.
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
    // Its payload ciphers, one per key whose texts deciphered, in the
    // keys' order: the first whose checksum matches opens it.
    detail_rec *d = nullptr;
    size_t opened = keys.size(), first = keys.size();
    for (auto it = deciphers.begin(); it != deciphers.end();) {
        if (it->seq != seq) {
            ++it;
            continue;
        }
        d = &detail(it->detail);
        const enc_reason why = enc_read_finish(&it->st, &it->info, it->trailer);
        d->checksum = velkor::get_be32(it->trailer);
        first = std::min(first, it->key);
        if (why == ENC_OK && it->key < opened) {
            opened = it->key;
            memcpy(d->label, it->info.label, sizeof d->label);
            memcpy(d->sublabel, it->info.sublabel, sizeof d->sublabel);
        }
        decipher_bytes -= it->cost;
        it = deciphers.erase(it);
    }
    c.deciphering = false;
    if (opened < keys.size()) {
        d->deciphered = true;
        d->key = static_cast<uint8_t>(opened + 1);
        resolve(seq, VELKOR_SCAN_VERIFIED);
        return;
    }
    texts_of(first, *d);
    d->damaged = true;
    d->key = static_cast<uint8_t>(first + 1);
    resolve(seq, VELKOR_SCAN_WRONG_KEY);
}

void velkor_scanner::resolve(uint64_t seq, velkor_scan_reason why)
{
    candidate &c = cand(seq);
    c.reason = static_cast<uint8_t>(why);
    c.resolved = true;
    release();
}

// Makes ready every resolved candidate that nothing unresolved precedes.
// Keystreams serve pending candidates alone: with none left, they go.
void velkor_scanner::release()
{
    while (released < next_seq()) {
        const candidate &c = cand(released);
        if (!c.resolved)
            break;
        pending_containers -= c.kind == VELKOR_FIND_CONTAINER;
        if (c.keyed)
            pending_slots -= static_cast<uint64_t>(__builtin_popcountll(detail_of(c).keys_ok));
        released++;
    }
}

bool velkor_scanner::keep(uint64_t o, uint64_t cost)
{
    make_room(cost);
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

// The budget is measured against the image's length when known.  Else a
// candidate's is measured against its end, which a sound candidate does not
// pass, and not against the bytes fed so far: those depend on how the image
// was cut into pieces, and the finds must not.  A payload scanner (end 0),
// asked for at its container's end, is measured against the bytes fed.
bool velkor_scanner::within_budget(uint64_t bytes, uint64_t end) const
{
    const uint64_t image = fam->length_known || end == 0 ? std::max(fam->image_bytes, end) : end;
    const uint64_t bound =
        image > UINT64_MAX / fam->budget ? UINT64_MAX : image * fam->budget;
    return fam->charged <= bound && bytes <= bound - fam->charged;
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
    return add_container(w, h, avail, o);
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
    info->data_sized_state = data_sized;
    return velkor::enc_parse_header(st, info, h, avail, -1) == ENC_OK;
}

bool velkor_scanner::texts(size_t k, const enc_info &info, const enc_stream &st, char *label,
                           char *sublabel)
{
    texts_memo &m = keys[k].memo;
    uint8_t b[sizeof m.bytes];
    const size_t l1 = st.label_len, l2 = st.sublabel_len;
    b[0] = info.key_prefix;
    b[1] = static_cast<uint8_t>(l1);
    b[2] = static_cast<uint8_t>(l2);
    memcpy(b + 3, info.label, l1);
    memcpy(b + 3 + l1, info.sublabel, l2);
    const size_t n = 3 + l1 + l2;
    if (n != m.len || memcmp(b, m.bytes, n) != 0) {
        enc_info with = info;
        with.key = keys[k].text.c_str();
        const enc_reason why = velkor::enc_texts_decipher(&with, &st, m.label, m.sublabel);
        if (why == ENC_NO_MEMORY)
            throw std::bad_alloc();
        memcpy(m.bytes, b, n);
        m.len = n;
        m.ok = why == ENC_OK;
    }
    if (m.ok && label != nullptr) {
        memcpy(label, m.label, l1);
        memset(label + l1, 0, sizeof m.label - l1);
        memcpy(sublabel, m.sublabel, l2);
        memset(sublabel + l2, 0, sizeof m.sublabel - l2);
    }
    return m.ok;
}

// The texts of a candidate whose label and sublabel still hold them as
// stored.
bool velkor_scanner::texts_of(size_t k, detail_rec &f)
{
    enc_info info{};
    enc_stream st{};
    info.key_prefix = f.key_prefix;
    info.data_sized_state = data_sized;
    memcpy(info.label, f.label, sizeof info.label);
    memcpy(info.sublabel, f.sublabel, sizeof info.sublabel);
    st.label_len = f.label_len;
    st.sublabel_len = f.sublabel_len;
    return texts(k, info, st, f.label, f.sublabel);
}

// Key k's keystream for payload key byte p, made from the header at h
// when it is not there yet (the caller has counted it).
keystream &velkor_scanner::stream(size_t k, uint8_t p, const uint8_t *h, size_t header_len)
{
    key_slot &ks = keys[k];
    if (ks.streams.empty())
        ks.streams.resize(256);
    std::unique_ptr<keystream> &s = ks.streams[p];
    if (!s) {
        auto made = std::make_unique<keystream>();
        memcpy(made->header, h, header_len);
        made->header_len = header_len;
        made->inst.reserve(max_instances);
        s = std::move(made);
        live_streams.emplace_back(k, p);
        stream_bytes += stream_cost;
    }
    return *s;
}

// Brings an instance of ks to d, filling every Q it passes that is asked
// for: the one at or below d furthest on, else a new one from the start
// (or, all taken, the one nearest the start, started again).
// The payload's cipher as the container's reader keys it, at position 0.
void velkor_scanner::start_instance(size_t k, const keystream &ks, ks_instance &in)
{
    enc_stream st;
    enc_info info{};
    info.key = keys[k].text.c_str();
    if (enc_read_header(&st, &info, ks.header, ks.header_len, -1) != ENC_OK)
        throw std::bad_alloc(); // the layout passed: only the table can fail
    in.cipher = st.cipher;
    memcpy(in.table, st.cipher.state, sizeof in.table);
    in.cipher.state = in.table;
    enc_stream_release(&st);
    in.pos = 0;
    in.reg = 0;
}

void velkor_scanner::sweep(size_t k, keystream &ks, uint64_t target)
{
    const auto later = [](const ks_entry &a, const ks_entry &b) { return a.d > b.d; };
    while (!ks.heap.empty() && ks.heap.front().d <= target) {
        const uint64_t d = ks.heap.front().d;
        ks_instance *in = nullptr;
        for (auto &x : ks.inst)
            if (x->pos <= d && (in == nullptr || x->pos > in->pos))
                in = x.get();
        if (in == nullptr) {
            // The first instance was counted with the keystream.
            if (ks.inst.empty() ||
                (ks.inst.size() < max_instances && pending_bytes() + instance_cost <= limit)) {
                stream_bytes += ks.inst.empty() ? 0 : instance_cost;
                ks.inst.push_back(std::make_unique<ks_instance>());
                in = ks.inst.back().get();
            } else {
                in = std::min_element(ks.inst.begin(), ks.inst.end(),
                                      [](const auto &a, const auto &b) { return a->pos < b->pos; })
                         ->get();
            }
            in->pos = 0;
        }
        // The last mark at or before d, when it is further on.
        auto m = std::upper_bound(ks.marks.begin(), ks.marks.end(), d,
                                  [](uint64_t v, const auto &x) { return v < x->pos; });
        if (m != ks.marks.begin() && (*(m - 1))->pos > in->pos) {
            *in = **(m - 1);
            in->cipher.state = in->table;
        } else if (in->pos == 0) {
            start_instance(k, ks, *in);
        }
        while (in->pos < d) {
            const uint64_t next_mark = (in->pos / mark_step + 1) * mark_step;
            const auto n = static_cast<size_t>(
                std::min({d - in->pos, uint64_t{scratch.size()}, next_mark - in->pos}));
            memset(scratch.data(), 0, n);
            vcrypt_process(&in->cipher, scratch.data(), scratch.data(), n);
            in->reg = velkor_csum(in->reg, scratch.data(), n);
            in->pos += n;
            if (in->pos == next_mark &&
                (ks.marks.empty() || ks.marks.back()->pos < in->pos) &&
                pending_bytes() + instance_cost <= limit) {
                ks.marks.push_back(std::make_unique<ks_instance>(*in));
                ks.marks.back()->cipher.state = ks.marks.back()->table;
                stream_bytes += instance_cost;
            }
        }
        while (!ks.heap.empty() && ks.heap.front().d == d) {
            qslot(ks.heap.front().slot) = uint64_t{1} << 32 | in->reg;
            std::pop_heap(ks.heap.begin(), ks.heap.end(), later);
            ks.heap.pop_back();
        }
    }
}

void velkor_scanner::drop_streams()
{
    for (const auto &[k, p] : live_streams)
        keys[k].streams[p].reset();
    live_streams.clear();
    stream_bytes = 0;
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

// A candidate resolved the moment it is found with a verdict of the
// reporting calls: it holds its record (and details) alone.
bool velkor_scanner::add_reported(uint64_t o, candidate c, detail_rec *d, velkor_scan_reason why,
                                  uint64_t needs)
{
    if (!keep(o, record_cost + (d != nullptr ? detail_cost : 0)))
        return false;
    if (d != nullptr) {
        d->needs = needs;
        details.push_back(*d);
    } else {
        c.reg = static_cast<uint32_t>(std::min<uint64_t>(needs, UINT32_MAX));
    }
    push_resolved(c, why);
    return true;
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
    if (reports && record_cost + new_end_cost > limit)
        return add_reported(o, c, nullptr, VELKOR_SCAN_OVER_MEMORY, record_cost + new_end_cost);
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

bool velkor_scanner::add_container(const window &w, const uint8_t *h, size_t avail, uint64_t o)
{
    enc_stream st;
    enc_info info;
    if (!parse_container(h, avail, &st, &info))
        return false;
    detail_rec d;
    memset(&d, 0, sizeof d);
    d.data_length = st.data_length;
    d.header_len = static_cast<uint8_t>(st.header_len);
    d.key_prefix = info.key_prefix;
    d.label_len = static_cast<uint8_t>(st.label_len);
    d.sublabel_len = static_cast<uint8_t>(st.sublabel_len);
    d.asar = info.magic[0] == 'a';
    memcpy(d.label, info.label, st.label_len); // as stored until resolved
    memcpy(d.sublabel, info.sublabel, st.sublabel_len);
    candidate c{};
    c.offset = o;
    c.kind = VELKOR_FIND_CONTAINER;
    c.end = o + st.header_len + uint64_t{st.data_length} + 4;
    if (past_end(c.end)) {
        if (!keep(o, record_cost + detail_cost))
            return false;
        details.push_back(d);
        push_resolved(c, VELKOR_SCAN_TRUNCATED);
        return true;
    }
    for (size_t k = 0; k < keys.size(); k++)
        if (texts(k, info, st))
            d.keys_ok |= uint64_t{1} << k;
    if (d.keys_ok != 0)
        return data_sized ? add_sized(h, avail, o, c, d, st, info) : add_keyed(w, h, o, c, d, st);
    // No key, or none deciphers the texts: resolved at its last byte.
    if (reports && record_cost + detail_cost + new_end_cost > limit)
        return add_reported(o, c, &d, VELKOR_SCAN_OVER_MEMORY,
                            record_cost + detail_cost + new_end_cost);
    const end_slot slot = find_end(ends, c.end);
    if (!keep(o, record_cost + detail_cost + slot.cost))
        return false;
    details.push_back(d);
    add_end(slot, c.end, push(c));
    return true;
}

// A container with 256-entry tables whose texts some keys decipher: K now,
// the rest at its payload's end (see "Containers under a key").
bool velkor_scanner::add_keyed(const window &w, const uint8_t *h, uint64_t o, candidate c,
                               detail_rec &d, const enc_stream &st)
{
    const auto p = static_cast<uint8_t>(d.sublabel[0]);
    const uint32_t len = st.data_length;
    const uint64_t e = c.end - 4;
    const auto n_ok = static_cast<uint64_t>(__builtin_popcountll(d.keys_ok));
    const uint64_t alone = record_cost + detail_cost + new_end_cost +
                           n_ok * (stream_cost + first_heap * sizeof(ks_entry) + slot_cost);
    if (reports && alone > limit)
        return add_reported(o, c, &d, VELKOR_SCAN_OVER_MEMORY, alone);
    uint64_t extra = 0;
    for (size_t k = 0; k < keys.size(); k++) {
        if (!(d.keys_ok >> k & 1))
            continue;
        const auto &streams = keys[k].streams;
        const keystream *ks = streams.empty() ? nullptr : streams[p].get();
        if (ks == nullptr)
            extra += stream_cost + first_heap * sizeof(ks_entry);
        else if (ks->heap.size() == ks->heap.capacity())
            extra += ks->heap.capacity() * sizeof(ks_entry); // it doubles
        extra += slot_cost;
    }
    const end_slot slot = find_end(ends, e);
    if (!keep(o, record_cost + detail_cost + slot.cost + extra))
        return false;
    d.q_first = static_cast<uint32_t>(qslots_front + qslots.size());
    for (size_t k = 0; k < keys.size(); k++) {
        if (!(d.keys_ok >> k & 1))
            continue;
        keystream &ks = stream(k, p, h, st.header_len);
        if (ks.heap.size() == ks.heap.capacity()) {
            const size_t more = std::max(first_heap, ks.heap.capacity());
            ks.heap.reserve(ks.heap.capacity() + more);
            stream_bytes += more * sizeof(ks_entry);
        }
        ks.heap.push_back({len, static_cast<uint32_t>(qslots_front + qslots.size())});
        std::push_heap(ks.heap.begin(), ks.heap.end(),
                       [](const ks_entry &a, const ks_entry &b) { return a.d > b.d; });
        qslots.push_back(0);
        pending_slots++;
    }
    // R(o), then R(a) over the header, then K = D + R(a).
    advance(w, o);
    if (open_keyed++ == 0)
        csum_reg = 0;
    c.reg = len ^ velkor_csum(csum_reg, h, st.header_len);
    c.stored = static_cast<uint32_t>(details_front + details.size());
    c.reason = p;
    c.keyed = true;
    details.push_back(d);
    add_end(slot, e, push(c));
    return true;
}

// A data-sized container whose texts some keys decipher: its payload goes
// through a cipher of its own per such key, from here to its end, within
// the work budget.
bool velkor_scanner::add_sized(const uint8_t *h, size_t avail, uint64_t o, candidate c,
                               detail_rec &d, const enc_stream &st, const enc_info &info)
{
    const auto n_ok = static_cast<uint64_t>(__builtin_popcountll(d.keys_ok));
    const uint64_t each = sizeof(decipher) + st.data_length;
    const uint64_t alone = record_cost + detail_cost + new_end_cost + n_ok * each;
    if (!within_budget(n_ok * st.data_length, c.end)) {
        if (reports)
            return add_reported(o, c, &d, VELKOR_SCAN_OVER_BUDGET, 0);
        dropped++;
        return false;
    }
    if (reports && (alone > limit || n_ok > max_deciphers))
        return add_reported(o, c, &d, VELKOR_SCAN_OVER_MEMORY, alone);
    if (deciphers.size() + n_ok > max_deciphers) {
        note_drop(o, deciphers.empty());
        return false;
    }
    const end_slot slot = find_end(ends, c.end);
    if (!keep(o, record_cost + detail_cost + slot.cost + n_ok * each))
        return false;
    fam->charged += n_ok * st.data_length;
    for (size_t k = 0; k < keys.size(); k++) {
        if (!(d.keys_ok >> k & 1))
            continue;
        decipher x{};
        x.info = info;
        x.info.key = keys[k].text.c_str();
        // The table counts against the scanner's own limit, checked above.
        if (enc_read_header_limited(&x.st, &x.info, h, avail, -1, SIZE_MAX) != ENC_OK)
            throw std::bad_alloc(); // the layout passed: only the table can fail
        x.key = k;
        x.payload_at = o + st.header_len;
        x.payload_end = x.payload_at + st.data_length;
        x.cost = each;
        x.seq = next_seq();
        x.detail = details_front + details.size();
        deciphers.push_back(x);
        decipher_bytes += each;
    }
    c.deciphering = true;
    details.push_back(d);
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
    open_keyed = 0;
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
    // The wanted lengths went with their candidates; instances and marks
    // stay for the next pass.
    for (const auto &[k, p] : live_streams) {
        auto &heap = keys[k].streams[p]->heap;
        stream_bytes -= heap.capacity() * sizeof(ks_entry);
        std::vector<ks_entry>().swap(heap);
    }
}

// Hands out the oldest ready find, with the innermost verified find around
// it.  `enclosing` holds verified finds already handed out; as finds come
// out by offset, one that ends at or before the current offset encloses
// nothing more, and one that ends at or before a newer verified find's end
// is beaten by it for every later find (same start or after, and nearer).
// So the list keeps offsets rising and ends falling, and the innermost
// enclosing find is the last entry whose end reaches the find's end.
bool velkor_scanner::take(velkor_find_info *info)
{
    if (front_seq >= released)
        return false;
    const candidate &c = cands.front();
    const uint64_t o = c.offset, e = c.end;
    velkor_find *f = &info->find;
    info->key = 0;
    info->damaged_texts = 0;
    info->needs = 0;
    info->level = static_cast<uint32_t>(level);
    if (c.kind == VELKOR_FIND_CONTAINER) {
        const detail_rec &d = details.front();
        memset(f, 0, sizeof *f);
        f->offset = o;
        f->kind = VELKOR_FIND_CONTAINER;
        f->length = e - o;
        f->payload_offset = o + d.header_len;
        f->payload_length = d.data_length;
        memcpy(f->magic, d.asar ? "asar1" : "start", sizeof f->magic);
        f->key_prefix = d.key_prefix;
        f->label_len = d.label_len;
        f->sublabel_len = d.sublabel_len;
        f->deciphered = d.deciphered;
        f->checksum = d.checksum;
        if (d.deciphered || d.damaged) {
            memcpy(f->label, d.label, sizeof f->label);
            memcpy(f->sublabel, d.sublabel, sizeof f->sublabel);
        }
        info->key = d.key;
        info->damaged_texts = d.damaged;
        info->needs = d.needs;
        if (c.keyed)
            for (int k = __builtin_popcountll(d.keys_ok); k > 0; k--) {
                qslots.pop_front();
                qslots_front++;
            }
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
        const bool read = c.reason == VELKOR_SCAN_VERIFIED || c.reason == VELKOR_SCAN_CRC_MISMATCH;
        f->computed_crc = read ? c.reg : 0;
        if (c.reason == VELKOR_SCAN_OVER_MEMORY)
            info->needs = c.reg;
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

// Bytes of the image itself (or of a payload's plaintext) from pos on.
void velkor_scanner::feed_plain(const uint8_t *buf, size_t len)
{
    const window w{carry, frontier, carry_len, buf, pos, len};
    const uint64_t end = pos + len;
    // Starts with lookahead bytes behind them can be examined now.
    if (end >= lookahead && end - (lookahead - 1) > frontier)
        run(w, end - (lookahead - 1));
    // Keep what is left to examine (at most lookahead - 1 bytes),
    // through a copy when it still lies partly in the carry itself.
    uint8_t keep_bytes[lookahead];
    const size_t n = static_cast<size_t>(end - frontier);
    memcpy(carry, w.bytes(frontier, n, keep_bytes), n);
    carry_len = n;
    pos = end;
}

// A payload scanner's source: each layer takes its container's bytes from
// its input, keys its cipher once the header is in, and passes the
// plaintext on; the last layer's goes to the scan, from where this pass
// starts.
void velkor_scanner::feed_source(const uint8_t *buf, size_t len)
{
    push_layer(0, buf, len, source_fed);
    source_fed += len;
}

void velkor_scanner::push_layer(size_t i, const uint8_t *p, size_t n, uint64_t in_at)
{
    if (bad_source)
        return;
    if (i == layers.size()) {
        // Plaintext of the innermost payload at in_at; the scan wants it
        // from pos on.
        if (in_at + n <= pos)
            return;
        const uint64_t skip = pos > in_at ? pos - in_at : 0;
        feed_plain(p + skip, static_cast<size_t>(n - skip));
        return;
    }
    layer &l = layers[i];
    const uint64_t a = std::max(in_at, l.at), b = std::min(in_at + n, l.at + l.length);
    if (a >= b)
        return;
    p += a - in_at;
    n = static_cast<size_t>(b - a);
    uint64_t at = a - l.at; // in the container
    if (at < l.header_len) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n, l.header_len - at));
        memcpy(l.head + at, p, k);
        p += k;
        n -= k;
        at += k;
        if (at == l.header_len) {
            enc_info info{};
            info.key = keys[l.key].text.c_str();
            info.data_sized_state = data_sized;
            const enc_reason why =
                enc_read_header_limited(&l.st, &info, l.head, static_cast<size_t>(l.header_len), -1,
                                        SIZE_MAX);
            if (why == ENC_NO_MEMORY)
                throw std::bad_alloc();
            l.keyed = why == ENC_OK;
            if (!l.keyed || l.st.header_len != l.header_len || l.st.data_length != l.payload_len) {
                bad_source = true; // not the container's bytes
                return;
            }
        }
    }
    const uint64_t payload_end = l.header_len + l.payload_len;
    if (n == 0 || at >= payload_end)
        return;
    size_t m = static_cast<size_t>(std::min<uint64_t>(n, payload_end - at));
    uint64_t out_at = at - l.header_len;
    while (m > 0) {
        const size_t k = std::min(m, l.out.size());
        enc_read_payload(&l.st, p, l.out.data(), k);
        push_layer(i + 1, l.out.data(), k, out_at);
        p += k;
        m -= k;
        out_at += k;
    }
}

void velkor_scanner::reset_layers()
{
    for (layer &l : layers) {
        if (l.keyed)
            enc_stream_release(&l.st);
        l.keyed = false;
    }
    source_fed = 0;
}

void velkor_scanner::release_all()
{
    for (decipher &d : deciphers)
        enc_stream_release(&d.st);
    deciphers.clear();
    reset_layers();
}

namespace {

int invalid()
{
    errno = EINVAL;
    return -1;
}

velkor_scanner *refuse(int e)
{
    errno = e;
    return nullptr;
}

// A key's length, or 0 when it is empty or too long.
size_t key_length(const char *key)
{
    const size_t n = strnlen(key, velkor::max_key_text + 1);
    return n > velkor::max_key_text ? 0 : n;
}

// Settings shared by both ways of making a scanner of an image.
velkor_scanner *make(const char *const *keys, const size_t *lens, size_t count,
                     const velkor_scan_options &o, bool reports)
{
    auto sc = std::make_unique<velkor_scanner>();
    sc->keys.resize(count);
    for (size_t k = 0; k < count; k++)
        sc->keys[k].text.assign(keys[k], lens[k]);
    sc->has_key = count > 0;
    if (sc->has_key) {
        sc->scratch.resize(16384);
        sc->deciphers.reserve(max_deciphers);
    }
    sc->data_sized = o.data_sized_state != 0;
    if (o.memory_limit != 0)
        sc->limit = o.memory_limit;
    sc->reports = reports;
    sc->fam = std::make_shared<family>();
    return sc.release();
}

} // namespace

extern "C" velkor_scanner *velkor_scan_new(const velkor_scan_options *options)
{
    velkor_scan_options o{};
    if (options != nullptr)
        o = *options;
    size_t key_len = 0;
    if (o.key != nullptr && (key_len = key_length(o.key)) == 0)
        return nullptr;
    try {
        return make(&o.key, &key_len, o.key != nullptr ? 1 : 0, o, false);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

extern "C" velkor_scanner *velkor_scan_new_keys(const char *const *keys, size_t count,
                                                const velkor_scan_options *options)
{
    velkor_scan_options o{};
    if (options != nullptr)
        o = *options;
    if (count > VELKOR_SCAN_MAX_KEYS || (keys == nullptr && count > 0) || o.key != nullptr)
        return refuse(EINVAL);
    size_t lens[VELKOR_SCAN_MAX_KEYS];
    for (size_t k = 0; k < count; k++)
        if (keys[k] == nullptr || (lens[k] = key_length(keys[k])) == 0)
            return refuse(EINVAL);
    try {
        return make(keys, lens, count, o, true);
    } catch (const std::bad_alloc &) {
        return refuse(ENOMEM);
    }
}

extern "C" int velkor_scan_feed(velkor_scanner *sc, const uint8_t *buf, size_t len)
{
    if (sc == nullptr || (buf == nullptr && len > 0) || sc->failed || sc->finished)
        return invalid();
    if (len == 0)
        return 0;
    const bool source = sc->level > 0;
    if (source ? len > sc->source_len - sc->source_fed
               : sc->image_length != none && len > sc->image_length - sc->pos)
        return invalid();
    try {
        if (source) {
            sc->feed_source(buf, len);
        } else {
            sc->feed_plain(buf, len);
            if (sc->image_length == none)
                sc->fam->image_bytes = std::max(sc->fam->image_bytes, sc->pos);
        }
    } catch (const std::bad_alloc &) {
        sc->failed = true;
        errno = ENOMEM;
        return -1;
    }
    if (sc->bad_source) {
        sc->failed = true;
        return invalid();
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
        sc->reset_layers();
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
    velkor_find_info info;
    if (!sc->take(&info))
        return 0;
    *find = info.find;
    if (!find->deciphered) {
        memset(find->label, 0, sizeof find->label);
        memset(find->sublabel, 0, sizeof find->sublabel);
    }
    return 1;
}

extern "C" int velkor_scan_next_info(velkor_scanner *sc, velkor_find_info *info)
{
    if (sc == nullptr || info == nullptr || info->size < sizeof *info)
        return invalid();
    return sc->take(info) ? 1 : 0;
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
    if (sc->level > 0)
        return length == sc->source_len && sc->source_fed == 0 ? 0 : invalid();
    sc->image_length = length;
    sc->fam->image_bytes = length;
    sc->fam->length_known = true;
    return 0;
}

extern "C" int velkor_scan_set_passes(velkor_scanner *sc, int on)
{
    if (sc == nullptr || sc->pos != 0 || sc->source_fed != 0 || sc->finished || sc->failed)
        return invalid();
    sc->passes = on != 0;
    return 0;
}

extern "C" int velkor_scan_set_budget(velkor_scanner *sc, uint32_t multiple)
{
    if (sc == nullptr || sc->pos != 0 || sc->finished || sc->failed || sc->level > 0 ||
        multiple == 0)
        return invalid();
    sc->fam->budget = multiple;
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
    // A payload scanner's source is deciphered from its first byte again.
    *from = sc->level > 0 ? 0 : sc->retry_at;
    sc->next_pass();
    sc->reset_layers();
    return 1;
}

extern "C" uint64_t velkor_scan_keep_from(const velkor_scanner *sc)
{
    if (sc == nullptr) {
        errno = EINVAL;
        return 0;
    }
    if (sc->level > 0)
        return 0;
    return sc->cands.size() > 0 ? std::min(sc->cands.front().offset, sc->frontier) : sc->frontier;
}

extern "C" velkor_scanner *velkor_scan_payload_new(velkor_scanner *parent,
                                                   const velkor_find_info *info)
{
    if (parent == nullptr || info == nullptr || info->size < sizeof *info)
        return refuse(EINVAL);
    const velkor_find &f = info->find;
    const uint64_t header = f.payload_offset - f.offset;
    if (f.kind != VELKOR_FIND_CONTAINER || f.reason != VELKOR_SCAN_VERIFIED || info->key == 0 ||
        info->key > parent->keys.size() || f.payload_offset < f.offset ||
        header < enc_compute_header_len("", "") || header > ENC_MAX_HEADER_LEN ||
        f.payload_length > UINT32_MAX || f.length != header + f.payload_length + 4 ||
        (parent->level > 0 && (f.offset > parent->layers.back().payload_len ||
                               f.length > parent->layers.back().payload_len - f.offset)))
        return refuse(EINVAL);
    if (parent->level >= VELKOR_SCAN_MAX_LEVEL)
        return refuse(ELOOP);
    const int level = parent->level + 1;
    const uint64_t source_len = parent->level == 0 ? f.length : parent->source_len;
    // What it scans is charged: its payload's bytes.  Deciphering them
    // takes a pass over its source per level, at most
    // VELKOR_SCAN_MAX_LEVEL times what is charged.
    const uint64_t work = f.payload_length;
    if (!parent->within_budget(work, 0))
        return refuse(E2BIG);
    // Its cipher tables and buffers come out of what its parent leaves.
    constexpr size_t out_size = 4096;
    uint64_t own = 0;
    for (int k = 0; k < level; k++) {
        const uint64_t payload = k < parent->level ? parent->layers[static_cast<size_t>(k)].payload_len
                                                   : f.payload_length;
        own += sizeof(layer) + out_size + (parent->data_sized ? payload : 256) + 3 * alloc_header;
    }
    const uint64_t held = parent->pending_bytes();
    if (held >= parent->limit || parent->limit - held <= own)
        return refuse(ENOMEM);
    try {
        auto sc = std::make_unique<velkor_scanner>();
        sc->keys.resize(parent->keys.size());
        for (size_t k = 0; k < parent->keys.size(); k++)
            sc->keys[k].text = parent->keys[k].text;
        sc->has_key = true;
        sc->scratch.resize(16384);
        sc->deciphers.reserve(max_deciphers);
        sc->data_sized = parent->data_sized;
        sc->reports = true;
        sc->limit = parent->limit - held - own;
        sc->fam = parent->fam;
        sc->level = level;
        sc->source_at = parent->level == 0 ? f.offset : parent->source_at;
        sc->source_len = source_len;
        sc->layers.resize(static_cast<size_t>(level));
        for (int k = 0; k < level; k++) {
            layer &l = sc->layers[static_cast<size_t>(k)];
            if (k < parent->level) {
                const layer &from = parent->layers[static_cast<size_t>(k)];
                l.at = from.at;
                l.length = from.length;
                l.header_len = from.header_len;
                l.payload_len = from.payload_len;
                l.key = from.key;
            } else {
                l.at = parent->level == 0 ? 0 : f.offset;
                l.length = f.length;
                l.header_len = header;
                l.payload_len = f.payload_length;
                l.key = info->key - 1;
            }
            l.out.resize(out_size);
        }
        sc->image_length = f.payload_length;
        parent->fam->charged += work;
        return sc.release();
    } catch (const std::bad_alloc &) {
        return refuse(ENOMEM);
    }
}

extern "C" int velkor_scan_payload_source(const velkor_scanner *sc, uint64_t *offset,
                                          uint64_t *length)
{
    if (sc == nullptr || offset == nullptr || length == nullptr || sc->level == 0)
        return invalid();
    *offset = sc->source_at;
    *length = sc->source_len;
    return 0;
}

extern "C" int velkor_scan_level(const velkor_scanner *sc)
{
    if (sc == nullptr)
        return invalid();
    return sc->level;
}

extern "C" void velkor_scan_free(velkor_scanner *sc)
{
    if (sc == nullptr)
        return;
    sc->release_all();
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
    case VELKOR_SCAN_OVER_MEMORY: return "over the memory limit";
    case VELKOR_SCAN_OVER_BUDGET: return "over the work budget";
    }
    return "unknown reason";
}
