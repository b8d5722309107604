// Input end to end: a private platformd with both kexts, TesselHelper.app launched by it, the
// reference client on 127.0.0.2 as the device sending touches, a pen stroke, keys and points
// past its display through its sideband. Every post is read back from platformd's event log,
// waited for by events, never by sleeping.
#include "foundation/Vocabulary.h"
#include "platform/coregraphics/CGGeometry.h"
#include "server/tests/ReferenceClientInvite.h"
#include "tools/refclient/Client.h"
#include "tools/refclient/Datagrams.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>

namespace {

using platformd::testing::PlatformdTest;
using platformd::testing::PrivatePlatformd;
using platformd::testing::runProgram;
using namespace server::testing;
namespace datagram = refclient::datagram;

const std::string kHelperApp = TESSEL_HELPER_APP;

double number(const cf::Value& entry, std::string_view key) {
    const cf::Value* v = entry.find(key);
    return v && v->isNumber() ? v->doubleValue() : 0.0;
}

class InputRoad : public PlatformdTest {
  protected:
    void SetUp() override {
        PlatformdTest::SetUp();
        ASSERT_GT(launchHelper(kHelperApp), 0) << helperLog();
        refclient::Config config;
        std::string error;
        m_device = inviteReferenceClient(config, &error);
        ASSERT_TRUE(m_device) << error << helperLog();
        // Active, with touch and keyboard input asked for and answered on.
        ASSERT_TRUE(m_device->waitFor(
            [](const refclient::Snapshot& s) {
                return s.state == refclient::ClientState::Session && s.activated && s.features.size() >= 2;
            },
            platform::seconds(30)))
            << helperLog();
        ASSERT_TRUE(readDisplayBounds()) << runProgram({PrivatePlatformd::platformctlPath(), "displays"}).out;
    }
    void TearDown() override {
        m_device.reset();
        PlatformdTest::TearDown();
    }

    // The session's virtual display (framebuffer 0) as platformctl lists it.
    bool readDisplayBounds() {
        auto listed = runProgram({PrivatePlatformd::platformctlPath(), "displays"});
        std::istringstream lines(listed.out);
        for (std::string line; std::getline(lines, line);) {
            const size_t at = line.find("id=0x100 bounds=");
            if (at == std::string::npos) continue;
            double x, y, w, h;
            if (std::sscanf(line.c_str() + at, "id=0x100 bounds=%lf,%lf,%lf,%lf", &x, &y, &w, &h) != 4)
                return false;
            m_bounds = cg::CGRectMake(x, y, w, h);
            return w > 0 && h > 0;
        }
        return false;
    }
    bool onDisplay(double x, double y) const {
        return x >= cg::CGRectGetMinX(m_bounds) && x < cg::CGRectGetMaxX(m_bounds) &&
               y >= cg::CGRectGetMinY(m_bounds) && y < cg::CGRectGetMaxY(m_bounds);
    }
    // The device's client point (x, y) on the session's display, in global points: its picture
    // covers the display.
    cg::CGPoint globalPoint(double x, double y) const {
        const double picture = m_device->snapshot().pictureWidth;
        const double scale = picture > 0 && m_bounds.size.width > 0 ? picture / m_bounds.size.width : 1.0;
        return cg::CGPointMake(std::floor(x / scale) + m_bounds.origin.x,
                               std::floor(y / scale) + m_bounds.origin.y);
    }
    std::string helperLog() const {
        return platformd::testing::readFile(m_platformd->root() + "/var/log/TesselHelper.log");
    }

    std::unique_ptr<refclient::Client> m_device;
    cg::CGRect m_bounds{};
};

} // namespace

