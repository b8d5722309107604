// The activation road end to end, nothing faked: a private platformd with both kexts,
// activation_road standing in for the mediator of one session, and the reference client.
#include "foundation/QNBPreferences.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"
#include "platform/windowserver/DisplayInfo.h"
#include "platform/windowserver/WindowServerProtocol.h"
#include "tools/refclient/Client.h"

#include "platform/core/Clock.h"
#include "platform/corefoundation/CFPreferences.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using platformd::testing::PlatformdTest;

const std::string kRoad = ACTIVATION_ROAD_PATH;
constexpr uint32_t kSerial1 = 0x99730001;

std::shared_ptr<ipc::Connection> connection() {
    auto c = ipc::Connection::shared();
    EXPECT_TRUE(c);
    return c;
}

std::optional<cf::Value> waitEvent(const std::string& kind, cf::Dictionary match, double timeout = 30) {
    return platformd::testing::waitForEvent(kind, std::move(match), timeout);
}

std::vector<windowserver::DisplayInfo> displays() {
    std::vector<windowserver::DisplayInfo> out;
    auto reply = connection()->request(windowserver::op::displays);
    const cf::Value* list = reply.ok && reply.result ? reply.result->find("displays") : nullptr;
    for (size_t i = 0; list && i < list->count(); ++i)
        if (auto d = windowserver::DisplayInfo::fromValue(*list->at(i))) out.push_back(*d);
    return out;
}

std::optional<windowserver::DisplayInfo> virtualDisplay(uint32_t serial) {
    for (const auto& d : displays())
        if (d.serialNumber == serial && d.online) return d;
    return std::nullopt;
}

// activation_road with a pipe on each side: its standard input held open until the test ends
// it, its standard output read line by line as the states come.
class Road {
  public:
    explicit Road(int index) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<std::string> args{kRoad, std::to_string(index)};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        started = posix_spawn(&m_pid, kRoad.c_str(), &actions, nullptr, argv.data(), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        m_stdin = in[1];
        m_stdout = out[0];
    }
    ~Road() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_stdin >= 0) ::close(m_stdin);
        if (m_stdout >= 0) ::close(m_stdout);
    }

    // Waits for the line among those not yet consumed; the lines before it are consumed too.
    bool waitForLine(const std::string& line, double seconds = 30) {
        const auto deadline = platform::now() + platform::seconds(seconds);
        for (;;) {
            for (size_t i = 0; i < m_lines.size(); ++i) {
                if (m_lines[i] == line) {
                    m_seen.insert(m_seen.end(), m_lines.begin(), m_lines.begin() + long(i) + 1);
                    m_lines.erase(m_lines.begin(), m_lines.begin() + long(i) + 1);
                    return true;
                }
            }
            int ready = platform::pollFor(m_stdout, POLLIN, deadline);
            if (ready <= 0) return false;
            char buffer[512];
            ssize_t n = ::read(m_stdout, buffer, sizeof buffer);
            if (n <= 0) return false;
            m_partial.append(buffer, size_t(n));
            for (size_t nl; (nl = m_partial.find('\n')) != std::string::npos;) {
                m_lines.push_back(m_partial.substr(0, nl));
                m_partial.erase(0, nl + 1);
            }
        }
    }
    const std::vector<std::string>& seen() const { return m_seen; }

    // Closes its standard input: it stops the driver client and exits 0.
    std::optional<int> finish(double seconds = 30) {
        ::close(m_stdin);
        m_stdin = -1;
        return waitExit(seconds);
    }
    std::optional<int> terminate(double seconds = 30) {
        ::kill(m_pid, SIGTERM);
        return waitExit(seconds);
    }

    bool started = false;

  private:
    std::optional<int> waitExit(double seconds) {
        const auto deadline = platform::now() + platform::seconds(seconds);
        while (platform::now() < deadline) {
            int status = 0;
            pid_t r = ::waitpid(m_pid, &status, WNOHANG);
            if (r == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            // Drain its output so it never blocks on a full pipe while exiting.
            if (platform::pollFor(m_stdout, POLLIN, platform::now() + platform::seconds(0.05)) > 0) {
                char buffer[512];
                if (::read(m_stdout, buffer, sizeof buffer) <= 0) platform::sleepFor(0.01);
            }
        }
        return std::nullopt;
    }

    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_stdout = -1;
    std::string m_partial;
    std::vector<std::string> m_lines;
    std::vector<std::string> m_seen;
};

refclient::Config clientConfig(const std::string& protocol, const std::string& nominal, int request) {
    std::vector<std::string> args{
        "--protocol",    protocol,    "--bind-address", "127.0.0.2",        "--connect",
        "127.0.0.1",     "--nominal", nominal,          "--request-number", std::to_string(request),
        "--no-announce", "--once",    "--lenient"};
    refclient::Config config;
    auto parsed = refclient::parseCommandLine(args, config);
    EXPECT_TRUE(parsed.ok) << parsed.error;
    return config;
}

// The resolution notices the client logged, as "WxH req".
std::vector<std::string> resolutions(const refclient::Client& client) {
    std::vector<std::string> out;
    for (const auto& line : client.log()) {
        if (line.find("resolution") == std::string::npos) continue;
        out.push_back(line);
    }
    return out;
}

