// map.h - a picture of scanned images: an SVG document with one band per
// image and one span per find, for `velkor scan --map`.
//
// Each image is a horizontal band as wide as the picture.  A find that no
// other find encloses is a span on the band; a find inside another sits on
// a row below its enclosing find's, and finds that would overlap (with
// their offsets) take further rows.  Spans are coloured by verdict, carry
// their start and end offsets in hex, and at least a few pixels of width
// however small the find.  The document is self-contained: no scripts, no
// external fonts or images.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velkor_map {

enum class verdict { verified, no_key, damaged };

struct mark {
    uint64_t offset = 0;
    uint64_t length = 0;  // bytes from the first to the last
    bool container = false;
    verdict state = verdict::verified;
    bool inside_valid = false;
    uint64_t inside = 0;  // offset of the enclosing verified find
    std::string what;     // a line describing the find, shown on hover
};

class picture {
public:
    // Starts the band of an image; `name` is shown as it is given (the
    // caller quotes it for people; XML escaping is done here).
    void begin_image(const std::string &name);
    // Adds a find of the current image; finds come in order of offset.
    // Past a few thousand finds an image's further finds are counted, not
    // drawn, so memory stays small whatever the image holds.
    void add(const mark &m);
    // Ends the current image, which held `size` bytes.
    void end_image(uint64_t size);

    // The whole document.
    std::string svg() const;

private:
    struct image {
        std::string name;
        std::vector<mark> marks;
        uint64_t not_drawn = 0;
        uint64_t size = 0;
    };
    std::string draw(const image &im, double top, double &height) const;

    std::vector<image> images_;
};

} // namespace velkor_map
