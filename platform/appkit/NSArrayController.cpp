#include "platform/appkit/NSArrayController.h"

#include <algorithm>

namespace appkit {

namespace {
constexpr char kArrangedObjects[] = "arrangedObjects";
}

const ns::KeyTable& NSArrayController::classKeys() {
    static const ns::KeyTable table =
        ns::KeyTable("NSArrayController", &NSObject::classKeys())
            .property("content", &NSArrayController::content, &NSArrayController::setContent)
            .property("contentArray", &NSArrayController::content, &NSArrayController::setContent)
            .property(kArrangedObjects, &NSArrayController::arrangedObjects)
            .property("selectionIndexes", &NSArrayController::selectionIndexes,
                      &NSArrayController::setSelectionIndexes)
            .exposeBinding("contentArray")
            .exposeBinding("selectionIndexes");
    return table;
}

NSArrayController::~NSArrayController() {
    unwatchSortKeys();
}

void NSArrayController::setContent(IdArray content) {
    unwatchSortKeys();
    m_content = std::move(content);
    watchSortKeys();
    rearrangeObjects();
}

void NSArrayController::setSortDescriptors(std::vector<NSSortDescriptor> descriptors) {
    unwatchSortKeys();
    m_sortDescriptors = std::move(descriptors);
    watchSortKeys();
    rearrangeObjects();
}

void NSArrayController::setFilterPredicate(FilterPredicate predicate) {
    m_filter = std::move(predicate);
    rearrangeObjects();
}

void NSArrayController::setAutomaticallyRearrangesObjects(bool flag) {
    unwatchSortKeys();
    m_automaticallyRearranges = flag;
    watchSortKeys();
}

void NSArrayController::rearrangeObjects() {
    if (m_notifying) {
        m_rearrangePending = true;
        return;
    }
    do {
        m_rearrangePending = false;
        IdArray kept;
        std::copy_if(m_content.begin(), m_content.end(), std::back_inserter(kept),
                     [this](const Id& object) { return !m_filter || m_filter(object); });
        willChangeValueForKey(kArrangedObjects);
        m_arranged = ns::sortedArrayUsingDescriptors(kept, m_sortDescriptors);
        m_notifying = true;
        didChangeValueForKey(kArrangedObjects);
        m_notifying = false;
    } while (m_rearrangePending);
}

bool NSArrayController::setSelectionIndexes(NSIndexSet indexes) {
    m_selectionIndexes = std::move(indexes);
    return true;
}

void NSArrayController::addObjects(const IdArray& objects) {
    IdArray content = m_content;
    content.insert(content.end(), objects.begin(), objects.end());
    setValueForKey(Id(std::move(content)), "content");
}

void NSArrayController::removeObjectsAtArrangedObjectIndexes(const NSIndexSet& indexes) {
    IdArray content = m_content;
    for (ns::NSUInteger index : indexes)
        if (index < m_arranged.size())
            if (auto it = std::find(content.begin(), content.end(), m_arranged[index]); it != content.end())
                content.erase(it);
    setValueForKey(Id(std::move(content)), "content");
}

void NSArrayController::observeValueForKeyPath(const std::string&, NSObject*, const ns::NSKeyValueChangeInfo&,
                                               void*) {
    rearrangeObjects();
}

void NSArrayController::watchSortKeys() {
    auto self = weak_from_this().lock();
    if (!m_automaticallyRearranges || !self) return;
    for (const Id& element : m_content) {
        auto object = element.object();
        if (!object) continue;
        for (const NSSortDescriptor& descriptor : m_sortDescriptors) {
            std::string key = descriptor.key().substr(0, descriptor.key().find('.'));
            bool watched = std::any_of(m_watches.begin(), m_watches.end(), [&](const Watch& w) {
                return w.object.lock() == object && w.key == key;
            });
            if (watched || !object->keyTable().entry(key)) continue;
            object->addObserver(self, key, 0);
            m_watches.push_back({object, key});
        }
    }
}

void NSArrayController::unwatchSortKeys() {
    for (const Watch& watch : m_watches)
        if (auto object = watch.object.lock()) object->removeObserver(this, watch.key);
    m_watches.clear();
}

} // namespace appkit
