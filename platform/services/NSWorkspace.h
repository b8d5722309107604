// The workspace's launching side: applications are started by platformd, detached (not the
// caller's children), as launchd would, and listed in its registry of running applications.
#pragma once

#include "platform/services/NSRunningApplication.h"

#include <memory>
#include <string>
#include <vector>

namespace ns {

class NSWorkspace {
  public:
    static NSWorkspace& sharedWorkspace();

    // launchApplication: with a ".app" path (mapped into the stand-in root). YES when started,
    // or when an application with that bundle identifier was already running and was
    // activated instead; NO otherwise (logged), and NO without platformd.
    bool launchApplication(const std::string& path);
    // Recorded by platformd (event "open-url"); nothing is opened. YES once recorded, NO
    // without platformd.
    bool openURL(const std::string& url);
    // openFile: recorded by platformd (event "open-file", the path as given); nothing is opened.
    // YES once recorded, NO without platformd.
    bool openFile(const std::string& path);
    // Launch order. Empty without platformd.
    std::vector<std::shared_ptr<NSRunningApplication>> runningApplications();
    std::vector<std::shared_ptr<NSRunningApplication>>
    runningApplicationsWithBundleIdentifier(const std::string& bundleIdentifier);
    // The active (front) application: {"NSApplicationProcessIdentifier": its pid}, the pid 0
    // when no application is active or platformd cannot be reached.
    cf::Value activeApplication();

    NSWorkspace() = default;
    NSWorkspace(const NSWorkspace&) = delete;
    NSWorkspace& operator=(const NSWorkspace&) = delete;
};

} // namespace ns
