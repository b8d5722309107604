// Etched and embossed renderings of an image's shape: the shape filled with a vertical grey
// gradient, lit by a highlight along one edge and darkened inside by a shadow.
#include "foundation/ImageAdditions.h"

#include "platform/appkit/NSGradient.h"
#include "platform/appkit/NSGraphicsContext.h"
#include "platform/core/Log.h"

namespace foundation {

namespace {

// Everything outside the mask's shape, opaque white: drawn with a shadow, that shadow falls
// inside the shape.
cg::CGImageRef invertedMask(const cg::CGImageRef& mask) {
    const size_t w = cg::CGImageGetWidth(mask), h = cg::CGImageGetHeight(mask);
    auto context = cg::CGBitmapContextCreate(nullptr, w, h, 8, w * 4, cg::CGColorSpaceCreateDeviceRGB(),
                                             cg::kCGImageAlphaPremultipliedLast);
    if (!context) return nullptr;
    const cg::CGRect whole = cg::CGRectMake(0, 0, double(w), double(h));
    cg::CGContextSetBlendMode(context, cg::kCGBlendModeXOR);
    cg::CGContextDrawImage(context, whole, mask);
    cg::CGContextSetRGBFillColor(context, 1, 1, 1, 1);
    cg::CGContextFillRect(context, whole);
    return cg::CGBitmapContextCreateImage(context);
}

std::shared_ptr<appkit::NSImage> embossWithGreys(const appkit::NSImage& image, double width, double top,
                                                 double bottom) {
    return embossWithWidth(image, width, appkit::NSColor::blackColor(), appkit::NSColor::whiteColor(),
                           appkit::NSColor::colorWithDeviceWhite(top, 1),
                           appkit::NSColor::colorWithDeviceWhite(bottom, 1));
}

} // namespace

std::shared_ptr<appkit::NSImage>
embossWithWidth(const appkit::NSImage& image, double width,
                const std::shared_ptr<appkit::NSColor>& shadowColor,
                const std::shared_ptr<appkit::NSColor>& highlightColor,
                const std::shared_ptr<appkit::NSColor>& topBackgroundColor,
                const std::shared_ptr<appkit::NSColor>& bottomBackgroundColor) {
    const cg::CGSize size = image.size();
    cg::CGRect rect = cg::CGRectMake(0, 0, size.width, size.height);
    auto embossed = appkit::NSImage::initWithSize(size);
    const cg::CGImageRef mask = image.CGImageForProposedRect(&rect);
    embossed->lockFocus();
    auto current = appkit::NSGraphicsContext::currentContext();
    const cg::CGContextRef context = current ? current->CGContext() : nullptr;
    if (!context || !mask) {
        platform::log("embossWithWidth: an image with nothing to draw");
        embossed->unlockFocus();
        return embossed;
    }
    auto color = [](const std::shared_ptr<appkit::NSColor>& c) { return c ? c->CGColor() : nullptr; };
    // The highlight: the image itself, its shadow falling just past the shape's edge.
    cg::CGContextSetShadowWithColor(context, cg::CGSizeMake(0, -width), 0, color(highlightColor));
    image.drawInRect(rect, cg::CGRectZero, appkit::NSCompositingOperationSourceOver, 1.0);
    // The face: a gradient inside the shape.
    cg::CGContextClipToMask(context, rect, mask);
    if (auto gradient = appkit::NSGradient::initWithStartingColor(topBackgroundColor, bottomBackgroundColor))
        gradient->drawInRect(rect, 90);
    // The inner shadow: what lies outside the shape, drawn with a blurred shadow that the clip
    // keeps inside it.
    cg::CGContextSetShadowWithColor(context, cg::CGSizeMake(0, -width), width, color(shadowColor));
    if (auto outside = invertedMask(mask)) cg::CGContextDrawImage(context, rect, outside);
    embossed->unlockFocus();
    return embossed;
}

std::shared_ptr<appkit::NSImage> lightContentEtchedImage(const appkit::NSImage& image) {
    return embossWithGreys(image, 1.0, 1.0, 0.75);
}

std::shared_ptr<appkit::NSImage> darkContentEtchedImage(const appkit::NSImage& image) {
    return embossWithGreys(image, 1.0, 0.5, 0.25);
}

std::shared_ptr<appkit::NSImage> lightContentEmbossedImage(const appkit::NSImage& image) {
    return embossWithGreys(image, -1.0, 1.0, 0.75);
}

std::shared_ptr<appkit::NSImage> darkContentEmbossedImage(const appkit::NSImage& image) {
    return embossWithGreys(image, -1.0, 0.5, 0.25);
}

} // namespace foundation
