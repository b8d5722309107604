// The logging hook of the region code: one line made from the format and its first
// argument only, whatever else is passed.
#pragma once

#include "platform/core/Log.h"

#include <string_view>

namespace regions {

inline void ErrorF(std::string_view format) { platform::log(format); }

template <typename First, typename... Rest>
void ErrorF(std::string_view format, const First& first, const Rest&...) {
    platform::log(format, first);
}

} // namespace regions
