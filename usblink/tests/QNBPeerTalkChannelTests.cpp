#include "DeviceTestSupport.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/dispatch/RunLoop.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace usblink;
using namespace usblink::testing;
namespace md = usbmuxd_double;

namespace {

constexpr uint16_t kPort = 47011; // nothing listens on it: the loopback attempt is refused

size_t connectRequests(md::UsbmuxdDouble& muxd) {
    size_t n = 0;
    for (const auto& r : muxd.requests())
        n += r.messageType == "Connect" ? 1 : 0;
    return n;
}

// A delayed perform waits on the main run loop (work ready now does not count).
bool retryScheduled() {
    auto due = dispatch::RunLoop::main()->nextDueDate(dispatch::kDefaultRunLoopMode);
    return due && *due > platform::now();
}

// A channel connected over USB to device 5, whose side of the connection is returned.
struct UsbConnected {
    AttachedDevice device{{kPort}};
    std::shared_ptr<ChannelRecorder> recorder = std::make_shared<ChannelRecorder>();
    std::shared_ptr<QNBPeerTalkChannel> channel;
    int deviceFd = -1;
    UsbConnected() {
        channel = device.manager->createChannelForDeviceWithID(5, kPort, recorder);
        // The double hands the device its end just after writing the Result.
        EXPECT_TRUE(pumpUntil([&] { return recorder->connectedCount() == 1 && device.lastFd() >= 0; }));
        deviceFd = device.lastFd();
    }
};

} // namespace

TEST(QNBPeerTalkChannel, ConnectsOverUSBAfterRefusalsOneSecondApart) {
    platform::installFakeClock();
    AttachedDevice device({kPort});
    device.f.muxd->setConnectScript(5, kPort, {3, md::ConnectScript::Mode::Normal});
    auto recorder = std::make_shared<ChannelRecorder>();
    auto channel = device.manager->createChannelForDeviceWithID(5, kPort, recorder);
    EXPECT_EQ(channel->state(), QNBPeerTalkChannelStateConnecting);
    for (size_t refusal = 1; refusal <= 3; ++refusal) {
        ASSERT_TRUE(
            pumpUntil([&] { return connectRequests(*device.f.muxd) == refusal && retryScheduled(); }));
        auto attempt = channel->channel();
        dispatch::advanceAndRun(0.99);
        EXPECT_EQ(channel->channel(), attempt) << "retried before a second had passed";
        dispatch::advanceAndRun(0.01);
        EXPECT_NE(channel->channel(), attempt);
    }
    ASSERT_TRUE(pumpUntil([&] { return recorder->connectedCount() == 1; }));
    EXPECT_EQ(channel->state(), QNBPeerTalkChannelStateConnected);
    EXPECT_TRUE(recorder->failures.empty()); // refusals are retried silently
    channel->close();
}

// usbmuxd restarts between two attempts: the retry goes through the new hub (which listens to
// the new usbmuxd at once), not the one whose connection ended, well before the manager's 5 s.
TEST(QNBPeerTalkChannel, ARetryAfterAUsbmuxdResetUsesTheNewHub) {
    platform::installFakeClock();
    AttachedDevice device({kPort});
    device.f.muxd->setConnectScript(5, kPort, {2, md::ConnectScript::Mode::Normal});
    const std::weak_ptr<PTUSBHub> before = device.manager->hub();
    auto recorder = std::make_shared<ChannelRecorder>();
    auto channel = device.manager->createChannelForDeviceWithID(5, kPort, recorder);
    ASSERT_TRUE(pumpUntil([&] { return connectRequests(*device.f.muxd) == 1 && retryScheduled(); }));
    int resets = 0;
    auto token = ns::NSNotificationCenter::defaultCenter().addObserverForName(
        PTUSBDeviceDidResetNotification, nullptr, [&](const auto&) { ++resets; });
    device.f.muxd->reset();
    ASSERT_TRUE(pumpUntil([&] { return resets == 1; }));
    ns::NSNotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_EQ(device.f.muxd->listeningConnections(), 0u);
    dispatch::advanceAndRun(1.0);
    ASSERT_TRUE(pumpUntil([&] { return connectRequests(*device.f.muxd) == 2; }));
    const auto now = device.manager->hub();
    ASSERT_NE(now, nullptr);
    EXPECT_NE(now.get(), before.lock().get()) << "the retry went through the hub of before the reset";
    EXPECT_TRUE(pumpUntil([&] { return device.f.muxd->listeningConnections() == 1; }))
        << "the new hub listens to the new usbmuxd";
    ASSERT_TRUE(pumpUntil([&] { return retryScheduled(); })); // the second refusal's retry
    dispatch::advanceAndRun(1.0);
    ASSERT_TRUE(pumpUntil([&] { return recorder->connectedCount() == 1; }));
    channel->close();
}

