// What the session's unit tests share: a socket of the protocol over memory whose reads block
// until bytes are fed or the peer closes, a session that records what it hands to its seams,
// a mediator, an application delegate, a poster, an encoder and a reflector panel that record
// what they are told, and a fixture with a fake clock, a private home and a stand-in root.
#pragma once

#include "net/QNHandshakeReader.h"
#include "net/QNNetSocketProtocol.h"
#include "server/BaseLimnerAppDelegate.h"
#include "server/ScreenServer.h"

#include "foundation/QNBPreferences.h"
#include "foundation/Vocabulary.h"
#include "platform/core/Clock.h"
#include "platform/core/Format.h"
#include "platform/corefoundation/Profile.h"
#include "platform/dispatch/Testing.h"
#include "platform/dispatch/Thread.h"
#include "platform/services/NSDistributedNotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace server::testing {

// Events in these tests come from other threads; this bounds a wait for one (real time: a
// wait that runs out is a failure, never a figure the product depends on).
inline constexpr auto kEventBound = std::chrono::seconds(20);

// Waits until pred holds, re-checking whenever cv is notified.
template <typename Pred> bool waitUntil(std::mutex& m, std::condition_variable& cv, Pred pred) {
    std::unique_lock lock(m);
    return cv.wait_for(lock, kEventBound, pred);
}

class PipeSocket final : public net::QNNetSocketProtocol {
  public:
    struct Datagram {
        std::vector<uint8_t> bytes;
        uint16_t port = 0;
    };

    // Bytes the peer sends.
    void feed(std::vector<uint8_t> bytes) {
        std::lock_guard lock(m);
        m_input.insert(m_input.end(), bytes.begin(), bytes.end());
        cv.notify_all();
    }
    // The peer closes: reads fail once the fed bytes are used up.
    void closePeer() {
        std::lock_guard lock(m);
        m_peerClosed = true;
        cv.notify_all();
    }
    std::vector<uint8_t> written() const {
        std::lock_guard lock(m);
        return m_written;
    }
    std::vector<Datagram> datagrams() const {
        std::lock_guard lock(m);
        return m_datagrams;
    }
    bool waitForWritten(size_t count) {
        return waitUntil(m, cv, [&] { return m_written.size() >= count; });
    }
    bool waitForDatagrams(size_t count) {
        return waitUntil(m, cv, [&] { return m_datagrams.size() >= count; });
    }
    // A reader is blocked waiting for bytes no one has fed (everything fed has been read).
    bool waitForIdleReader() {
        return waitUntil(m, cv, [&] { return m_reading && m_input.size() < m_wanted; });
    }
    bool wasCancelled() const {
        std::lock_guard lock(m);
        return m_cancelled;
    }
    bool wasClosed() const {
        std::lock_guard lock(m);
        return m_closed;
    }
    bool waitForClosed() {
        return waitUntil(m, cv, [&] { return m_closed; });
    }
    size_t writesUnderLock() const {
        std::lock_guard lock(m);
        return m_writesUnderLock;
    }

