#include "platform/videotoolbox/VTCompressionSession.h"

#include "platform/core/Log.h"
#include "platform/videotoolbox/PixelConversion.h"

#include <x264.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace vt {

namespace {

constexpr uint32_t kPixelFormatBGRA = 0x42475241; // 'BGRA'
constexpr double kDefaultFrameRate = 30;
// x264 writes each NAL unit behind a 4-byte big-endian length when not in Annex B form.
constexpr size_t kNALLengthSize = 4;
constexpr int kNALTypeSPS = 7, kNALTypePPS = 8;

struct Job {
    cv::CVPixelBufferRef buffer;
    cm::CMTime presentationTimeStamp;
    void* sourceFrameRefCon;
};

} // namespace

namespace detail {

// The session's state, shared with its thread: a session whose last reference goes inside a
// callback leaves its thread running to the end on a state that is still there.
class SessionCore {
  public:
    SessionCore(int32_t width, int32_t height, VTCompressionOutputCallback callback, void* refCon)
        : m_width(width), m_height(height), m_chroma444(width % 2 != 0 || height % 2 != 0),
          m_callback(callback), m_refCon(refCon) {}
    SessionCore(const SessionCore&) = delete;
    SessionCore& operator=(const SessionCore&) = delete;

    static void start(const std::shared_ptr<detail::SessionCore>& core) {
        core->m_thread = std::thread([core] { core->run(); });
    }

    OSStatus setProperty(const char* key, const cf::Value& value) {
        std::lock_guard lock(m_lock);
        if (m_invalid) return kVTInvalidSessionErr;
        const std::string_view name = key ? key : "";
        if (name == kVTCompressionPropertyKey_RealTime ||
            name == kVTCompressionPropertyKey_AllowFrameReordering) {
            auto flag = value.asBool();
            if (!flag) return kVTParameterErr;
            (name == kVTCompressionPropertyKey_RealTime ? m_realTime : m_allowFrameReordering) = *flag;
            return 0;
        }
        if (name == kVTCompressionPropertyKey_ExpectedFrameRate) {
            const double rate = value.isNumber() ? value.doubleValue() : 0;
            if (!(rate > 0) || !std::isfinite(rate)) return kVTParameterErr;
            m_frameRate = rate;
            return 0;
        }
        return kVTPropertyNotSupportedErr;
    }

    OSStatus prepare() {
        std::lock_guard lock(m_lock);
        if (m_invalid) return kVTInvalidSessionErr;
        return openLocked();
    }

    OSStatus encode(const cv::CVImageBufferRef& buffer, cm::CMTime pts, void* refCon,
                    VTEncodeInfoFlags* flags) {
        if (!buffer || cv::CVPixelBufferGetWidth(buffer) != size_t(m_width) ||
            cv::CVPixelBufferGetHeight(buffer) != size_t(m_height) ||
            cv::CVPixelBufferGetPixelFormatType(buffer) != kPixelFormatBGRA ||
            cv::CVPixelBufferGetBytesPerRow(buffer) < size_t(m_width) * 4)
            return kVTParameterErr;
        std::lock_guard lock(m_lock);
        if (m_invalid) return kVTInvalidSessionErr;
        m_queue.push_back(Job{buffer, pts, refCon});
        ++m_submitted;
        m_wake.notify_all();
        if (flags) *flags = kVTEncodeInfo_Asynchronous;
        return 0;
    }

    OSStatus complete() {
        std::unique_lock lock(m_lock);
        if (m_invalid) return kVTInvalidSessionErr;
        if (std::this_thread::get_id() == m_thread.get_id()) return 0;
        const uint64_t until = m_submitted;
        m_finished.wait(lock, [&] { return m_completed >= until; });
        return 0;
    }

    void invalidate() {
        {
            std::lock_guard lock(m_lock);
            if (m_ending) return;
            m_invalid = m_ending = true;
            m_wake.notify_all();
        }
        if (m_thread.joinable()) {
            if (std::this_thread::get_id() == m_thread.get_id())
                m_thread.detach(); // the last reference went in a callback: the thread ends by itself
            else
                m_thread.join();
        }
    }

    void failNextFrames(int frames, OSStatus status) {
        std::lock_guard lock(m_lock);
        m_failFrames = frames;
        m_failStatus = status;
    }

