// SPDX-License-Identifier: MIT
// Names that someone else controls.  Links, files and FIFOs planted in a
// sticky directory by another user, another user's directories and the
// links in them, set-id bits through a second hard link, a link swapped
// while the command runs, link chains, /dev/fd and /proc paths, outputs
// and key files that are the input itself or each other, key files
// without end, forged piped containers and the messages that quote what
// the user typed.
#include "testutil.h"
#include "velkor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

using testutil::bytes;
using testutil::run;

namespace {

const std::string velkor = VELKOR_PATH;
const std::string bgntag = BGNTAG_PATH;

std::string str(const bytes &b) { return std::string(b.begin(), b.end()); }

// Runs a bash script with the given words as $1, $2, ...
testutil::result sh(const std::string &script, const std::vector<std::string> &args = {},
                    const std::function<void()> &in_child = {})
{
    std::vector<std::string> argv = {"/bin/bash", "-c", script, "bash"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, in_child);
}

// A guard against a command that would never end (tag reading its own
// output, were it allowed to): it can neither fill the disk nor run for
// long, and every process of the script inherits the limits.
void time_limit()
{
    rlimit size{16u << 20, 16u << 20}, cpu{20, 20};
    setrlimit(RLIMIT_FSIZE, &size);
    setrlimit(RLIMIT_CPU, &cpu);
    alarm(60);
}

class Hostile : public ::testing::Test {
protected:
    testutil::scratch_dir dir;
    std::string in = dir / "in";
    bytes data = testutil::to_bytes("the payload, as the user meant it\n");

    void SetUp() override { testutil::write_file(in, data); }

    std::string tagged()
    {
        const std::string t = dir / "t";
        EXPECT_EQ(run({bgntag, in, t}).status, 0);
        return t;
    }
    std::string container(const std::string &key = "k")
    {
        const std::string box = dir / "box";
        auto r = run({velkor, "pack", "-k", key, "-l", "L", in, box});
        EXPECT_EQ(r.status, 0) << r.err;
        return box;
    }
};

// Runs fn as the unprivileged user in a child, and waits for it.
void as_other_user(const std::function<void()> &fn)
{
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        testutil::drop_privileges();
        fn();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other user's step failed";
}

// A sticky, world-writable directory beside a directory only root can
// enter, as /tmp stands beside /root; and two more of root's that the
// other user can write: sticky and group-writable (their group), and
// world-writable without the sticky bit.
class Planted : public Hostile {
protected:
    std::string priv = dir / "priv", pub = dir / "pub", victim = priv + "/victim";
    std::string grp = dir / "grp", nsw = dir / "nsw";
    const bytes secret = testutil::to_bytes("root's own file\n");

    void SetUp() override
    {
        Hostile::SetUp();
        if (geteuid() != 0)
            GTEST_SKIP() << "planting a link as another user needs root";
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        ASSERT_EQ(mkdir(priv.c_str(), 0700), 0);
        make_dir(pub, 01777, false);
        make_dir(grp, 01770, false);
        ASSERT_EQ(chown(grp.c_str(), 0, testutil::unprivileged_id), 0);
        make_dir(nsw, 0777, false);
        testutil::write_file(victim, secret);
    }

    void plant(const std::string &target, const std::string &name)
    {
        as_other_user([&] {
            if (symlink(target.c_str(), name.c_str()) != 0)
                _exit(1);
        });
    }

    // Made by root, then handed to the other user when `theirs`: where
    // the other user could not make them (root's directories), or in
    // more steps than a planted link takes.
    void make_dir(const std::string &path, mode_t mode, bool theirs)
    {
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        if (theirs)
            testutil::give_away(path);
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
    }
    void make_link(const std::string &target, const std::string &name, bool theirs)
    {
        ASSERT_EQ(symlink(target.c_str(), name.c_str()), 0);
        if (theirs)
            testutil::give_away(name);
    }
    void make_file(const std::string &path, const bytes &content, bool theirs)
    {
        testutil::write_file(path, content);
        if (theirs)
            testutil::give_away(path);
    }

    // The name under which scan --extract writes the find of the tagged
    // file t, learnt from a run into a directory of root's own.
    std::string extracted_name(const std::string &t)
    {
        const std::string probe = dir / "probe";
        auto r = run({velkor, "scan", "--extract", probe, t});
        EXPECT_EQ(r.status, 0) << r.err;
        const auto names = testutil::entries_of(probe);
        EXPECT_EQ(names.size(), 1u);
        return names.empty() ? "none" : names[0];
    }
};

// Reads a FIFO as the other user for as long as it lives, appending all it
// gets to `loot`: a thief waiting for root to write there.
class fifo_reader {
public:
    fifo_reader(const std::string &fifo, const std::string &loot)
    {
        pid_ = fork();
        if (pid_ != 0)
            return;
        testutil::drop_privileges();
        alarm(120);
        const int in = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        const int out = open(loot.c_str(), O_WRONLY | O_APPEND);
        if (in < 0 || out < 0)
            _exit(1);
        char buf[4096];
        for (;;) {
            const ssize_t n = read(in, buf, sizeof buf);
            if (n > 0) {
                if (write(out, buf, static_cast<size_t>(n)) != n)
                    _exit(1);
            } else {
                poll(nullptr, 0, 5);
            }
        }
    }
    ~fifo_reader()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    fifo_reader(const fifo_reader &) = delete;
    fifo_reader &operator=(const fifo_reader &) = delete;

private:
    pid_t pid_;
};

// Links that another user planted in a directory others can write are
// not followed, whatever the system's own protected-links setting: sticky
// or not, world- or group-writable.  The victim stays as it was, a
// dangling link creates nothing, and a link to the other user's own file
// (which safe transitions alone would allow) does not hand them root's
// bytes either.
TEST_F(Planted, LinksOfAnotherUserAreRefused)
{
    const std::string t = tagged(), box = container();
    const bytes theirs = testutil::to_bytes("y\n");
    for (const std::string &d : {pub, grp, nsw}) {
        SCOPED_TRACE(d);
        const std::string sub = d + "/sub";
        as_other_user([&] {
            if (mkdir(sub.c_str(), 0755) != 0)
                _exit(1);
            testutil::write_file(sub + "/f", theirs);
        });
        plant(victim, d + "/out");
        plant(priv + "/new", d + "/dangling");
        plant("sub/f", d + "/own");
        const std::vector<std::vector<std::string>> commands = {
            {velkor, "tag", in, d + "/out"},
            {velkor, "untag", t, d + "/out"},
            {velkor, "pack", "-k", "k", "-l", "L", in, d + "/out"},
            {velkor, "unpack", "-k", "k", box, d + "/out"},
            {bgntag, d + "/out", d + "/out"},
            {velkor, "tag", in, d + "/dangling"},
            {bgntag, in, d + "/dangling"},
            {velkor, "unpack", "-k", "k", box, d + "/own"},
            {velkor, "untag", t, d + "/own"},
            {bgntag, in, d + "/own"},
            {velkor, "scan", "--map", d + "/own", t},
            // A link further up the name is refused as well.
            {velkor, "tag", in, d + "/out/../victim"},
        };
        const std::vector<std::string> planted = {"dangling", "out", "own", "sub"};
        for (const auto &argv : commands) {
            SCOPED_TRACE(argv[1] + " " + argv.back());
            auto r = run(argv);
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find(testutil::sys_msg(EACCES)), std::string::npos) << r.err;
            EXPECT_EQ(testutil::read_file(victim), secret);
            EXPECT_EQ(testutil::read_file(sub + "/f"), theirs);
            EXPECT_EQ(testutil::entries_of(priv), std::vector<std::string>{"victim"});
            EXPECT_EQ(testutil::entries_of(d), planted);
            EXPECT_EQ(testutil::entries_of(sub), std::vector<std::string>{"f"});
        }
    }
}

