// The RTP output road's encoder: changed areas at low JPEG quality, then, within a byte budget
// per update, an interlaced refresh of the whole display in 4-row strips at high quality.
// Records are 13-byte rectangle records (x, y without display offset) after a bare u16 count.
#pragma once

#include "capture/QNBBaseVellEncoder.h"

#include "regions/UpdatedRectangles.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace capture {

class QNBVellRTPEncoder : public QNBBaseVellEncoder {
  public:
    static constexpr size_t kFrameBudget = 8000;
    static constexpr double kChangedQuality = 0.125;
    static constexpr double kRasterQuality = 0.99;
    static constexpr int32_t kMaxRectArea = 81920;
    static constexpr int kBandRows = 32;
    static constexpr int kStripRows = 4;
    static constexpr size_t kLossyPointSize = 9;
    // Row offsets, in strips, of the eight passes within a band.
    static constexpr std::array<uint32_t, 8> interlaceForEight{0, 4, 2, 5, 1, 6, 3, 7};

    static std::shared_ptr<QNBVellRTPEncoder> create();

    void encodeFrame(int32_t extraRecordCount, bool lossyOnly,
                     const std::shared_ptr<display::QNBDisplay>& display,
                     uint32_t packetDesignation) override;
    using QNBBaseVellEncoder::encodeFrame;

    // The record, the lossy point for encoding 15, then the image (PNG for 5 and 253, else JPEG).
    // frameData: BGRX pixels of exactly the rectangle.
    static std::vector<uint8_t> sendImageRect(cg::CGRect rect, const uint8_t* frameData, uint8_t encoding,
                                              double quality, const uint8_t* lossyPoint);
    // Crops rect out of a whole-display buffer (rows of the display's width).
    static std::vector<uint8_t> sendPngRect(cg::CGRect rect, const uint8_t* framebuffer,
                                            const uint8_t* lossyPoint, const display::QNBDisplay& display);
    static std::vector<uint8_t> sendJpegRect(cg::CGRect rect, const uint8_t* framebuffer, double q,
                                             const display::QNBDisplay& display);
    // A new malloc'ed buffer of rect's rows; the caller frees it.
    static uint8_t* cropAndCopyFrame(const uint8_t* buffer, size_t rowBytes, cg::CGRect rect);

    std::shared_ptr<regions::UpdatedRectangles> rasterRectangles() const { return mRasterRectangles; }
    uint32_t rasterLocation() const { return mRasterLocation; }
    uint32_t rasterInterlace() const { return mRasterInterlace; }

  private:
    QNBVellRTPEncoder();
    struct FrameOutput {
        std::vector<uint8_t> bytes;
        uint32_t records = 0;
    };
    // Adds what goes out to sent.
    void sendChangedAreas(display::QNBDisplay& display, const std::vector<regions::QNRect>& list,
                          regions::UpdatedRectangles& sent, FrameOutput& out);
    void sendRasterRefresh(display::QNBDisplay& display, FrameOutput& out);

    std::shared_ptr<regions::UpdatedRectangles> mRasterRectangles;
    uint32_t mRasterLocation = 0;
    uint32_t mRasterInterlace = 0;
};

// The RTP encoder's class, for a session configured with it.
const QNBVellEncoderClass& QNBVellRTPEncoderClass();

} // namespace capture
