// SPDX-License-Identifier: MIT
#include "testutil.h"
#include "velkor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

using testutil::bytes;
namespace fs = std::filesystem;

namespace {

// --- get_file_size ---------------------------------------------------------------

TEST(FileSize, ReportsWhatStatSays)
{
    testutil::scratch_dir dir;
    testutil::write_file(dir / "empty", {});
    testutil::write_file(dir / "f", bytes(1234, 'x'));

    EXPECT_EQ(get_file_size((dir / "empty").c_str()), 0);
    EXPECT_EQ(get_file_size((dir / "f").c_str()), 1234);
    EXPECT_EQ(get_file_size((dir / "missing").c_str()), -1);
    EXPECT_EQ(get_file_size((dir / "f/below").c_str()), -1);
}

TEST(FileSize, FollowsSymbolicLinks)
{
    testutil::scratch_dir dir;
    testutil::write_file(dir / "f", bytes(1234, 'x'));
    std::error_code ec;
    fs::create_symlink("f", testutil::fs_path(dir / "link"), ec);
    if (ec)
        GTEST_SKIP() << "no symbolic link can be made here: " << ec.message();
    fs::create_symlink("missing", testutil::fs_path(dir / "dangling"));
    EXPECT_EQ(get_file_size((dir / "link").c_str()), 1234); // the target's size
    EXPECT_EQ(get_file_size((dir / "dangling").c_str()), -1);
}

TEST(FileSize, BeyondFourGigabytes)
{
    testutil::scratch_dir dir;
    testutil::write_file(dir / "sparse", {});
    const uint64_t size = (5ull << 30) + 7;
    std::error_code ec;
    fs::resize_file(testutil::fs_path(dir / "sparse"), size, ec);
    if (ec)
        GTEST_SKIP() << "no sparse file here: " << ec.message();
    EXPECT_EQ(get_file_size((dir / "sparse").c_str()), static_cast<int64_t>(size));
}

// --- read_file_to_buf ---------------------------------------------------------------

TEST(ReadFile, ReadsTheFirstLenBytes)
{
    testutil::scratch_dir dir;
    const bytes data = testutil::random_bytes(10000, 1);
    testutil::write_file(dir / "f", data);
    for (size_t len : {size_t{10000}, size_t{9999}, size_t{1}}) {
        bytes buf(len + 1, 0xCC);
        ASSERT_EQ(read_file_to_buf((dir / "f").c_str(), buf.data(), len), 0) << len;
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + static_cast<ptrdiff_t>(len), data.begin()));
        EXPECT_EQ(buf[len], 0xCC) << "wrote past len " << len;
    }
}

TEST(ReadFile, ShortFileFailsWithErrnoZero)
{
    testutil::scratch_dir dir;
    testutil::write_file(dir / "f", bytes(99, 'x'));
    testutil::write_file(dir / "empty", {});
    bytes buf(100);
    errno = EINVAL;
    EXPECT_EQ(read_file_to_buf((dir / "f").c_str(), buf.data(), 100), -1);
    EXPECT_EQ(errno, 0);
    errno = EINVAL;
    EXPECT_EQ(read_file_to_buf((dir / "empty").c_str(), buf.data(), 1), -1);
    EXPECT_EQ(errno, 0);
}

TEST(ReadFile, Failures)
{
    testutil::scratch_dir dir;
    bytes buf(16);
    errno = 0;
    EXPECT_EQ(read_file_to_buf((dir / "missing").c_str(), buf.data(), 16), -1);
    EXPECT_EQ(errno, ENOENT);
    // A directory opens for reading, but reading it fails; Windows' C
    // run-time refuses to open it at all.
#if defined(_WIN32)
    constexpr int directory_errno = EACCES;
#else
    constexpr int directory_errno = EISDIR;
#endif
    EXPECT_EQ(read_file_to_buf(dir.path().c_str(), buf.data(), 16), -1);
    EXPECT_EQ(errno, directory_errno);
}

TEST(ReadFile, NothingToRead)
{
    testutil::scratch_dir dir;
    testutil::write_file(dir / "empty", {});
    testutil::write_file(dir / "f", {1, 2, 3});
    uint8_t b = 0xCC;
    EXPECT_EQ(read_file_to_buf((dir / "empty").c_str(), &b, 0), 0);
    EXPECT_EQ(read_file_to_buf((dir / "f").c_str(), &b, 0), 0);
    EXPECT_EQ(b, 0xCC);
    // Still, the file has to open.
    EXPECT_EQ(read_file_to_buf((dir / "missing").c_str(), &b, 0), -1);
}

