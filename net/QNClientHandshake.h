// The client handshake: one 388-byte packed record with two overlaid layouts, the current
// one and the 111-byte legacy one (its first part, as old clients send it). Fields a
// client's version does not send stay zero.
#pragma once

#include "net/QNCapabilities.h"
#include "net/QNProtocolVersionInfo.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace net {

struct QNClientHandshake {
    static constexpr size_t kSize = 388;
    static constexpr size_t kLegacySize = 111;
    static constexpr uint8_t kType = 1;

    // Byte offsets in the record.
    static constexpr size_t kVersionOffset = 1;
    static constexpr size_t kLegacyDisplayModeOffset = 4;
    static constexpr size_t kCapabilitiesOffset = 5;
    static constexpr size_t kRequestedDisplaySizeOffset = 105;
    static constexpr size_t kNumberOfDisplayRequestsOffset = 109;
    static constexpr size_t kPadding2Offset = 111;
    static constexpr size_t kDisplayModeOffset = 127;
    static constexpr size_t kDeviceIdentifierOffset = 131;
    static constexpr size_t kDeviceNameOffset = 175;
    static constexpr size_t kDevicePlatformOffset = 255;
    static constexpr size_t kPadding3Offset = 287;

    static constexpr size_t kDeviceIdentifierSize = 44;
    static constexpr size_t kDeviceNameSize = 80;
    static constexpr size_t kDevicePlatformSize = 32;
    static constexpr size_t kPadding3Size = 101;

    uint8_t type = kType;
    uint8_t majorversion = 0;
    uint8_t minorversion = 0;
    uint8_t subversion = 0;
    // padding1 in the current layout; the legacy layout's u8 display mode.
    uint8_t legacyDisplayMode = 0;
    QNCapabilities capabilities;
    uint16_t nominalWidth = 0;
    uint16_t nominalHeight = 0;
    uint16_t numberOfDisplayRequests = 0;
    std::array<uint32_t, 4> padding2{};
    int32_t displayMode = 0;
    std::array<uint8_t, kDeviceIdentifierSize> deviceIdentifier{};
    std::array<uint8_t, kDeviceNameSize> deviceName{};
    std::array<uint8_t, kDevicePlatformSize> devicePlatform{};
    std::array<uint8_t, kPadding3Size> padding3{};

    std::array<uint8_t, kSize> encode() const;
    // Exactly kSize bytes, else nullopt.
    static std::optional<QNClientHandshake> decode(std::span<const uint8_t> bytes);

    // The version triple of bytes 1-3 as a record (required version left zero).
    QNProtocolVersionInfo version() const { return {majorversion, minorversion, subversion, 0, 0, 0}; }

    // Each text field up to its first NUL, at most the field's width; nullopt when the
    // bytes are not valid UTF-8.
    std::optional<std::string> deviceIdentifierText() const;
    std::optional<std::string> deviceNameText() const;
    std::optional<std::string> devicePlatformText() const;
    // Writes text into a field, cut at a character boundary so a NUL always fits.
    template <size_t N> static void setText(std::array<uint8_t, N>& field, const std::string& text);

    bool operator==(const QNClientHandshake&) const = default;
};

// The text of a fixed NUL-terminated field, nullopt when it is not valid UTF-8.
std::optional<std::string> textFromFixedField(std::span<const uint8_t> field);
// Whether bytes are well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
bool isValidUTF8(std::span<const uint8_t> bytes);
// How many bytes of text fit in limit bytes without splitting a character.
size_t utf8PrefixLength(const std::string& text, size_t limit);

template <size_t N> void QNClientHandshake::setText(std::array<uint8_t, N>& field, const std::string& text) {
    field.fill(0);
    size_t n = utf8PrefixLength(text, N - 1);
    for (size_t i = 0; i < n; ++i)
        field[i] = static_cast<uint8_t>(text[i]);
}

// The handshake's version (bytes 1-3) is at least (major, minor, sub).
bool handshakeSpeaksProtocolVersion(uint8_t major, uint8_t minor, uint8_t sub,
                                    const QNClientHandshake& handshake);

// Where the requested display mode lives: clients below 2.3 carry it in the u8 at offset 4,
// later ones in the i32 at offset 127.
class QNBScreenProtocolHelper {
  public:
    static int32_t displayModeFromHandshakeUnion(const QNClientHandshake& handshake,
                                                 const QNProtocolVersionInfo& versionInfo);
    // Writes the mode to the same place (the u8 takes the low byte).
    static void setDisplayMode(int32_t mode, QNClientHandshake& handshake,
                               const QNProtocolVersionInfo& versionInfo);

  private:
    static bool usesLegacyDisplayMode(const QNProtocolVersionInfo& versionInfo);
};

} // namespace net
