// Collection views: one item per content object, built from the item prototype (a view
// controller whose view comes from its nib: awakeFromNib, then setRepresentedObject), stacked
// from the top (the view is flipped): item i at (0, i × h, width, h), h the height of the
// prototype's view. "content" is usually bound to an array controller's "arrangedObjects", and
// "selectionIndexes" to its selection. A new content is diffed by identity: kept objects keep
// their items (never given their object again), new ones get new items, and the items of
// removed ones are unbound and taken out. Accessibility sees an AXList of item groups ("item").
#pragma once

#include "platform/appkit/NSViewController.h"

#include <functional>
#include <memory>
#include <vector>

namespace appkit {

class NSCollectionView;

class NSCollectionViewItem : public NSViewController {
  public:
    using NSViewController::NSViewController;
    std::shared_ptr<NSCollectionView> collectionView() const { return m_collectionView.lock(); }
    bool isSelected() const { return m_selected; }
    virtual void setSelected(bool selected) { m_selected = selected; }

  private:
    friend class NSCollectionView;
    std::weak_ptr<NSCollectionView> m_collectionView;
    bool m_selected = false;
};

class NSCollectionView : public NSView {
  public:
    // Makes a new, unloaded item (typically of a subclass, with its nib name).
    using ItemPrototype = std::function<std::shared_ptr<NSCollectionViewItem>()>;

    explicit NSCollectionView(cg::CGRect frame = cg::CGRectZero);
    ~NSCollectionView() override;
    bool isFlipped() const override { return true; }

    // "content" and "selectionIndexes", besides "hidden".
    static const ns::KeyTable& classBindingKeys();
    const ns::KeyTable& bindingKeys() const override { return classBindingKeys(); }

    void setItemPrototype(ItemPrototype prototype) { m_prototype = std::move(prototype); }
    const ns::IdArray& content() const { return m_content; }
    void setContent(ns::IdArray content);
    // Stored, and shown to the items through setSelected.
    const ns::NSIndexSet& selectionIndexes() const { return m_selection; }
    void setSelectionIndexes(ns::NSIndexSet indexes);

    size_t numberOfItems() const { return m_items.size(); }
    // Null past the end, or where the prototype gave no item.
    std::shared_ptr<NSCollectionViewItem> itemAtIndex(size_t index) const;
    cg::CGRect frameForItemAtIndex(size_t index) const;
    // A prototype item for the object: its view loaded, then the object given to it.
    std::shared_ptr<NSCollectionViewItem> newItemForRepresentedObject(const ns::Id& object);

    void resizeSubviewsWithOldSize(cg::CGSize oldSize) override;

    std::string accessibilityRole() const override { return "AXList"; }
    std::vector<std::shared_ptr<NSView>> accessibilityChildViews() const override;

  private:
    void layoutItems();
    void dropItem(const std::shared_ptr<NSCollectionViewItem>& item);

    ItemPrototype m_prototype;
    ns::IdArray m_content;
    std::vector<std::shared_ptr<NSCollectionViewItem>> m_items; // one per content object
    ns::NSIndexSet m_selection;
    double m_itemHeight = 0; // the first loaded item view's
};

} // namespace appkit
