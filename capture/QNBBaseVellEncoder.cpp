#include "capture/QNBBaseVellEncoder.h"

#include "display/QNBDisplaySet.h"
#include "foundation/SystemVersion.h"

#include "platform/coregraphics/CGDisplayImage.h"
#include "platform/coregraphics/CGImage.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace capture {

QNBBaseVellEncoder::QNBBaseVellEncoder() : mDisplaySet(std::make_shared<display::QNBDisplaySet>()) {
    mDeflate_strm.zalloc = Z_NULL;
    mDeflate_strm.zfree = Z_NULL;
    mDeflate_strm.opaque = Z_NULL;
    mDeflate_strm.next_in = Z_NULL;
    mDeflate_strm.avail_in = 0;
    m_deflateReady =
        deflateInit2(&mDeflate_strm, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, 9, Z_DEFAULT_STRATEGY) == Z_OK;
}

QNBBaseVellEncoder::~QNBBaseVellEncoder() {
    if (m_deflateReady) deflateEnd(&mDeflate_strm);
}

void QNBBaseVellEncoder::clearRectangles() {
    auto set = displaySet();
    if (!set) return;
    for (const auto& display : set->displays())
        display->clearRectangles();
}

void QNBBaseVellEncoder::setEncoderInformation(const std::shared_ptr<display::QNBDisplaySet>& displaySet,
                                               const std::shared_ptr<net::QNNetSocketProtocol>& socket,
                                               const net::QNCapabilities& capabilities) {
    {
        std::lock_guard lock(m_encoderLock);
        std::lock_guard fields(m_fieldsLock);
        mDisplaySet = displaySet;
    }
    std::lock_guard fields(m_fieldsLock);
    mClientSocket = socket;
    mCapabilities = capabilities;
}

void QNBBaseVellEncoder::addDirtyRectangle(cg::CGRect rect) {
    auto set = displaySet();
    if (!set) return;
    for (const auto& display : set->displays()) {
        std::lock_guard lock(display->lock());
        // The session hands rectangles relative to the display set, in pixels: each display is
        // clipped where it sits in the set. Clipping against the display's place among all
        // displays would leave nothing of any display away from the origin.
        const cg::CGPoint offset = display->offsetFromOrigin(), origin = display->ourOrigin();
        const cg::CGRect inSet{offset, display->scaleCorrectedDisplayBounds().size};
        cg::CGRect clipped = cg::CGRectIntersection(rect, inSet);
        if (cg::CGRectIsNull(clipped) || !(clipped.size.width > 0) || !(clipped.size.height > 0)) continue;
        // Queued where the display sits among all displays, the frame the rectangle encoders
        // read their queue in (their records go back to the set's frame).
        display->addDirtyRectangle(cg::CGRectOffset(clipped, origin.x - offset.x, origin.y - offset.y));
    }
}

void QNBBaseVellEncoder::encodeFrame(int32_t frame, bool lossyOnly,
                                     const std::shared_ptr<display::QNBDisplay>& display) {
    encodeFrame(frame, lossyOnly, display, 0x20);
}

void QNBBaseVellEncoder::encodeFrame(int32_t, bool, const std::shared_ptr<display::QNBDisplay>&, uint32_t) {}

std::shared_ptr<QNBVellEncoderDelegateProtocol> QNBBaseVellEncoder::delegate() const {
    std::lock_guard fields(m_fieldsLock);
    return m_delegate.lock();
}

void QNBBaseVellEncoder::setDelegate(std::weak_ptr<QNBVellEncoderDelegateProtocol> delegate) {
    std::lock_guard fields(m_fieldsLock);
    m_delegate = std::move(delegate);
}

std::shared_ptr<net::QNNetSocketProtocol> QNBBaseVellEncoder::clientSocket() const {
    std::lock_guard fields(m_fieldsLock);
    return mClientSocket;
}

std::shared_ptr<display::QNBDisplaySet> QNBBaseVellEncoder::displaySet() const {
    std::lock_guard fields(m_fieldsLock);
    return mDisplaySet;
}

net::QNCapabilities QNBBaseVellEncoder::capabilities() const {
    std::lock_guard fields(m_fieldsLock);
    return mCapabilities;
}

// ---- CreateImageBufferForRect ------------------------------------------------------------

namespace {

bool finiteRect(cg::CGRect r) {
    return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width) &&
           std::isfinite(r.size.height);
}

