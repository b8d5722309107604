// A region of changed screen area in 16-bit boxes. Added boxes are kept aside and merged
// into the canonical banded form only when the region is next queried, so that a burst of
// additions costs one validation. Every operation locks the object.
#pragma once

#include "regions/PixmanRegion.h"
#include "regions/QNRect.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace regions {

class UpdatedRectangles {
public:
    UpdatedRectangles() = default;
    UpdatedRectangles(const UpdatedRectangles&) = delete;
    UpdatedRectangles& operator=(const UpdatedRectangles&) = delete;

    // Merges the boxes added since the last validation into the region.
    void validateRect();
    void addRectangle(cg::CGRect rect);
    // Union with a region's boxes, validated lazily like addRectangle.
    void addRegion(const PixmanRegion& region);
    // Union with other's region; a null other changes nothing.
    void mergeWithRectangles(UpdatedRectangles* other);
    // This region minus other's; a null other changes nothing.
    void subtractFromRectangles(UpdatedRectangles* other);
    void cleanRectangle(cg::CGRect rect);
    // 1.0 when the rectangle's box lies wholly in the region, 0.8 partly, 0.0 outside.
    double containsRect(cg::CGRect rect);
    // Boxes held, counting those not yet validated.
    uint64_t count() const;
    // One QNRect per box, in the region's band order.
    std::vector<QNRect> newArrayOfRectangles();
    // A new region holding this one's area, marked for validation.
    std::shared_ptr<UpdatedRectangles> copy();

    // The validated region, by value.
    PixmanRegion regionData();
    void setRegionData(const PixmanRegion& region);
    // The validated region the object holds (never null); valid until the region next changes.
    const PixmanRegion* region();
    // The region becomes a copy of *region, or the empty region for null.
    void setRegion(const PixmanRegion* region);
    bool needsValidation() const;
    void setNeedsValidation(bool needsValidation);
    bool isEmpty();

private:
    void validateLocked();
    void appendBoxesLocked(const std::vector<pixman_box16_t>& boxes);

    mutable std::recursive_mutex m_lock;
    PixmanRegion m_regionData;
    std::vector<pixman_box16_t> m_appended; // added since the last validation
    bool m_needsValidation = false;
};

} // namespace regions
