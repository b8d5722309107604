#include "input/ClickTracking.h"
#include "input/InputDatagrams.h"
#include "input/PointerStylus.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/corefoundation/NSUserDefaults.h"
#include "platform/corefoundation/Profile.h"

#include "input/tests/PointerInputTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

using namespace input;

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> out;
    for (int b : list)
        out.push_back(static_cast<uint8_t>(b));
    return out;
}

void putFloat(std::vector<uint8_t>& d, size_t at, float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    for (int i = 0; i < 4; ++i)
        d[at + i] = static_cast<uint8_t>(bits >> (8 * i));
}

} // namespace

TEST(PointerInputTest, ShortDatagramsAreDroppedWithTypeAndLength) {
    platform::LogCapture log(true);
    EXPECT_FALSE(QNScrollMsgFromDatagram(std::vector<uint8_t>(12, 7)));
    EXPECT_FALSE(QNMouseMsgFromDatagram(bytes({6, 1, 0, 0, 0})));
    EXPECT_FALSE(QNButtonMsgFromDatagram(bytes({16, 0})));
    EXPECT_FALSE(QNTapMsgFromDatagram(bytes({2, 0, 1, 0, 2})));
    EXPECT_FALSE(QNTapMsgFromDatagram({}));
    EXPECT_TRUE(log.contains("Dropping a datagram of type 7 and length 12"));
    EXPECT_TRUE(log.contains("Dropping a datagram of type 2 and length 5"));
    EXPECT_EQ(log.count("Dropping a datagram"), 4u);
    auto mouse = QNMouseMsgFromDatagram(bytes({6, 3, 0x10, 0x27, 0xFF, 0xFF}));
    ASSERT_TRUE(mouse);
    EXPECT_EQ(mouse->x, 10000);
    EXPECT_EQ(mouse->y, -1);
    auto button = QNButtonMsgFromDatagram(bytes({16, 1, 0xFF}));
    EXPECT_EQ(button->pressed, -1);
}

TEST(PointerInputTest, OnlyTapsOf8Or51BytesCarryModifiers) {
    auto six = QNTapMsgFromDatagram(bytes({2, 0, 10, 0, 20, 0}));
    ASSERT_TRUE(six);
    EXPECT_FALSE(six->carriesModifiers);
    EXPECT_EQ(six->message.tap.y, 20);
    auto seven = QNTapMsgFromDatagram(bytes({2, 0, 10, 0, 20, 0, 8}));
    EXPECT_FALSE(seven->carriesModifiers);
    EXPECT_EQ(seven->message.tap.modifierFlags, 0);
    auto eight = QNTapMsgFromDatagram(bytes({2, 1, 10, 0, 20, 0, 8, 0}));
    EXPECT_TRUE(eight->carriesModifiers);
    EXPECT_EQ(eight->message.tap.modifierFlags, 8);
    std::vector<uint8_t> stylus(51, 0);
    stylus[0] = 2;
    stylus[1] = 9;
    stylus[6] = 0x20;
    putFloat(stylus, 9, 0.5f);
    putFloat(stylus, 13, 12.5f);
    stylus[33] = 5;
    auto s = QNTapMsgFromDatagram(stylus);
    EXPECT_TRUE(s->carriesModifiers);
    EXPECT_EQ(s->message.pressure, 0.5f);
    EXPECT_EQ(s->message.hoverHeight, 12.5f);
    EXPECT_EQ(s->message.buttons, 5);
    stylus.resize(50); // not the stylus form: read as the short form
    auto fifty = QNTapMsgFromDatagram(stylus);
    EXPECT_FALSE(fifty->carriesModifiers);
    EXPECT_EQ(fifty->message.pressure, 0.0f);
}

TEST(PointerInputTest, ScrollValuesCutDoubleAndRefuseNonsense) {
    EXPECT_EQ(scrollWheelValueForAmount(3.7f, true), 6);
    EXPECT_EQ(scrollWheelValueForAmount(3.7f, false), -6);
    EXPECT_EQ(scrollWheelValueForAmount(40000.0f, true), -51072); // cut to 16 bits, then doubled
    EXPECT_EQ(scrollWheelValueForDelta(40000, true), 14464);      // doubled, then cut
    EXPECT_EQ(scrollWheelValueForDelta(-2, true), -4);
    EXPECT_EQ(scrollWheelValueForDelta(3, false), -6);
    for (float nonsense : {NAN, INFINITY, -INFINITY, 3e9f, -2147483648.0f})
        EXPECT_EQ(scrollWheelValueForAmount(nonsense, false), 0) << nonsense;
}

