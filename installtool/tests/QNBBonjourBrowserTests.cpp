// The Bonjour browser on the registry of a platformd booted in the test process, with the fake
// clock: batches of finds resolved one at a time and announced with their services, removals
// announced with their names, TXT updates announced half a second later, and batches that end
// while another is being resolved.
#include "installtool/QNBBonjourBrowser.h"

#include "platform/core/Clock.h"
#include "platform/daemon/Platformd.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/dispatch/Testing.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

#include <chrono>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <utility>

namespace {

using namespace installtool;

constexpr char kType[] = "_qnexvscreen._udp";

std::string joinedNames(const NetServices& services) {
    std::string out;
    for (const auto& s : services)
        out += (out.empty() ? "" : ",") + s->name();
    return out;
}

// Serves the main run loop until done. Pushes from platformd arrive on other threads while
// the fake clock stands still, so this polls the loop, bounded in real time.
bool serveUntil(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        dispatch::runUntilIdle();
        std::this_thread::yield();
    }
    return true;
}

// Resolves a registered service of its own and waits for the outcome. platformd handles
// requests one at a time and pushes in order, so every push of an earlier request has been
// delivered by then.
struct Barrier : ns::NSNetServiceDelegate {
    bool ended = false;
    void netServiceDidResolveAddress(const std::shared_ptr<ns::NSNetService>&) override { ended = true; }
    void didNotResolve(const std::shared_ptr<ns::NSNetService>&, const cf::Value&) override { ended = true; }
};

class QNBBonjourBrowserTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::installFakeClock();
        char pattern[] = "/tmp/pdb.XXXXXX";
        m_root = ::mkdtemp(pattern);
        ::mkdir((m_root + "/home").c_str(), 0700);
        ::setenv("HOME", (m_root + "/home").c_str(), 1);
        ::setenv("PLATFORM_ROOT", m_root.c_str(), 1);
        ipc::Connection::resetShared();
        m_daemon = std::make_unique<platformd::Platformd>(platformd::PlatformdOptions{m_root, nullptr});
        platform::Error error;
        ASSERT_TRUE(m_daemon->boot(&error)) << error.description();
        QNBBonjourBrowser::setBonjourServiceName(kType);
        m_observer = ns::NSNotificationCenter::defaultCenter().addObserverForName(
            std::nullopt, nullptr, [this](const ns::NSNotification& n) { record(n); });
    }
    void TearDown() override {
        ns::NSNotificationCenter::defaultCenter().removeObserver(m_observer);
        m_browser.reset();
        dispatch::runUntilIdle();
        m_daemon.reset();
        ipc::Connection::resetShared();
        platformd::testing::removeTree(m_root);
    }

    // Each browser notification as a line: its short name, then what it carries.
    void record(const ns::NSNotification& n) {
        static const std::map<std::string, std::string> kShort{
            {kQNBBonjourBrowserWillAddService, "will-add"},
            {kQNBBonjourBrowserDidAddService, "did-add"},
            {kQNBBonjourBrowserWillRemoveService, "will-remove"},
            {kQNBBonjourBrowserDidRemoveService, "did-remove"},
            {kQNBBonjourBrowserDidUpdateService, "did-update"},
            {kQNBBonjourBrowserDidUpdateTXTRecord, "did-update-TXT"}};
        auto it = kShort.find(n.name);
        if (it == kShort.end()) return;
        EXPECT_EQ(n.objectIdentity(), m_browser.get());
        std::string line = it->second;
        if (auto objects = n.userObjects.find(kQNBBonjourBrowserUpdatedObjectsKey);
            objects != n.userObjects.end())
            line += " objects=" + joinedNames(std::any_cast<NetServices>(objects->second));
        if (auto names =
                n.userInfo ? n.userInfo->find(kQNBBonjourBrowserDidRemoveServiceNamesKey) : nullptr) {
            std::string joined;
            for (size_t i = 0; i < names->count(); ++i)
                joined += (joined.empty() ? "" : ",") + *names->at(i)->asString();
            line += " names=" + joined;
        }
        if (auto service = n.userObjects.find(kQNBBonjourBrowserDidUpdateTXTRecordServiceKey);
            service != n.userObjects.end())
            line += " service=" + std::any_cast<std::shared_ptr<ns::NSNetService>>(service->second)->name();
        if (auto record =
                n.userInfo ? n.userInfo->find(kQNBBonjourBrowserDidUpdateTXTRecordTXTRecordKey) : nullptr)
            for (const auto& [key, value] : *record->asDictionary())
                line += " " + key + "=" + std::string(value.asData()->begin(), value.asData()->end());
        m_notes.push_back(line);
    }
    // How many lines are of this notification.
    size_t count(const std::string& shortName) const {
        return std::count_if(m_notes.begin(), m_notes.end(), [&](const std::string& line) {
            return line.substr(0, line.find(' ')) == shortName;
        });
    }

    static cf::Value request(std::string_view op, cf::Dictionary args) {
        auto connection = ipc::Connection::shared();
        EXPECT_TRUE(connection);
        if (!connection) return cf::Value::emptyDictionary();
        auto reply = connection->request(op, cf::Value(std::move(args)));
        EXPECT_TRUE(reply.ok) << op << ": " << reply.error.description();
        return reply.result.value_or(cf::Value::emptyDictionary());
    }
    // Registers the services together (one batch), kept until removed.
    static void publish(const std::vector<std::string>& names) {
        cf::Array services;
        for (const auto& name : names)
            services.push_back(cf::Dictionary{
                {"name", name}, {"type", kType}, {"port", int64_t{6000}}, {"host", "127.0.0.2"}});
        request(ipc::op::bonjourPublish,
                cf::Dictionary{{"services", cf::Value(std::move(services))}, {"detached", true}});
    }
    static void unpublish(const std::vector<std::string>& names) {
        cf::Array services;
        for (const auto& name : names)
            services.push_back(cf::Dictionary{{"name", name}, {"type", kType}});
        request(ipc::op::bonjourUnpublish, cf::Dictionary{{"services", cf::Value(std::move(services))}});
    }
    static void barrier(const std::string& registeredName) {
        auto delegate = std::make_shared<Barrier>();
        auto probe = ns::NSNetService::create("local.", kType, registeredName);
        probe->setDelegate(delegate);
        probe->resolveWithTimeout(5);
        ASSERT_TRUE(serveUntil([&] { return delegate->ended; }));
    }

    std::string m_root;
    std::unique_ptr<platformd::Platformd> m_daemon;
    ns::NSNotificationCenter::ObserverToken m_observer;
    std::shared_ptr<QNBBonjourBrowser> m_browser;
    std::vector<std::string> m_notes;
};

