#include "platform/appkit/NSView.h"

#include "platform/appkit/NSGraphicsContext.h"
#include "platform/appkit/NSMenu.h"
#include "platform/appkit/NSWindow.h"
#include "platform/core/Log.h"

#include <algorithm>
#include <cmath>

namespace appkit {

namespace {

// The context views draw through while their window draws them.
cg::CGContextRef& drawingContext() {
    static cg::CGContextRef context;
    return context;
}

// One axis of autoresizing: the margins before and after and the size, the flexible ones sharing
// the change in proportion to their sizes (equally when all are zero).
void resizeAxis(double& origin, double& size, double oldSuper, double newSuper, bool minFlexible,
                bool sizeFlexible, bool maxFlexible) {
    const double delta = newSuper - oldSuper;
    if (delta == 0 || !(minFlexible || sizeFlexible || maxFlexible)) return;
    double parts[3] = {origin, size, oldSuper - origin - size};
    const bool flexible[3] = {minFlexible, sizeFlexible, maxFlexible};
    double total = 0;
    int count = 0;
    for (int i = 0; i < 3; ++i)
        if (flexible[i]) total += std::max(parts[i], 0.0), ++count;
    double share[3] = {};
    for (int i = 0; i < 3; ++i)
        if (flexible[i]) share[i] = total > 0 ? delta * std::max(parts[i], 0.0) / total : delta / count;
    origin += share[0];
    size = std::max(0.0, size + share[1]);
}

} // namespace

NSView::NSView(cg::CGRect frame)
    : m_frame(frame), m_bounds(cg::CGRectMake(0, 0, frame.size.width, frame.size.height)) {}

NSView::~NSView() = default;

// ---- The tree.

void NSView::addSubview(const std::shared_ptr<NSView>& view) {
    if (!view || view.get() == this || isDescendantOf(*view)) {
        platform::log("appkit: refusing to add a view to itself or to one of its own subviews");
        return;
    }
    auto keep = view;
    view->removeFromSuperview();
    m_subviews.push_back(view);
    view->m_superview = weak_from_this();
    view->setWindow(window());
    view->viewDidMoveToSuperview();
    view->setNeedsDisplay(true);
}

void NSView::removeFromSuperview() {
    auto parent = superview();
    if (!parent) return;
    auto keep = shared_from_this();
    if (auto w = parent->window()) w->invalidate(mapRect(m_bounds, true));
    auto& list = parent->m_subviews;
    list.erase(std::remove(list.begin(), list.end(), keep), list.end());
    m_superview.reset();
    setWindow(nullptr);
    viewDidMoveToSuperview();
}

bool NSView::isDescendantOf(const NSView& view) const {
    for (const NSView* v = this; v; v = v->m_superview.lock().get())
        if (v == &view) return true;
    return false;
}

void NSView::setWindow(const std::shared_ptr<NSWindow>& window) {
    const bool changed = m_window.lock() != window;
    m_window = window;
    for (auto& sub : m_subviews)
        sub->setWindow(window);
    if (changed) {
        if (window) updateTrackingAreas();
        viewDidMoveToWindow();
    }
}

std::string NSView::accessibilityRole() const {
    return m_identifier.empty() ? std::string() : std::string("AXGroup");
}

std::vector<std::string> NSView::accessibilityActionNames() const {
    if (m_menu) return {"AXShowMenu"};
    return {};
}

bool NSView::accessibilityPerformAction(const std::string& action) {
    if (action != "AXShowMenu" || !m_menu) return false;
    auto keep = shared_from_this();
    const cg::CGRect b = bounds();
    m_menu->popUpMenuPositioningItem(nullptr,
                                     cg::CGPointMake(b.origin.x, isFlipped() ? b.origin.y : b.origin.y + b.size.height),
                                     keep);
    return true;
}

NSResponder* NSView::nextResponder() const {
    if (auto parent = superview()) return parent.get();
    auto w = window();
    return w && w->contentView().get() == this ? w.get() : nullptr;
}

void NSView::addTrackingArea(const std::shared_ptr<NSTrackingArea>& area) {
    if (area && std::find(m_trackingAreas.begin(), m_trackingAreas.end(), area) == m_trackingAreas.end())
        m_trackingAreas.push_back(area);
}

void NSView::removeTrackingArea(const std::shared_ptr<NSTrackingArea>& area) {
    std::erase(m_trackingAreas, area);
}

// ---- Geometry.

void NSView::setFrame(cg::CGRect frame) {
    if (!std::isfinite(frame.origin.x) || !std::isfinite(frame.origin.y) ||
        !std::isfinite(frame.size.width) || !std::isfinite(frame.size.height)) {
        platform::log("appkit: refusing a frame that is not finite");
        return;
    }
    frame.size.width = std::max(frame.size.width, 0.0);
    frame.size.height = std::max(frame.size.height, 0.0);
    const cg::CGSize oldSize = m_frame.size;
    if (auto w = window(); w && superview()) w->invalidate(mapRect(m_bounds, true));
    m_frame = frame;
    if (!m_boundsSet) m_bounds.size = frame.size;
    if ((oldSize.width != frame.size.width || oldSize.height != frame.size.height) && m_autoresizesSubviews)
        resizeSubviewsWithOldSize(oldSize);
    updateTrackingAreas();
    setNeedsDisplay(true);
}

void NSView::setFrameOrigin(cg::CGPoint origin) {
    setFrame(cg::CGRectMake(origin.x, origin.y, m_frame.size.width, m_frame.size.height));
}

void NSView::setFrameSize(cg::CGSize size) {
    setFrame(cg::CGRectMake(m_frame.origin.x, m_frame.origin.y, size.width, size.height));
}

void NSView::setBounds(cg::CGRect bounds) {
    if (!(bounds.size.width > 0 && bounds.size.height > 0 && std::isfinite(bounds.origin.x) &&
          std::isfinite(bounds.origin.y) && std::isfinite(bounds.size.width) &&
          std::isfinite(bounds.size.height))) {
        platform::log("appkit: refusing bounds that are empty or not finite");
        return;
    }
    m_bounds = bounds;
    m_boundsSet = true;
    updateTrackingAreas();
    setNeedsDisplay(true);
}

void NSView::setBoundsOrigin(cg::CGPoint origin) {
    m_bounds.origin = origin;
    updateTrackingAreas();
    setNeedsDisplay(true);
}

void NSView::setHidden(bool hidden) {
    if (hidden == m_hidden) return;
    if (hidden && window()) window()->invalidate(mapRect(m_bounds, true));
    m_hidden = hidden;
    setNeedsDisplay(true);
}

void NSView::setAlphaValue(double alpha) {
    m_alpha = std::clamp(std::isfinite(alpha) ? alpha : 1.0, 0.0, 1.0);
    setNeedsDisplay(true);
}

void NSView::resizeSubviewsWithOldSize(cg::CGSize oldSize) {
    for (auto& sub : m_subviews)
        sub->resizeWithOldSuperviewSize(oldSize);
}

void NSView::resizeWithOldSuperviewSize(cg::CGSize oldSize) {
    auto parent = superview();
    if (!parent || m_autoresizingMask == NSViewNotSizable) return;
    const cg::CGSize now = parent->m_frame.size;
    cg::CGRect f = m_frame;
    const auto mask = m_autoresizingMask;
    resizeAxis(f.origin.x, f.size.width, oldSize.width, now.width, mask & NSViewMinXMargin,
               mask & NSViewWidthSizable, mask & NSViewMaxXMargin);
    resizeAxis(f.origin.y, f.size.height, oldSize.height, now.height, mask & NSViewMinYMargin,
               mask & NSViewHeightSizable, mask & NSViewMaxYMargin);
    setFrame(f);
}

// ---- Conversions. A view's frame lies in its superview's bounds space (the window's base
// space, unflipped, for a view without one); the bounds map onto the frame, scaled when their
// sizes differ, and turned over when the view and that space differ in flippedness.

bool NSView::superviewIsFlipped() const {
    auto parent = superview();
    return parent && parent->isFlipped();
}

cg::CGPoint NSView::toSuperview(cg::CGPoint p) const {
    const double sx = m_bounds.size.width > 0 ? m_frame.size.width / m_bounds.size.width : 1;
    const double sy = m_bounds.size.height > 0 ? m_frame.size.height / m_bounds.size.height : 1;
    double x = m_frame.origin.x + (p.x - m_bounds.origin.x) * sx;
    double dy = (p.y - m_bounds.origin.y) * sy;
    double y = isFlipped() == superviewIsFlipped() ? m_frame.origin.y + dy
                                                   : m_frame.origin.y + m_frame.size.height - dy;
    return cg::CGPointMake(x, y);
}

cg::CGPoint NSView::fromSuperview(cg::CGPoint p) const {
    const double sx = m_bounds.size.width > 0 ? m_frame.size.width / m_bounds.size.width : 1;
    const double sy = m_bounds.size.height > 0 ? m_frame.size.height / m_bounds.size.height : 1;
    double x = m_bounds.origin.x + (p.x - m_frame.origin.x) / (sx != 0 ? sx : 1);
    double dy = isFlipped() == superviewIsFlipped() ? p.y - m_frame.origin.y
                                                    : m_frame.origin.y + m_frame.size.height - p.y;
    return cg::CGPointMake(x, m_bounds.origin.y + dy / (sy != 0 ? sy : 1));
}

cg::CGPoint NSView::toWindow(cg::CGPoint p) const {
    for (const NSView* v = this; v; v = v->m_superview.lock().get())
        p = v->toSuperview(p);
    return p;
}

cg::CGPoint NSView::fromWindow(cg::CGPoint p) const {
    std::vector<const NSView*> chain;
    for (const NSView* v = this; v; v = v->m_superview.lock().get())
        chain.push_back(v);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        p = (*it)->fromSuperview(p);
    return p;
}

cg::CGPoint NSView::convertPointFromView(cg::CGPoint point, const NSView* view) const {
    return fromWindow(view ? view->toWindow(point) : point);
}

cg::CGPoint NSView::convertPointToView(cg::CGPoint point, const NSView* view) const {
    cg::CGPoint base = toWindow(point);
    return view ? view->fromWindow(base) : base;
}

cg::CGRect NSView::mapRect(cg::CGRect rect, bool toWindowSpace) const {
    if (cg::CGRectIsNull(rect)) return rect;
    cg::CGPoint a = cg::CGPointMake(rect.origin.x, rect.origin.y);
    cg::CGPoint b = cg::CGPointMake(rect.origin.x + rect.size.width, rect.origin.y + rect.size.height);
    a = toWindowSpace ? toWindow(a) : fromWindow(a);
    b = toWindowSpace ? toWindow(b) : fromWindow(b);
    return cg::CGRectMake(std::min(a.x, b.x), std::min(a.y, b.y), std::fabs(b.x - a.x), std::fabs(b.y - a.y));
}

cg::CGRect NSView::convertRectFromView(cg::CGRect rect, const NSView* view) const {
    cg::CGRect base = view ? view->mapRect(rect, true) : rect;
    return mapRect(base, false);
}

cg::CGRect NSView::convertRectToView(cg::CGRect rect, const NSView* view) const {
    cg::CGRect base = mapRect(rect, true);
    return view ? view->mapRect(base, false) : base;
}

std::shared_ptr<NSView> NSView::hitTest(cg::CGPoint point) {
    if (m_hidden) return nullptr;
    cg::CGRect frame = m_frame;
    if (!(point.x >= frame.origin.x && point.x < frame.origin.x + frame.size.width &&
          point.y >= frame.origin.y && point.y < frame.origin.y + frame.size.height))
        return nullptr;
    cg::CGPoint local = fromSuperview(point);
    for (auto it = m_subviews.rbegin(); it != m_subviews.rend(); ++it)
        if (auto hit = (*it)->hitTest(local)) return hit;
    return shared_from_this();
}

// ---- Drawing.

void NSView::setNeedsDisplay(bool needs) {
    if (needs)
        setNeedsDisplayInRect(m_bounds);
    else
        m_needsDisplay = false;
}

void NSView::setNeedsDisplayInRect(cg::CGRect rect) {
    m_needsDisplay = true;
    if (auto w = window()) w->invalidate(mapRect(cg::CGRectIntersection(rect, m_bounds), true));
}

void NSView::drawRect(cg::CGRect) {}

cg::CGContextRef NSView::currentContext() {
    return drawingContext();
}

void NSView::displayIfNeeded() {
    if (auto w = window()) w->displayIfNeeded();
}

void NSView::markClean() {
    m_needsDisplay = false;
    for (auto& sub : m_subviews)
        sub->markClean();
}

void NSView::drawTree(const cg::CGContextRef& context, cg::CGRect dirty) {
    if (m_hidden || m_alpha <= 0) return;
    cg::CGRect mine = mapRect(m_bounds, true);
    // The first responder's focus ring lies just outside its bounds.
    if (auto w = window(); w && w->firstResponder() == this)
        mine = cg::CGRectInset(mine, -kNSFocusRingOutset, -kNSFocusRingOutset);
    cg::CGRect area = cg::CGRectIntersection(mine, dirty);
    if (cg::CGRectIsEmpty(area)) return;
    // The context's space becomes this view's bounds space, clipped to the view.
    const cg::CGPoint origin = toWindow(cg::CGPointMake(0, 0));
    const cg::CGPoint unitX = toWindow(cg::CGPointMake(1, 0)), unitY = toWindow(cg::CGPointMake(0, 1));
    const cg::CGAffineTransform toBounds = cg::CGAffineTransformMake(
        unitX.x - origin.x, unitX.y - origin.y, unitY.x - origin.x, unitY.y - origin.y, origin.x, origin.y);
    cg::CGContextSaveGState(context);
    cg::CGContextClipToRect(context, area);
    cg::CGContextConcatCTM(context, toBounds);
    // AppKit's drawing calls (NSRectFill, NSColor set, NSBezierPath) reach the view's store through
    // the thread's current graphics context.
    cg::CGContextRef previous = drawingContext();
    auto previousGraphics = NSGraphicsContext::currentContext();
    drawingContext() = context;
    NSGraphicsContext::setCurrentContext(NSGraphicsContext::graphicsContextWithCGContext(context, isFlipped()));
    if (!isHostingLayer()) drawRect(mapRect(area, false));
    NSGraphicsContext::setCurrentContext(previousGraphics);
    drawingContext() = previous;
    const auto push = pushOffsets();
    if (!push) drawLayerTree(context);
    cg::CGContextRestoreGState(context);
    auto subviews = m_subviews; // drawRect: may change the tree
    if (!push) {
        for (auto& sub : subviews)
            sub->drawTree(context, area);
        return;
    }
    // A push under way: the old look on the layer slides out, the subviews slide in.
    const auto [out, in] = *push;
    cg::CGContextSaveGState(context);
    cg::CGContextClipToRect(context, area);
    cg::CGContextTranslateCTM(context, out.x, out.y);
    cg::CGContextConcatCTM(context, toBounds);
    drawLayerTree(context);
    cg::CGContextRestoreGState(context);
    cg::CGContextSaveGState(context);
    cg::CGContextClipToRect(context, area);
    cg::CGContextTranslateCTM(context, in.x, in.y);
    for (auto& sub : subviews)
        sub->drawTree(context, cg::CGRectOffset(area, -in.x, -in.y));
    cg::CGContextRestoreGState(context);
}

} // namespace appkit
