// Pen strokes of the session through the HID system of an in-process kernel, whose window
// server's event system is the log; the fake clock drives click counts. One kernel serves the
// whole suite: the process's HID system connection, once open, is kept for its life.
#include "foundation/QNBPreferences.h"
#include "input/ClickTracking.h"
#include "input/PointerStylus.h"
#include "input/ScreenServerInput.h"
#include "platform/core/Clock.h"
#include "platform/corefoundation/NSUserDefaults.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/iokit/InProcessKernel.h"

#include "input/tests/PointerInputTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <thread>

using namespace input;
using namespace input::testing;
using ::testing::ElementsAre;

namespace {

class StylusInputSessionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_clock = &platform::installFakeClock();
        s_kernel = std::make_shared<iokit::InProcessKernel>();
        s_kernel->install();
    }
    static void TearDownTestSuite() {
        s_kernel->shutdown();
        s_kernel.reset();
    }
    void SetUp() override {
        char pattern[] = "/tmp/sty.XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        m_home = pattern;
        ::setenv("HOME", m_home.c_str(), 1);
        ::unsetenv("PLATFORM_ROOT");
        m_events = s_kernel->events();
        ASSERT_TRUE(m_events);
        cg::CGRect main = cg::CGDisplayBounds(cg::CGMainDisplayID());
        ASSERT_GE(main.size.width, 400);
        m_input = std::make_unique<GeometryInput>(displayAt(0, 0, main.size.width, main.size.height));
        ClickTracking::shared().reset();
        tick(10); // clear of the last test's strokes
        m_events->clearEntries();
    }
    void TearDown() override { std::system(("rm -rf " + m_home).c_str()); }

    void tick(double seconds) { s_clock->advance(platform::seconds(seconds)); }
    std::vector<std::string> posted() { return lines(*m_events); }
    std::vector<windowserver::EventRecord> hid() {
        return m_events->entries(windowserver::eventKind::hidEvent);
    }

    static inline platform::FakeClock* s_clock = nullptr;
    static inline std::shared_ptr<iokit::InProcessKernel> s_kernel;
    std::string m_home;
    std::shared_ptr<windowserver::InProcessEvents> m_events;
    std::unique_ptr<GeometryInput> m_input;
};

int64_t at(const cf::Value& dictionary, const char* key) {
    const cf::Value* value = dictionary.find(key);
    return value ? value->integerValue() : -1;
}

} // namespace

