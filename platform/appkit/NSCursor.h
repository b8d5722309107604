// Cursors: an image and a hot spot. `set` makes the cursor the system cursor in the window
// server (the cursor seed changes); any thread may read a cursor, `set` belongs to the main
// thread.
#pragma once

#include "platform/appkit/NSImage.h"
#include "platform/coregraphics/CGGeometry.h"

#include <memory>
#include <optional>

namespace appkit {

class NSCursor {
  public:
    NSCursor(std::shared_ptr<NSImage> image, cg::CGPoint hotSpot);
    // initWithImage:hotSpot:; null without an image.
    static std::shared_ptr<NSCursor> initWithImage(std::shared_ptr<NSImage> image, cg::CGPoint hotSpot);

    static std::shared_ptr<NSCursor> arrowCursor();
    static std::shared_ptr<NSCursor> IBeamCursor();

    const std::shared_ptr<NSImage>& image() const { return m_image; }
    cg::CGPoint hotSpot() const { return m_hotSpot; }

    // Sends the first representation (8-bit RGBA or BGRA bitmaps) and the hot spot to the
    // window server; answers whether it took them.
    bool set() const;

  private:
    std::shared_ptr<NSImage> m_image;
    cg::CGPoint m_hotSpot;
    // The window server's own image, for the built-in cursors.
    std::optional<int32_t> m_systemCursor;
};

} // namespace appkit
