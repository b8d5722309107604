// A process that configures a display for itself only (kCGConfigureForAppOnly), says so in
// the event log ("cg-helper", step "configured", status) and then waits to be killed.
//   cg_test_helper <display> <io-mode> <scale>
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGDisplayConfiguration.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: cg_test_helper <display> <io-mode> <scale>\n");
        return 2;
    }
    auto display = cg::CGDirectDisplayID(std::strtoul(argv[1], nullptr, 0));
    int32_t ioMode = int32_t(std::strtol(argv[2], nullptr, 10));
    double scale = std::strtod(argv[3], nullptr);
    cf::Value all = cf::Dictionary{{cg::kCGDisplayShowDuplicateLowResolutionModes, true}};
    cg::CGError status = cg::kCGErrorIllegalArgument;
    if (auto modes = cg::CGDisplayCopyAllDisplayModes(display, &all)) {
        for (auto& mode : *modes) {
            if (mode->ioDisplayModeID != ioMode || mode->resolution != scale) continue;
            cg::CGDisplayConfigRef config = nullptr;
            cg::CGBeginDisplayConfiguration(&config);
            cg::CGConfigureDisplayWithDisplayMode(config, display, mode, nullptr);
            status = cg::CGCompleteDisplayConfiguration(config, cg::kCGConfigureForAppOnly);
            break;
        }
    }
    auto connection = ipc::Connection::shared();
    if (!connection) return 3;
    connection->request(ipc::op::recordEvent, cf::Dictionary{{"kind", "cg-helper"},
                                                             {"fields", cf::Dictionary{{"step", "configured"},
                                                                                       {"status", status}}}});
    for (;;)
        ::pause();
}
