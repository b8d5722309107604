// Collection views bound to an array controller: items built from the prototype's nib (awake,
// then the represented object), stacked from the top, diffed by identity on each refetch
// (one per change of the bound array), removed items unbound; scrolling their rows into view
// inside a scroll view; and the pointer crossing rows (exits before entries).
#include "platform/appkit/NSArrayController.h"
#include "platform/appkit/NSCollectionView.h"
#include "platform/appkit/NSNib.h"
#include "platform/appkit/NSScrollView.h"
#include "platform/appkit/NSTextField.h"

#include "WindowTestSupport.h"

namespace appkit {

namespace {

std::vector<std::string>& journal() {
    static std::vector<std::string> entries;
    return entries;
}

class Device : public ns::NSObject {
  public:
    static const ns::KeyTable& classKeys() {
        static const ns::KeyTable table =
            ns::KeyTable("Device", &NSObject::classKeys()).property("name", &Device::name, &Device::setName);
        return table;
    }
    const ns::KeyTable& keyTable() const override { return classKeys(); }
    const std::string& name() const { return m_name; }
    void setName(std::string name) { m_name = std::move(name); }

  private:
    std::string m_name;
};

class Manager : public ns::NSObject {
  public:
    static const ns::KeyTable& classKeys() {
        static const ns::KeyTable table = ns::KeyTable("Manager", &NSObject::classKeys())
                                              .property("devices", &Manager::devices, &Manager::setDevices);
        return table;
    }
    const ns::KeyTable& keyTable() const override { return classKeys(); }
    const ns::IdArray& devices() const { return m_devices; }
    void setDevices(ns::IdArray devices) { m_devices = std::move(devices); }

  private:
    ns::IdArray m_devices;
};

class Counter : public ns::NSObject {
  public:
    void observeValueForKeyPath(const std::string&, NSObject*, const ns::NSKeyValueChangeInfo&,
                                void*) override {
        ++changes;
    }
    int changes = 0;
};

// A row's view, hearing the pointer cross it.
class RowView : public NSView {
  public:
    using NSView::NSView;
    void viewDidMoveToWindow() override {
        if (trackingAreas().empty())
            addTrackingArea(std::make_shared<NSTrackingArea>(
                cg::CGRectZero,
                NSTrackingMouseEnteredAndExited | NSTrackingActiveAlways | NSTrackingInVisibleRect,
                weak_from_this()));
    }
    void mouseEntered(const NSEvent&) override { journal().push_back("entered " + label->stringValue()); }
    void mouseExited(const NSEvent&) override { journal().push_back("exited " + label->stringValue()); }
    std::shared_ptr<NSTextField> label;
};

// The row: its name follows the model's through a binding made when the model arrives.
class RowItem : public NSCollectionViewItem {
  public:
    RowItem() : NSCollectionViewItem("TestRow") {}
    static const ns::KeyTable& classKeys() {
        static const ns::KeyTable table = ns::KeyTable("RowItem", &NSCollectionViewItem::classKeys())
                                              .property("name", &RowItem::name, &RowItem::setName);
        return table;
    }
    const ns::KeyTable& keyTable() const override { return classKeys(); }
    const std::string& name() const { return m_name; }
    void setName(std::string name) {
        m_name = std::move(name);
        if (auto label = nameLabel.lock()) label->setStringValue(m_name);
    }
    void awakeFromNib() override {
        journal().push_back(representedObject().isNil() ? "awake" : "awake with a model");
    }
    void setRepresentedObject(const ns::Id& object) override {
        NSCollectionViewItem::setRepresentedObject(object);
        ++representedSets;
        if (auto device = object.objectAs<Device>()) {
            journal().push_back("represent " + device->name());
            bind("name", device, "name");
        }
    }
    std::weak_ptr<NSTextField> nameLabel;
    int representedSets = 0;

