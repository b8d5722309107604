#include "foundation/DataAdditions.h"

#include "platform/foundation/MD5.h"

namespace foundation {

namespace {
int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
} // namespace

Data dataWithMD5OfData(std::span<const uint8_t> data) {
    platform::MD5Digest digest = platform::md5(data.data(), data.size());
    return Data(digest.begin(), digest.end());
}

Data dataWithHexString(std::optional<std::string_view> text) {
    Data bytes;
    if (!text) return bytes;
    bytes.reserve(text->size() / 2);
    for (size_t i = 0; i + 1 < text->size(); i += 2) {
        int high = hexDigitValue((*text)[i]), low = hexDigitValue((*text)[i + 1]);
        bytes.push_back(high < 0 || low < 0 ? 0 : static_cast<uint8_t>(high << 4 | low));
    }
    return bytes;
}

std::string hexString(std::span<const uint8_t> data) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(data.size() * 2);
    for (uint8_t byte : data) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}

} // namespace foundation