class DisplayActivationRoad : public PlatformdTest {};

TEST_F(DisplayActivationRoad, ANewClientGetsTheFilesSizeTheDisplayAndActivation) {
    Road road(1);
    ASSERT_TRUE(road.started);
    ASSERT_TRUE(road.waitForLine("listening")) << "the road never listened";
    refclient::Client client(clientConfig("3.0.1", "1300x900", 7));
    ASSERT_TRUE(client.start());
    auto added =
        waitEvent(std::string(windowserver::eventKind::displayAdded), {{"serial", std::to_string(kSerial1)}});
    ASSERT_TRUE(added);
    EXPECT_EQ(added->find("width")->integerValue(), 1280);
    EXPECT_EQ(added->find("height")->integerValue(), 800);
    ASSERT_TRUE(road.waitForLine("state Activated"));
    ASSERT_TRUE(client.waitFor([](const refclient::Snapshot& s) { return s.resolutions >= 2; },
                               platform::seconds(30)));
    auto notices = resolutions(client);
    ASSERT_GE(notices.size(), 2u);
    EXPECT_NE(notices[0].find("w=1280 h=800 req=7"), std::string::npos) << notices[0];
    EXPECT_NE(notices[1].find("w=1280 h=800 req=0"), std::string::npos) << notices[1];

    client.stop();
    ASSERT_TRUE(waitEvent(std::string(windowserver::eventKind::displayRemoved),
                          {{"serial", std::to_string(kSerial1)}}));
    EXPECT_TRUE(road.waitForLine("state Awaiting_Handshake"));
    EXPECT_EQ(road.finish(), std::optional<int>(0));
}

TEST_F(DisplayActivationRoad, AnOldClientAskingForTheLargestSizeGetsIt) {
    Road road(1);
    ASSERT_TRUE(road.waitForLine("listening"));
    refclient::Client client(clientConfig("2.2.0", "2732x2048", 3));
    ASSERT_TRUE(client.start());
    ASSERT_TRUE(road.waitForLine("state Activated"));
    auto display = virtualDisplay(kSerial1);
    ASSERT_TRUE(display);
    EXPECT_EQ(display->pixelsWide, 2732u);
    EXPECT_EQ(display->pixelsHigh, 2048u);
    client.stop();
    EXPECT_EQ(road.terminate(), std::optional<int>(0));
}

TEST_F(DisplayActivationRoad, AClientClosingAfterItsHandshakeLeavesNoDisplay) {
    Road road(1);
    ASSERT_TRUE(road.waitForLine("listening"));
    auto config = clientConfig("3.0.1", "1300x900", 1);
    config.closeAfterHandshake = true;
    refclient::Client client(config);
    ASSERT_TRUE(client.start());
    EXPECT_EQ(client.waitForExit(), 0);
    ASSERT_TRUE(road.waitForLine("state Awaiting_Handshake"));
    // Whatever the race's outcome, the display does not outlive the connection: an activation
    // already under way when the client left switches off the display it brought up.
    if (waitEvent(std::string(windowserver::eventKind::displayAdded), {{"serial", std::to_string(kSerial1)}},
                  3)) {
        EXPECT_TRUE(waitEvent(std::string(windowserver::eventKind::displayRemoved),
                              {{"serial", std::to_string(kSerial1)}}));
    }
    EXPECT_FALSE(virtualDisplay(kSerial1));
    EXPECT_EQ(road.finish(), std::optional<int>(0));
}

TEST_F(DisplayActivationRoad, WithHiDPIAllowedTheDisplayEndsInItsTwin) {
    // The window server's HiDPI setting and the server's preference, both on.
    cf::CFPreferencesSetValue("DisplayResolutionEnabled", cf::Value(true), "com.apple.windowserver",
                              cf::kCFPreferencesAnyUser, cf::kCFPreferencesCurrentHost);
    cf::CFPreferencesSynchronize("com.apple.windowserver", cf::kCFPreferencesAnyUser,
                                 cf::kCFPreferencesCurrentHost);
    foundation::QNBPreferences::sharedAppPrefs().baseSetEnableHiDPIResolutions(true);
    foundation::QNBPreferences::sharedAppPrefs().synchronize();
    Road road(1);
    ASSERT_TRUE(road.waitForLine("listening"));
    refclient::Client client(clientConfig("3.0.1", "1300x900", 1));
    ASSERT_TRUE(client.start());
    ASSERT_TRUE(road.waitForLine("state Activated"));
    const auto deadline = platform::now() + platform::seconds(20);
    std::optional<windowserver::DisplayInfo> display;
    // No event marks a mode change: look again now and then.
    while (platform::now() < deadline) {
        display = virtualDisplay(kSerial1);
        if (display && display->scale == 2.0) break;
        platform::sleepFor(0.05);
    }
    ASSERT_TRUE(display);
    EXPECT_EQ(display->scale, 2.0) << "the 2.0 twin";
    EXPECT_EQ(display->pixelsWide, 1280u);
    EXPECT_EQ(display->bounds.size.width, 640);
    client.stop();
    EXPECT_EQ(road.finish(), std::optional<int>(0));
}

} // namespace
