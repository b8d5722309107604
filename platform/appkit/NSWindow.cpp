#include "platform/appkit/NSWindow.h"

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSAttributedString.h"
#include "platform/appkit/NSGraphicsContext.h"
#include "platform/appkit/NSScreen.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <algorithm>
#include <cmath>

namespace appkit {

namespace {

bool finite(cg::CGRect r) {
    return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width) &&
           std::isfinite(r.size.height);
}

// A window's background where it is opaque.
constexpr double kBackgroundGrey = 0xEC / 255.0;
constexpr double kTitleBarGrey = 0xD6 / 255.0;

} // namespace

NSWindow::NSWindow(cg::CGRect contentRect, NSWindowStyleMask style) : m_style(style) {
    if (!finite(contentRect)) {
        platform::log("appkit: a window's content rectangle is not finite; using an empty one");
        contentRect = cg::CGRectZero;
    }
    contentRect.size.width = std::max(contentRect.size.width, 0.0);
    contentRect.size.height = std::max(contentRect.size.height, 0.0);
    m_frame = frameRectForContentRect(contentRect);
}

NSWindow::~NSWindow() {
    if (m_number) cg::CGSReleaseWindow(m_number);
}

// NSWindowEvents.cpp: pushed window events reach NSApp's sendEvent on the main run loop.
void listenForWindowEvents();

void NSWindow::registerWindow() {
    listenForWindowEvents();
    cg::CGSWindowRecord record;
    record.title = (m_style & NSWindowStyleMaskTitled) ? m_title : std::string();
    record.level = m_level;
    record.frame = CGRectFromNSRect(m_frame);
    record.alpha = m_alpha;
    record.onScreen = false;
    record.ignoresMouse = m_ignoresMouse;
    record.nonActivating = (m_style & NSWindowStyleMaskNonactivatingPanel) != 0;
    m_number = cg::CGSNewWindow(record, &m_store);
    if (auto on = screen()) m_screenID = on->displayID();
    if (!m_number) platform::log("appkit: the window server did not register a window");
    setContentView(std::make_shared<NSView>(contentFrameInWindow()));
    NSApplication::sharedApplication()->windowCreated(shared_from_this());
}

// ---- Frames.

cg::CGRect NSWindow::contentRectForFrameRect(cg::CGRect frame) const {
    if (m_style & NSWindowStyleMaskTitled)
        frame.size.height = std::max(0.0, frame.size.height - kNSTitleBarHeight);
    return frame;
}

cg::CGRect NSWindow::frameRectForContentRect(cg::CGRect content) const {
    if (m_style & NSWindowStyleMaskTitled) content.size.height += kNSTitleBarHeight;
    return content;
}

cg::CGRect NSWindow::contentFrameInWindow() const {
    cg::CGRect content = contentRectForFrameRect(m_frame);
    return cg::CGRectMake(0, 0, content.size.width, content.size.height);
}

double NSWindow::backingScaleFactor() const {
    return m_store ? m_store->scale : 1.0;
}

void NSWindow::applyFrame(cg::CGRect frame) {
    frame.size.width = std::max(frame.size.width, 0.0);
    frame.size.height = std::max(frame.size.height, 0.0);
    bool replaced = false;
    if (m_number &&
        cg::CGSSetWindowFrame(m_number, CGRectFromNSRect(frame), &m_store, &replaced) != cg::kCGErrorSuccess)
        platform::log("appkit: the window server refused window %u's frame", m_number);
    const bool resized = frame.size.width != m_frame.size.width || frame.size.height != m_frame.size.height;
    const cg::CGRect previous = m_frame;
    m_frame = frame;
    if (m_contentView && resized) m_contentView->setFrame(contentFrameInWindow());
    if (m_toolbar && resized) layoutToolbar();
    // A new store starts transparent: everything is drawn again.
    if (replaced || resized) invalidate(cg::CGRectMake(0, 0, m_frame.size.width, m_frame.size.height));
    postFrameChanges(previous);
}

