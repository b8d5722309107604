#include "foundation/ApplicationAdditions.h"

#include "platform/applicationservices/Processes.h"

#include <unistd.h>

namespace foundation {

std::optional<cf::Value> processInformation() {
    appservices::ProcessSerialNumber psn;
    if (appservices::GetProcessForPID(::getpid(), &psn) != 0) return std::nullopt;
    return appservices::ProcessInformationCopyDictionary(
        &psn, appservices::kProcessDictionaryIncludeAllInformationMask);
}

std::optional<cf::Value> parentProcessInformation() {
    auto information = processInformation();
    const cf::Value* parent = information ? information->find("ParentPSN") : nullptr;
    if (!parent || !parent->isNumber()) return std::nullopt;
    auto number = static_cast<uint64_t>(parent->integerValue());
    appservices::ProcessSerialNumber psn{static_cast<uint32_t>(number >> 32), static_cast<uint32_t>(number)};
    return appservices::ProcessInformationCopyDictionary(
        &psn, appservices::kProcessDictionaryIncludeAllInformationMask);
}

bool wasLaunchedAtLogin() {
    auto parent = parentProcessInformation();
    if (!parent) return false;
    const cf::Value* identifier = parent->find("CFBundleIdentifier");
    const cf::Value* executable = parent->find("CFBundleExecutable");
    return (identifier && identifier->isString() && *identifier->asString() == "com.apple.loginwindow") ||
           (executable && executable->isString() && *executable->asString() == "/sbin/launchd");
}

} // namespace foundation
