#include "UsbTestSupport.h"

#include "platform/core/Log.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "tools/usbmuxd-double/MuxPacket.h"
#include "usblink/PTUSBHub.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace usblink;
using usblink::testing::DoubleFixture;
using usblink::testing::pumpUntil;
namespace md = usbmuxd_double;

namespace {

// Records the hub's notifications.
struct Notifications {
    std::vector<ns::NSNotification> attached, detached, resets;
    std::vector<ns::NSNotificationCenter::ObserverToken> tokens;
    Notifications() {
        auto& c = ns::NSNotificationCenter::defaultCenter();
        tokens.push_back(c.addObserverForName(PTUSBDeviceDidAttachNotification, nullptr,
                                              [this](const auto& n) { attached.push_back(n); }));
        tokens.push_back(c.addObserverForName(PTUSBDeviceDidDetachNotification, nullptr,
                                              [this](const auto& n) { detached.push_back(n); }));
        tokens.push_back(c.addObserverForName(PTUSBDeviceDidResetNotification, nullptr,
                                              [this](const auto& n) { resets.push_back(n); }));
    }
    ~Notifications() {
        for (auto& t : tokens)
            ns::NSNotificationCenter::defaultCenter().removeObserver(t);
    }
};

// A device in the test: keeps the descriptors the double hands it.
struct Device {
    std::mutex mutex;
    std::vector<std::pair<uint16_t, int>> connections;
    std::string firstBytes; // written into each connection as soon as it arrives
    ~Device() {
        for (auto& [port, fd] : connections)
            ::close(fd);
    }
    md::UsbmuxdDouble::ConnectHandler handler() {
        return [this](uint16_t port, int fd) {
            if (!firstBytes.empty()) {
                ssize_t n = ::send(fd, firstBytes.data(), firstBytes.size(), MSG_NOSIGNAL);
                EXPECT_EQ(n, static_cast<ssize_t>(firstBytes.size()));
            }
            std::lock_guard lock(mutex);
            connections.emplace_back(port, fd);
        };
    }
};

// What a connect's start callback was given. The callback owns it: a callback that comes after
// a failed test has returned writes into it, never into the test's finished stack frame.
struct StartResult {
    struct Answer {
        bool called = false;
        OptionalError error;
        dispatch::dispatch_io_t io;
    };
    const std::shared_ptr<Answer> answer = std::make_shared<Answer>();
    bool& called = answer->called;
    OptionalError& error = answer->error;
    dispatch::dispatch_io_t& io = answer->io;

    PTUSBHub::StartCallback callback() {
        return [answer = answer](OptionalError e, dispatch::dispatch_io_t channel) {
            answer->called = true;
            answer->error = e;
            answer->io = channel;
        };
    }
};

// A counter or flag that late callbacks may still reach after the test has gone.
template <typename T> std::shared_ptr<T> shared(T value) {
    return std::make_shared<T>(value);
}

std::string readFromChannel(const dispatch::dispatch_io_t& io, size_t length) {
    struct Read {
        std::string out;
        bool done = false;
    };
    auto read = std::make_shared<Read>();
    dispatch::dispatch_io_read(io, 0, length, dispatch::dispatch_get_main_queue(),
                               [read](bool d, dispatch::dispatch_data_t data, int) {
                                   auto bytes = data->copyBytes();
                                   read->out.append(bytes.begin(), bytes.end());
                                   read->done = d;
                               });
    EXPECT_TRUE(pumpUntil([&] { return read->done; }));
    return read->out;
}

} // namespace

TEST(PTUSBHub, ListensWithTagOneAndPostsAttachAndDetach) {
    DoubleFixture f;
    Device device;
    f.muxd->registerDevice(3, "serial-3", {6004}, device.handler());
    Notifications n;
    auto hub = PTUSBHub::sharedHub();
    ASSERT_TRUE(pumpUntil([&] { return n.attached.size() == 1; }));
    auto requests = f.muxd->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].tag, 1u);
    EXPECT_EQ(requests[0].messageType, "Listen");
    EXPECT_EQ(n.attached[0].objectIdentity(), hub.get());
    const cf::Value& info = *n.attached[0].userInfo;
    EXPECT_EQ(info.find("DeviceID")->integerValue(), 3);
    ASSERT_TRUE(info.find("Properties") && info.find("Properties")->isDictionary());
    EXPECT_EQ(*info.find("Properties")->find("SerialNumber")->asString(), "serial-3");
    f.muxd->unregisterDevice(3);
    ASSERT_TRUE(pumpUntil([&] { return n.detached.size() == 1; }));
    EXPECT_EQ(n.detached[0].userInfo->find("DeviceID")->integerValue(), 3);
    EXPECT_EQ(PTUSBHub::sharedHub(), hub);
}

