// A window server stand-in for driver tests: it opens each published framebuffer the way
// the real one does at boot (open, 'dci ' then 'vbl ', 'crsr', 'capd') and counts what the
// framebuffer delivers. Handlers only count, as the real ones only queue.
#pragma once

#include "platform/core/Clock.h"
#include "platform/kernel/FramebufferListener.h"
#include "platform/kernel/IOFramebuffer.h"
#include "platform/kernel/Kernel.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace drivers::testing {

using namespace kernel;

struct FakeDisplay {
    OSPtr<IOFramebuffer> framebuffer;
    void* dciRef = nullptr;
    void* vblRef = nullptr;
    std::atomic<int> dciCount{0};
    std::atomic<int> vblCount{0};
    std::mutex mutex;
    std::vector<platform::TimePoint> vblTimes;
    std::vector<IOIndex> notifications;

    std::vector<platform::TimePoint> vblTimesCopy() {
        std::lock_guard lock(mutex);
        return vblTimes;
    }
};

class FakeWindowServer : public FramebufferListener {
public:
    explicit FakeWindowServer(Kernel& kernel) : m_kernel(kernel) { kernel.setFramebufferListener(this); }
    ~FakeWindowServer() override { m_kernel.setFramebufferListener(nullptr); }

    void framebufferPublished(IOFramebuffer* framebuffer) override {
        std::lock_guard lock(m_mutex);
        auto display = std::make_shared<FakeDisplay>();
        display->framebuffer = makeRetained(framebuffer);
        m_displays[framebuffer] = display;
    }

    void framebufferWillStop(IOFramebuffer* framebuffer) override {
        std::shared_ptr<FakeDisplay> display = displayFor(framebuffer);
        if (!display) return;
        {
            IOGateLock gate(framebuffer);
            framebuffer->unregisterInterrupt(display->dciRef);
            framebuffer->unregisterInterrupt(display->vblRef);
            framebuffer->setVBLStateBit(false);
            framebuffer->close();
        }
        std::lock_guard lock(m_mutex);
        m_stopped.push_back(framebuffer->getLocation().value_or("?"));
        display->framebuffer.reset();
        m_displays.erase(framebuffer);
    }

    void framebufferNotification(IOFramebuffer* framebuffer, IOIndex event, void*) override {
        if (auto display = displayFor(framebuffer)) {
            std::lock_guard lock(display->mutex);
            display->notifications.push_back(event);
        }
    }

    // The published framebuffer at this location ("0" to "3"), or null.
    std::shared_ptr<FakeDisplay> display(const std::string& location) {
        std::lock_guard lock(m_mutex);
        for (auto& [fb, display] : m_displays) {
            if (fb->getLocation() == location) return display;
        }
        return nullptr;
    }

    size_t publishedCount() {
        std::lock_guard lock(m_mutex);
        return m_displays.size();
    }

    std::vector<std::string> stopped() {
        std::lock_guard lock(m_mutex);
        return m_stopped;
    }

    // What the window server does for each framebuffer at boot.
    IOReturn boot(FakeDisplay& display) {
        IOFramebuffer* fb = display.framebuffer.get();
        IOGateLock gate(fb);
        IOReturn result = fb->open();
        if (result != kIOReturnSuccess) return result;
        fb->registerForInterruptType(kIOFBConnectInterruptType, &FakeWindowServer::onConnect, nullptr,
                                     &display, &display.dciRef);
        IOReturn vbl = fb->registerForInterruptType(kIOFBVBLInterruptType, &FakeWindowServer::onVBL, nullptr,
                                                    &display, &display.vblRef);
        uintptr_t cursor = 0;
        fb->getAttribute(kIOHardwareCursorAttribute, &cursor);
        fb->setAttribute(kIOCapturedAttribute, 1);
        if (vbl == kIOReturnSuccess) fb->setVBLStateBit(true);
        return kIOReturnSuccess;
    }

    static void onConnect(OSObject*, void* ref) { static_cast<FakeDisplay*>(ref)->dciCount++; }

    static void onVBL(OSObject*, void* ref) {
        auto* display = static_cast<FakeDisplay*>(ref);
        std::lock_guard lock(display->mutex);
        display->vblTimes.push_back(platform::now());
        display->vblCount++;
    }

private:
    std::shared_ptr<FakeDisplay> displayFor(IOFramebuffer* framebuffer) {
        std::lock_guard lock(m_mutex);
        auto it = m_displays.find(framebuffer);
        return it == m_displays.end() ? nullptr : it->second;
    }

    Kernel& m_kernel;
    std::mutex m_mutex;
    std::map<IOFramebuffer*, std::shared_ptr<FakeDisplay>> m_displays;
    std::vector<std::string> m_stopped;
};

} // namespace drivers::testing
