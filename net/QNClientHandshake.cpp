#include "net/QNClientHandshake.h"

#include "net/ByteOrder.h"

#include <algorithm>
#include <vector>

namespace net {

std::array<uint8_t, QNClientHandshake::kSize> QNClientHandshake::encode() const {
    std::vector<uint8_t> out;
    out.reserve(kSize);
    LittleEndianWriter w(out);
    w.u8(type);
    w.u8(majorversion);
    w.u8(minorversion);
    w.u8(subversion);
    w.u8(legacyDisplayMode);
    w.bytes(capabilities.encode());
    w.u16(nominalWidth);
    w.u16(nominalHeight);
    w.u16(numberOfDisplayRequests);
    for (uint32_t pad : padding2)
        w.u32(pad);
    w.i32(displayMode);
    w.bytes(deviceIdentifier);
    w.bytes(deviceName);
    w.bytes(devicePlatform);
    w.bytes(padding3);
    std::array<uint8_t, kSize> bytes{};
    std::copy_n(out.begin(), kSize, bytes.begin());
    return bytes;
}

std::optional<QNClientHandshake> QNClientHandshake::decode(std::span<const uint8_t> bytes) {
    if (bytes.size() != kSize) return std::nullopt;
    LittleEndianReader r(bytes);
    QNClientHandshake h;
    h.type = r.u8();
    h.majorversion = r.u8();
    h.minorversion = r.u8();
    h.subversion = r.u8();
    h.legacyDisplayMode = r.u8();
    auto capabilities = QNCapabilities::decode(bytes.subspan(kCapabilitiesOffset, QNCapabilities::kSize));
    r.skip(QNCapabilities::kSize);
    h.nominalWidth = r.u16();
    h.nominalHeight = r.u16();
    h.numberOfDisplayRequests = r.u16();
    for (uint32_t& pad : h.padding2)
        pad = r.u32();
    h.displayMode = r.i32();
    r.bytes(h.deviceIdentifier.data(), h.deviceIdentifier.size());
    r.bytes(h.deviceName.data(), h.deviceName.size());
    r.bytes(h.devicePlatform.data(), h.devicePlatform.size());
    r.bytes(h.padding3.data(), h.padding3.size());
    if (!capabilities || !r.ok() || r.remaining() != 0) return std::nullopt;
    h.capabilities = *capabilities;
    return h;
}

std::optional<std::string> QNClientHandshake::deviceIdentifierText() const {
    return textFromFixedField(deviceIdentifier);
}

std::optional<std::string> QNClientHandshake::deviceNameText() const {
    return textFromFixedField(deviceName);
}

std::optional<std::string> QNClientHandshake::devicePlatformText() const {
    return textFromFixedField(devicePlatform);
}

std::optional<std::string> textFromFixedField(std::span<const uint8_t> field) {
    auto end = std::find(field.begin(), field.end(), uint8_t{0});
    auto text = field.first(static_cast<size_t>(end - field.begin()));
    if (!isValidUTF8(text)) return std::nullopt;
    return std::string(text.begin(), text.end());
}

namespace {

// Length of the UTF-8 sequence starting at bytes[i], 0 when it is malformed.
size_t sequenceLength(std::span<const uint8_t> bytes, size_t i) {
    uint8_t lead = bytes[i];
    if (lead < 0x80) return 1;
    size_t n;
    uint32_t minimum;
    uint32_t value;
    if ((lead & 0xE0) == 0xC0) {
        n = 2, minimum = 0x80, value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        n = 3, minimum = 0x800, value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        n = 4, minimum = 0x10000, value = lead & 0x07;
    } else {
        return 0;
    }
    if (i + n > bytes.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        uint8_t c = bytes[i + k];
        if ((c & 0xC0) != 0x80) return 0;
        value = (value << 6) | (c & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    return n;
}

} // namespace

bool isValidUTF8(std::span<const uint8_t> bytes) {
    for (size_t i = 0; i < bytes.size();) {
        size_t n = sequenceLength(bytes, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

size_t utf8PrefixLength(const std::string& text, size_t limit) {
    std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    size_t i = 0;
    while (i < bytes.size()) {
        size_t n = sequenceLength(bytes, i);
        if (n == 0) n = 1; // a stray byte is kept as it stands; it is not split further
        if (i + n > limit) break;
        i += n;
    }
    return i;
}

bool handshakeSpeaksProtocolVersion(uint8_t major, uint8_t minor, uint8_t sub,
                                    const QNClientHandshake& handshake) {
    return theySpeakProtocolVersion(handshake.version(), major, minor, sub);
}

bool QNBScreenProtocolHelper::usesLegacyDisplayMode(const QNProtocolVersionInfo& v) {
    return v.majorversion < 2 || (v.majorversion == 2 && v.minorversion < 3);
}

int32_t QNBScreenProtocolHelper::displayModeFromHandshakeUnion(const QNClientHandshake& handshake,
                                                               const QNProtocolVersionInfo& versionInfo) {
    if (usesLegacyDisplayMode(versionInfo)) return handshake.legacyDisplayMode;
    return handshake.displayMode;
}

void QNBScreenProtocolHelper::setDisplayMode(int32_t mode, QNClientHandshake& handshake,
                                             const QNProtocolVersionInfo& versionInfo) {
    if (usesLegacyDisplayMode(versionInfo))
        handshake.legacyDisplayMode = static_cast<uint8_t>(mode & 0xFF);
    else
        handshake.displayMode = mode;
}

} // namespace net