TEST(PTUSBHub, ConnectSendsTheSwappedPortAndTheDeviceBytesAfterTheResultStayIntact) {
    DoubleFixture f;
    Device device;
    device.firstBytes = "device says hello"; // may share one read with the Result packet
    f.muxd->registerDevice(7, "s", {6004}, device.handler());
    auto hub = PTUSBHub::create(f.path());
    StartResult r;
    hub->connectToDevice(7, 6004, r.callback(), nullptr);
    ASSERT_TRUE(pumpUntil([&] { return r.called; }));
    ASSERT_FALSE(r.error) << r.error->description();
    ASSERT_TRUE(r.io);
    auto requests = f.muxd->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].tag, 1u);
    EXPECT_EQ(requests[0].messageType, "Connect");
    EXPECT_EQ(requests[0].portNumber, 29719);
    EXPECT_EQ(requests[0].deviceId, 7);
    EXPECT_EQ(readFromChannel(r.io, device.firstBytes.size()), device.firstBytes);
    dispatch::dispatch_io_close(r.io, dispatch::DISPATCH_IO_STOP);
}

TEST(PTUSBHub, ConnectFailuresCarryUsbmuxdNumbers) {
    DoubleFixture f;
    Device device;
    f.muxd->registerDevice(4, "s", {6004, 6005}, device.handler());
    f.muxd->setConnectScript(4, 6005, {0, md::ConnectScript::Mode::Number4});
    f.muxd->setConnectScript(4, 6004, {1, md::ConnectScript::Mode::NoNumber});
    auto hub = PTUSBHub::create(f.path());
    StartResult refused, four, none, unknown;
    hub->connectToDevice(4, 6004, refused.callback(), nullptr);
    ASSERT_TRUE(pumpUntil([&] { return refused.called; }));
    hub->connectToDevice(4, 6005, four.callback(), nullptr);
    hub->connectToDevice(4, 6004, none.callback(), nullptr);
    hub->connectToDevice(99, 6004, unknown.callback(), nullptr);
    ASSERT_TRUE(pumpUntil([&] { return four.called && none.called && unknown.called; }));
    ASSERT_TRUE(refused.error && four.error && none.error && unknown.error);
    EXPECT_EQ(refused.error->domain, PTUSBHubErrorDomain);
    EXPECT_EQ(refused.error->code, 3);
    EXPECT_EQ(refused.error->localizedDescription(), "connection refused");
    EXPECT_EQ(four.error->code, 4);
    EXPECT_EQ(four.error->localizedDescription(), "Unspecified error");
    EXPECT_EQ(none.error->code, 0);
    EXPECT_TRUE(none.error->userInfo.empty());
    EXPECT_EQ(unknown.error->code, 2);
    EXPECT_EQ(unknown.error->localizedDescription(), "unknown device");
    EXPECT_FALSE(refused.io || four.io || none.io || unknown.io);
}

TEST(PTUSBHub, AConnectWhoseConnectionEndsFailsWithEIO) {
    DoubleFixture f;
    Device device;
    f.muxd->registerDevice(4, "s", {6004}, device.handler());
    f.muxd->setConnectScript(4, 6004, {0, md::ConnectScript::Mode::Close});
    auto hub = PTUSBHub::create(f.path());
    StartResult r;
    auto ended = shared(false);
    hub->connectToDevice(4, 6004, r.callback(), [ended](OptionalError) { *ended = true; });
    ASSERT_TRUE(pumpUntil([&] { return r.called && *ended; }));
    ASSERT_TRUE(r.error);
    EXPECT_EQ(*r.error, platform::Error::posix(EIO));
}

