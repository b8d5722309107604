// The desktop reflector panel's tick under continuous damage: a virtual display of 1024 × 768
// beside the main display, a window on it given a new picture every 1/30 s, and a reflector panel
// mirroring it on an in-process window server. Each tick times what the panel's 1/30 s update
// does (grab the display, hand the picture to its image view, redraw and flush the panel) for
// 3 s. Prints the mean and worst tick, then the ratio of the mean to the 1/30 s budget.
#include "display/QNBDisplaySet.h"
#include "input/QNDesktopReflectorPanelWindow.h"

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSImageView.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/Profile.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/dispatch/Testing.h"
#include "platform/iokit/IOKitLib.h"
#include "platform/iokit/InProcessKernel.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kWidth = 1024, kHeight = 768;
constexpr double kTick = 1.0 / 30;
constexpr double kRunSeconds = 3.0;
constexpr char kFramebuffer0[] = "IOService:/IOResources/QNExGFX/Quenby Virtual Display@0/QNExFramebuffer@0";

// The session the panel mirrors: the virtual display of framebuffer 0.
class BenchSession : public input::QNDesktopReflectorSession {
  public:
    std::shared_ptr<display::QNBDisplaySet> screen() const override { return set; }
    std::optional<std::string> connectedHostName() const override { return "Bench"; }
    std::optional<std::string> connectedDisplayName() const override { return "Bench"; }
    net::SocketAddress connectedAddress() const override { return {}; }
    bool isUSB() const override { return false; }
    std::shared_ptr<display::QNBDisplaySet> set;
};

// A picture for the display: light bands and grain that move with shift.
std::shared_ptr<appkit::NSImage> makePicture(int shift) {
    auto rep = appkit::NSBitmapImageRep::initWithBitmapDataPlanes(
        nullptr, kWidth, kHeight, 8, 4, true, false, appkit::NSDeviceRGBColorSpace,
        appkit::NSBitmapFormatAlphaFirst | appkit::NSBitmapFormatThirtyTwoBitLittleEndian, kWidth * 4, 32);
    uint32_t noise = uint32_t(shift) + 1;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int light = int(100 + 80 * std::sin((x + shift) / 90.0)) + int(noise >> 29);
            uint8_t* p = rep->bitmapData() + (size_t(y) * kWidth + size_t(x)) * 4;
            p[0] = uint8_t(std::clamp(light, 0, 255));
            p[1] = uint8_t(std::clamp(light + y / 8, 0, 255));
            p[2] = uint8_t(std::clamp(200 - light / 2, 0, 255));
            p[3] = 255;
        }
    auto image = appkit::NSImage::initWithSize({double(kWidth), double(kHeight)});
    image->addRepresentation(rep);
    return image;
}

// Switches framebuffer 0 on at 1024 × 768 as the screen server's activation does.
bool enableVirtualDisplay(iokit::io_connect_t& connection) {
    iokit::io_service_t service = iokit::IORegistryEntryFromPath(iokit::kIOMasterPortDefault, kFramebuffer0);
    if (!service || iokit::IOServiceOpen(service, iokit::mach_task_self(), 0x1000, &connection) != 0)
        return false;
    iokit::IOObjectRelease(service);
    const std::vector<std::pair<uint32_t, uint64_t>> calls = {{10, 16666}, {11, 250000}, {8, 1}};
    for (const auto& [selector, input] : calls)
        if (iokit::IOConnectCallScalarMethod(connection, selector, &input, 1, nullptr, nullptr) != 0)
            return false;
    return true;
}

double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

