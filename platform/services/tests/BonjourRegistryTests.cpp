// The Bonjour registry of a private platformd seen through the facades and platformctl: batches
// of finds and removals, a dropped connection's removals, resolve delays and failures, TXT
// monitoring, collisions and refused registrations; with the workspace's recorded URLs.
#include "platform/core/Clock.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/TXTRecord.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"
#include "platform/services/NSNetService.h"
#include "platform/services/NSWorkspace.h"
#include "platform/services/SUUpdater.h"

#include <functional>
#include <gtest/gtest.h>

namespace {

using namespace ns;
using platformd::testing::PlatformdTest;
using platformd::testing::PrivatePlatformd;
using platformd::testing::runProgram;

constexpr char kType[] = "_qnexvscreen._udp";

// Serves the main run loop in mode until done (false at the deadline).
bool serveUntil(const std::function<bool()>& done, std::string_view mode = NSDefaultRunLoopMode,
                double seconds = 20) {
    const auto deadline = platform::now() + platform::seconds(seconds);
    while (!done()) {
        if (platform::now() >= deadline) return false;
        NSRunLoop::mainRunLoop()->runModeBeforeDate(mode, platform::now() + platform::seconds(0.2));
    }
    return true;
}

std::string txtText(const cf::Bytes& data) {
    std::string out;
    auto dict = dictionaryFromTXTRecordData(data);
    for (const auto& [key, value] : dict ? *dict->asDictionary() : cf::Dictionary{})
        out += (out.empty() ? "" : " ") + key + "=" +
               std::string(value.asData()->begin(), value.asData()->end());
    return out;
}

// Records every delegate call as a line.
struct Recorder : NSNetServiceBrowserDelegate, NSNetServiceDelegate {
    std::vector<std::string> calls;
    std::vector<std::shared_ptr<NSNetService>> found;
    std::vector<std::shared_ptr<NSNetService>> removed;

    void didFindService(const std::shared_ptr<NSNetServiceBrowser>&, const std::shared_ptr<NSNetService>& s,
                        bool more) override {
        found.push_back(s);
        calls.push_back("find " + s->name() + (more ? " more" : ""));
        EXPECT_EQ(s->type(), kType);
        EXPECT_EQ(s->domain(), "local.");
    }
    void didRemoveService(const std::shared_ptr<NSNetServiceBrowser>&, const std::shared_ptr<NSNetService>& s,
                          bool more) override {
        removed.push_back(s);
        calls.push_back("remove " + s->name() + (more ? " more" : ""));
    }
    void netServiceDidPublish(const std::shared_ptr<NSNetService>& s) override {
        calls.push_back("published " + s->name());
    }
    void didNotPublish(const std::shared_ptr<NSNetService>& s, const cf::Value& e) override {
        calls.push_back("not published " + s->name() + " " +
                        std::to_string(e.objectForKey(NSNetServicesErrorCode).value_or(0).integerValue()));
    }
    void netServiceDidResolveAddress(const std::shared_ptr<NSNetService>& s) override {
        calls.push_back("resolved " + s->name() + " " + s->hostName().value_or("nil") + ":" +
                        std::to_string(s->port()) + " " + txtText(s->TXTRecordData().value_or(cf::Bytes{})));
    }
    void didNotResolve(const std::shared_ptr<NSNetService>& s, const cf::Value& e) override {
        calls.push_back("not resolved " + s->name() + " " +
                        std::to_string(e.objectForKey(NSNetServicesErrorCode).value_or(0).integerValue()));
    }
    void didUpdateTXTRecordData(const std::shared_ptr<NSNetService>& s, const cf::Bytes& data) override {
        calls.push_back("txt " + s->name() + " " + txtText(data));
    }

