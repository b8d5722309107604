// usbmuxd-double: the usbmuxd stand-in as a program, on $TESSEL_USBMUXD_SOCKET (or --socket),
// with the device endpoint "<socket>.device" (or --device-endpoint). Runs until SIGINT/SIGTERM.
#include "tools/usbmuxd-double/UsbmuxdDouble.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kUsage[] = "usage: usbmuxd-double [--socket PATH] [--device-endpoint PATH]\n"
                      "       (the socket defaults to $TESSEL_USBMUXD_SOCKET)\n";

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const char* env = std::getenv("TESSEL_USBMUXD_SOCKET");
    std::string socketPath = env ? env : "";
    std::string deviceEndpoint;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
        } else if (arg == "--device-endpoint" && i + 1 < argc) {
            deviceEndpoint = argv[++i];
        } else {
            const bool help = arg == "--help" || arg == "-h";
            std::fprintf(help ? stdout : stderr, "%s", kUsage);
            return help ? 0 : 2;
        }
    }
    if (socketPath.empty()) {
        std::fprintf(stderr, "usbmuxd-double: no socket: set TESSEL_USBMUXD_SOCKET or pass --socket\n");
        return 2;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr); // the double's thread inherits the mask
    usbmuxd_double::UsbmuxdDouble muxd(socketPath, deviceEndpoint);
    std::string error;
    if (!muxd.start(&error)) {
        std::fprintf(stderr, "usbmuxd-double: %s\n", error.c_str());
        return 2;
    }
    std::fprintf(stderr, "usbmuxd-double: listening on %s, devices on %s\n", muxd.socketPath().c_str(),
                 muxd.deviceEndpoint().c_str());
    int received = 0;
    sigwait(&signals, &received);
    muxd.stop();
    return 0;
}
