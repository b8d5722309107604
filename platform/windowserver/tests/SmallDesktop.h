// What the pixel tests share: an in-process window server on the fake clock whose main display
// is 64 x 48, one connection of the test's, and vertical blanks on demand.
#pragma once

#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/kernel/Kernel.h"
#include "platform/windowserver/WindowServer.h"

#include <gtest/gtest.h>

#include <memory>

namespace windowserver::testing {

inline constexpr uint32_t kBackground = 0xFF3A6EA5;

inline WindowServerConfig smallMain() {
    WindowServerConfig config;
    config.mainDisplay.width = 64;
    config.mainDisplay.height = 48;
    return config;
}

class SmallDesktopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::installFakeClock();
        m_kernel = std::make_unique<kernel::Kernel>();
        m_server = std::make_unique<WindowServer>(*m_kernel, smallMain());
        m_server->boot();
        m_cid = m_server->connect({4242, "Test", "com.example.test"}, [](const cf::Value&) {});
    }
    void TearDown() override {
        m_server->stop();
        m_kernel->shutdown();
    }
    // One vertical blank of the main display (or the time given).
    void blank(double seconds = 0.017) {
        platform::installFakeClock().advance(platform::seconds(seconds));
        m_server->sync();
    }

    platform::LogCapture m_log{true};
    std::unique_ptr<kernel::Kernel> m_kernel;
    std::unique_ptr<WindowServer> m_server;
    uint32_t m_cid = 0;
};

} // namespace windowserver::testing
