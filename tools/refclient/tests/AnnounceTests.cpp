// The reference client's Bonjour announcement against a private platformd: registered once its
// sideband port is bound, resolved to its bind address with section 8's TXT keys, "ConnState"
// following the session; a taken name or no platformd ends the run with code 2.
#include "platform/core/Log.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/TXTRecord.h"
#include "platform/ipc/Connection.h"
#include "platform/services/NSNetService.h"
#include "tools/refclient/Client.h"
#include "tools/refclient/SidebandDatagram.h"
#include "tools/refclient/tests/FakeServer.h"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace refclient;
using namespace refclient::test;

namespace {

using platformd::testing::PrivatePlatformd;
using platformd::testing::runProgram;

bool serveUntil(const std::function<bool()>& done, double seconds = 20) {
    const auto deadline = platform::now() + platform::seconds(seconds);
    while (!done()) {
        if (platform::now() >= deadline) return false;
        ns::NSRunLoop::mainRunLoop()->runModeBeforeDate(ns::NSDefaultRunLoopMode,
                                                        platform::now() + platform::seconds(0.2));
    }
    return true;
}

std::map<std::string, std::string> texts(const cf::Bytes& record) {
    std::map<std::string, std::string> out;
    auto dict = ns::dictionaryFromTXTRecordData(record);
    for (const auto& [key, value] : dict ? *dict->asDictionary() : cf::Dictionary{})
        out[key] = std::string(value.asData()->begin(), value.asData()->end());
    return out;
}

struct Watcher : ns::NSNetServiceBrowserDelegate, ns::NSNetServiceDelegate {
    std::shared_ptr<ns::NSNetService> found;
    bool resolved = false;
    std::vector<std::string> connStates;
    void didFindService(const std::shared_ptr<ns::NSNetServiceBrowser>&,
                        const std::shared_ptr<ns::NSNetService>& s, bool) override {
        found = s;
    }
    void netServiceDidResolveAddress(const std::shared_ptr<ns::NSNetService>&) override { resolved = true; }
    void didUpdateTXTRecordData(const std::shared_ptr<ns::NSNetService>&, const cf::Bytes& data) override {
        connStates.push_back(texts(data)["ConnState"]);
    }
};

class RefclientAnnounce : public platformd::testing::PlatformdTest {
  protected:
    FakeServer m_server;
    platform::LogCapture m_quiet{true};
};

TEST_F(RefclientAnnounce, AnnouncesOnceBoundAndConnStateFollowsTheSession) {
    Config config = m_server.configFor("127.0.0.2");
    config.announce = true;
    config.name = "Demo iPad";
    config.deviceId = "demo-1";
    config.battery = 0.5;
    config.txt = {{"Extra", "1"}, {"StylusSupportEnabled", ""}};
    Client client(config);
    std::string error;
    ASSERT_TRUE(client.start(&error)) << error;

    auto watcher = std::make_shared<Watcher>();
    auto browser = ns::NSNetServiceBrowser::create();
    browser->setDelegate(watcher);
    browser->searchForServicesOfType("_qnexvscreen._udp", "local.");
    ASSERT_TRUE(serveUntil([&] { return watcher->found != nullptr; }));
    EXPECT_EQ(watcher->found->name(), "Demo iPad");
    watcher->found->setDelegate(watcher);
    watcher->found->resolveWithTimeout(5);
    ASSERT_TRUE(serveUntil([&] { return watcher->resolved; }));
    EXPECT_EQ(watcher->found->hostName(), "127.0.0.2");
    EXPECT_EQ(watcher->found->port(), client.snapshot().sidebandPort);
    EXPECT_EQ(texts(*watcher->found->TXTRecordData()),
              (std::map<std::string, std::string>{{"BatteryLevel", "0.5"},
                                                  {"ClientProtocolVersionMajorKey", "3"},
                                                  {"ClientProtocolVersionMinorKey", "0"},
                                                  {"ClientProtocolVersionSubKey", "1"},
                                                  {"ConnState", "NotConnected"},
                                                  {"Extra", "1"},
                                                  {"LMPlatformName", "iPad"},
                                                  {"deviceIdentifier", "demo-1"}}));

    // The session: "Connected" from the handshake on, "NotConnected" once it ends.
    watcher->found->startMonitoring();
    m_server.invite("127.0.0.2", client.snapshot().sidebandPort, invitationBytes());
    ASSERT_TRUE(m_server.accept());
    ASSERT_TRUE(serveUntil([&] { return watcher->connStates.size() >= 1; }));
    EXPECT_EQ(watcher->connStates[0], "Connected");
    m_server.closeConnection();
    ASSERT_TRUE(serveUntil([&] { return watcher->connStates.size() >= 2; }));
    EXPECT_EQ(watcher->connStates[1], "NotConnected");

    // The announcement goes with the client.
    client.stop();
}

TEST_F(RefclientAnnounce, ATakenNameEndsTheRunWithCodeTwoSayingSo) {
    auto r = runProgram({PrivatePlatformd::platformctlPath(), "bonjour", "add", "Ref", "--type",
                         "_qnexvscreen._udp", "--port", "6000"});
    ASSERT_EQ(r.status, 0) << r.err;
    Config config = m_server.configFor("127.0.0.2");
    config.announce = true;
    Client client(config);
    std::string error;
    EXPECT_FALSE(client.start(&error));
    EXPECT_EQ(error, "cannot announce \"Ref\": the name is taken");
    EXPECT_EQ(client.snapshot().exitCode, 2);
}

TEST(RefclientWithoutPlatformd, AnnouncingExitsTwoAndNoAnnounceKeepsTodaysBehaviour) {
    ::unsetenv("PLATFORM_ROOT");
    ipc::Connection::resetShared();
    platform::LogCapture quiet(true);
    FakeServer server;
    Config config = server.configFor("127.0.0.3");
    config.announce = true;
    {
        Client client(config);
        std::string error;
        EXPECT_FALSE(client.start(&error));
        EXPECT_NE(error.find("no platformd running: not announced"), std::string::npos) << error;
        EXPECT_EQ(client.snapshot().exitCode, 2);
    }
    config.announce = false;
    Client client(config);
    EXPECT_TRUE(client.start());
    client.stop();

    auto r = runProgram({REFCLIENT_PATH, "--bind-address", "127.0.0.3", "--timeout", "5"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("no platformd running: not announced (\"Ref\""), std::string::npos) << r.err;
}

} // namespace
