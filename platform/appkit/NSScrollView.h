// Scroll views: a clip view filling the scroll view, showing part of its document view. The
// clip view follows its document view's flippedness and scrolls by moving its bounds' origin,
// kept inside the document. The scroll view is not flipped. No scrollers are drawn.
#pragma once

#include "platform/appkit/NSView.h"

namespace appkit {

class NSClipView : public NSView {
  public:
    using NSView::NSView;
    bool isFlipped() const override;
    std::shared_ptr<NSView> documentView() const { return m_documentView; }
    void setDocumentView(std::shared_ptr<NSView> view);
    // The clip view's bounds in the document view's space.
    cg::CGRect documentVisibleRect() const;
    // Moves the bounds' origin to point (bounds space), held inside the document's frame.
    void scrollToPoint(cg::CGPoint point);

  private:
    std::shared_ptr<NSView> m_documentView;
};

class NSScrollView : public NSView {
  public:
    explicit NSScrollView(cg::CGRect frame = cg::CGRectZero);
    std::shared_ptr<NSClipView> contentView();
    std::shared_ptr<NSView> documentView() const { return m_clipView->documentView(); }
    void setDocumentView(std::shared_ptr<NSView> view);
    cg::CGRect documentVisibleRect() const { return m_clipView->documentVisibleRect(); }
    // Recorded only: no scrollers are drawn.
    bool hasVerticalScroller() const { return m_hasVerticalScroller; }
    void setHasVerticalScroller(bool flag) { m_hasVerticalScroller = flag; }

    std::string accessibilityRole() const override { return "AXScrollArea"; }
    void viewDidMoveToSuperview() override { ensureClipView(); }
    void viewDidMoveToWindow() override { ensureClipView(); }

  private:
    // The clip view becomes a subview once the scroll view is shared (not yet while constructed).
    void ensureClipView();

    std::shared_ptr<NSClipView> m_clipView;
    bool m_hasVerticalScroller = false;
};

} // namespace appkit
