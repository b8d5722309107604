#include "platform/coregraphics/CGColor.h"

#include "platform/core/Log.h"

#include <algorithm>
#include <cmath>

namespace cg {

namespace {

CGColorSpaceRef makeSpace(CGColorSpaceModel model, const char* name) {
    return std::make_shared<const CGColorSpace>(CGColorSpace{model, name});
}

double unit(double v) {
    return std::isnan(v) ? 0.0 : std::clamp(v, 0.0, 1.0);
}

} // namespace

CGColorSpaceRef CGColorSpaceCreateDeviceRGB() {
    return makeSpace(kCGColorSpaceModelRGB, "kCGColorSpaceDeviceRGB");
}

CGColorSpaceRef CGColorSpaceCreateDeviceGray() {
    return makeSpace(kCGColorSpaceModelMonochrome, "kCGColorSpaceDeviceGray");
}

CGColorSpaceRef CGColorSpaceCreateWithName(const std::string& name) {
    if (name == kCGColorSpaceGenericRGB) return makeSpace(kCGColorSpaceModelRGB, kCGColorSpaceGenericRGB);
    if (name == kCGColorSpaceSRGB) return makeSpace(kCGColorSpaceModelRGB, kCGColorSpaceSRGB);
    if (name == kCGColorSpaceGenericGray)
        return makeSpace(kCGColorSpaceModelMonochrome, kCGColorSpaceGenericGray);
    platform::log("CGColorSpaceCreateWithName: unknown colour space \"%s\"", name.c_str());
    return nullptr;
}

CGColorSpaceModel CGColorSpaceGetModel(const CGColorSpaceRef& space) {
    return space ? space->model : kCGColorSpaceModelUnknown;
}

size_t CGColorSpaceGetNumberOfComponents(const CGColorSpaceRef& space) {
    if (!space) return 0;
    return space->model == kCGColorSpaceModelMonochrome ? 1 : 3;
}

CGColorRef CGColorCreate(const CGColorSpaceRef& space, const CGFloat* components) {
    if (!space || !components) return nullptr;
    size_t n = CGColorSpaceGetNumberOfComponents(space) + 1;
    return std::make_shared<const CGColor>(CGColor{space, std::vector<CGFloat>(components, components + n)});
}

CGColorRef CGColorCreateGenericRGB(CGFloat red, CGFloat green, CGFloat blue, CGFloat alpha) {
    const CGFloat c[] = {red, green, blue, alpha};
    return CGColorCreate(CGColorSpaceCreateWithName(kCGColorSpaceGenericRGB), c);
}

CGColorRef CGColorCreateGenericGray(CGFloat gray, CGFloat alpha) {
    const CGFloat c[] = {gray, alpha};
    return CGColorCreate(CGColorSpaceCreateWithName(kCGColorSpaceGenericGray), c);
}

CGColorSpaceRef CGColorGetColorSpace(const CGColorRef& color) {
    return color ? color->space : nullptr;
}

size_t CGColorGetNumberOfComponents(const CGColorRef& color) {
    return color ? color->components.size() : 0;
}

const CGFloat* CGColorGetComponents(const CGColorRef& color) {
    return color ? color->components.data() : nullptr;
}

CGFloat CGColorGetAlpha(const CGColorRef& color) {
    return color && !color->components.empty() ? color->components.back() : 0;
}

bool CGColorEqualToColor(const CGColorRef& a, const CGColorRef& b) {
    if (!a || !b) return a == b;
    return CGColorSpaceGetModel(a->space) == CGColorSpaceGetModel(b->space) && a->components == b->components;
}

RGBA rgbaOfColor(const CGColorRef& color) {
    if (!color || color->components.size() < 2) return {};
    const auto& c = color->components;
    if (c.size() == 2) return {unit(c[0]), unit(c[0]), unit(c[0]), unit(c[1])};
    return {unit(c[0]), unit(c[1]), unit(c[2]), unit(c[3])};
}

} // namespace cg
