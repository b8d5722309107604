// Windows: registered with the window server at creation (a number never reused), with a backing
// store of frame × the screen's scale that their views draw into. Dirty views are redrawn once per
// main-loop turn, and before makeKeyAndOrderFront:, orderFront: and display return, then the
// redrawn rectangles are flushed to the window server. Frames are in Cocoa global space; the
// window server's Core Graphics copy is converted once per change. Main thread only, except the
// readers the note lists (frame, visibility, number).
#pragma once

#include "platform/appkit/NSView.h"
#include "platform/coregraphics/CGSPrivate.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace appkit {

class NSToolbar;

using NSWindowStyleMask = uint32_t;
inline constexpr NSWindowStyleMask NSWindowStyleMaskBorderless = 0;
inline constexpr NSWindowStyleMask NSWindowStyleMaskTitled = 1;
inline constexpr NSWindowStyleMask NSWindowStyleMaskClosable = 2;
inline constexpr NSWindowStyleMask NSWindowStyleMaskMiniaturizable = 4;
inline constexpr NSWindowStyleMask NSWindowStyleMaskResizable = 8;
inline constexpr NSWindowStyleMask NSWindowStyleMaskUtilityWindow = 16;
inline constexpr NSWindowStyleMask NSWindowStyleMaskNonactivatingPanel = 128;

using NSWindowLevel = int32_t;
inline constexpr NSWindowLevel NSNormalWindowLevel = 0;
inline constexpr NSWindowLevel NSFloatingWindowLevel = 3;
inline constexpr NSWindowLevel NSModalPanelWindowLevel = 8;
inline constexpr NSWindowLevel NSStatusWindowLevel = 25;
inline constexpr NSWindowLevel NSPopUpMenuWindowLevel = 101;

inline constexpr const char* NSWindowDidBecomeKeyNotification = "NSWindowDidBecomeKeyNotification";
inline constexpr const char* NSWindowDidResignKeyNotification = "NSWindowDidResignKeyNotification";
inline constexpr const char* NSWindowDidBecomeMainNotification = "NSWindowDidBecomeMainNotification";
inline constexpr const char* NSWindowDidResignMainNotification = "NSWindowDidResignMainNotification";

class NSWindowAnimator; // NSAnimationContext.h

// The title bar of a titled window, in points, and its buttons' places from its left end.
inline constexpr double kNSTitleBarHeight = 22;
inline constexpr double kNSTitleBarButtonLeft = 7;
inline constexpr double kNSTitleBarButtonSpacing = 20;

class NSWindowController;
class NSScreen;
class NSActionTarget;

inline constexpr const char* NSWindowDidMoveNotification = "NSWindowDidMoveNotification";
inline constexpr const char* NSWindowDidResizeNotification = "NSWindowDidResizeNotification";
inline constexpr const char* NSWindowDidChangeScreenNotification = "NSWindowDidChangeScreenNotification";
inline constexpr const char* NSWindowDidMiniaturizeNotification = "NSWindowDidMiniaturizeNotification";

class NSWindow : public NSResponder, public std::enable_shared_from_this<NSWindow> {
  public:
    // A window whose content has contentRect (Cocoa global), registered at once (off screen)
    // and listed by NSApp().windows(). Construct through make, so the window can be shared.
    NSWindow(cg::CGRect contentRect, NSWindowStyleMask style);
    template <typename W = NSWindow, typename... Args> static std::shared_ptr<W> make(Args&&... args) {
        auto window = std::make_shared<W>(std::forward<Args>(args)...);
        window->registerWindow();
        return window;
    }
    virtual ~NSWindow();
    NSWindow(const NSWindow&) = delete;
    NSWindow& operator=(const NSWindow&) = delete;

    // The window server's number; 0 when it could not register.
    cg::CGWindowID windowNumber() const { return m_number; }
    NSWindowStyleMask styleMask() const { return m_style; }

    // ---- Frames (Cocoa global). Applied at once; a visible titled window's are constrained.
    cg::CGRect frame() const { return m_frame; }
    void setFrame(cg::CGRect frame, bool display);
    void setFrameOrigin(cg::CGPoint origin);
    void setFrameTopLeftPoint(cg::CGPoint topLeft);
    // Keeps the top-left corner.
    void setContentSize(cg::CGSize size);
    cg::CGRect contentRectForFrameRect(cg::CGRect frame) const;
    cg::CGRect frameRectForContentRect(cg::CGRect content) const;
    double backingScaleFactor() const;

    // ---- Content. The content view fills the content rectangle (window base space).
    std::shared_ptr<NSView> contentView() const { return m_contentView; }
    void setContentView(const std::shared_ptr<NSView>& view);
    const std::string& title() const { return m_title; }
    void setTitle(const std::string& title);
    NSWindowLevel level() const { return m_level; }
    void setLevel(NSWindowLevel level);
    // Recorded only (Spaces and window animations are not stood in).
    uint64_t collectionBehavior() const { return m_collectionBehavior; }
    void setCollectionBehavior(uint64_t behavior) { m_collectionBehavior = behavior; }
    int64_t animationBehavior() const { return m_animationBehavior; }
    void setAnimationBehavior(int64_t behavior) { m_animationBehavior = behavior; }
    double alphaValue() const { return m_alpha; }
    void setAlphaValue(double alpha);
    bool ignoresMouseEvents() const { return m_ignoresMouse; }
    void setIgnoresMouseEvents(bool ignores);
    // An opaque window paints its background (light grey) under its views; others start clear.
    bool isOpaque() const { return m_opaque; }
    void setOpaque(bool opaque);

