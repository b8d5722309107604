// The small views the device listing is drawn with: a row's filled and outlined panel, a
// two-colour gradient, a plain colour, a bitmap drawn to the view's bounds and a button whose
// image is always a template. Main thread only.
#pragma once

#include "platform/appkit/NSButton.h"
#include "platform/appkit/NSColor.h"
#include "platform/appkit/NSImage.h"
#include "platform/appkit/NSView.h"

#include <memory>
#include <string>

namespace host {

// The interior background styles a view may ask of its content.
enum QNBBackgroundStyle : int64_t { QNBBackgroundStyleLight = 0, QNBBackgroundStyleDark = 1 };

// The front or back panel of a row: its bounds filled, the outline of its frame's size stroked.
class QNBTesselSubListingView : public appkit::NSView {
  public:
    explicit QNBTesselSubListingView(cg::CGRect frame = cg::CGRectZero);

    std::shared_ptr<appkit::NSColor> borderColor() const { return m_borderColor; }
    // The colours are only stored: the row redisplays when it changes its look.
    void setBorderColor(std::shared_ptr<appkit::NSColor> color) { m_borderColor = std::move(color); }
    std::shared_ptr<appkit::NSColor> backgroundColor() const { return m_backgroundColor; }
    void setBackgroundColor(std::shared_ptr<appkit::NSColor> color) { m_backgroundColor = std::move(color); }

    void drawRect(cg::CGRect dirtyRect) override;

  private:
    std::shared_ptr<appkit::NSColor> m_borderColor;
    std::shared_ptr<appkit::NSColor> m_backgroundColor;
};

// A linear gradient at an angle, or a radial one from an inner radius out to half the diagonal.
class QNBGradientView : public appkit::NSView {
  public:
    explicit QNBGradientView(cg::CGRect frame = cg::CGRectZero);

    std::shared_ptr<appkit::NSColor> startColor() const { return m_startColor; }
    void setStartColor(std::shared_ptr<appkit::NSColor> color);
    std::shared_ptr<appkit::NSColor> endColor() const { return m_endColor; }
    void setEndColor(std::shared_ptr<appkit::NSColor> color);
    double angle() const { return m_angle; }
    void setAngle(double degrees) { m_angle = degrees; }
    bool drawRadial() const { return m_drawRadial; }
    void setDrawRadial(bool radial) { m_drawRadial = radial; }
    double innerRadius() const { return m_innerRadius; }
    void setInnerRadius(double radius) { m_innerRadius = radius; }
    double outerRadiusMultiplier() const { return m_outerRadiusMultiplier; }
    void setOuterRadiusMultiplier(double multiplier) { m_outerRadiusMultiplier = multiplier; }
    bool allowsVibrancy() const { return true; }

    void drawRect(cg::CGRect dirtyRect) override;

  private:
    std::shared_ptr<appkit::NSColor> m_startColor;
    std::shared_ptr<appkit::NSColor> m_endColor;
    double m_angle = 95;
    bool m_drawRadial = true;
    double m_innerRadius = 10;
    double m_outerRadiusMultiplier = 1.0;
};

// One colour over the dirty rectangle; nothing without a colour.
class QNBBackgroundView : public appkit::NSView {
  public:
    using NSView::NSView;
    std::shared_ptr<appkit::NSColor> backgroundColor() const { return m_backgroundColor; }
    void setBackgroundColor(std::shared_ptr<appkit::NSColor> color);
    bool allowsVibrancy() const { return true; }
    QNBBackgroundStyle interiorBackgroundStyle() const { return QNBBackgroundStyleDark; }

    void drawRect(cg::CGRect dirtyRect) override;

  private:
    std::shared_ptr<appkit::NSColor> m_backgroundColor;
};

// One bitmap drawn scaled into the bounds; nothing without one.
class QNBImageView : public appkit::NSView {
  public:
    using NSView::NSView;
    std::shared_ptr<appkit::NSImage> image() const { return m_image; }
    // The image's bitmap goes through its TIFF form; an image without one leaves no bitmap.
    void setImage(std::shared_ptr<appkit::NSImage> image);
    // A PNG file's picture in place of the image's. A file that is missing, unreadable, corrupt or
    // too large changes nothing (logged); answers whether the bitmap was replaced.
    bool setCgImageWithPNGPath(const std::string& path);
    const cg::CGImageRef& bitmap() const { return m_bitmap; }

    void drawRect(cg::CGRect dirtyRect) override;

  private:
    std::shared_ptr<appkit::NSImage> m_image;
    cg::CGImageRef m_bitmap;
};

// A button whose image is always a template: marked when set and when the nib wakes.
class QNBRecessedButton : public appkit::NSButton {
  public:
    using NSButton::NSButton;
    void setImage(std::shared_ptr<appkit::NSImage> image) override;
    void awakeFromNib() override;
};

} // namespace host