void NSWindow::setFrame(cg::CGRect frame, bool display) {
    if (!finite(frame)) {
        platform::log("appkit: refusing a window frame that is not finite");
        return;
    }
    // A window on the screen stays within it, whoever moves it.
    if (m_visible && (m_style & NSWindowStyleMaskTitled)) {
        frame = constrainFrameRect(frame, NSScreen::screenHolding(frame));
    }
    applyFrame(frame);
    if (display) displayIfNeeded();
}

void NSWindow::setFrameOrigin(cg::CGPoint origin) {
    setFrame(cg::CGRectMake(origin.x, origin.y, m_frame.size.width, m_frame.size.height), false);
}

void NSWindow::setFrameTopLeftPoint(cg::CGPoint topLeft) {
    setFrame(
        cg::CGRectMake(topLeft.x, topLeft.y - m_frame.size.height, m_frame.size.width, m_frame.size.height),
        false);
}

void NSWindow::setContentSize(cg::CGSize size) {
    cg::CGRect content = frameRectForContentRect(cg::CGRectMake(0, 0, size.width, size.height));
    const double top = m_frame.origin.y + m_frame.size.height;
    setFrame(
        cg::CGRectMake(m_frame.origin.x, top - content.size.height, content.size.width, content.size.height),
        false);
}

// ---- Content and attributes.

void NSWindow::setContentView(const std::shared_ptr<NSView>& view) {
    if (m_contentView) {
        m_contentView->setWindow(nullptr);
        m_contentView->m_superview.reset();
    }
    m_contentView = view;
    if (view) {
        view->removeFromSuperview();
        view->setFrame(contentFrameInWindow());
        view->setWindow(shared_from_this());
    }
    invalidate(cg::CGRectMake(0, 0, m_frame.size.width, m_frame.size.height));
}

void NSWindow::setTitle(const std::string& title) {
    m_title = title;
    if (m_number && (m_style & NSWindowStyleMaskTitled)) cg::CGSSetWindowTitle(m_number, title);
    if (m_style & NSWindowStyleMaskTitled)
        invalidate(cg::CGRectMake(0, m_frame.size.height - kNSTitleBarHeight, m_frame.size.width,
                                  kNSTitleBarHeight));
}

void NSWindow::setLevel(NSWindowLevel level) {
    m_level = level;
    if (m_number) cg::CGSSetWindowLevel(m_number, level);
}

void NSWindow::setAlphaValue(double alpha) {
    m_alpha = std::clamp(std::isfinite(alpha) ? alpha : 1.0, 0.0, 1.0);
    if (m_number) cg::CGSSetWindowAlpha(m_number, m_alpha);
}

void NSWindow::setIgnoresMouseEvents(bool ignores) {
    m_ignoresMouse = ignores;
    if (m_number) cg::CGSSetWindowIgnoresMouse(m_number, ignores);
}

void NSWindow::setOpaque(bool opaque) {
    m_opaque = opaque;
    invalidate(cg::CGRectMake(0, 0, m_frame.size.width, m_frame.size.height));
}

// ---- Ordering, key and main.

void NSWindow::orderFront() {
    if (!m_visible && (m_style & NSWindowStyleMaskTitled)) {
        const cg::CGRect constrained = constrainFrameRect(m_frame, screen());
        if (!cg::CGRectEqualToRect(constrained, m_frame)) setFrame(constrained, false);
    }
    displayIfNeeded(); // drawn before it shows, so a picture right after is not blank
    m_visible = true;
    if (m_number) cg::CGSOrderWindow(m_number, true);
    NSApplication::sharedApplication()->windowOrdered(shared_from_this(), true);
}

void NSWindow::orderOut() {
    resignKeyAndMain();
    m_visible = false;
    if (m_number) cg::CGSOrderWindow(m_number, false);
    NSApplication::sharedApplication()->windowOrdered(shared_from_this(), false);
}

void NSWindow::makeKeyAndOrderFront() {
    orderFront();
    if (canBecomeKeyWindow()) makeKeyWindow();
    if (canBecomeMainWindow()) makeMainWindow();
}