TEST_F(StylusInputSessionTest, AFullStrokeCarriesEveryHIDField) {
    m_input->receive(stylus(9, 100, 200, 0.25f, 1));
    m_input->receive(stylus(10, 110, 205, 0.5f, 1));
    m_input->receive(stylus(11, 110, 205, 0.5f, 1));
    EXPECT_THAT(posted(),
                ElementsAre("hid 24 100,200 enter", "hid 1 100,200", "hid 6 100,200", "hid 23 100,200",
                            "hid 6 110,205", "hid 23 110,205", "hid 2 110,205", "hid 24 110,205 exit"));
    auto events = hid();
    ASSERT_EQ(events.size(), 8u);
    const double p = QNBPressureCurve(0.25f, 0.5f), q = QNBPressureCurve(0.5f, 0.5f);
    ASSERT_NEAR(p, 0.4454, 1e-4);

    const cf::Value& enter = events[0].fields.at("proximity");
    EXPECT_EQ(at(enter, "vendorID"), 0xBD29);
    EXPECT_EQ(at(enter, "tabletID"), 0x100);
    EXPECT_EQ(at(enter, "vendorPointerType"), 1);
    EXPECT_EQ(at(enter, "pointerSerialNumber"), 1);
    EXPECT_EQ(at(enter, "uniqueID"), 0xBABEFACE);
    EXPECT_EQ(at(enter, "capabilityMask"), 0x447);
    EXPECT_EQ(at(enter, "pointerType"), 1);
    EXPECT_EQ(events[0].fields.at("options").integerValue(), 0);

    const cf::Value& down = events[1].fields.at("mouse");
    EXPECT_EQ(events[1].fields.at("options").integerValue(), 2);
    EXPECT_EQ(at(down, "subx"), 0);
    EXPECT_EQ(at(down, "suby"), 0);
    EXPECT_EQ(at(down, "eventNum"), 0);
    EXPECT_EQ(at(down, "click"), 1);
    EXPECT_EQ(at(down, "pressure"), static_cast<int64_t>(std::floor(p * 255)));
    EXPECT_EQ(at(down, "buttonNumber"), 0);
    EXPECT_EQ(at(down, "subType"), 1);
    const cf::Value& downTablet = *down.find("tablet");
    EXPECT_EQ(at(downTablet, "x"), 100);
    EXPECT_EQ(at(downTablet, "y"), 200);
    EXPECT_EQ(at(downTablet, "buttons"), 1);
    EXPECT_EQ(at(downTablet, "pressure"), static_cast<int64_t>(std::floor(p * 65535)));

    const cf::Value& move = events[4].fields.at("mouseMove");
    EXPECT_EQ(at(move, "dx"), 10);
    EXPECT_EQ(at(move, "dy"), 5);
    EXPECT_EQ(at(move, "subType"), 1);
    EXPECT_EQ(at(*move.find("tablet"), "pressure"), static_cast<int64_t>(std::floor(q * 65535)));
    const cf::Value& tablet = events[5].fields.at("tablet");
    EXPECT_EQ(at(tablet, "x"), 110);
    EXPECT_EQ(at(tablet, "buttons"), 1);
    EXPECT_EQ(events[5].fields.at("options").integerValue(), 0);

    const cf::Value& up = events[6].fields.at("mouse");
    EXPECT_EQ(at(up, "eventNum"), 1); // the down counted
    EXPECT_EQ(at(up, "click"), 1);
    EXPECT_EQ(at(events[7].fields.at("proximity"), "enterProximity"), 0);
    EXPECT_EQ(events[7].fields.at("buttons").integerValue(), 0);
    EXPECT_EQ(events[7].fields.at("cursorX").integerValue(), 110);

    // Again within the double-click interval and 20.0 of the end: click count 2; later, 1.
    tick(0.2);
    m_input->receive(stylus(9, 112, 205, 0.5f, 1));
    m_input->receive(stylus(11, 112, 205, 0.5f, 1));
    tick(1);
    m_input->receive(stylus(9, 112, 205, 0.5f, 1));
    events = hid();
    EXPECT_EQ(at(events[9].fields.at("mouse"), "click"), 2);
    EXPECT_EQ(at(events[9].fields.at("mouse"), "eventNum"), 1);
    ASSERT_EQ(events.size(), 18u); // a began record also takes the moved steps
    EXPECT_EQ(at(events[15].fields.at("mouse"), "click"), 1);
}

TEST_F(StylusInputSessionTest, ABarrelButtonMakesASecondaryStroke) {
    foundation::QNBPreferences::sharedAppPrefs().baseSetAction(4, 4);
    m_input->receive(stylus(9, 50, 60, 1.0f, 1 | 4));
    m_input->receive(stylus(10, 51, 60, 1.0f, 1 | 4));
    m_input->receive(stylus(11, 51, 60, 1.0f, 1 | 4));
    EXPECT_THAT(posted(), ElementsAre("hid 24 50,60 enter", "hid 3 50,60", "hid 7 50,60", "hid 23 50,60",
                                      "hid 7 51,60", "hid 23 51,60", "hid 4 51,60", "hid 24 51,60 exit"));
    EXPECT_EQ(at(hid()[1].fields.at("mouse"), "buttonNumber"), 1);
    EXPECT_EQ(at(hid()[1].fields.at("mouse"), "pressure"), 255);
    EXPECT_EQ(m_input->inputState().eventMouseButton, 1u);
}

// A began record while a stroke is open ends that stroke at the new point first (its up and
// proximity exit), then starts the new one.
TEST_F(StylusInputSessionTest, ABeganRecordWhileAStrokeIsOpenEndsItFirst) {
    m_input->receive(stylus(9, 100, 200, 0.5f, 1));
    m_input->receive(stylus(10, 110, 205, 0.5f, 1));
    m_events->clearEntries();
    m_input->receive(stylus(9, 150, 250, 0.5f, 1));
    EXPECT_THAT(posted(), ElementsAre("hid 2 150,250", "hid 24 150,250 exit", "hid 24 150,250 enter",
                                      "hid 1 150,250", "hid 6 150,250", "hid 23 150,250"));
    EXPECT_EQ(m_input->inputState().beginEventType, 1u) << "the new stroke is open";
    m_input->receive(stylus(11, 150, 250, 0.5f, 1));
}

