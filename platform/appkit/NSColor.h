// Colours: a colour-space name and its components (alpha last). set, setFill and setStroke
// act on the current graphics context.
#pragma once

#include "platform/coregraphics/CGColor.h"

#include <memory>
#include <string>
#include <vector>

namespace appkit {

inline constexpr char NSCalibratedWhiteColorSpace[] = "NSCalibratedWhiteColorSpace";
inline constexpr char NSDeviceWhiteColorSpace[] = "NSDeviceWhiteColorSpace";

class NSColor {
  public:
    static std::shared_ptr<NSColor> colorWithCalibratedRed(double r, double g, double b, double a);
    static std::shared_ptr<NSColor> colorWithDeviceRed(double r, double g, double b, double a);
    static std::shared_ptr<NSColor> colorWithSRGBRed(double r, double g, double b, double a);
    static std::shared_ptr<NSColor> colorWithCalibratedWhite(double white, double a);
    static std::shared_ptr<NSColor> colorWithDeviceWhite(double white, double a);
    // Null for a null colour.
    static std::shared_ptr<NSColor> colorWithCGColor(const cg::CGColorRef& color);

    static std::shared_ptr<NSColor> blackColor();
    static std::shared_ptr<NSColor> whiteColor();
    static std::shared_ptr<NSColor> clearColor();
    static std::shared_ptr<NSColor> grayColor();
    static std::shared_ptr<NSColor> redColor();
    static std::shared_ptr<NSColor> greenColor();
    static std::shared_ptr<NSColor> blueColor();
    static std::shared_ptr<NSColor> yellowColor();
    static std::shared_ptr<NSColor> keyboardFocusIndicatorColor();
    static std::shared_ptr<NSColor> disabledControlTextColor();
    static std::shared_ptr<NSColor> selectedTextBackgroundColor();

    const std::string& colorSpaceName() const { return m_space; }
    // The colour's own components, alpha last (2 for white spaces, 4 for RGB ones).
    const std::vector<double>& components() const { return m_components; }
    size_t numberOfComponents() const { return m_components.size(); }
    double alphaComponent() const { return m_components.back(); }
    // RGB components (white spreads over all three).
    double redComponent() const;
    double greenComponent() const;
    double blueComponent() const;
    std::shared_ptr<NSColor> colorWithAlphaComponent(double alpha) const;
    cg::CGColorRef CGColor() const;

    // Both fill and stroke colour, the fill colour, the stroke colour of the current context.
    void set() const;
    void setFill() const;
    void setStroke() const;

    NSColor(std::string space, std::vector<double> components);

  private:
    std::string m_space;
    std::vector<double> m_components;
};

} // namespace appkit
