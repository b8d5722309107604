#include "platform/appkit/NSColor.h"

#include "platform/appkit/NSBitmapImageRep.h"
#include "platform/appkit/NSGraphicsContext.h"

namespace appkit {

namespace {

bool white(const std::string& space) {
    return space == NSCalibratedWhiteColorSpace || space == NSDeviceWhiteColorSpace;
}

std::shared_ptr<NSColor> make(const char* space, std::vector<double> components) {
    return std::make_shared<NSColor>(space, std::move(components));
}

} // namespace

NSColor::NSColor(std::string space, std::vector<double> components)
    : m_space(std::move(space)), m_components(std::move(components)) {}

std::shared_ptr<NSColor> NSColor::colorWithCalibratedRed(double r, double g, double b, double a) {
    return make(NSCalibratedRGBColorSpace, {r, g, b, a});
}
std::shared_ptr<NSColor> NSColor::colorWithDeviceRed(double r, double g, double b, double a) {
    return make(NSDeviceRGBColorSpace, {r, g, b, a});
}
std::shared_ptr<NSColor> NSColor::colorWithSRGBRed(double r, double g, double b, double a) {
    return make(NSCalibratedRGBColorSpace, {r, g, b, a});
}
std::shared_ptr<NSColor> NSColor::colorWithCalibratedWhite(double w, double a) {
    return make(NSCalibratedWhiteColorSpace, {w, a});
}
std::shared_ptr<NSColor> NSColor::colorWithDeviceWhite(double w, double a) {
    return make(NSDeviceWhiteColorSpace, {w, a});
}

std::shared_ptr<NSColor> NSColor::colorWithCGColor(const cg::CGColorRef& color) {
    if (!color || color->components.size() < 2) return nullptr;
    const bool grey = cg::CGColorSpaceGetModel(color->space) == cg::kCGColorSpaceModelMonochrome;
    return make(grey ? NSCalibratedWhiteColorSpace : NSCalibratedRGBColorSpace, color->components);
}

std::shared_ptr<NSColor> NSColor::blackColor() {
    return colorWithCalibratedWhite(0, 1);
}
std::shared_ptr<NSColor> NSColor::whiteColor() {
    return colorWithCalibratedWhite(1, 1);
}
std::shared_ptr<NSColor> NSColor::clearColor() {
    return colorWithCalibratedWhite(0, 0);
}
std::shared_ptr<NSColor> NSColor::grayColor() {
    return colorWithCalibratedWhite(0.5, 1);
}
std::shared_ptr<NSColor> NSColor::redColor() {
    return colorWithCalibratedRed(1, 0, 0, 1);
}
std::shared_ptr<NSColor> NSColor::greenColor() {
    return colorWithCalibratedRed(0, 1, 0, 1);
}
std::shared_ptr<NSColor> NSColor::blueColor() {
    return colorWithCalibratedRed(0, 0, 1, 1);
}
std::shared_ptr<NSColor> NSColor::yellowColor() {
    return colorWithCalibratedRed(1, 1, 0, 1);
}
std::shared_ptr<NSColor> NSColor::keyboardFocusIndicatorColor() {
    return colorWithCalibratedRed(0.23, 0.6, 0.96, 0.5);
}
std::shared_ptr<NSColor> NSColor::selectedTextBackgroundColor() {
    return colorWithCalibratedRed(0.7, 0.84, 1.0, 1);
}
std::shared_ptr<NSColor> NSColor::disabledControlTextColor() {
    return colorWithCalibratedWhite(0, 0.25);
}

double NSColor::redComponent() const {
    return m_components[0];
}
double NSColor::greenComponent() const {
    return white(m_space) ? m_components[0] : m_components[1];
}
double NSColor::blueComponent() const {
    return white(m_space) ? m_components[0] : m_components[2];
}

std::shared_ptr<NSColor> NSColor::colorWithAlphaComponent(double alpha) const {
    auto components = m_components;
    components.back() = alpha;
    return std::make_shared<NSColor>(m_space, std::move(components));
}

cg::CGColorRef NSColor::CGColor() const {
    auto space = white(m_space) ? cg::CGColorSpaceCreateWithName(cg::kCGColorSpaceGenericGray)
                                : cg::CGColorSpaceCreateWithName(cg::kCGColorSpaceGenericRGB);
    return cg::CGColorCreate(space, m_components.data());
}

void NSColor::set() const {
    setFill();
    setStroke();
}

void NSColor::setFill() const {
    if (auto context = NSGraphicsContext::currentContext())
        cg::CGContextSetFillColorWithColor(context->CGContext(), CGColor());
}

void NSColor::setStroke() const {
    if (auto context = NSGraphicsContext::currentContext())
        cg::CGContextSetStrokeColorWithColor(context->CGContext(), CGColor());
}

} // namespace appkit
