// The connect-to-other panel over the in-process window server: its nib, texts and level, the
// Connect button following the address text (hostile texts included), Cancel and re-showing,
// placement, and Connect closing the panel before the application delegate connects.
#include "host/QNBAppDelegate.h"
#include "host/QNBConnectToOtherPanelController.h"
#include "host/QNBDisplayModelManager.h"

#include "foundation/Vocabulary.h"

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSScreen.h"
#include "platform/core/Clock.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/iokit/InProcessKernel.h"

#include <gtest/gtest.h>

namespace host {
namespace {

class FixedCentering : public QNBWindowCentering {
  public:
    cg::CGPoint centeringPointForWindowSize(cg::CGSize size) override {
        sizes.push_back(size);
        return cg::CGPointMake(500, 300);
    }
    std::vector<cg::CGSize> sizes;
};

class QNBConnectToOtherPanelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::installFakeClock();
        m_kernel = std::make_shared<iokit::InProcessKernel>(iokit::InProcessKernelOptions{});
        m_kernel->install();
        controller = std::make_shared<QNBConnectToOtherPanelController>(centering);
    }
    void TearDown() override {
        appkit::NSApp()->setDelegate(nullptr);
        m_delegate.reset();
        controller.reset();
        for (auto& window : appkit::NSApp()->windows())
            window->close();
        dispatch::RunLoop::main()->serveReady(dispatch::kDefaultRunLoopMode);
        m_kernel->shutdown();
    }
    // The user types the text (as an accessibility set-value does).
    void type(const std::string& text) { field()->accessibilitySetValue(cf::Value(text)); }
    std::shared_ptr<appkit::NSTextField> field() { return controller->otherAddressTextField.lock(); }
    std::shared_ptr<appkit::NSButton> ok() { return controller->otherOKButton.lock(); }

    // A real application delegate whose distributed posts are recorded, with the panel's
    // visibility at the moment of each post.
    void installDelegate() {
        QNBDisplayModelManager::Collaborators c;
        c.post = [](const std::string&, const std::optional<cf::Value>&, uint64_t) {};
        QNBAppDelegate::Environment e;
        e.application = appkit::NSApp();
        e.displayModelManager = QNBDisplayModelManager::create(std::move(c));
        e.post = [this](const std::string& name, const std::optional<cf::Value>& info, uint64_t) {
            const cf::Value* host = info ? info->find(foundation::kConnectToHostName) : nullptr;
            posts.push_back(
                name + " " + (host && host->asString() ? *host->asString() : "-") +
                (controller->otherDevicePanel->isVisible() ? " (panel shown)" : " (panel closed)"));
        };
        m_delegate = QNBAppDelegate::make(std::move(e));
        appkit::NSApp()->setDelegate(m_delegate);
    }

    std::shared_ptr<FixedCentering> centering = std::make_shared<FixedCentering>();
    std::shared_ptr<QNBConnectToOtherPanelController> controller;
    std::vector<std::string> posts;

  private:
    std::shared_ptr<iokit::InProcessKernel> m_kernel;
    std::shared_ptr<QNBAppDelegate> m_delegate;
};

TEST_F(QNBConnectToOtherPanelTest, LoadsThePanelWithItsOutletsTextsAndLevel) {
    auto window = controller->window();
    ASSERT_TRUE(window);
    ASSERT_EQ(window, controller->otherDevicePanel);
    EXPECT_EQ(window->contentView()->frame().size.width, 360);
    EXPECT_EQ(window->contentView()->frame().size.height, 150);
    EXPECT_EQ(window->title(), "Connect to Other Device");
    EXPECT_EQ(window->level(), appkit::NSStatusWindowLevel);
    // "IP Address" is what to type, shown while the field is empty, not its text.
    EXPECT_EQ(field()->placeholderString(), "IP Address");
    EXPECT_EQ(field()->stringValue(), "");
    EXPECT_EQ(controller->otherAddressLabel.lock()->stringValue(), "Enter your device’s IP Address:");
    EXPECT_EQ(controller->otherHelpLabel.lock()->stringValue(),
              "Launch the app on your device to find the IP address.");
    EXPECT_EQ(ok()->title(), "Connect");
    EXPECT_EQ(controller->otherCancelButton.lock()->title(), "Cancel");
    ASSERT_TRUE(controller->alternateQuitButton.lock());
    for (const char* outlet : {"otherAddressTextField", "otherAddressLabel", "otherOKButton",
                               "otherCancelButton", "otherHelpLabel", "alternateQuitButton"}) {
        bool found = false;
        for (const auto& view : window->contentView()->subviews())
            found |= view->identifier() == outlet;
        EXPECT_TRUE(found) << outlet;
    }
    EXPECT_EQ(ok()->action(), "connect:");
    EXPECT_EQ(ok()->target(), controller);
    EXPECT_EQ(controller->otherCancelButton.lock()->action(), "cancel:");
    // An empty field is no address.
    EXPECT_FALSE(ok()->isEnabled());
}

