// The session's pointer handlers over the in-process event system, with the fake clock.
#include "foundation/QNBPreferences.h"
#include "input/ClickTracking.h"
#include "input/ScreenServerInput.h"
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/corefoundation/NSUserDefaults.h"
#include "platform/corefoundation/Profile.h"

#include "input/tests/InProcessInputTest.h"
#include "input/tests/PointerInputTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <tuple>

using namespace input;
using namespace input::testing;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class PointerInputSessionTest : public InProcessInputTest {
  protected:
    void SetUp() override {
        m_clock = &platform::installFakeClock();
        InProcessInputTest::SetUp();
        // The main display, and the session's 1024 x 768 display beside it at (1440, 0).
        m_events->uninstall();
        m_events = std::make_shared<windowserver::InProcessEvents>(
            std::vector<cg::CGRect>{cg::CGRectMake(0, 0, 1440, 900), cg::CGRectMake(1440, 0, 1024, 768)});
        m_events->install();
        ClickTracking::shared().reset();
        m_clock->advance(platform::seconds(10)); // clear of any earlier click
    }
    void TearDown() override {
        InProcessInputTest::TearDown();
        removeMacRoot(m_root);
    }
    // A stand-in Mac of this macOS version, its home the test's.
    void boot(const char* version) {
        m_root = bootMacRoot(version);
        ASSERT_FALSE(m_root.empty());
    }
    void tick(double seconds) { m_clock->advance(platform::seconds(seconds)); }
    std::vector<std::string> posted() { return lines(*m_events); }

    platform::FakeClock* m_clock = nullptr;
    std::string m_root;
    GeometryInput m_input{displayAt(1440, 0, 1024, 768)};
};

} // namespace

TEST_F(PointerInputSessionTest, ScaleTwoAtThe1440DisplayWithClamping) {
    m_input.setGeometry(displayAt(1440, 0, 1024, 768, 2));
    m_input.receive(tap(0, 20, 40));     // floor(10, 20) + origin
    m_input.receive(tap(1, -7, 5));      // floor(-3.5) is -4: left of the display, clamped
    m_input.receive(mouse(0, 3000, -9)); // truncated (1500, -4): right of and above it
    m_input.receive(tap(3, 2047, 1535)); // the last device pixel is the last point
    m_input.receive(mouse(0, 2049, 1537));
    EXPECT_THAT(posted(),
                ElementsAre("cg 1 1450,20", "cg 6 1440,2", "cg 5 2463,0", "cg 3 2463,767", "cg 5 2463,767"));
    EXPECT_EQ(m_events->entries().back().fields.at("cursorX").integerValue(), 2463);
}

TEST_F(PointerInputSessionTest, TapAndMouseNeedTheSessionsDisplay) {
    platform::LogCapture log(true);
    m_input.setGeometry(std::nullopt);
    m_input.receive(tap(0, 1, 1));
    m_input.receive(mouse(1, 1, 1));
    m_input.setGeometry(InputGeometry{1, cg::CGRectMake(1440, 0, 0, 0), cg::CGRectMake(1440, 0, 0, 0)});
    m_input.receive(tap(0, 1, 1, 8, 0x08)); // not even its modifier keys
    m_input.setGeometry(
        InputGeometry{0, cg::CGRectMake(1440, 0, 1024, 768), cg::CGRectMake(1440, 0, 1024, 768)});
    m_input.receive(mouse(1, 1, 1));
    EXPECT_THAT(posted(), IsEmpty());
    EXPECT_EQ(log.count("Dropping a datagram of type 2: the session has no display"), 2u);
    EXPECT_EQ(log.count("Dropping a datagram of type 6: the session has no display"), 2u);
    EXPECT_EQ(m_input.savedMouseFlags(), 0);
    // A scroll datagram acts at the pointer and needs no display.
    m_input.receive(scroll(0, 1));
    EXPECT_EQ(posted().size(), 1u);
}