TEST(PTUSBHub, AHundredRefusedConnectsLeakNoDescriptor) {
    DoubleFixture f;
    Device device;
    f.muxd->registerDevice(4, "s", {}, device.handler()); // no port offered: every Connect gets 3
    auto hub = PTUSBHub::create(f.path());
    // Warm up once so lazily made threads and queues are not counted as leaks.
    StartResult first;
    hub->connectToDevice(4, 6004, first.callback(), nullptr);
    ASSERT_TRUE(pumpUntil([&] { return first.called && f.muxd->openConnections() == 0; }));
    size_t before = usblink::testing::openDescriptorCount();
    auto answered = shared(0);
    for (int i = 0; i < 100; ++i)
        hub->connectToDevice(
            4, 6004,
            [answered](OptionalError e, dispatch::dispatch_io_t io) {
                EXPECT_TRUE(e && e->code == 3);
                EXPECT_FALSE(io);
                ++*answered;
            },
            nullptr);
    ASSERT_TRUE(pumpUntil([&] { return *answered == 100 && f.muxd->openConnections() == 0; }));
    ASSERT_TRUE(pumpUntil([&] { return usblink::testing::openDescriptorCount() <= before; }));
    EXPECT_LE(usblink::testing::openDescriptorCount(), before);
}

// The refusal closes its usbmuxd connection itself, before the caller hears of it: releasing
// the channel later would close it too, but only once nothing holds it any more.
TEST(PTUSBHub, ARefusedConnectHasClosedItsConnectionWhenTheCallerHearsOfIt) {
    DoubleFixture f;
    Device device;
    f.muxd->registerDevice(4, "s", {}, device.handler()); // no port offered: every Connect gets 3
    auto hub = PTUSBHub::create(f.path());
    // The connection's socket takes the lowest free number as the connect opens it (on this
    // thread, the main one); its inode tells it from a later descriptor of the same number.
    const int fd = ::dup(2);
    ::close(fd);
    struct Heard {
        bool called = false;
        bool socketOpen = true;
        struct stat opened {};
    };
    auto heard = shared(Heard{});
    hub->connectToDevice(
        4, 6004,
        [heard, fd](OptionalError e, dispatch::dispatch_io_t io) {
            EXPECT_TRUE(e && e->code == 3);
            EXPECT_FALSE(io);
            struct stat now {};
            heard->socketOpen = ::fstat(fd, &now) == 0 && now.st_ino == heard->opened.st_ino &&
                                now.st_dev == heard->opened.st_dev;
            heard->called = true;
        },
        nullptr);
    ASSERT_EQ(::fstat(fd, &heard->opened), 0);
    ASSERT_TRUE(S_ISSOCK(heard->opened.st_mode));
    ASSERT_TRUE(pumpUntil([&] { return heard->called; }));
    EXPECT_FALSE(heard->socketOpen) << "the refused connection's descriptor was still open";
}

TEST(PTUSBHub, AnEndedHubConnectionPostsOneResetAndTheNextSharedHubListensAgain) {
    DoubleFixture f;
    Notifications n;
    auto first = PTUSBHub::sharedHub();
    ASSERT_TRUE(pumpUntil([&] { return f.muxd->listeningConnections() == 1; }));
    std::weak_ptr<PTUSBHub> weakFirst = first;
    first.reset();
    f.muxd->reset();
    ASSERT_TRUE(pumpUntil([&] { return n.resets.size() == 1; }));
    EXPECT_EQ(n.resets[0].object, nullptr);
    auto second = PTUSBHub::sharedHub();
    EXPECT_NE(second, weakFirst.lock());
    ASSERT_TRUE(pumpUntil([&] { return f.muxd->listeningConnections() == 1; }));
    EXPECT_EQ(f.muxd->requests().size(), 2u);
    dispatch::runUntilIdle();
    EXPECT_EQ(n.resets.size(), 1u);
}

TEST(PTUSBHub, AHubWhoseFirstOpenFailedWaitsForAReset) {
    usblink::testing::forgetSharedHub();
    ::setenv("TESSEL_USBMUXD_SOCKET", "/nonexistent/usbmuxd", 1);
    platform::LogCapture log(true);
    auto hub = PTUSBHub::sharedHub();
    EXPECT_TRUE(log.contains("PTUSBHub failed to initialize"));
    EXPECT_FALSE(hub->channel());
    EXPECT_EQ(PTUSBHub::sharedHub(), hub);
    usblink::testing::forgetSharedHub();
}