// velkor scan --extract: neither the directory nor a file in it is reached
// through another user's link in the sticky directory.  A refused
// directory ends the run (status 1); a refused file is that file's
// failure, and the scan is incomplete (status 3).
TEST_F(Planted, ScanExtractRefusesPlantedLinks)
{
    const std::string t = tagged(); // its find is t-00000000.payload
    plant(priv, pub + "/parts");
    plant(victim, pub + "/t-00000000.payload");
    for (const std::string &target : {pub + "/parts", pub}) {
        SCOPED_TRACE(target);
        auto r = run({velkor, "scan", "--extract", target, t});
        EXPECT_EQ(r.status, target == pub ? 3 : 1);
        EXPECT_NE(r.err.find(testutil::sys_msg(EACCES)), std::string::npos) << r.err;
        EXPECT_EQ(testutil::read_file(victim), secret);
        EXPECT_EQ(testutil::entries_of(priv), std::vector<std::string>{"victim"});
        EXPECT_EQ(testutil::entries_of(pub), (std::vector<std::string>{"parts", "t-00000000.payload"}));
    }
}

// Each rule on links on its own.  The protected-links rule refuses only
// another user's link in a sticky world-writable directory, unless the
// directory is that user's: a rule of "never follow another's link" would
// refuse the rows that are followed here.  And another user's link leads
// only to what that user owns: every directory it passes, ".." and "/"
// included, and the file it ends on.  Root's own links lead anywhere.
TEST_F(Planted, EachLinkRuleOnItsOwn)
{
    struct row {
        const char *what;
        mode_t dir_mode;
        bool dir_theirs, link_theirs;
        std::string text;   // the link's text; "target" is a file in the same directory
        bool target_theirs; // for the file "target"
        bool followed;
    };
    const std::string up_target = dir / "up-target"; // in root's directory
    const std::vector<row> rows = {
        {"root's link in another's sticky directory", 01777, true, false, victim, false, true},
        {"another's link in root's 01755 directory", 01755, false, true, "target", true, true},
        {"another's link in root's 0755 directory", 0755, false, true, "target", true, true},
        {"another's link in their own 01777 directory", 01777, true, true, "target", true, true},
        {"another's link in root's 01777 directory", 01777, false, true, "target", true, false},
        {"another's link to root's file", 0755, true, true, victim, false, false},
        {"another's link to their own file by an absolute name", 0755, true, true, "", true, false},
        {"another's link up and out of their directory", 0755, true, true, "../up-target", true, false},
        {"another's link to root's file in their directory", 0755, true, true, "target", false, false},
    };
    make_file(up_target, secret, true);
    int k = 0;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        const std::string d = dir / ("row" + std::to_string(k++));
        make_dir(d, r.dir_mode, r.dir_theirs);
        const std::string target = r.text == victim ? victim : r.text == "../up-target" ? up_target : d + "/target";
        if (r.text == "target" || r.text.empty())
            make_file(target, secret, r.target_theirs);
        make_link(r.text.empty() ? target : r.text, d + "/out", r.link_theirs);
        testutil::write_file(victim, secret);
        const auto before = testutil::entries_of(d);

        auto res = run({velkor, "tag", in, d + "/out"});
        if (r.followed) {
            EXPECT_EQ(res.status, 0) << res.err;
            EXPECT_EQ(testutil::read_file(target).size(), data.size() + 20);
            struct stat st;
            ASSERT_EQ(lstat((d + "/out").c_str(), &st), 0);
            EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
        } else {
            EXPECT_EQ(res.status, 1);
            EXPECT_NE(res.err.find(testutil::sys_msg(EACCES)), std::string::npos) << res.err;
            EXPECT_EQ(testutil::read_file(target), secret);
        }
        EXPECT_EQ(testutil::entries_of(d), before);
        EXPECT_EQ(testutil::entries_of(priv), std::vector<std::string>{"victim"});
    }
}

