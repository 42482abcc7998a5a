// SPDX-License-Identifier: MIT
// Faults injected into bgntag and the whole-file helpers: a full device, a
// file-size limit reached part-way through a write, permission bits that
// forbid reading or creating, and a file that reports more bytes than it
// delivers.  Every case must fail cleanly: status 1 (or -1), the right
// message or error number, no data lost and nothing stray left behind.
//
// Permission bits do not bind root, and CI runs as root, so those cases run
// in a child that has dropped to an unprivileged user id first.
#include "testutil.h"
#include "velkor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using testutil::bytes;
using testutil::run;

namespace {

const std::string bgntag = BGNTAG_PATH;

using testutil::drop_privileges;
using testutil::give_away;

using testutil::sys_msg;

struct call { int rc; int err; };

// Runs fn in a child after setup and returns its result and errno, so that
// rlimits and user ids never touch the test process itself.
call in_child(const std::function<void()> &setup, const std::function<int()> &fn)
{
    int p[2];
    if (pipe(p) != 0)
        return {-2, errno};
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        setup();
        call c{};
        c.rc = fn();
        c.err = errno;
        _exit(write(p[1], &c, sizeof c) == sizeof c ? 0 : 1);
    }
    close(p[1]);
    call c{-2, 0};
    if (read(p[0], &c, sizeof c) != sizeof c)
        c = {-2, 0};
    close(p[0]);
    int ws = 0;
    waitpid(pid, &ws, 0);
    return c;
}

class Fault : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The scratch directory is private to its creator; let the dropped
        // child in.
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    }

    // The dropped child must be able to reach bgntag through the build tree
    // (not so in a build under a private directory, as a package build in a
    // scratch folder is).  A skip here only leaves this function: callers
    // return when IsSkipped().
    void need_unprivileged_bgntag()
    {
        if (in_child(drop_privileges, [] { return access(bgntag.c_str(), X_OK); }).rc != 0)
            GTEST_SKIP() << bgntag << " is not reachable by uid " << testutil::unprivileged_id;
    }

    testutil::scratch_dir dir;
    std::string in = dir / "in";
    std::string out = dir / "out";
};

// ---- bgntag ----

// The output fills up part-way: the input is untouched and, as for any
// failed write to a separate output, the partly written output stays.
TEST_F(Fault, BgntagOutputHitsFileSizeLimit)
{
    const bytes data = testutil::random_bytes(10000, 3);
    testutil::write_file(in, data);
    auto r = run({bgntag, in, out}, [] { testutil::limit_file_size(4096); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "bgntag: " + out + ": " + sys_msg(EFBIG) + "\n");
    EXPECT_EQ(testutil::read_file(in), data);
    bytes partial = testutil::read_file(out);
    ASSERT_EQ(partial.size(), 4096u);
    EXPECT_EQ(bytes(partial.begin(), partial.begin() + 3), testutil::to_bytes("bgn"));
    EXPECT_EQ(bytes(partial.begin() + 20, partial.end()), bytes(data.begin(), data.begin() + 4076));
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in", "out"}));
}

// An input the user may not read: reported, nothing created, whether the
// output is another file or the input itself.
TEST_F(Fault, BgntagUnreadableInput)
{
    need_unprivileged_bgntag();
    if (IsSkipped())
        return;
    const bytes data = testutil::random_bytes(500, 4);
    testutil::write_file(in, data);
    ASSERT_EQ(chmod(in.c_str(), 0200), 0);
    give_away(dir.path());
    give_away(in);
    for (const std::string &target : {out, in}) {
        auto r = run({bgntag, in, target}, drop_privileges);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "bgntag: " + in + ": " + sys_msg(EACCES) + "\n");
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"in"});
    }
    // Read back as its owner may (not root, the file is still 0200).
    ASSERT_EQ(chmod(in.c_str(), 0600), 0);
    EXPECT_EQ(testutil::read_file(in), data);
}

// Replacing a file by its tagged form needs a new file beside the real
// file.  In a read-only directory that cannot be made, so the run fails
// and the original stays, even when it is reached through a link that
// lives in a writable directory.
TEST_F(Fault, BgntagSameFileInReadOnlyDirectory)
{
    need_unprivileged_bgntag();
    if (IsSkipped())
        return;
    const std::string ro = dir / "ro";
    const std::string file = ro + "/in";
    const std::string link = dir / "link";
    ASSERT_EQ(mkdir(ro.c_str(), 0755), 0);
    const bytes data = testutil::random_bytes(3000, 5);
    testutil::write_file(file, data);
    ASSERT_EQ(symlink("ro/in", link.c_str()), 0);
    give_away(dir.path());
    give_away(ro);
    give_away(file);
    give_away(link);
    ASSERT_EQ(chmod(ro.c_str(), 0555), 0);

    struct { std::string in, out; } cases[] = {{file, file}, {file, link}, {link, link}};
    for (const auto &c : cases) {
        auto r = run({bgntag, c.in, c.out}, drop_privileges);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "bgntag: " + c.out + ": " + sys_msg(EACCES) + "\n");
        EXPECT_EQ(testutil::read_file(file), data);
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"link", "ro"}));
        struct stat st;
        ASSERT_EQ(stat(ro.c_str(), &st), 0);
        EXPECT_EQ(st.st_nlink, 2u) << "no stray entries in " << ro;
        ASSERT_EQ(lstat(link.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
    }
}

