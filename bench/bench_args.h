// SPDX-License-Identifier: MIT
// Unless told otherwise, each benchmark program repeats every case three
// times and interleaves the cases at random, so that a burst of load on a
// shared machine does not land on one side of a comparison.
#pragma once

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

// Initialises Google Benchmark with those defaults added to argv; false
// (after a message) when an argument is not understood.
inline bool init_benchmarks(int argc, char **argv)
{
    static std::vector<char *> args;
    args.assign(argv, argv + argc);
    bool chosen = false;
    for (int k = 1; k < argc; k++)
        chosen = chosen || strncmp(argv[k], "--benchmark_repetitions", 23) == 0;
    static char repetitions[] = "--benchmark_repetitions=3";
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    if (!chosen) {
        args.push_back(repetitions);
        args.push_back(interleave);
    }
    args.push_back(nullptr);
    int n = static_cast<int>(args.size()) - 1;
    benchmark::Initialize(&n, args.data());
    return !benchmark::ReportUnrecognizedArguments(n, args.data());
}
