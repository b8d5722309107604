#include "platform/appkit/NSEvent.h"
#include "platform/appkit/NSPasteboard.h"
#include "platform/applicationservices/Processes.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGEvent.h"
#include "platform/coregraphics/WindowServerRequest.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/Testing.h"
#include "platform/iokit/IOHIDLib.h"
#include "platform/iokit/InProcessKernel.h"
#include "platform/textinputsources/TextInputSources.h"
#include "platform/windowserver/EventProtocol.h"
#include "platform/windowserver/InProcessEvents.h"

#include <gtest/gtest.h>

#include <cmath>
#include <unistd.h>

using namespace cg;
using windowserver::InProcessEvents;

namespace {

class EventSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_events = std::make_shared<InProcessEvents>(
            std::vector<CGRect>{CGRectMake(0, 0, 1440, 900), CGRectMake(1440, 0, 1024, 768)});
        m_events->install();
    }
    void TearDown() override { m_events->uninstall(); }

    int64_t field(const windowserver::EventRecord& r, const char* key) {
        const cf::Value* v = r.fields.count(key) ? &r.fields.at(key) : nullptr;
        return v && v->isNumber() ? v->integerValue() : -1;
    }
    double real(const windowserver::EventRecord& r, const char* key) {
        return r.fields.at(key).doubleValue();
    }
    void press(CGKeyCode key) {
        CGPostKeyboardEvent(0, key, true);
        CGPostKeyboardEvent(0, key, false);
    }
    cf::Value state() {
        return *m_events->request(windowserver::eventop::inputState, cf::Value::emptyDictionary());
    }
    // The event system's cursor (the display side's, without a window server here).
    CGPoint cursor() {
        cf::Value s = state();
        return CGPointMake(s.find("cursorX")->doubleValue(), s.find("cursorY")->doubleValue());
    }

    std::shared_ptr<InProcessEvents> m_events;
};

} // namespace

TEST_F(EventSystemTest, ModifierKeysHoldTheirFlagWhileEitherOfAPairIsDown) {
    CGPostKeyboardEvent(0, 55, true);
    CGPostKeyboardEvent(0, 54, true);
    CGPostKeyboardEvent(0, 55, false);
    auto entries = m_events->entries(windowserver::eventKind::cgKeyboard);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(field(entries[2], "modifiers"), 0x100000); // 54 still holds Command
    EXPECT_EQ(field(entries[2], "key"), 55);
    EXPECT_EQ(entries[2].fields.at("down").asBool(), false);
    CGPostKeyboardEvent(0, 54, false);
    CGPostKeyboardEvent(0, 57, true); // Caps Lock toggles on down only
    CGPostKeyboardEvent(0, 57, false);
    CGPostKeyboardEvent(0, 61, true);
    EXPECT_EQ(state().find("modifiers")->integerValue(), 0x10000 | 0x80000);
    CGPostKeyboardEvent(0, 57, true);
    CGPostKeyboardEvent(0, 61, false);
    EXPECT_EQ(state().find("modifiers")->integerValue(), 0);
}

TEST_F(EventSystemTest, MouseEventsMoveTheCursorOntoADisplayAndHoldButtons) {
    auto down =
        CGEventCreateMouseEvent(nullptr, kCGEventLeftMouseDown, CGPointMake(1500, 20), kCGMouseButtonLeft);
    CGEventPost(kCGHIDEventTap, down);
    auto entry = m_events->entries(windowserver::eventKind::cgEvent).back();
    EXPECT_EQ(real(entry, "cursorX"), 1500);
    EXPECT_EQ(field(entry, "buttons"), 1);
    EXPECT_EQ(field(entry, "tap"), 0);
    // Below the second display (768 high): clamped to its last row; past the right edge too.
    CGEventPost(kCGSessionEventTap, CGEventCreateMouseEvent(nullptr, kCGEventLeftMouseDragged,
                                                            CGPointMake(3000, 800), kCGMouseButtonLeft));
    EXPECT_EQ(cursor().x, 2463);
    EXPECT_EQ(cursor().y, 767);
    auto other =
        CGEventCreateMouseEvent(nullptr, kCGEventOtherMouseDown, CGPointMake(10, 10), kCGMouseButtonCenter);
    CGEventSetIntegerValueField(other, kCGMouseEventButtonNumber, 5);
    CGEventPost(kCGHIDEventTap, other);
    EXPECT_EQ(state().find("buttons")->integerValue(), 1 | 1 << 5);
    // Scroll events do not move the cursor.
    CGEventPost(kCGHIDEventTap, CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitLine, 1, -3));
    EXPECT_EQ(cursor().x, 10);
}

