// The drive program's own reader of the RTP output road: RTP headers, frames reassembled from
// their packets ({index, count} before each piece, the first with the marker, one timestamp),
// the 61-byte block that opens a frame, and the update inside painted into a picture of the
// display by the rectangle reader. RTCP compound packets are searched for a BYE.
#pragma once

#include "tools/encoderdrive/VellPicture.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace encoderdrive {

struct RTPHeader {
    int version = 0;
    bool marker = false;
    int payloadType = 0;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
    size_t payloadOffset = 0; // past the CSRC list
};

// Null for a datagram shorter than its header.
std::optional<RTPHeader> parseRTPHeader(const uint8_t* bytes, size_t length);

// The BYE reason of an RTCP compound datagram (empty for a BYE without one); nullopt without a
// BYE or for a malformed datagram.
std::optional<std::string> rtcpByeReason(const uint8_t* bytes, size_t length);

// One receiver's frames.
class RTPFrameAssembler {
  public:
    // Takes one RTP datagram; answers the frame it completes. A frame missing a piece, or
    // pieces out of order, is dropped and counted.
    std::optional<std::vector<uint8_t>> take(const uint8_t* bytes, size_t length);
    size_t packets() const { return m_packets; }
    size_t frames() const { return m_frames; }
    size_t broken() const { return m_broken; }
    // Whether every packet so far came with the next sequence number and one SSRC.
    bool inSequence() const { return m_inSequence; }

  private:
    std::vector<uint8_t> m_frame;
    size_t m_expected = 0; // pieces of the frame being put together; 0 between frames
    size_t m_next = 0;
    uint32_t m_timestamp = 0;
    std::optional<uint16_t> m_lastSequence;
    std::optional<uint32_t> m_ssrc;
    bool m_inSequence = true;
    size_t m_packets = 0, m_frames = 0, m_broken = 0;
};

class RTPPicture {
  public:
    static constexpr size_t kBlockSize = 61;

    RTPPicture(size_t width, size_t height) : m_picture(width, height) {}
    // One frame: the block (0x79, u16 61, the 47-byte record, the 11-byte resolution message),
    // then the update's u16 count and its records. Records of encoding 4 are painted; what the
    // session wrote before the block (between two updates: a heartbeat) and after the last
    // record (a cursor image) is left alone. False, with the reason, for a malformed frame.
    bool feedFrame(const std::vector<uint8_t>& frame);
    const std::string& error() const { return m_error; }

    // The display size the last block named.
    uint16_t width() const { return m_width; }
    uint16_t height() const { return m_height; }
    size_t frames() const { return m_frames; }
    // Raster strips (whole rows of the display, four high) painted since the last other record:
    // once a round of them, nothing painted earlier at low quality is left.
    size_t stripsSinceChange() const { return m_stripsSinceChange; }
    const RecordCounts& counts() const { return m_picture.counts(); }
    const std::vector<uint8_t>& pixels() const { return m_picture.pixels(); }

  private:
    bool fail(std::string why);

    VellPicture m_picture;
    std::string m_error;
    uint16_t m_width = 0, m_height = 0;
    size_t m_frames = 0;
    size_t m_stripsSinceChange = 0;
};

} // namespace encoderdrive
