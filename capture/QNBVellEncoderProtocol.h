// What the session asks of its screen encoder, and the one thing an encoder may tell its
// session. The encoders themselves (the encoder base and the JPEG encoder) come with
// capture; an encoder class is a name and a maker, so the session's one point of choice can
// name its class before any encoder exists.
#pragma once

#include "net/QNCapabilities.h"

#include "platform/coregraphics/CGGeometry.h"
#include "platform/iosurface/IOSurface.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace net {
class QNNetSocketProtocol;
} // namespace net
namespace display {
class QNBDisplaySet;
class QNBDisplay;
} // namespace display

namespace capture {

// QNBVellEncoderDelegateProtocol: the session adopts it; no encoder sends it yet.
class QNBVellEncoderDelegateProtocol {
  public:
    virtual ~QNBVellEncoderDelegateProtocol() = default;
    virtual void encoderReadyToEncode() {}
};

class QNBVellEncoderProtocol {
  public:
    virtual ~QNBVellEncoderProtocol() = default;

    // Required operations, in the protocol's order.
    virtual void clearRectangles() = 0;
    virtual void setEncoderInformation(const std::shared_ptr<display::QNBDisplaySet>& displaySet,
                                       const std::shared_ptr<net::QNNetSocketProtocol>& socket,
                                       const net::QNCapabilities& capabilities) = 0;
    virtual void addDirtyRectangle(cg::CGRect rect) = 0;
    virtual void encodeFrame(int32_t frame, bool lossyOnly,
                             const std::shared_ptr<display::QNBDisplay>& display) = 0;
    virtual void encodeFrame(int32_t frame, bool lossyOnly,
                             const std::shared_ptr<display::QNBDisplay>& display,
                             uint32_t packetDesignation) = 0;
    // A display of the same update request after its first: one request frees one frame slot
    // whatever its display set holds, so an encoder that counts slots frees none here.
    virtual void encodeFrameOfSameRequest(int32_t frame, bool lossyOnly,
                                          const std::shared_ptr<display::QNBDisplay>& display,
                                          uint32_t packetDesignation) {
        encodeFrame(frame, lossyOnly, display, packetDesignation);
    }
    // Optional in the protocol; every encoder of the system has them.
    virtual std::shared_ptr<QNBVellEncoderDelegateProtocol> delegate() const = 0;
    virtual void setDelegate(std::weak_ptr<QNBVellEncoderDelegateProtocol> delegate) = 0;

    // The encoder base's operations the session calls (their base answers).
    virtual void startSession() {}
    virtual void stopSession() {}
    virtual void enqueueFrame() {}
    virtual void enqueueFrameWithSurface(const iosurface::IOSurfaceRef& surface) { (void)surface; }
    // An update request answered without a frame (the empty update) still frees one slot.
    virtual void updateRequestAnsweredEmpty() {}
    virtual void waitForNextFrame() {}
    virtual bool drivesFrameClock() const { return false; }
    virtual uint32_t drivenFramerate() const { return UINT32_MAX; }
    // The JPEG encoder's: a client of major 2 or lower gets whole pending frames.
    virtual void setLousyClient(bool lousy) { (void)lousy; }
};

// An encoder class: its name, and how to make one (alloc, init). Two classes are the same
// class when their names are equal.
struct QNBVellEncoderClass {
    using Maker = std::function<std::shared_ptr<QNBVellEncoderProtocol>()>;

    std::string name;
    Maker maker;

    // A new encoder of the class, or null when the class makes none.
    std::shared_ptr<QNBVellEncoderProtocol> make() const { return maker ? maker() : nullptr; }
    bool operator==(const QNBVellEncoderClass& other) const { return name == other.name; }
};

// The class the session always chooses: its maker makes a QNBJPEGVellEncoder.
const QNBVellEncoderClass& QNBJPEGVellEncoderClass();

} // namespace capture
