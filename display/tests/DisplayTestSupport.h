// The in-process kernel with both kexts and the window server on the fake clock, and the steps a
// screen server takes to switch virtual displays on and off through their user clients.
#pragma once

#include "display/QNBScreen.h"
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/Profile.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGDisplayConfiguration.h"
#include "platform/coregraphics/testing/FakeWindowServer.h"
#include "platform/dispatch/Testing.h"
#include "platform/iokit/IOKitLib.h"
#include "platform/iokit/InProcessKernel.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

namespace display::testing {

inline std::string framebufferPath(int index) {
    return "IOService:/IOResources/QNExGFX/Quenby Virtual Display@" + std::to_string(index) +
           "/QNExFramebuffer@" + std::to_string(index);
}

class DisplayTest : public ::testing::Test {
  protected:
    // A stand-in root of the default profile (macOS 10.12.6), so version gates open.
    void SetUp() override {
        char pattern[] = "/tmp/qnbdisplay-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_root = pattern;
        ::setenv("PLATFORM_ROOT", m_root.c_str(), 1);
        ASSERT_TRUE(platform::testing::makeRoot(m_root));
        boot({});
    }
    void TearDown() override {
        shutdown();
        std::filesystem::remove_all(m_root);
    }

    void boot(windowserver::WindowServerConfig config) {
        shutdown();
        forgetScreens();
        platform::installFakeClock();
        iokit::InProcessKernelOptions options;
        options.kexts = {std::string(TESSEL_KEXT_DIR) + "/QNVideoCard.kext",
                         std::string(TESSEL_KEXT_DIR) + "/QNFramebuffer.kext"};
        options.windowServerConfig = std::move(config);
        m_kernel = std::make_shared<iokit::InProcessKernel>(options);
        m_kernel->install();
    }
    void shutdown() {
        if (!m_kernel) return;
        for (auto& [index, connection] : m_connections)
            iokit::IOServiceClose(connection);
        m_connections.clear();
        dispatch::runUntilIdle();
        m_kernel->shutdown();
        m_kernel.reset();
    }
    // The cached screen list outlives a test's window server: a window server without displays
    // empties it, so each test starts from the first build.
    static void forgetScreens() {
        cg::testing::ScopedFakeWindowServer none;
        QNBScreen::resetScreens();
    }

    // Switches framebuffer index on with the modes (the first is the current one) and waits
    // until the window server shows it.
    void enable(int index, std::vector<uint64_t> modes) {
        iokit::io_connect_t& connection = m_connections[index];
        if (!connection) {
            iokit::io_service_t service =
                iokit::IORegistryEntryFromPath(iokit::kIOMasterPortDefault, framebufferPath(index).c_str());
            ASSERT_EQ(iokit::IOServiceOpen(service, iokit::mach_task_self(), 0x1000, &connection), 0);
            iokit::IOObjectRelease(service);
        }
        call(connection, 10, {16666});
        call(connection, 11, {250000});
        call(connection, 8, modes);
        settle();
    }
    void disable(int index) {
        call(m_connections[index], 3, {});
        settle();
    }
    void call(iokit::io_connect_t connection, uint32_t selector, const std::vector<uint64_t>& inputs) {
        ASSERT_EQ(iokit::IOConnectCallScalarMethod(connection, selector, inputs.data(),
                                                   uint32_t(inputs.size()), nullptr, nullptr),
                  0)
            << "selector " << selector;
    }
    // Lets the window server finish what is queued, then runs the callbacks it pushed.
    void settle() {
        m_kernel->windowServer()->sync();
        dispatch::runUntilIdle();
        m_kernel->windowServer()->sync();
        dispatch::runUntilIdle();
    }

    // Configures the display's mode of that point size and resolution, permanently.
    bool configureMode(CGDirectDisplayID display, uint32_t width, uint32_t height, double resolution) {
        const cf::Value options = cf::Dictionary{{cg::kCGDisplayShowDuplicateLowResolutionModes, true}};
        auto modes = cg::CGDisplayCopyAllDisplayModes(display, &options);
        if (!modes) return false;
        for (const auto& mode : *modes) {
            if (mode->width != width || mode->height != height || mode->resolution != resolution) continue;
            cg::CGDisplayConfigRef config = nullptr;
            cg::CGBeginDisplayConfiguration(&config);
            cg::CGConfigureDisplayWithDisplayMode(config, display, mode, nullptr);
            const bool done = cg::CGCompleteDisplayConfiguration(config, cg::kCGConfigurePermanently) == 0;
            settle();
            return done;
        }
        return false;
    }

    static windowserver::WindowServerConfig hiDPIOn() {
        windowserver::WindowServerConfig config;
        config.hiDPIEnabled = [] { return true; };
        return config;
    }

    platform::LogCapture m_log{true};
    std::string m_root;
    std::shared_ptr<iokit::InProcessKernel> m_kernel;
    std::map<int, iokit::io_connect_t> m_connections;
};

} // namespace display::testing
