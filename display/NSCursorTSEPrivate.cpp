#include "display/NSCursorTSEPrivate.h"

#include "platform/appkit/NSAppContext.h"
#include "platform/appkit/NSCursor.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGSPrivate.h"

#include <cmath>
#include <mutex>

namespace display {

namespace {

// The invisible cursor's image written as PNG by the image path: 16 by 16 pixels, 8-bit RGBA,
// every pixel fully transparent.
const std::vector<uint8_t> kInvisibleCursorPNG = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44,
    0x52, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x10, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1f,
    0xf3, 0xff, 0x61, 0x00, 0x00, 0x00, 0x12, 0x49, 0x44, 0x41, 0x54, 0x38, 0x8d, 0x63, 0x60,
    0x18, 0x05, 0xa3, 0x60, 0x14, 0x8c, 0x02, 0x08, 0x00, 0x00, 0x04, 0x10, 0x00, 0x01, 0x7f,
    0x4d, 0x78, 0x8e, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82,
};

// Bounds on what the window server's cursor data may claim before it is used.
constexpr int32_t kMaxCursorSide = 1024;
constexpr int32_t kMaxCursorDataSize = 64 * 1024 * 1024;

std::mutex sCursorLock; // guards the two values below
cg::CGPoint sCurrentHotSpot;
uint32_t lastCursorSeed = 0;

void storeHotSpot(cg::CGPoint hotSpot) {
    std::lock_guard guard(sCursorLock);
    sCurrentHotSpot = hotSpot;
}

// The cursor rectangle's side as a whole number of pixels, or 0 when it is no usable side.
int32_t cursorSide(double side) {
    if (!std::isfinite(side) || side < 1 || side > kMaxCursorSide) return 0;
    return int32_t(side);
}

} // namespace

std::shared_ptr<appkit::NSCursor> NSCursorTSEPrivate::tseCurrentSystemCursor() {
    const cg::CGSConnectionID cid = appkit::NSAppContextID();
    int32_t size = 0;
    if (cg::CGSGetGlobalCursorDataSize(cid, &size) != cg::kCGErrorSuccess) return nullptr;
    if (size <= 0 || size > kMaxCursorDataSize) {
        platform::log("Refused cursor data of %d bytes", size);
        return nullptr;
    }
    std::vector<uint8_t> data(static_cast<size_t>(size));
    int32_t read = size, rowBytes = 0, depth = 0, components = 0, bitsPerComponent = 0;
    cg::CGRect rect;
    cg::CGPoint hotSpot;
    if (cg::CGSGetGlobalCursorData(cid, data.data(), &read, &rowBytes, &rect, &hotSpot, &depth, &components,
                                   &bitsPerComponent) != cg::kCGErrorSuccess)
        return nullptr;
    storeHotSpot(hotSpot);

    const int32_t width = cursorSide(rect.size.width);
    const int32_t height = cursorSide(rect.size.height);
    if (width == 0 || height == 0 || rowBytes < 4 * width || rowBytes > kMaxCursorDataSize / height) {
        platform::log("Refused cursor data: %gx%g, %d bytes a row", rect.size.width, rect.size.height,
                      rowBytes);
        return nullptr;
    }
    const int32_t needed = rowBytes * height;
    if (needed > read) {
        data.assign(size_t(needed), 0);
        read = needed;
        if (cg::CGSGetGlobalCursorData(cid, data.data(), &read, &rowBytes, &rect, &hotSpot, &depth,
                                       &components, &bitsPerComponent) != cg::kCGErrorSuccess)
            return nullptr;
    }
    // Only 32-bit pixels of four 8-bit components, whole rows of them, are read.
    if (cursorSide(rect.size.width) != width || cursorSide(rect.size.height) != height || read < 0 ||
        size_t(read) > data.size() ||
        !cursorDataIsUsable(rect.size.width, rect.size.height, rowBytes, depth, components, bitsPerComponent,
                            read)) {
        platform::log("Refused cursor data: depth %d, %d components of %d bits, %d bytes a row, %d bytes",
                      depth, components, bitsPerComponent, rowBytes, read);
        return nullptr;
    }

    auto rep = appkit::NSBitmapImageRep::initWithBitmapDataPlanes(
        nullptr, width, height, bitsPerComponent, components, true, false, appkit::NSCalibratedRGBColorSpace,
        0, rowBytes, 8 * components);
    if (!rep) return nullptr;
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* source = data.data() + size_t(y) * size_t(rowBytes);
        uint8_t* target = rep->bitmapData() + size_t(y) * size_t(rep->bytesPerRow());
        // Blue, green, red, alpha becomes red, green, blue, alpha.
        for (int32_t x = 0; x < width; ++x) {
            target[4 * x] = source[4 * x + 2];
            target[4 * x + 1] = source[4 * x + 1];
            target[4 * x + 2] = source[4 * x];
            target[4 * x + 3] = source[4 * x + 3];
        }
    }
    auto image = appkit::NSImage::initWithSize(rect.size);
    image->addRepresentation(rep);
    storeHotSpot(hotSpot);
    return appkit::NSCursor::initWithImage(image, hotSpot);
}

bool NSCursorTSEPrivate::cursorDataIsUsable(double width, double height, int32_t rowBytes, int32_t depth,
                                            int32_t components, int32_t bitsPerComponent, int64_t bytesRead) {
    const int32_t columns = cursorSide(width);
    const int32_t rows = cursorSide(height);
    return depth == 32 && components == 4 && bitsPerComponent == 8 && columns > 0 && rows > 0 &&
           int64_t(rowBytes) >= 4 * int64_t(columns) && bytesRead >= int64_t(rowBytes) * rows;
}

cg::CGPoint NSCursorTSEPrivate::tseHotSpot() {
    std::lock_guard guard(sCursorLock);
    return sCurrentHotSpot;
}

bool NSCursorTSEPrivate::isInvisible(const appkit::NSCursor& cursor) {
    const auto& image = cursor.image();
    if (!image) return false;
    const cg::CGSize size = image->size();
    if (size.width != 16 || size.height != 16) return false;
    auto representations = image->representations();
    auto rep = representations.empty()
                   ? nullptr
                   : std::dynamic_pointer_cast<appkit::NSBitmapImageRep>(representations.front());
    if (!rep) return false;
    std::optional<std::vector<uint8_t>> png =
        rep->representationUsingType(appkit::NSBitmapImageFileTypePNG, {});
    return png && *png == kInvisibleCursorPNG;
}

bool NSCursorTSEPrivate::cursorImageUpdated() {
    const uint32_t seed = cg::CGSCurrentCursorSeed();
    std::lock_guard guard(sCursorLock);
    const bool changed = seed != lastCursorSeed;
    lastCursorSeed = seed;
    return changed;
}

const std::vector<uint8_t>& NSCursorTSEPrivate::invisibleCursorReferencePNG() {
    return kInvisibleCursorPNG;
}

} // namespace display
