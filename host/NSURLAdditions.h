// Where System Preferences and preference panes live, as file URLs.
#pragma once

#include <optional>
#include <string>

namespace host {

// The file URL of "/Application/System Preferences.app", the path as the host has always named it.
std::string findSystemPreferences();
// The file URL of name inside the preference-pane folders of the user, local and system
// domains: the last of them that holds it; nothing when none does.
std::optional<std::string> findPrefPaneLocation(const std::string& name);
// The same in the system domain only, for name with the extension "prefPane".
std::optional<std::string> findSystemPrefPaneLocation(const std::string& name);

} // namespace host