int run(iokit::InProcessKernel& kernel) {
    iokit::io_connect_t connection = 0;
    if (!enableVirtualDisplay(connection)) {
        std::fprintf(stderr, "reflector_bench: the virtual display did not switch on\n");
        return 1;
    }
    kernel.windowServer()->sync();
    dispatch::runUntilIdle();

    auto session = std::make_shared<BenchSession>();
    session->set = std::make_shared<display::QNBDisplaySet>();
    session->set->addDisplay(std::make_shared<display::QNBDisplay>(0x100));
    session->set->finalizeSet();
    const cg::CGRect bounds = cg::CGDisplayBounds(session->set->displayID());
    if (bounds.size.width != kWidth || bounds.size.height != kHeight) {
        std::fprintf(stderr, "reflector_bench: the virtual display is %g x %g\n", bounds.size.width,
                     bounds.size.height);
        return 1;
    }

    // The damage: a borderless window covering the virtual display (Cocoa space: the main
    // display is 900 points high).
    auto source = appkit::NSWindow::make(cg::CGRectMake(bounds.origin.x, 900 - kHeight, kWidth, kHeight),
                                         appkit::NSWindowStyleMaskBorderless);
    auto picture = std::make_shared<appkit::NSImageView>(source->contentView()->bounds());
    picture->setImageScaling(appkit::NSImageScaleAxesIndependently);
    source->contentView()->addSubview(picture);
    const std::shared_ptr<appkit::NSImage> pictures[2] = {makePicture(0), makePicture(11)};
    picture->setImage(pictures[0]);
    source->orderFront();

    auto panel = input::QNDesktopReflectorPanelWindow::initWithScreenServer(session, {});
    if (!panel) {
        std::fprintf(stderr, "reflector_bench: no panel\n");
        return 1;
    }
    panel->showWithoutAnimation();
    dispatch::runUntilIdle();

    std::vector<double> ticks;
    const cg::CGRect whole = cg::CGRectMake(0, 0, kWidth, kHeight);
    const auto start = std::chrono::steady_clock::now();
    auto next = start;
    for (int i = 0; seconds(std::chrono::steady_clock::now() - start) < kRunSeconds; ++i) {
        picture->setImage(pictures[(i + 1) % 2]);
        source->displayIfNeeded();
        kernel.windowServer()->sync();
        dispatch::runUntilIdle(); // the refresh callbacks and whatever else is due
        const auto tickStart = std::chrono::steady_clock::now();
        panel->screenRefreshed(1, &whole);
        panel->updateDisplay();
        panel->displayIfNeeded();
        ticks.push_back(seconds(std::chrono::steady_clock::now() - tickStart));
        next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(kTick));
        std::this_thread::sleep_until(next);
    }
    const cg::CGSize content = panel->contentView()->frame().size;
    panel->hideWithoutAnimation();
    panel->close();
    source->close();
    dispatch::runUntilIdle();
    iokit::IOServiceClose(connection);

    double total = 0;
    for (double t : ticks)
        total += t;
    const double mean = total / double(ticks.size());
    std::sort(ticks.begin(), ticks.end());
    std::printf("ticks %zu in %.1f s: display %d x %d mirrored into a panel content of %g x %g\n",
                ticks.size(), kRunSeconds, kWidth, kHeight, content.width, content.height);
    std::printf(
        "tick (grab+picture+redraw+flush): mean %.3f ms, median %.3f ms, worst %.3f ms; budget %.3f ms\n",
        mean * 1e3, ticks[ticks.size() / 2] * 1e3, ticks.back() * 1e3, kTick * 1e3);
    std::printf("P8 reflector_bench: ratio=%.3f goal <= 0.25\n", mean / kTick);
    return 0;
}

} // namespace

int main() {
    platform::LogCapture quiet(true);
    char pattern[] = "/tmp/reflectorbench-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const std::string root = pattern;
    ::setenv("PLATFORM_ROOT", root.c_str(), 1);
    if (!platform::testing::makeRoot(root)) return 1;
    iokit::InProcessKernelOptions options;
    options.kexts = {std::string(TESSEL_KEXT_DIR) + "/QNVideoCard.kext",
                     std::string(TESSEL_KEXT_DIR) + "/QNFramebuffer.kext"};
    auto kernel = std::make_shared<iokit::InProcessKernel>(options);
    kernel->install();
    const int status = run(*kernel);
    kernel->shutdown();
    std::filesystem::remove_all(root);
    return status;
}
