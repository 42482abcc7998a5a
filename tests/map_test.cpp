// SPDX-License-Identifier: MIT
// velkor scan --map, read back with Python's XML parser: where each find
// is drawn, which row it sits on, how an image crowded with finds is
// summed up, and where one image's drawing ends and the next begins.  The
// images are assembled from what bgntag and velkor pack write, so the
// offsets and nesting depths are known without asking the scanner.
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using testutil::bytes;
using testutil::run;

namespace {

const std::string velkor = VELKOR_PATH;
const std::string bgntag = BGNTAG_PATH;
const std::string python = PYTHON3_PATH; // empty when configure found none
const std::string style_css = std::string(SOURCE_DIR) + "/web/style.css";

// Prints what the tests look at, one item a line:
//   palette OK UNVERIFIED BAD          the page's colours, from its style sheet
//   image I SIZE BAND_Y BOTTOM BX BW | TITLE
//   span I OFFSET LENGTH STATE KIND STRIPED X Y W H FILL
//   row I K Y | CAPTION                a density strip, top to bottom
//   column I K FROM TO COUNT SUM X0 X1 FILLS HEIGHT STRIP
// HEIGHT is a density column's, its segments stacked; STRIP the height of
// the strip it stands in.
// BOTTOM is the lowest point of anything drawn for the image (a text's
// descent counted as 4 pixels).  STRIPED says whether a stripe lies across
// the span, which is how a container shows without hovering.
const char svg_dump[] = R"py(
import re, sys, xml.etree.ElementTree as ET
S = "{http://www.w3.org/2000/svg}"
root = ET.parse(sys.argv[1]).getroot()
css = open(sys.argv[2]).read()
var = lambda n: re.search(r"--%s:\s*(#[0-9a-fA-F]{6})" % n, css).group(1).lower()
print("palette", var("ok"), var("unverified"), var("bad"))
f = lambda el, k: float(el.get(k))
for i, g in enumerate(root.iterfind(S + "g[@class='image']")):
    band = g.find(".//" + S + "rect[@class='band']")
    bottom = f(band, "y") + f(band, "height")
    for el in g.iter():
        if el.tag == S + "rect" and el.get("y") is not None:
            bottom = max(bottom, f(el, "y") + f(el, "height"))
        elif el.tag == S + "text":
            bottom = max(bottom, f(el, "y") + 4)
    title = "".join(g.find(S + "text").itertext())
    print("image", i, g.get("data-size"), f(band, "y"), bottom, f(band, "x"), f(band, "width"), "|", title)
    stripes = [r for r in g.iter(S + "rect") if r.get("class") == "stripe"]
    for r in g.iter(S + "rect"):
        cls = (r.get("class") or "").split()
        if not cls or cls[0] != "span":
            continue
        x, y, w, h = f(r, "x"), f(r, "y"), f(r, "width"), f(r, "height")
        striped = any(abs(f(s, "x") - x) < 0.01 and abs(f(s, "width") - w) < 0.01 and
                      y < f(s, "y") and f(s, "y") + f(s, "height") < y + h for s in stripes)
        print("span", i, r.get("data-offset"), r.get("data-length"), cls[1], cls[2] if len(cls) > 2 else "-",
              int(striped), x, y, w, h, r.get("fill").lower())
    for k, row in enumerate(g.iterfind(S + "g[@class='row']")):
        print("row", i, k, f(row.find(S + "rect"), "y"), "|", "".join(row.find(S + "text").itertext()))
        for col in row.iterfind(S + "g[@class='column']"):
            segs = col.findall(S + "rect")
            x0 = min(f(s, "x") for s in segs)
            x1 = max(f(s, "x") + f(s, "width") for s in segs)
            print("column", i, k, col.get("data-from"), col.get("data-to"), col.get("data-count"),
                  sum(int(s.get("data-count")) for s in segs), x0, x1,
                  ",".join(s.get("fill").lower() for s in segs), sum(f(s, "height") for s in segs),
                  f(row.find(S + "rect"), "height"))
)py";

