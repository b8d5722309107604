// Tessel Host: the menu-bar program. Everything starts from the application delegate.
#include "host/QNBAppDelegate.h"
#include "host/QNBApplication.h"

#include "platform/appkit/NSApplication.h"
#include "platform/ipc/StandInMac.h"

#include <csignal>
#include <iostream>
#include <string_view>

int main(int argc, char** argv) {
    // Peers that vanish mid-send are read as closed sockets, never as a signal. SIGTERM keeps its
    // default action until the delegate takes it over when it first launches the screen server.
    std::signal(SIGPIPE, SIG_IGN);
    const char* command =
        "platformctl install Tessel.pkg, then platformctl login (the host is the login item)";
    if (auto status = ipc::refuseOutsideStandInMac("Tessel Host", command, std::cerr)) return *status;
    if (argc > 1 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        std::cout << "Tessel Host is the stand-in Mac's menu-bar program: " << command << "\n";
        return 0;
    }
    return appkit::NSApplicationMain(
        argc, argv, [] { return std::make_shared<host::QNBApplication>(); },
        [] { return host::QNBAppDelegate::make(host::QNBAppDelegate::Environment::standard()); });
}
