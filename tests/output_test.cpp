// SPDX-License-Identifier: MIT
// How both programs write their outputs, under hostile and failing
// conditions: a name swapped under them, no free inodes, a read-only
// directory, a dangling link, a file-size limit, set-id bits, standard
// output named as a path.  An existing regular file is replaced whole or
// left exactly as it was, and no temporary file is ever left behind.
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using testutil::bytes;
using testutil::run;

namespace {

const std::string velkor = VELKOR_PATH;
const std::string bgntag = BGNTAG_PATH;

using testutil::sys_msg;

mode_t mode_of(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// A mount inside a test's scratch directory, undone when it goes out of
// scope.  Needs root: ok() is false, with errno set, where mounting is not
// allowed.
class scratch_mount {
public:
    scratch_mount(const std::string &source, const std::string &target, const char *type,
                  unsigned long flags, const char *options)
        : target_(target), ok_(mount(source.c_str(), target.c_str(), type, flags, options) == 0)
    {
    }
    ~scratch_mount()
    {
        if (ok_)
            umount2(target_.c_str(), MNT_DETACH);
    }
    scratch_mount(const scratch_mount &) = delete;
    scratch_mount &operator=(const scratch_mount &) = delete;
    bool ok() const { return ok_; }

private:
    std::string target_;
    bool ok_;
};

// A small fresh tmpfs at dir/name.
std::unique_ptr<scratch_mount> small_tmpfs(const testutil::scratch_dir &dir, const std::string &name,
                                           const char *options = "size=256k")
{
    const std::string mnt = dir / name;
    if (mkdir(mnt.c_str(), 0755) != 0)
        return nullptr;
    auto m = std::make_unique<scratch_mount>("tmpfs", mnt, "tmpfs", 0, options);
    return m->ok() ? std::move(m) : nullptr;
}

class Output : public ::testing::Test {
protected:
    testutil::scratch_dir dir;
    std::string in = dir / "in";
    std::string out = dir / "out";

    // A tagged file holding data, made by bgntag, outside the directory
    // that the test watches.
    std::string tagged(const bytes &data)
    {
        testutil::write_file(tagdir / "src", data);
        EXPECT_EQ(run({bgntag, tagdir / "src", tagdir / "t"}).status, 0);
        return tagdir / "t";
    }

    // Opens both directories to the unprivileged user that tests drop to
    // as root; skips when that user cannot run the programs in the build
    // tree (a build under a private directory, as a package build in a
    // scratch folder is).  A skip only leaves this function: callers return
    // when IsSkipped().
    void need_unprivileged_programs()
    {
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        ASSERT_EQ(chmod(tagdir.path().c_str(), 0755), 0);
        auto r = run({velkor, "--version"}, testutil::drop_privileges);
        if (r.status != 0)
            GTEST_SKIP() << velkor << " cannot be run by uid " << testutil::unprivileged_id;
    }

    // Waits up to 10 s for velkor's temporary file in dir: the output is
    // open, and a signal now finds it there.
    bool temporary_file_appears() const
    {
        for (int k = 0; k < 1000; k++) {
            for (const auto &name : dir.entries())
                if (name.rfind(".velkor.", 0) == 0)
                    return true;
            usleep(10000);
        }
        return false;
    }

    testutil::scratch_dir tagdir;
};

// Once the temporary file exists, its name is used only to rename it over
// the target or to remove it: owner, mode, data and sync go through the
// descriptor.  Someone who can write to the directory and swaps the name
// for a symbolic link therefore never gets us to chown, chmod or write
// another file.  And its data reaches the disk before the rename makes it
// the target: a crash in between must not leave an empty file under the
// target's name.  Checked on the system calls themselves.
TEST_F(Output, TemporaryFileIsReachedByNameOnlyToRenameOrRemove)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "strace is not installed";
    const bytes data = testutil::random_bytes(5000, 1);
    const std::string t = tagged(data);
    testutil::write_file(in, data);
    testutil::write_file(out, testutil::to_bytes("old"));
    struct {
        std::vector<std::string> argv;
        std::string prefix;
    } cases[] = {
        {{velkor, "untag", t, out}, ".velkor."},
        {{velkor, "pack", "-k", "k", "-l", "l", in, in}, ".velkor."},
        {{bgntag, in, in}, ".bgntag."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argv[1]);
        const std::string log = tagdir / "strace.log";
        std::vector<std::string> argv{"/usr/bin/strace", "-f", "-qq", "-o", log, "-e",
                                      "trace=%file,fchown,fchmod,fsync"};
        argv.insert(argv.end(), c.argv.begin(), c.argv.end());
        // LeakSanitizer cannot work under a tracer.
        auto r = run(argv, [] { setenv("ASAN_OPTIONS", "detect_leaks=0", 1); });
        ASSERT_EQ(r.status, 0) << r.err;

        std::ifstream f(log);
        std::string line, name, synced_call;
        int created = 0, renamed = 0;
        bool synced = false;
        while (std::getline(f, line)) {
            if (!synced_call.empty() && renamed == 0 && line.find(synced_call) != std::string::npos &&
                line.find(" = 0") != std::string::npos)
                synced = true;
            const size_t at = line.find(c.prefix);
            if (at == std::string::npos)
                continue;
            const size_t end = line.find('"', at);
            const std::string here = line.substr(at, end - at);
            if (name.empty()) {
                name = here;
                EXPECT_NE(line.find("openat("), std::string::npos) << line;
                EXPECT_NE(line.find("O_CREAT|O_EXCL"), std::string::npos) << line;
                EXPECT_NE(line.find("O_NOFOLLOW"), std::string::npos) << line;
                const size_t result = line.rfind("= ");
                ASSERT_NE(result, std::string::npos) << line;
                synced_call = "fsync(" + std::to_string(std::stoi(line.substr(result + 2))) + ")";
                created++;
                continue;
            }
            ASSERT_EQ(here, name) << "a second temporary file: " << line;
            const bool ok = line.find("renameat") != std::string::npos ||
                            line.find("unlinkat") != std::string::npos;
            EXPECT_TRUE(ok) << "the temporary file reached by name: " << line;
            renamed += line.find("renameat") != std::string::npos;
        }
        EXPECT_EQ(created, 1);
        EXPECT_EQ(renamed, 1);
        EXPECT_TRUE(synced) << "the temporary file was not synced before the rename";
    }
}

// No free inodes (a tiny file system): no temporary file can be made, so
// an existing output, the input named as output included, is refused and
// stays exactly as it was; a new output is an ordinary failure.  Needs
// root to mount.
TEST_F(Output, NoFreeInodesLeavesEveryFileAsItWas)
{
    const std::string mnt = dir / "mnt";
    const auto guard = small_tmpfs(dir, "mnt", "size=256k,nr_inodes=4");
    if (!guard)
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << sys_msg(errno);

    // The root directory and these three use all four inodes.
    const std::string f = mnt + "/f", o = mnt + "/o", filler = mnt + "/filler";
    const bytes data = testutil::random_bytes(20000, 2), old = testutil::to_bytes("old output");
    testutil::write_file(f, data);
    testutil::write_file(o, old);
    testutil::write_file(filler, {});
    const std::string beside = ": cannot write a temporary file beside it: " + sys_msg(ENOSPC) + "\n";
    struct {
        std::vector<std::string> argv;
        std::string err;
    } cases[] = {
        {{velkor, "pack", "-k", "k", "-l", "l", f, f}, "velkor: " + f + beside},
        {{velkor, "pack", "-k", "k", "-l", "l", f, o}, "velkor: " + o + beside},
        {{velkor, "pack", "-k", "k", "-l", "l", f, mnt + "/new"},
         "velkor: " + mnt + "/new: " + sys_msg(ENOSPC) + "\n"},
        {{bgntag, f, f}, "bgntag: " + f + ": " + sys_msg(ENOSPC) + "\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argv[1]);
        auto r = run(c.argv);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(testutil::read_file(f), data);
        EXPECT_EQ(testutil::read_file(o), old);
        EXPECT_FALSE(testutil::exists(mnt + "/new"));
    }
}

// A read-only directory: the same refusal for an existing output, whether
// it is the input itself or another file, and whatever the file's own
// permission bits allow.
TEST_F(Output, ReadOnlyDirectoryRefusesToReplace)
{
    need_unprivileged_programs();
    if (IsSkipped() || HasFatalFailure())
        return;
    const std::string ro = dir / "ro", f = ro + "/f", o = ro + "/o";
    ASSERT_EQ(mkdir(ro.c_str(), 0755), 0);
    const bytes data = testutil::random_bytes(3000, 3), old = testutil::to_bytes("old output");
    testutil::write_file(f, data);
    testutil::write_file(o, old);
    const std::string t = tagged(data);
    for (const auto &p : {ro, f, o})
        testutil::give_away(p);
    ASSERT_EQ(chmod(ro.c_str(), 0555), 0);

    const std::string beside = ": cannot write a temporary file beside it: " + sys_msg(EACCES) + "\n";
    struct {
        std::vector<std::string> argv;
        std::string err;
    } cases[] = {
        {{velkor, "pack", "-k", "k", "-l", "l", f, f}, "velkor: " + f + beside},
        {{velkor, "untag", t, o}, "velkor: " + o + beside},
        {{velkor, "untag", t, ro + "/new"}, "velkor: " + ro + "/new: " + sys_msg(EACCES) + "\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argv[1]);
        auto r = run(c.argv, testutil::drop_privileges);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(testutil::read_file(f), data);
        EXPECT_EQ(testutil::read_file(o), old);
        EXPECT_FALSE(testutil::exists(ro + "/new"));
    }
}

// A link that points nowhere: the output is created at its target and the
// link stays; when the write fails, the link stays and nothing is created.
TEST_F(Output, DanglingLinkKeepsTheLink)
{
    const bytes data = testutil::random_bytes(50000, 4);
    const std::string t = tagged(data), link = dir / "link", target = dir / "target";
    ASSERT_EQ(symlink("target", link.c_str()), 0);

    auto r = run({velkor, "untag", t, link}, [] { testutil::limit_file_size(4096); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velkor: " + link + ": " + sys_msg(EFBIG) + "\n");
    EXPECT_TRUE(S_ISLNK(mode_of(link)));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"link"});

    r = run({velkor, "untag", t, link});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(S_ISLNK(mode_of(link)));
    EXPECT_EQ(testutil::read_file(target), data);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"link", "target"}));
}