void NSWindow::makeKeyWindow() {
    auto app = NSApplication::sharedApplication();
    auto previous = app->keyWindow();
    if (previous.get() == this || !canBecomeKeyWindow()) return;
    if (previous) {
        app->setKeyWindow(nullptr);
        previous->resignKeyWindow();
        previous->post(NSWindowDidResignKeyNotification);
    }
    app->setKeyWindow(shared_from_this());
    becomeKeyWindow();
    post(NSWindowDidBecomeKeyNotification);
}

void NSWindow::makeMainWindow() {
    auto app = NSApplication::sharedApplication();
    auto previous = app->mainWindow();
    if (previous.get() == this || !canBecomeMainWindow()) return;
    if (previous) {
        app->setMainWindow(nullptr);
        previous->post(NSWindowDidResignMainNotification);
    }
    app->setMainWindow(shared_from_this());
    post(NSWindowDidBecomeMainNotification);
}

void NSWindow::resignKeyAndMain() {
    auto app = NSApplication::sharedApplication();
    if (app->keyWindow().get() == this) {
        app->setKeyWindow(nullptr);
        resignKeyWindow();
        post(NSWindowDidResignKeyNotification);
    }
    if (app->mainWindow().get() == this) {
        app->setMainWindow(nullptr);
        post(NSWindowDidResignMainNotification);
    }
}

bool NSWindow::isKeyWindow() const {
    return NSApplication::sharedApplication()->keyWindow().get() == this;
}

bool NSWindow::isMainWindow() const {
    return NSApplication::sharedApplication()->mainWindow().get() == this;
}

std::string NSWindow::accessibilitySubrole() const {
    if (dynamic_cast<const NSPanel*>(this)) return "AXFloatingWindow";
    return (m_style & NSWindowStyleMaskTitled) ? "AXStandardWindow" : std::string();
}

bool NSWindow::accessibilityPerformAction(const std::string& action) {
    if (action != "AXRaise") return false;
    makeKeyAndOrderFront();
    return true;
}

bool NSWindow::canBecomeKeyWindow() const {
    return (m_style & NSWindowStyleMaskTitled) != 0;
}

bool NSWindow::canBecomeMainWindow() const {
    return (m_style & NSWindowStyleMaskTitled) != 0;
}

void NSWindow::close() {
    auto keep = shared_from_this();
    orderOut();
    NSApplication::sharedApplication()->windowClosed(this);
}

void NSWindow::performClose(NSActionTarget*) {
    if (windowShouldClose()) close();
}

void NSWindow::setCloseButtonTarget(const std::weak_ptr<NSActionTarget>& target, std::string action) {
    m_closeButtonTarget = target;
    m_closeButtonAction = std::move(action);
}

void NSWindow::pressCloseButton() {
    if (m_closeButtonAction.empty()) return close();
    auto target = m_closeButtonTarget.lock();
    if (!target) return;
    if (!target->performAction(m_closeButtonAction, nullptr))
        platform::log("NSWindow: the close button's target does not answer %s", m_closeButtonAction);
}

void NSWindow::post(const char* name) {
    ns::NSNotification note;
    note.name = name;
    note.object = std::static_pointer_cast<void>(shared_from_this());
    ns::NSNotificationCenter::defaultCenter().postNotification(note);
}

// ---- Drawing.

void NSWindow::invalidate(cg::CGRect rect) {
    rect = cg::CGRectIntersection(rect, cg::CGRectMake(0, 0, m_frame.size.width, m_frame.size.height));
    if (cg::CGRectIsEmpty(rect)) return;
    m_dirty = cg::CGRectUnion(m_dirty, rect);
    scheduleDisplay();
}

void NSWindow::scheduleDisplay() {
    if (m_displayScheduled) return;
    m_displayScheduled = true;
    std::weak_ptr<NSWindow> weak = weak_from_this();
    dispatch::RunLoop::main()->perform({std::string(dispatch::kCommonRunLoopModes)}, [weak] {
        if (auto window = weak.lock()) window->displayIfNeeded();
    });
}

