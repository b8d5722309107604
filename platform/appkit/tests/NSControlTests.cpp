// Buttons and the control machinery: user clicks (highlight on down, the next up inside),
// write-back before the action, bindings pushing without writing back, disabled controls, the
// nil-target chain, accessibility, and the plain look.
#include "platform/appkit/NSButton.h"

#include "ControlTestSupport.h"

namespace appkit {

using testing::Model;
using testing::Recorder;

class NSControlTest : public testing::ControlTest {};

TEST_F(NSControlTest, ASwitchClickFlipsWritesTheModelAndThenSendsItsAction) {
    auto model = std::make_shared<Model>();
    auto recorder = std::make_shared<Recorder>();
    recorder->model = model;
    auto box = NSButton::checkboxWithTitle("Auto-connect", recorder, "act:");
    box->setFrame(cg::CGRectMake(10, 10, 120, 20));
    window->contentView()->addSubview(box);
    box->bind("value", model, "flag");
    EXPECT_EQ(box->state(), NSControlStateValueOff);

    mouse(NSEventType::LeftMouseDown, cg::CGPointMake(20, 20));
    EXPECT_TRUE(box->isHighlighted());
    EXPECT_TRUE(recorder->senders.empty()) << "a press alone is no click";
    mouse(NSEventType::LeftMouseUp, cg::CGPointMake(25, 22));
    EXPECT_FALSE(box->isHighlighted());
    EXPECT_EQ(box->state(), NSControlStateValueOn);
    EXPECT_TRUE(model->flag());
    ASSERT_EQ(recorder->senders.size(), 1u);
    EXPECT_EQ(recorder->senders[0], box.get());
    EXPECT_TRUE(recorder->flagsSeen[0]) << "the binding is written before the action is sent";
    EXPECT_EQ(model->flagSets, 1) << "the write-back does not come round into the button again";

    // The model's own change pushes into the button, which writes nothing back.
    model->setValueForKey(ns::Id(false), "flag");
    EXPECT_EQ(box->state(), NSControlStateValueOff);
    EXPECT_EQ(model->flagSets, 2);
    box->setState(NSControlStateValueOn);
    EXPECT_FALSE(model->flag()) << "setState writes no binding";
    EXPECT_EQ(recorder->senders.size(), 1u);
}

TEST_F(NSControlTest, AMouseUpOutsideOrOnADisabledButtonIsNoClick) {
    auto recorder = std::make_shared<Recorder>();
    auto button = NSButton::buttonWithTitle("Connect", recorder, "act:");
    button->setFrame(cg::CGRectMake(10, 10, 80, 30));
    window->contentView()->addSubview(button);

    mouse(NSEventType::LeftMouseDown, cg::CGPointMake(20, 20));
    mouse(NSEventType::LeftMouseDragged, cg::CGPointMake(150, 150));
    EXPECT_FALSE(button->isHighlighted()) << "the highlight follows the pointer";
    mouse(NSEventType::LeftMouseUp, cg::CGPointMake(150, 150));
    EXPECT_TRUE(recorder->senders.empty());

    button->setEnabled(false);
    button->setAlphaValue(0.5);
    click(cg::CGPointMake(20, 20));
    EXPECT_FALSE(button->isHighlighted());
    button->performClick();
    EXPECT_TRUE(button->accessibilityPerformAction("AXPress"));
    EXPECT_TRUE(recorder->senders.empty()) << "disabled controls ignore every kind of click";
    EXPECT_FALSE(button->accessibilityEnabled());

    button->setEnabled(true);
    click(cg::CGPointMake(20, 20));
    button->performClick();
    EXPECT_TRUE(button->accessibilityPerformAction("AXPress"));
    EXPECT_EQ(recorder->senders.size(), 3u);
    EXPECT_EQ(button->state(), NSControlStateValueOff) << "a push button does not flip";
}

TEST_F(NSControlTest, EnabledHiddenAndTitleBindingsPushAndFollowTheModel) {
    auto model = std::make_shared<Model>();
    model->setText("Disconnect");
    auto button = NSButton::buttonWithTitle("Connect", nullptr, "");
    button->bind("title", model, "text");
    button->bind("enabled", model, "flag");
    button->bind("hidden", model, "flag");
    EXPECT_EQ(button->title(), "Disconnect");
    EXPECT_FALSE(button->isEnabled());
    EXPECT_FALSE(button->isHidden());
    model->setValueForKey(ns::Id(true), "flag");
    EXPECT_TRUE(button->isEnabled());
    EXPECT_TRUE(button->isHidden());
    {
        auto info = button->infoForBinding("title");
        ASSERT_TRUE(info);
        EXPECT_EQ(info->observedObject, model);
        EXPECT_EQ(info->observedKeyPath, "text");
    }

    button->unbind("title");
    model->setValueForKey(ns::Id(std::string("Again")), "text");
    EXPECT_EQ(button->title(), "Disconnect");
    EXPECT_FALSE(button->infoForBinding("title"));
    button->bind("selectedTag", model, "number"); // not a button's binding: logged, nothing bound
    EXPECT_FALSE(button->infoForBinding("selectedTag"));
    model.reset();
    EXPECT_FALSE(button->infoForBinding("enabled")) << "destroying the model unbinds";
}

// A view in the chain answering "act:", and an application delegate doing the same.
class ActingView : public NSView {
  public:
    using NSView::NSView;
    static const NSActionTable& classActions() {
        static const NSActionTable table =
            NSActionTable(&NSView::classActions()).action("act:", &ActingView::act);
        return table;
    }
    const NSActionTable& actionTable() const override { return classActions(); }
    bool acceptsFirstResponder() const override { return true; }
    void act(NSActionTarget* sender) { senders.push_back(sender); }
    std::vector<NSActionTarget*> senders;
};

class ActingDelegate : public NSApplicationDelegate, public NSActionTarget {
  public:
    static const NSActionTable& classActions() {
        static const NSActionTable table = NSActionTable().action("quit:", &ActingDelegate::quit);
        return table;
    }
    const NSActionTable& actionTable() const override { return classActions(); }
    void quit(NSButton* sender) { senders.push_back(sender); }
    std::vector<NSButton*> senders;
};

TEST_F(NSControlTest, ANilTargetWalksFirstResponderSuperviewsAndTheApplicationDelegate) {
    auto outer = std::make_shared<ActingView>(cg::CGRectMake(0, 0, 200, 150));
    auto inner = std::make_shared<NSView>(cg::CGRectMake(0, 0, 100, 100));
    auto button = NSButton::buttonWithTitle("Go", nullptr, "act:");
    button->setFrame(cg::CGRectMake(150, 160, 40, 20));
    window->contentView()->addSubview(outer);
    outer->addSubview(inner);
    window->contentView()->addSubview(button);
    auto field = std::make_shared<ActingView>(cg::CGRectMake(0, 0, 10, 10));
    inner->addSubview(field);

    // No first responder: the window, then the application; nobody answers.
    EXPECT_FALSE(appkit::targetForAction("act:", nullptr, button.get()));
    button->performClick();
    EXPECT_TRUE(outer->senders.empty());

    // From the first responder (which answers itself), and from a view whose superview answers.
    ASSERT_TRUE(window->makeFirstResponder(field));
    EXPECT_EQ(appkit::targetForAction("act:", nullptr, button.get()), field.get());
    window->makeFirstResponder(nullptr);
    inner->addSubview(std::make_shared<NSView>()); // plain views do not answer
    auto plain = std::make_shared<ActingView>(cg::CGRectMake(0, 0, 5, 5));
    field->removeFromSuperview();
    ASSERT_TRUE(window->makeFirstResponder(outer));
    button->performClick();
    ASSERT_EQ(outer->senders.size(), 1u);
    EXPECT_EQ(outer->senders[0], static_cast<NSActionTarget*>(button.get()));

    // The application's delegate ends the chain; an explicit target that does not answer is not
    // replaced by the chain.
    auto previous = NSApp()->delegate();
    auto delegate = std::make_shared<ActingDelegate>();
    NSApp()->setDelegate(delegate);
    button->setAction("quit:");
    button->performClick();
    ASSERT_EQ(delegate->senders.size(), 1u);
    EXPECT_EQ(delegate->senders[0], button.get());
    button->setTarget(plain);
    EXPECT_FALSE(button->sendAction("quit:", plain));
    EXPECT_EQ(delegate->senders.size(), 1u);
    NSApp()->setDelegate(previous);
}

TEST_F(NSControlTest, ButtonsTellAccessibilityTheirRoleTitleAndState) {
    auto push = NSButton::buttonWithTitle("Connect", nullptr, "");
    auto box = NSButton::checkboxWithTitle("Start at login", nullptr, "");
    EXPECT_EQ(push->accessibilityRole(), "AXButton");
    EXPECT_EQ(push->accessibilityTitle(), "Connect");
    EXPECT_FALSE(push->accessibilityValue());
    EXPECT_EQ(box->accessibilityRole(), "AXCheckBox");
    EXPECT_EQ(box->accessibilityValue()->integerValue(), 0);
    EXPECT_TRUE(box->accessibilityPerformAction("AXPress"));
    EXPECT_EQ(box->accessibilityValue()->integerValue(), 1);
    EXPECT_FALSE(box->accessibilityPerformAction("AXShowMenu"));
    box->setState(NSControlStateValueMixed);
    EXPECT_EQ(box->accessibilityValue()->integerValue(), 0);
}

TEST_F(NSControlTest, AButtonDrawsItsFrameAndFlatFillAndDarkensWhilePressed) {
    auto button = NSButton::buttonWithTitle("", nullptr, "");
    button->setFrame(cg::CGRectMake(10, 10, 60, 30));
    window->contentView()->addSubview(button);
    window->display();
    // Window pictures count from the top-left: the content's y = 10 is 200 − 10 + 22 from the top.
    auto image = picture(*window);
    const uint32_t fill = pixel(image, 40, 22 + 200 - 25);
    const uint32_t edge = pixel(image, 10, 22 + 200 - 25);
    EXPECT_EQ(fill, 0xFFFAFAFAu);
    EXPECT_EQ(edge, 0xFF808080u);
    EXPECT_EQ(pixel(image, 5, 22 + 200 - 25), testing::kWindowGrey);

    mouse(NSEventType::LeftMouseDown, cg::CGPointMake(40, 25));
    window->displayIfNeeded();
    EXPECT_EQ(pixel(picture(*window), 40, 22 + 200 - 25), 0xFFBFBFBFu);
    mouse(NSEventType::LeftMouseUp, cg::CGPointMake(40, 25));
}

} // namespace appkit
