// A local notification: a name, the posting object's identity and an optional property-list
// dictionary of details.
#pragma once

#include "platform/corefoundation/Value.h"

#include <memory>
#include <optional>
#include <string>

namespace ns {

struct NSNotification {
    std::string name;
    std::shared_ptr<void> object; // compared by identity; null when none
    std::optional<cf::Value> userInfo;

    const void* objectIdentity() const { return object.get(); }
};

} // namespace ns
