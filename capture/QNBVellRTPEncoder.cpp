#include "capture/QNBVellRTPEncoder.h"

#include "display/QNBDisplaySet.h"
#include "net/QNNetSocketProtocol.h"
#include "regions/ScreenUpdateRecords.h"

#include "platform/appkit/NSBitmapImageRep.h"
#include "platform/coregraphics/CGImage.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace capture {

namespace {

bool isPNGEncoding(uint8_t encoding) {
    return encoding == 5 || encoding == 253;
}

std::vector<uint8_t> recordOnly(cg::CGRect rect) {
    regions::QNRectangleMsg record = regions::QNRectangleMsg::withRect(rect, 0, 0);
    record.width = record.height = 0;
    auto bytes = record.encode();
    return {bytes.begin(), bytes.end()};
}

// Halves every rectangle larger than the area limit until none is, each in its place with its
// top half first: the list keeps its top-to-bottom order, and under the byte budget that order
// decides which boxes make this update.
std::vector<regions::QNRect> splitLarge(const std::vector<regions::QNRect>& list) {
    std::vector<regions::QNRect> out;
    for (const regions::QNRect& whole : list) {
        std::vector<regions::QNRect> pending{whole}; // the pieces still to look at, next at the back
        while (!pending.empty()) {
            const regions::QNRect r = pending.back();
            pending.pop_back();
            const cg::CGRect c = r.rect();
            const int32_t h = static_cast<int32_t>(c.size.height);
            if (static_cast<int32_t>(c.size.width) * h > QNBVellRTPEncoder::kMaxRectArea && h >= 2) {
                const int32_t half = h / 2;
                pending.emplace_back(
                    cg::CGRectMake(c.origin.x, c.origin.y + half, c.size.width, c.size.height - half));
                pending.emplace_back(cg::CGRectMake(c.origin.x, c.origin.y, c.size.width, half));
                continue;
            }
            out.push_back(r);
        }
    }
    return out;
}

// A capture of rect at scale 1, freed with the holder.
struct Capture {
    uint8_t* pixels = nullptr;
    cg::CGSize size{};
    ~Capture() { std::free(pixels); }
};

} // namespace

std::shared_ptr<QNBVellRTPEncoder> QNBVellRTPEncoder::create() {
    return std::shared_ptr<QNBVellRTPEncoder>(new QNBVellRTPEncoder());
}

QNBVellRTPEncoder::QNBVellRTPEncoder() : mRasterRectangles(std::make_shared<regions::UpdatedRectangles>()) {}

std::vector<uint8_t> QNBVellRTPEncoder::sendImageRect(cg::CGRect rect, const uint8_t* frameData,
                                                      uint8_t encoding, double quality,
                                                      const uint8_t* lossyPoint) {
    const double w = rect.size.width, h = rect.size.height;
    if (!frameData || !(w >= 1 && h >= 1 && w <= 16384 && h <= 16384)) return recordOnly(rect);
    const size_t width = static_cast<size_t>(w), height = static_cast<size_t>(h);
    auto provider =
        cg::CGDataProviderCreateWithData(std::vector<uint8_t>(frameData, frameData + width * height * 4));
    // The fourth byte of each pixel is taken as premultiplied alpha (the capture writes it opaque).
    cg::CGImageRef image =
        cg::CGImageCreate(width, height, 8, 32, width * 4,
                          cg::kCGImageAlphaPremultipliedFirst | cg::kCGBitmapByteOrder32Little, provider);
    auto rep = appkit::NSBitmapImageRep::initWithCGImage(image);
    if (!rep) return recordOnly(rect);
    cf::Dictionary properties;
    properties.emplace(appkit::NSImageCompressionFactor, static_cast<float>((quality - 0.125) / 0.875));
    auto image_bytes = rep->representationUsingType(
        isPNGEncoding(encoding) ? appkit::NSBitmapImageFileTypePNG : appkit::NSBitmapImageFileTypeJPEG,
        properties);
    if (!image_bytes) return recordOnly(rect);
    auto record =
        regions::QNRectangleMsg::withRect(rect, encoding, static_cast<uint32_t>(image_bytes->size()))
            .encode();
    std::vector<uint8_t> out(record.begin(), record.end());
    if (encoding == 15) {
        if (lossyPoint)
            out.insert(out.end(), lossyPoint, lossyPoint + kLossyPointSize);
        else
            out.insert(out.end(), kLossyPointSize, 0);
    }
    out.insert(out.end(), image_bytes->begin(), image_bytes->end());
    return out;
}

