// The JPEG encoder every session uses. It keeps the rectangles changed since the last frame,
// and whenever a picture of the display is at hand and a frame slot is free, turns them into
// one frame: merged, subdivided and split rectangles, JPEG-encoded concurrently by a small
// pool of workers into slots kept in list order, and written from a serial send queue: the
// header (its count fixed when the frame is built) at once, then each record as soon as it
// and every record before it are encoded. While the record it must send next is not encoded,
// the send step encodes a rectangle no worker has started rather than sleep until one does.
// Each update request of the client frees one slot; at most two frames are in flight.
#pragma once

#include "capture/QNBVellEncoder.h"
#include "regions/CGRectList.h"

#include "platform/coregraphics/CGImage.h"
#include "platform/corevideo/CVPixelBuffer.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/iosurface/IOSurface.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace capture {

// Registered by the encoder with the value 2; nothing reads it.
inline constexpr char kJPEGEncoderMaxConcurrentFrames[] = "kJPEGEncoderMaxConcurrentFrames";

// Encoded JPEG bytes; the memory goes back to the compressor's pool (or is freed) at the end.
class JPEGData {
  public:
    JPEGData(unsigned char* bytes, size_t size, size_t capacity,
             std::function<void(unsigned char*, size_t)> release);
    ~JPEGData();
    JPEGData(const JPEGData&) = delete;
    JPEGData& operator=(const JPEGData&) = delete;
    const uint8_t* bytes() const { return m_bytes; }
    size_t length() const { return m_size; }

  private:
    unsigned char* m_bytes;
    size_t m_size;
    size_t m_capacity;
    std::function<void(unsigned char*, size_t)> m_release;
};
using JPEGDataRef = std::shared_ptr<const JPEGData>;

// A TurboJPEG compressor with a pool of output buffers it reuses (q99, 4:2:0, fast DCT).
class JPEGCompressor : public std::enable_shared_from_this<JPEGCompressor> {
  public:
    static std::shared_ptr<JPEGCompressor> create();
    ~JPEGCompressor();
    // BGRX pixels with a pitch; null when the library refuses.
    JPEGDataRef compress(const uint8_t* pixels, int width, int pitch, int height);

  private:
    JPEGCompressor() = default;
    void giveBack(unsigned char* bytes, size_t capacity);
    std::mutex m_handleLock; // one compression at a time on the handle
    std::mutex m_poolLock;   // buffers come back from the sending thread
    void* m_handle = nullptr;
    std::vector<std::pair<unsigned char*, size_t>> m_pool;
};

// A small pool of JPEG workers, each with its own compressor (TurboJPEG handle and output
// buffers). Jobs start in the order they were queued. The pool's end runs every job still
// queued, so nothing waiting on a job is left hanging, then joins the workers.
class JPEGEncodePool {
  public:
    using Job = std::function<void(JPEGCompressor* compressor)>;
    explicit JPEGEncodePool(size_t workers);
    ~JPEGEncodePool();
    JPEGEncodePool(const JPEGEncodePool&) = delete;
    JPEGEncodePool& operator=(const JPEGEncodePool&) = delete;

    // A frame's jobs at once, under one hold of the queue, with one wake-up for all workers: a
    // worker woken by the first job may take the submitting thread's CPU, and jobs submitted one
    // by one would then wait for that thread to run again.
    void submit(std::vector<Job> jobs);
    size_t workerCount() const { return m_workers.size(); }
    // As many workers as a large change has strips, fewer on a small machine.
    static size_t defaultWorkerCount();
    // The pool every session's encoder shares unless given a worker count of its own, with the
    // default number of workers: frames of several sessions take turns, each encoded by all the
    // workers at once, instead of all running together on a crowd of threads, so each is done
    // sooner.
    static std::shared_ptr<JPEGEncodePool> shared();

  private:
    void workerMain(std::shared_ptr<JPEGCompressor> compressor);
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    bool m_ending = false;
    std::vector<std::thread> m_workers;
};

