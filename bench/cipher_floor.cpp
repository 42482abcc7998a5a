// SPDX-License-Identifier: MIT
// The work unpack cannot avoid on a payload, timed alone: one cipher pass
// with a 256-entry table and one checksum pass, over a file read into
// memory first (the reading is not timed).  bench/stream.sh compares
// velkor unpack with it.
//
//   cipher_floor FILE    prints the milliseconds of the best of 3 rounds
//                        (and the checksums, so the work is kept)
#include "velkor.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    std::ifstream f(argv[1], std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(f)), {});
    if (!f.eof() && !f) {
        perror(argv[1]);
        return 1;
    }
    double best = 1e300;
    uint32_t sink = 0;
    for (int round = 0; round < 3; round++) {
        const auto t0 = std::chrono::steady_clock::now();
        vcrypt_buf(0, "key", data.data(), data.data(), data.size(), 0);
        sink ^= velkor_csum(static_cast<uint32_t>(data.size()), data.data(), data.size());
        const std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - t0;
        best = ms.count() < best ? ms.count() : best;
    }
    printf("%.1f %08x\n", best, sink);
    return 0;
}
