// What the window and view tests share: an in-process window server (1440 x 900, scale 1) on the
// fake clock installed as the facades', main-loop turns on demand, and window pictures as the
// window server holds them.
#pragma once

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSWindow.h"
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGWindowImage.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/iokit/InProcessKernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace appkit::testing {

inline constexpr uint32_t kRed = 0xFFFF0000;
inline constexpr uint32_t kBlue = 0xFF0000FF;
inline constexpr uint32_t kWindowGrey = 0xFFECECEC;

// A view filling its bounds with one colour, counting its draws.
class SolidView : public NSView {
  public:
    SolidView(cg::CGRect frame, double r, double g, double b, bool flipped = false)
        : NSView(frame), m_r(r), m_g(g), m_b(b), m_flipped(flipped) {}
    bool isFlipped() const override { return m_flipped; }
    void drawRect(cg::CGRect dirty) override {
        ++draws;
        lastDirty = dirty;
        auto context = currentContext();
        ASSERT_TRUE(context);
        cg::CGContextSetRGBFillColor(context, m_r, m_g, m_b, 1);
        cg::CGContextFillRect(context, fill.value_or(bounds()));
    }
    int draws = 0;
    cg::CGRect lastDirty = cg::CGRectNull;
    std::optional<cg::CGRect> fill; // bounds space; the whole bounds when unset

  private:
    double m_r, m_g, m_b;
    bool m_flipped;
};

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::installFakeClock();
        iokit::InProcessKernelOptions options;
        options.windowServerConfig.recordEvent = [this](std::string_view kind, std::string_view api,
                                                        cf::Dictionary fields) {
            std::lock_guard lock(m_recordMutex);
            m_records.push_back({std::string(kind) + " " + std::string(api), std::move(fields)});
        };
        m_kernel = std::make_shared<iokit::InProcessKernel>(options);
        m_kernel->install();
    }
    void TearDown() override {
        for (auto& window : NSApp()->windows())
            window->close();
        turn();
        m_kernel->shutdown();
        m_kernel.reset();
    }
    // One main-loop turn: what is ready runs.
    static void turn() { dispatch::RunLoop::main()->serveReady(dispatch::kDefaultRunLoopMode); }
    // The window's pixels as last flushed.
    static cg::CGImageRef picture(const NSWindow& window) {
        return cg::CGWindowListCreateImage(cg::CGRectNull, cg::kCGWindowListOptionIncludingWindow,
                                           window.windowNumber(), cg::kCGWindowImageDefault);
    }
    // A pixel of the picture, x and y in points from the window's top-left corner.
    static uint32_t pixel(const cg::CGImageRef& image, size_t x, size_t y) {
        if (!image || x >= cg::CGImageGetWidth(image) || y >= cg::CGImageGetHeight(image)) return 0xDEADBEEF;
        uint32_t p;
        std::memcpy(&p, cg::CGImageGetBytePtr(image) + y * cg::CGImageGetBytesPerRow(image) + x * 4, 4);
        return p;
    }

    // What the window server recorded for platformd's event log: "kind api" and the fields.
    std::vector<std::pair<std::string, cf::Dictionary>> records() {
        std::lock_guard lock(m_recordMutex);
        return m_records;
    }
    size_t recordCount(const std::string& kindAndApi) {
        auto all = records();
        return size_t(std::count_if(all.begin(), all.end(), [&](auto& r) { return r.first == kindAndApi; }));
    }

    platform::LogCapture m_log{true};
    std::mutex m_recordMutex;
    std::vector<std::pair<std::string, cf::Dictionary>> m_records;
    std::shared_ptr<iokit::InProcessKernel> m_kernel;
};

} // namespace appkit::testing
