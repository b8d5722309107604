// What activation_road adds to the session test host so that its session really activates:
// the framebuffer driver client, opened at start, enabling and switching off the sessions'
// displays as the mediator does, and the window server's reconfigurations of a session's
// display passed on to that session.
#pragma once

#include "display/QNBDisplayConfiguration.h"
#include "server/FramebufferDriverClient.h"

#include <memory>
#include <mutex>
#include <vector>

namespace server::testing {

class ActivationRoadDriver : public display::QNBDisplayConfigurationDelegate,
                             public std::enable_shared_from_this<ActivationRoadDriver> {
  public:
    // The four sessions in framebuffer-index order.
    explicit ActivationRoadDriver(std::vector<std::shared_ptr<ScreenServer>> servers);

    // Opens the framebuffer connections (logging what could not be opened) and becomes the
    // display configuration's delegate.
    void start();
    // Switches every display off and closes the connections.
    void stop();

    std::shared_ptr<display::QNBDisplaySet> enableDisplayWithDisplayModes(ScreenServer& server,
                                                                          const int* modes, size_t modeCount,
                                                                          platform::Error* error);
    void disableDisplay(ScreenServer& server);
    void screenReconfigured(uint32_t flags, display::CGDirectDisplayID display) override;

  private:
    std::recursive_mutex m_lock;
    FramebufferDriverClient m_client{m_lock};
    std::vector<std::shared_ptr<ScreenServer>> m_servers;
};

} // namespace server::testing