// Told, on a worker, when the encoding of a frame's rectangle (by its index in the frame)
// starts and when its slot has been filled. Tests use it to order the workers.
using EncodeObserver = std::function<void(size_t index, bool filled)>;

// One encoded rectangle of a frame.
class QNBJPEGVellEncoderFrame {
  public:
    static std::shared_ptr<QNBJPEGVellEncoderFrame> frameWithData(JPEGDataRef data, cg::CGRect rect);
    JPEGDataRef data() const { return m_data; }
    cg::CGRect rect() const { return m_rect; }

  private:
    JPEGDataRef m_data;
    cg::CGRect m_rect{};
};

// A picture to encode: a capture of the display or a stream's frame surface.
struct EncoderPicture {
    cg::CGImageRef image;
    iosurface::IOSurfaceRef surface;
    explicit operator bool() const { return image || surface; }
};

// The plain functions. r is in picture pixels and must lie inside the picture.
JPEGDataRef JPEGDataWithBufferInRect(const iosurface::IOSurfaceRef& surface, cg::CGRect r,
                                     JPEGCompressor* compressor = nullptr);
JPEGDataRef JPEGDataWithCGImageInRect(const cg::CGImageRef& image, cg::CGRect r,
                                      JPEGCompressor* compressor = nullptr);
// Integral, then each odd side grown by one (moving left or up by one when not at 0).
cg::CGRect CGRectEvenIntegral(cg::CGRect r);
// A copy of a pixel buffer's BGRX pixels as an image (nothing calls it); null when the buffer's
// base address cannot be locked.
cg::CGImageRef CGImageCreateWithCVPixelBufferRef(const cv::CVPixelBufferRef& pixelBuffer);
regions::CGRectListRef QNBCreateRectListForUpdateRef(const std::vector<cg::CGRect>* updateRects,
                                                     cg::CGRect rect);
std::string NSStringWithTiming(double startDate);

class QNBJPEGVellEncoder : public QNBVellEncoder {
  public:
    static std::shared_ptr<QNBJPEGVellEncoder> create();
    QNBJPEGVellEncoder();
    ~QNBJPEGVellEncoder() override;

    void setDisplay(const std::shared_ptr<display::QNBDisplay>& display);
    std::shared_ptr<display::QNBDisplay> display() const;
    cg::CGSize displaySize() const;

    void startSession() override;
    void stopSession() override;
    void clearRectangles() override {}
    // Display pixels; kept only while a session runs.
    void addDirtyRectangle(cg::CGRect rect) override;
    using QNBBaseVellEncoder::encodeFrame;
    void encodeFrame(int32_t frame, bool lossyOnly, const std::shared_ptr<display::QNBDisplay>& display,
                     uint32_t packetDesignation) override;
    void encodeFrameOfSameRequest(int32_t frame, bool lossyOnly,
                                  const std::shared_ptr<display::QNBDisplay>& display,
                                  uint32_t packetDesignation) override;
    void updateRequestAnsweredEmpty() override;
    void enqueueFrame() override;
    void enqueueFrameWithSurface(const iosurface::IOSurfaceRef& surface) override;
    void encodeQueuedFrame();
    void encodeFrameWithBuffer(const EncoderPicture& picture);
    void sendEmptyUpdate();

    uint64_t maxConcurrentFrames() const;
    bool drivesFrameClock() const override { return true; }
    uint32_t drivenFramerate() const override;
    float refreshInterval() const;
    void signalVBL() {}
    void waitForNextFrame() override {}

