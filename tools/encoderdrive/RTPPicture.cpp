#include "tools/encoderdrive/RTPPicture.h"

#include <algorithm>
#include <iterator>

namespace encoderdrive {

namespace {

// The block's type, its length (u16 61) and the server record {1, 3, 0, 1, 1, 0, 0, u16 3, u16 1}.
constexpr uint8_t kBlockOpening[] = {0x79, 61, 0, 1, 3, 0, 1, 1, 0, 0, 3, 0, 1, 0};
constexpr size_t kRecordSize = 13;
constexpr size_t kLossyPointSize = 9;
constexpr uint8_t kJPEGEncoding = 4;
constexpr uint8_t kLossyJPEGEncoding = 15;
constexpr size_t kResolutionAt = 50;
constexpr uint8_t kResolutionType = 16;
constexpr uint16_t kStripRows = 4;

uint16_t be16(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}
uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
uint16_t le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

std::optional<RTPHeader> parseRTPHeader(const uint8_t* bytes, size_t length) {
    if (!bytes || length < 12) return std::nullopt;
    RTPHeader h;
    h.version = bytes[0] >> 6;
    h.payloadOffset = 12 + 4 * size_t(bytes[0] & 0x0F);
    if (length < h.payloadOffset) return std::nullopt;
    h.marker = bytes[1] & 0x80;
    h.payloadType = bytes[1] & 0x7F;
    h.sequence = be16(bytes + 2);
    h.timestamp = be32(bytes + 4);
    h.ssrc = be32(bytes + 8);
    return h;
}

std::optional<std::string> rtcpByeReason(const uint8_t* bytes, size_t length) {
    size_t at = 0;
    while (bytes && at + 4 <= length) {
        const uint8_t sources = bytes[at] & 0x1F;
        const uint8_t type = bytes[at + 1];
        const size_t packet = 4 * (size_t(be16(bytes + at + 2)) + 1);
        if (at + packet > length) return std::nullopt;
        if (type == 203) {
            const uint8_t* body = bytes + at + 4;
            const size_t bodyLength = packet - 4, reasonAt = 4 * size_t(sources);
            if (reasonAt >= bodyLength) return std::string();
            const size_t n = body[reasonAt];
            if (reasonAt + 1 + n > bodyLength) return std::nullopt;
            return std::string(reinterpret_cast<const char*>(body + reasonAt + 1), n);
        }
        at += packet;
    }
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> RTPFrameAssembler::take(const uint8_t* bytes, size_t length) {
    auto header = parseRTPHeader(bytes, length);
    if (!header) return std::nullopt;
    ++m_packets;
    if (m_lastSequence && header->sequence != uint16_t(*m_lastSequence + 1)) m_inSequence = false;
    if (m_ssrc && header->ssrc != *m_ssrc) m_inSequence = false;
    m_lastSequence = header->sequence;
    m_ssrc = header->ssrc;

    const uint8_t* payload = bytes + header->payloadOffset;
    const size_t size = length - header->payloadOffset;
    if (size < 2) return std::nullopt;
    const size_t index = payload[0], count = payload[1];
    if (header->marker && index == 0) {
        if (m_expected != 0) ++m_broken; // the frame before never completed
        m_frame.assign(payload + 2, payload + size);
        m_expected = count;
        m_next = 1;
        m_timestamp = header->timestamp;
    } else if (m_expected != 0 && index == m_next && count == m_expected &&
               header->timestamp == m_timestamp) {
        m_frame.insert(m_frame.end(), payload + 2, payload + size);
        ++m_next;
    } else {
        if (m_expected != 0) ++m_broken;
        m_expected = 0;
        return std::nullopt;
    }
    if (m_next < m_expected) return std::nullopt;
    m_expected = 0;
    ++m_frames;
    std::vector<uint8_t> frame;
    frame.swap(m_frame);
    return frame;
}

bool RTPPicture::fail(std::string why) {
    if (m_error.empty()) m_error = std::move(why);
    return false;
}

bool RTPPicture::feedFrame(const std::vector<uint8_t>& frame) {
    if (!m_error.empty()) return false;
    // What the session wrote between two updates (a heartbeat) goes out before the next block.
    const auto opening =
        std::search(frame.begin(), frame.end(), std::begin(kBlockOpening), std::end(kBlockOpening));
    if (opening == frame.end()) return fail("a frame without the 61-byte block");
    const size_t start = size_t(opening - frame.begin());
    if (frame.size() < start + kBlockSize + 2)
        return fail("a frame of " + std::to_string(frame.size()) + " bytes cut inside its block");
    const uint8_t* block = &frame[start];
    if (block[kResolutionAt] != kResolutionType) return fail("a block without the resolution message");
    m_width = le16(block + kResolutionAt + 5);
    m_height = le16(block + kResolutionAt + 7);
    ++m_frames;

    // The update as the rectangle reader takes it: its header, then the JPEG records.
    const size_t count = le16(block + kBlockSize);
    std::vector<uint8_t> update{0x20, 0, 0};
    size_t at = start + kBlockSize + 2, painted = 0;
    for (size_t i = 0; i < count; ++i) {
        if (at + kRecordSize > frame.size()) return fail("a frame cut inside record " + std::to_string(i));
        const uint8_t* record = &frame[at];
        const uint8_t encoding = record[8];
        const size_t lossy = encoding == kLossyJPEGEncoding ? kLossyPointSize : 0;
        const size_t length = le32(record + 9);
        if (length > frame.size() || at + kRecordSize + lossy + length > frame.size())
            return fail("a record longer than its frame");
        if (encoding == kJPEGEncoding) {
            const bool strip =
                le16(record) == 0 && le16(record + 4) == m_width && le16(record + 6) == kStripRows;
            m_stripsSinceChange = strip ? m_stripsSinceChange + 1 : 0;
            update.insert(update.end(), record, record + kRecordSize);
            update.insert(update.end(), record + kRecordSize, record + kRecordSize + length);
            ++painted;
        } else if (encoding != kLossyJPEGEncoding && encoding != 253) {
            return fail("a record of encoding " + std::to_string(encoding));
        }
        at += kRecordSize + lossy + length;
    }
    update[1] = uint8_t(painted), update[2] = uint8_t(painted >> 8);
    if (!m_picture.feed(update.data(), update.size())) return fail(m_picture.error());
    return true;
}

} // namespace encoderdrive
