// The device's opening bytes on the main stream: the handshake record, cut to the
// length its version implies, and the icon hashes that follow it.
#pragma once

#include "tools/refclient/Bytes.h"
#include "tools/refclient/ProtocolVersion.h"

#include <array>
#include <string>

namespace refclient {

constexpr size_t kCapabilitiesSize = 100;
constexpr size_t kFullHandshakeSize = 388;
constexpr size_t kIconHashSize = 16;

struct Capabilities {
    uint32_t encodingModes = 0;
    std::array<uint16_t, 32> displaySizes{};
    uint16_t keyboardSupport = 0;
    uint16_t androidFlags = 0;
    uint16_t retinaFlags = 0;
    uint16_t iconHashCount = 0;
    uint64_t gateletClientId = 0;
    uint16_t displayWidth = 0;
    uint16_t displayHeight = 0;
    uint16_t displayDensity = 132;
    uint8_t productType = 0;
    uint8_t platformType = 0;
    std::array<uint16_t, 4> otherFlags{};

    Bytes encode() const; // exactly kCapabilitiesSize bytes
    // Sets one field by its name; answers false with a reason for an unknown name or bad value.
    bool set(std::string_view name, std::string_view value, std::string& error);
};

struct HandshakeFields {
    ProtocolVersion version;
    uint8_t legacyDisplayMode = 0;
    Capabilities capabilities;
    uint16_t nominalWidth = 1024;
    uint16_t nominalHeight = 768;
    uint16_t numberOfDisplayRequests = 1;
    std::string deviceIdentifier;
    std::string deviceName;
    std::string devicePlatform;
};

// Bytes a client of this version sends before its icon hashes.
size_t handshakeLength(ProtocolVersion version);
// The handshake exactly as a client of fields.version sends it (no icon hashes).
Bytes encodeHandshake(const HandshakeFields& fields);
// The icon hashes that follow the handshake: none below 1.1.0, where no capabilities go out.
Bytes encodeIconHashes(const HandshakeFields& fields);
// MD5 digest of "refclient-icon-<index>".
std::array<uint8_t, kIconHashSize> iconHash(unsigned index);
// UTF-8 text cut at a character boundary so that it and its NUL fit width bytes.
std::string fitUtf8(std::string_view text, size_t width);

} // namespace refclient
