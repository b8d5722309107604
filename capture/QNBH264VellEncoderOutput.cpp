// What the H.264 encoder writes for each frame the compression session hands back.
#include "capture/QNBH264VellEncoder.h"

#include "regions/ScreenUpdateRecords.h"

#include "net/QNNetSocketProtocol.h"
#include "platform/core/Log.h"

#include <limits>

namespace capture {

namespace {

bool sendZeroRecord(net::QNNetSocketProtocol& socket) {
    return SendClientUpdateData(socket, 0, 0, nullptr);
}

// Parameter set index of the sample's description as a record of the encoding; a set that
// cannot be read still gives a record, so the header's count holds.
void sendParameterSet(net::QNNetSocketProtocol& socket, const cm::CMSampleBufferRef& sample, size_t index,
                      uint8_t encoding) {
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    if (cm::CMVideoFormatDescriptionGetH264ParameterSetAtIndex(cm::CMSampleBufferGetFormatDescription(sample),
                                                               index, &bytes, &size, nullptr,
                                                               nullptr) != cm::noErr ||
        size > std::numeric_limits<uint32_t>::max()) {
        sendZeroRecord(socket);
        return;
    }
    SendClientUpdateData(socket, encoding, uint32_t(size), bytes);
}

} // namespace

bool SendClientUpdateData(net::QNNetSocketProtocol& socket, uint8_t encoding, uint32_t length,
                          const uint8_t* bytes) {
    regions::QNRectangleMsg record;
    record.encoding = encoding;
    record.payloadLength = bytes ? length : 0;
    const auto head = record.encode();
    bool sent = socket.sendBytes(head.data(), head.size());
    if (bytes && length) sent = socket.sendBytes(bytes, length) && sent;
    return sent;
}

bool IsKeyFrameBuffer(const cm::CMSampleBufferRef& sample) {
    const cf::Array* attachments = cm::CMSampleBufferGetSampleAttachmentsArray(sample, false);
    if (!attachments || attachments->empty()) return false;
    const cf::Value* dependsOnOthers = (*attachments)[0].find(cm::kCMSampleAttachmentKey_DependsOnOthers);
    return dependsOnOthers && dependsOnOthers->asBool() == false;
}

void CompressionOutputCallback(void* encoderRef, void* infoRef, vt::OSStatus status,
                               vt::VTEncodeInfoFlags flags, cm::CMSampleBufferRef sample) {
    auto* encoder = static_cast<QNBH264VellEncoder*>(encoderRef);
    auto* info = static_cast<CompressionFrameInfo*>(infoRef);
    if (!encoder || !info) return;
    const bool key = IsKeyFrameBuffer(sample);
    const uint16_t count = uint16_t(info->rectCount + (key ? 2 : 0));
    if (auto socket = encoder->clientSocket()) {
        std::lock_guard lock(*socket);
        const auto header = regions::QNScreenUpdateMsg{info->designation, count}.encode();
        socket->sendBytes(header.data(), header.size());
        if (status == 0 && !(flags & vt::kVTEncodeInfo_FrameDropped) && sample) {
            if (key) {
                sendParameterSet(*socket, sample, 0, regions::QNScreenEncodingH264SPS);
                sendParameterSet(*socket, sample, 1, regions::QNScreenEncodingH264PPS);
            }
            size_t length = 0;
            char* data = nullptr;
            const vt::OSStatus got = cm::CMBlockBufferGetDataPointer(cm::CMSampleBufferGetDataBuffer(sample),
                                                                     0, &length, nullptr, &data);
            if (got == cm::noErr && length <= std::numeric_limits<uint32_t>::max()) {
                SendClientUpdateData(*socket, regions::QNScreenEncodingH264Frame, uint32_t(length),
                                     reinterpret_cast<const uint8_t*>(data));
            } else {
                platform::log("Error getting block buffer pointer. %i", got);
                sendZeroRecord(*socket);
            }
        } else {
            // The header went out before the outcome was known: the records it announced follow
            // as zero records, so the client's stream stays whole.
            for (uint16_t i = 0; i < count; ++i)
                sendZeroRecord(*socket);
        }
    }
    encoder->finishedFrameWithInfo(info);
}

namespace {

std::shared_ptr<appkit::NSImage> imageOfPixelBuffer(const cv::CVImageBufferRef& buffer) {
    const size_t width = cv::CVPixelBufferGetWidth(buffer), height = cv::CVPixelBufferGetHeight(buffer);
    const size_t bytesPerRow = cv::CVPixelBufferGetBytesPerRow(buffer);
    if (width == 0 || height == 0 || bytesPerRow < width * 4) return nullptr;
    if (cv::CVPixelBufferLockBaseAddress(buffer, cv::kCVPixelBufferLock_ReadOnly) != cv::kCVReturnSuccess)
        return nullptr;
    std::vector<uint8_t> pixels;
    if (const auto* base = static_cast<const uint8_t*>(cv::CVPixelBufferGetBaseAddress(buffer)))
        pixels.assign(base, base + bytesPerRow * height);
    cv::CVPixelBufferUnlockBaseAddress(buffer, cv::kCVPixelBufferLock_ReadOnly);
    if (pixels.empty()) return nullptr;
    cg::CGImageRef image = cg::CGImageCreate(width, height, 8, 32, bytesPerRow, cg::kCGImageAlphaNoneSkipLast,
                                             cg::CGDataProviderCreateWithData(std::move(pixels)));
    auto representation = appkit::NSBitmapImageRep::initWithCGImage(image);
    if (!representation) return nullptr;
    auto wrapped = appkit::NSImage::initWithSize(cg::CGSizeMake(double(width), double(height)));
    wrapped->addRepresentation(representation);
    return wrapped;
}

} // namespace

std::shared_ptr<appkit::NSImage> ImageFromSampleBuffer(const cm::CMSampleBufferRef& sample) {
    if (!sample) return nullptr;
    if (const cv::CVImageBufferRef buffer = cm::CMSampleBufferGetImageBuffer(sample))
        if (auto image = imageOfPixelBuffer(buffer)) return image;
    size_t length = 0;
    char* data = nullptr;
    if (cm::CMBlockBufferGetDataPointer(cm::CMSampleBufferGetDataBuffer(sample), 0, &length, nullptr,
                                        &data) != cm::noErr ||
        !data || length == 0)
        return nullptr;
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    return appkit::NSImage::initWithData(std::vector<uint8_t>(bytes, bytes + length));
}

} // namespace capture
