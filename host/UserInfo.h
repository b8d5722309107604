// Small readers shared by the host's handlers and its display-model list.
#pragma once

#include "platform/corefoundation/Value.h"

#include <optional>
#include <string>

namespace host {

// The text under key of a notification's userInfo; absent for a userInfo that is no dictionary
// and for a value of another kind (another process's post is read with care).
inline std::optional<std::string> textIn(const std::optional<cf::Value>& userInfo, const char* key) {
    if (!userInfo || !userInfo->isDictionary()) return std::nullopt;
    const cf::Value* value = userInfo->find(key);
    if (!value || !value->asString()) return std::nullopt;
    return *value->asString();
}

// Two identifiers name the same device only when present and not empty.
inline bool sameIdentifier(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    return a && !a->empty() && b && *a == *b;
}

} // namespace host