TEST_F(QNBConnectToOtherPanelTest, ConnectIsEnabledExactlyForAnAddress) {
    controller->showWindow(nullptr);
    const std::vector<std::pair<std::string, bool>> table = {
        {"192.0.2.20", true},
        {"2001:db8::1", true},
        {"::1", true},
        {"192.0.2", false},
        {"device.example", false},
        {"", false},
        {" 192.0.2.1", false},
        {"192.0.2.1\n", false},
        {"1.2.3.4%eth0", false},
        {std::string(100 * 1024, '1'), false},
        {"192.0.2.1" + std::string(100 * 1024, ' '), false},
        {"127.0.0.3", true},
    };
    for (const auto& [text, valid] : table) {
        type(text);
        EXPECT_EQ(ok()->isEnabled(), valid) << text.substr(0, 40);
        EXPECT_EQ(ok()->title(), "Connect");
    }
}

TEST_F(QNBConnectToOtherPanelTest, CancelClosesButTheButtonKeepsFollowingAndEachShowingRevalidates) {
    controller->showWindow(nullptr);
    ASSERT_TRUE(controller->otherDevicePanel->isVisible());
    controller->otherCancelButton.lock()->performClick();
    EXPECT_FALSE(controller->otherDevicePanel->isVisible());
    // Still following the field after Cancel.
    type("192.0.2");
    EXPECT_FALSE(ok()->isEnabled());
    type("127.0.0.3");
    EXPECT_TRUE(ok()->isEnabled());
    // A text set without a user change is caught when the panel shows again.
    field()->setStringValue("not an address");
    EXPECT_TRUE(ok()->isEnabled());
    controller->showWindow(nullptr);
    EXPECT_TRUE(controller->otherDevicePanel->isVisible());
    EXPECT_FALSE(ok()->isEnabled());
    EXPECT_EQ(field()->stringValue(), "not an address"); // the field keeps its text
}

TEST_F(QNBConnectToOtherPanelTest, ThePanelStandsWhereTheViewManagerCentresIt) {
    controller->showWindow(nullptr);
    auto frame = controller->otherDevicePanel->frame();
    EXPECT_EQ(frame.origin.x, 500);
    EXPECT_EQ(frame.origin.y, 300);
    ASSERT_EQ(centering->sizes.size(), 1u);
    EXPECT_EQ(centering->sizes[0].width, frame.size.width);
    EXPECT_EQ(centering->sizes[0].height, frame.size.height);

    // Without a view manager: centred on the main screen's visible frame.
    auto alone = std::make_shared<QNBConnectToOtherPanelController>();
    alone->showWindow(nullptr);
    const auto visible = appkit::NSScreen::mainScreen()->visibleFrame();
    const auto placed = alone->otherDevicePanel->frame();
    EXPECT_DOUBLE_EQ(placed.origin.x + placed.size.width / 2, visible.origin.x + visible.size.width / 2);
    EXPECT_DOUBLE_EQ(placed.origin.y + placed.size.height / 2, visible.origin.y + visible.size.height / 2);
    alone->close();
}

TEST_F(QNBConnectToOtherPanelTest, ConnectClosesThePanelThenTheDelegateConnectsTheAddress) {
    installDelegate();
    controller->showWindow(nullptr);
    type("192.0.2.20");
    ok()->performClick();
    EXPECT_FALSE(controller->otherDevicePanel->isVisible());
    EXPECT_EQ(posts, (std::vector<std::string>{std::string(foundation::kConnectServerToHost) +
                                               " 192.0.2.20 (panel closed)"}));
}

TEST_F(QNBConnectToOtherPanelTest, ConnectWithAnInvalidTextDoesNothing) {
    installDelegate();
    controller->showWindow(nullptr);
    type("192.0.2");
    controller->connect(nullptr); // sent from elsewhere than the disabled button
    EXPECT_TRUE(controller->otherDevicePanel->isVisible());
    EXPECT_TRUE(posts.empty());
    type("");
    controller->connect(nullptr);
    EXPECT_TRUE(posts.empty());
}

} // namespace
} // namespace host
