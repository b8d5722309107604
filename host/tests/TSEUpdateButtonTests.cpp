// The update button over the stand-in update framework without platformd: shown while an update
// is available, hidden once a check finds none unless "alwaysShowUpdateButton" is set, and a
// click starts a check.
#include "HostTestSupport.h"

#include "host/TSEUpdateButton.h"
#include "host/TSEUpdater.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/NSUserDefaults.h"
#include "platform/dispatch/Testing.h"
#include "platform/ipc/Connection.h"

#include <gtest/gtest.h>

namespace {

using namespace host;

class TSEUpdateButtonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ipc::Connection::resetShared();
        TSEUpdater::resetForTesting();
        TSEUpdater::activate();
    }
    void TearDown() override {
        ns::NSUserDefaults::standardUserDefaults()->removeObjectForKey(kAlwaysShowUpdateButtonKey);
    }
    static void answer(const char* call) {
        if (std::string_view(call) == "found")
            ns::SUUpdater::answer(call, std::string("2.1"));
        else
            ns::SUUpdater::answer(call);
        dispatch::runUntilIdle();
    }

    host::testing::TemporaryRoot m_root;
    platform::LogCapture m_log{true};
};

TEST_F(TSEUpdateButtonTest, ShowsWhileAnUpdateIsAvailableAndHidesAfterUpToDate) {
    auto button = TSEUpdateButton::make(cg::CGRectMake(10, 10, 0, 0));
    EXPECT_TRUE(button->isHidden());
    EXPECT_EQ(button->title(), "Update Available");
    EXPECT_EQ(button->frame().size.width, 20 + 7 * 16);
    EXPECT_EQ(button->frame().origin.x, 10);
    EXPECT_FALSE(button->isOpaque());
    answer("found");
    EXPECT_FALSE(button->isHidden());
    answer("found"); // announced once; still shown
    EXPECT_FALSE(button->isHidden());
    answer("uptodate");
    EXPECT_TRUE(button->isHidden());
}

TEST_F(TSEUpdateButtonTest, AlwaysShowUpdateButtonKeepsItVisible) {
    ns::NSUserDefaults::standardUserDefaults()->setBool(true, kAlwaysShowUpdateButtonKey);
    auto button = TSEUpdateButton::make(cg::CGRectZero);
    EXPECT_FALSE(button->isHidden()); // no update, yet shown
    answer("uptodate");
    EXPECT_FALSE(button->isHidden());
    answer("found");
    answer("uptodate");
    EXPECT_FALSE(button->isHidden());
}

TEST_F(TSEUpdateButtonTest, ButtonMadeAfterAnUpdateWasFoundStartsVisibleAndAClickChecks) {
    answer("found");
    auto button = TSEUpdateButton::make(cg::CGRectZero);
    EXPECT_FALSE(button->isHidden());
    EXPECT_EQ(button->target(), button);
    EXPECT_EQ(button->action(), "attemptUpdate");
    m_log.clear();
    button->performClick();
    EXPECT_TRUE(m_log.contains("SUUpdater: cannot read the update feed")); // a check was made
}

TEST_F(TSEUpdateButtonTest, NibButtonIsSetUpWhenItWakesAndStopsObservingWhenGone) {
    auto button = std::make_shared<TSEUpdateButton>(cg::CGRectZero);
    button->awakeFromNib();
    button->awakeFromNib(); // once only
    EXPECT_TRUE(button->isHidden());
    answer("found");
    EXPECT_FALSE(button->isHidden());
    const size_t observations = ns::NSNotificationCenter::defaultCenter().observationCount();
    button.reset();
    EXPECT_EQ(ns::NSNotificationCenter::defaultCenter().observationCount(), observations - 2);
    answer("uptodate"); // nobody left to hide
}

} // namespace
