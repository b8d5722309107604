// The interface's texts: each key is its English text, looked up in the main bundle's default
// table (the key itself when the bundle has no entry).
#pragma once

#include "platform/foundation/NSBundle.h"

#include <string>
#include <string_view>

namespace host {

inline std::string localizedText(std::string_view key) {
    auto bundle = ns::NSBundle::mainBundle();
    return bundle ? bundle->localizedStringForKey(key, std::nullopt, std::nullopt) : std::string(key);
}

} // namespace host