TEST_F(EventSystemTest, MalformedPostsAreRefusedAndChangeNothing) {
    CGEventPost(kCGHIDEventTap, CGEventCreateMouseEvent(nullptr, kCGEventLeftMouseDown, CGPointMake(NAN, 3),
                                                        kCGMouseButtonLeft));
    auto unknown = CGEventCreate(nullptr);
    CGEventSetType(unknown, static_cast<CGEventType>(99));
    CGEventPost(kCGHIDEventTap, unknown);
    using windowserver::eventop::postKeyboard;
    EXPECT_FALSE(
        m_events->request(postKeyboard, cf::Dictionary{{"charCode", 0}, {"key", "a"}, {"down", true}}));
    EXPECT_FALSE(m_events->request(postKeyboard, cf::Dictionary{{"charCode", 0}, {"key", 1}}));
    EXPECT_FALSE(m_events->request(postKeyboard, cf::Value("not a dictionary")));
    EXPECT_FALSE(m_events->request("events.nothing", cf::Value::emptyDictionary()));
    EXPECT_TRUE(m_events->entries().empty());
    EXPECT_EQ(state().find("buttons")->integerValue(), 0);
}

TEST_F(EventSystemTest, TheTextSinkTypesThroughTheCurrentLayout) {
    CGPostKeyboardEvent(0, 56, true);
    press(4); // H
    CGPostKeyboardEvent(0, 56, false);
    CGPostKeyboardEvent(0, 58, true);
    press(14); // Option-e: the acute dead key
    CGPostKeyboardEvent(0, 58, false);
    press(14);
    press(0);
    press(51); // Delete takes the a back
    press(36);
    CGPostKeyboardEvent(0, 59, true);
    press(0); // Control combinations type nothing
    CGPostKeyboardEvent(0, 59, false);
    EXPECT_EQ(m_events->sinkText(), "Hé\n");

    // Command-V pastes the plain text; a Unicode string types exactly itself.
    appkit::NSPasteboard::generalPasteboard()->clearContents();
    appkit::NSPasteboard::generalPasteboard()->setString("pasted", appkit::NSPasteboardTypeString);
    CGPostKeyboardEvent(0, 55, true);
    press(9);
    CGPostKeyboardEvent(0, 55, false);
    auto unicode = CGEventCreateKeyboardEvent(nullptr, 0, true);
    const UniChar text[] = u"✓";
    CGEventKeyboardSetUnicodeString(unicode, 1, text);
    CGEventPost(kCGHIDEventTap, unicode);
    EXPECT_EQ(m_events->sinkText(), "Hé\npasted✓");

    // On French the V position (9) still types v; the A position is 12.
    ASSERT_EQ(tis::TISSelectInputSource(tis::TISInputSourceForID("com.apple.keylayout.French")), 0);
    m_events->request(windowserver::eventop::textSink, cf::Dictionary{{"action", "clear"}});
    press(12);
    press(13);
    EXPECT_EQ(m_events->sinkText(), "az");
}

TEST_F(EventSystemTest, PasteboardCountsClearsAndRefusesOversizedData) {
    auto pb = appkit::NSPasteboard::generalPasteboard();
    int64_t first = pb->clearContents();
    EXPECT_EQ(pb->declareTypes({"public.utf8-plain-text"}, nullptr), first + 1);
    EXPECT_TRUE(pb->setString("one", appkit::NSPasteboardTypeString));
    EXPECT_TRUE(pb->setData({1, 2}, "public.png"));
    EXPECT_TRUE(pb->writeObjects({u"two"}));
    EXPECT_EQ(pb->changeCount(), first + 1);
    EXPECT_EQ(pb->types(), (std::vector<std::string>{"public.utf8-plain-text", "public.png"}));
    EXPECT_EQ(pb->stringForType(appkit::NSPasteboardTypeString), "two");
    EXPECT_FALSE(pb->setData(cf::Bytes(9 * 1024 * 1024), "public.data"));
    EXPECT_FALSE(pb->setData({1}, ""));
    EXPECT_FALSE(pb->dataForType("public.data"));
    auto logged = m_events->entries(windowserver::eventKind::pasteboard);
    ASSERT_EQ(logged.size(), 5u);
    EXPECT_EQ(logged[0].fields.at("action").asString()[0], "clear");
    EXPECT_EQ(logged[4].fields.at("text").asString()[0], "two");
}

