// A window's events: mouse-down to the view under the pointer, the following up and drags to
// that view, tracking areas updated by moves and drags, keys to the first responder, and the
// first responder itself.
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSWindow.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/dispatch/RunLoop.h"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace appkit {

namespace {

bool visibleInTree(const NSView& view) {
    for (const NSView* v = &view; v; v = v->superview().get())
        if (v->isHidden()) return false;
    return true;
}

// The part of the view's bounds its superviews do not clip away (bounds space).
cg::CGRect visibleRect(const NSView& view) {
    cg::CGRect visible = view.bounds();
    for (auto parent = view.superview(); parent; parent = parent->superview())
        visible = cg::CGRectIntersection(visible, view.convertRectFromView(parent->bounds(), parent.get()));
    return visible;
}

bool contains(cg::CGRect r, cg::CGPoint p) {
    return p.x >= r.origin.x && p.x < r.origin.x + r.size.width && p.y >= r.origin.y &&
           p.y < r.origin.y + r.size.height;
}

struct AreaOfView {
    std::shared_ptr<NSTrackingArea> area;
    std::shared_ptr<NSView> view;
};

// Every tracking area of the tree, in view-tree order (a view's own before its subviews').
void collectAreas(const std::shared_ptr<NSView>& view, std::vector<AreaOfView>& out) {
    for (auto& area : view->trackingAreas())
        out.push_back({area, view});
    for (auto& sub : view->subviews())
        collectAreas(sub, out);
}

} // namespace

NSResponder* NSWindow::firstResponder() const {
    if (auto view = m_firstResponder.lock(); view && view->window().get() == this) return view.get();
    return const_cast<NSWindow*>(this);
}

bool NSWindow::makeFirstResponder(const std::shared_ptr<NSView>& view) {
    NSResponder* current = firstResponder();
    if (view && view.get() == current) return true;
    if (view && view->window().get() != this) {
        platform::log("appkit: refusing a first responder from another window");
        return false;
    }
    if (current != this && !current->resignFirstResponder()) return false;
    m_firstResponder.reset();
    if (!view) return true;
    if (!view->acceptsFirstResponder() || !view->becomeFirstResponder()) return false;
    m_firstResponder = view;
    return true;
}

void NSWindow::sendEvent(const NSEvent& event) {
    switch (event.type()) {
    case NSEventType::LeftMouseDown:
    case NSEventType::RightMouseDown: {
        auto bar = toolbarView();
        auto hit = bar ? bar->hitTest(event.locationInWindow()) : nullptr;
        if (!hit && m_contentView) hit = m_contentView->hitTest(event.locationInWindow());
        m_mouseDownView = hit;
        if (!hit) return;
        if (hit->acceptsFirstResponder()) makeFirstResponder(hit);
        if (event.type() == NSEventType::LeftMouseDown)
            hit->mouseDown(event);
        else
            hit->rightMouseDown(event);
        return;
    }
    case NSEventType::LeftMouseUp:
    case NSEventType::RightMouseUp: {
        auto view = m_mouseDownView.lock();
        m_mouseDownView.reset();
        if (!view || view->window().get() != this) return;
        if (event.type() == NSEventType::LeftMouseUp)
            view->mouseUp(event);
        else
            view->rightMouseUp(event);
        return;
    }
    case NSEventType::LeftMouseDragged:
    case NSEventType::RightMouseDragged:
        if (auto view = m_mouseDownView.lock(); view && view->window().get() == this)
            view->mouseDragged(event);
        [[fallthrough]];
    case NSEventType::MouseMoved: {
        std::vector<AreaOfView> areas;
        if (m_contentView) collectAreas(m_contentView, areas);
        const bool key = isKeyWindow();
        NSResponder* responder = firstResponder();
        std::vector<AreaOfView> insideNow;
        for (auto& a : areas) {
            const auto options = a.area->options();
            const bool active = (options & NSTrackingActiveAlways) ||
                                (options & NSTrackingActiveInActiveApp) ||
                                ((options & NSTrackingActiveInKeyWindow) && key) ||
                                ((options & NSTrackingActiveWhenFirstResponder) && responder == a.view.get());
            if (!active || !visibleInTree(*a.view)) continue;
            cg::CGRect rect = (options & NSTrackingInVisibleRect) ? visibleRect(*a.view) : a.area->rect();
            if (contains(rect, a.view->convertPointFromView(event.locationInWindow(), nullptr)))
                insideNow.push_back(a);
        }
        auto wasInside = [&](const std::shared_ptr<NSTrackingArea>& area) {
            return std::any_of(m_inside.begin(), m_inside.end(),
                               [&](const std::weak_ptr<NSTrackingArea>& w) { return w.lock() == area; });
        };
        auto isInside = [&](const std::shared_ptr<NSTrackingArea>& area) {
            return std::any_of(insideNow.begin(), insideNow.end(),
                               [&](const AreaOfView& a) { return a.area == area; });
        };
        // Exits first (in the order entered), then entries, then moves.
        std::vector<std::shared_ptr<NSTrackingArea>> exited;
        for (auto& weak : m_inside)
            if (auto area = weak.lock(); area && !isInside(area)) exited.push_back(area);
        std::vector<std::shared_ptr<NSTrackingArea>> entered;
        for (auto& a : insideNow)
            if (!wasInside(a.area)) entered.push_back(a.area);
        m_inside.clear();
        for (auto& a : insideNow)
            m_inside.push_back(a.area);
        for (auto& area : exited)
            if (auto owner = area->owner(); owner && (area->options() & NSTrackingMouseEnteredAndExited))
                owner->mouseExited(event.withTrackingArea(NSEventType::MouseExited, area));
        for (auto& area : entered)
            if (auto owner = area->owner(); owner && (area->options() & NSTrackingMouseEnteredAndExited))
                owner->mouseEntered(event.withTrackingArea(NSEventType::MouseEntered, area));
        if (event.type() == NSEventType::MouseMoved)
            for (auto& a : insideNow)
                if (auto owner = a.area->owner(); owner && (a.area->options() & NSTrackingMouseMoved))
                    owner->mouseMoved(event);
        return;
    }
    case NSEventType::KeyDown:
        firstResponder()->keyDown(event);
        return;
    case NSEventType::KeyUp:
        firstResponder()->keyUp(event);
        return;
    case NSEventType::FlagsChanged:
        firstResponder()->flagsChanged(event);
        return;
    default:
        return;
    }
}

