// The Bonjour browser over a recording backend and a real display-model manager: batches of
// finds and removals, resolves, failed resolves and TXT updates.
#include "HostTestSupport.h"

#include "host/QNBBonjourManager.h"
#include "host/QNBDisplayModelManager.h"

#include "foundation/QNBBonjourServiceHelper.h"
#include "foundation/Vocabulary.h"

#include "platform/core/Log.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <gtest/gtest.h>

namespace {

using namespace host;
using namespace host::testing;
using ServicePtr = std::shared_ptr<ns::NSNetService>;

cf::Bytes txt(cf::Dictionary entries) {
    cf::Dictionary data;
    for (auto& [key, value] : entries) {
        const std::string& text = *value.asString();
        data.insert_or_assign(key, cf::Value(cf::Bytes(text.begin(), text.end())));
    }
    return *ns::NSNetService::dataFromTXTRecordDictionary(cf::Value(std::move(data)));
}

class QNBBonjourManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QNBDisplayModelManager::Collaborators c;
        c.viewManager = std::make_shared<FakeViewManager>();
        m_models = QNBDisplayModelManager::create(std::move(c));
        QNBBonjourManager::Collaborators b;
        b.displayModelManager = m_models;
        b.browsing = m_browsing;
        b.displayHostingQueryForService = [this](const ServicePtr& s) { m_queries.push_back(s->name()); };
        m_manager = QNBBonjourManager::create(std::move(b));
        for (const char* name : {kQNBBonjourBrowserWillAddService, kQNBBonjourBrowserDidAddService,
                                 kQNBBonjourBrowserWillRemoveService, kQNBBonjourBrowserDidRemoveService,
                                 kQNBBonjourBrowserDidUpdateTXTRecord})
            m_tokens.push_back(ns::NSNotificationCenter::defaultCenter().addObserverForName(
                name, m_manager.get(), [this](const ns::NSNotification& n) {
                    m_posted.push_back(n.name);
                    m_lastUserInfo = n.userInfo;
                }));
    }
    void TearDown() override {
        for (const auto& token : m_tokens)
            ns::NSNotificationCenter::defaultCenter().removeObserver(token);
    }
    ServicePtr service(const std::string& name, std::optional<std::string> deviceId = std::nullopt) {
        auto s = ns::NSNetService::create("local.", foundation::kVirtualScreenServiceName, name);
        cf::Dictionary entries{{"ConnState", "NotConnected"}, {"LMPlatformName", "iPad"}};
        if (deviceId) entries.insert_or_assign("deviceIdentifier", *deviceId);
        s->setTXTRecordData(txt(entries));
        return s;
    }
    void resolve(const ServicePtr& s, const std::string& host) {
        s->setResolvedAddressForTesting(host, 6000);
        m_manager->netServiceDidResolveAddress(s);
    }
    size_t postedCount(const std::string& name) const {
        return std::count(m_posted.begin(), m_posted.end(), name);
    }

    TemporaryRoot m_root;
    platform::LogCapture m_log{true};
    std::shared_ptr<RecordingBrowsing> m_browsing = std::make_shared<RecordingBrowsing>();
    std::shared_ptr<QNBDisplayModelManager> m_models;
    std::shared_ptr<QNBBonjourManager> m_manager;
    std::vector<ns::NSNotificationCenter::ObserverToken> m_tokens;
    std::vector<std::string> m_posted;
    std::optional<cf::Value> m_lastUserInfo;
    std::vector<std::string> m_queries;
};

TEST_F(QNBBonjourManagerTest, BrowsingStartsOnceForTheServiceTypeInLocal) {
    m_manager->startBonjourBrowsing();
    m_manager->startBonjourBrowsing();
    EXPECT_EQ(m_browsing->calls, std::vector<std::string>{"search _qnexvscreen._udp local."});
    m_manager->stopBonjourBrowsing();
    EXPECT_FALSE(m_manager->browsing());
}

TEST_F(QNBBonjourManagerTest, OneBatchOfThreeIsAnnouncedOnceAndEveryUnresolvedServiceIsAskedAgainLater) {
    auto a = service("A"), b = service("B"), c = service("C");
    m_manager->didFindService(nullptr, a, true);
    m_manager->didFindService(nullptr, b, true);
    EXPECT_TRUE(m_posted.empty());
    m_manager->didFindService(nullptr, c, false);
    EXPECT_EQ(m_posted,
              (std::vector<std::string>{kQNBBonjourBrowserWillAddService, kQNBBonjourBrowserDidAddService}));
    EXPECT_EQ(m_browsing->count("resolve "), 3u);
    EXPECT_EQ(m_browsing->count("monitor "), 3u);
    EXPECT_EQ(a->delegate().get(), m_manager.get());

    resolve(a, "127.0.0.2");
    m_manager->didFindService(nullptr, service("D"), false);
    // B, C and D: A has resolved.
    EXPECT_EQ(m_browsing->count("resolve "), 6u);
    EXPECT_EQ(m_browsing->count("resolve A"), 1u);
}

