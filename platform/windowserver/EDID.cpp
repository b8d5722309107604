#include "platform/windowserver/EDID.h"

#include <cstring>

namespace windowserver {

namespace {

constexpr uint8_t kHeader[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr size_t kDescriptorOffsets[] = {54, 72, 90, 108};
constexpr uint8_t kMonitorNameTag = 0xFC;
constexpr size_t kNameOffset = 5;
constexpr size_t kMaxNameBytes = 13;

// Up to 13 bytes from the descriptor's fifth, ending at a line feed or (as padded by some
// displays) a zero byte. Anything but printable ASCII becomes "?", so the name is always text.
std::string nameFromDescriptor(const uint8_t* descriptor) {
    std::string name;
    for (size_t i = 0; i < kMaxNameBytes; ++i) {
        uint8_t c = descriptor[kNameOffset + i];
        if (c == 0x0A || c == 0x00) break;
        name.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    }
    return name;
}

std::optional<std::string> monitorName(const uint8_t* edid) {
    for (size_t offset : kDescriptorOffsets) {
        const uint8_t* d = edid + offset;
        if (d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == kMonitorNameTag) return nameFromDescriptor(d);
    }
    return std::nullopt;
}

} // namespace

std::optional<EDIDInfo> parseEDID(const uint8_t* data, size_t length) {
    if (!data || length < kEDIDLength) return std::nullopt;
    if (std::memcmp(data, kHeader, sizeof kHeader) != 0) return std::nullopt;
    uint8_t sum = 0;
    for (size_t i = 0; i < kEDIDLength; ++i)
        sum = static_cast<uint8_t>(sum + data[i]);
    if (sum != 0) return std::nullopt;
    EDIDInfo info;
    info.vendor = (uint32_t(data[8]) << 8) | data[9];
    info.product = uint32_t(data[10]) | (uint32_t(data[11]) << 8);
    info.serial = uint32_t(data[12]) | (uint32_t(data[13]) << 8) | (uint32_t(data[14]) << 16) |
                  (uint32_t(data[15]) << 24);
    auto name = monitorName(data);
    info.name = name && !name->empty() ? *name : kUnknownDisplayName;
    info.widthMM = uint32_t(data[21]) * 10; // byte 21/22: the image size in centimetres
    info.heightMM = uint32_t(data[22]) * 10;
    return info;
}

} // namespace windowserver