    bool getClientBytes(void* buffer, size_t length) override {
        std::unique_lock lock(m);
        m_reading = true;
        m_wanted = length;
        cv.notify_all();
        cv.wait(lock, [&] { return m_input.size() >= length || m_peerClosed || m_cancelled || m_closed; });
        m_reading = false;
        if (m_input.size() < length) return false;
        std::copy(m_input.begin(), m_input.begin() + static_cast<ptrdiff_t>(length),
                  static_cast<uint8_t*>(buffer));
        m_input.erase(m_input.begin(), m_input.begin() + static_cast<ptrdiff_t>(length));
        return true;
    }
    bool getServerBytes(void* buffer, size_t length) override { return getClientBytes(buffer, length); }
    bool sendBytes(const void* bytes, size_t length) override {
        // Whether the writer holds the object's lock: no other thread can take it then.
        bool freeElsewhere = false;
        std::thread probe([&] {
            freeElsewhere = try_lock();
            if (freeElsewhere) unlock();
        });
        probe.join();
        std::lock_guard lock(m);
        if (!freeElsewhere) ++m_writesUnderLock;
        auto* p = static_cast<const uint8_t*>(bytes);
        m_written.insert(m_written.end(), p, p + length);
        cv.notify_all();
        return !m_closed;
    }
    bool sendBytes(const void* bytes, size_t length, double) override { return sendBytes(bytes, length); }
    bool sendDatagram(const void* bytes, size_t length, const net::QNNetSocketProtocol*,
                      uint16_t toPort) override {
        std::lock_guard lock(m);
        auto* p = static_cast<const uint8_t*>(bytes);
        m_datagrams.push_back({std::vector<uint8_t>(p, p + length), toPort});
        cv.notify_all();
        return true;
    }
    bool sendDatagram(const void* bytes, size_t length, const net::SocketAddress&) override {
        return sendDatagram(bytes, length, nullptr, 0);
    }
    void close() override {
        std::lock_guard lock(m);
        m_closed = true;
        cv.notify_all();
    }
    void cancel() override {
        std::lock_guard lock(m);
        m_cancelled = true;
        cv.notify_all();
    }
    bool isConnected() const override {
        std::lock_guard lock(m);
        return !m_closed;
    }
    bool isOpen() const override {
        std::lock_guard lock(m);
        return !m_closed;
    }

    bool connectToHost(const std::string&, uint16_t, platform::Error*) override { return false; }
    bool connectToAddress(const net::SocketAddress&, uint16_t, platform::Error*) override { return false; }
    bool listenOnPort(uint16_t, std::weak_ptr<net::QNNetSocketDelegate>, platform::Error*) override {
        return false;
    }
    void listenForDatagramsWithInfo(const net::DatagramListenInfo&) override {}
    void listenForDatagramsOnPort(uint16_t, std::weak_ptr<net::QNNetSocketDelegate>) override {}
    bool isLoopback() const override { return true; }
    bool hasClientAddr() const override { return true; }
    void setHasClientAddr(bool) override {}
    net::SocketAddress knownClientAddr() const override { return {}; }
    void setKnownClientAddr(const net::SocketAddress&) override {}
    std::shared_ptr<net::QNNetSocketDelegate> delegate() const override { return m_delegate.lock(); }
    void setDelegate(std::weak_ptr<net::QNNetSocketDelegate> delegate) override {
        m_delegate = std::move(delegate);
    }
    std::optional<platform::Error> waitForDatagramError() const override { return std::nullopt; }
    bool isListening() const override { return false; }

    mutable std::mutex m;
    mutable std::condition_variable cv;

  private:
    std::vector<uint8_t> m_input;
    std::vector<uint8_t> m_written;
    std::vector<Datagram> m_datagrams;
    bool m_peerClosed = false;
    bool m_cancelled = false;
    bool m_closed = false;
    bool m_reading = false;
    size_t m_wanted = 0;
    size_t m_writesUnderLock = 0;
    std::weak_ptr<net::QNNetSocketDelegate> m_delegate;
};

// A session that records what reaches its seams.
class RecordingSession : public ScreenServer {
  public:
    using ScreenServer::ScreenServer;

