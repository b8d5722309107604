// The 13-byte rectangle record: the head of every update record on the stream and
// the whole of the cursor-position and feature-state datagrams.
#pragma once

#include "tools/refclient/Bytes.h"

#include <optional>

namespace refclient {

struct RectangleRecord {
    int16_t x = 0;
    int16_t y = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t encoding = 0;
    uint32_t length = 0;

    Bytes encode() const;
    // Reads the first 13 bytes; none when fewer are given.
    static std::optional<RectangleRecord> decode(ByteView bytes);
    bool operator==(const RectangleRecord&) const = default;
};

} // namespace refclient
