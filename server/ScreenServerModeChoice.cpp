// The session's display mode choice: the handshake's own mode, else the best entry of the
// bundle's supported resolutions, and the device tables chosen by the capabilities' retina
// flags; the session's retina and HiDPI switches.
#include "display/QNBScreen.h"
#include "server/ScreenServer.h"
#include "server/SupportedResolutions.h"

#include "foundation/QNBPreferences.h"

#include <cmath>
#include <mutex>

namespace server {

namespace {

constexpr uint16_t kRetinaFlagPhone = 0x1;
constexpr uint16_t kRetinaFlagTablet = 0x2;
constexpr uint16_t kRetinaFlagLandscape = 0x4;
constexpr uint16_t kRetinaFlagTallPhone = 0x10;
constexpr uint16_t kRetinaFlagGeneric = 0x20;

} // namespace

int32_t ScreenServer::resolveDisplayMode(const net::QNClientHandshake& handshake) {
    setState(kServerStateResolvingNewSize);
    int32_t mode =
        net::QNBScreenProtocolHelper::displayModeFromHandshakeUnion(handshake, protocolVersionInfo());
    if (mode != 0) {
        setDisplayResolution(
            {static_cast<double>(handshake.nominalWidth), static_cast<double>(handshake.nominalHeight)});
        return mode;
    }
    {
        // One change of the queue under the session's lock.
        std::lock_guard lock(*this);
        auto requests = clientDisplayRequests();
        requests.push_back(handshake.numberOfDisplayRequests);
        setClientDisplayRequests(std::move(requests));
    }
    SupportedResolution entry = findBestSupportedResolution(
        loadSupportedResolutions(),
        {static_cast<double>(handshake.nominalWidth), static_cast<double>(handshake.nominalHeight)});
    const cg::CGSize size{std::trunc(static_cast<double>(entry.width)),
                          std::trunc(static_cast<double>(entry.height))};
    setDisplayResolution(size);
    notifyClientOfResolutionChange(size, true);
    return entry.modeID;
}

cf::Value ScreenServer::findBestResolutionForScreenSize(cg::CGSize size) {
    return findBestSupportedResolution(loadSupportedResolutions(), size).dictionary();
}

std::optional<std::vector<int32_t>>
ScreenServer::modeArrayWithCapabilities(const net::QNCapabilities& capabilities, uint32_t displaySize) {
    const uint16_t flags = capabilities.retinaFlags;
    const bool landscape = flags & kRetinaFlagLandscape;
    const bool retina = retinaResolutionsEnabled();
    if (flags & kRetinaFlagTablet)
        return display::QNBScreen::compatibleModesForiPadRetinaDisplayWithOrientation(landscape, retina);
    if (flags & kRetinaFlagPhone)
        return display::QNBScreen::compatibleModesForiPhoneRetinaDisplayWithOrientation(landscape, retina,
                                                                                        false);
    if (flags & kRetinaFlagTallPhone)
        return display::QNBScreen::compatibleModesForiPhoneRetinaDisplayWithOrientation(landscape, retina,
                                                                                        true);
    if (flags & kRetinaFlagGeneric)
        return display::QNBScreen::modeArrayWithDisplaySize(displaySize, capabilities, retina);
    return std::nullopt;
}

void ScreenServer::setRetinaResolutionsEnabled(bool enabled) {
    enableRetinaResolutions(enabled, false);
}

void ScreenServer::enableRetinaResolutions(bool enable, bool changeResolutionNow) {
    if (m_retinaResolutionsEnabled.exchange(enable) == enable) return;
    if (changeResolutionNow) activateDisplay();
}

bool ScreenServer::needToEnableRetinaResolutions() {
    return retinaResolutionsEnabled() !=
           foundation::QNBPreferences::sharedAppPrefs().retinaResolutionsEnabled();
}

bool ScreenServer::needToEnableHiDPI() {
    return foundation::QNBPreferences::sharedAppPrefs().enableHiDPIResolutions() &&
           !display::QNBScreen::isHiDPIDisplay(displayID());
}

} // namespace server