// A regular file or a FIFO that another user left in a directory others
// can write, sticky or not, world- or group-writable, gets nothing from any
// command: not root's payload, which would stay theirs to read, nor a
// FIFO's reader.  The refusal comes before any open, so nothing waits for
// a FIFO either.  A directory anyone can write without the sticky bit is
// refused as a whole as the place to extract into.
TEST_F(Planted, FilesAndFifosOfAnotherUserGetNothing)
{
    const std::string t = tagged(), box = container();
    const std::string extracted = extracted_name(t);
    make_dir(dir / "ex", 0700, false);
    const std::string loot = dir / "loot";
    make_file(loot, {}, true);
    const bytes theirs = testutil::to_bytes("the other user's file\n");
    for (const std::string &d : {pub, grp, nsw}) {
        for (const bool fifo : {false, true}) {
            SCOPED_TRACE(d + (fifo ? ", FIFO" : ", file"));
            for (const std::string &name : {d + "/out", d + "/" + extracted}) {
                as_other_user([&] {
                    umask(0);
                    if (fifo ? mkfifo(name.c_str(), 0622) != 0
                             : (testutil::write_file(name, theirs), chmod(name.c_str(), 0666) != 0))
                        _exit(1);
                });
            }
            const auto before = testutil::entries_of(d);
            std::optional<fifo_reader> reader;
            if (fifo)
                reader.emplace(d + "/out", loot);
            const std::string rule = fifo ? "a FIFO of another user in a directory others can write"
                                          : "a file of another user in a directory others can write";
            std::vector<std::pair<std::vector<std::string>, std::string>> commands = {
                {{velkor, "tag", in, d + "/out"}, rule},
                {{velkor, "untag", t, d + "/out"}, rule},
                {{velkor, "pack", "-k", "k", "-l", "L", in, d + "/out"}, rule},
                {{velkor, "unpack", "-k", "k", box, d + "/out"}, rule},
                {{bgntag, in, d + "/out"}, rule},
                {{velkor, "scan", "--map", d + "/out", t}, rule},
                {{velkor, "scan", "--extract", d, t},
                 d == nsw ? "others can write to the directory, which is not sticky" : rule},
                // As an input, too, the other user's name is not read.
                {{velkor, "check", d + "/out"}, rule},
                {{velkor, "scan", "--extract", dir / "ex", d + "/out"}, rule},
            };
            if (!fifo) // the file itself as bgntag's input, to be tagged in place
                commands.push_back({{bgntag, d + "/out", d + "/out"}, rule});
            for (const auto &[argv, why] : commands) {
                SCOPED_TRACE(argv[1] + " " + argv[argv.size() - 2]);
                auto r = run(argv, time_limit);
                // A file refused inside an extract directory that may be
                // filled is that file's failure: the scan goes on and is
                // incomplete.  A directory, map or image refused ends it.
                const bool one_file = argv[1] == "scan" && argv[2] == "--extract" && argv[3] == d && d != nsw;
                EXPECT_EQ(r.status, one_file ? 3 : 1);
                EXPECT_NE(r.err.find(testutil::sys_msg(EACCES) + " (" + why + ")"), std::string::npos) << r.err;
                EXPECT_EQ(testutil::entries_of(d), before);
                EXPECT_TRUE(testutil::entries_of(dir / "ex").empty());
                for (const std::string &name : {d + "/out", d + "/" + extracted}) {
                    struct stat st;
                    ASSERT_EQ(lstat(name.c_str(), &st), 0);
                    EXPECT_EQ(st.st_uid, testutil::unprivileged_id);
                    EXPECT_EQ(S_ISFIFO(st.st_mode), fifo);
                    if (!fifo) {
                        EXPECT_EQ(testutil::read_file(name), theirs);
                    }
                }
            }
            for (const std::string &name : {d + "/out", d + "/" + extracted})
                ASSERT_EQ(unlink(name.c_str()), 0);
        }
    }
    EXPECT_TRUE(testutil::read_file(loot).empty()) << "the FIFO's reader got root's bytes";
}

