// SPDX-License-Identifier: MIT
// Drives the built velkor binary (and bgntag, to make tagged files).
// Containers it writes are read back with the library itself, so a fault
// shared by pack and unpack cannot hide behind a round trip.
#include "testutil.h"
#include "velkor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <variant>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testutil::bytes;
using testutil::run;

namespace {

const std::string velkor = VELKOR_PATH;
const std::string bgntag = BGNTAG_PATH;

using testutil::sys_msg;

std::string str(const bytes &b) { return std::string(b.begin(), b.end()); }

bool starts_with(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

struct container {
    int status = -1;
    enc_info info{};
    bytes payload;
};

// Read a container file with the library.
container read_container(const std::string &path, const char *key, bool data_sized)
{
    container c;
    bytes b = testutil::read_file(path);
    c.info.key = key;
    c.info.data_sized_state = data_sized;
    c.status = decrypt_buf(&c.info, b.data(), static_cast<int64_t>(b.size()));
    if (c.status == 0)
        c.payload.assign(b.begin(), b.begin() + c.info.data_length);
    return c;
}

class Velkor : public ::testing::Test {
protected:
    testutil::scratch_dir dir;
    std::string in = dir / "in";
    std::string out = dir / "out";

    // The tagged form of data, made by bgntag.
    std::string tagged(const bytes &data, const std::string &name = "tagged")
    {
        testutil::write_file(dir / (name + ".src"), data);
        auto r = run({bgntag, dir / (name + ".src"), dir / name});
        EXPECT_EQ(r.status, 0) << r.err;
        return dir / name;
    }
};

// ---------------------------------------------------------------------------
// Conventions

TEST_F(Velkor, HelpAndVersion)
{
    // --help and --version apply to every command, even one without
    // options of its own.
    for (auto args : {std::vector<std::string>{velkor, "--help"}, {velkor, "-h"},
                      {velkor, "pack", "--help"}, {velkor, "check", "-h"},
                      {velkor, "untag", "--help"}, {velkor, "untag", "-h", "a", "b"},
                      {velkor, "info", "--help"}}) {
        auto r = run(args);
        EXPECT_EQ(r.status, 0) << args[1];
        EXPECT_TRUE(starts_with(r.out, "usage: velkor check")) << r.out;
        EXPECT_NE(r.out.find("--data-sized"), std::string::npos);
        EXPECT_EQ(r.err, "");
    }
    for (auto args : {std::vector<std::string>{velkor, "--version"}, {velkor, "untag", "--version"}}) {
        auto r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "velkor " VELKOR_VERSION "\n");
        EXPECT_EQ(r.err, "");
    }
}

// Every bad command line: status 2, what is wrong and a usage on standard
// error, nothing on standard output, no output file.
TEST_F(Velkor, CommandLineErrors)
{
    testutil::write_file(in, testutil::to_bytes("payload"));
    const std::string key255(255, 'k');
    std::string accents16;
    for (int i = 0; i < 16; i++)
        accents16 += "\xc3\xa9";
    struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{}, "missing command"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"--frob"}, "unknown option '--frob'"},
        {{"check"}, "missing operand"},
        {{"untag", in}, "missing operand"},
        {{"untag", in, out, out}, "too many operands"},
        {{"pack", "-k", "k", "-l", "l", in}, "missing operand"},
        {{"unpack", "-k", "k", in}, "missing operand"},
        {{"info", "-k", "k"}, "missing operand"},
        {{"info", "-k", "k", in, out}, "too many operands"},
        {{"pack", "-x", "-k", "k", "-l", "l", in, out}, "unknown option '-x'"},
        {{"pack", "--frob", "-k", "k", "-l", "l", in, out}, "unknown option '--frob'"},
        {{"pack", "-k", "k", "-l", "l", in, out, "-p"}, "option '-p' needs a value"},
        {{"pack", "-k", "k", "-l", "l", in, out, "--magic"}, "option '--magic' needs a value"},
        {{"check", "-k", "k", in}, "option '-k' does not apply to check"},
        {{"unpack", "-k", "k", "--label", "l", in, out}, "option '--label' does not apply to unpack"},
        {{"pack", "--json", "-k", "k", "-l", "l", in, out}, "option '--json' does not apply to pack"},
        {{"pack", "-l", "l", in, out}, "a key is needed"},
        {{"unpack", in, out}, "a key is needed"},
        {{"pack", "-k", "k", "-K", in, "-l", "l", in, out}, "give the key once"},
        {{"pack", "--keys", in, "-l", "l", in, out}, "option '--keys' does not apply to pack"},
        {{"info", "-k", "k", "-K", in, in}, in + ": the key file is the input file"},
        {{"scan", "--json", "--csv", in}, "give --json or --csv, not both"},
        {{"check", "--csv", in}, "option '--csv' does not apply to check"},
        {{"tag", "--padded", in, out}, "option '--padded' does not apply to tag"},
        {{"scan", "--memory-limit", "0", in}, "--memory-limit '0' is not a size"},
        {{"scan", "--memory-limit", "1Q", in}, "--memory-limit '1Q' is not a size"},
        {{"pack", "-k", "k", in, out}, "a label is needed"},
        {{"pack", "-k", key255, "-l", "l", in, out}, "the key is longer than 254 bytes"},
        {{"unpack", "-k", key255, in, out}, "the key is longer than 254 bytes"},
        // What -k "$KEY" gives when the variable is unset.
        {{"pack", "-k", "", "-l", "l", in, out}, "the key is empty"},
        {{"info", "-k", "", in}, "the key is empty"},
        {{"pack", "-k", "k", "-l", std::string(32, 'l'), in, out}, "label is longer than 31 bytes"},
        // Limits count bytes: 16 two-byte letters are 32 bytes.
        {{"pack", "-k", "k", "-l", accents16, in, out}, "label is longer than 31 bytes"},
        {{"pack", "-k", "k", "-l", "l", "-s", std::string(8, 's'), in, out},
         "sublabel is longer than 7 bytes"},
        {{"pack", "-k", "k", "-l", "l", "-m", "stark", in, out}, "unknown magic 'stark'"},
        {{"pack", "-k", "k", "-l", "l", "-m", "START", in, out}, "unknown magic 'START'"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv{velkor};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string shown = c.args.empty() ? "(none)" : c.args[0] + " ...";
        auto r = run(argv);
        EXPECT_EQ(r.status, 2) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_TRUE(starts_with(r.err, "velkor: " + c.message)) << shown << "\n" << r.err;
        EXPECT_NE(r.err.find("usage: velkor"), std::string::npos) << shown;
        EXPECT_FALSE(testutil::exists(out)) << shown;
    }
    for (std::string p : {"256", "0x100", "-1", "+1", "", "0x", "12a", " 1", "1 ", "0o7"}) {
        auto r = run({velkor, "pack", "-k", "k", "-l", "l", "-p", p, in, out});
        EXPECT_EQ(r.status, 2) << "prefix '" << p << "'";
        EXPECT_TRUE(starts_with(r.err, "velkor: prefix '" + p + "' is not a number from 0 to 255"))
            << r.err;
        EXPECT_FALSE(testutil::exists(out));
    }
}