TEST(QNBPeerTalkChannel, RetriesStopWhenTheDeviceDetachesOrTheChannelCloses) {
    platform::installFakeClock();
    AttachedDevice device({kPort});
    device.f.muxd->setConnectScript(5, kPort, {1000, md::ConnectScript::Mode::Normal});
    auto recorder = std::make_shared<ChannelRecorder>();
    auto detaching = device.manager->createChannelForDeviceWithID(5, kPort, recorder);
    auto closing = device.manager->createChannelForDeviceWithID(5, kPort, recorder);
    ASSERT_TRUE(pumpUntil([&] { return connectRequests(*device.f.muxd) == 2 && retryScheduled(); }));
    closing->close();
    EXPECT_EQ(closing->state(), QNBPeerTalkChannelStateClosed);
    device.f.muxd->unregisterDevice(5);
    ASSERT_TRUE(pumpUntil([&] { return !device.manager->hasDeviceID(5); }));
    auto last = detaching->channel();
    dispatch::advanceAndRun(3.0);
    EXPECT_EQ(detaching->channel(), last);
    EXPECT_FALSE(closing->channel());
    EXPECT_FALSE(retryScheduled());
    dispatch::runUntilIdle();
    EXPECT_EQ(connectRequests(*device.f.muxd), 2u);
    detaching->close();
}

TEST(QNBPeerTalkChannel, ALoopbackListenerPlusALateUSBResultGivesOneConnection) {
    platform::installFakeClock();
    uint16_t port = freeLoopbackPort();
    LoopbackListener local(port);
    AttachedDevice device({port});
    auto recorder = std::make_shared<ChannelRecorder>();
    auto channel = device.manager->createChannelForDeviceWithID(5, port, recorder);
    ASSERT_TRUE(recorder->waitFor([&] { return recorder->connected == 1; })); // loopback, from its own thread
    local.accept();
    // Now the USB result, which comes on the main queue, arrives late: it must be dropped.
    ASSERT_TRUE(pumpUntil([&] { return device.lastFd() >= 0; }));
    int usbSide = device.lastFd();
    ASSERT_TRUE(pumpUntil([&] { return readable(usbSide, 0); }));
    char byte;
    EXPECT_EQ(::read(usbSide, &byte, 1), 0); // closed unread
    dispatch::runUntilIdle();
    EXPECT_EQ(recorder->connectedCount(), 1);
    EXPECT_EQ(channel->state(), QNBPeerTalkChannelStateConnected);
    EXPECT_EQ(channel->channel()->userInfo().rfind("127.0.0.1:", 0), 0u);
    // Frames from the local client reach the delegate.
    writeAll(local.client, frameBytes(kQNBFrameTypeStream, 1, innerPayload(3, "abc")));
    ASSERT_TRUE(recorder->waitFor([&] { return recorder->bytes.size() == 3; }));
    channel->close();
}

