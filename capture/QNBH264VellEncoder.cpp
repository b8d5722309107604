#include "capture/QNBH264VellEncoder.h"

#include "display/QNBDisplaySet.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"

#include <cstring>

namespace capture {

namespace {

constexpr uint32_t kPixelFormatBGRA = 0x42475241; // 'BGRA'
// The display stream only tells of changes; it need not deliver more often than this.
constexpr double kStreamMinimumFrameTime = 1.0 / 45;

double secondsNow() {
    return platform::toSeconds(platform::now().time_since_epoch());
}

// The surface's raised use count and reference, given back once the session is done with it.
void giveBack(const iosurface::IOSurfaceRef& surface) {
    iosurface::IOSurfaceDecrementUseCount(surface);
}

} // namespace

std::shared_ptr<QNBH264VellEncoder> QNBH264VellEncoder::create() {
    return std::make_shared<QNBH264VellEncoder>();
}

QNBH264VellEncoder::QNBH264VellEncoder() : m_encodingStartDate(secondsNow()) {}

QNBH264VellEncoder::~QNBH264VellEncoder() {
    stopSession();
}

std::shared_ptr<display::QNBDisplay> QNBH264VellEncoder::display() const {
    std::lock_guard lock(m_fieldsLock);
    return m_display;
}

void QNBH264VellEncoder::setDisplay(const std::shared_ptr<display::QNBDisplay>& display) {
    {
        std::lock_guard lock(m_fieldsLock);
        if (m_display == display) return;
    }
    stopSession();
    {
        std::lock_guard lock(m_fieldsLock);
        m_display = display;
    }
    if (display) startSession();
}

double QNBH264VellEncoder::outputScale() const {
    std::lock_guard lock(m_fieldsLock);
    return m_outputScale;
}

void QNBH264VellEncoder::setOutputScale(double scale) {
    std::shared_ptr<display::QNBDisplay> current;
    {
        std::lock_guard lock(m_fieldsLock);
        if (m_outputScale == scale) return;
        current = m_display;
    }
    stopSession();
    {
        std::lock_guard lock(m_fieldsLock);
        m_outputScale = scale;
    }
    if (current) startSession();
}

cg::CGSize QNBH264VellEncoder::displaySize() const {
    auto current = display();
    return current ? current->scaleCorrectedDisplayBounds().size : cg::CGSize{};
}

vt::VTCompressionSessionRef QNBH264VellEncoder::compressionSession() const {
    std::lock_guard lock(m_compressionSessionLock);
    return m_compressionSession;
}

cg::CGDisplayStreamRef QNBH264VellEncoder::displayStream() {
    {
        std::lock_guard lock(m_compressionSessionLock);
        if (m_displayStream) return m_displayStream;
    }
    startSession();
    std::lock_guard lock(m_compressionSessionLock);
    return m_displayStream;
}

dispatch::dispatch_queue_t QNBH264VellEncoder::encodeQueue() {
    std::lock_guard lock(m_fieldsLock);
    if (!m_encodeQueue)
        m_encodeQueue =
            dispatch::dispatch_queue_create("com.quenby.encodequeue", dispatch::DISPATCH_QUEUE_SERIAL);
    return m_encodeQueue;
}

dispatch::dispatch_queue_t QNBH264VellEncoder::autoEncodeQueue() {
    std::lock_guard lock(m_fieldsLock);
    if (!m_autoEncodeQueue)
        m_autoEncodeQueue =
            dispatch::dispatch_queue_create("com.quenby.autoencode", dispatch::DISPATCH_QUEUE_SERIAL);
    return m_autoEncodeQueue;
}

double QNBH264VellEncoder::autoEncodingEndInterval() const {
    std::lock_guard lock(m_compressionSessionLock);
    return m_autoEncodingEndInterval;
}

std::vector<std::shared_ptr<CompressionFrameInfo>> QNBH264VellEncoder::frameInfoArray() const {
    std::lock_guard lock(m_fieldsLock);
    return m_frameInfoArray;
}

void QNBH264VellEncoder::encodeFrame(int32_t, bool, const std::shared_ptr<display::QNBDisplay>& display,
                                     uint32_t) {
    setDisplay(display);
}

// ---- The session

void QNBH264VellEncoder::startSession() {
    auto current = display();
    if (!current) return;
    stopSession();
    const cg::CGSize size = displaySize();
    const double scale = outputScale();
    std::lock_guard lock(m_compressionSessionLock);
    vt::VTCompressionSessionRef session;
    const cf::Dictionary attributes{{cv::kCVPixelBufferPixelFormatTypeKey, int64_t(kPixelFormatBGRA)}};
    // Sizes no int holds are refused by the session like any other bad size.
    const double width = size.width * scale, height = size.height * scale;
    const int32_t w = width >= 0 && width < 1e9 ? int32_t(width) : -1;
    const int32_t h = height >= 0 && height < 1e9 ? int32_t(height) : -1;
    if (vt::VTCompressionSessionCreate(nullptr, w, h, cm::kCMVideoCodecType_H264, nullptr, &attributes,
                                       nullptr, CompressionOutputCallback, this, &session) != 0)
        return;
    vt::VTSessionSetProperty(session, vt::kVTCompressionPropertyKey_RealTime, cf::Value(true));
    vt::VTSessionSetProperty(session, vt::kVTCompressionPropertyKey_AllowFrameReordering, cf::Value(false));
    vt::VTSessionSetProperty(session, vt::kVTCompressionPropertyKey_ExpectedFrameRate,
                             cf::Value(int64_t(drivenFramerate())));
    vt::VTCompressionSessionPrepareToEncodeFrames(session);
    m_numberOfFramesEncoded.store(0);
    m_queuedFrames.store(0);

    dispatch::dispatch_queue_t streamQueue;
    {
        std::lock_guard fields(m_fieldsLock);
        if (!m_streamQueue)
            m_streamQueue =
                dispatch::dispatch_queue_create("display stream", dispatch::DISPATCH_QUEUE_SERIAL);
        streamQueue = m_streamQueue;
    }
    cg::CGDisplayStreamProperties properties;
    properties.showCursor = false;
    properties.minimumFrameTime = kStreamMinimumFrameTime;
    std::weak_ptr<QNBH264VellEncoder> weak = std::static_pointer_cast<QNBH264VellEncoder>(shared_from_this());
    auto stream = cg::CGDisplayStreamCreateWithDispatchQueue(
        current->displayID(), size_t(size.width > 0 ? size.width : 0),
        size_t(size.height > 0 ? size.height : 0), cg::kCGDisplayStreamPixelFormatBGRA, properties,
        streamQueue,
        [weak](cg::CGDisplayStreamFrameStatus status, uint64_t time, const iosurface::IOSurfaceRef& surface,
               const cg::CGDisplayStreamUpdateRef& update) {
            if (auto self = weak.lock())
                self->displayStreamCompletedWithStatus(status, time, surface, update);
        });
    if (!stream) {
        vt::VTCompressionSessionInvalidate(session);
        return;
    }
    m_compressionSession = session;
    m_displayStream = stream;
    cg::CGDisplayStreamStart(stream);
    auto loop = m_loop;
    dispatch::dispatch_async(autoEncodeQueue(), [weak, loop] { autoEncodeLoop(weak, loop); });
}

void QNBH264VellEncoder::stopSession() {
    vt::VTCompressionSessionRef session;
    cg::CGDisplayStreamRef stream;
    {
        std::lock_guard lock(m_compressionSessionLock);
        session = std::move(m_compressionSession);
        stream = std::move(m_displayStream);
        m_compressionSession = nullptr;
        m_displayStream = nullptr;
    }
    // The loop ends at its next check, at once; wait for it without the lock, which each of its
    // frames takes.
    {
        std::lock_guard hold(m_loop->lock);
        m_loop->woken = true;
        m_loop->wake.notify_all();
    }
    dispatch::dispatch_queue_t loopQueue;
    {
        std::lock_guard fields(m_fieldsLock);
        loopQueue = m_autoEncodeQueue;
    }
    if (loopQueue && dispatch::currentQueue() != loopQueue) dispatch::dispatch_barrier_sync(loopQueue, [] {});
    // Frames still in the session call back (as dropped) before it is gone.
    if (session) vt::VTCompressionSessionInvalidate(session);
    if (stream) cg::CGDisplayStreamStop(stream);
}

bool QNBH264VellEncoder::hasSessionAndStream() const {
    std::lock_guard lock(m_compressionSessionLock);
    return m_compressionSession && m_displayStream;
}

void QNBH264VellEncoder::autoEncodeLoop(std::weak_ptr<QNBH264VellEncoder> weak,
                                        std::shared_ptr<LoopState> loop) {
    const double interval = 1.0 / 160;
    for (;;) {
        platform::TimePoint next;
        {
            auto self = weak.lock();
            if (!self || !self->hasSessionAndStream()) return;
            self->autoEncodeFrame();
            // The pause is fixed before the turn is counted: time that passes after the count
            // shortens it.
            next = platform::now() + platform::seconds(interval);
            ++self->m_autoEncodeTurns;
        }
        std::unique_lock hold(loop->lock);
        platform::waitUntil(loop->wake, hold, next, [&] { return loop->woken; });
        loop->woken = false;
    }
}

void QNBH264VellEncoder::displayStreamCompletedWithStatus(cg::CGDisplayStreamFrameStatus status, uint64_t,
                                                          const iosurface::IOSurfaceRef&,
                                                          const cg::CGDisplayStreamUpdateRef&) {
    if (status != cg::kCGDisplayStreamFrameStatusFrameComplete) return;
    std::lock_guard lock(m_compressionSessionLock);
    m_autoEncodingEndInterval = secondsNow() + autoEncodingDuration();
}

void QNBH264VellEncoder::autoEncodeFrame() {
    const double now = secondsNow();
    if (!(now < autoEncodingEndInterval() && now > lastFrameSent() + 1.0 / drivenFramerate())) return;
    auto current = display();
    if (!current) return;
    cg::CGDirectDisplayID id = current->displayID();
    if (cg::CGDisplayIsInMirrorSet(id)) {
        const cg::CGDirectDisplayID master = cg::CGDisplayMirrorsDisplay(id);
        if (master != cg::kCGNullDirectDisplay) id = master;
    }
    cg::CGImageRef image = cg::CGDisplayCreateImage(id);
    if (!image) return;
    const size_t width = cg::CGImageGetWidth(image), height = cg::CGImageGetHeight(image);
    const size_t bytesPerRow = cg::CGImageGetBytesPerRow(image);
    auto surface = iosurface::IOSurfaceCreate(
        cf::Dictionary{{iosurface::kIOSurfaceWidth, int64_t(width)},
                       {iosurface::kIOSurfaceHeight, int64_t(height)},
                       {iosurface::kIOSurfaceBytesPerRow, int64_t(bytesPerRow)},
                       {iosurface::kIOSurfaceBytesPerElement, int64_t(4)},
                       {iosurface::kIOSurfacePixelFormat, int64_t(kPixelFormatBGRA)}});
    if (!surface) return;
    iosurface::IOSurfaceLock(surface, 0, nullptr);
    std::memcpy(iosurface::IOSurfaceGetBaseAddress(surface), cg::CGImageGetBytePtr(image),
                bytesPerRow * height);
    iosurface::IOSurfaceUnlock(surface, 0, nullptr);
    encodeFrameWithSurface(surface, nullptr);
}

void QNBH264VellEncoder::encodeFrameWithSurface(const iosurface::IOSurfaceRef& surface,
                                                const cg::CGDisplayStreamUpdateRef&) {
    if (!surface) return;
    const uint64_t limit = maxQueuedFrames();
    if (asynchronous() && limit > 0 && queuedFrames() > limit) return;

    iosurface::IOSurfaceIncrementUseCount(surface);
    cv::CVPixelBufferRef pixelBuffer;
    cv::CVPixelBufferCreateWithIOSurface(nullptr, surface, nullptr, &pixelBuffer);
    const uint64_t number = ++m_numberOfFramesEncoded;
    auto info = std::make_shared<CompressionFrameInfo>();
    info->rectCount = 1;
    info->designation = 0x20;
    info->frameIndex = uint16_t(number);
    {
        std::lock_guard fields(m_fieldsLock);
        m_frameInfoArray.push_back(info);
    }
    ++m_queuedFrames;
    m_lastFrameSent.store(secondsNow());

    vt::VTCompressionSessionRef session;
    vt::OSStatus status;
    {
        std::lock_guard lock(m_compressionSessionLock);
        session = m_compressionSession;
        status =
            session ? vt::VTCompressionSessionEncodeFrame(session, pixelBuffer, compressionTime(),
                                                          cm::kCMTimeIndefinite, nullptr, info.get(), nullptr)
                    : vt::kVTInvalidSessionErr;
    }
    cv::CVPixelBufferRelease(pixelBuffer);
    if (status != 0) {
        // No callback will come for this frame: it is finished here, and nothing was written.
        giveBack(surface);
        finishedFrameWithInfo(info.get());
        return;
    }
    // The wait for the frame runs without the lock: the frame's callback waits for the client
    // socket, whose holder may be about to take the lock.
    auto complete = [session, surface] {
        vt::VTCompressionSessionCompleteFrames(session, cm::kCMTimePositiveInfinity);
        giveBack(surface);
    };
    if (asynchronous())
        dispatch::dispatch_async(encodeQueue(), std::move(complete));
    else
        complete();
}

void QNBH264VellEncoder::finishedFrameWithInfo(CompressionFrameInfo* info) {
    uint64_t queued = m_queuedFrames.load();
    while (queued > 0 && !m_queuedFrames.compare_exchange_weak(queued, queued - 1)) {
    }
    std::lock_guard fields(m_fieldsLock);
    std::erase_if(m_frameInfoArray, [info](const auto& entry) { return entry.get() == info; });
}

const QNBVellEncoderClass& QNBH264VellEncoderClass() {
    static const QNBVellEncoderClass h264{"QNBH264VellEncoder", [] { return QNBH264VellEncoder::create(); }};
    return h264;
}

} // namespace capture
