// The service facades against a platformd booted in the test process: what product code sees.
#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/daemon/Platformd.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/foundation/NSAppleScript.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/ipc/Connection.h"
#include "platform/services/Authorization.h"
#include "platform/services/KextManager.h"
#include "platform/services/LSSharedFileList.h"
#include "platform/services/NSDistributedNotificationCenter.h"
#include "platform/services/NSWorkspace.h"
#include "platform/services/Sysctl.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using ns::NSDistributedNotificationCenter;

// Runs before any platformd exists in this process, so the one-per-process line is ours.
TEST(ServicesWithoutPlatformd, DropPostsWithOneLineAndAnswerTheirFailureForms) {
    ::unsetenv("PLATFORM_ROOT");
    ipc::Connection::resetShared();
    platform::LogCapture capture(true);
    auto& center = NSDistributedNotificationCenter::defaultCenter();
    center.postNotificationName("a", std::nullopt);
    center.postNotificationName("b", std::nullopt);
    EXPECT_EQ(capture.count("distributed notifications are dropped"), 1u);
    EXPECT_FALSE(ns::NSWorkspace::sharedWorkspace().launchApplication("/Applications/X.app"));
    EXPECT_TRUE(ns::NSWorkspace::sharedWorkspace().runningApplications().empty());
    EXPECT_FALSE(ns::NSWorkspace::sharedWorkspace().openFile("/tmp/a.pdf"));
    EXPECT_TRUE(ns::NSAppleScript("beep").executeAndReturnError()); // a script with no effect
    EXPECT_FALSE(ls::LSSharedFileListCreate(nullptr, ls::kLSSharedFileListSessionLoginItems, nullptr));
    EXPECT_FALSE(iokit::KextManagerCopyLoadedKextInfo(std::nullopt, std::nullopt));
    security::AuthorizationRef ref;
    EXPECT_EQ(security::AuthorizationCreate(nullptr, nullptr, 0, &ref), security::errAuthorizationInternal);
    EXPECT_FALSE(ref);
}

class Services : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/pds.XXXXXX";
        m_root = ::mkdtemp(pattern);
        ::mkdir((m_root + "/home").c_str(), 0700);
        ::setenv("HOME", (m_root + "/home").c_str(), 1);
        m_daemon = std::make_unique<platformd::Platformd>(platformd::PlatformdOptions{m_root, nullptr});
        ASSERT_TRUE(m_daemon->boot());
        ipc::Connection::resetShared();
    }
    void TearDown() override {
        ipc::Connection::resetShared();
        m_daemon.reset();
        platformd::testing::removeTree(m_root);
    }
    // Serves the main run loop in mode until nothing more is ready.
    static void serve(std::string_view mode = ns::NSDefaultRunLoopMode) {
        ns::NSRunLoop::mainRunLoop()->runModeBeforeDate(mode, platform::now());
    }
    std::string m_root;
    std::unique_ptr<platformd::Platformd> m_daemon;
};

TEST_F(Services, APostReachesThePosterLaterOnTheMainRunLoopInTheDefaultModeOnly) {
    auto& center = NSDistributedNotificationCenter::defaultCenter();
    std::vector<ns::NSNotification> got;
    auto token = center.addObserverForName("com.quenby.Tessel.PreferencesDidChange", std::nullopt,
                                           [&](const ns::NSNotification& n) { got.push_back(n); });
    cf::Value info = cf::Dictionary{{"disableDisplay", true}, {"index", 0}, {"connected", "NO"}};
    center.postNotificationName("com.quenby.Tessel.PreferencesDidChange", std::string("sender"), info,
                                ns::NSNotificationDeliverImmediately | ns::NSNotificationPostToAllSessions);
    EXPECT_TRUE(got.empty()) << "delivered inside the post";
    // Platformd pushes before it replies, so the delivery is already queued: a modal run
    // must still not serve it.
    serve(ns::NSModalPanelRunLoopMode);
    EXPECT_TRUE(got.empty()) << "delivered during a modal run";
    serve();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(NSDistributedNotificationCenter::objectString(got[0]), "sender");
    const cf::Value& received = *got[0].userInfo;
    EXPECT_TRUE(received.find("disableDisplay")->isBoolean());
    EXPECT_TRUE(received.find("index")->isNumber());
    EXPECT_EQ(*received.find("connected")->asString(), "NO");
    center.removeObserver(token);
}