// ---- whole-file helpers ----

// Writes that fail part-way, at flush time or at the limit: -1 with the
// device's or the limit's error, no partial file left, and a device that
// was written to stays a device.
TEST_F(Fault, WriteFailuresLeaveNoPartialFile)
{
    const bytes data = testutil::random_bytes(10000, 6);
    const std::string dev = testutil::full_device(dir);
    struct {
        const char *name;
        std::string path;
        size_t len;
        std::function<void()> setup;
        int err;
    } cases[] = {
        {"size limit, large write", out, data.size(), [] { testutil::limit_file_size(4096); }, EFBIG},
        // Small enough to sit in the stream's buffer until the flush.
        {"size limit, at flush", out, 100, [] { testutil::limit_file_size(10); }, EFBIG},
        {"full device", dev, data.size(), [] {}, ENOSPC},
    };
    for (const auto &c : cases) {
        if (c.path.empty())
            continue; // no private full device without root
        SCOPED_TRACE(c.name);
        auto before = dir.entries();
        auto r = in_child(c.setup, [&] { return write_buf_to_file(c.path.c_str(), data.data(), c.len); });
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.err, c.err) << sys_msg(r.err);
        EXPECT_EQ(dir.entries(), before);
    }
    if (!dev.empty()) {
        struct stat st;
        ASSERT_EQ(lstat(dev.c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    }
}

// Permission bits: reading an unreadable file, creating a file in a
// read-only directory and replacing a read-only file all fail with EACCES
// and change nothing on disk.
TEST_F(Fault, HelpersRespectPermissionBits)
{
    const std::string ro = dir / "ro";
    const std::string locked = ro + "/locked";
    const std::string fresh = ro + "/fresh";
    const bytes data = testutil::random_bytes(700, 7);
    ASSERT_EQ(mkdir(ro.c_str(), 0755), 0);
    testutil::write_file(locked, data);
    give_away(ro);
    give_away(locked);
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    ASSERT_EQ(chmod(ro.c_str(), 0555), 0);

    bytes buf(data.size());
    auto r = in_child(drop_privileges, [&] { return read_file_to_buf(locked.c_str(), buf.data(), buf.size()); });
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, EACCES) << sys_msg(r.err);
    // The size needs no read permission.
    r = in_child(drop_privileges, [&] { return static_cast<int>(get_file_size(locked.c_str())); });
    EXPECT_EQ(r.rc, 700);

    for (const std::string &path : {fresh, locked}) {
        r = in_child(drop_privileges, [&] { return write_buf_to_file(path.c_str(), data.data(), 10); });
        EXPECT_EQ(r.rc, -1) << path;
        EXPECT_EQ(r.err, EACCES) << path << ": " << sys_msg(r.err);
    }
    EXPECT_FALSE(testutil::exists(fresh));
    // Read back as its owner may (not root, the file is still mode 0).
    ASSERT_EQ(chmod(ro.c_str(), 0755), 0);
    ASSERT_EQ(chmod(locked.c_str(), 0600), 0);
    EXPECT_EQ(testutil::read_file(locked), data);
}

// sysfs reports a page but delivers a few bytes: asking for the reported
// size fails with errno 0 (a short file, not an I/O error), and what is
// really there can be read.
TEST_F(Fault, FileDeliveringLessThanItsSize)
{
    const char *sysfs = "/sys/devices/system/cpu/online";
    const int64_t size = get_file_size(sysfs);
    if (size <= 0)
        GTEST_SKIP() << sysfs << " is absent or reports no size";
    const bytes real = testutil::read_file(sysfs);
    if (static_cast<int64_t>(real.size()) >= size)
        GTEST_SKIP() << sysfs << " delivers all " << size << " bytes it reports";

    bytes buf(static_cast<size_t>(size));
    errno = EINVAL;
    EXPECT_EQ(read_file_to_buf(sysfs, buf.data(), buf.size()), -1);
    EXPECT_EQ(errno, 0);
    bytes head(real.size());
    EXPECT_EQ(read_file_to_buf(sysfs, head.data(), head.size()), 0);
    EXPECT_EQ(head, real);
}

} // namespace