// A flat JSON object of strings, unsigned integers, true, false and null,
// strictly: enough to read info --json and check --json back, and to
// reject what a JSON reader would reject.  Strings come back as UTF-8.
using json_value = std::variant<std::string, uint64_t, bool, std::nullptr_t>;

bool parse_json_object(const std::string &s, std::map<std::string, json_value> &obj)
{
    size_t p = 0;
    auto ws = [&] {
        while (p < s.size() && (s[p] == ' ' || s[p] == '\n' || s[p] == '\t' || s[p] == '\r'))
            p++;
    };
    auto string = [&](std::string &o) {
        if (p >= s.size() || s[p] != '"')
            return false;
        for (p++; p < s.size() && s[p] != '"'; p++) {
            unsigned char ch = static_cast<unsigned char>(s[p]);
            if (ch < 0x20) // raw control characters
                return false;
            if (ch != '\\') {
                o += static_cast<char>(ch);
                continue;
            }
            if (++p >= s.size())
                return false;
            switch (s[p]) {
            case '"': o += '"'; break;
            case '\\': o += '\\'; break;
            case '/': o += '/'; break;
            case 'b': o += '\b'; break;
            case 'f': o += '\f'; break;
            case 'n': o += '\n'; break;
            case 'r': o += '\r'; break;
            case 't': o += '\t'; break;
            case 'u': {
                if (p + 4 >= s.size())
                    return false;
                // Only controls are escaped, so two UTF-8 bytes at most.
                unsigned long cp = std::stoul(s.substr(p + 1, 4), nullptr, 16);
                if (cp > 0x7FF)
                    return false;
                if (cp < 0x80) {
                    o += static_cast<char>(cp);
                } else {
                    o += static_cast<char>(0xC0 | cp >> 6);
                    o += static_cast<char>(0x80 | (cp & 0x3F));
                }
                p += 4;
                break;
            }
            default: return false;
            }
        }
        if (p >= s.size())
            return false;
        p++;
        return true;
    };
    ws();
    if (p >= s.size() || s[p++] != '{')
        return false;
    for (;;) {
        ws();
        std::string name;
        if (!string(name) || obj.count(name))
            return false;
        ws();
        if (p >= s.size() || s[p++] != ':')
            return false;
        ws();
        if (p < s.size() && s[p] == '"') {
            std::string v;
            if (!string(v))
                return false;
            obj[name] = v;
        } else if (s.compare(p, 4, "true") == 0) {
            obj[name] = true;
            p += 4;
        } else if (s.compare(p, 5, "false") == 0) {
            obj[name] = false;
            p += 5;
        } else if (s.compare(p, 4, "null") == 0) {
            obj[name] = nullptr;
            p += 4;
        } else {
            size_t start = p;
            while (p < s.size() && s[p] >= '0' && s[p] <= '9')
                p++;
            if (p == start || (s[start] == '0' && p - start > 1))
                return false;
            obj[name] = std::stoull(s.substr(start, p - start));
        }
        ws();
        if (p < s.size() && s[p] == ',') {
            p++;
            continue;
        }
        if (p >= s.size() || s[p++] != '}')
            return false;
        ws();
        return p == s.size();
    }
}

// ---------------------------------------------------------------------------
// check and untag

TEST_F(Velkor, CheckPassesTaggedFiles)
{
    std::vector<std::string> files = {tagged({}, "empty"), tagged(testutil::to_bytes("abc"), "abc"),
                                      tagged(testutil::random_bytes(100000, 1), "big")};
    std::vector<std::string> argv{velkor, "check"};
    argv.insert(argv.end(), files.begin(), files.end());
    auto r = run(argv);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, files[0] + ": OK\n" + files[1] + ": OK\n" + files[2] + ": OK\n");
    EXPECT_EQ(r.err, "");

    argv.insert(argv.begin() + 2, "-q");
    r = run(argv);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

// One damaged file per reason, checked together with a sound one: each gets
// its FAILED line, the sound one its OK line, and -q keeps only failures.
TEST_F(Velkor, CheckNamesWhatIsWrong)
{
    const bytes good = testutil::read_file(tagged(testutil::to_bytes("abc")));
    ASSERT_EQ(good.size(), 23u);
    auto damaged = [&](const std::string &name, auto change) {
        bytes b = good;
        change(b);
        testutil::write_file(dir / name, b);
        return dir / name;
    };
    struct {
        std::string path;
        std::string reason;
    } cases[] = {
        {damaged("text", [](bytes &b) { b = testutil::to_bytes("just some text, long enough"); }),
         "not a tagged file"},
        {damaged("short", [](bytes &b) { b.resize(19); }),
         "not a tagged file: 19 bytes, shorter than the 20-byte header"},
        {damaged("magic", [](bytes &b) { b[2] = 'N'; }), "not a tagged file"},
        {damaged("format", [](bytes &b) { b[11] = 0xB2; }), "wrong format byte 0xb2, expected 0xb1"},
        {damaged("cut", [](bytes &b) { b.pop_back(); }),
         "length field says 23 but the file has 22 bytes"},
        {damaged("longer", [](bytes &b) { b.push_back(0); }),
         "length field says 23 but the file has 24 bytes"},
        {damaged("payload", [](bytes &b) { b[21] ^= 1; }),
         "CRC mismatch: stored 0x07e3221f, computed 0x"},
        {damaged("reserved", [](bytes &b) { b[5] = 1; }), "CRC mismatch"},
        {damaged("crc", [](bytes &b) { b[19] ^= 0x80; }),
         "CRC mismatch: stored 0x07e3229f, computed 0x07e3221f"},
        {dir / "missing", sys_msg(ENOENT)},
        {dir.path(), sys_msg(EISDIR)},
        {testutil::null_device, "not a tagged file: 0 bytes, shorter than the 20-byte header"},
    };
    const std::string sound = tagged(testutil::to_bytes("fine"), "sound");
    std::vector<std::string> argv{velkor, "check", sound};
    for (const auto &c : cases)
        argv.push_back(c.path);
    auto r = run(argv);
    EXPECT_EQ(r.status, 1);
    // A file that cannot be read is a failure to read: its reason goes to
    // standard error too.  A damaged file is check's result alone.
    EXPECT_EQ(r.err, "velkor: " + (dir / "missing") + ": " + sys_msg(ENOENT) + "\n" +
                         "velkor: " + dir.path() + ": " + sys_msg(EISDIR) + "\n");
    std::vector<std::string> lines;
    for (size_t pos = 0, nl; (nl = r.out.find('\n', pos)) != std::string::npos; pos = nl + 1)
        lines.push_back(r.out.substr(pos, nl - pos));
    ASSERT_EQ(lines.size(), std::size(cases) + 1) << r.out;
    EXPECT_EQ(lines[0], sound + ": OK");
    for (size_t k = 0; k < std::size(cases); k++) {
        const std::string want = cases[k].path + ": FAILED (" + cases[k].reason;
        EXPECT_TRUE(starts_with(lines[k + 1], want)) << lines[k + 1] << "\nwanted " << want;
        EXPECT_EQ(lines[k + 1].back(), ')');
    }

    argv.insert(argv.begin() + 2, "-q");
    auto q = run(argv);
    EXPECT_EQ(q.status, 1);
    EXPECT_EQ(q.out, r.out.substr(r.out.find('\n') + 1));
    EXPECT_EQ(q.err, r.err);

    // --status: nothing at all, only the status.
    argv[2] = "--status";
    auto st = run(argv);
    EXPECT_EQ(st.status, 1);
    EXPECT_EQ(st.out + st.err, "");
    st = run({velkor, "check", "--status", sound});
    EXPECT_EQ(st.status, 0);
    EXPECT_EQ(st.out + st.err, "");
}