// The rule protects other users' files, not ours or the directory
// owner's: those are written as before, files and FIFOs alike.
TEST_F(Planted, OwnFilesAndTheDirectoryOwnersAreWritten)
{
    const std::string theirs = dir / "theirs";
    make_dir(theirs, 01777, true);
    const bytes old = testutil::to_bytes("old\n");
    for (const std::string &d : {pub, theirs}) {
        const bool their_dir = d == theirs;
        SCOPED_TRACE(d);
        make_file(d + "/out", old, their_dir);
        auto r = run({velkor, "tag", in, d + "/out"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(testutil::read_file(d + "/out").size(), data.size() + 20);
        ASSERT_EQ(mkfifo((d + "/fifo").c_str(), 0600), 0);
        if (their_dir)
            testutil::give_away(d + "/fifo");
        // The reader gives up in time: refused, velkor never opens the FIFO.
        auto f = sh("timeout 30 cat \"$2\" > \"$3\" & $1 untag \"$4\" \"$2\"; s=$?; wait; exit $s",
                    {velkor, d + "/fifo", dir / "got", tagged()}, time_limit);
        EXPECT_EQ(f.status, 0) << f.err;
        EXPECT_EQ(testutil::read_file(dir / "got"), data);
    }
}

// Another user's directory is theirs to fill: a link of theirs in it
// leads to no file of root's, as an output's name or inside an extract
// directory, and scan --extract does not write into their directory at
// all, whether it holds links or not.
TEST_F(Planted, DirectoriesOfAnotherUserLeadNowhereElse)
{
    const std::string t = tagged(), box = container();
    const std::string extracted = extracted_name(t);
    const std::string ex = pub + "/ex", adir = pub + "/adir", empty = pub + "/empty";
    as_other_user([&] {
        if (mkdir(ex.c_str(), 0755) != 0 || mkdir(adir.c_str(), 0755) != 0 ||
            mkdir(empty.c_str(), 0777) != 0 || symlink(victim.c_str(), (ex + "/out").c_str()) != 0 ||
            symlink(victim.c_str(), (ex + "/" + extracted).c_str()) != 0 ||
            symlink(priv.c_str(), (adir + "/sub").c_str()) != 0)
            _exit(1);
    });
    const auto ex_entries = testutil::entries_of(ex);
    const std::vector<std::vector<std::string>> commands = {
        {velkor, "tag", in, ex + "/out"},
        {bgntag, in, ex + "/out"},
        {velkor, "unpack", "-k", "k", box, adir + "/sub/victim"},
        {velkor, "pack", "-k", "k", "-l", "L", in, adir + "/sub/new"},
        {velkor, "scan", "--extract", ex, t},
        {velkor, "scan", "--extract", empty, t},
        {velkor, "scan", "--extract", empty + "/", t},
    };
    for (const auto &argv : commands) {
        SCOPED_TRACE(argv[1] + " " + argv[argv.size() - 1] + " " + argv[argv.size() - 2]);
        auto r = run(argv, time_limit);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(testutil::sys_msg(EACCES)), std::string::npos) << r.err;
        EXPECT_EQ(testutil::read_file(victim), secret);
        EXPECT_EQ(testutil::entries_of(priv), std::vector<std::string>{"victim"});
        EXPECT_EQ(testutil::entries_of(ex), ex_entries);
        EXPECT_TRUE(testutil::entries_of(empty).empty());
    }
    auto r = run({velkor, "scan", "--extract", empty, t});
    EXPECT_NE(r.err.find("a directory of another user in a directory others can write"), std::string::npos)
        << r.err;
}

// The directory that --extract or --carve fills must be the caller's or
// root's, and sticky where anyone else may write to it: else a file or
// FIFO of someone else's could be waiting under a name about to be
// written.  Inside a sticky one, the rule on each file decides.
TEST_F(Planted, DirectoriesToFillMustBeOursAndStickyWhereOthersWrite)
{
    const std::string t = tagged();
    const std::string theirs = pub + "/theirs";
    as_other_user([&] {
        if (mkdir(theirs.c_str(), 0755) != 0)
            _exit(1);
    });
    struct row {
        const char *what;
        mode_t mode;
        bool dir_theirs;
        std::string refusal; // empty: written
    };
    const std::string not_sticky = "others can write to the directory, which is not sticky";
    const std::string another = "the directory belongs to another user";
    const std::vector<row> rows = {
        {"root's 0777 directory", 0777, false, not_sticky},
        {"root's 0775 directory", 0775, false, not_sticky},
        {"root's 0757 directory", 0757, false, not_sticky},
        {"root's 01777 directory", 01777, false, ""},
        {"root's 01770 directory", 01770, false, ""},
        {"root's 0755 directory", 0755, false, ""},
        {"another user's 0755 directory", 0755, true, another},
        {"another user's 0555 directory", 0555, true, another},
        {"another user's 01777 directory", 01777, true, another},
    };
    int k = 0;
    for (const auto &r : rows) {
        for (const char *option : {"--extract", "--carve"}) {
            SCOPED_TRACE(std::string(r.what) + " " + option);
            const std::string d = dir / ("fill" + std::to_string(k++));
            make_dir(d, r.mode, r.dir_theirs);
            auto res = run({velkor, "scan", option, d, t}, time_limit);
            if (r.refusal.empty()) {
                EXPECT_EQ(res.status, 0) << res.err;
                EXPECT_EQ(testutil::entries_of(d).size(), 1u);
            } else {
                EXPECT_EQ(res.status, 1);
                EXPECT_NE(res.err.find(testutil::sys_msg(EACCES) + " (" + r.refusal + ")"), std::string::npos)
                    << res.err;
                EXPECT_TRUE(testutil::entries_of(d).empty());
            }
        }
    }
    // Another user's directory that root's sticky one holds is refused on
    // the way, by the rule on entries.
    auto res = run({velkor, "scan", "--extract", theirs, t}, time_limit);
    EXPECT_EQ(res.status, 1);
    EXPECT_NE(res.err.find("a directory of another user in a directory others can write"), std::string::npos)
        << res.err;
    EXPECT_TRUE(testutil::entries_of(theirs).empty());
}

// Safe transitions at their edges.  Another user's link to "/" leads to
// what they do not own, as a name's last step too: an input, an output or
// a directory to carve into.  Root's link, followed by an ordinary
// caller, bounds nothing: what lies behind it is judged as any entry.
// And the caller's own entries are theirs to use wherever they are, even
// in a sticky directory of yet another user's.
TEST_F(Planted, SafeTransitionsAtTheirEdgesAndTheCallersOwnEntries)
{
    const std::string mine = dir / "mine", empty = dir / "empty";
    make_dir(mine, 0755, true);
    make_link("/", mine + "/root", true);
    testutil::write_file(empty, {});
    const std::string unsafe = "another user's link leads to what that user does not own";
    for (const auto &argv : std::vector<std::vector<std::string>>{
             {velkor, "check", mine + "/root"},
             {velkor, "tag", in, mine + "/root"},
             {velkor, "scan", "--carve", mine + "/root", empty},
         }) {
        SCOPED_TRACE(argv[1]);
        auto r = run(argv, time_limit);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(testutil::sys_msg(EACCES) + " (" + unsafe + ")"), std::string::npos) << r.err;
    }

    // The rest runs as the other user, with root's directories about.
    if (run({velkor, "--version"}, testutil::drop_privileges).status != 0)
        GTEST_SKIP() << velkor << " cannot be run by uid " << testutil::unprivileged_id;
    const std::string third = dir / "third";
    make_dir(third, 01777, false);
    ASSERT_EQ(chown(third.c_str(), testutil::unprivileged_id - 1, testutil::unprivileged_id - 1), 0);
    make_link("mine", dir / "rootlink", false);
    as_other_user([&] {
        for (const std::string &d : {third, pub, mine})
            testutil::write_file(d + "/out", testutil::to_bytes("old\n"));
    });
    for (const std::string &name : {dir / "rootlink/out", third + "/out", pub + "/out"}) {
        SCOPED_TRACE(name);
        auto r = run({velkor, "tag", in, name}, testutil::drop_privileges);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(testutil::read_file(name).size(), data.size() + 20);
        struct stat st;
        ASSERT_EQ(stat(name.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, testutil::unprivileged_id);
    }
}

// Inputs and key files are walked by the same rule as outputs: another
// user's link or file in a directory others can write is not read, nor is
// root's file reached through a link of theirs (safe transitions), and
// their FIFO is refused before any open could wait for a writer.  Their
// files in their own directory, the directory owner's files in a sticky
// directory and root's links are read as ever.
TEST_F(Planted, InputsAndKeyFilesFollowTheSameRule)
{
    const std::string t = tagged(), box = container();
    const bytes t_bytes = testutil::read_file(t);
    const std::string secret_t = priv + "/secret.bgn", key = priv + "/key";
    testutil::write_file(secret_t, t_bytes);
    testutil::write_file(key, testutil::to_bytes("k\n"));
    const std::string mine = dir / "mine", sticky = dir / "sticky", outs = dir / "outs";
    make_dir(mine, 0755, true);
    make_dir(sticky, 01777, true);
    make_dir(outs, 0700, false);
    as_other_user([&] {
        for (const std::string &d : {mine, sticky, pub, nsw}) {
            testutil::write_file(d + "/file", t_bytes);
            testutil::write_file(d + "/keyfile", testutil::to_bytes("k\n"));
        }
        for (const std::string &d : {pub, grp, mine}) {
            if (symlink(secret_t.c_str(), (d + "/link").c_str()) != 0 ||
                symlink(key.c_str(), (d + "/keylink").c_str()) != 0)
                _exit(1);
        }
        if (mkfifo((pub + "/fifo").c_str(), 0644) != 0)
            _exit(1);
    });
    make_link(secret_t, pub + "/rootlink", false);
    make_link(key, pub + "/rootkey", false);
    // The other user's file in a third user's directory: refused where that
    // user may write (0755), not where no one but root may (0555).
    const std::string third_w = dir / "third-w", third_r = dir / "third-r";
    for (const auto &[d, mode] : {std::pair{third_w, 0755}, std::pair{third_r, 0555}}) {
        make_dir(d, 0700, false);
        make_file(d + "/file", t_bytes, true);
        ASSERT_EQ(chown(d.c_str(), testutil::unprivileged_id - 1, testutil::unprivileged_id - 1), 0);
        ASSERT_EQ(chmod(d.c_str(), static_cast<mode_t>(mode)), 0);
    }

    struct row {
        std::string name;
        bool is_key; // a key file, else a tagged file to read
        std::string refusal; // empty: read
    };
    const std::string link = "another user's link in a directory others can write";
    const std::string file = "a file of another user in a directory others can write";
    const std::string unsafe = "another user's link leads to what that user does not own";
    const std::vector<row> rows = {
        {pub + "/link", false, link},
        {grp + "/link", false, link},
        {mine + "/link", false, unsafe},
        {pub + "/file", false, file},
        {nsw + "/file", false, file},
        {third_w + "/file", false, file},
        {pub + "/fifo", false, "a FIFO of another user in a directory others can write"},
        {pub + "/keylink", true, link},
        {grp + "/keylink", true, link},
        {mine + "/keylink", true, unsafe},
        {pub + "/keyfile", true, file},
        {nsw + "/keyfile", true, file},
        {mine + "/file", false, ""},
        {sticky + "/file", false, ""},
        {third_r + "/file", false, ""},
        {pub + "/rootlink", false, ""},
        {mine + "/keyfile", true, ""},
        {sticky + "/keyfile", true, ""},
        {pub + "/rootkey", true, ""},
    };
    // A refusal is at once: a FIFO opened for reading would wait here.
    const auto bounded = [] {
        time_limit();
        alarm(10);
    };
    const std::string out = outs + "/out";
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        const std::vector<std::vector<std::string>> commands =
            r.is_key ? std::vector<std::vector<std::string>>{
                           {velkor, "unpack", "-K", r.name, box, out},
                           {velkor, "info", "-K", r.name, box},
                           {velkor, "scan", "-K", r.name, box},
                           {velkor, "pack", "-K", r.name, "-l", "L", in, out},
                       }
                     : std::vector<std::vector<std::string>>{
                           {velkor, "check", r.name},
                           {velkor, "untag", r.name, out},
                           {velkor, "info", r.name},
                           {velkor, "tag", r.name, out},
                           {velkor, "pack", "-k", "k", "-l", "L", r.name, out},
                           {velkor, "scan", "--extract", outs, r.name},
                           {bgntag, r.name, out},
                       };
        for (const auto &argv : commands) {
            SCOPED_TRACE(argv[1]);
            auto res = run(argv, bounded);
            if (r.refusal.empty()) {
                EXPECT_EQ(res.status, 0) << res.err;
            } else {
                EXPECT_EQ(res.status, 1);
                EXPECT_NE(res.err.find(testutil::sys_msg(EACCES) + " (" + r.refusal + ")"), std::string::npos)
                    << res.err;
                EXPECT_EQ(res.out.find("payload"), std::string::npos) << res.out;
                EXPECT_TRUE(testutil::entries_of(outs).empty());
            }
            for (const auto &name : testutil::entries_of(outs))
                std::remove((outs + "/" + name).c_str());
        }
    }
}

