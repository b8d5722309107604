// What the USB link's tests share: a private usbmuxd double on a temporary socket named by
// TESSEL_USBMUXD_SOCKET, a main-thread pump that waits for events (bounded in real time so a
// fault fails instead of hanging), and a count of the process's open descriptors.
#pragma once

#include "platform/core/Clock.h"
#include "platform/dispatch/Activity.h"
#include "platform/dispatch/Testing.h"
#include "tools/usbmuxd-double/UsbmuxdDouble.h"
#include "usblink/PTUSBHub.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>

namespace usblink::testing {

// Runs the main queue until pred holds; false when 10 s of real time pass first.
inline bool pumpUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + bound;
    for (;;) {
        uint64_t seen = dispatch::activity::generation();
        dispatch::runUntilIdle();
        if (pred()) return true;
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        dispatch::activity::waitPastFor(seen, std::min(left, std::chrono::milliseconds(50)));
    }
}

inline size_t openDescriptorCount() {
    size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n;
}

// The process's shared hub belongs to one test: it is dropped, and its connection's last
// events run now (logs, the end), not in the next test.
inline void forgetSharedHub() {
    const std::weak_ptr<PTUSBChannel> channel = PTUSBHub::resetSharedHubForTesting();
    EXPECT_TRUE(pumpUntil([&] { return channel.expired(); }));
}

// A double on a fresh path, named to the hub through the environment before first use.
class DoubleFixture {
  public:
    DoubleFixture() {
        forgetSharedHub();
        char pattern[] = "/tmp/usblink-test-XXXXXX";
        m_dir = ::mkdtemp(pattern);
        m_path = m_dir + "/usbmuxd";
        ::setenv("TESSEL_USBMUXD_SOCKET", m_path.c_str(), 1);
        muxd = std::make_unique<usbmuxd_double::UsbmuxdDouble>(m_path);
        std::string error;
        EXPECT_TRUE(muxd->start(&error)) << error;
    }
    ~DoubleFixture() {
        forgetSharedHub();
        muxd->stop();
        ::rmdir(m_dir.c_str());
    }
    const std::string& path() const { return m_path; }

    std::unique_ptr<usbmuxd_double::UsbmuxdDouble> muxd;

  private:
    std::string m_dir;
    std::string m_path;
};

} // namespace usblink::testing