struct image_info {
    uint64_t size;
    double band_y, bottom, bx, bw;
    std::string title;
};
struct span_info {
    uint64_t offset, length;
    std::string state, kind;
    bool striped;
    double x, y, w, h;
    std::string fill;
};
struct row_info {
    double y;
    std::string caption;
};
struct column_info {
    uint64_t from, to, count, sum;
    double x0, x1;
    std::string fills;
    double height, strip;
};
struct drawing {
    std::string ok, unverified, bad;
    std::vector<image_info> images;
    std::vector<std::vector<span_info>> spans;               // per image
    std::vector<std::vector<row_info>> rows;                 // per image
    std::vector<std::vector<std::vector<column_info>>> cols; // per image, per row
};

class Map : public ::testing::Test {
protected:
    testutil::scratch_dir dir;
    int made = 0;

    bytes tagged(const bytes &payload)
    {
        const std::string in = dir / "t" + std::to_string(made), out = in + ".bgn";
        made++;
        testutil::write_file(in, payload);
        EXPECT_EQ(run({bgntag, in, out}).status, 0);
        return testutil::read_file(out);
    }
    bytes container(const bytes &payload)
    {
        const std::string in = dir / "c" + std::to_string(made), out = in + ".vc";
        made++;
        testutil::write_file(in, payload);
        auto r = run({velkor, "pack", "-k", "secret", "-l", "part", in, out});
        EXPECT_EQ(r.status, 0) << r.err;
        return testutil::read_file(out);
    }

    // Scans the images with `options` and reads back the map.
    drawing scan(const std::vector<std::string> &options, const std::vector<std::string> &images, int status = 0)
    {
        drawing d;
        const std::string svg = dir / "map.svg";
        std::vector<std::string> argv{velkor, "scan", "--map", svg};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), images.begin(), images.end());
        auto r = run(argv);
        EXPECT_EQ(r.status, status) << r.err;
        if (python.empty()) {
            ADD_FAILURE() << "python3 was not found at configure time";
            return d;
        }
        r = run({python, "-c", svg_dump, svg, style_css});
        EXPECT_EQ(r.status, 0) << r.err;
        std::istringstream lines(r.out);
        for (std::string l; std::getline(lines, l);) {
            std::istringstream in(l);
            std::string what, rest;
            size_t i = 0, k = 0;
            in >> what;
            if (what == "palette") {
                in >> d.ok >> d.unverified >> d.bad;
                continue;
            }
            in >> i;
            if (what == "image") {
                image_info im{};
                in >> im.size >> im.band_y >> im.bottom >> im.bx >> im.bw;
                im.title = l.substr(l.find(" | ") + 3);
                d.images.push_back(im);
                d.spans.emplace_back();
                d.rows.emplace_back();
                d.cols.emplace_back();
            } else if (what == "span") {
                span_info s{};
                in >> s.offset >> s.length >> s.state >> s.kind >> s.striped >> s.x >> s.y >> s.w >> s.h >> s.fill;
                d.spans.at(i).push_back(s);
            } else if (what == "row") {
                row_info w{};
                in >> k >> w.y;
                w.caption = l.substr(l.find(" | ") + 3);
                d.rows.at(i).push_back(w);
                d.cols.at(i).emplace_back();
            } else if (what == "column") {
                column_info c{};
                in >> k >> c.from >> c.to >> c.count >> c.sum >> c.x0 >> c.x1 >> c.fills >> c.height >> c.strip;
                d.cols.at(i).at(k).push_back(c);
            }
        }
        return d;
    }
};

// Places pieces at chosen offsets in a random image and notes each find:
// where it starts and how deep it is nested.
struct image_builder {
    bytes img;
    std::map<uint64_t, size_t> depth; // offset -> nesting depth

    explicit image_builder(size_t size, uint32_t seed) : img(testutil::random_bytes(size, seed)) {}
    // `piece` at `at`, with finds at the given offsets within it and depths.
    void put(uint64_t at, const bytes &piece, const std::vector<std::pair<uint64_t, size_t>> &finds)
    {
        std::copy(piece.begin(), piece.end(), img.begin() + static_cast<std::ptrdiff_t>(at));
        for (const auto &[off, d] : finds)
            depth[at + off] = d;
    }
};

