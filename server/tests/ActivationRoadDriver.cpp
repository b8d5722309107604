#include "ActivationRoadDriver.h"

#include "display/QNBScreen.h"
#include "server/ScreenServer.h"

#include "platform/core/Log.h"

namespace server::testing {

ActivationRoadDriver::ActivationRoadDriver(std::vector<std::shared_ptr<ScreenServer>> servers)
    : m_servers(std::move(servers)) {
    m_client.setServers(m_servers);
}

void ActivationRoadDriver::start() {
    platform::Error error;
    if (!m_client.setupUserClientWithError(&error))
        platform::log("activation_road: the framebuffers did not all open: %@", error.localizedDescription());
    auto configuration = display::QNBDisplayConfiguration::displayConfigurationManager();
    configuration->setDelegate(weak_from_this());
    configuration->startListeningForDevice(display::QNBScreen::virtualDisplayNameString());
}

void ActivationRoadDriver::stop() {
    m_client.stop();
}

std::shared_ptr<display::QNBDisplaySet>
ActivationRoadDriver::enableDisplayWithDisplayModes(ScreenServer& server, const int* modes, size_t modeCount,
                                                    platform::Error* error) {
    return m_client.enableDisplayWithDisplayModes(server, modes, modeCount, error);
}

void ActivationRoadDriver::disableDisplay(ScreenServer& server) {
    m_client.disableDisplay(server);
}

void ActivationRoadDriver::screenReconfigured(uint32_t flags, display::CGDirectDisplayID display) {
    for (const auto& server : m_servers)
        if (server->displayID() == display) server->screenReconfigured(flags);
}

} // namespace server::testing