TEST_F(Services, RemovedOrVanishedObserversAreNotCalledEvenWithDeliveryQueued) {
    auto& center = NSDistributedNotificationCenter::defaultCenter();
    int calls = 0;
    auto token = center.addObserverForName("n", std::nullopt, [&](const ns::NSNotification&) { ++calls; });
    struct Listener {
        int calls = 0;
        void heard(const ns::NSNotification&) { ++calls; }
    };
    auto listener = std::make_shared<Listener>();
    center.addObserver(listener, &Listener::heard, std::string("n"), std::nullopt);
    std::weak_ptr<Listener> weak = listener;
    center.postNotificationName("n", std::nullopt);
    center.removeObserver(token);
    listener.reset();
    serve();
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(weak.expired());
    // Object filters: only the matching object's posts arrive.
    std::vector<std::string> objects;
    auto filtered =
        center.addObserverForName(std::nullopt, std::string("mine"), [&](const ns::NSNotification& n) {
            objects.push_back(NSDistributedNotificationCenter::objectString(n).value_or("(none)"));
        });
    center.postNotificationName("x", std::string("theirs"));
    center.postNotificationName("y", std::string("mine"));
    center.postNotificationName("z", std::nullopt);
    serve();
    EXPECT_EQ(objects, std::vector<std::string>{"mine"});
    center.removeObserver(filtered);
}

TEST_F(Services, AUserInfoThatIsNoDictionaryIsLoggedAndNotPosted) {
    platform::LogCapture capture(true);
    auto& center = NSDistributedNotificationCenter::defaultCenter();
    int calls = 0;
    auto token = center.addObserverForName("bad", std::nullopt, [&](const ns::NSNotification&) { ++calls; });
    center.postNotificationName("bad", std::nullopt, cf::Value(cf::Array{1}), ns::NSUInteger(0));
    serve();
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(capture.contains("is not a dictionary; not posted"));
    center.removeObserver(token);
}

TEST_F(Services, TheWorkspaceLaunchesMappedBundlePathsAndListsThem) {
    platform::LogCapture capture(true);
    std::string app = m_root + "/Applications/Stay.app";
    cf::createDirectories(app + "/Contents/MacOS", 0755);
    cf::writePropertyListFile(cf::Dictionary{{"CFBundleExecutable", "Stay"},
                                             {"CFBundleIdentifier", "com.example.Stay"},
                                             {"CFBundleDisplayName", "Stay Here"}},
                              app + "/Contents/Info.plist", cf::PropertyListFormat::XML);
    std::string script = "#!/bin/sh\nexec tail -f /dev/null\n";
    cf::writeFileAtomically(app + "/Contents/MacOS/Stay", script.data(), script.size(), 0755);

    auto& workspace = ns::NSWorkspace::sharedWorkspace();
    EXPECT_FALSE(workspace.launchApplication("/Applications/Missing.app"));
    EXPECT_TRUE(capture.contains("cannot launch"));
    ASSERT_TRUE(workspace.launchApplication("/Applications/Stay.app"));
    auto running = workspace.runningApplications();
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(running[0]->bundleIdentifier(), "com.example.Stay");
    EXPECT_EQ(running[0]->localizedName(), "Stay Here");
    EXPECT_EQ(running[0]->bundlePath(), app);
    EXPECT_EQ(workspace.runningApplicationsWithBundleIdentifier("com.example.Other").size(), 0u);
}

