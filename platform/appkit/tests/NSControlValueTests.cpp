// Text fields, sliders, level indicators and image views: typing into the editable first
// responder (append, Delete, Return), user changes writing back and announcing themselves,
// accessibility set-value typing without the action, slider moves, and the plain pictures.
#include "platform/appkit/NSImageView.h"
#include "platform/appkit/NSSlider.h"
#include "platform/appkit/NSTextField.h"
#include "platform/foundation/NSNotificationCenter.h"

#include "ControlTestSupport.h"

namespace appkit {

using testing::Model;
using testing::Recorder;

class NSControlTextTest : public testing::ControlTest {
  protected:
    void type(const std::string& characters, uint16_t keyCode = 0, uint64_t flags = 0) {
        window->sendEvent(NSEvent::keyEvent(NSEventType::KeyDown, cg::CGPointZero, flags, 0,
                                            window->windowNumber(), characters, keyCode));
    }
};

TEST_F(NSControlTextTest, TypingAppendsDeleteRemovesAndReturnSendsTheAction) {
    auto model = std::make_shared<Model>();
    auto recorder = std::make_shared<Recorder>();
    auto field = NSTextField::textFieldWithString("ab");
    field->setFrame(cg::CGRectMake(10, 10, 100, 22));
    field->setTarget(recorder);
    field->setAction("act:");
    window->contentView()->addSubview(field);
    field->bind("value", model, "text");
    EXPECT_EQ(field->stringValue(), "") << "binding pushes the model's text";
    std::vector<std::string> announced;
    auto token = ns::NSNotificationCenter::defaultCenter().addObserverForName(
        std::string(NSControlTextDidChangeNotification), field.get(), [&](const ns::NSNotification& n) {
            EXPECT_EQ(n.objectIdentity(), static_cast<const void*>(field.get()));
            announced.push_back(model->text()); // written back before the announcement
        });

    type("x");
    EXPECT_EQ(field->stringValue(), "") << "a field that is not first responder takes no keys";
    click(cg::CGPointMake(20, 20));
    ASSERT_EQ(window->firstResponder(), field.get());
    type("h");
    type("\xC3\xA9");        // é
    type("q", 12, 1u << 20); // Command-Q is no typing
    EXPECT_EQ(field->stringValue(), "h\xC3\xA9");
    type("\x7f", 51);
    EXPECT_EQ(field->stringValue(), "h") << "Delete removes the whole last character";
    EXPECT_EQ(model->text(), "h");
    EXPECT_EQ(announced, (std::vector<std::string>{"h", "h\xC3\xA9", "h"}));
    EXPECT_TRUE(recorder->senders.empty()) << "typing sends no action";
    type("\r", 36);
    ASSERT_EQ(recorder->senders.size(), 1u);
    EXPECT_EQ(recorder->senders[0], field.get());
    EXPECT_EQ(announced.size(), 3u);

    // Setting the text from code announces nothing and writes nothing back.
    field->setStringValue("code");
    EXPECT_EQ(model->text(), "h");
    ns::NSNotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(NSControlTextTest, ThePlaceholderIsNoTextCommandASelectsAllAndTypingReplacesIt) {
    auto field = NSTextField::textFieldWithString("");
    field->setPlaceholderString("IP Address");
    field->setFrame(cg::CGRectMake(10, 10, 100, 22));
    window->contentView()->addSubview(field);
    EXPECT_EQ(field->stringValue(), "");
    EXPECT_EQ(field->accessibilityValue()->asString() ? *field->accessibilityValue()->asString() : "?", "");
    window->displayIfNeeded();
    // The insertion point's place at the text's start, in points from the window's top-left.
    const size_t caretX = 12, caretY = 222 - 32 + 8;
    EXPECT_NE(pixel(picture(*window), caretX, caretY), 0xFF000000u) << "no insertion point before focus";

    click(cg::CGPointMake(20, 20));
    ASSERT_EQ(window->firstResponder(), field.get());
    turn();
    EXPECT_EQ(pixel(picture(*window), caretX, caretY), 0xFF000000u)
        << "the focused field shows its insertion point";
    for (const char* c : {"1", "2", "7"})
        type(c, 18);
    EXPECT_EQ(field->stringValue(), "127") << "typed text only, never the placeholder";

    type("a", 0, 1u << 20); // Command-A
    EXPECT_TRUE(field->isTextSelected());
    EXPECT_EQ(field->stringValue(), "127");
    type("1", 18);
    EXPECT_EQ(field->stringValue(), "1") << "typing replaces the selection";
    EXPECT_FALSE(field->isTextSelected());
    type("0", 29);
    EXPECT_EQ(field->stringValue(), "10");
    type("a", 0, 1u << 20);
    type("\x7f", 51);
    EXPECT_EQ(field->stringValue(), "") << "Delete removes the selection";
    // Another responder ends the selection.
    field->setStringValue("kept");
    type("a", 0, 1u << 20);
    window->makeFirstResponder(nullptr);
    EXPECT_FALSE(field->isTextSelected());
}

TEST_F(NSControlTextTest, AccessibilitySetValueTypesWithoutTheActionAndLabelsAreStaticText) {
    auto model = std::make_shared<Model>();
    auto recorder = std::make_shared<Recorder>();
    auto field = NSTextField::textFieldWithString("");
    field->setTarget(recorder);
    field->setAction("act:");
    field->bind("value", model, "text");
    int announcements = 0;
    auto token = ns::NSNotificationCenter::defaultCenter().addObserverForName(
        std::string(NSControlTextDidChangeNotification), field.get(),
        [&](const ns::NSNotification&) { ++announcements; });
    EXPECT_EQ(field->accessibilityRole(), "AXTextField");
    EXPECT_TRUE(field->accessibilityIsValueSettable());
    EXPECT_TRUE(field->accessibilitySetValue(cf::Value("10.0.0.7")));
    EXPECT_EQ(model->text(), "10.0.0.7");
    EXPECT_EQ(announcements, 1);
    EXPECT_TRUE(recorder->senders.empty());
    EXPECT_EQ(field->accessibilityValue()->asString() ? *field->accessibilityValue()->asString() : "",
              "10.0.0.7");
    EXPECT_FALSE(field->accessibilitySetValue(cf::Value(int64_t(7)))) << "a field takes text only";
    EXPECT_EQ(announcements, 1);
    ns::NSNotificationCenter::defaultCenter().removeObserver(token);

    auto label = NSTextField::labelWithString("Tessel");
    EXPECT_EQ(label->accessibilityRole(), "AXStaticText");
    EXPECT_FALSE(label->accessibilityIsValueSettable());
    EXPECT_FALSE(label->accessibilitySetValue(cf::Value("x")));
    EXPECT_FALSE(label->acceptsFirstResponder());
    EXPECT_EQ(label->stringValue(), "Tessel");
}

TEST_F(NSControlTextTest, AttributedAndNumericValuesReadAsText) {
    auto field = NSTextField::labelWithString("");
    NSAttributedString text("Launch Tessel",
                            {NSFont::fontWithName("OpenSans-Semibold", 16), nullptr, nullptr});
    text.addAttributes({NSFont::fontWithName("OpenSans-Bold", 16), nullptr, nullptr}, 7, 6);
    field->setAttributedStringValue(text);
    EXPECT_EQ(field->stringValue(), "Launch Tessel");
    ASSERT_TRUE(field->attributedStringValue());
    EXPECT_EQ(field->attributedStringValue()->runs().size(), 2u);
    field->setIntegerValue(42);
    EXPECT_FALSE(field->attributedStringValue()) << "a plain value replaces the attributed one";
    EXPECT_EQ(field->stringValue(), "42");
    field->setDoubleValue(0.5);
    EXPECT_EQ(field->stringValue(), "0.5");
    EXPECT_EQ(field->doubleValue(), 0.5);
    field->setObjectValue(ns::Id());
    EXPECT_EQ(field->stringValue(), "");
}

class NSControlRangeTest : public testing::ControlTest {};

TEST_F(NSControlRangeTest, ASliderMovedByTheUserWritesBackBeforeItsAction) {
    auto model = std::make_shared<Model>();
    auto recorder = std::make_shared<Recorder>();
    auto slider = NSSlider::sliderWithValue(0, 0, 10, recorder, "act:");
    slider->setFrame(cg::CGRectMake(0, 50, 110, 20)); // a 100-point track past half the knob
    window->contentView()->addSubview(slider);
    slider->bind("value", model, "number");
    model->setValueForKey(ns::Id(20.0), "number");
    EXPECT_EQ(slider->doubleValue(), 10) << "pushed values are clamped into the range";

    std::vector<double> seen;
    recorder->model = nullptr;
    mouse(NSEventType::LeftMouseDown, cg::CGPointMake(55, 60)); // the middle
    EXPECT_DOUBLE_EQ(slider->doubleValue(), 5);
    EXPECT_DOUBLE_EQ(model->number(), 5);
    mouse(NSEventType::LeftMouseDragged, cg::CGPointMake(35, 60));
    mouse(NSEventType::LeftMouseUp, cg::CGPointMake(35, 60));
    EXPECT_DOUBLE_EQ(model->number(), 3);
    EXPECT_EQ(recorder->senders.size(), 2u) << "a continuous slider acts on every move";

    // Not continuous: written on every move, the action once the mouse goes up.
    slider->setContinuous(false);
    mouse(NSEventType::LeftMouseDown, cg::CGPointMake(105, 60));
    EXPECT_DOUBLE_EQ(model->number(), 10);
    EXPECT_EQ(recorder->senders.size(), 2u);
    mouse(NSEventType::LeftMouseUp, cg::CGPointMake(105, 60));
    EXPECT_EQ(recorder->senders.size(), 3u);

    // Accessibility moves it as a user would; texts must hold a number.
    EXPECT_EQ(slider->accessibilityRole(), "AXSlider");
    EXPECT_TRUE(slider->accessibilitySetValue(cf::Value("2.5")));
    EXPECT_DOUBLE_EQ(model->number(), 2.5);
    EXPECT_EQ(recorder->senders.size(), 4u);
    EXPECT_FALSE(slider->accessibilitySetValue(cf::Value("loud")));
    EXPECT_FALSE(slider->accessibilitySetValue(cf::Value(std::numeric_limits<double>::quiet_NaN())));
    EXPECT_DOUBLE_EQ(slider->accessibilityValue()->doubleValue(), 2.5);
    slider->setEnabled(false);
    EXPECT_FALSE(slider->accessibilitySetValue(cf::Value(1.0)));
    click(cg::CGPointMake(20, 60));
    EXPECT_DOUBLE_EQ(model->number(), 2.5) << "a disabled slider ignores the mouse";
}

TEST_F(NSControlRangeTest, ALevelIndicatorFollowsItsBindingAndFillsItsShare) {
    auto model = std::make_shared<Model>();
    auto level = std::make_shared<NSLevelIndicator>(cg::CGRectMake(0, 0, 160, 20));
    level->setMaxValue(16);
    window->contentView()->addSubview(level);
    level->bind("value", model, "number");
    model->setValueForKey(ns::Id(4.0), "number");
    EXPECT_EQ(level->accessibilityRole(), "AXLevelIndicator");
    EXPECT_DOUBLE_EQ(level->accessibilityValue()->doubleValue(), 4);
    EXPECT_FALSE(level->accessibilityIsValueSettable());
    click(cg::CGPointMake(150, 10));
    EXPECT_DOUBLE_EQ(model->number(), 4) << "the user does not set a level";
    window->display();
    auto image = picture(*window);
    // A quarter of 160 points filled green; the rest white. Rows count from the window's top.
    EXPECT_EQ(pixel(image, 20, 22 + 200 - 10), 0xFF00FF00u);
    EXPECT_EQ(pixel(image, 100, 22 + 200 - 10), 0xFFFFFFFFu);
}

TEST_F(NSControlRangeTest, AnImageViewPlacesItsImageAndIsDescribedByItsName) {
    auto red = NSImage::initWithSize(cg::CGSizeMake(10, 10));
    red->lockFocus();
    NSColor::redColor()->setFill();
    NSRectFill(cg::CGRectMake(0, 0, 10, 10));
    red->unlockFocus();
    red->setName("ipad_connected");
    auto view = std::make_shared<NSImageView>(cg::CGRectMake(0, 0, 40, 20));
    view->setImage(red);
    EXPECT_TRUE(cg::CGRectEqualToRect(view->imageRect(), cg::CGRectMake(15, 5, 10, 10)));
    view->setImageScaling(NSImageScaleProportionallyUpOrDown);
    view->setImageAlignment(NSImageAlignLeft);
    EXPECT_TRUE(cg::CGRectEqualToRect(view->imageRect(), cg::CGRectMake(0, 0, 20, 20)));
    view->setImageScaling(NSImageScaleAxesIndependently);
    EXPECT_TRUE(cg::CGRectEqualToRect(view->imageRect(), cg::CGRectMake(0, 0, 40, 20)));
    EXPECT_EQ(view->accessibilityRole(), "AXImage");
    EXPECT_EQ(view->accessibilityDescription(), "ipad_connected");

    view->setImageScaling(NSImageScaleNone);
    view->setImageAlignment(NSImageAlignBottomRight);
    window->contentView()->addSubview(view);
    window->display();
    auto image = picture(*window);
    EXPECT_EQ(pixel(image, 35, 22 + 200 - 5), testing::kRed);
    EXPECT_EQ(pixel(image, 5, 22 + 200 - 5), testing::kWindowGrey);
}

} // namespace appkit