    // Serves until the calls number count.
    bool waitFor(size_t count, std::string_view mode = NSDefaultRunLoopMode) {
        return serveUntil([&] { return calls.size() >= count; }, mode);
    }
};

class BonjourRegistry : public PlatformdTest {
  protected:
    int ctl(std::vector<std::string> args, std::string* err = nullptr) {
        args.insert(args.begin(), PrivatePlatformd::platformctlPath());
        auto r = runProgram(args);
        if (err) *err = r.err;
        return r.status;
    }
    std::shared_ptr<NSNetServiceBrowser> browse(const std::shared_ptr<Recorder>& recorder) {
        auto browser = NSNetServiceBrowser::create();
        browser->setDelegate(recorder);
        browser->searchForServicesOfType(kType, "local.");
        return browser;
    }
};

TEST_F(BonjourRegistry, FindsAndRemovalsArriveInBatchesAndADroppedConnectionRemovesItsServices) {
    ASSERT_EQ(ctl({"bonjour", "add", "Alpha", "--type", kType, "--port", "6000", "--host", "127.0.0.2"}), 0);
    auto recorder = std::make_shared<Recorder>();
    auto browser = browse(recorder);
    ASSERT_TRUE(recorder->waitFor(1));
    EXPECT_EQ(recorder->calls, (std::vector<std::string>{"find Alpha"}));

    ASSERT_EQ(ctl({"bonjour", "add", "Beta", "--type", kType, "--port", "6000", "--and", "Gamma"}), 0);
    ASSERT_EQ(ctl({"bonjour", "add", "Other", "--type", "_other._tcp", "--port", "1"}), 0);
    ASSERT_TRUE(recorder->waitFor(3));

    // A second process's connection publishes two services at once, then drops.
    auto hello = ipc::HelloInfo::forThisProcess();
    hello.processName = "Publisher";
    platform::Error error;
    auto other = ipc::Connection::open(m_platformd->socketPath(), hello, &error);
    ASSERT_TRUE(other) << error.description();
    cf::Array services{cf::Dictionary{{"name", "Delta"}, {"type", kType}, {"port", 6000}},
                       cf::Dictionary{{"name", "Epsilon"}, {"type", kType}, {"port", 6000}}};
    ASSERT_TRUE(other->request(ipc::op::bonjourPublish, cf::Dictionary{{"services", services}}).ok);
    ASSERT_TRUE(recorder->waitFor(5));
    other->close();
    ASSERT_TRUE(recorder->waitFor(7));
    ASSERT_EQ(ctl({"bonjour", "remove", "Alpha"}), 0);
    ASSERT_TRUE(recorder->waitFor(8));
    EXPECT_EQ(recorder->calls, (std::vector<std::string>{
                                   "find Alpha", "find Beta more", "find Gamma", "find Delta more",
                                   "find Epsilon", "remove Delta more", "remove Epsilon", "remove Alpha"}));
    // A removal hands over the object of the find.
    EXPECT_EQ(recorder->removed[0], recorder->found[3]);
    EXPECT_EQ(recorder->removed[2], recorder->found[0]);

    EXPECT_TRUE(
        platformd::testing::waitForEvent("bonjour-register", {{"name", "Alpha"}, {"host", "127.0.0.2"}}, 10));
    EXPECT_TRUE(platformd::testing::waitForEvent("bonjour-unregister",
                                                 {{"name", "Delta"}, {"reason", "connection"}}, 10));
    std::string err;
    EXPECT_EQ(ctl({"bonjour", "remove", "Alpha"}, &err), 1);
}

TEST_F(BonjourRegistry, ResolvesAfterTheirDelayOrFailAsInjectedOrTimeOut) {
    ASSERT_EQ(ctl({"bonjour", "add", "Pad", "--type", kType, "--port", "6000", "--host", "127.0.0.2", "--txt",
                   "ConnState=NotConnected", "--txt", "deviceIdentifier=demo-1"}),
              0);
    auto recorder = std::make_shared<Recorder>();
    auto service = NSNetService::create("local.", kType, "Pad");
    service->setDelegate(recorder);
    EXPECT_FALSE(service->hostName());
    service->resolveWithTimeout(5);
    ASSERT_TRUE(recorder->waitFor(1));
    EXPECT_EQ(recorder->calls.back(),
              "resolved Pad 127.0.0.2:6000 ConnState=NotConnected deviceIdentifier=demo-1");
    EXPECT_EQ(service->addresses().size(), 1u);

    ASSERT_EQ(ctl({"bonjour", "fail-resolve", "Pad", "--code", "-72003"}), 0);
    service->resolveWithTimeout(5);
    ASSERT_TRUE(recorder->waitFor(2));
    EXPECT_EQ(recorder->calls.back(), "not resolved Pad -72003");
    service->resolveWithTimeout(5); // the failure was for one resolve only
    ASSERT_TRUE(recorder->waitFor(3));
    EXPECT_EQ(recorder->calls.back().rfind("resolved Pad", 0), 0u);

    // A delay past the time-out, and a service that is not there: -72007 at the time-out.
    ASSERT_EQ(ctl({"bonjour", "resolve-delay", "Pad", "30"}), 0);
    service->resolveWithTimeout(0.3);
    ASSERT_TRUE(recorder->waitFor(4));
    EXPECT_EQ(recorder->calls.back(), "not resolved Pad -72007");
    auto missing = NSNetService::create("local.", kType, "Nobody");
    missing->setDelegate(recorder);
    missing->resolveWithTimeout(0.2);
    ASSERT_TRUE(recorder->waitFor(5));
    EXPECT_EQ(recorder->calls.back(), "not resolved Nobody -72007");

    // Resolving again restarts: one outcome for the two calls. A time-out due after both
    // delays ran out comes last, so whatever the first resolve left would be seen before it.
    ASSERT_EQ(ctl({"bonjour", "resolve-delay", "Pad", "0.2"}), 0);
    service->resolveWithTimeout(5);
    service->resolveWithTimeout(5);
    missing->resolveWithTimeout(3); // well after the delay, even on a loaded machine
    ASSERT_TRUE(recorder->waitFor(7));
    EXPECT_EQ(recorder->calls[5].rfind("resolved Pad", 0), 0u);
    EXPECT_EQ(recorder->calls[6], "not resolved Nobody -72007");

    // A service gone while its resolve waits out the delay: the resolve times out. The delay
    // leaves room for starting platformctl on a loaded machine before it runs out.
    ASSERT_EQ(ctl({"bonjour", "resolve-delay", "Pad", "4"}), 0);
    service->resolveWithTimeout(5);
    ASSERT_EQ(ctl({"bonjour", "remove", "Pad"}), 0);
    ASSERT_TRUE(recorder->waitFor(8));
    EXPECT_EQ(recorder->calls[7], "not resolved Pad -72007");
}

TEST_F(BonjourRegistry, MonitoredServicesSeeTXTUpdatesAndTakenNamesCollide) {
    auto recorder = std::make_shared<Recorder>();
    auto own = NSNetService::create("", kType, "Own", 6000);
    own->setDelegate(recorder);
    own->setHostAddress("127.0.0.3");
    ASSERT_TRUE(own->setTXTRecordData(
        *dataFromTXTRecordDictionary(cf::Dictionary{{"ConnState", cf::Value("NotConnected")}})));
    own->publish();
    ASSERT_TRUE(recorder->waitFor(1));
    EXPECT_EQ(recorder->calls.back(), "published Own");

    auto twin = NSNetService::create("local.", kType, "Own", 6001);
    twin->setDelegate(recorder);
    twin->publish();
    ASSERT_TRUE(recorder->waitFor(2));
    EXPECT_EQ(recorder->calls.back(), "not published Own -72001");

    auto browser = browse(recorder);
    ASSERT_TRUE(recorder->waitFor(3));
    ASSERT_EQ(recorder->found.size(), 1u);
    auto seen = recorder->found[0];
    seen->setDelegate(recorder);
    seen->startMonitoring();
    ASSERT_TRUE(own->setTXTRecordData(
        *dataFromTXTRecordDictionary(cf::Dictionary{{"ConnState", cf::Value("Connected")}})));
    ASSERT_TRUE(recorder->waitFor(4));
    EXPECT_EQ(recorder->calls.back(), "txt Own ConnState=Connected");
    ASSERT_EQ(ctl({"bonjour", "txt", "Own", "ConnState=NotConnected", "LMPlatformName=iPad"}), 0);
    ASSERT_TRUE(recorder->waitFor(5));
    EXPECT_EQ(recorder->calls.back(), "txt Own ConnState=NotConnected LMPlatformName=iPad");
    seen->stopMonitoring();

    auto list = runProgram({PrivatePlatformd::platformctlPath(), "bonjour", "list"});
    EXPECT_NE(list.out.find("Own\t_qnexvscreen._udp\t127.0.0.3:6000\tpid=" + std::to_string(::getpid())),
              std::string::npos)
        << list.out;

    // Stopping the publisher removes it for the browser.
    own->stop();
    ASSERT_TRUE(recorder->waitFor(6));
    EXPECT_EQ(recorder->calls[5], "remove Own");
}

TEST_F(BonjourRegistry, RefusesBadNamesAndEntriesWithMinus72004) {
    std::string err;
    EXPECT_EQ(ctl({"bonjour", "add", "", "--type", kType, "--port", "1"}, &err), 1);
    EXPECT_NE(err.find("-72004"), std::string::npos) << err;
    EXPECT_EQ(ctl({"bonjour", "add", std::string(64, 'n'), "--type", kType, "--port", "1"}, &err), 1);
    EXPECT_NE(err.find("-72004"), std::string::npos) << err;
    EXPECT_EQ(ctl({"bonjour", "add", std::string(63, 'n'), "--type", kType, "--port", "1"}), 0);
    EXPECT_EQ(
        ctl({"bonjour", "add", "Long", "--type", kType, "--port", "1", "--txt", "k=" + std::string(254, 'x')},
            &err),
        1);
    EXPECT_NE(err.find("-72004"), std::string::npos) << err;

    // A name with a NUL byte cannot even be sent (property lists carry no NUL in texts); a
    // record whose entry runs past its end comes only through the protocol.
    auto c = ipc::Connection::shared();
    ASSERT_TRUE(c);
    auto reply = c->request(
        ipc::op::bonjourPublish,
        cf::Dictionary{{"services", cf::Array{cf::Dictionary{
                                        {"name", std::string("a\0b", 3)}, {"type", kType}, {"port", 1}}}}});
    EXPECT_FALSE(reply.ok);
    reply = c->request(
        ipc::op::bonjourPublish,
        cf::Dictionary{
            {"services",
             cf::Array{cf::Dictionary{
                 {"name", "T"}, {"type", kType}, {"port", 1}, {"txt", cf::Value::data("\x09k=v", 4)}}}}});
    EXPECT_EQ(reply.error.code, -72004);
}

TEST_F(BonjourRegistry, DelegateCallsRunOnTheRunLoopAndModeTheObjectIsScheduledIn) {
    ASSERT_EQ(ctl({"bonjour", "add", "Modal", "--type", kType, "--port", "6000"}), 0);
    auto recorder = std::make_shared<Recorder>();
    auto browser = NSNetServiceBrowser::create();
    browser->setDelegate(recorder);
    browser->scheduleInRunLoop(NSRunLoop::mainRunLoop(), NSModalPanelRunLoopMode);
    browser->searchForServicesOfType(kType, "");
    // A browser in the default mode, started after it, sees its find after the first one's
    // was queued: by then nothing has run in the default mode.
    auto plain = std::make_shared<Recorder>();
    auto second = browse(plain);
    ASSERT_TRUE(plain->waitFor(1));
    EXPECT_TRUE(recorder->calls.empty());
    ASSERT_TRUE(recorder->waitFor(1, NSModalPanelRunLoopMode));
    EXPECT_EQ(recorder->calls.back(), "find Modal");
}

TEST_F(BonjourRegistry, OpenedURLsAreRecordedAndNothingIsOpened) {
    EXPECT_TRUE(NSWorkspace::sharedWorkspace().openURL("https://example.invalid/help"));
    EXPECT_TRUE(platformd::testing::waitForEvent("open-url", {{"url", "https://example.invalid/help"}}, 10));
}

struct UpdaterCalls : SUUpdaterDelegate {
    std::vector<std::string> lines;
    void didFindValidUpdate(const std::shared_ptr<SUUpdater>&, const SUAppcastItem& item) override {
        lines.push_back("found " + item.displayVersionString);
    }
    void updaterDidNotFindUpdate(const std::shared_ptr<SUUpdater>&) override { lines.push_back("uptodate"); }
    void willInstallUpdate(const std::shared_ptr<SUUpdater>&, const SUAppcastItem&) override {
        lines.push_back("install");
    }
};

class SUUpdaterRoad : public BonjourRegistry {};

TEST_F(SUUpdaterRoad, PlatformctlAnswersReachARegisteredUpdaterAndChecksAreRecorded) {
    std::string err;
    EXPECT_EQ(ctl({"updater", "uptodate"}, &err), 1) << "no updater yet";
    EXPECT_NE(err.find("no updater"), std::string::npos);
    EXPECT_EQ(ctl({"updater", "found"}), 2);

    const std::string path = m_platformd->root() + "/Applications/Tessel Host.app";
    auto updater = SUUpdater::updaterForBundle(std::make_shared<NSBundle>(
        path, path + "/Contents", cf::Value(cf::Dictionary{{"CFBundleVersion", cf::Value("1")}})));
    auto calls = std::make_shared<UpdaterCalls>();
    updater->setDelegate(calls);
    ASSERT_EQ(ctl({"updater", "found", "2.0"}), 0);
    ASSERT_EQ(ctl({"updater", "install"}), 0);
    ASSERT_TRUE(serveUntil([&] { return calls->lines.size() >= 2; }));
    EXPECT_EQ(calls->lines, (std::vector<std::string>{"found 2.0", "install"}));

    updater->checkForUpdates(); // no feed: logged, no call, but recorded
    EXPECT_TRUE(
        platformd::testing::waitForEvent("update-check", {{"bundlePath", path}, {"version", "1"}}, 10));
}

} // namespace
