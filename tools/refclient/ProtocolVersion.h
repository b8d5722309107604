// The handshake version the device claims, and the version gates that follow from it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace refclient {

struct ProtocolVersion {
    uint8_t major = 3;
    uint8_t minor = 0;
    uint8_t sub = 1;

    bool atLeast(uint8_t ma, uint8_t mi, uint8_t su) const {
        if (major != ma) return major > ma;
        if (minor != mi) return minor > mi;
        return sub >= su;
    }
    std::string description() const;
    // "M.m.s", each part 0-255.
    static std::optional<ProtocolVersion> parse(std::string_view text);
};

} // namespace refclient
