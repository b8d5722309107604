// A second process for the display side's integration tests:
//   display_test_peer twin <display> <width> <height>
//       configures the display's HiDPI mode of that point size for this process only, prints
//       "configured <CGError>" and exits (so the window server reverts it);
//   display_test_peer window <command-fifo> <title> <x> <y> <width> <height>
//       becomes a fake application with one titled window at that frame (CG global points),
//       records "display-peer" {step "window", window, pid} in platformd's event log, answers
//       accessibility requests on its main run loop, and follows the fifo's commands:
//       "move X Y" (the owner moves its window; recorded as step "moved"), "exit".
#include "platform/applicationservices/AXUIElement.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGDisplayConfiguration.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

void record(cf::Dictionary fields) {
    if (auto c = ipc::Connection::shared())
        c->request(ipc::op::recordEvent,
                   cf::Dictionary{{"kind", "display-peer"}, {"fields", cf::Value(fields)}});
}

int configureTwin(uint32_t display, uint32_t width, uint32_t height) {
    const cf::Value options = cf::Dictionary{{cg::kCGDisplayShowDuplicateLowResolutionModes, true}};
    auto modes = cg::CGDisplayCopyAllDisplayModes(display, &options);
    cg::CGError status = cg::kCGErrorIllegalArgument;
    for (const auto& mode : modes ? *modes : std::vector<cg::CGDisplayModeRef>{}) {
        if (mode->width != width || mode->height != height || mode->resolution <= 1.0) continue;
        cg::CGDisplayConfigRef config = nullptr;
        cg::CGBeginDisplayConfiguration(&config);
        cg::CGConfigureDisplayWithDisplayMode(config, display, mode, nullptr);
        status = cg::CGCompleteDisplayConfiguration(config, cg::kCGConfigureForAppOnly);
        break;
    }
    std::printf("configured %d\n", status);
    std::fflush(stdout);
    return status == cg::kCGErrorSuccess ? 0 : 1;
}

std::string nextLine(int fd) {
    std::string line;
    char ch;
    while (::read(fd, &ch, 1) == 1) {
        if (ch == '\n') return line;
        line.push_back(ch);
    }
    return line.empty() ? "exit" : line;
}

int fakeApplication(const char* fifoPath, const std::string& title, cg::CGRect frame) {
    auto application = ax::AXFakeApplication::create("Peer Notes", "com.example.PeerNotes");
    if (!application) return 3;
    const uint32_t window = application->addWindow(title, frame);
    if (!window) return 4;
    record(cf::Dictionary{
        {"step", "window"}, {"window", int64_t(window)}, {"pid", int64_t(application->pid())}});

    std::thread commands([fifoPath, application, window, frame] {
        const int fifo = ::open(fifoPath, O_RDONLY | O_CLOEXEC);
        for (;;) {
            std::istringstream words(fifo < 0 ? std::string("exit") : nextLine(fifo));
            std::string verb;
            double x = 0, y = 0;
            words >> verb >> x >> y;
            if (verb != "move") break;
            dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), [application, window, frame, x, y] {
                cg::CGRect moved = frame;
                moved.origin = {x, y};
                const bool done = application->moveWindow(window, moved);
                record(cf::Dictionary{{"step", "moved"}, {"done", done}});
            });
        }
        if (fifo >= 0) ::close(fifo);
        dispatch::dispatch_async(dispatch::dispatch_get_main_queue(),
                                 [] { dispatch::RunLoop::main()->stop(); });
    });
    dispatch::RunLoop::main()->run();
    commands.join();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string verb = argc > 1 ? argv[1] : "";
    if (verb == "twin" && argc == 5)
        return configureTwin(uint32_t(std::strtoul(argv[2], nullptr, 0)), uint32_t(std::atoi(argv[3])),
                             uint32_t(std::atoi(argv[4])));
    if (verb == "window" && argc == 8)
        return fakeApplication(
            argv[2], argv[3],
            cg::CGRectMake(std::atof(argv[4]), std::atof(argv[5]), std::atof(argv[6]), std::atof(argv[7])));
    std::fprintf(stderr, "usage: display_test_peer twin <display> <width> <height>\n"
                         "       display_test_peer window <fifo> <title> <x> <y> <width> <height>\n");
    return 2;
}