// The tip set to middle click makes an other-button stroke with no proximity entry; the eraser
// tip (its default action) a left-button stroke whose proximity names the eraser.
TEST_F(StylusInputSessionTest, AMiddleClickStrokeAndAnEraserStroke) {
    foundation::QNBPreferences::sharedAppPrefs().baseSetAction(3, 1);
    m_input->receive(stylus(9, 40, 50, 0.5f, 1));
    m_input->receive(stylus(10, 42, 50, 0.5f, 1));
    m_input->receive(stylus(11, 42, 50, 0.5f, 1));
    EXPECT_THAT(posted(), ElementsAre("hid 25 40,50", "hid 27 40,50", "hid 23 40,50", "hid 27 42,50",
                                      "hid 23 42,50", "hid 26 42,50", "hid 24 42,50 exit"));
    EXPECT_EQ(at(hid()[0].fields.at("mouse"), "buttonNumber"), 0) << "the tip leaves the mouse button";
    EXPECT_EQ(at(hid().back().fields.at("proximity"), "pointerType"), 1);
    foundation::QNBPreferences::sharedAppPrefs().baseSetAction(2, 1);

    m_events->clearEntries();
    tick(1);
    m_input->receive(stylus(9, 60, 70, 0.5f, 2));
    m_input->receive(stylus(11, 61, 70, 0.5f, 2));
    EXPECT_THAT(posted(), ElementsAre("hid 24 60,70 enter", "hid 1 60,70", "hid 6 60,70", "hid 23 60,70",
                                      "hid 2 61,70", "hid 24 61,70 exit"));
    auto events = hid();
    EXPECT_EQ(at(events.front().fields.at("proximity"), "pointerType"), 3);
    EXPECT_EQ(at(events.back().fields.at("proximity"), "pointerType"), 3);
    EXPECT_EQ(at(*events[1].fields.at("mouse").find("tablet"), "buttons"), 2);
}

TEST_F(StylusInputSessionTest, AScrollStrokeMovesThePointerThenScrollsByItsMovement) {
    foundation::QNBPreferences::sharedAppPrefs().baseSetAction(6, 1);
    ns::NSUserDefaults::standardUserDefaults()->setBool(false, "ReverseScrollwheelEventDirection");
    m_input->receive(stylus(9, 100, 200, 0.5f, 1));
    m_input->receive(stylus(10, 110, 204, 0.5f, 1));
    m_input->receive(stylus(11, 110, 204, 0.5f, 1));
    EXPECT_THAT(posted(), ElementsAre("hid 22 100,200", "cg 5 100,200", "hid 22 100,200", "hid 23 100,200",
                                      "cg 5 100,200", "hid 22 110,204", "hid 23 110,204", "cg 22 110,204",
                                      "hid 22 110,204", "hid 24 110,204 exit"));
    auto scrollEvent = m_events->entries(windowserver::eventKind::cgEvent)[2];
    EXPECT_EQ(integerField(scrollEvent, 11), -8); // twice the movement, negated: not natural
    EXPECT_EQ(integerField(scrollEvent, 12), -20);
    EXPECT_EQ(integerField(scrollEvent, 88), 1);
    EXPECT_EQ(hid()[0].fields.at("mouse").find("tablet")->find("x")->integerValue(), 100);
}

TEST_F(StylusInputSessionTest, HoverPostsProximityAroundTabletPointMoves) {
    m_input->receive(stylus(14, 30, 40, 0, 0, 12.7f));
    m_input->receive(stylus(16, 31, 40, 0, 0, std::nanf("")));
    EXPECT_THAT(posted(), ElementsAre("hid 24 30,40 enter", "cg 5 30,40", "cg 5 31,40", "hid 24 31,40 exit"));
    auto moves = m_events->entries(windowserver::eventKind::cgEvent);
    EXPECT_EQ(integerField(moves[0], 7), 1);
    EXPECT_EQ(integerField(moves[0], 15), 30);
    EXPECT_EQ(integerField(moves[0], 16), 40);
    EXPECT_EQ(integerField(moves[0], 17), 12);
    EXPECT_EQ(integerField(moves[1], 17), 0);
}

