// The network connect road with real processes: a private platformd with both kexts,
// TesselHelper.app launched by it, the reference client's library as the device on 127.0.0.2
// (and its neighbours), the host played through platformd's distributed centre. Everything is
// waited for by events (platformd's event log, the device's snapshot), never by sleeping.
#include "foundation/QNBPreferences.h"
#include "foundation/Vocabulary.h"
#include "platform/corefoundation/CFPreferences.h"
#include "server/tests/RoadTestSupport.h"
#include "tools/refclient/Client.h"

#include <arpa/inet.h>
#include <csignal>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using platformd::testing::PlatformdTest;
using platformd::testing::PrivatePlatformd;
using platformd::testing::runProgram;
using namespace server::testing;

const std::string kHelperApp = TESSEL_HELPER_APP;
constexpr char kServiceKeyPrefix[] = "local.~_qnexvscreen._udp~";

cf::Value connectRequest(const std::string& host, const std::string& name = "Ref") {
    return cf::Dictionary{{foundation::kConnectToHostName, host},
                          {foundation::kServiceKey, kServiceKeyPrefix + name},
                          {foundation::kDisplayNameKey, name}};
}

bool hasIPv6Loopback() {
    int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

class NetworkRoad : public PlatformdTest {
  protected:
    std::vector<std::string> platformdArguments() const override { return m_platformdArguments; }

    // Launches TesselHelper.app through platformd; its pid once it finished launching.
    pid_t launchHelper() {
        m_helperPid = server::testing::launchHelper(kHelperApp);
        return m_helperPid;
    }
    // The device on an address; started (its sideband bound) before it returns.
    std::unique_ptr<refclient::Client> device(const std::string& address,
                                              const std::function<void(refclient::Config&)>& tweak = {}) {
        refclient::Config config;
        config.bindAddress = address;
        config.announce = false;
        config.lenient = false;
        if (tweak) tweak(config);
        auto client = std::make_unique<refclient::Client>(config);
        std::string error;
        EXPECT_TRUE(client->start(&error)) << error;
        return client;
    }
    static bool waitFor(refclient::Client& c, const std::function<bool(const refclient::Snapshot&)>& p,
                        double seconds = 30) {
        return c.waitFor(p, platform::seconds(seconds));
    }
    static bool activated(refclient::Client& c) {
        return waitFor(c, [](const refclient::Snapshot& s) {
            return s.state == refclient::ClientState::Session && s.resolutions >= 2 && s.features.size() >= 2;
        });
    }
    // Invites a device as the host does and waits for its report.
    std::optional<cf::Value> invite(refclient::Client& c, const std::string& host,
                                    const std::string& name = "Ref") {
        int64_t since = lastSequence();
        post(foundation::kConnectServerToHost, connectRequest(host, name));
        auto report =
            waitEvent("distributed-post",
                      {{"name", foundation::kServerConnectedToDevice}, {"userInfo.DeviceName", host}}, since);
        if (!report || !activated(c)) return std::nullopt;
        return report;
    }
    std::string helperLog() const {
        return platformd::testing::readFile(m_platformd->root() + "/var/log/TesselHelper.log");
    }

    std::vector<std::string> m_platformdArguments;
    pid_t m_helperPid = 0;
};

TEST_F(NetworkRoad, AnInvitedDeviceConnectsIsReportedShownAndAnswered) {
    ASSERT_GT(launchHelper(), 0) << helperLog();
    // An accessory application that finished launching, as platformd's registry lists it.
    auto apps = runProgram({PrivatePlatformd::platformctlPath(), "apps"});
    EXPECT_NE(apps.out.find("\tcom.quenby.TesselHelper\tTesselHelper\t"), std::string::npos) << apps.out;
    EXPECT_NE(apps.out.find("\taccessory\tfinished-launching\n"), std::string::npos) << apps.out;
    auto a = device("127.0.0.2");
    auto report = invite(*a, "127.0.0.2");
    ASSERT_TRUE(report) << helperLog();
    auto s = a->snapshot();
    EXPECT_EQ(s.invitations, 1u) << "an IPv4 literal has no IPv6 address: one invitation, no wait";
    EXPECT_EQ(s.sessions, 1u);
    EXPECT_TRUE(s.protocolErrors.empty()) << s.protocolErrors.front();
    EXPECT_GE(s.systemInformationCount, 1u);
    EXPECT_TRUE(s.systemInformationOk);
    // 0x10 with request 1, then 0x10 with 0; keyboard then touch requested.
    bool firstHadRequest1 = false, lastHadZero = false, handshake388 = false;
    std::vector<std::string> features;
    for (const auto& line : a->log()) {
        if (line.find(" tcp handshake-sent bytes=388") != std::string::npos) handshake388 = true;
        if (line.find(" tcp resolution ") != std::string::npos) {
            if (!firstHadRequest1) firstHadRequest1 = line.find("req=1") != std::string::npos;
            lastHadZero = line.find("req=0") != std::string::npos;
        }
        if (line.find(" udp feature ") != std::string::npos)
            features.push_back(line.substr(line.find("feature=")));
    }
    EXPECT_TRUE(handshake388);
    EXPECT_TRUE(firstHadRequest1);
    EXPECT_TRUE(lastHadZero);
    ASSERT_GE(features.size(), 2u);
    EXPECT_EQ(features[0], "feature=2 op=3");
    EXPECT_EQ(features[1], "feature=1 op=3");

    EXPECT_EQ(info(*report, "DeviceAddress"), "::ffff:127.0.0.2");
    EXPECT_EQ(info(*report, "displayName"), "Ref");
    EXPECT_EQ(info(*report, "LMPlatformName"), "iPad");
    EXPECT_EQ(info(*report, "connectionMechanism"), "3");
    EXPECT_EQ(info(*report, "addressIdentifier"), "qnbAddressStringKey~127.0.0.2");

    auto displays = virtualDisplays();
    ASSERT_EQ(displays.size(), 1u);
    EXPECT_NE(displays[0].find("serial=0x99730000"), std::string::npos) << displays[0];

    int64_t since = lastSequence();
    post(foundation::kDisplayHostingQuery, cf::Value(cf::Dictionary{{"DeviceName", "127.0.0.2"}}));
    auto answer = waitEvent("distributed-post", {{"name", foundation::kDisplayHostingResponse}}, since);
    ASSERT_TRUE(answer);
    EXPECT_EQ(info(*answer, foundation::kDisplayHostingResponseKey), "YES");
    EXPECT_EQ(info(*answer, foundation::kDisplayHostingConnectedKey), "YES");

    // Keyboard input switched off in the shared preferences: the device is asked to stop it.
    cf::CFPreferencesSetAppValue(foundation::kEnableKeyboardInputOption, cf::Value(false),
                                 "com.quenby.TesselHost2");
    cf::CFPreferencesAppSynchronize("com.quenby.TesselHost2");
    post(foundation::kPrefsDidChangeNotification);
    EXPECT_TRUE(waitFor(*a, [](const refclient::Snapshot& s) {
        auto k = s.features.find(2);
        return k != s.features.end() && k->second == 4;
    }));
}

TEST_F(NetworkRoad, DisconnectingOneDeviceByItsServiceKeyLeavesTheOther) {
    ASSERT_GT(launchHelper(), 0) << helperLog();
    auto a = device("127.0.0.2");
    ASSERT_TRUE(invite(*a, "127.0.0.2", "A")) << helperLog();
    auto b = device("127.0.0.3");
    ASSERT_TRUE(invite(*b, "127.0.0.3", "B")) << helperLog();
    auto displays = virtualDisplays();
    ASSERT_EQ(displays.size(), 2u);
    EXPECT_NE(displays[1].find("serial=0x99730001"), std::string::npos) << displays[1];

    int64_t since = lastSequence();
    post(foundation::kDisconnectCurrentServerFromHost,
         cf::Value(cf::Dictionary{{foundation::kServiceKey, std::string(kServiceKeyPrefix) + "A"}}));
    auto gone = waitEvent("distributed-post", {{"name", foundation::kServerDisconnectedFromDevice}}, since);
    ASSERT_TRUE(gone);
    EXPECT_EQ(info(*gone, "DeviceName"), "127.0.0.2");
    EXPECT_TRUE(
        waitFor(*a, [](const refclient::Snapshot& s) { return s.state != refclient::ClientState::Session; }));
    auto left = virtualDisplays();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_NE(left[0].find("serial=0x99730001"), std::string::npos);
    EXPECT_EQ(b->snapshot().state, refclient::ClientState::Session);
}

TEST_F(NetworkRoad, AFifthDeviceIsToldBusy) {
    ASSERT_GT(launchHelper(), 0) << helperLog();
    std::vector<std::unique_ptr<refclient::Client>> devices;
    for (int i = 2; i <= 5; ++i) {
        std::string address = "127.0.0." + std::to_string(i);
        devices.push_back(device(address));
        ASSERT_TRUE(invite(*devices.back(), address, "D" + std::to_string(i))) << helperLog();
    }
    auto fifth = device("127.0.0.6", [](refclient::Config& c) {
        c.connectHost = "127.0.0.1";
        c.once = true;
    });
    EXPECT_TRUE(waitFor(*fifth, [](const refclient::Snapshot& s) { return s.busyId.has_value(); }));
    EXPECT_EQ(fifth->snapshot().busyId, 0u);
    EXPECT_EQ(fifth->waitForExit(), 4);
}

TEST_F(NetworkRoad, AHandshakeCutShortLeavesNoDisplayAndAReconnectOutlivesItsOldConnection) {
    ASSERT_GT(launchHelper(), 0) << helperLog();
    auto cut = device("127.0.0.2", [](refclient::Config& c) {
        c.handshakeCut = 50;
        c.once = true;
    });
    post(foundation::kConnectServerToHost, connectRequest("127.0.0.2"));
    EXPECT_TRUE(waitFor(*cut, [](const refclient::Snapshot& s) { return s.exitCode.has_value(); }));
    EXPECT_TRUE(virtualDisplays().empty());

    // Silent half a second after it connected, then connecting again from the same address with
    // the old socket kept open.
    auto again = device("127.0.0.3", [](refclient::Config& c) {
        c.endMode = refclient::EndMode::Silent;
        c.endAfter = 0.5;
        c.reconnectAfterSilent = 0.5;
    });
    ASSERT_TRUE(invite(*again, "127.0.0.3")) << helperLog();
    EXPECT_TRUE(waitFor(*again, [](const refclient::Snapshot& s) {
        return s.sessions >= 2 && s.state == refclient::ClientState::Session && s.resolutions >= 3;
    })) << helperLog();
    EXPECT_EQ(virtualDisplays().size(), 1u);
    // The new connection is still served once the old one is gone: a feature request reaches it.
    cf::CFPreferencesSetAppValue(foundation::kEnableTouchDisplayOption, cf::Value(false),
                                 "com.quenby.TesselHost2");
    cf::CFPreferencesAppSynchronize("com.quenby.TesselHost2");
    post(foundation::kPrefsDidChangeNotification);
    EXPECT_TRUE(waitFor(*again,
                        [](const refclient::Snapshot& s) {
                            auto touch = s.features.find(1);
                            return touch != s.features.end() && touch->second == 4;
                        }))
        << [&] {
               std::string all;
               for (const auto& line : again->log())
                   all += line + "\n";
               return all + helperLog();
           }();
    EXPECT_EQ(again->snapshot().state, refclient::ClientState::Session);
}

TEST_F(NetworkRoad, TerminationReleasesEverythingAndExitsZero) {
    ASSERT_GT(launchHelper(), 0) << helperLog();
    auto a = device("127.0.0.2");
    ASSERT_TRUE(invite(*a, "127.0.0.2")) << helperLog();
    int64_t since = lastSequence();
    post(foundation::kTerminateScreenServer);
    auto exited = waitEvent("exit", {{"bundleIdentifier", kHelperId}}, since);
    ASSERT_TRUE(exited);
    EXPECT_EQ(exited->find("status")->integerValue(), 0);
    EXPECT_EQ(exited->find("signal")->integerValue(), 0);
    EXPECT_TRUE(virtualDisplays().empty());
}

TEST_F(NetworkRoad, AKilledServersDisplayIsReleasedByPlatformd) {
    ASSERT_GT(launchHelper(), 0) << helperLog();
    auto a = device("127.0.0.2");
    ASSERT_TRUE(invite(*a, "127.0.0.2")) << helperLog();
    int64_t since = lastSequence();
    ::kill(m_helperPid, SIGKILL);
    ASSERT_TRUE(waitEvent("exit", {{"bundleIdentifier", kHelperId}}, since));
    ASSERT_TRUE(waitEvent("client-gone", {{"pid", static_cast<int64_t>(m_helperPid)}}, since));
    EXPECT_TRUE(virtualDisplays().empty());
}

TEST_F(NetworkRoad, APortAlreadyTakenIsLoggedAndQueriesAreStillAnswered) {
    int blocker = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(blocker, 0);
    int off = 0;
    ::setsockopt(blocker, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(6001);
    int on = 1;
    ::setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on); // earlier tests' connections linger
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    ASSERT_GT(launchHelper(), 0) << helperLog();
    EXPECT_NE(helperLog().find("Error starting screen server mediator: "), std::string::npos) << helperLog();
    int64_t since = lastSequence();
    post(foundation::kDisplayHostingQuery, cf::Value(cf::Dictionary{{"DeviceName", "127.0.0.2"}}));
    auto answer = waitEvent("distributed-post", {{"name", foundation::kDisplayHostingResponse}}, since);
    ASSERT_TRUE(answer);
    EXPECT_EQ(info(*answer, foundation::kDisplayHostingResponseKey), "NO");
    ::close(blocker);
}

TEST_F(NetworkRoad, AnInviteToTheIPv6LoopbackNeedsNoIPv4Invite) {
    if (!hasIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address";
    ASSERT_GT(launchHelper(), 0) << helperLog();
    auto a = device("::1");
    auto report = invite(*a, "::1");
    ASSERT_TRUE(report) << helperLog();
    EXPECT_EQ(a->snapshot().invitations, 1u);
}

class NetworkRoadWithoutDrivers : public NetworkRoad {
  protected:
    std::vector<std::string> platformdArguments() const override { return {"--kexts", "none"}; }
};

TEST_F(NetworkRoadWithoutDrivers, TheServerSaysWhyAndExitsZero) {
    int64_t since = lastSequence();
    ASSERT_TRUE(ns::NSWorkspace::sharedWorkspace().launchApplication(kHelperApp));
    auto exited = waitEvent("exit", {{"bundleIdentifier", kHelperId}}, since, 60);
    ASSERT_TRUE(exited);
    EXPECT_EQ(exited->find("status")->integerValue(), 0);
    EXPECT_NE(helperLog().find("Tessel Server exiting because no driver installed."), std::string::npos)
        << helperLog();
    EXPECT_FALSE(waitEvent("finished-launching", {{"bundleIdentifier", kHelperId}}, since, 0.1));
}

} // namespace
