// An encoder that paces the session's frame clock at 30 frames a second and encodes nothing:
// an update request is answered without any update from it. Its other properties are plain
// stored values that nothing reads.
#pragma once

#include "capture/QNBBaseVellEncoder.h"

#include "platform/core/Clock.h"
#include "platform/corefoundation/Value.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>

namespace capture {

class QNBVellTheoraEncoder : public QNBBaseVellEncoder {
  public:
    static std::shared_ptr<QNBVellTheoraEncoder> create();
    QNBVellTheoraEncoder() = default;

    bool drivesFrameClock() const override { return true; }
    uint32_t drivenFramerate() const override { return 30; }
    // Sleeps what is left of 1/30 s since the last frame, then notes the time. The interval is
    // measured on the process clock, so a wall clock set back never makes a wait longer than
    // one frame.
    void waitForNextFrame() override;
    using QNBBaseVellEncoder::encodeFrame;
    void encodeFrame(int32_t, bool, const std::shared_ptr<display::QNBDisplay>&, uint32_t) override {}

    // Seconds since the reference date of the last frame (0 before the first).
    double lastFrameSent() const;
    void setLastFrameSent(double seconds);

    FILE* fp() const { return m_fp; }
    void setFp(FILE* fp) { m_fp = fp; }
    uint8_t* currentFrameImage() const { return m_currentFrameImage; }
    void setCurrentFrameImage(uint8_t* image) { m_currentFrameImage = image; }
    cg::CGSize currentFrameSize() const { return m_currentFrameSize; }
    void setCurrentFrameSize(cg::CGSize size) { m_currentFrameSize = size; }
    uint8_t** currentPlaneData() const { return m_currentPlaneData; }
    void setCurrentPlaneData(uint8_t** planes) { m_currentPlaneData = planes; }
    const cf::Dictionary& headerData() const { return m_headerData; }
    cf::Dictionary& headerData() { return m_headerData; }

  private:
    mutable std::mutex m_frameLock;
    double m_lastFrameSent = 0;
    std::optional<platform::TimePoint> m_lastFrameTime; // the same moment on the process clock

    FILE* m_fp = nullptr;
    uint8_t* m_currentFrameImage = nullptr;
    cg::CGSize m_currentFrameSize{};
    uint8_t** m_currentPlaneData = nullptr;
    cf::Dictionary m_headerData;
};

// The class that makes a QNBVellTheoraEncoder (named "QNBVellTheoraEncoder").
const QNBVellEncoderClass& QNBVellTheoraEncoderClass();

} // namespace capture