  private:
    // Opens x264 with the properties set so far (under m_lock); 0 when open.
    OSStatus openLocked() {
        if (m_encoder) return 0;
        x264_param_t param;
        if (x264_param_default_preset(&param, "veryfast", "zerolatency") != 0)
            return kVTVideoEncoderMalfunctionErr;
        param.i_width = m_width;
        param.i_height = m_height;
        param.i_csp = m_chroma444 ? X264_CSP_I444 : X264_CSP_I420;
        if (!m_allowFrameReordering) param.i_bframe = 0;
        if (m_realTime) param.i_sync_lookahead = 0;
        const uint32_t rate =
            uint32_t(std::lround(std::clamp(m_frameRate > 0 ? m_frameRate : kDefaultFrameRate, 1.0, 1000.0)));
        param.i_fps_num = rate;
        param.i_fps_den = 1;
        param.i_timebase_num = 1;
        param.i_timebase_den = rate;
        param.b_vfr_input = 0;
        param.b_annexb = 0;
        param.b_repeat_headers = 0;
        param.i_log_level = X264_LOG_ERROR;
        m_encoder = x264_encoder_open(&param);
        if (!m_encoder) {
            platform::log("VTCompressionSession: the encoder refused %dx%d", m_width, m_height);
            return kVTVideoEncoderMalfunctionErr;
        }
        auto description = std::make_shared<cm::CMFormatDescription>();
        description->codecType = cm::kCMVideoCodecType_H264;
        description->width = m_width;
        description->height = m_height;
        x264_nal_t* nals = nullptr;
        int count = 0;
        std::vector<uint8_t> sps, pps;
        if (x264_encoder_headers(m_encoder, &nals, &count) >= 0) {
            for (int i = 0; i < count; ++i) {
                if (size_t(nals[i].i_payload) <= kNALLengthSize) continue;
                std::vector<uint8_t> unit(nals[i].p_payload + kNALLengthSize,
                                          nals[i].p_payload + nals[i].i_payload);
                if (nals[i].i_type == kNALTypeSPS)
                    sps = std::move(unit);
                else if (nals[i].i_type == kNALTypePPS)
                    pps = std::move(unit);
            }
        }
        if (sps.empty() || pps.empty()) {
            x264_encoder_close(m_encoder);
            m_encoder = nullptr;
            return kVTVideoEncoderMalfunctionErr;
        }
        description->parameterSets = {std::move(sps), std::move(pps)};
        m_format = std::move(description);
        return 0;
    }

    void run() {
        m_y.resize(size_t(m_width) * size_t(m_height));
        m_u.resize(m_chroma444 ? m_y.size() : m_y.size() / 4);
        m_v.resize(m_u.size());
        for (;;) {
            Job job;
            bool ending, fail;
            OSStatus failStatus = 0;
            {
                std::unique_lock lock(m_lock);
                m_wake.wait(lock, [&] { return m_ending || !m_queue.empty(); });
                if (m_queue.empty()) break;
                job = std::move(m_queue.front());
                m_queue.pop_front();
                ending = m_ending;
                fail = m_failFrames > 0;
                if (fail) {
                    --m_failFrames;
                    failStatus = m_failStatus;
                }
                if (!ending && !fail && openLocked() != 0)
                    fail = true, failStatus = kVTVideoEncoderMalfunctionErr;
            }
            if (ending || fail) {
                job.buffer.reset();
                m_callback(m_refCon, job.sourceFrameRefCon, failStatus,
                           failStatus ? 0 : kVTEncodeInfo_FrameDropped, nullptr);
            } else {
                encodeJob(std::move(job));
            }
            std::lock_guard lock(m_lock);
            ++m_completed;
            m_finished.notify_all();
        }
        if (m_encoder) x264_encoder_close(m_encoder);
        m_encoder = nullptr;
    }

    void encodeJob(Job job) {
        cv::CVPixelBufferLockBaseAddress(job.buffer, cv::kCVPixelBufferLock_ReadOnly);
        const auto* pixels = static_cast<const uint8_t*>(cv::CVPixelBufferGetBaseAddress(job.buffer));
        const size_t pitch = cv::CVPixelBufferGetBytesPerRow(job.buffer);
        if (m_chroma444)
            ConvertBGRAToI444(pixels, pitch, m_width, m_height, m_y.data(), m_u.data(), m_v.data());
        else
            ConvertBGRAToI420(pixels, pitch, m_width, m_height, m_y.data(), m_u.data(), m_v.data());
        cv::CVPixelBufferUnlockBaseAddress(job.buffer, cv::kCVPixelBufferLock_ReadOnly);
        job.buffer.reset();

        x264_picture_t picture, out;
        x264_picture_init(&picture);
        picture.img.i_csp = m_chroma444 ? X264_CSP_I444 : X264_CSP_I420;
        picture.img.i_plane = 3;
        picture.img.plane[0] = m_y.data();
        picture.img.plane[1] = m_u.data();
        picture.img.plane[2] = m_v.data();
        picture.img.i_stride[0] = m_width;
        picture.img.i_stride[1] = picture.img.i_stride[2] = m_chroma444 ? m_width : m_width / 2;
        // The encoder's own clock is the frame count: callers may give every frame time 0.
        picture.i_pts = m_frameCount++;
        x264_nal_t* nals = nullptr;
        int count = 0;
        const int size = x264_encoder_encode(m_encoder, &nals, &count, &picture, &out);
        if (size <= 0 || count <= 0) {
            // Nothing came out for this frame (no delay is configured, so nothing ever will).
            m_callback(m_refCon, job.sourceFrameRefCon, size < 0 ? kVTVideoEncoderMalfunctionErr : 0,
                       size < 0 ? 0 : kVTEncodeInfo_FrameDropped, nullptr);
            return;
        }
        auto sample = std::make_shared<cm::CMSampleBuffer>();
        sample->dataBuffer = std::make_shared<cm::CMBlockBuffer>();
        // x264 lays a frame's NAL units out one after the other.
        sample->dataBuffer->bytes.assign(nals[0].p_payload, nals[0].p_payload + size);
        sample->formatDescription = m_format;
        sample->presentationTimeStamp = job.presentationTimeStamp;
        sample->duration = cm::kCMTimeInvalid;
        const bool key = out.b_keyframe != 0;
        sample->attachments = cf::Array{cf::Value(cf::Dictionary{
            {cm::kCMSampleAttachmentKey_DependsOnOthers, !key}, {cm::kCMSampleAttachmentKey_NotSync, !key}})};
        m_callback(m_refCon, job.sourceFrameRefCon, 0, 0, std::move(sample));
    }

