// Application sharing over an in-process window server on the fake clock: fake applications
// with windows and menus answering on this thread's main run loop, listed to the monitor by a
// source of the test's own; monitor work runs on another thread while this one serves.
#pragma once

#include "input/QNBApplicationMonitor.h"
#include "input/tests/MainLoopServing.h"
#include "platform/appkit/NSBitmapImageRep.h"
#include "platform/appkit/NSImage.h"
#include "platform/applicationservices/AXUIElement.h"
#include "platform/core/Clock.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/iokit/InProcessKernel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

namespace input::testing {

class FakeApplicationSource final : public RunningApplicationSource {
  public:
    std::vector<RunningApplicationInfo> runningApplications() override {
        std::lock_guard lock(mutex);
        ++listingsWithIcons;
        return applications;
    }
    std::vector<RunningApplicationInfo> runningApplicationsWithoutIcons() override {
        std::lock_guard lock(mutex);
        auto list = applications;
        for (RunningApplicationInfo& application : list)
            application.icon = nullptr;
        return list;
    }
    std::mutex mutex;
    std::vector<RunningApplicationInfo> applications;
    // How often the list was asked for with icons (the workspace builds one per application).
    std::atomic<int> listingsWithIcons{0};
};

// An icon with square representations of these sides.
inline std::shared_ptr<appkit::NSImage> iconWithSides(std::initializer_list<int64_t> sides) {
    auto icon = appkit::NSImage::initWithSize({128, 128});
    for (int64_t side : sides)
        icon->addRepresentation(appkit::NSBitmapImageRep::initWithBitmapDataPlanes(
            nullptr, side, side, 8, 4, true, false, appkit::NSDeviceRGBColorSpace, 0, 0, 0));
    return icon;
}

class ApplicationSharingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/appshare.XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        m_home = pattern;
        ::setenv("HOME", m_home.c_str(), 1);
        platform::installFakeClock();
        m_kernel = std::make_shared<iokit::InProcessKernel>(iokit::InProcessKernelOptions{});
        m_kernel->install();
        m_source = std::make_shared<FakeApplicationSource>();
        m_monitor = std::make_shared<QNBApplicationMonitor>();
        m_monitor->setRunningApplicationSource(m_source);
    }
    void TearDown() override {
        drain();
        m_apps.clear();
        drain();
        m_kernel->shutdown();
        std::system(("rm -rf " + m_home).c_str());
    }

    void drain() { serveMainLoop(); }
    // Runs work on another thread while this one serves the main run loop (see runOffMain).
    void offMain(const std::function<void()>& work, double clockStep = 0) {
        runOffMain(work, clockStep, [this] { m_kernel->windowServer()->sync(); });
    }
    void poll(double clockStep = 0) {
        offMain([&] { m_monitor->poll(); }, clockStep);
    }

    // A fake application listed by the source.
    std::shared_ptr<ax::AXFakeApplication> addApplication(const std::string& name,
                                                          std::shared_ptr<appkit::NSImage> icon = nullptr) {
        auto app = ax::AXFakeApplication::create(name, "com.example." + std::to_string(m_apps.size()));
        EXPECT_TRUE(app);
        if (!app) return nullptr;
        m_apps.push_back(app);
        std::lock_guard lock(m_source->mutex);
        m_source->applications.push_back({app->pid(), name, std::move(icon)});
        return app;
    }
    // "Fake Editor": two titled windows; File ▸ Open… ⌘O, Quit; Edit ▸ Copy ✓.
    std::shared_ptr<ax::AXFakeApplication> addFakeEditor() {
        auto app = addApplication("Fake Editor", iconWithSides({16, 32, 64, 128, 256, 512}));
        if (!app) return nullptr;
        m_editorWindows = {app->addWindow("Notes", cg::CGRectMake(100, 80, 400, 300)),
                           app->addWindow("Letters", cg::CGRectMake(300, 200, 500, 250))};
        ax::AXFakeMenuItem open{"Open…", true, "O", "", {10, 30}, {160, 20}, {}};
        ax::AXFakeMenuItem quit{"Quit", true, "", "", {10, 50}, {160, 20}, {}};
        ax::AXFakeMenuItem copy{"Copy", true, "", "✓", {60, 30}, {160, 20}, {}};
        app->setMenuBar({ax::AXFakeMenuItem{"File", true, "", "", {40, 0}, {36, 22}, {open, quit}},
                         ax::AXFakeMenuItem{"Edit", true, "", "", {80, 0}, {36, 22}, {copy}}});
        return app;
    }

    std::string m_home;
    std::shared_ptr<iokit::InProcessKernel> m_kernel;
    std::shared_ptr<FakeApplicationSource> m_source;
    std::shared_ptr<QNBApplicationMonitor> m_monitor;
    std::vector<std::shared_ptr<ax::AXFakeApplication>> m_apps;
    std::vector<uint32_t> m_editorWindows;
};

} // namespace input::testing
