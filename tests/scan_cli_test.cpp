// SPDX-License-Identifier: MIT
// velkor scan through the built program: images assembled from what bgntag
// and velkor pack write, with the finds' offsets known from the assembly.
// JSON and the SVG map are read back with Python's own parsers, so output
// that only looks right to this file's authors cannot pass.
#include "testutil.h"
#include "velkor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using testutil::bytes;
using testutil::run;

namespace {

const std::string velkor = VELKOR_PATH;
const std::string bgntag = BGNTAG_PATH;
const std::string python = PYTHON3_PATH; // empty when configure found none

std::string str(const bytes &b) { return std::string(b.begin(), b.end()); }

std::vector<std::string> lines(const std::string &s)
{
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);)
        v.push_back(l);
    return v;
}

[[maybe_unused]] std::string hex_of(const std::string &s)
{
    std::string o;
    char b[3];
    for (unsigned char ch : s) {
        snprintf(b, sizeof b, "%02x", ch);
        o += b;
    }
    return o;
}

std::string hex8(uint64_t v)
{
    char b[32];
    snprintf(b, sizeof b, "0x%08" PRIx64, v);
    return b;
}

// One find as the tests expect it.
struct find {
    uint64_t offset, length, payload_offset, payload_length;
    bool tagged;
    std::string reason; // "" when verified
    int64_t inside;     // -1: none
    bytes payload;      // plaintext
    bytes raw;          // the find's own bytes
    std::string label, sublabel;
};

// Checks the scanner's JSON with json.loads: one object per line, exactly
// the members the kind allows, reason null exactly when verified, label_hex
// the bytes of label.  Prints each find on a line for the test to compare.
const char json_check[] = R"(
import json, sys
order = ["image", "image_bytes", "offset", "kind", "length", "payload_offset", "payload_length", "verified",
         "reason", "inside", "payload_of", "magic", "key_prefix", "key", "label", "label_hex", "sublabel",
         "sublabel_hex", "damaged_texts"]
base = {"image", "offset", "kind", "length", "payload_offset", "payload_length", "verified", "reason", "inside",
        "payload_of"}
cont = base | {"magic", "key_prefix", "key"}
texts = cont | {"label", "label_hex", "sublabel", "sublabel_hex"}
damaged = texts | {"damaged_texts"}
summary = ["image", "kind", "bytes", "finds", "verified", "dropped", "passes", "complete", "stopped"]
stops = {"read error", "dropped", "memory limit", "work budget", "nesting limit", "failed output",
         "refused output", "budget"}
finds = verified = 0
for line in open(sys.argv[1], encoding="utf-8"):
    o = json.loads(line)
    members = list(o)
    name = o["image"]
    # A name that is not UTF-8 has its exact bytes beside its text; shown
    # here by them.
    if "image_bytes" in o:
        assert list(o)[:2] == ["image", "image_bytes"], o
        raw = bytes.fromhex(o.pop("image_bytes"))
        try:
            raw.decode("utf-8")
            assert False, "image_bytes for a UTF-8 name"
        except UnicodeDecodeError:
            pass
        text = raw.decode("utf-8", "surrogateescape")
        assert o["image"] == "".join("\ufffd" if "\udc80" <= c <= "\udcff" else c for c in text), o
        name = "bytes:" + raw.hex()
    if o["kind"] == "summary":
        assert list(o) == summary, o
        assert (o["finds"], o["verified"]) == (finds, verified), (o, finds, verified)
        assert o["complete"] in (True, False) and (o["dropped"] == 0 or not o["complete"]), o
        assert (o["stopped"] is None) == o["complete"] and (o["stopped"] is None or o["stopped"] in stops), o
        assert o["dropped"] == 0 or o["stopped"] in ("read error", "dropped"), o
        print("summary", name, o["bytes"], o["finds"], o["verified"], o["dropped"], o["passes"],
              "complete" if o["complete"] else "incomplete:" + o["stopped"].replace(" ", "_"))
        finds = verified = 0
        continue
    finds += 1
    verified += o["verified"] is True
    keys = set(o)
    assert members == [k for k in order if k in members], members
    if o["kind"] == "tagged":
        assert keys == base, keys
    else:
        assert o["kind"] == "container" and keys in (cont, texts, damaged), keys
        assert o["key"] is None or (type(o["key"]) is int and o["key"] >= 1), o
        assert ("label" in o) == (o["key"] is not None), o
        assert o.get("damaged_texts", True) is True, o
    assert (o["reason"] is None) == (o["verified"] is True), o
    assert o["verified"] in (True, False) or o["reason"] in ("over the work budget",) or \
        o["reason"].endswith(" bytes, over the memory limit"), o
    assert o["payload_of"] is None or type(o["payload_of"]) is int, o
    if "label" in o:
        assert bytes.fromhex(o["label_hex"]).decode("utf-8", "replace") == o["label"], o
        assert bytes.fromhex(o["sublabel_hex"]).decode("utf-8", "replace") == o["sublabel"], o
    print(name, o["offset"], o["kind"], o["length"], o["payload_offset"], o["payload_length"],
          "verified" if o["verified"] else o["reason"], o["inside"], o.get("label"), o.get("sublabel"),
          *(["payload_of", o["payload_of"]] if o["payload_of"] is not None else []),
          *(["key", o["key"]] if o.get("key") is not None else []),
          *(["damaged_texts"] if o.get("damaged_texts") else []))
)";

// Checks the map with ElementTree: an SVG root, nothing that fetches or
// runs anything, one band per image; prints each span with whether its
// left edge lies where its offset does on the band (the minimum width may
// push a find at the very end left by a few pixels) and its row.
const char svg_check[] = R"(
import sys, xml.etree.ElementTree as ET
S = "{http://www.w3.org/2000/svg}"
root = ET.parse(sys.argv[1]).getroot()
assert root.tag == S + "svg", root.tag
assert float(root.get("width")) == 1200
for el in root.iter():
    assert el.tag.startswith(S), el.tag
    assert el.tag not in (S + "script", S + "image", S + "foreignObject"), el.tag
    for k, v in el.attrib.items():
        assert "href" not in k and "url(" not in v and not k.startswith("on"), (k, v)
for i, g in enumerate(root.iterfind(S + "g[@class='image']")):
    band = g.find(S + "rect[@class='band']")
    bx, bw, size = float(band.get("x")), float(band.get("width")), int(g.get("data-size"))
    print("image", i, size, g.find(S + "text").text)
    for r in g.iterfind(S + "rect"):
        cls = r.get("class").split()
        if cls[0] != "span":
            continue
        off, ln = int(r.get("data-offset")), int(r.get("data-length"))
        x, w = float(r.get("x")), float(r.get("width"))
        want = bx + bw * off / size
        ok = abs(x - want) <= 3.01 and w >= 2.99 and x + w <= bx + bw + 0.01 and r.find(S + "title") is not None
        print("span", i, off, ln, cls[1], "ok" if ok else "BAD x=%g want=%g w=%g" % (x, want, w), r.get("y"))
)";

class Scan : public ::testing::Test {
protected:
    testutil::scratch_dir dir;
    int made = 0;

    bytes container(const bytes &payload, const std::string &label, const std::string &sub,
                    const std::vector<std::string> &extra = {})
    {
        return pack("secret", payload, label, sub, extra);
    }
    // A container under `key`, made by velkor pack.
    bytes pack(const std::string &key, const bytes &payload, const std::string &label, const std::string &sub = "",
               const std::vector<std::string> &extra = {})
    {
        const std::string in = dir / ("c" + std::to_string(made)), out = in + ".vc";
        made++;
        testutil::write_file(in, payload);
        std::vector<std::string> args{velkor, "pack", "-k", key, "-l", label, "-s", sub};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(in);
        args.push_back(out);
        auto r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return testutil::read_file(out);
    }

    // Python's verdict on a file; fails the test when Python is missing.
    std::vector<std::string> python_check(const char *script, const std::string &file)
    {
        if (python.empty()) {
            ADD_FAILURE() << "python3 was not found at configure time";
            return {};
        }
        auto r = run({python, "-c", script, file});
        EXPECT_EQ(r.status, 0) << r.err;
        return lines(r.out);
    }
    // json_check's lines for the finds, and those for the images'
    // summaries into *summaries.
    std::vector<std::string> json_finds(const std::string &out, std::vector<std::string> *summaries = nullptr)
    {
        testutil::write_file(dir / "json.out", testutil::to_bytes(out));
        std::vector<std::string> finds;
        for (std::string &l : python_check(json_check, dir / "json.out")) {
            if (l.rfind("summary ", 0) != 0)
                finds.push_back(std::move(l));
            else if (summaries != nullptr)
                summaries->push_back(std::move(l));
        }
        return finds;
    }
};

// Appends the image's parts in order and notes where each find lands.
struct image_builder {
    bytes img;
    std::vector<find> finds;
    uint32_t seed = 1;

    void junk(size_t n)
    {
        const bytes r = testutil::random_bytes(n, seed++);
        img.insert(img.end(), r.begin(), r.end());
    }
    // A tagged file made of `t`, whose payload is `payload`.
    find &add_tagged(const bytes &t, const bytes &payload, int64_t inside = -1)
    {
        finds.push_back({img.size(), t.size(), img.size() + 20, payload.size(), true, "", inside, payload, t, "", ""});
        img.insert(img.end(), t.begin(), t.end());
        return finds.back();
    }
    find &add_container(const bytes &c, const bytes &payload, const std::string &label, const std::string &sub,
                        int64_t inside = -1)
    {
        const uint64_t header = 21 + label.size() + sub.size();
        finds.push_back({img.size(), c.size(), img.size() + header, payload.size(), false, "", inside, payload, c,
                         label, sub});
        img.insert(img.end(), c.begin(), c.end());
        return finds.back();
    }
};

