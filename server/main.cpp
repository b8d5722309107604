// TesselHelper: the screen server program. Everything starts from the application delegate.
#include "server/LimnerAppDelegate.h"
#include "server/LimnerApplication.h"
#include "server/ScreenServerMediator.h"

#include "input/QNDesktopReflectorPanelWindow.h"
#include "platform/appkit/NSApplication.h"
#include "platform/ipc/StandInMac.h"

#include <csignal>
#include <iostream>
#include <string_view>

namespace {

// What the reflector panels ask of the program: the count of visible panels and the
// invitations go through the application delegate, the cursor queries to the mediator.
input::QNDesktopReflectorEnvironment reflectorEnvironment() {
    input::QNDesktopReflectorEnvironment environment;
    environment.localWindowCount = []() -> uint64_t {
        auto delegate =
            std::dynamic_pointer_cast<server::LimnerAppDelegate>(server::BaseLimnerAppDelegate::appDelegate());
        return delegate ? static_cast<uint64_t>(delegate->localWindowCount()) : 0;
    };
    environment.sendInvite = [](const net::SocketAddress& address) {
        if (auto delegate = server::BaseLimnerAppDelegate::appDelegate()) delegate->sendInvite(address);
    };
    environment.mouseHotspotOnDisplay = [](const input::QNDesktopReflectorEnvironment::DisplaySet& set) {
        return server::ScreenServerMediator::sharedInstance()->mouseHotspotOnDisplay(set);
    };
    environment.mouseCursorOnDisplay = [](const input::QNDesktopReflectorEnvironment::DisplaySet& set) {
        return server::ScreenServerMediator::sharedInstance()->mouseCursorOnDisplay(set);
    };
    return environment;
}

} // namespace

int main(int argc, char** argv) {
    // Peers that vanish mid-send are read as closed sockets, never as a signal. SIGTERM keeps
    // its default action: platformd releases a dead process's displays.
    std::signal(SIGPIPE, SIG_IGN);
    const char* command = "platformctl login starts Tessel Host, which launches TesselHelper";
    if (auto status = ipc::refuseOutsideStandInMac("TesselHelper", command, std::cerr)) return *status;
    if (argc > 1 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        std::cout << "TesselHelper is the stand-in Mac's screen server: " << command << "\n";
        return 0;
    }
    input::QNDesktopReflectorPanel::setMaker(
        input::QNDesktopReflectorPanelWindow::makerWithEnvironment(reflectorEnvironment()));
    return appkit::NSApplicationMain(
        argc, argv, [] { return std::make_shared<server::LimnerApplication>(); },
        [] {
            auto delegate =
                server::LimnerAppDelegate::make(server::LimnerAppDelegate::Environment::standard());
            server::BaseLimnerAppDelegate::setAppDelegate(delegate);
            return delegate;
        });
}