// Each find's row is its nesting depth and nothing else: the three
// top-level finds at 1000, 1100 and 500000 of 1 MiB share the band although
// their offsets would touch, and a container in a tagged file in a tagged
// file takes rows 0, 1 and 2.  The kind shows without hovering, and the
// colours are the page's.
TEST_F(Map, RowIsNestingDepth)
{
    image_builder b(1 << 20, 1);
    const bytes small = tagged(testutil::random_bytes(50, 2));
    for (uint64_t at : {1000, 1100, 500000})
        b.put(at, small, {{0, 0}});
    // outer (depth 0) > middle (1) > inner container (2)
    const bytes inner = container(testutil::random_bytes(100, 3));
    bytes mid_payload = testutil::random_bytes(100, 4);
    mid_payload.insert(mid_payload.end(), inner.begin(), inner.end());
    const bytes tail = testutil::random_bytes(50, 5);
    mid_payload.insert(mid_payload.end(), tail.begin(), tail.end());
    const bytes mid = tagged(mid_payload);
    bytes outer_payload = testutil::random_bytes(3000, 6);
    outer_payload.insert(outer_payload.end(), mid.begin(), mid.end());
    const bytes rest = testutil::random_bytes(30000, 7);
    outer_payload.insert(outer_payload.end(), rest.begin(), rest.end());
    const uint64_t mid_at = 20 + 3000, inner_at = mid_at + 20 + 100;
    b.put(600000, tagged(outer_payload), {{0, 0}, {mid_at, 1}, {inner_at, 2}});
    bytes damaged = small;
    damaged[19] ^= 1;
    b.put(800000, damaged, {{0, 0}});
    b.put(900000, container(testutil::random_bytes(500, 8)), {{0, 0}});
    testutil::write_file(dir / "img", b.img);

    const drawing d = scan({"--all", "-k", "secret"}, {dir / "img"});
    ASSERT_EQ(d.images.size(), 1u);
    const image_info &im = d.images[0];
    EXPECT_EQ(im.size, b.img.size());
    EXPECT_EQ(im.title.find("density"), std::string::npos) << im.title;
    ASSERT_EQ(d.spans[0].size(), b.depth.size());

    // The y of each depth's row: one value per depth, the band's for depth
    // 0, and each row wholly below the one above it.
    std::map<size_t, double> row_y;
    double h = 0;
    for (const span_info &s : d.spans[0]) {
        const auto it = b.depth.find(s.offset);
        if (it == b.depth.end()) {
            ADD_FAILURE() << "a span at " << s.offset << " where no find was placed";
            continue;
        }
        const auto y = row_y.emplace(it->second, s.y).first;
        EXPECT_DOUBLE_EQ(s.y, y->second) << "find at " << s.offset << ", depth " << it->second;
        h = s.h;
        // Where its offset lies on the band.
        EXPECT_NEAR(s.x, im.bx + im.bw * static_cast<double>(s.offset) / static_cast<double>(im.size), 0.01);
        // The kind: a container's span is striped, a tagged file's is not.
        const bool is_container = s.offset == 900000 || s.offset == 600000 + inner_at;
        EXPECT_EQ(s.kind, is_container ? "container" : "tagged") << s.offset;
        EXPECT_EQ(s.striped, is_container) << s.offset;
        // The page's colours.
        EXPECT_EQ(s.fill, s.offset == 800000 ? d.bad : d.ok) << s.offset << " " << s.state;
    }
    ASSERT_EQ(row_y.size(), 3u);
    EXPECT_DOUBLE_EQ(row_y.at(0), im.band_y);
    EXPECT_GE(row_y.at(1), row_y.at(0) + h);
    EXPECT_GE(row_y.at(2), row_y.at(1) + h);
}

