// The host's updater over the stand-in framework without platformd: activation, the flag and
// the three notifications, answered in-process.
#include "HostTestSupport.h"

#include "host/TSEUpdater.h"

#include "platform/core/Log.h"
#include "platform/dispatch/Testing.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/ipc/Connection.h"

#include <gtest/gtest.h>

namespace {

using namespace host;

class TSEUpdaterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ipc::Connection::resetShared();
        TSEUpdater::resetForTesting();
        for (const char* name :
             {kTSEUpdaterDidFindUpdate, kTSEUpdaterIsUpToDate, kTSEUpdaterWillInstallUpdate})
            m_tokens.push_back(ns::NSNotificationCenter::defaultCenter().addObserverForName(
                name, TSEUpdater::classObject().get(), [this](const ns::NSNotification& n) {
                    EXPECT_FALSE(n.userInfo);
                    m_posted.push_back(n.name);
                }));
    }
    void TearDown() override {
        for (const auto& token : m_tokens)
            ns::NSNotificationCenter::defaultCenter().removeObserver(token);
    }

    host::testing::TemporaryRoot m_root;
    platform::LogCapture m_log{true};
    std::vector<ns::NSNotificationCenter::ObserverToken> m_tokens;
    std::vector<std::string> m_posted;
};

TEST_F(TSEUpdaterTest, ActivationChecksHourlyAndAutomaticallyWithTheClassAsDelegate) {
    TSEUpdater::activate();
    auto updater = TSEUpdater::updater();
    ASSERT_TRUE(updater);
    EXPECT_EQ(updater->updateCheckInterval(), 3600.0);
    EXPECT_TRUE(updater->automaticallyChecksForUpdates());
    EXPECT_TRUE(updater->delegate());
    EXPECT_EQ(updater->bundlePath(), ns::NSBundle::mainBundle()->bundlePath());
    TSEUpdater::deactivate();
    EXPECT_FALSE(updater->automaticallyChecksForUpdates());
    EXPECT_TRUE(TSEUpdater::updaterShouldPromptForPermissionToCheckForUpdates());
}

TEST_F(TSEUpdaterTest, TwoFoundUpdatesAnnounceOnceAndAnUpToDateCheckClearsTheFlag) {
    TSEUpdater::activate();
    ns::SUUpdater::answer("found", std::string("2.1"));
    ns::SUUpdater::answer("found", std::string("2.1"));
    dispatch::runUntilIdle();
    EXPECT_TRUE(TSEUpdater::updateAvailable());
    EXPECT_EQ(m_posted, std::vector<std::string>{kTSEUpdaterDidFindUpdate});
    EXPECT_TRUE(m_log.contains("Update available: 2.1"));

    ns::SUUpdater::answer("uptodate");
    dispatch::runUntilIdle();
    EXPECT_FALSE(TSEUpdater::updateAvailable());
    ns::SUUpdater::answer("found", std::string("2.2"));
    ns::SUUpdater::answer("install");
    dispatch::runUntilIdle();
    EXPECT_EQ(m_posted, (std::vector<std::string>{kTSEUpdaterDidFindUpdate, kTSEUpdaterIsUpToDate,
                                                  kTSEUpdaterDidFindUpdate, kTSEUpdaterWillInstallUpdate}));
}

} // namespace
