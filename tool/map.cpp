// The SVG picture of `velkor scan --map`; see map.h.
//
// Sizes are chosen for a page 1,200 pixels wide: 11-pixel monospace for
// offsets (about 6.6 pixels a character), so the widths of the labels are
// known without measuring text, which is what the layout needs.
//
// A find's row says how it nests: the band for a find no other encloses,
// the row below its enclosing find's for one inside.  Only finds whose
// spans overlap (a damaged candidate over a sound one, say) push each other
// to further rows.  Offsets go on one of two lines below the row's spans,
// whichever has room; where neither has, they are left out, and the span's
// tooltip still gives them.
#include "map.h"
#include "text.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <map>

namespace velkor_map {
namespace {

constexpr double page_width = 1200;
constexpr double margin = 24;
constexpr double band_width = page_width - 2 * margin;
constexpr double bar_height = 18;
constexpr int label_lines = 2;      // lines for offsets below each row
constexpr double row_height = bar_height + label_lines * 12 + 6;
constexpr double min_span = 3;         // narrower finds are drawn this wide
constexpr double char_width = 6.7;     // 11 px monospace, with room to spare
constexpr double label_gap = 8;        // between labels on one row
constexpr int max_rows = 24;           // per image; later finds overlap
constexpr size_t max_marks = 4000;     // per image; later ones are counted

struct style {
    const char *cls, *fill, *stroke, *dash, *legend;
};
const style styles[] = {
    {"verified", "#1f6fb4", "#0b3d66", nullptr, "verified"},
    {"nokey", "#f2b705", "#8a6800", nullptr, "container, not verified: no key"},
    {"damaged", "#c8102e", "#6e0818", "3 2", "damaged: CRC mismatch, truncated, wrong key"},
};

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

} // namespace

void picture::begin_image(const std::string &name)
{
    images_.push_back({name, {}, 0, 0});
}

void picture::add(const mark &m)
{
    image &im = images_.back();
    if (im.marks.size() < max_marks)
        im.marks.push_back(m);
    else
        im.not_drawn++;
}

void picture::end_image(uint64_t size) { images_.back().size = size; }

// One image: its title, its band and its finds, from `top` down.
std::string picture::draw(const image &im, double top, double &height) const
{
    using velkor_text::xml_text;
    std::string o = fmt("<g class=\"image\" data-size=\"%" PRIu64 "\">\n", im.size);
    std::string title = xml_text(im.name) + " \xe2\x80\x94 " + grouped(im.size) + " bytes" +
                        human_size(im.size) + " \xe2\x80\x94 " + grouped(im.marks.size() + im.not_drawn) +
                        (im.marks.size() + im.not_drawn == 1 ? " find" : " finds");
    if (im.not_drawn > 0)
        title += ", " + grouped(im.not_drawn) + " past the first " + grouped(max_marks) + " not drawn";
    o += fmt("<text x=\"%g\" y=\"%g\" font-size=\"14\" font-weight=\"bold\">", margin, top + 15) +
          title + "</text>\n";
    const double band_y = top + 24;
    o += fmt("<rect class=\"band\" x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\" fill=\"#e9ecef\" "
             "stroke=\"#868e96\"/>\n",
             margin, band_y, band_width, bar_height);

    const auto x_of = [&](uint64_t off) {
        if (im.size == 0)
            return margin;
        return margin + band_width * (static_cast<double>(off) / static_cast<double>(im.size));
    };
    // Per row, how far spans and each line of offsets reach so far.
    std::vector<double> bar_right(max_rows, -1e9);
    std::vector<std::array<double, label_lines>> label_right(max_rows);
    for (auto &l : label_right)
        l.fill(-1e9);
    std::map<uint64_t, int> row_of;             // verified finds, by offset
    int rows_used = 1;
    for (const mark &m : im.marks) {
        double x0 = x_of(m.offset);
        // A truncated find claims bytes past the image's end.
        const double x1 = std::min(x_of(m.offset + m.length), margin + band_width);
        double w = std::max(x1 - x0, min_span);
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

        // The first row at or below the enclosing find's where the span
        // fits; if none, the least covered one.
        int min_row = 0;
        if (m.inside_valid) {
            const auto p = row_of.find(m.inside);
            min_row = p == row_of.end() ? 1 : p->second + 1;
        }
        min_row = std::min(min_row, max_rows - 1);
        int row = -1;
        for (int r = min_row; r < max_rows && row < 0; r++)
            if (bar_right[static_cast<size_t>(r)] < x0)
                row = r;
        if (row < 0)
            row = static_cast<int>(std::min_element(bar_right.begin() + min_row, bar_right.end()) -
                                   bar_right.begin());
        const auto r = static_cast<size_t>(row);
        bar_right[r] = std::max(bar_right[r], x0 + w);
        int line = -1;
        for (int l = 0; l < label_lines && line < 0; l++)
            if (label_right[r][static_cast<size_t>(l)] + label_gap <= left)
                line = l;
        const bool labels = line >= 0;
        if (labels)
            label_right[r][static_cast<size_t>(line)] = rightmost;
        rows_used = std::max(rows_used, row + 1);
        if (m.state == verdict::verified)
            row_of[m.offset] = row;

        const style &s = style_of(m.state);
        const double y = band_y + row * row_height;
        o += fmt("<rect class=\"span %s\" data-offset=\"%" PRIu64 "\" data-length=\"%" PRIu64
                 "\" x=\"%.2f\" y=\"%g\" width=\"%.2f\" height=\"%g\" fill=\"%s\" stroke=\"%s\"",
                 s.cls, m.offset, m.length, x0, y, w, bar_height, s.fill, s.stroke);
        if (s.dash != nullptr)
            o += fmt(" stroke-dasharray=\"%s\"", s.dash);
        o += "><title>" + xml_text(m.what) + "</title></rect>\n";
        if (!labels)
            continue;
        const double ty = y + bar_height + 11 + 12 * line;
        if (wide) {
            o += fmt("<text x=\"%.2f\" y=\"%g\" font-family=\"monospace\" font-size=\"11\">%s</text>\n",
                     x0, ty, a.c_str());
            o += fmt("<text x=\"%.2f\" y=\"%g\" font-family=\"monospace\" font-size=\"11\" "
                     "text-anchor=\"end\">%s</text>\n",
                     x0 + w, ty, b.c_str());
        } else {
            o += fmt("<text x=\"%.2f\" y=\"%g\" font-family=\"monospace\" font-size=\"11\">%s</text>\n",
                     range_x, ty, range.c_str());
        }
    }
    o += "</g>\n";
    height = 24 + rows_used * row_height + 12;
    return o;
}

std::string picture::svg() const
{
    std::string body;
    double y = 48; // below the legend
    for (const image &im : images_) {
        double h = 0;
        body += draw(im, y, h);
        y += h;
    }
    const double height = y + 8;

    std::string o = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    o += fmt("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%g\" height=\"%g\" "
             "viewBox=\"0 0 %g %g\" font-family=\"sans-serif\" font-size=\"12\" fill=\"#212529\">\n",
             page_width, height, page_width, height);
    o += "<title>velkor scan</title>\n";
    o += fmt("<rect width=\"%g\" height=\"%g\" fill=\"#ffffff\"/>\n", page_width, height);
    o += "<g class=\"legend\">\n";
    double x = margin;
    for (const style &s : styles) {
        o += fmt("<rect x=\"%g\" y=\"10\" width=\"14\" height=\"14\" fill=\"%s\" stroke=\"%s\"%s/>\n", x,
                 s.fill, s.stroke, s.dash != nullptr ? " stroke-dasharray=\"3 2\"" : "");
        o += fmt("<text x=\"%g\" y=\"22\">%s</text>\n", x + 20, s.legend);
        x += 40 + 6.5 * static_cast<double>(std::char_traits<char>::length(s.legend));
    }
    o += fmt("<text x=\"%g\" y=\"40\" font-size=\"11\" fill=\"#495057\">Offsets in hex: a find's first "
             "byte and the byte after its last.  Finds inside others sit on rows below them.</text>\n",
             margin);
    o += "</g>\n";
    return o + body + "</svg>\n";
}

} // namespace velkor_map
