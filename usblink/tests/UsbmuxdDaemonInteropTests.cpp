// The usbmuxd client against Debian's usbmuxd on its fixed socket "/var/run/usbmuxd": a daemon
// already answering there is used; otherwise one is started in the foreground as root and
// stopped by its pid. Without the program or without root the test is skipped, saying which.
#include "UsbTestSupport.h"

#include "usblink/PTUSBHub.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace usblink;
using usblink::testing::pumpUntil;

namespace {

constexpr char kDaemon[] = "/usr/sbin/usbmuxd";

bool answers(const char* path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path, sizeof a.sun_path - 1);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// A usbmuxd started for the test; ready once it logs that its initialisation is complete.
class Daemon {
  public:
    bool start(std::string& why) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return why = "pipe failed", false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        const char* argv[] = {kDaemon, "-f", "-v", "-U", "root", nullptr};
        int rc = posix_spawn(&m_pid, kDaemon, &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (rc != 0) {
            ::close(out[0]);
            m_pid = -1;
            return why = std::string("cannot start usbmuxd: ") + std::strerror(rc), false;
        }
        std::string output;
        char buffer[512];
        for (;;) {
            pollfd p{out[0], POLLIN, 0};
            if (::poll(&p, 1, 10000) != 1) break;
            ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n <= 0) break;
            output.append(buffer, static_cast<size_t>(n));
            if (output.find("Initialization complete") != std::string::npos) {
                m_output = out[0];
                return true;
            }
        }
        ::close(out[0]);
        why = "usbmuxd did not come up: " + output;
        return false;
    }
    ~Daemon() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            int status;
            ::waitpid(m_pid, &status, 0);
        }
        if (m_output >= 0) ::close(m_output);
    }

  private:
    pid_t m_pid = -1;
    int m_output = -1;
};

} // namespace

TEST(UsbmuxdDaemonInterop, ListenListDevicesAndAConnectToAnUnknownDevice) {
    ::unsetenv(kUsbmuxdSocketEnvironment);
    ASSERT_EQ(usbmuxdSocketPath(), "/var/run/usbmuxd");
    Daemon daemon;
    if (!answers(kDefaultUsbmuxdSocketPath)) {
        if (::access(kDaemon, X_OK) != 0) GTEST_SKIP() << "usbmuxd is not installed (" << kDaemon << ")";
        if (::geteuid() != 0) GTEST_SKIP() << "starting usbmuxd needs root";
        std::string why;
        if (!daemon.start(why)) GTEST_SKIP() << why;
    }
    // "Listen" on the shared hub's connection: Result 0.
    auto hub = PTUSBHub::create(kDefaultUsbmuxdSocketPath);
    bool started = false;
    OptionalError listenError;
    hub->listenOnQueue(
        dispatch::dispatch_get_main_queue(),
        [&](OptionalError e) {
            started = true;
            listenError = e;
        },
        nullptr);
    ASSERT_TRUE(pumpUntil([&] { return started; }));
    EXPECT_FALSE(listenError) << listenError->description();

    // "ListDevices" through sendRequest: a "DeviceList" array.
    auto channel = PTUSBChannel::create(kDefaultUsbmuxdSocketPath);
    platform::Error openError;
    ASSERT_TRUE(channel->openOnQueue(dispatch::dispatch_get_main_queue(), &openError, nullptr))
        << openError.description();
    std::optional<cf::Value> reply;
    bool replied = false;
    channel->sendRequest(PTUSBChannel::packetDictionaryWithPacketType("ListDevices", {}),
                         [&](OptionalError e, std::optional<cf::Value> r) {
                             replied = true;
                             EXPECT_FALSE(e);
                             reply = r;
                         });
    ASSERT_TRUE(pumpUntil([&] { return replied; }));
    ASSERT_TRUE(reply && reply->find("DeviceList")) << (reply ? reply->description() : "no reply");
    ASSERT_TRUE(reply->find("DeviceList")->isArray());
    int64_t unknown = 1000000;
    for (const auto& device : *reply->find("DeviceList")->asArray())
        if (const cf::Value* id = device.find("DeviceID"); id && id->integerValue() >= unknown)
            unknown = id->integerValue() + 1;
    channel->stop();

    // A Connect to an identifier usbmuxd does not list: "unknown device", no channel.
    bool connected = false;
    OptionalError connectError;
    dispatch::dispatch_io_t io;
    hub->connectToDevice(
        unknown, 6004,
        [&](OptionalError e, dispatch::dispatch_io_t c) {
            connected = true;
            connectError = e;
            io = c;
        },
        nullptr);
    ASSERT_TRUE(pumpUntil([&] { return connected; }));
    ASSERT_TRUE(connectError);
    EXPECT_EQ(connectError->domain, PTUSBHubErrorDomain);
    EXPECT_EQ(connectError->code, 2);
    EXPECT_EQ(connectError->localizedDescription(), "unknown device");
    EXPECT_FALSE(io);
    hub->channel()->stop();
    dispatch::runUntilIdle();
}
