#include "regions/QNRect.h"

#include "foundation/StringAdditions.h"

#include "platform/core/Format.h"

namespace regions {

std::string QNRect::description() const {
    const std::string_view className = "QNRect";
    const std::string_view moved = m_moved ? "YES" : "NO";
    return platform::format("%@ %p: rect: %@, moved: %@, delta: %@", className, static_cast<const void*>(this),
                            foundation::NSStringFromCGRect(m_rect), moved, foundation::NSStringFromCGPoint(m_delta));
}

} // namespace regions
