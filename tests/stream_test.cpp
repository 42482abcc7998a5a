// SPDX-License-Identifier: MIT
// velkor's commands read their input once, a piece at a time, from files
// and pipes alike: the bytes must not depend on which, must equal what
// bgntag and the one-shot library functions give, and memory must not grow
// with the input.
#include "testutil.h"
#include "velkor.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

using testutil::bytes;
using testutil::run;

namespace {

const std::string velkor = VELKOR_PATH;
const std::string bgntag = BGNTAG_PATH;

std::string str(const bytes &b) { return std::string(b.begin(), b.end()); }

// Sizes around the command's 1 MiB piece, and the empty payload.
const size_t sizes[] = {0, 1, 4096, (size_t{1} << 20) - 1, (size_t{1} << 20) + 3, (size_t{3} << 20) + 5};

class Stream : public ::testing::Test {
protected:
    testutil::scratch_dir dir;
    std::string in = dir / "in";
    std::string out = dir / "out";

    bytes bgntag_of(const bytes &data)
    {
        testutil::write_file(dir / "src", data);
        EXPECT_EQ(run({bgntag, dir / "src", dir / "ref"}).status, 0);
        return testutil::read_file(dir / "ref");
    }
};

// The container encrypt_buf writes for data under these settings.
bytes container_of(const bytes &data, bool data_sized)
{
    enc_info info{};
    info.key = "key";
    memcpy(info.magic, "asar1", 6);
    strcpy(info.label, "label");
    strcpy(info.sublabel, "sub");
    info.key_prefix = 7;
    info.data_sized_state = data_sized;
    info.data_length = static_cast<uint32_t>(data.size());
    info.checksum = velkor_csum(info.data_length, data.data(), data.size());
    const size_t header = enc_compute_header_len(info.label, info.sublabel);
    bytes b(enc_compute_buf_len(info.label, info.sublabel, data.size()));
    std::copy(data.begin(), data.end(), b.begin() + static_cast<ptrdiff_t>(header));
    EXPECT_EQ(encrypt_buf(&info, b.data(), b.data() + header), 0);
    b.resize(header + data.size() + 4);
    return b;
}

const std::vector<std::string> pack_options = {"-k", "key", "-l", "label", "-s", "sub", "-m", "asar1", "-p", "7"};

// tag gives bgntag's bytes from a file, from a pipe, and to a pipe (where
// it must hold the file back until the header is known).
TEST_F(Stream, TagIsBgntagFromFilesAndPipes)
{
    for (size_t n : sizes) {
        SCOPED_TRACE(n);
        const bytes data = testutil::random_bytes(n, static_cast<uint32_t>(n) + 1);
        const bytes want = bgntag_of(data);
        testutil::write_file(in, data);

        auto r = run({velkor, "tag", in, out});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(testutil::read_file(out), want);

        r = run({velkor, "tag", "-", out}, {}, &data);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(testutil::read_file(out), want);

        r = run({velkor, "tag", "-", "-"}, {}, &data);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, str(want));
        EXPECT_EQ(r.err, "");
    }
}

#if !defined(_WIN32) // descriptors set up in the child, address-space limits
// Standard output that is a regular file: tag writes after what is there,
// and puts the header in front of its own bytes, whether the shell opened
// the file to write (>, which allows writing at an offset) or to append
// (>>, which does not).
TEST_F(Stream, TagToStandardOutputThatIsAFile)
{
    const bytes data = testutil::random_bytes(300000, 9);
    testutil::write_file(in, data);
    bytes want = testutil::to_bytes("start\n");
    const bytes tagged = bgntag_of(data);
    want.insert(want.end(), tagged.begin(), tagged.end());
    for (int mode : {O_WRONLY | O_CREAT | O_TRUNC, O_WRONLY | O_CREAT | O_APPEND}) {
        testutil::write_file(out, {});
        auto r = run({velkor, "tag", in, "-"}, [&] {
            const int fd = open(out.c_str(), mode, 0644);
            if (fd < 0 || write(fd, "start\n", 6) != 6 || dup2(fd, 1) != 1)
                _exit(125);
        });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(testutil::read_file(out), want) << ((mode & O_APPEND) ? ">>" : ">");
    }
}

