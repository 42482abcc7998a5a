// SPDX-License-Identifier: MIT
// A C++ program built against an installed velkor through find_package
// alone: a container round trip through a file, checked field by field.
#include <velkor.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

static int fail(const char *what)
{
    std::fprintf(stderr, "c++ consumer: %s\n", what);
    return 1;
}

int main(int argc, char **argv)
{
    const std::string path = argc > 1 ? argv[1] : "consumer-cpp.vc";
    std::vector<uint8_t> payload(5000);
    for (size_t k = 0; k < payload.size(); k++)
        payload[k] = static_cast<uint8_t>(k * 131 + 7);

    enc_info info{};
    info.key = "c++ key";
    std::strcpy(info.magic, "start");
    std::strcpy(info.label, "from C++");
    std::strcpy(info.sublabel, "cmake");
    info.data_sized_state = 1;
    info.data_length = static_cast<uint32_t>(payload.size());
    info.checksum = velkor_csum(info.data_length, payload.data(), payload.size());

    const size_t head = enc_compute_header_len(info.label, info.sublabel);
    std::vector<uint8_t> buf(enc_compute_buf_len(info.label, info.sublabel, payload.size()));
    std::memcpy(buf.data() + head, payload.data(), payload.size());
    if (encrypt_buf(&info, buf.data(), buf.data() + head) != 0)
        return fail("encrypt_buf");
    const size_t total = head + payload.size() + 4;
    if (write_buf_to_file(path.c_str(), buf.data(), total) != 0)
        return fail("write_buf_to_file");

    std::vector<uint8_t> back(static_cast<size_t>(get_file_size(path.c_str())));
    if (back.size() != total || read_file_to_buf(path.c_str(), back.data(), back.size()) != 0)
        return fail("reading the file back");
    enc_info got{};
    got.key = "c++ key";
    got.data_sized_state = 1;
    if (decrypt_buf(&got, back.data(), static_cast<int64_t>(back.size())) != 0)
        return fail("decrypt_buf");
    if (std::string(got.label) != "from C++" || std::string(got.sublabel) != "cmake" ||
        got.data_length != payload.size() ||
        std::memcmp(back.data(), payload.data(), payload.size()) != 0)
        return fail("round trip gave different data");
    std::printf("c++ consumer: ok\n");
    return 0;
}