// Without a key a container is not verified and so holds nothing: a tagged
// file within its bytes is top-level, as scan's "inside" says.  Its colour
// is the page's for a find not verified.
TEST_F(Map, NestingCountsVerifiedFindsOnly)
{
    bytes c = container(testutil::random_bytes(200, 9));
    const bytes t = tagged(testutil::random_bytes(30, 10));
    std::copy(t.begin(), t.end(), c.begin() + 40); // in the payload, which no one checks without the key
    bytes img = testutil::random_bytes(4000, 11);
    std::copy(c.begin(), c.end(), img.begin() + 1000);
    testutil::write_file(dir / "img", img);
    const drawing d = scan({}, {dir / "img"});
    ASSERT_EQ(d.spans.size(), 1u);
    ASSERT_EQ(d.spans[0].size(), 2u);
    EXPECT_EQ(d.spans[0][0].offset, 1000u);
    EXPECT_EQ(d.spans[0][0].state, "nokey");
    EXPECT_EQ(d.spans[0][0].fill, d.unverified);
    EXPECT_TRUE(d.spans[0][0].striped);
    EXPECT_EQ(d.spans[0][1].offset, 1040u);
    for (const span_info &s : d.spans[0])
        EXPECT_DOUBLE_EQ(s.y, d.images[0].band_y) << s.offset;

    // With a key that does not open it, the container may still be sound:
    // not opened, in the colour of a container not checked, as the page
    // shows it, not in damage's.
    const drawing w = scan({"--all", "-k", "wrong"}, {dir / "img"});
    ASSERT_EQ(w.spans.size(), 1u);
    ASSERT_EQ(w.spans[0].size(), 2u);
    EXPECT_EQ(w.spans[0][0].state, "notopened");
    EXPECT_EQ(w.spans[0][0].fill, w.unverified);
}

// Past a few hundred finds an image is a density strip per depth: the title
// says so, no span is drawn per find, and each column counts exactly the
// finds that start within its bytes, in the page's colours.
TEST_F(Map, DensityPastAFewHundredFinds)
{
    const bytes empty = tagged({}); // 20 bytes, a find of its own
    bytes run_of;
    for (int i = 0; i < 350; i++)
        run_of.insert(run_of.end(), empty.begin(), empty.end());
    bytes nested_payload;
    for (int i = 0; i < 60; i++)
        nested_payload.insert(nested_payload.end(), empty.begin(), empty.end());
    const bytes holder = tagged(nested_payload);
    const bytes box = container(testutil::random_bytes(100, 11));

    image_builder b(1 << 20, 12);
    std::vector<std::pair<uint64_t, size_t>> firsts, seconds;
    for (uint64_t i = 0; i < 350; i++)
        firsts.push_back({i * 20, 0});
    b.put(5000, run_of, firsts);
    seconds.push_back({0, 0});
    for (uint64_t i = 0; i < 60; i++)
        seconds.push_back({20 + i * 20, 1});
    b.put(700000, holder, seconds);
    b.put(1000000, box, {{0, 0}});
    testutil::write_file(dir / "img", b.img);

    // A second image after it, in spans, to see the strips' height counted.
    testutil::write_file(dir / "small", empty);
    const drawing d = scan({}, {dir / "img", dir / "small"});
    ASSERT_EQ(d.images.size(), 2u);
    EXPECT_NE(d.images[0].title.find("412 finds"), std::string::npos) << d.images[0].title;
    EXPECT_NE(d.images[0].title.find("density"), std::string::npos) << d.images[0].title;
    EXPECT_TRUE(d.spans[0].empty());
    ASSERT_EQ(d.rows[0].size(), 2u);
    EXPECT_DOUBLE_EQ(d.rows[0][0].y, d.images[0].band_y);
    EXPECT_GT(d.rows[0][1].y, d.rows[0][0].y);
    EXPECT_EQ(d.rows[0][0].caption.rfind("depth 0: 352 finds (351 tagged files, 1 container)", 0), 0u)
        << d.rows[0][0].caption;
    EXPECT_EQ(d.rows[0][1].caption.rfind("depth 1: 60 finds (60 tagged files, 0 containers)", 0), 0u)
        << d.rows[0][1].caption;

    for (size_t depth = 0; depth < 2; depth++) {
        uint64_t total = 0, last_to = 0;
        for (const column_info &c : d.cols[0][depth]) {
            uint64_t want = 0;
            for (const auto &[off, dp] : b.depth)
                want += dp == depth && off >= c.from && off < c.to;
            EXPECT_EQ(c.count, want) << "depth " << depth << ", column " << c.from << ".." << c.to;
            EXPECT_EQ(c.sum, c.count);
            EXPECT_GE(c.from, last_to);
            last_to = c.to;
            total += c.count;
            const image_info &im = d.images[0];
            EXPECT_NEAR(c.x0, im.bx + im.bw * static_cast<double>(c.from) / static_cast<double>(im.size), 0.01);
            EXPECT_LE(c.x1, im.bx + im.bw + 0.01);
            const bool has_box = depth == 0 && c.from <= 1000000 && 1000000 < c.to;
            EXPECT_EQ(c.fills, has_box ? d.unverified : d.ok) << c.from; // the box has its column alone
        }
        EXPECT_EQ(total, depth == 0 ? 352u : 60u);
        // Far fewer columns than finds.
        EXPECT_LE(d.cols[0][depth].size(), 150u);
    }
    EXPECT_GE(d.images[1].band_y, d.images[0].bottom);
    EXPECT_EQ(d.spans[1].size(), 1u);
}

