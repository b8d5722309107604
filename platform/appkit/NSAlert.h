// Alerts: a message, informative text, buttons, a style, an icon (recorded) and an optional
// suppression check box, shown in a level-8 panel centred on the main screen (accessibility
// subrole "AXDialog"), or as a sheet on a window. runModal runs a modal loop until a button is
// pressed (a click, performClick, an accessibility press) and answers its code: 1000, 1001, 1002…
// in the order added; the legacy alertWithMessageText answers 1 (default), 0 (alternate), −1
// (other). Each alert's begin (kind, texts, buttons) and end (button, code, suppression state)
// is announced to platformd's window server, which lists open alerts and logs both. Main thread.
#pragma once

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSButton.h"
#include "platform/appkit/NSImage.h"
#include "platform/appkit/NSTextField.h"
#include "platform/appkit/NSWindow.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace appkit {

enum NSAlertStyle : int32_t {
    NSAlertStyleWarning = 0,
    NSAlertStyleInformational = 1,
    NSAlertStyleCritical = 2,
};

inline constexpr NSModalResponse NSAlertFirstButtonReturn = 1000;
inline constexpr NSModalResponse NSAlertSecondButtonReturn = 1001;
inline constexpr NSModalResponse NSAlertThirdButtonReturn = 1002;
inline constexpr NSModalResponse NSAlertDefaultReturn = 1;
inline constexpr NSModalResponse NSAlertAlternateReturn = 0;
inline constexpr NSModalResponse NSAlertOtherReturn = -1;

class NSAlert;

// The panel an alert shows in: a dialog, or a sheet while attached to a window. Return presses
// the first button, Escape a button titled "Cancel".
class NSAlertPanel : public NSPanel {
  public:
    using NSPanel::NSPanel;
    void sendEvent(const NSEvent& event) override;
    bool isSheet() const { return m_sheet; }
    void setSheet(bool sheet) {
        m_sheet = sheet;
        display(); // with or without its title bar
    }
    std::string accessibilityRole() const override { return m_sheet ? "AXSheet" : "AXWindow"; }
    std::string accessibilitySubrole() const override { return m_sheet ? std::string() : "AXDialog"; }

  protected:
    bool drawsTitleBar() const override { return !m_sheet && NSPanel::drawsTitleBar(); }

  public:
    // A sheet is exported under its parent window.
    std::shared_ptr<NSWindow> accessibilityParentWindow() const override {
        return m_sheet ? NSApp()->sheetParent(*this) : nullptr;
    }

  private:
    friend class NSAlert;
    std::weak_ptr<NSAlert> m_alert;
    bool m_sheet = false;
};

class NSAlert : public NSActionTarget, public std::enable_shared_from_this<NSAlert> {
  public:
    static std::shared_ptr<NSAlert> make() { return std::make_shared<NSAlert>(); }
    // alertWithMessageText:defaultButton:alternateButton:otherButton:informativeTextWithFormat:
    // (the caller formats the text): a nil default button is "OK"; nil others are left out.
    static std::shared_ptr<NSAlert> alertWithMessageText(const std::string& message,
                                                         const std::optional<std::string>& defaultButton,
                                                         const std::optional<std::string>& alternateButton,
                                                         const std::optional<std::string>& otherButton,
                                                         const std::string& informativeText);

    const std::string& messageText() const { return m_message; }
    void setMessageText(std::string text) { m_message = std::move(text); }
    const std::string& informativeText() const { return m_informative; }
    void setInformativeText(std::string text) { m_informative = std::move(text); }
    NSAlertStyle alertStyle() const { return m_style; }
    void setAlertStyle(NSAlertStyle style) { m_style = style; }
    std::shared_ptr<NSImage> icon() const { return m_icon; }
    void setIcon(std::shared_ptr<NSImage> icon) { m_icon = std::move(icon); }

    // The next button, answering 1000 + its index; the first is the default (rightmost).
    std::shared_ptr<NSButton> addButtonWithTitle(const std::string& title);
    const std::vector<std::shared_ptr<NSButton>>& buttons() const { return m_buttons; }
    // A check box the alert shows below its texts; its state stays readable after the alert ends.
    bool showsSuppressionButton() const { return m_showsSuppression; }
    void setShowsSuppressionButton(bool shows) { m_showsSuppression = shows; }
    std::shared_ptr<NSButton> suppressionButton();

    // The panel, laid out for the current texts and buttons (made on first use).
    std::shared_ptr<NSAlertPanel> window();

    // Shows the alert centred on the main screen and runs a modal loop until a button is
    // pressed (or the loop is stopped from elsewhere); answers the code. An alert without
    // buttons gets "OK".
    NSModalResponse runModal();
    // Shows the alert as a sheet on parent and returns at once; the parent refuses input until
    // a button is pressed, which ends the sheet and runs the handler with the code on the next
    // main-loop turn. Refused (logged) while the parent has a sheet or the alert is up.
    void beginSheetModalForWindow(const std::shared_ptr<NSWindow>& parent,
                                  std::function<void(NSModalResponse)> completionHandler);

    static const NSActionTable& classActions();
    const NSActionTable& actionTable() const override { return classActions(); }

  private:
    void buttonPressed(NSButton* sender);
    void layout();
    bool announceBegin(const char* kind);
    void announceEnd(NSModalResponse code);
    void endSheet(NSModalResponse code);

    std::string m_message;
    std::string m_informative;
    NSAlertStyle m_style = NSAlertStyleWarning;
    std::shared_ptr<NSImage> m_icon;
    std::vector<std::shared_ptr<NSButton>> m_buttons;
    std::vector<NSModalResponse> m_codes;
    int64_t m_pressed = -1; // the index of the button that ended the alert; -1: none
    bool m_showsSuppression = false;
    std::shared_ptr<NSButton> m_suppression;
    std::shared_ptr<NSAlertPanel> m_window;
    std::shared_ptr<NSTextField> m_messageField;
    std::shared_ptr<NSTextField> m_informativeField;
    enum class Shown { No, Modal, Sheet } m_shown = Shown::No;
    // While a sheet is up: its parent, its handler, and the alert itself (kept alive until it ends).
    std::weak_ptr<NSWindow> m_parent;
    std::function<void(NSModalResponse)> m_completion;
    std::shared_ptr<NSAlert> m_keepWhileSheet;
};

// The alert panels: a legacy alert (warning, informational or critical) run modally at once;
// 1 default ("OK" when nil), 0 alternate, -1 other. The caller formats the message.
NSModalResponse NSRunAlertPanel(const std::string& title, const std::string& message,
                                const std::optional<std::string>& defaultButton,
                                const std::optional<std::string>& alternateButton,
                                const std::optional<std::string>& otherButton);
NSModalResponse NSRunInformationalAlertPanel(const std::string& title, const std::string& message,
                                             const std::optional<std::string>& defaultButton,
                                             const std::optional<std::string>& alternateButton,
                                             const std::optional<std::string>& otherButton);
NSModalResponse NSRunCriticalAlertPanel(const std::string& title, const std::string& message,
                                        const std::optional<std::string>& defaultButton,
                                        const std::optional<std::string>& alternateButton,
                                        const std::optional<std::string>& otherButton);

} // namespace appkit
