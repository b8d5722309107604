#include "host/QNBCollectionScrollView.h"

#include <algorithm>
#include <cmath>

namespace host {

namespace {

void tellEntered(const std::shared_ptr<appkit::NSCollectionViewItem>& item) {
    if (auto* row = dynamic_cast<QNBCollectionScrollViewRow*>(item.get())) row->mouseEnteredView();
}

void tellExited(const std::shared_ptr<appkit::NSCollectionViewItem>& item) {
    if (auto* row = dynamic_cast<QNBCollectionScrollViewRow*>(item.get())) row->mouseExitedView();
}

} // namespace

std::shared_ptr<appkit::NSCollectionView> QNBCollectionScrollView::collectionView() const {
    return std::dynamic_pointer_cast<appkit::NSCollectionView>(documentView());
}

void QNBCollectionScrollView::initializeMouseTracking() {
    if (m_trackingArea) return;
    m_trackingArea = std::make_shared<appkit::NSTrackingArea>(bounds(), kTrackingOptions, weak_from_this());
    addTrackingArea(m_trackingArea);
}

void QNBCollectionScrollView::resetMouseTracking() {
    if (m_trackingArea) removeTrackingArea(m_trackingArea);
    m_trackingArea = nullptr;
    initializeMouseTracking();
}

std::optional<uint64_t>
QNBCollectionScrollView::collectionViewItemIndexFromEvent(const appkit::NSCollectionView& collectionView,
                                                          const appkit::NSEvent& event) const {
    // Every row is as high as the prototype's view, which the collection view lays out by.
    const double rowHeight = collectionView.frameForItemAtIndex(0).size.height;
    if (!(rowHeight > 0)) return std::nullopt;
    const cg::CGPoint location = convertPointFromView(event.locationInWindow(), nullptr);
    const double row = (documentVisibleRect().origin.y + location.y) / rowHeight;
    if (!std::isfinite(row)) return std::nullopt;
    return uint64_t(std::max(0.0, std::floor(row)));
}

void QNBCollectionScrollView::focusCollectionViewItemWithEvent(const appkit::NSEvent& event) {
    auto collection = collectionView();
    if (!collection || collection->content().empty()) return;
    const std::optional<uint64_t> index = collectionViewItemIndexFromEvent(*collection, event);
    if (!index) return;
    auto last = m_lastFocusItem.lock();
    if (*index >= collection->content().size()) {
        if (last) tellExited(last);
        return;
    }
    auto item = collection->itemAtIndex(size_t(*index));
    if (item != last && last) tellExited(last);
    if (!item) return;
    tellEntered(item);
    m_lastFocusItem = item;
    if (auto delegate = m_delegate.lock()) delegate->focusForCollectionViewItemIndex(*index);
}

bool QNBCollectionScrollView::validateLastFocusItem() const {
    auto last = m_lastFocusItem.lock();
    auto collection = collectionView();
    if (!last || !collection) return false;
    const ns::IdArray& content = collection->content();
    return std::find(content.begin(), content.end(), last->representedObject()) != content.end();
}

void QNBCollectionScrollView::mouseExittedNotificationForLastFocusItem() {
    if (validateLastFocusItem()) tellExited(m_lastFocusItem.lock());
}

void QNBCollectionScrollView::mouseExited(const appkit::NSEvent&) {
    mouseExittedNotificationForLastFocusItem();
    if (auto delegate = m_delegate.lock()) delegate->focusEnded();
}

} // namespace host
