#include "regions/MovedRectangles.h"

namespace regions {

using namespace cg;

MovedRectangles::MovedRectangles(const CGRect* rects, uint64_t count, CGPoint delta) : m_delta(delta) {
    std::vector<pixman_box16_t> destinations;
    if (rects) {
        m_rectangles.assign(rects, rects + count);
        destinations.reserve(count);
    }
    for (const CGRect& r : m_rectangles) {
        if (CGRectIsNull(r)) continue;
        if (auto box = boxFromEdges(CGRectGetMinX(r) + delta.x, CGRectGetMinY(r) + delta.y,
                                    CGRectGetMaxX(r) + delta.x, CGRectGetMaxY(r) + delta.y))
            destinations.push_back(*box);
    }
    m_regionData = PixmanRegion(destinations);
}

CGPoint MovedRectangles::delta() const {
    std::lock_guard guard(m_lock);
    return m_delta;
}

void MovedRectangles::setDelta(CGPoint delta) {
    std::lock_guard guard(m_lock);
    m_delta = delta;
}

std::vector<CGRect> MovedRectangles::rectangles() const {
    std::lock_guard guard(m_lock);
    return m_rectangles;
}

void MovedRectangles::setRectangles(std::vector<CGRect> rectangles) {
    std::lock_guard guard(m_lock);
    m_rectangles = std::move(rectangles);
}

bool MovedRectangles::removeRectangle(CGRect rect) {
    std::lock_guard guard(m_lock);
    for (auto it = m_rectangles.begin(); it != m_rectangles.end(); ++it) {
        if (it->origin.x == rect.origin.x && it->origin.y == rect.origin.y && it->size.width == rect.size.width &&
            it->size.height == rect.size.height) {
            m_rectangles.erase(it);
            return true;
        }
    }
    return false;
}

bool MovedRectangles::hasRectangles() const {
    std::lock_guard guard(m_lock);
    return !m_rectangles.empty();
}

std::optional<PixmanRegion> MovedRectangles::regionData() const {
    std::lock_guard guard(m_lock);
    return m_regionData;
}

void MovedRectangles::setRegionData(std::optional<PixmanRegion> region) {
    std::lock_guard guard(m_lock);
    m_regionData = std::move(region);
}

std::optional<PixmanRegion> MovedRectangles::takeRegion() {
    std::lock_guard guard(m_lock);
    std::optional<PixmanRegion> region = std::move(m_regionData);
    m_regionData.reset();
    return region;
}

const PixmanRegion* MovedRectangles::region() const {
    std::lock_guard guard(m_lock);
    return m_regionData ? &*m_regionData : nullptr;
}

void MovedRectangles::setRegion(const PixmanRegion* region) {
    setRegionData(region ? std::optional<PixmanRegion>(*region) : std::nullopt);
}

} // namespace regions
