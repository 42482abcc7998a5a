// SPDX-License-Identifier: MIT
// What the programs do on Windows that their other tests cannot show:
// names and arguments beyond ASCII, standard streams that carry bytes as
// they are, files another program holds open without sharing them, the
// read-only attribute, identity by file index where names differ, NUL,
// access lists for what holds deciphered bytes, and offsets past 4 GiB.
// Built for Windows only, run under wine.
#include "testutil.h"
#include "velkor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <aclapi.h>
#include <sddl.h>
#include <windows.h>

namespace {

using testutil::bytes;
using testutil::run;

const std::string velkor = VELKOR_PATH;
const std::string bgntag = BGNTAG_PATH;

std::string str(const bytes &b) { return std::string(b.begin(), b.end()); }

// A handle on a file, as another program would hold it, closed at the end
// of the scope.
class held {
public:
    held(const std::string &path, DWORD access, DWORD share)
        : h_(CreateFileW(testutil::fs_path(path).c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr))
    {
    }
    ~held()
    {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
    }
    held(const held &) = delete;
    held &operator=(const held &) = delete;
    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE h_;
};

class Windows : public ::testing::Test {
protected:
    testutil::scratch_dir dir;
    std::string in = dir / "in";
    std::string out = dir / "out";
};

// Names and arguments of any Unicode text reach the programs as typed and
// come back in their messages and output as typed.
TEST_F(Windows, NamesBeyondAscii)
{
    const std::string name = dir / "donn\xc3\xa9" "es \xe2\x9c\x93 \xf0\x9f\x94\xa5.bin"; // U+1F525 needs a surrogate pair
    const std::string tagged = name + ".bgn";
    const bytes data = testutil::random_bytes(5000, 1);
    testutil::write_file(name, data);

    auto r = run({bgntag, name, tagged});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testutil::read_file(tagged), testutil::tagged(data));
    r = run({velkor, "check", tagged});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, tagged + ": OK\n");
    r = run({velkor, "untag", tagged, name + ".back"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testutil::read_file(name + ".back"), data);

    // A label beyond ASCII is stored as its UTF-8 bytes.
    r = run({velkor, "pack", "-k", "cl\xc3\xa9", "-l", "\xce\xbb-\xe2\x9c\x93", name, name + ".vc"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run({velkor, "info", "-k", "cl\xc3\xa9", name + ".vc"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\xce\xbb-\xe2\x9c\x93"), std::string::npos) << r.out;

    const std::string missing = dir / "\xc3\xa9t\xc3\xa9";
    r = run({velkor, "check", missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velkor: " + missing + ": " + testutil::sys_msg(ENOENT) + "\n");
    EXPECT_EQ(r.out, missing + ": FAILED (" + testutil::sys_msg(ENOENT) + ")\n");
}

// "-" carries bytes as they are, both ways: no CR added before LF, none
// taken away, and Ctrl-Z is no end.
TEST_F(Windows, StandardStreamsAreBinary)
{
    bytes data = testutil::to_bytes("line\nline\r\n\x1a after Ctrl-Z\r\r\n");
    const bytes more = testutil::random_bytes(300000, 2);
    data.insert(data.end(), more.begin(), more.end());
    auto r = run({velkor, "tag", "-", "-"}, {}, &data);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, str(testutil::tagged(data)));

    const bytes t = testutil::tagged(data);
    r = run({velkor, "untag", "-", "-"}, {}, &t);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, str(data));
    r = run({velkor, "check", "-"}, {}, &t);
    EXPECT_EQ(r.out, "-: OK\n");

    // Messages end in "\n" alone, as on other systems.
    r = run({velkor, "check", dir / "missing"});
    EXPECT_EQ(r.err.find('\r'), std::string::npos);
}

// A file another program holds open without sharing it: a clear message,
// status 1, and the file keeps its bytes; nothing is left beside it.
TEST_F(Windows, FileHeldOpenWithoutSharing)
{
    const bytes data = testutil::random_bytes(4000, 3);
    testutil::write_file(in, data);
    const std::string t = dir / "t";
    testutil::write_file(t, testutil::tagged(data));
    testutil::write_file(out, testutil::to_bytes("old"));
    const std::string busy = ": the file is open in another program\n";
    {
        held other(out, GENERIC_READ, 0);
        ASSERT_TRUE(other.ok());
        for (const std::vector<std::string> &argv :
             {std::vector<std::string>{velkor, "untag", t, out}, {velkor, "tag", in, out}, {bgntag, in, out}}) {
            SCOPED_TRACE(argv[1]);
            auto r = run(argv);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, (argv[0] == bgntag ? "bgntag: " : "velkor: ") + out + busy);
        }
    }
    EXPECT_EQ(str(testutil::read_file(out)), "old");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in", "out", "t"}));

    // An input held so cannot be read: the same words.
    held other(t, GENERIC_READ | GENERIC_WRITE, 0);
    ASSERT_TRUE(other.ok());
    auto r = run({velkor, "check", t});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velkor: " + t + busy);

    // Shared for reading and writing, as most programs open files, the
    // output is replaced.
    held reader(out, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    ASSERT_TRUE(reader.ok());
    r = run({velkor, "tag", in, out});
    EXPECT_EQ(r.status, 0) << r.err;
}

// A read-only file is not replaced, as Windows itself refuses to: status 1,
// "Permission denied", the old bytes, and nothing left beside it.
TEST_F(Windows, ReadOnlyOutputIsRefused)
{
    const bytes data = testutil::random_bytes(3000, 4);
    testutil::write_file(in, data);
    testutil::write_file(out, testutil::to_bytes("kept"));
    ASSERT_TRUE(SetFileAttributesW(testutil::fs_path(out).c_str(), FILE_ATTRIBUTE_READONLY));
    for (const std::vector<std::string> &argv :
         {std::vector<std::string>{velkor, "tag", in, out}, {bgntag, in, out},
          {velkor, "pack", "-k", "k", "-l", "l", in, out}}) {
        SCOPED_TRACE(argv[1]);
        auto r = run(argv);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, (argv[0] == bgntag ? "bgntag: " : "velkor: ") + out + ": " + testutil::sys_msg(EACCES) + "\n");
    }
    EXPECT_EQ(str(testutil::read_file(out)), "kept");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in", "out"}));
    SetFileAttributesW(testutil::fs_path(out).c_str(), FILE_ATTRIBUTE_NORMAL);
}

// bgntag's input as its output becomes its tagged form through a file
// beside it, as does velkor's; a hidden attribute stays.
TEST_F(Windows, InputReplacedByItsTaggedForm)
{
    const bytes data = testutil::random_bytes(70000, 5);
    for (const std::string &prog : {bgntag, velkor}) {
        SCOPED_TRACE(prog);
        testutil::write_file(in, data);
        ASSERT_TRUE(SetFileAttributesW(testutil::fs_path(in).c_str(), FILE_ATTRIBUTE_HIDDEN));
        auto r = prog == bgntag ? run({bgntag, in, in}) : run({velkor, "tag", in, in});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(testutil::read_file(in), testutil::tagged(data));
        EXPECT_NE(GetFileAttributesW(testutil::fs_path(in).c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"in"});
        SetFileAttributesW(testutil::fs_path(in).c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

// Files are known by volume and file index, whatever their names: a key
// file named as the output in other letters, or through "..", is refused
// before anything is written.
TEST_F(Windows, KeyFileAsTheOutputUnderAnotherName)
{
    testutil::write_file(in, testutil::to_bytes("payload"));
    const std::string key = dir / "key.txt";
    testutil::write_file(key, testutil::to_bytes("secret\n"));
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    for (const std::string &same : {dir / "KEY.TXT", dir / "sub/../key.txt"}) {
        SCOPED_TRACE(same);
        auto r = run({velkor, "pack", "-K", key, "-l", "l", in, same});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.rfind("velkor: " + same + ": the key file is the output file\n", 0), 0u) << r.err;
        EXPECT_EQ(str(testutil::read_file(key)), "secret\n");
    }
}

// NUL takes any output and reads as empty; it is never replaced.
TEST_F(Windows, NulDevice)
{
    testutil::write_file(in, testutil::random_bytes(1000, 6));
    auto r = run({velkor, "tag", in, "NUL"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = run({bgntag, in, "nul"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"in"});
}

// What holds deciphered bytes gets an access list of its own, which lets
// in only the user, LocalSystem and Administrators (mode 0600 elsewhere).
TEST_F(Windows, DecipheredOutputIsTheUsersAlone)
{
    // Wine keeps a file's access list only where the file system has
    // extended attributes; elsewhere it makes one up from the mode.
    {
        testutil::write_file(dir / "probe", {});
        PSECURITY_DESCRIPTOR wanted = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;SY)", SDDL_REVISION_1,
                                                                         &wanted, nullptr));
        PACL list = nullptr;
        BOOL present, defaulted;
        GetSecurityDescriptorDacl(wanted, &present, &list, &defaulted);
        std::wstring probe = testutil::fs_path(dir / "probe").wstring();
        const DWORD set = SetNamedSecurityInfoW(probe.data(), SE_FILE_OBJECT,
                                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                                nullptr, nullptr, list, nullptr);
        LocalFree(wanted);
        PSECURITY_DESCRIPTOR got = nullptr;
        PACL kept = nullptr;
        GetNamedSecurityInfoW(probe.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, &kept, nullptr, &got);
        const bool keeps = set == ERROR_SUCCESS && kept != nullptr && kept->AceCount == 1;
        LocalFree(got);
        DeleteFileW(probe.c_str());
        if (!keeps)
            GTEST_SKIP() << "this file system keeps no access lists of their own";
    }

    testutil::write_file(in, testutil::to_bytes("secret payload"));
    ASSERT_EQ(run({velkor, "pack", "-k", "k", "-l", "l", in, dir / "box"}).status, 0);
    ASSERT_EQ(run({velkor, "unpack", "-k", "k", dir / "box", out}).status, 0);
    EXPECT_EQ(str(testutil::read_file(out)), "secret payload");

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(testutil::fs_path(out).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, &dacl, nullptr, &sd),
              static_cast<DWORD>(ERROR_SUCCESS));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision;
    ASSERT_TRUE(GetSecurityDescriptorControl(sd, &control, &revision));
    EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "inherits its directory's list";
    ASSERT_NE(dacl, nullptr);
    std::vector<std::string> who;
    for (DWORD k = 0; k < dacl->AceCount; k++) {
        void *ace;
        ASSERT_TRUE(GetAce(dacl, k, &ace));
        char *text = nullptr;
        ASSERT_TRUE(ConvertSidToStringSidA(&static_cast<ACCESS_ALLOWED_ACE *>(ace)->SidStart, &text));
        who.push_back(text);
        LocalFree(text);
    }
    LocalFree(sd);
    EXPECT_EQ(who.size(), 3u);
    EXPECT_NE(std::find(who.begin(), who.end(), "S-1-5-18"), who.end());
    EXPECT_NE(std::find(who.begin(), who.end(), "S-1-5-32-544"), who.end());
    EXPECT_EQ(std::find(who.begin(), who.end(), "S-1-1-0"), who.end()) << "Everyone may read it";
}

// Offsets past 4 GiB: a tagged file placed beyond them in a sparse image
// is found there, and extracted from there.
TEST_F(Windows, FindsPastFourGiB)
{
    const std::string img = dir / "big.img";
    const uint64_t at = (uint64_t{1} << 32) + 4096;
    const bytes payload = testutil::random_bytes(1000, 7);
    const bytes t = testutil::tagged(payload);
    testutil::write_file(img, {});
    ASSERT_EQ(truncate(img.c_str(), static_cast<int64_t>(at)), 0);
    {
        HANDLE h = CreateFileW(testutil::fs_path(img).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        LARGE_INTEGER end;
        end.QuadPart = static_cast<LONGLONG>(at);
        DWORD n = 0;
        EXPECT_TRUE(SetFilePointerEx(h, end, nullptr, FILE_BEGIN));
        EXPECT_TRUE(WriteFile(h, t.data(), static_cast<DWORD>(t.size()), &n, nullptr));
        CloseHandle(h);
    }
    auto r = run({velkor, "scan", "--json", "--extract", dir / "x", img});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"offset\":" + std::to_string(at) + ","), std::string::npos) << r.out;
    EXPECT_EQ(testutil::read_file(dir / "x/big.img-100001000.payload"), payload);
}

} // namespace
