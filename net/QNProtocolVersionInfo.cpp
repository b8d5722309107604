#include "net/QNProtocolVersionInfo.h"

#include "platform/core/Format.h"

namespace net {

std::array<uint8_t, QNProtocolVersionInfo::kSize> QNProtocolVersionInfo::encode() const {
    return {majorversion, minorversion, subversion, req_majorversion, req_minorversion, req_subversion};
}

std::optional<QNProtocolVersionInfo> QNProtocolVersionInfo::decode(std::span<const uint8_t> bytes) {
    if (bytes.size() != kSize) return std::nullopt;
    return QNProtocolVersionInfo{bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5]};
}

std::string QNProtocolVersionInfo::description() const {
    return platform::format("%d.%d.%d (requires %d.%d.%d)", majorversion, minorversion, subversion,
                            req_majorversion, req_minorversion, req_subversion);
}

int QNVersionCompare(uint8_t aMajor, uint8_t aMinor, uint8_t aSub, uint8_t bMajor, uint8_t bMinor,
                     uint8_t bSub) {
    const std::array<uint8_t, 3> a{aMajor, aMinor, aSub};
    const std::array<uint8_t, 3> b{bMajor, bMinor, bSub};
    if (a < b) return -1;
    if (a > b) return 1;
    return 0;
}

bool theySpeakProtocolVersion(const QNProtocolVersionInfo& version, uint8_t major, uint8_t minor,
                              uint8_t sub) {
    return QNVersionCompare(version.majorversion, version.minorversion, version.subversion, major, minor,
                            sub) >= 0;
}

bool weSpeakProtocolVersion(uint8_t major, uint8_t minor, uint8_t sub) {
    const auto& ours = kServerProtocolVersion;
    return QNVersionCompare(major, minor, sub, ours.majorversion, ours.minorversion, ours.subversion) <= 0;
}

} // namespace net
