// The event system inside a private platformd, reached by this process's facades over the
// socket and by platformctl's input verbs, and by input_replay, the session's input handlers
// on a virtual display.
#include "platform/coregraphics/CGEvent.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/iokit/IOHIDLib.h"
#include "platform/iokit/tests/FramebufferHelperProcess.h"
#include "tools/refclient/Datagrams.h"

#include <gtest/gtest.h>

#include <unistd.h>

using platformd::testing::PrivatePlatformd;
using platformd::testing::runProgram;

namespace {

class InputEventsTest : public platformd::testing::PlatformdTest {
  protected:
    platformd::testing::ProgramResult ctl(std::vector<std::string> args) {
        args.insert(args.begin(), {PrivatePlatformd::platformctlPath(), "--root", m_platformd->root()});
        return runProgram(args);
    }
};

} // namespace

TEST_F(InputEventsTest, PostsAreAppliedAndLoggedBeforeTheNextRequest) {
    EXPECT_EQ(ctl({"input-state"}).out, "cursor=720,450 buttons=0 modifiers=0x0\n");
    cg::CGPostKeyboardEvent(0, 56, true);
    cg::CGPostKeyboardEvent(0, 0, true);
    cg::CGPostKeyboardEvent(0, 0, false);
    EXPECT_EQ(ctl({"input-state"}).out, "cursor=720,450 buttons=0 modifiers=0x20000\n");
    cg::CGPostKeyboardEvent(0, 56, false);
    EXPECT_EQ(ctl({"text-sink"}).out, "A\n");
    auto logged = ctl({"events", "--kind", "cg-keyboard"});
    EXPECT_NE(logged.out.find("key=0"), std::string::npos) << logged.out;
    EXPECT_NE(logged.out.find("poster.pid=" + std::to_string(::getpid())), std::string::npos);
    EXPECT_EQ(ctl({"text-sink", "--clear"}).status, 0);
    EXPECT_EQ(ctl({"text-sink"}).out, "\n");
}

TEST_F(InputEventsTest, LayoutPasteboardAndTapVerbs) {
    EXPECT_EQ(ctl({"keyboard-layout"}).out, "com.apple.keylayout.US\n");
    EXPECT_EQ(ctl({"keyboard-layout", "com.apple.keylayout.French"}).status, 0);
    EXPECT_EQ(ctl({"keyboard-layout"}).out, "com.apple.keylayout.French\n");
    EXPECT_EQ(ctl({"keyboard-layout", "com.apple.keylayout.Nowhere"}).status, 1);
    cg::CGPostKeyboardEvent(0, 12, true); // the A position on French
    EXPECT_EQ(ctl({"text-sink"}).out, "a\n");

    EXPECT_EQ(ctl({"pasteboard", "--set", "héllo"}).status, 0);
    EXPECT_EQ(ctl({"pasteboard"}).out, "héllo\n");

    EXPECT_EQ(ctl({"event-tap", "add", std::to_string(::getpid()), "--disabled"}).out, "1\n");
    EXPECT_EQ(ctl({"event-tap", "add", "999999"}).status, 1);
    uint32_t count = 0;
    cg::CGEventTapInformation info[1];
    ASSERT_EQ(cg::CGGetEventTapList(1, info, &count), cg::kCGErrorSuccess);
    ASSERT_EQ(count, 1u);
    EXPECT_FALSE(info[0].enabled);
    EXPECT_EQ(info[0].tappingProcess, ::getpid());
}

TEST_F(InputEventsTest, TheHIDSystemHandsPostsToTheEventSystem) {
    using namespace iokit;
    io_iterator_t iterator = 0;
    ASSERT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOHIDSystem"), &iterator),
              kIOReturnSuccess);
    io_service_t service = IOIteratorNext(iterator);
    ASSERT_NE(service, 0u);
    io_connect_t wrongType = 0, connect = 0;
    EXPECT_EQ(IOServiceOpen(service, mach_task_self(), 0, &wrongType), kIOReturnUnsupported);
    ASSERT_EQ(IOServiceOpen(service, mach_task_self(), kIOHIDParamConnectType, &connect), kIOReturnSuccess);

    NXEventData data{};
    data.mouse.buttonNumber = 0;
    data.mouse.pressure = 255;
    EXPECT_EQ(IOHIDPostEvent(connect, kernel::NX_LMOUSEDOWN, IOGPoint{100, 200}, &data, kNXEventDataVersion,
                             0, kIOHIDSetCursorPosition),
              kIOReturnSuccess);
    EXPECT_EQ(ctl({"input-state"}).out, "cursor=100,200 buttons=1 modifiers=0x0\n");
    int32_t count = -1;
    EXPECT_EQ(IOHIDGetButtonEventNum(connect, 0, &count), kIOReturnSuccess);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(IOHIDPostEvent(connect, kernel::NX_LMOUSEUP, IOGPoint{5, 5}, &data, 1, 0, 0),
              kIOReturnBadArgument);
    auto logged = ctl({"events", "--kind", "hid-event"});
    EXPECT_NE(logged.out.find("type=1"), std::string::npos) << logged.out;
    EXPECT_EQ(logged.out.find("type=2"), std::string::npos);
    IOServiceClose(connect);
    EXPECT_EQ(IOHIDPostEvent(connect, kernel::NX_LMOUSEUP, IOGPoint{5, 5}, &data, 2, 0, 0),
              kIOReturnBadArgument);
    IOObjectRelease(service);
    IOObjectRelease(iterator);
}

