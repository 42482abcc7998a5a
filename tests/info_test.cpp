// SPDX-License-Identifier: MIT
// velkor info through the program: a container described from its header
// alone when no key is given, the edges of a tagged file's description,
// and labels shown by one quoting rule in info and scan alike.
#include "testutil.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

using testutil::bytes;
using testutil::run;

namespace {

const std::string velkor = VELKOR_PATH;
const std::string python = PYTHON3_PATH; // empty when configure found none

// A JSON object read by Python's own parser, as "member=value" with the
// value in JSON again: what a consumer of the output would see.
const char json_members[] = R"py(
import json, sys
for k, v in json.loads(sys.stdin.read()).items():
    print("%s=%s" % (k, json.dumps(v)))
)py";

using members = std::map<std::string, std::string>;

members json_object(const std::string &text)
{
    members m;
    if (python.empty()) {
        ADD_FAILURE() << "python3 was not found at configure time";
        return m;
    }
    const bytes in = testutil::to_bytes(text);
    auto r = run({python, "-c", json_members}, {}, &in);
    EXPECT_EQ(r.status, 0) << text << r.err;
    std::istringstream lines(r.out);
    for (std::string l; std::getline(lines, l);)
        m[l.substr(0, l.find('='))] = l.substr(l.find('=') + 1);
    return m;
}

class Info : public ::testing::Test {
protected:
    testutil::scratch_dir dir;

    // A container of `payload_len` bytes, packed under the key "k".
    bytes container(size_t payload_len, const std::string &label, const std::string &sublabel)
    {
        const std::string in = dir / "payload", out = dir / "packed";
        testutil::write_file(in, testutil::random_bytes(payload_len, 1));
        auto r = run({velkor, "pack", "-k", "k", "-p", "0x1f", "-l", label, "-s", sublabel, in, out});
        EXPECT_EQ(r.status, 0) << r.err;
        return testutil::read_file(out);
    }
    // info on `b` given as a file and through a pipe, which must agree.
    testutil::result info(const bytes &b, const std::vector<std::string> &options = {})
    {
        const std::string path = dir / "in";
        testutil::write_file(path, b);
        std::vector<std::string> argv{velkor, "info"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(path);
        auto r = run(argv);
        argv.back() = "-";
        auto piped = run(argv, {}, &b);
        EXPECT_EQ(piped.status, r.status);
        EXPECT_EQ(piped.out, r.out);
        std::string err = r.err;
        if (err.find(path) != std::string::npos)
            err.replace(err.find(path), path.size(), "-");
        EXPECT_EQ(piped.err, err);
        return r;
    }
};

// Without a key, a container's header is shown as far as it holds
// together, with whether the input holds the whole container.  Status 0 for
// a whole one, which still needs a key to be checked; 1 for one cut short
// or with a length out of range.  The same from a file and from a pipe.
TEST_F(Info, ContainerWithoutKey)
{
    const bytes box = container(3000, "firmware", "v2"); // header 19 + 9 + 3
    ASSERT_EQ(box.size(), 31u + 3000 + 4);
    const auto cut = [&](size_t n) { return bytes(box.begin(), box.begin() + static_cast<std::ptrdiff_t>(n)); };
    bytes longer = box;
    longer.resize(box.size() + 100, 'x');
    bytes bad_label = box;
    bad_label[10] = 40; // L1, past 32
    bytes bad_sublabel = box;
    bad_sublabel[11 + 9 + 3] = 0; // L2 zero

    const std::string whole_text = "kind:            container\n"
                                   "magic:           start\n"
                                   "prefix:          0x1f\n"
                                   "label length:    9 (with its NUL)\n"
                                   "sublabel length: 3 (with its NUL)\n"
                                   "length:          3000\n"
                                   "container:       3035 bytes\n";
    const std::string past_end =
        "FAILED (damaged container (payload of 3000 bytes and its checksum run past the end of the file))\n";
    struct {
        const char *what;
        bytes b;
        int status;
        std::string text;
        members json;
    } cases[] = {
        {"whole", box, 0,
         whole_text + "in the file:     all of it\n"
                      "verdict:         not checked: a key is needed (-k KEY, -K KEYFILE or --key-env NAME)\n",
         {{"kind", "\"container\""}, {"magic", "\"start\""}, {"prefix", "31"}, {"label_length", "9"},
          {"sublabel_length", "3"}, {"length", "3000"}, {"container_length", "3035"}, {"in_file", "3035"},
          {"checked", "false"}, {"ok", "true"}, {"reason", "null"}}},
        {"bytes after it", longer, 0,
         whole_text + "in the file:     all of it\n"
                      "verdict:         not checked: a key is needed (-k KEY, -K KEYFILE or --key-env NAME)\n",
         {{"in_file", "3035"}, {"ok", "true"}}},
        {"without its checksum", cut(box.size() - 1), 1,
         whole_text + "in the file:     3034 bytes of it\n"
                      "verdict:         " + past_end,
         {{"container_length", "3035"}, {"in_file", "3034"}, {"ok", "false"},
          {"reason", "\"damaged container (payload of 3000 bytes and its checksum run past the end of the file)\""}}},
        {"cut in the header", cut(20), 1,
         "kind:            container\n"
         "magic:           start\n"
         "prefix:          0x1f\n"
         "label length:    9 (with its NUL)\n"
         "sublabel length: -\n"
         "length:          -\n"
         "container:       -\n"
         "in the file:     20 bytes of it\n"
         "verdict:         FAILED (damaged container (cut off in the header))\n",
         {{"label_length", "9"}, {"sublabel_length", "null"}, {"length", "null"}, {"container_length", "null"},
          {"in_file", "20"}, {"ok", "false"}}},
        {"magic alone", cut(6), 1, "", {{"magic", "\"start\""}, {"prefix", "null"}, {"label_length", "null"}}},
        {"label length out of range", bad_label, 1,
         "kind:            container\n"
         "magic:           start\n"
         "prefix:          0x1f\n"
         "label length:    40 (with its NUL)\n"
         "sublabel length: -\n"
         "length:          -\n"
         "container:       -\n"
         "in the file:     -\n"
         "verdict:         FAILED (damaged container (label length 40, not 1..32))\n",
         {{"label_length", "40"}, {"sublabel_length", "null"}, {"in_file", "null"}, {"ok", "false"}}},
        {"sublabel length zero", bad_sublabel, 1, "",
         {{"sublabel_length", "0"}, {"length", "null"}, {"ok", "false"},
          {"reason", "\"damaged container (sublabel length 0, not 1..8)\""}}},
    };
    for (const auto &c : cases) {
        auto r = info(c.b);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.err, "") << c.what;
        if (!c.text.empty()) {
            EXPECT_EQ(r.out, c.text) << c.what;
        }
        r = info(c.b, {"--json"});
        EXPECT_EQ(r.status, c.status) << c.what;
        const members got = json_object(r.out);
        EXPECT_EQ(got.size(), 11u) << c.what << ": " << r.out;
        for (const auto &[k, v] : c.json)
            EXPECT_EQ(got.count(k) ? got.at(k) : "(missing)", v) << c.what << ": " << k;
    }

