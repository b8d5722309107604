// What the encoder tests stand on: displays the window server describes (a scripted window
// server answering display records), display pictures from a pattern the test owns, and a
// reader of the frames a client receives.
#pragma once

#include "regions/tests/RecordingSocket.h"

#include "platform/coregraphics/CGDisplayImage.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/coregraphics/testing/FakeWindowServer.h"

#include <turbojpeg.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <thread>
#include <vector>

namespace capture::testing {

// One display: its record in global points, and its pixel size (scale 1 unless pixels differ).
struct FakeDisplay {
    cg::CGRect bounds;
    size_t pixelsWide = 0;
    size_t pixelsHigh = 0;
    uint32_t mirrorOf = 0; // the display it mirrors, if any
};

// Display records for the facade's CGDisplayBounds / CGDisplayPixelsWide.
class ScopedDisplays {
  public:
    explicit ScopedDisplays(std::map<uint32_t, FakeDisplay> displays) : m_displays(std::move(displays)) {
        fake->answer("ws.display", [this](const cf::Value& args) -> std::optional<cf::Value> {
            const cf::Value* id = args.find("display");
            auto found = id ? m_displays.find(uint32_t(id->integerValue())) : m_displays.end();
            if (found == m_displays.end()) return cf::Value::emptyDictionary();
            const FakeDisplay& d = found->second;
            cf::Value record = cf::Dictionary{{"online", true},
                                              {"x", d.bounds.origin.x},
                                              {"y", d.bounds.origin.y},
                                              {"width", d.bounds.size.width},
                                              {"height", d.bounds.size.height},
                                              {"pixelsWide", int64_t(d.pixelsWide)},
                                              {"pixelsHigh", int64_t(d.pixelsHigh)},
                                              {"mirrorOf", int64_t(d.mirrorOf)}};
            return cf::Value(cf::Dictionary{{"display", record}});
        });
    }
    cg::testing::ScopedFakeWindowServer fake;

  private:
    std::map<uint32_t, FakeDisplay> m_displays;
};

// Pixels of a pattern: byte (x + 3y + channel) of each pixel, so any offset error shows.
inline std::vector<uint8_t> patternPixels(size_t width, size_t height, size_t pitch) {
    std::vector<uint8_t> bytes(pitch * height, 0xEE);
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x)
            for (size_t c = 0; c < 4; ++c)
                bytes[y * pitch + x * 4 + c] = uint8_t(x + 3 * y + 40 * c);
    return bytes;
}

// Display pictures: whole pictures of width × height pixels per display, cut for a rect at
// the given scale (pixels per point). Counts the captures.
class FakePixelProvider : public cg::DisplayPixelProvider {
  public:
    struct Picture {
        size_t width, height;
        double scale = 1.0;
    };
    std::map<uint32_t, Picture> pictures;
    // Paints a whole picture (width, height, bytes per row); the pattern when unset.
    std::function<std::vector<uint8_t>(size_t, size_t, size_t)> painter;
    std::atomic<int> captures{0};
    std::function<cg::CGDisplayStreamRef(cg::CGDirectDisplayID, size_t, size_t,
                                         const cg::CGDisplayStreamProperties&,
                                         cg::CGDisplayStreamFrameAvailableHandler)>
        streamMaker;

    cg::CGImageRef createImage(cg::CGDirectDisplayID display, const cg::CGRect* rect) override {
        auto found = pictures.find(display);
        if (found == pictures.end()) return nullptr;
        ++captures;
        const Picture& p = found->second;
        auto whole = cg::CGImageCreate(
            p.width, p.height, 8, 32, p.width * 4, cg::kCGBitmapBGRX,
            cg::CGDataProviderCreateWithData(painter ? painter(p.width, p.height, p.width * 4)
                                                     : patternPixels(p.width, p.height, p.width * 4)));
        if (!rect) return whole;
        cg::CGRect pixels = cg::CGRectMake(rect->origin.x * p.scale, rect->origin.y * p.scale,
                                           rect->size.width * p.scale, rect->size.height * p.scale);
        return cg::CGImageCreateWithImageInRect(whole, pixels);
    }
    const void* baseAddress(cg::CGDirectDisplayID, size_t*) override { return nullptr; }
    cg::CGDisplayStreamRef createStream(cg::CGDirectDisplayID display, size_t width, size_t height, uint32_t,
                                        const cg::CGDisplayStreamProperties& properties,
                                        const dispatch::dispatch_queue_t&,
                                        cg::CGDisplayStreamFrameAvailableHandler handler) override {
        return streamMaker ? streamMaker(display, width, height, properties, std::move(handler)) : nullptr;
    }
};

class ScopedPixelProvider {
  public:
    ScopedPixelProvider() : provider(std::make_shared<FakePixelProvider>()) {
        cg::setDisplayPixelProvider(provider);
    }
    ~ScopedPixelProvider() { cg::setDisplayPixelProvider(nullptr); }
    std::shared_ptr<FakePixelProvider> provider;
};

// A list whose index past its end throws (a failure GoogleTest reports) instead of reading past
// the list, as the plain index would when a fault leaves fewer frames or records than expected.
template <typename T> struct CheckedList : std::vector<T> {
    using std::vector<T>::vector;
    T& operator[](size_t i) { return this->at(i); }
    const T& operator[](size_t i) const { return this->at(i); }
};

// One record of a received frame, with its JPEG's own size.
struct ReceivedRect {
    int16_t x, y;
    uint16_t width, height;
    uint8_t encoding;
    uint32_t length;
    int jpegWidth = 0, jpegHeight = 0;
};
struct ReceivedFrame {
    uint8_t designation;
    CheckedList<ReceivedRect> rects;
};
using ReceivedFrames = CheckedList<ReceivedFrame>;

// Reads whole updates off the stream; a cut-off update ends the reading.
inline ReceivedFrames parseFrames(const std::vector<uint8_t>& s) {
    ReceivedFrames frames;
    size_t at = 0;
    auto u16 = [&](size_t o) { return uint16_t(s[o] | s[o + 1] << 8); };
    while (at + 3 <= s.size()) {
        ReceivedFrame frame{s[at], {}};
        uint16_t count = u16(at + 1);
        size_t p = at + 3;
        bool whole = true;
        for (uint16_t i = 0; i < count && whole; ++i) {
            if (p + 13 > s.size()) {
                whole = false;
                break;
            }
            ReceivedRect r{int16_t(u16(p)), int16_t(u16(p + 2)), u16(p + 4), u16(p + 6), s[p + 8], 0};
            std::memcpy(&r.length, &s[p + 9], 4);
            p += 13;
            if (p + r.length > s.size()) {
                whole = false;
                break;
            }
            if (r.length) {
                tjhandle d = tjInitDecompress();
                int sub = 0, cs = 0;
                tjDecompressHeader3(d, &s[p], r.length, &r.jpegWidth, &r.jpegHeight, &sub, &cs);
                tjDestroy(d);
            }
            p += r.length;
            frame.rects.push_back(r);
        }
        if (!whole) break;
        frames.push_back(frame);
        at = p;
    }
    return frames;
}

// Runs until pred or a generous real-time limit; each turn lets the encoder's queues finish.
inline bool eventually(const std::function<bool()>& pred) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

} // namespace capture::testing