  private:
    std::string m_name;
};

const NSNibRegistrar rowNib("TestRow", [](NSNib& nib) {
    auto* owner = nib.owner<RowItem>();
    if (!owner) return false;
    auto view = nib.make<RowView>(cg::CGRectMake(0, 0, 100, 40));
    auto label = nib.make<NSTextField>(cg::CGRectMake(4, 4, 90, 20));
    view->addSubview(label);
    view->label = label;
    nib.outlet("nameLabel", owner->nameLabel, label);
    nib.outlet(
        "listingView", [owner](const std::shared_ptr<NSView>& v) { owner->setView(v); }, view);
    return true;
});

std::shared_ptr<Device> device(const std::string& name) {
    auto d = std::make_shared<Device>();
    d->setName(name);
    return d;
}

} // namespace

class NSCollectionViewTest : public testing::WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        journal().clear();
        controller = std::make_shared<NSArrayController>();
        controller->setSortDescriptors({NSSortDescriptor("name", true)});
        controller->bind("contentArray", manager, "devices");
        collection = std::make_shared<NSCollectionView>(cg::CGRectMake(0, 0, 200, 200));
        collection->setItemPrototype([] { return std::make_shared<RowItem>(); });
        collection->bind("content", controller, "arrangedObjects");
        collection->bind("selectionIndexes", controller, "selectionIndexes");
    }
    std::string nameAt(size_t i) const {
        auto item = std::dynamic_pointer_cast<RowItem>(collection->itemAtIndex(i));
        return item ? item->nameLabel.lock()->stringValue() : "(none)";
    }
    std::shared_ptr<Manager> manager = std::make_shared<Manager>();
    std::shared_ptr<NSArrayController> controller;
    std::shared_ptr<NSCollectionView> collection;
};

TEST_F(NSCollectionViewTest, ItemsAreBuiltAwakeThenRepresentAndStackFromTheTopInArrangedOrder) {
    auto c = device("Charlie"), a = device("Alpha"), b = device("Bravo");
    manager->setValueForKey(ns::Id(ns::IdArray{c, a, b}), "devices");
    ASSERT_EQ(collection->numberOfItems(), 3u);
    EXPECT_EQ(journal(), (std::vector<std::string>{"awake", "represent Alpha", "awake", "represent Bravo",
                                                   "awake", "represent Charlie"}));
    EXPECT_EQ(nameAt(0), "Alpha");
    EXPECT_EQ(nameAt(2), "Charlie");
    EXPECT_TRUE(collection->isFlipped());
    for (size_t i = 0; i < 3; ++i) {
        auto item = collection->itemAtIndex(i);
        ASSERT_TRUE(item) << i;
        auto view = item->view();
        ASSERT_TRUE(view) << i;
        EXPECT_TRUE(cg::CGRectEqualToRect(view->frame(), cg::CGRectMake(0, 40.0 * i, 200, 40))) << i;
        EXPECT_EQ(view->superview(), collection);
        EXPECT_EQ(view->identifier(), "item");
        EXPECT_EQ(collection->accessibilityChildViews()[i], view);
    }
    EXPECT_EQ(collection->accessibilityRole(), "AXList");
    EXPECT_EQ(collection->itemAtIndex(0)->collectionView(), collection);

    // Rows follow their models; the selection is stored and shown to the items.
    a->setValueForKey(ns::Id(std::string("Alpha 2")), "name");
    EXPECT_EQ(nameAt(0), "Alpha 2");
    controller->setValueForKey(ns::Id(ns::NSIndexSet{1}), "selectionIndexes");
    EXPECT_EQ(collection->selectionIndexes(), ns::NSIndexSet{1});
    EXPECT_TRUE(collection->itemAtIndex(1)->isSelected());
    EXPECT_FALSE(collection->itemAtIndex(0)->isSelected());
}

