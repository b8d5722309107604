// The frames road with real processes: a private platformd with both kexts, TesselHelper.app
// launched by it, and the reference client on 127.0.0.2 as the device. The test draws known
// content on the virtual display through platformctl's hooks and compares what the device
// shows with the display's composed pixels: within a tolerance, and exactly against a replay of
// the device's logged rectangles re-encoded from those pixels. Everything is waited for by
// events (the device's frames, platformd's events); the window server's counters are read
// where no event marks a change.
#include "server/tests/FramesRoadSupport.h"

#include "foundation/QNBPreferences.h"
#include "foundation/Vocabulary.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/foundation/PNG.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace server::testing;
using platformd::testing::PlatformdTest;

const std::string kHelperApp = TESSEL_HELPER_APP;

// The display's pixels of a CG global rectangle in points.
PixelRect pixelsOf(const windowserver::DisplayInfo& display, double x, double y, double w, double h) {
    const double s = display.scale;
    return {int((x - display.bounds.origin.x) * s), int((y - display.bounds.origin.y) * s), int(w * s),
            int(h * s)};
}

class FramesRoad : public PlatformdTest {
  protected:
    platform::Profile profile() const override {
        platform::Profile p;
        p.appKitVersion = appKitVersion();
        return p;
    }
    virtual double appKitVersion() const { return 1504.0; }

    void TearDown() override {
        m_devices.clear();
        PlatformdTest::TearDown();
    }

    // TesselHelper launched, a device on address invited and shown its first frame.
    FramesDevice* connect(const std::string& address = "127.0.0.2",
                          const std::function<void(refclient::Config&)>& tweak = {}) {
        if (m_helperPid == 0) {
            m_helperPid = launchHelper(kHelperApp);
            if (m_helperPid == 0) {
                ADD_FAILURE() << "TesselHelper did not finish launching\n" << helperLog();
                return nullptr;
            }
        }
        auto device = std::make_unique<FramesDevice>(m_platformd->root(), address, tweak);
        if (!device->start() || !device->invite()) {
            ADD_FAILURE() << "the device on " << address << " was not served\n" << helperLog();
            return nullptr;
        }
        m_devices.push_back(std::move(device));
        return m_devices.back().get();
    }
    void disconnect(FramesDevice& device) {
        int64_t since = lastSequence();
        device.client().stop();
        EXPECT_TRUE(waitEvent(
            "distributed-post",
            {{"name", foundation::kServerDisconnectedFromDevice}, {"userInfo.DeviceName", device.address()}},
            since));
    }
    std::string helperLog() const {
        return platformd::testing::readFile(m_platformd->root() + "/var/log/TesselHelper.log");
    }

    void blocksAndAMovedPhoto(bool streamRoad);
    void convergeAcrossASizeChange(FramesDevice& device);

    pid_t m_helperPid = 0;
    std::vector<std::unique_ptr<FramesDevice>> m_devices;
};

// ---- Pixels on both capture roads --------------------------------------------------------------

// Blocks, a photo window above them, the photo moved: each phase settles and compares.
void FramesRoad::blocksAndAMovedPhoto(bool streamRoad) {
    FramesDevice* device = connect();
    ASSERT_TRUE(device);
    auto display = device->display();
    ASSERT_TRUE(display);
    const double x0 = display->bounds.origin.x, y0 = display->bounds.origin.y;
    // The background of activation, whole.
    EXPECT_TRUE(device->settleAndCompare("activation"));

    ASSERT_TRUE(ctl({"draw", "display", hex(display->displayID), "blocks", "16"}));
    EXPECT_TRUE(device->settleAndCompare("blocks 16"));

    // Even corners off the block grid, so rectangles straddle blocks.
    ASSERT_TRUE(ctl({"draw", "--window", "photo", "--layer", "1", "rect", number(x0 + 170), number(y0 + 102),
                     "300", "200", "photo", "7"}));
    EXPECT_TRUE(device->settleAndCompare("photo", pixelsOf(*display, x0 + 170, y0 + 102, 300, 200)));

    ASSERT_TRUE(ctl({"move", "photo", number(x0 + 402), number(y0 + 290)}));
    EXPECT_TRUE(device->settleAndCompare("moved photo", pixelsOf(*display, x0 + 402, y0 + 290, 300, 200)));

    // The road the server took.
    auto counters = device->counters();
    ASSERT_TRUE(counters);
    if (streamRoad) {
        EXPECT_GT(counters->streamFrames, 0) << "the stream road delivers display stream frames";
    } else {
        EXPECT_EQ(counters->streamFrames, 0) << "the refresh road runs no display stream";
        EXPECT_GT(counters->grabs, 0) << "the refresh road grabs display images";
    }
    EXPECT_TRUE(device->client().snapshot().protocolErrors.empty());
    EXPECT_TRUE(device->pngMatchesPicture());
}

