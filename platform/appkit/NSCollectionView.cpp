#include "platform/appkit/NSCollectionView.h"

#include "platform/appkit/NSScrollView.h"
#include "platform/appkit/NSViewBindings.h"
#include "platform/core/Log.h"

namespace appkit {

namespace {

void unbindTree(NSView& view) {
    view.unbindAll();
    for (auto& sub : view.subviews())
        unbindTree(*sub);
}

} // namespace

NSCollectionView::NSCollectionView(cg::CGRect frame) : NSView(frame) {}

NSCollectionView::~NSCollectionView() {
    for (auto& item : m_items)
        if (item) item->unbindAll();
}

const ns::KeyTable& NSCollectionView::classBindingKeys() {
    static const ns::KeyTable table = [] {
        ns::KeyTable keys("NSCollectionView", &NSView::classBindingKeys());
        bindableKey(keys, "content", &NSCollectionView::content, &NSCollectionView::setContent);
        bindableKey(keys, "selectionIndexes", &NSCollectionView::selectionIndexes,
                    &NSCollectionView::setSelectionIndexes);
        return keys;
    }();
    return table;
}

std::shared_ptr<NSCollectionViewItem> NSCollectionView::newItemForRepresentedObject(const ns::Id& object) {
    if (!m_prototype) {
        platform::log("appkit: a collection view without an item prototype shows no items");
        return nullptr;
    }
    auto item = m_prototype();
    auto view = item ? item->view() : nullptr;
    if (!view) {
        platform::log("appkit: the collection view's item prototype gave no view");
        return nullptr;
    }
    item->m_collectionView = std::static_pointer_cast<NSCollectionView>(weak_from_this().lock());
    if (m_itemHeight <= 0) m_itemHeight = view->frame().size.height;
    item->setRepresentedObject(object);
    return item;
}

void NSCollectionView::setContent(ns::IdArray content) {
    auto keep = weak_from_this().lock();
    std::vector<std::shared_ptr<NSCollectionViewItem>> old = std::move(m_items);
    std::vector<bool> kept(old.size(), false);
    m_items.clear();
    m_content = std::move(content);
    for (const ns::Id& object : m_content) {
        std::shared_ptr<NSCollectionViewItem> item;
        for (size_t i = 0; i < old.size() && !item; ++i)
            if (!kept[i] && old[i] && old[i]->representedObject() == object) kept[i] = true, item = old[i];
        if (!item) item = newItemForRepresentedObject(object);
        m_items.push_back(item);
    }
    for (size_t i = 0; i < old.size(); ++i)
        if (!kept[i] && old[i]) dropItem(old[i]);
    for (size_t i = 0; i < m_items.size(); ++i)
        if (m_items[i]) m_items[i]->setSelected(m_selection.count(i) != 0);
    layoutItems();
}

void NSCollectionView::dropItem(const std::shared_ptr<NSCollectionViewItem>& item) {
    item->unbindAll();
    if (auto view = item->isViewLoaded() ? item->view() : nullptr) {
        unbindTree(*view);
        view->removeFromSuperview();
    }
    item->m_collectionView.reset();
}

void NSCollectionView::setSelectionIndexes(ns::NSIndexSet indexes) {
    m_selection = std::move(indexes);
    for (size_t i = 0; i < m_items.size(); ++i)
        if (m_items[i]) m_items[i]->setSelected(m_selection.count(i) != 0);
}

std::shared_ptr<NSCollectionViewItem> NSCollectionView::itemAtIndex(size_t index) const {
    return index < m_items.size() ? m_items[index] : nullptr;
}

cg::CGRect NSCollectionView::frameForItemAtIndex(size_t index) const {
    return cg::CGRectMake(0, double(index) * m_itemHeight, bounds().size.width, m_itemHeight);
}

void NSCollectionView::layoutItems() {
    // In a clip view the collection view is as tall as its items, so it scrolls.
    if (std::dynamic_pointer_cast<NSClipView>(superview()))
        setFrameSize(cg::CGSizeMake(frame().size.width, double(m_items.size()) * m_itemHeight));
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (!m_items[i]) continue;
        auto view = m_items[i]->view();
        // The row is what accessibility and paths call an item.
        view->setIdentifier("item");
        if (view->superview().get() != this) addSubview(view);
        view->setFrame(frameForItemAtIndex(i));
    }
}

void NSCollectionView::resizeSubviewsWithOldSize(cg::CGSize oldSize) {
    if (oldSize.width != frame().size.width) layoutItems();
}

std::vector<std::shared_ptr<NSView>> NSCollectionView::accessibilityChildViews() const {
    std::vector<std::shared_ptr<NSView>> views;
    for (auto& item : m_items)
        if (item && item->isViewLoaded()) views.push_back(const_cast<NSCollectionViewItem&>(*item).view());
    return views;
}

} // namespace appkit
