#include "platform/core/Format.h"

#include <cstdio>

namespace platform {

namespace {

struct Conversion {
    std::string flags;
    int width = -1;
    int precision = -1;
    char conv = 0;
};

std::string printfOne(const Conversion& s, const char* cLength, char conv, auto value) {
    std::string f = "%" + s.flags;
    if (s.width >= 0) f += std::to_string(s.width);
    if (s.precision >= 0) f += "." + std::to_string(s.precision);
    f += cLength;
    f += conv;
    char small[128];
    int n = std::snprintf(small, sizeof small, f.c_str(), value);
    if (n < 0) return "(?)";
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), f.c_str(), value);
    big.resize(n);
    return big;
}

std::string pad(const Conversion& s, std::string text) {
    if (s.width > 0 && static_cast<int>(text.size()) < s.width) {
        std::string fill(s.width - text.size(), ' ');
        return s.flags.find('-') != std::string::npos ? text + fill : fill + text;
    }
    return text;
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string render(const Conversion& s, const FormatArg& a) {
    using K = FormatArg::Kind;
    switch (s.conv) {
    case 'd':
    case 'i':
        if (a.kind == K::Signed) return printfOne(s, "ll", 'd', static_cast<long long>(a.i));
        if (a.kind == K::Unsigned) return printfOne(s, "ll", 'd', static_cast<long long>(a.u));
        if (a.kind == K::Real) return printfOne(s, "ll", 'd', static_cast<long long>(a.d));
        return "(?)";
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        if (a.kind == K::Unsigned) return printfOne(s, "ll", s.conv, static_cast<unsigned long long>(a.u));
        if (a.kind == K::Signed) return printfOne(s, "ll", s.conv, static_cast<unsigned long long>(a.i));
        return "(?)";
    case 'c':
        if (a.kind == K::Signed || a.kind == K::Unsigned) {
            return pad(s, std::string(1, static_cast<char>(a.kind == K::Signed ? a.i : a.u)));
        }
        return "(?)";
    case 'C':
        if (a.kind == K::Signed || a.kind == K::Unsigned) {
            std::string out;
            appendUtf8(out, static_cast<uint16_t>(a.kind == K::Signed ? a.i : a.u));
            return pad(s, out);
        }
        return "(?)";
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        if (a.kind == K::Real) return printfOne(s, "", s.conv, a.d);
        if (a.kind == K::Signed) return printfOne(s, "", s.conv, static_cast<double>(a.i));
        if (a.kind == K::Unsigned) return printfOne(s, "", s.conv, static_cast<double>(a.u));
        return "(?)";
    case 's':
    case '@':
        if (a.kind == K::Text) {
            std::string t = a.text;
            if (s.precision >= 0 && static_cast<size_t>(s.precision) < t.size()) t.resize(s.precision);
            return pad(s, t);
        }
        if (s.conv == '@' && a.kind == K::Signed) return pad(s, std::to_string(a.i));
        if (s.conv == '@' && a.kind == K::Unsigned) return pad(s, std::to_string(a.u));
        if (s.conv == '@' && a.kind == K::Real) return pad(s, printfOne(Conversion{}, "", 'g', a.d));
        return "(?)";
    case 'p':
        if (a.kind == K::Pointer) return printfOne(s, "", 'p', a.ptr);
        return "(?)";
    default:
        return "(?)";
    }
}

} // namespace

std::string formatArgs(std::string_view fmt, const std::vector<FormatArg>& args) {
    std::string out;
    out.reserve(fmt.size() + 16 * args.size());
    size_t next = 0;
    size_t i = 0;
    while (i < fmt.size()) {
        char c = fmt[i];
        if (c != '%') {
            out += c;
            ++i;
            continue;
        }
        ++i;
        if (i < fmt.size() && fmt[i] == '%') {
            out += '%';
            ++i;
            continue;
        }
        Conversion s;
        while (i < fmt.size() && std::string_view("-+ #0'").find(fmt[i]) != std::string_view::npos) {
            if (fmt[i] != '\'') s.flags += fmt[i];
            ++i;
        }
        auto readNumber = [&](int& into) {
            if (i < fmt.size() && fmt[i] == '*') {
                ++i;
                if (next < args.size() && args[next].kind == FormatArg::Kind::Signed) into = (int)args[next].i;
                else if (next < args.size() && args[next].kind == FormatArg::Kind::Unsigned) into = (int)args[next].u;
                ++next;
                return;
            }
            if (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
                into = 0;
                while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
                    if (into < 100000) into = into * 10 + (fmt[i] - '0');
                    ++i;
                }
            }
        };
        readNumber(s.width);
        if (i < fmt.size() && fmt[i] == '.') {
            ++i;
            s.precision = 0;
            readNumber(s.precision);
        }
        while (i < fmt.size() && std::string_view("hlLqjztI").find(fmt[i]) != std::string_view::npos) ++i;
        if (i >= fmt.size()) {
            out += "(?)";
            break;
        }
        s.conv = fmt[i++];
        if (next >= args.size()) {
            out += "(?)";
            continue;
        }
        out += render(s, args[next++]);
    }
    return out;
}

} // namespace platform
