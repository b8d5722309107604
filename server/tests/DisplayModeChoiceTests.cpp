// Display mode choice: the supported-resolutions file (shipped, hostile and the choice among
// its entries), the device tables, the generic-device builder, and the session's layers with
// the resolution notices they send.
#include "display/QNBScreen.h"
#include "server/ScreenServer.h"
#include "server/SupportedResolutions.h"

#include "net/QNMessages.h"
#include "net/QNNetSocket.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/foundation/NSBundle.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

namespace server {
namespace {

cf::Value entry(double width, double height, int mode,
                std::optional<std::array<int, 3>> version = std::nullopt) {
    cf::Dictionary d{
        {"width", cf::Value(width)},
        {"height", cf::Value(height)},
        {"modeID", cf::Value(mode)},
        {"description", cf::Value(std::to_string(int(width)) + "x" + std::to_string(int(height)))}};
    if (version)
        d.insert_or_assign("supportedVersion", cf::Dictionary{{"majorVersion", cf::Value((*version)[0])},
                                                              {"minorVersion", cf::Value((*version)[1])},
                                                              {"patchVersion", cf::Value((*version)[2])}});
    return d;
}

SupportedResolution choose(const cf::Array& entries, double width, double height) {
    return findBestSupportedResolution(supportedResolutionsFromValue(cf::Value(entries)), {width, height});
}

// ---- The choice among entries -----------------------------------------------------------------

TEST(DisplayModeChoiceResolutions, TheLargestFittingEntryWinsAndAnExactOneEndsTheWalk) {
    struct Case {
        const char* what;
        cf::Array entries;
        double width, height;
        float wantWidth, wantHeight;
        int wantMode;
    };
    const std::vector<Case> cases = {
        {"larger area wins",
         {entry(1024, 768, 1), entry(1280, 800, 19), entry(1280, 720, 9)},
         1300,
         900,
         1280,
         800,
         19},
        {"equal area: the later one",
         {entry(1024, 600, 13), entry(600, 1024, 72)},
         1100,
         1100,
         600,
         1024,
         72},
        {"nothing fits: the default", {entry(1280, 800, 19)}, 800, 600, 1024, 768, 1},
        {"exact match stops the walk",
         {entry(1280, 800, 19), entry(1024, 768, 1), entry(1280, 1024, 21)},
         1024,
         768,
         1024,
         768,
         1},
        {"a zero-high request: only an exact match", {entry(1024, 768, 1)}, 2000, 0, 1024, 768, 1},
        {"a zero-high entry is never the best",
         {entry(800, 0, 40), entry(640, 480, 8)},
         1000,
         1000,
         640,
         480,
         8},
        {"a zero-high entry can match exactly", {entry(800, 0, 40)}, 800, 0, 800, 0, 40},
        {"empty file: the default", {}, 2732, 2048, 1024, 768, 1},
    };
    for (const auto& c : cases) {
        auto chosen = choose(c.entries, c.width, c.height);
        EXPECT_EQ(chosen.width, c.wantWidth) << c.what;
        EXPECT_EQ(chosen.height, c.wantHeight) << c.what;
        EXPECT_EQ(chosen.modeID, c.wantMode) << c.what;
    }
}

TEST(DisplayModeChoiceResolutions, TheVersionFilterLooksAtTheEntryAlone) {
    struct Case {
        std::array<int, 3> version;
        bool passes;
    };
    for (auto [version, passes] : std::vector<Case>{{{3, 0, 0}, false},
                                                    {{3, 3, 1}, true},
                                                    {{3, 3, 2}, false},
                                                    {{2, 9, 9}, true},
                                                    {{4, 3, 0}, true},
                                                    {{1, 0, 0}, true}}) {
        auto chosen = choose({entry(1280, 800, 19, version)}, 1280, 800);
        EXPECT_EQ(chosen.modeID, passes ? 19 : 1) << version[0] << "." << version[1] << "." << version[2];
    }
    EXPECT_EQ(choose({entry(1280, 800, 19)}, 1280, 800).modeID, 19) << "no supportedVersion passes";
}

TEST(DisplayModeChoiceResolutions, HostileEntriesAreSkippedOrReadAsMissing) {
    platform::LogCapture log(true);
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    cf::Array entries = {
        cf::Value("not a dictionary"),
        cf::Value(cf::Array{cf::Value(1)}),
        entry(nan, 768, 50),
        entry(1024, inf, 51),
        entry(-1, 768, 52),
        entry(70000, 768, 53),
        entry(1280, 65536, 54),
    };
    auto read = supportedResolutionsFromValue(cf::Value(entries));
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->empty());
    EXPECT_EQ(log.count("is not a dictionary; skipped"), 2u);
    EXPECT_EQ(log.count("has no usable width or height; skipped"), 5u);

