// SPDX-License-Identifier: MIT
// Container speed on a 64 MiB payload, both table settings: encrypt_buf and
// decrypt_buf next to the work they cannot avoid, timed side by side in each
// round, so the ratio shows what the container itself costs on top.
#include "velkor.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <vector>

namespace {

constexpr size_t payload_len = size_t{64} << 20;
const char *const key_text = "benchmark key";

enc_info make_info(int data_sized, const std::vector<uint8_t> &plain)
{
    enc_info info;
    memset(&info, 0, sizeof info);
    info.key = key_text;
    memcpy(info.magic, "start", 6);
    strcpy(info.label, "firmware");
    strcpy(info.sublabel, "v1");
    info.key_prefix = 0x5A;
    info.data_sized_state = data_sized;
    info.data_length = static_cast<uint32_t>(plain.size());
    info.checksum = velkor_csum(info.data_length, plain.data(), plain.size());
    return info;
}

std::vector<uint8_t> payload()
{
    std::vector<uint8_t> v(payload_len);
    for (size_t k = 0; k < v.size(); k++)
        v[k] = static_cast<uint8_t>(k * 131 + 7);
    return v;
}

double seconds_of(const std::function<void()> &f)
{
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Each round times the container operation and, right beside it, the floor:
// one vcrypt_buf pass over the payload plus one velkor_csum pass (the
// writer's caller computes the checksum, the reader checks it).  The
// "vs_floor" counter is floor time / container time: 1.00 means the
// container adds nothing to the work it cannot avoid.
void run(benchmark::State &state, bool reading)
{
    const int data_sized = static_cast<int>(state.range(0));
    const std::vector<uint8_t> plain = payload();
    const enc_info info = make_info(data_sized, plain);
    const size_t header = enc_compute_header_len(info.label, info.sublabel);
    std::vector<uint8_t> sealed(enc_compute_buf_len(info.label, info.sublabel, plain.size()));
    memcpy(sealed.data() + header, plain.data(), plain.size());
    encrypt_buf(&info, sealed.data(), sealed.data() + header);

    std::vector<uint8_t> work(sealed.size());
    double ours = 0, floor = 0;
    for (auto _ : state) {
        memcpy(work.data(), plain.data(), plain.size());
        floor += seconds_of([&] {
            vcrypt_buf(0x5A, key_text, work.data(), work.data(), plain.size(), data_sized);
            benchmark::DoNotOptimize(velkor_csum(0, work.data(), plain.size()));
        });
        double t;
        if (reading) {
            // decrypt_buf consumes its buffer: read a fresh copy each round.
            memcpy(work.data(), sealed.data(), sealed.size());
            enc_info out;
            memset(&out, 0, sizeof out);
            out.key = key_text;
            out.data_sized_state = data_sized;
            t = seconds_of([&] {
                if (decrypt_buf(&out, work.data(), static_cast<int64_t>(work.size())) != 0)
                    state.SkipWithError("decrypt_buf refused its own container");
            });
        } else {
            memcpy(work.data() + header, plain.data(), plain.size());
            t = seconds_of([&] { encrypt_buf(&info, work.data(), work.data() + header); });
        }
        state.SetIterationTime(t);
        ours += t;
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload_len));
    state.counters["vs_floor"] = ours > 0 ? floor / ours : 0;
}

void BM_encrypt_buf(benchmark::State &state) { run(state, false); }
void BM_decrypt_buf(benchmark::State &state) { run(state, true); }

} // namespace

// Argument: data_sized_state (0: 256-entry tables, 1: tables as large as
// each field).
BENCHMARK(BM_encrypt_buf)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_decrypt_buf)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