namespace {

class FrenchProfileTest : public InputEventsTest {
  protected:
    platform::Profile profile() const override {
        platform::Profile p;
        p.dictionary.insert_or_assign("KeyboardLayout", "com.apple.keylayout.French");
        return p;
    }
};

} // namespace

TEST_F(FrenchProfileTest, TheProfileNamesTheLayoutAtBoot) {
    EXPECT_EQ(ctl({"keyboard-layout"}).out, "com.apple.keylayout.French\n");
}

// input_replay against the event system: the session's handlers on the virtual display of
// framebuffer 2 (1024 × 768, right of the main display at (1440, 0)).
namespace {

using refclient::Bytes;
namespace datagram = refclient::datagram;

constexpr uint32_t kSerial2 = 0x99730002;

std::string hex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

// One posted event: its kind and the fields the checks read.
struct Posted {
    std::string kind;
    int64_t type = 0;
    double x = 0, y = 0;
    int64_t key = -1;
    bool down = false;
    int64_t enterProximity = -1;
};

class InputEventsReplayTest : public InputEventsTest {
  protected:
    void SetUp() override {
        InputEventsTest::SetUp();
        m_helper = std::make_unique<iokit::Helper>(m_platformd->root(), 2, std::vector<std::string>{"1"});
        ASSERT_TRUE(m_helper->started);
        ASSERT_TRUE(
            platformd::testing::waitForEvent("display-added", {{"serial", std::to_string(kSerial2)}}, 30))
            << m_helper->output();
        auto shown = ctl({"displays"});
        ASSERT_NE(shown.out.find("id=0x102 bounds=1440,0,1024,768"), std::string::npos) << shown.out;
    }
    void TearDown() override {
        if (m_helper) {
            m_helper->send("exit");
            m_helper->process().wait(20);
        }
        m_helper.reset();
        InputEventsTest::TearDown();
    }

    platformd::testing::ProgramResult replay(const std::vector<Bytes>& datagrams,
                                             const std::string& display = "0x102") {
        std::vector<std::string> argv{INPUT_REPLAY_PATH, "--display", display};
        for (const auto& d : datagrams)
            argv.push_back(hex(d));
        return runProgram(argv);
    }

    // The pointer and key posts logged after the sequence, in order. input_replay ends with a
    // round trip to platformd, so everything it posted is in the log when it has exited.
    static std::vector<Posted> postedAfter(int64_t after) {
        std::vector<Posted> out;
        auto number = [](const cf::Value& e, std::string_view key) {
            const cf::Value* v = e.find(key);
            return v && v->isNumber() ? v->doubleValue() : 0.0;
        };
        for (const cf::Value& e : platformd::testing::eventsAfter(after)) {
            const cf::Value* kind = e.find("kind");
            if (!kind || !kind->asString()) continue;
            Posted p{*kind->asString()};
            if (p.kind != "cg-event" && p.kind != "cg-keyboard" && p.kind != "hid-event") continue;
            p.type = int64_t(number(e, "type"));
            p.x = number(e, "x");
            p.y = number(e, "y");
            if (const cf::Value* key = e.find("key")) p.key = key->integerValue();
            if (const cf::Value* down = e.find("down")) p.down = down->boolValue();
            if (const cf::Value* proximity = e.find("proximity"))
                p.enterProximity = proximity->objectForKey("enterProximity").value_or(-1).integerValue();
            out.push_back(p);
        }
        return out;
    }

    std::unique_ptr<iokit::Helper> m_helper;
};

} // namespace

TEST_F(InputEventsReplayTest, ShortDatagramsPostNothingAndAreNamedInTheLog) {
    const int64_t since = platformd::testing::lastEventSequence();
    auto run =
        replay({Bytes{2, 0, 10, 0, 20}, Bytes{6, 1, 10}, Bytes{7, 0, 0, 0, 0, 0, 0, 0x80, 0x3f, 0, 0, 0},
                Bytes{16, 0}, Bytes{3, 0, 0, 0, 0, 0x61, 0, 0}});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(postedAfter(since).empty());
    for (const char* line : {"type 2 and length 5", "type 6 and length 3", "type 7 and length 12",
                             "type 16 and length 2", "type 3 and length 8"})
        EXPECT_NE(run.err.find(line), std::string::npos) << line << "\n" << run.err;
    EXPECT_EQ(ctl({"input-state"}).out, "cursor=720,450 buttons=0 modifiers=0x0\n");
}