// The JSON line summary json_check prints, for the expected find.
std::string summary(const std::string &image, const find &f, bool key, bool wrong_key = false)
{
    std::string reason = f.reason;
    if (!f.tagged && reason.empty() && !key)
        reason = "no key";
    if (!f.tagged && reason.empty() && wrong_key)
        reason = "wrong key or damaged";
    const bool texts = !f.tagged && key && !wrong_key && f.reason.empty();
    return image + " " + std::to_string(f.offset) + (f.tagged ? " tagged " : " container ") +
           std::to_string(f.length) + " " + std::to_string(f.payload_offset) + " " +
           std::to_string(f.payload_length) + " " + (reason.empty() ? "verified" : reason) + " " +
           (f.inside < 0 ? "None" : std::to_string(f.inside)) + " " + (texts ? f.label : "None") + " " +
           (texts ? f.sublabel : "None") + (texts ? " key 1" : "");
}

// A tagged file and a container at the top, both kinds nested in a tagged
// file, a damaged tagged file, a false header that never becomes a
// candidate, and a header at the end that claims more than is left.
image_builder mixed_image(Scan &t, std::function<bytes(const bytes &)> tag,
                          std::function<bytes(const bytes &, const std::string &, const std::string &)> pack)
{
    (void)t;
    image_builder b;
    b.junk(1000);
    const bytes p1 = testutil::random_bytes(3000, 101);
    b.add_tagged(tag(p1), p1);
    b.junk(777);
    const bytes p2 = testutil::random_bytes(2000, 102);
    b.add_container(pack(p2, "fw", "v2"), p2, "fw", "v2");
    b.junk(500);

    // A tagged file holding junk, a tagged file, junk, a container, junk.
    const bytes inner_p = testutil::random_bytes(50, 103), box_p = testutil::random_bytes(64, 104);
    const bytes inner = tag(inner_p), box = pack(box_p, "inner", "");
    bytes outer_p = testutil::random_bytes(100, 105);
    const size_t inner_at = outer_p.size();
    outer_p.insert(outer_p.end(), inner.begin(), inner.end());
    bytes more = testutil::random_bytes(10, 106);
    outer_p.insert(outer_p.end(), more.begin(), more.end());
    const size_t box_at = outer_p.size();
    outer_p.insert(outer_p.end(), box.begin(), box.end());
    more = testutil::random_bytes(5, 107);
    outer_p.insert(outer_p.end(), more.begin(), more.end());
    const uint64_t outer_at = b.img.size();
    b.add_tagged(tag(outer_p), outer_p);
    b.finds.push_back({outer_at + 20 + inner_at, inner.size(), outer_at + 40 + inner_at, inner_p.size(), true, "",
                       static_cast<int64_t>(outer_at), inner_p, inner, "", ""});
    b.finds.push_back({outer_at + 20 + box_at, box.size(), outer_at + 20 + box_at + 26, box_p.size(), false, "",
                       static_cast<int64_t>(outer_at), box_p, box, "inner", ""});
    b.junk(300);

    const bytes p4 = testutil::random_bytes(400, 108);
    bytes damaged = tag(p4);
    damaged[200] ^= 0x40;
    b.add_tagged(damaged, p4).reason = "CRC mismatch";
    b.junk(200);

    // Magic, zeros and format byte, but a length below the header's.
    const uint8_t false_header[20] = {'b', 'g', 'n', 0, 0, 0, 0, 0, 0, 0, 0, 0xB1, 0, 0, 0, 10, 1, 2, 3, 4};
    b.img.insert(b.img.end(), false_header, false_header + 20);
    // And "start" with a label length of 0.
    const uint8_t false_box[24] = {'s', 't', 'a', 'r', 't', 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 'x'};
    b.img.insert(b.img.end(), false_box, false_box + 24);
    b.junk(100);

    bytes cut = tag(testutil::random_bytes(5000, 109));
    cut.resize(1000);
    b.add_tagged(cut, {}).reason = "truncated";
    b.finds.back().length = 5020;
    b.finds.back().payload_length = 5000;
    std::sort(b.finds.begin(), b.finds.end(), [](const find &x, const find &y) {
        return x.offset < y.offset;
    });
    return b;
}

class ScanMixed : public Scan {
protected:
    image_builder b;
    std::string img = dir / "fw.img";
    void SetUp() override
    {
        b = mixed_image(
            *this, [](const bytes &p) { return testutil::tagged(p); },
            [this](const bytes &p, const std::string &l, const std::string &s) { return container(p, l, s); });
        testutil::write_file(img, b.img);
    }
    std::vector<std::string> expected(const std::string &image, bool key, bool all, bool wrong_key = false)
    {
        std::vector<std::string> v;
        for (const find &f : b.finds) {
            const bool sound = f.reason.empty() && !(wrong_key && !f.tagged);
            if (sound || all)
                v.push_back(summary(image, f, key, wrong_key));
        }
        return v;
    }
};

// ---------------------------------------------------------------------------

