// The stand-in compression session against raw libx264: the same 240 frames of a moving photo
// at 1920 × 1080, in one run, first through libx264 as the session drives it (BGRA converted
// to I420, the session's parameters), then through VTCompressionSession with BGRA pixel
// buffers. Prints both frame rates, then the ratio of the session's over the raw one.
#include "platform/videotoolbox/PixelConversion.h"
#include "platform/videotoolbox/VTCompressionSession.h"

#include <x264.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kFrames = 240;
constexpr int kPhotoWidth = kWidth + 2 * kFrames; // the photo slides 2 pixels a frame
constexpr uint32_t kBGRA = 0x42475241;

// A photo-like picture: smooth light, edges and fine texture.
std::vector<uint8_t> makePhoto() {
    std::vector<uint8_t> photo(size_t(kPhotoWidth) * kHeight * 4);
    uint32_t noise = 1;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kPhotoWidth; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int grain = int(noise >> 28) - 8;
            const double light = 0.5 + 0.5 * std::sin(x / 170.0) * std::cos(y / 130.0);
            uint8_t* p = &photo[(size_t(y) * kPhotoWidth + size_t(x)) * 4];
            const bool edge = ((x / 96) + (y / 72)) % 7 == 0;
            p[0] = uint8_t(std::clamp(int(60 + 120 * light) + grain + (edge ? 50 : 0), 0, 255));
            p[1] = uint8_t(std::clamp(int(90 + 100 * light) + grain, 0, 255));
            p[2] = uint8_t(std::clamp(int(140 + 90 * light) + grain - (edge ? 40 : 0), 0, 255));
            p[3] = 255;
        }
    return photo;
}

// Frame i: the photo's window at x = 2i.
void paintFrame(const std::vector<uint8_t>& photo, int i, uint8_t* out, size_t pitch) {
    for (int y = 0; y < kHeight; ++y)
        std::memcpy(out + size_t(y) * pitch, &photo[(size_t(y) * kPhotoWidth + size_t(2 * i)) * 4],
                    size_t(kWidth) * 4);
}

double seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double rawFramesPerSecond(const std::vector<uint8_t>& photo) {
    x264_param_t param;
    x264_param_default_preset(&param, "veryfast", "zerolatency");
    param.i_width = kWidth;
    param.i_height = kHeight;
    param.i_csp = X264_CSP_I420;
    param.i_bframe = 0;
    param.i_sync_lookahead = 0;
    param.i_fps_num = 160;
    param.i_fps_den = 1;
    param.i_timebase_num = 1;
    param.i_timebase_den = 160;
    param.b_vfr_input = 0;
    param.b_annexb = 0;
    param.b_repeat_headers = 0;
    param.i_log_level = X264_LOG_ERROR;
    x264_t* encoder = x264_encoder_open(&param);
    std::vector<uint8_t> frame(size_t(kWidth) * kHeight * 4);
    std::vector<uint8_t> y(size_t(kWidth) * kHeight), u(y.size() / 4), v(y.size() / 4);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kFrames; ++i) {
        paintFrame(photo, i, frame.data(), size_t(kWidth) * 4);
        vt::ConvertBGRAToI420(frame.data(), size_t(kWidth) * 4, kWidth, kHeight, y.data(), u.data(),
                              v.data());
        x264_picture_t picture, out;
        x264_picture_init(&picture);
        picture.img.i_csp = X264_CSP_I420;
        picture.img.i_plane = 3;
        picture.img.plane[0] = y.data();
        picture.img.plane[1] = u.data();
        picture.img.plane[2] = v.data();
        picture.img.i_stride[0] = kWidth;
        picture.img.i_stride[1] = picture.img.i_stride[2] = kWidth / 2;
        picture.i_pts = i;
        x264_nal_t* nals = nullptr;
        int count = 0;
        x264_encoder_encode(encoder, &nals, &count, &picture, &out);
    }
    const double elapsed = seconds(start);
    x264_encoder_close(encoder);
    return kFrames / elapsed;
}