    // Wrongly typed keys read as missing: a text width is 0, a text mode 0, a text version 0.
    cf::Dictionary typed{{"width", cf::Value("1280")},
                         {"height", cf::Value(800.0)},
                         {"modeID", cf::Value("19")},
                         {"description", cf::Value(5)},
                         {"supportedVersion", cf::Value("3.3.3")}};
    cf::Dictionary bigMode{{"width", cf::Value(640.0)},
                           {"height", cf::Value(480.0)},
                           {"modeID", cf::Value(int64_t(1) << 32 | 19)}};
    read = supportedResolutionsFromValue(cf::Value(cf::Array{typed, bigMode, cf::Value(cf::Dictionary{})}));
    ASSERT_TRUE(read);
    ASSERT_EQ(read->size(), 3u);
    EXPECT_EQ((*read)[0].width, 0.0f);
    EXPECT_EQ((*read)[0].height, 800.0f);
    EXPECT_EQ((*read)[0].modeID, 0);
    EXPECT_EQ((*read)[0].description, "");
    EXPECT_EQ((*read)[0].majorVersion, 0);
    EXPECT_EQ((*read)[1].modeID, 0) << "a mode number past 32 bits is no mode, not its low bits";
    EXPECT_EQ((*read)[2].width, 0.0f);

    EXPECT_FALSE(supportedResolutionsFromValue(cf::Value(cf::Dictionary{})));
    EXPECT_TRUE(log.contains("SupportedResolutions.plist is not an array"));
}

class DisplayModeChoiceBundle : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/dmc.XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        m_dir = pattern;
        ns::NSBundle::setMainBundle(
            std::make_shared<ns::NSBundle>(m_dir, m_dir, cf::Value(cf::Dictionary{})));
    }
    void TearDown() override {
        ns::NSBundle::setMainBundle(nullptr);
        std::system(("rm -rf " + m_dir).c_str());
    }
    // A flat bundle: its resources sit in the folder itself.
    std::string plistPath() const { return m_dir + "/SupportedResolutions.plist"; }
    void write(const std::string& text) const { std::ofstream(plistPath()) << text; }

    std::string m_dir;
};

TEST_F(DisplayModeChoiceBundle, MissingUnreadableOrWrongFilesGiveTheDefault) {
    platform::LogCapture log(true);
    EXPECT_FALSE(loadSupportedResolutions());
    EXPECT_EQ(findBestSupportedResolution(loadSupportedResolutions(), {2048, 1536}).modeID, 1);
    EXPECT_TRUE(log.lines().empty()) << "a missing file is not worth a line";

    write("this is no property list");
    EXPECT_FALSE(loadSupportedResolutions());
    EXPECT_TRUE(log.contains("SupportedResolutions.plist could not be read"));

    ASSERT_TRUE(cf::writePropertyListFile(cf::Value(cf::Dictionary{{"width", cf::Value(1)}}), plistPath(),
                                          cf::PropertyListFormat::XML));
    EXPECT_FALSE(loadSupportedResolutions());
    EXPECT_TRUE(log.contains("is not an array"));

    ASSERT_TRUE(cf::writePropertyListFile(cf::Value(cf::Array{entry(1280, 800, 19)}), plistPath(),
                                          cf::PropertyListFormat::Binary));
    EXPECT_EQ(findBestSupportedResolution(loadSupportedResolutions(), {1300, 900}).modeID, 19)
        << "read afresh on every choice";
}

