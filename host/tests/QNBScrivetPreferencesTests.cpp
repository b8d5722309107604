// The Stylus pane: actions stored under their button numbers and shown by the pop-ups, the
// controls each action enables, one modifier mask per check box, wrong-typed stored values, the
// pressure meter, and the texts offered to the nib.
#include "PreferencesWindowTestSupport.h"

#include "platform/appkit/NSPopUpButton.h"
#include "platform/appkit/NSSlider.h"

#include <cmath>
#include <limits>

namespace host {
namespace {

class QNBScrivetPreferencesTest : public testing::PreferencesWindowTest {
  protected:
    std::shared_ptr<appkit::NSPopUpButton> popUp(const std::string& id) {
        return stylusView<appkit::NSPopUpButton>(id);
    }
    std::shared_ptr<appkit::NSButton> box(const std::string& id) { return stylusView<appkit::NSButton>(id); }
    // A choice in a pop-up as the user's: select, write the binding back, send the action.
    void choose(const std::string& id, int64_t tag) {
        auto p = popUp(id);
        ASSERT_TRUE(p->selectItemWithTag(tag));
        p->writeBackBinding("selectedTag", ns::Id(tag));
    }
    static int64_t storedInteger(const std::string& key) {
        auto value = stored(key);
        return value ? value->integerValue() : -1;
    }
    static appkit::NSEvent pen(double pressure) {
        return appkit::NSEvent::mouseEvent(appkit::NSEventType::TabletPoint, cg::CGPointZero, 0, 0, 0, 0,
                                           pressure);
    }
};

TEST_F(QNBScrivetPreferencesTest, EveryPopUpOffersTheElevenActionsTaggedWithTheirNumbers) {
    manager();
    for (const char* id : {"button1Action", "button2Action", "tipAction", "eraserAction", "fingerAction"}) {
        SCOPED_TRACE(id);
        auto p = popUp(id);
        ASSERT_TRUE(p);
        ASSERT_EQ(p->numberOfItems(), 11);
        for (int64_t tag : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 20})
            EXPECT_GE(p->indexOfItemWithTag(tag), 0) << tag;
        EXPECT_EQ(p->itemAtIndex(p->indexOfItemWithTag(10))->title(), "Keystroke…");
        EXPECT_EQ(p->itemAtIndex(p->indexOfItemWithTag(9))->title(), "Modifier Keys…");
        EXPECT_EQ(p->itemAtIndex(p->indexOfItemWithTag(20))->title(), "Disabled");
    }
    EXPECT_EQ(popUp("button2Action")->selectedTag(), int64_t(m_preferences->actionForButton(8)));
}

TEST_F(QNBScrivetPreferencesTest, ChoicesAreStoredUnderTheButtonNumbersAndAnnounced) {
    manager();
    pairs();
    choose("fingerAction", QNBStylusActionScrollWheel);
    EXPECT_EQ(storedInteger("buttonAction32768"), 6);
    EXPECT_FALSE(stored("buttonAction0"));
    choose("tipAction", QNBStylusActionClick);
    choose("eraserAction", QNBStylusActionDisabled);
    choose("button2Action", QNBStylusActionUndo);
    EXPECT_EQ(storedInteger("buttonAction1"), 2);
    EXPECT_EQ(storedInteger("buttonAction2"), 20);
    EXPECT_EQ(storedInteger("buttonAction8"), 7);
    EXPECT_EQ(pairs(), 4u);

    // Nothing is cached: a value stored elsewhere is what the pane answers.
    store("buttonAction4", cf::Value(int64_t(3)));
    EXPECT_EQ(stylus().valueForKey("button1Action").integerValue(), 3);
}

TEST_F(QNBScrivetPreferencesTest, ModifierKeysEnableTheCheckBoxesAndKeystrokeTheEditor) {
    store("buttonAction4", cf::Value(int64_t(QNBStylusActionClick)));
    manager();
    auto editor = stylus().button1ShortCutEditor.lock();
    ASSERT_TRUE(editor);
    EXPECT_FALSE(box("button1UsesShiftModifier")->isEnabled());
    EXPECT_FALSE(editor->isEnabled());

    choose("button1Action", QNBStylusActionCustomModifier);
    EXPECT_TRUE(stylus().valueForKey("button1UsesModifier").boolValue());
    EXPECT_FALSE(stylus().valueForKey("button1UsesShortcut").boolValue());
    for (const char* id : {"button1UsesShiftModifier", "button1UsesControlModifier",
                           "button1UsesOptionModifier", "button1UsesCommandModifier"})
        EXPECT_TRUE(box(id)->isEnabled()) << id;
    EXPECT_FALSE(box("button2UsesShiftModifier")->isEnabled())
        << "the other button's boxes follow its own action";
    EXPECT_FALSE(editor->isEnabled());

    choose("button1Action", QNBStylusActionKeystroke);
    EXPECT_TRUE(editor->isEnabled());
    EXPECT_FALSE(box("button1UsesShiftModifier")->isEnabled());
}

TEST_F(QNBScrivetPreferencesTest, TickingOptionSetsOnlyItsMaskInTheStoredWord) {
    store("buttonAction8", cf::Value(int64_t(QNBStylusActionCustomModifier)));
    store("buttonModifiers8", cf::Value(int64_t(0x20000)));
    manager();
    EXPECT_EQ(box("button2UsesShiftModifier")->state(), appkit::NSControlStateValueOn);
    EXPECT_EQ(box("button2UsesOptionModifier")->state(), appkit::NSControlStateValueOff);

    box("button2UsesOptionModifier")->performClick();
    EXPECT_EQ(storedInteger("buttonModifiers8"), 0xA0000);
    box("button2UsesShiftModifier")->performClick();
    EXPECT_EQ(storedInteger("buttonModifiers8"), 0x80000);
    EXPECT_FALSE(stylus().valueForKey("button2UsesShiftModifier").boolValue());
    EXPECT_TRUE(stylus().valueForKey("button2UsesOptionModifier").boolValue());
}

TEST_F(QNBScrivetPreferencesTest, WrongTypedStoredValuesSelectNothingAndAreLeftAlone) {
    store("buttonAction4", cf::Value(int64_t(999)));
    store("buttonAction8", cf::Value(std::string("Click")));
    store(foundation::kStylusPressureSensitivity, cf::Value(std::string("high")));
    manager();
    EXPECT_EQ(popUp("button1Action")->selectedItem(), nullptr);
    EXPECT_EQ(popUp("button1Action")->title(), "");
    EXPECT_EQ(popUp("button2Action")->selectedTag(), int64_t(m_preferences->actionForButton(8)))
        << "a text reads as the button's default";
    EXPECT_DOUBLE_EQ(stylusView<appkit::NSSlider>("pressureSensitivity")->doubleValue(), 0.5);
    EXPECT_EQ(storedInteger("buttonAction4"), 999);
    EXPECT_EQ(*stored(foundation::kStylusPressureSensitivity)->asString(), "high");
}

TEST_F(QNBScrivetPreferencesTest, TheSliderStoresTheSensitivityAsAFloat) {
    manager();
    auto slider = stylusView<appkit::NSSlider>("pressureSensitivity");
    ASSERT_TRUE(slider->accessibilitySetValue(cf::Value(0.75)));
    EXPECT_FLOAT_EQ(m_preferences->stylusPressureSensitivity(), 0.75f);
    EXPECT_DOUBLE_EQ(stylus().pressureSensitivity(), 0.75);
}

TEST_F(QNBScrivetPreferencesTest, PressureIsSixteenTimesThePensAndStaysOnTheMeter) {
    manager();
    auto level = stylusView<appkit::NSLevelIndicator>("currentPressure");
    ASSERT_TRUE(level);
    EXPECT_EQ(level->maxValue(), 16);

    stylus().pressureEvent(pen(0.5));
    EXPECT_EQ(stylus().currentPressure(), 8);
    EXPECT_EQ(level->doubleValue(), 8);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double hostile : {nan, inf, -inf, -1.0}) {
        stylus().pressureEvent(pen(0.5));
        stylus().pressureEvent(pen(hostile));
        EXPECT_EQ(stylus().currentPressure(), 0) << hostile;
    }
    stylus().pressureEvent(pen(3));
    EXPECT_EQ(stylus().currentPressure(), 16);
    stylus().setValueForKey(ns::Id(nan), "currentPressure");
    EXPECT_EQ(stylus().currentPressure(), 0);
    EXPECT_FALSE(std::isnan(level->doubleValue()));
}