// --- write_buf_to_file ---------------------------------------------------------------

TEST(WriteFile, CreatesAndReplaces)
{
    testutil::scratch_dir dir;
    const bytes big = testutil::random_bytes(100000, 2), small = {1, 2, 3};
    ASSERT_EQ(write_buf_to_file((dir / "f").c_str(), big.data(), big.size()), 0);
    EXPECT_TRUE(testutil::read_file(dir / "f") == big);
    ASSERT_EQ(write_buf_to_file((dir / "f").c_str(), small.data(), small.size()), 0);
    EXPECT_TRUE(testutil::read_file(dir / "f") == small);
    // Nothing to write still leaves an (emptied) file.
    ASSERT_EQ(write_buf_to_file((dir / "f").c_str(), small.data(), 0), 0);
    EXPECT_TRUE(testutil::read_file(dir / "f").empty());
    ASSERT_EQ(write_buf_to_file((dir / "new").c_str(), nullptr, 0), 0);
    EXPECT_TRUE(testutil::exists(dir / "new"));
}

TEST(WriteFile, CannotOpen)
{
    testutil::scratch_dir dir;
    const bytes data = {1, 2, 3};
    EXPECT_EQ(write_buf_to_file((dir / "no/such/dir/f").c_str(), data.data(), 3), -1);
    EXPECT_TRUE(dir.entries().empty());
    EXPECT_EQ(write_buf_to_file(dir.path().c_str(), data.data(), 3), -1);
    EXPECT_TRUE(fs::is_directory(dir.path()));
}

// --- names ---------------------------------------------------------------

// A name is UTF-8 on every system, on Windows whatever the code page: two-,
// three- and four-byte sequences (the last a surrogate pair in Windows'
// UTF-16), through all three helpers, and the file is found under that
// name.  The content has a line feed and a ^Z, which a text-mode stream
// would change or stop at.
TEST(Names, NonAsciiNames)
{
    testutil::scratch_dir dir;
    const bytes data = {'a', '\n', 0x1A, 'b', '\r', '\n'};
    const std::vector<std::string> names = {"caf\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC",
                                            "\xF0\x9F\x98\x80.bin"};
    for (const auto &name : names) {
        const std::string path = dir / name;
        ASSERT_EQ(write_buf_to_file(path.c_str(), data.data(), data.size()), 0) << name;
        EXPECT_EQ(get_file_size(path.c_str()), static_cast<int64_t>(data.size())) << name;
        bytes back(data.size());
        EXPECT_EQ(read_file_to_buf(path.c_str(), back.data(), back.size()), 0) << name;
        EXPECT_EQ(back, data) << name;
    }
    EXPECT_EQ(dir.entries(), names);
}

// Bytes that are not UTF-8: Windows refuses them (EILSEQ) rather than open
// some other name; elsewhere a name is bytes, and these are names too.
TEST(Names, BytesThatAreNotUtf8)
{
    const char *const names[] = {
        "\x80",                 // a continuation byte alone
        "a\xC3",                // a sequence cut short by the end
        "\xE6\x97z",             // ... and by an ASCII byte
        "\xC0\xAF",             // '/' in an overlong form
        "\xE0\x80\xAF",         // ... and another
        "\xED\xA0\x80",         // a surrogate
        "\xF4\x90\x80\x80",     // past U+10FFFF
        "\xF8\x88\x80\x80\x80", // a five-byte form
    };
    const bytes data = {1, 2, 3};
    for (const char *name : names) {
        testutil::scratch_dir dir;
        const std::string path = dir / name;
        errno = 0;
        const int wrote = write_buf_to_file(path.c_str(), data.data(), data.size());
#if defined(_WIN32)
        EXPECT_EQ(wrote, -1) << path;
        EXPECT_EQ(errno, EILSEQ) << path;
        EXPECT_TRUE(dir.entries().empty()) << path;
        bytes back(3);
        errno = 0;
        EXPECT_EQ(read_file_to_buf(path.c_str(), back.data(), 3), -1) << path;
        EXPECT_EQ(errno, EILSEQ) << path;
        EXPECT_EQ(get_file_size(path.c_str()), -1) << path;
#else
        EXPECT_EQ(wrote, 0) << path;
        EXPECT_EQ(get_file_size(path.c_str()), 3) << path;
#endif
    }
}

} // namespace
