#include "platform/foundation/NSSortDescriptor.h"

#include <algorithm>

namespace ns {

NSComparisonResult NSSortDescriptor::compareObject(const Id& a, const Id& b) const {
    auto valueOf = [this](const Id& v) {
        auto object = v.object();
        return object ? object->valueForKeyPath(m_key) : Id();
    };
    NSComparisonResult result = valueOf(a).compare(valueOf(b));
    return m_ascending ? result : static_cast<NSComparisonResult>(-result);
}

IdArray sortedArrayUsingDescriptors(const IdArray& array, const std::vector<NSSortDescriptor>& descriptors) {
    IdArray out = array;
    std::stable_sort(out.begin(), out.end(), [&](const Id& a, const Id& b) {
        for (const NSSortDescriptor& descriptor : descriptors)
            if (NSComparisonResult result = descriptor.compareObject(a, b); result != NSOrderedSame)
                return result == NSOrderedAscending;
        return false;
    });
    return out;
}

} // namespace ns
