// The event system inside a private platformd, reached by this process's facades over the
// socket and by platformctl's input verbs.
#include "platform/coregraphics/CGEvent.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/iokit/IOHIDLib.h"

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
