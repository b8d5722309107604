// Toolbars: items from the delegate's defaults laid across the top of a panel's content, clicks
// and presses sending the item's action with the item as sender, the selected item, the items
// exported as buttons, and the toolbar surviving its panel's panes being swapped and resized.
#include "platform/appkit/NSAccessibilityExporter.h"
#include "platform/appkit/NSToolbar.h"

#include "MenuTestSupport.h"
#include "WindowTestSupport.h"

#include <unistd.h>

namespace appkit {

namespace {

// A preferences manager: the toolbar's delegate and its items' target.
class Manager : public NSResponder, public NSToolbarDelegate {
  public:
    static const NSActionTable& classActions() {
        static const NSActionTable table = NSActionTable(&NSResponder::classActions())
                                               .action("toolbarItemPressed:", &Manager::toolbarItemPressed);
        return table;
    }
    const NSActionTable& actionTable() const override { return classActions(); }
    void toolbarItemPressed(NSToolbarItem* sender) { pressed.push_back(sender); }

    std::vector<std::string> toolbarAllowedItemIdentifiers(NSToolbar&) override {
        return {"general", "stylus"};
    }
    std::vector<std::string> toolbarDefaultItemIdentifiers(NSToolbar&) override {
        return {"general", "stylus"};
    }
    std::shared_ptr<NSToolbarItem> toolbarItemForItemIdentifier(NSToolbar&, const std::string& identifier,
                                                                bool) override {
        ++asked;
        for (auto& item : {general, stylus})
            if (item->itemIdentifier() == identifier) return item;
        return nullptr;
    }

    std::shared_ptr<NSToolbarItem> general = NSToolbarItem::make("general");
    std::shared_ptr<NSToolbarItem> stylus = NSToolbarItem::make("stylus");
    std::vector<NSToolbarItem*> pressed;
    int asked = 0;
};

} // namespace

class NSMenuToolbar : public testing::WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        manager = std::make_shared<Manager>();
        for (auto& item : {manager->general, manager->stylus}) {
            item->setTarget(manager);
            item->setAction("toolbarItemPressed:");
        }
        manager->general->setLabel("General");        // 7 × 7 + 16 = 65 wide
        manager->stylus->setLabel("Stylus Settings"); // 15 × 7 + 16 = 121 wide
        panel = NSWindow::make<NSPanel>(cg::CGRectMake(200, 200, 400, 300), NSWindowStyleMaskTitled);
        toolbar = NSToolbar::make("prefs");
        toolbar->setDelegate(manager);
        panel->setToolbar(toolbar);
        panel->makeKeyAndOrderFront();
    }
    void click(cg::CGPoint at) { testing::clickWindow(*panel, at); }

    std::shared_ptr<Manager> manager;
    std::shared_ptr<NSPanel> panel;
    std::shared_ptr<NSToolbar> toolbar;
};

TEST_F(NSMenuToolbar, TheDelegatesDefaultItemsLieAcrossTheTopOfTheContentAndClicksSendTheirAction) {
    ASSERT_EQ(toolbar->items().size(), 2u);
    EXPECT_EQ(manager->asked, 2);
    EXPECT_EQ(toolbar->items()[1], manager->stylus);
    EXPECT_EQ(manager->stylus->toolbar(), toolbar);
    // The frame does not grow: the strip is the content's top 38 points.
    EXPECT_TRUE(cg::CGRectEqualToRect(panel->frame(), cg::CGRectMake(200, 200, 400, 322)));
    EXPECT_TRUE(cg::CGRectEqualToRect(toolbar->view()->frame(), cg::CGRectMake(0, 262, 400, 38)));
    EXPECT_TRUE(cg::CGRectEqualToRect(manager->stylus->button()->frame(), cg::CGRectMake(65, 0, 121, 38)));

    click(cg::CGPointMake(100, 280)); // on Stylus
    click(cg::CGPointMake(10, 280));  // on General
    EXPECT_EQ(manager->pressed, (std::vector<NSToolbarItem*>{manager->stylus.get(), manager->general.get()}));
    manager->general->setEnabled(false);
    click(cg::CGPointMake(10, 280));
    EXPECT_FALSE(manager->general->button()->accessibilityEnabled());
    manager->general->button()->accessibilityPerformAction("AXPress");
    EXPECT_EQ(manager->pressed.size(), 2u);

    // The strip is drawn over the content.
    auto image = picture(*panel);
    EXPECT_EQ(pixel(image, 390, 22 + 2), 0xFFE0E0E0u);
    EXPECT_EQ(pixel(image, 390, 22 + 100), testing::kWindowGrey);
}

