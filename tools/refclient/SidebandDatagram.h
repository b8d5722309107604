// Datagrams the device receives on its sideband port, sorted by length (never by
// first byte: a 13-byte record starts with the low byte of x).
#pragma once

#include "tools/refclient/RectangleRecord.h"

#include <string>

namespace refclient {

struct SidebandDatagram {
    enum class Kind { Invitation, CursorPosition, FeatureState, Refused };
    Kind kind = Kind::Refused;
    RectangleRecord record; // for the two 13-byte kinds
    std::string refusal;    // why a Refused datagram was refused

    // Cursor position: width 1 visible, 0 hidden.
    bool visible() const { return record.width == 1; }
    uint16_t feature() const { return record.width; }
    uint16_t operation() const { return record.height; }

    static SidebandDatagram classify(ByteView bytes);
};

// The 47-byte server hello as the server sends it to invite a device.
Bytes invitationBytes();

} // namespace refclient
