// Reading the system cursor: pixels from padded rows turned into RGBA with the hot spot,
// malformed cursor data refused, the invisible cursor told apart, and the cursor seed.
#include "display/NSCursorTSEPrivate.h"

#include "platform/appkit/NSCursor.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/testing/FakeWindowServer.h"

#include <gtest/gtest.h>

#include <cmath>

namespace display {

namespace {

using cg::testing::ScopedFakeWindowServer;

// Cursor data as the window server sends it: rows of rowBytes, B, G, R, A pixels, the
// padding of each row filled with 0xEE.
struct CursorData {
    CursorData() = default;
    CursorData(int64_t w, int64_t h, int64_t rows, std::optional<size_t> bytes = std::nullopt)
        : width(w), height(h), rowBytes(rows), pixelBytes(bytes) {}

    int64_t width = 5;
    int64_t height = 9;
    int64_t rowBytes = 32;
    double hotX = 3;
    double hotY = 7;
    std::optional<size_t> pixelBytes;  // default: rowBytes × height
    bool transparent = false;          // every byte 0
    std::optional<size_t> visibleByte; // then that byte 1

    cf::Bytes pixels() const {
        cf::Bytes bytes(pixelBytes.value_or(size_t(rowBytes * height)), transparent ? 0 : 0xEE);
        if (transparent) {
            if (visibleByte) bytes.at(*visibleByte) = 1;
            return bytes;
        }
        for (int64_t y = 0; y < height; ++y)
            for (int64_t x = 0; x < width; ++x) {
                const size_t at = size_t(y * rowBytes + 4 * x);
                if (at + 3 >= bytes.size()) continue;
                bytes[at] = uint8_t(10 + x);     // blue
                bytes[at + 1] = uint8_t(20 + y); // green
                bytes[at + 2] = uint8_t(100 + x + y);
                bytes[at + 3] = 0xFF;
            }
        return bytes;
    }
    cf::Value reply() const {
        return cf::Dictionary{{"status", 0},          {"width", width}, {"height", height},
                              {"rowBytes", rowBytes}, {"x", 200.0},     {"y", 300.0},
                              {"hotX", hotX},         {"hotY", hotY},   {"pixels", pixels()}};
    }
};

class NSCursorTSEPrivateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake->answer("ws.connect", cf::Dictionary{{"cid", 7}});
        fake->answer("ws.cursor", [this](const cf::Value&) {
            return std::optional<cf::Value>(cf::Dictionary{{"seed", int64_t(seed)}, {"x", 0.0}, {"y", 0.0}});
        });
    }
    void serve(const CursorData& data) { fake->answer("ws.cursorData", data.reply()); }

    platform::LogCapture log{true};
    ScopedFakeWindowServer fake;
    uint32_t seed = 1;
};

} // namespace

TEST_F(NSCursorTSEPrivateTest, PaddedRowsBecomeRGBAWithTheHotSpot) {
    CursorData data;
    serve(data);
    auto cursor = NSCursorTSEPrivate::tseCurrentSystemCursor();
    ASSERT_TRUE(cursor);
    EXPECT_EQ(cursor->hotSpot().x, 3);
    EXPECT_EQ(cursor->hotSpot().y, 7);
    EXPECT_EQ(NSCursorTSEPrivate::tseHotSpot().x, 3);
    EXPECT_EQ(NSCursorTSEPrivate::tseHotSpot().y, 7);
    EXPECT_EQ(cursor->image()->size().width, 5);
    EXPECT_EQ(cursor->image()->size().height, 9);

    auto rep = std::dynamic_pointer_cast<appkit::NSBitmapImageRep>(cursor->image()->representations().at(0));
    ASSERT_TRUE(rep);
    EXPECT_EQ(rep->pixelsWide(), 5);
    EXPECT_EQ(rep->pixelsHigh(), 9);
    EXPECT_EQ(rep->bytesPerRow(), 32);
    EXPECT_EQ(rep->bitmapFormat(), 0u);
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 5; ++x) {
            const uint8_t* p = rep->bitmapData() + y * rep->bytesPerRow() + 4 * x;
            EXPECT_EQ(p[0], 100 + x + y) << x << "," << y;
            EXPECT_EQ(p[1], 20 + y);
            EXPECT_EQ(p[2], 10 + x);
            EXPECT_EQ(p[3], 0xFF);
        }
}