TEST_F(QNBBonjourBrowserTest, StartsOnceWithTheClassWideTypeAndStopsOnlyWhenStarted) {
    QNBBonjourBrowser::setBonjourServiceName(std::nullopt);
    m_browser = QNBBonjourBrowser::init();
    EXPECT_FALSE(m_browser->started()) << "no type to search for";
    QNBBonjourBrowser::setBonjourServiceName(kType);
    EXPECT_EQ(QNBBonjourBrowser::bonjourServiceName(), kType);
    m_browser->start();
    EXPECT_TRUE(m_browser->started());
    m_browser->stop();
    EXPECT_FALSE(m_browser->started());

    auto idle = QNBBonjourBrowser::initWithoutStartingService();
    EXPECT_FALSE(idle->started());
    publish({"Quiet"});
    barrier("Quiet");
    EXPECT_TRUE(m_notes.empty()) << "neither a stopped nor an unstarted browser reports";
}

TEST_F(QNBBonjourBrowserTest, ServicesRegisteredTogetherAreResolvedAnnouncedAddedAndRemovedAsOneBatch) {
    m_browser = QNBBonjourBrowser::init();
    publish({"Alpha", "Beta"});
    ASSERT_TRUE(serveUntil([&] { return count("did-add") == 1; }));
    EXPECT_EQ(m_notes, (std::vector<std::string>{"will-add", "did-update", "did-update",
                                                 "did-add objects=Alpha,Beta"}));
    ASSERT_EQ(m_browser->activeServices().size(), 2u);
    EXPECT_EQ(m_browser->activeServices()[0]->hostName(), "127.0.0.2") << "resolved before did-add";

    m_notes.clear();
    unpublish({"Alpha", "Beta"});
    ASSERT_TRUE(serveUntil([&] { return count("did-remove") == 1; }));
    EXPECT_EQ(m_notes,
              (std::vector<std::string>{"will-remove", "did-remove objects=Alpha,Beta names=Alpha,Beta"}));
    EXPECT_TRUE(m_browser->activeServices().empty());
}

TEST_F(QNBBonjourBrowserTest, ATXTUpdateIsAnnouncedWithItsRecordHalfASecondLater) {
    m_browser = QNBBonjourBrowser::initWithoutStartingService();
    m_browser->setMonitorsTXTRecords(true);
    m_browser->start();
    publish({"Pad"});
    ASSERT_TRUE(serveUntil([&] { return count("did-add") == 1; }));

    m_notes.clear();
    request(ipc::op::bonjourSetTXT,
            cf::Dictionary{{"name", "Pad"},
                           {"type", kType},
                           {"txt", cf::Dictionary{{"ConnState", cf::Value("Connected")}}}});
    barrier("Pad"); // the update has reached the browser
    dispatch::advanceAndRun(0.49);
    EXPECT_EQ(count("did-update-TXT"), 0u);
    dispatch::advanceAndRun(0.01);
    ASSERT_EQ(count("did-update-TXT"), 1u);
    EXPECT_EQ(m_notes[0], "did-update-TXT service=Pad ConnState=Connected");
    // The service is resolved again then.
    ASSERT_TRUE(serveUntil([&] { return count("did-update") == 1; }));
}