// Where another user can make a hard link to a set-id program of root's
// (protected_hardlinks off, or a file system that ignores it), replacing
// that name must not make a set-id program of their bytes.
TEST_F(Planted, SetIdBitsDoNotFollowASecondHardLink)
{
    const std::string prog = priv + "/prog", name = pub + "/out";
    testutil::write_file(prog, testutil::to_bytes("#!/bin/sh\nid\n"));
    ASSERT_EQ(chmod(prog.c_str(), 06755), 0);
    ASSERT_EQ(link(prog.c_str(), name.c_str()), 0); // root may, whatever the sysctl
    const std::string t = tagged();
    auto r = run({velkor, "untag", t, name});
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(testutil::read_file(name), data);
    ASSERT_EQ(stat(prog.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 06755u) << "the program itself is left alone";
}

// Another user swaps the name between a FIFO of theirs and a link to the
// victim as fast as they can, while root writes to that name over and
// over.  Whatever the timing, the FIFO gets the bytes or the link is
// refused; the victim never changes.
TEST_F(Planted, SwappingAFifoAndALinkNeverReachesTheVictim)
{
    // In the other user's own directory, where their FIFO may be written
    // and only their link is refused.
    const std::string theirs = dir / "theirs";
    make_dir(theirs, 0755, true);
    const std::string name = theirs + "/out", other = theirs + "/other";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t racer = fork();
    ASSERT_GE(racer, 0);
    if (racer == 0) {
        close(ready[0]);
        testutil::drop_privileges();
        alarm(90);
        if (mkfifo(name.c_str(), 0666) != 0 || symlink(victim.c_str(), other.c_str()) != 0)
            _exit(1);
        // Hold the FIFO open for reading, so a writer never waits, and
        // drain it.
        const int fifo = open(name.c_str(), O_RDONLY | O_NONBLOCK);
        if (fifo < 0 || write(ready[1], "x", 1) != 1)
            _exit(1);
        char sink[4096];
        for (;;) {
            renameat2(AT_FDCWD, name.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE);
            while (read(fifo, sink, sizeof sink) > 0) {
            }
        }
    }
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);

    const std::string t = tagged();
    int refused = 0, written = 0;
    // A few seconds, and on until both sides of the race were seen (a slow
    // machine or Valgrind makes few runs), or it proved nothing.
    const auto start = std::chrono::steady_clock::now();
    const auto elapsed = [&] { return std::chrono::steady_clock::now() - start; };
    for (int k = 0; elapsed() < std::chrono::seconds(3) ||
                    ((written == 0 || refused == 0) && elapsed() < std::chrono::seconds(60));
         k++) {
        auto r = run(k % 2 == 0 ? std::vector<std::string>{velkor, "tag", in, name}
                                : std::vector<std::string>{velkor, "untag", t, name},
                     time_limit);
        (r.status == 0 ? written : refused)++;
        ASSERT_EQ(testutil::read_file(victim), secret) << "after run " << k << ": " << r.err;
    }
    kill(racer, SIGKILL);
    waitpid(racer, nullptr, 0);
    EXPECT_EQ(testutil::entries_of(priv), std::vector<std::string>{"victim"});
    EXPECT_GT(written, 0);
    EXPECT_GT(refused, 0);
}

