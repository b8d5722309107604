// Datagrams the device sends to the server's sideband port, and the `--send` steps
// that script them.
#pragma once

#include "tools/refclient/Bytes.h"

#include <optional>
#include <string>
#include <string_view>

namespace refclient::datagram {

enum Type : uint8_t {
    kTap = 2,
    kKeyboard = 3,
    kWindowRequest = 5,
    kMouse = 6,
    kScroll = 7,
    kMenuRequest = 8,
    kFeature = 9,
    kButton = 16,
};

Bytes tap(uint8_t tapType, int16_t x, int16_t y, uint8_t modifiers = 0);
Bytes tap6(uint8_t tapType, int16_t x, int16_t y);
Bytes stylus(uint8_t tapType, int16_t x, int16_t y, float pressure, float hover, uint16_t buttons,
             uint8_t modifiers = 0);
Bytes key(uint8_t kind, uint8_t shift, uint8_t flags, uint32_t value);
// One kind-0 keyboard datagram per UTF-16 unit of the UTF-8 text; none for invalid UTF-8.
std::optional<std::vector<Bytes>> text(std::string_view utf8);
Bytes windowRequest(uint32_t pid, uint64_t windowId);
Bytes mouse(uint8_t buttons, int16_t x, int16_t y);
Bytes scroll(float horizontal, float vertical);
Bytes menuRequest(uint64_t elementHandle, uint64_t pid);
Bytes feature(uint16_t operation, uint16_t featureNumber);
Bytes button(uint8_t number, int8_t pressed);

} // namespace refclient::datagram

namespace refclient {

// One `--send` step: datagrams to send at once, or a pause before the next step.
struct SendStep {
    std::vector<Bytes> datagrams;
    int waitMs = 0;

    // Parses "tap:T,X,Y[,MODS]", "wait:MS", "raw:HEX" and the other forms; error says why not.
    static std::optional<SendStep> parse(std::string_view stepText, std::string& error);
};

// UTF-8 to UTF-16 units; none for invalid UTF-8 (overlong forms, surrogates, cut sequences).
std::optional<std::u16string> utf16FromUtf8(std::string_view utf8);

} // namespace refclient