TEST_F(ScanMixed, JsonWithAndWithoutKeyAndAll)
{
    struct {
        std::vector<std::string> opts;
        bool key, all, wrong;
        int status;
    } cases[] = {
        {{}, false, false, false, 0},
        {{"--all"}, false, true, false, 0},
        {{"-k", "secret"}, true, false, false, 0},
        {{"-k", "secret", "--all"}, true, true, false, 0},
        {{"-k", "wrong"}, true, false, true, 0},
        {{"-k", "wrong", "--all"}, true, true, true, 0},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args{velkor, "scan", "--json"};
        args.insert(args.end(), c.opts.begin(), c.opts.end());
        args.push_back(img);
        auto r = run(args);
        EXPECT_EQ(r.status, c.status) << r.err;
        std::vector<std::string> summaries;
        const auto want = expected(img, c.key, c.all, c.wrong);
        EXPECT_EQ(json_finds(r.out, &summaries), want) << r.out;
        // One summary ends the image; nothing was dropped, so standard
        // error says nothing, --all or not.
        const auto verified = std::count_if(want.begin(), want.end(), [](const std::string &l) {
            return l.find(" verified ") != std::string::npos;
        });
        EXPECT_EQ(summaries, std::vector<std::string>{"summary " + img + " " + std::to_string(b.img.size()) + " " +
                                                      std::to_string(want.size()) + " " + std::to_string(verified) +
                                                      " 0 1 complete"});
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(ScanMixed, Lines)
{
    auto r = run({velkor, "scan", "-k", "secret", "--all", img});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto got = lines(r.out);
    ASSERT_EQ(got.size(), b.finds.size()) << r.out;
    const find &box = b.finds[1], &nested_box = b.finds[4], &damaged = b.finds[5], &cut = b.finds[6];
    ASSERT_FALSE(box.tagged);
    EXPECT_EQ(got[1], img + ": " + std::to_string(box.offset) + " (" + hex8(box.offset) +
                          "): container, " + std::to_string(box.length) + " bytes, payload 2000 bytes: verified, "
                          "magic start, key 1, label fw, sublabel v2");
    // An empty sublabel still reads one way; nesting is named.
    EXPECT_EQ(got[4], img + ": " + std::to_string(nested_box.offset) + " (" + hex8(nested_box.offset) +
                          "): container, " + std::to_string(nested_box.length) +
                          " bytes, payload 64 bytes: verified, magic start, key 1, label inner, sublabel '', inside " +
                          hex8(b.finds[2].offset));
    EXPECT_EQ(got[5], img + ": " + std::to_string(damaged.offset) + " (" + hex8(damaged.offset) +
                          "): tagged, 420 bytes, payload 400 bytes: failed (CRC mismatch)");
    EXPECT_EQ(got[6], img + ": " + std::to_string(cut.offset) + " (" + hex8(cut.offset) +
                          "): tagged, 5020 bytes, payload 5000 bytes: failed (truncated)");

    r = run({velkor, "scan", img});
    EXPECT_EQ(lines(r.out)[1], img + ": " + std::to_string(box.offset) + " (" + hex8(box.offset) +
                                   "): container, " + std::to_string(box.length) +
                                   " bytes, payload 2000 bytes: not verified (no key), magic start");
}

// A pipe and - give the same finds as the file, named "-".
TEST_F(ScanMixed, PipeAndStandardInput)
{
    auto file = run({velkor, "scan", "-k", "secret", "--all", "--json", img});
    auto pipe = run({velkor, "scan", "-k", "secret", "--all", "--json", "-"}, {}, &b.img);
    EXPECT_EQ(pipe.status, 0) << pipe.err;
    EXPECT_EQ(json_finds(pipe.out), expected("-", true, true));
    std::string renamed = file.out;
    for (size_t at; (at = renamed.find("\"image\":\"" + img + "\"")) != std::string::npos;)
        renamed.replace(at, 10 + img.size(), "\"image\":\"-\"");
    EXPECT_EQ(pipe.out, renamed);
}

// Every verified find (and every container with no key to check it) is
// written out byte for byte, from a file and from a pipe alike: a payload
// as <base>-<offset>.payload, a container without its key whole, as .vc.
// Failed candidates never are, and finds inside a find already written
// (the outer tagged file holds two) only with --nested, but for a
// container opened with the key inside it, whose deciphered payload no
// other file holds.
TEST_F(ScanMixed, Extract)
{
    for (bool key : {true, false})
        for (bool from_pipe : {false, true})
            for (bool nested : {false, true}) {
                SCOPED_TRACE(std::string(key ? "key" : "no key") + (from_pipe ? ", pipe" : ", file") +
                             (nested ? ", nested" : ""));
                const std::string out = dir / (std::string("x") + (key ? "k" : "n") + (from_pipe ? "p" : "f") +
                                               (nested ? "n" : ""));
                std::vector<std::string> args{velkor, "scan", "--extract", out + "/sub"};
                if (key)
                    args.insert(args.end(), {"-k", "secret"});
                if (nested)
                    args.push_back("--nested");
                args.push_back(from_pipe ? "-" : img);
                ASSERT_EQ(mkdir(out.c_str(), 0777), 0);
                auto r = run(args, {}, from_pipe ? &b.img : nullptr);
                EXPECT_EQ(r.status, 0) << r.err;
                std::set<std::string> want;
                for (const find &f : b.finds) {
                    // A container's deciphered payload is in no other
                    // file: written wherever the container lies.
                    if (!f.reason.empty() || (!nested && f.inside >= 0 && !(key && !f.tagged)))
                        continue;
                    char name[64];
                    snprintf(name, sizeof name, "%s-%08" PRIx64 ".%s", from_pipe ? "stdin" : "fw.img", f.offset,
                             f.tagged || key ? "payload" : "vc");
                    want.insert(name);
                    const bytes got = testutil::read_file(out + "/sub/" + name);
                    EXPECT_TRUE(got == (f.tagged || key ? f.payload : f.raw)) << name << ": " << got.size();
                }
                const auto entries = testutil::entries_of(out + "/sub");
                EXPECT_EQ(std::set<std::string>(entries.begin(), entries.end()), want);
            }
}

// --carve writes each find whole, as it lies in the image: every .bgn
// passes `velkor check` and every .vc unpacks with the key to the payload
// packed.  With --all the others are carved too, under names that say
// what they are, the truncated one as far as the image holds it.
TEST_F(ScanMixed, CarveThenCheck)
{
    for (bool all : {false, true}) {
        SCOPED_TRACE(all ? "--all" : "sound finds");
        const std::string out = dir / (all ? "carve-all" : "carve");
        std::vector<std::string> args{velkor, "scan", "-k", "secret", "--carve", out, "--nested", img};
        if (all)
            args.insert(args.begin() + 2, "--all");
        auto r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        std::set<std::string> want;
        for (const find &f : b.finds) {
            if (!f.reason.empty() && !all)
                continue;
            char name[64];
            snprintf(name, sizeof name, "fw.img-%08" PRIx64 "%s%s", f.offset, f.reason.empty() ? "" : ".damaged",
                     f.tagged ? ".bgn" : ".vc");
            want.insert(name);
            const std::string path = out + "/" + name;
            const bytes got = testutil::read_file(path);
            const size_t held = std::min<size_t>(f.length, b.img.size() - f.offset);
            EXPECT_TRUE(got == bytes(b.img.begin() + static_cast<long>(f.offset),
                                     b.img.begin() + static_cast<long>(f.offset + held)))
                << name;
            if (!f.reason.empty()) {
                EXPECT_EQ(run({velkor, "check", "-q", path}).status, 1) << name;
            } else if (f.tagged) {
                auto c = run({velkor, "check", path});
                EXPECT_EQ(c.status, 0) << name << ": " << c.out;
            } else {
                auto u = run({velkor, "unpack", "-k", "secret", path, path + ".out"});
                EXPECT_EQ(u.status, 0) << name << ": " << u.err;
                EXPECT_TRUE(testutil::read_file(path + ".out") == f.payload) << name;
                unlink((path + ".out").c_str());
            }
        }
        const auto entries = testutil::entries_of(out);
        EXPECT_EQ(std::set<std::string>(entries.begin(), entries.end()), want);
    }

    // Under a key that opens none of them, the containers may still be
    // sound: carved as not opened, not as damaged.
    const std::string out = dir / "carve-wrong-key";
    auto wrong = run({velkor, "scan", "--all", "-k", "not the key", "--carve", out, "--nested", img});
    EXPECT_EQ(wrong.status, 0) << wrong.err;
    for (const find &f : b.finds) {
        if (f.tagged || !f.reason.empty())
            continue;
        char name[64];
        snprintf(name, sizeof name, "fw.img-%08" PRIx64 ".unopened.vc", f.offset);
        EXPECT_TRUE(testutil::exists(out + "/" + name)) << name;
    }
    // Without --nested, the two finds inside the outer tagged file are in
    // its carved file already.
    auto r = run({velkor, "scan", "-k", "secret", "--carve", dir / "flat", img});
    EXPECT_EQ(r.status, 0) << r.err;
    size_t sound = 0;
    for (const find &f : b.finds)
        sound += f.reason.empty() && f.inside < 0;
    EXPECT_EQ(testutil::entries_of(dir / "flat").size(), sound);
}

// A damaged find is carved with --all, but it holds nothing: the sound
// finds inside it are carved too, without --nested, where a sound find
// around them would have held them.
TEST_F(Scan, DamagedFindHidesNothingFromCarve)
{
    const bytes inner = testutil::tagged(testutil::to_bytes("inner payload"));
    bytes outer_payload = testutil::random_bytes(100, 90);
    outer_payload.insert(outer_payload.end(), inner.begin(), inner.end());
    outer_payload.insert(outer_payload.end(), 10, 0x5A);
    bytes outer = testutil::tagged(outer_payload);
    testutil::write_file(dir / "sound", outer);
    outer[outer.size() - 1] ^= 1; // after the inner file: only the outer CRC breaks
    testutil::write_file(dir / "damaged", outer);
    for (const char *name : {"sound", "damaged"}) {
        SCOPED_TRACE(name);
        const std::string out = dir / (std::string("carved-") + name);
        auto r = run({velkor, "scan", "--all", "--carve", out, dir / name});
        EXPECT_EQ(r.status, 0) << r.err;
        const auto names = testutil::entries_of(out);
        const std::string inner_name = std::string(name) + "-00000078.bgn";
        if (std::string(name) == "sound") {
            EXPECT_EQ(names, std::vector<std::string>{"sound-00000000.bgn"});
        } else {
            EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
                      (std::set<std::string>{"damaged-00000000.damaged.bgn", inner_name}));
            EXPECT_TRUE(testutil::read_file(out + "/" + inner_name) == inner);
        }
    }
}

#if !defined(_WIN32) // a POSIX shell
// Standard input that is a regular file the shell has already read into:
// offsets count from where reading begins, and extraction reads back from
// there too.
TEST_F(ScanMixed, StandardInputPartlyRead)
{
    ASSERT_EQ(b.finds[0].offset, 1000u);
    const std::string out = dir / "x";
    auto r = run({"/bin/sh", "-c", "{ dd bs=1000 count=1 of=/dev/null 2>/dev/null; exec \"$0\" scan --extract \"$1\" -; } < \"$2\"",
                  velkor, out, img});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines(r.out).at(0).rfind("-: 0 (0x00000000): tagged", 0), 0u) << r.out;
    EXPECT_TRUE(testutil::read_file(out + "/stdin-00000000.payload") == b.finds[0].payload);
    const auto sound = std::count_if(b.finds.begin(), b.finds.end(),
                                     [](const find &f) { return f.reason.empty() && f.inside < 0; });
    EXPECT_EQ(testutil::entries_of(out).size(), static_cast<size_t>(sound));
}
#endif

// The map: one band per image, one span per reported find where its offset
// lies, nested finds on rows below the find that holds them, and a name
// that XML would otherwise choke on.
TEST_F(ScanMixed, Map)
{
#if defined(_WIN32) // no <, > or " in Windows' names
    const std::string odd = dir / "a&b 'c'.img";
#else
    const std::string odd = dir / "a&b<\"c\">.img";
#endif
    testutil::write_file(odd, testutil::to_bytes("nothing to see"));
    const std::string svg = dir / "map.svg";
    auto r = run({velkor, "scan", "--all", "--json", "--map", svg, img, odd});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto got = python_check(svg_check, svg);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].rfind("image 0 " + std::to_string(b.img.size()) + " " + img + " ", 0), 0u) << got[0];
    std::map<uint64_t, double> row_y;
    size_t spans = 0;
    for (const std::string &l : got) {
        if (l.rfind("span 0 ", 0) != 0)
            continue;
        std::istringstream in(l.substr(7));
        uint64_t off, len;
        std::string state, ok;
        double y;
        in >> off >> len >> state >> ok >> y;
        EXPECT_EQ(ok, "ok") << l;
        const auto f = std::find_if(b.finds.begin(), b.finds.end(), [&](const find &x) { return x.offset == off; });
        ASSERT_NE(f, b.finds.end()) << l;
        EXPECT_EQ(len, f->length);
        EXPECT_EQ(state, !f->reason.empty() ? "damaged" : f->tagged ? "verified" : "nokey") << l;
        row_y[off] = y;
        if (f->inside >= 0) {
            EXPECT_GT(y, row_y.at(static_cast<uint64_t>(f->inside))) << l;
        }
        spans++;
    }
    EXPECT_EQ(spans, b.finds.size());
    EXPECT_EQ(got.back().rfind("image 1 14 " + odd + " ", 0), 0u) << got.back();
}

// ---------------------------------------------------------------------------

