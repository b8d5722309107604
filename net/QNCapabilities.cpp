#include "net/QNCapabilities.h"

#include "net/ByteOrder.h"

#include <algorithm>
#include <vector>

namespace net {

std::array<uint8_t, QNCapabilities::kSize> QNCapabilities::encode() const {
    std::vector<uint8_t> out;
    out.reserve(kSize);
    LittleEndianWriter w(out);
    w.u32(encodingModes);
    for (uint16_t size : displaySizes)
        w.u16(size);
    w.u16(keyboardSupport);
    w.u16(androidFlags);
    w.u16(retinaFlags);
    w.u16(iconHashCount);
    w.u64(gateletClientId);
    w.u16(displayWidth);
    w.u16(displayHeight);
    w.u16(displayDensity);
    w.u8(productType);
    w.u8(platformType);
    for (uint16_t flag : otherFlags)
        w.u16(flag);
    std::array<uint8_t, kSize> bytes{};
    std::copy_n(out.begin(), kSize, bytes.begin());
    return bytes;
}

std::optional<QNCapabilities> QNCapabilities::decode(std::span<const uint8_t> bytes) {
    if (bytes.size() != kSize) return std::nullopt;
    LittleEndianReader r(bytes);
    QNCapabilities c;
    c.encodingModes = r.u32();
    for (uint16_t& size : c.displaySizes)
        size = r.u16();
    c.keyboardSupport = r.u16();
    c.androidFlags = r.u16();
    c.retinaFlags = r.u16();
    c.iconHashCount = r.u16();
    c.gateletClientId = r.u64();
    c.displayWidth = r.u16();
    c.displayHeight = r.u16();
    c.displayDensity = r.u16();
    c.productType = r.u8();
    c.platformType = r.u8();
    for (uint16_t& flag : c.otherFlags)
        flag = r.u16();
    if (!r.ok() || r.remaining() != 0) return std::nullopt;
    return c;
}

} // namespace net