TEST_F(DisplayModeChoiceBundle, EveryShippedEntryIsSizedAsItsModeAndTheRequiredOnesAreThere) {
    std::ifstream in(TESSEL_SUPPORTED_RESOLUTIONS);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    write(text);
    platform::LogCapture log(true);
    auto entries = loadSupportedResolutions();
    ASSERT_TRUE(entries);
    EXPECT_TRUE(log.lines().empty());
    std::set<int> modes;
    for (const auto& e : *entries) {
        ASSERT_TRUE(e.modeID >= 1 && e.modeID <= 442) << e.description;
        EXPECT_EQ(e.width, display::DisplayModeArray[size_t(e.modeID)].width) << e.description;
        EXPECT_EQ(e.height, display::DisplayModeArray[size_t(e.modeID)].height) << e.description;
        EXPECT_EQ(e.description, std::to_string(int(e.width)) + "x" + std::to_string(int(e.height)));
        const std::array<int64_t, 3> version{e.majorVersion, e.minorVersion, e.patchVersion};
        EXPECT_EQ(version, (std::array<int64_t, 3>{1, 0, 0}));
        modes.insert(e.modeID);
    }
    for (int required : {1, 9, 19, 34, 433, 2, 70, 67, 55, 434})
        EXPECT_TRUE(modes.count(required)) << required;
    EXPECT_EQ(findBestSupportedResolution(entries, {1300, 900}).modeID, 19);
    EXPECT_EQ(findBestSupportedResolution(entries, {2732, 2048}).modeID, 433);
    EXPECT_EQ(findBestSupportedResolution(entries, {800, 1280}).modeID, 67);
}

// ---- Device tables and the generic builder --------------------------------------------------

TEST(DisplayModeChoiceTables, DeviceTablesByOrientationAndRetina) {
    using S = display::QNBScreen;
    EXPECT_EQ(S::compatibleModesForiPadRetinaDisplayWithOrientation(true, true), std::vector<int>{34});
    EXPECT_EQ(S::compatibleModesForiPadRetinaDisplayWithOrientation(true, false), std::vector<int>{1});
    EXPECT_EQ(S::compatibleModesForiPadRetinaDisplayWithOrientation(false, true), std::vector<int>{55});
    EXPECT_EQ(S::compatibleModesForiPadRetinaDisplayWithOrientation(false, false), std::vector<int>{2});
    EXPECT_EQ(S::compatibleModesForiPhoneRetinaDisplayWithOrientation(true, true, false),
              std::vector<int>{5});
    EXPECT_EQ(S::compatibleModesForiPhoneRetinaDisplayWithOrientation(true, false, false),
              std::vector<int>{3});
    EXPECT_EQ(S::compatibleModesForiPhoneRetinaDisplayWithOrientation(false, true, false),
              std::vector<int>{6});
    EXPECT_EQ(S::compatibleModesForiPhoneRetinaDisplayWithOrientation(false, false, false),
              std::vector<int>{4});
    EXPECT_EQ(S::compatibleModesForiPhoneRetinaDisplayWithOrientation(true, true, true),
              std::vector<int>{60});
    EXPECT_EQ(S::compatibleModesForiPhoneRetinaDisplayWithOrientation(true, false, true),
              std::vector<int>{58});
    EXPECT_EQ(S::compatibleModesForiPhoneRetinaDisplayWithOrientation(false, true, true),
              std::vector<int>{61});
    EXPECT_EQ(S::compatibleModesForiPhoneRetinaDisplayWithOrientation(false, false, true),
              std::vector<int>{59});
}

uint32_t packed(uint32_t width, uint32_t height) {
    return width | (height << 16);
}