TEST_F(InputRoad, TouchesPenKeysAndStrayPointsLandOnTheSessionsDisplay) {
    const int64_t since = lastSequence();
    m_device->send(datagram::tap(0, 10, 20));
    m_device->send(datagram::tap(2, 10, 20));
    const cg::CGPoint tap = globalPoint(10, 20);
    auto down = waitEvent("cg-event", {{"type", int64_t(1)}}, since);
    ASSERT_TRUE(down) << helperLog();
    EXPECT_EQ(number(*down, "x"), tap.x);
    EXPECT_EQ(number(*down, "y"), tap.y);
    auto up = waitEvent("cg-event", {{"type", int64_t(2)}}, since);
    ASSERT_TRUE(up);
    EXPECT_EQ(number(*up, "x"), tap.x);
    EXPECT_EQ(number(*up, "y"), tap.y);

    // A contextual tap: the right button, down and up at its place.
    m_device->send(datagram::tap(3, 30, 40));
    m_device->send(datagram::tap(5, 30, 40));
    const cg::CGPoint contextual = globalPoint(30, 40);
    for (int64_t type : {3, 4}) {
        auto right = waitEvent("cg-event", {{"type", type}}, since);
        ASSERT_TRUE(right) << type;
        EXPECT_EQ(number(*right, "x"), contextual.x);
        EXPECT_EQ(number(*right, "y"), contextual.y);
    }

    // Points past the display, from a mouse and from a finger: kept on it.
    m_device->send(datagram::mouse(0, 5000, -300));
    auto moved = waitEvent("cg-event", {{"type", int64_t(5)}}, since);
    ASSERT_TRUE(moved);
    EXPECT_TRUE(onDisplay(number(*moved, "x"), number(*moved, "y")))
        << number(*moved, "x") << "," << number(*moved, "y");
    m_device->send(datagram::tap(0, -40, 3000));
    m_device->send(datagram::tap(1, 9000, 9000));
    m_device->send(datagram::tap(2, 9000, 9000));
    auto strayUp = waitEvent("cg-event", {{"type", int64_t(2)}}, up->find("sequence")->integerValue());
    ASSERT_TRUE(strayUp);
    EXPECT_TRUE(onDisplay(number(*strayUp, "x"), number(*strayUp, "y")));

    // A pen stroke through the HID system, between its proximity entry and exit.
    m_device->send(datagram::stylus(9, 100, 200, 0.5f, 0, 1));
    m_device->send(datagram::stylus(10, 110, 210, 0.5f, 0, 1));
    m_device->send(datagram::stylus(11, 120, 220, 0.5f, 0, 1));
    auto entry =
        waitEvent("hid-event", {{"type", int64_t(24)}, {"proximity.enterProximity", int64_t(1)}}, since);
    ASSERT_TRUE(entry) << helperLog();
    auto penDown = waitEvent("hid-event", {{"type", int64_t(1)}}, since);
    auto penUp = waitEvent("hid-event", {{"type", int64_t(2)}}, since);
    auto exit =
        waitEvent("hid-event", {{"type", int64_t(24)}, {"proximity.enterProximity", int64_t(0)}}, since);
    ASSERT_TRUE(penDown && penUp && exit);
    auto sequence = [](const std::optional<cf::Value>& e) { return e->find("sequence")->integerValue(); };
    EXPECT_LT(sequence(entry), sequence(penDown));
    EXPECT_LT(sequence(penDown), sequence(penUp));
    EXPECT_LT(sequence(penUp), sequence(exit));
    const cg::CGPoint penStart = globalPoint(100, 200), penEnd = globalPoint(120, 220);
    EXPECT_EQ(number(*penDown, "x"), penStart.x);
    EXPECT_EQ(number(*penDown, "y"), penStart.y);
    EXPECT_EQ(number(*penUp, "x"), penEnd.x);
    EXPECT_EQ(number(*penUp, "y"), penEnd.y);

    // Keys: a typed character into the text sink, and select all on the U.S. layout.
    ASSERT_EQ(runProgram({PrivatePlatformd::platformctlPath(), "text-sink", "--clear"}).status, 0);
    const int64_t beforeKeys = lastSequence();
    const std::optional<std::vector<refclient::Bytes>> typed = datagram::text("é");
    ASSERT_TRUE(typed.has_value());
    for (const auto& unit : typed.value())
        m_device->send(unit);
    m_device->send(datagram::key(3, 0, 0, 5));
    ASSERT_TRUE(waitEvent("cg-keyboard", {{"key", int64_t(55)}, {"down", false}}, beforeKeys)) << helperLog();
    EXPECT_TRUE(waitEvent("cg-keyboard", {{"key", int64_t(0)}, {"down", true}}, beforeKeys));
    EXPECT_EQ(runProgram({PrivatePlatformd::platformctlPath(), "text-sink"}).out, "é\n");

    // Every pointer post left the cursor on the session's display.
    size_t pointerPosts = 0;
    for (const cf::Value& e : platformd::testing::eventsAfter(since)) {
        const cf::Value* kind = e.find("kind");
        if (!kind || !kind->asString() ||
            (*kind->asString() != "cg-event" && *kind->asString() != "hid-event"))
            continue;
        ++pointerPosts;
        EXPECT_TRUE(onDisplay(number(e, "cursorX"), number(e, "cursorY")))
            << e.find("sequence")->integerValue() << ": " << number(e, "cursorX") << ","
            << number(e, "cursorY");
    }
    EXPECT_GE(pointerPosts, 12u);
}

