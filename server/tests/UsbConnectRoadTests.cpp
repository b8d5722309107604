// The USB connect road with real processes: the usbmuxd double on a private socket named by
// TESSEL_USBMUXD_SOCKET (which platformd passes on to what it launches), a private platformd
// with both kexts, TesselHelper.app launched by it, and the reference client's library as USB
// device 5. Waits end on events (platformd's event log, the device's snapshot); only the
// server's own log line, which no event announces, is looked for again and again.
#include "foundation/Vocabulary.h"
#include "server/tests/RoadTestSupport.h"
#include "tools/refclient/Client.h"
#include "tools/usbmuxd-double/UsbmuxdDouble.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <unistd.h>

namespace {

using platformd::testing::PlatformdTest;
using namespace server::testing;

const std::string kHelperApp = TESSEL_HELPER_APP;

class UsbConnectRoad : public PlatformdTest {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/usb-road-XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        m_dir = pattern;
        // Set before platformd starts: it hands its environment to the applications it launches.
        ::setenv("TESSEL_USBMUXD_SOCKET", (m_dir + "/usbmuxd").c_str(), 1);
        m_muxd = std::make_unique<usbmuxd_double::UsbmuxdDouble>(m_dir + "/usbmuxd");
        std::string error;
        ASSERT_TRUE(m_muxd->start(&error)) << error;
        PlatformdTest::SetUp();
    }
    void TearDown() override {
        if (m_device) m_device->stop();
        PlatformdTest::TearDown();
        if (m_muxd) m_muxd->stop();
        ::unsetenv("TESSEL_USBMUXD_SOCKET");
        ::rmdir(m_dir.c_str());
    }

    // refclient --usb --usb-device-id 5, registered with the double before it returns.
    refclient::Client& attachDevice() {
        refclient::Config config;
        config.usb = true;
        config.usbDeviceId = 5;
        config.announce = false;
        config.lenient = false;
        m_device = std::make_unique<refclient::Client>(config);
        std::string error;
        EXPECT_TRUE(m_device->start(&error)) << error;
        return *m_device;
    }
    std::string helperLog() const {
        return platformd::testing::readFile(m_platformd->root() + "/var/log/TesselHelper.log");
    }
    // The server writes this line without any event to wait for: it is looked for every 20 ms.
    bool helperLogs(const std::string& line, double seconds = 30) const {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (helperLog().find(line) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    std::vector<std::string> deviceLog(const std::string& source, const std::string& event) const {
        std::vector<std::string> found;
        for (const auto& line : m_device->log())
            if (line.find(" " + source + " " + event) != std::string::npos) found.push_back(line);
        return found;
    }

    std::string m_dir;
    std::unique_ptr<usbmuxd_double::UsbmuxdDouble> m_muxd;
    std::unique_ptr<refclient::Client> m_device;
};

TEST_F(UsbConnectRoad, AnAttachedDeviceIsWokenServedOverUsbAndReleasedByItsDetach) {
    ASSERT_GT(launchHelper(kHelperApp), 0) << helperLog();
    int64_t since = lastSequence();
    auto& device = attachDevice();

    auto report = waitEvent(
        "distributed-post",
        {{"name", foundation::kServerConnectedToDevice}, {"userInfo.DeviceName", "USB Device 5"}}, since, 60);
    ASSERT_TRUE(report) << helperLog();
    EXPECT_EQ(info(*report, "connectionMechanism"), "4");
    ASSERT_TRUE(device.waitFor(
        [](const refclient::Snapshot& s) {
            return s.state == refclient::ClientState::Session && s.resolutions >= 2 &&
                   s.features.size() >= 2 && s.updates >= 1;
        },
        platform::seconds(30)))
        << helperLog();

    auto s = device.snapshot();
    EXPECT_GE(s.invitations, 1u);
    EXPECT_EQ(s.sessions, 1u);
    EXPECT_TRUE(s.protocolErrors.empty()) << s.protocolErrors.front();
    EXPECT_FALSE(deviceLog("usb6005", "invite").empty()) << "the wake-up arrives on 6005";
    auto handshake = deviceLog("usb6004", "handshake-sent");
    ASSERT_EQ(handshake.size(), 1u);
    EXPECT_NE(handshake[0].find("bytes=388"), std::string::npos) << handshake[0];
    auto resolutions = deviceLog("usb6004", "resolution");
    ASSERT_GE(resolutions.size(), 2u);
    EXPECT_NE(resolutions.front().find("req=1"), std::string::npos) << resolutions.front();
    EXPECT_NE(resolutions.back().find("req=0"), std::string::npos) << resolutions.back();
    EXPECT_FALSE(deviceLog("usb6004", "update").empty());
    auto features = deviceLog("usb6005", "feature");
    ASSERT_GE(features.size(), 2u);
    EXPECT_NE(features[0].find("feature=2 op=3"), std::string::npos) << features[0];
    EXPECT_NE(features[1].find("feature=1 op=3"), std::string::npos) << features[1];

    // A datagram of a type the session does not handle, from the device over 6006.
    device.send({4, 0, 0, 0, 0});
    EXPECT_TRUE(helperLogs("Received unhandled message from the client.  Type = 4")) << helperLog();
    EXPECT_FALSE(deviceLog("usb6006", "datagram-sent").empty());

    since = lastSequence();
    device.detachUsb();
    auto gone = waitEvent(
        "distributed-post",
        {{"name", foundation::kServerDisconnectedFromDevice}, {"userInfo.DeviceName", "USB Device 5"}},
        since);
    EXPECT_TRUE(gone) << helperLog();
    EXPECT_EQ(device.waitForExit(), 0);
}

} // namespace
