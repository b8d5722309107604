// A mutable array that does not keep its members alive, for lists of observers or delegates.
// It holds weak references: a member that goes away elsewhere simply drops out of the array,
// so the owner never reaches a dead object through it.
#pragma once

#include "foundation/ArrayAdditions.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace foundation {

template <typename T> class NonRetainingArray {
public:
    void addObject(const std::shared_ptr<T>& object) {
        prune();
        if (object) m_members.push_back(object);
    }

    // Removes every occurrence of object.
    void removeObject(const std::shared_ptr<T>& object) {
        std::erase_if(m_members, [&](const std::weak_ptr<T>& member) {
            auto live = member.lock();
            return !live || live == object;
        });
    }

    void removeAllObjects() { m_members.clear(); }

    bool containsObject(const std::shared_ptr<T>& object) const {
        return std::any_of(m_members.begin(), m_members.end(),
                           [&](const std::weak_ptr<T>& member) { return object && member.lock() == object; });
    }

    // The members still alive.
    size_t count() const {
        return static_cast<size_t>(std::count_if(m_members.begin(), m_members.end(),
                                                 [](const std::weak_ptr<T>& member) { return !member.expired(); }));
    }

    // The members still alive, in order, held strongly for as long as the caller keeps the result.
    std::vector<std::shared_ptr<T>> allObjects() const {
        std::vector<std::shared_ptr<T>> live;
        for (const auto& member : m_members)
            if (auto object = member.lock()) live.push_back(std::move(object));
        return live;
    }

    std::shared_ptr<T> firstObject() const { return foundation::firstObject(allObjects()); }

    // As foundation::perform over the live members.
    template <typename Target, typename R, typename... Params, typename... Args>
    void perform(R (Target::*method)(Params...), Args&&... args) const {
        foundation::perform(allObjects(), method, std::forward<Args>(args)...);
    }

private:
    void prune() {
        std::erase_if(m_members, [](const std::weak_ptr<T>& member) { return member.expired(); });
    }

    std::vector<std::weak_ptr<T>> m_members;
};

template <typename T> std::shared_ptr<NonRetainingArray<T>> QNCreateNonRetainingArray() {
    return std::make_shared<NonRetainingArray<T>>();
}

} // namespace foundation
