// SPDX-License-Identifier: MIT
// How velkor reads what it is given besides plain files: a block device as
// an image (read again for later passes, counted from where reading
// began), a FIFO of one's own, a terminal (never made the controlling
// one), and pipes spooled where TMPDIR says.
#include "testutil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

using testutil::bytes;
using testutil::run;

namespace {

const std::string velkor = VELKOR_PATH;
const std::string bgntag = BGNTAG_PATH;

// The value of a field of a JSON line of scan's, as text.
std::string field(const std::string &line, const std::string &name)
{
    const std::string key = "\"" + name + "\":";
    const size_t at = line.find(key);
    if (at == std::string::npos)
        return "";
    const size_t from = at + key.size();
    return line.substr(from, line.find_first_of(",}", from) - from);
}

// The lines of scan --json's output of the given kind ("summary", or a
// find's "tagged").
std::vector<std::string> lines_of_kind(const std::string &out, const std::string &kind)
{
    std::vector<std::string> found;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (field(line, "kind") == "\"" + kind + "\"")
            found.push_back(line);
    return found;
}

class Input : public ::testing::Test {
protected:
    testutil::scratch_dir dir;

    bytes tagged(const bytes &payload)
    {
        testutil::write_file(dir / "payload", payload);
        EXPECT_EQ(run({bgntag, dir / "payload", dir / "tagged"}).status, 0);
        return testutil::read_file(dir / "tagged");
    }
};

// A loop device attached read-only to a file, and reached only through a
// private node in the scratch directory, never the system's own; detached
// at the end.  Needs root and a free loop device.
class loop_device {
public:
    loop_device(const std::string &backing, const std::string &node)
    {
        if (geteuid() != 0) {
            why_ = "attaching a loop device needs root";
            return;
        }
        if (access("/usr/sbin/losetup", X_OK) != 0 && access("/sbin/losetup", X_OK) != 0) {
            why_ = "losetup is not installed";
            return;
        }
        auto r = run({"/bin/sh", "-c", "PATH=/usr/sbin:/sbin:$PATH exec losetup -r -f --show \"$0\"", backing});
        if (r.status != 0 || r.out.empty()) {
            why_ = "no free loop device: " + r.err;
            return;
        }
        system_name_ = r.out.substr(0, r.out.find('\n'));
        struct stat st;
        if (stat(system_name_.c_str(), &st) != 0 || !S_ISBLK(st.st_mode) ||
            mknod(node.c_str(), S_IFBLK | 0400, st.st_rdev) != 0) {
            why_ = "no private node can be made for " + system_name_;
            return;
        }
        ok_ = true;
    }
    ~loop_device()
    {
        if (!system_name_.empty())
            run({"/bin/sh", "-c", "PATH=/usr/sbin:/sbin:$PATH exec losetup -d \"$0\"", system_name_});
    }
    loop_device(const loop_device &) = delete;
    loop_device &operator=(const loop_device &) = delete;
    bool ok() const { return ok_; }
    const std::string &why() const { return why_; }

private:
    std::string system_name_;
    std::string why_;
    bool ok_ = false;
};

// A block device holds its bytes still: scan reads it again in further
// passes as it does a file, and its length is the device's size from where
// reading began (standard input left at an offset), not the whole device.
TEST_F(Input, BlockDeviceAsAnImage)
{
    // Headers each claiming the rest: more candidates than the scanner's
    // memory holds, so the image must be read again in further passes.
    bytes img = testutil::forged_headers(500000);
    const bytes t = tagged(testutil::to_bytes("found at last"));
    const uint64_t found_at = img.size();
    img.insert(img.end(), t.begin(), t.end());
    img.resize((img.size() + 511) / 512 * 512); // a loop device ends on a sector
    const std::string backing = dir / "backing", node = dir / "disk";
    testutil::write_file(backing, img);
    const loop_device loop(backing, node);
    if (!loop.ok())
        GTEST_SKIP() << loop.why();

    auto r = run({velkor, "scan", "--json", node});
    EXPECT_EQ(r.status, 0) << r.err;
    auto finds = lines_of_kind(r.out, "tagged");
    ASSERT_EQ(finds.size(), 1u) << r.out;
    EXPECT_EQ(field(finds[0], "offset"), std::to_string(found_at));
    auto summaries = lines_of_kind(r.out, "summary");
    ASSERT_EQ(summaries.size(), 1u) << r.out;
    EXPECT_EQ(field(summaries[0], "bytes"), std::to_string(img.size()));
    EXPECT_EQ(field(summaries[0], "dropped"), "0");
    EXPECT_GT(std::stoi(field(summaries[0], "passes")), 1);
    EXPECT_EQ(field(summaries[0], "complete"), "true");

    // From an offset: what lies before it is not the image.
    const uint64_t skip = 4096;
    r = run({velkor, "scan", "--json", "-"}, [&] {
        const int fd = open(node.c_str(), O_RDONLY);
        if (fd < 0 || lseek(fd, static_cast<off_t>(skip), SEEK_SET) != static_cast<off_t>(skip) || dup2(fd, 0) != 0)
            _exit(125);
    });
    EXPECT_EQ(r.status, 0) << r.err;
    finds = lines_of_kind(r.out, "tagged");
    ASSERT_EQ(finds.size(), 1u) << r.out;
    EXPECT_EQ(field(finds[0], "offset"), std::to_string(found_at - skip));
    summaries = lines_of_kind(r.out, "summary");
    ASSERT_EQ(summaries.size(), 1u) << r.out;
    EXPECT_EQ(field(summaries[0], "bytes"), std::to_string(img.size() - skip));
    EXPECT_EQ(field(summaries[0], "complete"), "true");
}

// A FIFO of one's own is an image like a pipe, whoever writes it; the run
// is bounded in time, so a scan that never ends fails the test instead of
// hanging it.
TEST_F(Input, OwnFifoAsAnImage)
{
    const bytes t = tagged(testutil::to_bytes("through a FIFO"));
    testutil::write_file(dir / "img", t);
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string cmd : {"scan --json", "check", "untag"}) {
        SCOPED_TRACE(cmd);
        // The writer gives up in time too, should velkor never open the FIFO.
        auto r = run({"/bin/bash", "-c", "timeout 30 cat \"$2\" > \"$3\" & $1 " + cmd + " \"$3\" " +
                                             (cmd == "untag" ? "-" : "") + "; s=$?; wait; exit $s",
                      "bash", velkor, dir / "img", fifo},
                     [] { alarm(20); });
        EXPECT_EQ(r.status, 0) << r.err;
        if (cmd == "untag")
            EXPECT_EQ(r.out, "through a FIFO");
        else
            EXPECT_NE(r.out.find(cmd == "check" ? ": OK" : "\"verified\":1"), std::string::npos) << r.out;
    }
}

