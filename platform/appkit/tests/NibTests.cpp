// The nib registry with view and window controllers: builders making objects, outlets naming
// them, awakeFromNib in creation order with the owner last, windows named after their nib,
// loading on first use, unknown nibs, and actions reaching a window's controller.
#include "platform/appkit/NSButton.h"
#include "platform/appkit/NSNib.h"
#include "platform/appkit/NSTextField.h"
#include "platform/appkit/NSViewController.h"
#include "platform/appkit/NSWindowController.h"

#include "ControlTestSupport.h"

namespace appkit {

namespace {

std::vector<std::string>& journal() {
    static std::vector<std::string> entries;
    return entries;
}

// A view and a controller noting when they wake.
class WakingButton : public NSButton {
  public:
    using NSButton::NSButton;
    void awakeFromNib() override { journal().push_back("button " + identifier()); }
};

class PaneController : public NSViewController {
  public:
    using NSViewController::NSViewController;
    static const NSActionTable& classActions() {
        static const NSActionTable table =
            NSActionTable(&NSViewController::classActions()).action("connect:", &PaneController::connect);
        return table;
    }
    const NSActionTable& actionTable() const override { return classActions(); }
    void awakeFromNib() override { journal().push_back("owner"); }
    void viewDidLoad() override { journal().push_back("viewDidLoad"); }
    void connect(NSButton* sender) { journal().push_back("connect " + (sender ? sender->title() : "?")); }
    std::shared_ptr<WakingButton> connectButton;
    std::weak_ptr<NSTextField> nameLabel;
};

const NSNibRegistrar paneNib("TestPane", [](NSNib& nib) {
    auto* owner = nib.owner<PaneController>();
    if (!owner) return false;
    auto view = nib.make<NSView>(cg::CGRectMake(0, 0, 200, 100));
    auto first = nib.make<WakingButton>(cg::CGRectMake(10, 10, 80, 30));
    auto label = nib.make<NSTextField>(cg::CGRectMake(10, 50, 80, 20));
    auto second = nib.make<WakingButton>(cg::CGRectMake(100, 10, 80, 30));
    view->addSubview(first);
    view->addSubview(label);
    view->addSubview(second);
    first->setTitle("Connect");
    first->setAction("connect:");
    first->setTarget(nib.ownerTarget());
    nib.outlet("connectButton", owner->connectButton, first);
    nib.outlet("nameLabel", owner->nameLabel, label);
    nib.outlet(
        "view", [owner](const std::shared_ptr<NSView>& v) { owner->setView(v); }, view);
    return true;
});

class PanelController : public NSWindowController {
  public:
    using NSWindowController::NSWindowController;
    static const NSActionTable& classActions() {
        static const NSActionTable table =
            NSActionTable(&NSWindowController::classActions()).action("cancel:", &PanelController::cancel);
        return table;
    }
    const NSActionTable& actionTable() const override { return classActions(); }
    void loadWindow() override {
        journal().push_back("loadWindow");
        NSWindowController::loadWindow();
    }
    void windowDidLoad() override { journal().push_back("windowDidLoad"); }
    void cancel(NSActionTarget*) { journal().push_back("cancel"); }
    std::shared_ptr<NSButton> cancelButton;
};

const NSNibRegistrar panelNib("TestPanel", [](NSNib& nib) {
    auto* owner = nib.owner<PanelController>();
    if (!owner) return false;
    auto panel = nib.make<NSPanel>(cg::CGRectMake(100, 100, 300, 120), NSWindowStyleMaskTitled);
    auto cancel = nib.make<NSButton>(cg::CGRectMake(10, 10, 80, 30));
    cancel->setAction("cancel:"); // no target: the chain
    panel->contentView()->addSubview(cancel);
    nib.outlet("cancelButton", owner->cancelButton, cancel);
    owner->setWindow(panel);
    nib.addTopLevelObject(panel);
    return true;
});

} // namespace

class NSControlNibTest : public testing::ControlTest {
  protected:
    void SetUp() override {
        testing::ControlTest::SetUp();
        journal().clear();
    }
};

TEST_F(NSControlNibTest, NibBuildsNamesOutletsAndWakesInCreationOrderOwnerLast) {
    auto pane = std::make_shared<PaneController>("TestPane");
    EXPECT_FALSE(pane->isViewLoaded());
    auto view = pane->view();
    ASSERT_TRUE(view);
    EXPECT_EQ(journal(),
              (std::vector<std::string>{"button connectButton", "button ", "owner", "viewDidLoad"}));
    ASSERT_TRUE(pane->connectButton);
    EXPECT_EQ(pane->connectButton->identifier(), "connectButton");
    ASSERT_TRUE(pane->nameLabel.lock()) << "the view keeps the weakly held label";
    EXPECT_EQ(pane->nameLabel.lock()->identifier(), "nameLabel");
    EXPECT_EQ(view->identifier(), "view");
    EXPECT_EQ(view->subviews()[2]->identifier(), "") << "an object no outlet names keeps no identifier";
    EXPECT_EQ(pane->view(), view) << "loaded once";

    window->contentView()->addSubview(view);
    click(cg::CGPointMake(20, 20));
    EXPECT_EQ(journal().back(), "connect Connect") << "the nib's action reaches its owner";
}

TEST_F(NSControlNibTest, NibUnknownLeavesTheControllerWithoutItsViewAndIsLoggedOnce) {
    auto pane = std::make_shared<PaneController>("NoSuchNib");
    EXPECT_FALSE(pane->view());
    EXPECT_FALSE(pane->view());
    EXPECT_EQ(m_log.count("there is no nib named NoSuchNib"), 1u);
    EXPECT_TRUE(journal().empty()) << "nothing woke, and viewDidLoad did not run";
    std::vector<std::shared_ptr<void>> objects;
    EXPECT_FALSE(NSNib::loadNibNamed("NoSuchNib", nullptr, &objects));
    // A builder given an owner of another class refuses; nothing wakes.
    auto other = std::make_shared<PanelController>("TestPane");
    EXPECT_FALSE(other->window());
    EXPECT_TRUE(m_log.contains("the nib TestPane could not be built"));
    EXPECT_EQ(journal(), (std::vector<std::string>{"loadWindow"}));
}

TEST_F(NSControlNibTest, NibWindowLoadsOnFirstUseTakesTheNibNameAndItsControllerAnswersActions) {
    auto controller = std::make_shared<PanelController>("TestPanel");
    EXPECT_FALSE(controller->isWindowLoaded());
    controller->showWindow(nullptr);
    auto panel = controller->window();
    ASSERT_TRUE(panel);
    EXPECT_EQ(journal(), (std::vector<std::string>{"loadWindow", "windowDidLoad"}));
    EXPECT_EQ(panel->identifier(), "TestPanel") << "a window no outlet names takes the nib's name";
    EXPECT_TRUE(panel->isVisible());
    EXPECT_TRUE(panel->isKeyWindow());
    EXPECT_EQ(panel->windowController(), controller);

    // The nil-targeted button: first responder (none), the panel, then its controller.
    controller->cancelButton->performClick();
    EXPECT_EQ(journal().back(), "cancel");

    // A controller given its window introduces itself when asked for it.
    auto plain = NSWindow::make(cg::CGRectMake(0, 0, 100, 100), NSWindowStyleMaskTitled);
    auto wrapper = std::make_shared<NSWindowController>(plain);
    EXPECT_EQ(wrapper->window(), plain);
    EXPECT_EQ(plain->windowController(), wrapper);
    wrapper->close();
    EXPECT_FALSE(plain->isVisible());
}

} // namespace appkit
