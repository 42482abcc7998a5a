// SPDX-License-Identifier: MIT
// The helpers every system runs; testutil_posix.cpp has the rest.
#include "testutil.h"

#include "velkor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testutil {

namespace {

// A name std::filesystem found, as the tests spell names.
std::string spelled(const fs::path &p)
{
#if defined(_WIN32)
    const std::u8string s = p.generic_u8string();
    return std::string(s.begin(), s.end());
#else
    return p.string();
#endif
}

} // namespace

fs::path fs_path(const std::string &path)
{
#if defined(_WIN32)
    return fs::path(std::u8string(path.begin(), path.end()));
#else
    return path;
#endif
}

scratch_dir::scratch_dir()
{
#if defined(_WIN32)
    // Windows' C run-time has no mkdtemp: a random name, made only if new.
    const fs::path base = fs::temp_directory_path();
    std::mt19937 rng(std::random_device{}());
    for (int attempt = 0; attempt < 100; attempt++) {
        const fs::path dir = base / ("velkor-test." + std::to_string(rng()));
        std::error_code ec;
        if (fs::create_directory(dir, ec)) {
            path_ = spelled(dir);
            return;
        }
    }
    throw std::runtime_error("cannot make a scratch directory in " + spelled(base));
#else
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/velkor-test.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
#endif
}

scratch_dir::~scratch_dir()
{
    std::error_code ec;
    // Tests may leave read-only directories behind; make them writable first.
    const fs::path top = fs_path(path_);
    for (auto it = fs::recursive_directory_iterator(top, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::permissions(top, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(top, ec);
}

std::vector<std::string> scratch_dir::entries() const { return entries_of(path_); }

std::vector<std::string> entries_of(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(fs_path(dir)))
        names.push_back(spelled(e.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
}

std::string sys_msg(int err) { return strerror(err); }

bool sanitized()
{
#if defined(VELKOR_SANITIZE)
    return true;
#else
    return false;
#endif
}

bytes read_file(const std::string &path)
{
    std::ifstream f(fs_path(path), std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot read " + path);
    return bytes(std::istreambuf_iterator<char>(f), {});
}

void write_file(const std::string &path, const bytes &data)
{
    std::ofstream f(fs_path(path), std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

bool exists(const std::string &path)
{
    std::error_code ec;
    return fs::exists(fs::symlink_status(fs_path(path), ec));
}

bytes tagged(const bytes &payload)
{
    bytes t(VELKOR_TAG_HEADER_LEN + payload.size());
    std::copy(payload.begin(), payload.end(), t.begin() + VELKOR_TAG_HEADER_LEN);
    velkor_crc_state crc;
    velkor_crc_init(&crc);
    velkor_crc_update(&crc, payload.data(), payload.size());
    EXPECT_EQ(velkor_tag_build(t.data(), &crc), 0);
    return t;
}

bytes forged_headers(size_t count, uint32_t claim)
{
    bytes img(count * 20);
    for (size_t k = 0; k < count; k++) {
        uint8_t *h = img.data() + 20 * k;
        memcpy(h, "bgn", 3);
        h[11] = 0xB1;
        const uint32_t len = claim != 0 ? claim : static_cast<uint32_t>(img.size() - 20 * k);
        for (int i = 0; i < 4; i++)
            h[12 + i] = static_cast<uint8_t>(len >> (24 - 8 * i));
    }
    return img;
}

bytes random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    bytes b(n);
    for (auto &x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

bytes to_bytes(const std::string &s) { return bytes(s.begin(), s.end()); }

} // namespace testutil
