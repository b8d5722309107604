// The listing's scroll view: finds the row under the mouse from the row height and the scroll
// offset, tells the rows when the mouse enters and leaves them, and tells its delegate which row
// has the focus. It counts from the top (flipped), as the collection view it shows does.
#pragma once

#include "platform/appkit/NSCollectionView.h"
#include "platform/appkit/NSScrollView.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace host {

// Hears which row of the listing the mouse is over, and when it leaves the listing.
class QNBCollectionScrollViewDelegateProtocol {
  public:
    virtual ~QNBCollectionScrollViewDelegateProtocol() = default;
    virtual void focusForCollectionViewItemIndex(uint64_t index) = 0;
    virtual void focusEnded() = 0;
};

// A row that wants to hear the mouse entering and leaving it; rows without it are not told.
class QNBCollectionScrollViewRow {
  public:
    virtual ~QNBCollectionScrollViewRow() = default;
    virtual void mouseEnteredView() = 0;
    virtual void mouseExitedView() = 0;
};

class QNBCollectionScrollView : public appkit::NSScrollView {
  public:
    // Entered and exited, moved, always active.
    static constexpr appkit::NSTrackingAreaOptions kTrackingOptions =
        appkit::NSTrackingMouseEnteredAndExited | appkit::NSTrackingMouseMoved |
        appkit::NSTrackingActiveAlways;

    using NSScrollView::NSScrollView;
    bool isFlipped() const override { return true; }

    std::shared_ptr<appkit::NSTrackingArea> trackingArea() const { return m_trackingArea; }
    std::shared_ptr<appkit::NSCollectionViewItem> lastFocusItem() const { return m_lastFocusItem.lock(); }
    std::shared_ptr<QNBCollectionScrollViewDelegateProtocol> delegate() const { return m_delegate.lock(); }
    void setDelegate(const std::shared_ptr<QNBCollectionScrollViewDelegateProtocol>& delegate) {
        m_delegate = delegate;
    }

    // A tracking area over the bounds (once; a second call keeps the first).
    void initializeMouseTracking();
    // The tracking area removed and made again over the current bounds.
    void resetMouseTracking();
    // The row under the event: the whole part of (scroll offset + the event's y in this view) /
    // row height, not below 0. None when the row height is not positive or the quotient is not
    // finite, so a listing without laid-out rows changes no focus.
    std::optional<uint64_t> collectionViewItemIndexFromEvent(const appkit::NSCollectionView& collectionView,
                                                             const appkit::NSEvent& event) const;
    void focusCollectionViewItemWithEvent(const appkit::NSEvent& event);
    // The last focused row hears its exit, while it is still valid.
    void mouseExittedNotificationForLastFocusItem();
    // The last focused row still exists and its object is still in the collection view's content.
    bool validateLastFocusItem() const;

    void mouseDown(const appkit::NSEvent& event) override { focusCollectionViewItemWithEvent(event); }
    void mouseEntered(const appkit::NSEvent& event) override { focusCollectionViewItemWithEvent(event); }
    void mouseMoved(const appkit::NSEvent& event) override { focusCollectionViewItemWithEvent(event); }
    void mouseExited(const appkit::NSEvent& event) override;

    // The frame changed, or the view entered a window: track over the new bounds.
    void updateTrackingAreas() override { resetMouseTracking(); }
    void awakeFromNib() override { initializeMouseTracking(); }

  private:
    std::shared_ptr<appkit::NSCollectionView> collectionView() const;

    std::shared_ptr<appkit::NSTrackingArea> m_trackingArea;
    std::weak_ptr<appkit::NSCollectionViewItem> m_lastFocusItem;
    std::weak_ptr<QNBCollectionScrollViewDelegateProtocol> m_delegate;
};

} // namespace host
