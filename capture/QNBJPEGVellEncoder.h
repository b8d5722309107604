// The JPEG encoder every session uses. It keeps the rectangles changed since the last frame,
// and whenever a picture of the display is at hand and a frame slot is free, turns them into
// one frame: merged, subdivided and split rectangles, each JPEG-encoded on a serial encode
// queue and written, in list order, from a serial send queue. Each update request of the
// client frees one slot; at most two frames are in flight.
#pragma once

#include "capture/CGRectList.h"
#include "capture/QNBVellEncoder.h"

#include "platform/coregraphics/CGImage.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/iosurface/IOSurface.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace capture {

// Registered by the system with the value 2; nothing reads it.
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
    std::mutex m_lock;
    void* m_handle = nullptr;
    std::vector<std::pair<unsigned char*, size_t>> m_pool;
};

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
CGRectListRef QNBCreateRectListForUpdateRef(const std::vector<cg::CGRect>* updateRects, cg::CGRect rect);
std::string NSStringWithTiming(double startDate);

class QNBJPEGVellEncoder : public QNBVellEncoder {
  public:
    static std::shared_ptr<QNBJPEGVellEncoder> create();
    QNBJPEGVellEncoder();
    ~QNBJPEGVellEncoder() override;

    void setDisplay(const std::shared_ptr<server::QNBDisplay>& display);
    std::shared_ptr<server::QNBDisplay> display() const;
    cg::CGSize displaySize() const;

    void startSession() override;
    void stopSession() override;
    void clearRectangles() override {}
    // Display pixels; kept only while a session runs.
    void addDirtyRectangle(cg::CGRect rect) override;
    using QNBBaseVellEncoder::encodeFrame;
    void encodeFrame(int32_t frame, bool lossyOnly, const std::shared_ptr<server::QNBDisplay>& display,
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
    double lastFrameSent() const { return m_lastFrameSent.load(); }
    double lastFrameQueued() const { return m_lastFrameQueued.load(); }
    uint64_t encoderFrames() const;
    uint64_t numberOfFramesEncoded() const { return m_numberOfFramesEncoded.load(); }
    uint64_t numberOfFramesEnqueued() const { return m_numberOfFramesEnqueued.load(); }
    uint64_t numberOfFramesRequested() const { return m_numberOfFramesRequested.load(); }
    bool hasPendingPicture() const;
    std::recursive_mutex& compressionSessionLock() { return m_compressionSessionLock; }
    // Waits until every frame built so far has been written (tests, shutdown).
    void drainQueues();

  private:
    struct LoopState {
        std::mutex lock;
        std::condition_variable wake;
        bool woken = false;
    };
    static void autoEncodeLoop(std::weak_ptr<QNBJPEGVellEncoder> weak, uint64_t generation,
                               std::shared_ptr<LoopState> loop);
    void wakeLoop();
    dispatch::dispatch_queue_t encodeQueue();
    dispatch::dispatch_queue_t sendQueue();
    dispatch::dispatch_queue_t autoEncodeQueue();

    std::recursive_mutex m_compressionSessionLock;
    // Under the encoder lock.
    CGRectListRef updateRectList = nullptr;
    CGRectListRef lastUpdateRectList = nullptr;
    EncoderPicture m_encoderFrame;
    std::shared_ptr<void> m_pendingUse; // the pending surface's raised use count
    uint64_t m_encoderFrames = 0;
    uint64_t m_maxConcurrentFrames = 1;
    std::shared_ptr<server::QNBDisplay> m_display;

    std::atomic<bool> m_lousyClient{false};
    std::atomic<bool> m_active{false};
    std::atomic<uint64_t> m_generation{0};
    std::atomic<double> m_lastFrameSent{0.0};
    std::atomic<double> m_lastFrameQueued{0.0};
    std::atomic<double> m_fpsStartTime{0.0};
    std::atomic<uint64_t> m_numberOfFramesEncoded{0};
    std::atomic<uint64_t> m_numberOfFramesEnqueued{0};
    std::atomic<uint64_t> m_numberOfFramesRequested{0};

    std::mutex m_queuesLock;
    dispatch::dispatch_queue_t m_encodeQueue, m_sendQueue, m_autoEncodeQueue;
    std::shared_ptr<JPEGCompressor> m_compressor;

    const std::shared_ptr<LoopState> m_loop = std::make_shared<LoopState>();
};

} // namespace capture
