// The layout descriptions of layouts/, embedded by the build (KeyLayoutData.cpp is generated).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tis {

struct EmbeddedLayout {
    std::string_view sourceID; // the file's name without ".plist"
    const uint8_t* bytes;
    size_t size;
};

std::span<const EmbeddedLayout> embeddedLayouts();

} // namespace tis
