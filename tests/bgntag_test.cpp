// SPDX-License-Identifier: MIT
// Drives the built bgntag binary.
#include "testutil.h"
#include "velkor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using testutil::bytes;
using testutil::run;

namespace {

const std::string bgntag = BGNTAG_PATH;

using testutil::sys_msg;

uint32_t be32(const bytes &b, size_t off)
{
    return static_cast<uint32_t>(b[off]) << 24 | static_cast<uint32_t>(b[off + 1]) << 16 |
           static_cast<uint32_t>(b[off + 2]) << 8 | b[off + 3];
}

class Bgntag : public ::testing::Test {
protected:
    testutil::scratch_dir dir;
    std::string in = dir / "in";
    std::string out = dir / "out";
};

TEST_F(Bgntag, ExactBytesForKnownInputs)
{
    struct { std::string input; bytes want; } cases[] = {
        {"", {0x62, 0x67, 0x6E, 0, 0, 0, 0, 0, 0, 0, 0, 0xB1, 0, 0, 0, 0x14, 0x98, 0xB9, 0x6A, 0xA8}},
        {"abc", {0x62, 0x67, 0x6E, 0, 0, 0, 0, 0, 0, 0, 0, 0xB1, 0, 0, 0, 0x17, 0x07, 0xE3, 0x22,
                 0x1F, 0x61, 0x62, 0x63}},
    };
    for (const auto &c : cases) {
        testutil::write_file(in, testutil::to_bytes(c.input));
        auto r = run({bgntag, in, out});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(testutil::read_file(out), c.want) << "input \"" << c.input << "\"";
    }
}

// Any tagged file: the header describes it, the CRC checks out over the
// whole file with its own field zeroed, and the payload is the input.
TEST_F(Bgntag, HeaderDescribesTheFile)
{
    for (size_t n : {1u, 255u, 256u, 4096u, 100000u, 1u << 20}) {
        bytes data = testutil::random_bytes(n, static_cast<uint32_t>(n));
        testutil::write_file(in, data);
        ASSERT_EQ(run({bgntag, in, out}).status, 0);
        bytes t = testutil::read_file(out);
        ASSERT_EQ(t.size(), n + 20);
        EXPECT_EQ(std::string(t.begin(), t.begin() + 3), "bgn");
        EXPECT_EQ(bytes(t.begin() + 3, t.begin() + 11), bytes(8, 0));
        EXPECT_EQ(t[11], 0xB1);
        EXPECT_EQ(be32(t, 12), n + 20);
        uint32_t stored = be32(t, 16);
        std::fill(t.begin() + 16, t.begin() + 20, 0);
        EXPECT_EQ(velkor_crc(t.data(), t.size()), stored);
        EXPECT_EQ(bytes(t.begin() + 20, t.end()), data);
    }
}

// A tagged file is tagged again, with a second header in front.
TEST_F(Bgntag, TagsATaggedFileAgain)
{
    testutil::write_file(in, testutil::to_bytes("abc"));
    ASSERT_EQ(run({bgntag, in, out}).status, 0);
    std::string twice = dir / "twice";
    ASSERT_EQ(run({bgntag, out, twice}).status, 0);
    bytes once = testutil::read_file(out);
    bytes t = testutil::read_file(twice);
    ASSERT_EQ(t.size(), once.size() + 20);
    EXPECT_EQ(bytes(t.begin() + 20, t.end()), once);
}

// Inputs whose status reports size 0 are read to their end, so a pipe, a
// FIFO or a /proc file is tagged whole, exactly as a regular file holding
// the same bytes; an empty file and /dev/null give the header alone.
TEST_F(Bgntag, InputWithSizeZeroIsReadToItsEnd)
{
    const bytes data = testutil::random_bytes(300000, 12); // more than one buffer's growth
    testutil::write_file(in, data);
    const std::string want_path = dir / "want";
    ASSERT_EQ(run({bgntag, in, want_path}).status, 0);
    const bytes want = testutil::read_file(want_path);

#if !defined(_WIN32) // FIFOs, /dev/stdin and /proc are POSIX's and Linux's
    // A FIFO, fed by a thread.
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] { testutil::write_file(fifo, data); });
    auto r = run({bgntag, fifo, out});
    writer.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testutil::read_file(out), want);

    // Standard input from a pipe, named /dev/stdin.
    r = run({bgntag, "/dev/stdin", out}, {}, &data);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testutil::read_file(out), want);

    // A /proc file reports size 0 too.
    const bytes ostype = testutil::read_file("/proc/sys/kernel/ostype");
    testutil::write_file(in, ostype);
    ASSERT_EQ(run({bgntag, in, want_path}).status, 0);
    r = run({bgntag, "/proc/sys/kernel/ostype", out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testutil::read_file(out), testutil::read_file(want_path));
#endif

    // Nothing to read: the header alone.
    testutil::write_file(in, {});
    for (const std::string &empty : {in, std::string(testutil::null_device)}) {
        const auto got = run({bgntag, empty, out});
        EXPECT_EQ(got.status, 0) << got.err;
        bytes t = testutil::read_file(out);
        ASSERT_EQ(t.size(), 20u) << empty;
        EXPECT_EQ(be32(t, 16), 0x98B96AA8u);
    }
}