TEST_F(PointerInputSessionTest, ShortDatagramsReachNoHandler) {
    platform::LogCapture log(true);
    m_input.receive({2, 0, 1, 0, 1});
    m_input.receive({6, 1, 0, 0, 0});
    m_input.receive(std::vector<uint8_t>(12, 7));
    m_input.receive({16, 0});
    m_input.receive({3, 0, 0, 0, 0, 0x61, 0, 0});
    EXPECT_THAT(posted(), IsEmpty());
    for (const char* text : {"type 2 and length 5", "type 6 and length 5", "type 7 and length 12",
                             "type 16 and length 2", "type 3 and length 8"})
        EXPECT_TRUE(log.contains(std::string("Dropping a datagram of ") + text)) << text;
    // Window and menu requests are dropped whatever their length.
    m_input.receive(std::vector<uint8_t>(17, 5));
    m_input.receive({8});
    EXPECT_THAT(posted(), IsEmpty());
}

TEST_F(PointerInputSessionTest, TapModifiersBracketTheTapOnlyIn8And51ByteForms) {
    m_input.receive(tap(0, 10, 20, 8, 0x08));
    m_input.receive(tap(2, 10, 20, 6));
    m_input.receive(tap(12, 10, 20, 51, 0x22)); // no such tap type: the keys still go
    m_input.receive(tap(2, 10, 20, 7, 0x08));   // an odd length reads as the 6-byte form
    EXPECT_THAT(posted(), ElementsAre("key 55d", "cg 1 1450,20", "key 55u", "cg 2 1450,20 click=1", "key 59d",
                                      "key 56d", "key 59u", "key 56u", "cg 2 1450,20 click=2"));
}

TEST_F(PointerInputSessionTest, TapClickStatesAndTheUpMovedOntoItsDown) {
    m_input.receive(tap(0, 100, 100));
    tick(0.1);
    m_input.receive(tap(1, 103, 104));
    m_input.receive(tap(2, 103, 104)); // 5.0 away within 0.2 s: onto the down point, one click
    tick(0.2);
    m_input.receive(tap(0, 110, 100));
    tick(0.1);
    m_input.receive(tap(2, 110, 100));
    tick(0.8); // past the double-click interval
    m_input.receive(tap(0, 110, 100));
    EXPECT_THAT(posted(), ElementsAre("cg 1 1540,100", "cg 6 1543,104", "cg 2 1540,100 click=1",
                                      "cg 1 1550,100 click=2", "cg 2 1550,100 click=2", "cg 1 1550,100"));
}

TEST_F(PointerInputSessionTest, MouseButtonsDragsMovesAndClickStates) {
    m_input.receive(mouse(1, 10, 10));
    tick(0.1);
    m_input.receive(mouse(0, 10, 10)); // within 0.2 s: one click, and one move
    tick(0.1);
    m_input.receive(mouse(1, 10, 10)); // within the double-click interval of the up
    m_input.receive(mouse(3, 12, 10));
    m_input.receive(mouse(2, 12, 10));
    m_input.receive(mouse(0, 12, 10));
    tick(1);
    m_input.receive(mouse(0, 13, 10));
    m_input.receive(mouse(4, 14, 10));
    EXPECT_THAT(posted(),
                ElementsAre("cg 1 1450,10", "cg 2 1450,10 click=1", "cg 5 1450,10", "cg 1 1450,10 click=2",
                            "cg 6 1452,10", "cg 3 1452,10", "cg 2 1452,10 click=2", "cg 7 1452,10",
                            "cg 5 1452,10", "cg 4 1452,10 click=1", "cg 5 1453,10"));
    auto entries = m_events->entries();
    EXPECT_EQ(integerField(entries[7], 3), 1); // the right drag names button 1
    EXPECT_EQ(m_input.savedMouseFlags(), 4);
}

// A contextual tap is a right-button stroke: down, dragged, up, each at its point (truncated),
// each timestamped with its time, none with a click state.
TEST_F(PointerInputSessionTest, ContextualTapsAreRightButtonStrokesEachWithItsTime) {
    std::vector<uint64_t> times;
    for (auto [type, x, y] : {std::tuple{3, 100, 100}, {4, 110, 104}, {4, 120, 108}, {5, 120, 108}}) {
        tick(0.05);
        times.push_back(platform::machAbsoluteTime());
        m_input.receive(tap(type, x, y));
    }
    EXPECT_THAT(posted(), ElementsAre("cg 3 1540,100", "cg 7 1550,104", "cg 7 1560,108", "cg 4 1560,108"));
    auto entries = m_events->entries();
    ASSERT_EQ(entries.size(), times.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_TRUE(*entries[i].fields.at("timestampSet").asBool()) << i;
        EXPECT_EQ(uint64_t(entries[i].fields.at("timestamp").integerValue()), times[i]) << i;
        EXPECT_EQ(integerField(entries[i], 3), 1) << "the right button, " << i;
    }
}

