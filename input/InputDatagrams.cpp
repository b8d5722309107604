#include "input/InputDatagrams.h"

#include "platform/core/Log.h"

#include <cstring>

namespace input {

namespace {

int16_t i16At(std::span<const uint8_t> d, size_t at) {
    return static_cast<int16_t>(d[at] | d[at + 1] << 8);
}

uint16_t u16At(std::span<const uint8_t> d, size_t at) {
    return static_cast<uint16_t>(d[at] | d[at + 1] << 8);
}

float f32At(std::span<const uint8_t> d, size_t at) {
    uint32_t bits = d[at] | d[at + 1] << 8 | d[at + 2] << 16 | uint32_t(d[at + 3]) << 24;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

} // namespace

bool datagramHasLength(std::span<const uint8_t> data, size_t minimum) {
    if (data.size() >= minimum) return true;
    if (!data.empty())
        platform::log("Dropping a datagram of type %u and length %zu", unsigned(data[0]), data.size());
    return false;
}

std::optional<QNScrollMsg> QNScrollMsgFromDatagram(std::span<const uint8_t> data) {
    if (!datagramHasLength(data, QNScrollMsg::kSize)) return std::nullopt;
    return QNScrollMsg{f32At(data, 5), f32At(data, 9)};
}

std::optional<QNMouseMsg> QNMouseMsgFromDatagram(std::span<const uint8_t> data) {
    if (!datagramHasLength(data, QNMouseMsg::kSize)) return std::nullopt;
    return QNMouseMsg{data[1], i16At(data, 2), i16At(data, 4)};
}

std::optional<QNButtonMsg> QNButtonMsgFromDatagram(std::span<const uint8_t> data) {
    if (!datagramHasLength(data, QNButtonMsg::kSize)) return std::nullopt;
    return QNButtonMsg{data[1], static_cast<int8_t>(data[2])};
}

std::optional<TapDatagram> QNTapMsgFromDatagram(std::span<const uint8_t> data) {
    if (!datagramHasLength(data, QNTapMsg::kShortSize)) return std::nullopt;
    TapDatagram tap;
    QNTapMsg& header = tap.message.tap;
    header.tapType = data[1];
    header.x = i16At(data, 2);
    header.y = i16At(data, 4);
    if (data.size() == QNTapMsg::kSize || data.size() == QNStylusTapMsg::kSize) {
        header.modifierFlags = data[6];
        tap.carriesModifiers = true;
    }
    if (data.size() == QNStylusTapMsg::kSize) {
        tap.message.pressure = f32At(data, 9);
        tap.message.hoverHeight = f32At(data, 13);
        tap.message.buttons = u16At(data, 33);
    }
    return tap;
}

} // namespace input