TEST_F(QNBBonjourBrowserTest, ARegistrationDuringAResolveArrivesAsItsOwnBatch) {
    m_browser = QNBBonjourBrowser::init();
    // Registered as the first batch's resolves begin: its find arrives while Early resolves.
    bool registered = false;
    auto token = ns::NSNotificationCenter::defaultCenter().addObserverForName(
        std::string(kQNBBonjourBrowserWillAddService), nullptr, [&](const ns::NSNotification&) {
            if (!std::exchange(registered, true)) publish({"Late"});
        });
    publish({"Early"});
    ASSERT_TRUE(serveUntil([&] { return count("did-add") == 2; }));
    ns::NSNotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_EQ(m_notes, (std::vector<std::string>{"will-add", "did-update", "did-add objects=Early",
                                                 "will-add", "did-update", "did-add objects=Late"}));
    EXPECT_EQ(joinedNames(m_browser->activeServices()), "Early,Late");
}

TEST_F(QNBBonjourBrowserTest, FindsAndRemovalsInProgressTogetherKeepBatchesOfTheirOwn) {
    publish({"Gone", "Found", "AlsoGone"});
    m_browser = QNBBonjourBrowser::initWithoutStartingService();
    auto gone = ns::NSNetService::create("local.", kType, "Gone");
    auto found = ns::NSNetService::create("local.", kType, "Found");
    auto alsoGone = ns::NSNetService::create("local.", kType, "AlsoGone");

    // A removal batch is still open when a find batch of one ends.
    m_browser->didRemoveService(nullptr, gone, true);
    m_browser->didFindService(nullptr, found, false);
    m_browser->didRemoveService(nullptr, alsoGone, false);
    EXPECT_EQ(m_notes,
              (std::vector<std::string>{"will-add", "did-update", "did-add objects=Found", "will-remove",
                                        "did-remove objects=Gone,AlsoGone names=Gone,AlsoGone"}));
    EXPECT_EQ(joinedNames(m_browser->activeServices()), "Found");
}

TEST_F(QNBBonjourBrowserTest, AServiceRemovedWhileItResolvesEndsTheWaitForItsOutcome) {
    publish({"Slow"});
    request(ipc::op::bonjourResolveDelay, cf::Dictionary{{"name", "Slow"}, {"seconds", 3.0}});
    m_browser = QNBBonjourBrowser::initWithoutStartingService();
    auto slow = ns::NSNetService::create("local.", kType, "Slow");
    // The removal comes while the find's resolve waits; nothing else would end that wait.
    auto token = ns::NSNotificationCenter::defaultCenter().addObserverForName(
        std::string(kQNBBonjourBrowserWillAddService), nullptr, [&](const ns::NSNotification&) {
            ns::NSRunLoop::mainRunLoop()->performBlock(
                [&] { m_browser->didRemoveService(nullptr, slow, false); });
        });
    m_browser->didFindService(nullptr, slow, false);
    ns::NSNotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_EQ(m_notes, (std::vector<std::string>{"will-add", "did-add objects=Slow", "will-remove",
                                                 "did-remove objects=Slow names=Slow"}));
    EXPECT_TRUE(m_browser->activeServices().empty());
}

TEST_F(QNBBonjourBrowserTest, AServiceRemovedBeforeItsBatchIsHandledIsNotWaitedFor) {
    publish({"First", "Brief"});
    m_browser = QNBBonjourBrowser::initWithoutStartingService();
    auto first = ns::NSNetService::create("local.", kType, "First");
    auto brief = ns::NSNetService::create("local.", kType, "Brief");
    // Brief is found and removed while First resolves: both batches wait for First's.
    bool queued = false;
    auto token = ns::NSNotificationCenter::defaultCenter().addObserverForName(
        std::string(kQNBBonjourBrowserWillAddService), nullptr, [&](const ns::NSNotification&) {
            if (std::exchange(queued, true)) return;
            ns::NSRunLoop::mainRunLoop()->performBlock([&] {
                m_browser->didFindService(nullptr, brief, false);
                m_browser->didRemoveService(nullptr, brief, false);
            });
        });
    m_browser->didFindService(nullptr, first, false);
    ns::NSNotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_EQ(m_notes, (std::vector<std::string>{"will-add", "did-update", "did-add objects=First",
                                                 "will-add", "did-add objects=Brief", "will-remove",
                                                 "did-remove objects=Brief names=Brief"}));
    EXPECT_EQ(joinedNames(m_browser->activeServices()), "First");
}

} // namespace