uint8_t* QNBVellRTPEncoder::cropAndCopyFrame(const uint8_t* buffer, size_t rowBytes, cg::CGRect rect) {
    const size_t x = static_cast<size_t>(rect.origin.x), y = static_cast<size_t>(rect.origin.y);
    const size_t width = static_cast<size_t>(rect.size.width), height = static_cast<size_t>(rect.size.height);
    auto* out = static_cast<uint8_t*>(std::malloc(width * height * 4 > 0 ? width * height * 4 : 1));
    if (!out) return nullptr;
    for (size_t row = 0; row < height; ++row)
        std::memcpy(out + row * width * 4, buffer + (y + row) * rowBytes + x * 4, width * 4);
    return out;
}

namespace {

// The crop of a whole-display buffer, or null when rect leaves the display.
uint8_t* cropInside(const uint8_t* framebuffer, cg::CGRect rect, const display::QNBDisplay& display) {
    const cg::CGRect bounds = display.scaleCorrectedDisplayBounds();
    if (!framebuffer ||
        !(rect.origin.x >= 0 && rect.origin.y >= 0 && rect.size.width >= 1 && rect.size.height >= 1) ||
        rect.origin.x + rect.size.width > bounds.size.width ||
        rect.origin.y + rect.size.height > bounds.size.height)
        return nullptr;
    return QNBVellRTPEncoder::cropAndCopyFrame(framebuffer, static_cast<size_t>(bounds.size.width) * 4, rect);
}

} // namespace

std::vector<uint8_t> QNBVellRTPEncoder::sendPngRect(cg::CGRect rect, const uint8_t* framebuffer,
                                                    const uint8_t* lossyPoint,
                                                    const display::QNBDisplay& display) {
    uint8_t* crop = cropInside(framebuffer, rect, display);
    auto data = sendImageRect(rect, crop, 15, 1.0, lossyPoint);
    std::free(crop);
    return data;
}

std::vector<uint8_t> QNBVellRTPEncoder::sendJpegRect(cg::CGRect rect, const uint8_t* framebuffer, double q,
                                                     const display::QNBDisplay& display) {
    uint8_t* crop = cropInside(framebuffer, rect, display);
    auto data = sendImageRect(rect, crop, 4, q, nullptr);
    std::free(crop);
    return data;
}

namespace {

cg::CGRect offsetBy(cg::CGRect rect, cg::CGPoint by) {
    return cg::CGRectOffset(rect, by.x, by.y);
}

} // namespace

// The display's queue holds rectangles where the window server places the display (as the
// encoder base queues them); the captures, the strips and the records are the display's own.
void QNBVellRTPEncoder::sendChangedAreas(display::QNBDisplay& display,
                                         const std::vector<regions::QNRect>& list,
                                         regions::UpdatedRectangles& sent, FrameOutput& out) {
    auto manager = display.rectManager();
    const cg::CGPoint origin = display.ourOrigin();
    const cg::CGRect bounds{cg::CGPointZero, display.scaleCorrectedDisplayBounds().size};
    for (const regions::QNRect& r : splitLarge(list)) {
        if (r.moved()) continue;
        const cg::CGRect c = cg::CGRectIntersection(offsetBy(r.rect(), {-origin.x, -origin.y}), bounds);
        if (cg::CGRectIsEmpty(c)) continue;
        Capture capture;
        capture.pixels = CreateImageBufferForRect(1.0, nullptr, 0, display.displayID(), &capture.size, c);
        if (!capture.pixels) continue;
        const cg::CGRect captured =
            cg::CGRectMake(c.origin.x, c.origin.y, capture.size.width, capture.size.height);
        auto data = sendImageRect(captured, capture.pixels, 4, kChangedQuality, nullptr);
        if (out.records > 0 && out.bytes.size() + data.size() >= kFrameBudget) return;
        mRasterRectangles->addRectangle(r.rect());
        sent.addRectangle(r.rect());
        if (manager) manager->cleanRectangle(r.rect());
        out.bytes.insert(out.bytes.end(), data.begin(), data.end());
        ++out.records;
    }
}

