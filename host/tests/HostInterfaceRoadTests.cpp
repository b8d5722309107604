// Tessel Host's interface operated as a person would, through `platformctl ui`, under a private
// platformd with real processes: the status item opens the popover, the listing's row reveals and
// enables its Connect button under the mouse, a press connects the reference client (shown as
// "Connecting..." while the client is stopped, then "Disconnect"), Quit ends the host and its
// screen server, and without drivers the popover says so and its installer button opens the page.
// Over the usbmuxd double, a device on the cable is listed connected and the person can end it.
#include "platform/corefoundation/CFPreferences.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/ctl/tests/UITestSupport.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/services/NSWorkspace.h"
#include "tools/usbmuxd-double/UsbmuxdDouble.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

namespace {

constexpr char kApp[] = "Tessel Host";
constexpr char kHostId[] = "com.quenby.TesselHost2";
constexpr char kHelperId[] = "com.quenby.TesselHelper";
constexpr char kRow[] = "popover/item \"Road iPad\"";
constexpr char kConnect[] = "popover/item \"Road iPad\"/#connectButton";
constexpr char kPrefsDidChange[] = "com.quenby.Tessel.TSEPrefsDidChangeNotification";

class HostInterfaceRoad : public uitest::UIAppTest {
  protected:
    HostInterfaceRoad() : UIAppTest(kApp) {}
    std::vector<std::string> platformdArguments() const override { return m_platformdArguments; }

    std::string hostLog() const {
        return platformd::testing::readFile(m_platformd->root() + "/var/log/Tessel Host.log");
    }
    std::string clientLog() const {
        return platformd::testing::readFile(m_platformd->root() + "/road-ipad.log");
    }
    std::string diagnostics() const { return m_err.str() + "\n--- host ---\n" + hostLog(); }

    // Installs the build's bundle and launches it; the host's pid once it finished launching.
    pid_t launchHost() {
        // The screen server's Retina "Performance Tip" was dismissed for good on an earlier day:
        // the road turns Retina on and must not find the tip over the preferences window.
        cf::CFPreferencesSetAppValue("ShouldSupressRetinaPerformanceAlert", cf::Value(true), kHelperId);
        cf::CFPreferencesAppSynchronize(kHelperId);
        const std::string installed = m_platformd->root() + "/Applications/Tessel Host.app";
        std::filesystem::copy(TESSEL_HOST_APP, installed, std::filesystem::copy_options::recursive);
        m_start = platformd::testing::lastEventSequence();
        if (!ns::NSWorkspace::sharedWorkspace().launchApplication("/Applications/Tessel Host.app")) return 0;
        auto launched = platformd::testing::waitForEvent("finished-launching",
                                                         {{"bundleIdentifier", kHostId}}, 60, m_start);
        const cf::Value* pid = launched ? launched->find("pid") : nullptr;
        return pid ? static_cast<pid_t>(pid->integerValue()) : 0;
    }
    // The host launched and its screen server (TesselHelper) up.
    bool launchHostAndServer() {
        return launchHost() > 0 && platformd::testing::waitForEvent(
                                       "finished-launching", {{"bundleIdentifier", kHelperId}}, 60, m_start);
    }
    // The reference client announcing itself as "Road iPad" on 127.0.0.2, a landscape Retina
    // tablet as an iPad tells, its records logged.
    void startClient() {
        ASSERT_TRUE(m_client.start({REFCLIENT_PATH, "--name", "Road iPad", "--device-id", "road-1",
                                    "--bind-address", "127.0.0.2", "--caps", "retinaFlags=6", "--log",
                                    m_platformd->root() + "/road-ipad.log"},
                                   m_platformd->root() + "/road-ipad.out"));
    }
    // The update feed the host's SUFeedURL names, inside the root: one version on offer.
    void offerUpdate(const std::string& version, const std::string& display) {
        const std::string folder = m_platformd->root() + "/Library/Application Support/Quenby/Tessel";
        std::filesystem::create_directories(folder);
        ASSERT_TRUE(cf::writePropertyListFile(
            cf::Value(cf::Array{cf::Value(cf::Dictionary{{"version", cf::Value(version)},
                                                         {"displayVersionString", cf::Value(display)}})}),
            folder + "/Appcast.plist", cf::PropertyListFormat::XML));
    }
    // A preference of the host (or, for the window server, of any user on this host), read
    // afresh from disk.
    std::string pref(const std::string& key, const std::string& domain = kHostId, bool windowServer = false) {
        return readPreference(domain, key, windowServer);
    }
    // How many resolution notices the client logged so far.
    size_t clientResolutions() const {
        const std::string log = clientLog();
        size_t count = 0;
        for (size_t at = log.find(" resolution "); at != std::string::npos;
             at = log.find(" resolution ", at + 1))
            ++count;
        return count;
    }
    bool waitForClientResolutions(size_t count, double seconds = 30) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (clientResolutions() < count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50)); // polling the client's log file
        }
        return true;
    }
    // Whether the Tessel display's current mode, as `displays --modes` lists it, is at scale 2.
    static bool virtualDisplayAtScale2(const std::string& listing) {
        const size_t display = listing.find("name=\"Tessel\"");
        if (display == std::string::npos) return false;
        const size_t facade = listing.find("\n  facade ", display);
        const size_t next = listing.find("\nid=", display);
        if (facade == std::string::npos || (next != std::string::npos && next < facade)) return false;
        const size_t end = listing.find('\n', facade + 1);
        return listing.substr(facade, end - facade).find(" scale=2") != std::string::npos;
    }
    bool waitForClientLog(const std::string& text, double seconds = 30) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (clientLog().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50)); // polling the client's log file
        }
        return true;
    }
    // The popover, opened from the status item.
    void openPopover() {
        ASSERT_EQ(run({"ui", "wait", kApp, "statusitem", "--timeout", "60"}), 0) << diagnostics();
        ASSERT_EQ(run({"ui", "press", kApp, "statusitem"}), 0) << diagnostics();
    }

    std::vector<std::string> m_platformdArguments;
    platformd::testing::ChildProcess m_client;
    int64_t m_start = 0;
};

