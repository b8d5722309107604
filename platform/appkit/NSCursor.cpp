#include "platform/appkit/NSCursor.h"

#include "platform/appkit/NSAppContext.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/coregraphics/SystemCursors.h"

namespace appkit {

namespace {

// An image of the window server's built-in cursor: one premultiplied RGBA bitmap.
std::shared_ptr<NSImage> imageOfSystemCursor(cg::CGSSystemCursor cursor) {
    const cg::CGSCursorImage& source = cg::CGSSystemCursorImage(cursor);
    auto image = NSImage::initWithSize({double(source.width), double(source.height)});
    auto rep = NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, source.width, source.height, 8, 4, true,
                                                          false, NSDeviceRGBColorSpace, 0, 0, 32);
    if (!rep) return image;
    const size_t count = size_t(source.width) * source.height;
    uint8_t* out = rep->bitmapData();
    for (size_t i = 0; i < count && 4 * i + 3 < source.pixels.size(); ++i) {
        out[4 * i] = source.pixels[4 * i + 2];
        out[4 * i + 1] = source.pixels[4 * i + 1];
        out[4 * i + 2] = source.pixels[4 * i];
        out[4 * i + 3] = source.pixels[4 * i + 3];
    }
    image->addRepresentation(rep);
    return image;
}

std::shared_ptr<NSCursor> systemCursor(cg::CGSSystemCursor which) {
    auto cursor =
        std::make_shared<NSCursor>(imageOfSystemCursor(which), cg::CGSSystemCursorImage(which).hotSpot);
    return cursor;
}

} // namespace

NSCursor::NSCursor(std::shared_ptr<NSImage> image, cg::CGPoint hotSpot)
    : m_image(std::move(image)), m_hotSpot(hotSpot) {}

std::shared_ptr<NSCursor> NSCursor::initWithImage(std::shared_ptr<NSImage> image, cg::CGPoint hotSpot) {
    if (!image) return nullptr;
    return std::make_shared<NSCursor>(std::move(image), hotSpot);
}

std::shared_ptr<NSCursor> NSCursor::arrowCursor() {
    static const std::shared_ptr<NSCursor> cursor = [] {
        auto made = systemCursor(cg::CGSSystemCursor::arrow);
        made->m_systemCursor = int32_t(cg::CGSSystemCursor::arrow);
        return made;
    }();
    return cursor;
}

std::shared_ptr<NSCursor> NSCursor::IBeamCursor() {
    static const std::shared_ptr<NSCursor> cursor = [] {
        auto made = systemCursor(cg::CGSSystemCursor::iBeam);
        made->m_systemCursor = int32_t(cg::CGSSystemCursor::iBeam);
        return made;
    }();
    return cursor;
}

bool NSCursor::set() const {
    const cg::CGSConnectionID cid = NSAppContextID();
    if (m_systemCursor)
        return cg::CGSSetSystemCursor(cid, cg::CGSSystemCursor(*m_systemCursor)) == cg::kCGErrorSuccess;
    if (!m_image) return false;
    auto representations = m_image->representations();
    auto rep =
        representations.empty() ? nullptr : std::dynamic_pointer_cast<NSBitmapImageRep>(representations[0]);
    if (!rep || !rep->hasAlpha() || rep->samplesPerPixel() != 4) return false;

    // The window server takes premultiplied B, G, R, A in packed rows.
    const NSBitmapFormat format = rep->bitmapFormat();
    const bool alphaFirst = format & NSBitmapFormatAlphaFirst;
    const bool littleEndian = format & NSBitmapFormatThirtyTwoBitLittleEndian;
    const bool premultiplied = !(format & NSBitmapFormatAlphaNonpremultiplied);
    if (littleEndian && !alphaFirst) return false;
    cg::CGSCursorImage image;
    image.width = uint32_t(rep->pixelsWide());
    image.height = uint32_t(rep->pixelsHigh());
    image.hotSpot = m_hotSpot;
    image.pixels.resize(size_t(image.width) * image.height * 4);
    for (uint32_t y = 0; y < image.height; ++y) {
        const uint8_t* row = rep->bitmapData() + size_t(y) * size_t(rep->bytesPerRow());
        for (uint32_t x = 0; x < image.width; ++x) {
            const uint8_t* p = row + 4 * x;
            uint8_t r, g, b, a;
            if (littleEndian)
                b = p[0], g = p[1], r = p[2], a = p[3];
            else if (alphaFirst)
                a = p[0], r = p[1], g = p[2], b = p[3];
            else
                r = p[0], g = p[1], b = p[2], a = p[3];
            if (!premultiplied) {
                r = uint8_t((r * a + 127) / 255);
                g = uint8_t((g * a + 127) / 255);
                b = uint8_t((b * a + 127) / 255);
            }
            uint8_t* out = image.pixels.data() + (size_t(y) * image.width + x) * 4;
            out[0] = b, out[1] = g, out[2] = r, out[3] = a;
        }
    }
    if (!image.isValid()) return false;
    return cg::CGSSetSystemCursorImage(cid, image) == cg::kCGErrorSuccess;
}

} // namespace appkit