TEST_F(InputEventsReplayTest, ADisplayWithoutBoundsTakesNoPointerInputAndBadArgumentsAreRefused) {
    const int64_t since = platformd::testing::lastEventSequence();
    auto run = replay({datagram::tap(0, 10, 20), datagram::tap(2, 10, 20), datagram::mouse(1, 10, 20),
                       datagram::stylus(9, 10, 20, 1, 0, 1), datagram::stylus(11, 10, 20, 1, 0, 1)},
                      "0x105");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(postedAfter(since).empty());
    EXPECT_EQ(ctl({"input-state"}).out, "cursor=720,450 buttons=0 modifiers=0x0\n");

    EXPECT_EQ(runProgram({INPUT_REPLAY_PATH, "0200"}).status, 2) << "no display";
    EXPECT_EQ(runProgram({INPUT_REPLAY_PATH, "--display", "0x10g", "0200"}).status, 2);
    EXPECT_EQ(runProgram({INPUT_REPLAY_PATH, "--display", "0x102", "020"}).status, 2) << "odd digit count";
    EXPECT_EQ(runProgram({INPUT_REPLAY_PATH, "--display", "0x102", "02zz"}).status, 2);
    EXPECT_EQ(runProgram({INPUT_REPLAY_PATH, "--display"}).status, 2);
}

TEST_F(InputEventsReplayTest, TapsPointsStrokesAndKeysLandOnTheSessionsDisplay) {
    ASSERT_EQ(ctl({"keyboard-layout", "com.apple.keylayout.French"}).status, 0);
    ASSERT_EQ(ctl({"text-sink", "--clear"}).status, 0);
    const int64_t since = platformd::testing::lastEventSequence();
    auto run = replay({datagram::tap(0, 10, 20), datagram::tap(2, 10, 20), datagram::mouse(0, -50, 2000),
                       datagram::stylus(9, 100, 200, 0.5f, 0, 1), datagram::stylus(10, 110, 210, 0.5f, 0, 1),
                       datagram::stylus(11, 120, 220, 0.5f, 0, 1), datagram::key(3, 0, 0, 5),
                       datagram::key(0, 0, 0, 0xE9)});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto posted = postedAfter(since);

    // The tap: left down and up at (1450, 20).
    std::vector<Posted> clicks;
    for (const auto& p : posted)
        if (p.kind == "cg-event" && (p.type == 1 || p.type == 2)) clicks.push_back(p);
    ASSERT_EQ(clicks.size(), 2u);
    EXPECT_EQ(clicks[0].type, 1);
    EXPECT_EQ(clicks[1].type, 2);
    for (const auto& c : clicks) {
        EXPECT_EQ(c.x, 1450);
        EXPECT_EQ(c.y, 20);
    }

    // The stray mouse point, clamped into 0x102.
    std::vector<Posted> moves;
    for (const auto& p : posted)
        if (p.kind == "cg-event" && p.type == 5) moves.push_back(p);
    ASSERT_EQ(moves.size(), 1u);
    EXPECT_GE(moves[0].x, 1440);
    EXPECT_LT(moves[0].x, 1440 + 1024);
    EXPECT_GE(moves[0].y, 0);
    EXPECT_LT(moves[0].y, 768);

    // The pen stroke: HID down and up between the proximity entry and exit, on the display.
    std::vector<Posted> hid;
    for (const auto& p : posted)
        if (p.kind == "hid-event") hid.push_back(p);
    ASSERT_GE(hid.size(), 4u);
    EXPECT_EQ(hid.front().type, 24);
    EXPECT_EQ(hid.front().enterProximity, 1);
    EXPECT_EQ(hid.back().type, 24);
    EXPECT_EQ(hid.back().enterProximity, 0);
    size_t downs = 0, ups = 0;
    for (size_t i = 1; i + 1 < hid.size(); ++i) {
        EXPECT_NE(hid[i].type, 24) << "proximity changes only around the stroke";
        downs += hid[i].type == 1;
        ups += hid[i].type == 2;
        EXPECT_GE(hid[i].x, 1440);
        EXPECT_LT(hid[i].x, 1440 + 1024);
    }
    EXPECT_EQ(downs, 1u);
    EXPECT_EQ(ups, 1u);
    EXPECT_EQ(hid[1].type, 1);
    EXPECT_EQ(hid[1].x, 1540);
    EXPECT_EQ(hid[1].y, 200);
    EXPECT_EQ(hid[hid.size() - 2].type, 2);

    // Select all on French: Command, then the A key (12), released in reverse order.
    std::vector<std::pair<int64_t, bool>> keys;
    for (const auto& p : posted)
        if (p.key >= 0 && (p.kind == "cg-keyboard" || p.type == 10 || p.type == 11))
            keys.emplace_back(p.key, p.down);
    ASSERT_GE(keys.size(), 4u);
    const std::vector<std::pair<int64_t, bool>> selectAll{{55, true}, {12, true}, {12, false}, {55, false}};
    EXPECT_EQ(std::vector(keys.begin(), keys.begin() + 4), selectAll);

    // The kind-0 character, typed through the French layout into the text sink.
    EXPECT_EQ(ctl({"text-sink"}).out, "é\n");
    EXPECT_EQ(ctl({"input-state"}).out.find("buttons=0 modifiers=0x0\n") != std::string::npos, true)
        << ctl({"input-state"}).out;
}
