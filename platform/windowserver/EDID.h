// Reading a display's EDID block: the identity the window server reports for a display.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace windowserver {

inline constexpr size_t kEDIDLength = 128;
// What a display without a readable EDID is called.
inline constexpr char kUnknownDisplayName[] = "Unknown Display";

struct EDIDInfo {
    uint32_t vendor = 0;  // bytes 8-9, big-endian
    uint32_t product = 0; // bytes 10-11, little-endian
    uint32_t serial = 0;  // bytes 12-15, little-endian
    std::string name;     // the monitor-name descriptor; "Unknown Display" when it has none
    uint32_t widthMM = 0; // bytes 21-22 (centimetres)
    uint32_t heightMM = 0;
};

// Nothing unless length is at least 128, the fixed header is there and the block's bytes sum
// to 0 modulo 256. Only the first 128 bytes are read.
std::optional<EDIDInfo> parseEDID(const uint8_t* data, size_t length);

} // namespace windowserver