// AppKit 1504: one session takes the display stream.
TEST_F(FramesRoad, OnTheStreamRoadBlocksAndAMovedPhotoReachTheDeviceAsComposed) {
    blocksAndAMovedPhoto(true);
}

// AppKit 1505: refresh callbacks and display images.
class FramesRoadAppKit1505 : public FramesRoad {
  protected:
    double appKitVersion() const override { return 1505.0; }
};

TEST_F(FramesRoadAppKit1505, OnTheRefreshRoadBlocksAndAMovedPhotoReachTheDeviceAsComposed) {
    blocksAndAMovedPhoto(false);
}

// ---- Cursor ------------------------------------------------------------------------------------

struct GlobalCursor {
    int width = 0, height = 0;
    int hotX = 0, hotY = 0;
    std::vector<uint8_t> bgra; // premultiplied, rows packed
};

std::optional<GlobalCursor> globalCursor() {
    int32_t size = 0;
    if (cg::CGSGetGlobalCursorDataSize(cg::CGSMainConnectionID(), &size) != cg::kCGErrorSuccess || size <= 0)
        return std::nullopt;
    std::vector<uint8_t> data(static_cast<size_t>(size));
    int32_t rowBytes = 0, depth = 0, components = 0, bits = 0;
    cg::CGRect rect;
    cg::CGPoint hot;
    if (cg::CGSGetGlobalCursorData(cg::CGSMainConnectionID(), data.data(), &size, &rowBytes, &rect, &hot,
                                   &depth, &components, &bits) != cg::kCGErrorSuccess)
        return std::nullopt;
    GlobalCursor c;
    c.width = int(rect.size.width);
    c.height = int(rect.size.height);
    c.hotX = int(hot.x);
    c.hotY = int(hot.y);
    for (int y = 0; y < c.height; ++y)
        c.bgra.insert(c.bgra.end(), data.begin() + ptrdiff_t(y) * rowBytes,
                      data.begin() + ptrdiff_t(y) * rowBytes + ptrdiff_t(c.width) * 4);
    return c;
}

// The largest difference between a PNG (straight RGBA) and premultiplied BGRA, premultiplied.
int pngDifference(const std::vector<uint8_t>& pngBytes, const GlobalCursor& cursor, std::string& why) {
    platform::Error error;
    auto image = png::decode(pngBytes, &error);
    if (!image) {
        why = "undecodable PNG: " + error.localizedDescription();
        return 256;
    }
    if (int(image->width) != cursor.width || int(image->height) != cursor.height) {
        why = "PNG of " + std::to_string(image->width) + "x" + std::to_string(image->height);
        return 256;
    }
    int worst = 0;
    for (size_t i = 0; i < cursor.bgra.size(); i += 4) {
        const uint32_t a = image->rgba[i + 3];
        const int premultiplied[4] = {int((image->rgba[i + 2] * a + 127) / 255),
                                      int((image->rgba[i + 1] * a + 127) / 255),
                                      int((image->rgba[i] * a + 127) / 255), int(a)};
        for (int k = 0; k < 4; ++k)
            worst = std::max(worst, std::abs(premultiplied[k] - int(cursor.bgra[i + size_t(k)])));
    }
    return worst;
}

