// The keyboard layouts the stand-in Mac ships: property-list descriptions (per key each
// layer's output, dead keys with their results and terminator) embedded at build, read with
// every value's kind checked and built into 'uchr' data on first use.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/textinputsources/UchrBuilder.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tis {

inline constexpr char kUSKeyboardLayoutID[] = "com.apple.keylayout.US";

struct KeyboardLayout {
    std::string sourceID;
    std::string localizedName;
    std::vector<uint8_t> uchr;
};

struct LayoutDescription {
    std::string sourceID;
    std::string localizedName;
    UchrDescription uchr;
};

// A description, or nullopt with why it is refused (a wrong-typed or unknown key, a key code
// past 127, an output longer than a key may type, an unknown dead key).
std::optional<LayoutDescription> parseLayoutDescription(const cf::Value& plist, std::string* why = nullptr);

// The shipped layout of that input source ID, built once; null for any other ID.
std::shared_ptr<const KeyboardLayout> builtInKeyboardLayout(std::string_view sourceID);
std::vector<std::string> builtInKeyboardLayoutIDs();

} // namespace tis
