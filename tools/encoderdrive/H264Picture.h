// The drive program's own reader of the H.264 encoder's stream: updates whose records carry
// the parameter sets (key frames) and the frame's length-prefixed NAL units, turned into an
// Annex B stream for libavcodec's decoder; the last decoded picture is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace encoderdrive {

class H264Picture {
  public:
    H264Picture();
    ~H264Picture();
    H264Picture(const H264Picture&) = delete;
    H264Picture& operator=(const H264Picture&) = delete;

    // Takes more of the stream; whole updates are decoded. False, with the reason, once the
    // stream is malformed or a frame does not decode.
    bool feed(const uint8_t* bytes, size_t length);
    const std::string& error() const { return m_error; }
    bool atUpdateBoundary() const { return m_pending.size() == m_at; }

    size_t frames() const { return m_frames; }
    size_t keyFrames() const { return m_keyFrames; }
    size_t emptyRecords() const { return m_emptyRecords; }
    // The last decoded picture's luma (width × height bytes); empty before the first.
    int width() const { return m_width; }
    int height() const { return m_height; }
    const std::vector<uint8_t>& luma() const { return m_luma; }

  private:
    bool fail(std::string why);
    // The length-prefixed NAL units of a frame record appended as Annex B, or false.
    bool appendFrame(const uint8_t* payload, uint32_t length, std::vector<uint8_t>& annexB);
    bool decode(const std::vector<uint8_t>& annexB);

    std::vector<uint8_t> m_pending;
    size_t m_at = 0;
    size_t m_frames = 0, m_keyFrames = 0, m_emptyRecords = 0;
    int m_width = 0, m_height = 0;
    std::vector<uint8_t> m_luma;
    std::string m_error;
    AVCodecContext* m_context = nullptr;
    AVFrame* m_frame = nullptr;
    AVPacket* m_packet = nullptr;
};

// Luma PSNR in dB of a picture against BGRX pixels (BT.601, limited range); 99 when equal.
double lumaPsnr(const uint8_t* luma, int width, int height, const uint8_t* bgrx, size_t pitch);

} // namespace encoderdrive