TEST_F(FramesRoad, CursorMovesArriveInDisplayPixelsAndTheIBeamAsAPngWithItsHotSpot) {
    FramesDevice* device = connect();
    ASSERT_TRUE(device);
    auto display = device->display();
    ASSERT_TRUE(display);
    auto& client = device->client();
    // The first frame answer brings the arrow.
    ASSERT_TRUE(device->waitFor([](const refclient::Snapshot& s) { return s.cursor.haveImage; }));
    auto arrow = globalCursor();
    ASSERT_TRUE(arrow);
    auto image = client.cursorImage();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->hotX, arrow->hotX);
    EXPECT_EQ(image->hotY, arrow->hotY);
    EXPECT_EQ(image->width, arrow->width);
    EXPECT_EQ(image->height, arrow->height);

    const double x0 = display->bounds.origin.x, y0 = display->bounds.origin.y;
    struct Move {
        double x, y;
        bool visible;
    };
    // Inside, at a fraction, then on the main display (hidden on this one, negative x).
    for (const Move& m : {Move{x0 + 100, y0 + 50, true}, Move{x0 + 333.5, y0 + 200.25, true},
                          Move{x0 - 200, y0 + 60, false}}) {
        ASSERT_TRUE(ctl({"cursor", "move", number(m.x), number(m.y)}));
        const int x = int(std::floor((m.x - arrow->hotX - x0) * display->scale));
        const int y = int(std::floor((m.y - arrow->hotY - y0) * display->scale));
        EXPECT_TRUE(device->waitFor([&](const refclient::Snapshot& s) {
            return s.cursor.haveDatagram && s.cursor.x == x && s.cursor.y == y &&
                   s.cursor.visible == m.visible;
        })) << "a move to "
            << m.x << "," << m.y << " gives " << x << "," << y << "; the device has "
            << client.snapshot().cursor.x << "," << client.snapshot().cursor.y;
    }

    // The I-beam goes out with the next frame answer, which a change brings.
    ASSERT_TRUE(ctl({"cursor", "image", "ibeam"}));
    auto ibeam = globalCursor();
    ASSERT_TRUE(ibeam);
    ASSERT_NE(ibeam->bgra, arrow->bgra);
    ASSERT_TRUE(ctl({"draw", "--window", "nudge", "rect", number(x0 + 32), number(y0 + 32), "32", "32",
                     "solid", "C03020"}));
    ASSERT_TRUE(device->waitFor([&](const refclient::Snapshot& s) {
        return s.cursor.haveImage && s.cursor.width == ibeam->width && s.cursor.height == ibeam->height;
    }));
    image = client.cursorImage();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->hotX, ibeam->hotX);
    EXPECT_EQ(image->hotY, ibeam->hotY);
    EXPECT_EQ(image->width, ibeam->width);
    EXPECT_EQ(image->height, ibeam->height);
    std::string why;
    EXPECT_LE(pngDifference(image->png, *ibeam, why), 1) << why;
    EXPECT_TRUE(client.snapshot().protocolErrors.empty());
}

// ---- Mode changes while streaming ---------------------------------------------------------------

// The window server lists HiDPI twins and the server takes the twin after activation, so the
// display has a mode list of two: 1x and the twin at scale 2.
class FramesRoadHiDPI : public FramesRoad {
  protected:
    void SetUp() override {
        FramesRoad::SetUp();
        cf::CFPreferencesSetValue(foundation::kDisplayResolutionEnabled, cf::Value(true),
                                  foundation::kWindowServerApplicationID, cf::kCFPreferencesAnyUser,
                                  cf::kCFPreferencesCurrentHost);
        cf::CFPreferencesSynchronize(foundation::kWindowServerApplicationID, cf::kCFPreferencesAnyUser,
                                     cf::kCFPreferencesCurrentHost);
        foundation::QNBPreferences::sharedAppPrefs().baseSetEnableHiDPIResolutions(true);
        foundation::QNBPreferences::sharedAppPrefs().synchronize();
    }

    // No event marks a finished mode change: the display is looked at again now and then.
    std::optional<windowserver::DisplayInfo> waitForScale(const FramesDevice& device, double scale) {
        const auto deadline = platform::now() + platform::seconds(20);
        while (platform::now() < deadline) {
            auto display = device.display();
            if (display && display->scale == scale) return display;
            platform::sleepFor(0.02);
        }
        return std::nullopt;
    }