void NSWindow::pointerLeft(const NSEvent& event) {
    auto inside = std::move(m_inside);
    m_inside.clear();
    for (auto& weak : inside)
        if (auto area = weak.lock())
            if (auto owner = area->owner(); owner && (area->options() & NSTrackingMouseEnteredAndExited))
                owner->mouseExited(event.withTrackingArea(NSEventType::MouseExited, area));
}

// A pushed mouse event or pointer-left, on the main run loop (every mode).
static void deliverWindowEvent(const cf::Value& body) {
    const cf::Value* kind = body.find("kind");
    const cf::Value* window = body.find("window");
    auto number = window ? window->storedInteger() : std::nullopt;
    if (!kind || !kind->asString() || !number || *number <= 0 || *number > int64_t(UINT32_MAX)) {
        platform::log("appkit: refusing a malformed window event");
        return;
    }
    std::shared_ptr<NSWindow> target;
    for (auto& w : NSApp()->windows())
        if (w->windowNumber() == uint32_t(*number)) target = w;
    if (*kind->asString() == "pointer-left") {
        if (target)
            target->pointerLeft(NSEvent::mouseEvent(NSEventType::MouseExited, cg::CGPointZero, 0, 0,
                                                    uint32_t(*number), 0, 0));
        return;
    }
    const cf::Value* type = body.find("type");
    const cf::Value* x = body.find("x");
    const cf::Value* y = body.find("y");
    const cf::Value* flags = body.find("flags");
    auto t = type ? type->storedInteger() : std::nullopt;
    if (!t || *t < 1 || *t > 7 || !x || !x->isNumber() || !y || !y->isNumber() ||
        !std::isfinite(x->doubleValue()) || !std::isfinite(y->doubleValue())) {
        return; // other buttons' events are not handled by windows here
    }
    const bool down = *t == 1 || *t == 3;
    NSApp()->sendEvent(
        NSEvent::mouseEvent(NSEventType(*t), cg::CGPointMake(x->doubleValue(), y->doubleValue()),
                            flags && flags->storedInteger() ? uint64_t(*flags->storedInteger()) : 0, 0,
                            uint32_t(*number), down || *t == 2 || *t == 4 ? 1 : 0, down ? 1.0 : 0.0));
}

void listenForWindowEvents() {
    static std::once_flag once;
    std::call_once(once, [] {
        cg::CGSSetWindowEventHandler([](const cf::Value& body) {
            dispatch::RunLoop::main()->perform({std::string(dispatch::kCommonRunLoopModes)},
                                               [body] { deliverWindowEvent(body); });
        });
    });
}

void NSApplication::sendEvent(const NSEvent& event) {
    if (m_trackingFilter) {
        auto filter = m_trackingFilter; // the filter may remove itself
        if (filter(event)) return;
    }
    std::shared_ptr<NSWindow> target;
    if (event.isKeyEvent()) {
        target = keyWindow();
    } else {
        for (auto& window : windows())
            if (window->windowNumber() == event.windowNumber()) target = window;
    }
    if (!target) {
        platform::log("appkit: an event for window %u reaches no window of this application",
                      event.windowNumber());
        return;
    }
    // A modal loop takes input only for its window; a window under a sheet takes none.
    if (!windowAcceptsInput(*target)) {
        const auto type = event.type();
        if (type == NSEventType::LeftMouseDown || type == NSEventType::RightMouseDown ||
            type == NSEventType::KeyDown)
            platform::log("appkit: window %u refuses input while a modal window or sheet is up",
                          target->windowNumber());
        return;
    }
    target->sendEvent(event);
}

} // namespace appkit
