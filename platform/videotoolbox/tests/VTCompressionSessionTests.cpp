// The stand-in compression session, its surfaces and pixel buffers. What it makes is decoded
// by libavcodec and compared with the pictures it was given.
#include "platform/core/Log.h"
#include "platform/videotoolbox/VTCompressionSession.h"
#include "platform/videotoolbox/testing/H264Decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <mutex>

namespace vt {
namespace {

constexpr uint32_t kBGRA = 0x42475241;

iosurface::IOSurfaceRef surfaceOf(int64_t width, int64_t height, int64_t bytesPerRow) {
    return iosurface::IOSurfaceCreate(cf::Dictionary{{iosurface::kIOSurfaceWidth, width},
                                                     {iosurface::kIOSurfaceHeight, height},
                                                     {iosurface::kIOSurfaceBytesPerRow, bytesPerRow},
                                                     {iosurface::kIOSurfaceBytesPerElement, int64_t(4)},
                                                     {iosurface::kIOSurfacePixelFormat, int64_t(kBGRA)}});
}

// Frame i of a moving picture: smooth gradients, a bright square that travels and a band of
// stripes that scrolls.
void paint(uint8_t* pixels, size_t pitch, int width, int height, int i) {
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = pixels + size_t(y) * pitch + 4 * size_t(x);
            p[0] = uint8_t(x * 255 / width);
            p[1] = uint8_t(y * 255 / height);
            p[2] = uint8_t(128 + 60 * std::sin((x + 4 * i) / 40.0));
            p[3] = 255;
            const int sx = (37 * i) % (width - 100 > 0 ? width - 100 : 1);
            if (x >= sx && x < sx + 100 && y >= height / 3 && y < height / 3 + 100) p[0] = p[1] = p[2] = 240;
            if (y >= height - 60 && ((x + 6 * i) / 16) % 2 == 0) p[0] = p[1] = p[2] = 20;
        }
}

uint8_t lumaOf(const uint8_t* p) {
    return uint8_t(((66 * p[2] + 129 * p[1] + 25 * p[0] + 128) >> 8) + 16);
}

struct Output {
    OSStatus status;
    VTEncodeInfoFlags flags;
    cm::CMSampleBufferRef sample;
    intptr_t frame;
};

struct Collector {
    std::mutex lock;
    std::vector<Output> outputs;
    static void callback(void* refCon, void* frame, OSStatus status, VTEncodeInfoFlags flags,
                         cm::CMSampleBufferRef sample) {
        auto* self = static_cast<Collector*>(refCon);
        std::lock_guard guard(self->lock);
        self->outputs.push_back({status, flags, std::move(sample), reinterpret_cast<intptr_t>(frame)});
    }
};

VTCompressionSessionRef makeSession(int32_t width, int32_t height, Collector* collector) {
    VTCompressionSessionRef session;
    cf::Dictionary attributes{{cv::kCVPixelBufferPixelFormatTypeKey, int64_t(kBGRA)}};
    EXPECT_EQ(VTCompressionSessionCreate(nullptr, width, height, cm::kCMVideoCodecType_H264, nullptr,
                                         &attributes, nullptr, Collector::callback, collector, &session),
              0);
    if (!session) return nullptr;
    EXPECT_EQ(VTSessionSetProperty(session, kVTCompressionPropertyKey_RealTime, cf::Value(true)), 0);
    EXPECT_EQ(VTSessionSetProperty(session, kVTCompressionPropertyKey_AllowFrameReordering, cf::Value(false)),
              0);
    EXPECT_EQ(
        VTSessionSetProperty(session, kVTCompressionPropertyKey_ExpectedFrameRate, cf::Value(int64_t(160))),
        0);
    EXPECT_EQ(VTCompressionSessionPrepareToEncodeFrames(session), 0);
    return session;
}

bool isKeyFrame(const cm::CMSampleBufferRef& sample) {
    const cf::Array* attachments = cm::CMSampleBufferGetSampleAttachmentsArray(sample, false);
    if (!attachments || attachments->empty()) return false;
    const cf::Value* depends = (*attachments)[0].find(cm::kCMSampleAttachmentKey_DependsOnOthers);
    return depends && depends->asBool() == false;
}

// The NAL units of a sample (see H264Decoder::lengthPrefixedUnits).
std::vector<std::vector<uint8_t>> nalUnits(const cm::CMSampleBufferRef& sample) {
    size_t length = 0;
    char* data = nullptr;
    if (cm::CMBlockBufferGetDataPointer(cm::CMSampleBufferGetDataBuffer(sample), 0, &length, nullptr,
                                        &data) != 0)
        return {};
    return testing::H264Decoder::lengthPrefixedUnits(reinterpret_cast<const uint8_t*>(data), length);
}

double lumaPSNR(const AVFrame* frame, const uint8_t* pixels, size_t pitch, int width, int height) {
    double squared = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double d = double(frame->data[0][y * frame->linesize[0] + x]) -
                             double(lumaOf(pixels + size_t(y) * pitch + 4 * size_t(x)));
            squared += d * d;
        }
    const double mse = squared / (double(width) * height);
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

class VTCompressionSessionEncodes : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(VTCompressionSessionEncodes, MovingContentDecodesAtItsSize) {
    const auto [width, height] = GetParam();
    Collector collector;
    auto session = makeSession(width, height, &collector);
    ASSERT_TRUE(session);
    const size_t pitch = (size_t(width) * 4 + 63) / 64 * 64 + 64; // padded, as display pictures are
    constexpr int kFrames = 30;
    std::vector<std::vector<uint8_t>> pictures;
    for (int i = 0; i < kFrames; ++i) {
        auto surface = surfaceOf(width, height, int64_t(pitch));
        ASSERT_TRUE(surface);
        paint(static_cast<uint8_t*>(iosurface::IOSurfaceGetBaseAddress(surface)), pitch, width, height, i);
        const auto* base = static_cast<const uint8_t*>(iosurface::IOSurfaceGetBaseAddress(surface));
        pictures.emplace_back(base, base + pitch * size_t(height));
        cv::CVPixelBufferRef buffer;
        ASSERT_EQ(cv::CVPixelBufferCreateWithIOSurface(nullptr, surface, nullptr, &buffer), 0);
        VTEncodeInfoFlags flags = 0;
        ASSERT_EQ(VTCompressionSessionEncodeFrame(session, buffer, cm::CMTimeMake(i, 30),
                                                  cm::kCMTimeIndefinite, nullptr,
                                                  reinterpret_cast<void*>(intptr_t(i)), &flags),
                  0);
        EXPECT_EQ(flags, kVTEncodeInfo_Asynchronous);
        cv::CVPixelBufferRelease(buffer); // the session keeps its own
    }
    ASSERT_EQ(VTCompressionSessionCompleteFrames(session, cm::kCMTimePositiveInfinity), 0);
    ASSERT_EQ(collector.outputs.size(), size_t(kFrames));