    // The device follows its display from the twin to 1x and back, pictures and cursor.
    void followModeChanges(FramesDevice& device) {
        auto twin = waitForScale(device, 2.0);
        ASSERT_TRUE(twin) << "the server takes the twin";
        const double x0 = twin->bounds.origin.x, y0 = twin->bounds.origin.y;
        ASSERT_EQ(twin->bounds.size.width * 2, twin->pixelsWide);
        ASSERT_TRUE(ctl({"draw", "display", hex(twin->displayID), "blocks", "16"}));
        ASSERT_TRUE(ctl({"draw", "--window", "photo", "--layer", "1", "rect", number(x0 + 85),
                         number(y0 + 51), "150", "100", "photo", "11"}));
        EXPECT_TRUE(device.settleAndCompare("twin", pixelsOf(*twin, x0 + 85, y0 + 51, 150, 100)));
        // A point is two display pixels.
        ASSERT_TRUE(ctl({"cursor", "move", number(x0 + 100), number(y0 + 50)}));
        auto cursor = globalCursor();
        ASSERT_TRUE(cursor);
        EXPECT_TRUE(device.waitFor([&](const refclient::Snapshot& s) {
            return s.cursor.haveDatagram && s.cursor.x == 2 * (100 - cursor->hotX) &&
                   s.cursor.y == 2 * (50 - cursor->hotY) && s.cursor.visible;
        })) << device.client().snapshot().cursor.x
            << "," << device.client().snapshot().cursor.y;

        // To the 1x mode (the first of the list): twice the points, the same pixels.
        const uint64_t frames = device.client().snapshot().frames;
        ASSERT_TRUE(ctl({"configure", hex(twin->displayID), "mode", "0"}));
        auto plain = waitForScale(device, 1.0);
        ASSERT_TRUE(plain);
        EXPECT_EQ(plain->bounds.size.width, twin->bounds.size.width * 2);
        EXPECT_TRUE(device.waitFor([&](const refclient::Snapshot& s) { return s.frames > frames; }))
            << "frames resume after the mode change";
        EXPECT_TRUE(device.settleAndCompare("1x"));
        ASSERT_TRUE(ctl({"move", "photo", number(x0 + 500), number(y0 + 400)}));
        EXPECT_TRUE(device.settleAndCompare("1x, photo moved"));
        ASSERT_TRUE(ctl({"cursor", "move", number(x0 + 100), number(y0 + 50)}));
        EXPECT_TRUE(device.waitFor([&](const refclient::Snapshot& s) {
            return s.cursor.x == 100 - cursor->hotX && s.cursor.y == 50 - cursor->hotY;
        }));

        // And back to the twin.
        ASSERT_TRUE(ctl({"configure", hex(twin->displayID), "mode", "1"}));
        ASSERT_TRUE(waitForScale(device, 2.0));
        EXPECT_TRUE(device.settleAndCompare("twin again"));
        const auto s = device.client().snapshot();
        EXPECT_EQ(s.pictureWidth, int(twin->pixelsWide));
        EXPECT_EQ(s.pictureHeight, int(twin->pixelsHigh));
        EXPECT_TRUE(s.protocolErrors.empty());
    }
};

TEST_F(FramesRoadHiDPI, TheDeviceFollowsItsDisplaysModeChangesWhileStreaming) {
    FramesDevice* device = connect();
    ASSERT_TRUE(device);
    followModeChanges(*device);
}

TEST_F(FramesRoadHiDPI, ADeviceAnsweringNoEmptyUpdateGetsFramesAfterModeChanges) {
    FramesDevice* device = connect("127.0.0.2", [](refclient::Config& c) { c.noEmptyAnswers = true; });
    ASSERT_TRUE(device);
    followModeChanges(*device);
}