// Finds at offset 0 and ending on the image's last byte, across the
// command's 256 KiB reading pieces, in several images at once.
TEST_F(Scan, EdgesAndSeveralImages)
{
    const bytes p = testutil::random_bytes(70000, 7);
    const bytes t = testutil::tagged(p), c = container(p, "edge", "x");
    bytes first = t;                                 // tagged at 0 ...
    const bytes gap = testutil::random_bytes((size_t{1} << 18) - t.size() - 1000, 8);
    first.insert(first.end(), gap.begin(), gap.end());
    const uint64_t straddle = first.size();          // ... one across 256 KiB ...
    first.insert(first.end(), t.begin(), t.end());
    const uint64_t last = first.size();              // ... a container ending the image
    first.insert(first.end(), c.begin(), c.end());
    testutil::write_file(dir / "one", first);
    testutil::write_file(dir / "two", c);
    testutil::write_file(dir / "none", testutil::random_bytes(1000, 9));
    const std::string xdir = dir / "x";
    auto r = run({velkor, "scan", "-k", "secret", "--extract", xdir, dir / "one", dir / "none", dir / "two"});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto got = lines(r.out);
    ASSERT_EQ(got.size(), 4u) << r.out;
    EXPECT_EQ(got[0].rfind(dir / "one" + ": 0 (0x00000000): tagged", 0), 0u) << got[0];
    EXPECT_EQ(got[1].rfind(dir / "one" + ": " + std::to_string(straddle) + " ", 0), 0u) << got[1];
    EXPECT_EQ(got[2].rfind(dir / "one" + ": " + std::to_string(last) + " ", 0), 0u) << got[2];
    EXPECT_EQ(got[3].rfind(dir / "two" + ": 0 (0x00000000): container", 0), 0u) << got[3];
    EXPECT_TRUE(testutil::read_file(xdir + "/one-" + hex8(straddle).substr(2) + ".payload") == p);
    EXPECT_TRUE(testutil::read_file(xdir + "/one-" + hex8(last).substr(2) + ".payload") == p);
    EXPECT_TRUE(testutil::read_file(xdir + "/two-00000000.payload") == p);
}

