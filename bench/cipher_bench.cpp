// SPDX-License-Identifier: MIT
// Cipher speed: vcrypt_buf with 256 entries next to OpenSSL's RC4 (when the
// build found it), vcrypt_buf with a data-sized table, and the data-sized
// key schedule next to a straightforward version that reduces with %.
// A summary of ratios (ours / peer, above 1 means ours wins; each from the
// best of the repetitions) follows the table.
#include "velkor.h"

#include "bench_args.h"

#include <benchmark/benchmark.h>

#ifdef VELKOR_HAVE_OPENSSL_RC4
#include <openssl/rc4.h>
#endif

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr uint8_t prefix = 0x5A;
const char *const key_text = "benchmark key";

std::vector<uint8_t> input(size_t len)
{
    std::vector<uint8_t> v(len);
    for (size_t k = 0; k < len; k++)
        v[k] = static_cast<uint8_t>(k * 131 + 7);
    return v;
}

void BM_vcrypt_buf_256(benchmark::State &state)
{
    const auto len = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> buf = input(len);
    for (auto _ : state) {
        vcrypt_buf(prefix, key_text, buf.data(), buf.data(), len, 0);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
}

#ifdef VELKOR_HAVE_OPENSSL_RC4
void BM_openssl_rc4(benchmark::State &state)
{
    const auto len = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> buf = input(len);
    std::vector<uint8_t> material(1, prefix);
    material.insert(material.end(), key_text, key_text + strlen(key_text));
    for (auto _ : state) {
        RC4_KEY key;
        RC4_set_key(&key, static_cast<int>(material.size()), material.data());
        RC4(&key, len, buf.data(), buf.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
}
#endif

void BM_vcrypt_buf_sized(benchmark::State &state)
{
    const auto len = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> buf = input(len);
    for (auto _ : state) {
        vcrypt_buf(prefix, key_text, buf.data(), buf.data(), len, 1);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
}

// Key schedule alone: allocate, fill, schedule, free.
void BM_ksa(benchmark::State &state)
{
    const auto n = static_cast<size_t>(state.range(0));
    const uint8_t key[] = {prefix, 'b', 'e', 'n', 'c', 'h'};
    for (auto _ : state) {
        vcrypt_state ctx;
        vcrypt_init(&ctx, key, sizeof key, n);
        benchmark::DoNotOptimize(ctx.state[n / 2]);
        vcrypt_finish(&ctx);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

// The baseline: the key schedule written the straightforward way, with
// every index reduced by %.
void BM_ksa_mod(benchmark::State &state)
{
    const auto n = static_cast<size_t>(state.range(0));
    const uint8_t key[] = {prefix, 'b', 'e', 'n', 'c', 'h'};
    const size_t key_len = sizeof key;
    benchmark::DoNotOptimize(key_len);
    for (auto _ : state) {
        auto *s = static_cast<uint8_t *>(malloc(n));
        for (size_t k = 0; k < n; k++)
            s[k] = static_cast<uint8_t>(k % 256);
        size_t j = 0, m = 0;
        for (size_t k = 0; k < n; k++) {
            j = (j + s[k] + key[m]) % n;
            uint8_t t = s[k];
            s[k] = s[j];
            s[j] = t;
            m = (m + 1) % key_len;
        }
        benchmark::DoNotOptimize(s[n / 2]);
        free(s);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

constexpr int64_t KiB = 1024, MiB = 1024 * KiB;

BENCHMARK(BM_vcrypt_buf_256)->Arg(4 * KiB)->Arg(1 * MiB)->Arg(64 * MiB);
#ifdef VELKOR_HAVE_OPENSSL_RC4
BENCHMARK(BM_openssl_rc4)->Arg(4 * KiB)->Arg(1 * MiB)->Arg(64 * MiB);
#endif
BENCHMARK(BM_vcrypt_buf_sized)->Arg(64 * KiB)->Arg(1 * MiB);
BENCHMARK(BM_vcrypt_buf_sized)->Arg(64 * MiB)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ksa)->Arg(64 * KiB)->Arg(1 * MiB);
BENCHMARK(BM_ksa)->Arg(64 * MiB)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ksa_mod)->Arg(64 * KiB)->Arg(1 * MiB);
BENCHMARK(BM_ksa_mod)->Arg(64 * MiB)->Iterations(3)->Unit(benchmark::kMillisecond);

// Keeps each run's CPU time per iteration, by name, for the summary (CPU
// time, since the machine may be shared).
class recording_reporter : public benchmark::ConsoleReporter {
public:
    recording_reporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    std::map<std::string, double> seconds;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const auto &r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred)
                continue;
            // The best of the repetitions: interference only ever slows.
            const double s =
                r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
            auto [it, fresh] = seconds.emplace(r.run_name.str(), s);
            if (!fresh && s < it->second)
                it->second = s;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void summary(const std::map<std::string, double> &t)
{
    // By name, ignoring a suffix such as "/iterations:3".
    auto find = [&](const std::string &name) {
        for (const auto &[key, value] : t)
            if (key == name || key.rfind(name + "/", 0) == 0)
                return value;
        return 0.0;
    };
    std::printf("\nSummary (ratios: ours / peer in speed; above 1 means ours is faster)\n");
#ifdef VELKOR_HAVE_OPENSSL_RC4
    for (const char *size : {"4096", "1048576", "67108864"}) {
        double ours = find(std::string("BM_vcrypt_buf_256/") + size);
        double peer = find(std::string("BM_openssl_rc4/") + size);
        if (ours > 0 && peer > 0)
            std::printf("  vcrypt_buf N=256 / OpenSSL RC4, %9s bytes: %.2fx\n", size, peer / ours);
    }
#else
    std::printf("  OpenSSL RC4 was not found at configure time: no peer to compare with\n");
#endif
    const struct {
        const char *arg, *label;
        long n;
    } ksa[] = {{"65536", "64 KiB", 65536}, {"1048576", "1 MiB", 1048576},
               {"67108864", "64 MiB", 67108864}};
    for (const auto &k : ksa) {
        double ours = find(std::string("BM_ksa/") + k.arg);
        double base = find(std::string("BM_ksa_mod/") + k.arg);
        if (ours > 0 && base > 0)
            std::printf("  key schedule N=%-6s: %.2f ns/entry vs %% baseline %.2f ns/entry: %.2fx\n",
                        k.label, ours * 1e9 / double(k.n), base * 1e9 / double(k.n), base / ours);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (!init_benchmarks(argc, argv))
        return 1;
#ifndef VELKOR_HAVE_OPENSSL_RC4
    std::printf("cipher_bench: built without OpenSSL's RC4 (not found at configure time)\n");
#endif
    recording_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    summary(reporter.seconds);
    benchmark::Shutdown();
    return 0;
}