TEST_F(EventSystemTest, TapsAreRecordsOfLiveProcessesListedInIdOrder) {
    m_events->addProcess(::getpid(), "com.example.self", "self", "/Applications/Self.app");
    m_events->addProcess(4242, "COM.Example.Tapper.agent", "Tapper");
    auto own = CGEventTapCreate(kCGSessionEventTap, kCGHeadInsertEventTap, kCGEventTapOptionListenOnly,
                                1 << 10, nullptr, nullptr);
    ASSERT_TRUE(own);
    auto added =
        m_events->request(windowserver::eventop::tapAdd, cf::Dictionary{{"pid", 4242}, {"enabled", false}});
    ASSERT_TRUE(added);
    EXPECT_FALSE(m_events->request(windowserver::eventop::tapAdd, cf::Dictionary{{"pid", 777}}));
    uint32_t count = 0;
    ASSERT_EQ(CGGetEventTapList(0, nullptr, &count), kCGErrorSuccess);
    EXPECT_EQ(count, 2u);
    CGEventTapInformation list[2];
    CGGetEventTapList(2, list, &count);
    EXPECT_EQ(list[0].tappingProcess, ::getpid());
    EXPECT_EQ(list[0].eventsOfInterest, 1u << 10);
    EXPECT_TRUE(list[0].enabled);
    EXPECT_EQ(list[1].tappingProcess, 4242);
    EXPECT_FALSE(list[1].enabled);
    CGEventTapEnable(own, false);
    CGGetEventTapList(2, list, &count);
    EXPECT_FALSE(list[0].enabled);
    EXPECT_EQ(m_events->entries(windowserver::eventKind::eventTapList).size(), 3u);
    m_events->events().processGone(4242);
    CFMachPortInvalidate(own);
    CGGetEventTapList(0, nullptr, &count);
    EXPECT_EQ(count, 0u);

    appservices::ProcessSerialNumber psn;
    ASSERT_EQ(appservices::GetProcessForPID(4242, &psn), 0);
    auto info = appservices::ProcessInformationCopyDictionary(
        &psn, appservices::kProcessDictionaryIncludeAllInformationMask);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->find("CFBundleIdentifier")->asString()[0], "COM.Example.Tapper.agent");
    EXPECT_EQ(info->find("pid")->integerValue(), 4242);
    EXPECT_EQ(appservices::GetProcessForPID(777, &psn), appservices::procNotFound);
}

TEST_F(EventSystemTest, HIDPostsCountDownsMoveOnRequestAndRefuseBadRecords) {
    kernel::NXEventData data{};
    data.mouse.buttonNumber = 2;
    data.mouse.pressure = 200;
    windowserver::EventPoster poster{::getpid(), ""};
    auto& events = m_events->events();
    EXPECT_EQ(events.postHID(poster, kernel::NX_OMOUSEDOWN, {1500, 30}, &data, sizeof data, 2, 0, 0x2), 0);
    EXPECT_EQ(cursor().x, 1500);
    uint32_t n = 9;
    EXPECT_EQ(events.buttonEventNumber(2, &n), 0);
    EXPECT_EQ(n, 1u);
    // Without option 0x2 the cursor stays; a wrong size or version changes nothing.
    EXPECT_EQ(events.postHID(poster, kernel::NX_LMOUSEDRAGGED, {10, 10}, &data, sizeof data, 2, 0, 0), 0);
    EXPECT_EQ(cursor().x, 1500);
    EXPECT_NE(events.postHID(poster, kernel::NX_OMOUSEDOWN, {1, 1}, &data, sizeof data - 1, 2, 0, 0), 0);
    EXPECT_NE(events.postHID(poster, kernel::NX_OMOUSEDOWN, {1, 1}, &data, sizeof data, 1, 0, 0), 0);
    EXPECT_NE(events.postHID(poster, 99, {1, 1}, &data, sizeof data, 2, 0, 0), 0);
    events.buttonEventNumber(2, &n);
    EXPECT_EQ(n, 1u);
    auto hid = m_events->entries(windowserver::eventKind::hidEvent);
    ASSERT_EQ(hid.size(), 2u);
    EXPECT_EQ(hid[0].fields.at("mouse").find("pressure")->integerValue(), 200);
    EXPECT_EQ(field(hid[0], "buttons"), 1 << 2);
    EXPECT_TRUE(hid[1].fields.count("mouseMove"));
}

TEST(ClampOntoDisplaysTest, NearestDisplayHalfOpenBounds) {
    std::vector<CGRect> displays{CGRectMake(0, 0, 100, 100), CGRectMake(100, 0, 50, 40)};
    auto at = [&](double x, double y) {
        return windowserver::clampOntoDisplays(CGPointMake(x, y), displays);
    };
    EXPECT_EQ(at(120, 10).x, 120);
    EXPECT_EQ(at(150, 10).x, 149); // the right edge is outside
    EXPECT_EQ(at(130, 60).y, 39);
    EXPECT_EQ(at(-5, 50).x, 0);
}