TEST(QNBPeerTalkChannel, CloseWakesASendToADeviceThatReadsNothing) {
    platform::installFakeClock();
    UsbConnected c;
    std::vector<uint8_t> big(8 * 1024 * 1024, 0x5A);
    auto sending =
        std::async(std::launch::async, [&] { return c.channel->sendBytes(big.data(), big.size()); });
    ASSERT_TRUE(readable(c.deviceFd)); // the frame is on its way and stuck
    EXPECT_EQ(sending.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    c.channel->close();
    ASSERT_EQ(sending.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    auto error = sending.get();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(), "Not connected");
}

TEST(QNBPeerTalkChannel, ATimedSendThatCannotBeWrittenTimesOutAndFreesTheLock) {
    platform::installFakeClock();
    UsbConnected c;
    std::vector<uint8_t> big(8 * 1024 * 1024, 0x5A);
    auto first =
        std::async(std::launch::async, [&] { return c.channel->sendBytes(big.data(), big.size(), 2.0); });
    ASSERT_TRUE(readable(c.deviceFd));
    dispatch::advanceAndRun(2.0);
    ASSERT_EQ(first.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    auto error = first.get();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, QNBPeerTalkDeviceManagerErrorDomain);
    EXPECT_EQ(error->localizedDescription(), "Timed out");
    // The next send takes the lock and waits for its own completion, not the first one's.
    auto second = std::async(std::launch::async, [&] { return c.channel->sendBytes("x", 1, 2.0); });
    EXPECT_EQ(second.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    c.channel->close();
    ASSERT_EQ(second.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(second.get()->localizedDescription(), "Not connected");
}

TEST(QNBPeerTalkChannel, SendsRefuseWithoutAConnection) {
    platform::installFakeClock();
    AttachedDevice device({});
    auto recorder = std::make_shared<ChannelRecorder>();
    auto channel = device.manager->createChannelForDeviceWithID(5, kPort, recorder);
    EXPECT_EQ(channel->sendBytes("x", 1, 1.0)->localizedDescription(), "Not connected");
    EXPECT_FALSE(channel->sendDatagramWithBytes("x", 1));
    channel->close();
}

TEST(QNBPeerTalkChannel, ADatagramAnswersYesWhenItsWriteIsStillPendingAfterTwoSeconds) {
    platform::installFakeClock();
    UsbConnected c;
    std::vector<uint8_t> big(8 * 1024 * 1024, 1);
    auto sent = std::async(std::launch::async,
                           [&] { return c.channel->sendDatagramWithBytes(big.data(), big.size()); });
    ASSERT_TRUE(readable(c.deviceFd));
    dispatch::advanceAndRun(2.0);
    ASSERT_EQ(sent.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(sent.get());
    c.channel->close();
}

TEST(QNBPeerTalkChannel, StreamAndDatagramFramesAreCheckedAgainstTheirPayload) {
    platform::installFakeClock();
    platform::LogCapture log(true);
    UsbConnected c;
    auto frames = frameBytes(kQNBFrameTypeDatagram, 1, {1, 2}); // short: dropped
    auto add = [&](std::vector<uint8_t> f) { frames.insert(frames.end(), f.begin(), f.end()); };
    add(frameBytes(kQNBFrameTypeDatagram, 2, innerPayload(9, "abc")));   // beyond its payload: dropped
    add(frameBytes(kQNBFrameTypeDatagram, 3, innerPayload(2, "hello"))); // shorter: "he"
    add(frameBytes(kQNBFrameTypeStream, 4, innerPayload(0, "zzz")));     // n = 0: nothing
    add(frameBytes(102, 5, innerPayload(3, "xyz")));                     // unknown type: read and dropped
    auto plist = cf::dataFromPropertyList(cf::Value(cf::Dictionary{{"k", cf::Value(1)}}),
                                          cf::PropertyListFormat::Binary);
    add(frameBytes(kQNBFrameTypeDictionary, 6, *plist));              // parsed and dropped
    add(frameBytes(kQNBFrameTypeStream, 7, innerPayload(3, "abcd"))); // "abc"
    writeAll(c.deviceFd, frames);
    ASSERT_TRUE(c.recorder->waitFor([&] { return c.recorder->bytes.size() == 3; }));
    ASSERT_EQ(c.recorder->datagrams.size(), 1u);
    EXPECT_EQ(c.recorder->datagrams[0], std::vector<uint8_t>({'h', 'e'}));
    EXPECT_EQ(c.recorder->bytes, std::vector<uint8_t>({'a', 'b', 'c'}));
    EXPECT_EQ(c.recorder->deliveries, 1);
    EXPECT_EQ(log.count("a datagram frame of"), 2u);
    EXPECT_EQ(c.channel->state(), QNBPeerTalkChannelStateConnected);
    // A stream frame that lies about its length ends the channel: its bytes cannot be trusted.
    writeAll(c.deviceFd, frameBytes(kQNBFrameTypeStream, 8, {0, 0}));
    ASSERT_TRUE(c.recorder->waitFor([&] { return c.recorder->failures.size() == 1; }));
    EXPECT_EQ(c.recorder->failures[0].localizedDescription(), "Malformed stream frame");
    EXPECT_TRUE(pumpUntil([&] { return c.channel->state() == QNBPeerTalkChannelStateDisconnected; }));
}

// The test frame carries its dictionary as a binary property list; dictionary frames from the
// device are parsed, and one holding anything but a dictionary is logged and dropped.
TEST(QNBPeerTalkChannel, TheTestFrameAndDictionaryFramesGoThroughTheConversions) {
    platform::installFakeClock();
    platform::LogCapture log(true);
    UsbConnected c;
    c.channel->sendTestFrame();
    std::vector<uint8_t> got;
    while (got.size() < 16 || got.size() < 16 + (size_t(got[12]) << 24 | size_t(got[13]) << 16 |
                                                 size_t(got[14]) << 8 | size_t(got[15]))) {
        ASSERT_TRUE(readable(c.deviceFd));
        uint8_t chunk[512];
        const ssize_t n = ::recv(c.deviceFd, chunk, sizeof chunk, 0);
        ASSERT_GT(n, 0);
        got.insert(got.end(), chunk, chunk + n);
    }
    EXPECT_EQ(got[7], kQNBFrameTypeDictionary);
    EXPECT_EQ(got[11], 0); // tag 0
    auto dictionary = dictionaryWithContentsOfDispatchData(
        dispatch::dispatch_data_create_with_bytes(std::vector<uint8_t>(got.begin() + 16, got.end())));
    ASSERT_TRUE(dictionary);
    EXPECT_EQ(cf::Value(*dictionary), cf::Value(cf::Dictionary{{"Connected", cf::Value("Value")}}));

    auto array = cf::dataFromPropertyList(cf::Value(cf::Array{cf::Value(1)}), cf::PropertyListFormat::XML);
    writeAll(c.deviceFd, frameBytes(kQNBFrameTypeDictionary, 1, *array));
    writeAll(c.deviceFd, frameBytes(kQNBFrameTypeStream, 2, innerPayload(1, "z")));
    ASSERT_TRUE(c.recorder->waitFor([&] { return c.recorder->bytes.size() == 1; }));
    EXPECT_EQ(log.count("a dictionary frame that holds no dictionary"), 1u);
    EXPECT_EQ(c.channel->state(), QNBPeerTalkChannelStateConnected);
    c.channel->close();
}

TEST(QNBPeerTalkChannel, TheDeviceLeavingEndsAConnectedChannel) {
    platform::installFakeClock();
    UsbConnected c;
    ::shutdown(c.deviceFd, SHUT_RDWR);
    ASSERT_TRUE(pumpUntil(
        [&] { return c.recorder->disconnected + static_cast<int>(c.recorder->failures.size()) == 1; }));
    EXPECT_EQ(c.recorder->disconnected, 1);
    EXPECT_EQ(c.channel->state(), QNBPeerTalkChannelStateDisconnected);
    EXPECT_EQ(NSStringFromQNBPeerTalkChannelState(c.channel->state()), "QNBPeerTalkChannelStateDisconnected");
    EXPECT_EQ(NSStringFromQNBPeerTalkChannelState(9), "unknown/invalid");
}

class ManagerRecorder : public QNBPeerTalkDeviceManagerDelegate {
  public:
    void peerTalkDeviceConnected(int64_t id, const cf::Value& properties) override {
        connected.push_back(id);
        lastProperties = properties;
    }
    void peerTalkDeviceDisconnected(int64_t id) override { disconnected.push_back(id); }
    std::vector<int64_t> connected, disconnected;
    cf::Value lastProperties = cf::Value::emptyDictionary();
};

TEST(QNBPeerTalkDeviceManager, ReportsEachDeviceOnceAndKeepsItsListAcrossAReset) {
    platform::installFakeClock();
    DoubleFixture f;
    auto manager = QNBPeerTalkDeviceManager::create();
    auto recorder = std::make_shared<ManagerRecorder>();
    manager->setDelegate(recorder);
    manager->startListeningForDevices();
    f.muxd->registerDevice(8, "s8", {}, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return recorder->connected.size() == 1; }));
    EXPECT_EQ(*recorder->lastProperties.find("SerialNumber")->asString(), "s8");
    f.muxd->broadcast({{"MessageType", "Attached"}, {"DeviceID", 8}});  // listed already
    f.muxd->broadcast({{"MessageType", "Detached"}, {"DeviceID", 42}}); // unknown
    f.muxd->broadcast({{"MessageType", "Attached"}, {"DeviceID", 9}, {"Properties", "odd"}});
    ASSERT_TRUE(pumpUntil([&] { return recorder->connected.size() == 2; }));
    EXPECT_TRUE(recorder->lastProperties.isDictionary());
    EXPECT_EQ(recorder->lastProperties.count(), 0u);
    EXPECT_TRUE(recorder->disconnected.empty());
    // usbmuxd restarts: the manager listens again 5 s later and reports nobody twice.
    int resets = 0;
    auto token = ns::NSNotificationCenter::defaultCenter().addObserverForName(
        PTUSBDeviceDidResetNotification, nullptr, [&](const auto&) { ++resets; });
    f.muxd->reset();
    ASSERT_TRUE(pumpUntil([&] { return resets == 1; }));
    ns::NSNotificationCenter::defaultCenter().removeObserver(token);
    dispatch::advanceAndRun(4.9);
    EXPECT_EQ(f.muxd->listeningConnections(), 0u);
    dispatch::advanceAndRun(0.1);
    ASSERT_TRUE(pumpUntil([&] { return f.muxd->listeningConnections() == 1; }));
    dispatch::runUntilIdle();
    EXPECT_EQ(recorder->connected.size(), 2u);
    EXPECT_EQ(manager->deviceIDs(), (std::vector<int64_t>{8, 9}));
    f.muxd->unregisterDevice(8);
    ASSERT_TRUE(pumpUntil([&] { return recorder->disconnected.size() == 1; }));
    EXPECT_EQ(manager->deviceIDs(), (std::vector<int64_t>{9}));
}
