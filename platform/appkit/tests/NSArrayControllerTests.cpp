#include "platform/appkit/NSArrayController.h"
#include "platform/core/Log.h"

#include <gtest/gtest.h>

using namespace appkit;
using ns::KeyTable;

namespace {

class Item : public ns::NSObject {
  public:
    static const KeyTable& classKeys() {
        static const KeyTable table =
            KeyTable("Item", &NSObject::classKeys()).property("name", &Item::name, &Item::setName);
        return table;
    }
    const KeyTable& keyTable() const override { return classKeys(); }
    std::string name() const { return m_name; }
    void setName(std::string name) { m_name = std::move(name); }

  private:
    std::string m_name;
};

class Library : public ns::NSObject {
  public:
    static const KeyTable& classKeys() {
        static const KeyTable table = KeyTable("Library", &NSObject::classKeys())
                                          .property("items", &Library::items, &Library::setItems);
        return table;
    }
    const KeyTable& keyTable() const override { return classKeys(); }
    IdArray items() const { return m_items; }
    void setItems(IdArray items) { m_items = std::move(items); }

  private:
    IdArray m_items;
};

// Counts "arrangedObjects" did-changes; may run an action inside the first of them.
class Watcher : public ns::NSObject {
  public:
    void observeValueForKeyPath(const std::string& keyPath, NSObject*, const ns::NSKeyValueChangeInfo&,
                                void*) override {
        if (keyPath != "arrangedObjects") return;
        ++count;
        if (auto act = std::exchange(action, nullptr)) act();
    }
    int count = 0;
    std::function<void()> action;
};

std::shared_ptr<Item> item(std::string name) {
    auto i = std::make_shared<Item>();
    i->setName(std::move(name));
    return i;
}

std::vector<std::string> names(const IdArray& objects) {
    std::vector<std::string> out;
    for (const Id& o : objects)
        out.push_back(o.objectAs<Item>() ? o.objectAs<Item>()->name() : "?");
    return out;
}

using Names = std::vector<std::string>;

} // namespace

TEST(NSArrayController, EachRefetchOfTheBoundContentSendsOneArrangedObjectsDidChange) {
    auto library = std::make_shared<Library>();
    library->setItems({Id(item("pear")), Id(item("apple"))});
    auto controller = std::make_shared<NSArrayController>();
    auto watcher = std::make_shared<Watcher>();
    controller->addObserver(watcher, "arrangedObjects", ns::NSKeyValueObservingOptionNew);
    controller->setSortDescriptors({NSSortDescriptor("name", true)});
    EXPECT_EQ(watcher->count, 1);

    controller->bind("contentArray", library, "items");
    EXPECT_EQ(watcher->count, 2);
    EXPECT_EQ(names(controller->arrangedObjects()), (Names{"apple", "pear"}));

    library->setValueForKey(IdArray{Id(item("fig")), Id(item("date")), Id(item("kiwi"))}, "items");
    EXPECT_EQ(watcher->count, 3);
    EXPECT_EQ(names(controller->arrangedObjects()), (Names{"date", "fig", "kiwi"}));
    EXPECT_EQ(controller->valueForKey("arrangedObjects").arrayValue(), controller->arrangedObjects());

    controller->rearrangeObjects();
    EXPECT_EQ(watcher->count, 4);
}

TEST(NSArrayController, ArrangesByStableSortAndFilter) {
    auto controller = std::make_shared<NSArrayController>();
    auto a1 = item("a"), b = item("b"), a2 = item("a");
    controller->setContent({Id(b), Id(a1), Id(a2)});
    EXPECT_EQ(controller->arrangedObjects(),
              (IdArray{Id(b), Id(a1), Id(a2)})); // no descriptors: content order
    controller->setSortDescriptors({NSSortDescriptor("name", true)});
    EXPECT_EQ(controller->arrangedObjects(), (IdArray{Id(a1), Id(a2), Id(b)}));
    controller->setSortDescriptors({NSSortDescriptor("name", false)});
    EXPECT_EQ(controller->arrangedObjects(), (IdArray{Id(b), Id(a1), Id(a2)}));
    controller->setFilterPredicate([](const Id& o) { return o.objectAs<Item>()->name() != "b"; });
    EXPECT_EQ(controller->arrangedObjects(), (IdArray{Id(a1), Id(a2)}));
    EXPECT_EQ(controller->content().size(), 3u);
}

TEST(NSArrayController, SortKeyChangesRearrangeOnceEvenWhenMadeByArrangedObjectsObservers) {
    auto controller = std::make_shared<NSArrayController>();
    auto x = item("x"), y = item("y"), z = item("z");
    controller->setSortDescriptors({NSSortDescriptor("name", true)});
    controller->setAutomaticallyRearrangesObjects(true);
    controller->setContent({Id(z), Id(y), Id(x)});
    auto watcher = std::make_shared<Watcher>();
    controller->addObserver(watcher, "arrangedObjects", 0);

    x->setValueForKey("zz", "name");
    EXPECT_EQ(watcher->count, 1);
    EXPECT_EQ(names(controller->arrangedObjects()), (Names{"y", "z", "zz"}));

    // Two sort-key changes made while the observers run: one deferred rearrange after them.
    watcher->action = [&] {
        y->setValueForKey("zzz", "name");
        z->setValueForKey("a", "name");
    };
    controller->rearrangeObjects();
    EXPECT_EQ(watcher->count, 3);
    EXPECT_EQ(names(controller->arrangedObjects()), (Names{"a", "zz", "zzz"}));

    // Objects no longer in the content are no longer watched.
    controller->setContent({Id(x)});
    int before = watcher->count;
    y->setValueForKey("b", "name");
    EXPECT_EQ(watcher->count, before);
}

TEST(NSArrayController, AddAndRemoveChangeTheOwnContentAndSelectionIsOnlyStored) {
    auto library = std::make_shared<Library>();
    auto controller = std::make_shared<NSArrayController>();
    controller->setSortDescriptors({NSSortDescriptor("name", true)});
    controller->bind("contentArray", library, "items");
    auto watcher = std::make_shared<Watcher>();
    controller->addObserver(watcher, "arrangedObjects", 0);

    controller->addObjects({Id(item("m")), Id(item("c"))});
    controller->addObject(Id(item("t")));
    EXPECT_EQ(watcher->count, 2);
    EXPECT_EQ(names(controller->arrangedObjects()), (Names{"c", "m", "t"}));
    EXPECT_TRUE(library->items().empty());

    EXPECT_TRUE(controller->setSelectionIndexes({2}));
    controller->removeObjectsAtArrangedObjectIndexes({0, 1, 7});
    EXPECT_EQ(names(controller->arrangedObjects()), (Names{"t"}));
    EXPECT_EQ(controller->selectionIndexes(), (NSIndexSet{2}));
    EXPECT_EQ(watcher->count, 3);
}
