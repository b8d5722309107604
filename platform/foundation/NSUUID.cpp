#include "platform/foundation/NSUUID.h"

#include <random>
#include <sys/random.h>

namespace ns {

NSUUID NSUUID::UUID() {
    std::array<uint8_t, 16> bytes{};
    size_t filled = 0;
    while (filled < bytes.size()) {
        ssize_t got = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got <= 0) break;
        filled += static_cast<size_t>(got);
    }
    if (filled < bytes.size()) { // no getrandom: the library's source
        std::random_device device;
        for (uint8_t& byte : bytes)
            byte = static_cast<uint8_t>(device());
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
    return NSUUID(bytes);
}

std::string NSUUID::UUIDString() const {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < m_bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += kDigits[m_bytes[i] >> 4];
        text += kDigits[m_bytes[i] & 0xF];
    }
    return text;
}

} // namespace ns