TEST(DisplayModeChoiceTables, NearestModesAndTheirHalves) {
    using S = display::QNBScreen;
    EXPECT_EQ(S::displayModeForDisplaySize(packed(1280, 800)), 19);
    EXPECT_EQ(S::displayModeForDisplaySize(packed(1281, 801)), 19) << "nearest";
    EXPECT_EQ(S::displayModeForDisplaySize(packed(0, 0)), 0) << "entry 0 takes part";
    EXPECT_EQ(S::displayModeForDisplaySize(packed(1, 0)), 0) << "a tie goes to the lower number (0 before 7)";
    EXPECT_EQ(S::displayModeForDisplaySize(packed(3011, 3011)), 432) << "the largest square";
    EXPECT_EQ(S::displayModeForDisplaySize(packed(65535, 65535)), 441) << "no overflow at the edge";
    EXPECT_EQ(S::halfSizeModeForDisplayMode(437), 438);
    EXPECT_EQ(S::halfSizeModeForDisplayMode(433), 435);
    EXPECT_EQ(S::halfSizeModeForDisplayMode(34), 1);
    EXPECT_EQ(S::halfSizeModeForDisplayMode(16), 0) << "683 by 384 is no mode";
    for (int outside : {-1, 443, 100000})
        EXPECT_EQ(S::halfSizeModeForDisplayMode(outside), 0) << outside;
}

TEST(DisplayModeChoiceTables, GenericDevicesByPanelDensityAndRetina) {
    net::QNCapabilities caps;
    caps.displayWidth = 2048;
    caps.displayHeight = 1536;
    caps.displayDensity = 264;
    using S = display::QNBScreen;
    EXPECT_EQ(S::modeArrayWithDisplaySize(packed(1024, 768), caps, false), std::vector<int>{1});
    EXPECT_EQ(S::modeArrayWithDisplaySize(packed(1024, 768), caps, true), std::vector<int>{34});
    caps.displayDensity = 200;
    EXPECT_EQ(S::modeArrayWithDisplaySize(packed(1024, 768), caps, false), std::vector<int>{34});
    caps.displayDensity = 264;
    EXPECT_EQ(S::modeArrayWithDisplaySize(packed(768, 1024), caps, false), std::vector<int>{2})
        << "the panel turns with the request";
    caps.displayWidth = 1366;
    caps.displayHeight = 768;
    EXPECT_EQ(S::modeArrayWithDisplaySize(packed(1366, 768), caps, false), std::vector<int>{16})
        << "no half mode: the full one whatever retina says";
    caps.displayWidth = 0;
    caps.displayHeight = 0;
    EXPECT_FALSE(S::modeArrayWithDisplaySize(packed(1024, 768), caps, false)) << "no panel: no list";
}