// A file-size limit with the signal's default action, which would kill
// the program: both report "File too large" instead, keep the original
// and leave no temporary file.
TEST_F(Output, FileSizeLimitIsAnErrorNotADeath)
{
    const bytes data = testutil::random_bytes(50000, 5);
    const std::string t = tagged(data);
    testutil::write_file(in, data);
    const auto limit = [] {
        signal(SIGXFSZ, SIG_DFL);
        rlimit rl{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &rl);
    };
    struct {
        std::vector<std::string> argv;
        std::string named;
    } cases[] = {
        {{velkor, "untag", t, in}, in},
        {{velkor, "pack", "-k", "k", "-l", "l", in, in}, in},
        {{bgntag, in, in}, in},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argv[1]);
        auto r = run(c.argv, limit);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.argv[0].substr(c.argv[0].rfind('/') + 1) + ": " + c.named + ": " +
                             sys_msg(EFBIG) + "\n");
        EXPECT_EQ(testutil::read_file(in), data);
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"in"});
    }
    // A separate bgntag output keeps its partial bytes, as for any failed
    // write there, but the program still reports instead of dying.
    auto r = run({bgntag, in, out}, limit);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "bgntag: " + out + ": " + sys_msg(EFBIG) + "\n");
}

// Replacing keeps the mode and (as root) the owner: the owner is set
// first, since a change of owner clears set-id bits.  Set-id bits are kept
// only on a file that was ours and had one link: through a second hard
// link (which anyone may make where the system allows it), a user would
// otherwise get a set-id program of their choosing.  A read-only file is
// replaced, as sed -i does; another hard link to the old file keeps the
// old content.
TEST_F(Output, ReplacingKeepsModeOwnerAndSetIdBitsOnlyWhereSafe)
{
    const bytes data = testutil::random_bytes(1000, 6);
    const std::string t = tagged(data);
    const bool root = geteuid() == 0;
    struct {
        const char *what;
        std::vector<std::string> argv;
        std::string target;
        mode_t mode;
        bool hard_link;
        bool other_owner; // handed to the unprivileged user (as root)
        mode_t expected;
    } cases[] = {
        {"bgntag, own file", {bgntag, in, in}, in, 06755, false, false, 06755},
        {"untag, own file", {velkor, "untag", t, out}, out, 06755, false, false, 06755},
        {"untag, read-only", {velkor, "untag", t, out}, out, 0444, true, false, 0444},
        {"bgntag, second link", {bgntag, in, in}, in, 06755, true, false, 0755},
        {"untag, second link", {velkor, "untag", t, out}, out, 06755, true, false, 0755},
        // Not another user's for an unprivileged run: give_away() needs root.
        {"untag, another's file", {velkor, "untag", t, out}, out, 06755, false, true,
         root ? mode_t{0755} : mode_t{06755}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        // Fresh files: a read-only one left by the case before cannot be
        // written again without root.
        std::remove(in.c_str());
        std::remove(out.c_str());
        testutil::write_file(in, data);
        testutil::write_file(out, testutil::to_bytes("old"));
        std::remove((dir / "hardlink").c_str());
        if (c.hard_link) {
            ASSERT_EQ(link(c.target.c_str(), (dir / "hardlink").c_str()), 0);
        }
        if (c.other_owner)
            testutil::give_away(c.target);
        ASSERT_EQ(chmod(c.target.c_str(), c.mode), 0);
        struct stat before, after;
        ASSERT_EQ(stat(c.target.c_str(), &before), 0);
        ASSERT_EQ(before.st_mode & 07777, c.mode);

        auto r = run(c.argv);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(stat(c.target.c_str(), &after), 0);
        EXPECT_NE(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode & 07777, c.expected);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_gid, before.st_gid);
        if (c.hard_link) {
            EXPECT_EQ(testutil::read_file(dir / "hardlink").size(), c.target == in ? data.size() : 3u);
        }
    }
}

