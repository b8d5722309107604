// ns::Id: a value as key-value coding passes it around: nil, a property-list value (boolean,
// number, string, date, data, ...), an object, an array of such values or an index set.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/foundation/NSRange.h"
#include "platform/foundation/NSString.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace ns {

class NSObject;
class Id;
using IdArray = std::vector<Id>;
using NSIndexSet = std::set<NSUInteger>;

class Id {
  public:
    Id() = default; // nil
    Id(std::nullopt_t) {}
    Id(std::nullptr_t) {}
    Id(cf::Value value) : m_value(std::move(value)) {}
    Id(const std::optional<cf::Value>& value) {
        if (value) m_value = *value;
    }
    template <typename T>
    requires(std::is_constructible_v<cf::Value, T> && !std::is_same_v<std::decay_t<T>, cf::Value> &&
             !std::is_same_v<std::decay_t<T>, Id>) Id(T&& value)
        : m_value(cf::Value(std::forward<T>(value))) {}
    template <typename T>
    requires std::is_base_of_v<NSObject, T> Id(std::shared_ptr<T> object)
        : m_value(objectStorage(std::move(object))) {}
    Id(IdArray array) : m_value(std::move(array)) {}
    Id(NSIndexSet indexes) : m_value(std::move(indexes)) {}

    bool isNil() const { return m_value.index() == 0; }
    explicit operator bool() const { return !isNil(); }

    // Typed views: null (or an empty pointer) when the value is of another kind.
    const cf::Value* value() const { return std::get_if<cf::Value>(&m_value); }
    std::shared_ptr<NSObject> object() const;
    template <typename T> std::shared_ptr<T> objectAs() const {
        return std::dynamic_pointer_cast<T>(object());
    }
    const IdArray* array() const { return std::get_if<IdArray>(&m_value); }
    const NSIndexSet* indexSet() const { return std::get_if<NSIndexSet>(&m_value); }
    const std::string* string() const { return value() ? value()->asString() : nullptr; }

    // NSNumber-style readings of a property-list value (a boolean counts 0/1); 0 otherwise.
    bool boolValue() const { return value() && value()->boolValue(); }
    NSInteger integerValue() const { return value() ? value()->integerValue() : 0; }
    double doubleValue() const { return value() ? value()->doubleValue() : 0; }
    // The elements of an array of either kind; empty for anything else.
    IdArray arrayValue() const;

    // Numbers by value, booleans as 0/1 against numbers too, strings by UTF-16 units, dates by
    // time; nil sorts first; objects and other kinds by kind, then by address.
    NSComparisonResult compare(const Id& other) const;
    // Property-list values as cf::Value compares them, objects by identity, arrays element-wise.
    bool operator==(const Id& other) const;
    bool operator!=(const Id& other) const { return !(*this == other); }

    std::string description() const;

  private:
    using Storage = std::variant<std::monostate, cf::Value, std::shared_ptr<NSObject>, IdArray, NSIndexSet>;
    static Storage objectStorage(std::shared_ptr<NSObject> object) {
        if (!object) return Storage();
        return Storage(std::in_place_index<2>, std::move(object));
    }
    Storage m_value;
};

} // namespace ns
