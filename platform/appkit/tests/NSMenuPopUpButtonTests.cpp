// Pop-up buttons: tagged items and the selection, the menu popped up over the button through the
// tracking loop, and the "selectedTag" binding (pushed from the model, written back by a user
// choice before the action is sent, never by code).
#include "platform/appkit/NSMenuWindow.h"
#include "platform/appkit/NSPopUpButton.h"

#include "ControlTestSupport.h"
#include "MenuTestSupport.h"

namespace appkit {

using testing::whileTracking;

namespace {

// A model with an action number, counting the sets that reach it.
class ActionModel : public ns::NSObject {
  public:
    static const ns::KeyTable& classKeys() {
        static const ns::KeyTable table =
            ns::KeyTable("ActionModel", &ns::NSObject::classKeys())
                .property("action", &ActionModel::action, &ActionModel::setAction);
        return table;
    }
    const ns::KeyTable& keyTable() const override { return classKeys(); }
    int64_t action() const { return m_action; }
    void setAction(int64_t action) {
        m_action = action;
        ++sets;
    }
    int sets = 0;

  private:
    int64_t m_action = 2;
};

// Answers "choose:", recording the model's value and the sender's selection as it arrives.
class Chooser : public NSActionTarget {
  public:
    static const NSActionTable& classActions() {
        static const NSActionTable table =
            NSActionTable(&NSActionTarget::classActions()).action("choose:", &Chooser::choose);
        return table;
    }
    const NSActionTable& actionTable() const override { return classActions(); }
    void choose(NSPopUpButton* sender) {
        senders.push_back(sender);
        modelSeen.push_back(model ? model->action() : 0);
        tagSeen.push_back(sender ? sender->selectedTag() : 0);
    }
    std::vector<NSPopUpButton*> senders;
    std::vector<int64_t> modelSeen;
    std::vector<int64_t> tagSeen;
    std::shared_ptr<ActionModel> model;
};

} // namespace

class NSMenuPopUpButton : public testing::ControlTest {
  protected:
    void SetUp() override {
        ControlTest::SetUp();
        popup = std::make_shared<NSPopUpButton>(cg::CGRectMake(20, 30, 120, 24));
        popup->addItemsWithTitles({"Eraser", "Click", "Middle Click", "Disabled"});
        const int64_t tags[] = {1, 2, 3, 20};
        for (int64_t i = 0; i < 4; ++i)
            popup->itemAtIndex(i)->setTag(tags[i]);
        chooser = std::make_shared<Chooser>();
        chooser->model = model;
        popup->setTarget(chooser);
        popup->setAction("choose:");
        window->contentView()->addSubview(popup);
        popup->bind("selectedTag", model, "action");
    }
    std::shared_ptr<NSMenuWindow> openWindow() {
        return std::dynamic_pointer_cast<NSMenuWindow>(NSMenu::openMenuWindow());
    }

    std::shared_ptr<ActionModel> model = std::make_shared<ActionModel>();
    std::shared_ptr<Chooser> chooser;
    std::shared_ptr<NSPopUpButton> popup;
};

TEST_F(NSMenuPopUpButton, TheBindingPushSelectsByTagAndCodeWritesNothingBack) {
    EXPECT_EQ(popup->selectedTag(), 2); // pushed when bound
    EXPECT_EQ(popup->titleOfSelectedItem(), "Click");
    EXPECT_EQ(popup->title(), "Click");
    EXPECT_EQ(popup->itemAtIndex(1)->state(), 1);
    model->setValueForKey(ns::Id(int64_t(20)), "action");
    EXPECT_EQ(popup->indexOfSelectedItem(), 3);
    EXPECT_EQ(popup->itemAtIndex(1)->state(), 0);
    const int sets = model->sets;
    EXPECT_TRUE(popup->selectItemWithTag(1));
    EXPECT_EQ(popup->objectValue().integerValue(), 0);
    EXPECT_FALSE(popup->selectItemWithTag(99));
    EXPECT_FALSE(popup->selectedItem());
    EXPECT_EQ(popup->selectedTag(), -1);
    EXPECT_EQ(model->sets, sets);
    EXPECT_EQ(model->action(), 20);
    EXPECT_TRUE(chooser->senders.empty());
}

TEST_F(NSMenuPopUpButton, AClickPopsTheMenuOverTheButtonAndAChoiceWritesTheTagBeforeTheAction) {
    cg::CGRect frame = cg::CGRectNull;
    whileTracking([&] {
        auto open = openWindow();
        ASSERT_TRUE(open);
        frame = open->frame();
        EXPECT_TRUE(open->rowForItem(*popup->itemAtIndex(2))->accessibilityPerformAction("AXPress"));
    });
    click(cg::CGPointMake(30, 40)); // inside the button
    // Window content at (100, 100); the button's top-left at (120, 154); the selected item
    // ("Click", row 1) lies there, so the menu's top is one row higher.
    EXPECT_TRUE(cg::CGRectEqualToRect(frame, cg::CGRectMake(120, 94, 240, 80)));
    EXPECT_EQ(popup->selectedTag(), 3);
    EXPECT_EQ(model->action(), 3);
    EXPECT_EQ(chooser->senders, std::vector<NSPopUpButton*>{popup.get()});
    EXPECT_EQ(chooser->modelSeen, std::vector<int64_t>{3}); // written back before the action
    EXPECT_EQ(chooser->tagSeen, std::vector<int64_t>{3});
    EXPECT_FALSE(NSMenu::openMenuWindow());
}

TEST_F(NSMenuPopUpButton, ACancelledMenuChangesNothing) {
    const int sets = model->sets;
    whileTracking([&] { openWindow()->accessibilityPerformAction("AXCancel"); });
    EXPECT_TRUE(popup->accessibilityPerformAction("AXShowMenu"));
    EXPECT_EQ(popup->selectedTag(), 2);
    EXPECT_EQ(model->sets, sets);
    EXPECT_TRUE(chooser->senders.empty());
}

TEST_F(NSMenuPopUpButton, AccessibilityShowsTheSelectedTitleAndADisabledButtonOpensNothing) {
    EXPECT_EQ(popup->accessibilityRole(), "AXPopUpButton");
    EXPECT_EQ(*popup->accessibilityValue()->asString(), "Click");
    EXPECT_EQ(popup->accessibilityActionNames(), (std::vector<std::string>{"AXPress", "AXShowMenu"}));
    popup->setEnabled(false);
    EXPECT_FALSE(popup->accessibilityPerformAction("AXPress"));
    click(cg::CGPointMake(30, 40));
    EXPECT_FALSE(NSMenu::openMenu());
    EXPECT_TRUE(chooser->senders.empty());

    // Re-adding a title moves it to the end; removing every item leaves no selection.
    popup->addItemWithTitle("Eraser");
    EXPECT_EQ(popup->lastItem()->title(), "Eraser");
    EXPECT_EQ(popup->numberOfItems(), 4);
    popup->removeAllItems();
    EXPECT_FALSE(popup->selectedItem());
    EXPECT_EQ(popup->title(), "");
}

} // namespace appkit
