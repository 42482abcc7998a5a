// SPDX-License-Identifier: MIT
// map.h - a picture of scanned images: an SVG document with one band per
// image and one span per find, for `velkor scan --map`.
//
// Each image is a horizontal band as wide as the picture.  A find's row is
// its nesting depth and nothing else: a find that no verified find encloses
// is a span on the band, one inside it a span on the row below, and so on.
// Spans are coloured by verdict, a container's span carries a pale stripe
// along its middle where a tagged file's is solid, and each span has at
// least a few pixels of width however small the find.  Offsets are written
// below the spans where they fit, and left out where they would collide.
// Past a few hundred finds on an image, or finds nested too deep for a row
// each, the image is drawn as a density strip per depth instead: columns
// whose heights follow how many finds start in them, with the counts
// written out.  The document is self-contained: no scripts, no external
// fonts or images.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace velkor_map {

// A container that does not open with the key given may be sound (the key
// may be another), so it is told apart from damage, as the page does.
enum class verdict { verified, no_key, not_opened, damaged };
constexpr size_t verdict_count = 4;

struct mark {
    uint64_t offset = 0;
    uint64_t length = 0;  // bytes from the first to the last
    bool container = false;
    verdict state = verdict::verified;
    bool inside_valid = false;
    uint64_t inside = 0;  // offset of the innermost enclosing verified find
    std::string what;     // a line describing the find, shown on hover
};

class picture {
public:
    // Starts the band of an image; `name` is shown as it is given (the
    // caller quotes it for people; XML escaping is done here).
    void begin_image(const std::string &name);
    // Adds a find of the current image.  Finds come in order of offset, so
    // that a find's enclosing find has come before it.  Memory stays small
    // whatever the image holds: a few hundred finds are kept to be drawn
    // one by one, past that they are only counted.
    void add(const mark &m);
    // Ends the current image, which held `size` bytes, and draws it.
    void end_image(uint64_t size);

    // The whole document.
    std::string svg() const;

private:
    // Counts by verdict and by kind (tagged file, container).
    using tally = std::array<std::array<uint64_t, 2>, verdict_count>;
    struct placed {
        uint64_t offset, length;
        size_t depth;
        verdict state;
        bool container;
        std::string what;
    };
    struct enclosing {
        uint64_t end;
        size_t depth;
    };
    struct image {
        std::string name;
        uint64_t finds = 0;
        size_t deepest = 0;
        std::vector<placed> marks;          // while drawn one by one
        const char *density = nullptr;      // why the finds are counted instead
        uint64_t bin_width = 1;             // bytes per counting bin, a power of two
        std::vector<std::vector<tally>> bins; // per depth row, then per bin
        // Verified finds that may still enclose a later find, by offset,
        // and the same by where they end, to forget them once passed.
        std::map<uint64_t, enclosing> open;
        std::multimap<uint64_t, uint64_t> open_by_end;
    };
    static void count(image &im, const placed &p);
    static void widen(image &im);
    std::string draw_finds(const image &im, double band_y, uint64_t size, double &height) const;
    std::string draw_density(image &im, double band_y, uint64_t size, double &height) const;

    image current_;
    std::string body_; // the images drawn so far
    double bottom_ = 48; // below the legend
};

} // namespace velkor_map
