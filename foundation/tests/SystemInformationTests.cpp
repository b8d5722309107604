// System information from a stand-in Mac's profile: version readings, sysctl facts, the
// chipset names system_profiler prints, and the XML document a client device receives.
#include "foundation/QNBSystemInformation.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/Profile.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/daemon/RootScripts.h"
#include "platform/daemon/testing/PrivatePlatformd.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <unistd.h>

using namespace foundation;
using Info = foundation::QNBSystemInformation;

namespace {

class SystemInformation : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/fsi.XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        m_root = pattern;
        ::setenv("PLATFORM_ROOT", m_root.c_str(), 1);
        platformd::registerRootScripts();
    }
    void TearDown() override {
        platformd::testing::removeTree(m_root);
        platform::Profile::reload();
    }
    void boot(const platform::Profile& profile) { ASSERT_TRUE(platform::testing::makeRoot(m_root, profile)); }
    std::string m_root;
};

// The profile of the golden document: two chips, one with a character XML must escape.
platform::Profile goldenProfile() {
    platform::Profile profile;
    profile.productVersion = "10.13.6";
    profile.kernelRelease = "17.7.0";
    profile.kernelRevision = 199506;
    profile.memoryBytes = 17179869184ULL + 1073741823ULL; // 16 GiB and change: whole gibibytes
    profile.cpuCount = 8;
    profile.cpuFrequencyHz = 2600000000ULL;
    profile.modelIdentifier = "MacBookPro11,3";
    profile.graphicsChips = {"Intel Iris Pro", "NVIDIA GeForce GT 750M & <Pro>"};
    return profile;
}

TEST(SystemVersionNumbers, ReadTheDottedPartsLikeIntValueAndFloatValue) {
    EXPECT_EQ(Info::majorSystemVersionNumberOf("10.14"), 10u);
    EXPECT_EQ(Info::minorSystemVersionNumberOf("10.14"), 14u);
    EXPECT_EQ(Info::bugfixSystemVersionNumberOf("10.14"), 0u);
    EXPECT_FLOAT_EQ(Info::systemVersionNumberOf("10.14"), 10.14f);
    EXPECT_EQ(Info::majorSystemVersionNumberOf("10.13.6"), 10u);
    EXPECT_EQ(Info::minorSystemVersionNumberOf("10.13.6"), 13u);
    EXPECT_EQ(Info::bugfixSystemVersionNumberOf("10.13.6"), 6u);
    EXPECT_FLOAT_EQ(Info::systemVersionNumberOf("10.13.6"), 10.13f);
    EXPECT_FLOAT_EQ(Info::systemVersionNumberOf("11"), 11.0f);
    EXPECT_EQ(Info::majorSystemVersionNumberOf("11"), 11u);
    EXPECT_EQ(Info::minorSystemVersionNumberOf("11"), 0u);
    EXPECT_EQ(Info::minorSystemVersionNumberOf("10.9beta.2"), 9u);
    EXPECT_EQ(Info::majorSystemVersionNumberOf(""), 0u);
    EXPECT_FLOAT_EQ(Info::systemVersionNumberOf("x.y.z"), 0.0f);
}

TEST(SystemVersionNumbers, CompareTriplesPartByPart) {
    auto atLeast = [](uint32_t M, uint32_t m, uint32_t b) { return Info::versionAtLeast(10, 13, 6, M, m, b); };
    EXPECT_TRUE(atLeast(10, 13, 6));
    EXPECT_FALSE(atLeast(10, 13, 7));
    EXPECT_TRUE(atLeast(10, 12, 9));
    EXPECT_FALSE(atLeast(10, 14, 0));
    EXPECT_TRUE(atLeast(9, 99, 99));
    EXPECT_FALSE(atLeast(11, 0, 0));
}

TEST(ChipsetLines, TheArgumentIsWhatFollowsTheFirstColonTrimmed) {
    EXPECT_EQ(argumentForSubstring("      Chipset Model: Intel Iris Graphics  ", "Chipset Model:"),
              "Intel Iris Graphics");
    EXPECT_EQ(argumentForSubstring("Chipset Model:", "Chipset Model:"), std::nullopt);
    EXPECT_EQ(argumentForSubstring("Chipset Model:   \t", "Chipset Model:"), "");
    EXPECT_EQ(argumentForSubstring("      Vendor: Intel", "Chipset Model:"), std::nullopt);
    EXPECT_EQ(argumentForSubstring("Note: Chipset Model: X", "Chipset Model:"), "Chipset Model: X");
    EXPECT_EQ(argumentForSubstring("Chipset Model:\xC2\xA0Radeon\xE2\x80\x83", "Chipset Model:"), "Radeon");
    EXPECT_EQ(argumentForSubstring("anything: at all", ""), std::nullopt);

    EXPECT_EQ(Info::displayHardwareArrayFromString(""), std::nullopt);
    EXPECT_EQ(Info::displayHardwareArrayFromString("Graphics/Displays:\n    Intel:\n"), std::nullopt);
    std::string report = "Graphics/Displays:\r\n\r\n    Intel HD:\r\n      Chipset Model: Intel HD Graphics 4000\r\n"
                         "      Type: GPU\n    NVIDIA:\n      Chipset Model: NVIDIA GeForce GT 650M\n"
                         "      Chipset Model:\n";
    auto chips = Info::displayHardwareArrayFromString(report);
    ASSERT_TRUE(chips);
    EXPECT_EQ(*chips, (std::vector<std::string>{"Intel HD Graphics 4000", "NVIDIA GeForce GT 650M"}));
}