// bgntag writes an existing file of one link in place (its inode stays,
// as bgntag(1) says), but never one with a second hard link: that may be
// another file under a name someone else made (protected_hardlinks stops
// only other users, and only where it is on).  Such a file is replaced,
// keeping its mode, and the other name keeps its bytes.
TEST_F(Output, BgntagReplacesAFileWithASecondLink)
{
    const bytes data = testutil::random_bytes(1000, 10), old = testutil::to_bytes("old\n");
    testutil::write_file(in, data);
    const std::string other = tagdir / "other";
    for (const bool second : {false, true}) {
        SCOPED_TRACE(second ? "a second link" : "one link");
        std::remove(out.c_str());
        std::remove(other.c_str());
        testutil::write_file(out, old);
        ASSERT_EQ(chmod(out.c_str(), 0640), 0);
        if (second) {
            ASSERT_EQ(link(out.c_str(), other.c_str()), 0);
        }
        struct stat before, after;
        ASSERT_EQ(stat(out.c_str(), &before), 0);
        auto r = run({bgntag, in, out});
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(stat(out.c_str(), &after), 0);
        EXPECT_EQ(testutil::read_file(out).size(), data.size() + 20);
        EXPECT_EQ(after.st_ino != before.st_ino, second);
        EXPECT_EQ(after.st_mode & 07777, 0640u);
        if (second) {
            EXPECT_EQ(testutil::read_file(other), old);
        }
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in", "out"}));
    }
}

