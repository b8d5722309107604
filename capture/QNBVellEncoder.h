// The rectangle encoder for fast local networks. Each update it takes a display's queued
// dirty and moved rectangles, keeps a short history of where the screen changed (the heat
// map), and picks one record per rectangle: a copy record for moved areas, a high-quality
// JPEG for cool or small areas, a low-quality or down-scaled JPEG for hot, large ones. Areas
// sent lossy are remembered and sent again at high quality once they cool. It also carries the
// zlib sender over the base's deflate stream. The JPEG encoder derives from it and replaces
// every operation the session uses; a session reaches this one only when configured with it.
#pragma once

#include "capture/QNBBaseVellEncoder.h"
#include "regions/QNRect.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace capture {

// A rectangle larger than this many pixels is split in two by rows.
inline constexpr double kVellEncoderMaxRectanglePixels = 393216;

// Splits every rectangle above kVellEncoderMaxRectanglePixels into halves by rows, pass after
// pass, until none is larger. A rectangle under 2 rows is kept whatever its size: its halves
// would be itself and an empty one, and the passes would never end.
std::vector<regions::QNRect> SplitLargeRectangles(std::vector<regions::QNRect> rectangles);

class QNBVellEncoder : public QNBBaseVellEncoder {
  public:
    static std::shared_ptr<QNBVellEncoder> create();
    QNBVellEncoder() = default;

    // One complete update for the display: the header counts extraRecords and one record per
    // rectangle, and every rectangle yields exactly one record. lossyOnly is not read.
    using QNBBaseVellEncoder::encodeFrame;
    void encodeFrame(int32_t extraRecords, bool lossyOnly,
                     const std::shared_ptr<display::QNBDisplay>& display,
                     uint32_t packetDesignation) override;

    // The mean over the heat map of how much of rect each entry holds (1 inside, 0.8 partly,
    // 0 outside); 0 for an empty heat map.
    double scoreRectangleHeat(cg::CGRect rect, const display::QNBDisplay& display) const;
    // 0.9 × the mean heat of a 10 × 10 grid over the display's scale-corrected size.
    double lossyThresholdForDisplay(const display::QNBDisplay& display) const;

    // The writers of one record each. rect is in global pixels with the buffer's size; the
    // buffer holds rect's pixels, blue, green, red, unused, rows packed. Each answers whether
    // every byte went out.
    //
    // Encoding 0: the rows through the encoder's deflate stream (never reset, so the client
    // keeps one inflater). A stream that fails cannot go on: the client's socket is closed.
    bool sendZlibRect(cg::CGRect rect, const uint8_t* framebuffer, const display::QNBDisplay& display,
                      uint32_t* zlibSize);
    // Encoding 4 (JPEG at quality) or 5 (PNG, also for quality exactly 1). An image that cannot
    // be made gives a record of size, encoding and length 0.
    bool sendImageRect(cg::CGRect rect, const uint8_t* frameData, uint8_t encoding, double quality,
                       const display::QNBDisplay& display);
    // Encoding 14: a JPEG of the pixels scaled by q; the record keeps the full size.
    bool sendSqueezedRect(cg::CGRect rect, const uint8_t* framebuffer, double q,
                          const display::QNBDisplay& display);
    // Thirteen zero bytes but the encoding, 2: answers a rectangle that cannot be sent.
    bool sendDummyRect();

  private:
    // The record's rectangle relative to the display set, then the payload.
    bool sendRecord(cg::CGRect rect, const display::QNBDisplay& display, uint8_t encoding,
                    const uint8_t* payload, size_t length);
    // One rectangle that is not a move; the frame's rectangle count and refreshes choose the quality.
    void encodeChangedRect(const regions::QNRect& r, display::QNBDisplay& display, double scale,
                           double threshold, bool refreshOnly);
};

// The class that makes a QNBVellEncoder (named "QNBVellEncoder").
const QNBVellEncoderClass& QNBLANVellEncoderClass();

} // namespace capture