// The connection ends mid-stroke while action 9 holds Command: the stroke's up at its start,
// the proximity exit, then Command up.
TEST_F(StylusInputSessionTest, AConnectionEndingMidStrokeReleasesTheStrokeThenTheModifiers) {
    auto& prefs = foundation::QNBPreferences::sharedAppPrefs();
    prefs.baseSetAction(9, 4);
    prefs.baseSetModifiers(0x100000, 4);
    m_input->receive(button(0, 1));
    m_input->receive(stylus(9, 100, 200, 0.5f, 1));
    m_input->receive(stylus(10, 120, 220, 0.5f, 1));
    m_events->clearEntries();
    m_input->connectionEnded();
    EXPECT_THAT(posted(), ElementsAre("hid 2 100,200", "hid 24 100,200 exit", "key 55u"));
    auto last = m_events->entries().back();
    EXPECT_EQ(last.fields.at("buttons").integerValue(), 0);
    EXPECT_EQ(last.fields.at("modifiers").integerValue(), 0);
    // The stroke is over: its late records post nothing.
    m_events->clearEntries();
    m_input->receive(stylus(10, 125, 220, 0.5f, 1));
    m_input->receive(stylus(11, 125, 220, 0.5f, 1));
    EXPECT_TRUE(posted().empty());
}

// Two sessions take datagrams on their own threads while each one's connection ends on
// another: whatever the interleaving, every down gets exactly one up.
TEST_F(StylusInputSessionTest, TwoSessionsWithRacingConnectionEndsLeaveNoButtonDown) {
    const std::vector<std::vector<uint8_t>> sequence = {
        tap(0, 10, 10),
        tap(1, 12, 10),
        tap(2, 12, 10),
        mouse(1, 20, 20),
        mouse(1, 21, 20),
        mouse(3, 22, 20),
        mouse(0, 22, 20),
        tap(3, 30, 30),
        tap(5, 30, 30),
        stylus(9, 40, 40, 0.5f, 1),
        stylus(10, 41, 40, 0.5f, 1),
        stylus(11, 41, 40, 0.5f, 1),
        mouse(2, 50, 50),
        mouse(0, 50, 50),
    };
    GeometryInput other(m_input->inputGeometry());
    std::mt19937 random(14);
    for (int round = 0; round < 25; ++round) {
        std::vector<std::thread> threads;
        for (GeometryInput* input : {m_input.get(), &other}) {
            auto handled = std::make_shared<std::atomic<size_t>>(0);
            const size_t endAfter = random() % (sequence.size() * 2);
            threads.emplace_back([input, handled, &sequence] {
                for (int repeat = 0; repeat < 2; ++repeat)
                    for (const auto& datagram : sequence) {
                        input->receive(datagram);
                        ++*handled;
                    }
            });
            threads.emplace_back([input, handled, endAfter] {
                while (*handled < endAfter)
                    std::this_thread::yield();
                input->connectionEnded();
            });
        }
        for (auto& thread : threads)
            thread.join();
    }
    std::map<std::string, int> count;
    for (const auto& e : m_events->entries()) {
        if (e.kind != windowserver::eventKind::hidEvent && e.kind != windowserver::eventKind::cgEvent)
            continue;
        std::string kind = e.kind == windowserver::eventKind::hidEvent ? "hid" : "cg";
        std::string type = std::to_string(e.fields.at("type").integerValue());
        if (type == "24")
            type += e.fields.at("proximity").find("enterProximity")->integerValue() ? "in" : "out";
        ++count[kind + type];
    }
    EXPECT_GT(count["cg1"], 0);
    EXPECT_EQ(count["cg1"], count["cg2"]);
    EXPECT_EQ(count["cg3"], count["cg4"]);
    EXPECT_EQ(count["hid1"], count["hid2"]);
    EXPECT_EQ(count["hid24in"], count["hid24out"]);
    EXPECT_EQ(m_events->entries().back().fields.at("buttons").integerValue(), 0);
}
