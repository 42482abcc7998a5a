// SPDX-License-Identifier: MIT
#include "testutil.h"
#include "velkor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using testutil::bytes;
namespace fs = std::filesystem;

namespace {

// --- get_file_size ---------------------------------------------------------------

TEST(FileSize, ReportsWhatStatSays)
{
    testutil::scratch_dir dir;
    testutil::write_file(dir / "empty", {});
    testutil::write_file(dir / "f", bytes(1234, 'x'));
    fs::create_symlink("f", dir / "link");
    fs::create_symlink("missing", dir / "dangling");

    EXPECT_EQ(get_file_size((dir / "empty").c_str()), 0);
    EXPECT_EQ(get_file_size((dir / "f").c_str()), 1234);
    EXPECT_EQ(get_file_size((dir / "link").c_str()), 1234); // the target's size
    EXPECT_EQ(get_file_size((dir / "dangling").c_str()), -1);
    EXPECT_EQ(get_file_size((dir / "missing").c_str()), -1);
    EXPECT_EQ(get_file_size((dir / "f/below").c_str()), -1);
}

TEST(FileSize, BeyondFourGigabytes)
{
    testutil::scratch_dir dir;
    testutil::write_file(dir / "sparse", {});
    const uint64_t size = (5ull << 30) + 7;
    std::error_code ec;
    fs::resize_file(dir / "sparse", size, ec);
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
    // A directory opens for reading, but reading it fails.
    EXPECT_EQ(read_file_to_buf(dir.path().c_str(), buf.data(), 16), -1);
    EXPECT_EQ(errno, EISDIR);
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

// A full device takes the buffered bytes and refuses them only at flush
// time.  It is a failure, and the device node is left alone.
TEST(WriteFile, FullDeviceFailsAtFlushAndIsNotRemoved)
{
    testutil::scratch_dir dir;
    const std::string dev = testutil::full_device(dir);
    if (dev.empty())
        GTEST_SKIP() << "no private full device can be made here (needs root)";
    struct stat sys;
    ASSERT_EQ(stat(dev.c_str(), &sys), 0);
    fs::create_symlink(dev, dir / "link");
    const bytes data(100, 'x');
    for (const std::string &path : {dev, dir / "link"}) {
        errno = 0;
        EXPECT_EQ(write_buf_to_file(path.c_str(), data.data(), data.size()), -1) << path;
        EXPECT_EQ(errno, ENOSPC) << path;
        struct stat after;
        ASSERT_EQ(lstat(dev.c_str(), &after), 0) << path;
        EXPECT_TRUE(S_ISCHR(after.st_mode));
        EXPECT_EQ(after.st_rdev, sys.st_rdev);
    }
    EXPECT_TRUE(fs::is_symlink(dir / "link"));
}

// Runs write_buf_to_file in a child whose file-size limit is `limit`:
// 0 for success, 101 for a failure with errno EFBIG, 100 for any other
// failure, -1 if the child died.
int write_limited(const std::string &path, const bytes &data, uint64_t limit)
{
    pid_t pid = fork();
    if (pid == 0) {
        testutil::limit_file_size(limit);
        errno = 0;
        int rc = write_buf_to_file(path.c_str(), data.data(), data.size());
        _exit(rc == 0 ? 0 : 100 + (errno == EFBIG ? 1 : 0));
    }
    int ws = 0;
    waitpid(pid, &ws, 0);
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
}

// A write that fails part-way leaves no file behind, whether the failure
// shows in the block write itself (more than the stream buffers) or only
// when the buffered bytes are flushed.
TEST(WriteFile, FailedWriteRemovesTheFile)
{
    testutil::scratch_dir dir;
    struct { const char *what; size_t len; uint64_t limit; } cases[] = {
        {"fails in the write", 1u << 20, 65536},
        {"fails at flush", 100, 50},
        {"nothing fits", 100, 0},
    };
    for (const auto &c : cases) {
        const std::string path = dir / "f";
        testutil::write_file(path, {1, 2, 3});
        EXPECT_EQ(write_limited(path, bytes(c.len, 'x'), c.limit), 101) << c.what;
        EXPECT_FALSE(testutil::exists(path)) << c.what;
    }
    // The control: within the limit the same write succeeds.
    EXPECT_EQ(write_limited(dir / "f", bytes(100, 'x'), 100), 0);
    EXPECT_EQ(testutil::read_file(dir / "f").size(), 100u);
}

// Through a link to a regular file, the failing path is removed like a file
// would be: nothing that could be taken for the content is left at it.
TEST(WriteFile, FailedWriteThroughLinkRemovesTheLink)
{
    testutil::scratch_dir dir;
    testutil::write_file(dir / "target", {1, 2, 3});
    fs::create_symlink("target", dir / "link");
    EXPECT_EQ(write_limited(dir / "link", bytes(100, 'x'), 50), 101);
    EXPECT_FALSE(testutil::exists(dir / "link"));
}

} // namespace
