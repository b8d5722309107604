#include "regions/UpdatedRectangles.h"

namespace regions {

using namespace cg;

namespace {
// Answers of containsRect for a box that is in, partly in, or out of the region.
constexpr double kContainedWhole = 1.0;
constexpr double kContainedPart = 0.8;
constexpr double kContainedNone = 0.0;
} // namespace

void UpdatedRectangles::validateRect() {
    std::lock_guard guard(m_lock);
    validateLocked();
}

void UpdatedRectangles::validateLocked() {
    // Appended boxes are merged even when the flag was cleared from outside, so that no
    // added area is ever lost.
    if (!m_appended.empty()) {
        m_regionData.unionRegion(PixmanRegion(m_appended));
        m_appended.clear();
    }
    m_needsValidation = false;
}

void UpdatedRectangles::appendBoxesLocked(const std::vector<pixman_box16_t>& boxes) {
    m_appended.insert(m_appended.end(), boxes.begin(), boxes.end());
    m_needsValidation = true;
}

void UpdatedRectangles::addRectangle(CGRect rect) {
    std::lock_guard guard(m_lock);
    validateLocked();
    if (auto box = boxFromRect(rect)) appendBoxesLocked({*box});
}

void UpdatedRectangles::addRegion(const PixmanRegion& region) {
    const std::vector<pixman_box16_t> boxes = region.boxes();
    std::lock_guard guard(m_lock);
    validateLocked();
    appendBoxesLocked(boxes);
}

void UpdatedRectangles::mergeWithRectangles(UpdatedRectangles* other) {
    if (!other) return;
    // The argument's boxes are read under its own lock alone, so that two regions merged
    // into each other from two threads cannot deadlock.
    const std::vector<pixman_box16_t> boxes = other->regionData().boxes();
    std::lock_guard guard(m_lock);
    appendBoxesLocked(boxes);
}

void UpdatedRectangles::subtractFromRectangles(UpdatedRectangles* other) {
    if (!other) return;
    const PixmanRegion subtrahend = other->regionData();
    std::lock_guard guard(m_lock);
    validateLocked();
    m_regionData.subtract(subtrahend);
    m_needsValidation = true;
}

void UpdatedRectangles::cleanRectangle(CGRect rect) {
    std::lock_guard guard(m_lock);
    validateLocked();
    if (auto box = boxFromRect(rect)) m_regionData.subtract(PixmanRegion(*box));
    m_needsValidation = true;
}

double UpdatedRectangles::containsRect(CGRect rect) {
    std::lock_guard guard(m_lock);
    validateLocked();
    const auto box = boxFromRect(rect);
    if (!box) return kContainedNone;
    switch (m_regionData.contains(*box)) {
    case PIXMAN_REGION_IN: return kContainedWhole;
    case PIXMAN_REGION_PART: return kContainedPart;
    default: return kContainedNone;
    }
}

uint64_t UpdatedRectangles::count() const {
    std::lock_guard guard(m_lock);
    return m_regionData.boxCount() + m_appended.size();
}

std::vector<QNRect> UpdatedRectangles::newArrayOfRectangles() {
    std::vector<QNRect> rects;
    for (const pixman_box16_t& box : regionData().boxes()) rects.emplace_back(rectFromBox(box));
    return rects;
}

std::shared_ptr<UpdatedRectangles> UpdatedRectangles::copy() {
    auto copy = std::make_shared<UpdatedRectangles>();
    PixmanRegion region = regionData();
    std::lock_guard guard(copy->m_lock);
    copy->m_regionData = std::move(region);
    copy->m_needsValidation = true;
    return copy;
}

PixmanRegion UpdatedRectangles::regionData() {
    std::lock_guard guard(m_lock);
    validateLocked();
    return m_regionData;
}

void UpdatedRectangles::setRegionData(const PixmanRegion& region) {
    std::lock_guard guard(m_lock);
    m_regionData = region;
    m_appended.clear();
}

const PixmanRegion* UpdatedRectangles::region() {
    std::lock_guard guard(m_lock);
    validateLocked();
    return &m_regionData;
}

void UpdatedRectangles::setRegion(const PixmanRegion* region) {
    setRegionData(region ? *region : PixmanRegion());
}

bool UpdatedRectangles::needsValidation() const {
    std::lock_guard guard(m_lock);
    return m_needsValidation;
}

void UpdatedRectangles::setNeedsValidation(bool needsValidation) {
    std::lock_guard guard(m_lock);
    m_needsValidation = needsValidation;
}

bool UpdatedRectangles::isEmpty() { return regionData().isEmpty(); }

} // namespace regions