// --data-sized reaches both the scan and the extraction; without it the
// same container does not decipher.
TEST_F(Scan, DataSized)
{
    const bytes p = testutil::random_bytes(3000, 11);
    bytes img = testutil::random_bytes(100, 12);
    const bytes c = container(p, "ds", "", {"--data-sized"});
    img.insert(img.end(), c.begin(), c.end());
    testutil::write_file(dir / "img", img);
    auto r = run({velkor, "scan", "-k", "secret", "--data-sized", "--extract", dir / "x", dir / "img"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(testutil::read_file(dir / "x/img-00000064.payload") == p);
    r = run({velkor, "scan", "-k", "secret", "--all", dir / "img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(": container, 3027 bytes, payload 3000 bytes: failed (wrong key or damaged), magic start\n"),
              std::string::npos)
        << r.out;
}

// 0 only when something verified; a missing image is reported and the
// others are still scanned; a bad command line is 2 and writes nothing.
TEST_F(Scan, ExitStatus)
{
    const bytes box = container(testutil::to_bytes("payload"), "l", "s");
    testutil::write_file(dir / "box", box);
    testutil::write_file(dir / "junk", testutil::random_bytes(5000, 3));
    testutil::write_file(dir / "t", testutil::tagged(testutil::to_bytes("payload")));

    auto r = run({velkor, "scan", dir / "junk"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    r = run({velkor, "scan", dir / "box"}); // reported, but not verified
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("not verified (no key)"), std::string::npos);
    r = run({velkor, "scan", "-k", "secret", dir / "box"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = run({velkor, "scan", dir / "missing", dir / "t"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velkor: " + dir / "missing" + ": " + testutil::sys_msg(ENOENT) + "\n");
    EXPECT_EQ(r.out.rfind(dir / "t" + ": 0 (0x00000000): tagged", 0), 0u) << r.out;
    r = run({velkor, "scan", dir.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velkor: " + dir.path() + ": " + testutil::sys_msg(EISDIR) + "\n");

    struct {
        std::vector<std::string> args;
        std::string message;
    } bad[] = {
        {{"scan"}, "missing operand"},
        {{"scan", "--frob", "x"}, "unknown option '--frob'"},
        {{"scan", "--map", "-", "x"}, "the map cannot go to standard output, which has the finds"},
        {{"scan", "--extract", dir / "e", dir / "t", dir.path() + "/./t"},
         "two images are named 't': --extract would mix their finds"},
        {{"scan", "-k", "", "x"}, "the key is empty"},
        {{"scan", "-k", "a", "-k", "", "x"}, "the key is empty"},
        {{"check", "--all", "x"}, "option '--all' does not apply to check"},
        {{"info", "-k", "k", "--map", "m.svg", "x"}, "option '--map' does not apply to info"},
        {{"scan", "--max-output", "12Q", "x"}, "--max-output '12Q' is not a size (bytes, or a number with K, M, G or T)"},
        {{"scan", "--max-output", "99999999999999999999", "x"},
         "--max-output '99999999999999999999' is not a size (bytes, or a number with K, M, G or T)"},
        {{"scan", "--max-output", "", "x"}, "--max-output '' is not a size (bytes, or a number with K, M, G or T)"},
        {{"scan", "--carve", dir / "e", dir / "t", dir.path() + "/./t"},
         "two images are named 't': --carve would mix their finds"},
    };
    for (const auto &c : bad) {
        std::vector<std::string> args{velkor};
        args.insert(args.end(), c.args.begin(), c.args.end());
        r = run(args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("velkor: " + c.message + "\n", 0), 0u) << r.err;
    }
    EXPECT_FALSE(testutil::exists(dir / "e"));
}

// The flood: a sound tagged file, 250,000 forged headers each claiming
// about 4 GiB, a second sound tagged file.  From a file the forged ones are
// resolved as truncated at once, both sound files are found and the scan
// is complete; from a pipe they fill the memory limit, the second file is
// lost, and the scan says it is incomplete, with status 3.
TEST_F(Scan, FloodOfForgedHeaders)
{
    const bytes first = testutil::tagged(testutil::random_bytes(1000, 40)), second = testutil::tagged(testutil::random_bytes(900, 41));
    bytes img = first;
    const bytes fake = testutil::forged_headers(250000, 0xFFFFFFF0);
    img.insert(img.end(), fake.begin(), fake.end());
    const uint64_t second_at = img.size();
    img.insert(img.end(), second.begin(), second.end());
    const std::string path = dir / "hide.img";
    testutil::write_file(path, img);

    auto r = run({velkor, "scan", "--json", path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> summaries;
    const auto finds = json_finds(r.out, &summaries);
    ASSERT_EQ(finds.size(), 2u) << r.out;
    EXPECT_EQ(finds[0].rfind(path + " 0 tagged ", 0), 0u) << finds[0];
    EXPECT_EQ(finds[1].rfind(path + " " + std::to_string(second_at) + " tagged ", 0), 0u) << finds[1];
    EXPECT_EQ(summaries,
              std::vector<std::string>{"summary " + path + " " + std::to_string(img.size()) + " 2 2 0 1 complete"});

    r = run({velkor, "scan", "--json", "-"}, {}, &img);
    EXPECT_EQ(r.status, 3) << r.err;
    summaries.clear();
    EXPECT_EQ(json_finds(r.out, &summaries).size(), 1u) << r.out;
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].rfind("summary - " + std::to_string(img.size()) + " 1 1 ", 0), 0u) << summaries[0];
    EXPECT_EQ(summaries[0].substr(summaries[0].size() - 21), " 1 incomplete:dropped") << summaries[0];
    EXPECT_NE(r.err.find(" candidates dropped at the memory limit; the scan is incomplete (the image cannot be "
                         "read again)\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.rfind("velkor: -: ", 0), 0u) << r.err;
}

// Headers back to back, each claiming the rest of them, then a sound file:
// more candidates than the memory limit holds.  A file is read again in
// further passes until nothing is dropped, and the scan is complete; a
// pipe cannot be, and says so with status 3, which goes before the 0 that
// the sound file found after them would give.
TEST_F(Scan, MorePassesUntilNothingIsDropped)
{
    bytes img = testutil::forged_headers(500000);
    const bytes t = testutil::tagged(testutil::to_bytes("found at last"));
    img.insert(img.end(), t.begin(), t.end());
    const std::string path = dir / "adv";
    testutil::write_file(path, img);
    auto r = run({velkor, "scan", "--json", path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> summaries;
    const auto finds = json_finds(r.out, &summaries);
    ASSERT_EQ(finds.size(), 1u);
    EXPECT_EQ(finds[0].rfind(path + " " + std::to_string(img.size() - t.size()) + " tagged ", 0), 0u) << finds[0];
    ASSERT_EQ(summaries.size(), 1u);
    std::istringstream words(summaries[0]);
    std::string word, image, state;
    uint64_t size, found, verified, dropped, passes;
    words >> word >> image >> size >> found >> verified >> dropped >> passes >> state;
    EXPECT_EQ(size, img.size());
    EXPECT_EQ(dropped, 0u);
    EXPECT_GT(passes, 1u);
    EXPECT_EQ(state, "complete");

    r = run({velkor, "scan", "-"}, {}, &img);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(lines(r.out).size(), 1u) << r.out;
    EXPECT_NE(r.err.find("; the scan is incomplete"), std::string::npos) << r.err;
}

// What --extract and --carve may write is bounded: finds inside a find
// written are not written again by default; with --nested they are, up to
// a budget (--max-output, else twice the image's size and 1 MiB) in which
// each file counts at least 4 KiB.  At the budget writing stops, the scan
// and its report go on, and the status is 3.
TEST_F(Scan, WritingCannotBeAmplified)
{
    // 80 tagged files, each inside the next, 1000 bytes apart: 3.2 MB of
    // payloads nested in 80 KB.
    bytes nest = testutil::tagged(testutil::random_bytes(1000, 50));
    for (int k = 1; k < 80; k++) {
        bytes p = testutil::random_bytes(980, 50 + static_cast<uint32_t>(k));
        p.insert(p.end(), nest.begin(), nest.end());
        nest = testutil::tagged(p);
    }
    testutil::write_file(dir / "nest", nest);
    // 200 keyless container headers 5,000 bytes apart, each claiming 1 MB:
    // overlapping, none inside another.
    bytes boxes = testutil::random_bytes(2200000, 51);
    for (size_t k = 0; k < 200; k++) {
        uint8_t *h = boxes.data() + 5000 * k;
        const uint8_t head[] = {'s', 't', 'a', 'r', 't', 0, 0, 0, 0, 0, 2, 'x', 'y', 0, 0, 0, 1, 'z', 0, 0x0F, 0x42, 0x40};
        memcpy(h, head, sizeof head); // D = 1,000,000
    }
    testutil::write_file(dir / "boxes", boxes);
    // 2 MB of empty tagged files.
    const bytes empty = testutil::tagged({});
    bytes empties;
    for (int k = 0; k < 100000; k++)
        empties.insert(empties.end(), empty.begin(), empty.end());
    testutil::write_file(dir / "empties", empties);

    // What a directory's files count against the budget.
    const auto charged = [](const std::string &d, size_t *files) {
        uint64_t sum = 0;
        const auto names = testutil::entries_of(d);
        for (const std::string &n : names)
            sum += std::max<uint64_t>(testutil::read_file(d + "/" + n).size(), 4096);
        *files = names.size();
        return sum;
    };
    const uint64_t mib = 1 << 20;
    struct {
        const char *name;
        std::vector<std::string> args;
        int status;
        uint64_t budget;
        size_t files; // exactly, or 0: whatever fits
    } cases[] = {
        {"nest", {"--extract"}, 0, 2 * nest.size() + mib, 1},
        {"nest", {"--carve"}, 0, 2 * nest.size() + mib, 1},
        {"nest", {"--nested", "--extract"}, 3, 2 * nest.size() + mib, 0},
        {"nest", {"--nested", "--max-output", "100K", "--carve"}, 3, 100 << 10, 0},
        {"boxes", {"--extract"}, 3, 2 * boxes.size() + mib, 5},
        {"empties", {"--max-output", "40K", "--extract"}, 3, 40 << 10, 10},
        {"empties", {"--max-output", "64KiB", "--carve"}, 3, 64 << 10, 16},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string out = dir / ("out" + std::to_string(n++));
        std::vector<std::string> args{velkor, "scan"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(out);
        args.push_back(dir / c.name);
        SCOPED_TRACE(std::string(c.name) + " " + c.args[0] + " " + c.args.back());
        auto r = run(args);
        EXPECT_EQ(r.status, c.status) << r.err;
        size_t files = 0;
        EXPECT_LE(charged(out, &files), c.budget);
        if (c.files != 0) {
            EXPECT_EQ(files, c.files);
        }
        if (c.status == 3) {
            EXPECT_NE(r.err.find(": writing stopped at the output budget of " + std::to_string(c.budget) + " bytes"),
                      std::string::npos)
                << r.err;
        } else {
            EXPECT_EQ(r.err, "");
        }
        // The scan and its report go on past the budget.
        if (std::string(c.name) == "nest") {
            EXPECT_EQ(lines(r.out).size(), 80u);
        }
    }
}

// A pipe's bytes are kept for writing finds out only while a find may need
// them, in memory and a nameless file: finds that span several of the
// command's pieces, that overlap (so the kept bytes are moved up in the
// file) and nest, are written as from the file.
TEST_F(Scan, PipedFindsWrittenAsFromTheFile)
{
    // b = [600K random]; a = [400K random | b's first 600K]: overlapping.
    const bytes b_pay = testutil::random_bytes(1000000, 60);
    const bytes b_file = testutil::tagged(b_pay);
    bytes a_pay = testutil::random_bytes(400000, 61);
    a_pay.insert(a_pay.end(), b_file.begin(), b_file.begin() + 600000);
    const bytes a_file = testutil::tagged(a_pay);
    bytes img = testutil::random_bytes(70000, 62);
    img.insert(img.end(), a_file.begin(), a_file.end());
    img.insert(img.end(), b_file.begin() + 600000, b_file.end());
    const bytes c = container(testutil::random_bytes(300000, 63), "box", "x");
    bytes outer_p = testutil::random_bytes(5000, 64);
    outer_p.insert(outer_p.end(), c.begin(), c.end());
    const bytes outer = testutil::tagged(outer_p);
    img.insert(img.end(), outer.begin(), outer.end());
    const bytes tail = testutil::random_bytes(100000, 65);
    img.insert(img.end(), tail.begin(), tail.end());
    testutil::write_file(dir / "img", img);

    for (const char *key : {"secret", ""}) {
        std::vector<std::string> from_file{velkor, "scan", "--nested", "--max-output", "64M",
                                           "--extract", dir / "xf", "--carve", dir / "cf"};
        std::vector<std::string> from_pipe{velkor, "scan", "--nested", "--max-output", "64M",
                                           "--extract", dir / "xp", "--carve", dir / "cp"};
        if (*key != '\0') {
            for (auto *v : {&from_file, &from_pipe})
                v->insert(v->begin() + 2, {"-k", key});
        }
        from_file.push_back(dir / "img");
        from_pipe.push_back("-");
        auto rf = run(from_file), rp = run(from_pipe, {}, &img);
        EXPECT_EQ(rf.status, 0) << rf.err;
        EXPECT_EQ(rp.status, 0) << rp.err;
        for (const char *kind : {"x", "c"}) {
            const auto names = testutil::entries_of(dir / (std::string(kind) + "f"));
            EXPECT_EQ(names.size(), 4u);
            for (const std::string &name : names) {
                const std::string piped = "stdin" + name.substr(3);
                EXPECT_TRUE(testutil::read_file(dir / (std::string(kind) + "f/" + name)) ==
                            testutil::read_file(dir / (std::string(kind) + "p/" + piped)))
                    << name;
            }
        }
        EXPECT_TRUE(testutil::read_file(dir / ("xp/stdin-" + hex8(70000).substr(2) + ".payload")) == a_pay);
        for (const char *d : {"xf", "cf", "xp", "cp"})
            testutil::run({"/bin/rm", "-r", dir / d});
    }
}

#if !defined(_WIN32) // a private mount, a preloaded shim
// `yes | velkor scan --extract d -` finds nothing, so it keeps no bytes:
// with TMPDIR on a 16 MiB file system it ends as any scan without finds
// does and leaves the file system empty.  Needs root, for a private mount.
TEST_F(Scan, PipeWithoutFindsUsesNoDisk)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a private 16 MiB tmpfs needs root";
    const std::string mnt = dir / "tmp";
    ASSERT_EQ(mkdir(mnt.c_str(), 0700), 0);
    const char script[] =
        "mount -t tmpfs -o size=16m velkor-test \"$1\" || exit 99\n"
        "yes | head -c 200000000 | TMPDIR=\"$1\" \"$2\" scan --extract \"$3\" -\n"
        "status=$?\n"
        "echo \"status $status, used $(df -Pk \"$1\" | awk 'NR == 2 { print $3 }') KiB\" >&2\n"
        "umount \"$1\"\n";
    const std::string unshare = "/usr/bin/unshare";
    if (access(unshare.c_str(), X_OK) != 0)
        GTEST_SKIP() << unshare << " is not installed";
    auto r = run({unshare, "-m", "--propagation", "private", "/bin/sh", "-c", script, "sh", mnt, velkor, dir / "d"});
    if (r.status == 99 || (r.status != 0 && r.err.find("unshare") != std::string::npos))
        GTEST_SKIP() << "cannot mount a private tmpfs here: " << r.err;
    EXPECT_EQ(r.out, "") << r.status;
    EXPECT_EQ(r.err, "status 1, used 0 KiB\n") << r.status;
    EXPECT_TRUE(testutil::entries_of(dir / "d").empty());
}

// An image that fails or changes under the scan: what was found before
// stands, and the scan says it is incomplete (status 3, which goes before
// the 0 of the verified find), on standard error and in its summary.  A
// shim preloaded into velkor makes the image's second read fail, cuts the
// file short after its first read, or changes the bytes read back for
// writing (that file alone is not written, and the next image is still
// scanned and written).
TEST_F(Scan, ImageThatFailsOrChanges)
{
#if defined(VELKOR_CROSS)
    GTEST_SKIP() << "the shim would be preloaded into the emulator, not into velkor";
#endif
    const bytes t = testutil::tagged(testutil::random_bytes(3000, 70));
    bytes img = t;
    const bytes rest = testutil::random_bytes(600000, 71); // past the first 256 KiB piece
    img.insert(img.end(), rest.begin(), rest.end());
    const uint64_t last_at = img.size();
    img.insert(img.end(), t.begin(), t.end()); // lost when the file is cut short
    const std::string path = dir / "img", other = dir / "other";
    testutil::write_file(other, t);
    const auto shim = [&](const char *what, const char *value) {
        return [=] {
            const char *old = getenv("LD_PRELOAD");
            const std::string preload = old != nullptr && *old != '\0' ? std::string(old) + ":" + SHIM_PATH : SHIM_PATH;
            setenv("LD_PRELOAD", preload.c_str(), 1);
            setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
            setenv("VELKOR_SHIM_FILE", path.c_str(), 1);
            setenv(what, value, 1);
        };
    };
    const std::string first = path + ": 0 (0x00000000): tagged, 3020 bytes, payload 3000 bytes: verified\n";
    const std::string size = std::to_string(img.size());
    struct {
        const char *what, *var, *value;
        std::string err, summary;
    } cases[] = {
        {"read error", "VELKOR_SHIM_FAIL", "2", "velkor: " + path + ": " + testutil::sys_msg(EIO) + "\n",
         "summary " + path + " " + size + " 1 1 0 1 incomplete:read_error"},
        {"cut short", "VELKOR_SHIM_SHRINK", "400000",
         "velkor: " + path + ": ended after 400000 of its " + size + " bytes; the scan is incomplete\n",
         "summary " + path + " 400000 1 1 0 1 incomplete:read_error"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        testutil::write_file(path, img);
        auto r = run({velkor, "scan", path}, shim(c.var, c.value));
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.out, first);
        EXPECT_EQ(r.err, c.err);
        testutil::write_file(path, img);
        r = run({velkor, "scan", "--json", path}, shim(c.var, c.value));
        EXPECT_EQ(r.status, 3);
        std::vector<std::string> summaries;
        EXPECT_EQ(json_finds(r.out, &summaries).size(), 1u) << r.out;
        EXPECT_EQ(summaries, std::vector<std::string>{c.summary});
    }
    // Unshimmed, the find at the end is there.
    testutil::write_file(path, img);
    auto r = run({velkor, "scan", path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, first + path + ": " + std::to_string(last_at) + " (" + hex8(last_at) +
                         "): tagged, 3020 bytes, payload 3000 bytes: verified\n");

    for (const char *opt : {"--extract", "--carve"}) {
        SCOPED_TRACE(opt);
        const std::string out = dir / (std::string("out") + opt);
        r = run({velkor, "scan", "--json", opt, out, path, other}, shim("VELKOR_SHIM_FLIP", "1"));
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.err, "velkor: " + path + ": the tagged file at 0x00000000 changed before it could be written out\n"
                             "velkor: " + path + ": the tagged file at " + hex8(last_at) +
                             " changed before it could be written out\n");
        std::vector<std::string> summaries;
        json_finds(r.out, &summaries);
        EXPECT_EQ(summaries, (std::vector<std::string>{"summary " + path + " " + size + " 2 2 0 1 incomplete:failed_output",
                                                       "summary " + other + " 3020 1 1 0 1 complete"}));
        EXPECT_EQ(testutil::entries_of(out),
                  std::vector<std::string>{std::string("other-00000000") + (opt[2] == 'e' ? ".payload" : ".bgn")});
    }
}

#endif

#if !defined(_WIN32) // names that are not UTF-8, which Windows cannot keep
// JSON lines stay lines for any reader, and names stay apart: U+2028 and
// U+2029 in a label are escaped, so Python's splitlines() (which ends a
// line there) gives one record per line; two names that differ only in
// bytes that are not UTF-8, which both read as U+FFFD, carry their exact
// bytes too, in scan's and check's JSON alike.
TEST_F(Scan, JsonRecordsStayOneLineAndNamesStayApart)
{
    const bytes c = container(testutil::to_bytes("p"), "a\xe2\x80\xa8" "b", "\xe2\x80\xa9");
    const bytes t = testutil::tagged(testutil::to_bytes("payload"));
    const std::string ff = dir / "x\xff", fe = dir / "x\xfe", sep = dir / "l\xe2\x80\xa8";
    testutil::write_file(ff, t);
    testutil::write_file(fe, t);
    testutil::write_file(sep, c);
    auto r = run({velkor, "scan", "--json", "-k", "secret", sep, ff, fe});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"label\":\"a\\u2028b\",\"label_hex\":\"61e280a862\",\"sublabel\":\"\\u2029\""),
              std::string::npos)
        << r.out;
    const char lines_check[] = R"(
import json, sys
text = open(sys.argv[1], encoding="utf-8").read()
assert text.splitlines() == text.split("\n")[:-1], text
for line in text.splitlines():
    json.loads(line)
print(len(text.splitlines()))
)";
    testutil::write_file(dir / "lines", testutil::to_bytes(r.out));
    EXPECT_EQ(python_check(lines_check, dir / "lines"), std::vector<std::string>{"6"});
    std::vector<std::string> summaries;
    const auto finds = json_finds(r.out, &summaries);
    const std::string hex_ff = "bytes:" + hex_of(ff),
                      hex_fe = "bytes:" + hex_of(fe);
    ASSERT_EQ(finds.size(), 3u);
    EXPECT_EQ(finds[1].rfind(hex_ff + " 0 tagged ", 0), 0u) << finds[1];
    EXPECT_EQ(finds[2].rfind(hex_fe + " 0 tagged ", 0), 0u) << finds[2];
    EXPECT_EQ(summaries, (std::vector<std::string>{"summary " + sep + " " + std::to_string(c.size()) + " 1 1 0 1 complete",
                                                   "summary " + hex_ff + " 27 1 1 0 1 complete",
                                                   "summary " + hex_fe + " 27 1 1 0 1 complete"}));

    r = run({velkor, "check", "--json", ff, sep});
    const auto got = lines(r.out);
    ASSERT_EQ(got.size(), 2u) << r.out;
    EXPECT_EQ(got[0].rfind("{\"name\":\"" + dir.path() + "/x\xef\xbf\xbd\",\"name_bytes\":\"" +
                               hex_of(ff) + "\",\"ok\":true,",
                           0),
              0u)
        << got[0];
    EXPECT_EQ(got[1].rfind("{\"name\":\"" + dir.path() + "/l\\u2028\",\"ok\":false,", 0), 0u) << got[1];
}
#endif

// What --extract and --carve could not write is reported for that file and
// the scan goes on: a directory planted where one image's payload goes
// (anyone can do that in a shared directory) costs that file, not the
// batch; every image gets its summary, which names what stopped it, and
// the status is 3; what was not written is not charged against the
// budget.  --extract and --carve into one directory write a container
// without its key once, and charge it once.
TEST_F(Scan, OutputsNotWrittenAreReportedAndTheScanGoesOn)
{
    const bytes t = testutil::tagged(testutil::to_bytes("payload")), c = container(testutil::to_bytes("boxed"), "l", "s");
    bytes a = testutil::random_bytes(100, 80);
    for (int k = 0; k < 3; k++)
        a.insert(a.end(), t.begin(), t.end());
    const std::string img_a = dir / "img_a", img_b = dir / "img_b", img_c = dir / "img_c";
    testutil::write_file(img_a, a);
    testutil::write_file(img_b, t);
    bytes boxes = t;
    boxes.insert(boxes.end(), c.begin(), c.end());
    testutil::write_file(img_c, boxes);

    const std::string ws = dir / "ws";
    ASSERT_EQ(mkdir(ws.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((ws + "/img_a-00000064.payload").c_str(), 0777), 0);
    // 8 KiB holds the two payloads written, not the refused one as well.
    auto r = run({velkor, "scan", "--json", "--max-output", "8K", "--extract", ws, img_a, img_b});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "velkor: " + ws + "/img_a-00000064.payload: " + testutil::sys_msg(EISDIR) + "\n");
    std::vector<std::string> summaries;
    EXPECT_EQ(json_finds(r.out, &summaries).size(), 4u);
    EXPECT_EQ(summaries, (std::vector<std::string>{"summary " + img_a + " 181 3 3 0 1 incomplete:refused_output",
                                                   "summary " + img_b + " 27 1 1 0 1 complete"}));
    EXPECT_EQ(str(testutil::read_file(ws + "/img_a-0000007f.payload")), "payload");
    EXPECT_EQ(str(testutil::read_file(ws + "/img_a-0000009a.payload")), "payload");
    EXPECT_EQ(str(testutil::read_file(ws + "/img_b-00000000.payload")), "payload");

    // The budget, per image: each file counts 4 KiB, so 8 KiB holds the
    // two of img_c and two of img_a's three.
    r = run({velkor, "scan", "--json", "--max-output", "8K", "--carve", dir / "b", img_c, img_a});
    EXPECT_EQ(r.status, 3);
    summaries.clear();
    json_finds(r.out, &summaries);
    EXPECT_EQ(summaries, (std::vector<std::string>{"summary " + img_c + " " + std::to_string(boxes.size()) +
                                                       " 2 1 0 1 complete",
                                                   "summary " + img_a + " 181 3 3 0 1 incomplete:budget"}));
    EXPECT_EQ(r.err, "velkor: " + img_a + ": writing stopped at the output budget of 8192 bytes (2 files written); the "
                                          "scan goes on\n");

    // One directory for both: the container without its key is one file,
    // charged once, so three files fit in 12 KiB.
    r = run({velkor, "scan", "--json", "--max-output", "12K", "--extract", dir / "one", "--carve", dir / "one", img_c});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto names = testutil::entries_of(dir / "one");
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
              (std::set<std::string>{"img_c-00000000.payload", "img_c-00000000.bgn", "img_c-0000001b.vc"}));
    EXPECT_TRUE(testutil::read_file(dir / "one/img_c-0000001b.vc") == c);
    // Refused there, it is refused once.
    ASSERT_EQ(mkdir((dir / "two").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((dir / "two/img_c-0000001b.vc").c_str(), 0777), 0);
    r = run({velkor, "scan", "--extract", dir / "two", "--carve", dir / "two", img_c});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "velkor: " + dir / "two/img_c-0000001b.vc: " + testutil::sys_msg(EISDIR) + "\n");
}

#if !defined(_WIN32) // a POSIX shell, /dev/stdout, /dev/stdin
// Names that lead to standard output's file are standard output for
// --map, refused as "-" is; a key file that is the image piped in too.
TEST_F(Scan, MapOrKeyFileThatIsAnotherStream)
{
    testutil::write_file(dir / "t", testutil::tagged(testutil::to_bytes("payload")));
    ASSERT_EQ(symlink("out", (dir / "link").c_str()), 0);
    for (const std::string &map : {std::string("/dev/stdout"), std::string("/proc/self/fd/1"), dir / "out",
                                   dir / "link"}) {
        auto r = run({"/bin/sh", "-c", "exec \"$0\" scan --map \"$1\" \"$2\" > \"$3\"", velkor, map, dir / "t",
                      dir / "out"});
        EXPECT_EQ(r.status, 2) << map;
        EXPECT_EQ(r.err.rfind("velkor: the map cannot go to standard output, which has the finds\n", 0), 0u)
            << map << ": " << r.err;
        EXPECT_TRUE(testutil::read_file(dir / "out").empty()) << map;
    }
    // Through a pipe too.
    auto r = run({"/bin/sh", "-c", "exec \"$0\" scan --map /dev/stdout \"$1\" | cat", velkor, dir / "t"});
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("the map cannot go to standard output"), std::string::npos) << r.err;

    r = run({"/bin/sh", "-c", "exec \"$0\" scan -K /dev/stdin - < \"$1\"", velkor, dir / "t"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("velkor: /dev/stdin: the key file is the input file\n", 0), 0u) << r.err;
}
#endif

// The extraction directory is made when missing, used when it exists (also
// through a link of one's own, as an output name would be), and refused
// when it is something else.
TEST_F(Scan, ExtractDirectory)
{
    testutil::write_file(dir / "t", testutil::tagged(testutil::to_bytes("payload")));
    ASSERT_EQ(mkdir((dir / "real").c_str(), 0777), 0);
#if defined(_WIN32) // wine makes no links: the directory itself
    const std::string link = dir / "real";
#else
    const std::string link = dir / "link";
    ASSERT_EQ(symlink("real", link.c_str()), 0);
#endif
    for (const std::string &where : {dir / "new", dir / "new", link}) {
        auto r = run({velkor, "scan", "--extract", where, dir / "t"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(str(testutil::read_file(where + "/t-00000000.payload")), "payload");
    }
    EXPECT_EQ(testutil::entries_of(dir / "real"), std::vector<std::string>{"t-00000000.payload"});
    auto r = run({velkor, "scan", "--extract", dir / "t", dir / "t"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velkor: " + dir / "t" + ": " + testutil::sys_msg(ENOTDIR) + "\n");
}

// ---------------------------------------------------------------------------
// Several keys, payloads, limits, CSV.

// Images of containers under several keys.
class ScanKeys : public Scan {
protected:
    static bytes cat(std::initializer_list<bytes> parts)
    {
        bytes o;
        for (const bytes &p : parts)
            o.insert(o.end(), p.begin(), p.end());
        return o;
    }
    static bool holds(const std::string &text, const std::string &what)
    {
        return text.find(what) != std::string::npos;
    }
};

// Two containers under two keys in one image: the first holds a tagged
// file, the second a container under the first key that holds another.
// Each is opened by its key, named by its number in the order given (by
// repeated -k or a --keys file alike), and each payload's finds follow
// their container with payload_of and offsets from that payload's start.
// No output, file name or map holds a key's text.
TEST_F(ScanKeys, TwoKeysAndThePayloadsTheyOpen)
{
    const bytes t_pay = testutil::random_bytes(300, 1), inner_pay = testutil::random_bytes(200, 2);
    const bytes t = testutil::tagged(t_pay), t2 = testutil::tagged(inner_pay);
    const bytes a_pay = cat({testutil::random_bytes(64, 3), t, testutil::random_bytes(9, 4)});
    const bytes a = pack("alpha-key", a_pay, "boot", "v1");
    const bytes c = pack("alpha-key", cat({testutil::random_bytes(5, 5), t2}), "deep");
    const bytes b_pay = cat({testutil::random_bytes(100, 6), c});
    const bytes b = pack("beta-key", b_pay, "app", "v2");
    const bytes img = cat({testutil::random_bytes(4096, 7), a, testutil::random_bytes(50, 8), b});
    const uint64_t a_at = 4096, b_at = a_at + a.size() + 50;
    const std::string image = dir / "dump.img";
    testutil::write_file(image, img);
    testutil::write_file(dir / "keys", testutil::to_bytes("\r\nbeta-key\r\n\nalpha-key"));

    // (offset, kind, payload_of, key) in order: depth first.
    const auto want = [&](int alpha, int beta) {
        return std::vector<std::string>{
            image + " " + std::to_string(a_at) + " container " + std::to_string(a.size()) + " " +
                std::to_string(a_at + enc_compute_header_len("boot", "v1")) + " " + std::to_string(a_pay.size()) + " verified None boot v1 key " +
                std::to_string(alpha),
            image + " 64 tagged 320 84 300 verified None None None payload_of " + std::to_string(a_at),
            image + " " + std::to_string(b_at) + " container " + std::to_string(b.size()) + " " +
                std::to_string(b_at + enc_compute_header_len("app", "v2")) + " " + std::to_string(b_pay.size()) + " verified None app v2 key " +
                std::to_string(beta),
            image + " 100 container " + std::to_string(c.size()) + " " + std::to_string(100 + enc_compute_header_len("deep", "")) + " " + std::to_string(5 + t2.size()) +
                " verified None deep  payload_of " + std::to_string(b_at) + " key " + std::to_string(alpha),
            image + " 5 tagged 220 25 200 verified None None None payload_of 100",
        };
    };
    struct {
        std::vector<std::string> keys;
        int alpha, beta;
    } cases[] = {
        {{"-k", "alpha-key", "-k", "beta-key"}, 1, 2},
        {{"--keys", dir / "keys"}, 2, 1},
        {{"-k", "nothing", "--keys", dir / "keys"}, 3, 2},
    };
    for (const auto &c_ : cases) {
        SCOPED_TRACE(c_.keys[1]);
        std::vector<std::string> args{velkor, "scan", "--json"};
        args.insert(args.end(), c_.keys.begin(), c_.keys.end());
        args.push_back(image);
        auto r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(json_finds(r.out), want(c_.alpha, c_.beta)) << r.out;
    }

    // Text lines name the key and the payload; --no-payloads leaves the
    // payloads alone.
    auto r = run({velkor, "scan", "-k", "alpha-key", "-k", "beta-key", image});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto got = lines(r.out);
    ASSERT_EQ(got.size(), 5u) << r.out;
    EXPECT_EQ(got[1], image + ": payload of " + hex8(a_at) + ": 64 (0x00000040): tagged, 320 bytes, payload 300 bytes: verified");
    EXPECT_TRUE(holds(got[2], "verified, magic start, key 2, label app, sublabel v2")) << got[2];
    r = run({velkor, "scan", "--no-payloads", "-k", "alpha-key", "-k", "beta-key", image});
    EXPECT_EQ(lines(r.out).size(), 2u) << r.out;

    // Everything written: names say where each find came from; the key
    // texts are nowhere, in what is shown or written.
    r = run({velkor, "scan", "-k", "alpha-key", "-k", "beta-key", "--all", "--extract", dir / "x", "--nested",
             "--carve", dir / "c", "--map", dir / "m.svg", image});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto x = testutil::entries_of(dir / "x");
    const std::string base = "dump.img-";
    EXPECT_EQ(x, (std::vector<std::string>{base + hex8(a_at).substr(2) + "-00000040.payload",
                                           base + hex8(a_at).substr(2) + ".payload",
                                           base + hex8(b_at).substr(2) + "-00000064-00000005.payload",
                                           base + hex8(b_at).substr(2) + "-00000064.payload",
                                           base + hex8(b_at).substr(2) + ".payload"}));
    EXPECT_EQ(testutil::read_file(dir / "x/" + (base + hex8(a_at).substr(2) + "-00000040.payload")), t_pay);
    EXPECT_EQ(testutil::read_file(dir / "x/" + (base + hex8(b_at).substr(2) + "-00000064-00000005.payload")),
              inner_pay);
    EXPECT_EQ(testutil::read_file(dir / "c/" + (base + hex8(b_at).substr(2) + "-00000064.vc")), c);
    const std::string svg = str(testutil::read_file(dir / "m.svg"));
    for (const std::string secret : {"alpha-key", "beta-key"}) {
        EXPECT_FALSE(holds(r.out + r.err + svg, secret));
        for (const std::string &d : {dir / "x", dir / "c"})
            for (const std::string &name : testutil::entries_of(d))
                EXPECT_FALSE(holds(name, secret));
    }
    EXPECT_TRUE(holds(svg, "in the payload of " + hex8(b_at))) << svg;
}

// Containers nested one in another's payload: each level is opened down
// to the limit (a tagged file at the bottom of 8 is found), and one level
// more is reported but not looked into: the scan says so and is
// incomplete.
TEST_F(ScanKeys, NestingDeeperThanTheLimit)
{
    bytes box = testutil::tagged(testutil::to_bytes("bottom"));
    for (int depth = 1; depth <= VELKOR_SCAN_MAX_LEVEL + 1; depth++) {
        std::string label = std::to_string(depth);
        label.insert(label.begin(), 'l'); // g++ 12 warns falsely on "l" + std::string
        box = pack("k", box, label);
        if (depth < VELKOR_SCAN_MAX_LEVEL)
            continue;
        SCOPED_TRACE(depth);
        testutil::write_file(dir / "deep", box);
        auto r = run({velkor, "scan", "--json", "-k", "k", dir / "deep"});
        std::vector<std::string> summaries;
        const auto finds = json_finds(r.out, &summaries);
        ASSERT_EQ(finds.size(), static_cast<size_t>(depth) + (depth == VELKOR_SCAN_MAX_LEVEL)) << r.out;
        for (int k = 0; k < depth; k++)
            EXPECT_TRUE(holds(finds[static_cast<size_t>(k)], " container ") &&
                        holds(finds[static_cast<size_t>(k)], " verified "))
                << finds[static_cast<size_t>(k)];
        if (depth == VELKOR_SCAN_MAX_LEVEL) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(holds(finds.back(), " tagged ") && holds(finds.back(), " verified ") &&
                        holds(finds.back(), "payload_of 0"))
                << finds.back();
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_EQ(r.status, 3) << r.err;
            EXPECT_TRUE(holds(summaries.at(0), "incomplete:nesting_limit")) << summaries[0];
            EXPECT_EQ(r.err, "velkor: " + dir / "deep" + ": 1 payload not looked into: nested deeper than 8 containers\n");
        }
    }
}

// A data-sized container of 17 MiB needs a table larger than the default
// memory limit: reported, not checked, with the bytes it needs, the scan
// incomplete (status 3) and the option named; with --memory-limit 64M it
// verifies.
TEST_F(ScanKeys, MemoryLimitOnRequest)
{
    const bytes big = pack("k", bytes(size_t{17} << 20, 0x5a), "big", "", {"--data-sized"});
    const bytes img = cat({testutil::tagged(testutil::to_bytes("small")), big});
    testutil::write_file(dir / "big.img", img);
    auto r = run({velkor, "scan", "--json", "-k", "k", "--data-sized", dir / "big.img"});
    EXPECT_EQ(r.status, 3) << r.err;
    std::vector<std::string> summaries;
    const auto finds = json_finds(r.out, &summaries);
    ASSERT_EQ(finds.size(), 2u) << r.out;
    EXPECT_TRUE(holds(finds[1], " container ") && holds(finds[1], " bytes, over the memory limit ")) << finds[1];
    EXPECT_TRUE(holds(r.out, "\"verified\":null,\"reason\":\"needs ")) << r.out;
    EXPECT_TRUE(holds(summaries.at(0), "incomplete:memory_limit")) << summaries[0];
    EXPECT_TRUE(holds(r.err, "1 find not checked: over the memory limit of 16777216 bytes")) << r.err;
    EXPECT_TRUE(holds(r.err, "--memory-limit")) << r.err;
    r = run({velkor, "scan", "-k", "k", "--data-sized", dir / "big.img"});
    EXPECT_TRUE(holds(r.out, "not checked (needs ")) << r.out;
    EXPECT_TRUE(holds(r.out, " bytes, over the memory limit; see --memory-limit), magic start")) << r.out;

    for (bool pipe : {false, true}) {
        r = run({velkor, "scan", "--json", "-k", "k", "--data-sized", "--memory-limit", "64M",
                 pipe ? "-" : dir / "big.img"},
                {}, pipe ? &img : nullptr);
        EXPECT_EQ(r.status, 0) << r.err;
        summaries.clear();
        const auto ok = json_finds(r.out, &summaries);
        ASSERT_EQ(ok.size(), 2u) << r.out;
        EXPECT_TRUE(holds(ok[1], " verified None big  key 1")) << ok[1];
        EXPECT_EQ(r.err, "");
    }
}

// --csv: a header row and one row per find, CRLF line ends, read back by
// Python's csv module: every cell is what the JSON object holds (empty for
// null or absent), but a cell a spreadsheet would run (=1+1, -1) is made
// inert with a leading ', and quoting keeps a comma and a quote in place.
TEST_F(ScanKeys, CsvHasTheJsonRows)
{
    if (python.empty())
        GTEST_SKIP() << "python3 was not found at configure time";
    const bytes damaged_box = [&] {
        bytes d = pack("k", testutil::random_bytes(40, 9), "@cmd", "");
        d[d.size() - 10] ^= 1;
        return d;
    }();
    const bytes img = cat({testutil::random_bytes(30, 10), pack("k", testutil::tagged(testutil::to_bytes("in")), "=1+1", "-1"),
                           testutil::random_bytes(7, 11), pack("k", testutil::to_bytes("p"), "a,\"b\"", "\tx"),
                           damaged_box, testutil::tagged(testutil::to_bytes("x"))});
#if defined(_WIN32)
    // Windows' names are Unicode, never a stray byte.
    const std::string image = dir / "a,b.img";
#else
    const std::string image = dir / "a,b\xff.img";
#endif
    testutil::write_file(image, img);
    auto csv = run({velkor, "scan", "--csv", "--all", "-k", "k", image});
    auto json = run({velkor, "scan", "--json", "--all", "-k", "k", image});
    EXPECT_EQ(csv.status, 0) << csv.err;
    testutil::write_file(dir / "csv", testutil::to_bytes(csv.out));
    testutil::write_file(dir / "json", testutil::to_bytes(json.out));
    const char check[] = R"(
import csv, json, sys
raw = open(sys.argv[1], "rb").read()
assert raw.count(b"\r\n") == raw.count(b"\n") and raw.endswith(b"\r\n"), raw
rows = list(csv.reader(open(sys.argv[1], newline="", encoding="utf-8")))
objs = [json.loads(l) for l in open(sys.argv[2], encoding="utf-8") if '"summary"' not in l]
head = rows.pop(0)
assert head == ["image", "image_bytes", "offset", "kind", "length", "payload_offset", "payload_length",
                "verified", "reason", "inside", "payload_of", "magic", "key_prefix", "key", "label",
                "label_hex", "sublabel", "sublabel_hex", "damaged_texts"], head
assert len(rows) == len(objs), (rows, objs)
def cell(v):
    if v is None: return ""
    if v is True: return "true"
    if v is False: return "false"
    v = str(v)
    return "'" + v if v[:1] in ("=", "+", "-", "@", "\t", "\r") else v
for r, o in zip(rows, objs):
    assert r == [cell(o.get(k)) for k in head], (r, o)
print(len(rows), sum(1 for r in rows if r[14].startswith("'")), sum(1 for r in rows if r[18] == "true"))
)";
    auto r = run({python, "-c", check, dir / "csv", dir / "json"});
    EXPECT_EQ(r.status, 0) << r.err;
    // Five finds: two containers, the tagged file in the first one's
    // payload, the damaged container and the last tagged file; two labels
    // made inert (=1+1 and @cmd, the damaged one's texts), one damaged.
    EXPECT_EQ(r.out, "5 2 1\n") << csv.out;
    EXPECT_TRUE(holds(csv.out, ",'=1+1,3d312b31,'-1,2d31,\r\n")) << csv.out;
    EXPECT_TRUE(holds(csv.out, ",\"a,\"\"b\"\"\",")) << csv.out;
}

// A container whose key deciphers its texts but whose payload fails its
// checksum shows those texts, marked, in every form.
TEST_F(ScanKeys, DamagedContainerShowsItsTexts)
{
    bytes box = pack("k", testutil::random_bytes(500, 12), "router", "r7");
    box[box.size() - 100] ^= 0x10;
    testutil::write_file(dir / "d.img", cat({testutil::random_bytes(16, 13), box}));
    auto r = run({velkor, "scan", "--all", "-k", "other", "-k", "k", "--map", dir / "m.svg", dir / "d.img"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, dir / "d.img" + ": 16 (0x00000010): container, " + std::to_string(box.size()) +
                         " bytes, payload 500 bytes: failed (wrong key or damaged), magic start, key 2, label router, "
                         "sublabel r7 (texts of a damaged container)\n");
    EXPECT_TRUE(holds(str(testutil::read_file(dir / "m.svg")), "label router, sublabel r7 (texts of a damaged container)"));
    r = run({velkor, "scan", "--all", "--json", "-k", "k", dir / "d.img"});
    const auto finds = json_finds(r.out);
    ASSERT_EQ(finds.size(), 1u);
    EXPECT_TRUE(holds(finds[0], "wrong key or damaged None router r7 key 1 damaged_texts")) << finds[0];
}

// The keyed flood: the header of an empty container every 21 bytes, each
// claiming the rest of the image, the sound container last.  The scan is
// complete, finds the sound container verified, and reports nothing else.
TEST_F(ScanKeys, KeyedFloodEndToEnd)
{
    const bytes sound = pack("k", testutil::random_bytes(1000, 14), "", "");
    const size_t hl = enc_compute_header_len("", "");
    const size_t forged = (size_t{256} << 10) / hl;
    bytes img(forged * hl);
    for (size_t k = 0; k < forged; k++) {
        std::copy(sound.begin(), sound.begin() + static_cast<long>(hl), img.begin() + static_cast<long>(k * hl));
        const uint32_t claim = static_cast<uint32_t>(forged * hl + sound.size() - k * hl - hl - 4);
        for (int b = 0; b < 4; b++)
            img[k * hl + hl - 4 + static_cast<size_t>(b)] = static_cast<uint8_t>(claim >> (24 - 8 * b));
    }
    img.insert(img.end(), sound.begin(), sound.end());
    testutil::write_file(dir / "flood", img);
    for (bool pipe : {false, true}) {
        auto r = run({velkor, "scan", "--json", "-k", "k", pipe ? "-" : dir / "flood"}, {}, pipe ? &img : nullptr);
        EXPECT_EQ(r.status, 0) << r.err;
        std::vector<std::string> summaries;
        const auto finds = json_finds(r.out, &summaries);
        ASSERT_EQ(finds.size(), 1u) << r.out;
        EXPECT_TRUE(holds(finds[0], " " + std::to_string(forged * hl) + " container ")) << finds[0];
        EXPECT_TRUE(holds(finds[0], " verified ")) << finds[0];
        EXPECT_TRUE(holds(summaries.at(0), " complete")) << summaries[0];
    }
}

} // namespace