TEST_F(HostInterfaceRoad, TheRowConnectsUnderTheMouseAndQuitEndsHostAndServer) {
    ASSERT_TRUE(launchHostAndServer()) << hostLog();
    startClient();
    openPopover();

    // 1. The row is listed with its button hidden and disabled: a press is refused until the
    // mouse is over the row.
    ASSERT_EQ(run({"ui", "wait", kApp, kRow, "--timeout", "60"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, kConnect, "--disabled"}), 0) << diagnostics();
    EXPECT_EQ(run({"ui", "press", kApp, kConnect}), 1);
    ASSERT_EQ(run({"ui", "hover", kApp, kRow}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, kConnect, "--enabled"}), 0) << diagnostics();

    // 2. With the client stopped the row shows the attempt; let go, it connects and gets frames.
    m_client.signal(SIGSTOP);
    ASSERT_EQ(run({"ui", "press", kApp, kConnect}), 0) << diagnostics();
    EXPECT_EQ(run({"ui", "wait", kApp, kConnect, "--title", "Connecting..."}), 0) << diagnostics();
    m_client.signal(SIGCONT);
    ASSERT_EQ(run({"ui", "wait", kApp, kConnect, "--title", "Disconnect", "--timeout", "60"}), 0)
        << diagnostics() << clientLog();
    EXPECT_TRUE(waitForClientLog(" rect ", 60)) << clientLog();
    EXPECT_NE(clientLog().find("handshake-sent"), std::string::npos) << clientLog();
    const std::string png = ::testing::TempDir() + "HostInterfaceRoad-popover.png";
    ASSERT_EQ(run({"ui", "snapshot", kApp, "popover", "--png", png}), 0) << diagnostics();
    EXPECT_NE(m_out.str().find("320x400"), std::string::npos) << m_out.str();

    // 3. Preferences from the host's menu: Presentation Mode reaches the connected client; the
    // HiDPI switch's log-out alert cancelled leaves everything as it was.
    ASSERT_EQ(run({"ui", "menu", kApp, "#prefsButton", "--choose", "Preferences..."}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, "#presentationModeSwitch"}), 0) << diagnostics();
    // Check Now shows what the feed offers, as an updater's window does, until dismissed.
    offerUpdate("2", "2.1");
    ASSERT_EQ(run({"ui", "press", kApp, "#checkNowButton"}), 0) << diagnostics();
    const char* found = "window \"A new version of Tessel Host is available!\"";
    ASSERT_EQ(run({"ui", "wait", kApp,
                   std::string(found) + "/\"Tessel Host 2.1 is now available\u2014you have 2.0.\""}),
              0)
        << diagnostics();
    ASSERT_EQ(run({"ui", "press", kApp, std::string(found) + "/button \"OK\""}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, found, "--gone"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "press", kApp, "#presentationModeSwitch"}), 0) << diagnostics();
    EXPECT_TRUE(waitForClientLog("feature feature=2 op=4")) << clientLog();
    const std::string retinaBefore = pref("enableRetinaDisplay");
    ASSERT_EQ(run({"ui", "tree", kApp, "#useRetinaSwitch", "--depth", "0"}), 0) << diagnostics();
    const std::string retinaSwitchBefore = m_out.str();
    const size_t resolutionsBefore = clientResolutions();
    const int64_t beforeHiDPI = platformd::testing::lastEventSequence();
    ASSERT_EQ(run({"ui", "press", kApp, "#useHiDPISwitch"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, "window \"Logout required\""}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "press", kApp, "window \"Logout required\"/button \"Cancel\""}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, "#useHiDPISwitch", "--value", "0"}), 0) << diagnostics();
    EXPECT_TRUE(
        platformd::testing::waitForEvent("distributed-post", {{"name", kPrefsDidChange}}, 30, beforeHiDPI));
    EXPECT_EQ(pref("DisplayResolutionEnabled"), "NO");
    EXPECT_EQ(pref("enableRetinaDisplay"), retinaBefore);
    ASSERT_EQ(run({"ui", "tree", kApp, "#useRetinaSwitch", "--depth", "0"}), 0) << diagnostics();
    EXPECT_EQ(m_out.str(), retinaSwitchBefore);
    EXPECT_TRUE(platformd::testing::eventsAfter(beforeHiDPI, "logout-requested").empty());

    // Allowed to run the tool, Log Out Now turns HiDPI on for the host and the window server
    // and the screen server activates the display again.
    EXPECT_EQ(clientResolutions(), resolutionsBefore) << clientLog();
    ASSERT_EQ(run({"auth", "allow"}), 0) << diagnostics();
    const int64_t beforeLogOut = platformd::testing::lastEventSequence();
    ASSERT_EQ(run({"ui", "press", kApp, "#useHiDPISwitch"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "press", kApp, "window \"Logout required\"/button \"Log Out Now\""}), 0)
        << diagnostics();
    auto logout = platformd::testing::waitForEvent("logout-requested", {}, 30, beforeLogOut);
    ASSERT_TRUE(logout) << diagnostics();
    const cf::Value* tool = logout->find("tool");
    ASSERT_TRUE(tool && tool->asString());
    EXPECT_EQ(*tool->asString(), "com.quenby.displayresolutionson");
    EXPECT_TRUE(platformd::testing::waitForEvent("tool-exit", {}, 30, beforeLogOut));
    EXPECT_TRUE(
        platformd::testing::waitForEvent("distributed-post", {{"name", kPrefsDidChange}}, 30, beforeLogOut));
    EXPECT_EQ(pref("DisplayResolutionEnabled"), "YES");
    EXPECT_EQ(pref("enableRetinaDisplay"), "YES");
    EXPECT_EQ(pref("DisplayResolutionEnabled", "com.apple.windowserver", true), "YES");
    EXPECT_TRUE(waitForClientResolutions(resolutionsBefore + 1, 60)) << clientLog();

    // Off and on again with the window server already on: no alert.
    for (const char* value : {"0", "1"}) {
        const int64_t beforePress = platformd::testing::lastEventSequence();
        ASSERT_EQ(run({"ui", "press", kApp, "#useHiDPISwitch"}), 0) << diagnostics();
        ASSERT_EQ(run({"ui", "wait", kApp, "#useHiDPISwitch", "--value", value}), 0) << diagnostics();
        // The preferences are announced after the alert would have been answered.
        EXPECT_TRUE(platformd::testing::waitForEvent("distributed-post", {{"name", kPrefsDidChange}}, 30,
                                                     beforePress));
        EXPECT_EQ(run({"ui", "tree", kApp, "window \"Logout required\"", "--depth", "0"}), 1) << m_out.str();
    }
    EXPECT_EQ(pref("DisplayResolutionEnabled"), "YES");
    ASSERT_EQ(run({"displays", "--modes"}), 0) << diagnostics();
    EXPECT_TRUE(virtualDisplayAtScale2(m_out.str())) << m_out.str();

    // 4. The Stylus pane: a keystroke recorded for the bottom barrel button.
    ASSERT_EQ(run({"ui", "press", kApp, "button \"Stylus\""}), 0) << diagnostics();
    const int64_t beforeKey = platformd::testing::lastEventSequence();
    ASSERT_EQ(run({"ui", "menu", kApp, "#button1Action", "--choose", "Keystroke…"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, "#button1ShortCutEditor", "--enabled"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "click", kApp, "#button1ShortCutEditor"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "key", kApp, "cmd+shift+k"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, "#button1ShortCutEditor/\"⇧⌘ K\""}), 0) << diagnostics();
    // What the host stored is on disk once it announced its preferences.
    EXPECT_TRUE(
        platformd::testing::waitForEvent("distributed-post", {{"name", kPrefsDidChange}}, 30, beforeKey));
    EXPECT_EQ(pref("buttonShortcutKeyCode4"), "40");
    EXPECT_EQ(pref("buttonShortcutCharacter4"), "75");

    // Check For Updates with nothing newer on offer: the person is told so.
    offerUpdate("1", "2.0");
    ASSERT_EQ(run({"ui", "menu", kApp, "#prefsButton", "--choose", "Check For Updates..."}), 0)
        << diagnostics();
    const char* upToDate = "window \"You\u2019re up-to-date!\"";
    ASSERT_EQ(
        run({"ui", "wait", kApp,
             std::string(upToDate) + "/\"Tessel Host 2.0 is currently the newest version available.\""}),
        0)
        << diagnostics();
    ASSERT_EQ(run({"ui", "press", kApp, std::string(upToDate) + "/button \"OK\""}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, upToDate, "--gone"}), 0) << diagnostics();

    // The menu's About item shows the standard panel, named after the host, with its version.
    ASSERT_EQ(run({"ui", "menu", kApp, "#prefsButton", "--choose", "About Tessel..."}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, "window \"About Tessel Host\"/\"Version 2.0\""}), 0) << diagnostics();
    EXPECT_EQ(hostLog().find("nobody answers"), std::string::npos) << hostLog();

    // 6. Quit from the host's menu: the host exits 0 and its screen server is gone.
    const int64_t beforeQuit = platformd::testing::lastEventSequence();
    ASSERT_EQ(run({"ui", "menu", kApp, "#prefsButton", "--choose", "Quit"}), 0) << diagnostics();
    auto exited = platformd::testing::waitForEvent("exit", {{"bundleIdentifier", kHostId}}, 60, beforeQuit);
    ASSERT_TRUE(exited) << hostLog();
    EXPECT_EQ(exited->find("status")->integerValue(), 0);
    EXPECT_TRUE(platformd::testing::waitForEvent("exit", {{"bundleIdentifier", kHelperId}}, 60, m_start));
}