// /dev/fd/N, /proc/self/fd/N and /dev/stderr are opened by the kernel:
// the file they lead to is written in place, whatever its real name and
// whether it has one at all.
TEST_F(Hostile, ProcLinksLeadToTheOpenFile)
{
    const std::string t = tagged();
    const std::string tagged_bytes = str(testutil::read_file(t));
    // What was there before: bgntag given that very file twice tags it.
    const bytes before(200, 'x');
    testutil::write_file(dir / "before", before);
    ASSERT_EQ(run({bgntag, dir / "before", dir / "before.t"}).status, 0);
    const std::string before_tagged = str(testutil::read_file(dir / "before.t"));
    // A real path well past the 64 bytes the kernel reports as such a
    // link's size.
    std::string deep = dir.path();
    for (int k = 0; k < 4; k++)
        deep += "/a-directory-name-of-thirty-bytes";
    ASSERT_EQ(system(("mkdir -p '" + deep + "'").c_str()), 0);
    struct row {
        const char *what;
        std::string script;
        std::string expected;
    };
    const std::vector<row> rows = {
        {"tag, long real path", "cd \"$3\" && $1 tag \"$4\" /dev/fd/3 3<>report.txt && cat report.txt",
         tagged_bytes},
        {"bgntag, long real path", "cd \"$3\" && $2 \"$4\" /dev/fd/3 3<>report.txt && cat report.txt",
         tagged_bytes},
        {"bgntag, the input itself through a long real path",
         "cd \"$3\" && $2 report.txt /dev/fd/3 3<>report.txt && cat report.txt", before_tagged},
        {"untag, pipe", "{ $1 untag \"$5\" /dev/fd/3 3>&1 1>&2; } | cat", str(data)},
        {"untag, pipe as /dev/stderr", "$1 untag \"$5\" /dev/stderr 2>&1 1>\"$3/stdout\" | cat",
         str(data)},
        {"untag, deleted file",
         "cd \"$3\" && exec 3>gone 4<gone && rm gone && $1 untag \"$5\" /proc/self/fd/3 && cat <&4",
         str(data)},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        // What was there before is replaced, not merely overwritten.
        testutil::write_file(deep + "/report.txt", before);
        auto res = sh(r.script, {velkor, bgntag, deep, in, t}, time_limit);
        EXPECT_EQ(res.status, 0) << res.err;
        EXPECT_EQ(res.out, r.expected);
        // Nothing was created under a name made from the link's text.
        for (const auto &e : testutil::entries_of(deep))
            EXPECT_TRUE(e == "report.txt" || e == "stdout") << e;
    }
}

// An output written in place that is the input file would be read back as
// input, or overwrite what is still to be read: refused before anything is
// written, as cat(1) does.  A key file that is the input is a bad command
// line.
TEST_F(Hostile, InputThatIsAlsoOutputOrKeyIsRefused)
{
    const std::string t = tagged(), box = container();
    const bytes t_bytes = testutil::read_file(t), box_bytes = testutil::read_file(box);
    struct row {
        const char *script;
        int status;
        std::string message;
    };
    const std::vector<row> rows = {
        {"$1 tag \"$2\" - 1<>\"$2\"", 1, "velkor: -: input file is output file\n"},
        {"$1 tag - - <\"$2\" 1<>\"$2\"", 1, "velkor: -: input file is output file\n"},
        {"$1 pack -k k -l L \"$2\" - 1<>\"$2\"", 1, "velkor: -: input file is output file\n"},
        {"$1 untag \"$3\" /dev/fd/3 3<>\"$3\"", 1, "velkor: /dev/fd/3: input file is output file\n"},
        {"$1 unpack -k k \"$4\" /dev/stdout 1<>\"$4\"", 1,
         "velkor: /dev/stdout: input file is output file\n"},
        {"cat \"$2\" | $1 pack -K /dev/stdin -l L - \"$5\"", 2,
         "velkor: /dev/stdin: the key file is the input file\n"},
        {"$1 pack -K /dev/stdin -l L - \"$5\" <\"$2\"", 2,
         "velkor: /dev/stdin: the key file is the input file\n"},
        {"$1 unpack -K \"$4\" \"$4\" \"$5\"", 2, "the key file is the input file\n"},
        // Nor may any output be the key file: replaced, it would lose the
        // key that the container needs.
        {"$1 unpack -K \"$6\" \"$4\" \"$6\"", 2, "the key file is the output file\n"},
        {"$1 pack -K \"$6\" -l L \"$2\" \"$6\"", 2, "the key file is the output file\n"},
        {"$1 unpack -K \"$6\" \"$4\" - 1<>\"$6\"", 2, "the key file is the output file\n"},
        {"ln -s \"$6\" \"$5.link\"; $1 unpack -K \"$6\" \"$4\" \"$5.link\"", 2,
         "the key file is the output file\n"},
        // scan: the key file is no image, and the map is neither the key
        // file nor an image, by any name.
        {"$1 scan -K \"$6\" \"$3\" \"$6\"", 2, "the key file is the input file\n"},
        {"ln -s \"$6\" \"$5.link\"; $1 scan -K \"$5.link\" \"$6\"", 2, "the key file is the input file\n"},
        {"$1 scan -K \"$6\" --map \"$6\" \"$3\"", 2, "the key file is the output file\n"},
        {"$1 scan --map \"$3\" \"$2\" \"$3\"", 2, "the map file is an image\n"},
        {"ln -s \"$3\" \"$5.link\"; $1 scan --map \"$5.link\" \"$3\"", 2, "the map file is an image\n"},
        {"$1 scan --map /dev/stdin - <\"$3\"", 2, "velkor: /dev/stdin: the map file is an image\n"},
    };
    const std::string made = dir / "made", key = dir / "key";
    const bytes key_bytes = testutil::to_bytes("k\n");
    for (const auto &r : rows) {
        SCOPED_TRACE(r.script);
        testutil::write_file(in, data);
        testutil::write_file(key, key_bytes);
        std::remove((made + ".link").c_str());
        auto res = sh(r.script, {velkor, in, t, box, made, key}, time_limit);
        EXPECT_EQ(res.status, r.status);
        EXPECT_NE(res.err.find(r.message), std::string::npos) << res.err;
        EXPECT_EQ(testutil::read_file(in), data);
        EXPECT_EQ(testutil::read_file(t), t_bytes);
        EXPECT_EQ(testutil::read_file(box), box_bytes);
        EXPECT_EQ(testutil::read_file(key), key_bytes);
        EXPECT_FALSE(testutil::exists(made));
    }
}

