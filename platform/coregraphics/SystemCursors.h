// The system's built-in cursor images, drawn in code: the arrow (the default; 11 pixels wide,
// so row padding shows), the I-beam and the invisible cursor. The window server and AppKit's
// cursors share them.
#pragma once

#include "platform/coregraphics/CGGeometry.h"

#include <cstdint>
#include <vector>

namespace cg {

enum class CGSSystemCursor : int32_t { arrow = 0, iBeam = 1, invisible = 2 };

// A 1x cursor image: points = pixels, B, G, R, A premultiplied, rows packed (4 × width).
struct CGSCursorImage {
    uint32_t width = 0;
    uint32_t height = 0;
    CGPoint hotSpot; // inside the image
    std::vector<uint8_t> pixels;

    bool isValid() const;
};

const CGSCursorImage& CGSSystemCursorImage(CGSSystemCursor cursor);

} // namespace cg
