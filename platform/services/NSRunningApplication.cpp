#include "platform/services/NSRunningApplication.h"

#include "platform/services/NSWorkspace.h"

namespace ns {

namespace {
std::string text(const cf::Value& entry, std::string_view key) {
    const cf::Value* v = entry.find(key);
    return v && v->asString() ? *v->asString() : std::string();
}
} // namespace

std::shared_ptr<NSRunningApplication> NSRunningApplication::fromValue(const cf::Value& entry) {
    const cf::Value* pid = entry.find("pid");
    if (!entry.isDictionary() || !pid || !pid->isNumber()) return nullptr;
    auto app = std::make_shared<NSRunningApplication>();
    app->m_pid = static_cast<pid_t>(pid->integerValue());
    app->m_bundleIdentifier = text(entry, "bundleIdentifier");
    app->m_bundlePath = text(entry, "bundlePath");
    app->m_executable = text(entry, "executable");
    app->m_localizedName = text(entry, "localizedName");
    if (const cf::Value* policy = entry.find("activationPolicy"); policy && policy->isNumber()) {
        int64_t p = policy->integerValue();
        if (p >= 0 && p <= 2) app->m_policy = static_cast<NSApplicationActivationPolicy>(p);
    }
    if (const cf::Value* active = entry.find("active")) app->m_active = active->asBool().value_or(false);
    return app;
}

std::shared_ptr<NSRunningApplication> NSRunningApplication::runningApplicationWithProcessIdentifier(pid_t pid) {
    for (auto& app : NSWorkspace::sharedWorkspace().runningApplications())
        if (app->processIdentifier() == pid) return app;
    return nullptr;
}

} // namespace ns