void NSWindow::display() {
    m_dirty = cg::CGRectMake(0, 0, m_frame.size.width, m_frame.size.height);
    displayIfNeeded();
}

void NSWindow::displayIfNeeded() {
    m_displayScheduled = false;
    const cg::CGRect dirty = cg::CGRectIntegral(m_dirty);
    m_dirty = cg::CGRectNull;
    if (cg::CGRectIsEmpty(dirty) || !m_store) return;
    auto context =
        cg::CGBitmapContextCreate(m_store->bytes, m_store->width, m_store->height, 8, m_store->bytesPerRow,
                                  cg::kCGImageAlphaPremultipliedFirst | cg::kCGBitmapByteOrder32Little);
    if (!context) {
        platform::log("appkit: window %u's backing store cannot be drawn into", m_number);
        return;
    }
    ++m_displayCount;
    // The context's space becomes the window's base space: points, bottom-left origin, y up.
    cg::CGContextScaleCTM(context, m_store->scale, m_store->scale);
    cg::CGContextClipToRect(context, dirty);
    cg::CGContextSetBlendMode(context, cg::kCGBlendModeCopy);
    if (m_opaque)
        cg::CGContextSetRGBFillColor(context, kBackgroundGrey, kBackgroundGrey, kBackgroundGrey, 1);
    else
        cg::CGContextSetRGBFillColor(context, 0, 0, 0, 0);
    cg::CGContextFillRect(context, dirty);
    cg::CGContextSetBlendMode(context, cg::kCGBlendModeNormal);
    if (drawsTitleBar()) drawTitleBar(context);
    if (m_contentView) {
        m_contentView->drawTree(context, dirty);
        m_contentView->markClean();
    }
    if (auto bar = toolbarView()) {
        bar->drawTree(context, dirty);
        bar->markClean();
    }
    context.reset();
    // Window-local points with a top-left origin, as the window server counts them.
    cg::CGRect flushed =
        cg::CGRectMake(dirty.origin.x, m_frame.size.height - (dirty.origin.y + dirty.size.height),
                       dirty.size.width, dirty.size.height);
    if (m_number && cg::CGSFlushWindow(m_number, {flushed}) != cg::kCGErrorSuccess)
        platform::log("appkit: the window server refused a flush of window %u", m_number);
}

// The title bar: the close, minimise and zoom buttons the style gives, at the left end where the
// accessibility tree places the close button, and the title centred across the bar.
void NSWindow::drawTitleBar(const cg::CGContextRef& context) {
    const double top = m_frame.size.height;
    cg::CGContextSetRGBFillColor(context, kTitleBarGrey, kTitleBarGrey, kTitleBarGrey, 1);
    cg::CGContextFillRect(context,
                          cg::CGRectMake(0, top - kNSTitleBarHeight, m_frame.size.width, kNSTitleBarHeight));
    cg::CGContextSetRGBFillColor(context, 0.6, 0.6, 0.6, 1);
    cg::CGContextFillRect(context, cg::CGRectMake(0, top - kNSTitleBarHeight, m_frame.size.width, 1));
    struct Button {
        NSWindowStyleMask bit;
        double red, green, blue;
    };
    const Button buttons[] = {{NSWindowStyleMaskClosable, 1.0, 0.37, 0.34},
                              {NSWindowStyleMaskMiniaturizable, 1.0, 0.74, 0.18},
                              {NSWindowStyleMaskResizable, 0.16, 0.79, 0.25}};
    double x = kNSTitleBarButtonLeft;
    for (const Button& button : buttons) {
        const cg::CGRect circle = cg::CGRectMake(x + 1, top - kNSTitleBarHeight / 2 - 6, 12, 12);
        if (m_style & button.bit)
            cg::CGContextSetRGBFillColor(context, button.red, button.green, button.blue, 1);
        else
            cg::CGContextSetRGBFillColor(context, 0.8, 0.8, 0.8, 1); // a button the style leaves out is blank
        cg::CGContextFillEllipseInRect(context, circle);
        x += kNSTitleBarButtonSpacing;
    }
    if (m_title.empty()) return;
    NSStringAttributes attributes;
    attributes.font = NSFont::systemFontOfSize(NSFont::systemFontSize());
    auto centred = std::make_shared<NSParagraphStyle>();
    centred->alignment = NSTextAlignmentCenter;
    attributes.paragraphStyle = centred;
    auto previous = NSGraphicsContext::currentContext();
    NSGraphicsContext::setCurrentContext(NSGraphicsContext::graphicsContextWithCGContext(context, false));
    // Clear of the buttons on both sides, so a long title is cut rather than drawn over them.
    const double inset = kNSTitleBarButtonLeft + 3 * kNSTitleBarButtonSpacing;
    const double lineHeight = attributes.font->pointSize() * 1.2;
    drawStringInRect(m_title,
                     cg::CGRectMake(inset, top - kNSTitleBarHeight + (kNSTitleBarHeight - lineHeight) / 2,
                                    std::max(0.0, m_frame.size.width - 2 * inset), lineHeight),
                     attributes);
    NSGraphicsContext::setCurrentContext(previous);
}