    // The accessibility identifier: a nib's outlet name, or the nib's name.
    const std::string& identifier() const { return m_identifier; }
    void setIdentifier(std::string identifier) { m_identifier = std::move(identifier); }
    // The controller managing the window (held weakly); nil-targeted actions try it after the window.
    std::shared_ptr<NSWindowController> windowController() const { return m_windowController.lock(); }
    void setWindowController(const std::shared_ptr<NSWindowController>& controller) {
        m_windowController = controller;
    }
    // The proxy whose changes apply at once (NSAnimationContext.h).
    NSWindowAnimator animator();

    // ---- Ordering, key and main (per application; never activates it).
    bool isVisible() const { return m_visible; }
    void orderFront();
    void orderOut();
    void makeKeyAndOrderFront();
    void makeKeyWindow();
    void makeMainWindow();
    bool isKeyWindow() const;
    bool isMainWindow() const;
    // Titled windows and panels may become key, not borderless ones; main: titled non-panels.
    virtual bool canBecomeKeyWindow() const;
    virtual bool canBecomeMainWindow() const;
    // Orders out and lets the application forget the window. Virtual: a window that stands for
    // something (a panel with timers) must wind it down whichever road closes it.
    virtual void close();
    // The standard close (Command-W, a menu's Close): asks windowShouldClose, then closes. With no
    // window delegates in this AppKit, a window answers the question itself: YES by default.
    void performClose(NSActionTarget* sender);
    virtual bool windowShouldClose() { return true; }
    // Recorded only: closed windows stay alive while someone holds them.
    bool isReleasedWhenClosed() const { return m_releasedWhenClosed; }
    void setReleasedWhenClosed(bool released) { m_releasedWhenClosed = released; }
    // The title bar's close button: sends its action to its target (held weakly) when one is
    // set, else closes the window. A target that has gone leaves the press unanswered.
    void setCloseButtonTarget(const std::weak_ptr<NSActionTarget>& target, std::string action);
    void pressCloseButton();

    // ---- Placement (NSWindowPlacement.cpp).
    // The screen of greatest overlap with the frame; null when the frame meets none.
    std::shared_ptr<NSScreen> screen() const;
    // Centres the frame exactly in its screen's (else the main screen's) visible frame.
    void center();
    // performMiniaturize: leaves the screen (posting did-miniaturize); performZoom: toggles
    // between the screen's visible frame and the frame before the zoom. Senders are ignored.
    void performMiniaturize(NSActionTarget* sender);
    void performZoom(NSActionTarget* sender);
    // Runs when a titled window becomes visible and when a visible one is given a frame: moves
    // the rectangle into the screen's visible frame (its top-left corner kept inside where it is
    // larger). A nil screen leaves it alone.
    virtual cg::CGRect constrainFrameRect(cg::CGRect frameRect,
                                          const std::shared_ptr<NSScreen>& screen) const;
    // The narrowest frame that shows the title: 70 + 7 points a character when titled, else 0.
    static double minFrameWidthWithTitle(const std::string& title, NSWindowStyleMask style);
    // Recorded only: nothing resizes windows but their program.
    cg::CGSize contentMinSize() const { return m_contentMinSize; }
    void setContentMinSize(cg::CGSize size) { m_contentMinSize = size; }
    cg::CGSize contentMaxSize() const { return m_contentMaxSize; }
    void setContentMaxSize(cg::CGSize size) { m_contentMaxSize = size; }
    cg::CGSize contentAspectRatio() const { return m_contentAspectRatio; }
    void setContentAspectRatio(cg::CGSize ratio) { m_contentAspectRatio = ratio; }
    cg::CGSize minSize() const { return m_minSize; }
    void setMinSize(cg::CGSize size) { m_minSize = size; }
    // Recorded only (the window server draws no shadows).
    bool hasShadow() const { return m_hasShadow; }
    void setHasShadow(bool shadow) { m_hasShadow = shadow; }
    bool isMiniaturized() const { return m_miniaturized; }
    bool isZoomed() const { return m_zoomed; }

    // ---- Events (NSWindowEvents.cpp). Mouse-down goes to the deepest visible view hitTest:
    // accepts (made first responder when it accepts), the next up and drags to that view; moves
    // and drags update tracking areas (exits, then entries, then moves, in view-tree order); keys
    // go to the first responder.
    virtual void sendEvent(const NSEvent& event);
    // The pointer left the window: every area it was inside is exited.
    void pointerLeft(const NSEvent& event);
    // The first responder: a view of this window, else the window itself.
    NSResponder* firstResponder() const;
    // NO when the current one refuses to resign or the view does not accept; null: the window.
    bool makeFirstResponder(const std::shared_ptr<NSView>& view);

