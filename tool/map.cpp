// SPDX-License-Identifier: MIT
// The SVG picture of `velkor scan --map`; see map.h.
//
// Sizes are chosen for a page 1,200 pixels wide: 11-pixel monospace for
// offsets (about 6.6 pixels a character), so the widths of the labels are
// known without measuring text, which is what the layout needs.  The
// colours are those of the browser page (web/style.css), so that a find
// looks the same in both.
//
// A row means one thing, the nesting depth, so spans never move to make
// room: finds at one depth that overlap (a damaged candidate over a sound
// one, say) overlap on the picture too.  Only offsets move, to the second
// of the two lines below a row when the first has no room; where neither
// has, they are left out, and the span's tooltip still gives them.
#include "map.h"
#include "text.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace velkor_map {
namespace {

constexpr double page_width = 1200;
constexpr double margin = 24;
constexpr double band_width = page_width - 2 * margin;
constexpr double title_height = 24;
constexpr double bar_height = 18;
constexpr int label_lines = 2;      // lines for offsets below each row
constexpr double row_height = bar_height + label_lines * 12 + 6;
constexpr double min_span = 3;      // narrower finds are drawn this wide
constexpr double char_width = 6.7;  // 11 px monospace, with room to spare
constexpr double label_gap = 8;     // between labels on one line

// Past this many finds an image is drawn as density; a few hundred spans
// with their offsets are about what a reader can take in.
constexpr size_t most_drawn = 300;
// Rows per image.  Deeper nesting is drawn as density, whose last row
// holds every find this deep or deeper.
constexpr size_t max_rows = 32;
// Density: counting bins (their width doubles as offsets grow), and the
// most columns drawn, each at least 8 pixels wide.
constexpr size_t fine_bins = 1024;
constexpr uint64_t max_columns = 144;
constexpr double strip_height = 24;
constexpr double strip_row_height = strip_height + 14 + 8; // strip, its counts, a gap

struct style {
    const char *cls, *fill, *stroke, *dash, *legend, *counted;
};
const style styles[] = {
    {"verified", "#1b7f3b", "#0f4d23", nullptr, "verified", "verified"},
    {"nokey", "#c98a00", "#7a5400", nullptr, "container, not verified: no key", "not verified (no key)"},
    {"notopened", "#c98a00", "#7a5400", "3 2", "container not opened with the key given", "not opened with the key"},
    {"damaged", "#c0392b", "#7b2218", "3 2", "damaged: CRC mismatch, truncated", "damaged"},
};
const char ink[] = "#1d232a", soft[] = "#5c6670", band_fill[] = "#e9ecef", band_line[] = "#d8dde2";

const style &style_of(verdict v) { return styles[static_cast<int>(v)]; }

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, f);
    vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

std::string hex_offset(uint64_t v) { return fmt("0x%08" PRIx64, v); }

// 1234567 -> "1,234,567"
std::string grouped(uint64_t v)
{
    std::string d = std::to_string(v), o;
    for (size_t i = 0; i < d.size(); i++) {
        if (i > 0 && (d.size() - i) % 3 == 0)
            o += ',';
        o += d[i];
    }
    return o;
}

std::string human_size(uint64_t v)
{
    static const char *units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (v < 1024)
        return "";
    double x = static_cast<double>(v);
    int u = -1;
    while (x >= 1024 && u < 5) {
        x /= 1024;
        u++;
    }
    return fmt(" (%.1f %s)", x, units[u]);
}

// "3 finds", "1 tagged file"
std::string counted(uint64_t n, const char *one, const char *many)
{
    return grouped(n) + " " + (n == 1 ? one : many);
}

// Where an offset lies on the band of an image of `size` bytes.
double x_of(uint64_t off, uint64_t size)
{
    if (size == 0)
        return margin;
    return margin + band_width * std::min(1.0, static_cast<double>(off) / static_cast<double>(size));
}

} // namespace