// What holds deciphered bytes is made for the caller alone: unpack's
// output and every file scan --extract writes are created 0600, and the
// directories --extract and --carve make are 0700, the umask applied as
// ever.  The other outputs are 0666 less the umask (bgntag's 0644), and a
// replaced file keeps its mode.
TEST_F(Output, NewFilesHoldingDecipheredBytesAreTheCallersAlone)
{
    const bytes data = testutil::to_bytes("the payload\n");
    const std::string t = tagged(data);
    testutil::write_file(in, data);
    const std::string box = tagdir / "box";
    ASSERT_EQ(run({velkor, "pack", "-k", "k", "-l", "L", in, box}).status, 0);
    std::remove(in.c_str());
    struct row {
        std::vector<std::string> argv;
        std::string file; // what the mode is checked of
        mode_t mode;      // before the umask
        int status = 0;   // 1: a scan that verified nothing, for want of a key
    };
    const std::string ex = dir / "ex", carved = dir / "carved";
    const std::vector<row> rows = {
        {{velkor, "unpack", "-k", "k", box, out}, out, 0600},
        {{velkor, "untag", t, out}, out, 0666},
        {{velkor, "tag", t, out}, out, 0666},
        {{velkor, "pack", "-k", "k", "-l", "L", t, out}, out, 0666},
        {{bgntag, t, out}, out, 0644},
        {{velkor, "scan", "--extract", ex, t}, ex, 0700},
        {{velkor, "scan", "--extract", ex, t}, ex + "/t-00000000.payload", 0600},
        {{velkor, "scan", "--extract", ex, box}, ex + "/box-00000000.vc", 0600, 1},
        {{velkor, "scan", "-k", "k", "--extract", ex, box}, ex + "/box-00000000.payload", 0600},
        {{velkor, "scan", "--carve", carved, t}, carved, 0700},
        {{velkor, "scan", "--carve", carved, t}, carved + "/t-00000000.bgn", 0666},
    };
    for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{027}}) {
        for (const auto &r : rows) {
            SCOPED_TRACE(r.argv[1] + " " + r.file + " umask " + std::to_string(mask));
            std::filesystem::remove_all(ex);
            std::filesystem::remove_all(carved);
            std::remove(out.c_str());
            auto res = run(r.argv, [mask] { umask(mask); });
            ASSERT_EQ(res.status, r.status) << res.err;
            EXPECT_EQ(mode_of(r.file) & 07777, r.mode & ~mask);
        }
    }
    // A file replaced keeps the mode it had.
    testutil::write_file(out, testutil::to_bytes("old"));
    ASSERT_EQ(chmod(out.c_str(), 0644), 0);
    ASSERT_EQ(run({velkor, "unpack", "-k", "k", box, out}).status, 0);
    EXPECT_EQ(testutil::read_file(out), data);
    EXPECT_EQ(mode_of(out) & 07777, 0644u);
}

