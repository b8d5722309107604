#include "platform/appkit/NSScrollView.h"

#include <algorithm>

namespace appkit {

bool NSClipView::isFlipped() const {
    return m_documentView && m_documentView->isFlipped();
}

void NSClipView::setDocumentView(std::shared_ptr<NSView> view) {
    if (m_documentView) m_documentView->removeFromSuperview();
    m_documentView = std::move(view);
    if (!m_documentView) return;
    addSubview(m_documentView);
    scrollToPoint(m_documentView->frame().origin);
}

cg::CGRect NSClipView::documentVisibleRect() const {
    return m_documentView ? convertRectToView(bounds(), m_documentView.get()) : bounds();
}

void NSClipView::scrollToPoint(cg::CGPoint point) {
    const cg::CGRect b = bounds();
    if (m_documentView) {
        const cg::CGRect doc = m_documentView->frame();
        point.x = std::max(doc.origin.x, std::min(point.x, doc.origin.x + doc.size.width - b.size.width));
        point.y = std::max(doc.origin.y, std::min(point.y, doc.origin.y + doc.size.height - b.size.height));
    }
    if (point.x != b.origin.x || point.y != b.origin.y) setBoundsOrigin(point);
}

NSScrollView::NSScrollView(cg::CGRect frame)
    : NSView(frame),
      m_clipView(std::make_shared<NSClipView>(cg::CGRectMake(0, 0, frame.size.width, frame.size.height))) {
    m_clipView->setAutoresizingMask(NSViewWidthSizable | NSViewHeightSizable);
}

void NSScrollView::ensureClipView() {
    if (m_clipView->superview().get() == this || weak_from_this().expired()) return;
    m_clipView->setFrame(bounds());
    addSubview(m_clipView);
}

std::shared_ptr<NSClipView> NSScrollView::contentView() {
    ensureClipView();
    return m_clipView;
}

void NSScrollView::setDocumentView(std::shared_ptr<NSView> view) {
    ensureClipView();
    m_clipView->setDocumentView(std::move(view));
}

std::shared_ptr<NSScrollView> NSView::enclosingScrollView() const {
    for (auto v = superview(); v; v = v->superview())
        if (auto scroll = std::dynamic_pointer_cast<NSScrollView>(v)) return scroll;
    return nullptr;
}

bool NSView::scrollRectToVisible(cg::CGRect rect) {
    std::shared_ptr<NSClipView> clip;
    for (auto v = superview(); v && !clip; v = v->superview())
        clip = std::dynamic_pointer_cast<NSClipView>(v);
    if (!clip || cg::CGRectIsNull(rect)) return false;
    const cg::CGRect want = clip->convertRectFromView(rect, this);
    const cg::CGRect visible = clip->bounds();
    // Per axis: the least move that shows the rectangle, its start when it is the larger.
    auto axis = [](double start, double length, double visStart, double visLength) {
        if (start < visStart || length > visLength) return start;
        if (start + length > visStart + visLength) return start + length - visLength;
        return visStart;
    };
    cg::CGPoint origin =
        cg::CGPointMake(axis(want.origin.x, want.size.width, visible.origin.x, visible.size.width),
                        axis(want.origin.y, want.size.height, visible.origin.y, visible.size.height));
    clip->scrollToPoint(origin);
    const cg::CGRect after = clip->bounds();
    return after.origin.x != visible.origin.x || after.origin.y != visible.origin.y;
}

} // namespace appkit
