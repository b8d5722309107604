#include "platform/windowserver/DisplayInfo.h"

#include <limits>

namespace windowserver {

namespace {

std::optional<int64_t> integer(const cf::Value& value, std::string_view key, int64_t min, int64_t max) {
    const cf::Value* v = value.find(key);
    auto stored = v ? v->storedInteger() : std::nullopt;
    if (!stored || *stored < min || *stored > max) return std::nullopt;
    return stored;
}

std::optional<double> real(const cf::Value& value, std::string_view key) {
    const cf::Value* v = value.find(key);
    if (!v || !v->isNumber()) return std::nullopt;
    return v->doubleValue();
}

const std::string* text(const cf::Value& value, std::string_view key) {
    const cf::Value* v = value.find(key);
    return v ? v->asString() : nullptr;
}

constexpr int64_t kU32 = std::numeric_limits<uint32_t>::max();

} // namespace

cf::Value DisplayInfo::toValue() const {
    return cf::Dictionary{
        {"id", displayID},
        {"x", bounds.origin.x},
        {"y", bounds.origin.y},
        {"width", bounds.size.width},
        {"height", bounds.size.height},
        {"serial", serialNumber},
        {"vendor", vendorNumber},
        {"model", modelNumber},
        {"name", name},
        {"location", location},
        {"vblankCount", static_cast<int64_t>(vblankCount)},
        {"builtIn", builtIn},
        {"mode", ioModeID},
        {"pixelsWide", pixelsWide},
        {"pixelsHigh", pixelsHigh},
        {"bytesPerRow", static_cast<int64_t>(bytesPerRow)},
        {"ownBuffer", ownBuffer},
        {"online", online},
        {"main", main},
        {"unit", unit},
        {"mirrorOf", mirrorOf},
        {"mirrored", mirrored},
        {"scale", scale},
        {"widthMM", widthMM},
        {"heightMM", heightMM},
    };
}

std::optional<DisplayInfo> DisplayInfo::fromValue(const cf::Value& value) {
    if (!value.isDictionary()) return std::nullopt;
    auto id = integer(value, "id", 0, kU32), serial = integer(value, "serial", 0, kU32),
         vendor = integer(value, "vendor", 0, kU32), model = integer(value, "model", 0, kU32),
         vblanks = integer(value, "vblankCount", 0, std::numeric_limits<int64_t>::max()),
         mode =
             integer(value, "mode", std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()),
         wide = integer(value, "pixelsWide", 0, kU32), high = integer(value, "pixelsHigh", 0, kU32),
         stride = integer(value, "bytesPerRow", 0, std::numeric_limits<int64_t>::max());
    auto x = real(value, "x"), y = real(value, "y"), w = real(value, "width"), h = real(value, "height");
    const std::string* name = text(value, "name");
    const std::string* location = text(value, "location");
    const cf::Value* builtIn = value.find("builtIn");
    const cf::Value* own = value.find("ownBuffer");
    if (!id || !serial || !vendor || !model || !vblanks || !mode || !wide || !high || !stride || !x || !y ||
        !w || !h || !name || !location || !builtIn || !builtIn->asBool() || !own || !own->asBool()) {
        return std::nullopt;
    }
    DisplayInfo info;
    info.displayID = static_cast<uint32_t>(*id);
    info.bounds = cg::CGRectMake(*x, *y, *w, *h);
    info.serialNumber = static_cast<uint32_t>(*serial);
    info.vendorNumber = static_cast<uint32_t>(*vendor);
    info.modelNumber = static_cast<uint32_t>(*model);
    info.name = *name;
    info.location = *location;
    info.vblankCount = static_cast<uint64_t>(*vblanks);
    info.builtIn = *builtIn->asBool();
    info.ioModeID = static_cast<int32_t>(*mode);
    info.pixelsWide = static_cast<uint32_t>(*wide);
    info.pixelsHigh = static_cast<uint32_t>(*high);
    info.bytesPerRow = static_cast<uint64_t>(*stride);
    info.ownBuffer = *own->asBool();
    // Later fields: optional, so older records still read.
    if (const cf::Value* v = value.find("online"); v && v->asBool()) info.online = *v->asBool();
    if (const cf::Value* v = value.find("main"); v && v->asBool()) info.main = *v->asBool();
    if (const cf::Value* v = value.find("mirrored"); v && v->asBool()) info.mirrored = *v->asBool();
    if (auto v = integer(value, "unit", 0, kU32)) info.unit = uint32_t(*v);
    if (auto v = integer(value, "mirrorOf", 0, kU32)) info.mirrorOf = uint32_t(*v);
    if (auto v = integer(value, "widthMM", 0, kU32)) info.widthMM = uint32_t(*v);
    if (auto v = integer(value, "heightMM", 0, kU32)) info.heightMM = uint32_t(*v);
    if (auto v = real(value, "scale"); v && (*v == 1.0 || *v == 2.0)) info.scale = *v;
    return info;
}

} // namespace windowserver