// Standard output named as a path is written through the descriptor the
// shell set up, after what is already there, not replaced by a new file.
TEST_F(Output, StandardOutputNamedAsAPathIsWrittenInPlace)
{
    const bytes data = testutil::to_bytes("payload\n");
    const std::string t = tagged(data);
    const std::string log = dir / "log";
    for (const std::string &name : {std::string("/dev/stdout"), std::string("/proc/self/fd/1"),
                                    std::string("-"), log}) {
        SCOPED_TRACE(name);
        auto r = run({velkor, "untag", t, name}, [&] {
            const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || write(fd, "start\n", 6) != 6 || dup2(fd, 1) != 1)
                _exit(125);
        });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(testutil::read_file(log), testutil::to_bytes("start\npayload\n"));
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"log"});
    }
}

// Standard output is known by device and inode together.  A file on
// another file system with the same inode number as standard output's
// file is a different file: it is replaced as usual, and standard output
// gets nothing.  Two fresh tmpfs number their files alike; a replaced file
// gets a new number, so each case mounts its own pair.  Needs root to
// mount.
TEST_F(Output, StandardOutputIsKnownByDeviceAndInode)
{
    const bytes data = testutil::to_bytes("payload\n");
    const std::string t = tagged(data);
    const struct {
        std::vector<std::string> argv; // TARGET stands for the file on b
        bytes before, after;           // the target's content
    } cases[] = {
        {{velkor, "untag", t, "TARGET"}, testutil::to_bytes("old"), data},
        {{bgntag, "TARGET", "TARGET"}, data, testutil::read_file(t)},
    };
    for (size_t k = 0; k < std::size(cases); k++) {
        const auto &c = cases[k];
        SCOPED_TRACE(c.argv[1]);
        // A fresh pair of mount points for each case.
        std::string a = "a", b = "b";
        a += std::to_string(k);
        b += std::to_string(k);
        const auto on_a = small_tmpfs(dir, a);
        if (!on_a)
            GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << sys_msg(errno);
        const auto on_b = small_tmpfs(dir, b);
        ASSERT_TRUE(on_b) << sys_msg(errno);
        const std::string log = dir / (a + "/log");
        testutil::write_file(log, testutil::to_bytes("start\n"));
        struct stat log_st, st;
        ASSERT_EQ(stat(log.c_str(), &log_st), 0);
        // Files on b until one has log's inode number.
        std::string target;
        for (int n = 0; n < 100 && target.empty(); n++) {
            const std::string name = dir / (b + "/f" + std::to_string(n));
            testutil::write_file(name, c.before);
            ASSERT_EQ(stat(name.c_str(), &st), 0);
            if (st.st_ino == log_st.st_ino)
                target = name;
        }
        if (target.empty())
            GTEST_SKIP() << "this tmpfs gives no two files the same inode number";
        ASSERT_NE(st.st_dev, log_st.st_dev);

        std::vector<std::string> argv = c.argv;
        std::replace(argv.begin(), argv.end(), std::string("TARGET"), target);
        auto r = run(argv, [&] {
            const int fd = open(log.c_str(), O_WRONLY | O_APPEND);
            if (fd < 0 || dup2(fd, 1) != 1)
                _exit(125);
        });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(testutil::read_file(log), testutil::to_bytes("start\n"));
        EXPECT_EQ(testutil::read_file(target), c.after);
    }
}

