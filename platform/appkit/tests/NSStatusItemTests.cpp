// Status items: their windows in the main screen's menu bar (level 25, right to left from 100
// points off the right edge, widths by length, title and image), the button and the item's
// setters reaching it, removal, accessibility (also through the exporter, with a menu popped up
// from the item).
#include "platform/appkit/NSAccessibilityExporter.h"
#include "platform/appkit/NSMenuWindow.h"
#include "platform/appkit/NSStatusBar.h"
#include "platform/coregraphics/CGWindow.h"

#include "MenuTestSupport.h"
#include "WindowTestSupport.h"

#include <algorithm>
#include <unistd.h>

namespace appkit {

using testing::RecordingTarget;
using testing::whileTracking;

class NSStatusItems : public testing::WindowTest {
  protected:
    void TearDown() override {
        auto bar = NSStatusBar::systemStatusBar();
        while (!bar->statusItems().empty())
            bar->removeStatusItem(bar->statusItems().back());
        WindowTest::TearDown();
    }
    static std::shared_ptr<NSStatusItem> item(double length) {
        return NSStatusBar::systemStatusBar()->statusItemWithLength(length);
    }
    static std::shared_ptr<NSImage> image(const std::string& name, double width) {
        auto picture = std::make_shared<NSImage>(cg::CGSizeMake(width, 16));
        picture->setName(name);
        return picture;
    }
    static bool frameIs(const std::shared_ptr<NSStatusItem>& i, double x, double width) {
        // The menu bar is the main screen's (1440 × 900) top 22 points.
        const cg::CGRect f = i->window()->frame();
        EXPECT_TRUE(cg::CGRectEqualToRect(f, cg::CGRectMake(x, 878, width, 22)))
            << f.origin.x << "," << f.origin.y << " " << f.size.width << "x" << f.size.height;
        return cg::CGRectEqualToRect(f, cg::CGRectMake(x, 878, width, 22));
    }
};

TEST_F(NSStatusItems, ItemsLieRightToLeftInTheMenuBarAndCloseUpWhenOneIsRemoved) {
    auto first = item(NSVariableStatusItemLength);
    first->setTitle("Tessel"); // 6 × 7 + 8
    auto square = item(NSSquareStatusItemLength);
    auto fixed = item(30);
    EXPECT_TRUE(frameIs(first, 1440 - 100 - 50, 50));
    EXPECT_TRUE(frameIs(square, 1290 - 22, 22));
    EXPECT_TRUE(frameIs(fixed, 1268 - 30, 30));

    // An image takes the width in place of the title.
    first->setImage(image("TesselHost_StatusBar", 18));
    EXPECT_TRUE(frameIs(first, 1340 - 26, 26));
    EXPECT_TRUE(frameIs(square, 1314 - 22, 22));

    auto window = first->window();
    EXPECT_EQ(window->level(), NSStatusWindowLevel);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->canBecomeKeyWindow());
    auto list =
        cg::CGWindowListCopyWindowInfo(cg::kCGWindowListOptionIncludingWindow, window->windowNumber());
    ASSERT_TRUE(list && list->count() == 1);
    EXPECT_EQ(list->at(0)->find(cg::kCGWindowLayer)->integerValue(), 25);
    EXPECT_EQ(first->button()->window(), window);

    NSStatusBar::systemStatusBar()->removeStatusItem(first);
    EXPECT_FALSE(first->window());
    EXPECT_FALSE(first->button());
    auto windows = NSApp()->windows();
    EXPECT_EQ(std::count(windows.begin(), windows.end(), window), 0);
    EXPECT_TRUE(frameIs(square, 1340 - 22, 22));
    EXPECT_TRUE(frameIs(fixed, 1318 - 30, 30));
    EXPECT_EQ(NSStatusBar::systemStatusBar()->statusItems().size(), 2u);
}

