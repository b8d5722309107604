// Popovers: the content view controller's view shown in a borderless window that may become
// key, of the content size (the view's frame size until set), placed against a rectangle of an
// anchor view: edge 1 (min y) puts its top at the rectangle's bottom, edge 3 (max y) its bottom
// at the rectangle's top, edges 0 and 2 its right or left side at the rectangle's left or right;
// centred on the rectangle along the other axis and kept inside the visible frame of the anchor's
// screen. Every behaviour acts as application-defined (the application opens and closes it);
// animates is recorded. The window answers "AXPopover". Main thread only.
#pragma once

#include "platform/appkit/NSViewController.h"
#include "platform/appkit/NSWindow.h"

#include <memory>

namespace appkit {

enum NSRectEdge : uint32_t { NSMinXEdge = 0, NSMinYEdge = 1, NSMaxXEdge = 2, NSMaxYEdge = 3 };

enum NSPopoverBehavior : int64_t {
    NSPopoverBehaviorApplicationDefined = 0,
    NSPopoverBehaviorTransient = 1,
    NSPopoverBehaviorSemitransient = 2,
};

inline constexpr const char* NSPopoverWillShowNotification = "NSPopoverWillShowNotification";
inline constexpr const char* NSPopoverDidShowNotification = "NSPopoverDidShowNotification";
inline constexpr const char* NSPopoverWillCloseNotification = "NSPopoverWillCloseNotification";
inline constexpr const char* NSPopoverDidCloseNotification = "NSPopoverDidCloseNotification";

class NSPopover;

// Every operation is optional.
class NSPopoverDelegate {
  public:
    virtual ~NSPopoverDelegate() = default;
    virtual bool popoverShouldClose(NSPopover& popover) {
        (void)popover;
        return true;
    }
    virtual void popoverWillShow(NSPopover& popover) { (void)popover; }
    virtual void popoverDidShow(NSPopover& popover) { (void)popover; }
    virtual void popoverWillClose(NSPopover& popover) { (void)popover; }
    virtual void popoverDidClose(NSPopover& popover) { (void)popover; }
};

class NSPopoverWindow : public NSWindow {
  public:
    using NSWindow::NSWindow;
    bool canBecomeKeyWindow() const override { return true; }
    bool canBecomeMainWindow() const override { return false; }
    std::string accessibilityRole() const override { return "AXPopover"; }
    std::string accessibilitySubrole() const override { return {}; }
};

class NSPopover : public std::enable_shared_from_this<NSPopover> {
  public:
    NSPopover() = default;
    ~NSPopover();
    NSPopover(const NSPopover&) = delete;
    NSPopover& operator=(const NSPopover&) = delete;

    std::shared_ptr<NSViewController> contentViewController() const { return m_contentViewController; }
    void setContentViewController(std::shared_ptr<NSViewController> controller);
    // The content view's frame size until set.
    cg::CGSize contentSize() const;
    void setContentSize(cg::CGSize size);
    NSPopoverBehavior behavior() const { return m_behavior; }
    void setBehavior(NSPopoverBehavior behavior) { m_behavior = behavior; }
    bool animates() const { return m_animates; }
    void setAnimates(bool animates) { m_animates = animates; }
    std::shared_ptr<NSPopoverDelegate> delegate() const { return m_delegate.lock(); }
    void setDelegate(const std::shared_ptr<NSPopoverDelegate>& delegate) { m_delegate = delegate; }

    bool isShown() const { return m_shown; }
    // Shows the popover (or moves it when shown) against rect (positioningView's bounds space),
    // key and in front. Refused (logged) without a content view or with a view outside any
    // window; rect empty: the view's bounds.
    void showRelativeToRect(cg::CGRect rect, const std::shared_ptr<NSView>& positioningView,
                            NSRectEdge preferredEdge);
    // Closes without asking; nothing when not shown.
    void close();
    // Asks the delegate's popoverShouldClose, then closes.
    void performClose();
    // The popover's window: made on the first show, kept while the popover lives.
    std::shared_ptr<NSWindow> window() const { return m_window; }

  private:
    void post(const char* name);

    std::shared_ptr<NSViewController> m_contentViewController;
    cg::CGSize m_contentSize = cg::CGSizeZero;
    bool m_contentSizeSet = false;
    NSPopoverBehavior m_behavior = NSPopoverBehaviorApplicationDefined;
    bool m_animates = true;
    std::weak_ptr<NSPopoverDelegate> m_delegate;
    std::shared_ptr<NSPopoverWindow> m_window;
    bool m_shown = false;
};

} // namespace appkit