// A script may read the start of a file on standard input before velkor
// runs, as in (read -r first; velkor tag - out) < file: velkor's input is
// the rest, from where the shared offset stands, and the rest's length is
// what a check or a container's length field must go by.
TEST_F(Stream, StandardInputFileIsReadFromItsOffset)
{
    const bytes data = testutil::random_bytes(70000, 10);
    const bytes lead = testutil::to_bytes("line\n");
    const auto after_lead = [&](const bytes &b) {
        bytes f = lead;
        f.insert(f.end(), b.begin(), b.end());
        return f;
    };
    const bytes tagged = bgntag_of(data), box = container_of(data, false);
    std::vector<std::string> pack{velkor, "pack"};
    pack.insert(pack.end(), pack_options.begin(), pack_options.end());
    pack.insert(pack.end(), {"-", "-"});
    struct {
        std::vector<std::string> argv;
        bytes file;
        size_t skip; // bytes the script has read
        bytes want;
    } cases[] = {
        {{velkor, "tag", "-", "-"}, after_lead(data), lead.size(), tagged},
        {{velkor, "check", "-"}, after_lead(tagged), lead.size(), testutil::to_bytes("-: OK\n")},
        {{velkor, "untag", "-", "-"}, after_lead(tagged), lead.size(), data},
        {pack, after_lead(data), lead.size(), box},
        {{velkor, "unpack", "-k", "key", "-", "-"}, after_lead(box), lead.size(), data},
        // Everything read already: an empty input.
        {{velkor, "tag", "-", "-"}, data, data.size(), bgntag_of({})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argv[1]);
        testutil::write_file(in, c.file);
        const auto offset = static_cast<off_t>(c.skip);
        auto r = run(c.argv, [&] {
            const int fd = open(in.c_str(), O_RDONLY);
            if (fd < 0 || lseek(fd, offset, SEEK_SET) != offset || dup2(fd, 0) != 0)
                _exit(125);
        });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, str(c.want));
    }
}
#endif

// check and untag read a pipe as they read a file; a damaged file gives
// the same reason either way, the length one found only at a pipe's end.
TEST_F(Stream, CheckAndUntagThroughPipes)
{
    const bytes data = testutil::random_bytes((size_t{2} << 20) + 11, 3);
    const bytes good = bgntag_of(data);
    testutil::write_file(in, good);

    auto r = run({velkor, "check", "-"}, {}, &good);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "-: OK\n");
    r = run({velkor, "untag", "-", out}, {}, &good);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testutil::read_file(out), data);
    r = run({velkor, "untag", in, "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, str(data));

    struct {
        const char *name;
        size_t cut;     // bytes dropped from the end
        size_t extra;   // bytes added at the end
        size_t flip;    // offset of a flipped bit, or 0
        std::string reason;
    } cases[] = {
        {"cut", 1, 0, 0, "length field says 2097183 but the file has 2097182 bytes"},
        {"longer", 0, 5, 0, "length field says 2097183 but the file has 2097188 bytes"},
        {"payload", 0, 0, good.size() - 1, "CRC mismatch: stored 0x"},
        {"short", good.size() - 7, 0, 0, "not a tagged file: 7 bytes, shorter than the 20-byte header"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bytes b(good.begin(), good.end() - static_cast<ptrdiff_t>(c.cut));
        b.resize(b.size() + c.extra, 0);
        if (c.flip != 0)
            b[c.flip] ^= 1;
        r = run({velkor, "check", "-"}, {}, &b);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out.rfind("-: FAILED (" + c.reason, 0), 0u) << r.out;
        testutil::write_file(in, b);
        const std::string from_file = run({velkor, "check", in}).out;
        EXPECT_EQ(from_file.substr(from_file.find(": ")), r.out.substr(r.out.find(": ")));
    }

    // A stream gets the payload before the CRC is known: the bytes, then
    // the verdict.
    bytes bad = good;
    bad.back() ^= 1;
    r = run({velkor, "untag", "-", "-"}, {}, &bad);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.size(), data.size());
    EXPECT_EQ(r.err.rfind("velkor: -: CRC mismatch", 0), 0u) << r.err;
}

