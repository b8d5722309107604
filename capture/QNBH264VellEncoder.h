// The encoder that sends a whole display as an H.264 stream instead of rectangles. A display
// stream serves only as a change detector: each frame it completes opens a window of
// autoEncodingDuration in which an auto-encode loop grabs the display's picture up to 160
// times a second and hands it to a compression session. The session's output callback writes
// each compressed frame as an ordinary update whose records carry the parameter sets (on key
// frames) and the frame's bytes.
#pragma once

#include "capture/QNBVellEncoder.h"

#include "platform/appkit/NSImage.h"
#include "platform/coregraphics/CGDisplayImage.h"
#include "platform/coremedia/CoreMedia.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/videotoolbox/VTCompressionSession.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace capture {

// One frame on its way through the compression session (its reference value there).
class CompressionFrameInfo {
  public:
    uint8_t designation = 0;
    uint16_t rectCount = 0; // records the frame contributes besides the parameter sets
    uint16_t frameIndex = 0;
};

class QNBH264VellEncoder : public QNBVellEncoder {
  public:
    static std::shared_ptr<QNBH264VellEncoder> create();
    QNBH264VellEncoder();
    ~QNBH264VellEncoder() override;

    // Setting another display (or scale) stops the session and, with a display, starts anew.
    std::shared_ptr<display::QNBDisplay> display() const;
    void setDisplay(const std::shared_ptr<display::QNBDisplay>& display);
    double outputScale() const;
    void setOutputScale(double scale);
    // The display's scale-corrected size (pixels); zero without a display.
    cg::CGSize displaySize() const;

    vt::VTCompressionSessionRef compressionSession() const;
    // Reading it without a stream starts the session.
    cg::CGDisplayStreamRef displayStream();
    std::recursive_mutex& compressionSessionLock() const { return m_compressionSessionLock; }
    dispatch::dispatch_queue_t encodeQueue();
    dispatch::dispatch_queue_t autoEncodeQueue();

    bool asynchronous() const { return m_asynchronous.load(); }
    void setAsynchronous(bool asynchronous) { m_asynchronous.store(asynchronous); }
    uint64_t maxQueuedFrames() const { return m_maxQueuedFrames.load(); }
    void setMaxQueuedFrames(uint64_t frames) { m_maxQueuedFrames.store(frames); }
    uint64_t queuedFrames() const { return m_queuedFrames.load(); }
    uint64_t numberOfFramesEncoded() const { return m_numberOfFramesEncoded.load(); }
    // Times are seconds on the process clock, so a wall clock set back stalls nothing.
    double lastFrameSent() const { return m_lastFrameSent.load(); }
    double autoEncodingDuration() const { return m_autoEncodingDuration.load(); }
    void setAutoEncodingDuration(double seconds) { m_autoEncodingDuration.store(seconds); }
    double autoEncodingEndInterval() const;
    double encodingStartDate() const { return m_encodingStartDate; }
    bool lowCPUMode() const { return m_lowCPUMode.load(); }
    void setLowCPUMode(bool low) { m_lowCPUMode.store(low); }
    std::vector<std::shared_ptr<CompressionFrameInfo>> frameInfoArray() const;
    // Turns the auto-encode loop has taken (each one check, and a frame when one is due).
    uint64_t autoEncodeTurns() const { return m_autoEncodeTurns.load(); }

    void startSession() override;
    void stopSession() override;
    bool drivesFrameClock() const override { return true; }
    uint32_t drivenFramerate() const override { return 160; }
    void waitForNextFrame() override {}
    void clearRectangles() override {}
    void addDirtyRectangle(cg::CGRect) override {}
    // Only makes the display the one encoded.
    using QNBVellEncoder::encodeFrame;
    void encodeFrame(int32_t frame, bool lossyOnly, const std::shared_ptr<display::QNBDisplay>& display,
                     uint32_t packetDesignation) override;
    cm::CMTime compressionTime() const { return cm::CMTimeMake(0, 1); }

    void displayStreamCompletedWithStatus(cg::CGDisplayStreamFrameStatus status, uint64_t displayTime,
                                          const iosurface::IOSurfaceRef& frameSurface,
                                          const cg::CGDisplayStreamUpdateRef& updateRef);
    void autoEncodeFrame();
    void encodeFrameWithSurface(const iosurface::IOSurfaceRef& surface,
                                const cg::CGDisplayStreamUpdateRef& updateRef);
    // The frame has called back: it leaves the queue count and frameInfoArray.
    void finishedFrameWithInfo(CompressionFrameInfo* info);

  private:
    // The loop's pause between turns, which stopSession cuts short.
    struct LoopState {
        std::mutex lock;
        std::condition_variable wake;
        bool woken = false;
    };
    static void autoEncodeLoop(std::weak_ptr<QNBH264VellEncoder> weak, std::shared_ptr<LoopState> loop);
    bool hasSessionAndStream() const;

    mutable std::recursive_mutex m_compressionSessionLock;
    // Under m_compressionSessionLock.
    vt::VTCompressionSessionRef m_compressionSession;
    cg::CGDisplayStreamRef m_displayStream;
    double m_autoEncodingEndInterval = 0;

    mutable std::mutex m_fieldsLock; // the display, the scale, the queues, frameInfoArray
    std::shared_ptr<display::QNBDisplay> m_display;
    double m_outputScale = 1.0;
    dispatch::dispatch_queue_t m_encodeQueue, m_autoEncodeQueue, m_streamQueue;
    std::vector<std::shared_ptr<CompressionFrameInfo>> m_frameInfoArray;

    std::atomic<bool> m_asynchronous{true};
    std::atomic<uint64_t> m_maxQueuedFrames{1};
    std::atomic<uint64_t> m_queuedFrames{0};
    std::atomic<uint64_t> m_numberOfFramesEncoded{0};
    std::atomic<double> m_lastFrameSent{0};
    std::atomic<double> m_autoEncodingDuration{1.0};
    std::atomic<bool> m_lowCPUMode{false};
    std::atomic<uint64_t> m_autoEncodeTurns{0};
    const double m_encodingStartDate;
    const std::shared_ptr<LoopState> m_loop = std::make_shared<LoopState>();
};

// The compression session's output callback: encoder is the QNBH264VellEncoder, info the
// frame's CompressionFrameInfo. Writes the frame's update under the client socket's lock; a
// failed or dropped frame gets as many zero records as its header announced. Never takes the
// compression session lock.
void CompressionOutputCallback(void* encoder, void* info, vt::OSStatus status, vt::VTEncodeInfoFlags flags,
                               cm::CMSampleBufferRef sample);
// A 13-byte record of zeros but the encoding and the length, then the bytes (when there are any).
bool SendClientUpdateData(net::QNNetSocketProtocol& socket, uint8_t encoding, uint32_t length,
                          const uint8_t* bytes);
// True when the sample's first attachment dictionary says it depends on no other frame.
bool IsKeyFrameBuffer(const cm::CMSampleBufferRef& sample);

// An image of a sample: of its image buffer's pixels (read as red, green, blue and a skipped
// byte, with the buffer's width, height and bytes per row) when it has one, else decoded from
// the bytes of its data buffer; nil when neither gives one.
std::shared_ptr<appkit::NSImage> ImageFromSampleBuffer(const cm::CMSampleBufferRef& sample);

// The class that makes a QNBH264VellEncoder (named "QNBH264VellEncoder").
const QNBVellEncoderClass& QNBH264VellEncoderClass();

} // namespace capture