TEST(PTUSBHub, BroadcastsAreCheckedBeforeTheyArePosted) {
    DoubleFixture f;
    Notifications n;
    platform::LogCapture log(true);
    auto hub = PTUSBHub::sharedHub();
    ASSERT_TRUE(pumpUntil([&] { return f.muxd->listeningConnections() == 1; }));
    f.muxd->broadcast({{"MessageType", "Paired"}, {"DeviceID", 3}});
    f.muxd->broadcast({{"MessageType", "Attached"}, {"DeviceID", "three"}});
    // A packet of exactly 16 bytes: no dictionary, no error.
    f.muxd->sendRawToListeners(md::encodePacket(0, ""));
    // Two packets in one write, then one split across two writes.
    auto a = md::encodeMessage(
        0, {{"MessageType", "Attached"}, {"DeviceID", 5}, {"Properties", "not a dictionary"}});
    auto b = md::encodeMessage(0, {{"MessageType", "Detached"}, {"DeviceID", 5}});
    auto both = a;
    both.insert(both.end(), b.begin(), b.end());
    f.muxd->sendRawToListeners(both);
    f.muxd->sendRawToListeners(md::Bytes(a.begin(), a.begin() + 7));
    f.muxd->sendRawToListeners(md::Bytes(a.begin() + 7, a.end()));
    f.muxd->sendRawToListeners(md::encodeMessage(77, {{"MessageType", "Result"}, {"Number", 0}}));
    ASSERT_TRUE(pumpUntil([&] { return n.attached.size() == 2 && n.detached.size() == 1; }));
    ASSERT_TRUE(pumpUntil(
        [&] { return log.contains("Ignoring reply packet for which there is no registered callback"); }));
    EXPECT_EQ(log.count("Warning: Unhandled broadcast message"), 2u); // "Paired" and the empty packet
    EXPECT_TRUE(log.contains("without an integer DeviceID"));
    EXPECT_TRUE(n.resets.empty()); // none of these ends the connection
}

class PTUSBHubMalformed : public ::testing::TestWithParam<std::pair<const char*, md::Bytes>> {};

TEST_P(PTUSBHubMalformed, EndsTheListeningConnectionWithOneLogLineAndAReset) {
    DoubleFixture f;
    Notifications n;
    platform::LogCapture log(true);
    auto hub = PTUSBHub::sharedHub();
    ASSERT_TRUE(pumpUntil([&] { return f.muxd->listeningConnections() == 1; }));
    f.muxd->sendRawToListeners(GetParam().second);
    ASSERT_TRUE(pumpUntil([&] { return n.resets.size() == 1; }));
    EXPECT_EQ(log.count("Error reading packet"), 1u);
    EXPECT_TRUE(log.contains(GetParam().first)) << GetParam().first;
}

namespace {
md::Bytes sizeField(uint32_t size) {
    return md::encodeHeader({size, 1, 8, 0});
}
md::Bytes truncated() {
    auto p = md::encodeMessage(0, {{"MessageType", "Attached"}, {"DeviceID", 1}});
    p.resize(p.size() / 2);
    return p;
}
} // namespace

INSTANTIATE_TEST_SUITE_P(
    Packets, PTUSBHubMalformed,
    ::testing::Values(std::make_pair("Unexpected package size", sizeField(0)),
                      std::make_pair("Unexpected package size", sizeField(8)),
                      std::make_pair("Unexpected package size", sizeField(0xFFFFFFF0)),
                      std::make_pair("Unexpected package protocol", md::encodePacket(9, "", 0)),
                      std::make_pair("Unexpected package type", md::encodePacket(9, "", 1, 7)),
                      std::make_pair("isn't in the correct format",
                                     md::encodePacket(0, "<plist><dict><key>"))));

TEST(PTUSBHub, APacketCutShortByTheEndOfTheStreamEndsWithEIO) {
    DoubleFixture f;
    Notifications n;
    platform::LogCapture log(true);
    auto hub = PTUSBHub::sharedHub();
    ASSERT_TRUE(pumpUntil([&] { return f.muxd->listeningConnections() == 1; }));
    f.muxd->sendRawToListeners(truncated());
    f.muxd->reset();
    ASSERT_TRUE(pumpUntil([&] { return n.resets.size() == 1; }));
    EXPECT_EQ(log.count("Error reading packet"), 1u);
    EXPECT_TRUE(log.contains("NSPOSIXErrorDomain Code=5"));
}