void picture::begin_image(const std::string &name)
{
    current_ = image();
    current_.name = name;
}

void picture::add(const mark &m)
{
    image &im = current_;
    // A verified find that ends at or before this offset encloses nothing
    // from here on.
    while (!im.open_by_end.empty() && im.open_by_end.begin()->first <= m.offset) {
        im.open.erase(im.open_by_end.begin()->second);
        im.open_by_end.erase(im.open_by_end.begin());
    }
    size_t depth = 0;
    if (m.inside_valid) {
        const auto p = im.open.find(m.inside);
        depth = p == im.open.end() ? 1 : p->second.depth + 1;
    }
    if (m.state == verdict::verified && m.length > 0 && im.open.count(m.offset) == 0) {
        im.open[m.offset] = {m.offset + m.length, depth};
        im.open_by_end.emplace(m.offset + m.length, m.offset);
    }
    im.finds++;
    im.deepest = std::max(im.deepest, depth);

    placed p{m.offset, m.length, depth, m.state, m.container, {}};
    if (im.density == nullptr && (im.marks.size() >= most_drawn || depth >= max_rows)) {
        im.density = depth >= max_rows ? "nested deeper than rows can show" : "too many finds for a span each";
        for (const placed &q : im.marks)
            count(im, q);
        im.marks.clear();
        im.marks.shrink_to_fit();
    }
    if (im.density != nullptr) {
        count(im, p);
    } else {
        p.what = m.what;
        im.marks.push_back(std::move(p));
    }
}

// Counts a find in the bin its offset falls in, on its depth's row.
void picture::count(image &im, const placed &p)
{
    while (p.offset / im.bin_width >= fine_bins)
        widen(im);
    const size_t row = std::min(p.depth, max_rows - 1);
    if (im.bins.size() <= row)
        im.bins.resize(row + 1);
    if (im.bins[row].empty())
        im.bins[row].resize(fine_bins, tally{});
    im.bins[row][p.offset / im.bin_width][static_cast<size_t>(p.state)][p.container ? 1 : 0]++;
}

// Doubles the bins' width: each bin takes the counts of two.
void picture::widen(image &im)
{
    for (auto &row : im.bins) {
        if (row.empty())
            continue;
        for (size_t i = 0; i < fine_bins / 2; i++)
            for (size_t v = 0; v < verdict_count; v++)
                for (size_t k = 0; k < 2; k++)
                    row[i][v][k] = row[2 * i][v][k] + row[2 * i + 1][v][k];
        std::fill(row.begin() + fine_bins / 2, row.end(), tally{});
    }
    im.bin_width *= 2;
}

void picture::end_image(uint64_t size)
{
    using velkor_text::xml_text;
    image &im = current_;
    const double top = bottom_;
    std::string o = fmt("<g class=\"image\" data-size=\"%" PRIu64 "\">\n", size);
    std::string title = xml_text(im.name) + " \xe2\x80\x94 " + grouped(size) + " bytes" + human_size(size) +
                        " \xe2\x80\x94 " + counted(im.finds, "find", "finds");
    if (im.density != nullptr)
        title += ", drawn as density: " + std::string(im.density);
    o += fmt("<text x=\"%g\" y=\"%g\" font-size=\"14\" font-weight=\"bold\">", margin, top + 15) + title +
         "</text>\n";
    const double band_y = top + title_height;
    double height = 0;
    o += im.density != nullptr ? draw_density(im, band_y, size, height) : draw_finds(im, band_y, size, height);
    o += "</g>\n";
    body_ += o;
    bottom_ = band_y + height + 12;
    current_ = image();
}

