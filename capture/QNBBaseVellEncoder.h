// The encoder base every screen encoder derives from: the display set it serves, the client's
// socket and capabilities, one deflate stream for the encoder's life, and the raw copy of a
// display's pixels that the rectangle encoders use.
#pragma once

#include "capture/QNBVellEncoderProtocol.h"

#include "platform/coregraphics/CGDirectDisplay.h"

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace capture {

class QNBBaseVellEncoder : public QNBVellEncoderProtocol,
                           public std::enable_shared_from_this<QNBBaseVellEncoder> {
  public:
    // An empty display set and the deflate stream (level default, method 8, window bits 15,
    // memory level 9, strategy 0).
    QNBBaseVellEncoder();
    // Ends the deflate stream.
    ~QNBBaseVellEncoder() override;
    QNBBaseVellEncoder(const QNBBaseVellEncoder&) = delete;
    QNBBaseVellEncoder& operator=(const QNBBaseVellEncoder&) = delete;

    void clearRectangles() override;
    // Swaps the display set under the encoder's lock, then the socket and the capabilities.
    void setEncoderInformation(const std::shared_ptr<display::QNBDisplaySet>& displaySet,
                               const std::shared_ptr<net::QNNetSocketProtocol>& socket,
                               const net::QNCapabilities& capabilities) override;
    // Pixels relative to the display set (as the session hands them): clipped to each display's
    // place in the set under that display's lock and queued, in global coordinates, to each
    // display it meets with a positive width and height.
    void addDirtyRectangle(cg::CGRect rect) override;
    void encodeFrame(int32_t frame, bool lossyOnly,
                     const std::shared_ptr<display::QNBDisplay>& display) override;
    void encodeFrame(int32_t frame, bool lossyOnly, const std::shared_ptr<display::QNBDisplay>& display,
                     uint32_t packetDesignation) override;
    std::shared_ptr<QNBVellEncoderDelegateProtocol> delegate() const override;
    void setDelegate(std::weak_ptr<QNBVellEncoderDelegateProtocol> delegate) override;

    std::shared_ptr<net::QNNetSocketProtocol> clientSocket() const;
    std::shared_ptr<display::QNBDisplaySet> displaySet() const;
    net::QNCapabilities capabilities() const;
    z_stream& deflateStream() { return mDeflate_strm; }
    bool deflateReady() const { return m_deflateReady; }

    // The encoder object's lock.
    std::recursive_mutex& encoderLock() const { return m_encoderLock; }

  protected:
    double mScreenScale = 1.0;
    void* mCurrentFrame = nullptr;

  private:
    mutable std::recursive_mutex m_encoderLock;
    mutable std::mutex m_fieldsLock; // the socket, capabilities and delegate
    net::QNCapabilities mCapabilities{};
    z_stream mDeflate_strm{};
    bool m_deflateReady = false;
    std::shared_ptr<net::QNNetSocketProtocol> mClientSocket;
    std::shared_ptr<display::QNBDisplaySet> mDisplaySet;
    std::weak_ptr<QNBVellEncoderDelegateProtocol> m_delegate;
};

// Copies rect (display points relative to the display) of the display's current picture into
// 32-bit pixels (blue, green, red, unused), rows packed. buffer null: a new malloc'ed buffer the
// caller frees, sized from the final image; else buffer holds capacity bytes and a picture that
// does not fit gives null. The copied size in pixels goes to sizeOut. Null when nothing could
// be copied.
uint8_t* CreateImageBufferForRect(double scale, uint8_t* buffer, size_t capacity,
                                  cg::CGDirectDisplayID display, cg::CGSize* sizeOut, cg::CGRect rect);
// The variants (the first use picks one by the system version, for the process).
uint8_t* CreateImageBufferForRect_10_6(double scale, uint8_t* buffer, size_t capacity,
                                       cg::CGDirectDisplayID display, cg::CGSize* sizeOut, cg::CGRect rect);
uint8_t* CreateImageBufferForRect_10_7Plus(double scale, uint8_t* buffer, size_t capacity,
                                           cg::CGDirectDisplayID display, cg::CGSize* sizeOut,
                                           cg::CGRect rect);

} // namespace capture
