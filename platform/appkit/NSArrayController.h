// NSArrayController: content (usually through the "contentArray" binding to a to-many key),
// arranged objects filtered and sorted stably by the sort descriptors, and stored selection
// indexes. Every refetch or rearrange sends exactly one "arrangedObjects" did-change; a
// rearrange asked for while those observers run waits until they return and is coalesced.
#pragma once

#include "platform/foundation/NSObject.h"
#include "platform/foundation/NSSortDescriptor.h"

#include <functional>
#include <memory>
#include <vector>

namespace appkit {

using ns::Id;
using ns::IdArray;
using ns::NSIndexSet;
using ns::NSSortDescriptor;

class NSArrayController : public ns::NSObject {
  public:
    static const ns::KeyTable& classKeys();
    const ns::KeyTable& keyTable() const override { return classKeys(); }
    ~NSArrayController() override;

    // Setting the content (or the bound "contentArray") refetches the whole array.
    const IdArray& content() const { return m_content; }
    void setContent(IdArray content);
    const IdArray& arrangedObjects() const { return m_arranged; }

    const std::vector<NSSortDescriptor>& sortDescriptors() const { return m_sortDescriptors; }
    void setSortDescriptors(std::vector<NSSortDescriptor> descriptors);
    // Objects the filter refuses are not arranged; no filter keeps all.
    using FilterPredicate = std::function<bool(const Id&)>;
    void setFilterPredicate(FilterPredicate predicate);
    // When set, a change of any sort key of any content object rearranges.
    bool automaticallyRearrangesObjects() const { return m_automaticallyRearranges; }
    void setAutomaticallyRearrangesObjects(bool flag);
    void rearrangeObjects();

    // Stored only: neither arranged objects nor content move it.
    const NSIndexSet& selectionIndexes() const { return m_selectionIndexes; }
    bool setSelectionIndexes(NSIndexSet indexes);

    // These change the controller's own content; the bound array is not written.
    void addObject(const Id& object) { addObjects({object}); }
    void addObjects(const IdArray& objects);
    void removeObjectsAtArrangedObjectIndexes(const NSIndexSet& indexes);

    void observeValueForKeyPath(const std::string& keyPath, NSObject* object,
                                const ns::NSKeyValueChangeInfo& change, void* context) override;

  private:
    void watchSortKeys();
    void unwatchSortKeys();

    IdArray m_content, m_arranged;
    std::vector<NSSortDescriptor> m_sortDescriptors;
    FilterPredicate m_filter;
    bool m_automaticallyRearranges = false;
    NSIndexSet m_selectionIndexes;
    bool m_notifying = false, m_rearrangePending = false;
    struct Watch {
        std::weak_ptr<NSObject> object;
        std::string key;
    };
    std::vector<Watch> m_watches; // sort keys observed for automatic rearranging
};

} // namespace appkit
