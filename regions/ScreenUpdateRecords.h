// The records in which pixels and cursor state reach a client: the screen update header
// and the 13-byte rectangle record of the main stream, and the cursor position datagram of
// the sideband. Bytes are built one at a time, little-endian and packed.
#pragma once

#include "regions/QNScreenEncoding.h"

#include "platform/coregraphics/CGGeometry.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace regions {

// Packet designations of the screen update header.
constexpr uint8_t kScreenUpdateDesignation = 0x20;
// A screen update of a session that carries application information.
constexpr uint8_t kScreenUpdateWithAppInfoDesignation = 0x28;

// QNScreenUpdateMsg: designation, then the number of rectangle records that follow.
struct QNScreenUpdateMsg {
    static constexpr size_t kSize = 3;
    uint8_t packetDesignation = kScreenUpdateDesignation;
    uint16_t recordCount = 0;

    std::array<uint8_t, kSize> encode() const;
};

// QNRectangleMsg: i16 x, i16 y, u16 width, u16 height, u8 encoding, u32 payload length;
// the payload follows the record directly.
struct QNRectangleMsg {
    static constexpr size_t kSize = 13;
    int16_t x = 0;
    int16_t y = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t encoding = 0;
    uint32_t payloadLength = 0;

    // Each coordinate truncated toward zero to 32 bits, of which the low 16 are kept; a
    // value no 32-bit integer holds (not finite, or too large) is written as 0.
    static QNRectangleMsg withRect(cg::CGRect rect, uint8_t encoding, uint32_t payloadLength);
    std::array<uint8_t, kSize> encode() const;
};

// The wire form of one coordinate (see QNRectangleMsg::withRect).
int16_t wireCoordinate(double value);

// The cursor position as a record of encoding MousePos: the location truncated to 16 bits,
// made relative to the display's origin and truncated again; width 1 when visible.
QNRectangleMsg cursorPositionRecord(cg::CGPoint location, bool visible, cg::CGPoint displayOrigin);
// The stream form: the location truncated, not made display-relative.
QNRectangleMsg cursorPositionStreamRecord(cg::CGPoint location, bool visible);
// The cursor image record: the hot spot and the image size, truncated; encoding MouseCursor.
QNRectangleMsg cursorImageRecord(cg::CGPoint hotSpot, cg::CGSize imageSize, uint32_t pngLength);

} // namespace regions