TEST_F(Services, LoginItemsAppendResolveAndRemoveByIdentity) {
    EXPECT_FALSE(ls::LSSharedFileListCreate(nullptr, "com.apple.LSSharedFileList.FavoriteItems", nullptr));
    auto list = ls::LSSharedFileListCreate(nullptr, ls::kLSSharedFileListSessionLoginItems, nullptr);
    ASSERT_TRUE(list);
    uint32_t seed0 = 0, seed1 = 0;
    EXPECT_TRUE(ls::LSSharedFileListCopySnapshot(list, &seed0).empty());
    auto a = ls::LSSharedFileListInsertItemURL(list, ls::kLSSharedFileListItemLast, std::nullopt, nullptr,
                                               "file:///Applications/A.app/", nullptr, nullptr);
    auto b = ls::LSSharedFileListInsertItemURL(list, ls::kLSSharedFileListItemLast, std::nullopt, nullptr,
                                               "file:///Applications/A.app/", nullptr, nullptr);
    ASSERT_TRUE(a && b);
    EXPECT_NE(ls::LSSharedFileListItemGetID(a), ls::LSSharedFileListItemGetID(b));
    auto items = ls::LSSharedFileListCopySnapshot(list, &seed1);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_NE(seed0, seed1);
    ls::OSStatus status;
    EXPECT_EQ(ls::LSSharedFileListItemResolve(items[1], 0, &status), "file:///Applications/A.app/");
    EXPECT_EQ(status, ls::noErr);
    EXPECT_EQ(ls::LSSharedFileListItemRemove(list, items[0]), ls::noErr);
    EXPECT_EQ(ls::LSSharedFileListItemRemove(list, items[0]), ls::fnfErr);
    EXPECT_EQ(ls::LSSharedFileListItemRemove(list, nullptr), ls::paramErr);
    EXPECT_FALSE(ls::LSSharedFileListItemResolve(nullptr, 0, &status));
    EXPECT_EQ(status, ls::paramErr);
    auto left = ls::LSSharedFileListCopySnapshot(list, nullptr);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(ls::LSSharedFileListItemGetID(left[0]), ls::LSSharedFileListItemGetID(b));
}

TEST_F(Services, TheKextManagerTellsLoadedInstalledAndAbsentApart) {
    auto none = iokit::KextManagerCopyLoadedKextInfo(std::nullopt, std::nullopt);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->count(), 0u);
    struct Loaded : platformd::KextListProvider {
        cf::Dictionary loadedKexts() const override {
            return {{"com.quenby.QNExVideo",
                     cf::Dictionary{{"CFBundleIdentifier", "com.quenby.QNExVideo"},
                                    {"CFBundleVersion", "1.3.0"},
                                    {"OSBundlePath", "/Library/Extensions/QNVideoCard.kext"}}}};
        }
    };
    m_daemon->setKextListProvider(std::make_shared<Loaded>());
    auto info = iokit::KextManagerCopyLoadedKextInfo(
        cf::Value(cf::Array{"com.quenby.QNExVideo", "com.quenby.QNExFramebuffer"}),
        cf::Value(cf::Array{"CFBundleVersion"}));
    ASSERT_TRUE(info);
    ASSERT_EQ(info->count(), 1u);
    EXPECT_EQ(*info->find("com.quenby.QNExVideo"), cf::Value(cf::Dictionary{{"CFBundleVersion", "1.3.0"}}));

    std::string kext = m_root + "/Library/Extensions/QNFramebuffer.kext";
    cf::createDirectories(kext + "/Contents", 0755);
    cf::writePropertyListFile(cf::Dictionary{{"CFBundleIdentifier", "com.quenby.QNExFramebuffer"}},
                              kext + "/Contents/Info.plist", cf::PropertyListFormat::XML);
    EXPECT_EQ(iokit::KextManagerCreateURLForBundleIdentifier(nullptr, "com.quenby.QNExFramebuffer"),
              "file://" + kext + "/");
    EXPECT_FALSE(iokit::KextManagerCreateURLForBundleIdentifier(nullptr, "com.quenby.QNExVideo"));
}