// The limits of drawing a span each: 300 finds, and nesting 31 deep (32
// rows), are drawn as spans; one find more, or one level deeper, as density.
TEST_F(Map, SpansUpToTheLimits)
{
    const bytes empty = tagged({});
    for (int count : {300, 301}) {
        bytes img;
        for (int i = 0; i < count; i++)
            img.insert(img.end(), empty.begin(), empty.end());
        testutil::write_file(dir / "row", img);
        const drawing d = scan({}, {dir / "row"});
        ASSERT_EQ(d.images.size(), 1u);
        const bool spans = count == 300;
        EXPECT_EQ(d.spans[0].size(), spans ? 300u : 0u) << count;
        EXPECT_EQ(d.rows[0].size(), spans ? 0u : 1u) << count;
        EXPECT_EQ(d.images[0].title.find("density") == std::string::npos, spans) << d.images[0].title;
    }
    for (int levels : {32, 33}) {
        bytes t = testutil::to_bytes("core");
        for (int i = 0; i < levels; i++)
            t = tagged(t);
        testutil::write_file(dir / "deep", t);
        const drawing d = scan({}, {dir / "deep"});
        ASSERT_EQ(d.images.size(), 1u);
        const bool spans = levels == 32;
        EXPECT_EQ(d.spans[0].size(), spans ? 32u : 0u) << levels;
        EXPECT_EQ(d.rows[0].size(), spans ? 0u : 32u) << levels;
        if (spans) {
            double deepest = 0;
            for (const span_info &s : d.spans[0])
                deepest = std::max(deepest, s.y);
            EXPECT_GT(deepest, d.images[0].band_y); // on rows of their own
        }
    }
}

// A density column is as high as its count against the fullest column of
// the image, whatever the verdicts in it: 200 damaged finds fill the strip,
// 100 verified take half of it, 50 a quarter, and one still shows.
TEST_F(Map, DensityColumnsScaleToTheFullest)
{
    const bytes empty = tagged({});
    bytes damaged = empty;
    damaged[19] ^= 1; // its CRC
    const auto run_of = [](const bytes &one, int n) {
        bytes r;
        for (int i = 0; i < n; i++)
            r.insert(r.end(), one.begin(), one.end());
        return r;
    };
    image_builder b(1 << 20, 14);
    b.put(0x10000, run_of(damaged, 200), {});
    b.put(0x80000, run_of(empty, 100), {});
    b.put(0xC0000, run_of(empty, 50), {});
    b.put(0xF0000, empty, {});
    testutil::write_file(dir / "img", b.img);
    const drawing d = scan({"--all"}, {dir / "img"});
    ASSERT_EQ(d.images.size(), 1u);
    ASSERT_EQ(d.rows[0].size(), 1u);
    std::map<uint64_t, double> want = {{200, 1.0}, {100, 0.5}, {50, 0.25}, {1, 0.0}};
    ASSERT_EQ(d.cols[0][0].size(), want.size());
    for (const column_info &c : d.cols[0][0]) {
        SCOPED_TRACE(c.count);
        ASSERT_EQ(want.count(c.count), 1u);
        EXPECT_NEAR(c.height, std::max(2.0, c.strip * want[c.count]), 0.02);
        EXPECT_EQ(c.fills, c.count == 200 ? d.bad : d.ok);
    }
}

