// The rectangle encoder's record writers: image (JPEG or PNG), squeezed JPEG, zlib, dummy.
#include "capture/QNBVellEncoder.h"

#include "display/QNBDisplaySet.h"
#include "regions/ScreenUpdateRecords.h"

#include "net/QNNetSocketProtocol.h"
#include "platform/appkit/NSBitmapImageRep.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGImage.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <vector>

namespace capture {

namespace {

// An image over the caller's packed pixels (width × height taken from rect), or null when the
// size is not one an image can have.
cg::CGImageRef imageOfBuffer(cg::CGRect rect, const uint8_t* pixels) {
    if (!pixels || !(rect.size.width >= 1) || !(rect.size.height >= 1) || rect.size.width > 16384 ||
        rect.size.height > 16384)
        return nullptr;
    const size_t width = size_t(rect.size.width), height = size_t(rect.size.height);
    return cg::CGImageCreateWithBytes(width, height, width * 4,
                                      std::shared_ptr<const uint8_t>(pixels, [](auto) {}));
}

std::optional<std::vector<uint8_t>> jpegOf(const cg::CGImageRef& image, double factor) {
    auto rep = appkit::NSBitmapImageRep::initWithCGImage(image);
    if (!rep) return std::nullopt;
    return rep->representationUsingType(appkit::NSBitmapImageFileTypeJPEG,
                                        cf::Dictionary{{appkit::NSImageCompressionFactor, factor}});
}

// Compression factors are handed over as floats.
double asFloat(double value) {
    return double(float(value));
}

} // namespace

bool QNBVellEncoder::sendRecord(cg::CGRect rect, const display::QNBDisplay& display, uint8_t encoding,
                                const uint8_t* payload, size_t length) {
    auto socket = clientSocket();
    if (!socket || length > std::numeric_limits<uint32_t>::max()) return false;
    const cg::CGPoint offset = display.offsetFromOrigin(), origin = display.ourOrigin();
    rect.origin.x += offset.x - origin.x;
    rect.origin.y += offset.y - origin.y;
    const auto record = regions::QNRectangleMsg::withRect(rect, encoding, uint32_t(length)).encode();
    std::lock_guard lock(*socket);
    bool sent = socket->sendBytes(record.data(), record.size());
    if (length) sent = socket->sendBytes(payload, length) && sent;
    return sent;
}

bool QNBVellEncoder::sendDummyRect() {
    auto socket = clientSocket();
    if (!socket) return false;
    regions::QNRectangleMsg dummy;
    dummy.encoding = regions::QNScreenEncodingMousePos;
    const auto record = dummy.encode();
    return socket->sendBytes(record.data(), record.size());
}

bool QNBVellEncoder::sendImageRect(cg::CGRect rect, const uint8_t* frameData, uint8_t encoding,
                                   double quality, const display::QNBDisplay& display) {
    std::optional<std::vector<uint8_t>> data;
    if (auto image = imageOfBuffer(rect, frameData)) {
        auto rep = appkit::NSBitmapImageRep::initWithCGImage(image);
        if (encoding == regions::QNScreenEncodingPNG || quality == 1.0)
            data = rep ? rep->representationUsingType(appkit::NSBitmapImageFileTypePNG, {}) : std::nullopt;
        else
            data = jpegOf(image, asFloat((quality - 0.125) / 0.875));
    }
    if (!data) return sendRecord(cg::CGRectMake(rect.origin.x, rect.origin.y, 0, 0), display, 0, nullptr, 0);
    return sendRecord(rect, display, encoding, data->data(), data->size());
}

bool QNBVellEncoder::sendSqueezedRect(cg::CGRect rect, const uint8_t* framebuffer, double q,
                                      const display::QNBDisplay& display) {
    std::optional<std::vector<uint8_t>> data;
    if (auto image = imageOfBuffer(rect, framebuffer)) {
        const size_t width = size_t(std::ceil(float(double(image->width) * q)));
        const size_t height = size_t(std::ceil(float(double(image->height) * q)));
        auto context = cg::CGBitmapContextCreate(nullptr, width, height, 8, width * 4, cg::kCGBitmapBGRX);
        if (context) {
            cg::CGContextSetInterpolationQuality(context, cg::kCGInterpolationLow);
            cg::CGContextDrawImage(context, cg::CGRectMake(0, 0, double(width), double(height)), image);
            if (auto small = cg::CGBitmapContextCreateImage(context)) data = jpegOf(small, asFloat(0.3));
        }
    }
    if (!data) return sendRecord(cg::CGRectMake(rect.origin.x, rect.origin.y, 0, 0), display, 0, nullptr, 0);
    return sendRecord(rect, display, regions::QNScreenEncodingSqueezedJPG, data->data(), data->size());
}

bool QNBVellEncoder::sendZlibRect(cg::CGRect rect, const uint8_t* framebuffer,
                                  const display::QNBDisplay& display, uint32_t* zlibSize) {
    auto socket = clientSocket();
    if (!socket || !framebuffer || !(rect.size.width >= 1) || !(rect.size.height >= 1) ||
        rect.size.width > 16384 || rect.size.height > 16384)
        return false;
    const size_t width = size_t(rect.size.width), height = size_t(rect.size.height);
    const size_t rowBytes = width * 4, n = rowBytes * height;
    const bool android = capabilities().androidFlags & 1;
    std::vector<uint8_t> out(n + (n + 99) / 60 + 64);
    std::vector<uint8_t> scratch(android ? rowBytes : 0);
    z_stream& stream = deflateStream();
    stream.next_out = out.data();
    stream.avail_out = uInt(out.size());

    // A stream that fails leaves the client's inflater behind for good: that client's
    // connection ends, the other sessions go on.
    auto fail = [&](int error, size_t input) {
        platform::log("Zlib died with error %d - avail_out %d, avail_in %d, rowWidth %u rectWidth %f", error,
                      int(stream.avail_out), int(input), unsigned(rowBytes), rect.size.width);
        socket->close();
        return false;
    };
    for (size_t row = 0; row < height; ++row) {
        const uint8_t* source = framebuffer + row * rowBytes;
        if (android) {
            for (size_t x = 0; x < width; ++x) {
                scratch[4 * x] = source[4 * x + 2];
                scratch[4 * x + 1] = source[4 * x + 1];
                scratch[4 * x + 2] = source[4 * x];
                scratch[4 * x + 3] = 0xFF;
            }
            source = scratch.data();
        }
        const int flush = row + 1 == height ? Z_SYNC_FLUSH : Z_NO_FLUSH;
        stream.next_in = const_cast<Bytef*>(source);
        stream.avail_in = uInt(rowBytes);
        for (;;) {
            if (stream.avail_out == 0) {
                // Out of space: the buffer grows and deflate goes on where it stopped.
                const size_t used = out.size();
                try {
                    out.resize(used + 2048);
                } catch (const std::bad_alloc&) {
                    platform::log("ScreenServer could not realloc the compression buffer");
                    socket->close();
                    return false;
                }
                stream.next_out = out.data() + used;
                stream.avail_out = 2048;
            }
            const int status = deflate(&stream, flush);
            if (status != Z_OK && status != Z_BUF_ERROR) return fail(status, stream.avail_in);
            if (status == Z_BUF_ERROR && stream.avail_out != 0) break; // nothing left to do
            // A sync flush is whole once deflate left output space unused.
            if (stream.avail_in == 0 && (flush == Z_NO_FLUSH || stream.avail_out != 0)) break;
        }
    }
    const size_t length = out.size() - stream.avail_out;
    stream.next_in = Z_NULL;
    stream.next_out = Z_NULL;
    stream.avail_out = 0;
    if (zlibSize) *zlibSize = uint32_t(length);
    return sendRecord(rect, display, regions::QNScreenEncodingLibz, out.data(), length);
}

} // namespace capture