// check --json: one object per file, in order, with every value the check
// reached and null for the others.
TEST_F(Velkor, CheckJson)
{
    const std::string sound = tagged(testutil::to_bytes("abc"), "sound");
    bytes b = testutil::read_file(sound);
    b[21] ^= 1;
    testutil::write_file(dir / "flipped", b);
    b.pop_back();
    testutil::write_file(dir / "cut", b);
    testutil::write_file(dir / "short", testutil::to_bytes("bgn"));
#if defined(_WIN32) // no line ends in Windows' names: a name that is not ASCII
    const std::string quoted = dir / "n\xc3\xa9w \xe2\x9c\x93";
#else
    const std::string quoted = dir / "new\nline";
#endif
    testutil::write_file(quoted, testutil::read_file(sound));

    const auto null = json_value(nullptr);
    const auto num = [](uint64_t v) { return json_value(v); };
    const uint32_t stored = 0x07E3221F;
    struct {
        std::string path;
        bool ok;
        std::string reason; // a prefix
        json_value length, stored_crc, computed_crc;
    } cases[] = {
        {sound, true, "", num(23), num(stored), num(stored)},
        {dir / "flipped", false, "CRC mismatch: stored 0x07e3221f", num(23), num(stored),
         null /* below */},
        {dir / "cut", false, "length field says 23 but the file has 22 bytes", num(22), num(stored),
         null},
        {dir / "short", false, "not a tagged file: 3 bytes", num(3), null, null},
        {dir / "missing", false, sys_msg(ENOENT), null, null, null},
        {quoted, true, "", num(23), num(stored), num(stored)},
    };
    // The flipped file's CRC, from the file itself.
    {
        bytes f = testutil::read_file(dir / "flipped");
        for (int k = 16; k < 20; k++)
            f[static_cast<size_t>(k)] = 0;
        cases[1].computed_crc = num(velkor_crc(f.data(), f.size()));
    }
    std::vector<std::string> argv{velkor, "check", "--json"};
    for (const auto &c : cases)
        argv.push_back(c.path);
    auto r = run(argv);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velkor: " + (dir / "missing") + ": " + sys_msg(ENOENT) + "\n");
    size_t pos = 0;
    for (const auto &c : cases) {
        const size_t nl = r.out.find('\n', pos);
        ASSERT_NE(nl, std::string::npos) << r.out;
        const std::string line = r.out.substr(pos, nl - pos);
        pos = nl + 1;
        std::map<std::string, json_value> obj;
        ASSERT_TRUE(parse_json_object(line, obj)) << line;
        EXPECT_EQ(obj.size(), 6u) << line;
        EXPECT_EQ(obj["name"], json_value(c.path)) << line;
        EXPECT_EQ(obj["ok"], json_value(c.ok)) << line;
        if (c.ok) {
            EXPECT_EQ(obj["reason"], null) << line;
        } else {
            ASSERT_TRUE(std::holds_alternative<std::string>(obj["reason"])) << line;
            EXPECT_TRUE(starts_with(std::get<std::string>(obj["reason"]), c.reason)) << line;
        }
        EXPECT_EQ(obj["length"], c.length) << line;
        EXPECT_EQ(obj["stored_crc"], c.stored_crc) << line;
        EXPECT_EQ(obj["computed_crc"], c.computed_crc) << line;
    }
    EXPECT_EQ(pos, r.out.size()) << r.out;

    // -q keeps only the failures' objects.
    argv.insert(argv.begin() + 2, "-q");
    auto q = run(argv);
    EXPECT_EQ(std::count(q.out.begin(), q.out.end(), '\n'), 4) << q.out;
    EXPECT_EQ(q.out.find("\"ok\":true"), std::string::npos) << q.out;
}

TEST_F(Velkor, UntagGivesBackTheInput)
{
    for (size_t n : {0u, 1u, 3u, 4096u, 1u << 20}) {
        const bytes data = testutil::random_bytes(n, static_cast<uint32_t>(n) + 7);
        auto r = run({velkor, "untag", tagged(data), out});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_EQ(testutil::read_file(out), data) << n << " bytes";
    }
    // In place: the tagged file becomes its payload again.
    const bytes data = testutil::to_bytes("in place");
    const std::string t = tagged(data);
    ASSERT_EQ(run({velkor, "untag", t, t}).status, 0);
    EXPECT_EQ(testutil::read_file(t), data);
}

