// The road of a device that goes away, with real processes: a private platformd with both
// kexts, TesselHelper.app launched by it with the local client window switched on, and the
// reference client's library as the device on 127.0.0.2, ending each session after kSession
// seconds and ignoring invitations for a while afterwards. The panel is read through platformctl's interface
// verbs; everything is waited for by events, never by sleeping.
#include "foundation/QNBPreferences.h"
#include "foundation/Vocabulary.h"
#include "platform/corefoundation/CFPreferences.h"
#include "server/tests/RoadTestSupport.h"
#include "tools/refclient/Client.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

namespace {

using platformd::testing::PlatformdTest;
using platformd::testing::PrivatePlatformd;
using platformd::testing::runProgram;
using namespace server::testing;

const std::string kHelperApp = TESSEL_HELPER_APP;
constexpr char kServiceKeyPrefix[] = "local.~_qnexvscreen._udp~";
constexpr char kHostDomain[] = "com.quenby.TesselHost2";
const std::string kPanel = "window \"Ref\"";
// Each session of the device lasts this long: long enough for its display to come up and its
// first frames to arrive on a loaded machine, before the device goes away.
constexpr double kSession = 8;

platformd::testing::ProgramResult ctl(std::vector<std::string> arguments, double timeout = 30) {
    arguments.insert(arguments.begin(), PrivatePlatformd::platformctlPath());
    return runProgram(arguments, timeout);
}

std::string allLines(refclient::Client& device) {
    std::string all;
    for (const auto& line : device.log())
        all += line + "\n";
    return all;
}

// The milliseconds of the device's logged invitations, with whether it acted on them.
std::vector<std::pair<double, bool>> invitations(refclient::Client& device) {
    std::vector<std::pair<double, bool>> out;
    for (const auto& line : device.log()) {
        if (line.find(" udp invite ") == std::string::npos) continue;
        out.push_back({std::stod(line), line.find("acted=1") != std::string::npos});
    }
    return out;
}

// A display's pixels as packed B, G, R, X rows.
std::string displayPixels(const std::string& id, const std::string& file) {
    if (ctl({"read-display", id, "--bgrx", file}).status != 0) return {};
    return platformd::testing::readFile(file);
}

// The grabs of a display's pixels so far, as the window server counts them.
long long grabs(const std::string& id) {
    const std::string out = ctl({"counters", id}).out;
    const size_t at = out.find("grabs=");
    return at == std::string::npos ? -1 : std::stoll(out.substr(at + 6));
}

// The frame (Core Graphics global) of a tree line's "frame=X,Y,W,H".
std::vector<double> frameOf(const std::string& line) {
    std::vector<double> out;
    const size_t at = line.find("frame=");
    if (at == std::string::npos) return out;
    std::istringstream in(line.substr(at + 6));
    for (std::string part; out.size() < 4 && std::getline(in, part, ',');)
        out.push_back(std::stod(part));
    return out;
}

class AbsentDeviceRoad : public PlatformdTest {
  protected:
    void SetUp() override {
        PlatformdTest::SetUp();
        setLocalClientWindow(true);
        ASSERT_GT(server::testing::launchHelper(kHelperApp), 0) << helperLog();
    }
    void setLocalClientWindow(bool on) {
        cf::CFPreferencesSetAppValue(foundation::kDisplayLocalClientWindow, cf::Value(on), kHostDomain);
        cf::CFPreferencesAppSynchronize(kHostDomain);
        post(foundation::kPrefsDidChangeNotification);
    }
    std::unique_ptr<refclient::Client> device(const std::string& address, double endAfter, double away) {
        refclient::Config config;
        config.bindAddress = address;
        config.announce = false;
        config.endAfter = endAfter;
        config.away = away;
        auto client = std::make_unique<refclient::Client>(config);
        std::string error;
        EXPECT_TRUE(client->start(&error)) << error;
        return client;
    }
    static bool waitFor(refclient::Client& c, const std::function<bool(const refclient::Snapshot&)>& p,
                        double seconds = 30) {
        return c.waitFor(p, platform::seconds(seconds));
    }
    static bool inSession(const refclient::Snapshot& s) { return s.state == refclient::ClientState::Session; }
    // Invites the device as the host does; true once its session has frames.
    bool invite(refclient::Client& c, const std::string& host) {
        int64_t since = lastSequence();
        post(foundation::kConnectServerToHost,
             cf::Value(cf::Dictionary{{foundation::kConnectToHostName, host},
                                      {foundation::kServiceKey, std::string(kServiceKeyPrefix) + "Ref"},
                                      {foundation::kDisplayNameKey, "Ref"}}));
        if (!waitEvent("distributed-post",
                       {{"name", foundation::kServerConnectedToDevice}, {"userInfo.DeviceName", host}},
                       since))
            return false;
        return waitFor(c, [](const refclient::Snapshot& s) { return inSession(s) && s.frames > 0; });
    }
    // The drop, then the panel standing in, visible and key.
    bool panelAfterDrop(refclient::Client& c) {
        if (!waitFor(c, [](const refclient::Snapshot& s) { return !inSession(s); })) return false;
        auto shown = ctl({"ui", "wait", "TesselHelper", kPanel, "--timeout", "10"});
        EXPECT_EQ(shown.status, 0) << shown.err << helperLog();
        return shown.status == 0;
    }
    std::string helperLog() const {
        return platformd::testing::readFile(m_platformd->root() + "/var/log/TesselHelper.log");
    }
    // The sheet that follows the show, answered as it asks: "OK", then close the window.
    bool dismissSheet() {
        auto sheet = ctl({"ui", "wait", "TesselHelper", kPanel + "/\"Your Tessel connection has paused\"",
                          "--timeout", "5"});
        EXPECT_EQ(sheet.status, 0) << ctl({"ui", "tree", "TesselHelper"}).out;
        auto ok = ctl({"ui", "press", "TesselHelper", kPanel + "/button \"OK\""});
        EXPECT_EQ(ok.status, 0) << ok.err;
        auto gone =
            ctl({"ui", "wait", "TesselHelper", kPanel + "/button \"OK\"", "--gone", "--timeout", "5"});
        return sheet.status == 0 && ok.status == 0 && gone.status == 0;
    }
    // Lists the displays until no virtual one is left (or a while has passed).
    static bool virtualDisplaysGone() {
        for (int i = 0; i < 100; ++i)
            if (virtualDisplays().empty()) return true;
        return false;
    }
    // The user's close by the given interface verb: the display is given up for good.
    void closeGivesTheDisplayUp(const std::vector<std::string>& verb);
};

TEST_F(AbsentDeviceRoad, ThePanelStandsInInvitesAndLeavesWhenTheDeviceReturns) {
    // Away long enough for the panel's checks below on a loaded machine: the device's return
    // takes the panel away.
    auto a = device("127.0.0.2", kSession, 30);
    ASSERT_TRUE(invite(*a, "127.0.0.2")) << helperLog();
    auto before = virtualDisplays();
    ASSERT_EQ(before.size(), 1u);

    // 1. The drop: the panel, the display kept, the sheet after the animation.
    ASSERT_TRUE(panelAfterDrop(*a));
    const uint64_t framesBeforeAway = a->snapshot().frames; // none arrive while it is away
    EXPECT_EQ(virtualDisplays(), before);
    EXPECT_TRUE(dismissSheet());

    // 2. The panel's content shows the virtual display 1:1, grabbed only after damage.
    const std::string id = before[0].substr(3, before[0].find(' ') - 3);
    EXPECT_EQ(ctl({"cursor", "move", "1300", "850"}).status, 0);
    EXPECT_EQ(ctl({"draw", "display", id, "blocks", "16"}).status, 0);
    const auto frame = frameOf(ctl({"ui", "wait", "TesselHelper", kPanel}).out);
    ASSERT_EQ(frame.size(), 4u);
    EXPECT_EQ(frame[2], 1024);
    const int left = int(frame[0]), top = int(frame[1]) + 22; // below the title bar
    const std::string scratch = m_platformd->root() + "/tmp-pixels";
    bool mirrored = false;
    std::string mismatch;
    for (int attempt = 0; attempt < 50 && !mirrored; ++attempt) {
        const std::string mirror = displayPixels(id, scratch);
        const std::string main = displayPixels("0x1", scratch);
        if (mirror.size() != 1024u * 768 * 4 || main.size() != 1440u * 900 * 4) continue;
        mirrored = true;
        for (int y = 0; y < 768 && top + y < 900 && mirrored; ++y)
            for (int x = 0; x < 1024 && left + x < 1440; ++x) {
                const size_t m = (size_t(top + y) * 1440 + size_t(left + x)) * 4,
                             v = (size_t(y) * 1024 + x) * 4;
                if (main.compare(m, 3, mirror, v, 3) != 0) {
                    mismatch = "first difference at " + std::to_string(x) + "," + std::to_string(y);
                    mirrored = false;
                    break;
                }
            }
    }
    EXPECT_TRUE(mirrored) << mismatch;
    // A grab for damage still on its way (the draw's, on a loaded machine) may come late; then
    // the display stays still and the grabs stop: ten round trips without one, within five tries.
    long long quiet = grabs(id);
    bool still = false;
    for (int attempt = 0; attempt < 5 && !still; ++attempt) {
        for (int i = 0; i < 10; ++i)
            ctl({"input-state"});
        const long long now = grabs(id);
        still = now == quiet;
        quiet = now;
    }
    EXPECT_TRUE(still) << "no grab without damage";
    const auto start = platform::now();
    for (int i = 0; i < 20; ++i)
        ctl({"damage", "1500", "100", "40", "40"});
    const double elapsed = platform::toSeconds(platform::now() - start);
    const long long damaged = grabs(id) - quiet;
    EXPECT_GT(damaged, 0);
    EXPECT_LE(double(damaged), 31 * (elapsed + 0.1) + 1) << "at most one grab a tick";

    // The cursor view follows the pointer onto the virtual display and off it.
    EXPECT_EQ(ctl({"cursor", "move", "1600", "100"}).status, 0);
    auto onIt = ctl({"ui", "wait", "TesselHelper", kPanel + "/image[1]", "--timeout", "10"});
    EXPECT_EQ(onIt.status, 0) << ctl({"ui", "tree", "TesselHelper"}).out;
    EXPECT_EQ(ctl({"cursor", "move", "100", "100"}).status, 0);
    auto offIt = ctl({"ui", "wait", "TesselHelper", kPanel + "/image[1]", "--gone", "--timeout", "10"});
    EXPECT_EQ(offIt.status, 0) << ctl({"ui", "tree", "TesselHelper"}).out;

    // 3 and 4. Invitations every 2.0 s while away; the one after it reconnects, the panel goes.
    ASSERT_TRUE(waitFor(
        *a, [](const refclient::Snapshot& s) { return s.sessions >= 2 && inSession(s); }, 60))
        << allLines(*a) << helperLog();
    auto hidden = ctl({"ui", "wait", "TesselHelper", kPanel, "--gone", "--timeout", "10"});
    EXPECT_EQ(hidden.status, 0) << ctl({"ui", "tree", "TesselHelper"}).out;
    EXPECT_EQ(virtualDisplays(), before) << "the same display, id and serial";
    EXPECT_TRUE(waitFor(*a, [framesBeforeAway](const refclient::Snapshot& s) {
        return s.frames > framesBeforeAway;
    })) << "the session it came back to has frames";

    auto seen = invitations(*a);
    // The first time away only: the session it came back to ends after its kSession seconds too, and
    // the next time away may have begun by now.
    std::vector<double> away;
    size_t back = 1;
    for (; back < seen.size() && !seen[back].second; ++back)
        away.push_back(seen[back].first);
    ASSERT_GE(away.size(), 3u);
    // The invitation timer keeps its beat: one late on a loaded machine makes the next gap short,
    // so the beat is the mean gap; no gap may be a burst or a missed beat.
    const double beat = (away.back() - away.front()) / double(away.size() - 1);
    EXPECT_NEAR(beat, 2000, 200) << "mean gap over " << away.size() << " invitations";
    for (size_t i = 1; i < away.size(); ++i) {
        EXPECT_GT(away[i] - away[i - 1], 1000) << "invitation " << i;
        EXPECT_LT(away[i] - away[i - 1], 3500) << "invitation " << i;
    }
    EXPECT_LT(back, seen.size()) << "an invitation brought the device back";
}

void AbsentDeviceRoad::closeGivesTheDisplayUp(const std::vector<std::string>& verb) {
    // Away for longer than the panel, its sheet and the close take on a loaded machine: a device
    // back before the close would make it a close of another session.
    auto a = device("127.0.0.2", kSession, 60);
    ASSERT_TRUE(invite(*a, "127.0.0.2")) << helperLog();
    ASSERT_TRUE(panelAfterDrop(*a));
    ASSERT_TRUE(dismissSheet());

    int64_t since = lastSequence();
    auto done = ctl(verb);
    ASSERT_EQ(done.status, 0) << done.err;
    auto request =
        waitEvent("distributed-post", {{"name", foundation::kDisconnectCurrentServerFromHost}}, since);
    ASSERT_TRUE(request);
    EXPECT_EQ(info(*request, foundation::kDisconnectedHostName), "127.0.0.2");
    EXPECT_EQ(info(*request, foundation::kDisableDisplay), "1");
    EXPECT_TRUE(waitEvent("distributed-post", {{"name", foundation::kServerDisconnectedFromDevice}}, since));
    auto gone = ctl({"ui", "wait", "TesselHelper", kPanel, "--gone", "--timeout", "5"});
    EXPECT_EQ(gone.status, 0);
    EXPECT_TRUE(virtualDisplaysGone());
    const uint64_t invited = a->snapshot().invitations;
    EXPECT_FALSE(waitFor(
        *a, [invited](const refclient::Snapshot& s) { return s.invitations > invited; }, 5))
        << "no invitations after the user's close";

    auto b = device("127.0.0.3", 0, 0);
    EXPECT_TRUE(invite(*b, "127.0.0.3")) << helperLog();
}

TEST_F(AbsentDeviceRoad, TheCloseButtonGivesTheDisplayUp) {
    closeGivesTheDisplayUp({"ui", "press", "TesselHelper", kPanel + "/closebutton"});
}

TEST_F(AbsentDeviceRoad, CommandWGivesTheDisplayUp) {
    closeGivesTheDisplayUp({"ui", "key", "TesselHelper", "cmd+w"});
}

TEST_F(AbsentDeviceRoad, WithTheWindowSwitchedOffTheDropReleasesTheDisplay) {
    setLocalClientWindow(false);
    auto a = device("127.0.0.2", kSession, 7);
    ASSERT_TRUE(invite(*a, "127.0.0.2")) << helperLog();
    int64_t since = lastSequence();
    ASSERT_TRUE(waitFor(*a, [](const refclient::Snapshot& s) { return !inSession(s); }));
    EXPECT_TRUE(waitEvent("distributed-post", {{"name", foundation::kServerDisconnectedFromDevice}}, since));
    EXPECT_TRUE(virtualDisplaysGone());
    EXPECT_NE(ctl({"ui", "wait", "TesselHelper", kPanel, "--timeout", "1"}).status, 0) << "no window";
}

} // namespace
