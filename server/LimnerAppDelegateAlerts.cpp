// The two warnings the screen server shows on its own: the graphics-switching warning at launch
// and the "Performance Tip" when Retina sessions connect.
#include "server/LimnerAppDelegate.h"

#include "server/ScreenServer.h"
#include "server/ScreenServerMediator.h"

#include "foundation/TSEDisplay.h"

#include "platform/appkit/NSAlert.h"
#include "platform/corefoundation/NSUserDefaults.h"
#include "platform/foundation/NSBundle.h"

namespace server {

namespace {

constexpr char kRunCount[] = "RunCount";
constexpr char kSuppressRetinaPerformanceAlert[] = "ShouldSupressRetinaPerformanceAlert";

// The launch count the graphics warning keys on: a number; anything else reads as absent (0).
int64_t runCount(const ns::NSUserDefaults& defaults) {
    auto value = defaults.objectForKey(kRunCount);
    return value && value->isNumber() ? value->integerValue() : 0;
}

// The user's "do not show again": a boolean or a number; anything else reads as absent.
bool retinaPerformanceAlertSuppressed(const ns::NSUserDefaults& defaults) {
    auto value = defaults.objectForKey(kSuppressRetinaPerformanceAlert);
    return value && (value->isBoolean() || value->isNumber()) && value->boolValue();
}

} // namespace

bool LimnerAppDelegate::computerFreezesWithGraphicsSwitching() {
    return foundation::computerHasXMuxGPUCapability() && foundation::computerHasXMuxGPUFreezeIssues();
}

void LimnerAppDelegate::warnAboutGraphicsSwitching() {
    auto defaults = ns::NSUserDefaults::standardUserDefaults();
    if (runCount(*defaults) != 0) return;
    if (!m_env.graphicsSwitchingFreezes || !m_env.graphicsSwitchingFreezes()) return;
    const std::string message =
        ns::NSLocalizedString(
            "Automatic Graphics Switching is incompatible with Tessel. Do not re-enable it, as "
            "your main display may become unusable.") +
        " " + ns::NSLocalizedString("For help, visit https://www.quenby.com/support.");
    const auto answer =
        appkit::NSRunInformationalAlertPanel(ns::NSLocalizedString("Graphics Accelerator Warning"), message,
                                             std::nullopt, std::nullopt, std::nullopt);
    // Only the default button means the user has read it; a panel ended otherwise comes back.
    if (answer == appkit::NSAlertDefaultReturn) defaults->setInteger(1, kRunCount);
}

void LimnerAppDelegate::showRetinaPerformanceAlerts() {
    auto m = mediator();
    if (!m || m->allServers().size() < 2) return;
    auto defaults = ns::NSUserDefaults::standardUserDefaults();
    // Read once: a box ticked on one of these alerts counts from the next connection.
    if (retinaPerformanceAlertSuppressed(*defaults) || !m_retinaPerformanceAlert.expired()) return;
    for (const auto& server : m->allServers()) {
        if (!server || !server->retinaResolutionsEnabled()) continue;
        auto alert = appkit::NSAlert::make();
        alert->setMessageText(ns::NSLocalizedString("Performance Tip"));
        alert->setInformativeText(
            ns::NSLocalizedString("For faster screen refresh, try switching to a non-Retina "
                                  "resolution when connecting to more than one Tessel screen."));
        alert->addButtonWithTitle(ns::NSLocalizedString("Close"));
        alert->setShowsSuppressionButton(true);
        m_retinaPerformanceAlert = alert;
        alert->runModal();
        m_retinaPerformanceAlert.reset();
        if (alert->suppressionButton()->state() == appkit::NSControlStateValueOn)
            defaults->setBool(true, kSuppressRetinaPerformanceAlert);
    }
}

} // namespace server
