// A type-safe printf: the formatter behind logging and stringWithFormat:.
// The C++ type of each argument decides how it prints; length modifiers in the
// format are accepted and ignored. A missing or unsuitable argument prints "(?)".
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace platform {

// One argument, erased to what the formatter can print.
struct FormatArg {
    enum class Kind { Signed, Unsigned, Real, Text, Pointer, None };
    Kind kind = Kind::None;
    int64_t i = 0;
    uint64_t u = 0;
    double d = 0;
    std::string text; // for Text: the string or the object's description
    const void* ptr = nullptr;
};

template <typename T>
concept HasDescription = requires(const T& t) {
    { t.description() } -> std::convertible_to<std::string>;
};

template <typename T> FormatArg makeFormatArg(const T& v) {
    FormatArg a;
    using D = std::decay_t<T>;
    if constexpr (std::is_same_v<D, bool>) {
        a.kind = FormatArg::Kind::Signed;
        a.i = v ? 1 : 0;
    } else if constexpr (std::is_array_v<T>) { // string literals and char arrays
        a.kind = FormatArg::Kind::Text;
        a.text = std::string(std::string_view(v));
    } else if constexpr (std::is_same_v<D, char*> || std::is_same_v<D, const char*>) {
        if (v) {
            a.kind = FormatArg::Kind::Text;
            a.text = v;
        } else {
            a.kind = FormatArg::Kind::Text;
            a.text = "(null)";
        }
    } else if constexpr (std::is_enum_v<D>) {
        a.kind = FormatArg::Kind::Signed;
        a.i = static_cast<int64_t>(v);
    } else if constexpr (std::is_integral_v<D> && std::is_signed_v<D>) {
        a.kind = FormatArg::Kind::Signed;
        a.i = v;
    } else if constexpr (std::is_integral_v<D>) {
        a.kind = FormatArg::Kind::Unsigned;
        a.u = v;
    } else if constexpr (std::is_floating_point_v<D>) {
        a.kind = FormatArg::Kind::Real;
        a.d = static_cast<double>(v);
    } else if constexpr (std::is_convertible_v<const D&, std::string_view>) {
        a.kind = FormatArg::Kind::Text;
        a.text = std::string(std::string_view(v));
    } else if constexpr (HasDescription<D>) {
        a.kind = FormatArg::Kind::Text;
        a.text = v.description();
    } else if constexpr (std::is_pointer_v<D>) {
        if constexpr (HasDescription<std::remove_pointer_t<D>>) {
            a.kind = FormatArg::Kind::Text;
            a.text = v ? v->description() : std::string("(null)");
        } else {
            a.kind = FormatArg::Kind::Pointer;
            a.ptr = static_cast<const void*>(v);
        }
    } else if constexpr (requires { v.get(); v == nullptr; }) { // smart pointers
        if (v == nullptr) {
            a.kind = FormatArg::Kind::Text;
            a.text = "(null)";
        } else {
            return makeFormatArg(v.get());
        }
    } else if constexpr (requires { v.has_value(); *v; }) { // optionals
        if (!v.has_value()) {
            a.kind = FormatArg::Kind::Text;
            a.text = "(null)";
        } else {
            return makeFormatArg(*v);
        }
    } else {
        static_assert(sizeof(D) == 0, "platform::format cannot print this type");
    }
    return a;
}

std::string formatArgs(std::string_view fmt, const std::vector<FormatArg>& args);

template <typename... Args> std::string format(std::string_view fmt, const Args&... args) {
    std::vector<FormatArg> list;
    list.reserve(sizeof...(Args));
    (list.push_back(makeFormatArg(args)), ...);
    return formatArgs(fmt, list);
}

} // namespace platform