// The Quartz form of the proximity event carries the HID record's tablet, at the point or at
// the given event's location.
TEST_F(PointerInputSessionTest, QuartzProximityEventsCarryTheTabletsFields) {
    m_input.postProximityEventWithPoint(cg::CGPointMake(1500, 20), true, 3);
    m_input.postProximityEventWithCGEvent(cg::CGEventCreateMouseEvent(nullptr, cg::kCGEventMouseMoved,
                                                                      cg::CGPointMake(1600, 30),
                                                                      cg::kCGMouseButtonLeft),
                                          false, 1);
    EXPECT_THAT(posted(), ElementsAre("cg 24 1500,20", "cg 24 1600,30"));
    auto entries = m_events->entries();
    ASSERT_EQ(entries.size(), 2u);
    const std::pair<int, int64_t> entering[] = {
        {33, 3}, {37, 3}, {7, 2}, {34, 1}, {35, 0xBABEFACE}, {28, 0xBD29}, {29, 0x100}, {36, 0x447}, {38, 1}};
    for (auto [field, value] : entering)
        EXPECT_EQ(integerField(entries[0], field), value) << field;
    EXPECT_EQ(integerField(entries[1], 38), 0);
    EXPECT_EQ(integerField(entries[1], 33), 1);
    EXPECT_EQ(integerField(entries[1], 37), 1);
    EXPECT_EQ(integerField(entries[1], 35), 0xBABEFACE);
}

TEST_F(PointerInputSessionTest, ScrollDirectionOnSnowLeopardAndSierraWithBothKeys) {
    struct Case {
        const char* version;
        std::optional<bool> swipe, reverse;
        int wheel1; // of a scroll datagram with vertical 3.7
    };
    const Case cases[] = {
        {"10.12.6", std::nullopt, std::nullopt, 6},
        {"10.12.6", false, true, -6},
        {"10.12.6", true, false, 6},
        {"10.12.6", std::nullopt, false, -6},
        {"10.6.8", std::nullopt, std::nullopt, -6},
        {"10.6.8", true, std::nullopt, -6},
        {"10.6.8", false, true, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.version) + " swipe " + (c.swipe ? std::to_string(*c.swipe) : "-") +
                     " reverse " + (c.reverse ? std::to_string(*c.reverse) : "-"));
        boot(c.version);
        if (c.swipe) {
            cf::CFPreferencesSetAppValue("com.apple.swipescrolldirection", cf::Value(*c.swipe),
                                         cf::kCFPreferencesAnyApplication);
            cf::CFPreferencesAppSynchronize(cf::kCFPreferencesAnyApplication);
        }
        if (c.reverse)
            ns::NSUserDefaults::standardUserDefaults()->setBool(*c.reverse,
                                                                "ReverseScrollwheelEventDirection");
        m_events->clearEntries();
        m_input.receive(scroll(0, 3.7f));
        m_input.receive(tap(7, 3, -2)); // a scroll-wheel tap's deltas, doubled
        auto events = m_events->entries(windowserver::eventKind::cgEvent);
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(integerField(events[0], 11), c.wheel1);
        const int sign = c.wheel1 > 0 ? 1 : -1;
        EXPECT_EQ(integerField(events[1], 11), -4 * sign);
        EXPECT_EQ(integerField(events[1], 12), 6 * sign);
        EXPECT_EQ(integerField(events[1], 88), 1);
        std::system(("rm -rf " + m_root).c_str());
    }
}