// Tens of thousands of finds make a picture of bounded size.
TEST_F(Map, ManyFindsStaySmall)
{
    const bytes empty = tagged({});
    bytes img;
    for (int i = 0; i < 20000; i++)
        img.insert(img.end(), empty.begin(), empty.end());
    testutil::write_file(dir / "img", img);
    const drawing d = scan({}, {dir / "img"});
    ASSERT_EQ(d.images.size(), 1u);
    EXPECT_NE(d.images[0].title.find("20,000 finds"), std::string::npos) << d.images[0].title;
    ASSERT_EQ(d.rows[0].size(), 1u);
    uint64_t total = 0;
    for (const column_info &c : d.cols[0][0])
        total += c.count;
    EXPECT_EQ(total, 20000u);
    EXPECT_LT(testutil::read_file(dir / "map.svg").size(), 100000u);
}

// Nesting deeper than the rows a picture holds: drawn as density, a row
// per depth, the last holding every deeper find and saying so.
TEST_F(Map, DeepNesting)
{
    bytes t = testutil::to_bytes("core");
    for (int i = 0; i < 40; i++)
        t = tagged(t);
    testutil::write_file(dir / "img", t);
    const drawing d = scan({}, {dir / "img"});
    ASSERT_EQ(d.images.size(), 1u);
    EXPECT_NE(d.images[0].title.find("density"), std::string::npos) << d.images[0].title;
    ASSERT_EQ(d.rows[0].size(), 32u);
    for (size_t k = 0; k < 31; k++) {
        EXPECT_EQ(d.rows[0][k].caption.rfind("depth " + std::to_string(k) + ": 1 find ", 0), 0u)
            << d.rows[0][k].caption;
        if (k > 0) {
            EXPECT_GT(d.rows[0][k].y, d.rows[0][k - 1].y);
        }
    }
    EXPECT_EQ(d.rows[0][31].caption.rfind("depth 31 and deeper: 9 finds ", 0), 0u) << d.rows[0][31].caption;
}

// The edges of the picture: a narrow find that ends on an image's last
// byte stays inside the band, at its end; and each image's band lies below
// everything drawn for the image before it, nested rows and their offsets
// included.
TEST_F(Map, EdgesOfTheBand)
{
    bytes nest = testutil::to_bytes("x");
    for (int i = 0; i < 3; i++)
        nest = tagged(nest);
    const bytes last = tagged(testutil::to_bytes("y"));
    bytes img = testutil::random_bytes(1 << 20, 13);
    std::copy(nest.begin(), nest.end(), img.begin() + 1000);
    std::copy(last.begin(), last.end(), img.end() - static_cast<std::ptrdiff_t>(last.size()));
    testutil::write_file(dir / "a", img);
    testutil::write_file(dir / "b", nest);
    const drawing d = scan({}, {dir / "a", dir / "b"});
    ASSERT_EQ(d.images.size(), 2u);
    const image_info &a = d.images[0];
    const auto end = std::find_if(d.spans[0].begin(), d.spans[0].end(),
                                  [&](const span_info &s) { return s.offset == img.size() - last.size(); });
    ASSERT_NE(end, d.spans[0].end());
    EXPECT_GE(end->w, 2.99);
    EXPECT_GE(end->x, a.bx);
    EXPECT_LE(end->x + end->w, a.bx + a.bw + 0.01);
    EXPECT_GE(end->x + end->w, a.bx + a.bw - 0.01);
    double lowest_span = 0;
    for (const span_info &s : d.spans[0])
        lowest_span = std::max(lowest_span, s.y + s.h);
    EXPECT_GT(lowest_span, a.band_y + end->h); // the nest took rows below
    EXPECT_GE(d.images[1].band_y, a.bottom);
    EXPECT_GE(d.images[1].band_y, lowest_span);
}

} // namespace