TEST_F(SystemInformation, TheGoldenDocumentOfAFixedProfile) {
    boot(goldenProfile());
    auto xml = Info::systemInformationXMLString();
    ASSERT_TRUE(xml);
    EXPECT_EQ(*xml, "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>"
                    "<si><os>10.13.6</os><release>17.7.0</release><revision>199506</revision>"
                    "<clock>2.6 GHz</clock><cpus>8</cpus><memory>16 gb</memory>"
                    "<chipset>Intel Iris Pro</chipset><chipset>NVIDIA GeForce GT 750M &amp; &lt;Pro&gt;</chipset></si>");
}

TEST_F(SystemInformation, ABoundedDocumentDropsItsLastChipsetsUntilItFits) {
    boot(goldenProfile());
    auto whole = Info::systemInformationXMLString();
    ASSERT_TRUE(whole);
    ASSERT_EQ(whole->size(), 281u);
    auto bounded = Info::systemInformationXMLOfAtMost(255);
    ASSERT_TRUE(bounded);
    const std::string text(bounded->begin(), bounded->end());
    EXPECT_EQ(text, whole->substr(0, whole->find("<chipset>NVIDIA")) + "</si>");
    EXPECT_LE(text.size(), 255u);
    EXPECT_EQ(Info::systemInformationXMLOfAtMost(281), Info::systemInformationXML()); // fits whole
    EXPECT_EQ(Info::systemInformationXMLOfAtMost(150), std::nullopt); // not even the facts fit
}

