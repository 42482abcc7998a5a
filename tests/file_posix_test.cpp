// SPDX-License-Identifier: MIT
// write_buf_to_file's failures where only POSIX can make them: a private
// full device, and a file-size limit in a forked child.  Not built for
// Windows (tests/CMakeLists.txt).
#include "testutil.h"
#include "velkor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using testutil::bytes;
namespace fs = std::filesystem;

namespace {

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
