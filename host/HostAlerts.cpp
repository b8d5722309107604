#include "host/HostAlerts.h"

#include "platform/core/Log.h"

namespace host {

int64_t LoggingHostAlerts::runModal(const std::string& message, const std::string& informativeText,
                                    const std::vector<std::string>& buttons) {
    std::string titles;
    for (const auto& button : buttons.empty() ? std::vector<std::string>{"OK"} : buttons)
        titles += (titles.empty() ? "\"" : ", \"") + button + "\"";
    platform::log("alert: \"%@\" \"%@\" buttons: %@", message, informativeText, titles);
    return NSAlertFirstButtonReturn;
}

void LoggingHostAlerts::activateIgnoringOtherApps() {}

} // namespace host