// The buffer for width × height pixels: the caller's when it is large enough, else a new one.
uint8_t* bufferFor(uint8_t* buffer, size_t capacity, size_t width, size_t height) {
    size_t need = width * height * 4;
    if (buffer) return capacity >= need ? buffer : nullptr;
    return static_cast<uint8_t*>(std::malloc(need ? need : 1));
}

} // namespace

uint8_t* CreateImageBufferForRect_10_6(double, uint8_t* buffer, size_t capacity,
                                       cg::CGDirectDisplayID display, cg::CGSize* sizeOut, cg::CGRect rect) {
    if (!finiteRect(rect)) return nullptr;
    rect = cg::CGRectIntegral(cg::CGRectStandardize(rect));
    const auto* base = static_cast<const uint8_t*>(cg::CGDisplayBaseAddress(display));
    size_t bytesPerRow = cg::CGDisplayBytesPerRow(display);
    size_t displayWidth = cg::CGDisplayPixelsWide(display), displayHeight = cg::CGDisplayPixelsHigh(display);
    if (!base || rect.origin.x < 0 || rect.origin.y < 0 || rect.size.width <= 0 || rect.size.height <= 0)
        return nullptr;
    size_t x = size_t(rect.origin.x), y = size_t(rect.origin.y);
    size_t width = size_t(rect.size.width), height = size_t(rect.size.height);
    // Only rows inside the framebuffer are read.
    if (x + width > displayWidth || y + height > displayHeight || bytesPerRow < displayWidth * 4)
        return nullptr;
    uint8_t* out = bufferFor(buffer, capacity, width, height);
    if (!out) return nullptr;
    for (size_t row = 0; row < height; ++row)
        std::memcpy(out + row * width * 4, base + (y + row) * bytesPerRow + x * 4, width * 4);
    if (sizeOut) *sizeOut = cg::CGSizeMake(double(width), double(height));
    return out;
}

uint8_t* CreateImageBufferForRect_10_7Plus(double scale, uint8_t* buffer, size_t capacity,
                                           cg::CGDirectDisplayID display, cg::CGSize* sizeOut,
                                           cg::CGRect rect) {
    if (!finiteRect(rect) || !(rect.size.width > 0) || !(rect.size.height > 0)) return nullptr;
    cg::CGImageRef image = cg::CGDisplayCreateImageForRect(display, rect);
    if (!image) return nullptr;
    if (double(cg::CGImageGetWidth(image)) / rect.size.width != scale) {
        // Redrawn at the rectangle's size.
        size_t width = size_t(rect.size.width), height = size_t(rect.size.height);
        auto context = cg::CGBitmapContextCreate(nullptr, width, height, 8, width * 4, cg::kCGBitmapBGRX);
        if (!context) return nullptr;
        cg::CGContextDrawImage(context, cg::CGRectMake(0, 0, double(width), double(height)), image);
        image = cg::CGBitmapContextCreateImage(context);
        if (!image) return nullptr;
    }
    // The buffer follows the image that is copied, whatever size was asked for.
    size_t width = cg::CGImageGetWidth(image), height = cg::CGImageGetHeight(image);
    size_t bytesPerRow = cg::CGImageGetBytesPerRow(image);
    const uint8_t* bytes = cg::CGImageGetBytePtr(image);
    uint8_t* out = bufferFor(buffer, capacity, width, height);
    if (!out) return nullptr;
    if (bytesPerRow == width * 4) {
        std::memcpy(out, bytes, width * height * 4);
    } else {
        for (size_t row = 0; row < height; ++row)
            std::memcpy(out + row * width * 4, bytes + row * bytesPerRow, width * 4);
    }
    if (sizeOut) *sizeOut = cg::CGSizeMake(double(width), double(height));
    return out;
}

uint8_t* CreateImageBufferForRect(double scale, uint8_t* buffer, size_t capacity,
                                  cg::CGDirectDisplayID display, cg::CGSize* sizeOut, cg::CGRect rect) {
    using Variant = uint8_t* (*)(double, uint8_t*, size_t, cg::CGDirectDisplayID, cg::CGSize*, cg::CGRect);
    static const Variant variant = foundation::BCDSystemVersionFunction() < 0x0A0700
                                       ? CreateImageBufferForRect_10_6
                                       : CreateImageBufferForRect_10_7Plus;
    return variant(scale, buffer, capacity, display, sizeOut, rect);
}

} // namespace capture
