// A local notification: a name, the posting object's identity and an optional property-list
// dictionary of details, with the details that are objects (services, views) kept apart.
#pragma once

#include "platform/corefoundation/Value.h"

#include <any>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace ns {

struct NSNotification {
    std::string name;
    std::shared_ptr<void> object; // compared by identity; null when none
    std::optional<cf::Value> userInfo;
    // userInfo entries whose values are objects, which a property list cannot hold; a receiver
    // takes each out with std::any_cast to the type the poster documents for its key.
    std::map<std::string, std::any> userObjects{};

    const void* objectIdentity() const { return object.get(); }
};

} // namespace ns
