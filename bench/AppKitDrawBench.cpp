// Redrawing and flushing a full-screen image window: a 1440 × 900 titled window whose content is
// one view drawing a photo scaled to fill it, given a new picture on every 1/30 s tick (as the
// desktop reflector panel's picture is), redrawn and flushed to an in-process window server.
// Prints the mean and worst time of a frame, then the ratio of the mean to the tick.
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSImage.h"
#include "platform/appkit/NSWindow.h"
#include "platform/iokit/InProcessKernel.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 1440, kHeight = 900;
constexpr double kTick = 1.0 / 30;

// A plain view drawing its image scaled to fill its bounds, each axis on its own: it stands in
// for NSImageView with independent-axes scaling, which the headless AppKit does not have yet.
class FillingImageView : public appkit::NSView {
  public:
    using NSView::NSView;
    void setImage(std::shared_ptr<appkit::NSImage> image) {
        m_image = std::move(image);
        setNeedsDisplay(true);
    }
    void drawRect(cg::CGRect) override {
        if (m_image) m_image->drawInRect(bounds());
    }

  private:
    std::shared_ptr<appkit::NSImage> m_image;
};

// A photo-like picture of the display: smooth light, edges and grain; shift moves it.
std::shared_ptr<appkit::NSImage> makePhoto(int shift) {
    auto rep = appkit::NSBitmapImageRep::initWithBitmapDataPlanes(
        nullptr, kWidth, kHeight, 8, 4, true, false, appkit::NSDeviceRGBColorSpace,
        appkit::NSBitmapFormatAlphaFirst | appkit::NSBitmapFormatThirtyTwoBitLittleEndian, kWidth * 4, 32);
    uint32_t noise = 1;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int grain = int(noise >> 28) - 8;
            const double light = 0.5 + 0.5 * std::sin((x + shift) / 170.0) * std::cos(y / 130.0);
            const bool edge = (((x + shift) / 96) + (y / 72)) % 7 == 0;
            uint8_t* p = rep->bitmapData() + (size_t(y) * kWidth + size_t(x)) * 4;
            p[0] = uint8_t(std::clamp(int(60 + 120 * light) + grain + (edge ? 50 : 0), 0, 255));
            p[1] = uint8_t(std::clamp(int(90 + 100 * light) + grain, 0, 255));
            p[2] = uint8_t(std::clamp(int(140 + 90 * light) + grain - (edge ? 40 : 0), 0, 255));
            p[3] = 255;
        }
    auto image = appkit::NSImage::initWithSize({double(kWidth), double(kHeight)});
    image->addRepresentation(rep);
    return image;
}

double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

} // namespace

int main(int argc, char** argv) {
    int frames = 300;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--frames") frames = std::max(1, std::atoi(argv[i + 1]));

    auto kernel = std::make_shared<iokit::InProcessKernel>(iokit::InProcessKernelOptions{});
    kernel->install();
    {
        auto window =
            appkit::NSWindow::make(cg::CGRectMake(0, 0, kWidth, kHeight), appkit::NSWindowStyleMaskTitled);
        window->setFrame(cg::CGRectMake(0, 0, kWidth, kHeight), false);
        auto view = std::make_shared<FillingImageView>(window->contentView()->bounds());
        view->setAutoresizingMask(appkit::NSViewWidthSizable | appkit::NSViewHeightSizable);
        window->contentView()->addSubview(view);
        const std::shared_ptr<appkit::NSImage> photos[2] = {makePhoto(0), makePhoto(7)};
        view->setImage(photos[0]);
        window->orderFront();
        if (!window->windowNumber()) {
            std::fprintf(stderr, "appkit_draw_bench: the window server did not register the window\n");
            return 1;
        }

        const uint64_t before = window->displayCount();
        std::vector<double> times;
        times.reserve(size_t(frames));
        for (int i = 0; i < frames; ++i) {
            const auto start = std::chrono::steady_clock::now();
            view->setImage(photos[(i + 1) % 2]);
            window->displayIfNeeded(); // redraws the view and flushes it
            times.push_back(seconds(std::chrono::steady_clock::now() - start));
        }
        if (window->displayCount() - before != uint64_t(frames)) {
            std::fprintf(stderr, "appkit_draw_bench: %llu redraws for %d frames\n",
                         (unsigned long long)(window->displayCount() - before), frames);
            return 1;
        }
        double total = 0;
        for (double t : times)
            total += t;
        const double mean = total / double(times.size());
        std::sort(times.begin(), times.end());
        std::printf("frames %d of %d x %d (content %g x %g), photo %d x %d scaled to fill\n", frames, kWidth,
                    kHeight, view->bounds().size.width, view->bounds().size.height, kWidth, kHeight);
        std::printf("redraw+flush: mean %.3f ms, median %.3f ms, worst %.3f ms; tick %.3f ms\n", mean * 1e3,
                    times[times.size() / 2] * 1e3, times.back() * 1e3, kTick * 1e3);
        std::printf("P7 appkit_draw_bench: ratio=%.3f goal <= 0.25\n", mean / kTick);
        window->close();
    }
    kernel->shutdown();
    return 0;
}
