#include "tools/refclient/Datagrams.h"

#include "platform/core/Format.h"

#include <charconv>
#include <cstdlib>

namespace refclient::datagram {

Bytes tap(uint8_t tapType, int16_t x, int16_t y, uint8_t modifiers) {
    ByteWriter w;
    w.u8(kTap).u8(tapType).i16(x).i16(y).u8(modifiers).u8(0);
    return w.take();
}

Bytes tap6(uint8_t tapType, int16_t x, int16_t y) {
    ByteWriter w;
    w.u8(kTap).u8(tapType).i16(x).i16(y);
    return w.take();
}

Bytes stylus(uint8_t tapType, int16_t x, int16_t y, float pressure, float hover, uint16_t buttons,
             uint8_t modifiers) {
    ByteWriter w;
    w.bytes(tap(tapType, x, y, modifiers)).u8(0).f32(pressure).f32(hover).zeros(16).u16(buttons).zeros(16);
    return w.take();
}

Bytes key(uint8_t kind, uint8_t shift, uint8_t flags, uint32_t value) {
    ByteWriter w;
    w.u8(kKeyboard).u8(kind).u8(shift).u8(flags).u8(0).u32(value);
    return w.take();
}

std::optional<std::vector<Bytes>> text(std::string_view utf8) {
    auto units = utf16FromUtf8(utf8);
    if (!units) return std::nullopt;
    std::vector<Bytes> out;
    for (char16_t u : *units) out.push_back(key(0, 0, 0, u));
    return out;
}

Bytes windowRequest(uint32_t pid, uint64_t windowId) {
    ByteWriter w;
    w.u8(kWindowRequest).u32(pid).zeros(4).u64(windowId);
    return w.take();
}

Bytes mouse(uint8_t buttons, int16_t x, int16_t y) {
    ByteWriter w;
    w.u8(kMouse).u8(buttons).i16(x).i16(y);
    return w.take();
}

Bytes scroll(float horizontal, float vertical) {
    ByteWriter w;
    w.u8(kScroll).zeros(4).f32(horizontal).f32(vertical);
    return w.take();
}

Bytes menuRequest(uint64_t elementHandle, uint64_t pid) {
    ByteWriter w;
    w.u8(kMenuRequest).u64(elementHandle).u64(pid);
    return w.take();
}

Bytes feature(uint16_t operation, uint16_t featureNumber) {
    ByteWriter w;
    w.u8(kFeature).u16(operation).u16(featureNumber);
    return w.take();
}

Bytes button(uint8_t number, int8_t pressed) {
    ByteWriter w;
    w.u8(kButton).u8(number).u8(static_cast<uint8_t>(pressed));
    return w.take();
}

} // namespace refclient::datagram

