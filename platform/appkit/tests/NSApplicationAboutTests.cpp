// The standard About panel the About menu item asks for: answered by the application itself,
// titled after the main bundle's name, showing its version, one panel however often it is asked.
#include "platform/appkit/NSAction.h"
#include "platform/appkit/NSTextField.h"
#include "platform/foundation/NSBundle.h"

#include "WindowTestSupport.h"

namespace appkit {

namespace {

// The label texts of the window's content view, top to bottom as added.
std::vector<std::string> labels(const NSWindow& window) {
    std::vector<std::string> out;
    for (const auto& view : window.contentView()->subviews())
        if (auto* field = dynamic_cast<NSTextField*>(view.get())) out.push_back(field->stringValue());
    return out;
}

} // namespace

class NSApplicationAboutTest : public testing::WindowTest {
  protected:
    void useBundle(cf::Dictionary info) {
        ns::NSBundle::setMainBundle(std::make_shared<ns::NSBundle>(
            "/Applications/Fixture.app", "/Applications/Fixture.app/Contents", cf::Value(std::move(info))));
    }
    void TearDown() override {
        ns::NSBundle::setMainBundle(nullptr);
        WindowTest::TearDown();
    }
};

TEST_F(NSApplicationAboutTest, TheAboutItemsActionShowsOnePanelNamedAfterTheBundle) {
    useBundle({{"CFBundleName", "Fixture App"}, {"CFBundleShortVersionString", "2.4.1"}});
    platform::LogCapture log(true);
    // The item has no target: the action travels up to the application.
    ASSERT_TRUE(sendAction("orderFrontStandardAboutPanel:", nullptr, nullptr));
    EXPECT_FALSE(log.contains("nobody answers"));
    auto panel = NSApp()->aboutPanel();
    ASSERT_TRUE(panel);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_TRUE(panel->isKeyWindow());
    EXPECT_EQ(panel->title(), "About Fixture App");
    EXPECT_EQ(labels(*panel), (std::vector<std::string>{"Fixture App", "Version 2.4.1"}));
    // Centred on the main screen's visible frame (1440 x 900 less the 22-point menu bar).
    const cg::CGRect frame = panel->frame();
    EXPECT_DOUBLE_EQ(frame.origin.x + frame.size.width / 2, 720);

    const size_t windows = NSApp()->windows().size();
    ASSERT_TRUE(sendAction("orderFrontStandardAboutPanel:", nullptr, nullptr));
    EXPECT_EQ(NSApp()->aboutPanel(), panel);
    EXPECT_EQ(NSApp()->windows().size(), windows);
}

TEST_F(NSApplicationAboutTest, AClosedPanelComesBackAndABundleWithoutInformationStillNamesIt) {
    useBundle({});
    NSApp()->orderFrontStandardAboutPanel(nullptr);
    auto panel = NSApp()->aboutPanel();
    ASSERT_TRUE(panel);
    // The folder's name stands in for the missing name; no version line without a version.
    EXPECT_EQ(panel->title(), "About Fixture");
    EXPECT_EQ(labels(*panel), std::vector<std::string>{"Fixture"});
    panel->close();
    turn();
    EXPECT_FALSE(panel->isVisible());
    NSApp()->orderFrontStandardAboutPanel(nullptr);
    ASSERT_TRUE(NSApp()->aboutPanel());
    EXPECT_TRUE(NSApp()->aboutPanel()->isVisible());
}

} // namespace appkit