// A commit whose rename fails (here a file mounted over the target: EBUSY)
// is a failure: the target keeps what it had and the temporary file is
// removed, by every program that replaces files.  Needs root to mount.
TEST_F(Output, FailedRenameLeavesNoTemporaryFile)
{
    const bytes data = testutil::random_bytes(3000, 9);
    const std::string t = tagged(data), cover = dir / "cover";
    const bytes old = testutil::to_bytes("old output");
    testutil::write_file(in, data);
    testutil::write_file(out, old);
    testutil::write_file(cover, old);
    // A bind mount ignores the type, but the call still reads it.
    const scratch_mount bound(cover, out, "none", MS_BIND, nullptr);
    if (!bound.ok())
        GTEST_SKIP() << "cannot bind-mount a file here (needs root): " << sys_msg(errno);
    struct {
        std::vector<std::string> argv;
        std::string err;
    } cases[] = {
        {{velkor, "untag", t, out}, "velkor: " + out},
        {{velkor, "tag", in, out}, "velkor: " + out},
        {{velkor, "pack", "-k", "k", "-l", "l", in, out}, "velkor: " + out},
        {{bgntag, out, out}, "bgntag: " + out},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argv[1]);
        auto r = run(c.argv);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err + ": " + sys_msg(EBUSY) + "\n");
        EXPECT_EQ(testutil::read_file(out), old);
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"cover", "in", "out"}));
    }
}

