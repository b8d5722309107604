#include "regions/PixmanRegion.h"

#include "platform/core/Log.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace regions {

using namespace cg;

std::optional<int16_t> truncateToInt16(double value) {
    if (!std::isfinite(value)) return std::nullopt;
    const double truncated = std::trunc(value);
    if (truncated < -2147483648.0 || truncated > 2147483647.0) return std::nullopt;
    const auto wide = static_cast<int32_t>(truncated);
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(wide) & 0xFFFFu));
}

std::optional<pixman_box16_t> boxFromRect(CGRect rect) {
    if (CGRectIsNull(rect)) return std::nullopt;
    return boxFromEdges(CGRectGetMinX(rect), CGRectGetMinY(rect), CGRectGetMaxX(rect), CGRectGetMaxY(rect));
}

std::optional<pixman_box16_t> boxFromEdges(double minX, double minY, double maxX, double maxY) {
    const auto x1 = truncateToInt16(minX);
    const auto x2 = truncateToInt16(maxX);
    const auto ya = truncateToInt16(minY);
    const auto yb = truncateToInt16(maxY);
    if (!x1 || !x2 || !ya || !yb) {
        platform::log("Refused rectangle {%g, %g, %g, %g}: its coordinates do not fit a 16-bit box", minX, minY,
                      maxX, maxY);
        return std::nullopt;
    }
    pixman_box16_t box{*x1, std::min(*ya, *yb), *x2, std::max(*ya, *yb)};
    if (box.x1 > box.x2) {
        platform::log("Refused rectangle {%g, %g, %g, %g}: its 16-bit box is inverted", minX, minY, maxX, maxY);
        return std::nullopt;
    }
    if (box.x1 == box.x2 || box.y1 == box.y2) return std::nullopt;
    return box;
}

CGRect rectFromBox(const pixman_box16_t& box) {
    return CGRectMake(box.x1, box.y1, static_cast<double>(box.x2) - box.x1, static_cast<double>(box.y2) - box.y1);
}

namespace {
void check(pixman_bool_t ok, const char* operation) {
    if (!ok) platform::log("Region %@ failed: out of memory", operation);
}
} // namespace

PixmanRegion::PixmanRegion() { pixman_region_init(&m_region); }

PixmanRegion::PixmanRegion(const pixman_box16_t& box) {
    pixman_region_init_rect(&m_region, box.x1, box.y1, static_cast<unsigned>(box.x2 - box.x1),
                            static_cast<unsigned>(box.y2 - box.y1));
}

PixmanRegion::PixmanRegion(const std::vector<pixman_box16_t>& boxes) {
    // pixman takes the box array as writable although it only reads it.
    std::vector<pixman_box16_t> copy = boxes;
    check(pixman_region_init_rects(&m_region, copy.data(), static_cast<int>(copy.size())), "init");
}

PixmanRegion::PixmanRegion(const PixmanRegion& other) {
    pixman_region_init(&m_region);
    check(pixman_region_copy(&m_region, const_cast<pixman_region16_t*>(&other.m_region)), "copy");
}

PixmanRegion::PixmanRegion(PixmanRegion&& other) noexcept : m_region(other.m_region) {
    pixman_region_init(&other.m_region);
}

PixmanRegion& PixmanRegion::operator=(PixmanRegion other) noexcept {
    std::swap(m_region, other.m_region);
    return *this;
}

PixmanRegion::~PixmanRegion() { pixman_region_fini(&m_region); }

void PixmanRegion::unionBox(const pixman_box16_t& box) {
    check(pixman_region_union_rect(&m_region, &m_region, box.x1, box.y1, static_cast<unsigned>(box.x2 - box.x1),
                                   static_cast<unsigned>(box.y2 - box.y1)),
          "union");
}

void PixmanRegion::unionRegion(const PixmanRegion& other) {
    check(pixman_region_union(&m_region, &m_region, const_cast<pixman_region16_t*>(&other.m_region)), "union");
}

void PixmanRegion::subtract(const PixmanRegion& other) {
    check(pixman_region_subtract(&m_region, &m_region, const_cast<pixman_region16_t*>(&other.m_region)),
          "subtraction");
}

pixman_region_overlap_t PixmanRegion::contains(const pixman_box16_t& box) const {
    pixman_box16_t probe = box;
    return pixman_region_contains_rectangle(const_cast<pixman_region16_t*>(&m_region), &probe);
}

std::vector<pixman_box16_t> PixmanRegion::boxes() const {
    int n = 0;
    const pixman_box16_t* first = pixman_region_rectangles(const_cast<pixman_region16_t*>(&m_region), &n);
    if (!first || n <= 0) return {};
    return std::vector<pixman_box16_t>(first, first + n);
}

uint64_t PixmanRegion::boxCount() const {
    int n = 0;
    pixman_region_rectangles(const_cast<pixman_region16_t*>(&m_region), &n);
    return n > 0 ? static_cast<uint64_t>(n) : 0;
}

} // namespace regions
