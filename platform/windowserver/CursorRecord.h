// The cursor as the window server keeps it. Framebuffers with a hardware cursor are handed a
// pointer to this record on every image change (they only store it) and the image's place
// on their display on every move, show, hide, layout or mode change.
#pragma once

#include "platform/coregraphics/CGGeometry.h"

#include <cmath>
#include <cstdint>

namespace windowserver {

struct CursorRecord {
    cg::CGPoint location; // CG global points
    cg::CGPoint hotSpot;  // inside the image, in its points
    cg::CGSize size;
    uint32_t hideCount = 0;
    uint32_t seed = 1; // changes with every image change, skipping 0
};

struct CursorPlacement {
    int32_t x = 0; // the image's top-left in display pixels
    int32_t y = 0;
    bool visible = false;
};

// Where the cursor image sits on a display of these bounds and backing scale: visible only
// when nothing hides it and its location lies on the display (half-open bounds).
inline CursorPlacement cursorPlacement(const CursorRecord& cursor, const cg::CGRect& bounds, double scale) {
    auto pixel = [scale](double points) {
        double p = std::floor(points * scale);
        if (p < INT32_MIN) return INT32_MIN;
        if (p > INT32_MAX) return INT32_MAX;
        return static_cast<int32_t>(p);
    };
    CursorPlacement placement;
    placement.x = pixel(cursor.location.x - cursor.hotSpot.x - bounds.origin.x);
    placement.y = pixel(cursor.location.y - cursor.hotSpot.y - bounds.origin.y);
    placement.visible = cursor.hideCount == 0 && cg::CGRectContainsPoint(bounds, cursor.location);
    return placement;
}

} // namespace windowserver
