// Sideband dispatch by type byte with its preference gates, and feature negotiation.
#include "SessionTestSupport.h"

#include "platform/core/Log.h"

using namespace server;
using namespace server::testing;

namespace {

using Bytes = std::vector<uint8_t>;

// A feature's state in one of the session's dictionaries; -1 when absent.
int64_t feature(const cf::Value& features, const char* key) {
    const cf::Value* state = features.find(key);
    return state ? state->integerValue() : -1;
}

class ScreenServerSideband : public SessionTest {
  protected:
    void SetUp() override {
        SessionTest::SetUp();
        m_session = makeSession();
        m_socket = connect(m_session);
        ASSERT_TRUE(m_socket->waitForIdleReader());
    }
    void TearDown() override {
        m_socket->closePeer();
        waitForLoops(m_session, 0);
        SessionTest::TearDown();
    }
    void receive(Bytes bytes) { m_session->datagramReceivedForSocket(m_socket, bytes); }

    std::shared_ptr<RecordingSession> m_session;
    std::shared_ptr<PipeSocket> m_socket;
};

struct DispatchCase {
    uint8_t type;
    bool touchOn;
    bool keyboardOn;
    bool handled;
    bool loggedUnhandled;
};

TEST_F(ScreenServerSideband, DispatchByTypeThroughThePreferenceGates) {
    const DispatchCase cases[] = {
        {2, true, true, true, false},   {2, false, true, false, false},  {3, true, true, true, false},
        {3, true, false, false, false}, {5, false, false, true, false},  {6, false, false, true, false},
        {7, false, false, true, false}, {8, false, false, true, false},  {16, false, false, true, false},
        {4, true, true, false, true},   {0x55, true, true, false, true}, {1, true, true, false, true},
    };
    auto& prefs = foundation::QNBPreferences::sharedAppPrefs();
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.type));
        prefs.baseSetEnableTouchDisplay(c.touchOn);
        prefs.baseSetEnableKeyboardInput(c.keyboardOn);
        // The session's own flags are not the gates.
        m_session->setEnableTouchDisplay(!c.touchOn);
        m_session->setEnableKeyboardInput(!c.keyboardOn);
        const size_t before = m_session->handledTypes().size();
        platform::LogCapture log(true);
        receive({c.type, 1, 2, 3, 4, 5, 6, 7, 8});
        const auto handled = m_session->handledTypes();
        EXPECT_EQ(handled.size(), before + (c.handled ? 1 : 0));
        if (c.handled) {
            EXPECT_EQ(handled.back(), c.type);
        }
        EXPECT_EQ(log.contains(platform::format("Received unhandled message from the client.  Type = %d",
                                                int(c.type))),
                  c.loggedUnhandled);
        if (!c.loggedUnhandled) {
            EXPECT_TRUE(log.lines().empty()); // dropped silently
        }
    }
}

TEST_F(ScreenServerSideband, AnInactiveSessionDropsEverythingSilently) {
    auto idle = makeSession();
    platform::LogCapture log(true);
    for (uint8_t type : {2, 3, 4, 5, 6, 7, 8, 9, 16})
        idle->datagramReceivedForSocket(m_socket, Bytes{type, 3, 0, 1, 0});
    EXPECT_TRUE(idle->handledTypes().empty());
    EXPECT_EQ(idle->clientFeatures().count(), 0u);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ScreenServerSideband, ShortDatagramsAreDroppedBeforeAnyDictionaryIsTouched) {
    for (size_t length = 0; length <= 4; ++length) {
        SCOPED_TRACE(length);
        Bytes datagram = {9, 3, 0, 1, 0};
        datagram.resize(length);
        platform::LogCapture log(true);
        receive(datagram);
        EXPECT_EQ(log.lines().size(), 1u); // each is logged
        EXPECT_EQ(m_session->clientFeatures().count(), 0u);
        EXPECT_EQ(m_session->hostFeatures().count(), 0u);
        EXPECT_EQ(m_session->resolvedFeatures().count(), 0u);
    }
    EXPECT_TRUE(sidebandOf(m_session)->datagrams().empty());
    EXPECT_TRUE(m_app->featureChanges.empty());
}