// A key file is read no further than its first line can reach: an endless
// one is refused at once, under a memory limit far below what reading it
// whole would take.
TEST_F(Hostile, KeyFileIsReadInBoundedMemory)
{
    const std::string box = container(std::string(254, 'k'));
    const std::string key = dir / "key";
    struct row {
        std::string content;
        int status;
    };
    // The key is the first line less one CR that ends it, LF or no LF.
    const std::vector<row> rows = {
        {std::string(254, 'k') + "\r\nsecond line", 0},
        {std::string(254, 'k'), 0},
        {std::string(254, 'k') + "\r", 0},
        {std::string(254, 'k') + "\n\r", 0},
        {std::string(254, 'k') + "\r\r\n", 2},
        {std::string(255, 'k') + "\n", 2},
        {std::string(4096, 'k') + "\n", 2},
    };
    const auto limited = [] {
        testutil::limit_address_space(256u << 20);
        alarm(20);
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.content.size());
        testutil::write_file(key, testutil::to_bytes(r.content));
        auto res = run({velkor, "info", "-K", key, box}, limited);
        EXPECT_EQ(res.status, r.status) << res.err;
    }
    // An endless first line: /dev/zero, only ever read.
    auto res = run({velkor, "info", "-K", "/dev/zero", box}, limited);
    EXPECT_EQ(res.status, 2) << res.err;
    EXPECT_NE(res.err.find("longer than 254 bytes"), std::string::npos) << res.err;
}

// A data-sized container through a pipe: its header may claim any length,
// and that claim is checked against what arrives before a table of that
// size is made, as it is for a file.
TEST_F(Hostile, ForgedPipedContainerCostsWhatAFileDoes)
{
    // "start", a 2-byte label and a 1-byte sublabel that the key opens
    // (so only the length can stop it), and a payload said to be 1 GiB
    // that is not there.
    uint8_t label[2] = {'a', 0}, sublabel[1] = {0};
    ASSERT_EQ(vcrypt_buf(7, "k", label, label, 2, 1), 0);
    ASSERT_EQ(vcrypt_buf(label[0], "k", sublabel, sublabel, 1, 1), 0);
    bytes forged = testutil::to_bytes(std::string("start\0\x07", 7));
    const uint8_t rest[] = {0, 0, 0, 2, label[0], label[1], 0, 0, 0, 1, sublabel[0], 0x40, 0, 0, 0, 1, 2, 3};
    forged.insert(forged.end(), rest, rest + sizeof rest);
    const std::string file = dir / "forged";
    testutil::write_file(file, forged);
    const auto limited = [] { testutil::limit_address_space(128u << 20); };
    const std::vector<std::string> argv = {velkor, "unpack", "--data-sized", "-k", "k", "-", dir / "o"};
    auto from_file = sh("\"$@\" <" + file, argv, limited);
    auto from_pipe = run(argv, limited, &forged);
    EXPECT_EQ(from_file.status, 1);
    EXPECT_EQ(from_pipe.status, 1);
    EXPECT_NE(from_file.err.find("run past"), std::string::npos) << from_file.err;
    EXPECT_EQ(from_pipe.err, from_file.err);
    EXPECT_FALSE(testutil::exists(dir / "o"));

    // What is plainly no container is refused on its first bytes, not
    // spooled to the end of an endless stream.  (The time limit's 16 MiB
    // file-size limit keeps a faulty build from filling the disk.)
    for (const char *cmd : {"unpack -k k --data-sized - \"$2\"", "info -k k --data-sized -"}) {
        SCOPED_TRACE(cmd);
        auto r = sh(std::string("$1 ") + cmd + " </dev/zero", {velkor, dir / "o"}, time_limit);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "velkor: -: not a container (no start or asar1 magic)\n");
        EXPECT_FALSE(testutil::exists(dir / "o"));
    }
}

// A program that has all it needs from a pipe ends without waiting for
// the pipe's end: a key line followed by a writer that stays, a
// data-sized container followed by more of the stream.
TEST_F(Hostile, PipesHeldOpenDoNotStall)
{
    const std::string box = container();
    struct row {
        const char *what;
        std::vector<std::string> argv;
        bytes fed;
    };
    const std::vector<row> rows = {
        {"key line", {velkor, "unpack", "-K", "/dev/stdin", box, dir / "o"}, testutil::to_bytes("k\n")},
        {"data-sized container",
         {velkor, "unpack", "--data-sized", "-k", "k", "-", dir / "o"},
         {}},
    };
    // The data-sized container, and stream bytes behind it.
    ASSERT_EQ(run({velkor, "pack", "--data-sized", "-k", "k", "-l", "L", in, dir / "ds"}).status, 0);
    struct sigaction ignore {}, saved {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &saved);
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        std::remove((dir / "o").c_str());
        bytes fed = r.fed;
        if (fed.empty()) {
            fed = testutil::read_file(dir / "ds");
            fed.resize(fed.size() + 100, 'x');
        }
        auto s = testutil::start(r.argv);
        ASSERT_EQ(write(s.stdin_fd, fed.data(), fed.size()), static_cast<ssize_t>(fed.size()));
        // The pipe stays open: the program must end on what it has.
        int status = -1;
        for (int k = 0; k < 3000 && waitpid(s.pid, &status, WNOHANG) == 0; k++)
            usleep(10000);
        const bool ended = WIFEXITED(status);
        close(s.stdin_fd);
        if (!ended)
            testutil::wait_for(s);
        ASSERT_TRUE(ended) << "still waiting for the pipe's end";
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(testutil::read_file(dir / "o"), data);
    }
    sigaction(SIGPIPE, &saved, nullptr);
}