// Any signal that would end the program while an output is being written,
// the real-time ones and the faults included: the temporary file goes, the
// old output stays, and the program ends as the signal says, so its caller
// sees it.
TEST_F(Output, InterruptRemovesTheTemporaryFile)
{
    testutil::write_file(tagdir / "src", testutil::random_bytes(size_t{3} << 20, 8));
    ASSERT_EQ(run({bgntag, tagdir / "src", tagdir / "t"}).status, 0);
    const bytes tagged_file = testutil::read_file(tagdir / "t");
    const bytes old = testutil::to_bytes("old output");
    struct sigaction ignore {}, saved {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &saved); // the program may be gone before we stop writing
    // The signals that dump core do so here no more than anywhere.
    rlimit core {}, no_core{0, 0};
    getrlimit(RLIMIT_CORE, &core);
    setrlimit(RLIMIT_CORE, &no_core);
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGPOLL,
                    SIGPROF, SIGVTALRM, SIGXCPU, SIGTRAP, SIGABRT, SIGSYS, SIGSTKFLT, SIGPWR,
                    SIGRTMIN, SIGRTMIN + 1, SIGRTMAX, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
        SCOPED_TRACE(strsignal(sig));
        // A sanitizer's handler keeps the faults, by design (io.h).
        if ((sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL) && testutil::sanitized())
            continue;
        if (testutil::signal_not_as_the_kernels(sig) != nullptr)
            continue;
        testutil::write_file(out, old);
        auto s = testutil::start({velkor, "untag", "-", out});
        // The header and a part of the payload: the output is open, the
        // rest is still to come.
        ASSERT_TRUE(write(s.stdin_fd, tagged_file.data(), 20 + 100000) == 20 + 100000);
        EXPECT_TRUE(temporary_file_appears()) << "no temporary file appeared";
        kill(s.pid, sig);
        EXPECT_EQ(testutil::wait_for(s), 128 + sig);
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"out"});
        EXPECT_EQ(testutil::read_file(out), old);
    }
    sigaction(SIGPIPE, &saved, nullptr);
    setrlimit(RLIMIT_CORE, &core);
}

// A signal ignored when the program starts (nohup) stays ignored: HUP in
// the middle of an untag changes nothing, and the whole payload arrives.
TEST_F(Output, IgnoredHangupStaysIgnored)
{
    const bytes payload = testutil::random_bytes(size_t{1} << 20, 9);
    const bytes whole = testutil::read_file(tagged(payload));
    struct sigaction ignore {}, saved_pipe {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &saved_pipe);
    // Ignored across exec, as nohup(1) leaves it.
    auto s = testutil::start({velkor, "untag", "-", out}, [] { signal(SIGHUP, SIG_IGN); });
    ASSERT_EQ(write(s.stdin_fd, whole.data(), 20 + 100000), 20 + 100000);
    EXPECT_TRUE(temporary_file_appears()) << "no temporary file appeared";
    kill(s.pid, SIGHUP);
    const auto rest = static_cast<ssize_t>(whole.size() - (20 + 100000));
    EXPECT_EQ(write(s.stdin_fd, whole.data() + 20 + 100000, static_cast<size_t>(rest)), rest);
    close(s.stdin_fd);
    EXPECT_EQ(testutil::wait_for(s), 0);
    sigaction(SIGPIPE, &saved_pipe, nullptr);
    EXPECT_EQ(testutil::read_file(out), payload);
}

// check prints one line per file, however the file is named: a name with a
// line end in it cannot forge an OK line for another file.
TEST_F(Output, CheckCannotBeMadeToForgeALine)
{
    const std::string forged = dir / "bad\nimportant.bgn: OK\nx";
    testutil::write_file(forged, testutil::to_bytes("not tagged at all, and long enough"));
    auto r = run({velkor, "check", forged});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "$'" + dir.path() + "/bad\\nimportant.bgn: OK\\nx': FAILED (not a tagged file)\n");
}

} // namespace
