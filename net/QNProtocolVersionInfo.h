// The protocol version record and the rules by which two versions compare: always the
// triple (major, minor, sub), major first.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace net {

struct QNProtocolVersionInfo {
    static constexpr size_t kSize = 6;

    uint8_t majorversion = 0;
    uint8_t minorversion = 0;
    uint8_t subversion = 0;
    uint8_t req_majorversion = 0; // lowest version the sender requires of its peer
    uint8_t req_minorversion = 0;
    uint8_t req_subversion = 0;

    std::array<uint8_t, kSize> encode() const;
    static std::optional<QNProtocolVersionInfo> decode(std::span<const uint8_t> bytes);
    std::string description() const; // "3.0.1 (requires 1.0.0)"
    bool operator==(const QNProtocolVersionInfo&) const = default;
};

// The server speaks 3.0.1 and requires 1.0.0 of its clients.
constexpr QNProtocolVersionInfo kServerProtocolVersion{3, 0, 1, 1, 0, 0};

// -1 when a is lower than b, 1 when higher, 0 when equal.
int QNVersionCompare(uint8_t aMajor, uint8_t aMinor, uint8_t aSub, uint8_t bMajor, uint8_t bMinor,
                     uint8_t bSub);
// The record's own version is at least (major, minor, sub).
bool theySpeakProtocolVersion(const QNProtocolVersionInfo& version, uint8_t major, uint8_t minor,
                              uint8_t sub);
// (major, minor, sub) is at most the server's own version.
bool weSpeakProtocolVersion(uint8_t major, uint8_t minor, uint8_t sub);

} // namespace net
