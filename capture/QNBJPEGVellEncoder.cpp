#include "capture/QNBJPEGVellEncoder.h"

#include "display/QNBDisplaySet.h"
#include "regions/ScreenUpdateWriter.h"

#include "platform/core/Clock.h"
#include "platform/core/Format.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/NSUserDefaults.h"
#include "platform/coregraphics/CGDisplayImage.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>

namespace capture {

namespace {

constexpr int kJPEGQuality = 99;
// Output buffers a compressor keeps for reuse: two frames in flight of a few strips each.
constexpr size_t kPoolLimit = 8;
constexpr uint8_t kUpdateDesignation = 0x20;
// A large change becomes this many strips; as many workers encode them side by side.
constexpr size_t kStrips = 4;
constexpr double kStripArea = 131072.0;
constexpr size_t kMaxRecordCount = 65535;

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
    std::lock_guard lock(m_poolLock);
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
    {
        std::lock_guard lock(m_poolLock);
        for (size_t i = 0; i < m_pool.size(); ++i) {
            if (m_pool[i].second >= need) {
                std::tie(out, capacity) = m_pool[i];
                m_pool.erase(m_pool.begin() + long(i));
                break;
            }
        }
    }
    if (!out) {
        out = tjAlloc(int(need));
        capacity = need;
        if (!out) return nullptr;
    }
    unsigned long size = capacity;
    int rc;
    {
        std::lock_guard lock(m_handleLock);
        rc = tjCompress2(static_cast<tjhandle>(m_handle), pixels, width, pitch, height, TJPF_BGRX, &out, &size,
                         TJSAMP_420, kJPEGQuality, TJFLAG_FASTDCT | TJFLAG_NOREALLOC);
    }
    if (rc != 0) {
        giveBack(out, capacity);
        return nullptr;
    }
    std::weak_ptr<JPEGCompressor> weak = weak_from_this();
    auto release = [weak](unsigned char* bytes, size_t cap) {
        if (auto self = weak.lock())
            self->giveBack(bytes, cap);
        else
            tjFree(bytes);
    };
    return std::make_shared<JPEGData>(out, size_t(size), capacity, release);
}

// ---- The worker pool -----------------------------------------------------------------------------

size_t JPEGEncodePool::defaultWorkerCount() {
    return std::clamp<size_t>(std::thread::hardware_concurrency(), 1, kStrips);
}

JPEGEncodePool::JPEGEncodePool(size_t workers) {
    workers = std::max<size_t>(workers, 1);
    m_workers.reserve(workers);
    for (size_t i = 0; i < workers; ++i)
        m_workers.emplace_back([this, compressor = JPEGCompressor::create()] { workerMain(compressor); });
}

JPEGEncodePool::~JPEGEncodePool() {
    {
        std::lock_guard lock(m_lock);
        m_ending = true;
    }
    m_wake.notify_all();
    for (auto& worker : m_workers)
        worker.join();
}

void JPEGEncodePool::submit(std::vector<Job> jobs) {
    if (jobs.empty()) return;
    {
        std::lock_guard lock(m_lock);
        for (Job& job : jobs)
            m_jobs.push_back(std::move(job));
    }
    if (jobs.size() == 1)
        m_wake.notify_one();
    else
        m_wake.notify_all();
}

void JPEGEncodePool::workerMain(std::shared_ptr<JPEGCompressor> compressor) {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_lock);
            m_wake.wait(lock, [&] { return m_ending || !m_jobs.empty(); });
            if (m_jobs.empty()) return; // ending, and nothing left to run
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job(compressor.get());
    }
}

// ---- A frame between its set-up and its last record ----------------------------------------------

namespace {

// The rectangles are fixed when the frame is built; each slot is filled once, by whoever
// claims its rectangle first: a pool worker, or the sender while the slot it must send next is
// not filled yet (it would only sleep otherwise). The picture (and a surface's lock and use
// count) is held until the last slot is filled.
class EncoderFrameJob {
  public:
    EncoderFrameJob(EncoderPicture picture, std::shared_ptr<void> hold, std::vector<cg::CGRect> rects,
                    EncodeObserver observer)
        : m_picture(std::move(picture)), m_hold(std::move(hold)), m_rects(std::move(rects)),
          m_data(m_rects.size()), m_claimed(m_rects.size(), false), m_filled(m_rects.size(), false),
          m_remaining(m_rects.size()), m_observer(std::move(observer)) {
        if (m_remaining == 0) releasePicture();
    }