// One span per find on the row of its depth, with its offsets below where
// they fit.
std::string picture::draw_finds(const image &im, double band_y, uint64_t size, double &height) const
{
    using velkor_text::xml_text;
    std::string o = fmt("<rect class=\"band\" x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\" fill=\"%s\" "
                        "stroke=\"%s\"/>\n",
                        margin, band_y, band_width, bar_height, band_fill, band_line);
    const size_t rows = im.marks.empty() ? 1 : im.deepest + 1;
    // Per row, how far each line of offsets reaches so far.
    std::vector<std::array<double, label_lines>> label_right(rows);
    for (auto &l : label_right)
        l.fill(-1e9);
    for (const placed &m : im.marks) {
        double x0 = x_of(m.offset, size);
        // A truncated find claims bytes past the image's end.
        const double x1 = x_of(m.offset + m.length, size);
        const double w = std::max(x1 - x0, min_span);
        x0 = std::min(x0, margin + band_width - w); // a narrow find at the very end

        // Offsets: at both ends below a wide span, or as one range centred
        // below a narrow one, kept on the page.
        const std::string a = hex_offset(m.offset), b = hex_offset(m.offset + m.length);
        const double lw = static_cast<double>(a.size()) * char_width;
        const bool wide = w >= 2 * lw + label_gap;
        double left = x0, rightmost = x0 + w, range_x = 0; // what the offsets cover
        std::string range;
        if (!wide) {
            range = a + "\xe2\x80\x93" + b.substr(2); // "0x...-..." with an en dash
            const double tw = static_cast<double>(range.size() - 2) * char_width;
            range_x = std::clamp(x0 + w / 2 - tw / 2, margin, margin + band_width - tw);
            left = std::min(left, range_x);
            rightmost = std::max(rightmost, range_x + tw);
        }
        auto &lines = label_right[m.depth];
        int line = -1;
        for (int l = 0; l < label_lines && line < 0; l++)
            if (lines[static_cast<size_t>(l)] + label_gap <= left)
                line = l;
        if (line >= 0)
            lines[static_cast<size_t>(line)] = rightmost;

        const style &s = style_of(m.state);
        const double y = band_y + static_cast<double>(m.depth) * row_height;
        const char *kind = m.container ? "container" : "tagged";
        o += fmt("<rect class=\"span %s %s\" data-offset=\"%" PRIu64 "\" data-length=\"%" PRIu64
                 "\" x=\"%.2f\" y=\"%g\" width=\"%.2f\" height=\"%g\" fill=\"%s\" stroke=\"%s\"",
                 s.cls, kind, m.offset, m.length, x0, y, w, bar_height, s.fill, s.stroke);
        // A damaged find is seen through: one that claims the rest of the
        // image still shows the sound finds that started before it.
        if (s.dash != nullptr)
            o += fmt(" fill-opacity=\"0.45\" stroke-dasharray=\"%s\"", s.dash);
        o += "><title>" + xml_text(m.what) + "</title></rect>\n";
        // The kind without hovering: a container's span is striped.
        if (m.container)
            o += fmt("<rect class=\"stripe\" x=\"%.2f\" y=\"%g\" width=\"%.2f\" height=\"4\" fill=\"#ffffff\" "
                     "fill-opacity=\"0.85\"/>\n",
                     x0, y + bar_height / 2 - 2, w);
        if (line < 0)
            continue;
        const double ty = y + bar_height + 11 + 12 * line;
        if (wide) {
            o += fmt("<text x=\"%.2f\" y=\"%g\" font-family=\"monospace\" font-size=\"11\">%s</text>\n", x0,
                     ty, a.c_str());
            o += fmt("<text x=\"%.2f\" y=\"%g\" font-family=\"monospace\" font-size=\"11\" "
                     "text-anchor=\"end\">%s</text>\n",
                     x0 + w, ty, b.c_str());
        } else {
            o += fmt("<text x=\"%.2f\" y=\"%g\" font-family=\"monospace\" font-size=\"11\">%s</text>\n",
                     range_x, ty, range.c_str());
        }
    }
    height = static_cast<double>(rows) * row_height;
    return o;
}

