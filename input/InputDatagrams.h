// The client's pointer, stylus, button and keyboard datagrams as records: each read from its
// fixed little-endian layout once its length was checked. A datagram shorter than its record is
// dropped with a log line naming its type and length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace input {

// Whether data holds at least minimum bytes; logs "Dropping a datagram of type T and length N"
// otherwise (an empty one silently).
bool datagramHasLength(std::span<const uint8_t> data, size_t minimum);

struct QNScrollMsg {
    static constexpr size_t kSize = 13;
    float horizontal = 0;
    float vertical = 0;
};

struct QNMouseMsg {
    static constexpr size_t kSize = 6;
    uint8_t buttons = 0;
    int16_t x = 0;
    int16_t y = 0;
};

struct QNTapMsg {
    static constexpr size_t kShortSize = 6;
    static constexpr size_t kSize = 8;
    uint8_t tapType = 0;
    int16_t x = 0;
    int16_t y = 0;
    uint8_t modifierFlags = 0;
};

struct QNStylusTapMsg {
    static constexpr size_t kSize = 51;
    QNTapMsg tap;
    float pressure = 0;
    float hoverHeight = 0;
    uint16_t buttons = 0;
};

struct QNButtonMsg {
    static constexpr size_t kSize = 3;
    uint8_t button = 0;
    int8_t pressed = 0;
};

std::optional<QNScrollMsg> QNScrollMsgFromDatagram(std::span<const uint8_t> data);
std::optional<QNMouseMsg> QNMouseMsgFromDatagram(std::span<const uint8_t> data);
std::optional<QNButtonMsg> QNButtonMsgFromDatagram(std::span<const uint8_t> data);

// A tap datagram: the 51-byte stylus form whole; the 8-byte form with its modifier flags; any
// other length of 6 bytes or more as the 6-byte form (no flags, stylus fields zero).
struct TapDatagram {
    QNStylusTapMsg message;
    bool carriesModifiers = false;
};
std::optional<TapDatagram> QNTapMsgFromDatagram(std::span<const uint8_t> data);

} // namespace input