TEST_F(HostInterfaceRoad, AnAddressTypedInTheConnectToOtherPanelConnectsThatDevice) {
    ASSERT_TRUE(launchHostAndServer()) << hostLog();
    // 5. A device that does not announce itself, reached by its address.
    platformd::testing::ChildProcess other;
    const std::string otherLog = m_platformd->root() + "/other-ipad.log";
    ASSERT_TRUE(other.start({REFCLIENT_PATH, "--name", "Other iPad", "--device-id", "other-1",
                             "--bind-address", "127.0.0.3", "--no-announce", "--log", otherLog},
                            m_platformd->root() + "/other-ipad.out"));
    openPopover();
    const char* panel = "window \"Connect to Other Device\"";
    // The popover stays open while the panel shows; opened again if it closed meanwhile.
    auto ensurePopover = [&] {
        if (run({"ui", "wait", kApp, "popover", "--timeout", "1"}) != 0) {
            ASSERT_EQ(run({"ui", "press", kApp, "statusitem"}), 0) << diagnostics();
        }
        ASSERT_EQ(run({"ui", "wait", kApp, "popover"}), 0) << diagnostics();
    };
    auto typeAndCheck = [&] {
        ASSERT_EQ(run({"ui", "set", kApp, "#otherAddressTextField", "192.0.2"}), 0) << diagnostics();
        ASSERT_EQ(run({"ui", "wait", kApp, "#otherOKButton", "--disabled"}), 0) << diagnostics();
        ASSERT_EQ(run({"ui", "set", kApp, "#otherAddressTextField", "127.0.0.3"}), 0) << diagnostics();
        ASSERT_EQ(run({"ui", "wait", kApp, "#otherOKButton", "--enabled"}), 0) << diagnostics();
    };
    ASSERT_EQ(run({"ui", "menu", kApp, "#prefsButton", "--choose", "Connect To Other..."}), 0)
        << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, panel}), 0) << diagnostics();
    typeAndCheck();
    // Cancelled and opened again, the panel still follows its field.
    ASSERT_EQ(run({"ui", "press", kApp, "#otherCancelButton"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, panel, "--gone"}), 0) << diagnostics();
    ensurePopover();
    ASSERT_EQ(run({"ui", "menu", kApp, "#prefsButton", "--choose", "Connect To Other..."}), 0)
        << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, panel}), 0) << diagnostics();
    typeAndCheck();

    ASSERT_EQ(run({"ui", "press", kApp, "#otherOKButton"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, panel, "--gone"}), 0) << diagnostics();
    ensurePopover();
    ASSERT_EQ(run({"ui", "wait", kApp, "popover/item/button \"Disconnect\"", "--timeout", "60"}), 0)
        << diagnostics() << platformd::testing::readFile(otherLog);
    EXPECT_NE(platformd::testing::readFile(otherLog).find("handshake-sent"), std::string::npos);
}