// Link chains end where the kernel's do: 40 links are followed and the
// 41st is too many, a link to itself fails at once, and a link's text is
// taken whole however long it is.
TEST_F(Hostile, LinkChainsEndWhereTheKernelsDo)
{
    const std::string target = dir / "target";
    // l0 -> l1 -> ... -> l40 -> target
    for (int k = 0; k <= 40; k++) {
        char name[8], next[8];
        snprintf(name, sizeof name, "l%d", k);
        snprintf(next, sizeof next, "l%d", k + 1);
        ASSERT_EQ(symlink(k == 40 ? "target" : next, (dir / name).c_str()), 0);
    }
    ASSERT_EQ(symlink("loop", (dir / "loop").c_str()), 0);
    std::string text;
    while (text.size() < 300)
        text += "./";
    ASSERT_EQ(symlink((text + "far").c_str(), (dir / "long").c_str()), 0);
    struct row {
        std::string name;
        int status;
        std::string written; // the file that gets the tagged bytes
    };
    const std::vector<row> rows = {
        {"l1", 0, target},
        {"l0", 1, ""},
        {"loop", 1, ""},
        {"long", 0, dir / "far"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        std::remove(target.c_str());
        auto res = run({velkor, "tag", in, dir / r.name}, time_limit);
        EXPECT_EQ(res.status, r.status) << res.err;
        if (r.status != 0)
            EXPECT_EQ(res.err, "velkor: " + dir / r.name + ": " + testutil::sys_msg(ELOOP) + "\n");
        else
            EXPECT_EQ(testutil::read_file(r.written).size(), data.size() + 20);
    }
}

// A name ends where it says: a trailing slash names a directory, and a
// missing directory in the middle is never taken for the last component.
// A character device named twice is not "input file is output file".
TEST_F(Hostile, NamesEndWhereTheySay)
{
    const auto before = dir.entries();
    for (const std::string &name : {std::string("new/"), std::string("new/."), std::string("nodir/out")}) {
        SCOPED_TRACE(name);
        auto r = run({velkor, "tag", in, dir / name});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(dir.entries(), before);
    }
    auto r = run({velkor, "tag", in, dir / "nodir/out"});
    EXPECT_EQ(r.err, "velkor: " + dir / "nodir/out" + ": " + testutil::sys_msg(ENOENT) + "\n");

    // A directory's name may say so: "out/", "out/.", "." and ".." are
    // directories to extract into like any other (made when missing).
    const std::string t = tagged();
    struct dir_row {
        std::string cwd, name, where;
    };
    const std::vector<dir_row> dir_rows = {
        {dir.path(), "ex1/", dir / "ex1"},
        {dir.path(), "ex2/.", dir / "ex2"},
        {dir / "ex1", ".", dir / "ex1"},
        {dir / "ex1", "..", dir.path()},
        {dir.path(), "ex2//", dir / "ex2"},
    };
    for (const auto &d : dir_rows) {
        SCOPED_TRACE(d.cwd + " " + d.name);
        auto res = sh("cd \"$2\" && \"$1\" scan --extract \"$3\" \"$4\"", {velkor, d.cwd, d.name, t});
        EXPECT_EQ(res.status, 0) << res.err;
        size_t found = 0;
        for (const auto &e : testutil::entries_of(d.where))
            found += e.rfind("t-00000000.", 0) == 0;
        EXPECT_EQ(found, 1u);
    }

    // A private null device, never the system's.
    struct stat sys;
    const std::string null = dir / "null";
    if (stat("/dev/null", &sys) != 0 || mknod(null.c_str(), S_IFCHR | 0666, sys.st_rdev) != 0)
        GTEST_SKIP() << "no private null device can be made here (needs root)";
    r = run({velkor, "tag", null, null}, time_limit);
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(lstat(null.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device node was replaced";
}

// Messages name the option as it was typed and carry no control bytes.
TEST_F(Hostile, MessagesQuoteWhatWasTyped)
{
    struct row {
        std::vector<std::string> args;
        int status;
        std::string first_line;
    };
    const std::vector<row> rows = {
        {{"info", "--json=1", "x"}, 2, "velkor: option '--json' takes no value"},
        {{"check", "--js=1", "x"}, 2, "velkor: option '--json' takes no value"},
        {{"info", "-k", "k", "--data-sized=yes", "x"}, 2, "velkor: option '--data-sized' takes no value"},
        {{"check", "--help=x"}, 2, "velkor: option '--help' takes no value"},
        {{"check", "-\x01"}, 2, "velkor: unknown option '-\\x01'"},
        {{"check", "--\x1b[2J"}, 2, "velkor: unknown option '--\\x1b[2J'"},
        {{"\x1b]0;title\x07"}, 2, "velkor: unknown command '\\x1b]0;title\\x07'"},
        {{"pack", "-k", "k", "-l", "L", "-m", "x\ny", "a", "b"}, 2,
         "velkor: unknown magic 'x\\x0ay' (use start or asar1)"},
        {{"tag", "IN", ""}, 1, "velkor: : " + testutil::sys_msg(ENOENT)},
    };
    for (const auto &r : rows) {
        std::vector<std::string> argv = {velkor};
        argv.insert(argv.end(), r.args.begin(), r.args.end());
        if (argv[1] == "tag")
            argv[2] = in;
        SCOPED_TRACE(r.first_line);
        auto res = run(argv);
        EXPECT_EQ(res.status, r.status);
        EXPECT_EQ(res.err.substr(0, res.err.find('\n')), r.first_line);
        for (char c : res.err)
            EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << res.err;
    }
}

// Under a program name of any length the temporary file is still made and
// still removed: by a refusal after it was made, and by a signal.
TEST_F(Hostile, LongProgramNameStillCleansUp)
{
    const std::string prog = dir / std::string(200, 'v');
    ASSERT_EQ(symlink(velkor.c_str(), prog.c_str()), 0);
    const std::string outdir = dir / "out";
    ASSERT_EQ(mkdir(outdir.c_str(), 0755), 0);
    const std::string box = container("right");
    auto r = run({prog, "unpack", "-k", "wrong", box, outdir + "/o"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(testutil::entries_of(outdir).empty());

    // A payload that arrives slowly, and SIGTERM while it does.
    const bytes big = testutil::random_bytes(1 << 20, 3);
    testutil::write_file(in, big);
    const std::string t = tagged();
    const bytes whole = testutil::read_file(t);
    struct sigaction ignore {}, saved {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &saved);
    auto s = testutil::start({prog, "untag", "-", outdir + "/o"});
    ASSERT_EQ(write(s.stdin_fd, whole.data(), 20 + 4096), 20 + 4096);
    bool seen = false;
    for (int k = 0; k < 1000 && !seen; k++) {
        seen = !testutil::entries_of(outdir).empty();
        if (!seen)
            usleep(10000);
    }
    EXPECT_TRUE(seen) << "no temporary file appeared";
    kill(s.pid, SIGTERM);
    EXPECT_EQ(testutil::wait_for(s), 128 + SIGTERM);
    sigaction(SIGPIPE, &saved, nullptr);
    EXPECT_TRUE(testutil::entries_of(outdir).empty());
}

} // namespace
