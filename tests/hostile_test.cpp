// Names that someone else controls.  Links planted in a sticky
// world-writable directory by another user, a link swapped while the
// command runs, /dev/fd and /proc paths, outputs and key files that are the
// input itself, key files without end, forged piped containers and the
// messages that quote what the user typed.
#include "testutil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
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
// enter, as /tmp stands beside /root.
class Planted : public Hostile {
protected:
    std::string priv = dir / "priv", pub = dir / "pub", victim = priv + "/victim";
    const bytes secret = testutil::to_bytes("root's own file\n");

    void SetUp() override
    {
        Hostile::SetUp();
        if (geteuid() != 0)
            GTEST_SKIP() << "planting a link as another user needs root";
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        ASSERT_EQ(mkdir(priv.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(pub.c_str(), 0777), 0);
        ASSERT_EQ(chmod(pub.c_str(), 01777), 0);
        testutil::write_file(victim, secret);
    }

    void plant(const std::string &target, const std::string &name)
    {
        as_other_user([&] {
            if (symlink(target.c_str(), name.c_str()) != 0)
                _exit(1);
        });
    }
};

// Links that another user planted in the sticky directory are not
// followed, whatever the system's own protected-links setting: the victim
// stays as it was, and a dangling link creates nothing.
TEST_F(Planted, LinksOfAnotherUserAreRefused)
{
    plant(victim, pub + "/out");
    plant(priv + "/new", pub + "/dangling");
    const std::string t = tagged(), box = container();
    const std::vector<std::vector<std::string>> commands = {
        {velkor, "tag", in, pub + "/out"},
        {velkor, "untag", t, pub + "/out"},
        {velkor, "pack", "-k", "k", "-l", "L", in, pub + "/out"},
        {velkor, "unpack", "-k", "k", box, pub + "/out"},
        {bgntag, pub + "/out", pub + "/out"},
        {velkor, "tag", in, pub + "/dangling"},
        {bgntag, in, pub + "/dangling"},
        // A link further up the name is refused as well.
        {velkor, "tag", in, pub + "/out/../victim"},
    };
    for (const auto &argv : commands) {
        SCOPED_TRACE(argv[1] + " " + argv.back());
        auto r = run(argv);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(testutil::sys_msg(EACCES)), std::string::npos) << r.err;
        EXPECT_EQ(testutil::read_file(victim), secret);
        EXPECT_EQ(testutil::entries_of(priv), std::vector<std::string>{"victim"});
        EXPECT_EQ(testutil::entries_of(pub), (std::vector<std::string>{"dangling", "out"}));
    }
}

// velkor scan --extract: neither the directory nor a file in it is reached
// through another user's link in the sticky directory.
TEST_F(Planted, ScanExtractRefusesPlantedLinks)
{
    const std::string t = tagged(); // its find is t-00000000.payload
    plant(priv, pub + "/parts");
    plant(victim, pub + "/t-00000000.payload");
    for (const std::string &target : {pub + "/parts", pub}) {
        SCOPED_TRACE(target);
        auto r = run({velkor, "scan", "--extract", target, t});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(testutil::sys_msg(EACCES)), std::string::npos) << r.err;
        EXPECT_EQ(testutil::read_file(victim), secret);
        EXPECT_EQ(testutil::entries_of(priv), std::vector<std::string>{"victim"});
        EXPECT_EQ(testutil::entries_of(pub), (std::vector<std::string>{"parts", "t-00000000.payload"}));
    }
}

// The rule that refuses is the kernel's, not "never follow another's link":
// a link of one's own in the sticky directory, and another user's link in
// a directory that is not sticky, are followed.
TEST_F(Planted, LinksTheRuleAllowsAreFollowed)
{
    const std::string own = pub + "/own", theirs = dir / "theirs";
    ASSERT_EQ(symlink(victim.c_str(), own.c_str()), 0);
    ASSERT_EQ(mkdir(theirs.c_str(), 0755), 0);
    testutil::give_away(theirs);
    plant(victim, theirs + "/out");
    for (const std::string &name : {own, theirs + "/out"}) {
        SCOPED_TRACE(name);
        testutil::write_file(victim, secret);
        auto r = run({velkor, "tag", in, name});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(testutil::read_file(victim).size(), data.size() + 20);
        struct stat st;
        ASSERT_EQ(lstat(name.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    }
}

// Another user swaps the name between a FIFO of theirs and a link to the
// victim as fast as they can, while root writes to that name over and
// over.  Whatever the timing, the FIFO gets the bytes or the link is
// refused; the victim never changes.
TEST_F(Planted, SwappingAFifoAndALinkNeverReachesTheVictim)
{
    const std::string name = pub + "/out", other = pub + "/other";
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
    };
    const std::string made = dir / "made";
    for (const auto &r : rows) {
        SCOPED_TRACE(r.script);
        testutil::write_file(in, data);
        auto res = sh(r.script, {velkor, in, t, box, made}, time_limit);
        EXPECT_EQ(res.status, r.status);
        EXPECT_NE(res.err.find(r.message), std::string::npos) << res.err;
        EXPECT_EQ(testutil::read_file(in), data);
        EXPECT_EQ(testutil::read_file(t), t_bytes);
        EXPECT_EQ(testutil::read_file(box), box_bytes);
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
    const std::vector<row> rows = {
        {std::string(254, 'k') + "\r\nsecond line", 0},
        {std::string(254, 'k'), 0},
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
    // "start", a 2-byte label, a 1-byte sublabel, and a payload said to be
    // 1 GiB that is not there.
    bytes forged = testutil::to_bytes(std::string("start\0\x07", 7));
    const uint8_t rest[] = {0, 0, 0, 2, 'a', 'b', 0, 0, 0, 1, 'c', 0x40, 0, 0, 0, 1, 2, 3};
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
