// The program's own windows as its application delegate shows them.
#include "server/LimnerAppDelegate.h"

#include "input/QNBAboutWindowController.h"

namespace server {

std::shared_ptr<input::QNBAboutWindowController> LimnerAppDelegate::aboutWindowController() {
    if (m_aboutWindowController) return m_aboutWindowController;
    m_aboutWindowController =
        std::make_shared<input::QNBAboutWindowController>(input::kAboutTesselHelperNibName);
    if (auto window = m_aboutWindowController->window()) {
        window->setReleasedWhenClosed(false);
        window->center();
    }
    return m_aboutWindowController;
}

void LimnerAppDelegate::showAbout(appkit::NSActionTarget* sender) {
    (void)sender;
    auto window = aboutWindowController()->window();
    if (!window || window->isVisible()) return;
    window->center();
    window->makeKeyAndOrderFront();
}

} // namespace server
