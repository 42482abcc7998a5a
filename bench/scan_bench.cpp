// SPDX-License-Identifier: MIT
// The scanner's throughput next to the CRC it is built around: a scan of
// random bytes (with 100 tagged files and 100 containers planted) without a
// key and with one, velkor_crc over the same bytes in the same pieces, and
// the adversarial image of back-to-back 20-byte tagged headers, each
// claiming the rest of the image, beside a random image of its size.
//
//   build/default/bench/scan_bench [--benchmark_repetitions=N]
//
// Pieces are 256 KiB, copied from the image into one buffer before each is
// checksummed or scanned, as the programs read(2) them: both then work on
// data the copy left in the cache, as they do behind read(2).  The ratios
// that matter are scan / crc on the large image and adversarial / random on
// the small one, read side by side from one run.
//
// With a key: the keyed flood (the header of a container with an empty
// label and sublabel every 21 bytes, each claiming the rest of the image,
// the sound container last) at 1, 16 and 64 MiB beside random bytes of the
// same size, each scanned completely (passes included, as a caller that
// can read the image again does); and the 256 MiB image scanned with two
// keys beside one.
#include "velkor.h"

#include "bench_args.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <sys/mman.h>

namespace {

constexpr size_t piece = 256u << 10;
constexpr size_t large = 256u << 20, small = 64u << 20;

uint8_t *pages(size_t n)
{
    void *m = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) {
        std::perror("mmap");
        std::exit(1);
    }
    madvise(m, n, MADV_HUGEPAGE);
    return static_cast<uint8_t *>(m);
}

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// Random bytes of size n with 100 tagged files and 100 containers of 4 KiB
// payloads at evenly spread offsets.
const uint8_t *random_image(size_t n)
{
    uint8_t *b = pages(n);
    std::mt19937_64 rng(n);
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t v = rng();
        memcpy(b + i, &v, 8);
    }
    const size_t step = n / 200;
    for (size_t k = 0; k < 200; k++) {
        uint8_t *at = b + k * step;
        const size_t payload = 4096;
        if (k % 2 == 0) {
            velkor_crc_state st;
            velkor_crc_init(&st);
            velkor_crc_update(&st, at + VELKOR_TAG_HEADER_LEN, payload);
            velkor_tag_build(at, &st);
        } else {
            enc_info info{};
            info.key = "bench key";
            memcpy(info.magic, "start", 6);
            strcpy(info.label, "planted");
            strcpy(info.sublabel, "b");
            info.key_prefix = 1;
            info.data_length = payload;
            const size_t header = enc_compute_header_len(info.label, info.sublabel);
            info.checksum = velkor_csum(payload, at + header, payload);
            encrypt_buf(&info, at, at + header);
        }
    }
    return b;
}

const uint8_t *adversarial_image(size_t n)
{
    uint8_t *b = pages(n);
    memset(b, 0, n);
    for (size_t o = 0; o + 20 <= n; o += 20) {
        memcpy(b + o, "bgn", 3);
        b[o + 11] = 0xB1;
        put_be32(b + o + 12, static_cast<uint32_t>(n - o));
    }
    return b;
}

const uint8_t *image(int which)
{
    static const uint8_t *large_random = random_image(large);
    static const uint8_t *small_random = random_image(small);
    static const uint8_t *small_adversarial = adversarial_image(small);
    return which == 0 ? large_random : which == 1 ? small_random : small_adversarial;
}

size_t image_size(int which)
{
    return which == 0 ? large : small;
}

