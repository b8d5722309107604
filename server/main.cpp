// TesselHelper: the screen server program. Everything starts from the application delegate.
#include "server/LimnerAppDelegate.h"
#include "server/LimnerApplication.h"

#include "platform/appkit/NSApplication.h"

#include <csignal>

int main(int argc, char** argv) {
    // Peers that vanish mid-send are read as closed sockets, never as a signal. SIGTERM keeps
    // its default action: platformd releases a dead process's displays.
    std::signal(SIGPIPE, SIG_IGN);
    return appkit::NSApplicationMain(
        argc, argv, [] { return std::make_shared<server::LimnerApplication>(); },
        [] {
            auto delegate =
                server::LimnerAppDelegate::make(server::LimnerAppDelegate::Environment::standard());
            server::BaseLimnerAppDelegate::setAppDelegate(delegate);
            return delegate;
        });
}
