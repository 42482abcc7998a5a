// SPDX-License-Identifier: MIT
// The scanner's search for starts, one per vector width, for scan.cpp and
// for the test that holds each against the others.  Internal: not installed.
#ifndef VELKOR_SCAN_SEARCH_H
#define VELKOR_SCAN_SEARCH_H

#include <cstddef>
#include <cstdint>

namespace velkor {

// Stores in out[0..max), rising, the first i in [from, to) where
// p[i .. i + 11] may open a find ('b' with 0xB1 eleven bytes on, 's' with
// 't' four on, 'a' with '1' four on), and returns how many it stored: fewer
// than max only when there are no more before to.  p[0 .. readable) may be
// read, and readable >= to + 11.
using scan_find_fn = size_t (*)(const uint8_t *p, size_t from, size_t to, size_t readable,
                                size_t *out, size_t max);

struct scan_search {
    const char *name;
    scan_find_fn find;
};

// The searches this CPU runs, widest first, the portable one last; returns
// how many were stored.
size_t scan_searches(scan_search out[3]);

} // namespace velkor

#endif
