// SPDX-License-Identifier: MIT
// Splits a fuzzer's input into the parameters a target needs.  Taking a
// field past the end yields zeros, so every input is usable and short
// inputs still reach the code under test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzz {

class input {
public:
    input(const uint8_t *data, size_t size) : p_(data), left_(size) {}

    uint8_t u8()
    {
        if (left_ == 0)
            return 0;
        left_--;
        return *p_++;
    }

    uint16_t u16()
    {
        uint16_t hi = u8();
        return static_cast<uint16_t>(hi << 8 | u8());
    }

    // A key text of up to max_len characters: stops at the first NUL.
    std::string text(size_t max_len)
    {
        size_t n = u8() % (max_len + 1);
        std::string s;
        for (size_t k = 0; k < n && left_ > 0; k++) {
            uint8_t c = u8();
            if (c == 0)
                break;
            s.push_back(static_cast<char>(c));
        }
        return s;
    }

    // Whatever is left.
    const uint8_t *rest() const { return p_; }
    size_t rest_size() const { return left_; }

private:
    const uint8_t *p_;
    size_t left_;
};

// Like assert(), but active in every build type: a failed property is a
// finding, and abort() makes libFuzzer save the input.
[[noreturn]] inline void fail(const char *what)
{
    fprintf(stderr, "property violated: %s\n", what);
    abort();
}

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond))                                                                               \
            ::fuzz::fail(#cond);                                                                   \
    } while (0)

} // namespace fuzz
