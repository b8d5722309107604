#include "platform/core/Log.h"
#include "platform/corefoundation/Error.h"
#include "platform/corefoundation/Paths.h"
#include "platform/corefoundation/Profile.h"
#include "platform/corefoundation/PropertyList.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

using namespace platform;

TEST(Error, DescriptionsComeFromUserInfoThenDomainAndCode) {
    EXPECT_EQ(Error::posix(ENOENT).description(),
              "Error Domain=NSPOSIXErrorDomain Code=2 \"No such file or directory\"");
    EXPECT_EQ(Error(NSCocoaErrorDomain, 3840).localizedDescription(),
              "The data couldn't be read because it isn't in the correct format.");
    EXPECT_EQ(Error::withDescription(PlatformErrorDomain, 1, "platformd is not running").description(),
              "Error Domain=PlatformErrorDomain Code=1 \"platformd is not running\"");
    EXPECT_EQ(Error(NSNetServicesErrorDomain, -72001).localizedDescription(),
              "The operation couldn't be completed. (NSNetServicesErrorDomain error -72001.)");
    // A description of the wrong kind is ignored.
    Error odd(NSPOSIXErrorDomain, EACCES, cf::Dictionary{{NSLocalizedDescriptionKey, cf::Value(5)}});
    EXPECT_EQ(odd.localizedDescription(), "Permission denied");
    EXPECT_EQ(format("%@", Error::posix(EPIPE)), "Error Domain=NSPOSIXErrorDomain Code=32 \"Broken pipe\"");
}

TEST(Error, SetErrorWritesOnlyThroughANonNullPointer) {
    setError(nullptr, NSCocoaErrorDomain, 1);
    setError(nullptr, Error::posix(EIO));
    Error out;
    setError(&out, NSOSStatusErrorDomain, -60005, "denied");
    EXPECT_EQ(out.domain, "NSOSStatusErrorDomain");
    EXPECT_EQ(out.code, -60005);
    EXPECT_EQ(out.localizedDescription(), "denied");
}

class RootTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/cfrootXXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        m_dir = pattern;
        m_root = m_dir + "/root";
        setenv("PLATFORM_ROOT", (m_root + "/").c_str(), 1);
        setenv("HOME", (m_dir + "/home").c_str(), 1);
        Profile::reload();
    }
    void TearDown() override {
        Profile::reload();
        std::filesystem::remove_all(m_dir);
    }
    std::string m_dir;
    std::string m_root;
};

TEST_F(RootTest, MacPathMapsMacLocationsUnderTheRootAndTildeToHome) {
    EXPECT_EQ(macPath("/Applications/Tessel.app"), m_root + "/Applications/Tessel.app");
    EXPECT_EQ(macPath("/Library"), m_root + "/Library");
    EXPECT_EQ(macPath("/Library/Preferences/x.plist"), m_root + "/Library/Preferences/x.plist");
    EXPECT_EQ(macPath("/System/Library/CoreServices/SystemVersion.plist"),
              m_root + "/System/Library/CoreServices/SystemVersion.plist");
    EXPECT_EQ(macPath("/usr/bin/sudo"), m_root + "/usr/bin/sudo");
    EXPECT_EQ(macPath("/usr/sbin/system_profiler"), m_root + "/usr/sbin/system_profiler");
    EXPECT_EQ(macPath("~"), m_dir + "/home");
    EXPECT_EQ(macPath("~/Library/Preferences"), m_dir + "/home/Library/Preferences");
    for (const char* unchanged : {"/LibraryX", "/usr/bin/sudoers", "/usr/bin/env", "/tmp/x", "/proc/self/exe",
                                  "/var/run/usbmuxd", "relative/Library", "~other/x", ""})
        EXPECT_EQ(macPath(unchanged), unchanged);
    std::string mapped = macPath("/Library/Extensions");
    EXPECT_EQ(macPath(mapped), mapped);
    unsetenv("PLATFORM_ROOT");
    LogCapture capture(true);
    EXPECT_EQ(macPath("/Library"), "/Library");
}