// A terminal named as an input is read, but never becomes the controlling
// terminal of a velkor that has none (a daemon's, say), where a hangup on
// it would then end velkor.  velkor is held reading it while we look.
TEST_F(Input, TerminalNamedAsAnInputIsNotTakenAsTheControllingOne)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        GTEST_SKIP() << "no pseudo-terminal here: " << testutil::sys_msg(errno);
    const std::string slave = ptsname(master);
    auto s = testutil::start({velkor, "check", slave}, [] {
        if (setsid() < 0)
            _exit(125);
        alarm(30);
    });
    // Until velkor has the terminal open.
    const std::string fds = "/proc/" + std::to_string(s.pid) + "/fd/";
    bool open_seen = false;
    for (int k = 0; k < 1000 && !open_seen; k++) {
        for (int fd = 3; fd < 16 && !open_seen; fd++) {
            char target[256];
            const ssize_t n = readlink((fds + std::to_string(fd)).c_str(), target, sizeof target - 1);
            open_seen = n > 0 && std::string(target, static_cast<size_t>(n)) == slave;
        }
        if (!open_seen)
            usleep(10000);
    }
    std::ifstream stat_file("/proc/" + std::to_string(s.pid) + "/stat");
    std::string stat_line;
    std::getline(stat_file, stat_line);
    // SIGTERM, which velkor ends on as it would by default: a checker
    // such as Valgrind still writes its report, which SIGKILL would cut.
    kill(s.pid, SIGTERM);
    testutil::wait_for(s);
    close(master);
    ASSERT_TRUE(open_seen) << "velkor never opened the terminal";
    // The fields after the command's name, in parentheses: state, ppid,
    // pgrp, session, tty_nr.
    std::istringstream rest(stat_line.substr(stat_line.rfind(')') + 2));
    std::string state, ppid, pgrp, session, tty;
    rest >> state >> ppid >> pgrp >> session >> tty;
    EXPECT_EQ(tty, "0") << stat_line;
}

// A pipe that must be held whole before it is written (pack's length comes
// first) is spooled to a nameless file in TMPDIR, or in /tmp where TMPDIR
// is unset or empty; a TMPDIR that does not exist is a failure, not a
// silent fallback.
TEST_F(Input, PipesAreSpooledWhereTmpdirSays)
{
    const bytes data = testutil::random_bytes(300000, 11);
    testutil::write_file(dir / "in", data);
    const std::vector<std::string> pack = {velkor, "pack", "-k", "k", "-l", "L"};
    auto with = [&](std::vector<std::string> io) {
        std::vector<std::string> argv = pack;
        argv.insert(argv.end(), io.begin(), io.end());
        return argv;
    };
    ASSERT_EQ(run(with({dir / "in", dir / "want"})).status, 0);
    const bytes want = testutil::read_file(dir / "want");
    ASSERT_EQ(mkdir((dir / "spool").c_str(), 0700), 0);
    struct row {
        const char *what;
        const char *tmpdir; // null: unset
        int status;
    };
    const std::string spool = dir / "spool", missing = dir / "missing";
    const std::vector<row> rows = {
        {"unset", nullptr, 0},
        {"empty", "", 0},
        {"a directory", spool.c_str(), 0},
        {"missing", missing.c_str(), 1},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        std::remove((dir / "out").c_str());
        auto res = run(with({"-", dir / "out"}),
                       [&] { r.tmpdir != nullptr ? setenv("TMPDIR", r.tmpdir, 1) : unsetenv("TMPDIR"); }, &data);
        EXPECT_EQ(res.status, r.status) << res.err;
        if (r.status == 0) {
            EXPECT_EQ(testutil::read_file(dir / "out"), want);
        } else {
            EXPECT_FALSE(testutil::exists(dir / "out"));
        }
        EXPECT_TRUE(testutil::entries_of(spool).empty());
    }
}

} // namespace