// A strip per depth: columns of a fixed number of bytes, each as high as
// the number of finds that start in it (against the fullest column of the
// image), stacked by verdict, with the counts written below the strip.
std::string picture::draw_density(image &im, double band_y, uint64_t size, double &height) const
{
    // Bins as wide as needed for the whole image to fit, then columns of
    // a power of two of them.
    while (size > 0 && (size - 1) / im.bin_width >= fine_bins)
        widen(im);
    uint64_t group = 1;
    while (size > 0 && (size - 1) / (im.bin_width * group) >= max_columns)
        group *= 2;
    const uint64_t col_bytes = im.bin_width * group;
    const size_t columns = fine_bins / group;

    std::vector<std::vector<tally>> cols(im.bins.size(), std::vector<tally>(columns, tally{}));
    uint64_t fullest = 1;
    for (size_t r = 0; r < im.bins.size(); r++) {
        if (im.bins[r].empty())
            continue;
        for (size_t i = 0; i < fine_bins; i++)
            for (size_t v = 0; v < verdict_count; v++)
                for (size_t k = 0; k < 2; k++)
                    cols[r][i / group][v][k] += im.bins[r][i][v][k];
        for (const tally &t : cols[r]) {
            uint64_t n = 0;
            for (const auto &by_kind : t)
                n += by_kind[0] + by_kind[1];
            fullest = std::max(fullest, n);
        }
    }

    std::string o;
    const size_t rows = std::min(im.deepest, max_rows - 1) + 1;
    for (size_t r = 0; r < rows; r++) {
        const double y = band_y + static_cast<double>(r) * strip_row_height;
        o += "<g class=\"row\">\n";
        o += fmt("<rect class=\"%s\" x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\" fill=\"%s\" stroke=\"%s\"/>\n",
                 r == 0 ? "band" : "lane", margin, y, band_width, strip_height, band_fill, band_line);
        tally row_total{};
        uint64_t row_most = 0;
        for (size_t c = 0; r < cols.size() && c < columns; c++) {
            const tally &t = cols[r][c];
            uint64_t n = 0, kinds[2] = {0, 0};
            for (size_t v = 0; v < verdict_count; v++)
                for (size_t k = 0; k < 2; k++) {
                    n += t[v][k];
                    kinds[k] += t[v][k];
                    row_total[v][k] += t[v][k];
                }
            if (n == 0)
                continue;
            row_most = std::max(row_most, n);
            const uint64_t from = c * col_bytes, to = std::min(from + col_bytes, std::max(size, from + 1));
            const double x0 = x_of(from, size), x1 = std::max(x_of(to, size), x0 + 1);
            std::string what = hex_offset(from) + "\xe2\x80\x93" + hex_offset(to).substr(2) + ": " +
                               counted(n, "find", "finds") + " (" + counted(kinds[0], "tagged file", "tagged files") +
                               ", " + counted(kinds[1], "container", "containers") + ")";
            for (size_t v = 0; v < verdict_count; v++)
                if (t[v][0] + t[v][1] > 0)
                    what += ", " + grouped(t[v][0] + t[v][1]) + " " + styles[v].counted;
            o += fmt("<g class=\"column\" data-from=\"%" PRIu64 "\" data-to=\"%" PRIu64 "\" data-count=\"%" PRIu64
                     "\"><title>",
                     from, to, n) +
                 what + "</title>\n";
            // Stacked from the strip's foot: verified, then no key, then
            // damaged; a column with any find shows at least 2 pixels.
            const double full = std::max(2.0, strip_height * static_cast<double>(n) / static_cast<double>(fullest));
            double foot = y + strip_height;
            for (size_t v = 0; v < verdict_count; v++) {
                const uint64_t nv = t[v][0] + t[v][1];
                if (nv == 0)
                    continue;
                const double h = full * static_cast<double>(nv) / static_cast<double>(n);
                foot -= h;
                o += fmt("<rect class=\"count %s\" data-count=\"%" PRIu64 "\" x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" "
                         "height=\"%.2f\" fill=\"%s\"/>\n",
                         styles[v].cls, nv, x0, foot, x1 - x0, h, styles[v].fill);
            }
            o += "</g>\n";
        }
        uint64_t finds = 0, kinds[2] = {0, 0};
        std::string verdicts;
        for (size_t v = 0; v < verdict_count; v++) {
            finds += row_total[v][0] + row_total[v][1];
            kinds[0] += row_total[v][0];
            kinds[1] += row_total[v][1];
            if (row_total[v][0] + row_total[v][1] > 0)
                verdicts += ", " + grouped(row_total[v][0] + row_total[v][1]) + " " + styles[v].counted;
        }
        std::string caption = r + 1 == max_rows ? fmt("depth %zu and deeper: ", r) : fmt("depth %zu: ", r);
        caption += counted(finds, "find", "finds") + " (" + counted(kinds[0], "tagged file", "tagged files") + ", " +
                   counted(kinds[1], "container", "containers") + ")" + verdicts + "; at most " + grouped(row_most) +
                   " in a column of " + grouped(col_bytes) + " bytes" + human_size(col_bytes);
        o += fmt("<text class=\"counts\" x=\"%g\" y=\"%g\" font-size=\"11\" fill=\"%s\">", margin,
                 y + strip_height + 12, soft) +
             caption + "</text>\n</g>\n";
    }
    height = static_cast<double>(rows) * strip_row_height;
    return o;
}

