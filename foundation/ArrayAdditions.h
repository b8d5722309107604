// Helpers on arrays. An array of objects is a std::vector of shared pointers; a selector sent
// to every element becomes a member function of an interface, and an element "responds" to it
// when it implements that interface.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

namespace foundation {

// The element at index 0, or null for an empty array.
template <typename T> std::shared_ptr<T> firstObject(const std::vector<std::shared_ptr<T>>& array) {
    return array.empty() ? nullptr : array.front();
}

// The same for arrays of values: nothing for an empty array.
template <typename T> std::optional<T> firstObject(const std::vector<T>& array) {
    if (array.empty()) return std::nullopt;
    return array.front();
}

// count - 1, so -1 for an empty array.
template <typename T> int64_t lastIndex(const std::vector<T>& array) { return static_cast<int64_t>(array.size()) - 1; }

// Calls method with args on every element that implements Target, over a copy of the array
// taken now: elements that add or remove members while handling the call neither miss a turn
// nor get a second one. Null elements and elements of other kinds are skipped.
template <typename Target, typename T, typename R, typename... Params, typename... Args>
void perform(const std::vector<std::shared_ptr<T>>& array, R (Target::*method)(Params...), Args&&... args) {
    const std::vector<std::shared_ptr<T>> snapshot = array;
    for (const auto& element : snapshot) {
        std::shared_ptr<Target> target;
        if constexpr (std::is_base_of_v<Target, T>) target = element;
        else target = std::dynamic_pointer_cast<Target>(element);
        if (target) ((*target).*method)(args...);
    }
}

template <typename T> std::vector<T> reversedArray(const std::vector<T>& array) {
    return std::vector<T>(array.rbegin(), array.rend());
}

// The elements the set contains, in the array's order and with repeats kept.
template <typename T, typename Set> std::vector<T> arrayWithObjectsInSet(const std::vector<T>& array, const Set& set) {
    std::vector<T> result;
    std::copy_if(array.begin(), array.end(), std::back_inserter(result),
                 [&](const T& element) { return set.find(element) != set.end(); });
    return result;
}

// Whether some number in the array equals value as an unsigned 64-bit integer.
template <typename T> bool containsInteger(const std::vector<T>& array, uint64_t value) {
    static_assert(std::is_arithmetic_v<T>, "containsInteger needs an array of numbers");
    return std::any_of(array.begin(), array.end(),
                       [value](T element) { return static_cast<uint64_t>(element) == value; });
}

} // namespace foundation