    void activateOrChangeDisplayOnGlobalQueue(const net::QNClientHandshake& handshake,
                                              bool isHostRequest) override {
        std::lock_guard lock(m);
        activations.push_back({handshake, isHostRequest});
        cv.notify_all();
    }
    bool screenUpdate(bool* failed) override {
        std::lock_guard lock(m);
        ++screenUpdates;
        if (failed && screenUpdateSetsStop) *failed = true;
        return screenUpdateAnswer;
    }
    void startDisplayStream() override { ++streamStarts; }
    void stopDisplayStream() override { ++streamStops; }
    void stylusEventEnded(cg::CGPoint, double, uint64_t) override {
        std::lock_guard lock(m);
        ++stylusEnds;
        endSteps += "stroke ";
        cv.notify_all();
    }
    void releaseHeldInput() override {
        std::lock_guard lock(m);
        endSteps += "release ";
    }
    void tapDatagramReceivedForSocket(const Socket&, std::span<const uint8_t> data) override { record(data); }
    void keyboardEventDatagramReceivedForSocket(const Socket&, std::span<const uint8_t> data) override {
        record(data);
    }
    void windowRequestDatagramReceivedForSocket(const Socket&, std::span<const uint8_t> data) override {
        record(data);
    }
    void mouseDatagramReceivedForSocket(const Socket&, std::span<const uint8_t> data) override {
        record(data);
    }
    void scrollDatagramReceivedForSocket(const Socket&, std::span<const uint8_t> data) override {
        record(data);
    }
    void menuRequestDatagramReceivedForSocket(const Socket&, std::span<const uint8_t> data) override {
        record(data);
    }
    void buttonDatagramReceivedForSocket(const Socket&, std::span<const uint8_t> data) override {
        record(data);
    }

    bool waitForActivations(size_t count) {
        return waitUntil(m, cv, [&] { return activations.size() >= count; });
    }
    bool waitForStylusEnds(size_t count) {
        return waitUntil(m, cv, [&] { return static_cast<size_t>(stylusEnds) >= count; });
    }
    std::vector<uint8_t> handledTypes() {
        std::lock_guard lock(m);
        return handled;
    }

    std::mutex m;
    std::condition_variable cv;
    std::vector<std::pair<net::QNClientHandshake, bool>> activations;
    int screenUpdates = 0;
    bool screenUpdateAnswer = false;
    bool screenUpdateSetsStop = false;
    int stylusEnds = 0;
    std::string endSteps; // what the end of a connection called, in order
    std::atomic<int> streamStarts{0};
    std::atomic<int> streamStops{0};

  private:
    void record(std::span<const uint8_t> data) {
        std::lock_guard lock(m);
        handled.push_back(data[0]);
    }
    std::vector<uint8_t> handled;
};

class FakeMediator final : public ScreenServerMediatorInterface {
  public:
    uint64_t activeServerCount() override { return activeCount; }
    void disableDisplay(ScreenServer& server) override {
        // frameBufferLock is recursive: only another thread can tell whether it is held.
        bool heldElsewhere = false;
        std::thread probe([&] {
            heldElsewhere = !server.frameBufferLock().try_lock();
            if (!heldElsewhere) server.frameBufferLock().unlock();
        });
        probe.join();
        std::lock_guard lock(m);
        ++disables;
        if (heldElsewhere) ++disablesUnderFrameBufferLock;
    }
    void shutdownServer(const std::shared_ptr<ScreenServer>& server) override {
        std::lock_guard lock(m);
        shutdowns.push_back({server, dispatch::isMainThread()});
    }
    std::mutex m;
    uint64_t activeCount = 0;
    int disables = 0;
    int disablesUnderFrameBufferLock = 0;
    // Each shutdown's session, and whether it came on the main thread.
    std::vector<std::pair<std::shared_ptr<ScreenServer>, bool>> shutdowns;
};

class RecordingAppDelegate final : public BaseLimnerAppDelegate {
  public:
    uint16_t clientSidebandPort() override { return 6000; }
    void didReceiveFeatureChange(ScreenServer&, uint16_t feature, int64_t activation) override {
        std::lock_guard lock(m);
        featureChanges.emplace_back(feature, activation);
    }
    void registerNotificationsForWindow(const std::shared_ptr<input::QNDesktopReflectorPanel>&) override {
        std::lock_guard lock(m);
        ++windowRegistrations;
    }
    std::mutex m;
    std::vector<std::pair<uint16_t, int64_t>> featureChanges;
    int windowRegistrations = 0;
};