void crc(benchmark::State &state)
{
    const int which = static_cast<int>(state.range(0));
    const uint8_t *p = image(which);
    const size_t n = image_size(which);
    std::vector<uint8_t> buf(piece);
    for (auto _ : state) {
        velkor_crc_state st;
        velkor_crc_init(&st);
        for (size_t at = 0; at < n; at += piece) {
            const size_t k = std::min(piece, n - at);
            memcpy(buf.data(), p + at, k);
            velkor_crc_update(&st, buf.data(), k);
        }
        benchmark::DoNotOptimize(velkor_crc_final(&st));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

void scan(benchmark::State &state, const char *key)
{
    const int which = static_cast<int>(state.range(0));
    const uint8_t *p = image(which);
    const size_t n = image_size(which);
    uint64_t finds = 0, verified = 0, dropped = 0;
    std::vector<uint8_t> buf(piece);
    for (auto _ : state) {
        velkor_scan_options o{};
        o.key = key;
        velkor_scanner *sc = velkor_scan_new(&o);
        velkor_find f;
        finds = verified = 0;
        for (size_t at = 0; at <= n; at += piece) {
            if (at < n) {
                const size_t k = std::min(piece, n - at);
                memcpy(buf.data(), p + at, k);
                velkor_scan_feed(sc, buf.data(), k);
            } else {
                velkor_scan_finish(sc);
            }
            while (velkor_scan_next(sc, &f) == 1) {
                finds++;
                verified += f.reason == VELKOR_SCAN_VERIFIED;
            }
        }
        dropped = velkor_scan_dropped(sc);
        velkor_scan_free(sc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
    state.counters["finds"] = static_cast<double>(finds);
    state.counters["verified"] = static_cast<double>(verified);
    state.counters["dropped"] = static_cast<double>(dropped);
}

// The keyed flood of n bytes (see the top).
const uint8_t *keyed_flood(size_t n)
{
    uint8_t *b = pages(n);
    enc_info info{};
    info.key = "bench key";
    memcpy(info.magic, "start", 6);
    info.key_prefix = 7;
    const size_t header = enc_compute_header_len("", ""), payload = 1000;
    const size_t sound = n - (header + payload + 4);
    memset(b + sound + header, 0x5A, payload);
    info.data_length = payload;
    info.checksum = velkor_csum(payload, b + sound + header, payload);
    encrypt_buf(&info, b + sound, b + sound + header);
    for (size_t o = 0; o + header <= sound; o += header) {
        memcpy(b + o, b + sound, header);
        put_be32(b + o + header - 4, static_cast<uint32_t>(n - o - header - 4));
    }
    return b;
}

const uint8_t *random_bytes(size_t n)
{
    uint8_t *b = pages(n);
    std::mt19937_64 rng(n + 1);
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t v = rng();
        memcpy(b + i, &v, 8);
    }
    return b;
}

// A complete scan of the n bytes at p with the given keys, in passes.
void keyed(benchmark::State &state, const uint8_t *p, size_t n, const char *const *keys,
           size_t count)
{
    uint64_t finds = 0, verified = 0, passes = 0;
    std::vector<uint8_t> buf(piece);
    for (auto _ : state) {
        velkor_scanner *sc = velkor_scan_new_keys(keys, count, nullptr);
        velkor_scan_set_length(sc, n);
        velkor_scan_set_passes(sc, 1);
        velkor_find_info f;
        f.size = sizeof f;
        finds = verified = passes = 0;
        uint64_t from = 0;
        do {
            passes++;
            auto take = [&] {
                while (velkor_scan_next_info(sc, &f) == 1) {
                    finds++;
                    verified += f.find.reason == VELKOR_SCAN_VERIFIED;
                }
            };
            for (size_t at = from; at < n && velkor_scan_pass_done(sc) != 1; at += piece) {
                const size_t k = std::min<size_t>(piece, n - at);
                memcpy(buf.data(), p + at, k);
                velkor_scan_feed(sc, buf.data(), k);
                take();
            }
            velkor_scan_finish(sc);
            take();
        } while (velkor_scan_next_pass(sc, &from) == 1);
        velkor_scan_free(sc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
    state.counters["finds"] = static_cast<double>(finds);
    state.counters["verified"] = static_cast<double>(verified);
    state.counters["passes"] = static_cast<double>(passes);
}

const char *const one_key[] = {"bench key"};
const char *const two_keys[] = {"other key", "bench key"};

// Arg: MiB.
void keyed_flood_bench(benchmark::State &state)
{
    const size_t n = static_cast<size_t>(state.range(0)) << 20;
    keyed(state, keyed_flood(n), n, one_key, 1);
}

void keyed_random(benchmark::State &state)
{
    const size_t n = static_cast<size_t>(state.range(0)) << 20;
    keyed(state, random_bytes(n), n, one_key, 1);
}

// Arg: number of keys, on the 256 MiB image with its planted finds.
void keys_on_planted(benchmark::State &state)
{
    keyed(state, image(0), large, state.range(0) == 1 ? one_key : two_keys,
          static_cast<size_t>(state.range(0)));
}

// 0: 256 MiB random, 1: 64 MiB random, 2: 64 MiB adversarial.
BENCHMARK(crc)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(scan, no_key, nullptr)
    ->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(scan, key, "bench key")->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(keyed_random)->Arg(1)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(keyed_flood_bench)
    ->Arg(1)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(keys_on_planted)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    if (!init_benchmarks(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