    // The parameter sets live in the format description alone.
    auto format = cm::CMSampleBufferGetFormatDescription(collector.outputs[0].sample);
    const uint8_t* sps = nullptr;
    const uint8_t* pps = nullptr;
    size_t spsSize = 0, ppsSize = 0, count = 0;
    int headerLength = 0;
    ASSERT_EQ(cm::CMVideoFormatDescriptionGetH264ParameterSetAtIndex(format, 0, &sps, &spsSize, &count,
                                                                     &headerLength),
              0);
    ASSERT_EQ(
        cm::CMVideoFormatDescriptionGetH264ParameterSetAtIndex(format, 1, &pps, &ppsSize, nullptr, nullptr),
        0);
    EXPECT_NE(
        cm::CMVideoFormatDescriptionGetH264ParameterSetAtIndex(format, 2, &pps, &ppsSize, nullptr, nullptr),
        0);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(headerLength, 4);
    EXPECT_EQ(sps[0] & 0x1F, 7);
    EXPECT_EQ(pps[0] & 0x1F, 8);

    testing::H264Decoder decoder;
    for (int i = 0; i < kFrames; ++i) {
        const Output& out = collector.outputs[size_t(i)];
        ASSERT_EQ(out.status, 0);
        EXPECT_EQ(out.flags, 0u);
        EXPECT_EQ(out.frame, i);
        EXPECT_EQ(cm::CMSampleBufferGetPresentationTimeStamp(out.sample), cm::CMTimeMake(i, 30));
        EXPECT_EQ(isKeyFrame(out.sample), i == 0) << i;
        auto units = nalUnits(out.sample);
        ASSERT_FALSE(units.empty()) << i;
        for (const auto& unit : units) {
            EXPECT_NE(unit[0] & 0x1F, 7);
            EXPECT_NE(unit[0] & 0x1F, 8);
        }
        if (i == 0) {
            units.insert(units.begin(), {std::vector<uint8_t>(sps, sps + spsSize),
                                         std::vector<uint8_t>(pps, pps + ppsSize)});
        }
        const AVFrame* frame = decoder.decode(units);
        ASSERT_TRUE(frame) << i;
        EXPECT_EQ(frame->width, width);
        EXPECT_EQ(frame->height, height);
        EXPECT_GE(lumaPSNR(frame, pictures[size_t(i)].data(), pitch, width, height), 30.0) << i;
    }
    VTCompressionSessionInvalidate(session);
}

INSTANTIATE_TEST_SUITE_P(Sizes, VTCompressionSessionEncodes,
                         ::testing::Values(std::make_pair(1024, 768), std::make_pair(840, 525)));

TEST(VTCompressionSessionInputs, SurfacesOfWrongPropertiesAreRefused) {
    platform::LogCapture quiet(true);
    auto good = surfaceOf(31, 7, 128);
    ASSERT_TRUE(good);
    EXPECT_EQ(iosurface::IOSurfaceGetWidth(good), 31u);
    EXPECT_EQ(iosurface::IOSurfaceGetBytesPerRow(good), 128u);
    EXPECT_EQ(iosurface::IOSurfaceGetPixelFormat(good), kBGRA);
    EXPECT_NE(iosurface::IOSurfaceGetID(good), iosurface::IOSurfaceGetID(surfaceOf(31, 7, 128)));

    EXPECT_FALSE(surfaceOf(0, 7, 128));
    EXPECT_FALSE(surfaceOf(-4, 7, 128));
    EXPECT_FALSE(surfaceOf(31, 16385, 128));
    EXPECT_FALSE(surfaceOf(31, 7, 120)); // rows shorter than the width
    EXPECT_FALSE(surfaceOf(31, 7, 130)); // not whole pixels
    EXPECT_FALSE(surfaceOf(16384, 1, int64_t(1) << 40));
    cf::Dictionary properties{{iosurface::kIOSurfaceWidth, 8.5},
                              {iosurface::kIOSurfaceHeight, int64_t(2)},
                              {iosurface::kIOSurfaceBytesPerRow, int64_t(64)},
                              {iosurface::kIOSurfaceBytesPerElement, int64_t(4)},
                              {iosurface::kIOSurfacePixelFormat, int64_t(kBGRA)}};
    EXPECT_FALSE(iosurface::IOSurfaceCreate(properties));
    properties.insert_or_assign(iosurface::kIOSurfaceWidth, int64_t(8));
    EXPECT_TRUE(iosurface::IOSurfaceCreate(properties));
    properties.insert_or_assign(iosurface::kIOSurfaceBytesPerElement, int64_t(3));
    EXPECT_FALSE(iosurface::IOSurfaceCreate(properties));
    properties.insert_or_assign(iosurface::kIOSurfaceBytesPerElement, int64_t(4));
    properties.insert_or_assign(iosurface::kIOSurfacePixelFormat, int64_t(0x52474241)); // 'RGBA'
    EXPECT_FALSE(iosurface::IOSurfaceCreate(properties));
    properties.insert_or_assign(iosurface::kIOSurfacePixelFormat, std::string("BGRA"));
    EXPECT_FALSE(iosurface::IOSurfaceCreate(properties));
    properties.erase(iosurface::kIOSurfacePixelFormat);
    EXPECT_FALSE(iosurface::IOSurfaceCreate(properties));
    EXPECT_FALSE(iosurface::IOSurfaceCreate({}));
}

TEST(VTCompressionSessionInputs, PixelBuffersShowTheirSurfaceOnlyWhileLocked) {
    auto surface = surfaceOf(16, 4, 64);
    cv::CVPixelBufferRef buffer;
    ASSERT_EQ(cv::CVPixelBufferCreateWithIOSurface(nullptr, surface, nullptr, &buffer), 0);
    EXPECT_EQ(cv::CVPixelBufferGetWidth(buffer), 16u);
    EXPECT_EQ(cv::CVPixelBufferGetHeight(buffer), 4u);
    EXPECT_EQ(cv::CVPixelBufferGetBytesPerRow(buffer), 64u);
    EXPECT_EQ(cv::CVPixelBufferGetPixelFormatType(buffer), kBGRA);
    EXPECT_EQ(cv::CVPixelBufferGetIOSurface(buffer), surface);
    EXPECT_EQ(cv::CVPixelBufferGetBaseAddress(buffer), nullptr);
    EXPECT_NE(cv::CVPixelBufferUnlockBaseAddress(buffer, 0), 0);
    ASSERT_EQ(cv::CVPixelBufferLockBaseAddress(buffer, cv::kCVPixelBufferLock_ReadOnly), 0);
    EXPECT_EQ(cv::CVPixelBufferGetBaseAddress(buffer), iosurface::IOSurfaceGetBaseAddress(surface));
    EXPECT_EQ(cv::CVPixelBufferUnlockBaseAddress(buffer, cv::kCVPixelBufferLock_ReadOnly), 0);
    cv::CVPixelBufferRelease(buffer);
    EXPECT_FALSE(buffer);

    cf::Dictionary rgba{{cv::kCVPixelBufferPixelFormatTypeKey, int64_t(0x52474241)}};
    EXPECT_EQ(cv::CVPixelBufferCreateWithIOSurface(nullptr, surface, &rgba, &buffer),
              cv::kCVReturnInvalidPixelFormat);
    EXPECT_EQ(cv::CVPixelBufferCreateWithIOSurface(nullptr, nullptr, nullptr, &buffer),
              cv::kCVReturnInvalidArgument);
    EXPECT_FALSE(buffer);
}

TEST(VTCompressionSessionInputs, SessionsOfWrongSizesOrFormatsAreRefused) {
    platform::LogCapture quiet(true);
    Collector collector;
    auto create = [&](int32_t width, int32_t height, uint32_t codec = cm::kCMVideoCodecType_H264,
                      int64_t format = kBGRA) {
        VTCompressionSessionRef session;
        cf::Dictionary attributes{{cv::kCVPixelBufferPixelFormatTypeKey, format}};
        OSStatus status = VTCompressionSessionCreate(nullptr, width, height, codec, nullptr, &attributes,
                                                     nullptr, Collector::callback, &collector, &session);
        EXPECT_EQ(status == 0, session != nullptr);
        return status;
    };
    EXPECT_EQ(create(0, 768), kVTParameterErr);
    EXPECT_EQ(create(1024, -2), kVTParameterErr);
    EXPECT_EQ(create(16385, 768), kVTParameterErr);
    EXPECT_EQ(create(1024, 768, 0x6D703476), kVTCouldNotFindVideoEncoderErr); // 'mp4v'
    EXPECT_EQ(create(1024, 768, cm::kCMVideoCodecType_H264, 0x52474241), kVTParameterErr);
    EXPECT_EQ(create(1, 1), 0);
    VTCompressionSessionRef none;
    EXPECT_EQ(VTCompressionSessionCreate(nullptr, 64, 64, cm::kCMVideoCodecType_H264, nullptr, nullptr,
                                         nullptr, nullptr, nullptr, &none),
              kVTParameterErr);

    auto session = makeSession(64, 48, &collector);
    ASSERT_TRUE(session);
    EXPECT_EQ(VTSessionSetProperty(session, "AverageBitRate", cf::Value(int64_t(1000))),
              kVTPropertyNotSupportedErr);
    EXPECT_EQ(VTSessionSetProperty(session, kVTCompressionPropertyKey_RealTime, cf::Value(int64_t(1))),
              kVTParameterErr);
    EXPECT_EQ(VTSessionSetProperty(session, kVTCompressionPropertyKey_ExpectedFrameRate, cf::Value(-3.0)),
              kVTParameterErr);
    // A buffer of another size: refused, and nothing calls back.
    cv::CVPixelBufferRef other;
    ASSERT_EQ(cv::CVPixelBufferCreateWithIOSurface(nullptr, surfaceOf(64, 50, 256), nullptr, &other), 0);
    EXPECT_EQ(VTCompressionSessionEncodeFrame(session, other, cm::CMTimeMake(0, 1), cm::kCMTimeIndefinite,
                                              nullptr, nullptr, nullptr),
              kVTParameterErr);
    EXPECT_EQ(VTCompressionSessionEncodeFrame(session, nullptr, cm::CMTimeMake(0, 1), cm::kCMTimeIndefinite,
                                              nullptr, nullptr, nullptr),
              kVTParameterErr);
    EXPECT_EQ(VTCompressionSessionCompleteFrames(session, cm::kCMTimePositiveInfinity), 0);
    EXPECT_TRUE(collector.outputs.empty());
    VTCompressionSessionInvalidate(session);
    cv::CVPixelBufferRef right;
    ASSERT_EQ(cv::CVPixelBufferCreateWithIOSurface(nullptr, surfaceOf(64, 48, 256), nullptr, &right), 0);
    EXPECT_EQ(VTCompressionSessionEncodeFrame(session, right, cm::CMTimeMake(0, 1), cm::kCMTimeIndefinite,
                                              nullptr, nullptr, nullptr),
              kVTInvalidSessionErr);
    EXPECT_EQ(VTCompressionSessionCompleteFrames(session, cm::kCMTimePositiveInfinity), kVTInvalidSessionErr);
}

TEST(VTCompressionSessionHooks, FailedAndDroppedFramesCallBackThenFramesFlowAgain) {
    Collector collector;
    auto session = makeSession(64, 48, &collector);
    ASSERT_TRUE(session);
    cv::CVPixelBufferRef buffer;
    ASSERT_EQ(cv::CVPixelBufferCreateWithIOSurface(nullptr, surfaceOf(64, 48, 256), nullptr, &buffer), 0);
    auto encode = [&](intptr_t i) {
        EXPECT_EQ(VTCompressionSessionEncodeFrame(session, buffer, cm::CMTimeMake(0, 1),
                                                  cm::kCMTimeIndefinite, nullptr, reinterpret_cast<void*>(i),
                                                  nullptr),
                  0);
    };
    testing::VTCompressionSessionFailNextFrames(session, 2, kVTVideoEncoderMalfunctionErr);
    encode(0), encode(1), encode(2);
    VTCompressionSessionCompleteFrames(session, cm::kCMTimePositiveInfinity);
    testing::VTCompressionSessionFailNextFrames(session, 1, 0);
    encode(3), encode(4);
    VTCompressionSessionCompleteFrames(session, cm::kCMTimePositiveInfinity);
    ASSERT_EQ(collector.outputs.size(), 5u);
    for (int i : {0, 1}) {
        EXPECT_EQ(collector.outputs[size_t(i)].status, kVTVideoEncoderMalfunctionErr);
        EXPECT_FALSE(collector.outputs[size_t(i)].sample);
    }
    EXPECT_EQ(collector.outputs[2].status, 0);
    EXPECT_TRUE(isKeyFrame(collector.outputs[2].sample)); // the first frame encoded
    EXPECT_EQ(collector.outputs[3].status, 0);
    EXPECT_EQ(collector.outputs[3].flags, kVTEncodeInfo_FrameDropped);
    EXPECT_FALSE(collector.outputs[3].sample);
    EXPECT_EQ(collector.outputs[4].status, 0);
    EXPECT_TRUE(collector.outputs[4].sample);
    EXPECT_FALSE(isKeyFrame(collector.outputs[4].sample));
    for (intptr_t i = 0; i < 5; ++i)
        EXPECT_EQ(collector.outputs[size_t(i)].frame, i);
    VTCompressionSessionInvalidate(session);
}

TEST(VTCompressionSessionHooks, TinyPicturesEncodeOrFailButAlwaysCallBack) {
    platform::LogCapture quiet(true);
    for (auto [width, height] : {std::pair{1, 1}, std::pair{3, 5}, std::pair{2, 2}}) {
        Collector collector;
        VTCompressionSessionRef session;
        ASSERT_EQ(VTCompressionSessionCreate(nullptr, width, height, cm::kCMVideoCodecType_H264, nullptr,
                                             nullptr, nullptr, Collector::callback, &collector, &session),
                  0);
        cv::CVPixelBufferRef buffer;
        ASSERT_EQ(
            cv::CVPixelBufferCreateWithIOSurface(nullptr, surfaceOf(width, height, 64), nullptr, &buffer), 0);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(VTCompressionSessionEncodeFrame(session, buffer, cm::CMTimeMake(0, 1),
                                                      cm::kCMTimeIndefinite, nullptr, nullptr, nullptr),
                      0);
        VTCompressionSessionCompleteFrames(session, cm::kCMTimePositiveInfinity);
        EXPECT_EQ(collector.outputs.size(), 3u) << width << "x" << height;
        for (const auto& out : collector.outputs) {
            if (out.status == 0 && !(out.flags & kVTEncodeInfo_FrameDropped)) {
                EXPECT_FALSE(nalUnits(out.sample).empty());
            }
        }
        VTCompressionSessionInvalidate(session);
    }
}

TEST(VTCompressionSessionHooks, InvalidatingCallsBackEveryQueuedFrame) {
    Collector collector;
    VTCompressionSessionRef session = makeSession(320, 240, &collector);
    ASSERT_TRUE(session);
    cv::CVPixelBufferRef buffer;
    ASSERT_EQ(cv::CVPixelBufferCreateWithIOSurface(nullptr, surfaceOf(320, 240, 1280), nullptr, &buffer), 0);
    for (int i = 0; i < 20; ++i)
        VTCompressionSessionEncodeFrame(session, buffer, cm::CMTimeMake(0, 1), cm::kCMTimeIndefinite, nullptr,
                                        nullptr, nullptr);
    VTCompressionSessionInvalidate(session);
    EXPECT_EQ(collector.outputs.size(), 20u);
    session.reset(); // the last reference: nothing left running
    EXPECT_EQ(collector.outputs.size(), 20u);
}

} // namespace
} // namespace vt