TEST_F(NSCursorTSEPrivateTest, MalformedCursorDataIsRefused) {
    const std::vector<std::pair<const char*, CursorData>> cases = {
        {"rows shorter than the width", CursorData(5, 9, 16)},
        {"no width", CursorData(0, 9, 32)},
        {"negative width", CursorData(-5, 9, 32)},
        {"a side over 1024", CursorData(2000, 2, 8000)},
        {"no height", CursorData(5, 0, 32)},
        {"fewer bytes than the rows", CursorData(5, 9, 32, 100)},
        {"huge rows", CursorData(5, 9, 0x7FFFFFF0, 64)},
    };
    for (const auto& [what, data] : cases) {
        serve(data);
        EXPECT_FALSE(NSCursorTSEPrivate::tseCurrentSystemCursor()) << what;
    }
    // Whatever the facade reports, only 32-bit pixels of four 8-bit components are read.
    EXPECT_TRUE(NSCursorTSEPrivate::cursorDataIsUsable(5, 9, 20, 32, 4, 8, 180));
    EXPECT_FALSE(NSCursorTSEPrivate::cursorDataIsUsable(5, 9, 20, 24, 4, 8, 180));
    EXPECT_FALSE(NSCursorTSEPrivate::cursorDataIsUsable(5, 9, 20, 32, 3, 8, 180));
    EXPECT_FALSE(NSCursorTSEPrivate::cursorDataIsUsable(5, 9, 20, 32, 4, 16, 180));
    EXPECT_FALSE(NSCursorTSEPrivate::cursorDataIsUsable(5, 9, 20, 32, 4, 8, 179));
    EXPECT_FALSE(NSCursorTSEPrivate::cursorDataIsUsable(std::nan(""), 9, 20, 32, 4, 8, 180));
    EXPECT_FALSE(NSCursorTSEPrivate::cursorDataIsUsable(1025, 1, 4100, 32, 4, 8, 4100));
    EXPECT_TRUE(NSCursorTSEPrivate::cursorDataIsUsable(1024, 1, 4096, 32, 4, 8, 4096));
}

TEST_F(NSCursorTSEPrivateTest, FailingWindowServerGivesNoCursor) {
    fake->answer("ws.cursorData", cf::Dictionary{{"status", 1001}});
    EXPECT_FALSE(NSCursorTSEPrivate::tseCurrentSystemCursor());
}

TEST_F(NSCursorTSEPrivateTest, TheInvisibleCursorIsToldApart) {
    // The window server's invisible cursor: 16 by 16, fully transparent.
    const auto cursorOf = [&](CursorData data) {
        data.transparent = true;
        serve(data);
        return NSCursorTSEPrivate::tseCurrentSystemCursor();
    };
    auto invisible = cursorOf(CursorData(16, 16, 64));
    ASSERT_TRUE(invisible);
    EXPECT_TRUE(NSCursorTSEPrivate::isInvisible(*invisible));

    // One visible pixel, or another size, is not the invisible cursor.
    CursorData oneVisible(16, 16, 64);
    oneVisible.visibleByte = 4 * 17 + 3;
    auto almost = cursorOf(oneVisible);
    ASSERT_TRUE(almost);
    EXPECT_FALSE(NSCursorTSEPrivate::isInvisible(*almost));
    auto larger = cursorOf(CursorData(32, 32, 128));
    ASSERT_TRUE(larger);
    EXPECT_FALSE(NSCursorTSEPrivate::isInvisible(*larger));
    EXPECT_FALSE(NSCursorTSEPrivate::isInvisible(*appkit::NSCursor::arrowCursor()));
}

TEST_F(NSCursorTSEPrivateTest, TheStoredReferenceIsWhatTheImagePathWrites) {
    auto rep = appkit::NSBitmapImageRep::initWithBitmapDataPlanes(
        nullptr, 16, 16, 8, 4, true, false, appkit::NSCalibratedRGBColorSpace, 0, 0, 32);
    ASSERT_TRUE(rep);
    EXPECT_EQ(rep->representationUsingType(appkit::NSBitmapImageFileTypePNG, {}),
              NSCursorTSEPrivate::invisibleCursorReferencePNG());
}

TEST_F(NSCursorTSEPrivateTest, CursorImageUpdatedFollowsTheSeed) {
    seed = 5;
    NSCursorTSEPrivate::cursorImageUpdated(); // whatever an earlier test left
    EXPECT_FALSE(NSCursorTSEPrivate::cursorImageUpdated());
    seed = 6;
    EXPECT_TRUE(NSCursorTSEPrivate::cursorImageUpdated());
    EXPECT_FALSE(NSCursorTSEPrivate::cursorImageUpdated());
}

} // namespace display
