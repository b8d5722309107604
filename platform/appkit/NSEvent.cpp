#include "platform/appkit/NSEvent.h"

#include "platform/corefoundation/CFPreferences.h"

#include <cmath>

namespace appkit {

double NSEvent::doubleClickInterval() {
    constexpr double kDefaultInterval = 0.5;
    auto value = cf::CFPreferencesCopyAppValue("com.apple.mouse.doubleClickThreshold",
                                               cf::kCFPreferencesAnyApplication);
    if (!value || !value->isNumber()) return kDefaultInterval;
    double seconds = value->doubleValue();
    return std::isfinite(seconds) && seconds > 0 ? seconds : kDefaultInterval;
}

} // namespace appkit