TEST_F(Velkor, UntagWritesNothingWhenTheCheckFails)
{
    bytes b = testutil::read_file(tagged(testutil::to_bytes("abc")));
    b[22] ^= 1;
    testutil::write_file(in, b);
    auto r = run({velkor, "untag", in, out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(starts_with(r.err, "velkor: " + in + ": CRC mismatch")) << r.err;
    EXPECT_FALSE(testutil::exists(out));

    // An existing output is left as it was.
    testutil::write_file(out, testutil::to_bytes("old"));
    EXPECT_EQ(run({velkor, "untag", in, out}).status, 1);
    EXPECT_EQ(str(testutil::read_file(out)), "old");
}

// ---------------------------------------------------------------------------
// pack, unpack, info

TEST_F(Velkor, PackWritesTheContainerFormat)
{
    // The smallest case, byte for byte: magic, prefix, lengths, an empty
    // payload and its checksum of 0.
    testutil::write_file(in, {});
    auto r = run({velkor, "pack", "-k", "key", "-l", "a", "-s", "b", "-m", "asar1", "-p", "0x09",
                  in, out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    const bytes b = testutil::read_file(out);
    ASSERT_EQ(b.size(), 27u);
    EXPECT_EQ(bytes(b.begin(), b.begin() + 11), (bytes{'a', 's', 'a', 'r', '1', 0, 9, 0, 0, 0, 2}));
    EXPECT_EQ(bytes(b.begin() + 13, b.begin() + 17), (bytes{0, 0, 0, 2}));
    EXPECT_EQ(bytes(b.begin() + 19, b.end()), bytes(8, 0));
    container c = read_container(out, "key", false);
    ASSERT_EQ(c.status, 0);
    EXPECT_STREQ(c.info.label, "a");
    EXPECT_STREQ(c.info.sublabel, "b");

    // Defaults: magic start, prefix 0, empty sublabel, 256-entry tables.
    const bytes data = testutil::random_bytes(1000, 3);
    testutil::write_file(in, data);
    ASSERT_EQ(run({velkor, "pack", "-k", "key", "-l", "lbl", in, out}).status, 0);
    c = read_container(out, "key", false);
    ASSERT_EQ(c.status, 0);
    EXPECT_STREQ(c.info.magic, "start");
    EXPECT_EQ(c.info.key_prefix, 0);
    EXPECT_STREQ(c.info.label, "lbl");
    EXPECT_STREQ(c.info.sublabel, "");
    EXPECT_EQ(c.payload, data);
    EXPECT_EQ(testutil::read_file(out).size(), enc_compute_header_len("lbl", "") + 1000 + 4);
}

// pack then unpack gives back the input exactly, for both magics and both
// table settings, and the library reads the same container.
TEST_F(Velkor, PackUnpackRoundTrip)
{
    const std::string key(254, 'K'); // the longest key allowed
    const std::string label(31, 'L'), sublabel(7, 'S');
    for (std::string magic : {"start", "asar1"})
        for (bool sized : {false, true})
            for (size_t n : {0u, 1u, 256u, 70000u}) {
                const bytes data = testutil::random_bytes(n, static_cast<uint32_t>(n));
                testutil::write_file(in, data);
                std::vector<std::string> pack = {velkor, "pack", "-k", key, "-l", label, "-s",
                                                 sublabel, "-m", magic, "-p", "200", in, out};
                std::vector<std::string> unpack = {velkor, "unpack", "-k", key, out, dir / "back"};
                if (sized) {
                    pack.push_back("--data-sized");
                    unpack.push_back("--data-sized");
                }
                const std::string what = magic + (sized ? " data-sized " : " ") +
                                         std::to_string(n) + " bytes";
                auto r = run(pack);
                ASSERT_EQ(r.status, 0) << what << ": " << r.err;
                r = run(unpack);
                ASSERT_EQ(r.status, 0) << what << ": " << r.err;
                EXPECT_EQ(r.out + r.err, "");
                EXPECT_EQ(testutil::read_file(dir / "back"), data) << what;

                container c = read_container(out, key.c_str(), sized);
                ASSERT_EQ(c.status, 0) << what;
                EXPECT_EQ(std::string(c.info.magic), magic);
                EXPECT_EQ(std::string(c.info.label), label);
                EXPECT_EQ(std::string(c.info.sublabel), sublabel);
                EXPECT_EQ(c.info.key_prefix, 200);
                EXPECT_EQ(c.payload, data) << what;
            }
}

TEST_F(Velkor, PrefixAndKeyFileForms)
{
    testutil::write_file(in, testutil::to_bytes("data"));
    for (auto [text, value] : {std::pair<std::string, int>{"0", 0}, {"255", 255}, {"0xff", 255},
                               {"0XaB", 0xAB}, {"010", 10}}) {
        ASSERT_EQ(run({velkor, "pack", "-k", "k", "-l", "l", "-p", text, in, out}).status, 0);
        EXPECT_EQ(read_container(out, "k", false).info.key_prefix, value) << text;
    }

    // The first line of the key file, without LF or CR LF, is the key; the
    // rest of the file is not.
    const std::string keyfile = dir / "key";
    for (std::string content : {"s3cret", "s3cret\n", "s3cret\r\n", "s3cret\nsecond line\n"}) {
        testutil::write_file(keyfile, testutil::to_bytes(content));
        auto r = run({velkor, "pack", "-K", keyfile, "--label", "l", in, out});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_container(out, "s3cret", false).status, 0) << content;
        r = run({velkor, "unpack", "--key-file", keyfile, out, dir / "back"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(str(testutil::read_file(dir / "back")), "data");
    }

    // Key files that cannot give a key break the same rules as -k: a bad
    // command line (status 2), the file named.
    struct {
        std::string content;
        std::string message;
    } bad[] = {
        {"", "the key is empty"},
        {"\n", "the key is empty"},
        {"\r\n", "the key is empty"},
        {std::string(255, 'k') + "\n", "the key is longer than 254 bytes"},
        {std::string("ab\0cd\n", 6), "the key contains a NUL byte"},
    };
    for (const auto &c : bad) {
        testutil::write_file(keyfile, testutil::to_bytes(c.content));
        auto r = run({velkor, "pack", "-K", keyfile, "-l", "l", in, dir / "new"});
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(starts_with(r.err, "velkor: " + keyfile + ": " + c.message + "\nusage: velkor pack"))
            << r.err;
        EXPECT_FALSE(testutil::exists(dir / "new"));
    }
    auto r = run({velkor, "unpack", "-K", dir / "nokey", out, dir / "new"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velkor: " + dir / "nokey" + ": " + sys_msg(ENOENT) + "\n");
}

// --key-env takes the key from the environment, where other users cannot
// read it (unlike -k, which ps shows), under the same rules as -k.
TEST_F(Velkor, KeyFromTheEnvironment)
{
    testutil::write_file(in, testutil::to_bytes("data"));
#if defined(_WIN32)
    // No fork: set here, in the environment the program inherits.
    const auto with_key = [](const char *value) {
        testutil::set_env("VELKOR_TEST_KEY", value);
        return testutil::no_setup{};
    };
#else
    const auto with_key = [](const char *value) {
        return [value] {
            if (value != nullptr)
                setenv("VELKOR_TEST_KEY", value, 1);
            else
                unsetenv("VELKOR_TEST_KEY");
        };
    };
#endif
    auto r = run({velkor, "pack", "--key-env", "VELKOR_TEST_KEY", "-l", "l", in, out}, with_key("s3cret"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_container(out, "s3cret", false).status, 0);
    r = run({velkor, "unpack", "--key-env=VELKOR_TEST_KEY", out, dir / "back"}, with_key("s3cret"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(str(testutil::read_file(dir / "back")), "data");

    struct {
        const char *value;
        std::vector<std::string> args;
        std::string message;
    } bad[] = {
        {nullptr, {"--key-env", "VELKOR_TEST_KEY"}, "$VELKOR_TEST_KEY: the variable is not set"},
        {"", {"--key-env", "VELKOR_TEST_KEY"}, "$VELKOR_TEST_KEY: the key is empty"},
        {"k", {"--key-env", "VELKOR_TEST_KEY=k"}, "$VELKOR_TEST_KEY=k: not a variable name"},
        {"k", {"--key-env", ""}, "$: not a variable name"},
    };
    std::string long_key(255, 'k');
    for (const auto &c : bad) {
        SCOPED_TRACE(c.message);
        std::vector<std::string> argv = {velkor, "unpack"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        argv.insert(argv.end(), {out, dir / "new"});
        r = run(argv, with_key(c.value));
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(starts_with(r.err, "velkor: " + c.message + "\nusage: velkor unpack")) << r.err;
        EXPECT_FALSE(testutil::exists(dir / "new"));
    }
    r = run({velkor, "unpack", "--key-env", "VELKOR_TEST_KEY", out, dir / "new"}, with_key(long_key.c_str()));
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(starts_with(r.err, "velkor: $VELKOR_TEST_KEY: the key is longer than 254 bytes")) << r.err;
}

// A wrong key or the other table setting shows in the texts, which are
// checked first; a damaged payload ends at the checksum; a file that is no
// container, or is cut short, is named as such.  None of them creates the
// output.
TEST_F(Velkor, UnpackRefusesWhatItCannotRead)
{
    const std::string packed = dir / "packed";
    testutil::write_file(in, testutil::random_bytes(5000, 9));
    ASSERT_EQ(run({velkor, "pack", "-k", "right", "-l", "label", "-s", "sub", in, packed}).status, 0);
    const bytes good = testutil::read_file(packed);
    const size_t header = enc_compute_header_len("label", "sub");

    auto variant = [&](const std::string &name, auto change) {
        bytes b = good;
        change(b);
        testutil::write_file(dir / name, b);
        return dir / name;
    };
    const std::string mismatch =
        "checksum mismatch (wrong key, wrong --data-sized setting or damaged container)";
    const std::string no_text = "wrong key, wrong --data-sized setting or damaged container (label or "
                                "sublabel does not decipher to a text)";
    struct {
        std::vector<std::string> options;
        std::string path;
        std::string reason;
    } cases[] = {
        {{"-k", "wrong"}, packed, no_text},
        {{"-k", "righ"}, packed, no_text},
        {{"-k", "right", "--data-sized"}, packed, no_text},
        {{"-k", "right"}, variant("payload", [&](bytes &b) { b[header + 100] ^= 4; }), mismatch},
        {{"-k", "right"}, variant("sum", [&](bytes &b) { b.back() ^= 1; }), mismatch},
        {{"-k", "right"}, in, "not a container (no start or asar1 magic)"},
        {{"-k", "right"}, variant("magic", [](bytes &b) { b[5] = '!'; }), "not a container (no start or asar1 magic)"},
        {{"-k", "right"}, variant("empty", [](bytes &b) { b.clear(); }), "not a container (no start or asar1 magic)"},
        {{"-k", "right"}, variant("cut", [](bytes &b) { b.pop_back(); }),
         "damaged container (payload of 5000 bytes and its checksum run past the end of the file)"},
        {{"-k", "right"}, variant("cuthead", [](bytes &b) { b.resize(12); }),
         "damaged container (cut off in the header)"},
        {{"-k", "right"}, variant("l1", [](bytes &b) { b[10] = 33; }),
         "damaged container (label length 33, not 1..32)"},
        {{"-k", "right"}, variant("l1zero", [](bytes &b) { b[10] = 0; }),
         "damaged container (label length 0, not 1..32)"},
        {{"-k", "right"}, variant("l2", [](bytes &b) { b[11 + 6 + 3] = 9; }),
         "damaged container (sublabel length 9, not 1..8)"},
        {{"-k", "right"}, dir / "missing", sys_msg(ENOENT)},
        {{"-k", "right"}, dir.path(), sys_msg(EISDIR)},
    };
    for (const auto &c : cases) {
        for (std::string cmd : {"unpack", "info"}) {
            std::vector<std::string> argv{velkor, cmd};
            argv.insert(argv.end(), c.options.begin(), c.options.end());
            argv.push_back(c.path);
            if (cmd == "unpack")
                argv.push_back(out);
            auto r = run(argv);
            EXPECT_EQ(r.status, 1) << cmd << " " << c.path;
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "velkor: " + c.path + ": " + c.reason + "\n");
            EXPECT_FALSE(testutil::exists(out));
        }
    }
    // Bytes after the checksum are not part of the container.
    const std::string padded = variant("padded", [](bytes &b) { b.resize(b.size() + 3, 0xEE); });
    EXPECT_EQ(run({velkor, "unpack", "-k", "right", padded, out}).status, 0);
    EXPECT_EQ(testutil::read_file(out), testutil::read_file(in));
}

// The payload length field has 32 bits.  The input is sparse, so the test
// costs no disk space, and it is refused before anything is read.
TEST_F(Velkor, PackRefusesPayloadsBeyondTheLengthField)
{
    testutil::write_file(in, {});
    ASSERT_EQ(truncate(in.c_str(), int64_t{1} << 32), 0);
    auto r = run({velkor, "pack", "-k", "k", "-l", "l", in, out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velkor: " + in +
                         ": too large for a container (4294967296 bytes, at most 4294967295)\n");
    EXPECT_FALSE(testutil::exists(out));
}

#if !defined(_WIN32) // a file-size limit
// tag's length field counts the header too: VELKOR_TAG_MAX_PAYLOAD bytes
// fit, one more does not.  The inputs are sparse, and the one that fits
// is stopped at its first write by a file-size limit, which names the
// output instead of the input: the size was accepted, and nothing near
// 4 GiB is ever read or written, whatever the build does.
TEST_F(Velkor, TagTakesPayloadsUpToTheLengthField)
{
    struct {
        uint64_t size;
        std::string named;
    } cases[] = {
        {uint64_t{VELKOR_TAG_MAX_PAYLOAD}, out},
        {uint64_t{VELKOR_TAG_MAX_PAYLOAD} + 1, in},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        testutil::write_file(in, {});
        ASSERT_EQ(truncate(in.c_str(), static_cast<off_t>(c.size)), 0);
        auto r = run({velkor, "tag", in, out}, [] { testutil::limit_file_size(4096); });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "velkor: " + c.named + ": " + sys_msg(EFBIG) + "\n");
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"in"});
    }
}
#endif

TEST_F(Velkor, InfoPrintsTheHeaderFields)
{
    const bytes data = testutil::random_bytes(3000, 5);
    testutil::write_file(in, data);
    const uint32_t sum = velkor_csum(3000, data.data(), data.size());
    ASSERT_EQ(run({velkor, "pack", "-k", "k", "-l", "firmware", "-s", "v2", "-m", "asar1", "-p",
                   "0x1f", "--data-sized", in, out})
                  .status,
              0);
    auto r = run({velkor, "info", "-k", "k", "--data-sized", out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    char hex[16];
    snprintf(hex, sizeof hex, "0x%08x", sum);
    EXPECT_EQ(r.out, std::string("magic:    asar1\n"
                                 "prefix:   0x1f\n"
                                 "key:      1\n"
                                 "label:    firmware\n"
                                 "sublabel: v2\n"
                                 "length:   3000\n"
                                 "checksum: ") +
                         hex + "\n");

    r = run({velkor, "info", "--json", "-k", "k", "--data-sized", out});
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::string, json_value> obj;
    ASSERT_TRUE(parse_json_object(r.out, obj)) << r.out;
    EXPECT_EQ(obj.size(), 10u);
    EXPECT_EQ(obj["kind"], json_value(std::string("container")));
    EXPECT_EQ(obj["key"], json_value(uint64_t{1}));
    EXPECT_EQ(obj["magic"], json_value(std::string("asar1")));
    EXPECT_EQ(obj["label_hex"], json_value(std::string("6669726d77617265")));
    EXPECT_EQ(obj["sublabel_hex"], json_value(std::string("7632")));
    EXPECT_EQ(obj["prefix"], json_value(uint64_t{0x1f}));
    EXPECT_EQ(obj["label"], json_value(std::string("firmware")));
    EXPECT_EQ(obj["sublabel"], json_value(std::string("v2")));
    EXPECT_EQ(obj["length"], json_value(uint64_t{3000}));
    EXPECT_EQ(obj["checksum"], json_value(uint64_t{sum}));
}

// A tagged file needs no key: info shows its fields and the verdict, which
// is also the status, from a file or a pipe.
TEST_F(Velkor, InfoOnTaggedFiles)
{
    const std::string sound = tagged(testutil::to_bytes("abc"), "sound");
    bytes b = testutil::read_file(sound);
    b[19] ^= 1; // the stored CRC
    testutil::write_file(dir / "damaged", b);

    auto r = run({velkor, "info", sound});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "kind:         tagged\n"
                     "length:       23\n"
                     "payload:      3\n"
                     "stored CRC:   0x07e3221f\n"
                     "computed CRC: 0x07e3221f\n"
                     "verdict:      OK\n");

    r = run({velkor, "info", "--json", dir / "damaged"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    std::map<std::string, json_value> obj;
    ASSERT_TRUE(parse_json_object(r.out, obj)) << r.out;
    EXPECT_EQ(obj["kind"], json_value(std::string("tagged")));
    EXPECT_EQ(obj["length"], json_value(uint64_t{23}));
    EXPECT_EQ(obj["payload_length"], json_value(uint64_t{3}));
    EXPECT_EQ(obj["stored_crc"], json_value(uint64_t{0x07E3221E}));
    EXPECT_EQ(obj["computed_crc"], json_value(uint64_t{0x07E3221F}));
    EXPECT_EQ(obj["ok"], json_value(false));
    EXPECT_EQ(obj["reason"],
              json_value(std::string("CRC mismatch: stored 0x07e3221e, computed 0x07e3221f")));

    // Through a pipe, cut short: the length is what arrived.
    b = testutil::read_file(sound);
    const bytes cut(b.begin(), b.begin() + 10);
    r = run({velkor, "info", "-"}, {}, &cut);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "kind:         tagged\n"
                     "length:       10\n"
                     "payload:      -\n"
                     "stored CRC:   -\n"
                     "computed CRC: -\n"
                     "verdict:      FAILED (not a tagged file: 10 bytes, shorter than the 20-byte "
                     "header)\n");

    // A key given anyway is not in the way.
    r = run({velkor, "info", "-k", "k", sound});
    EXPECT_EQ(r.status, 0) << r.err;

    // Anything that is neither a tagged file nor a container (a container
    // without a key: info_test.cpp).
    testutil::write_file(in, testutil::to_bytes("payload"));
    r = run({velkor, "info", in});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "velkor: " + in + ": neither a tagged file nor a container\n");
}

// An empty payload has nothing to check: a wrong key shows only when a
// text does not decipher to one, and is named as such, not as a checksum
// mismatch.
TEST_F(Velkor, UndecipherableLabelIsNotAChecksumMismatch)
{
    testutil::write_file(in, {});
    ASSERT_EQ(run({velkor, "pack", "-k", "right", "-l", "label", in, out}).status, 0);
    const bytes box = testutil::read_file(out);
    // A wrong key whose label comes out without its NUL (most do).
    std::string wrong;
    for (int k = 0; k < 100 && wrong.empty(); k++) {
        std::string key = "wrong" + std::to_string(k);
        bytes b = box;
        enc_info info{};
        info.key = key.c_str();
        if (decrypt_buf(&info, b.data(), static_cast<int64_t>(b.size())) != 0)
            wrong = key;
    }
    ASSERT_FALSE(wrong.empty());
    for (std::string cmd : {"unpack", "info"}) {
        std::vector<std::string> argv{velkor, cmd, "-k", wrong, out};
        if (cmd == "unpack")
            argv.push_back(dir / "payload");
        auto r = run(argv);
        EXPECT_EQ(r.status, 1) << cmd;
        EXPECT_EQ(r.err, "velkor: " + out +
                             ": wrong key, wrong --data-sized setting or damaged container (label or "
                             "sublabel does not decipher to a text)\n");
        EXPECT_FALSE(testutil::exists(dir / "payload"));
    }
}

#if !defined(_WIN32) // arguments that are not UTF-8 cannot reach a Windows program
// Labels are bytes.  The JSON gives the UTF-8 text (an invalid byte as
// U+FFFD) and the exact bytes in hex; the plain output shows printable
// UTF-8 as it is and quotes a label with control characters or invalid
// bytes as a shell reads it back, so no label can move the cursor or forge
// a line.
TEST_F(Velkor, InfoEscapesLabels)
{
    testutil::write_file(in, {});
    const std::string label = "q\"b\\n\nt\t\x01\x1f\x7f\x80\xff\xc3\xa9\xc2\x9b/";
    const std::string sublabel = "\x1b[2J";
    ASSERT_EQ(run({velkor, "pack", "-k", "k", "-l", label, "-s", sublabel, in, out}).status, 0);

    auto r = run({velkor, "info", "-k", "k", "--json", out});
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, json_value> obj;
    ASSERT_TRUE(parse_json_object(r.out, obj)) << r.out;
    EXPECT_EQ(obj["label"], json_value(std::string(
                                "q\"b\\n\nt\t\x01\x1f\x7f\xef\xbf\xbd\xef\xbf\xbd\xc3\xa9\xc2\x9b/")));
    EXPECT_EQ(obj["label_hex"], json_value(std::string("7122625c6e0a7409011f7f80ffc3a9c29b2f")));
    EXPECT_EQ(obj["sublabel"], json_value(sublabel));
    EXPECT_EQ(obj["sublabel_hex"], json_value(std::string("1b5b324a")));
    EXPECT_EQ(obj["length"], json_value(uint64_t{0}));
    EXPECT_EQ(obj["checksum"], json_value(uint64_t{0}));

    r = run({velkor, "info", "-k", "k", out});
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("label:    $'q\"b\\\\n\\nt\\t\\x01\\x1f\\x7f\\x80\\xff\xc3\xa9\\xc2\\x9b/'\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("sublabel: $'\\x1b[2J'\n"), std::string::npos) << r.out;
}
#endif

// ---------------------------------------------------------------------------
// Outputs

#if !defined(_WIN32) // file-size limits, device nodes, modes, links, umask
// Each writing command, with the output failing part-way (a file-size
// limit): status 1 naming the output, an existing output keeps its old
// content, a new one is not created, and no temporary file stays behind.
TEST_F(Velkor, FailedWriteLeavesNoPartialOutput)
{
    const bytes data = testutil::random_bytes(50000, 2);
    testutil::write_file(in, data);
    const std::string packed = dir / "packed", tag = tagged(data);
    ASSERT_EQ(run({velkor, "pack", "-k", "k", "-l", "l", in, packed}).status, 0);
    const std::vector<std::vector<std::string>> commands = {
        {velkor, "pack", "-k", "k", "-l", "l", in},
        {velkor, "unpack", "-k", "k", packed},
        {velkor, "untag", tag},
    };
    const auto limit = [] { testutil::limit_file_size(4096); };
    for (bool existing : {false, true}) {
        for (auto argv : commands) {
            if (existing)
                testutil::write_file(out, testutil::to_bytes("old content"));
            const auto before = dir.entries();
            argv.push_back(out);
            auto r = run(argv, limit);
            EXPECT_EQ(r.status, 1) << argv[1];
            EXPECT_EQ(r.err, "velkor: " + out + ": " + sys_msg(EFBIG) + "\n");
            EXPECT_EQ(dir.entries(), before) << argv[1];
            if (existing)
                EXPECT_EQ(str(testutil::read_file(out)), "old content");
            else
                EXPECT_FALSE(testutil::exists(out));
            std::remove(out.c_str());
        }
    }
    // The same file as input and output survives a failed rewrite.
    auto r = run({velkor, "untag", tag, tag}, limit);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(testutil::read_file(tag).size(), data.size() + 20);
}

// A full device fails at the write and is never removed.
TEST_F(Velkor, FullDeviceFailsAndStays)
{
    const std::string dev = testutil::full_device(dir);
    if (dev.empty())
        GTEST_SKIP() << "no private full device can be made here (needs root)";
    struct stat sys;
    ASSERT_EQ(stat(dev.c_str(), &sys), 0);
    const bytes data = testutil::random_bytes(10000, 4);
    testutil::write_file(in, data);
    for (const std::vector<std::string> &argv :
         {std::vector<std::string>{velkor, "pack", "-k", "k", "-l", "l", in, dev},
          {velkor, "untag", tagged(data), dev}}) {
        auto r = run(argv);
        EXPECT_EQ(r.status, 1) << argv[1];
        EXPECT_EQ(r.err, "velkor: " + dev + ": " + sys_msg(ENOSPC) + "\n");
        struct stat after;
        ASSERT_EQ(lstat(dev.c_str(), &after), 0);
        EXPECT_TRUE(S_ISCHR(after.st_mode));
        EXPECT_EQ(after.st_rdev, sys.st_rdev);
    }
    // What check, info and --help print is their result: a failed print
    // is a failure, and says so.
    for (const std::vector<std::string> &argv :
         {std::vector<std::string>{velkor, "check", tagged(data)}, {velkor, "--help"},
          {velkor, "--version"}}) {
        auto r = run(argv, [&] {
            int fd = open(dev.c_str(), O_WRONLY);
            dup2(fd, 1);
        });
        EXPECT_EQ(r.status, 1) << argv[1];
        EXPECT_EQ(r.err, "velkor: standard output: " + sys_msg(ENOSPC) + "\n");
    }
}

// Replacing an output keeps what the user set up around it: its permission
// bits, and a symbolic link stays a link to the replaced file.
TEST_F(Velkor, ReplacedOutputKeepsModeAndLink)
{
    const bytes data = testutil::to_bytes("new payload");
    const std::string t = tagged(data);
    testutil::write_file(out, testutil::to_bytes("old"));
    ASSERT_EQ(chmod(out.c_str(), 0604), 0);
    fs::create_symlink("out", dir / "link");
    ASSERT_EQ(run({velkor, "untag", t, dir / "link"}).status, 0);
    EXPECT_TRUE(fs::is_symlink(dir / "link"));
    EXPECT_EQ(testutil::read_file(out), data);
    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);

    // A new output gets the usual 0666 less the umask.
    auto r = run({velkor, "untag", t, dir / "fresh"}, [] { umask(027); });
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(stat((dir / "fresh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}
#endif

// --padded: after the tagged length, one fill byte (0xff or 0x00) repeated
// is accepted and reported, by check, untag and info, from a file or a
// pipe; any other byte after the tagged length fails with a reason that
// names it and where it is, and a file shorter than its length field
// still fails as one.  Without the option nothing changes.
TEST_F(Velkor, PaddedImages)
{
    const bytes payload = testutil::random_bytes(5000, 21);
    const bytes sound = testutil::read_file(tagged(payload));
    const auto with = [&](const bytes &tail, size_t keep = 5020) {
        bytes b(sound.begin(), sound.begin() + static_cast<long>(keep));
        b.insert(b.end(), tail.begin(), tail.end());
        return b;
    };
    bytes mixed(300, 0xff);
    mixed[200] = 0x00;
    struct {
        const char *name;
        bytes file;
        std::string reason; // "" when it passes
        uint64_t padding;
        std::string line;   // check's words after the name
    } cases[] = {
        {"ff", with(bytes(4076, 0xff)), "", 4076, "OK (padded with 4076 bytes of 0xff)"},
        {"zeros", with(bytes(1, 0x00)), "", 1, "OK (padded with 1 byte of 0x00)"},
        {"none", sound, "", 0, "OK"},
        {"mixed", with(mixed), "byte 0x00 at offset 5220 breaks the padding of 0xff", 0, ""},
        {"other", with(testutil::to_bytes("\x01\xff")), "byte 0x01 at offset 5020 follows the tagged length and is not fill (0xff or 0x00)", 0, ""},
        {"short", with(bytes(500, 0xff), 4000), "length field says 5020 but the file has 4500 bytes", 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / c.name;
        testutil::write_file(path, c.file);
        const bool ok = c.reason.empty();
        for (bool pipe : {false, true}) {
            SCOPED_TRACE(pipe ? "pipe" : "file");
            const std::string name = pipe ? "-" : path;
            const bytes *input = pipe ? &c.file : nullptr;
            auto r = run({velkor, "check", "--padded", name}, {}, input);
            EXPECT_EQ(r.status, ok ? 0 : 1);
            EXPECT_EQ(r.out, name + ": " + (ok ? c.line : "FAILED (" + c.reason + ")") + "\n");
            r = run({velkor, "check", "--padded", "--json", name}, {}, input);
            EXPECT_TRUE(r.out.find(",\"padding\":" + (ok ? std::to_string(c.padding) : std::string("null")) +
                                   ",\"stored_crc\":") != std::string::npos)
                << r.out;
            r = run({velkor, "untag", "--padded", name, "-"}, {}, input);
            EXPECT_EQ(r.status, ok ? 0 : 1);
            if (ok)
                EXPECT_EQ(r.out, str(payload));
            else
                EXPECT_EQ(r.err, "velkor: " + name + ": " + c.reason + "\n");
            r = run({velkor, "info", "--padded", name}, {}, input);
            EXPECT_EQ(r.status, ok ? 0 : 1);
            const std::string fill = !ok ? "-" : c.padding == 0 ? "none" : c.line.substr(16, c.line.size() - 17);
            EXPECT_NE(r.out.find("\npadding:      " + fill + "\nstored CRC:"), std::string::npos)
                << r.out;
            r = run({velkor, "info", "--json", "--padded", name}, {}, input);
            EXPECT_NE(r.out.find(",\"padding\":" + (ok ? std::to_string(c.padding) : std::string("null")) +
                                 ",\"stored_crc\":"),
                      std::string::npos)
                << r.out;
        }
        // Without the option, only the file with nothing after it passes,
        // and nothing says "padding".
        auto r = run({velkor, "check", "--json", path});
        EXPECT_EQ(r.status, c.padding == 0 && ok ? 0 : 1) << r.out;
        EXPECT_EQ(r.out.find("padding"), std::string::npos);
    }
    // untag --padded to a file writes the payload alone, and nothing when
    // the padding breaks.
    auto r = run({velkor, "untag", "--padded", dir / "ff", out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testutil::read_file(out), payload);
    r = run({velkor, "untag", "--padded", dir / "mixed", dir / "none-out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(testutil::exists(dir / "none-out"));
}

// unpack and info try the keys in order: a key whose texts do not
// decipher is passed over at the header; a key under which the texts
// decipher but the checksum fails (found here by search: an empty label
// and sublabel decipher under about one key in 65,536) is passed over
// before anything is written, from a file and from a pipe alike, and the
// next one is used.  The key's number is shown, its text never.
TEST_F(Velkor, SeveralKeysForUnpackAndInfo)
{
    const bytes data = testutil::random_bytes(70000, 22);
    testutil::write_file(in, data);
    ASSERT_EQ(run({velkor, "pack", "-k", "right", "-l", "", in, out}).status, 0);
    const bytes box = testutil::read_file(out);
    // A decoy: another key under which the header passes.
    std::string decoy;
    for (int k = 0; decoy.empty() && k < 4000000; k++) {
        std::string key = "decoy";
        key += std::to_string(k);
        enc_info info{};
        info.key = key.c_str();
        enc_stream st;
        if (enc_read_header(&st, &info, box.data(), box.size(), static_cast<int64_t>(box.size())) == ENC_OK) {
            enc_stream_release(&st);
            decoy = key;
        }
    }
    ASSERT_FALSE(decoy.empty());
    testutil::write_file(dir / "keys", testutil::to_bytes("wrong\r\n\n" + decoy + "\nright\n"));

    struct {
        std::vector<std::string> keys;
        size_t number;
    } cases[] = {
        {{"-k", "wrong", "-k", "right"}, 2},
        {{"-k", decoy, "-k", "right"}, 2},
        {{"--keys", dir / "keys"}, 3},
        {{"-k", "right", "-k", decoy}, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.keys[1]);
        for (bool pipe : {false, true}) {
            std::vector<std::string> args{velkor, "unpack"};
            args.insert(args.end(), c.keys.begin(), c.keys.end());
            args.insert(args.end(), {pipe ? "-" : out, "-"});
            auto r = run(args, {}, pipe ? &box : nullptr);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(r.out == str(data)) << r.out.size();
            EXPECT_EQ(r.err, "");
            args = {velkor, "info", "--json"};
            args.insert(args.end(), c.keys.begin(), c.keys.end());
            args.push_back(pipe ? "-" : out);
            r = run(args, {}, pipe ? &box : nullptr);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.out.find("\"key\":" + std::to_string(c.number) + ","), std::string::npos) << r.out;
            for (const std::string &secret : {std::string("right"), decoy})
                EXPECT_EQ((r.out + r.err).find(secret), std::string::npos);
        }
    }
    // The decoy alone: its checksum fails, reported as such; nothing is
    // left under the output's name.
    auto r = run({velkor, "unpack", "-k", decoy, out, dir / "back"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("checksum"), std::string::npos) << r.err;
    EXPECT_FALSE(testutil::exists(dir / "back"));
    r = run({velkor, "unpack", "-k", "wrong", "-k", "worse", out, dir / "back"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("label or sublabel does not decipher"), std::string::npos) << r.err;

    // --keys: empty lines skipped, CR LF taken; a file without a key, a
    // line too long, or more keys than a scanner takes, is a bad command
    // line.
    std::string many;
    for (int k = 0; k < VELKOR_SCAN_MAX_KEYS + 1; k++) {
        many += 'k';
        many += std::to_string(k);
        many += '\n';
    }
    struct {
        std::string text, message;
    } bad[] = {
        {"\n\r\n", ": the file holds no key"},
        {"a\n" + std::string(255, 'x') + "\n", ": line 2: the key is longer than 254 bytes"},
        {std::string("a\0b\n", 4), ": line 1: the key contains a NUL byte"},
        {many, "at most 64 keys may be given"},
    };
    for (const auto &c : bad) {
        testutil::write_file(dir / "list", testutil::to_bytes(c.text));
        r = run({velkor, "unpack", "--keys", dir / "list", out, dir / "back"});
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

} // namespace