struct Post {
    std::string name;
    std::optional<cf::Value> userInfo;
    uint64_t options = 0;
    std::string text(const char* key) const {
        const cf::Value* value = userInfo ? userInfo->find(key) : nullptr;
        return value && value->asString() ? *value->asString() : std::string("(none)");
    }
};

class RecordingPoster {
  public:
    DistributedPoster poster() {
        return [this](const std::string& name, const std::optional<cf::Value>& userInfo, uint64_t options) {
            std::lock_guard lock(m);
            posts.push_back({name, userInfo, options});
        };
    }
    std::vector<Post> named(const std::string& name) {
        std::lock_guard lock(m);
        std::vector<Post> found;
        for (const auto& post : posts)
            if (post.name == name) found.push_back(post);
        return found;
    }
    std::mutex m;
    std::vector<Post> posts;
};

class FakePanel final : public input::QNDesktopReflectorPanel {
  public:
    void setDelegate(std::weak_ptr<input::QNDesktopReflectorDelegate> delegate) override {
        windowDelegate = delegate;
    }
    void setReflectorDelegate(std::weak_ptr<input::QNDesktopReflectorDelegate> delegate) override {
        reflectorDelegate = delegate;
    }
    void showWithAnimation() override {
        shownOnMainThread = std::this_thread::get_id() == mainThread;
        showing = true;
        ++shows;
    }
    void hideWithAnimation() override { showing = false; }
    void close() override {
        showing = false;
        ++closes;
    }
    bool updating() const override { return showing.load(); }

    std::thread::id mainThread = std::this_thread::get_id();
    std::weak_ptr<input::QNDesktopReflectorDelegate> windowDelegate;
    std::weak_ptr<input::QNDesktopReflectorDelegate> reflectorDelegate;
    std::atomic<bool> showing{false};
    std::atomic<int> shows{0};
    std::atomic<int> closes{0};
    std::atomic<bool> shownOnMainThread{false};
};

class FakeEncoder final : public capture::QNBVellEncoderProtocol {
  public:
    void clearRectangles() override {}
    void setEncoderInformation(const std::shared_ptr<display::QNBDisplaySet>&,
                               const std::shared_ptr<net::QNNetSocketProtocol>&,
                               const net::QNCapabilities&) override {}
    void addDirtyRectangle(cg::CGRect rect) override {
        std::lock_guard lock(m);
        dirty.push_back(rect);
    }
    void encodeFrame(int32_t, bool, const std::shared_ptr<display::QNBDisplay>&) override {}
    void encodeFrame(int32_t, bool, const std::shared_ptr<display::QNBDisplay>&, uint32_t) override {}
    std::shared_ptr<capture::QNBVellEncoderDelegateProtocol> delegate() const override {
        return m_delegate.lock();
    }
    void setDelegate(std::weak_ptr<capture::QNBVellEncoderDelegateProtocol> delegate) override {
        m_delegate = std::move(delegate);
    }
    void stopSession() override { ++stops; }
    void enqueueFrame() override { ++enqueues; }
    void setLousyClient(bool value) override { lousy = value; }

    std::mutex m;
    std::vector<cg::CGRect> dirty;
    std::atomic<int> stops{0};
    std::atomic<int> enqueues{0};
    std::atomic<bool> lousy{false};

  private:
    std::weak_ptr<capture::QNBVellEncoderDelegateProtocol> m_delegate;
};