    size_t count() const { return m_rects.size(); }
    cg::CGRect rect(size_t i) const { return m_rects[i]; }

    // A worker's job: encodes slot i unless it was claimed already. compressor may be null (a
    // handle the library refused): one is made then.
    void encode(size_t i, JPEGCompressor* compressor) {
        if (claim(i)) fill(i, compressor);
    }

    // The sender's turn at slot i: its data once filled (null when its JPEG could not be made).
    // Until then the sender, when it has a compressor, encodes the first rectangle from i on that
    // no worker has started, and sleeps only when every one of them is under way.
    JPEGDataRef take(size_t i, JPEGCompressor* compressor) {
        std::unique_lock lock(m_lock);
        while (!m_filled[i]) {
            size_t next = i;
            while (next < m_claimed.size() && m_claimed[next])
                ++next;
            if (!compressor || next == m_claimed.size()) {
                m_waitingFor = i;
                m_filledChanged.wait(lock, [&] { return bool(m_filled[i]); });
                m_waitingFor = kNobody;
                break;
            }
            m_claimed[next] = true;
            lock.unlock();
            fill(next, compressor);
            lock.lock();
        }
        return std::move(m_data[i]);
    }

  private:
    bool claim(size_t i) {
        std::lock_guard lock(m_lock);
        if (m_claimed[i]) return false;
        m_claimed[i] = true;
        return true;
    }

    void fill(size_t i, JPEGCompressor* compressor) {
        if (m_observer) m_observer(i, false);
        const cg::CGRect r = m_rects[i];
        JPEGDataRef data = m_picture.surface ? JPEGDataWithBufferInRect(m_picture.surface, r, compressor)
                                             : JPEGDataWithCGImageInRect(m_picture.image, r, compressor);
        bool wake;
        {
            std::lock_guard lock(m_lock);
            m_data[i] = std::move(data);
            m_filled[i] = true;
            // Every rectangle has been read by now: the last one gives the picture back.
            if (--m_remaining == 0) releasePicture();
            // The sender waits for one slot at a time, in order: a slot filled ahead of it
            // wakes nobody (each wake-up is a context switch on a loaded machine).
            wake = m_waitingFor == i;
        }
        if (wake) m_filledChanged.notify_one();
        if (m_observer) m_observer(i, true);
    }

    void releasePicture() {
        m_hold.reset();
        m_picture = {};
    }

    static constexpr size_t kNobody = SIZE_MAX;

    std::mutex m_lock;
    std::condition_variable m_filledChanged;
    size_t m_waitingFor = kNobody; // the slot the sender waits for, if it waits
    EncoderPicture m_picture;
    std::shared_ptr<void> m_hold;
    const std::vector<cg::CGRect> m_rects;
    std::vector<JPEGDataRef> m_data;
    std::vector<bool> m_claimed;
    std::vector<bool> m_filled;
    size_t m_remaining;
    const EncodeObserver m_observer;
};

// The send step: the header at once, then each record as soon as it and those before it are
// encoded, all under one hold of the socket's lock so nothing else cuts into the frame. While it
// waits, the sender encodes rectangles no worker has started (compressor may be null: then it
// only waits).
// False when a write failed: the header promised records that never came (or a record went
// out cut), so the client's reader is out of step with the stream from then on.
bool sendFrame(net::QNNetSocketProtocol& socket, EncoderFrameJob& job, JPEGCompressor* compressor) {
    std::lock_guard guard(socket);
    bool ok = regions::sendScreenUpdateHeader(socket, kUpdateDesignation, uint16_t(job.count()));
    for (size_t i = 0; ok && i < job.count(); ++i) {
        JPEGDataRef data = job.take(i, compressor);
        ok = regions::SendClientUpdateDataJPEG(socket, regions::QNScreenEncodingJPG,
                                               data ? uint32_t(data->length()) : 0,
                                               data ? data->bytes() : nullptr, job.rect(i));
    }
    return ok;
}

} // namespace

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

