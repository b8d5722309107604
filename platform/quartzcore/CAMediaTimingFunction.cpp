#include "platform/quartzcore/CAMediaTimingFunction.h"

#include "platform/core/Log.h"

#include <cmath>

namespace quartzcore {

std::shared_ptr<CAMediaTimingFunction> CAMediaTimingFunction::functionWithName(std::string_view name) {
    struct Named {
        std::string_view name;
        double c1x, c1y, c2x, c2y;
    };
    static constexpr Named kNamed[] = {
        {kCAMediaTimingFunctionLinear, 0, 0, 1, 1},
        {kCAMediaTimingFunctionEaseIn, 0.42, 0, 1, 1},
        {kCAMediaTimingFunctionEaseOut, 0, 0, 0.58, 1},
        {kCAMediaTimingFunctionEaseInEaseOut, 0.42, 0, 0.58, 1},
        {kCAMediaTimingFunctionDefault, 0.25, 0.1, 0.25, 1},
    };
    for (const auto& n : kNamed)
        if (n.name == name)
            return std::make_shared<CAMediaTimingFunction>(cg::CGPointMake(n.c1x, n.c1y),
                                                           cg::CGPointMake(n.c2x, n.c2y), std::string(name));
    platform::log("quartzcore: no timing function is named \"%s\"", std::string(name));
    return nullptr;
}

std::shared_ptr<CAMediaTimingFunction>
CAMediaTimingFunction::functionWithControlPoints(double c1x, double c1y, double c2x, double c2y) {
    const bool finite = std::isfinite(c1x) && std::isfinite(c1y) && std::isfinite(c2x) && std::isfinite(c2y);
    if (!finite || c1x < 0 || c1x > 1 || c2x < 0 || c2x > 1) {
        platform::log("quartzcore: refusing timing control points outside 0...1 or not finite");
        return nullptr;
    }
    return std::make_shared<CAMediaTimingFunction>(cg::CGPointMake(c1x, c1y), cg::CGPointMake(c2x, c2y),
                                                   std::string());
}

cg::CGPoint CAMediaTimingFunction::getControlPointAtIndex(size_t index) const {
    switch (index) {
    case 0:
        return cg::CGPointMake(0, 0);
    case 1:
        return m_c1;
    case 2:
        return m_c2;
    case 3:
        return cg::CGPointMake(1, 1);
    default:
        platform::log("quartzcore: a timing function has no control point %zu", index);
        return cg::CGPointMake(0, 0);
    }
}

} // namespace quartzcore