TEST_F(NSCollectionViewTest, EachRefetchIsOneChangeKeptObjectsKeepTheirItemsAndRemovedItemsAreUnbound) {
    auto a = device("Alpha"), b = device("Bravo"), c = device("Charlie");
    manager->setValueForKey(ns::Id(ns::IdArray{a, b, c}), "devices");
    auto itemA = std::dynamic_pointer_cast<RowItem>(collection->itemAtIndex(0));
    auto itemB = std::dynamic_pointer_cast<RowItem>(collection->itemAtIndex(1));
    auto viewB = itemB->view();
    auto counter = std::make_shared<Counter>();
    controller->addObserver(counter, "arrangedObjects", 0);
    journal().clear();

    // Bravo leaves, Delta arrives: one change, one new item, Alpha's item untouched.
    auto d = device("Delta");
    manager->setValueForKey(ns::Id(ns::IdArray{c, d, a}), "devices");
    EXPECT_EQ(counter->changes, 1) << "one arrangedObjects did-change per refetch";
    EXPECT_EQ(journal(), (std::vector<std::string>{"awake", "represent Delta"}));
    ASSERT_EQ(collection->numberOfItems(), 3u);
    EXPECT_EQ(collection->itemAtIndex(0), itemA);
    EXPECT_EQ(itemA->representedSets, 1) << "a kept object is never given to its item again";
    EXPECT_EQ(nameAt(1), "Charlie");
    EXPECT_EQ(nameAt(2), "Delta");
    EXPECT_TRUE(
        cg::CGRectEqualToRect(collection->itemAtIndex(1)->view()->frame(), cg::CGRectMake(0, 40, 200, 40)));

    // The removed item's bindings are gone and its view is out of the collection.
    EXPECT_FALSE(itemB->infoForBinding("name"));
    EXPECT_FALSE(viewB->superview());
    EXPECT_FALSE(itemB->collectionView());
    b->setValueForKey(ns::Id(std::string("Bravo 2")), "name");
    EXPECT_EQ(itemB->name(), "Bravo");

    // A sort key change of a kept object re-sorts without new items.
    c->setValueForKey(ns::Id(std::string("Echo")), "name");
    controller->rearrangeObjects();
    EXPECT_EQ(nameAt(2), "Echo");
    EXPECT_EQ(journal().size(), 2u);
    controller->removeObserver(counter.get(), "arrangedObjects");

    // No prototype: no items, logged.
    auto bare = std::make_shared<NSCollectionView>(cg::CGRectMake(0, 0, 10, 10));
    bare->setContent({a});
    EXPECT_FALSE(bare->itemAtIndex(0));
    EXPECT_TRUE(m_log.contains("without an item prototype"));
}

TEST_F(NSCollectionViewTest, RowsScrollIntoViewByTheLeastMoveInsideAScrollView) {
    auto scroll = std::make_shared<NSScrollView>(cg::CGRectMake(0, 0, 200, 80));
    scroll->setDocumentView(collection);
    manager->setValueForKey(
        ns::Id(ns::IdArray{device("A"), device("B"), device("C"), device("D"), device("E")}), "devices");
    EXPECT_TRUE(cg::CGRectEqualToRect(collection->frame(), cg::CGRectMake(0, 0, 200, 200)));
    EXPECT_TRUE(scroll->contentView()->isFlipped()) << "the clip view follows its document";
    EXPECT_FALSE(scroll->isFlipped());
    EXPECT_EQ(scroll->accessibilityRole(), "AXScrollArea");
    EXPECT_TRUE(cg::CGRectEqualToRect(scroll->documentVisibleRect(), cg::CGRectMake(0, 0, 200, 80)));

    EXPECT_TRUE(collection->scrollRectToVisible(collection->frameForItemAtIndex(3)));
    EXPECT_TRUE(cg::CGRectEqualToRect(scroll->documentVisibleRect(), cg::CGRectMake(0, 80, 200, 80)));
    EXPECT_FALSE(collection->scrollRectToVisible(collection->frameForItemAtIndex(2))) << "already visible";
    EXPECT_TRUE(collection->itemAtIndex(4)->view()->scrollRectToVisible(cg::CGRectMake(0, 0, 200, 40)));
    EXPECT_TRUE(cg::CGRectEqualToRect(scroll->documentVisibleRect(), cg::CGRectMake(0, 120, 200, 80)));
    EXPECT_TRUE(collection->scrollRectToVisible(collection->frameForItemAtIndex(0)));
    EXPECT_TRUE(cg::CGRectEqualToRect(scroll->documentVisibleRect(), cg::CGRectMake(0, 0, 200, 80)));
    EXPECT_EQ(collection->enclosingScrollView(), scroll);
    EXPECT_FALSE(scroll->enclosingScrollView());
}

TEST_F(NSCollectionViewTest, ThePointerCrossingRowsExitsBeforeItEnters) {
    auto window = NSWindow::make(cg::CGRectMake(100, 100, 200, 200), NSWindowStyleMaskTitled);
    window->contentView()->addSubview(collection);
    manager->setValueForKey(ns::Id(ns::IdArray{device("Alpha"), device("Bravo")}), "devices");
    window->makeKeyAndOrderFront();
    auto move = [&](double y) {
        window->sendEvent(NSEvent::mouseEvent(NSEventType::MouseMoved, cg::CGPointMake(50, y), 0, 0,
                                              window->windowNumber(), 0, 0));
    };
    move(180); // the top row (flipped: Alpha lies at the top of the collection)
    move(150);
    move(100); // below both rows
    EXPECT_EQ(journal(),
              (std::vector<std::string>{"awake", "represent Alpha", "awake", "represent Bravo",
                                        "entered Alpha", "exited Alpha", "entered Bravo", "exited Bravo"}));
}

} // namespace appkit
