#include "capture/QNBJPEGVellEncoder.h"

#include "capture/ScreenUpdateWriter.h"
#include "server/display/QNBDisplaySet.h"

#include "platform/core/Clock.h"
#include "platform/core/Format.h"
#include "platform/coregraphics/CGDisplayImage.h"

#include <turbojpeg.h>

#include <cmath>

namespace capture {

namespace {

constexpr int kJPEGQuality = 99;
constexpr size_t kPoolLimit = 16;
constexpr uint8_t kUpdateDesignation = 0x20;

} // namespace

// ---- JPEG data and the compressor ------------------------------------------------------------

JPEGData::JPEGData(unsigned char* bytes, size_t size, size_t capacity,
                   std::function<void(unsigned char*, size_t)> release)
    : m_bytes(bytes), m_size(size), m_capacity(capacity), m_release(std::move(release)) {}

JPEGData::~JPEGData() {
    if (m_release)
        m_release(m_bytes, m_capacity);
    else
        tjFree(m_bytes);
}

std::shared_ptr<JPEGCompressor> JPEGCompressor::create() {
    auto compressor = std::shared_ptr<JPEGCompressor>(new JPEGCompressor());
    compressor->m_handle = tjInitCompress();
    if (!compressor->m_handle) return nullptr;
    return compressor;
}

JPEGCompressor::~JPEGCompressor() {
    for (auto& [bytes, capacity] : m_pool)
        tjFree(bytes);
    if (m_handle) tjDestroy(static_cast<tjhandle>(m_handle));
}

void JPEGCompressor::giveBack(unsigned char* bytes, size_t capacity) {
    std::lock_guard lock(m_lock);
    if (m_pool.size() < kPoolLimit)
        m_pool.emplace_back(bytes, capacity);
    else
        tjFree(bytes);
}

JPEGDataRef JPEGCompressor::compress(const uint8_t* pixels, int width, int pitch, int height) {
    if (!pixels || width <= 0 || height <= 0) return nullptr;
    size_t need = tjBufSize(width, height, TJSAMP_420);
    unsigned char* out = nullptr;
    size_t capacity = 0;
    std::lock_guard lock(m_lock);
    for (size_t i = 0; i < m_pool.size(); ++i) {
        if (m_pool[i].second >= need) {
            std::tie(out, capacity) = m_pool[i];
            m_pool.erase(m_pool.begin() + long(i));
            break;
        }
    }
    if (!out) {
        out = tjAlloc(int(need));
        capacity = need;
        if (!out) return nullptr;
    }
    unsigned long size = capacity;
    int rc = tjCompress2(static_cast<tjhandle>(m_handle), pixels, width, pitch, height, TJPF_BGRX, &out,
                         &size, TJSAMP_420, kJPEGQuality, TJFLAG_FASTDCT | TJFLAG_NOREALLOC);
    std::weak_ptr<JPEGCompressor> weak = weak_from_this();
    auto release = [weak](unsigned char* bytes, size_t cap) {
        if (auto self = weak.lock())
            self->giveBack(bytes, cap);
        else
            tjFree(bytes);
    };
    if (rc != 0) {
        m_pool.emplace_back(out, capacity);
        return nullptr;
    }
    return std::make_shared<JPEGData>(out, size_t(size), capacity, release);
}

std::shared_ptr<QNBJPEGVellEncoderFrame> QNBJPEGVellEncoderFrame::frameWithData(JPEGDataRef data,
                                                                                cg::CGRect rect) {
    auto frame = std::make_shared<QNBJPEGVellEncoderFrame>();
    frame->m_data = std::move(data);
    frame->m_rect = rect;
    return frame;
}

// ---- Plain functions ---------------------------------------------------------------------------

JPEGDataRef JPEGDataWithBufferInRect(const iosurface::IOSurfaceRef& surface, cg::CGRect r,
                                     JPEGCompressor* compressor) {
    if (!surface) return nullptr;
    size_t width = iosurface::IOSurfaceGetWidth(surface), height = iosurface::IOSurfaceGetHeight(surface);
    if (r.origin.x < 0 || r.origin.y < 0 || r.origin.x + r.size.width > double(width) ||
        r.origin.y + r.size.height > double(height))
        return nullptr;
    size_t pitch = iosurface::IOSurfaceGetBytesPerRow(surface);
    const auto* base = static_cast<const uint8_t*>(iosurface::IOSurfaceGetBaseAddress(surface));
    const uint8_t* source = base + int(r.origin.x * 4 + double(pitch) * r.origin.y);
    std::shared_ptr<JPEGCompressor> own;
    if (!compressor) {
        own = JPEGCompressor::create();
        compressor = own.get();
    }
    return compressor ? compressor->compress(source, int(r.size.width), int(pitch), int(r.size.height))
                      : nullptr;
}

JPEGDataRef JPEGDataWithCGImageInRect(const cg::CGImageRef& image, cg::CGRect r, JPEGCompressor* compressor) {
    cg::CGImageRef cut = cg::CGImageCreateWithImageInRect(image, r);
    if (!cut) return nullptr;
    std::shared_ptr<JPEGCompressor> own;
    if (!compressor) {
        own = JPEGCompressor::create();
        compressor = own.get();
    }
    if (!compressor) return nullptr;
    return compressor->compress(cg::CGImageGetBytePtr(cut), int(cg::CGImageGetWidth(cut)),
                                int(cg::CGImageGetBytesPerRow(cut)), int(cg::CGImageGetHeight(cut)));
}

cg::CGRect CGRectEvenIntegral(cg::CGRect r) {
    r = cg::CGRectIntegral(r);
    if (cg::CGRectIsNull(r)) return r;
    if (int64_t(r.size.width) % 2 != 0) {
        r.size.width += 1;
        if (r.origin.x > 0) r.origin.x -= 1;
    }
    if (int64_t(r.size.height) % 2 != 0) {
        r.size.height += 1;
        if (r.origin.y > 0) r.origin.y -= 1;
    }
    return r;
}

CGRectListRef QNBCreateRectListForUpdateRef(const std::vector<cg::CGRect>* updateRects, cg::CGRect rect) {
    auto list = CGRectListCreate(updateRects ? updateRects->size() : 1);
    if (updateRects) {
        for (const auto& r : *updateRects)
            CGRectListAdd(*list, r);
    } else {
        CGRectListAdd(*list, rect);
    }
    return list;
}

std::string NSStringWithTiming(double startDate) {
    double seconds = platform::wallNow() - startDate;
    return platform::format("%f (%.2f Hz)", seconds, 1.0 / seconds);
}

// ---- The encoder -----------------------------------------------------------------------------

std::shared_ptr<QNBJPEGVellEncoder> QNBJPEGVellEncoder::create() {
    return std::make_shared<QNBJPEGVellEncoder>();
}

QNBJPEGVellEncoder::QNBJPEGVellEncoder() : m_compressor(JPEGCompressor::create()) {}

QNBJPEGVellEncoder::~QNBJPEGVellEncoder() {
    std::lock_guard session(m_compressionSessionLock);
    stopSession();
    std::lock_guard lock(encoderLock());
    lastUpdateRectList.reset();
}

dispatch::dispatch_queue_t QNBJPEGVellEncoder::encodeQueue() {
    std::lock_guard lock(m_queuesLock);
    if (!m_encodeQueue)
        m_encodeQueue =
            dispatch::dispatch_queue_create("com.quenby.encodequeue", dispatch::DISPATCH_QUEUE_SERIAL);
    return m_encodeQueue;
}

dispatch::dispatch_queue_t QNBJPEGVellEncoder::sendQueue() {
    std::lock_guard lock(m_queuesLock);
    if (!m_sendQueue)
        m_sendQueue = dispatch::dispatch_queue_create("com.quenby.send", dispatch::DISPATCH_QUEUE_SERIAL);
    return m_sendQueue;
}

dispatch::dispatch_queue_t QNBJPEGVellEncoder::autoEncodeQueue() {
    std::lock_guard lock(m_queuesLock);
    if (!m_autoEncodeQueue)
        m_autoEncodeQueue =
            dispatch::dispatch_queue_create("com.quenby.autoencode", dispatch::DISPATCH_QUEUE_SERIAL);
    return m_autoEncodeQueue;
}

void QNBJPEGVellEncoder::setDisplay(const std::shared_ptr<server::QNBDisplay>& display) {
    {
        std::lock_guard lock(encoderLock());
        if (display == m_display) return;
        m_display = display;
    }
    if (display) startSession();
}

std::shared_ptr<server::QNBDisplay> QNBJPEGVellEncoder::display() const {
    std::lock_guard lock(encoderLock());
    return m_display;
}

cg::CGSize QNBJPEGVellEncoder::displaySize() const {
    auto d = display();
    return d ? d->scaleCorrectedDisplayBounds().size : cg::CGSizeMake(0, 0);
}

void QNBJPEGVellEncoder::startSession() {
    auto d = display();
    if (!d) return;
    uint64_t generation = 0;
    {
        std::lock_guard session(m_compressionSessionLock);
        stopSession();
        std::lock_guard lock(encoderLock());
        m_numberOfFramesEncoded = 0;
        m_numberOfFramesRequested = 0;
        m_numberOfFramesEnqueued = 0;
        m_encoderFrames = 0;
        m_fpsStartTime = platform::wallNow();
        // The first frame of a session shows the whole display, whatever changed before.
        updateRectList = CGRectListCreate(16);
        cg::CGSize size = d->scaleCorrectedDisplayBounds().size;
        if (size.width > 0 && size.height > 0)
            CGRectListAdd(*updateRectList, cg::CGRectMake(0, 0, size.width, size.height));
        m_active = true;
        generation = ++m_generation;
    }
    std::weak_ptr<QNBJPEGVellEncoder> weak = std::static_pointer_cast<QNBJPEGVellEncoder>(shared_from_this());
    dispatch::dispatch_async(autoEncodeQueue(),
                             [weak, generation, loop = m_loop] { autoEncodeLoop(weak, generation, loop); });
    enqueueFrame();
}

void QNBJPEGVellEncoder::stopSession() {
    std::lock_guard session(m_compressionSessionLock);
    std::lock_guard lock(encoderLock());
    m_encoderFrame = {};
    m_pendingUse.reset();
    m_active = false;
    updateRectList.reset();
    wakeLoop();
}

void QNBJPEGVellEncoder::addDirtyRectangle(cg::CGRect rect) {
    std::lock_guard lock(encoderLock());
    if (updateRectList) CGRectListAdd(*updateRectList, rect);
    wakeLoop();
}

void QNBJPEGVellEncoder::updateRequestAnsweredEmpty() {
    {
        std::lock_guard lock(encoderLock());
        if (m_encoderFrames > 0) --m_encoderFrames;
        ++m_numberOfFramesRequested;
    }
    wakeLoop();
}

void QNBJPEGVellEncoder::encodeFrame(int32_t, bool, const std::shared_ptr<server::QNBDisplay>& display,
                                     uint32_t) {
    // The slot is freed before a new display object restarts the session, so the restart's
    // first frame counts against the new session only.
    updateRequestAnsweredEmpty();
    setDisplay(display);
    if (lousyClient()) encodeQueuedFrame();
}

void QNBJPEGVellEncoder::enqueueFrame() {
    {
        std::lock_guard session(m_compressionSessionLock);
        ++m_numberOfFramesEnqueued;
        auto d = display();
        cg::CGImageRef image = d ? cg::CGDisplayCreateImage(d->displayID()) : nullptr;
        std::lock_guard lock(encoderLock());
        m_pendingUse.reset();
        m_encoderFrame = EncoderPicture{image, nullptr};
    }
    encodeQueuedFrame();
    m_lastFrameQueued = platform::wallNow();
}

void QNBJPEGVellEncoder::enqueueFrameWithSurface(const iosurface::IOSurfaceRef& surface) {
    if (!surface) return;
    std::lock_guard lock(encoderLock());
    ++m_numberOfFramesEnqueued;
    if (m_encoderFrames <= maxConcurrentFrames()) {
        encodeFrameWithBuffer(EncoderPicture{nullptr, surface});
        return;
    }
    // No slot: the surface waits as the pending picture (in use, so its producer keeps it),
    // replacing an older one, and goes out when a slot frees.
    iosurface::IOSurfaceIncrementUseCount(surface);
    m_pendingUse =
        std::shared_ptr<void>(nullptr, [surface](void*) { iosurface::IOSurfaceDecrementUseCount(surface); });
    m_encoderFrame = EncoderPicture{nullptr, surface};
}

bool QNBJPEGVellEncoder::hasPendingPicture() const {
    std::lock_guard lock(encoderLock());
    return bool(m_encoderFrame);
}

uint64_t QNBJPEGVellEncoder::encoderFrames() const {
    std::lock_guard lock(encoderLock());
    return m_encoderFrames;
}

void QNBJPEGVellEncoder::encodeQueuedFrame() {
    std::unique_lock lock(encoderLock());
    if (!m_encoderFrame || m_encoderFrames > maxConcurrentFrames()) return;
    EncoderPicture picture = m_encoderFrame;
    m_encoderFrame = {};
    auto pendingUse = std::move(m_pendingUse); // held until the frame has taken its own
    encodeFrameWithBuffer(picture);
}

void QNBJPEGVellEncoder::encodeFrameWithBuffer(const EncoderPicture& picture) {
    std::unique_lock lock(encoderLock());
    // Checked under the lock, so a request and a capture racing cannot both take the last slot.
    if (m_encoderFrames > maxConcurrentFrames()) return;
    if (!picture || !updateRectList) return;
    cg::CGSize size = displaySize();

    std::shared_ptr<CGRectList> list(CGRectListCopy(*updateRectList).release());
    if (lastUpdateRectList) {
        for (uint64_t i = 0; i < CGRectListGetLength(*lastUpdateRectList); ++i)
            CGRectListAdd(*list, CGRectListGetRect(*lastUpdateRectList, i));
    }
    lastUpdateRectList = std::move(updateRectList);
    updateRectList = CGRectListCreate(16);
    if (CGRectListGetLength(*list) >= 3) {
        CGRectListSimplify(*list, [](uint64_t, uint64_t, cg::CGRect a, cg::CGRect b) {
            cg::CGRect u = cg::CGRectUnion(a, b);
            return a.size.width * a.size.height + b.size.width * b.size.height >
                   0.8 * u.size.width * u.size.height;
        });
    }
    CGRectListSubdivide(*list);
    CGRectListDecimate(*list, 4, 131072.0);

    ++m_encoderFrames;
    ++m_numberOfFramesEncoded;

    // Every surface being encoded is locked and in use until its frame has been written.
    std::shared_ptr<void> hold;
    size_t pictureWidth = 0, pictureHeight = 0;
    if (picture.surface) {
        auto surface = picture.surface;
        iosurface::IOSurfaceLock(surface, iosurface::kIOSurfaceLockReadOnly, nullptr);
        iosurface::IOSurfaceIncrementUseCount(surface);
        hold = std::shared_ptr<void>(nullptr, [surface](void*) {
            iosurface::IOSurfaceUnlock(surface, iosurface::kIOSurfaceLockReadOnly, nullptr);
            iosurface::IOSurfaceDecrementUseCount(surface);
        });
        pictureWidth = iosurface::IOSurfaceGetWidth(surface);
        pictureHeight = iosurface::IOSurfaceGetHeight(surface);
    } else {
        pictureWidth = cg::CGImageGetWidth(picture.image);
        pictureHeight = cg::CGImageGetHeight(picture.image);
    }

    size_t count = CGRectListGetLength(*list);
    auto frames = std::make_shared<std::vector<std::shared_ptr<QNBJPEGVellEncoderFrame>>>(count);
    auto group = dispatch::dispatch_group_create();
    auto compressor = m_compressor;
    for (size_t i = 0; i < count; ++i) {
        dispatch::dispatch_group_async(group, encodeQueue(), [=] {
            cg::CGRect r = cg::CGRectIntersection(CGRectListGetRect(*list, i),
                                                  cg::CGRectMake(0, 0, size.width, size.height));
            r = CGRectEvenIntegral(r);
            // An odd side at the picture's edge cannot grow: the picture bounds every read.
            r = cg::CGRectIntersection(r, cg::CGRectMake(0, 0, double(pictureWidth), double(pictureHeight)));
            if (cg::CGRectIsEmpty(r)) return;
            JPEGDataRef data = picture.surface
                                   ? JPEGDataWithBufferInRect(picture.surface, r, compressor.get())
                                   : JPEGDataWithCGImageInRect(picture.image, r, compressor.get());
            (*frames)[i] = QNBJPEGVellEncoderFrame::frameWithData(std::move(data), r);
        });
    }
    auto self = std::static_pointer_cast<QNBJPEGVellEncoder>(shared_from_this());
    auto socket = clientSocket();
    dispatch::dispatch_async(sendQueue(), [self, group, list, pic = picture, hold, frames, socket]() mutable {
        dispatch::dispatch_group_wait(group, dispatch::DISPATCH_TIME_FOREVER);
        self->m_lastFrameSent = platform::wallNow();
        hold.reset();
        pic = {};
        std::vector<ScreenUpdateRecord> records;
        records.reserve(frames->size());
        for (const auto& frame : *frames) {
            if (!frame) continue;
            ScreenUpdateRecord record;
            record.rect = frame->rect();
            record.encoding = QNScreenEncodingJPG;
            if (auto data = frame->data()) record.payload = {data->bytes(), data->length()};
            records.push_back(record);
        }
        if (socket) sendScreenUpdate(*socket, kUpdateDesignation, records);
    });
    lock.unlock();
    encodeQueuedFrame();
}

void QNBJPEGVellEncoder::sendEmptyUpdate() {
    if (platform::wallNow() - lastFrameSent() <= 5.0) return;
    addDirtyRectangle(cg::CGRectMake(0, 0, 1, 1));
    enqueueFrame();
    encodeQueuedFrame();
    m_lastFrameSent = platform::wallNow();
}

uint64_t QNBJPEGVellEncoder::maxConcurrentFrames() const {
    return lousyClient() ? 1 : m_maxConcurrentFrames;
}

uint32_t QNBJPEGVellEncoder::drivenFramerate() const {
    return uint32_t(maxConcurrentFrames() * 60);
}

float QNBJPEGVellEncoder::refreshInterval() const {
    return 1.0f / float(drivenFramerate());
}

void QNBJPEGVellEncoder::wakeLoop() {
    std::lock_guard lock(m_loop->lock);
    m_loop->woken = true;
    m_loop->wake.notify_all();
}

void QNBJPEGVellEncoder::autoEncodeLoop(std::weak_ptr<QNBJPEGVellEncoder> weak, uint64_t generation,
                                        std::shared_ptr<LoopState> loop) {
    // Runs on the auto-encode queue until the session that started it ends. Woken early by a
    // picture or a freed slot; never later than one refresh interval. The encoder is held only
    // while a pass runs, never while the loop waits.
    for (;;) {
        double interval = 0;
        {
            auto self = weak.lock();
            if (!self || !self->m_active.load() || self->m_generation.load() != generation) return;
            if (self->lousyClient()) {
                self->sendEmptyUpdate();
            } else if (self->hasPendingPicture()) {
                self->encodeQueuedFrame();
            }
            interval = double(self->refreshInterval()) / double(self->maxConcurrentFrames());
        }
        std::unique_lock lock(loop->lock);
        platform::waitUntil(loop->wake, lock, platform::now() + platform::seconds(interval),
                            [&] { return loop->woken; });
        loop->woken = false;
    }
}

void QNBJPEGVellEncoder::drainQueues() {
    dispatch::dispatch_sync(encodeQueue(), [] {});
    dispatch::dispatch_sync(sendQueue(), [] {});
}

} // namespace capture