// pack gives encrypt_buf's bytes from a file and from a pipe, to a file and
// to a pipe; unpack and info read them back either way.
TEST_F(Stream, ContainersThroughPipes)
{
    for (bool data_sized : {false, true}) {
        for (size_t n : sizes) {
            SCOPED_TRACE(std::to_string(n) + (data_sized ? " data-sized" : ""));
            const bytes data = testutil::random_bytes(n, static_cast<uint32_t>(n) + 5);
            const bytes want = container_of(data, data_sized);
            testutil::write_file(in, data);
            auto pack = [&](std::vector<std::string> io) {
                std::vector<std::string> argv{velkor, "pack"};
                argv.insert(argv.end(), pack_options.begin(), pack_options.end());
                if (data_sized)
                    argv.push_back("--data-sized");
                argv.insert(argv.end(), io.begin(), io.end());
                return argv;
            };
            auto r = run(pack({in, out}));
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(testutil::read_file(out), want);
            r = run(pack({"-", "-"}), {}, &data);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, str(want));

            const std::vector<std::string> opts =
                data_sized ? std::vector<std::string>{"-k", "key", "--data-sized"}
                           : std::vector<std::string>{"-k", "key"};
            auto cmd = [&](std::string c, std::vector<std::string> io) {
                std::vector<std::string> argv{velkor, c};
                argv.insert(argv.end(), opts.begin(), opts.end());
                argv.insert(argv.end(), io.begin(), io.end());
                return argv;
            };
            r = run(cmd("unpack", {"-", "-"}), {}, &want);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, str(data));
            r = run(cmd("unpack", {"-", in}), {}, &want);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(testutil::read_file(in), data);
            r = run(cmd("info", {"-"}), {}, &want);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.out.find("length:   " + std::to_string(n) + "\n"), std::string::npos);
        }
    }

    // Cut short, through a pipe, the end is found where the pipe ends.
    const bytes data = testutil::random_bytes(5000, 6);
    bytes cut = container_of(data, false);
    cut.pop_back();
    std::remove(out.c_str());
    auto r = run({velkor, "unpack", "-k", "key", "-", out}, {}, &cut);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velkor: -: damaged container (payload of 5000 bytes and its checksum run past "
                     "the end of the file)\n");
    EXPECT_FALSE(testutil::exists(out));
}

// A failure found at the end (the CRC, the checksum, a wrong key) leaves
// an existing output exactly as it was, and nothing else behind.
TEST_F(Stream, FailureAtTheEndLeavesTheOutputAsItWas)
{
    const bytes data = testutil::random_bytes((size_t{3} << 20) + 1, 7);
    bytes tagged = bgntag_of(data);
    tagged.back() ^= 1;
    testutil::write_file(dir / "bad.bgn", tagged);
    testutil::write_file(dir / "box", container_of(data, false));
    const bytes old = testutil::to_bytes("old content");
    for (const std::vector<std::string> &argv :
         {std::vector<std::string>{velkor, "untag", dir / "bad.bgn", out},
          {velkor, "unpack", "-k", "wrong", dir / "box", out}}) {
        SCOPED_TRACE(argv[1]);
        testutil::write_file(out, old);
        const auto before = dir.entries();
        auto r = run(argv);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(testutil::read_file(out), old);
        EXPECT_EQ(dir.entries(), before);
    }
}

#if !defined(_WIN32) // an address-space limit
// Memory does not grow with the input: every command on a 256 MiB file
// under an address-space limit of a quarter of that.  The sanitizers,
// Valgrind and an emulator reserve far more address space than that of
// their own.
TEST_F(Stream, MemoryDoesNotGrowWithTheInput)
{
    if (const char *why = testutil::address_limit_unusable())
        GTEST_SKIP() << why;

    constexpr off_t size = off_t{256} << 20;
    testutil::write_file(in, {});
    ASSERT_EQ(truncate(in.c_str(), size), 0);
    const auto limited = [] { testutil::limit_address_space(64u << 20); };
    const std::string tagged = dir / "tagged", box = dir / "box";
    const std::vector<std::vector<std::string>> commands = {
        {velkor, "tag", in, tagged},
        {velkor, "check", tagged},
        {velkor, "untag", tagged, out},
        {velkor, "pack", "-k", "k", "-l", "l", in, box},
        {velkor, "unpack", "-k", "k", box, out},
        {velkor, "info", "-k", "k", box},
    };
    for (const auto &argv : commands) {
        auto r = run(argv, limited);
        EXPECT_EQ(r.status, 0) << argv[1] << ": " << r.err;
    }
    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, size);
    // The limit does bind: a program that keeps the file whole fails.
    auto r = run({bgntag, in, dir / "whole"}, limited);
    EXPECT_EQ(r.status, 1);
}
#endif

} // namespace
