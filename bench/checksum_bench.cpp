// SPDX-License-Identifier: MIT
// Checksum throughput: every kernel this CPU can run, and the public
// (dispatched) functions, on 4 KiB, 1 MiB and 64 MiB, next to zlib's crc32
// and a plain memory read loop over the same buffer.  After the runs a table
// gives each result as GB/s and as ratios: ours / zlib, ours / memory, and
// for each csum the csum / crc of the same kernel (velkor_csum / velkor_crc
// for the public pair).
//
//   build/default/bench/checksum_bench [--benchmark_repetitions=N]
//
// Unless told otherwise it repeats every case three times, interleaved at
// random, and the table takes each case's best repetition: other programs
// on the machine only ever slow a run down.  They shift all figures; the
// ratios, measured side by side in one run, less.
#include "checksum_kernels.h"
#include "velkor.h"

#include "bench_args.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <sys/mman.h>

using namespace velkor_kernels;

namespace {

const size_t sizes[] = {4u << 10, 1u << 20, 64u << 20};

// 64 MiB of random bytes, on transparent huge pages where the kernel gives
// them: with 4 KiB pages the TLB misses alone cost a quarter of the read
// rate here, for every contender alike.
const uint8_t *buffer()
{
    static uint8_t *buf = [] {
        const size_t n = 64u << 20;
        void *m = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) {
            std::perror("mmap");
            std::exit(1);
        }
        madvise(m, n, MADV_HUGEPAGE);
        auto *b = static_cast<uint8_t *>(m);
        std::mt19937_64 rng(1);
        for (size_t i = 0; i < n; i += 8) {
            uint64_t v = rng();
            memcpy(b + i, &v, 8);
        }
        return b;
    }();
    return buf;
}

template <class F> void run(benchmark::State &state, F f)
{
    const uint8_t *p = buffer();
    const size_t n = static_cast<size_t>(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(f(p, n));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

// The machine's limit for a single-threaded read: XOR every 64-bit word
// into independent lanes, so the loop is bound by loads only, with the
// widest loads this CPU has (as the fastest kernels use them).
uint64_t read_all_portable(const uint8_t *p, size_t n)
{
    uint64_t acc[8] = {};
    for (size_t i = 0; i + 64 <= n; i += 64)
        for (int k = 0; k < 8; k++) {
            uint64_t v;
            memcpy(&v, p + i + 8 * k, 8);
            acc[k] ^= v;
        }
    return acc[0] ^ acc[1] ^ acc[2] ^ acc[3] ^ acc[4] ^ acc[5] ^ acc[6] ^ acc[7];
}

#if defined(__x86_64__)
[[gnu::target("avx512f")]] uint64_t read_all_512(const uint8_t *p, size_t n)
{
    __m512i a0 = _mm512_setzero_si512(), a1 = a0, a2 = a0, a3 = a0;
    for (size_t i = 0; i + 256 <= n; i += 256) {
        a0 = _mm512_xor_si512(a0, _mm512_loadu_si512(p + i));
        a1 = _mm512_xor_si512(a1, _mm512_loadu_si512(p + i + 64));
        a2 = _mm512_xor_si512(a2, _mm512_loadu_si512(p + i + 128));
        a3 = _mm512_xor_si512(a3, _mm512_loadu_si512(p + i + 192));
    }
    a0 = _mm512_xor_si512(_mm512_xor_si512(a0, a1), _mm512_xor_si512(a2, a3));
    uint64_t lanes[8];
    _mm512_storeu_si512(lanes, a0);
    return lanes[0] ^ lanes[1] ^ lanes[2] ^ lanes[3] ^ lanes[4] ^ lanes[5] ^ lanes[6] ^ lanes[7];
}
#endif

uint64_t read_all(const uint8_t *p, size_t n)
{
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx512f"))
        return read_all_512(p, n);
#endif
    return read_all_portable(p, n);
}

// Collects the best bytes/s of each case's repetitions while printing as
// usual.
class collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> rate;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const auto &r : runs) {
            auto it = r.counters.find("bytes_per_second");
            if (r.run_type != Run::RT_Iteration || r.error_occurred || it == r.counters.end())
                continue;
            double &best = rate[r.run_name.str()];
            best = std::max(best, it->second.value);
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

std::string name(const std::string &what, size_t n)
{
    return what + "/" + std::to_string(n);
}

} // namespace

int main(int argc, char **argv)
{
    if (!init_benchmarks(argc, argv))
        return 1;
    std::vector<std::string> ours;
    auto add = [&](const std::string &what, auto f, bool ratio) {
        for (size_t n : sizes)
            benchmark::RegisterBenchmark(what.c_str(), [f](benchmark::State &s) { run(s, f); })
                ->Arg(static_cast<int64_t>(n));
        if (ratio)
            ours.push_back(what);
    };

    add("memory_read", [](const uint8_t *p, size_t n) { return read_all(p, n); }, false);
    add("zlib_crc32", [](const uint8_t *p, size_t n) {
        // zlib takes 32-bit lengths; every size here fits.
        return crc32(0, p, static_cast<uInt>(n));
    }, false);
    add("velkor_crc", [](const uint8_t *p, size_t n) { return velkor_crc(p, n); }, true);
    add("velkor_csum", [](const uint8_t *p, size_t n) { return velkor_csum(0, p, n); }, true);
    for (size_t i = 0; i < all_kernel_count; i++) {
        const kernel_info &k = all_kernels[i];
        if (std::strcmp(k.name, "plain") == 0)
            continue; // byte (and bit) at a time: the definition, not a contender
        if (!runs_here(k)) {
            std::printf("skipping the %s kernels: this CPU cannot run them\n", k.name);
            continue;
        }
        crc_fn c = k.crc;
        csum_fn s = k.csum;
        add(std::string("crc_") + k.name, [c](const uint8_t *p, size_t n) { return c(0, p, n); }, true);
        add(std::string("csum_") + k.name, [s](const uint8_t *p, size_t n) { return s(0, p, n); }, true);
    }

    collector rep;
    benchmark::RunSpecifiedBenchmarks(&rep);

    std::printf("\n%-20s %10s %9s %9s %9s %11s\n", "checksum", "size", "GB/s", "/zlib", "/memory",
                "csum / crc");
    for (const auto &what : ours) {
        for (size_t n : sizes) {
            auto get = [&](const std::string &w) {
                auto it = rep.rate.find(name(w, n));
                return it == rep.rate.end() ? 0.0 : it->second;
            };
            double r = get(what), z = get("zlib_crc32"), m = get("memory_read");
            if (r == 0)
                continue; // filtered out
            // The crc of the same kernel, for a csum.
            std::string crc;
            if (what == "velkor_csum")
                crc = "velkor_crc";
            else if (what.rfind("csum_", 0) == 0)
                crc = "crc_" + what.substr(5);
            double c = crc.empty() ? 0.0 : get(crc);
            std::printf("%-20s %10zu %9.2f %9.2f %9.2f", what.c_str(), n, r / 1e9, z > 0 ? r / z : 0.0,
                        m > 0 ? r / m : 0.0);
            if (c > 0)
                std::printf(" %11.2f", r / c);
            std::printf("\n");
        }
    }
    benchmark::Shutdown();
    return 0;
}