    // Neither kind: a failure, as before.
    auto r = info(testutil::to_bytes("stark naked"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "velkor: " + dir / "in" + ": neither a tagged file nor a container\n");
}

// The edges of a tagged file's description: the tag of an empty file has a
// payload of 0 bytes, which is not "unknown"; a pipe cut inside the header
// leaves the payload unknown (null), not 0 and not a wrapped-around length.
TEST_F(Info, TaggedEdges)
{
    testutil::write_file(dir / "empty", {});
    ASSERT_EQ(run({velkor, "tag", dir / "empty", dir / "empty.bgn"}).status, 0);
    const bytes empty_tag = testutil::read_file(dir / "empty.bgn");
    ASSERT_EQ(empty_tag.size(), 20u);

    auto r = info(empty_tag);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\npayload:      0\n"), std::string::npos) << r.out;
    r = info(empty_tag, {"--json"});
    members m = json_object(r.out);
    EXPECT_EQ(m["length"], "20");
    EXPECT_EQ(m["payload_length"], "0");
    EXPECT_EQ(m["ok"], "true");

    testutil::write_file(dir / "abc", testutil::to_bytes("abc"));
    ASSERT_EQ(run({velkor, "tag", dir / "abc", dir / "abc.bgn"}).status, 0);
    const bytes abc = testutil::read_file(dir / "abc.bgn");
    // Through a pipe cut inside the header, then inside the payload: the
    // length is what arrived, and the payload what arrived after the header.
    const struct {
        size_t keep;
        members want;
    } cuts[] = {
        {10, {{"length", "10"}, {"payload_length", "null"}, {"stored_crc", "null"}, {"ok", "false"}}},
        {21, {{"length", "21"}, {"payload_length", "1"}, {"computed_crc", "null"}, {"ok", "false"}}},
    };
    for (const auto &c : cuts) {
        const bytes cut(abc.begin(), abc.begin() + static_cast<std::ptrdiff_t>(c.keep));
        r = run({velkor, "info", "--json", "-"}, {}, &cut);
        EXPECT_EQ(r.status, 1);
        m = json_object(r.out);
        for (const auto &[k, v] : c.want)
            EXPECT_EQ(m[k], v) << c.keep << " bytes: " << k;
    }
}

// Takes one shown text from `line` at `at`: $'...' (to its closing quote),
// '' or a bare text (to the next comma).
std::string take_text(const std::string &line, size_t &at)
{
    const size_t start = at;
    if (line.compare(at, 2, "$'") == 0) {
        for (at += 2; at < line.size() && line[at] != '\''; at++)
            if (line[at] == '\\')
                at++;
        at++;
    } else if (line.compare(at, 2, "''") == 0) {
        at += 2;
    } else {
        at = std::min(line.find(',', at), line.size());
    }
    return line.substr(start, at - start);
}

// What a shell makes of a shown text: bare texts are taken as they are.
std::string read_back(const std::string &shown)
{
    if (shown.rfind("$'", 0) != 0 && shown != "''")
        return shown;
    auto r = run({"/bin/bash", "-c", "printf %s " + shown});
    EXPECT_EQ(r.status, 0) << shown;
    return r.out;
}

// info and scan show a label and sublabel the same way, and every line
// reads back one way: a text that holds ", sublabel " or a comma, starts or
// ends with a space, holds a control character or bytes that are not
// UTF-8, or is empty, is quoted as a shell would read it back.
TEST_F(Info, LabelsQuotedOneWay)
{
    struct {
        std::string label, sublabel;
        bool quoted;
    } cases[] = {
        {"firmware", "v2", false},
        {"caf\xc3\xa9 au lait", "\xc3\xa9t\xc3\xa9", false}, // spaces inside, UTF-8
        {"back\\slash \"q\" it's", "a'b", false},
        {"a, sublabel b", "c", true},
        {"a,b", "x,", true},
        {" lead", "tail ", true},
        {"", "", true},
        {"tab\there\nline", "\x1b[2J", true},
#if !defined(_WIN32) // arguments that are not UTF-8 cannot reach a Windows program
        {"bad\xff" "byte", "\xc2\x9b", true},
#endif
        {"'starts", "$'x'", true},
    };
    for (const auto &c : cases) {
        const bytes box = container(10, c.label, c.sublabel);
        testutil::write_file(dir / "box", box);
        auto r = run({velkor, "info", "-k", "k", dir / "box"});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string label_key = "\nlabel:    ", sub_key = "\nsublabel: ";
        const size_t l = r.out.find(label_key), s = r.out.find(sub_key);
        ASSERT_NE(l, std::string::npos) << r.out;
        ASSERT_NE(s, std::string::npos) << r.out;
        const std::string info_label = r.out.substr(l + label_key.size(), r.out.find('\n', l + 1) - l - label_key.size());
        const std::string info_sub = r.out.substr(s + sub_key.size(), r.out.find('\n', s + 1) - s - sub_key.size());

        r = run({velkor, "scan", "-k", "k", dir / "box"});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string line = r.out.substr(0, r.out.find('\n'));
        size_t at = line.find(", label ");
        ASSERT_NE(at, std::string::npos) << line;
        at += 8;
        const std::string scan_label = take_text(line, at);
        ASSERT_EQ(line.compare(at, 11, ", sublabel "), 0) << line;
        at += 11;
        const std::string scan_sub = take_text(line, at);
        EXPECT_EQ(at, line.size()) << line; // nothing left over: the line reads one way

        EXPECT_EQ(info_label, scan_label);
        EXPECT_EQ(info_sub, scan_sub);
        EXPECT_EQ(read_back(scan_label), c.label) << line;
        EXPECT_EQ(read_back(scan_sub), c.sublabel) << line;
        EXPECT_EQ(scan_label.rfind("$'", 0) == 0 || scan_label == "''", c.quoted) << line;
    }
}

} // namespace
