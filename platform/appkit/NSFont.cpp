#include "platform/appkit/NSFont.h"

#include "platform/appkit/NSGraphicsContext.h"

#include <cmath>

namespace appkit {

std::shared_ptr<NSFont> NSFont::fontWithName(const std::string& name, double size) {
    if (!(size > 0) || !std::isfinite(size)) size = 12;
    return std::make_shared<NSFont>(name, size);
}

std::shared_ptr<NSFont> NSFont::systemFontOfSize(double size) {
    return fontWithName("Helvetica", size);
}

std::shared_ptr<NSFont> NSFont::boldSystemFontOfSize(double size) {
    return fontWithName("Helvetica-Bold", size);
}

void NSFont::set() const {
    if (auto context = NSGraphicsContext::currentContext())
        cg::CGContextSelectFont(context->CGContext(), m_name.c_str(), m_size, cg::kCGEncodingMacRoman);
}

} // namespace appkit