// The usbmuxd double on a private socket, named before platformd starts: the programs it
// launches take its environment. The reference client's program plays device 5 on the cable.
class HostInterfaceRoadOverUsb : public HostInterfaceRoad {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/usb-ui-XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        m_usbDir = pattern;
        ::setenv("TESSEL_USBMUXD_SOCKET", (m_usbDir + "/usbmuxd").c_str(), 1);
        m_muxd = std::make_unique<usbmuxd_double::UsbmuxdDouble>(m_usbDir + "/usbmuxd");
        std::string error;
        ASSERT_TRUE(m_muxd->start(&error)) << error;
        HostInterfaceRoad::SetUp();
    }
    void TearDown() override {
        m_device.reset();
        HostInterfaceRoad::TearDown();
        if (m_muxd) m_muxd->stop();
        ::unsetenv("TESSEL_USBMUXD_SOCKET");
        std::filesystem::remove_all(m_usbDir);
    }
    // Plugs the device in (again): a new registration with the double is a new attach.
    void attachDevice() {
        m_device = std::make_unique<platformd::testing::ChildProcess>();
        ASSERT_TRUE(m_device->start({REFCLIENT_PATH, "--usb", "--usb-device-id", "5", "--name", "USB iPad",
                                     "--device-id", "usb-5", "--log", m_platformd->root() + "/usb-ipad.log"},
                                    m_platformd->root() + "/usb-ipad.out"));
    }
    void detachDevice() {
        m_device->signal(SIGTERM);
        EXPECT_TRUE(m_device->wait(30));
        m_device.reset();
    }
    std::optional<cf::Value> waitForReport(const char* name, int64_t since, double seconds = 60) {
        return platformd::testing::waitForEvent(
            "distributed-post", {{"name", name}, {"userInfo.DeviceName", "USB Device 5"}}, seconds, since);
    }
    // The popover, opened again when it closed meanwhile.
    void ensurePopover() {
        if (run({"ui", "wait", kApp, "popover", "--timeout", "1"}) != 0) {
            ASSERT_EQ(run({"ui", "press", kApp, "statusitem"}), 0) << diagnostics();
        }
        ASSERT_EQ(run({"ui", "wait", kApp, "popover"}), 0) << diagnostics();
    }
    std::string deviceLog() const {
        return platformd::testing::readFile(m_platformd->root() + "/usb-ipad.log");
    }

    std::string m_usbDir;
    std::unique_ptr<usbmuxd_double::UsbmuxdDouble> m_muxd;
    std::unique_ptr<platformd::testing::ChildProcess> m_device;
};

