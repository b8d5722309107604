// The client's timed behaviour, driven by the fake clock.
#include "platform/core/Log.h"
#include "tools/refclient/Client.h"
#include "tools/refclient/SidebandDatagram.h"
#include "tools/refclient/tests/FakeServer.h"

#include <gtest/gtest.h>

using namespace refclient;
using namespace refclient::test;

namespace {

const std::string kClientIp = "127.0.0.3";

class RefclientClocked : public ::testing::Test {
protected:
    RefclientClocked() : m_clock(platform::installFakeClock()) {}
    void connect(Config config) {
        m_client = std::make_unique<Client>(std::move(config));
        ASSERT_TRUE(m_client->start());
        m_server.invite(kClientIp, m_client->snapshot().sidebandPort, invitationBytes());
        ASSERT_TRUE(m_server.accept());
        ASSERT_TRUE(m_server.read(388));
        ASSERT_EQ(m_server.read(1), Bytes{0x20});
    }
    platform::FakeClock& m_clock;
    platform::LogCapture m_quiet{true};
    FakeServer m_server;
    std::unique_ptr<Client> m_client;
};

} // namespace

TEST_F(RefclientClocked, HeartbeatGoesOutAfterTenQuietSeconds) {
    connect(m_server.configFor(kClientIp));
    m_clock.advance(platform::seconds(9.9));
    m_server.write(Bytes{0x25, 0x01, 0x00}); // a message the client answers with nothing
    ASSERT_TRUE(m_client->waitFor([](const Snapshot& s) { return s.displayCount.has_value(); }, platform::seconds(1)));
    EXPECT_EQ(m_client->snapshot().heartbeatsSent, 0u);
    m_clock.advance(platform::seconds(0.2));
    EXPECT_EQ(m_server.read(9), (Bytes{4, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(RefclientClocked, EmptyUpdateIsAnsweredOnlyAfterFiftyMilliseconds) {
    connect(m_server.configFor(kClientIp));
    m_server.write(Bytes{0x20, 0x00, 0x00});
    ASSERT_TRUE(m_client->waitFor([](const Snapshot& s) { return s.emptyUpdates == 1; }, platform::seconds(1)));
    m_clock.advance(platform::seconds(0.04));
    EXPECT_EQ(m_client->snapshot().requestsSent, 1u);
    m_clock.advance(platform::seconds(0.02));
    EXPECT_EQ(m_server.read(1), Bytes{0x20});
}

TEST_F(RefclientClocked, NoEmptyAnswersAndNoHeartbeatKeepTheClientQuiet) {
    Config config = m_server.configFor(kClientIp);
    config.noEmptyAnswers = true;
    config.noHeartbeat = true;
    connect(config);
    m_server.write(Bytes{0x20, 0x00, 0x00});
    ASSERT_TRUE(m_client->waitFor([](const Snapshot& s) { return s.emptyUpdates == 1; }, platform::seconds(1)));
    m_clock.advance(platform::seconds(30));
    m_server.write(Bytes{0x25, 0x00, 0x00});
    ASSERT_TRUE(m_client->waitFor([](const Snapshot& s) { return s.displayCount.has_value(); }, platform::seconds(1)));
    Snapshot s = m_client->snapshot();
    EXPECT_EQ(s.requestsSent, 1u);
    EXPECT_EQ(s.heartbeatsSent, 0u);
}

TEST_F(RefclientClocked, TimeoutEndsTheRunWithCodeThree) {
    Config config = m_server.configFor(kClientIp);
    config.timeout = 20;
    Client client(config);
    ASSERT_TRUE(client.start());
    m_clock.advance(platform::seconds(21));
    ASSERT_TRUE(client.waitFor([](const Snapshot& s) { return s.exitCode.has_value(); }, platform::seconds(1)));
    EXPECT_EQ(*client.snapshot().exitCode, 3);
}

TEST_F(RefclientClocked, StoppedRequestsStayStoppedAfterTheirFrames) {
    Config config = m_server.configFor(kClientIp);
    config.stopRequestsAfterFrames = 1;
    config.lenient = true; // the frames' JPEGs are refused, the frames still count
    connect(config);
    static const uint8_t kJpeg[] = {0xFF, 0xD8, 0xFF, 0xD9}; // undecodable, yet a frame
    ByteWriter f;
    f.u8(0x20).u16(1).zeros(4).u16(4).u16(4).u8(4).u32(sizeof kJpeg).bytes(kJpeg);
    m_server.write(f.bytes());
    ASSERT_EQ(m_server.read(1), Bytes{0x20});
    m_server.write(f.bytes());
    m_server.write(Bytes{0x20, 0x00, 0x00});
    ASSERT_TRUE(m_client->waitFor([](const Snapshot& s) { return s.emptyUpdates == 1; }, platform::seconds(1)));
    m_clock.advance(platform::seconds(1));
    m_server.write(Bytes{0x25, 0x00, 0x00});
    ASSERT_TRUE(m_client->waitFor([](const Snapshot& s) { return s.displayCount.has_value(); }, platform::seconds(1)));
    Snapshot s = m_client->snapshot();
    EXPECT_EQ(s.frames, 2u);
    EXPECT_EQ(s.requestsSent, 2u); // the first, and the one answering frame 1
}

TEST_F(RefclientClocked, AwayLeavesInvitationsUnansweredUntilItsTimeHasPassed) {
    Config config = m_server.configFor(kClientIp);
    config.away = 7;
    connect(config);
    m_server.closeConnection();
    ASSERT_TRUE(m_client->waitFor([](const Snapshot& s) { return s.state == ClientState::Idle; }, platform::seconds(1)));

    m_clock.advance(platform::seconds(6.9));
    m_server.invite(kClientIp, m_client->snapshot().sidebandPort, invitationBytes());
    ASSERT_TRUE(m_client->waitFor([](const Snapshot& s) { return s.invitations == 2; }, platform::seconds(1)));
    EXPECT_EQ(m_client->snapshot().state, ClientState::Idle);
    auto lines = m_client->log();
    EXPECT_NE(lines.back().find("invite from=127.0.0.1 acted=0"), std::string::npos) << lines.back();

    m_clock.advance(platform::seconds(0.2));
    m_server.invite(kClientIp, m_client->snapshot().sidebandPort, invitationBytes());
    ASSERT_TRUE(m_server.accept());
    EXPECT_TRUE(m_server.read(388));
}

TEST_F(RefclientClocked, AnEndAfterWhileAwayEndsTheConnectionNotTheRun) {
    Config config = m_server.configFor(kClientIp);
    config.away = 7;
    config.endAfter = 3;
    connect(config);
    m_clock.advance(platform::seconds(3.1));
    ASSERT_TRUE(
        m_client->waitFor([](const Snapshot& s) { return s.state == ClientState::Idle; }, platform::seconds(1)));
    EXPECT_FALSE(m_client->snapshot().exitCode.has_value());

    m_clock.advance(platform::seconds(7.1));
    m_server.invite(kClientIp, m_client->snapshot().sidebandPort, invitationBytes());
    ASSERT_TRUE(m_server.accept());
    EXPECT_TRUE(m_server.read(388));
}
