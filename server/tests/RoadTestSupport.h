// What the road tests with real processes share: platformd's event log (waited for by events,
// never by sleeping), the host's distributed posts, and TesselHelper.app launched by platformd.
#pragma once

#include "platform/core/Clock.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"
#include "platform/services/NSDistributedNotificationCenter.h"
#include "platform/services/NSWorkspace.h"

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace server::testing {

inline constexpr char kHelperId[] = "com.quenby.TesselHelper";

inline std::shared_ptr<ipc::Connection> connection() {
    platform::Error error;
    auto c = ipc::Connection::shared(&error);
    EXPECT_TRUE(c) << error.description();
    return c;
}

inline int64_t lastSequence() {
    return platformd::testing::lastEventSequence();
}

inline std::optional<cf::Value> waitEvent(const std::string& kind, cf::Dictionary match, int64_t after = 0,
                                          double timeout = 30) {
    return platformd::testing::waitForEvent(kind, std::move(match), timeout, after);
}

// A text of a distributed post's userInfo, as the event log keeps it.
inline std::string info(const cf::Value& event, const std::string& key) {
    const cf::Value* userInfo = event.find("userInfo");
    const cf::Value* at = userInfo ? userInfo->find(key) : nullptr;
    if (!at) return "(absent)";
    return at->asString() ? *at->asString() : at->description();
}

inline void post(const std::string& name, std::optional<cf::Value> userInfo = std::nullopt) {
    ns::NSDistributedNotificationCenter::defaultCenter().postNotificationName(name, std::nullopt, userInfo,
                                                                              ns::NSUInteger{3});
}

// The virtual displays, as platformctl lists them, without their vertical-blank counts (which
// move on by themselves).
inline std::vector<std::string> virtualDisplays() {
    auto listed =
        platformd::testing::runProgram({platformd::testing::PrivatePlatformd::platformctlPath(), "displays"});
    std::vector<std::string> out;
    std::istringstream in(listed.out);
    for (std::string line; std::getline(in, line);) {
        if (line.find(" serial=0x9973") == std::string::npos) continue;
        const size_t count = line.find(" vblanks=");
        if (count != std::string::npos) line.erase(count, line.find(' ', count + 1) - count);
        out.push_back(line);
    }
    return out;
}

// Launches the application through platformd; its pid once it finished launching, else 0.
inline pid_t launchHelper(const std::string& app) {
    int64_t since = lastSequence();
    if (!ns::NSWorkspace::sharedWorkspace().launchApplication(app)) return 0;
    auto launched = waitEvent("finished-launching", {{"bundleIdentifier", kHelperId}}, since, 60);
    if (!launched) return 0;
    return static_cast<pid_t>(launched->find("pid")->integerValue());
}

} // namespace server::testing
