// The About window: its nib, and the delegate that makes and shows it.
#include "input/QNBAboutWindowController.h"
#include "server/LimnerAppDelegate.h"

#include "platform/appkit/NSScreen.h"
#include "platform/appkit/NSTextField.h"
#include "platform/appkit/tests/WindowTestSupport.h"

namespace {

class QNBAboutWindowControllerTest : public appkit::testing::WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        delegate = server::LimnerAppDelegate::make({});
    }
    // Where centring puts the About window on the 1440 x 900 main display (22-point menu bar).
    static cg::CGPoint centredOrigin(const appkit::NSWindow& window) {
        const cg::CGRect visible = appkit::NSScreen::mainScreen()->visibleFrame();
        return cg::CGPointMake(visible.origin.x + (visible.size.width - window.frame().size.width) / 2,
                               visible.origin.y + (visible.size.height - window.frame().size.height) / 2);
    }
    static std::vector<std::string> labels(const appkit::NSWindow& window) {
        std::vector<std::string> texts;
        for (const auto& view : window.contentView()->subviews())
            if (auto field = std::dynamic_pointer_cast<appkit::NSTextField>(view))
                texts.push_back(field->identifier() + "=" + field->stringValue());
        return texts;
    }
    std::shared_ptr<server::LimnerAppDelegate> delegate;
};

TEST_F(QNBAboutWindowControllerTest, TheNibBuildsATitledClosableWindowWithNameVersionAndCopyright) {
    auto controller = std::make_shared<input::QNBAboutWindowController>(input::kAboutTesselHelperNibName);
    auto window = controller->window();
    ASSERT_TRUE(window);
    EXPECT_EQ(window->title(), "About TesselHelper");
    EXPECT_EQ(window->styleMask(), appkit::NSWindowStyleMaskTitled | appkit::NSWindowStyleMaskClosable);
    const cg::CGRect content = window->contentRectForFrameRect(window->frame());
    EXPECT_EQ(content.size.width, 320);
    EXPECT_EQ(content.size.height, 180);
    EXPECT_EQ(window->identifier(), "AboutTesselHelper");
    EXPECT_EQ(window->windowController(), controller);
    auto texts = labels(*window);
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0].rfind("nameLabel=", 0), 0u);
    EXPECT_GT(texts[0].size(), std::string("nameLabel=").size());
    EXPECT_EQ(texts[1].rfind("versionLabel=Version ", 0), 0u);
    EXPECT_NE(texts[2].find("Copyright"), std::string::npos);
    EXPECT_FALSE(window->isVisible()) << "loading shows nothing";
}

TEST_F(QNBAboutWindowControllerTest, TheDelegateMakesOneControllerWithItsWindowCentredAndKept) {
    auto controller = delegate->aboutWindowController();
    ASSERT_TRUE(controller);
    EXPECT_EQ(delegate->aboutWindowController(), controller);
    auto window = controller->window();
    ASSERT_TRUE(window);
    EXPECT_FALSE(window->isReleasedWhenClosed());
    EXPECT_TRUE(cg::CGPointEqualToPoint(window->frame().origin, centredOrigin(*window)));
    EXPECT_FALSE(window->isVisible());
}

TEST_F(QNBAboutWindowControllerTest, ChoosingAboutTwiceShowsOneWindowAndDoesNotMoveIt) {
    delegate->showAbout(nullptr);
    auto window = delegate->aboutWindowController()->window();
    ASSERT_TRUE(window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isKeyWindow());
    window->setFrameOrigin(cg::CGPointMake(10, 20));
    const size_t count = appkit::NSApp()->windows().size();
    delegate->showAbout(nullptr);
    EXPECT_EQ(appkit::NSApp()->windows().size(), count);
    EXPECT_TRUE(cg::CGPointEqualToPoint(window->frame().origin, cg::CGPointMake(10, 20)));
}

TEST_F(QNBAboutWindowControllerTest, ClosingAndChoosingAgainShowsTheSameWindowCentred) {
    delegate->showAbout(nullptr);
    auto window = delegate->aboutWindowController()->window();
    ASSERT_TRUE(window);
    window->setFrameOrigin(cg::CGPointMake(10, 20));
    window->close();
    turn();
    EXPECT_FALSE(window->isVisible());
    delegate->showAbout(nullptr);
    EXPECT_EQ(delegate->aboutWindowController()->window(), window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(cg::CGPointEqualToPoint(window->frame().origin, centredOrigin(*window)));
}

TEST_F(QNBAboutWindowControllerTest, AnotherOwnerClassBuildsNothing) {
    auto other = std::make_shared<appkit::NSWindowController>(input::kAboutTesselHelperNibName);
    EXPECT_FALSE(other->window());
}

} // namespace
