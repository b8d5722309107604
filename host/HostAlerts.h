// The host's modal alerts: a message, an informative text and buttons, answered with the button
// pressed (1000 for the first, 1001 for the second, ...), and the activation that brings the host
// in front of other applications before an alert the user did not ask for. Texts arrive
// localised.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

inline constexpr int64_t NSAlertFirstButtonReturn = 1000;

class HostAlerts {
  public:
    virtual ~HostAlerts() = default;
    // No buttons: one "OK" button.
    virtual int64_t runModal(const std::string& message, const std::string& informativeText,
                             const std::vector<std::string>& buttons = {}) = 0;
    virtual void activateIgnoringOtherApps() = 0;
};

// The program's alerts: an NSAlert with the texts and buttons, run modally until the user presses
// one; activation is the application's.
class NSAlertHostAlerts final : public HostAlerts {
  public:
    int64_t runModal(const std::string& message, const std::string& informativeText,
                     const std::vector<std::string>& buttons = {}) override;
    void activateIgnoringOtherApps() override;
};

} // namespace host
