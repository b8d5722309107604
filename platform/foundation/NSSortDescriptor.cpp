#include "platform/foundation/NSSortDescriptor.h"

#include <algorithm>

namespace ns {

namespace {

Id valueOf(const Id& v, const std::string& keyPath) {
    auto object = v.object();
    return object ? object->valueForKeyPath(keyPath) : Id();
}

} // namespace

NSComparisonResult NSSortDescriptor::compareObject(const Id& a, const Id& b) const {
    NSComparisonResult result = valueOf(a, m_key).compare(valueOf(b, m_key));
    return m_ascending ? result : static_cast<NSComparisonResult>(-result);
}

// Each object's values are read once, not at every comparison: a list controller re-sorts on
// every change of a sorted key, and reading a key path costs far more than comparing.
IdArray sortedArrayUsingDescriptors(const IdArray& array, const std::vector<NSSortDescriptor>& descriptors) {
    if (descriptors.empty()) return array;
    const size_t width = descriptors.size();
    std::vector<Id> values;
    values.reserve(array.size() * width);
    for (const Id& element : array)
        for (const NSSortDescriptor& descriptor : descriptors)
            values.push_back(valueOf(element, descriptor.key()));
    std::vector<size_t> order(array.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        for (size_t d = 0; d < width; ++d) {
            NSComparisonResult result = values[a * width + d].compare(values[b * width + d]);
            if (!descriptors[d].ascending()) result = static_cast<NSComparisonResult>(-result);
            if (result != NSOrderedSame) return result == NSOrderedAscending;
        }
        return false;
    });
    IdArray out;
    out.reserve(array.size());
    for (size_t i : order)
        out.push_back(array[i]);
    return out;
}

} // namespace ns
