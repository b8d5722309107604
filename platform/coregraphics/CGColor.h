// Colour spaces and colours. Two models are drawn: grey (one component) and RGB (three); every
// colour carries its alpha as its last component. Colours and spaces are immutable values.
#pragma once

#include "platform/coregraphics/CGGeometry.h"

#include <memory>
#include <string>
#include <vector>

namespace cg {

enum CGColorSpaceModel : int32_t {
    kCGColorSpaceModelUnknown = -1,
    kCGColorSpaceModelMonochrome = 0,
    kCGColorSpaceModelRGB = 1,
};

inline constexpr char kCGColorSpaceGenericRGB[] = "kCGColorSpaceGenericRGB";
inline constexpr char kCGColorSpaceSRGB[] = "kCGColorSpaceSRGB";
inline constexpr char kCGColorSpaceGenericGray[] = "kCGColorSpaceGenericGray";

struct CGColorSpace {
    CGColorSpaceModel model = kCGColorSpaceModelRGB;
    std::string name;
};
using CGColorSpaceRef = std::shared_ptr<const CGColorSpace>;

CGColorSpaceRef CGColorSpaceCreateDeviceRGB();
CGColorSpaceRef CGColorSpaceCreateDeviceGray();
// The generic RGB, sRGB and generic grey spaces; null (logged) for any other name.
CGColorSpaceRef CGColorSpaceCreateWithName(const std::string& name);
CGColorSpaceModel CGColorSpaceGetModel(const CGColorSpaceRef& space);
size_t CGColorSpaceGetNumberOfComponents(const CGColorSpaceRef& space); // without alpha

struct CGColor {
    CGColorSpaceRef space;
    std::vector<CGFloat> components; // the space's components, then alpha
};
using CGColorRef = std::shared_ptr<const CGColor>;

// components holds the space's components and alpha; null for a null space.
CGColorRef CGColorCreate(const CGColorSpaceRef& space, const CGFloat* components);
CGColorRef CGColorCreateGenericRGB(CGFloat red, CGFloat green, CGFloat blue, CGFloat alpha);
CGColorRef CGColorCreateGenericGray(CGFloat gray, CGFloat alpha);
CGColorSpaceRef CGColorGetColorSpace(const CGColorRef& color);
size_t CGColorGetNumberOfComponents(const CGColorRef& color); // alpha included
const CGFloat* CGColorGetComponents(const CGColorRef& color);
CGFloat CGColorGetAlpha(const CGColorRef& color);
bool CGColorEqualToColor(const CGColorRef& a, const CGColorRef& b);

// What drawing uses: red, green, blue and alpha, each clamped to 0...1 (NaN as 0).
struct RGBA {
    double r = 0, g = 0, b = 0, a = 0;
};
RGBA rgbaOfColor(const CGColorRef& color);

} // namespace cg
