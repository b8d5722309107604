// Timing functions: a cubic Bézier from (0, 0) to (1, 1) by two control points. Nothing is
// interpolated here; the curve is recorded with the animation or transaction that names it.
#pragma once

#include "platform/coregraphics/CGGeometry.h"

#include <memory>
#include <string>
#include <string_view>

namespace quartzcore {

inline constexpr std::string_view kCAMediaTimingFunctionLinear = "linear";
inline constexpr std::string_view kCAMediaTimingFunctionEaseIn = "easeIn";
inline constexpr std::string_view kCAMediaTimingFunctionEaseOut = "easeOut";
inline constexpr std::string_view kCAMediaTimingFunctionEaseInEaseOut = "easeInEaseOut";
inline constexpr std::string_view kCAMediaTimingFunctionDefault = "default";

class CAMediaTimingFunction {
  public:
    // Null (logged) for a name not listed above.
    static std::shared_ptr<CAMediaTimingFunction> functionWithName(std::string_view name);
    // Null (logged) unless every value is finite and the x values lie in 0...1.
    static std::shared_ptr<CAMediaTimingFunction> functionWithControlPoints(double c1x, double c1y,
                                                                            double c2x, double c2y);
    // Index 0 is (0, 0), 1 and 2 the control points, 3 is (1, 1); others the zero point (logged).
    cg::CGPoint getControlPointAtIndex(size_t index) const;
    // The name it was made with; empty for one made from control points.
    const std::string& name() const { return m_name; }

    CAMediaTimingFunction(cg::CGPoint c1, cg::CGPoint c2, std::string name)
        : m_c1(c1), m_c2(c2), m_name(std::move(name)) {}

  private:
    cg::CGPoint m_c1;
    cg::CGPoint m_c2;
    std::string m_name;
};

} // namespace quartzcore
