// Text Input Sources: the current keyboard input source (platformd state: the profile's
// KeyboardLayout at boot, then a hook), its properties and the hardware keyboard type.
#pragma once

#include "platform/corefoundation/Value.h"

#include <memory>
#include <optional>
#include <string>

namespace tis {

struct TISInputSource {
    std::string inputSourceID;
    std::string localizedName;
    std::string type;                              // kTISTypeKeyboardLayout or kTISTypeKeyboardInputMode
    std::optional<cf::Value> unicodeKeyLayoutData; // CFData; none for an input method
};
using TISInputSourceRef = std::shared_ptr<const TISInputSource>;

inline constexpr char kTISPropertyInputSourceID[] = "TISPropertyInputSourceID";
inline constexpr char kTISPropertyLocalizedName[] = "TISPropertyLocalizedName";
inline constexpr char kTISPropertyInputSourceType[] = "TISPropertyInputSourceType";
inline constexpr char kTISPropertyUnicodeKeyLayoutData[] = "TISPropertyUnicodeKeyLayoutData";
inline constexpr char kTISTypeKeyboardLayout[] = "TISTypeKeyboardLayout";
inline constexpr char kTISTypeKeyboardInputMode[] = "TISTypeKeyboardInputMode";

// Null when the window server cannot be reached.
TISInputSourceRef TISCopyCurrentKeyboardInputSource();
TISInputSourceRef TISCopyCurrentKeyboardLayoutInputSource();
// A shipped layout by its ID, or the test input method; null otherwise.
TISInputSourceRef TISInputSourceForID(const std::string& inputSourceID);
// The property's value; nullopt for an unknown key or a source without it.
std::optional<cf::Value> TISGetInputSourceProperty(const TISInputSourceRef& source, std::string_view key);
// Makes the source current (platformd's hook); 0 or paramErr (-50).
int32_t TISSelectInputSource(const TISInputSourceRef& source);

// The hardware keyboard type (default 40); the setter is the hook tests use.
uint8_t LMGetKbdType();
void LMSetKbdType(uint8_t type);

} // namespace tis
