// The update framework's window for the checks a person asks for: up to date, the version
// found, or the error, in an alert the person dismisses, as the framework shows it.
#pragma once

#include "platform/services/SUUpdater.h"

#include <string>

namespace appkit {

// The alert's message and informative text for a check's result.
std::pair<std::string, std::string> SUUpdaterWindowTexts(const ns::SUUpdateCheckResult& result);

// Makes the alert the updater's user driver (NSApplicationMain does so for every application).
void SUUpdaterInstallWindow();

} // namespace appkit
