// The session on real sockets between real processes: a private platformd, activation_road
// with the test activation as the session's host, and the reference client on 127.0.0.2 as
// the device.
#include "foundation/Vocabulary.h"
#include "platform/core/Clock.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/services/NSDistributedNotificationCenter.h"
#include "tools/refclient/Client.h"
#include "tools/refclient/Datagrams.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

constexpr double kEventBound = 20.0; // seconds: an event that takes longer is a failure

// activation_road, its standard input held open by a pipe and its standard output read line
// by line; its log goes to a file.
class RoadProcess {
  public:
    ~RoadProcess() { stop(); }

    bool start(const std::vector<std::string>& arguments, const std::string& logPath) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> copy = arguments;
        copy.insert(copy.begin(), ACTIVATION_ROAD_PATH);
        std::vector<char*> argv;
        for (auto& argument : copy)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        const int error = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        m_stdin = in[1];
        if (error != 0) {
            ::close(out[0]);
            m_pid = -1;
            return false;
        }
        m_reader = std::thread([this, fd = out[0]] { readLines(fd); });
        return true;
    }

    // Closes its standard input (its end) and answers its exit status.
    int stop() {
        if (m_stdin >= 0) ::close(m_stdin);
        m_stdin = -1;
        int status = -1;
        if (m_pid > 0) ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        if (m_reader.joinable()) m_reader.join();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Waits until the line has been printed count times in all.
    bool waitForLine(const std::string& line, size_t count = 1) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::duration<double>(kEventBound),
                                  [&] { return countLocked(line) >= count; });
    }
    size_t count(const std::string& line) {
        std::lock_guard lock(m_mutex);
        return countLocked(line);
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

  private:
    size_t countLocked(const std::string& line) const {
        return std::count(m_lines.begin(), m_lines.end(), line);
    }
    void readLines(int fd) {
        std::string pending;
        char buffer[512];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
            pending.append(buffer, size_t(n));
            size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                std::lock_guard lock(m_mutex);
                m_lines.push_back(pending.substr(0, end));
                pending.erase(0, end + 1);
                m_changed.notify_all();
            }
        }
        ::close(fd);
    }

    pid_t m_pid = -1;
    int m_stdin = -1;
    std::thread m_reader;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_lines;
};

class ScreenServerSessionRoad : public platformd::testing::PlatformdTest {
  protected:
    void SetUp() override {
        PlatformdTest::SetUp();
        auto& center = ns::NSDistributedNotificationCenter::defaultCenter();
        for (const char* name :
             {foundation::kServerConnectedToDevice, foundation::kServerDisconnectedFromDevice, kMarker})
            m_tokens.push_back(
                center.addObserverForName(std::string(name), std::nullopt,
                                          [this](const ns::NSNotification& n) { m_notices.push_back(n); }));
        ASSERT_TRUE(
            m_road.start({"--test-activation", "0"}, m_platformd->root() + "/var/log/activation_road.log"));
        ASSERT_TRUE(m_road.waitForLine("listening"));
    }
    void TearDown() override {
        EXPECT_EQ(m_road.stop(), 0);
        for (auto& token : m_tokens)
            ns::NSDistributedNotificationCenter::defaultCenter().removeObserver(token);
        PlatformdTest::TearDown();
    }

    refclient::Config clientConfig() {
        refclient::Config config;
        config.bindAddress = "127.0.0.2";
        config.connectHost = "127.0.0.1";
        config.announce = false;
        return config;
    }
    bool waitFor(const refclient::Client& client,
                 const std::function<bool(const refclient::Snapshot&)>& pred) {
        return client.waitFor(pred, platform::seconds(kEventBound));
    }
    // Serves the main run loop (where distributed notifications arrive) until pred holds.
    bool pumpUntil(const std::function<bool()>& pred) {
        const auto deadline = platform::now() + platform::seconds(kEventBound);
        auto loop = ns::NSRunLoop::mainRunLoop();
        while (!pred()) {
            if (platform::now() >= deadline) return false;
            loop->runModeBeforeDate("kCFRunLoopDefaultMode", platform::now() + platform::seconds(0.1));
        }
        return true;
    }
    std::vector<ns::NSNotification> named(const char* name) {
        std::vector<ns::NSNotification> found;
        for (const auto& notice : m_notices)
            if (notice.name == name) found.push_back(notice);
        return found;
    }
    // Everything posted before this returns has been delivered here.
    void settle() {
        const size_t markers = named(kMarker).size();
        ns::NSDistributedNotificationCenter::defaultCenter().postNotificationName(kMarker, std::nullopt);
        ASSERT_TRUE(pumpUntil([&] { return named(kMarker).size() > markers; }));
    }
    static std::string text(const ns::NSNotification& notice, const char* key) {
        const cf::Value* value = notice.userInfo ? notice.userInfo->find(key) : nullptr;
        return value && value->asString() ? *value->asString() : "(none)";
    }

    static constexpr const char* kMarker = "com.quenby.Tessel.test.SessionRoadMarker";
    RoadProcess m_road;
    std::vector<ns::NSDistributedNotificationCenter::ObserverToken> m_tokens;
    std::vector<ns::NSNotification> m_notices;
};