TEST(PointerInputTest, PhasesNamesAndHIDLocations) {
    const uint32_t phases[] = {1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3, 0, 0, 1, 2, 3, 0};
    for (uint32_t t = 0; t < 18; ++t)
        EXPECT_EQ(EventPhaseForTapType(t), phases[t]) << t;
    EXPECT_EQ(EventPhaseForTapType(200), 0u);
    EXPECT_EQ(NSStringFromCGEventType(27), "kCGEventOtherMouseDragged");
    EXPECT_EQ(NSStringFromCGEventType(8), "unknown/invalid");
    EXPECT_EQ(NSStringFromQNBEventPhase(4), "QNBEventPhaseCancelled");
    EXPECT_EQ(NSStringFromPointerType(3), "NX_TABLET_POINTER_ERASER");
    EXPECT_EQ(NSStringFromCGEventMouseSubtype(2), "kCGEventMouseSubtypeTabletProximity");
    auto at = HIDLocationForPoint(cg::CGPointMake(1450.7, -0.5));
    EXPECT_EQ(at.x, 1450);
    EXPECT_EQ(at.y, -1);
    at = HIDLocationForPoint(cg::CGPointMake(1e9, -1e9));
    EXPECT_EQ(at.x, 32767);
    EXPECT_EQ(at.y, -32768);
    EXPECT_EQ(HIDLocationForPoint(cg::CGPointMake(NAN, 3)).x, 0);
    EXPECT_EQ(hoverHeightFieldValue(12.9f), 12);
    EXPECT_EQ(hoverHeightFieldValue(1e20f), INT32_MAX);
    EXPECT_EQ(hoverHeightFieldValue(NAN), 0);
}

namespace {

class ScrollDirectionTest : public ::testing::Test {
  protected:
    void boot(const char* version) {
        m_root = input::testing::bootMacRoot(version);
        ASSERT_FALSE(m_root.empty());
    }
    void TearDown() override { input::testing::removeMacRoot(m_root); }
    void set(const char* key, bool value, bool global) {
        if (global) {
            cf::CFPreferencesSetAppValue(key, cf::Value(value), cf::kCFPreferencesAnyApplication);
            cf::CFPreferencesAppSynchronize(cf::kCFPreferencesAnyApplication);
        } else {
            ns::NSUserDefaults::standardUserDefaults()->setBool(value, key);
        }
    }
    std::string m_root;
};

} // namespace

TEST_F(ScrollDirectionTest, OnSierraTheSystemSettingWinsOverOurOwnKey) {
    boot("10.12.6");
    EXPECT_TRUE(scrollDirectionIsNatural());
    set("ReverseScrollwheelEventDirection", false, false);
    EXPECT_FALSE(scrollDirectionIsNatural());
    set("com.apple.swipescrolldirection", true, true);
    EXPECT_TRUE(scrollDirectionIsNatural());
    set("com.apple.swipescrolldirection", false, true);
    set("ReverseScrollwheelEventDirection", true, false);
    EXPECT_FALSE(scrollDirectionIsNatural());
}

TEST_F(ScrollDirectionTest, OnSnowLeopardOnlyOurOwnKeyCounts) {
    boot("10.6.8");
    EXPECT_FALSE(scrollDirectionIsNatural());
    set("com.apple.swipescrolldirection", true, true);
    EXPECT_FALSE(scrollDirectionIsNatural());
    set("ReverseScrollwheelEventDirection", true, false);
    EXPECT_TRUE(scrollDirectionIsNatural());
}

TEST(StylusInputTest, PressureCurveAndItsClamps) {
    EXPECT_NEAR(QNBPressureCurve(0.25f, 0.5f), 0.4454, 1e-4);
    EXPECT_NEAR(QNBPressureCurve(0.25f, 0.6f), 0.0625, 1e-4);
    EXPECT_DOUBLE_EQ(QNBPressureCurve(0.5f, 1.0f), 0.015625);
    EXPECT_NEAR(QNBPressureCurve(0.25f, 0.0f), 0.7937, 1e-4);
    EXPECT_EQ(QNBPressureCurve(0.0f, 0.5f), 0.0);
    EXPECT_EQ(QNBPressureCurve(NAN, 0.5f), 0.0);
    EXPECT_EQ(QNBPressureCurve(-0.5f, 0.0f), 0.0);
    EXPECT_EQ(QNBPressureCurve(7.0f, 0.5f), 1.0);
    EXPECT_EQ(QNBPressureCurve(0.5f, NAN), 0.0); // a NaN exponent bends nothing into range
    auto data =
        mouseTabletPointEventData(cg::CGPointMake(10.5, 20.25), QNBPressureCurve(9.0f, 1.0f), 1, 3, 2, 1);
    EXPECT_EQ(data.mouse.pressure, 255);
    EXPECT_EQ(data.mouse.tablet.pressure, 65535);
}