// ---- The application's windows.

std::vector<std::shared_ptr<NSWindow>> NSApplication::windows() const {
    std::lock_guard lock(m_mutex);
    std::vector<std::shared_ptr<NSWindow>> out;
    for (auto& weak : m_windows)
        if (auto w = weak.lock()) out.push_back(std::move(w));
    return out;
}

std::shared_ptr<NSWindow> NSApplication::keyWindow() const {
    std::lock_guard lock(m_mutex);
    return m_keyWindow.lock();
}

std::shared_ptr<NSWindow> NSApplication::mainWindow() const {
    std::lock_guard lock(m_mutex);
    return m_mainWindow.lock();
}

// NSApplicationActivation.cpp: the window server's activation and key pushes reach NSApp.
void listenForApplicationEvents();

void NSApplication::windowCreated(const std::shared_ptr<NSWindow>& window) {
    listenForApplicationEvents();
    std::lock_guard lock(m_mutex);
    std::erase_if(m_windows, [](const std::weak_ptr<NSWindow>& w) { return w.expired(); });
    m_windows.push_back(window);
}

void NSApplication::windowOrdered(const std::shared_ptr<NSWindow>& window, bool in) {
    std::lock_guard lock(m_mutex);
    std::erase(m_orderedIn, window);
    if (!in) return;
    m_orderedIn.push_back(window);
    // A closed window shown again (a panel its controller keeps) is one of the windows again.
    const bool listed = std::any_of(m_windows.begin(), m_windows.end(),
                                    [&](const std::weak_ptr<NSWindow>& w) { return w.lock() == window; });
    if (!listed) m_windows.push_back(window);
}

void NSApplication::windowClosed(const NSWindow* window) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_windows, [window](const std::weak_ptr<NSWindow>& w) {
        auto locked = w.lock();
        return !locked || locked.get() == window;
    });
}

void NSApplication::setKeyWindow(const std::shared_ptr<NSWindow>& window) {
    {
        std::lock_guard lock(m_mutex);
        m_keyWindow = window;
    }
    // Where the window server sends key events while this application is active.
    cg::CGSSetKeyWindow(window ? window->windowNumber() : 0);
}

void NSApplication::setMainWindow(const std::shared_ptr<NSWindow>& window) {
    std::lock_guard lock(m_mutex);
    m_mainWindow = window;
}

void NSApplication::setWindowBlockedHandler(std::function<bool(const NSWindow&)> handler) {
    std::lock_guard lock(m_mutex);
    m_windowBlocked = std::move(handler);
}

bool NSApplication::isWindowBlocked(const NSWindow& window) const {
    std::function<bool(const NSWindow&)> blocked;
    {
        std::lock_guard lock(m_mutex);
        blocked = m_windowBlocked;
    }
    return blocked && blocked(window);
}

} // namespace appkit
