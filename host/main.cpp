// Tessel Host: the menu-bar program. Everything starts from the application delegate.
#include "host/QNBAppDelegate.h"
#include "host/QNBApplication.h"

#include "platform/appkit/NSApplication.h"

#include <csignal>

int main(int argc, char** argv) {
    // Peers that vanish mid-send are read as closed sockets, never as a signal. SIGTERM keeps its
    // default action until the delegate takes it over when it first launches the screen server.
    std::signal(SIGPIPE, SIG_IGN);
    return appkit::NSApplicationMain(
        argc, argv, [] { return std::make_shared<host::QNBApplication>(); },
        [] { return host::QNBAppDelegate::make(host::QNBAppDelegate::Environment::standard()); });
}
