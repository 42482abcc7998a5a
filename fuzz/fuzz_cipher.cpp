// SPDX-License-Identifier: MIT
// The keyed stream cipher against a model written straight from its
// definition, for fuzzer-chosen keys, table sizes and data:
//  - vcrypt_buf() equals the model, in place and with dst before src too,
//    and applying it twice restores the input;
//  - vcrypt_init() + vcrypt_process() split at fuzzer-chosen points equals
//    one vcrypt_process() call and the model, for any table size N.
//
// Input: flags, key_prefix, key text, N (16 bits), split count and points,
// the generator's starting i and j, then the data.
#include "cipher_model.h"
#include "fuzz_input.h"
#include "velkor.h"

#include <algorithm>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// The model's output for len bytes from generator indices i0 and j0 (only
// their low 8 bits count), as the context's would be right after init.
bytes model(const uint8_t *key, size_t key_len, size_t n, const uint8_t *src, size_t len,
            uint64_t i0 = 0, uint64_t j0 = 0)
{
    bytes out(src, src + len);
    velkor_model::plain_cipher c(key, key_len, n);
    c.i = static_cast<uint8_t>(i0);
    c.j = static_cast<uint8_t>(j0);
    c.process(out.data(), out.data(), len);
    return out;
}

void check_one_shot(uint8_t flags, uint8_t prefix, const std::string &key, const uint8_t *data,
                    size_t len)
{
    const int dss = flags & 1;
    bytes out(len, 0xA5);
    int rc = vcrypt_buf(prefix, key.c_str(), data, out.data(), len, dss);
    if (key.size() > 254) {
        // Too long for the key material: refused, nothing written.
        FUZZ_CHECK(rc == -1);
        FUZZ_CHECK(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0xA5; }));
        return;
    }
    FUZZ_CHECK(rc == 0);

    bytes material(1, prefix);
    material.insert(material.end(), key.begin(), key.end());
    FUZZ_CHECK(out == model(material.data(), material.size(), dss ? len : 256, data, len));

    bytes back(len);
    FUZZ_CHECK(vcrypt_buf(prefix, key.c_str(), out.data(), back.data(), len, dss) == 0);
    FUZZ_CHECK(back == bytes(data, data + len));

    // In place, and with the output starting before the input in one buffer.
    const size_t shift = (flags >> 1) & 31;
    bytes buf(shift + len);
    std::copy(data, data + len, buf.begin() + static_cast<ptrdiff_t>(shift));
    FUZZ_CHECK(vcrypt_buf(prefix, key.c_str(), buf.data() + shift, buf.data() + shift, len, dss) ==
               0);
    FUZZ_CHECK(std::equal(out.begin(), out.end(), buf.begin() + static_cast<ptrdiff_t>(shift)));
    std::copy(data, data + len, buf.begin() + static_cast<ptrdiff_t>(shift));
    FUZZ_CHECK(vcrypt_buf(prefix, key.c_str(), buf.data() + shift, buf.data(), len, dss) == 0);
    FUZZ_CHECK(std::equal(out.begin(), out.end(), buf.begin()));
}

// A caller may also start the generator from any indices it stores in the
// context (say, one it saved); i0 and j0 are set right after vcrypt_init().
void check_steps(const bytes &material, size_t n, std::vector<size_t> splits, uint64_t i0,
                 uint64_t j0, const uint8_t *data, size_t len)
{
    const int klen = static_cast<int>(material.size());
    vcrypt_state ctx;
    FUZZ_CHECK(vcrypt_init(&ctx, material.data(), klen, n) == 0);
    FUZZ_CHECK(ctx.state_len == n);
    ctx.i = i0;
    ctx.j = j0;
    bytes whole(len, 0xA5);
    FUZZ_CHECK(vcrypt_process(&ctx, data, whole.data(), len) == (n ? len : 0));
    if (n > 256)
        FUZZ_CHECK(ctx.i == (i0 + len) % 256);
    vcrypt_finish(&ctx);
    FUZZ_CHECK(ctx.state == nullptr && ctx.state_len == 0);
    vcrypt_finish(&ctx);
    // A table of no entries transforms nothing: dst is left alone.
    if (n == 0)
        FUZZ_CHECK(whole == bytes(len, 0xA5));
    else
        FUZZ_CHECK(whole == model(material.data(), material.size(), n, data, len, i0, j0));

    for (auto &s : splits)
        s %= len + 1;
    splits.push_back(0);
    splits.push_back(len);
    std::sort(splits.begin(), splits.end());
    FUZZ_CHECK(vcrypt_init(&ctx, material.data(), klen, n) == 0);
    ctx.i = i0;
    ctx.j = j0;
    bytes pieces(len, 0xA5);
    for (size_t k = 1; k < splits.size(); k++) {
        size_t from = splits[k - 1], count = splits[k] - from;
        vcrypt_process(&ctx, data + from, pieces.data() + from, count);
    }
    vcrypt_finish(&ctx);
    FUZZ_CHECK(pieces == whole);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::input in(data, size);
    const uint8_t flags = in.u8();
    const uint8_t prefix = in.u8();
    const std::string key = in.text(255);
    const size_t n = in.u16() % 2048;
    std::vector<size_t> splits(in.u8() % 8);
    for (auto &s : splits)
        s = in.u16();
    // High bits that must be ignored ride along with the fuzzer's indices.
    const uint64_t i0 = in.u8() | (flags & 0x80 ? UINT64_C(0xA5A5A5A5A5A5A500) : 0);
    const uint64_t j0 = in.u8() | (flags & 0x80 ? UINT64_C(0x5A5A5A5A5A5A5A00) : 0);

    check_one_shot(flags, prefix, key, in.rest(), in.rest_size());

    // Step by step the key is raw bytes and may hold NULs; key_len 1..256.
    bytes material(1, prefix);
    material.insert(material.end(), key.begin(), key.end());
    if (flags & 0x40)
        material.push_back(0);
    check_steps(material, n, splits, i0, j0, in.rest(), in.rest_size());

    // A key length below 1 is refused and leaves the context alone.
    vcrypt_state ctx{1, 2, nullptr, 3};
    FUZZ_CHECK(vcrypt_init(&ctx, material.data(), 0, n) == -1);
    FUZZ_CHECK(ctx.i == 1 && ctx.j == 2 && ctx.state == nullptr && ctx.state_len == 3);
    return 0;
}