TEST_F(ScreenServerSideband, ARequestOnResolvesTouchOnAndAnswersOnTheClientsSidebandPort) {
    receive({0x09, 0x03, 0x00, 0x01, 0x00});
    auto datagrams = sidebandOf(m_session)->datagrams();
    ASSERT_EQ(datagrams.size(), 1u);
    EXPECT_EQ(datagrams[0].bytes,
              Bytes({0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x13, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(datagrams[0].port, 6000);
    ASSERT_EQ(m_app->featureChanges.size(), 1u);
    EXPECT_EQ(m_app->featureChanges[0], (std::pair<uint16_t, int64_t>{1, kFeatureStateOn}));
    EXPECT_EQ(feature(m_session->clientFeatures(), "1"), kFeatureStateOn);
    EXPECT_EQ(feature(m_session->hostFeatures(), "1"), kFeatureStateOn);
    EXPECT_EQ(feature(m_session->resolvedFeatures(), "1"), kFeatureStateOn);

    // A request off for the keyboard: the server side answers off.
    receive({0x09, 0x04, 0x00, 0x02, 0x00});
    datagrams = sidebandOf(m_session)->datagrams();
    ASSERT_EQ(datagrams.size(), 2u);
    EXPECT_EQ(datagrams[1].bytes, Bytes({0, 0, 0, 0, 0x02, 0x00, 0x02, 0x00, 0x13, 0, 0, 0, 0}));
    EXPECT_EQ(feature(m_session->resolvedFeatures(), "2"), kFeatureStateOff);
}

TEST_F(ScreenServerSideband, AnOnFromTheDeviceChangesOnlyTheClientsSide) {
    receive({0x09, 0x01, 0x00, 0x01, 0x00});
    EXPECT_EQ(feature(m_session->clientFeatures(), "1"), kFeatureStateOn);
    EXPECT_EQ(m_session->hostFeatures().count(), 0u);
    EXPECT_EQ(feature(m_session->resolvedFeatures(), "1"), kFeatureStateOff);
    EXPECT_TRUE(sidebandOf(m_session)->datagrams().empty());

    // An unknown feature asked for: stored, unanswered.
    receive({0x09, 0x03, 0x00, 0x07, 0x00});
    EXPECT_EQ(feature(m_session->clientFeatures(), "7"), kFeatureStateOn);
    EXPECT_EQ(feature(m_session->hostFeatures(), "7"), kFeatureStateUnknown);
    EXPECT_TRUE(sidebandOf(m_session)->datagrams().empty());
}

TEST_F(ScreenServerSideband, TheServersNegotiationIgnoresTheDeviceAndForcedChangesNothing) {
    m_session->sendNegotiationOf(kFeatureOperationRequestOn, kFeatureKeyboardInput);
    EXPECT_EQ(feature(m_session->resolvedFeatures(), "2"), kFeatureStateOn);
    m_session->sendNegotiationOf(kFeatureOperationRequestOff, kFeatureKeyboardInput, true);
    EXPECT_EQ(feature(m_session->resolvedFeatures(), "2"), kFeatureStateOff);
    auto datagrams = sidebandOf(m_session)->datagrams();
    ASSERT_EQ(datagrams.size(), 2u);
    EXPECT_EQ(datagrams[0].bytes, Bytes({0, 0, 0, 0, 2, 0, 3, 0, 0x13, 0, 0, 0, 0}));
    EXPECT_EQ(datagrams[1].bytes, Bytes({0, 0, 0, 0, 2, 0, 4, 0, 0x13, 0, 0, 0, 0}));
    EXPECT_EQ(m_app->featureChanges.size(), 2u);

    // Without a connected client socket nothing goes out.
    m_socket->close();
    m_session->sendNegotiationOf(kFeatureOperationRequestOn, kFeatureTouchInput);
    EXPECT_EQ(sidebandOf(m_session)->datagrams().size(), 2u);
}

// Receiving and sending from two threads at once: the dictionaries change under the session's
// lock (without it a dictionary is replaced and freed under the other thread's reader, which ASan
// reports).
TEST_F(ScreenServerSideband, ReceiveAndSendFromTwoThreadsAtOnce) {
    constexpr int kRounds = 4000;
    std::thread receiver([&] {
        for (int i = 0; i < kRounds; ++i) {
            const uint8_t feature = static_cast<uint8_t>(1 + i % 64);
            receive({0x09, static_cast<uint8_t>(1 + i % 4), 0x00, feature, 0x00});
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        m_session->sendNegotiationOf(static_cast<uint16_t>(1 + i % 4),
                                     static_cast<uint16_t>(1 + (i * 7) % 64));
        (void)m_session->resolvedFeatures();
    }
    receiver.join();
    EXPECT_EQ(m_session->clientFeatures().count(), 64u);
    EXPECT_EQ(m_session->resolvedFeatures().count(), 64u);
}

} // namespace
