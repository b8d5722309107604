// The stand-in Mac's profile: model, versions, memory, processors, graphics, users.
// Read once per process from $PLATFORM_ROOT/profile.plist (an XML dictionary); a missing key
// takes its default, a wrong-typed one too (logged). Tests override it with setCurrent or
// testing::makeRoot.
#pragma once

#include "platform/corefoundation/Error.h"
#include "platform/corefoundation/Value.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct Profile {
    std::string productVersion = "10.12.6";
    std::string productBuildVersion = "16G29";
    double appKitVersion = 1504.0;
    std::string kernelRelease = "16.7.0";
    int64_t kernelRevision = 199506;
    std::string modelIdentifier = "Macmini7,1";
    std::string serialNumber = "C07STANDIN01";
    std::string hardwareUUID = "00000000-0000-4000-8000-000000000001";
    uint64_t memoryBytes = 8589934592ULL;
    int64_t cpuCount = 4;
    uint64_t cpuFrequencyHz = 2600000000ULL;
    std::vector<std::string> graphicsChips{"Intel Iris Graphics"};
    // Feature bits of the graphics multiplexer; nullopt = none. A profile's true reads as 4
    // (bit 2: it can switch), false as none.
    std::optional<int64_t> graphicsMultiplexer;
    // nullopt: the process's user; "" = nobody logged in at the console.
    std::optional<std::string> consoleUser;
    std::string authorization = "allow"; // "allow", "deny" or "cancel"

    // Every key of the file as read, so other areas can read keys of their own.
    cf::Dictionary dictionary;

    // Keys not present keep their defaults; wrong-typed values keep them too, logged.
    static Profile fromDictionary(const cf::Dictionary& dictionary);
    // The known keys over `dictionary` (absent optionals left out).
    cf::Dictionary toDictionary() const;

    // This process's profile: read on first use from $PLATFORM_ROOT/profile.plist (defaults
    // when there is no root or no file).
    static std::shared_ptr<const Profile> current();
    static void setCurrent(Profile profile);
    // Forget the process's profile; the next current() reads the file again.
    static void reload();
};

// Generators of the root's derived files beyond SystemVersion.plist (platformd registers the
// system_profiler and sudo scripts here). Called by prepareRoot in registration order.
using RootGenerator = std::function<bool(const std::string& root, const Profile& profile, Error* error)>;
void addRootGenerator(RootGenerator generator);

// What each boot does: creates the root's missing folders (run, var/log, var/db/loginitems,
// Applications, Library/Extensions, Library/Preferences, System/Library/CoreServices,
// usr/bin, usr/sbin), regenerates System/Library/CoreServices/SystemVersion.plist from the
// profile, then runs the registered generators.
bool prepareRoot(const std::string& root, const Profile& profile, Error* error = nullptr);

namespace testing {
// A fresh root for a test: prepareRoot, plus profile.plist written from `profile`. The
// process's profile is reloaded, so a root named by $PLATFORM_ROOT takes effect at once.
bool makeRoot(const std::string& dir, const Profile& profile = Profile{}, Error* error = nullptr);
} // namespace testing

} // namespace platform