TEST_F(RootTest, MakeRootWritesFoldersProfileAndSystemVersion) {
    Profile profile;
    profile.productVersion = "10.6.4";
    profile.productBuildVersion = "10F569";
    profile.modelIdentifier = "MacBookPro6,2";
    profile.graphicsMultiplexer = 7;
    profile.consoleUser = "";
    ASSERT_TRUE(platform::testing::makeRoot(m_root, profile));
    for (const char* folder : {"run", "var/log", "var/db/loginitems", "Applications", "Library/Extensions",
                               "Library/Preferences", "usr/bin", "usr/sbin"})
        EXPECT_TRUE(std::filesystem::is_directory(m_root + "/" + folder)) << folder;
    struct stat st {};
    ASSERT_EQ(stat((m_root + "/run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);
    auto version = cf::readPropertyListFile("/System/Library/CoreServices/SystemVersion.plist");
    ASSERT_TRUE(version);
    EXPECT_EQ(version->description(), "{ ProductBuildVersion = 10F569; ProductName = \"Mac OS X\"; "
                                      "ProductVersion = 10.6.4; }");
    auto current = Profile::current();
    EXPECT_EQ(current->modelIdentifier, "MacBookPro6,2");
    EXPECT_EQ(current->graphicsMultiplexer, 7);
    EXPECT_EQ(current->consoleUser, "");
    EXPECT_EQ(current->appKitVersion, 1504.0);
}

TEST_F(RootTest, ProfileDefaultsAndWrongTypedValues) {
    auto defaults = Profile::current(); // no root folder yet: the defaults
    EXPECT_EQ(defaults->productVersion, "10.12.6");
    EXPECT_EQ(defaults->hardwareUUID, "00000000-0000-4000-8000-000000000001");
    EXPECT_EQ(defaults->memoryBytes, 8589934592ULL);
    EXPECT_FALSE(defaults->graphicsMultiplexer);
    EXPECT_FALSE(defaults->consoleUser);
    EXPECT_EQ(defaults->graphicsChips, std::vector<std::string>{"Intel Iris Graphics"});

    LogCapture capture(true);
    cf::Dictionary d{{"ProductVersion", cf::Value(10)},
                     {"CPUCount", cf::Value("four")},
                     {"GraphicsChips", cf::Value(std::vector<cf::Value>{cf::Value("A"), cf::Value(1)})},
                     {"GraphicsMultiplexer", cf::Value(true)},
                     {"AppKitVersion", cf::Value(1561)},
                     {"HardwareUUID", cf::Value("../../escape")},
                     {"ExtraKey", cf::Value("kept")}};
    Profile p = Profile::fromDictionary(d);
    EXPECT_EQ(p.productVersion, "10.12.6");
    EXPECT_EQ(p.cpuCount, 4);
    EXPECT_EQ(p.graphicsChips, std::vector<std::string>{"Intel Iris Graphics"});
    EXPECT_EQ(p.graphicsMultiplexer, 4);
    EXPECT_EQ(p.appKitVersion, 1561.0);
    EXPECT_EQ(p.hardwareUUID, "00000000-0000-4000-8000-000000000001");
    EXPECT_EQ(capture.count("has the wrong type"), 4u);
    EXPECT_EQ(*p.toDictionary().at("ExtraKey").asString(), "kept");

    Profile override;
    override.serialNumber = "OVERRIDE";
    Profile::setCurrent(override);
    EXPECT_EQ(Profile::current()->serialNumber, "OVERRIDE");
}

TEST_F(RootTest, RegisteredGeneratorsRunAfterTheStandardFiles) {
    // Generators stay registered for the process: share the record rather than point at the stack.
    auto seen = std::make_shared<std::vector<std::string>>();
    addRootGenerator([seen](const std::string& root, const Profile& profile, Error*) {
        seen->push_back(root + ":" + profile.productVersion);
        return std::filesystem::exists(root + "/System/Library/CoreServices/SystemVersion.plist");
    });
    EXPECT_TRUE(prepareRoot(m_root, Profile{}));
    EXPECT_EQ(*seen, std::vector<std::string>{m_root + ":10.12.6"});
}
