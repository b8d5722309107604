// Stream throughput of the USB link: 256 KiB sends through a connected USB socket (framed,
// over a usbmuxd double's connection) against plain writes of the same sizes on a Unix socket
// pair, measured in one run. Prints both rates and their ratio (goal: at least 0.5).
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"
#include "tools/usbmuxd-double/UsbmuxdDouble.h"
#include "usblink/QNBPeerTalkDeviceManager.h"
#include "usblink/QNBPeerTalkNetSocket.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kSendSize = 256 * 1024;
constexpr size_t kSends = 400; // 100 MiB per road
constexpr uint16_t kPort = 47104;

using Clock = std::chrono::steady_clock;

// Reads and drops everything until the peer closes; answers the byte count.
size_t drain(int fd) {
    std::vector<uint8_t> buffer(1 << 20);
    size_t total = 0;
    for (;;) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n <= 0) return total;
        total += static_cast<size_t>(n);
    }
}

double plainRate(const std::vector<uint8_t>& chunk) {
    int fds[2];
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    std::thread reader([fd = fds[1]] { drain(fd); });
    auto start = Clock::now();
    for (size_t i = 0; i < kSends; ++i) {
        size_t sent = 0;
        while (sent < chunk.size()) {
            ssize_t n = ::send(fds[0], chunk.data() + sent, chunk.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return 0;
            sent += static_cast<size_t>(n);
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::shutdown(fds[0], SHUT_WR);
    reader.join();
    ::close(fds[0]);
    ::close(fds[1]);
    return static_cast<double>(kSends * kSendSize) / seconds / (1 << 20);
}

// One double and one device manager serve every run; each run connects a new socket.
struct UsbRoad {
    std::string dir;
    std::unique_ptr<usbmuxd_double::UsbmuxdDouble> muxd;
    std::shared_ptr<usblink::QNBPeerTalkDeviceManager> manager;
    std::mutex mutex;
    std::vector<int> deviceFds;

    bool start() {
        char pattern[] = "/tmp/usblink-bench-XXXXXX";
        dir = ::mkdtemp(pattern);
        std::string path = dir + "/usbmuxd";
        muxd = std::make_unique<usbmuxd_double::UsbmuxdDouble>(path);
        std::string error;
        if (!muxd->start(&error)) {
            std::fprintf(stderr, "usblink_bench: %s\n", error.c_str());
            return false;
        }
        std::set<uint16_t> ports;
        for (int run = 0; run < 3; ++run)
            ports.insert(static_cast<uint16_t>(kPort + run));
        muxd->registerDevice(5, "bench", ports, [this](uint16_t, int fd) {
            std::lock_guard lock(mutex);
            deviceFds.push_back(fd);
        });
        ::setenv(usblink::kUsbmuxdSocketEnvironment, path.c_str(), 1);
        manager = usblink::QNBPeerTalkDeviceManager::create();
        manager->startListeningForDevices();
        while (!manager->hasDeviceID(5))
            dispatch::RunLoop::main()->runModeBeforeDate(dispatch::kDefaultRunLoopMode,
                                                         platform::now() + platform::seconds(0.1));
        return true;
    }
    ~UsbRoad() {
        if (muxd) muxd->stop();
        if (!dir.empty()) ::rmdir(dir.c_str());
    }
    int takeDeviceFd() {
        for (;;) { // the double hands it over just after writing the Result
            std::lock_guard lock(mutex);
            if (!deviceFds.empty()) {
                int fd = deviceFds.back();
                deviceFds.pop_back();
                return fd;
            }
        }
    }

    double rate(const std::vector<uint8_t>& chunk, int run) {
        const auto port = static_cast<uint16_t>(kPort + run);
        auto socket = usblink::QNBPeerTalkNetSocket::initWithPort(port, 5, manager);
        socket->connectToAddress(net::SocketAddress(), port, nullptr);
        if (!socket->isConnected()) {
            std::fprintf(stderr, "usblink_bench: the USB socket did not connect\n");
            return 0;
        }
        int deviceFd = takeDeviceFd();
        std::thread reader([deviceFd] { drain(deviceFd); });
        auto start = Clock::now();
        bool ok = true;
        for (size_t i = 0; i < kSends && ok; ++i)
            ok = socket->sendBytes(chunk.data(), chunk.size());
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        socket->close();
        ::shutdown(deviceFd, SHUT_RDWR);
        reader.join();
        ::close(deviceFd);
        return ok ? static_cast<double>(kSends * kSendSize) / seconds / (1 << 20) : 0;
    }
};

} // namespace

int main() {
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<uint8_t> chunk(kSendSize);
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<uint8_t>(i * 31);
    // Best of three runs each: the machine is shared, and a run is only ever slowed down.
    UsbRoad road;
    if (!road.start()) return 1;
    double plain = 0, usb = 0;
    for (int run = 0; run < 3; ++run) {
        plain = std::max(plain, plainRate(chunk));
        usb = std::max(usb, road.rate(chunk, run));
    }
    std::printf("plain Unix socket pair: %8.1f MiB/s\n", plain);
    std::printf("USB socket (framed):    %8.1f MiB/s\n", usb);
    const double ratio = plain > 0 ? usb / plain : 0.0;
    std::printf("P5 usblink_bench: ratio=%.2f goal >= 0.5 (%s)\n", ratio, ratio >= 0.5 ? "met" : "missed");
    return usb > 0 ? 0 : 1;
}
