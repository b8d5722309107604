// The stand-in HiDPI tool: what its name and arguments ask for, the window server's setting it
// writes, and the logout it asks platformd to record.
#include "platform/hidpitool/HiDPITool.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/daemon/Platformd.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <sys/stat.h>

namespace {

using hidpitool::requestFromCommandLine;

const std::string kToolsDir = HIDPI_TOOLS_DIR;
const std::string kOnTool = kToolsDir + "/com.quenby.displayresolutionson";
const std::string kOffTool = kToolsDir + "/com.quenby.displayresolutionsoff";

std::optional<cf::Value> windowServerSetting() {
    cf::CFPreferencesSynchronize(hidpitool::kWindowServerDomain, cf::kCFPreferencesAnyUser,
                                 cf::kCFPreferencesCurrentHost);
    return cf::CFPreferencesCopyValue(hidpitool::kDisplayResolutionEnabled, hidpitool::kWindowServerDomain,
                                      cf::kCFPreferencesAnyUser, cf::kCFPreferencesCurrentHost);
}

TEST(HiDPIToolCommandLine, TheNameSaysOnOrOffAndOnlyTheLogoutArgumentIsTaken) {
    std::string why;
    auto on = requestFromCommandLine({kOnTool}, &why);
    ASSERT_TRUE(on);
    EXPECT_TRUE(on->enable);
    EXPECT_FALSE(on->logout);
    auto off = requestFromCommandLine({"com.quenby.displayresolutionsoff", "1\n"}, &why);
    ASSERT_TRUE(off);
    EXPECT_FALSE(off->enable);
    EXPECT_TRUE(off->logout);

    EXPECT_FALSE(requestFromCommandLine({"/usr/bin/hidpitool"}, &why));
    EXPECT_NE(why.find("neither"), std::string::npos);
    EXPECT_FALSE(requestFromCommandLine({kOnTool, "1"}, &why)) << "the line feed belongs to the argument";
    EXPECT_FALSE(requestFromCommandLine({kOnTool, "1\n", "1\n"}, &why));
    EXPECT_FALSE(requestFromCommandLine({}, &why));
    std::string huge(100000, 'x');
    EXPECT_FALSE(requestFromCommandLine({kOnTool, huge}, &why));
    EXPECT_LT(why.size(), 100u) << "a hostile argument is not echoed whole";
}

class HiDPIToolRun : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/hdt.XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        m_root = pattern;
        ::mkdir((m_root + "/home").c_str(), 0700);
        ::setenv("HOME", (m_root + "/home").c_str(), 1);
        ::setenv("PLATFORM_ROOT", m_root.c_str(), 1);
        ASSERT_TRUE(platform::testing::makeRoot(m_root));
        ipc::Connection::resetShared();
    }
    void TearDown() override {
        ipc::Connection::resetShared();
        m_daemon.reset();
        platformd::testing::removeTree(m_root);
    }
    void boot() {
        m_daemon = std::make_unique<platformd::Platformd>(platformd::PlatformdOptions{m_root, nullptr});
        ASSERT_TRUE(m_daemon->boot());
        ipc::Connection::resetShared();
    }
    std::string m_root;
    std::unique_ptr<platformd::Platformd> m_daemon;
};

TEST_F(HiDPIToolRun, WritesTheWindowServersSettingForAnyUserOnThisHost) {
    EXPECT_EQ(hidpitool::perform({true, false}, "on"), hidpitool::kExitSuccess);
    auto value = windowServerSetting();
    ASSERT_TRUE(value);
    EXPECT_TRUE(value->isBoolean());
    EXPECT_TRUE(cf::CFBooleanGetValue(*value));
    std::string file = platform::preferencesFilePath(hidpitool::kWindowServerDomain, cf::kCFPreferencesAnyUser,
                                                     cf::kCFPreferencesCurrentHost);
    EXPECT_EQ(file.rfind(m_root + "/Library/Preferences/ByHost/", 0), 0u) << file;

    EXPECT_EQ(hidpitool::perform({false, false}, "off"), hidpitool::kExitSuccess);
    EXPECT_FALSE(cf::CFBooleanGetValue(*windowServerSetting()));
}

TEST_F(HiDPIToolRun, ALogoutIsRecordedByPlatformdAndFailsLoudlyWithoutIt) {
    {
        platform::LogCapture capture(true);
        EXPECT_EQ(hidpitool::perform({true, true}, "on"), hidpitool::kExitFailure);
        EXPECT_TRUE(capture.contains("cannot ask for a logout"));
    }
    boot();
    EXPECT_EQ(hidpitool::perform({true, true}, "com.quenby.displayresolutionson"), hidpitool::kExitSuccess);
    auto reply = ipc::Connection::shared()->request(ipc::op::events, cf::Dictionary{{"kind", "logout-requested"}});
    ASSERT_TRUE(reply.ok);
    const cf::Value* events = reply.result->find("events");
    ASSERT_EQ(events->count(), 1u);
    EXPECT_EQ(*events->at(0)->find("tool")->asString(), "com.quenby.displayresolutionson");
}

TEST_F(HiDPIToolRun, TheInstalledProgramAnswersToBothNamesAndRefusesStrangers) {
    auto result = platformd::testing::runProgram({kOnTool});
    EXPECT_EQ(result.status, hidpitool::kExitSuccess) << result.err;
    EXPECT_TRUE(cf::CFBooleanGetValue(*windowServerSetting()));
    result = platformd::testing::runProgram({kOffTool});
    EXPECT_EQ(result.status, hidpitool::kExitSuccess) << result.err;
    EXPECT_FALSE(cf::CFBooleanGetValue(*windowServerSetting()));
    result = platformd::testing::runProgram({kOnTool, "--reboot"});
    EXPECT_EQ(result.status, hidpitool::kExitUsage);
    EXPECT_NE(result.err.find("unknown argument"), std::string::npos) << result.err;
    EXPECT_FALSE(cf::CFBooleanGetValue(*windowServerSetting())) << "a refused run changes nothing";
}

} // namespace
