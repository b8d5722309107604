#include "tools/refclient/Handshake.h"

#include "platform/core/Format.h"
#include "tools/refclient/Wire.h"

#include <charconv>
#include <openssl/evp.h>

namespace refclient {

namespace {

constexpr size_t kIdentifierWidth = 44;
constexpr size_t kNameWidth = 80;
constexpr size_t kPlatformWidth = 32;

bool parseNumber(std::string_view text, uint64_t max, uint64_t& out) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    uint64_t v = 0;
    auto [next, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (ec != std::errc() || next != text.data() + text.size() || text.empty() || v > max) return false;
    out = v;
    return true;
}

template <size_t N>
bool parseList(std::string_view text, std::array<uint16_t, N>& out, std::string& error) {
    std::array<uint16_t, N> values{};
    size_t count = 0;
    while (!text.empty()) {
        size_t colon = text.find(':');
        std::string_view item = text.substr(0, colon);
        uint64_t v;
        if (count == N || !parseNumber(item, 0xFFFF, v)) {
            error = platform::format("bad list \"%@\": at most %d values of 0-65535", std::string(text), int(N));
            return false;
        }
        values[count++] = static_cast<uint16_t>(v);
        text = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    }
    out = values;
    return true;
}

} // namespace

Bytes Capabilities::encode() const {
    ByteWriter w;
    w.u32(encodingModes);
    for (uint16_t s : displaySizes) w.u16(s);
    w.u16(keyboardSupport).u16(androidFlags).u16(retinaFlags).u16(iconHashCount);
    w.u64(gateletClientId);
    w.u16(displayWidth).u16(displayHeight).u16(displayDensity);
    w.u8(productType).u8(platformType);
    for (uint16_t f : otherFlags) w.u16(f);
    return w.take();
}

bool Capabilities::set(std::string_view name, std::string_view value, std::string& error) {
    if (name == "displaySizes") return parseList(value, displaySizes, error);
    if (name == "otherFlags") return parseList(value, otherFlags, error);
    struct Field {
        const char* name;
        uint64_t max;
        void* target;
        int width;
    };
    const Field fields[] = {
        {"encodingModes", 0xFFFFFFFFu, &encodingModes, 4}, {"keyboardSupport", 0xFFFF, &keyboardSupport, 2},
        {"androidFlags", 0xFFFF, &androidFlags, 2},         {"retinaFlags", 0xFFFF, &retinaFlags, 2},
        {"iconHashCount", 0xFFFF, &iconHashCount, 2},       {"gateletClientId", UINT64_MAX, &gateletClientId, 8},
        {"displayWidth", 0xFFFF, &displayWidth, 2},         {"displayHeight", 0xFFFF, &displayHeight, 2},
        {"displayDensity", 0xFFFF, &displayDensity, 2},     {"productType", 0xFF, &productType, 1},
        {"platformType", 0xFF, &platformType, 1},
    };
    for (const Field& f : fields) {
        if (name != f.name) continue;
        uint64_t v;
        if (!parseNumber(value, f.max, v)) {
            error = platform::format("bad value \"%@\" for %@", std::string(value), f.name);
            return false;
        }
        switch (f.width) {
        case 1: *static_cast<uint8_t*>(f.target) = static_cast<uint8_t>(v); break;
        case 2: *static_cast<uint16_t*>(f.target) = static_cast<uint16_t>(v); break;
        case 4: *static_cast<uint32_t*>(f.target) = static_cast<uint32_t>(v); break;
        default: *static_cast<uint64_t*>(f.target) = v; break;
        }
        return true;
    }
    error = platform::format("unknown capability \"%@\"", std::string(name));
    return false;
}

size_t handshakeLength(ProtocolVersion v) {
    if (v.atLeast(3, 0, 0)) return kFullHandshakeSize;
    if (v.atLeast(2, 0, 0)) return 111;
    if (v.atLeast(1, 1, 2)) return 109;
    if (v.atLeast(1, 1, 0)) return 105;
    return 5;
}

Bytes encodeHandshake(const HandshakeFields& f) {
    ByteWriter w;
    w.u8(kMessageHandshake).u8(f.version.major).u8(f.version.minor).u8(f.version.sub);
    w.u8(f.legacyDisplayMode);
    w.bytes(f.capabilities.encode());
    w.u16(f.nominalWidth).u16(f.nominalHeight);
    w.u16(f.numberOfDisplayRequests);
    w.zeros(16);
    w.i32(0); // the display mode: the server clears it whatever we say
    w.field(fitUtf8(f.deviceIdentifier, kIdentifierWidth), kIdentifierWidth);
    w.field(fitUtf8(f.deviceName, kNameWidth), kNameWidth);
    w.field(fitUtf8(f.devicePlatform, kPlatformWidth), kPlatformWidth);
    w.zeros(kFullHandshakeSize - w.size());
    Bytes all = w.take();
    all.resize(handshakeLength(f.version));
    return all;
}

Bytes encodeIconHashes(const HandshakeFields& f) {
    Bytes out;
    if (!f.version.atLeast(1, 1, 0)) return out;
    for (unsigned i = 0; i < f.capabilities.iconHashCount; ++i) {
        auto h = iconHash(i);
        out.insert(out.end(), h.begin(), h.end());
    }
    return out;
}

std::array<uint8_t, kIconHashSize> iconHash(unsigned index) {
    std::string text = platform::format("refclient-icon-%u", index);
    std::array<uint8_t, kIconHashSize> digest{};
    unsigned int len = 0;
    EVP_Digest(text.data(), text.size(), digest.data(), &len, EVP_md5(), nullptr);
    return digest;
}

std::string fitUtf8(std::string_view text, size_t width) {
    if (width == 0) return {};
    if (text.size() < width) return std::string(text);
    size_t cut = width - 1;
    // Step back over continuation bytes so no character is split.
    while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;
    return std::string(text.substr(0, cut));
}

} // namespace refclient
