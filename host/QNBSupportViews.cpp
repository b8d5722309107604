#include "host/QNBSupportViews.h"

#include "platform/appkit/NSBezierPath.h"
#include "platform/appkit/NSGradient.h"
#include "platform/appkit/NSGraphicsContext.h"
#include "platform/core/Log.h"

#include <cmath>

namespace host {

using appkit::NSColor;

// ---- QNBTesselSubListingView

QNBTesselSubListingView::QNBTesselSubListingView(cg::CGRect frame)
    : NSView(frame), m_borderColor(NSColor::colorWithCalibratedWhite(0.5, 0.5)),
      m_backgroundColor(NSColor::colorWithCalibratedRed(0.975, 0.975, 0.98, 1.0)) {}

void QNBTesselSubListingView::drawRect(cg::CGRect) {
    if (m_backgroundColor) {
        m_backgroundColor->setFill();
        appkit::NSRectFill(bounds());
    }
    if (!m_borderColor) return;
    // Top, right, bottom, left: the outline of the frame's size.
    const double w = frame().size.width, h = frame().size.height;
    auto outline = appkit::NSBezierPath::bezierPath();
    outline->moveToPoint(cg::CGPointMake(0, h));
    outline->lineToPoint(cg::CGPointMake(w, h));
    outline->lineToPoint(cg::CGPointMake(w, 0));
    outline->lineToPoint(cg::CGPointMake(0, 0));
    outline->closePath();
    m_borderColor->setStroke();
    outline->stroke();
}

// ---- QNBGradientView

QNBGradientView::QNBGradientView(cg::CGRect frame)
    : NSView(frame), m_startColor(NSColor::colorWithCalibratedRed(0.0, 0.651, 0.867, 0.3)),
      m_endColor(NSColor::colorWithCalibratedRed(0.008, 0.165, 0.257, 0.3)) {}

void QNBGradientView::setStartColor(std::shared_ptr<NSColor> color) {
    m_startColor = std::move(color);
    setNeedsDisplay(true);
}

void QNBGradientView::setEndColor(std::shared_ptr<NSColor> color) {
    m_endColor = std::move(color);
    setNeedsDisplay(true);
}

void QNBGradientView::drawRect(cg::CGRect) {
    auto gradient = appkit::NSGradient::initWithStartingColor(m_startColor, m_endColor);
    if (!gradient) return; // a colour is missing
    const cg::CGRect b = bounds();
    if (!m_drawRadial) {
        gradient->drawInRect(b, m_angle);
        return;
    }
    const cg::CGPoint centre = cg::CGPointMake(b.origin.x + b.size.width / 2, b.origin.y + b.size.height / 2);
    const double outer = std::hypot(b.size.width, b.size.height) / 2 * m_outerRadiusMultiplier;
    gradient->drawFromCenter(centre, m_innerRadius, centre, outer,
                             appkit::NSGradientDrawsBeforeStartingLocation |
                                 appkit::NSGradientDrawsAfterEndingLocation);
}

// ---- QNBBackgroundView

void QNBBackgroundView::setBackgroundColor(std::shared_ptr<NSColor> color) {
    m_backgroundColor = std::move(color);
    setNeedsDisplay(true);
}

void QNBBackgroundView::drawRect(cg::CGRect dirtyRect) {
    if (!m_backgroundColor) return;
    m_backgroundColor->setFill();
    appkit::NSRectFill(dirtyRect);
}

// ---- QNBImageView

void QNBImageView::setImage(std::shared_ptr<appkit::NSImage> image) {
    m_image = std::move(image);
    m_bitmap = nullptr;
    if (m_image) {
        auto tiff = m_image->TIFFRepresentation();
        auto rep = tiff ? appkit::NSBitmapImageRep::imageRepWithData(*tiff) : nullptr;
        if (rep) m_bitmap = appkit::detail::CGImageOfRepresentation(*rep);
    }
    setNeedsDisplay(true);
}

bool QNBImageView::setCgImageWithPNGPath(const std::string& path) {
    auto picture = appkit::NSImage::initWithContentsOfFile(path);
    auto rep = picture ? picture->bestRepresentationForDevice() : nullptr;
    cg::CGImageRef bitmap = rep ? appkit::detail::CGImageOfRepresentation(*rep) : nullptr;
    if (!bitmap) {
        platform::log("QNBImageView: no picture from %s; the view is unchanged", path);
        return false;
    }
    m_bitmap = std::move(bitmap);
    setNeedsDisplay(true);
    return true;
}

void QNBImageView::drawRect(cg::CGRect) {
    if (!m_bitmap) return;
    auto context = appkit::NSGraphicsContext::currentContext();
    if (!context) return;
    cg::CGContextDrawImage(context->CGContext(), bounds(), m_bitmap);
}

// ---- QNBRecessedButton

void QNBRecessedButton::setImage(std::shared_ptr<appkit::NSImage> image) {
    if (image) image->setTemplate(true);
    NSButton::setImage(std::move(image));
}

void QNBRecessedButton::awakeFromNib() {
    if (auto current = image()) current->setTemplate(true);
}

} // namespace host