TEST(StylusInputTest, ActionsTheirEventsButtonsAndPointers) {
    const uint32_t types[][3] = {{1, 6, 2}, {1, 6, 2}, {1, 6, 2},   {25, 27, 26},
                                 {3, 7, 4}, {5, 5, 5}, {22, 22, 22}};
    for (uint64_t action = 0; action <= 6; ++action)
        for (uint32_t phase = 1; phase <= 3; ++phase)
            EXPECT_EQ(EventTypeForAction(action, phase), types[action][phase - 1]) << action << "/" << phase;
    EXPECT_EQ(EventTypeForAction(4, 4), 4u);
    EXPECT_EQ(EventTypeForAction(2, 0), 0u);
    EXPECT_EQ(EventTypeForAction(6, 0), 22u);
    EXPECT_EQ(MouseButtonForAction(3), 2u);
    EXPECT_EQ(MouseButtonForAction(4), 1u);
    EXPECT_EQ(MouseButtonForAction(9), 0u);
    const uint64_t pointers[] = {0, 3, 1, 1, 1, 2, 2, 2, 2, 2, 2, 0};
    for (uint64_t action = 0; action <= 11; ++action)
        EXPECT_EQ(PointerTypeForAction(action), pointers[action]) << action;
    EXPECT_EQ(PointerTypeForAction(20), 1u);
    EXPECT_EQ(PointerTypeForAction(21), 0u);
}

TEST(StylusInputTest, TheStrokeActionComesFromBarrelsThenTipsThenTheFinger) {
    std::map<uint64_t, uint64_t> prefs{{1, 2}, {2, 1}, {4, 1}, {8, 4}, {0x8000, 2}};
    auto actions = [&](uint64_t mask) { return prefs.count(mask) ? prefs[mask] : 2; };
    uint32_t button = 7;
    EXPECT_EQ(stylusActionForButtons(1, actions, button), 2u);
    EXPECT_EQ(button, 7u); // the tip leaves the mouse button as it was
    prefs[4] = 4;
    EXPECT_EQ(stylusActionForButtons(1 | 4, actions, button), 4u);
    EXPECT_EQ(button, 1u);
    for (uint64_t ignored : {10, 20}) {
        prefs[4] = ignored;
        button = 0;
        EXPECT_EQ(stylusActionForButtons(1 | 4, actions, button), 2u);
    }
    prefs[4] = 9; // custom modifier: the tip still decides
    EXPECT_EQ(stylusActionForButtons(1 | 4, actions, button), 2u);
    prefs[8] = 3;
    EXPECT_EQ(stylusActionForButtons(4 | 8, actions, button), 3u); // top wins over bottom
    prefs[1] = 20;
    prefs[0x8000] = 5;
    EXPECT_EQ(stylusActionForButtons(1, actions, button), 5u);     // a disabled tip: the finger decides
    EXPECT_EQ(stylusActionForButtons(1 | 2, actions, button), 1u); // the eraser when the tip is disabled
}

TEST(StylusInputTest, HIDRecordsCarryEveryField) {
    auto m = mouseTabletPointEventData(cg::CGPointMake(1450.5, 20.75), 0.5, 5, 9, 2, 1);
    EXPECT_EQ(m.mouse.subx, 128);
    EXPECT_EQ(m.mouse.suby, 192);
    EXPECT_EQ(m.mouse.eventNum, 9);
    EXPECT_EQ(m.mouse.click, 2);
    EXPECT_EQ(m.mouse.pressure, 127);
    EXPECT_EQ(m.mouse.buttonNumber, 1);
    EXPECT_EQ(m.mouse.subType, 1);
    EXPECT_EQ(m.mouse.tablet.x, 1450);
    EXPECT_EQ(m.mouse.tablet.y, 20);
    EXPECT_EQ(m.mouse.tablet.buttons, 5);
    EXPECT_EQ(m.mouse.tablet.pressure, 32767);
    auto move = mouseMoveEventData(cg::CGPointMake(10, 10), cg::CGPointMake(12.5, 8), 1.0, 1);
    EXPECT_EQ(move.mouseMove.dx, -3);
    EXPECT_EQ(move.mouseMove.dy, 2);
    EXPECT_EQ(move.mouseMove.subType, 1);
    EXPECT_EQ(move.mouseMove.tablet.pressure, 65535);
    auto tablet = tabletPointEventData(cg::CGPointMake(-0.5, 3.9), 0.25, 1);
    EXPECT_EQ(tablet.tablet.x, -1);
    EXPECT_EQ(tablet.tablet.y, 3);
    EXPECT_EQ(tablet.tablet.pressure, 16383);
    auto p = proximityEventData(true, 1);
    EXPECT_EQ(p.proximity.vendorID, 0xBD29);
    EXPECT_EQ(p.proximity.tabletID, 0x100);
    EXPECT_EQ(p.proximity.vendorPointerType, 1);
    EXPECT_EQ(p.proximity.pointerSerialNumber, 1u);
    EXPECT_EQ(p.proximity.uniqueID, 0xBABEFACEu);
    EXPECT_EQ(p.proximity.capabilityMask, 0x447u);
    EXPECT_EQ(p.proximity.pointerType, 1);
    EXPECT_EQ(p.proximity.enterProximity, 1);
    EXPECT_EQ(proximityEventData(false, 3).proximity.enterProximity, 0);
}

