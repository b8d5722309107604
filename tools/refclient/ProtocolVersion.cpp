#include "tools/refclient/ProtocolVersion.h"

#include "platform/core/Format.h"

#include <charconv>

namespace refclient {

std::string ProtocolVersion::description() const { return platform::format("%u.%u.%u", major, minor, sub); }

std::optional<ProtocolVersion> ProtocolVersion::parse(std::string_view text) {
    uint8_t parts[3];
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (int i = 0; i < 3; ++i) {
        unsigned v = 0;
        auto [next, ec] = std::from_chars(p, end, v);
        if (ec != std::errc() || next == p || v > 255) return std::nullopt;
        parts[i] = static_cast<uint8_t>(v);
        p = next;
        if (i < 2) {
            if (p == end || *p != '.') return std::nullopt;
            ++p;
        }
    }
    if (p != end) return std::nullopt;
    return ProtocolVersion{parts[0], parts[1], parts[2]};
}

} // namespace refclient
