// The reflector panel's key shortcuts as TesselHelper's application class delivers them.
#include "server/LimnerApplication.h"

#include "input/QNDesktopReflectorPanel.h"
#include "platform/appkit/NSEvent.h"
#include "platform/appkit/tests/WindowTestSupport.h"

namespace {

using appkit::NSEvent;
using appkit::NSEventType;

// A panel that records the user's close and key events reaching it.
class RecordingPanel : public appkit::NSPanel, public input::QNDesktopReflectorPanel {
  public:
    RecordingPanel()
        : appkit::NSPanel(cg::CGRectMake(100, 100, 400, 300),
                          appkit::NSWindowStyleMaskTitled | appkit::NSWindowStyleMaskClosable) {}
    void setDelegate(std::weak_ptr<input::QNDesktopReflectorDelegate>) override {}
    void setReflectorDelegate(std::weak_ptr<input::QNDesktopReflectorDelegate>) override {}
    void showWithAnimation() override {}
    void hideWithAnimation() override {}
    void close() override { appkit::NSPanel::close(); }
    void closeAction() override { ++userCloses; }
    bool updating() const override { return true; }
    void sendEvent(const NSEvent& event) override {
        keysSeen.push_back(event.keyCode());
        appkit::NSPanel::sendEvent(event);
    }
    int userCloses = 0;
    std::vector<uint16_t> keysSeen;
};

class LimnerApplicationTest : public appkit::testing::WindowTest {
  protected:
    void SetUp() override {
        // Each test runs in its own process: the program's class is made before anything else.
        app = std::dynamic_pointer_cast<server::LimnerApplication>(appkit::NSApplication::sharedApplication(
            [] { return std::make_shared<server::LimnerApplication>(); }));
        ASSERT_TRUE(app);
        WindowTest::SetUp();
        panel = appkit::NSWindow::make<RecordingPanel>();
        panel->makeKeyAndOrderFront();
        ASSERT_TRUE(panel->isKeyWindow());
    }
    void keyUp(uint64_t flags, uint16_t code) {
        app->sendEvent(NSEvent::keyEvent(NSEventType::KeyUp, cg::CGPointZero, flags, 0, panel->windowNumber(),
                                         "", code));
    }
    std::shared_ptr<server::LimnerApplication> app;
    std::shared_ptr<RecordingPanel> panel;
};

TEST_F(LimnerApplicationTest, CommandHAndMMiniaturizeThePanelWithoutHidingTheProgram) {
    keyUp(0x100000, 4);
    EXPECT_TRUE(panel->isMiniaturized());
    EXPECT_FALSE(panel->isVisible());
    EXPECT_TRUE(panel->keysSeen.empty()); // handled: it goes no further

    auto other = appkit::NSWindow::make<RecordingPanel>();
    other->makeKeyAndOrderFront();
    keyUp(0x100000, 46);
    EXPECT_TRUE(other->isMiniaturized());
    EXPECT_TRUE(other->keysSeen.empty());
}

TEST_F(LimnerApplicationTest, CommandWIsTheUsersClose) {
    keyUp(0x100000, 13);
    EXPECT_EQ(panel->userCloses, 1);
    EXPECT_TRUE(panel->keysSeen.empty());
}

TEST_F(LimnerApplicationTest, CommandShiftEqualsZoomsAndZoomsBack) {
    const cg::CGRect before = panel->frame();
    keyUp(0x120000, 24);
    EXPECT_TRUE(panel->isZoomed());
    EXPECT_FALSE(cg::CGRectEqualToRect(panel->frame(), before));
    keyUp(0x120000, 24);
    EXPECT_FALSE(panel->isZoomed());
    EXPECT_TRUE(cg::CGRectEqualToRect(panel->frame(), before));
}

TEST_F(LimnerApplicationTest, DeviceDependentBitsAreIgnoredOtherFlagsAreNot) {
    // Left Command's own bit (0x8) rides along and is ignored.
    keyUp(0x100008, 13);
    EXPECT_EQ(panel->userCloses, 1);
    // Caps Lock (0x10000), Option, unknown high bits: not the shortcut, passed on untouched.
    for (uint64_t flags : {0x110000ull, 0x180000ull, 0x80100000ull, 0x0ull})
        keyUp(flags, 13);
    EXPECT_EQ(panel->userCloses, 1);
    EXPECT_EQ(panel->keysSeen.size(), 4u);
    // Command-Shift with W, Command alone with =: passed on.
    keyUp(0x120000, 13);
    keyUp(0x100000, 24);
    EXPECT_EQ(panel->keysSeen.size(), 6u);
    EXPECT_FALSE(panel->isZoomed());
}

TEST_F(LimnerApplicationTest, KeyDownsAndOtherWindowsPassOnUntouched) {
    app->sendEvent(NSEvent::keyEvent(NSEventType::KeyDown, cg::CGPointZero, 0x100000, 0,
                                     panel->windowNumber(), "w", 13));
    EXPECT_EQ(panel->userCloses, 0);
    EXPECT_EQ(panel->keysSeen.size(), 1u);

    // A plain window as key window: Command-M is not the panel's.
    auto plain = appkit::NSWindow::make(cg::CGRectMake(0, 0, 200, 100), appkit::NSWindowStyleMaskTitled);
    plain->makeKeyAndOrderFront();
    keyUp(0x100000, 46);
    EXPECT_FALSE(plain->isMiniaturized());
    EXPECT_FALSE(panel->isMiniaturized());
}

TEST_F(LimnerApplicationTest, WithoutAKeyWindowNothingIsHandled) {
    panel->orderOut();
    ASSERT_FALSE(app->keyWindow());
    keyUp(0x100000, 13);
    EXPECT_EQ(panel->userCloses, 0);
}

} // namespace