TEST(PointerInputTest, ConvertedPointsStayOnTheSessionsDisplay) {
    InputGeometry g{2.0, cg::CGRectMake(1440, 0, 1024, 768), cg::CGRectMake(1440, 0, 1024, 768)};
    auto p = convertClientPoint(g, 20, 40, PointRounding::Floor);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->x, 1450);
    EXPECT_EQ(p->y, 20);
    p = convertClientPoint(g, 5000, -10, PointRounding::Truncate);
    EXPECT_EQ(p->x, 2463); // the frame is half-open: its last column
    EXPECT_EQ(p->y, 0);
    InputGeometry wide{2.0, cg::CGRectMake(100, 0, 400, 300), cg::CGRectMake(0, 0, 600, 300)};
    EXPECT_EQ(convertClientPoint(wide, -3, 0, PointRounding::Truncate)->x, 99);
    EXPECT_EQ(convertClientPoint(wide, -3, 0, PointRounding::Floor)->x, 98);
    EXPECT_FALSE(convertClientPoint(std::nullopt, 1, 1, PointRounding::Floor));
    EXPECT_FALSE(
        convertClientPoint(InputGeometry{2.0, {}, cg::CGRectMake(0, 0, 0, 10)}, 1, 1, PointRounding::Floor));
    EXPECT_FALSE(convertClientPoint(InputGeometry{0.0, {}, g.frame}, 1, 1, PointRounding::Floor));
    EXPECT_FALSE(convertClientPoint(InputGeometry{NAN, {}, g.frame}, 1, 1, PointRounding::Floor));
}

TEST(PointerInputTest, MouseClickStates) {
    ClickTracking clicks;
    const uint64_t t0 = 100'000'000'000;
    EXPECT_FALSE(clicks.mouseButtonChanged(0, true, t0));
    EXPECT_EQ(clicks.mouseButtonChanged(0, false, t0 + 150'000'000), 1); // within 0.2 s of its down
    EXPECT_EQ(clicks.mouseButtonChanged(0, true, t0 + 400'000'000), 2);  // within the double-click interval
    EXPECT_FALSE(
        clicks.mouseButtonChanged(1, true, t0 + 400'000'000)); // the right button keeps its own times
    EXPECT_FALSE(clicks.mouseButtonChanged(1, false, t0 + 900'000'000));
    EXPECT_FALSE(clicks.mouseButtonChanged(2, true, t0));
}

TEST(PointerInputTest, TapClickStatesAndTheUpMovedOntoItsDown) {
    ClickTracking clicks;
    const uint64_t t0 = 100'000'000'000;
    auto down = clicks.tapChanged(true, cg::CGPointMake(100, 100), t0);
    EXPECT_FALSE(down.clickState);
    auto up = clicks.tapChanged(false, cg::CGPointMake(103, 104), t0 + 100'000'000);
    EXPECT_EQ(up.clickState, 1);
    EXPECT_EQ(up.location.x, 100);
    auto second = clicks.tapChanged(true, cg::CGPointMake(110, 100), t0 + 300'000'000);
    EXPECT_EQ(second.clickState, 2); // within 20 of the last up (its converted point)
    EXPECT_EQ(clicks.tapChanged(false, cg::CGPointMake(111, 100), t0 + 350'000'000).clickState, 2);
    auto far = clicks.tapChanged(true, cg::CGPointMake(300, 300), t0 + 400'000'000);
    EXPECT_FALSE(far.clickState);
    auto late = clicks.tapChanged(false, cg::CGPointMake(300, 300), t0 + 700'000'000);
    EXPECT_FALSE(late.clickState); // 0.3 s after its down, and the last up is far away
}
