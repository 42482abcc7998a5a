// SPDX-License-Identifier: MIT
// The scanner's search for starts alone, on random bytes with a start
// planted every 4 KiB: the same count built twice.  Native, a program that
// times every search the CPU runs (bench/search.sh); for WebAssembly, a
// module whose exports bench/search_wasm.mjs times in Node (WebAssembly has
// no clock of its own) and npm/test/scan_search.test.mjs checks: search 0
// is the portable one, 1 the SIMD128 one.
#include "scan_search.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// All the starts in p[0 .. n - 11), found max at a time, as the scanner
// asks; returns how many.
size_t count_starts(velkor::scan_find_fn find, const uint8_t *p, size_t n)
{
    size_t out[256], total = 0, at = 0, m;
    do {
        m = find(p, at, n - 11, n, out, 256);
        total += m;
        if (m > 0)
            at = out[m - 1] + 1;
    } while (m == 256);
    return total;
}

} // namespace

#if defined(__wasm__)
#define EXPORT(name) __attribute__((export_name(#name), visibility("default")))

namespace {

velkor::scan_find_fn search(int which)
{
    velkor::scan_search all[3];
    const size_t n = velkor::scan_searches(all);
#if defined(__wasm_simd128__)
    if (which == 1)
        return velkor::simd128::find_starts;
#endif
    return all[n - 1].find;
}

} // namespace

extern "C" EXPORT(sw_alloc) void *sw_alloc(size_t n)
{
    return malloc(n);
}

extern "C" EXPORT(sw_count) double sw_count(int which, const uint8_t *p, size_t n)
{
    return static_cast<double>(count_starts(search(which), p, n));
}

extern "C" EXPORT(sw_find)
size_t sw_find(int which, const uint8_t *p, size_t from, size_t to, size_t readable, size_t *out, size_t max)
{
    return search(which)(p, from, to, readable, out, max);
}
#else
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

// search_time [MiB, default 64] [runs, default 7]: the median time of each
// search over the bytes, and its speed.
int main(int argc, char **argv)
{
    const size_t mib = argc > 1 ? strtoul(argv[1], nullptr, 10) : 64;
    const int runs = argc > 2 ? atoi(argv[2]) : 7;
    std::vector<uint8_t> b(mib << 20);
    std::mt19937_64 rng(1);
    for (auto &x : b)
        x = static_cast<uint8_t>(rng());
    for (size_t i = 0; i + 12 < b.size(); i += 4096) {
        b[i] = 'b';
        b[i + 11] = 0xB1;
    }
    velkor::scan_search all[3];
    const size_t n = velkor::scan_searches(all);
    for (size_t k = 0; k < n; k++) {
        std::vector<double> ms;
        size_t starts = 0;
        for (int r = 0; r < runs; r++) {
            const auto t0 = std::chrono::steady_clock::now();
            starts = count_starts(all[k].find, b.data(), b.size());
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        }
        std::sort(ms.begin(), ms.end());
        printf("native %-8s %8.2f ms  %6.0f MiB/s  (%zu starts)\n", all[k].name, ms[ms.size() / 2],
               static_cast<double>(mib) * 1000 / ms[ms.size() / 2], starts);
    }
    return 0;
}
#endif
