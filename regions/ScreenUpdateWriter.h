// Writing screen updates and cursor records to a client socket. Every function holds the
// socket's own lock for its whole message, so the parts of two messages never interleave
// whatever threads send them; the lock is recursive, so a caller may already hold it to
// keep several messages together. Each answers true when every byte went out.
#pragma once

#include "regions/ScreenUpdateRecords.h"

#include "net/QNNetSocketProtocol.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace regions {

// Payload sends may block this long on a stalled client (the stream socket accepts and
// ignores it).
constexpr double kPayloadSendTimeout = 2.0;

// One rectangle of a screen update with its encoded payload (empty: none).
struct ScreenUpdateRecord {
    cg::CGRect rect = cg::CGRectZero;
    uint8_t encoding = QNScreenEncodingJPG;
    std::span<const uint8_t> payload;
};

// One 13-byte record, then the payload. A null payload is sent as length 0 whatever length
// says, so the record never promises bytes that do not follow. The caller holds the lock
// for the whole update.
bool SendClientUpdateDataJPEG(net::QNNetSocketProtocol& socket, uint8_t encoding, uint32_t payloadLength,
                              const uint8_t* payload, cg::CGRect rect);

bool sendScreenUpdateHeader(net::QNNetSocketProtocol& socket, uint8_t packetDesignation,
                            uint16_t recordCount);
// A whole update: the header with the record count, then each record and its payload.
// More records than the header can count, or a payload too long for its length field,
// is refused before anything is sent.
bool sendScreenUpdate(net::QNNetSocketProtocol& socket, uint8_t packetDesignation,
                      std::span<const ScreenUpdateRecord> records);

// {0x25, u16 number of displays}, before a frame answer of other than one display.
bool sendMultiDisplayMsg(net::QNNetSocketProtocol& socket, size_t displayCount);
// {0x27, 0} before the application records, {0x27, 1} after them.
bool sendApplicationInfoBracket(net::QNNetSocketProtocol& socket, bool end);

// {0x20, u16 1}, a MouseCursor record of the hot spot and image size, then the PNG bytes.
bool sendCursorImageUpdate(net::QNNetSocketProtocol& socket, cg::CGPoint hotSpot, cg::CGSize imageSize,
                           std::span<const uint8_t> png);
// The 13-byte cursor position datagram, sent with socket's sendDatagram to clientSocket's
// address at port (a USB socket sends it on its own channel).
bool sendCursorPositionDatagram(net::QNNetSocketProtocol& socket,
                                const net::QNNetSocketProtocol* clientSocket, uint16_t port,
                                cg::CGPoint location, bool visible, cg::CGPoint displayOrigin);
// The stream form of the cursor position: {0x20, u16 1} and the record.
bool sendCursorPositionUpdate(net::QNNetSocketProtocol& socket, cg::CGPoint location, bool visible);

} // namespace regions
