// Image views: an image drawn by its scaling and alignment, optionally framed. Accessibility
// sees an AXImage described by the image's name.
#pragma once

#include "platform/appkit/NSControl.h"
#include "platform/appkit/NSImage.h"

namespace appkit {

enum NSImageScaling : uint32_t {
    NSImageScaleProportionallyDown = 0,
    NSImageScaleAxesIndependently = 1,
    NSImageScaleNone = 2,
    NSImageScaleProportionallyUpOrDown = 3,
};

enum NSImageAlignment : uint32_t {
    NSImageAlignCenter = 0,
    NSImageAlignTop = 1,
    NSImageAlignTopLeft = 2,
    NSImageAlignTopRight = 3,
    NSImageAlignLeft = 4,
    NSImageAlignBottom = 5,
    NSImageAlignBottomLeft = 6,
    NSImageAlignBottomRight = 7,
    NSImageAlignRight = 8,
};

enum NSImageFrameStyle : uint32_t {
    NSImageFrameNone = 0,
    NSImageFramePhoto = 1,
    NSImageFrameGrayBezel = 2,
    NSImageFrameGroove = 3,
    NSImageFrameButton = 4,
};

class NSImageView : public NSControl {
  public:
    explicit NSImageView(cg::CGRect frame = cg::CGRectZero);
    static std::shared_ptr<NSImageView> imageViewWithImage(const std::shared_ptr<NSImage>& image);

    std::shared_ptr<NSImage> image() const { return m_image; }
    void setImage(std::shared_ptr<NSImage> image);
    NSImageScaling imageScaling() const { return m_scaling; }
    void setImageScaling(NSImageScaling scaling);
    NSImageAlignment imageAlignment() const { return m_alignment; }
    void setImageAlignment(NSImageAlignment alignment);
    NSImageFrameStyle imageFrameStyle() const { return m_frameStyle; }
    void setImageFrameStyle(NSImageFrameStyle style);

    // Where the image lands in the bounds by the scaling and alignment (bounds space).
    cg::CGRect imageRect() const;
    void drawRect(cg::CGRect dirtyRect) override;
    // Clicks do nothing in an image view.
    void mouseDown(const NSEvent&) override {}
    void mouseUp(const NSEvent&) override {}

    std::string accessibilityRole() const override { return "AXImage"; }
    std::string accessibilityDescription() const override {
        return m_image ? m_image->name() : std::string();
    }

  private:
    std::shared_ptr<NSImage> m_image;
    NSImageScaling m_scaling = NSImageScaleProportionallyDown;
    NSImageAlignment m_alignment = NSImageAlignCenter;
    NSImageFrameStyle m_frameStyle = NSImageFrameNone;
};

} // namespace appkit