TEST(DisplayModeChoiceTables, TheSessionPicksTheBuilderByRetinaFlags) {
    auto server = ScreenServer::init();
    net::QNCapabilities caps;
    caps.displayWidth = 2048;
    caps.displayHeight = 1536;
    caps.displayDensity = 264;
    const uint32_t size = packed(1024, 768);
    struct Case {
        uint16_t flags;
        std::optional<std::vector<int32_t>> notRetina, retina;
    };
    const std::vector<Case> cases = {
        {0x2 | 0x1, {{2}}, {{55}}},
        {0x2 | 0x4, {{1}}, {{34}}},
        {0x1, {{4}}, {{6}}},
        {0x1 | 0x4, {{3}}, {{5}}},
        {0x10, {{59}}, {{61}}},
        {0x10 | 0x4, {{58}}, {{60}}},
        {0x20, {{1}}, {{34}}},
        {0x4, std::nullopt, std::nullopt},
        {0, std::nullopt, std::nullopt},
        {0x8 | 0x40, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        caps.retinaFlags = c.flags;
        server->enableRetinaResolutions(false, false);
        EXPECT_EQ(server->modeArrayWithCapabilities(caps, size), c.notRetina) << std::hex << c.flags;
        server->enableRetinaResolutions(true, false);
        EXPECT_TRUE(server->retinaResolutionsEnabled());
        EXPECT_EQ(server->modeArrayWithCapabilities(caps, size), c.retina) << std::hex << c.flags;
    }
}

// ---- The session's layers and the notices they send -----------------------------------------

class DisplayModeChoiceSession : public DisplayModeChoiceBundle {
  protected:
    void SetUp() override {
        DisplayModeChoiceBundle::SetUp();
        ASSERT_TRUE(cf::writePropertyListFile(
            cf::Value(cf::Array{entry(1024, 768, 1), entry(1280, 800, 19), entry(1280, 720, 9)}), plistPath(),
            cf::PropertyListFormat::XML));
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        m_peer = fds[1];
        ::fcntl(m_peer, F_SETFL, O_NONBLOCK);
        m_server = ScreenServer::init();
        m_server->setClientSocket(net::QNNetSocket::initWithSocket(fds[0]));
    }
    void TearDown() override {
        m_server->setClientSocket(nullptr);
        m_server.reset();
        ::close(m_peer);
        DisplayModeChoiceBundle::TearDown();
    }
    std::vector<uint8_t> received() {
        std::vector<uint8_t> out;
        uint8_t buffer[256];
        ssize_t n;
        while ((n = ::recv(m_peer, buffer, sizeof buffer, 0)) > 0)
            out.insert(out.end(), buffer, buffer + n);
        return out;
    }
    net::QNClientHandshake handshake(uint8_t major, uint8_t minor, uint8_t sub, int mode, uint16_t width,
                                uint16_t height, uint16_t request) {
        m_server->setProtocolVersionInfo({major, minor, sub, 1, 0, 0});
        net::QNClientHandshake h;
        h.majorversion = major;
        h.minorversion = minor;
        h.subversion = sub;
        net::QNBScreenProtocolHelper::setDisplayMode(mode, h, m_server->protocolVersionInfo());
        h.nominalWidth = width;
        h.nominalHeight = height;
        h.numberOfDisplayRequests = request;
        return h;
    }

    int m_peer = -1;
    std::shared_ptr<ScreenServer> m_server;
};

TEST_F(DisplayModeChoiceSession, TheHandshakesOwnModeIsUsedAsItIsWithoutANotice) {
    int32_t mode = m_server->resolveDisplayMode(handshake(2, 2, 0, 5, 960, 640, 3));
    EXPECT_EQ(mode, 5);
    EXPECT_EQ(m_server->state(), kServerStateResolvingNewSize);
    EXPECT_EQ(m_server->displayResolution().width, 960);
    EXPECT_EQ(m_server->displayResolution().height, 640);
    EXPECT_TRUE(received().empty());
    EXPECT_TRUE(m_server->clientDisplayRequests().empty()) << "the request number is not queued";
}

TEST_F(DisplayModeChoiceSession, WithoutAModeTheFilesBestEntryIsToldWithTheOldestRequest) {
    struct Case {
        uint8_t major, minor, sub;
        size_t size; // 11 with the request number, 9 without, nothing before 1.1.2
    };
    const std::vector<Case> cases = {{3, 0, 1, 11}, {2, 0, 0, 11}, {1, 1, 2, 9}, {1, 1, 1, 0}};
    for (const auto& c : cases) {
        int32_t mode = m_server->resolveDisplayMode(handshake(c.major, c.minor, c.sub, 0, 1300, 900, 7));
        EXPECT_EQ(mode, 19);
        EXPECT_EQ(m_server->displayResolution().width, 1280);
        EXPECT_EQ(m_server->displayResolution().height, 800);
        auto bytes = received();
        EXPECT_EQ(bytes.size(), c.size) << int(c.major) << "." << int(c.minor) << "." << int(c.sub);
        if (!bytes.empty()) {
            auto message = net::QNResolutionMsg::decode(bytes);
            ASSERT_TRUE(message);
            EXPECT_EQ(message->width, 1280);
            EXPECT_EQ(message->height, 800);
            if (bytes.size() == 11) {
                EXPECT_EQ(message->requestNumber, std::optional<uint16_t>(7));
            }
        }
        if (c.size != 0) {
            EXPECT_TRUE(m_server->clientDisplayRequests().empty()) << "the answered request left the queue";
        }
        m_server->setClientDisplayRequests({});
    }
}

TEST_F(DisplayModeChoiceSession, WithoutAClientSocketNoNoticeGoesOutAndTheSizeIsStillChosen) {
    m_server->setClientSocket(nullptr);
    int32_t mode = m_server->resolveDisplayMode(handshake(3, 0, 1, 0, 2732, 2048, 1));
    EXPECT_EQ(mode, 19) << "the test file's largest fitting entry";
    EXPECT_TRUE(received().empty());
}

} // namespace
} // namespace server
