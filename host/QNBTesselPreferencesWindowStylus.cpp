// The Stylus pane of the preferences window's nib: a pop-up of the actions for each of the five
// parts of the pen, the barrel buttons' modifier check boxes and shortcut editors, the pressure
// slider and meter, and the two link buttons. Views without an outlet take their bound key as
// identifier.
#include "host/QNBScrivetPreferencesViewController.h"
#include "host/QNBTesselPreferencesWindow.h"

#include "host/QNBPreferencesManager.h"

#include "platform/appkit/NSPopUpButton.h"
#include "platform/appkit/NSSlider.h"
#include "platform/appkit/NSTextField.h"
#include "platform/foundation/NSBundle.h"

#include <string>

namespace host {

namespace {

using Pane = QNBScrivetPreferencesViewController;

struct ActionTitle {
    QNBStylusAction action;
    const char* title;
};

const ActionTitle kActionTitles[] = {
    {QNBStylusActionEraser, "Eraser"},
    {QNBStylusActionClick, "Click"},
    {QNBStylusActionMiddleClick, "Middle Click"},
    {QNBStylusActionSecondaryClick, "Secondary Click"},
    {QNBStylusActionMoveCursor, "Move Cursor"},
    {QNBStylusActionScrollWheel, "Scroll Wheel"},
    {QNBStylusActionUndo, "Undo"},
    {QNBStylusActionRedo, "Redo"},
    {QNBStylusActionCustomModifier, "Modifier Keys…"},
    {QNBStylusActionKeystroke, "Keystroke…"},
    {QNBStylusActionDisabled, "Disabled"},
};

constexpr double kLabelX = 20;
constexpr double kControlX = 150;
constexpr double kModifierBoxWidth = 110;

// A label showing one of the pane's texts.
void addText(appkit::NSNib& nib, const std::shared_ptr<appkit::NSView>& view,
             const std::shared_ptr<Pane>& pane, cg::CGRect frame, const char* textKey) {
    auto label = nib.make<appkit::NSTextField>(frame);
    label->setEditable(false);
    label->setBezeled(false);
    label->setDrawsBackground(false);
    label->bind("value", pane, textKey);
    view->addSubview(label);
}

void addActionRow(appkit::NSNib& nib, const std::shared_ptr<appkit::NSView>& view,
                  const std::shared_ptr<Pane>& pane, double y, const char* textKey,
                  const std::string& actionKey) {
    addText(nib, view, pane, cg::CGRectMake(kLabelX, y + 2, 126, 18), textKey);
    auto popUp = nib.make<appkit::NSPopUpButton>(cg::CGRectMake(kControlX, y, 200, 24));
    for (const ActionTitle& entry : kActionTitles) {
        popUp->addItemWithTitle(ns::NSLocalizedString(entry.title));
        popUp->lastItem()->setTag(int64_t(entry.action));
    }
    popUp->setIdentifier(actionKey);
    popUp->bind("selectedTag", pane, actionKey);
    view->addSubview(popUp);
}

// The four modifier check boxes and the shortcut editor of one barrel button.
void addBarrelExtras(appkit::NSNib& nib, const std::shared_ptr<appkit::NSView>& view,
                     const std::shared_ptr<Pane>& pane, double y, const std::string& prefix,
                     const char* editorOutlet, std::weak_ptr<QNBKeyboardShortcutEditorView>& editorSlot) {
    const std::pair<const char*, const char*> boxes[] = {
        {"Shift", "⇧ Shift"}, {"Control", "⌃ Control"}, {"Option", "⌥ Option"}, {"Command", "⌘ Command"}};
    // Across the pane's width, so each title has room beside its box.
    double x = kLabelX;
    for (const auto& [name, title] : boxes) {
        auto box = nib.make<appkit::NSButton>(cg::CGRectMake(x, y + 28, kModifierBoxWidth, 18));
        box->setButtonType(appkit::NSButtonTypeSwitch);
        box->setTitle(title);
        const std::string key = prefix + "Uses" + name + "Modifier";
        box->setIdentifier(key);
        box->bind("value", pane, key);
        box->bind("enabled", pane, prefix + "UsesModifier");
        view->addSubview(box);
        x += kModifierBoxWidth + 4;
    }
    auto editor = nib.make<QNBKeyboardShortcutEditorView>(
        cg::CGRectMake(kControlX, y, kQNBShortcutEditorWidth, kQNBShortcutEditorHeight));
    nib.outlet(editorOutlet, editorSlot, editor);
    editor->bind("enabled", pane, prefix + "UsesShortcut");
    view->addSubview(editor);
}

std::shared_ptr<appkit::NSButton> makeLink(appkit::NSNib& nib, cg::CGRect frame,
                                           const std::shared_ptr<Pane>& pane, const char* textKey,
                                           const char* action) {
    auto link = nib.make<appkit::NSButton>(frame);
    link->setBordered(false);
    link->bind("title", pane, textKey);
    link->setTarget(pane);
    link->setAction(action);
    return link;
}

} // namespace

std::shared_ptr<appkit::NSView> buildScrivetPreferencesPane(appkit::NSNib& nib,
                                                            const std::shared_ptr<Pane>& pane) {
    auto view = nib.make<appkit::NSView>(cg::CGRectMake(0, 0, kQNBStylusPaneWidth, kQNBStylusPaneHeight));
    addText(nib, view, pane, cg::CGRectMake(kLabelX, 404, 300, 18), "stylusButtonsGroupingText");

    addActionRow(nib, view, pane, 376, "button1ActionText", "button1Action");
    addBarrelExtras(nib, view, pane, 324, "button1", "button1ShortCutEditor", pane->button1ShortCutEditor);
    addActionRow(nib, view, pane, 292, "button2ActionText", "button2Action");
    addBarrelExtras(nib, view, pane, 240, "button2", "button2ShortCutEditor", pane->button2ShortCutEditor);
    addActionRow(nib, view, pane, 208, "stylusTipActionText", "tipAction");
    addActionRow(nib, view, pane, 178, "eraserTipActionText", "eraserAction");
    addActionRow(nib, view, pane, 148, "fingerTipActionText", "fingerAction");
    addText(nib, view, pane, cg::CGRectMake(kLabelX, 124, 440, 18), "actionHelpText");

    // The group's title on a line of its own, the slider between its two ends below it.
    addText(nib, view, pane, cg::CGRectMake(kLabelX, 98, 300, 18), "pressureGroupingText");
    addText(nib, view, pane, cg::CGRectMake(kControlX - 40, 74, 38, 18), "pressureLowText");
    auto slider = nib.make<appkit::NSSlider>(cg::CGRectMake(kControlX, 74, 200, 20));
    slider->setIdentifier("pressureSensitivity");
    slider->bind("value", pane, "pressureSensitivity");
    view->addSubview(slider);
    addText(nib, view, pane, cg::CGRectMake(kControlX + 204, 74, 44, 18), "pressureHighText");
    addText(nib, view, pane, cg::CGRectMake(kLabelX, 52, 126, 18), "pressureCurrentText");
    auto level = nib.make<appkit::NSLevelIndicator>(cg::CGRectMake(kControlX, 54, 200, 16));
    level->setMaxValue(kQNBMaximumPressure);
    level->setIdentifier("currentPressure");
    level->bind("value", pane, "currentPressure");
    view->addSubview(level);

    addText(nib, view, pane, cg::CGRectMake(kLabelX, 30, 200, 18), "stylusInfoGroupingText");
    view->addSubview(makeLink(nib, cg::CGRectMake(kLabelX, 6, 200, 22), pane, "learnAboutScrivetText",
                              "learnAboutScrivet:"));
    view->addSubview(makeLink(nib, cg::CGRectMake(kLabelX + 220, 6, 200, 22), pane, "buyAPenText",
                              "aboutPressureSensitivePens:"));
    pane->setView(view);
    return view;
}

} // namespace host
