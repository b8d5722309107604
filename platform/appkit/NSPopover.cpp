#include "platform/appkit/NSPopover.h"

#include "platform/appkit/NSScreen.h"
#include "platform/core/Log.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <algorithm>
#include <optional>

namespace appkit {

namespace {

// Where a window of size stands against anchor (Cocoa global) on edge.
cg::CGPoint originFor(cg::CGRect anchor, cg::CGSize size, NSRectEdge edge) {
    const double midX = anchor.origin.x + anchor.size.width / 2;
    const double midY = anchor.origin.y + anchor.size.height / 2;
    switch (edge) {
    case NSMinXEdge:
        return cg::CGPointMake(anchor.origin.x - size.width, midY - size.height / 2);
    case NSMaxXEdge:
        return cg::CGPointMake(anchor.origin.x + anchor.size.width, midY - size.height / 2);
    case NSMaxYEdge:
        return cg::CGPointMake(midX - size.width / 2, anchor.origin.y + anchor.size.height);
    case NSMinYEdge:
    default:
        return cg::CGPointMake(midX - size.width / 2, anchor.origin.y - size.height);
    }
}

} // namespace

NSPopover::~NSPopover() {
    if (m_window) m_window->close();
}

void NSPopover::setContentViewController(std::shared_ptr<NSViewController> controller) {
    m_contentViewController = std::move(controller);
    if (m_window && m_contentViewController) {
        if (auto view = m_contentViewController->view()) m_window->setContentView(view);
    }
}

cg::CGSize NSPopover::contentSize() const {
    if (m_contentSizeSet) return m_contentSize;
    auto view = m_contentViewController && m_contentViewController->isViewLoaded()
                    ? m_contentViewController->view()
                    : nullptr;
    return view ? view->frame().size : cg::CGSizeZero;
}

void NSPopover::setContentSize(cg::CGSize size) {
    m_contentSize = cg::CGSizeMake(std::max(size.width, 0.0), std::max(size.height, 0.0));
    m_contentSizeSet = true;
    if (m_window) m_window->setContentSize(m_contentSize);
}

void NSPopover::showRelativeToRect(cg::CGRect rect, const std::shared_ptr<NSView>& positioningView,
                                   NSRectEdge preferredEdge) {
    auto view = m_contentViewController ? m_contentViewController->view() : nullptr;
    auto anchorWindow = positioningView ? positioningView->window() : nullptr;
    if (!view || !anchorWindow) {
        platform::log("appkit: a popover needs a content view and an anchor view in a window");
        return;
    }
    auto self = shared_from_this();
    if (cg::CGRectIsEmpty(rect)) rect = positioningView->bounds();
    cg::CGRect anchor = positioningView->convertRectToView(rect, nullptr);
    anchor.origin.x += anchorWindow->frame().origin.x;
    anchor.origin.y += anchorWindow->frame().origin.y;

    const cg::CGSize size = contentSize();
    cg::CGPoint origin = originFor(anchor, size, preferredEdge);
    if (auto visible = NSScreen::visibleFrameHolding(anchor))
        origin = NSPointKeepingRectInside(origin, size, *visible);
    const cg::CGRect frame = cg::CGRectMake(origin.x, origin.y, size.width, size.height);
    if (!m_window) m_window = NSWindow::make<NSPopoverWindow>(frame, NSWindowStyleMaskBorderless);
    m_window->setFrame(frame, false);
    if (m_window->contentView() != view) m_window->setContentView(view);

    const bool showing = !m_shown;
    if (showing) {
        if (auto d = delegate()) d->popoverWillShow(*this);
        post(NSPopoverWillShowNotification);
    }
    m_shown = true;
    m_window->makeKeyAndOrderFront();
    if (showing) {
        if (auto d = delegate()) d->popoverDidShow(*this);
        post(NSPopoverDidShowNotification);
    }
}

void NSPopover::close() {
    if (!m_shown) return;
    auto self = shared_from_this();
    if (auto d = delegate()) d->popoverWillClose(*this);
    post(NSPopoverWillCloseNotification);
    m_shown = false;
    if (m_window) m_window->orderOut();
    if (auto d = delegate()) d->popoverDidClose(*this);
    post(NSPopoverDidCloseNotification);
}

void NSPopover::performClose() {
    if (!m_shown) return;
    if (auto d = delegate(); d && !d->popoverShouldClose(*this)) return;
    close();
}

void NSPopover::post(const char* name) {
    ns::NSNotificationCenter::defaultCenter().postNotificationName(name, shared_from_this());
}

} // namespace appkit