constexpr char kConnected[] = "com.quenby.Tessel.ServerConnectedToDevice";
constexpr char kDisconnected[] = "com.quenby.Tessel.ServerDisconnectedFromDevice";

TEST_F(HostInterfaceRoadOverUsb, AUsbDeviceIsListedConnectedAndTheRowAndDisconnectAllEndItsSession) {
    const char* row = "popover/item \"USB iPad\"";
    const std::string button = std::string(row) + "/#connectButton";
    ASSERT_TRUE(launchHostAndServer()) << hostLog();
    int64_t since = platformd::testing::lastEventSequence();
    attachDevice();
    ASSERT_TRUE(waitForReport(kConnected, since)) << diagnostics() << deviceLog();
    openPopover();

    // 1. Listed connected: under the mouse the row offers its Disconnect, and the menu's
    // Disconnect All is enabled.
    ASSERT_EQ(run({"ui", "wait", kApp, row, "--timeout", "60"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "hover", kApp, row}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, button, "--title", "Disconnect"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, button, "--enabled"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "menu", kApp, "#prefsButton"}), 0) << diagnostics();
    EXPECT_NE(m_out.str().find("menuitem \"Disconnect All\"\n"), std::string::npos) << m_out.str();
    ASSERT_EQ(run({"ui", "press", kApp, "menu", "--action", "AXCancel"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, "menu", "--gone"}), 0) << diagnostics();

    // 2. Its Disconnect ends the session, and the session stays ended while the device stays
    // on the cable: no wake-up for more than two of the server's 2 s rounds.
    ensurePopover();
    ASSERT_EQ(run({"ui", "hover", kApp, row}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, button, "--enabled"}), 0) << diagnostics();
    since = platformd::testing::lastEventSequence();
    ASSERT_EQ(run({"ui", "press", kApp, button}), 0) << diagnostics();
    ASSERT_TRUE(waitForReport(kDisconnected, since)) << diagnostics() << deviceLog();
    ASSERT_EQ(run({"ui", "wait", kApp, row, "--gone"}), 0) << diagnostics();
    EXPECT_FALSE(waitForReport(kConnected, since, 5)) << "woken again: " << deviceLog();

    // 3. Plugged in again, it is connected again; Disconnect All ends it.
    detachDevice();
    since = platformd::testing::lastEventSequence();
    attachDevice();
    ASSERT_TRUE(waitForReport(kConnected, since)) << diagnostics() << deviceLog();
    ensurePopover();
    ASSERT_EQ(run({"ui", "wait", kApp, row, "--timeout", "60"}), 0) << diagnostics();
    since = platformd::testing::lastEventSequence();
    ASSERT_EQ(run({"ui", "menu", kApp, "#prefsButton", "--choose", "Disconnect All"}), 0) << diagnostics();
    EXPECT_EQ(m_out.str(), "menuitem \"Disconnect All\"\n");
    ASSERT_TRUE(waitForReport(kDisconnected, since)) << diagnostics() << deviceLog();
    EXPECT_FALSE(waitForReport(kConnected, since, 5)) << "woken again: " << deviceLog();
}