std::string picture::svg() const
{
    const double height = bottom_ + 8;
    std::string o = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    o += fmt("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%g\" height=\"%g\" "
             "viewBox=\"0 0 %g %g\" font-family=\"sans-serif\" font-size=\"12\" fill=\"%s\">\n",
             page_width, height, page_width, height, ink);
    o += "<title>velkor scan</title>\n";
    o += fmt("<rect width=\"%g\" height=\"%g\" fill=\"#ffffff\"/>\n", page_width, height);
    o += "<g class=\"legend\">\n";
    double x = margin;
    for (const style &s : styles) {
        o += fmt("<rect x=\"%g\" y=\"10\" width=\"14\" height=\"14\" fill=\"%s\" stroke=\"%s\"%s/>\n", x, s.fill,
                 s.stroke, s.dash != nullptr ? " fill-opacity=\"0.45\" stroke-dasharray=\"3 2\"" : "");
        o += fmt("<text x=\"%g\" y=\"22\">%s</text>\n", x + 20, s.legend);
        x += 40 + 6.5 * static_cast<double>(std::char_traits<char>::length(s.legend));
    }
    // The two kinds, as their spans tell them apart.
    o += fmt("<rect x=\"%g\" y=\"10\" width=\"14\" height=\"14\" fill=\"%s\"/>\n", x, soft);
    o += fmt("<text x=\"%g\" y=\"22\">tagged file</text>\n", x + 20);
    x += 40 + 6.5 * 11;
    o += fmt("<rect x=\"%g\" y=\"10\" width=\"14\" height=\"14\" fill=\"%s\"/>\n", x, soft);
    o += fmt("<rect x=\"%g\" y=\"15\" width=\"14\" height=\"4\" fill=\"#ffffff\" fill-opacity=\"0.85\"/>\n", x);
    o += fmt("<text x=\"%g\" y=\"22\">container (striped)</text>\n", x + 20);
    o += fmt("<text x=\"%g\" y=\"40\" font-size=\"11\" fill=\"%s\">Offsets in hex: a find's first byte and the "
             "byte after its last.  A find's row is its nesting depth: a find inside another sits one row "
             "below it.</text>\n",
             margin, soft);
    o += "</g>\n";
    return o + body_ + "</svg>\n";
}

} // namespace velkor_map
