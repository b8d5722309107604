// The client's capabilities record: 100 packed bytes inside the client handshake, kept by
// the session and copied whole into the encoder.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace net {

struct QNCapabilities {
    static constexpr size_t kSize = 100;
    static constexpr size_t kDisplaySizeCount = 32;
    static constexpr size_t kOtherFlagCount = 4;
    // Offset of gateletClientId inside the record (81 in the whole handshake).
    static constexpr size_t kGateletClientIdOffset = 76;

    uint32_t encodingModes = 0;
    std::array<uint16_t, kDisplaySizeCount> displaySizes{};
    uint16_t keyboardSupport = 0;
    uint16_t androidFlags = 0;
    uint16_t retinaFlags = 0;
    uint16_t iconHashCount = 0;
    uint64_t gateletClientId = 0;
    uint16_t displayWidth = 0;
    uint16_t displayHeight = 0;
    uint16_t displayDensity = 0;
    uint8_t productType = 0;
    uint8_t platformType = 0;
    std::array<uint16_t, kOtherFlagCount> otherFlags{};

    std::array<uint8_t, kSize> encode() const;
    // Exactly kSize bytes, else nullopt.
    static std::optional<QNCapabilities> decode(std::span<const uint8_t> bytes);
    bool operator==(const QNCapabilities&) const = default;
};

} // namespace net