// A character beyond the basic plane leaves the device as two keyboard datagrams, one half of
// its pair each, and reaches the text sink as the one character.
TEST_F(InputRoad, ATypedEmojiReachesTheTextSinkIntact) {
    ASSERT_EQ(runProgram({PrivatePlatformd::platformctlPath(), "text-sink", "--clear"}).status, 0);
    const int64_t since = lastSequence();
    const std::optional<std::vector<refclient::Bytes>> typed = datagram::text("a\U0001F600b");
    ASSERT_TRUE(typed.has_value());
    ASSERT_EQ(typed->size(), 4u);
    for (const auto& unit : typed.value())
        m_device->send(unit);
    // Select all after them: once its Command is up, every half before it has been typed.
    m_device->send(datagram::key(3, 0, 0, 5));
    ASSERT_TRUE(waitEvent("cg-keyboard", {{"key", int64_t(55)}, {"down", false}}, since)) << helperLog();
    EXPECT_EQ(runProgram({PrivatePlatformd::platformctlPath(), "text-sink"}).out, "a\U0001F600b\n");
}

TEST_F(InputRoad, DroppingTheDeviceMidStrokeLiftsThePenAndLeavesProximity) {
    const int64_t since = lastSequence();
    m_device->send(datagram::stylus(9, 300, 400, 0.8f, 0, 1));
    m_device->send(datagram::stylus(10, 320, 420, 0.8f, 0, 1));
    auto penDown = waitEvent("hid-event", {{"type", int64_t(1)}}, since);
    ASSERT_TRUE(penDown) << helperLog();
    ASSERT_TRUE(waitEvent("hid-event", {{"type", int64_t(23)}}, since)) << "the move arrived";

    m_device->stop();
    auto penUp = waitEvent("hid-event", {{"type", int64_t(2)}}, since);
    ASSERT_TRUE(penUp) << helperLog();
    auto exit =
        waitEvent("hid-event", {{"type", int64_t(24)}, {"proximity.enterProximity", int64_t(0)}}, since);
    ASSERT_TRUE(exit) << helperLog();
    EXPECT_LT(penUp->find("sequence")->integerValue(), exit->find("sequence")->integerValue());
    // The up lies at the stroke's start and leaves no button held.
    const cg::CGPoint start = globalPoint(300, 400);
    EXPECT_EQ(number(*penUp, "x"), start.x);
    EXPECT_EQ(number(*penUp, "y"), start.y);
    EXPECT_EQ(number(*exit, "buttons"), 0);
    // The session switches its display off as the connection ends, so the pointer may already
    // be back on the main display: only the buttons are checked there.
}