TEST_F(PointerInputSessionTest, ScrollWheelTapsMoveThePointerAndCarryHeldModifiers) {
    auto& prefs = foundation::QNBPreferences::sharedAppPrefs();
    prefs.baseSetAction(9, 4);
    prefs.baseSetModifiers(0x100000 | 0x20000, 4);
    m_input.receive(tap(6, 30, 40));
    m_input.receive(button(0, 1));
    m_input.receive(tap(7, 0, 1));
    m_input.receive(button(0, 0));
    m_input.receive(tap(7, 0, 1));
    m_input.receive(tap(8, 0, 1));
    auto events = m_events->entries(windowserver::eventKind::cgEvent);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(line(events[0]), "cg 5 1470,40");
    EXPECT_EQ(events[1].fields.at("flags").integerValue() & 0x120000, 0x120000);
    EXPECT_EQ(events[2].fields.at("flags").integerValue() & 0x120000, 0);
    EXPECT_EQ(m_input.inputState().mScrollLocation.x, 1470);
    // Without moving the pointer the began phase stores nothing.
    ns::NSUserDefaults::standardUserDefaults()->setBool(true, "DontMoveMousePositionForScrollwheelEvent");
    m_events->clearEntries();
    m_input.receive(tap(6, 90, 90));
    EXPECT_THAT(posted(), IsEmpty());
    EXPECT_EQ(m_input.inputState().mScrollLocation.x, 1470);
}

TEST_F(PointerInputSessionTest, ButtonActionsSevenToTenThroughTheSession) {
    platform::LogCapture log(true);
    auto& prefs = foundation::QNBPreferences::sharedAppPrefs();
    prefs.baseSetAction(7, 4);
    prefs.baseSetAction(9, 8);
    prefs.baseSetModifiers(0x40000, 8);
    m_input.receive(button(0, 1));
    m_input.receive(button(0, 0));
    m_input.receive(button(1, 1));
    EXPECT_EQ(m_input.eventModifiers(), 0x40000u);
    m_input.receive(button(1, 0));
    EXPECT_EQ(m_input.eventModifiers(), 0u);
    m_input.receive(button(62, 1));
    EXPECT_EQ(log.count("Dropping the action of button 62"), 1u);
    EXPECT_THAT(posted(), ElementsAre("key 6d", "key 6u", "key 59d", "key 59u"));
}

// Both barrel buttons hold modifiers and are down when the connection ends: every key either
// pressed goes up, each once.
TEST_F(PointerInputSessionTest, TheEndOfAConnectionReleasesTheModifiersOfEveryHeldButton) {
    auto& prefs = foundation::QNBPreferences::sharedAppPrefs();
    prefs.baseSetAction(9, 4);
    prefs.baseSetModifiers(0x100000 | 0x40000, 4); // Command and Control
    prefs.baseSetAction(9, 8);
    prefs.baseSetModifiers(0x100000 | 0x20000, 8); // Command and Shift
    m_input.receive(button(0, 1));
    m_input.receive(button(1, 1));
    m_events->clearEntries();
    m_input.connectionEnded();
    EXPECT_THAT(posted(), ElementsAre("key 59u", "key 55u", "key 56u"));
    m_events->clearEntries();
    m_input.connectionEnded();
    EXPECT_TRUE(posted().empty()) << "nothing is held any more";
}

// The end of a connection lets go of what the session's posts hold: buttons at the pointer,
// then the held modifier keys. A tap's up that comes after it posts no second up.
TEST_F(PointerInputSessionTest, TheEndOfAConnectionReleasesWhatIsHeld) {
    auto& prefs = foundation::QNBPreferences::sharedAppPrefs();
    prefs.baseSetAction(9, 4);
    prefs.baseSetModifiers(0x100000, 4);
    m_input.receive(button(0, 1));
    m_input.receive(mouse(2, 50, 60));
    m_input.receive(tap(0, 70, 80));
    m_events->clearEntries();
    m_input.connectionEnded();
    EXPECT_THAT(posted(), ElementsAre("cg 2 1510,80", "cg 4 1510,80", "key 55u"));
    auto last = m_events->entries().back();
    EXPECT_EQ(last.fields.at("buttons").integerValue(), 0);
    EXPECT_EQ(last.fields.at("modifiers").integerValue(), 0);
    EXPECT_EQ(m_input.savedMouseFlags(), 0);
    EXPECT_EQ(m_input.eventModifiers(), 0u);
    m_events->clearEntries();
    m_input.receive(tap(1, 71, 80));
    m_input.receive(tap(2, 71, 80));
    m_input.receive(mouse(0, 50, 60));
    m_input.connectionEnded(); // nothing is held any more
    m_input.receive(tap(0, 70, 80));
    m_input.receive(tap(2, 70, 80));
    EXPECT_THAT(posted(), ElementsAre("cg 5 1490,60", "cg 1 1510,80", "cg 2 1510,80 click=1"));
}
