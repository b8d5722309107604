// A block of rectangles that moved by one offset, with the region of their destinations.
// The region can be handed over to a later move, after which this block holds none.
#pragma once

#include "regions/PixmanRegion.h"

#include <mutex>
#include <optional>
#include <vector>

namespace regions {

class MovedRectangles {
public:
    MovedRectangles(const cg::CGRect* rects, uint64_t count, cg::CGPoint delta);
    MovedRectangles(const MovedRectangles&) = delete;
    MovedRectangles& operator=(const MovedRectangles&) = delete;

    cg::CGPoint delta() const;
    void setDelta(cg::CGPoint delta);
    std::vector<cg::CGRect> rectangles() const;
    void setRectangles(std::vector<cg::CGRect> rectangles);
    // Removes the first rectangle equal, field for field, to rect; false when none is.
    bool removeRectangle(cg::CGRect rect);
    bool hasRectangles() const;

    // The destinations' region; nothing once it was handed over.
    std::optional<PixmanRegion> regionData() const;
    void setRegionData(std::optional<PixmanRegion> region);
    // Gives this block's region to the caller and keeps none (regionData, then setRegion(nullptr),
    // in one step).
    std::optional<PixmanRegion> takeRegion();
    // The region the block holds, null once it gave it up. The pointer is valid until the
    // block's region is next set or taken.
    const PixmanRegion* region() const;
    // The block holds a copy of *region, or gives its region up for null.
    void setRegion(const PixmanRegion* region);

private:
    mutable std::recursive_mutex m_lock;
    cg::CGPoint m_delta;
    std::vector<cg::CGRect> m_rectangles;
    std::optional<PixmanRegion> m_regionData;
};

} // namespace regions
