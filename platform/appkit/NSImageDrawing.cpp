// Drawing images, focus on images, copies, and representations as Core Graphics images.
#include "platform/appkit/NSImage.h"
#include "platform/core/Log.h"

#include <cmath>
#include <cstring>

namespace appkit {

namespace detail {

cg::CGImageRef CGImageOfRepresentation(const NSImageRep& representation) {
    auto* rep = dynamic_cast<const NSBitmapImageRep*>(&representation);
    if (!rep || rep->pixelsWide() < 1 || rep->pixelsHigh() < 1) return nullptr;
    // Layouts other than 8-bit RGB reps (float, grey) draw from the image they were made of.
    if (rep->bitsPerSample() != 8 || (rep->samplesPerPixel() != 3 && rep->samplesPerPixel() != 4))
        return rep->CGImage();
    const size_t width = size_t(rep->pixelsWide()), height = size_t(rep->pixelsHigh());
    const size_t samples = size_t(rep->samplesPerPixel()), stride = size_t(rep->bytesPerRow());
    const NSBitmapFormat format = rep->bitmapFormat();
    const bool first = format & NSBitmapFormatAlphaFirst;
    const bool little = format & NSBitmapFormatThirtyTwoBitLittleEndian;
    if (samples != 3 && samples != 4) return nullptr;
    std::vector<uint8_t> bytes(width * 4 * height);
    cg::CGBitmapInfo info;
    if (samples == 3 && rep->bitsPerPixel() == 32) {
        // Three samples in 32-bit pixels: R, G, B, X in memory, or B, G, R, X as a
        // little-endian word.
        for (size_t y = 0; y < height; ++y)
            std::memcpy(&bytes[y * width * 4], rep->bitmapData() + y * stride, width * 4);
        info = little ? cg::kCGImageAlphaNoneSkipFirst | cg::kCGBitmapByteOrder32Little
                      : cg::kCGImageAlphaNoneSkipLast;
    } else if (samples == 3) {
        for (size_t y = 0; y < height; ++y)
            for (size_t x = 0; x < width; ++x) {
                std::memcpy(&bytes[(y * width + x) * 4], rep->bitmapData() + y * stride + x * 3, 3);
                bytes[(y * width + x) * 4 + 3] = 255;
            }
        info = cg::kCGImageAlphaNoneSkipLast;
    } else {
        for (size_t y = 0; y < height; ++y)
            std::memcpy(&bytes[y * width * 4], rep->bitmapData() + y * stride, width * 4);
        if (format & NSBitmapFormatAlphaNonpremultiplied) {
            // Where alpha sits in each pixel's bytes, for the four arrangements.
            const size_t a = first ? (little ? 3 : 0) : (little ? 0 : 3);
            for (size_t i = 0; i < bytes.size(); i += 4)
                for (size_t k = 0; k < 4; ++k)
                    if (k != a) bytes[i + k] = uint8_t((bytes[i + k] * bytes[i + a] + 127) / 255);
        }
        info = (first ? cg::kCGImageAlphaPremultipliedFirst : cg::kCGImageAlphaPremultipliedLast) |
               (little ? cg::kCGBitmapByteOrder32Little : 0);
    }
    return cg::CGImageCreate(width, height, 8, 32, width * 4, cg::CGColorSpaceCreateDeviceRGB(), info,
                             cg::CGDataProviderCreateWithData(std::move(bytes)), nullptr, true,
                             cg::kCGRenderingIntentDefault);
}

} // namespace detail

bool NSImage::isFlipped() const {
    std::lock_guard guard(m_lock);
    return m_flipped;
}

void NSImage::setFlipped(bool flipped) {
    std::lock_guard guard(m_lock);
    m_flipped = flipped;
}

std::shared_ptr<NSImageRep> NSImage::bestRepresentationForDevice() const {
    std::shared_ptr<NSImageRep> best;
    double bestPixels = -1;
    for (const auto& rep : representations()) {
        auto* bitmap = dynamic_cast<const NSBitmapImageRep*>(rep.get());
        double pixels = bitmap ? double(bitmap->pixelsWide()) * double(bitmap->pixelsHigh())
                               : rep->size().width * rep->size().height;
        if (pixels > bestPixels) best = rep, bestPixels = pixels;
    }
    return best;
}

cg::CGImageRef NSImage::CGImageForProposedRect(cg::CGRect* rect) const {
    auto rep = bestRepresentationForDevice();
    cg::CGImageRef image = rep ? detail::CGImageOfRepresentation(*rep) : nullptr;
    if (image && rect) *rect = cg::CGRectMake(0, 0, size().width, size().height);
    return image;
}

void NSImage::drawInRect(cg::CGRect rect, cg::CGRect fromRect, NSCompositingOperation op,
                         double fraction) const {
    auto context = NSGraphicsContext::currentContext();
    const cg::CGSize points = size();
    auto rep = bestRepresentationForDevice();
    cg::CGImageRef image = rep ? detail::CGImageOfRepresentation(*rep) : nullptr;
    if (!context || !image || !(points.width > 0 && points.height > 0)) {
        platform::log("NSImage drawInRect: %s", !context ? "no current graphics context" : "nothing to draw");
        return;
    }
    if (cg::CGRectIsEmpty(fromRect)) fromRect = cg::CGRectMake(0, 0, points.width, points.height);
    fromRect = cg::CGRectStandardize(fromRect);
    // Points, y up, to the image's pixels, y down.
    const double sx = double(image->width) / points.width, sy = double(image->height) / points.height;
    cg::CGRect pixels = cg::CGRectMake(fromRect.origin.x * sx,
                                       (points.height - fromRect.origin.y - fromRect.size.height) * sy,
                                       fromRect.size.width * sx, fromRect.size.height * sy);
    cg::CGImageRef part =
        cg::CGRectEqualToRect(pixels, cg::CGRectMake(0, 0, double(image->width), double(image->height)))
            ? image
            : cg::CGImageCreateWithImageInRect(image, pixels);
    if (!part) return;
    const cg::CGContextRef& c = context->CGContext();
    cg::CGContextSaveGState(c);
    cg::CGContextSetBlendMode(c, blendModeForOperation(op));
    cg::CGContextSetAlpha(c, fraction);
    cg::CGContextDrawImage(c, rect, part);
    cg::CGContextRestoreGState(c);
}

void NSImage::drawInRect(cg::CGRect rect) const {
    drawInRect(rect, cg::CGRectZero, NSCompositingOperationSourceOver, 1);
}

void NSImage::drawAtPoint(cg::CGPoint point, cg::CGRect fromRect, NSCompositingOperation op,
                          double fraction) const {
    cg::CGSize s = cg::CGRectIsEmpty(fromRect) ? size() : cg::CGRectStandardize(fromRect).size;
    drawInRect(cg::CGRectMake(point.x, point.y, s.width, s.height), fromRect, op, fraction);
}

void NSImage::lockFocus() {
    const cg::CGSize points = size();
    const double w = std::ceil(points.width), h = std::ceil(points.height);
    if (!(w >= 1 && h >= 1 && w <= 16384 && h <= 16384)) {
        platform::log("NSImage lockFocus: cannot draw into an image of %g x %g points", points.width,
                      points.height);
        return;
    }
    if (m_focus) {
        platform::log("NSImage lockFocus: the image already has focus");
        return;
    }
    auto c = cg::CGBitmapContextCreate(nullptr, size_t(w), size_t(h), 8, 0, cg::CGColorSpaceCreateDeviceRGB(),
                                       cg::kCGImageAlphaPremultipliedFirst | cg::kCGBitmapByteOrder32Little);
    if (!c) return;
    auto focus = NSGraphicsContext::graphicsContextWithCGContext(c, isFlipped());
    // What the image holds is drawn first, so drawing adds to it.
    NSGraphicsContext::saveGraphicsState();
    NSGraphicsContext::setCurrentContext(focus);
    if (auto rep = bestRepresentationForDevice())
        if (auto image = detail::CGImageOfRepresentation(*rep))
            cg::CGContextDrawImage(c, cg::CGRectMake(0, 0, w, h), image);
    if (isFlipped()) {
        cg::CGContextTranslateCTM(c, 0, h);
        cg::CGContextScaleCTM(c, 1, -1);
    }
    m_focus = focus;
}

void NSImage::unlockFocus() {
    if (!m_focus) {
        platform::log("NSImage unlockFocus: the image does not have focus");
        return;
    }
    cg::CGContextRef c = m_focus->CGContext();
    NSGraphicsContext::restoreGraphicsState();
    const size_t w = cg::CGBitmapContextGetWidth(c), h = cg::CGBitmapContextGetHeight(c);
    auto rep = NSBitmapImageRep::initWithBitmapDataPlanes(
        nullptr, int64_t(w), int64_t(h), 8, 4, true, false, NSDeviceRGBColorSpace,
        NSBitmapFormatAlphaFirst | NSBitmapFormatThirtyTwoBitLittleEndian, int64_t(w * 4), 32);
    m_focus.reset();
    if (!rep) return;
    std::memcpy(rep->bitmapData(), cg::CGBitmapContextGetData(c), w * 4 * h);
    rep->setSize(size());
    std::lock_guard guard(m_lock);
    m_representations = {rep};
}

std::shared_ptr<NSImage> NSImage::copy() const {
    auto image = std::make_shared<NSImage>();
    std::lock_guard guard(m_lock);
    image->m_size = m_size;
    image->m_representations = m_representations;
    image->m_flipped = m_flipped;
    image->m_template = m_template;
    return image;
}

} // namespace appkit