TEST_F(Bgntag, WrongOperandCountPrintsUsage)
{
    testutil::write_file(in, testutil::to_bytes("abc"));
    const std::vector<std::vector<std::string>> cmds = {
        {bgntag}, {bgntag, in}, {bgntag, in, out, dir / "third"}};
    for (const auto &cmd : cmds) {
        auto r = run(cmd);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "usage: " + bgntag + " <in> <out>\n");
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"in"});
}

TEST_F(Bgntag, InputFailuresCreateNoOutput)
{
    std::string missing = dir / "missing";
    std::string subdir = dir / "subdir";
    ASSERT_EQ(mkdir(subdir.c_str(), 0755), 0);
    struct { std::string input; std::string msg; } cases[] = {
        {missing, sys_msg(ENOENT)},
        {subdir, sys_msg(EISDIR)},
    };
    for (const auto &c : cases) {
        auto r = run({bgntag, c.input, out});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "bgntag: " + c.input + ": " + c.msg + "\n");
        EXPECT_FALSE(testutil::exists(out));
    }
}

// A length field of 32 bits cannot describe 2^32 - 20 input bytes or more.
// The input is sparse, so the test costs no disk space.
TEST_F(Bgntag, RefusesInputTooLargeForTheLengthField)
{
    testutil::write_file(in, {});
    ASSERT_EQ(truncate(in.c_str(), (int64_t{1} << 32) - 20), 0);
    auto r = run({bgntag, in, out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "bgntag: " + in + ": " + sys_msg(EFBIG) + "\n");
    EXPECT_FALSE(testutil::exists(out));
}

#if !defined(_WIN32) // sysfs
// Some files report more than they deliver (sysfs reports a page).
TEST_F(Bgntag, ShortInputIsAnError)
{
    const std::string sysfs = "/sys/devices/system/cpu/online";
    struct stat st;
    if (stat(sysfs.c_str(), &st) != 0 || st.st_size <= 20)
        GTEST_SKIP() << sysfs << " is absent or reports its true size";
    auto r = run({bgntag, sysfs, out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "bgntag: " + sysfs + ": unexpected end of file\n");
    EXPECT_FALSE(testutil::exists(out));
}
#endif

TEST_F(Bgntag, ExistingOutputIsTruncated)
{
    testutil::write_file(in, testutil::to_bytes("abc"));
    testutil::write_file(out, testutil::random_bytes(5000, 1));
    ASSERT_EQ(run({bgntag, in, out}).status, 0);
    EXPECT_EQ(testutil::read_file(out).size(), 23u);
}

TEST_F(Bgntag, OutputFailures)
{
    testutil::write_file(in, testutil::to_bytes("abc"));
    std::string unopenable = dir / "no-such-dir/out";
    auto r = run({bgntag, in, unopenable});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "bgntag: " + unopenable + ": " + sys_msg(ENOENT) + "\n");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"in"});

#if !defined(_WIN32) // device nodes
    // A full device fails at the write and stays a device.
    const std::string dev = testutil::full_device(dir);
    if (dev.empty())
        GTEST_SKIP() << "no private full device can be made here (needs root)";
    r = run({bgntag, in, dev});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "bgntag: " + dev + ": " + sys_msg(ENOSPC) + "\n");
    struct stat st;
    ASSERT_EQ(lstat(dev.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
#endif
}

#if !defined(_WIN32) // links, modes, device nodes and file-size limits
// The same file as input and output, by name or through a symbolic link:
// it becomes its tagged form, keeps its permission bits, the link stays a
// link and nothing else is left in the directory.
TEST_F(Bgntag, SameFileIsReplacedByItsTaggedForm)
{
    bytes data = testutil::random_bytes(3000, 5);
    std::string expected_path = dir / "expected";
    std::string link = dir / "link";
    ASSERT_EQ(symlink("in", link.c_str()), 0);
    for (const std::string &target : {in, link}) {
        testutil::write_file(in, data);
        ASSERT_EQ(chmod(in.c_str(), 0640), 0);
        ASSERT_EQ(run({bgntag, in, expected_path}).status, 0);

        auto r = run({bgntag, in, target});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(testutil::read_file(in), testutil::read_file(expected_path));
        struct stat st;
        ASSERT_EQ(stat(in.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        ASSERT_EQ(lstat(link.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"expected", "in", "link"}));
    }
}

// A device named as both input and output is written in place: it is not a
// file to replace.  A private twin of /dev/null, so that a faulty build
// cannot replace the system's node.
TEST_F(Bgntag, SameDeviceIsWrittenInPlace)
{
    struct stat sys;
    ASSERT_EQ(stat("/dev/null", &sys), 0);
    std::string dev = dir / "null";
    if (mknod(dev.c_str(), S_IFCHR | 0666, sys.st_rdev) != 0)
        GTEST_SKIP() << "cannot make a device node here";
    auto r = run({bgntag, dev, dev});
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(lstat(dev.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(st.st_rdev, sys.st_rdev);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"null"});
}

// A write that fails part-way leaves the original file untouched and no
// temporary file behind.
TEST_F(Bgntag, SameFileFailureKeepsTheOriginal)
{
    bytes data = testutil::random_bytes(10000, 9);
    testutil::write_file(in, data);
    auto r = run({bgntag, in, in}, [] { testutil::limit_file_size(4096); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "bgntag: " + in + ": " + sys_msg(EFBIG) + "\n");
    EXPECT_EQ(testutil::read_file(in), data);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"in"});
}
#endif

} // namespace
