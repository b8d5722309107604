// Reading the cursor the window server currently shows, whatever application set it, with its
// hot spot, and telling the invisible cursor apart.
#pragma once

#include "platform/coregraphics/CGGeometry.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace appkit {
class NSCursor;
}

namespace display {

class NSCursorTSEPrivate {
  public:
    // A new cursor of the current system cursor, or null when the window server's data cannot
    // be read or is not 32-bit BGRA of a sane size.
    static std::shared_ptr<appkit::NSCursor> tseCurrentSystemCursor();
    // The hot spot of the cursor last read.
    static cg::CGPoint tseHotSpot();
    // YES when the cursor is the invisible one (its image's PNG equals the stored reference).
    static bool isInvisible(const appkit::NSCursor& cursor);
    // YES when the cursor seed changed since the last call.
    static bool cursorImageUpdated();

    // Whether the window server's cursor data may be used: depth 32, four 8-bit components,
    // sides of 1 to 1024, rows of at least 4 × width bytes, and at least rowBytes × height bytes.
    static bool cursorDataIsUsable(double width, double height, int32_t rowBytes, int32_t depth,
                                   int32_t components, int32_t bitsPerComponent, int64_t bytesRead);

    // The stored PNG of the invisible cursor's image.
    static const std::vector<uint8_t>& invisibleCursorReferencePNG();
};

} // namespace display