TEST_F(NSStatusItems, TheItemsSettersReachTheButtonWhoseClicksSendItsActionWithItselfAsSender) {
    auto target = std::make_shared<RecordingTarget>();
    auto status = item(NSVariableStatusItemLength);
    status->setImage(image("TesselHost_StatusBar", 18));
    status->setTarget(target);
    status->setAction("about:");
    status->setEnabled(true);
    auto button = status->button();
    EXPECT_EQ(button->target(), target);
    EXPECT_EQ(button->action(), "about:");
    EXPECT_EQ(button->image(), status->image());

    // A click on the item's window reaches the button, which fills it.
    auto window = status->window();
    testing::clickWindow(*window, cg::CGPointMake(5, 5));
    EXPECT_TRUE(window->accessibilityPerformAction("AXPress"));
    EXPECT_EQ(target->actions, (std::vector<std::string>{"about:", "about:"}));
    EXPECT_EQ(target->senders, (std::vector<NSActionTarget*>{button.get(), button.get()}));

    status->setEnabled(false);
    EXPECT_FALSE(button->isEnabled());
    EXPECT_FALSE(window->accessibilityPerformAction("AXPress"));
    EXPECT_EQ(target->actions.size(), 2u);
}

TEST_F(NSStatusItems, TheExporterListsTheItemInTheExtrasMenuBarAndItsMenuWhileItTracks) {
    auto exporter = std::make_shared<NSAccessibilityExporter>(::getpid(), "Host");
    auto status = item(NSVariableStatusItemLength);
    status->setImage(image("TesselHost_StatusBar", 18));
    auto window = status->window();
    EXPECT_EQ(window->accessibilityRole(), "AXMenuBarItem");
    EXPECT_EQ(window->accessibilityTitle(), "TesselHost_StatusBar"); // the image's name
    status->setTitle("Tessel");
    EXPECT_EQ(window->accessibilityTitle(), "Tessel");

    auto element = exporter->elementForWindow(window);
    ax::AXAttributeValue value;
    ASSERT_EQ(exporter->copyAttributeValue(element, "AXIdentifier", &value), ax::kAXErrorSuccess);
    EXPECT_EQ(*std::get<cf::Value>(value).asString(), "statusItem");
    ASSERT_EQ(exporter->copyAttributeValue(element, "AXParent", &value), ax::kAXErrorSuccess);
    EXPECT_EQ(std::get<ax::AXUIElementRef>(value)->id, kAXExtrasMenuBarSerial);
    // A leaf: the button inside adds no element of its own.
    ASSERT_EQ(exporter->copyAttributeValue(element, "AXChildren", &value), ax::kAXErrorSuccess);
    EXPECT_TRUE(std::get<std::vector<ax::AXUIElementRef>>(value).empty());

    // A press pops the item's menu up below it; the open menu is the application's last child.
    auto target = std::make_shared<RecordingTarget>();
    auto menu = NSMenu::make();
    menu->addItemWithTitle("About", "about:")->setTarget(target);
    menu->addItemWithTitle("Quit", "quit:")->setTarget(target);
    status->setMenu(menu);
    cg::CGRect menuFrame = cg::CGRectNull;
    std::string lastChildRole;
    whileTracking([&] {
        auto open = std::dynamic_pointer_cast<NSMenuWindow>(NSMenu::openMenuWindow());
        ASSERT_TRUE(open);
        menuFrame = open->frame();
        ax::AXAttributeValue children;
        ASSERT_EQ(exporter->copyAttributeValue(exporter->applicationElement(), "AXChildren", &children),
                  ax::kAXErrorSuccess);
        auto& list = std::get<std::vector<ax::AXUIElementRef>>(children);
        ax::AXAttributeValue role;
        exporter->copyAttributeValue(*list.back(), "AXRole", &role);
        lastChildRole = *std::get<cf::Value>(role).asString();
        // The exporter presses a row after its answer.
        std::function<void()> deed;
        auto row = exporter->elementForView(open->rowForItem(*menu->itemAtIndex(1)));
        ASSERT_EQ(exporter->performAction(row, "AXPress", &deed), ax::kAXErrorSuccess);
        ASSERT_TRUE(deed);
        deed();
    });
    std::function<void()> deed;
    ASSERT_EQ(exporter->performAction(element, "AXPress", &deed), ax::kAXErrorSuccess);
    ASSERT_TRUE(deed);
    deed();
    EXPECT_EQ(lastChildRole, "AXMenu");
    // Below the item: the menu's top at the bar's bottom, its left at the item's left unless
    // that would take it past the screen's right edge.
    EXPECT_TRUE(cg::CGRectEqualToRect(
        menuFrame, cg::CGRectMake(std::min(window->frame().origin.x, 1440.0 - 240), 878 - 40, 240, 40)));
    EXPECT_EQ(target->actions, std::vector<std::string>{"quit:"});
}

} // namespace appkit