void QNBVellRTPEncoder::sendRasterRefresh(display::QNBDisplay& display, FrameOutput& out) {
    auto manager = display.rectManager();
    const cg::CGPoint origin = display.ourOrigin();
    const cg::CGSize size = display.scaleCorrectedDisplayBounds().size;
    // Bands as a fraction: a height that is no multiple of the band keeps its last, partial
    // band in the walk (1080 rows are 33.75 bands; rows 1056 to 1079 are the 34th).
    const double bands = size.height / kBandRows;
    // A display whose strips cannot be captured would otherwise be walked for ever.
    const uint32_t fullRefresh = std::max<uint32_t>(static_cast<uint32_t>(std::ceil(bands)), 1) * 8;
    for (uint32_t p = 0; p < fullRefresh; ++p) {
        if (out.bytes.size() >= kFrameBudget && p > 0) return;
        const double y = interlaceForEight[mRasterInterlace] * kStripRows + mRasterLocation * kBandRows;
        const cg::CGRect strip = cg::CGRectMake(0, y, size.width, kStripRows);
        Capture capture;
        capture.pixels = CreateImageBufferForRect(1.0, nullptr, 0, display.displayID(), &capture.size, strip);
        if (capture.pixels) {
            const cg::CGRect captured = cg::CGRectMake(0, y, capture.size.width, capture.size.height);
            auto data = sendImageRect(captured, capture.pixels, 4, kRasterQuality, nullptr);
            if (p > 0 && out.bytes.size() + data.size() > kFrameBudget - 1) return;
            out.bytes.insert(out.bytes.end(), data.begin(), data.end());
            ++out.records;
        }
        if (manager) manager->cleanRectangle(offsetBy(strip, origin));
        if (++mRasterLocation >= bands) {
            mRasterLocation = 0;
            mRasterInterlace = (mRasterInterlace + 1) % 8;
        }
    }
}

void QNBVellRTPEncoder::encodeFrame(int32_t extraRecordCount, bool,
                                    const std::shared_ptr<display::QNBDisplay>& display, uint32_t) {
    if (!display) return;
    std::lock_guard lock(encoderLock());
    auto manager = display->rectManager();
    auto extent = manager ? manager->newMergedRectExtents() : nullptr;
    auto pending = std::make_shared<regions::UpdatedRectangles>();
    pending->mergeWithRectangles(extent.get());
    pending->subtractFromRectangles(mRasterRectangles.get());
    if (pending->isEmpty()) {
        mRasterRectangles = std::make_shared<regions::UpdatedRectangles>();
        pending = extent ? extent : std::make_shared<regions::UpdatedRectangles>();
    }
    // The changed area this update carries.
    regions::UpdatedRectangles sent;
    FrameOutput out;
    sendChangedAreas(*display, pending->newArrayOfRectangles(), sent, out);
    sendRasterRefresh(*display, out);

    auto socket = clientSocket();
    if (!socket) return;
    const uint16_t count = static_cast<uint16_t>(out.records + static_cast<uint32_t>(extraRecordCount));
    const uint8_t head[2] = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8)};
    std::lock_guard guard(*socket);
    if (socket->sendBytes(head, sizeof head) && !out.bytes.empty())
        socket->sendBytes(out.bytes.data(), out.bytes.size());
}

const QNBVellEncoderClass& QNBVellRTPEncoderClass() {
    static const QNBVellEncoderClass rtp{"QNBVellRTPEncoder", [] { return QNBVellRTPEncoder::create(); }};
    return rtp;
}

} // namespace capture