// A tablet with retina flags gets a mode list of 1024 × 768; switching retina resolutions on
// activates its display again with 2048 × 1536: the device's size changes while it streams.
void FramesRoad::convergeAcrossASizeChange(FramesDevice& device) {
    auto small = device.display();
    ASSERT_TRUE(small);
    ASSERT_EQ(small->pixelsWide, 1024u);
    ASSERT_TRUE(ctl({"draw", "display", hex(small->displayID), "blocks", "16"}));
    EXPECT_TRUE(device.settleAndCompare("1024 x 768"));

    const uint64_t resolutions = device.client().snapshot().resolutions;
    cf::CFPreferencesSetAppValue(foundation::kEnableRetinaDisplayOption, cf::Value(true),
                                 foundation::kApplicationID);
    cf::CFPreferencesAppSynchronize(foundation::kApplicationID);
    post(foundation::kPrefsDidChangeNotification);
    ASSERT_TRUE(device.waitFor([&](const refclient::Snapshot& s) {
        return s.resolutions > resolutions && s.pictureWidth == 2048 && s.pictureHeight == 1536;
    })) << device.client().snapshot().pictureWidth
        << "x" << device.client().snapshot().pictureHeight << "\n"
        << helperLog();
    auto large = device.display();
    ASSERT_TRUE(large);
    EXPECT_EQ(large->pixelsWide, 2048u);
    EXPECT_EQ(large->pixelsHigh, 1536u);
    const uint64_t frames = device.client().snapshot().frames;
    ASSERT_TRUE(
        ctl({"draw", "--window", "photo", "--layer", "1", "rect", number(large->bounds.origin.x + 1200),
             number(large->bounds.origin.y + 900), "400", "300", "photo", "5"}));
    EXPECT_TRUE(device.waitFor([&](const refclient::Snapshot& s) { return s.frames > frames; }))
        << "frames resume at the new size";
    EXPECT_TRUE(device.settleAndCompare("2048 x 1536", pixelsOf(*large, large->bounds.origin.x + 1200,
                                                                large->bounds.origin.y + 900, 400, 300)));
    EXPECT_TRUE(device.client().snapshot().protocolErrors.empty());
}

TEST_F(FramesRoad, ATabletsSizeChangeWhileStreamingConvergesAtTheNewSize) {
    FramesDevice* device = connect("127.0.0.2", [](refclient::Config& c) { c.caps.retinaFlags = 0x6; });
    ASSERT_TRUE(device);
    convergeAcrossASizeChange(*device);
}

TEST_F(FramesRoad, ATabletAnsweringNoEmptyUpdateGetsFramesAfterASizeChange) {
    FramesDevice* device = connect("127.0.0.2", [](refclient::Config& c) {
        c.caps.retinaFlags = 0x6;
        c.noEmptyAnswers = true;
    });
    ASSERT_TRUE(device);
    convergeAcrossASizeChange(*device);
}

// ---- Flow control and sessions -----------------------------------------------------------------

// Frames (updates with a picture rectangle) delivered after the device's last update request. An
// update of the cursor's image alone is no frame: the server sends one with any answer once the
// image was fed again, which a display's set-up can do at any moment of the session's start.
size_t framesAfterLastRequest(FramesDevice& device) {
    size_t frames = 0;
    bool counted = true; // the current update, once one of its rectangles is a picture
    for (const auto& line : device.client().log()) {
        if (line.find(" request-sent") != std::string::npos) {
            frames = 0;
            counted = true;
        } else if (line.find(" update count=") != std::string::npos) {
            counted = false;
        } else if (!counted && line.find(" rect ") != std::string::npos &&
                   line.find(" enc=4 ") != std::string::npos) {
            ++frames;
            counted = true;
        }
    }
    return frames;
}