class HostInterfaceRoadWithoutKexts : public HostInterfaceRoad {
  protected:
    HostInterfaceRoadWithoutKexts() { m_platformdArguments = {"--kexts", "none"}; }
};

TEST_F(HostInterfaceRoadWithoutKexts, ThePopoverSaysTheDriversAreMissingAndItsButtonOpensTheInstaller) {
    ASSERT_GT(launchHost(), 0) << hostLog();
    openPopover();
    ASSERT_EQ(run({"ui", "wait", kApp, "popover/#installDriversMessageField", "--value",
                   "Could not locate video drivers for Tessel", "--timeout", "60"}),
              0)
        << diagnostics();
    const int64_t beforePress = platformd::testing::lastEventSequence();
    ASSERT_EQ(run({"ui", "press", kApp, "popover/button \"Get Installer\""}), 0) << diagnostics();
    EXPECT_TRUE(platformd::testing::waitForEvent("open-url", {}, 30, beforePress)) << hostLog();
}

// ---- What a person sees: every window, menu and sheet the host and its screen server show lies
// within its screen's visible frame, and no two texts side by side are drawn over each other.

// One line of `ui tree`: its depth, role and frame (Core Graphics global).
struct TreeLine {
    size_t depth = 0;
    std::string role, text;
    cg::CGRect frame = cg::CGRectNull;
};

std::vector<TreeLine> treeLines(const std::string& tree) {
    std::vector<TreeLine> out;
    std::istringstream in(tree);
    for (std::string text; std::getline(in, text);) {
        TreeLine line;
        line.text = text;
        const size_t start = text.find_first_not_of(' ');
        if (start == std::string::npos) continue;
        line.depth = start / 2;
        line.role = text.substr(start, text.find_first_of(" /", start) - start);
        const size_t at = text.find(" frame=");
        double x, y, w, h;
        if (at != std::string::npos &&
            std::sscanf(text.c_str() + at, " frame=%lf,%lf,%lf,%lf", &x, &y, &w, &h) == 4)
            line.frame = cg::CGRectMake(x, y, w, h);
        out.push_back(std::move(line));
    }
    return out;
}

// The visible frames (Core Graphics global) of the displays `displays` lists: less the menu bar.
std::vector<cg::CGRect> visibleFrames(const std::string& listing) {
    std::vector<cg::CGRect> out;
    for (size_t at = listing.find(" bounds="); at != std::string::npos;
         at = listing.find(" bounds=", at + 1)) {
        double x, y, w, h;
        if (std::sscanf(listing.c_str() + at, " bounds=%lf,%lf,%lf,%lf", &x, &y, &w, &h) == 4)
            out.push_back(cg::CGRectMake(x, y + 22, w, h - 22));
    }
    return out;
}

