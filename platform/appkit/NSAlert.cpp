#include "platform/appkit/NSAlert.h"

#include "platform/appkit/NSScreen.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/dispatch/Thread.h"

#include <algorithm>
#include <cmath>

namespace appkit {

namespace {

// The plain layout, in points.
constexpr double kWidth = 420;
constexpr double kMargin = 20;
constexpr double kGap = 8;
constexpr double kMessageHeight = 20;
constexpr double kLineHeight = 16;
constexpr double kCharacterWidth = 7; // text sizes follow one width per character
constexpr double kButtonHeight = 24;
constexpr double kButtonMinWidth = 82;
constexpr double kButtonSpacing = 12;
constexpr double kCheckBoxHeight = 18;

constexpr const char* kButtonAction = "alertButtonPressed:";

double buttonWidth(const std::string& title) {
    return std::max(kButtonMinWidth, 24 + kCharacterWidth * double(title.size()));
}

// The informative text's lines, wrapped to the alert's width at the label's font.
double informativeHeight(const std::string& text) {
    if (text.empty()) return 0;
    NSStringAttributes attributes;
    attributes.font = NSFont::systemFontOfSize(NSFont::systemFontSize());
    return std::max(
        kLineHeight,
        std::ceil(NSStringSize(text, attributes, kWidth - 2 * kMargin - 2 * kNSTextFieldTextInset).height));
}

bool onMainThread(const char* call) {
    if (dispatch::isMainThread()) return true;
    platform::log("NSAlert: %s must be called on the main thread; ignored", call);
    return false;
}

} // namespace

std::shared_ptr<NSAlert> NSAlert::alertWithMessageText(const std::string& message,
                                                       const std::optional<std::string>& defaultButton,
                                                       const std::optional<std::string>& alternateButton,
                                                       const std::optional<std::string>& otherButton,
                                                       const std::string& informativeText) {
    auto alert = make();
    alert->setMessageText(message);
    alert->setInformativeText(informativeText);
    alert->addButtonWithTitle(defaultButton.value_or("OK"));
    alert->m_codes.back() = NSAlertDefaultReturn;
    if (alternateButton) {
        alert->addButtonWithTitle(*alternateButton);
        alert->m_codes.back() = NSAlertAlternateReturn;
    }
    if (otherButton) {
        alert->addButtonWithTitle(*otherButton);
        alert->m_codes.back() = NSAlertOtherReturn;
    }
    return alert;
}

const NSActionTable& NSAlert::classActions() {
    static const NSActionTable table =
        NSActionTable(&NSActionTarget::classActions()).action(kButtonAction, &NSAlert::buttonPressed);
    return table;
}

std::shared_ptr<NSButton> NSAlert::addButtonWithTitle(const std::string& title) {
    auto button = NSButton::buttonWithTitle(title, weak_from_this().lock(), kButtonAction);
    const NSModalResponse code = NSAlertFirstButtonReturn + NSModalResponse(m_buttons.size());
    button->setTag(code);
    m_buttons.push_back(button);
    m_codes.push_back(code);
    return button;
}

std::shared_ptr<NSButton> NSAlert::suppressionButton() {
    if (!m_suppression)
        m_suppression = NSButton::checkboxWithTitle("Do not show this message again", nullptr, std::string());
    return m_suppression;
}

std::shared_ptr<NSAlertPanel> NSAlert::window() {
    layout();
    return m_window;
}

// Bottom to top: the buttons (the first rightmost), the suppression check box, the informative
// text, the message.
void NSAlert::layout() {
    const double informative = informativeHeight(m_informative);
    const double checkBox = m_showsSuppression ? kCheckBoxHeight + kMargin : 0;
    const double height = kMargin + kButtonHeight + kMargin + checkBox +
                          (informative ? informative + kGap : 0) + kMessageHeight + kMargin;
    if (!m_window) {
        m_window =
            NSWindow::make<NSAlertPanel>(cg::CGRectMake(0, 0, kWidth, height), NSWindowStyleMaskTitled);
        m_window->m_alert = weak_from_this();
        m_window->setLevel(NSModalPanelWindowLevel);
        m_window->setHidesOnDeactivate(false);
    } else {
        m_window->setContentSize(cg::CGSizeMake(kWidth, height));
    }
    m_window->setTitle(m_message);
    auto content = m_window->contentView();
    for (auto view : std::vector(content->subviews()))
        view->removeFromSuperview();

    double right = kWidth - kMargin;
    for (auto& button : m_buttons) {
        const double width = buttonWidth(button->title());
        button->setFrame(cg::CGRectMake(right - width, kMargin, width, kButtonHeight));
        content->addSubview(button);
        right -= width + kButtonSpacing;
    }
    double y = kMargin + kButtonHeight + kMargin;
    if (m_showsSuppression) {
        auto box = suppressionButton();
        box->setFrame(cg::CGRectMake(kMargin, y, kWidth - 2 * kMargin, kCheckBoxHeight));
        content->addSubview(box);
        y += kCheckBoxHeight + kMargin;
    }
    if (informative) {
        if (!m_informativeField) m_informativeField = NSTextField::labelWithString(m_informative);
        m_informativeField->setStringValue(m_informative);
        m_informativeField->setFrame(cg::CGRectMake(kMargin, y, kWidth - 2 * kMargin, informative));
        content->addSubview(m_informativeField);
        y += informative + kGap;
    }
    if (!m_messageField) m_messageField = NSTextField::labelWithString(m_message);
    m_messageField->setStringValue(m_message);
    m_messageField->setFrame(cg::CGRectMake(kMargin, y, kWidth - 2 * kMargin, kMessageHeight));
    content->addSubview(m_messageField);
}

void NSAlertPanel::sendEvent(const NSEvent& event) {
    constexpr uint16_t kReturn = 36, kEnter = 76, kEscape = 53;
    auto alert = m_alert.lock();
    if (alert && event.type() == NSEventType::KeyDown && !alert->buttons().empty()) {
        std::shared_ptr<NSButton> button;
        if (event.keyCode() == kReturn || event.keyCode() == kEnter) button = alert->buttons().front();
        if (event.keyCode() == kEscape)
            for (auto& b : alert->buttons())
                if (b->title() == "Cancel") button = b;
        if (button) {
            if (button->isEnabled()) button->performClick();
            return;
        }
    }
    NSPanel::sendEvent(event);
}

bool NSAlert::announceBegin(const char* kind) {
    cg::CGSAlertRecord record;
    record.kind = kind;
    record.message = m_message;
    record.informative = m_informative;
    for (auto& button : m_buttons)
        record.buttons.push_back(button->title());
    record.style = m_style;
    m_pressed = -1;
    const bool told = cg::CGSAlertBegan(m_window->windowNumber(), record) == cg::kCGErrorSuccess;
    if (!told) platform::log("NSAlert: the window server did not take the alert \"%@\"", m_message);
    return told;
}

void NSAlert::announceEnd(NSModalResponse code) {
    const bool suppressed =
        m_showsSuppression && m_suppression && m_suppression->state() == NSControlStateValueOn;
    if (cg::CGSAlertEnded(m_window->windowNumber(), int32_t(m_pressed), code, suppressed) !=
        cg::kCGErrorSuccess)
        platform::log("NSAlert: the window server did not take the end of the alert \"%@\"", m_message);
}

NSModalResponse NSAlert::runModal() {
    if (!onMainThread("runModal")) return NSModalResponseAbort;
    if (m_shown != Shown::No) {
        platform::log("NSAlert: \"%@\" is already up", m_message);
        return NSModalResponseAbort;
    }
    if (m_buttons.empty()) addButtonWithTitle("OK");
    layout();
    m_window->setSheet(false);
    if (auto screen = NSScreen::mainScreen()) {
        const cg::CGRect visible = screen->visibleFrame();
        const cg::CGRect frame = m_window->frame();
        m_window->setFrameOrigin(
            cg::CGPointMake(visible.origin.x + (visible.size.width - frame.size.width) / 2,
                            visible.origin.y + (visible.size.height - frame.size.height) / 2));
    }
    auto keep = shared_from_this();
    auto previousKey = NSApp()->keyWindow();
    m_shown = Shown::Modal;
    announceBegin("alert");
    const NSModalResponse code = NSApp()->runModalForWindow(m_window);
    m_shown = Shown::No;
    m_window->orderOut();
    // The window that was key before the alert is key again.
    if (previousKey && previousKey != m_window && previousKey->isVisible()) previousKey->makeKeyWindow();
    announceEnd(code);
    return code;
}

void NSAlert::beginSheetModalForWindow(const std::shared_ptr<NSWindow>& parent,
                                       std::function<void(NSModalResponse)> completionHandler) {
    if (!onMainThread("beginSheetModalForWindow:completionHandler:")) return;
    if (!parent || m_shown != Shown::No || NSApp()->attachedSheet(*parent)) {
        platform::log("NSAlert: no sheet for \"%@\": %s", m_message,
                      !parent                ? "no window"
                      : m_shown != Shown::No ? "the alert is up"
                                             : "the window has a sheet");
        return;
    }
    if (m_buttons.empty()) addButtonWithTitle("OK");
    layout();
    m_window->setSheet(true);
    // Below the parent's title bar, centred across it.
    const cg::CGRect p = parent->contentRectForFrameRect(parent->frame());
    const cg::CGRect frame = m_window->frame();
    m_window->setFrameOrigin(cg::CGPointMake(p.origin.x + (p.size.width - frame.size.width) / 2,
                                             p.origin.y + p.size.height - frame.size.height));
    m_parent = parent;
    m_completion = std::move(completionHandler);
    m_keepWhileSheet = shared_from_this();
    m_shown = Shown::Sheet;
    NSApp()->attachSheet(m_window, parent);
    m_window->makeKeyAndOrderFront();
    announceBegin("sheet");
}

void NSAlert::buttonPressed(NSButton* sender) {
    auto it = std::find_if(m_buttons.begin(), m_buttons.end(),
                           [&](const std::shared_ptr<NSButton>& b) { return b.get() == sender; });
    if (it == m_buttons.end() || m_shown == Shown::No) return;
    m_pressed = it - m_buttons.begin();
    const NSModalResponse code = m_codes[size_t(m_pressed)];
    if (m_shown == Shown::Sheet) return endSheet(code);
    // Only this alert's own loop ends: a loop opened above it keeps running.
    if (NSApp()->modalWindow() == m_window)
        NSApp()->stopModalWithCode(code);
    else
        platform::log("NSAlert: \"%@\" is not the innermost modal window; the press waits", m_message);
}

void NSAlert::endSheet(NSModalResponse code) {
    m_shown = Shown::No;
    NSApp()->detachSheet(*m_window);
    m_window->orderOut();
    if (auto parent = m_parent.lock()) parent->makeKeyWindow();
    announceEnd(code);
    // The handler runs on the next turn, with the alert alive until it has.
    dispatch::RunLoop::main()->perform(
        {std::string(dispatch::kCommonRunLoopModes)},
        [handler = std::move(m_completion), keep = std::move(m_keepWhileSheet), code] {
            if (handler) handler(code);
        });
    m_parent.reset();
}

namespace {

NSModalResponse runAlertPanel(NSAlertStyle style, const std::string& title, const std::string& message,
                              const std::optional<std::string>& defaultButton,
                              const std::optional<std::string>& alternateButton,
                              const std::optional<std::string>& otherButton) {
    auto alert = NSAlert::alertWithMessageText(title, defaultButton, alternateButton, otherButton, message);
    alert->setAlertStyle(style);
    return alert->runModal();
}

} // namespace

NSModalResponse NSRunAlertPanel(const std::string& title, const std::string& message,
                                const std::optional<std::string>& defaultButton,
                                const std::optional<std::string>& alternateButton,
                                const std::optional<std::string>& otherButton) {
    return runAlertPanel(NSAlertStyleWarning, title, message, defaultButton, alternateButton, otherButton);
}

NSModalResponse NSRunInformationalAlertPanel(const std::string& title, const std::string& message,
                                             const std::optional<std::string>& defaultButton,
                                             const std::optional<std::string>& alternateButton,
                                             const std::optional<std::string>& otherButton) {
    return runAlertPanel(NSAlertStyleInformational, title, message, defaultButton, alternateButton,
                         otherButton);
}

NSModalResponse NSRunCriticalAlertPanel(const std::string& title, const std::string& message,
                                        const std::optional<std::string>& defaultButton,
                                        const std::optional<std::string>& alternateButton,
                                        const std::optional<std::string>& otherButton) {
    return runAlertPanel(NSAlertStyleCritical, title, message, defaultButton, alternateButton, otherButton);
}

} // namespace appkit