namespace refclient {

namespace {

std::vector<std::string_view> splitArgs(std::string_view s) {
    std::vector<std::string_view> out;
    if (s.empty()) return out;
    for (;;) {
        size_t comma = s.find(',');
        out.push_back(s.substr(0, comma));
        if (comma == std::string_view::npos) break;
        s.remove_prefix(comma + 1);
    }
    return out;
}

bool integer(std::string_view t, int64_t lo, int64_t hi, int64_t& out) {
    bool negative = !t.empty() && t[0] == '-';
    if (negative) t.remove_prefix(1);
    int base = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        t.remove_prefix(2);
        base = 16;
    }
    uint64_t magnitude = 0;
    auto [next, ec] = std::from_chars(t.data(), t.data() + t.size(), magnitude, base);
    if (t.empty() || ec != std::errc() || next != t.data() + t.size()) return false;
    if (magnitude > static_cast<uint64_t>(INT64_MAX)) return false;
    int64_t v = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

bool real(std::string_view t, float& out) {
    std::string s(t);
    char* end = nullptr;
    out = std::strtof(s.c_str(), &end);
    return !s.empty() && end == s.c_str() + s.size();
}

bool hexBytes(std::string_view t, Bytes& out) {
    if (t.size() % 2) return false;
    for (size_t i = 0; i < t.size(); i += 2) {
        unsigned v;
        auto [next, ec] = std::from_chars(t.data() + i, t.data() + i + 2, v, 16);
        if (ec != std::errc() || next != t.data() + i + 2) return false;
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

// Numeric arguments of one step, each checked against its range.
class Args {
public:
    Args(std::string_view text, size_t minCount, size_t maxCount)
        : m_args(splitArgs(text)), m_ok(m_args.size() >= minCount && m_args.size() <= maxCount) {}
    bool ok() const { return m_ok; }
    size_t count() const { return m_args.size(); }
    int64_t i(size_t index, int64_t lo, int64_t hi) {
        int64_t v = 0;
        if (index >= m_args.size() || !integer(m_args[index], lo, hi, v)) m_ok = false;
        return v;
    }
    uint64_t u64(size_t index) {
        uint64_t v = 0;
        if (index >= m_args.size()) {
            m_ok = false;
            return 0;
        }
        std::string_view t = m_args[index];
        int base = 10;
        if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
            t.remove_prefix(2);
            base = 16;
        }
        auto [next, ec] = std::from_chars(t.data(), t.data() + t.size(), v, base);
        if (t.empty() || ec != std::errc() || next != t.data() + t.size()) m_ok = false;
        return v;
    }
    float f(size_t index) {
        float v = 0;
        if (index >= m_args.size() || !real(m_args[index], v)) m_ok = false;
        return v;
    }

private:
    std::vector<std::string_view> m_args;
    bool m_ok;
};

std::optional<Bytes> buildDatagram(std::string_view kind, std::string_view rest) {
    using namespace datagram;
    auto u8 = [](Args& a, size_t i) { return static_cast<uint8_t>(a.i(i, 0, 255)); };
    auto s16 = [](Args& a, size_t i) { return static_cast<int16_t>(a.i(i, INT16_MIN, INT16_MAX)); };
    Bytes out;
    if (kind == "tap") {
        Args a(rest, 3, 4);
        out = tap(u8(a, 0), s16(a, 1), s16(a, 2), a.count() > 3 ? u8(a, 3) : 0);
        return a.ok() ? std::optional(out) : std::nullopt;
    }
    if (kind == "tap6") {
        Args a(rest, 3, 3);
        out = tap6(u8(a, 0), s16(a, 1), s16(a, 2));
        return a.ok() ? std::optional(out) : std::nullopt;
    }
    if (kind == "stylus") {
        Args a(rest, 6, 7);
        out = stylus(u8(a, 0), s16(a, 1), s16(a, 2), a.f(3), a.f(4), static_cast<uint16_t>(a.i(5, 0, 0xFFFF)),
                     a.count() > 6 ? u8(a, 6) : 0);
        return a.ok() ? std::optional(out) : std::nullopt;
    }
    if (kind == "key") {
        Args a(rest, 4, 4);
        out = key(u8(a, 0), u8(a, 1), u8(a, 2), static_cast<uint32_t>(a.i(3, 0, 0xFFFFFFFFll)));
        return a.ok() ? std::optional(out) : std::nullopt;
    }
    if (kind == "window") {
        Args a(rest, 2, 2);
        out = windowRequest(static_cast<uint32_t>(a.i(0, 0, 0xFFFFFFFFll)), a.u64(1));
        return a.ok() ? std::optional(out) : std::nullopt;
    }
    if (kind == "mouse") {
        Args a(rest, 3, 3);
        out = mouse(u8(a, 0), s16(a, 1), s16(a, 2));
        return a.ok() ? std::optional(out) : std::nullopt;
    }
    if (kind == "scroll") {
        Args a(rest, 2, 2);
        out = scroll(a.f(0), a.f(1));
        return a.ok() ? std::optional(out) : std::nullopt;
    }
    if (kind == "menu") {
        Args a(rest, 2, 2);
        out = menuRequest(a.u64(0), a.u64(1));
        return a.ok() ? std::optional(out) : std::nullopt;
    }
    if (kind == "feature") {
        Args a(rest, 2, 2);
        out = feature(static_cast<uint16_t>(a.i(0, 0, 0xFFFF)), static_cast<uint16_t>(a.i(1, 0, 0xFFFF)));
        return a.ok() ? std::optional(out) : std::nullopt;
    }
    if (kind == "button") {
        Args a(rest, 2, 2);
        out = button(u8(a, 0), static_cast<int8_t>(a.i(1, INT8_MIN, INT8_MAX)));
        return a.ok() ? std::optional(out) : std::nullopt;
    }
    if (kind == "raw") {
        if (!hexBytes(rest, out)) return std::nullopt;
        return out;
    }
    return std::nullopt;
}

} // namespace

std::optional<SendStep> SendStep::parse(std::string_view stepText, std::string& error) {
    size_t colon = stepText.find(':');
    std::string_view kind = stepText.substr(0, colon);
    std::string_view rest = colon == std::string_view::npos ? std::string_view() : stepText.substr(colon + 1);
    SendStep step;
    if (colon == std::string_view::npos && kind != "raw") {
        error = platform::format("send step \"%@\" has no arguments", std::string(stepText));
        return std::nullopt;
    }
    if (kind == "wait") {
        int64_t ms = 0;
        if (!integer(rest, 0, 3'600'000, ms)) {
            error = platform::format("bad wait \"%@\"", std::string(stepText));
            return std::nullopt;
        }
        step.waitMs = static_cast<int>(ms);
        return step;
    }
    if (kind == "text") {
        auto list = datagram::text(rest);
        if (!list) {
            error = platform::format("text \"%@\" is not valid UTF-8", std::string(stepText));
            return std::nullopt;
        }
        step.datagrams = std::move(*list);
        return step;
    }
    auto d = buildDatagram(kind, rest);
    if (!d) {
        error = platform::format("bad send step \"%@\"", std::string(stepText));
        return std::nullopt;
    }
    step.datagrams.push_back(std::move(*d));
    return step;
}

std::optional<std::u16string> utf16FromUtf8(std::string_view s) {
    std::u16string out;
    size_t i = 0;
    while (i < s.size()) {
        uint8_t b = static_cast<uint8_t>(s[i]);
        uint32_t cp;
        size_t n;
        if (b < 0x80) {
            cp = b;
            n = 1;
        } else if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1F;
            n = 2;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0F;
            n = 3;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07;
            n = 4;
        } else {
            return std::nullopt;
        }
        if (s.size() - i < n) return std::nullopt;
        for (size_t k = 1; k < n; ++k) {
            uint8_t c = static_cast<uint8_t>(s[i + k]);
            if ((c & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (c & 0x3F);
        }
        static const uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMinimum[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += n;
    }
    return out;
}

} // namespace refclient