bool inside(cg::CGRect inner, cg::CGRect outer) {
    return inner.origin.x >= outer.origin.x && inner.origin.y >= outer.origin.y &&
           inner.origin.x + inner.size.width <= outer.origin.x + outer.size.width &&
           inner.origin.y + inner.size.height <= outer.origin.y + outer.size.height;
}

bool isWindowRole(const std::string& role) {
    return role == "AXWindow" || role == "AXSheet" || role == "AXMenu" || role == "AXPopover";
}

bool isTextRole(const std::string& role) {
    return role == "AXStaticText" || role == "AXTextField" || role == "AXCheckBox" ||
           role == "AXPopUpButton" || role == "AXButton";
}

// What a person would find wrong in the tree: windows, menus, sheets and popovers reaching past
// every visible frame, and sibling texts whose frames meet.
std::string layoutFaults(const std::string& tree, const std::vector<cg::CGRect>& visible) {
    std::string faults;
    const auto lines = treeLines(tree);
    for (size_t i = 0; i < lines.size(); ++i) {
        const TreeLine& line = lines[i];
        if (isWindowRole(line.role) && !cg::CGRectIsNull(line.frame) &&
            std::none_of(visible.begin(), visible.end(), [&](cg::CGRect v) { return inside(line.frame, v); }))
            faults += "off the screen: " + line.text + "\n";
        if (!isTextRole(line.role) || cg::CGRectIsEmpty(line.frame)) continue;
        for (size_t j = i + 1; j < lines.size() && lines[j].depth >= line.depth; ++j) {
            const TreeLine& other = lines[j];
            if (other.depth != line.depth || !isTextRole(other.role) || cg::CGRectIsEmpty(other.frame))
                continue;
            const cg::CGRect meet = cg::CGRectIntersection(line.frame, other.frame);
            if (!cg::CGRectIsEmpty(meet)) faults += "overlapping:\n" + line.text + "\n" + other.text + "\n";
        }
    }
    return faults;
}

class HostOnScreenRoad : public HostInterfaceRoad {
  protected:
    // The application's whole tree is on its screens and legible.
    void expectLaidOut(const std::string& app, const std::string& step) {
        ASSERT_EQ(run({"displays"}), 0) << diagnostics();
        const auto visible = visibleFrames(m_out.str());
        ASSERT_FALSE(visible.empty()) << m_out.str();
        ASSERT_EQ(run({"ui", "tree", app}), 0) << diagnostics();
        const std::string tree = m_out.str();
        EXPECT_EQ(layoutFaults(tree, visible), "") << step << "\n" << tree;
    }
    // The popover stays open while a panel shows; opened again if it closed meanwhile.
    void ensurePopover() {
        if (run({"ui", "wait", kApp, "popover", "--timeout", "1"}) != 0) {
            ASSERT_EQ(run({"ui", "press", kApp, "statusitem"}), 0) << diagnostics();
        }
        ASSERT_EQ(run({"ui", "wait", kApp, "popover"}), 0) << diagnostics();
    }
    // A picture a person would look at, kept beside the test's other files.
    void snapshot(const std::string& app, const std::string& path, const std::string& name) {
        const std::string png = ::testing::TempDir() + "HostOnScreenRoad-" + name + ".png";
        EXPECT_EQ(run({"ui", "snapshot", app, path, "--png", png}), 0) << diagnostics();
    }
};

