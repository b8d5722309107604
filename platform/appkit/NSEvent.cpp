#include "platform/appkit/NSEvent.h"

#include "platform/corefoundation/CFPreferences.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGSPrivate.h"

#include <cmath>

namespace appkit {

cg::CGPoint NSEvent::mouseLocation() {
    cg::CGPoint location = cg::CGSCurrentInputPointerPosition();
    double mainHeight = cg::CGDisplayBounds(cg::CGMainDisplayID()).size.height;
    return {location.x, mainHeight - location.y};
}

double NSEvent::doubleClickInterval() {
    constexpr double kDefaultInterval = 0.5;
    auto value = cf::CFPreferencesCopyAppValue("com.apple.mouse.doubleClickThreshold",
                                               cf::kCFPreferencesAnyApplication);
    if (!value || !value->isNumber()) return kDefaultInterval;
    double seconds = value->doubleValue();
    return std::isfinite(seconds) && seconds > 0 ? seconds : kDefaultInterval;
}

} // namespace appkit