    // ---- What the window tells the accessibility exporter: "AXWindow" with subrole
    // "AXStandardWindow" for titled windows, "AXFloatingWindow" for panels, none for borderless
    // ones; alerts, sheets, popovers, menus and status items answer their own.
    virtual std::string accessibilityRole() const { return "AXWindow"; }
    virtual std::string accessibilitySubrole() const;
    virtual std::string accessibilityTitle() const { return m_title; }
    // "statusItem" for a status item's window, a nib's name for its window; none by default.
    virtual std::string accessibilityIdentifier() const { return {}; }
    // A sheet's parent: the exporter lists the window under it rather than under the application.
    virtual std::shared_ptr<NSWindow> accessibilityParentWindow() const { return nullptr; }
    // "AXRaise" by default (orders the window front and makes it key).
    virtual std::vector<std::string> accessibilityActionNames() const { return {"AXRaise"}; }
    virtual bool accessibilityPerformAction(const std::string& action);

    // ---- Toolbar (NSToolbar.cpp): its view lies across the top of the content area, drawn
    // over the content view and hit before it; the frame does not grow for it.
    std::shared_ptr<NSToolbar> toolbar() const { return m_toolbar; }
    void setToolbar(const std::shared_ptr<NSToolbar>& toolbar);
    // The toolbar's view while the toolbar is visible; null otherwise.
    std::shared_ptr<NSView> toolbarView() const;

    // ---- Drawing.
    // Redraws what needs display now and flushes it.
    void displayIfNeeded();
    // Redraws everything now and flushes it.
    void display();
    // A rectangle (window base space) to redraw on the next main-loop turn.
    void invalidate(cg::CGRect rect);
    // How many times views were drawn (each redraw pass counts once).
    uint64_t displayCount() const { return m_displayCount; }

  protected:
    // Titled windows draw their title bar; a sheet hanging from its parent's does not.
    virtual bool drawsTitleBar() const { return (m_style & NSWindowStyleMaskTitled) != 0; }
    virtual void becomeKeyWindow() {}
    virtual void resignKeyWindow() {}

  private:
    friend class NSView;
    void registerWindow();
    void applyFrame(cg::CGRect frame);
    // Move, resize and change-screen notifications for a frame just applied (NSWindowPlacement.cpp).
    void postFrameChanges(cg::CGRect previous);
    void scheduleDisplay();
    void resignKeyAndMain();
    void post(const char* name);
    cg::CGRect contentFrameInWindow() const;
    void drawTitleBar(const cg::CGContextRef& context);
    void layoutToolbar();

    cg::CGWindowID m_number = 0;
    NSWindowStyleMask m_style;
    cg::CGRect m_frame;
    std::string m_title;
    NSWindowLevel m_level = NSNormalWindowLevel;
    double m_alpha = 1.0;
    bool m_ignoresMouse = false;
    bool m_opaque = true;
    bool m_visible = false;
    std::shared_ptr<NSView> m_contentView;
    std::shared_ptr<NSToolbar> m_toolbar;
    uint64_t m_collectionBehavior = 0;
    int64_t m_animationBehavior = 0;
    cg::CGSWindowStoreRef m_store;
    cg::CGRect m_dirty = cg::CGRectNull; // window base space
    bool m_displayScheduled = false;
    uint64_t m_displayCount = 0;
    std::weak_ptr<NSView> m_firstResponder; // expired: the window
    std::weak_ptr<NSView> m_mouseDownView;
    std::vector<std::weak_ptr<NSTrackingArea>> m_inside; // areas the pointer is inside
    std::string m_identifier;
    std::weak_ptr<NSWindowController> m_windowController;
    bool m_releasedWhenClosed = true;
    bool m_miniaturized = false;
    bool m_hasShadow = true;
    cg::CGSize m_contentMinSize = cg::CGSizeMake(0, 0);
    cg::CGSize m_contentMaxSize = cg::CGSizeMake(0, 0);
    cg::CGSize m_contentAspectRatio = cg::CGSizeMake(0, 0);
    cg::CGSize m_minSize = cg::CGSizeMake(0, 0);
    std::weak_ptr<NSActionTarget> m_closeButtonTarget;
    std::string m_closeButtonAction;
    uint32_t m_screenID = 0; // the display of screen() at the last frame change; 0: none
    bool m_zoomed = false;
    cg::CGRect m_unzoomedFrame = cg::CGRectZero;
};

// Panels may become key but not main, and hide when their application resigns active.
class NSPanel : public NSWindow {
  public:
    using NSWindow::NSWindow;
    bool canBecomeMainWindow() const override { return false; }
    bool canBecomeKeyWindow() const override { return true; }
    bool hidesOnDeactivate() const { return m_hidesOnDeactivate; }
    void setHidesOnDeactivate(bool hides) { m_hidesOnDeactivate = hides; }

  private:
    bool m_hidesOnDeactivate = true;
};

} // namespace appkit
