// An owning wrapper around pixman's 16-bit region, plus the conversions between
// Core Graphics rectangles and the region's 16-bit boxes.
#pragma once

#include "platform/coregraphics/CGGeometry.h"

#include <pixman.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace regions {

// Truncates toward zero to 32 bits and keeps the low 16, so coordinates outside
// -32768...32767 wrap. Answers nothing for a value no 32-bit integer can hold.
std::optional<int16_t> truncateToInt16(double value);

// The box of a rectangle: x1 and x2 from minX and maxX as they convert, y1 and y2 the
// smaller and the larger converted y. Answers nothing for a rectangle without area; a
// rectangle whose box would be inverted or whose coordinates are not finite is refused
// with a log line, since pixman would take such a box for corrupt storage.
std::optional<pixman_box16_t> boxFromRect(cg::CGRect rect);
std::optional<pixman_box16_t> boxFromEdges(double minX, double minY, double maxX, double maxY);
cg::CGRect rectFromBox(const pixman_box16_t& box);

class PixmanRegion {
public:
    PixmanRegion();
    explicit PixmanRegion(const pixman_box16_t& box);
    explicit PixmanRegion(const std::vector<pixman_box16_t>& boxes);
    PixmanRegion(const PixmanRegion& other);
    PixmanRegion(PixmanRegion&& other) noexcept;
    PixmanRegion& operator=(PixmanRegion other) noexcept;
    ~PixmanRegion();

    void unionBox(const pixman_box16_t& box);
    void unionRegion(const PixmanRegion& other);
    void subtract(const PixmanRegion& other);
    pixman_region_overlap_t contains(const pixman_box16_t& box) const;

    std::vector<pixman_box16_t> boxes() const; // in the region's band order
    uint64_t boxCount() const;
    bool isEmpty() const { return boxCount() == 0; }

private:
    pixman_region16_t m_region;
};

} // namespace regions