    bool lousyClient() const { return m_lousyClient.load(); }
    void setLousyClient(bool lousy) override { m_lousyClient.store(lousy); }
    bool isActive() const { return m_active.load(); }
    // Without a session's start or stop: the auto-encode loop of the running session ends at its
    // next pass when cleared.
    void setActive(bool active);
    double lastVBLRequest() const { return m_lastVBLRequest.load(); } // nothing requests a VBL: 0
    // Counts a frame for the statistics; nothing calls it.
    void logTimingForFrame(uint64_t frame, double methodStart);
    uint64_t numberOfFramesTimed() const { return m_numberOfFramesTimed.load(); }
    // What stands for the serial encode queue: the pool of JPEG workers (shared by every
    // session unless a worker count was set), whose workers encode a frame's strips side by side.
    std::shared_ptr<JPEGEncodePool> encodeQueue();
    dispatch::dispatch_queue_t sendQueue();
    dispatch::dispatch_queue_t autoEncodeQueue();
    double lastFrameSent() const { return m_lastFrameSent->load(); }
    double lastFrameQueued() const { return m_lastFrameQueued.load(); }
    uint64_t encoderFrames() const;
    uint64_t numberOfFramesEncoded() const { return m_numberOfFramesEncoded.load(); }
    uint64_t numberOfFramesEnqueued() const { return m_numberOfFramesEnqueued.load(); }
    uint64_t numberOfFramesRequested() const { return m_numberOfFramesRequested.load(); }
    bool hasPendingPicture() const;
    std::recursive_mutex& compressionSessionLock() { return m_compressionSessionLock; }
    // Waits until every frame built so far has been written (tests, shutdown).
    void drainQueues();
    // The number of encoding workers for frames built from now on (at least 1), in a pool of the
    // encoder's own instead of the shared one.
    void setEncodeWorkerCount(size_t workers);
    void setEncodeObserver(EncodeObserver observer);

  private:
    struct LoopState {
        std::mutex lock;
        std::condition_variable wake;
        bool woken = false;
    };
    static void autoEncodeLoop(std::weak_ptr<QNBJPEGVellEncoder> weak, uint64_t generation,
                               std::shared_ptr<LoopState> loop);
    void wakeLoop();
    std::shared_ptr<JPEGEncodePool> encodePool();

    std::recursive_mutex m_compressionSessionLock;
    // Under the encoder lock.
    regions::CGRectListRef updateRectList = nullptr;
    regions::CGRectListRef lastUpdateRectList = nullptr;
    EncoderPicture m_encoderFrame;
    std::shared_ptr<void> m_pendingUse; // the pending surface's raised use count
    uint64_t m_encoderFrames = 0;
    uint64_t m_maxConcurrentFrames = 1;
    std::shared_ptr<display::QNBDisplay> m_display;

    std::atomic<bool> m_lousyClient{false};
    std::atomic<bool> m_active{false};
    std::atomic<uint64_t> m_generation{0};
    // Shared with the send steps, which never hold the encoder itself.
    const std::shared_ptr<std::atomic<double>> m_lastFrameSent = std::make_shared<std::atomic<double>>(0.0);
    // The socket a failed send left out of step; only the serial send queue reads or writes it.
    const std::shared_ptr<std::weak_ptr<net::QNNetSocketProtocol>> m_brokenSocket =
        std::make_shared<std::weak_ptr<net::QNNetSocketProtocol>>();
    std::atomic<double> m_lastFrameQueued{0.0};
    std::atomic<double> m_lastVBLRequest{0.0};
    std::atomic<uint64_t> m_numberOfFramesTimed{0};
    std::atomic<double> m_fpsStartTime{0.0};
    std::atomic<uint64_t> m_numberOfFramesEncoded{0};
    std::atomic<uint64_t> m_numberOfFramesEnqueued{0};
    std::atomic<uint64_t> m_numberOfFramesRequested{0};

    std::mutex m_queuesLock;
    dispatch::dispatch_queue_t m_sendQueue, m_autoEncodeQueue;
    std::shared_ptr<JPEGEncodePool> m_encodePool;
    // The send step's own, for the rectangles it reaches before a worker does (under the encoder lock).
    std::shared_ptr<JPEGCompressor> m_sendCompressor;
    size_t m_encodeWorkerCount = JPEGEncodePool::defaultWorkerCount();
    bool m_ownEncodePool = false; // a worker count was set: a pool of the encoder's own
    EncodeObserver m_encodeObserver;

    const std::shared_ptr<LoopState> m_loop = std::make_shared<LoopState>();
};

} // namespace capture