TEST_F(SystemInformation, TheTextsAndTheReportFollowTheProfile) {
    boot(goldenProfile());
    EXPECT_EQ(Info::rawSystemVersionString(), "10.13.6");
    EXPECT_EQ(Info::majorSystemVersionNumber(), 10u);
    EXPECT_EQ(Info::minorSystemVersionNumber(), 13u);
    EXPECT_EQ(Info::bugfixSystemVersionNumber(), 6u);
    EXPECT_FLOAT_EQ(Info::systemVersionNumber(), 10.13f);
    EXPECT_EQ(Info::kernelReleaseString(), "Kernel release: 17.7.0");
    EXPECT_EQ(Info::kernelRevisionString(), "Kernel revision: 199506");
    EXPECT_EQ(Info::systemModelString(), "System model: MacBookPro11,3");
    EXPECT_EQ(Info::cpuFrequencyString(), "CPU clock frequency: 2.6 GHz");
    EXPECT_EQ(Info::cpuCoreCountString(), "CPU core count: 8");
    EXPECT_EQ(Info::systemPhysicalMemoryString(), "Physical memory: 16 gb");

    std::string report = Info::systemInformationString();
    EXPECT_EQ(report.rfind("\nSystem version: Mac OS ", 0), 0u) << report;
    EXPECT_NE(report.find("\nKernel release: 17.7.0\nKernel revision: 199506\nSystem model: MacBookPro11,3\n"
                          "CPU clock frequency: 2.6 GHz\nCPU core count: 8\nPhysical memory: 16 gb\n"
                          "Graphics/Displays:\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("      Chipset Model: Intel Iris Pro\n"), std::string::npos);
    EXPECT_NE(report.find("\nGMT Polling date: "), std::string::npos);
    EXPECT_TRUE(report.ends_with(")\n\n")) << report;
}

TEST_F(SystemInformation, TheDefaultProfileGivesEightGigabytesAtTwoPointSixGigahertz) {
    boot(platform::Profile{});
    EXPECT_EQ(Info::rawSystemPhysicalMemoryString(), "8 gb");
    EXPECT_EQ(Info::rawCpuFrequencyString(), "2.6 GHz");
    EXPECT_EQ(Info::cpuFrequency(), 2600000000u);
    EXPECT_EQ(Info::systemPhysicalMemory(), 8589934592ULL);
    EXPECT_EQ(Info::displayHardwareArray(), (std::vector<std::string>{"Intel Iris Graphics"}));
}

TEST_F(SystemInformation, MissingSourcesLeaveEmptyPartsAndTheRestStands) {
    platform::Profile profile = goldenProfile();
    profile.modelIdentifier = std::string(100, 'M'); // too long for the fixed buffer: unread
    boot(profile);
    ASSERT_EQ(::unlink((m_root + "/System/Library/CoreServices/SystemVersion.plist").c_str()), 0);
    ASSERT_EQ(::unlink((m_root + "/usr/sbin/system_profiler").c_str()), 0);
    platform::LogCapture capture(true);
    EXPECT_EQ(Info::rawSystemVersionString(), std::nullopt);
    EXPECT_EQ(Info::majorSystemVersionNumber(), 0u);
    EXPECT_EQ(Info::rawSystemModelString(), "");
    EXPECT_EQ(Info::displayHardwareString(), "");
    EXPECT_TRUE(capture.contains("Error launching shell command: /usr/sbin/system_profiler"));
    auto xml = Info::systemInformationXMLString();
    ASSERT_TRUE(xml);
    EXPECT_NE(xml->find("<si><os></os><release>17.7.0</release>"), std::string::npos) << *xml;
    EXPECT_EQ(xml->find("<chipset>"), std::string::npos);
    EXPECT_TRUE(xml->ends_with("<memory>16 gb</memory></si>")) << *xml;

    // A version file that is no property list, or holds no text, reads as none.
    std::string plist = m_root + "/System/Library/CoreServices/SystemVersion.plist";
    std::string junk = "\x01\x02not a plist";
    ASSERT_TRUE(cf::writeFileAtomically(plist, junk.data(), junk.size(), 0644));
    EXPECT_EQ(Info::rawSystemVersionString(), std::nullopt);
    ASSERT_TRUE(cf::writePropertyListFile(cf::Value(cf::Dictionary{{"ProductVersion", 10}}), plist,
                                          cf::PropertyListFormat::XML));
    EXPECT_EQ(Info::rawSystemVersionString(), std::nullopt);
}

TEST_F(SystemInformation, TheCachedVersionsStayWhileTheRawOneFollowsTheFile) {
    boot(goldenProfile());
    auto first = Info::getSystemVersion();
    bool atLeast = Info::systemAtLeastMajorVersion(10, 13, 6);
    std::string plist = m_root + "/System/Library/CoreServices/SystemVersion.plist";
    ASSERT_TRUE(cf::writePropertyListFile(cf::Value(cf::Dictionary{{"ProductVersion", "9.0"}}), plist,
                                          cf::PropertyListFormat::XML));
    EXPECT_EQ(Info::rawSystemVersionString(), "9.0");
    EXPECT_EQ(Info::getSystemVersion(), first);
    EXPECT_EQ(Info::systemAtLeastMajorVersion(10, 13, 6), atLeast);
}

TEST_F(SystemInformation, ToolOutputIsBothStreamsAndHostileOutputIsRefused) {
    boot(platform::Profile{});
    platform::LogCapture capture(true);
    EXPECT_EQ(Info::stringFromNSTaskShellString(std::nullopt, std::vector<std::string>{}), std::nullopt);
    EXPECT_EQ(Info::stringFromNSTaskShellString(std::string("/bin/echo"), std::nullopt), std::nullopt);
    EXPECT_EQ(Info::stringFromNSTaskShellString(std::string("/bin/sh"),
                                                std::vector<std::string>{"-c", "echo out; echo err >&2"}),
              "out\nerr\n");
    EXPECT_EQ(Info::stringFromNSTaskShellString(std::string("/bin/sh"), std::vector<std::string>{"-c", "true"}),
              std::nullopt);
    EXPECT_EQ(Info::stringFromNSTaskShellString(std::string("/bin/sh"),
                                                std::vector<std::string>{"-c", "printf '\\377\\376'"}),
              std::nullopt)
        << "not UTF-8";
    EXPECT_EQ(Info::stringFromNSTaskShellString(std::string("/bin/sh"),
                                                std::vector<std::string>{"-c", "exec head -c 5000000 /dev/zero"}),
              std::nullopt)
        << "more than a display report can be";
    EXPECT_TRUE(capture.contains("/bin/sh: output over 4194304 bytes refused"));
    EXPECT_EQ(Info::stringFromNSTaskShellString(std::string("/nonexistent/tool"), std::vector<std::string>{}),
              std::nullopt);
    EXPECT_TRUE(capture.contains("Error launching shell command: /nonexistent/tool"));
}

} // namespace