    const int32_t m_width, m_height;
    const bool m_chroma444;
    const VTCompressionOutputCallback m_callback;
    void* const m_refCon;

    std::mutex m_lock;
    std::condition_variable m_wake, m_finished;
    std::deque<Job> m_queue;
    uint64_t m_submitted = 0, m_completed = 0;
    bool m_invalid = false, m_ending = false;
    bool m_realTime = false, m_allowFrameReordering = true;
    double m_frameRate = 0;
    int m_failFrames = 0;
    OSStatus m_failStatus = 0;
    x264_t* m_encoder = nullptr;
    cm::CMFormatDescriptionRef m_format;

    // The thread's own.
    int64_t m_frameCount = 0;
    std::vector<uint8_t> m_y, m_u, m_v;
    std::thread m_thread;
};

} // namespace detail

class VTCompressionSession {
  public:
    explicit VTCompressionSession(std::shared_ptr<detail::SessionCore> core) : core(std::move(core)) {}
    ~VTCompressionSession() { core->invalidate(); }
    VTCompressionSession(const VTCompressionSession&) = delete;
    VTCompressionSession& operator=(const VTCompressionSession&) = delete;
    const std::shared_ptr<detail::SessionCore> core;
};

OSStatus VTCompressionSessionCreate(std::nullptr_t, int32_t width, int32_t height,
                                    cm::CMVideoCodecType codecType, const cf::Dictionary*,
                                    const cf::Dictionary* sourceImageBufferAttributes, std::nullptr_t,
                                    VTCompressionOutputCallback outputCallback, void* outputCallbackRefCon,
                                    VTCompressionSessionRef* out) {
    if (!out) return kVTParameterErr;
    *out = nullptr;
    if (codecType != cm::kCMVideoCodecType_H264) return kVTCouldNotFindVideoEncoderErr;
    if (width < 1 || height < 1 || width > kVTMaxSide || height > kVTMaxSide || !outputCallback) {
        platform::log("VTCompressionSessionCreate: refused a %dx%d session", width, height);
        return kVTParameterErr;
    }
    if (sourceImageBufferAttributes) {
        auto format = sourceImageBufferAttributes->find(cv::kCVPixelBufferPixelFormatTypeKey);
        if (format != sourceImageBufferAttributes->end() &&
            (!format->second.isNumber() || format->second.storedInteger() != int64_t(kPixelFormatBGRA)))
            return kVTParameterErr;
    }
    auto core = std::make_shared<detail::SessionCore>(width, height, outputCallback, outputCallbackRefCon);
    detail::SessionCore::start(core);
    *out = std::make_shared<VTCompressionSession>(core);
    return 0;
}

OSStatus VTSessionSetProperty(const VTCompressionSessionRef& session, const char* key,
                              const cf::Value& value) {
    return session ? session->core->setProperty(key, value) : kVTParameterErr;
}

OSStatus VTCompressionSessionPrepareToEncodeFrames(const VTCompressionSessionRef& session) {
    return session ? session->core->prepare() : kVTParameterErr;
}

OSStatus VTCompressionSessionEncodeFrame(const VTCompressionSessionRef& session,
                                         const cv::CVImageBufferRef& imageBuffer,
                                         cm::CMTime presentationTimeStamp, cm::CMTime, const cf::Dictionary*,
                                         void* sourceFrameRefCon, VTEncodeInfoFlags* infoFlagsOut) {
    if (infoFlagsOut) *infoFlagsOut = 0;
    return session
               ? session->core->encode(imageBuffer, presentationTimeStamp, sourceFrameRefCon, infoFlagsOut)
               : kVTParameterErr;
}

OSStatus VTCompressionSessionCompleteFrames(const VTCompressionSessionRef& session, cm::CMTime) {
    return session ? session->core->complete() : kVTParameterErr;
}

void VTCompressionSessionInvalidate(const VTCompressionSessionRef& session) {
    if (session) session->core->invalidate();
}

namespace testing {
void VTCompressionSessionFailNextFrames(const VTCompressionSessionRef& session, int frames, OSStatus status) {
    if (session) session->core->failNextFrames(frames, status);
}
} // namespace testing

} // namespace vt