TEST_F(QNBScrivetPreferencesTest, TextsAreTheirEnglishKeysAndTheLinksAreTheirs) {
    manager();
    EXPECT_EQ(*stylus().valueForKey("actionKeyStrokeText").string(), "Keystroke…");
    EXPECT_EQ(*stylus().valueForKey("actionEraseText").string(), "Eraser");
    EXPECT_EQ(*stylus().valueForKey("learnAboutScrivetText").string(), "Learn About Scrivet…");
    EXPECT_EQ(*stylus().valueForKey("pressureHelpText").string(),
              "Higher sensitivity will make the pen more responsive to light pressure.");
    EXPECT_TRUE(stylus().respondsToSelector("learnAboutScrivet:"));
    EXPECT_TRUE(stylus().respondsToSelector("aboutPressureSensitivePens:"));
    EXPECT_NE(std::string(kQNBScrivetURL), std::string(kQNBPressureSensitivePensURL));
}

// What a person would find wrong in a pane: texts side by side drawn over each other, and texts
// cut by their frames at the font they are drawn in.
std::string layoutFaults(const std::shared_ptr<appkit::NSView>& view) {
    std::string faults;
    std::vector<std::pair<std::string, cg::CGRect>> texts;
    for (const auto& child : view->subviews()) {
        faults += layoutFaults(child);
        if (child->isHidden()) continue;
        appkit::NSStringAttributes attributes;
        std::vector<std::string> shown;
        double room = child->frame().size.width;
        if (auto popUp = std::dynamic_pointer_cast<appkit::NSPopUpButton>(child)) {
            attributes.font = popUp->font();
            for (const auto& item : popUp->itemArray())
                shown.push_back(item->title());
            room -= appkit::kNSPopUpButtonArrowWidth;
        } else if (auto button = std::dynamic_pointer_cast<appkit::NSButton>(child)) {
            attributes.font = button->font();
            shown.push_back(button->title());
            if (button->isSwitch()) room -= appkit::kNSCheckBoxTitleOffset;
        } else if (auto field = std::dynamic_pointer_cast<appkit::NSTextField>(child)) {
            attributes.font = field->font();
            shown.push_back(field->stringValue());
            room -= 2 * appkit::kNSTextFieldTextInset;
        } else {
            continue;
        }
        const std::string name = child->identifier().empty() ? shown.front() : child->identifier();
        for (const auto& text : shown) {
            if (text.empty()) continue;
            // Wrapped where the frame has room for lines below the first.
            const cg::CGSize size = appkit::NSStringSize(text, attributes, room);
            const cg::CGSize line = appkit::NSStringSize(text, attributes);
            if (line.width > room && size.height > child->frame().size.height + 0.5)
                faults += "\"" + text + "\" does not fit " + name + "\n";
        }
        texts.push_back({name, child->frame()});
    }
    for (size_t i = 0; i < texts.size(); ++i)
        for (size_t j = i + 1; j < texts.size(); ++j)
            if (!cg::CGRectIsEmpty(cg::CGRectIntersection(texts[i].second, texts[j].second)))
                faults += texts[i].first + " overlaps " + texts[j].first + "\n";
    return faults;
}

TEST_F(QNBScrivetPreferencesTest, NoTextOfEitherPaneOverlapsAnotherOrIsCutByItsFrame) {
    manager();
    EXPECT_EQ(layoutFaults(stylus().view()), "");
    EXPECT_EQ(layoutFaults(general().view()), "");
}

} // namespace
} // namespace host