struct Progress {
    std::mutex lock;
    std::condition_variable changed;
    int done = 0;
    int encoded = 0;
};

void countFrame(void* refCon, void*, vt::OSStatus status, vt::VTEncodeInfoFlags,
                cm::CMSampleBufferRef sample) {
    auto* progress = static_cast<Progress*>(refCon);
    std::lock_guard hold(progress->lock);
    ++progress->done;
    if (status == 0 && sample) ++progress->encoded;
    progress->changed.notify_all();
}

double sessionFramesPerSecond(const std::vector<uint8_t>& photo, int* encoded) {
    Progress progress;
    vt::VTCompressionSessionRef session;
    const cf::Dictionary attributes{{cv::kCVPixelBufferPixelFormatTypeKey, int64_t(kBGRA)}};
    if (vt::VTCompressionSessionCreate(nullptr, kWidth, kHeight, cm::kCMVideoCodecType_H264, nullptr,
                                       &attributes, nullptr, countFrame, &progress, &session) != 0)
        return 0;
    vt::VTSessionSetProperty(session, vt::kVTCompressionPropertyKey_RealTime, cf::Value(true));
    vt::VTSessionSetProperty(session, vt::kVTCompressionPropertyKey_AllowFrameReordering, cf::Value(false));
    vt::VTSessionSetProperty(session, vt::kVTCompressionPropertyKey_ExpectedFrameRate,
                             cf::Value(int64_t(160)));
    vt::VTCompressionSessionPrepareToEncodeFrames(session);
    // A ring of surfaces, as a display stream's pool: one is painted again once its frame is back.
    constexpr int kRing = 4;
    std::vector<cv::CVPixelBufferRef> ring(kRing);
    for (auto& buffer : ring) {
        auto surface =
            iosurface::IOSurfaceCreate(cf::Dictionary{{iosurface::kIOSurfaceWidth, int64_t(kWidth)},
                                                      {iosurface::kIOSurfaceHeight, int64_t(kHeight)},
                                                      {iosurface::kIOSurfaceBytesPerRow, int64_t(kWidth * 4)},
                                                      {iosurface::kIOSurfaceBytesPerElement, int64_t(4)},
                                                      {iosurface::kIOSurfacePixelFormat, int64_t(kBGRA)}});
        cv::CVPixelBufferCreateWithIOSurface(nullptr, surface, nullptr, &buffer);
    }
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kFrames; ++i) {
        {
            std::unique_lock hold(progress.lock);
            progress.changed.wait(hold, [&] { return progress.done > i - kRing; });
        }
        const auto& buffer = ring[size_t(i % kRing)];
        cv::CVPixelBufferLockBaseAddress(buffer, 0);
        paintFrame(photo, i, static_cast<uint8_t*>(cv::CVPixelBufferGetBaseAddress(buffer)),
                   cv::CVPixelBufferGetBytesPerRow(buffer));
        cv::CVPixelBufferUnlockBaseAddress(buffer, 0);
        vt::VTCompressionSessionEncodeFrame(session, buffer, cm::CMTimeMake(0, 1), cm::kCMTimeIndefinite,
                                            nullptr, nullptr, nullptr);
    }
    vt::VTCompressionSessionCompleteFrames(session, cm::kCMTimePositiveInfinity);
    const double elapsed = seconds(start);
    vt::VTCompressionSessionInvalidate(session);
    *encoded = progress.encoded;
    return kFrames / elapsed;
}

} // namespace

int main() {
    const auto photo = makePhoto();
    const double raw = rawFramesPerSecond(photo);
    int encoded = 0;
    const double stood = sessionFramesPerSecond(photo, &encoded);
    std::printf("raw libx264: %d frames at %dx%d, %.1f frames/s\n", kFrames, kWidth, kHeight, raw);
    std::printf("VTCompressionSession: %d frames encoded, %.1f frames/s\n", encoded, stood);
    std::printf("P6 h264_bench: ratio=%.2f goal >= 0.90\n", raw > 0 ? stood / raw : 0.0);
    return encoded == kFrames ? 0 : 1;
}
