// One entry of platformd's registry of running applications, as a snapshot.
#pragma once

#include "platform/corefoundation/Value.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

namespace ns {

enum NSApplicationActivationPolicy : int64_t {
    NSApplicationActivationPolicyRegular = 0,
    NSApplicationActivationPolicyAccessory = 1,
    NSApplicationActivationPolicyProhibited = 2,
};

class NSRunningApplication {
  public:
    // From a registry entry; nullopt when its keys are missing or mistyped.
    static std::shared_ptr<NSRunningApplication> fromValue(const cf::Value& entry);
    // The registry's entry for the pid, read now; null when no application runs as it (or
    // without platformd).
    static std::shared_ptr<NSRunningApplication> runningApplicationWithProcessIdentifier(pid_t pid);

    pid_t processIdentifier() const { return m_pid; }
    const std::string& bundleIdentifier() const { return m_bundleIdentifier; } // empty: none
    const std::string& bundlePath() const { return m_bundlePath; }             // bundleURL's path
    const std::string& executablePath() const { return m_executable; }
    const std::string& localizedName() const { return m_localizedName; }
    NSApplicationActivationPolicy activationPolicy() const { return m_policy; }
    // Whether the window server held it active when the entry was read.
    bool isActive() const { return m_active; }

  private:
    pid_t m_pid = 0;
    std::string m_bundleIdentifier;
    std::string m_bundlePath;
    std::string m_executable;
    std::string m_localizedName;
    NSApplicationActivationPolicy m_policy = NSApplicationActivationPolicyRegular;
    bool m_active = false;
};

} // namespace ns
