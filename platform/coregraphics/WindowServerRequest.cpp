#include "platform/coregraphics/WindowServerRequest.h"

#include "platform/coregraphics/WindowServerClient.h"

#include <cmath>

namespace cg {

std::optional<cf::Value> CGSRequest(std::string_view op, cf::Dictionary args) {
    return detail::wsRequest(op, cf::Value(std::move(args)));
}

std::optional<int64_t> CGSReplyInteger(const std::optional<cf::Value>& reply, std::string_view key,
                                       int64_t min, int64_t max) {
    const cf::Value* v = reply ? reply->find(key) : nullptr;
    auto n = v && !v->isFloatNumber() ? v->storedInteger() : std::nullopt;
    if (!n || *n < min || *n > max) return std::nullopt;
    return n;
}

std::optional<double> CGSReplyReal(const std::optional<cf::Value>& reply, std::string_view key) {
    const cf::Value* v = reply ? reply->find(key) : nullptr;
    if (!v || !v->isNumber() || !std::isfinite(v->doubleValue())) return std::nullopt;
    return v->doubleValue();
}

} // namespace cg