TEST_F(NSMenuToolbar, TheSelectedItemIsMarkedAndTheToolbarOutlivesAPaneSwap) {
    toolbar->setSelectedItemIdentifier("stylus");
    EXPECT_EQ(toolbar->selectedItemIdentifier(), "stylus");
    EXPECT_EQ(manager->stylus->button()->state(), NSControlStateValueOn);
    EXPECT_EQ(manager->general->button()->state(), NSControlStateValueOff);

    // A pane swap: every subview of the content view goes, the panel takes the pane's size with
    // its top kept, the pane comes in. The toolbar stays at the new top and is hit first.
    auto content = panel->contentView();
    content->addSubview(std::make_shared<NSView>(cg::CGRectMake(0, 0, 400, 300)));
    for (auto subviews = content->subviews(); auto& v : subviews)
        v->removeFromSuperview();
    panel->setContentSize(cg::CGSizeMake(500, 200));
    auto pane = std::make_shared<NSView>(cg::CGRectMake(0, 0, 500, 200));
    content->addSubview(pane);
    EXPECT_TRUE(cg::CGRectEqualToRect(toolbar->view()->frame(), cg::CGRectMake(0, 162, 500, 38)));
    click(cg::CGPointMake(10, 180));
    EXPECT_EQ(manager->pressed, std::vector<NSToolbarItem*>{manager->general.get()});

    // Exported as buttons titled by their labels, ahead of the content's views.
    NSAccessibilityExporter exporter(::getpid(), "Prefs");
    ax::AXAttributeValue children;
    ASSERT_EQ(exporter.copyAttributeValue(exporter.elementForWindow(panel), "AXChildren", &children),
              ax::kAXErrorSuccess);
    auto& list = std::get<std::vector<ax::AXUIElementRef>>(children);
    ASSERT_GE(list.size(), 2u);
    std::vector<std::string> seen;
    for (size_t i = 0; i < 2; ++i) {
        ax::AXAttributeValue role, title;
        exporter.copyAttributeValue(*list[i], "AXRole", &role);
        exporter.copyAttributeValue(*list[i], "AXTitle", &title);
        seen.push_back(*std::get<cf::Value>(role).asString() + " " + *std::get<cf::Value>(title).asString());
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"AXButton General", "AXButton Stylus Settings"}));

    // Hidden, it neither draws nor takes clicks nor exports.
    toolbar->setVisible(false);
    EXPECT_FALSE(panel->toolbarView());
    click(cg::CGPointMake(10, 180));
    EXPECT_EQ(manager->pressed.size(), 1u);
}

TEST_F(NSMenuToolbar, ItemsMadeElsewhereInsertOnceAndAToolbarBelongsToOneWindow) {
    auto other = NSWindow::make(cg::CGRectMake(0, 0, 100, 100), NSWindowStyleMaskTitled);
    other->setToolbar(toolbar); // refused: the panel has it
    EXPECT_FALSE(other->toolbar());
    auto extra = NSToolbarItem::make("extra");
    toolbar->insertItem(extra, 0);
    toolbar->insertItem(extra, 1); // refused: in the toolbar already
    toolbar->insertItemWithItemIdentifier("unknown", 0);
    ASSERT_EQ(toolbar->items().size(), 3u);
    EXPECT_EQ(toolbar->items()[0], extra);
    EXPECT_TRUE(cg::CGRectEqualToRect(manager->general->button()->frame(), cg::CGRectMake(64, 0, 65, 38)));
    toolbar->removeItemAtIndex(0);
    EXPECT_FALSE(extra->toolbar());
    EXPECT_TRUE(cg::CGRectEqualToRect(manager->general->button()->frame(), cg::CGRectMake(0, 0, 65, 38)));
    panel->setToolbar(nullptr);
    EXPECT_FALSE(toolbar->window());
    other->setToolbar(toolbar);
    EXPECT_EQ(other->toolbar(), toolbar);
    EXPECT_EQ(toolbar->items().size(), 2u); // not loaded again
}

} // namespace appkit
