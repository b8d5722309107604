// The program's own windows as its application delegate shows them.
#include "server/LimnerAppDelegate.h"

#include "input/QNBAboutWindowController.h"
#include "platform/appkit/NSMenu.h"
#include "platform/foundation/NSBundle.h"

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

std::shared_ptr<appkit::NSMenu> LimnerAppDelegate::mainMenu() {
    auto application = appkit::NSMenu::make("TesselHelper");
    application->addItemWithTitle(ns::NSLocalizedString("About TesselHelper"), "showAbout:");
    application->addItem(appkit::NSMenuItem::separatorItem());
    application->addItemWithTitle(ns::NSLocalizedString("Disconnect All Displays"),
                                  "disconnectAllConnections:");
    auto bar = appkit::NSMenu::make();
    auto item = appkit::NSMenuItem::make("TesselHelper");
    item->setSubmenu(application);
    bar->addItem(item);
    return bar;
}

const appkit::NSActionTable& LimnerAppDelegate::classActions() {
    static const appkit::NSActionTable table =
        appkit::NSActionTable(&appkit::NSActionTarget::classActions())
            .action("showAbout:", &LimnerAppDelegate::showAbout)
            .action("disconnectAllConnections:", &LimnerAppDelegate::disconnectAllConnections);
    return table;
}

void LimnerAppDelegate::showAbout(appkit::NSActionTarget* sender) {
    (void)sender;
    auto window = aboutWindowController()->window();
    if (!window || window->isVisible()) return;
    window->center();
    window->makeKeyAndOrderFront();
}

} // namespace server