TEST_F(FramesRoad, ADeviceThatStopsAskingGetsTwoFramesAndThePendingPictureWhenItAsksAgain) {
    FramesDevice* device = connect("127.0.0.2", [](refclient::Config& c) { c.stopRequestsAfterFrames = 2; });
    ASSERT_TRUE(device);
    auto display = device->display();
    ASSERT_TRUE(display);
    const double x0 = display->bounds.origin.x, y0 = display->bounds.origin.y;
    ASSERT_TRUE(ctl({"draw", "display", hex(display->displayID), "blocks", "16"}));
    ASSERT_TRUE(ctl({"draw", "--window", "box", "--layer", "1", "rect", number(x0), number(y0), "64", "64",
                     "solid", "F0F0F0"}));
    // A change at a time until the device has its two answered frames and the two it leaves unanswered.
    int step = 0;
    auto moveBox = [&] {
        ++step;
        return ctl({"move", "box", number(x0 + 64 * (step % 12)), number(y0 + 32 * (step % 7))});
    };
    while (device->client().snapshot().frames < 4 && step < 40) {
        const uint64_t frames = device->client().snapshot().frames;
        ASSERT_TRUE(moveBox());
        device->waitFor([&](const refclient::Snapshot& s) { return s.frames > frames; }, 2);
    }
    EXPECT_EQ(device->client().snapshot().frames, 4u);
    EXPECT_EQ(framesAfterLastRequest(*device), 2u);

    // Further changes reach the server but wait there as one pending picture.
    for (int i = 0; i < 3; ++i) {
        auto before = device->counters();
        ASSERT_TRUE(before);
        ASSERT_TRUE(moveBox());
        const auto deadline = platform::now() + platform::seconds(5);
        for (auto now = device->counters(); now && now->compositions == before->compositions;
             now = device->counters()) {
            ASSERT_LT(platform::now(), deadline) << "no composition";
            platform::sleepFor(0.005);
        }
        // Nothing marks "no frame": half a second after the composition stands for it.
        EXPECT_FALSE(device->waitFor([](const refclient::Snapshot& s) { return s.frames > 4; }, 0.5));
    }
    EXPECT_EQ(framesAfterLastRequest(*device), 2u);

    // One request frees one slot: the pending picture goes out. (On the stream road it holds the
    // stream's one surface, so the changes after it come as the next pending picture.)
    device->client().sendStream({0x20});
    EXPECT_TRUE(device->waitFor([](const refclient::Snapshot& s) { return s.frames == 5; }));
    device->client().sendStream({0x20});
    EXPECT_TRUE(device->settleAndCompare("after the pending pictures", std::nullopt, false));
    EXPECT_LE(device->client().snapshot().frames, 6u);
    EXPECT_TRUE(device->client().snapshot().protocolErrors.empty());
}

TEST_F(FramesRoad, OfTwoDevicesNeitherStreamsUntilOneLeaves) {
    FramesDevice* a = connect("127.0.0.2");
    ASSERT_TRUE(a);
    EXPECT_TRUE(a->settleAndCompare("alone"));
    auto alone = a->counters();
    ASSERT_TRUE(alone);
    EXPECT_GT(alone->streamFrames, 0) << "one session streams";

    FramesDevice* b = connect("127.0.0.3");
    ASSERT_TRUE(b);
    ASSERT_NE(a->displayID(), b->displayID());
    EXPECT_TRUE(a->settleAndCompare("two, a"));
    EXPECT_TRUE(b->settleAndCompare("two, b"));
    auto aBefore = a->counters(), bBefore = b->counters();
    ASSERT_TRUE(aBefore && bBefore);
    for (FramesDevice* device : {a, b}) {
        auto display = device->display();
        ASSERT_TRUE(display);
        ASSERT_TRUE(ctl({"draw", "--window", "blocks-" + device->address(), "display",
                         hex(display->displayID), "blocks", "16"}));
    }
    EXPECT_TRUE(a->settleAndCompare("two, a drawn"));
    EXPECT_TRUE(b->settleAndCompare("two, b drawn"));
    EXPECT_EQ(a->counters()->streamFrames, aBefore->streamFrames) << "two sessions: no stream";
    EXPECT_EQ(b->counters()->streamFrames, bBefore->streamFrames) << "two sessions: no stream";
    EXPECT_EQ(b->counters()->streamFrames, 0);

    disconnect(*b);
    auto display = a->display();
    ASSERT_TRUE(display);
    const auto left = a->counters();
    ASSERT_TRUE(left);
    ASSERT_TRUE(
        ctl({"draw", "--window", "photo", "--layer", "1", "rect", number(display->bounds.origin.x + 200),
             number(display->bounds.origin.y + 100), "300", "200", "photo", "3"}));
    EXPECT_TRUE(a->settleAndCompare("left alone", pixelsOf(*display, display->bounds.origin.x + 200,
                                                           display->bounds.origin.y + 100, 300, 200)));
    EXPECT_GT(a->counters()->streamFrames, left->streamFrames) << "alone again, it streams";
}

} // namespace