TEST(TextSinkPasteDelayTest, CommandVReadsThePasteboardAfterTheDelay) {
    platform::installFakeClock();
    windowserver::EventSystemConfig config;
    config.scheduler = [](double seconds, std::function<void()> task) {
        dispatch::dispatch_after(
            dispatch::dispatch_time(dispatch::DISPATCH_TIME_NOW, static_cast<int64_t>(seconds * 1e9)),
            dispatch::dispatch_get_main_queue(), std::move(task));
    };
    auto events = std::make_shared<InProcessEvents>(std::vector<CGRect>{CGRectMake(0, 0, 100, 100)}, config);
    events->install();
    using windowserver::eventop::textSink;
    EXPECT_FALSE(events->request(textSink, cf::Dictionary{{"action", "pasteDelay"}, {"value", -1.0}}));
    ASSERT_TRUE(events->request(textSink, cf::Dictionary{{"action", "pasteDelay"}, {"value", 0.2}}));
    auto pb = appkit::NSPasteboard::generalPasteboard();
    pb->clearContents();
    pb->setString("early", appkit::NSPasteboardTypeString);
    CGPostKeyboardEvent(0, 55, true);
    CGPostKeyboardEvent(0, 9, true);
    CGPostKeyboardEvent(0, 55, false);
    pb->clearContents();
    pb->setString("late", appkit::NSPasteboardTypeString);
    EXPECT_EQ(events->sinkText(), "");
    dispatch::advanceAndRun(0.2);
    EXPECT_EQ(events->sinkText(), "late");
    events->uninstall();
}

// Beside an in-process window server the event system moves that server's cursor: the display
// facade and NSEvent read where a posted or HID event left it, and a cursor move the display
// facade asks for is where the next event starts.
TEST(InProcessWindowServerEventsTest, PostedAndHIDEventsMoveTheWindowServersCursor) {
    platform::installFakeClock();
    auto kernel = std::make_shared<iokit::InProcessKernel>();
    kernel->install();
    auto events = kernel->events();
    ASSERT_TRUE(events);
    CGRect main = CGDisplayBounds(CGMainDisplayID());
    ASSERT_GT(main.size.width, 0);
    CGEventPost(kCGHIDEventTap,
                CGEventCreateMouseEvent(nullptr, kCGEventMouseMoved, CGPointMake(main.size.width + 500, 30),
                                        kCGMouseButtonLeft));
    EXPECT_EQ(events->entries(windowserver::eventKind::cgEvent).size(), 1u);
    CGPoint at = CGSCurrentInputPointerPosition();
    EXPECT_EQ(at.x, main.size.width - 1);
    EXPECT_EQ(at.y, 30);
    EXPECT_EQ(appkit::NSEvent::mouseLocation().y, main.size.height - 30);
    ASSERT_EQ(CGSMoveCursor(CGPointMake(12, 34)), kCGErrorSuccess);
    CGEventRef next = CGEventCreate(nullptr);
    EXPECT_EQ(CGEventGetLocation(next).x, 12);
    EXPECT_EQ(CGEventGetLocation(next).y, 34);
    // The HID system's posts reach the same event system through the in-process kernel.
    using namespace iokit;
    io_iterator_t iterator = 0;
    ASSERT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOHIDSystem"), &iterator),
              kIOReturnSuccess);
    io_service_t service = IOIteratorNext(iterator);
    io_connect_t connect = 0;
    ASSERT_EQ(IOServiceOpen(service, mach_task_self(), kIOHIDParamConnectType, &connect), kIOReturnSuccess);
    kernel::NXEventData data{};
    EXPECT_EQ(IOHIDPostEvent(connect, kernel::NX_LMOUSEDOWN, IOGPoint{40, 50}, &data, kNXEventDataVersion, 0,
                             kIOHIDSetCursorPosition),
              kIOReturnSuccess);
    EXPECT_EQ(CGSCurrentInputPointerPosition().x, 40);
    EXPECT_EQ(events->entries(windowserver::eventKind::hidEvent).size(), 1u);
    IOServiceClose(connect);
    IOObjectRelease(service);
    IOObjectRelease(iterator);
    kernel->shutdown();
    // With the window server gone its events answer nothing.
    EXPECT_FALSE(cg::CGSRequest(windowserver::eventop::inputState));
}