TEST_F(Services, AuthorizationAnswersFromPlatformdAndRunsToolsThroughIt) {
    security::AuthorizationRef ref;
    ASSERT_EQ(
        security::AuthorizationCreate(nullptr, nullptr, security::kAuthorizationFlagInteractionAllowed, &ref),
        security::errAuthorizationSuccess);
    ASSERT_TRUE(ref);
    const char* args[] = {"-u", "alice", "/bin/true", nullptr};
    EXPECT_EQ(security::AuthorizationExecuteWithPrivileges(nullptr, "/usr/bin/sudo", 0, args, nullptr),
              security::errAuthorizationInvalidRef);
    EXPECT_EQ(security::AuthorizationExecuteWithPrivileges(ref, "/usr/bin/missing", 0, args, nullptr),
              security::errAuthorizationToolExecuteFailure);
    FILE* pipe = nullptr;
    EXPECT_EQ(security::AuthorizationExecuteWithPrivileges(ref, "/usr/bin/sudo", 0, args, &pipe),
              security::errAuthorizationSuccess);
    ASSERT_TRUE(pipe);
    char buf[8];
    EXPECT_EQ(std::fread(buf, 1, sizeof buf, pipe), 0u);
    EXPECT_TRUE(std::feof(pipe));
    std::fclose(pipe);

    ASSERT_TRUE(ipc::Connection::shared()->request("auth.set", cf::Dictionary{{"answer", "deny"}}).ok);
    security::AuthorizationRef denied;
    EXPECT_EQ(security::AuthorizationCreate(nullptr, nullptr, 0, &denied), security::errAuthorizationDenied);
    EXPECT_FALSE(denied);
}

TEST_F(Services, SysctlAnswersTheProfileAndPlatformdsProcessTable) {
    char model[64];
    size_t length = 0;
    ASSERT_EQ(bsd::sysctlbyname("hw.model", nullptr, &length, nullptr, 0), 0);
    EXPECT_EQ(length, std::strlen("Macmini7,1") + 1);
    size_t shortLength = 4;
    EXPECT_EQ(bsd::sysctlbyname("hw.model", model, &shortLength, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(shortLength, length);
    length = sizeof model;
    ASSERT_EQ(bsd::sysctlbyname("hw.model", model, &length, nullptr, 0), 0);
    EXPECT_STREQ(model, "Macmini7,1");
    int mib[2] = {bsd::CTL_HW, bsd::HW_MEMSIZE};
    uint64_t memory = 0;
    length = sizeof memory;
    ASSERT_EQ(bsd::sysctl(mib, 2, &memory, &length, nullptr, 0), 0);
    EXPECT_EQ(memory, 8589934592ULL);
    int unknown[2] = {bsd::CTL_HW, 99};
    EXPECT_EQ(bsd::sysctl(unknown, 2, &memory, &length, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    int32_t cpus = 8;
    EXPECT_EQ(bsd::sysctlbyname("hw.ncpu", nullptr, nullptr, &cpus, sizeof cpus), -1);
    EXPECT_EQ(errno, EPERM);

    ASSERT_EQ(bsd::sysctlbyname("kern.proc.all", nullptr, &length, nullptr, 0), 0);
    std::vector<bsd::kinfo_proc> table(length / sizeof(bsd::kinfo_proc) + 4);
    length = table.size() * sizeof(bsd::kinfo_proc);
    ASSERT_EQ(bsd::sysctlbyname("kern.proc.all", table.data(), &length, nullptr, 0), 0);
    table.resize(length / sizeof(bsd::kinfo_proc));
    bool self = false;
    for (const auto& p : table)
        if (p.kp_proc.p_pid == ::getpid()) self = std::string(p.kp_proc.p_comm) == "platform_service";
    EXPECT_TRUE(self) << "this process, its command name cut to 16 bytes";
}

TEST_F(Services, OpenedFilesAndExecutedScriptsAreRecordedAndNothingIsOpenedOrRun) {
    const uint64_t start = m_daemon->events().lastSequence();
    EXPECT_TRUE(ns::NSWorkspace::sharedWorkspace().openFile("/Library/Tessel/Read Me.pdf"));
    cf::Dictionary errorInfo{{"stale", "entry"}};
    ns::NSAppleScript script("tell application \"System Events\" to log out");
    EXPECT_TRUE(script.executeAndReturnError(&errorInfo));
    EXPECT_TRUE(errorInfo.empty());
    auto files = m_daemon->events().entriesAfter(start, "open-file");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(*files[0].fields.at("path").asString(), "/Library/Tessel/Read Me.pdf");
    auto scripts = m_daemon->events().entriesAfter(start, "applescript");
    ASSERT_EQ(scripts.size(), 1u);
    EXPECT_EQ(*scripts[0].fields.at("source").asString(), script.source());
}

} // namespace