TEST_F(ScreenServerSessionRoad, AConnectedDeviceIsReportedServedAndReportedGoneOnce) {
    refclient::Client client(clientConfig());
    ASSERT_TRUE(client.start());
    ASSERT_TRUE(m_road.waitForLine("state Activated"));
    ASSERT_TRUE(pumpUntil([&] { return !named(foundation::kServerConnectedToDevice).empty(); }));
    const auto connected = named(foundation::kServerConnectedToDevice).front();
    EXPECT_EQ(text(connected, foundation::kDeviceNameKey), "127.0.0.2");
    EXPECT_EQ(text(connected, foundation::kDeviceAddressKey), "::ffff:127.0.0.2");
    EXPECT_EQ(text(connected, foundation::kDisplayNameKey), "Ref");
    EXPECT_EQ(text(connected, foundation::kDeviceIdentifier), "refclient-127.0.0.2");
    EXPECT_EQ(text(connected, foundation::kServiceKey), "local.~_qnexvscreen._udp~Ref");
    EXPECT_EQ(text(connected, foundation::kLimnerPlatformNameKey), "iPad");
    EXPECT_EQ(text(connected, foundation::kConnectionMechanism), "3");
    EXPECT_EQ(text(connected, foundation::kAddressIdentifier), "qnbAddressStringKey~127.0.0.2");

    ASSERT_TRUE(
        waitFor(client, [](const auto& s) { return s.systemInformationCount > 0 && s.lastResolution; }));
    EXPECT_TRUE(client.snapshot().systemInformationOk);

    client.send(refclient::datagram::feature(3, 1));
    ASSERT_TRUE(waitFor(client, [](const auto& s) { return s.features.count(1) && s.features.at(1) == 1; }));
    // Hostile and unhandled datagrams leave the session served.
    client.send({});
    client.send({9, 3, 0});
    client.send({4, 0, 0, 0, 0, 0, 0, 0, 0});
    client.send(refclient::datagram::feature(4, 1));
    ASSERT_TRUE(waitFor(client, [](const auto& s) { return s.features.at(1) == 2; }));
    EXPECT_EQ(client.snapshot().state, refclient::ClientState::Session);
    EXPECT_TRUE(client.snapshot().protocolErrors.empty());

    // (The first "Awaiting_Handshake" is the reset that made the session free for the device.)
    client.stop();
    ASSERT_TRUE(m_road.waitForLine("state Awaiting_Handshake", 2));
    ASSERT_TRUE(pumpUntil([&] { return !named(foundation::kServerDisconnectedFromDevice).empty(); }));
    settle();
    const auto gone = named(foundation::kServerDisconnectedFromDevice);
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(text(gone[0], foundation::kDeviceNameKey), "127.0.0.2");
    EXPECT_EQ(text(gone[0], foundation::kDeviceIdentifier), "refclient-127.0.0.2");
}

TEST_F(ScreenServerSessionRoad, AHandshakeCutShortAsksNoActivationAndFreesTheSession) {
    {
        auto config = clientConfig();
        config.handshakeCut = 50;
        config.once = true;
        refclient::Client cut(config);
        std::string error;
        ASSERT_TRUE(cut.start(&error)) << error;
        // One reset frees the session for the connection, one follows its end.
        ASSERT_TRUE(m_road.waitForLine("state Awaiting_Handshake", 2));
        EXPECT_EQ(cut.waitForExit(), 0);
    }
    EXPECT_EQ(m_road.count("state Resolving_New_Size"), 0u);

    // The session is free again: the next device is served.
    refclient::Client next(clientConfig());
    ASSERT_TRUE(next.start());
    ASSERT_TRUE(m_road.waitForLine("state Activated"));
    ASSERT_TRUE(pumpUntil([&] { return !named(foundation::kServerConnectedToDevice).empty(); }));
    settle();
    EXPECT_EQ(named(foundation::kServerConnectedToDevice).size(), 1u); // none for the cut one
    next.stop();
    ASSERT_TRUE(m_road.waitForLine("state Awaiting_Handshake", 4));
}

TEST_F(ScreenServerSessionRoad, AReconnectFromTheSameAddressLandsOnTheSessionAndOutlivesTheOldOne) {
    auto config = clientConfig();
    config.endMode = refclient::EndMode::Silent; // after 0.5 s the old connection goes silent, kept open,
    config.endAfter = 0.5;
    config.reconnectAfterSilent = 0.5; // and 0.5 s later a new one comes from the same address
    refclient::Client client(config);
    ASSERT_TRUE(client.start());
    ASSERT_TRUE(m_road.waitForLine("state Activated"));
    ASSERT_TRUE(waitFor(
        client, [](const auto& s) { return s.sessions >= 2 && s.state == refclient::ClientState::Session; }));
    ASSERT_TRUE(
        m_road.waitForLine("state Activated", 2)); // the new connection, activated on the same session
    // The old connection has been replaced: the new one is still served.
    client.send(refclient::datagram::feature(3, 2));
    ASSERT_TRUE(waitFor(client, [](const auto& s) { return s.features.count(2) && s.features.at(2) == 1; }));
    EXPECT_EQ(m_road.count("state Awaiting_Handshake"), 1u); // only the reset before the first connection
    EXPECT_EQ(m_road.count("state Sleeping"), 0u);
    client.stop();
    ASSERT_TRUE(m_road.waitForLine("state Awaiting_Handshake", 2));
}

} // namespace
