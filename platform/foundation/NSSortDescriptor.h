// Sort descriptors: a key path, a direction, and compare: between the objects' values.
#pragma once

#include "platform/foundation/NSObject.h"

#include <string>
#include <vector>

namespace ns {

class NSSortDescriptor {
  public:
    NSSortDescriptor(std::string key, bool ascending) : m_key(std::move(key)), m_ascending(ascending) {}
    static NSSortDescriptor sortDescriptorWithKey(std::string key, bool ascending) {
        return NSSortDescriptor(std::move(key), ascending);
    }

    const std::string& key() const { return m_key; }
    bool ascending() const { return m_ascending; }
    // compare: of the two objects' values for the key path (nil sorts first), reversed when
    // descending. A value that is not an object has no keys: it counts as nil.
    NSComparisonResult compareObject(const Id& a, const Id& b) const;

    bool operator==(const NSSortDescriptor&) const = default;

  private:
    std::string m_key;
    bool m_ascending;
};

// The array sorted stably by the descriptors, the first deciding first.
IdArray sortedArrayUsingDescriptors(const IdArray& array, const std::vector<NSSortDescriptor>& descriptors);

} // namespace ns