TEST_F(HostOnScreenRoad, EveryWindowMenuAndSheetLiesOnTheScreenAndAnAddressTypedConnects) {
    // The screen server stands in for a device that went away with its panel.
    cf::CFPreferencesSetAppValue("shouldDisplayLocalClientWindow", cf::Value(true), kHostId);
    cf::CFPreferencesAppSynchronize(kHostId);
    ASSERT_TRUE(launchHostAndServer()) << hostLog();
    // A device reached by its address only, which goes away a while after its session starts
    // and ignores the invitations to come back.
    platformd::testing::ChildProcess other;
    const std::string otherLog = m_platformd->root() + "/other-ipad.log";
    ASSERT_TRUE(
        other.start({REFCLIENT_PATH, "--name", "Other iPad", "--device-id", "other-1", "--bind-address",
                     "127.0.0.3", "--no-announce", "--end-after", "15", "--away", "600", "--log", otherLog},
                    m_platformd->root() + "/other-ipad.out"));

    // The popover hangs under its status item.
    openPopover();
    ASSERT_EQ(run({"ui", "wait", kApp, "popover"}), 0) << diagnostics();
    const cg::CGRect popover = treeLines(line("popover")).at(0).frame;
    const cg::CGRect item = treeLines(line("statusitem")).at(0).frame;
    EXPECT_GE(item.origin.x + item.size.width / 2, popover.origin.x);
    EXPECT_LE(item.origin.x + item.size.width / 2, popover.origin.x + popover.size.width);
    EXPECT_EQ(popover.origin.y, item.origin.y + item.size.height);
    expectLaidOut(kApp, "the popover");
    snapshot(kApp, "popover", "popover");

    // The settings menu opens within the screen, all its items readable.
    ASSERT_EQ(run({"ui", "menu", kApp, "#prefsButton"}), 0) << diagnostics();
    expectLaidOut(kApp, "the settings menu");
    snapshot(kApp, "menu", "menu");
    ASSERT_EQ(run({"ui", "press", kApp, "menu", "--action", "AXCancel"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, "menu", "--gone"}), 0) << diagnostics();

    // Preferences, both panes.
    ASSERT_EQ(run({"ui", "menu", kApp, "#prefsButton", "--choose", "Preferences..."}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, "#presentationModeSwitch"}), 0) << diagnostics();
    expectLaidOut(kApp, "the General pane");
    snapshot(kApp, "window \"Preferences\"", "general");
    ASSERT_EQ(run({"ui", "press", kApp, "button \"Stylus\""}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, "#button1Action"}), 0) << diagnostics();
    expectLaidOut(kApp, "the Stylus pane");
    snapshot(kApp, "window \"Preferences\"", "stylus");

    // Connect To Other: typed into as a person types, the field holds the address alone.
    ensurePopover();
    ASSERT_EQ(run({"ui", "menu", kApp, "#prefsButton", "--choose", "Connect To Other..."}), 0)
        << diagnostics();
    const char* panel = "window \"Connect to Other Device\"";
    ASSERT_EQ(run({"ui", "wait", kApp, panel}), 0) << diagnostics();
    expectLaidOut(kApp, "Connect To Other");
    ASSERT_EQ(run({"ui", "click", kApp, "#otherAddressTextField"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "key", kApp, "--text", "127.0.0.9"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, "#otherAddressTextField", "--value", "127.0.0.9"}), 0)
        << diagnostics();
    // Command-A and typing replace the whole text.
    ASSERT_EQ(run({"ui", "key", kApp, "cmd+a"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "key", kApp, "--text", "127.0.0.3"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, "#otherAddressTextField", "--value", "127.0.0.3"}), 0)
        << diagnostics() << line("#otherAddressTextField");
    ASSERT_EQ(run({"ui", "wait", kApp, "#otherOKButton", "--enabled"}), 0) << diagnostics();
    snapshot(kApp, panel, "connect-to-other");
    ASSERT_EQ(run({"ui", "press", kApp, "#otherOKButton"}), 0) << diagnostics();
    ASSERT_EQ(run({"ui", "wait", kApp, panel, "--gone"}), 0) << diagnostics();
    ensurePopover();
    ASSERT_EQ(run({"ui", "wait", kApp, "popover/item/button \"Disconnect\"", "--timeout", "60"}), 0)
        << diagnostics() << platformd::testing::readFile(otherLog);

    // The device goes away: the screen server's panel and its sheet stand in, on the screen.
    const std::string helper = "TesselHelper";
    const std::string absent = "window"; // the screen server's one window
    ASSERT_EQ(
        run({"ui", "wait", helper, absent + "/\"Your Tessel connection has paused\"", "--timeout", "60"}), 0)
        << diagnostics() << platformd::testing::readFile(otherLog);
    expectLaidOut(helper, "the absent device's panel");
    snapshot(helper, absent, "absent-device");
    // The window's picture shows its sheet where the display shows it.
    m_appName = helper;
    const cg::CGRect window = treeLines(line(absent)).at(0).frame;
    const cg::CGRect sheet = treeLines(line(absent + "/sheet")).at(0).frame;
    m_appName = kApp;
    snapshot(helper, absent + "/sheet", "absent-device-sheet");
    const std::string withSheet = ::testing::TempDir() + "HostOnScreenRoad-absent-device.png";
    const std::string sheetAlone = ::testing::TempDir() + "HostOnScreenRoad-absent-device-sheet.png";
    EXPECT_EQ(uitest::pixelOf(withSheet, sheet.origin.x - window.origin.x + 5,
                              sheet.origin.y - window.origin.y + 5),
              uitest::pixelOf(sheetAlone, 5, 5));
}

} // namespace