// A fake clock, a private home (preferences) and stand-in root, the recording delegate.
class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_clock = &platform::installFakeClock();
        char pattern[] = "/tmp/sst.XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        m_dir = pattern;
        std::filesystem::create_directories(m_dir + "/home");
        ::setenv("HOME", (m_dir + "/home").c_str(), 1);
        ::setenv("PLATFORM_ROOT", (m_dir + "/root").c_str(), 1);
        ASSERT_TRUE(platform::testing::makeRoot(m_dir + "/root"));
        auto& prefs = foundation::QNBPreferences::sharedAppPrefs();
        prefs.baseSetFirstRun(false);
        prefs.baseSetEnableTouchDisplay(true);
        prefs.baseSetEnableKeyboardInput(true);
        BaseLimnerAppDelegate::setAppDelegate(m_app);
        input::QNDesktopReflectorPanel::setMaker({});
    }
    void TearDown() override {
        BaseLimnerAppDelegate::setAppDelegate(nullptr);
        input::QNDesktopReflectorPanel::setMaker({});
        dispatch::runUntilIdle();
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
        platform::Profile::reload();
    }

    // A session with the recording seams, wired to a pipe socket as the mediator wires one.
    std::shared_ptr<RecordingSession> makeSession() {
        auto session = std::make_shared<RecordingSession>(6001);
        session->setMediator(m_mediator);
        session->setDistributedPoster(m_poster.poster());
        return session;
    }
    std::shared_ptr<PipeSocket> connect(const std::shared_ptr<ScreenServer>& session) {
        auto socket = std::make_shared<PipeSocket>();
        auto sideband = std::make_shared<PipeSocket>();
        session->setClientSocket(socket);
        session->setSidebandSocket(sideband);
        m_sidebands[session.get()] = sideband;
        session->start();
        return socket;
    }
    std::shared_ptr<PipeSocket> sidebandOf(const std::shared_ptr<ScreenServer>& session) {
        return m_sidebands[session.get()];
    }
    // Waits until the session's read loops number count (they end on their own threads).
    void waitForLoops(const std::shared_ptr<ScreenServer>& session, size_t count) {
        ASSERT_TRUE(session->waitForReadLoopCount(count, platform::kDistantFuture));
    }
    // A session with the local client window on whose device connects with the handshake, is
    // activated and goes away.
    std::shared_ptr<RecordingSession> dropWithLocalWindow(const std::vector<uint8_t>& handshake) {
        auto session = makeSession();
        session->setDisplayLocalClientWindow(true);
        auto socket = connect(session);
        socket->feed(handshake);
        EXPECT_TRUE(session->waitForActivations(1));
        socket->closePeer();
        waitForLoops(session, 0);
        dispatch::runUntilIdle();
        return session;
    }

    platform::FakeClock* m_clock = nullptr;
    std::string m_dir;
    std::shared_ptr<RecordingAppDelegate> m_app = std::make_shared<RecordingAppDelegate>();
    std::shared_ptr<FakeMediator> m_mediator = std::make_shared<FakeMediator>();
    RecordingPoster m_poster;
    std::map<const void*, std::shared_ptr<PipeSocket>> m_sidebands;
};

// A 3.0.1 handshake (388 bytes) with names, a client id and a display mode to clear.
inline std::vector<uint8_t> handshakeBytes(uint8_t major = 3, uint8_t minor = 0, uint8_t sub = 1,
                                           uint64_t clientId = 0, const std::string& name = "Ref",
                                           const std::string& identifier = "ref-1") {
    net::QNClientHandshake handshake;
    handshake.majorversion = major;
    handshake.minorversion = minor;
    handshake.subversion = sub;
    handshake.capabilities.gateletClientId = clientId;
    handshake.nominalWidth = 1024;
    handshake.nominalHeight = 768;
    handshake.numberOfDisplayRequests = 1;
    handshake.displayMode = 433;
    net::QNClientHandshake::setText(handshake.deviceName, name);
    net::QNClientHandshake::setText(handshake.deviceIdentifier, identifier);
    net::QNClientHandshake::setText(handshake.devicePlatform, "iPad");
    auto record = handshake.encode();
    return std::vector<uint8_t>(
        record.begin(),
        record.begin() + static_cast<ptrdiff_t>(net::QNHandshakeReader::handshakeLength(major, minor, sub)));
}

} // namespace server::testing
