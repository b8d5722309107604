#include "platform/foundation/PercentEscapes.h"

namespace ns {

namespace {

bool isURLLegal(char32_t c) {
    static constexpr std::string_view kMarks = "-_.!~*'();/?:@&=+$,";
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c < 0x80 && kMarks.find(static_cast<char>(c)) != std::string_view::npos);
}

// The code point of a valid UTF-8 sequence.
char32_t codePoint(std::string_view utf8) {
    auto byte = [&](size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(utf8[i])); };
    if (utf8.size() == 1) return byte(0);
    char32_t c = byte(0) & (0x7F >> utf8.size());
    for (size_t i = 1; i < utf8.size(); ++i)
        c = c << 6 | (byte(i) & 0x3F);
    return c;
}

} // namespace

std::optional<std::string> CFURLCreateStringByAddingPercentEscapes(std::string_view text,
                                                                   std::string_view leaveUnescaped,
                                                                   std::string_view toEscape,
                                                                   NSStringEncoding encoding) {
    if (!isValidUTF8(text)) return std::nullopt;
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        std::string_view utf8 = text.substr(i, length);
        i += length;
        char32_t c = codePoint(utf8);
        auto in = [&](std::string_view set) {
            return c < 0x80 && set.find(static_cast<char>(c)) != set.npos;
        };
        if (in(leaveUnescaped) || (!in(toEscape) && isURLLegal(c))) {
            out += utf8;
            continue;
        }
        std::string bytes;
        if (encoding == NSUTF8StringEncoding)
            bytes = utf8;
        else if ((encoding == NSASCIIStringEncoding && c < 0x80) ||
                 (encoding == NSISOLatin1StringEncoding && c < 0x100))
            bytes = std::string(1, static_cast<char>(c));
        else
            return std::nullopt;
        for (unsigned char byte : bytes) {
            out += '%';
            out += kDigits[byte >> 4];
            out += kDigits[byte & 0xF];
        }
    }
    return out;
}

std::optional<std::string> stringByAddingPercentEscapesUsingEncoding(std::string_view text,
                                                                     NSStringEncoding encoding) {
    return CFURLCreateStringByAddingPercentEscapes(text, {}, {}, encoding);
}

} // namespace ns
