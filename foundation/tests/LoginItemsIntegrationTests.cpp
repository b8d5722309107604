// Login items over a private platformd: an application is added once whatever form its URL
// takes, even by several processes at once, and deleting removes every entry naming it.
#include "foundation/QNBLaunchServices.h"

#include "platform/core/Log.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"
#include "platform/services/LSSharedFileList.h"
#include "platform/services/NSDistributedNotificationCenter.h"

#include <gtest/gtest.h>

using namespace foundation;

namespace {

using platformd::testing::ChildProcess;

const std::string kPeer = PREFERENCES_PEER_PATH;
const std::string kHost = "file:///Applications/Tessel%20Host.app/";

class LoginItems : public platformd::testing::PlatformdTest {
protected:
  std::vector<std::string> items(std::string_view type = ls::kLSSharedFileListSessionLoginItems) {
      std::vector<std::string> urls;
      auto list = ls::LSSharedFileListCreate(nullptr, type, nullptr);
      EXPECT_TRUE(list);
      if (!list) return urls;
      for (const auto& item : ls::LSSharedFileListCopySnapshot(list, nullptr))
          urls.push_back(ls::LSSharedFileListItemResolve(item, 0).value_or("(unresolved)"));
      return urls;
  }
    void insertDirectly(const std::string& url) {
        auto list = ls::LSSharedFileListCreate(nullptr, ls::kLSSharedFileListSessionLoginItems, nullptr);
        ASSERT_TRUE(list);
        ASSERT_TRUE(ls::LSSharedFileListInsertItemURL(list, ls::kLSSharedFileListItemLast, std::nullopt, nullptr, url,
                                                      nullptr, nullptr));
    }
    size_t eventCount(const std::string& kind) {
        auto reply = ipc::Connection::shared()->request(ipc::op::events, cf::Dictionary{{"kind", kind}});
        return reply.ok ? reply.result->find("events")->count() : 0;
    }
};

TEST_F(LoginItems, AnApplicationIsAddedOnceAndRemoved) {
    platform::LogCapture capture(true);
    EXPECT_FALSE(QNBLaunchServices::appExistsInWakelist(kHost));
    QNBLaunchServices::addAppAsLoginItem(kHost);
    QNBLaunchServices::addAppAsLoginItem(kHost);
    QNBLaunchServices::addAppAsLoginItem("file:///Applications/./Tessel%20Host.app");
    QNBLaunchServices::addAppAsLoginItem("file://" + m_platformd->root() + "/Applications/Tessel%20Host.app/");
    EXPECT_EQ(items(), std::vector<std::string>{kHost});
    EXPECT_EQ(capture.count("Added LoginItem: " + kHost), 1u);
    EXPECT_EQ(capture.lines().size(), 1u) << "an application already there is passed over silently";
    EXPECT_EQ(eventCount("login-item-added"), 1u);
    EXPECT_TRUE(QNBLaunchServices::appExistsInWakelist("file:///Applications/Tessel%20Host.app"));

    QNBLaunchServices::deleteAppFromLoginItem("file:///Applications/Tessel Host.app/../Tessel%20Host.app/");
    EXPECT_TRUE(items().empty());
    EXPECT_FALSE(QNBLaunchServices::appExistsInWakelist(kHost));
    QNBLaunchServices::deleteAppFromLoginItem(kHost);
    EXPECT_EQ(capture.lines().size(), 1u) << "deleting is silent";
}

TEST_F(LoginItems, TheGlobalListIsApartAndChangesOnlyUnderAnAuthorization) {
    platform::LogCapture capture(true);
    QNBLaunchServices::addAppAsLoginItem(kHost, true, nullptr);
    EXPECT_TRUE(capture.contains("Could not insert Wakelist item URL."));
    EXPECT_TRUE(items(ls::kLSSharedFileListGlobalLoginItems).empty());

    security::AuthorizationRef authorization;
    ASSERT_EQ(security::AuthorizationCreate(nullptr, nullptr, 0, &authorization),
              security::errAuthorizationSuccess);
    QNBLaunchServices::addAppAsLoginItem(kHost, true, authorization);
    EXPECT_EQ(items(ls::kLSSharedFileListGlobalLoginItems), std::vector<std::string>{kHost});
    EXPECT_TRUE(items().empty()) << "the user's own list is another";
    EXPECT_TRUE(QNBLaunchServices::appExistsInWakelist(kHost, true));
    EXPECT_FALSE(QNBLaunchServices::appExistsInWakelist(kHost));

    QNBLaunchServices::deleteAppFromLoginItem(kHost, true, nullptr);
    EXPECT_TRUE(QNBLaunchServices::appExistsInWakelist(kHost, true)) << "no authorization, no change";
    QNBLaunchServices::deleteAppFromLoginItem(kHost, true, authorization);
    EXPECT_FALSE(QNBLaunchServices::appExistsInWakelist(kHost, true));
}

TEST_F(LoginItems, DeletingRemovesEveryEntryNamingTheApplicationAndNoOther) {
    insertDirectly(kHost);
    insertDirectly("file:///Applications/Other.app/");
    insertDirectly("file:///Applications/./Tessel%20Host.app");
    insertDirectly("https://example.invalid/Tessel%20Host.app/");
    insertDirectly(kHost);
    QNBLaunchServices::deleteAppFromLoginItem(kHost);
    EXPECT_EQ(items(), (std::vector<std::string>{"file:///Applications/Other.app/",
                                                 "https://example.invalid/Tessel%20Host.app/"}));
}

TEST_F(LoginItems, SeveralProcessesAddingAtOnceLeaveOneEntry) {
    constexpr int kAdders = 4;
    for (int round = 0; round < 3; ++round) {
        std::vector<std::unique_ptr<ChildProcess>> adders;
        for (int i = 0; i < kAdders; ++i) {
            adders.push_back(std::make_unique<ChildProcess>());
            ASSERT_TRUE(adders.back()->start({kPeer, "add-login-item", kHost},
                                             m_platformd->root() + "/adder" + std::to_string(i) + ".out"));
        }
        for (auto& adder : adders) {
            auto reply = ipc::Connection::shared()->request(
                ipc::op::waitEvent, cf::Dictionary{{"kind", "peer-ready"},
                                                   {"match", cf::Dictionary{{"poster.pid", int64_t(adder->pid())}}},
                                                   {"timeout", 20.0}});
            ASSERT_TRUE(reply.ok && reply.result->find("event"));
        }
        ns::NSDistributedNotificationCenter::defaultCenter().postNotificationName("com.quenby.tests.go", std::nullopt);
        QNBLaunchServices::addAppAsLoginItem(kHost);
        for (auto& adder : adders) ASSERT_EQ(adder->wait(30), 0);
        EXPECT_EQ(items(), std::vector<std::string>{kHost}) << "round " << round;
        QNBLaunchServices::deleteAppFromLoginItem(kHost);
        ASSERT_TRUE(items().empty());
    }
}

TEST_F(LoginItems, TheGlobalListIsNotKeptSoItIsNeverChanged) {
    QNBLaunchServices::addAppAsLoginItem(kHost, true, nullptr);
    EXPECT_FALSE(QNBLaunchServices::appExistsInWakelist(kHost, true));
    EXPECT_TRUE(items().empty());
    insertDirectly(kHost);
    QNBLaunchServices::deleteAppFromLoginItem(kHost, true, nullptr);
    EXPECT_EQ(items(), std::vector<std::string>{kHost});
}

} // namespace
