#include "platform/appkit/NSImageView.h"

#include "platform/appkit/NSColor.h"
#include "platform/appkit/NSGraphicsContext.h"

#include <algorithm>

namespace appkit {

NSImageView::NSImageView(cg::CGRect frame) : NSControl(frame) {}

std::shared_ptr<NSImageView> NSImageView::imageViewWithImage(const std::shared_ptr<NSImage>& image) {
    cg::CGSize size = image ? image->size() : cg::CGSizeMake(0, 0);
    auto view = std::make_shared<NSImageView>(cg::CGRectMake(0, 0, size.width, size.height));
    view->setImage(image);
    return view;
}

void NSImageView::setImage(std::shared_ptr<NSImage> image) {
    m_image = std::move(image);
    setNeedsDisplay(true);
}

void NSImageView::setImageScaling(NSImageScaling scaling) {
    m_scaling = scaling;
    setNeedsDisplay(true);
}

void NSImageView::setImageAlignment(NSImageAlignment alignment) {
    m_alignment = alignment;
    setNeedsDisplay(true);
}

void NSImageView::setImageFrameStyle(NSImageFrameStyle style) {
    m_frameStyle = style;
    setNeedsDisplay(true);
}

cg::CGRect NSImageView::imageRect() const {
    const cg::CGRect b = bounds();
    if (!m_image) return cg::CGRectNull;
    const cg::CGSize size = m_image->size();
    if (size.width <= 0 || size.height <= 0) return cg::CGRectNull;
    double w = size.width, h = size.height;
    switch (m_scaling) {
    case NSImageScaleAxesIndependently:
        return b;
    case NSImageScaleNone:
        break;
    case NSImageScaleProportionallyDown:
    case NSImageScaleProportionallyUpOrDown: {
        double scale = std::min(b.size.width / w, b.size.height / h);
        if (m_scaling == NSImageScaleProportionallyDown) scale = std::min(scale, 1.0);
        w *= scale, h *= scale;
        break;
    }
    }
    // Horizontal and vertical placement: 0 start, 1 middle, 2 end (y up: the bottom is the start).
    int across = 1, up = 1;
    switch (m_alignment) {
    case NSImageAlignCenter:
        break;
    case NSImageAlignTop:
        up = 2;
        break;
    case NSImageAlignTopLeft:
        up = 2, across = 0;
        break;
    case NSImageAlignTopRight:
        up = 2, across = 2;
        break;
    case NSImageAlignLeft:
        across = 0;
        break;
    case NSImageAlignBottom:
        up = 0;
        break;
    case NSImageAlignBottomLeft:
        up = 0, across = 0;
        break;
    case NSImageAlignBottomRight:
        up = 0, across = 2;
        break;
    case NSImageAlignRight:
        across = 2;
        break;
    }
    if (isFlipped()) up = 2 - up;
    return cg::CGRectMake(b.origin.x + (b.size.width - w) * across / 2,
                          b.origin.y + (b.size.height - h) * up / 2, w, h);
}

void NSImageView::drawRect(cg::CGRect) {
    if (m_frameStyle != NSImageFrameNone) {
        NSColor::grayColor()->setFill();
        NSFrameRect(bounds());
    }
    cg::CGRect rect = imageRect();
    if (m_image && !cg::CGRectIsNull(rect))
        m_image->drawInRect(rect, cg::CGRectZero, NSCompositingOperationSourceOver, alphaValue());
}

} // namespace appkit
