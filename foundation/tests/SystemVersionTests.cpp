#include "foundation/Gestalt.h"
#include "foundation/SystemVersion.h"

#include "platform/corefoundation/Profile.h"
#include "platform/corefoundation/PropertyList.h"

#include "platform/core/Format.h"

#include <cstdlib>
#include <unistd.h>
#include <map>

#include <gtest/gtest.h>

using namespace foundation;

namespace {

// A Gestalt that knows only the answers it is given.
GestaltFunction answering(std::map<OSType, SInt32> answers) {
    return [answers](OSType selector, SInt32* response) -> OSErr {
        auto it = answers.find(selector);
        if (it == answers.end()) return gestaltUnknownErr;
        *response = it->second;
        return noErr;
    };
}

class StandInRoot : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/fsv-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        setenv("PLATFORM_ROOT", m_root.c_str(), 1);
    }
    void TearDown() override { std::system(("rm -rf '" + m_root + "'").c_str()); }

    void boot(const std::string& version) {
        platform::Profile profile;
        profile.productVersion = version;
        ASSERT_TRUE(platform::testing::makeRoot(m_root, profile));
    }
    void writeSystemVersion(cf::Value productVersion) {
        cf::Value plist = cf::Dictionary{{"ProductName", cf::Value("Mac OS X")}, {"ProductVersion", productVersion}};
        ASSERT_TRUE(cf::writePropertyListFile(plist, m_root + "/System/Library/CoreServices/SystemVersion.plist",
                                              cf::PropertyListFormat::XML));
    }
    std::string m_root;
};

} // namespace

TEST(BCDSystemVersion, ReadsBCDOrAsksForEachPart) {
    EXPECT_EQ(BCDSystemVersionFromGestalt(answering({})), 0x0A0000u);
    EXPECT_EQ(BCDSystemVersionFromGestalt(answering({{gestaltSystemVersion, 0x1039}})), 0x0A0309u);
    EXPECT_EQ(BCDSystemVersionFromGestalt(answering({{gestaltSystemVersion, 0x103F}})), 0x0A030Fu);
    EXPECT_EQ(BCDSystemVersionFromGestalt(answering({{gestaltSystemVersion, 0x1068},
                                                      {gestaltSystemVersionMajor, 10},
                                                      {gestaltSystemVersionMinor, 6},
                                                      {gestaltSystemVersionBugFix, 8}})),
              0x0A0608u);
    // A failed part question keeps its preset.
    EXPECT_EQ(BCDSystemVersionFromGestalt(answering({{gestaltSystemVersion, 0x1096}, {gestaltSystemVersionMinor, 12}})),
              0x0A0C00u);
    EXPECT_EQ(BCDSystemVersionFromGestalt(answering({{gestaltSystemVersion, 0x1096},
                                                      {gestaltSystemVersionMajor, 0x1FF},
                                                      {gestaltSystemVersionMinor, 12},
                                                      {gestaltSystemVersionBugFix, 6}})),
              0xFF0C06u);
}

TEST_F(StandInRoot, GestaltAnswersFromTheRootsSystemVersion) {
    boot("10.12.6");
    SInt32 answer = 0;
    EXPECT_EQ(Gestalt(gestaltSystemVersion, &answer), noErr);
    EXPECT_EQ(answer, 0x1096);
    EXPECT_EQ(Gestalt(gestaltSystemVersionMinor, &answer), noErr);
    EXPECT_EQ(answer, 12);
    EXPECT_EQ(Gestalt(gestaltSystemVersionBugFix, &answer), noErr);
    EXPECT_EQ(answer, 6);
    EXPECT_EQ(Gestalt(fourCharCode("qqqq"), &answer), gestaltUndefSelectorErr);
    EXPECT_EQ(Gestalt(gestaltSystemVersion, nullptr), paramErr);
    EXPECT_EQ(BCDSystemVersionFunction(), 0x0A0C06u);
}

TEST_F(StandInRoot, OlderSystemsAndTwoPartVersions) {
    boot("10.6.4");
    SInt32 answer = 0;
    EXPECT_EQ(Gestalt(gestaltSystemVersion, &answer), noErr);
    EXPECT_EQ(answer, 0x1064);
    EXPECT_EQ(BCDSystemVersionFunction(), 0x0A0604u);
    writeSystemVersion(cf::Value("10.9"));
    EXPECT_EQ(BCDSystemVersionFunction(), 0x0A0900u);
}

TEST_F(StandInRoot, EveryRewriteIsReadEvenInQuickSuccessionAtTheSameSize) {
    boot("10.6.4");
    EXPECT_EQ(BCDSystemVersionFunction(), 0x0A0604u);
    for (int round = 0; round < 20; ++round) {
        for (int minor : {7, 8, 9}) {
            writeSystemVersion(cf::Value(platform::format("10.%d.%d", minor, round % 10)));
            EXPECT_EQ(BCDSystemVersionFunction(), 0x0A0000u | uint32_t(minor) << 8 | uint32_t(round % 10))
                << round << " " << minor;
        }
    }
    // Gone, then back.
    ASSERT_EQ(::unlink((m_root + "/System/Library/CoreServices/SystemVersion.plist").c_str()), 0);
    EXPECT_EQ(BCDSystemVersionFunction(), 0x0A0000u);
    writeSystemVersion(cf::Value("10.8.5"));
    EXPECT_EQ(BCDSystemVersionFunction(), 0x0A0805u);
}

TEST_F(StandInRoot, AnUnreadableVersionGivesTenZeroZero) {
    SInt32 answer = 0;
    EXPECT_EQ(Gestalt(gestaltSystemVersion, &answer), gestaltUnknownErr); // no file at all
    EXPECT_EQ(BCDSystemVersionFunction(), 0x0A0000u);
    boot("10.12.6");
    for (cf::Value bad : {cf::Value(10), cf::Value("ten"), cf::Value("10..6"), cf::Value("10.12.6.1"),
                          cf::Value("10.300.1"), cf::Value("-10.1"), cf::Value(""), cf::Value(std::string(5000, '1'))}) {
        writeSystemVersion(bad);
        EXPECT_EQ(Gestalt(gestaltSystemVersion, &answer), gestaltUnknownErr) << bad.description();
        EXPECT_EQ(BCDSystemVersionFunction(), 0x0A0000u);
    }
}