TEST(PTUSBHub, APendingRequestGetsTheEndOfItsConnectionOnce) {
    DoubleFixture f;
    // Answer the Listen with a reply whose protocol is wrong: the callback under its tag gets the error.
    f.muxd->setResponder(
        [](const md::Request& r) -> std::optional<md::Bytes> { return md::encodePacket(r.tag, "", 0); });
    auto hub = PTUSBHub::create(f.path());
    StartResult r;
    auto calls = shared(0);
    hub->listenOnQueue(
        dispatch::dispatch_get_main_queue(),
        [calls, answer = r.answer](OptionalError e) {
            ++*calls;
            answer->error = e;
        },
        nullptr);
    ASSERT_TRUE(pumpUntil([&] { return *calls > 0; }));
    dispatch::runUntilIdle();
    EXPECT_EQ(*calls, 1);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->localizedDescription(), "Unexpected package protocol");
}

TEST(PTUSBChannel, RepliesAreReadByTheirNumber) {
    OptionalError e;
    EXPECT_TRUE(PTUSBChannel::errorFromPlistResponse(cf::Value(cf::Dictionary{{"Number", cf::Value(0)}}), e));
    EXPECT_FALSE(e);
    EXPECT_FALSE(
        PTUSBChannel::errorFromPlistResponse(cf::Value(cf::Dictionary{{"Number", cf::Value(6)}}), e));
    EXPECT_EQ(e->localizedDescription(), "invalid version");
    e.reset();
    EXPECT_FALSE(
        PTUSBChannel::errorFromPlistResponse(cf::Value(cf::Dictionary{{"Number", cf::Value(0.0)}}), e));
    EXPECT_EQ(e->code, 0); // a non-integer Number counts as none
    e.reset();
    EXPECT_FALSE(
        PTUSBChannel::errorFromPlistResponse(cf::Value(cf::Dictionary{{"Number", cf::Value("0")}}), e));
    OptionalError kept = platform::Error::posix(EIO);
    EXPECT_TRUE(PTUSBChannel::errorFromPlistResponse(std::nullopt, kept));
    EXPECT_EQ(*kept, platform::Error::posix(EIO));
    auto packet = PTUSBChannel::packetDictionaryWithPacketType(
        "Connect", {{"DeviceID", cf::Value(3)}, {"MessageType", cf::Value("Other")}});
    EXPECT_EQ(*packet.at("MessageType").asString(), "Connect");
    EXPECT_EQ(packet.at("DeviceID").integerValue(), 3); // merged even without a bundle name
    EXPECT_EQ(usbmuxdPortNumber(6004), 29719);
}

TEST(PTUSBChannel, TagsCountFromOneOnEachConnection) {
    DoubleFixture f;
    auto channel = PTUSBChannel::create(f.path());
    platform::Error error;
    ASSERT_TRUE(channel->openOnQueue(dispatch::dispatch_get_main_queue(), &error, nullptr));
    auto replies = shared(0);
    channel->sendRequest(PTUSBChannel::packetDictionaryWithPacketType("ListDevices", {}),
                         [replies](OptionalError, auto) { ++*replies; });
    channel->sendRequest(PTUSBChannel::packetDictionaryWithPacketType("ReadBUID", {}),
                         [replies](OptionalError, auto) { ++*replies; });
    ASSERT_TRUE(pumpUntil([&] { return *replies == 2; }));
    auto requests = f.muxd->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].tag, 1u);
    EXPECT_EQ(requests[1].tag, 2u);
    EXPECT_EQ(channel->pendingRequestCount(), 0u);
    channel->stop();
}

// A request whose strings hold NUL bytes reads with them kept, never ending the double.
TEST(UsbmuxdDoubleCodec, StringsWithNulBytesReadWhole) {
    static const char kXml[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                               "<key>MessageType</key><string>Li\x01\x10\0\0</string>\n"
                               "<key>ProgName</key><string>\0</string>\n</dict>\n</plist>\n";
    const auto request =
        usbmuxd_double::parseRequest(7, reinterpret_cast<const uint8_t*>(kXml), sizeof kXml - 1);
    EXPECT_TRUE(request.parsed);
    EXPECT_EQ(request.tag, 7u);
    EXPECT_EQ(request.messageType, std::string("Li\x01\x10\0\0", 6));
    EXPECT_EQ(request.progName, std::string(1, '\0'));
}
