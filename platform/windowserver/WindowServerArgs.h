// Kind-checked readers of a request's arguments, shared by the window server's request files.
// Each reader records why it refused; the caller logs that once.
#pragma once

#include "platform/core/Log.h"
#include "platform/corefoundation/Value.h"
#include "platform/coregraphics/CGGeometry.h"

#include <cmath>
#include <optional>
#include <string>
#include <string_view>

namespace windowserver::requestargs {

inline constexpr int32_t kCGErrorSuccess = 0;
inline constexpr int32_t kCGErrorIllegalArgument = 1001;
inline constexpr int32_t kAXErrorInvalidUIElement = -25202;
inline constexpr int32_t kAXErrorCannotComplete = -25204;
inline constexpr int32_t kAXErrorIllegalArgument = -25201;
inline constexpr int32_t kAXErrorAPIDisabled = -25211;
// Beyond any desktop: larger frames or positions are refused.
inline constexpr double kMaxCoordinate = 1e6;
inline constexpr size_t kMaxTitleBytes = 1024;
inline constexpr size_t kMaxCursorSide = 1024;
inline constexpr size_t kMaxWindowList = 100000;

// Kind-checked readers; each logs why it refused.
struct Args {
    const cf::Value& value;
    std::string_view op;
    std::string why;

    bool fail(std::string_view key, std::string_view what) {
        if (why.empty()) why = platform::format("%@: \"%@\" %@", op, key, what);
        return false;
    }
    std::optional<int64_t> integer(std::string_view key, int64_t min, int64_t max, bool required = true) {
        const cf::Value* v = value.find(key);
        if (!v) {
            if (required) fail(key, "is missing");
            return std::nullopt;
        }
        auto n = v->storedInteger();
        if (!n || *n < min || *n > max) {
            fail(key, "is not a number in range");
            return std::nullopt;
        }
        return n;
    }
    std::optional<double> real(std::string_view key, double min, double max, bool required = true) {
        const cf::Value* v = value.find(key);
        if (!v) {
            if (required) fail(key, "is missing");
            return std::nullopt;
        }
        if (!v->isNumber() || !std::isfinite(v->doubleValue()) || v->doubleValue() < min ||
            v->doubleValue() > max) {
            fail(key, "is not a finite number in range");
            return std::nullopt;
        }
        return v->doubleValue();
    }
    std::optional<bool> boolean(std::string_view key, bool required = true) {
        const cf::Value* v = value.find(key);
        if (!v) {
            if (required) fail(key, "is missing");
            return std::nullopt;
        }
        if (!v->isBoolean()) {
            fail(key, "is not a boolean");
            return std::nullopt;
        }
        return v->boolValue();
    }
    const std::string* text(std::string_view key, size_t maxBytes, bool required = true) {
        const cf::Value* v = value.find(key);
        if (!v) {
            if (required) fail(key, "is missing");
            return nullptr;
        }
        if (!v->asString() || v->asString()->size() > maxBytes) {
            fail(key, "is not a text of at most " + std::to_string(maxBytes) + " bytes");
            return nullptr;
        }
        return v->asString();
    }
    // x, y, width, height: finite, positions within ±1e6, sizes 0–1e6.
    std::optional<cg::CGRect> rect() {
        auto x = real("x", -kMaxCoordinate, kMaxCoordinate), y = real("y", -kMaxCoordinate, kMaxCoordinate),
             w = real("width", 0, kMaxCoordinate), h = real("height", 0, kMaxCoordinate);
        if (!x || !y || !w || !h) return std::nullopt;
        return cg::CGRectMake(*x, *y, *w, *h);
    }
};

inline cf::Value status(int32_t code) {
    return cf::Dictionary{{"status", code}};
}

} // namespace windowserver::requestargs