// Compressed with TurboJPEG (quality 99, 4:2:0, fast DCT) like the surface road rather than
// through an image representation at factor 0.99: one compressor and one output for both roads,
// and the compressor's buffers are reused frame after frame.
JPEGDataRef JPEGDataWithCGImageInRect(const cg::CGImageRef& image, cg::CGRect r, JPEGCompressor* compressor) {
    cg::CGImageRef cut = cg::CGImageCreateWithImageInRect(image, r);
    if (!cut) return nullptr;
    // The compressor reads four bytes a pixel: a narrower image would be read past its rows.
    if (cg::CGImageGetBitsPerPixel(cut) != 32 || cg::CGImageGetBitsPerComponent(cut) != 8) {
        platform::log("JPEG of an image of %lu bits a pixel refused: only 32 are encoded",
                      cg::CGImageGetBitsPerPixel(cut));
        return nullptr;
    }
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

cg::CGImageRef CGImageCreateWithCVPixelBufferRef(const cv::CVPixelBufferRef& pixelBuffer) {
    if (!pixelBuffer || cv::CVPixelBufferLockBaseAddress(pixelBuffer, cv::kCVPixelBufferLock_ReadOnly) !=
                            cv::kCVReturnSuccess)
        return nullptr;
    const auto* base = static_cast<const uint8_t*>(cv::CVPixelBufferGetBaseAddress(pixelBuffer));
    const size_t width = cv::CVPixelBufferGetWidth(pixelBuffer);
    const size_t height = cv::CVPixelBufferGetHeight(pixelBuffer);
    const size_t bytesPerRow = cv::CVPixelBufferGetBytesPerRow(pixelBuffer);
    std::vector<uint8_t> bytes;
    if (base) bytes.assign(base, base + bytesPerRow * height);
    // The pixels are copied: the buffer need not stay locked for the image's sake.
    cv::CVPixelBufferUnlockBaseAddress(pixelBuffer, cv::kCVPixelBufferLock_ReadOnly);
    if (bytes.empty()) return nullptr;
    return cg::CGImageCreate(width, height, 8, 32, bytesPerRow, cg::CGColorSpaceCreateDeviceRGB(),
                             cg::kCGBitmapBGRX, cg::CGDataProviderCreateWithData(std::move(bytes)), nullptr,
                             true, cg::kCGRenderingIntentDefault);
}

regions::CGRectListRef QNBCreateRectListForUpdateRef(const std::vector<cg::CGRect>* updateRects,
                                                     cg::CGRect rect) {
    auto list = regions::CGRectListCreate(updateRects ? updateRects->size() : 1);
    if (updateRects) {
        for (const auto& r : *updateRects)
            regions::CGRectListAdd(*list, r);
    } else {
        regions::CGRectListAdd(*list, rect);
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

QNBJPEGVellEncoder::QNBJPEGVellEncoder() {
    ns::NSUserDefaults::standardUserDefaults()->registerDefaults(
        cf::Dictionary{{kJPEGEncoderMaxConcurrentFrames, int64_t(2)}});
}

QNBJPEGVellEncoder::~QNBJPEGVellEncoder() {
    std::lock_guard session(m_compressionSessionLock);
    stopSession();
    std::lock_guard lock(encoderLock());
    lastUpdateRectList.reset();
}

std::shared_ptr<JPEGEncodePool> JPEGEncodePool::shared() {
    // Never destroyed: sessions may still hand it work while the process exits.
    static auto* pool =
        new std::shared_ptr<JPEGEncodePool>(std::make_shared<JPEGEncodePool>(defaultWorkerCount()));
    return *pool;
}

std::shared_ptr<JPEGEncodePool> QNBJPEGVellEncoder::encodeQueue() {
    return encodePool();
}

void QNBJPEGVellEncoder::setActive(bool active) {
    m_active.store(active);
    wakeLoop();
}

void QNBJPEGVellEncoder::logTimingForFrame(uint64_t, double) {
    ++m_numberOfFramesTimed;
}

std::shared_ptr<JPEGEncodePool> QNBJPEGVellEncoder::encodePool() {
    std::lock_guard lock(m_queuesLock);
    if (!m_encodePool)
        m_encodePool = m_ownEncodePool ? std::make_shared<JPEGEncodePool>(m_encodeWorkerCount)
                                       : JPEGEncodePool::shared();
    return m_encodePool;
}

void QNBJPEGVellEncoder::setEncodeWorkerCount(size_t workers) {
    std::shared_ptr<JPEGEncodePool> old;
    {
        std::lock_guard lock(m_queuesLock);
        m_encodeWorkerCount = std::max<size_t>(workers, 1);
        m_ownEncodePool = true;
        old = std::move(m_encodePool);
    }
    // The old pool ends here: what it still holds is encoded before its workers leave.
}

void QNBJPEGVellEncoder::setEncodeObserver(EncodeObserver observer) {
    std::lock_guard lock(encoderLock());
    m_encodeObserver = std::move(observer);
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

void QNBJPEGVellEncoder::setDisplay(const std::shared_ptr<display::QNBDisplay>& display) {
    {
        std::lock_guard lock(encoderLock());
        if (display == m_display) return;
        m_display = display;
    }
    if (display) startSession();
}

std::shared_ptr<display::QNBDisplay> QNBJPEGVellEncoder::display() const {
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
        updateRectList = regions::CGRectListCreate(16);
        cg::CGSize size = d->scaleCorrectedDisplayBounds().size;
        if (size.width > 0 && size.height > 0)
            regions::CGRectListAdd(*updateRectList, cg::CGRectMake(0, 0, size.width, size.height));
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
    if (updateRectList) regions::CGRectListAdd(*updateRectList, rect);
}

void QNBJPEGVellEncoder::updateRequestAnsweredEmpty() {
    bool pictureWaits;
    {
        std::lock_guard lock(encoderLock());
        if (m_encoderFrames > 0) --m_encoderFrames;
        ++m_numberOfFramesRequested;
        pictureWaits = bool(m_encoderFrame);
    }
    // The freed slot matters to the loop only for a picture waiting for one; a picture that
    // arrives later wakes the loop itself. Not waking it for nothing saves a thread switch a frame.
    if (pictureWaits) wakeLoop();
}

void QNBJPEGVellEncoder::encodeFrame(int32_t, bool, const std::shared_ptr<display::QNBDisplay>& display,
                                     uint32_t) {
    // The slot is freed before a new display object restarts the session, so the restart's
    // first frame counts against the new session only.
    updateRequestAnsweredEmpty();
    setDisplay(display);
    if (lousyClient()) encodeQueuedFrame();
}

void QNBJPEGVellEncoder::encodeFrameOfSameRequest(int32_t, bool,
                                                  const std::shared_ptr<display::QNBDisplay>& display,
                                                  uint32_t) {
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
    wakeLoop();
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
    wakeLoop();
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
    // A picture still waiting is older than this one: sent later, it would repaint this
    // frame's rectangles with older pixels, and a still screen would keep them.
    m_encoderFrame = {};
    m_pendingUse.reset();
    cg::CGSize size = displaySize();

    std::shared_ptr<regions::CGRectList> list(regions::CGRectListCopy(*updateRectList).release());
    if (lastUpdateRectList) {
        for (uint64_t i = 0; i < regions::CGRectListGetLength(*lastUpdateRectList); ++i)
            regions::CGRectListAdd(*list, regions::CGRectListGetRect(*lastUpdateRectList, i));
    }
    lastUpdateRectList = std::move(updateRectList);
    updateRectList = regions::CGRectListCreate(16);
    if (regions::CGRectListGetLength(*list) >= 3) {
        regions::CGRectListSimplify(*list, [](uint64_t, uint64_t, cg::CGRect a, cg::CGRect b) {
            cg::CGRect u = cg::CGRectUnion(a, b);
            return a.size.width * a.size.height + b.size.width * b.size.height >
                   0.8 * u.size.width * u.size.height;
        });
    }
    regions::CGRectListSubdivide(*list);
    regions::CGRectListDecimate(*list, kStrips, kStripArea);

    // The rectangles as they will be sent, fixed now so the header can go out at once. An odd
    // side at the picture's edge cannot grow: the picture bounds every read.
    size_t pictureWidth = 0, pictureHeight = 0;
    if (picture.surface) {
        pictureWidth = iosurface::IOSurfaceGetWidth(picture.surface);
        pictureHeight = iosurface::IOSurfaceGetHeight(picture.surface);
    } else {
        pictureWidth = cg::CGImageGetWidth(picture.image);
        pictureHeight = cg::CGImageGetHeight(picture.image);
    }
    const cg::CGRect displayRect = cg::CGRectMake(0, 0, size.width, size.height);
    const cg::CGRect pictureRect = cg::CGRectMake(0, 0, double(pictureWidth), double(pictureHeight));
    std::vector<cg::CGRect> rects;
    rects.reserve(regions::CGRectListGetLength(*list));
    for (uint64_t i = 0; i < regions::CGRectListGetLength(*list); ++i) {
        cg::CGRect r =
            CGRectEvenIntegral(cg::CGRectIntersection(regions::CGRectListGetRect(*list, i), displayRect));
        r = cg::CGRectIntersection(r, pictureRect);
        if (!cg::CGRectIsEmpty(r)) rects.push_back(r);
    }
    list.reset();
    if (rects.size() > kMaxRecordCount) {
        platform::log("Screen update of %lu rectangles refused: the header counts at most %lu", rects.size(),
                      kMaxRecordCount);
        return;
    }

    ++m_encoderFrames;
    ++m_numberOfFramesEncoded;

    // Every surface being encoded is locked and in use until its last rectangle is encoded.
    std::shared_ptr<void> hold;
    if (picture.surface) {
        auto surface = picture.surface;
        iosurface::IOSurfaceLock(surface, iosurface::kIOSurfaceLockReadOnly, nullptr);
        iosurface::IOSurfaceIncrementUseCount(surface);
        hold = std::shared_ptr<void>(nullptr, [surface](void*) {
            iosurface::IOSurfaceUnlock(surface, iosurface::kIOSurfaceLockReadOnly, nullptr);
            iosurface::IOSurfaceDecrementUseCount(surface);
        });
    }

    auto job = std::make_shared<EncoderFrameJob>(picture, std::move(hold), std::move(rects), m_encodeObserver);
    auto pool = encodePool();
    std::vector<JPEGEncodePool::Job> encodes;
    encodes.reserve(job->count());
    for (size_t i = 0; i < job->count(); ++i)
        encodes.push_back([job, i](JPEGCompressor* compressor) { job->encode(i, compressor); });
    pool->submit(std::move(encodes));
    if (!m_sendCompressor) m_sendCompressor = JPEGCompressor::create();
    dispatch::dispatch_async(sendQueue(), [job, socket = clientSocket(), lastFrameSent = m_lastFrameSent,
                                           compressor = m_sendCompressor, broken = m_brokenSocket] {
        lastFrameSent->store(platform::wallNow());
        if (!socket || broken->lock() == socket) return;
        if (sendFrame(*socket, *job, compressor.get())) return;
        // A stream that is out of step cannot be mended: no later frame goes out on it, and
        // cancelling the socket ends the session's connection (its reader stops).
        *broken = socket;
        platform::log("Screen update could not be written whole; ending the client connection");
        socket->cancel();
    });
    lock.unlock();
    encodeQueuedFrame();
}

void QNBJPEGVellEncoder::sendEmptyUpdate() {
    if (platform::wallNow() - lastFrameSent() <= 5.0) return;
    addDirtyRectangle(cg::CGRectMake(0, 0, 1, 1));
    enqueueFrame();
    encodeQueuedFrame();
    m_lastFrameSent->store(platform::wallNow());
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
    // Runs on the auto-encode queue until the session that started it ends. Woken at once by a
    // picture, a freed slot or the session's end; a picture still waiting is looked at again
    // within one refresh interval. With nothing waiting (and no keep-alive to keep) an idle
    // session costs no passes at all. The encoder is held only while a pass runs, never while
    // the loop waits.
    for (;;) {
        platform::TimePoint deadline = platform::kDistantFuture;
        {
            auto self = weak.lock();
            if (!self || !self->m_active.load() || self->m_generation.load() != generation) return;
            if (self->lousyClient()) {
                self->sendEmptyUpdate();
            } else if (self->hasPendingPicture()) {
                self->encodeQueuedFrame();
            }
            if (self->lousyClient() || self->hasPendingPicture()) {
                const double interval = double(self->refreshInterval()) / double(self->maxConcurrentFrames());
                deadline = platform::now() + platform::seconds(interval);
            }
        }
        std::unique_lock lock(loop->lock);
        platform::waitUntil(loop->wake, lock, deadline, [&] { return loop->woken; });
        loop->woken = false;
    }
}

void QNBJPEGVellEncoder::drainQueues() {
    // Each send step waits for its frame's encodes, so the send queue alone says when.
    dispatch::dispatch_sync(sendQueue(), [] {});
}

} // namespace capture