TEST_F(QNBBonjourManagerTest, AResolveListsTheDeviceStoresItsHelperAndAsksTheServer) {
    auto a = service("Kitchen", "dev-1");
    m_manager->didFindService(nullptr, a, false);
    EXPECT_EQ(m_manager->unresolvedCount(), 1u);
    resolve(a, "127.0.0.2");
    EXPECT_EQ(m_manager->unresolvedCount(), 0u);
    auto helper = m_manager->resolvedServiceWithServiceKey("local.~_qnexvscreen._udp~Kitchen");
    ASSERT_TRUE(helper);
    EXPECT_EQ(helper->service(), a);
    EXPECT_EQ(m_queries, std::vector<std::string>{"Kitchen"});
    ASSERT_EQ(m_models->displayModelArray().size(), 1u);
    auto model = m_models->displayModelArray()[0];
    EXPECT_EQ(model->uniqueIdentifier(), "dev-1");
    EXPECT_EQ(model->hostName(), "127.0.0.2");
    // Resolved again: the same model is updated, not a second one.
    resolve(a, "127.0.0.2");
    EXPECT_EQ(m_models->displayModelArray().size(), 1u);
}

TEST_F(QNBBonjourManagerTest, ARemovalIsHandledWhenTheLastOfItsBatchArrives) {
    auto a = service("A"), b = service("B");
    m_manager->didFindService(nullptr, a, true);
    m_manager->didFindService(nullptr, b, false);
    resolve(a, "127.0.0.2");
    resolve(b, "127.0.0.3");
    // B is connected through this Mac: it stays listed but unavailable.
    auto modelB = m_models->displayModelForServiceKey("local.~_qnexvscreen._udp~B");
    m_models->localConnectionMadeForDisplayModel(modelB);
    m_posted.clear();
    m_manager->didRemoveService(nullptr, a, true);
    EXPECT_TRUE(m_posted.empty());
    EXPECT_EQ(m_models->displayModelArray().size(), 2u);
    m_manager->didRemoveService(nullptr, b, false);
    EXPECT_EQ(m_posted, (std::vector<std::string>{kQNBBonjourBrowserWillRemoveService,
                                                  kQNBBonjourBrowserDidRemoveService}));
    EXPECT_EQ(m_browsing->count("unmonitor "), 2u);
    EXPECT_EQ(m_models->displayModelArray(), QNBDisplayModelManager::Models{modelB});
    EXPECT_TRUE(modelB->inBackground());
    EXPECT_FALSE(modelB->availability());
    EXPECT_FALSE(m_manager->resolvedServiceWithServiceKey("local.~_qnexvscreen._udp~B"));
    EXPECT_FALSE(b->delegate());
}

TEST_F(QNBBonjourManagerTest, ATXTUpdateBringsABackgroundModelBackAndIsAnnouncedWithItsRecord) {
    auto a = service("A", "dev-1");
    m_manager->didFindService(nullptr, a, false);
    resolve(a, "127.0.0.2");
    auto model = m_models->displayModelArray()[0];
    m_models->localConnectionMadeForDisplayModel(model);
    m_models->updateBackgroundStateForService(true, a);
    ASSERT_TRUE(model->inBackground());
    const auto record =
        txt({{"ConnState", "Connected"}, {"LMPlatformName", "iPad"}, {"deviceIdentifier", "dev-1"}});
    m_manager->didUpdateTXTRecordData(a, record);
    EXPECT_FALSE(model->inBackground());
    ASSERT_EQ(m_posted.back(), kQNBBonjourBrowserDidUpdateTXTRecord);
    ASSERT_TRUE(m_lastUserInfo);
    EXPECT_EQ(m_lastUserInfo->objectForKey(kQNBBonjourBrowserDidUpdateTXTRecordServiceKey),
              cf::Value("local.~_qnexvscreen._udp~A"));
    const cf::Value* dict = m_lastUserInfo->find(kQNBBonjourBrowserDidUpdateTXTRecordTXTRecordKey);
    ASSERT_TRUE(dict && dict->isDictionary());
    EXPECT_EQ(dict->count(), 3u);

    // A record that cannot be read is announced without it.
    m_manager->didUpdateTXTRecordData(a, cf::Bytes{9, 'x'});
    EXPECT_FALSE(m_lastUserInfo->find(kQNBBonjourBrowserDidUpdateTXTRecordTXTRecordKey));
}

TEST_F(QNBBonjourManagerTest, AFailedResolveDropsAnIdleDeviceButNotAConnectedOne) {
    auto idle = service("Idle"), busy = service("Busy");
    m_manager->didFindService(nullptr, idle, true);
    m_manager->didFindService(nullptr, busy, false);
    resolve(idle, "127.0.0.2");
    resolve(busy, "127.0.0.3");
    m_models->localConnectionMadeForDisplayModel(
        m_models->displayModelForServiceKey("local.~_qnexvscreen._udp~Busy"));
    m_manager->didNotResolve(idle, cf::Value(cf::Dictionary{}));
    m_manager->didNotResolve(busy, cf::Value(cf::Dictionary{}));
    EXPECT_TRUE(m_log.contains("Failed to resolve service: local.~_qnexvscreen._udp~Idle"));
    ASSERT_EQ(m_models->displayModelArray().size(), 1u);
    EXPECT_EQ(m_models->displayModelArray()[0]->displayName(), "Busy");
    EXPECT_FALSE(m_manager->resolvedServiceWithServiceKey("local.~_qnexvscreen._udp~Busy"));
}

} // namespace
