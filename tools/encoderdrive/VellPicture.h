// The drive program's own reader of the rectangle encoder's stream: it takes the bytes a client
// would receive, walks updates and records, and paints them into a picture of the display
// (JPEG, squeezed JPEG, zlib rows through one inflater, copies), counting what it saw.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace encoderdrive {

struct RecordCounts {
    size_t updates = 0;
    size_t records = 0;
    size_t highQuality = 0; // JPEG records of fine quantization
    size_t lowQuality = 0;  // JPEG records of coarse quantization
    size_t squeezed = 0;
    size_t copies = 0;
    size_t dummies = 0;
    size_t zlib = 0;
    size_t empty = 0; // zero-size records of images that could not be made
};

class VellPicture {
  public:
    // A picture of width × height pixels, BGRX, black.
    VellPicture(size_t width, size_t height);
    ~VellPicture();
    VellPicture(const VellPicture&) = delete;
    VellPicture& operator=(const VellPicture&) = delete;

    // Takes more of the stream; whole records are painted, a cut-off one waits for its rest.
    // False, with the reason, once the stream is malformed (nothing is read after that).
    bool feed(const uint8_t* bytes, size_t length);
    const std::string& error() const { return m_error; }
    // Whether the stream so far ends between updates.
    bool atUpdateBoundary() const { return m_remainingRecords == 0 && m_pending.size() == m_at; }

    const RecordCounts& counts() const { return m_counts; }
    size_t width() const { return m_width; }
    size_t height() const { return m_height; }
    const std::vector<uint8_t>& pixels() const { return m_pixels; }

  private:
    bool fail(std::string why);
    bool applyRecord(int16_t x, int16_t y, uint16_t w, uint16_t h, uint8_t encoding, const uint8_t* payload,
                     uint32_t length);
    bool paintJpeg(int x, int y, int w, int h, const uint8_t* payload, uint32_t length, bool squeezed);
    bool paintZlib(int x, int y, int w, int h, const uint8_t* payload, uint32_t length);
    bool paintCopy(int x, int y, int w, int h, const uint8_t* payload, uint32_t length);
    // Copies w × h packed BGRX pixels to (x, y), clipped to the picture.
    void place(int x, int y, int w, int h, const uint8_t* source);

    size_t m_width, m_height;
    std::vector<uint8_t> m_pixels;
    std::vector<uint8_t> m_pending;
    size_t m_at = 0;
    size_t m_remainingRecords = 0;
    RecordCounts m_counts;
    std::string m_error;
    z_stream m_inflate{};
    bool m_inflateReady = false;
};

// Whether a baseline JPEG's first quantization table is fine (the encoder's high quality).
bool jpegIsHighQuality(const uint8_t* jpeg, size_t length);

// PSNR in dB over the R, G and B bytes of two BGRX pictures of one size (99 when equal).
double psnr(const uint8_t* a, size_t aPitch, const uint8_t* b, size_t bPitch, size_t width, size_t height);

} // namespace encoderdrive
