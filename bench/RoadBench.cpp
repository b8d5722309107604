#include "bench/RoadBench.h"

#include "foundation/Vocabulary.h"
#include "platform/core/Clock.h"
#include "platform/ipc/Connection.h"
#include "platform/windowserver/WindowServerProtocol.h"
#include "regions/ScreenUpdateRecords.h"
#include "server/tests/RoadTestSupport.h"

#include <turbojpeg.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr char kHelperApp[] = TESSEL_HELPER_APP;
constexpr char kServiceKeyPrefix[] = "local.~_qnexvscreen._udp~";
constexpr uint32_t kVirtualSerialPrefix = 0x9973;

double seconds(const timespec& t) {
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

std::optional<cf::Value> windowServer(std::string_view op, const cf::Value& args,
                                      std::vector<ipc::UniqueFd>* fds = nullptr) {
    platform::Error error;
    auto connection = ipc::Connection::shared(&error);
    if (!connection) return std::nullopt;
    ipc::Reply reply = connection->request(op, args);
    if (!reply.ok) return std::nullopt;
    if (fds) *fds = std::move(reply.fds);
    return reply.result ? *reply.result : cf::Value::emptyDictionary();
}

int64_t number(const cf::Value& dictionary, std::string_view key) {
    const cf::Value* v = dictionary.find(key);
    return v && v->isNumber() ? v->integerValue() : -1;
}

bool succeeded(const std::optional<cf::Value>& result) {
    return result && number(*result, "status") == 0;
}

// The value of " key=" in a log line, as a number.
std::optional<int> field(const std::string& line, std::string_view key) {
    std::string needle(1, ' ');
    needle.append(key).push_back('=');
    size_t at = line.find(needle);
    if (at == std::string::npos) return std::nullopt;
    const char* begin = line.c_str() + at + needle.size();
    char* end = nullptr;
    long value = std::strtol(begin, &end, 10);
    if (end == begin) return std::nullopt;
    return int(value);
}

// Whether a socket of type could bind the address and port now (a stream port with
// SO_REUSEADDR, so closed connections lingering on it do not count).
bool bindable(int type, const std::string& address, uint16_t port) {
    sockaddr_in6 at{};
    at.sin6_family = AF_INET6;
    at.sin6_port = htons(port);
    if (::inet_pton(AF_INET6, ("::ffff:" + address).c_str(), &at.sin6_addr) != 1) at.sin6_addr = in6addr_any;
    int fd = ::socket(AF_INET6, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int off = 0, on = 1;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    if (type == SOCK_STREAM) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
    ::close(fd);
    return ok;
}

} // namespace

bool waitForProtocolPorts(const std::vector<std::string>& addresses, double limit) {
    const int64_t end = monotonicNs() + int64_t(limit * 1e9);
    for (bool told = false;; told = true) {
        bool free = bindable(SOCK_STREAM, "", 6001) && bindable(SOCK_DGRAM, "", 6002);
        for (const std::string& address : addresses)
            free = free && bindable(SOCK_DGRAM, address, 6000);
        if (free) return true;
        if (monotonicNs() >= end) return false;
        if (!told) say("waiting for another run to free the protocol ports");
        sleepUntilNs(monotonicNs() + 500000000);
    }
}

Options parseOptions(int argc, char** argv, const char* program) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            char* end = nullptr;
            options.seconds = std::strtod(argv[++i], &end);
            if (*end == '\0' && options.seconds > 0 && options.seconds <= 3600) continue;
        }
        std::fprintf(stderr, "usage: %s [--seconds S]   (S from above 0 to 3600; default %g)\n", program,
                     Options{}.seconds);
        std::exit(2);
    }
    return options;
}

void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

void sayMachineLoad() {
    double load[3] = {0, 0, 0};
    const int got = ::getloadavg(load, 3);
    say("machine: %ld cores, load average %.1f %.1f %.1f%s", ::sysconf(_SC_NPROCESSORS_ONLN), load[0],
        load[1], load[2], got == 3 ? "" : " (unknown)");
}

int64_t monotonicNs() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

double processCpuSeconds(pid_t pid) {
    clockid_t clock;
    timespec t{};
    if (pid > 0 && ::clock_getcpuclockid(pid, &clock) == 0 && ::clock_gettime(clock, &t) == 0)
        return seconds(t);
    return -1;
}

double threadCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return seconds(t);
}

void sleepUntilNs(int64_t deadline) {
    timespec t{time_t(deadline / 1000000000), long(deadline % 1000000000)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

std::vector<ReceivedFrame> framesInLog(const std::vector<std::string>& lines, size_t from) {
    std::vector<ReceivedFrame> frames;
    bool open = false;
    for (size_t i = from; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.find(" update count=") != std::string::npos) {
            if (open && frames.back().rects.empty()) frames.pop_back();
            frames.emplace_back();
            open = true;
            continue;
        }
        if (!open || line.find(" rect ") == std::string::npos) continue;
        auto x = field(line, "x"), y = field(line, "y"), w = field(line, "w"), h = field(line, "h");
        auto encoding = field(line, "enc");
        if (!x || !y || !w || !h || encoding != 4 || *w <= 0 || *h <= 0) continue;
        frames.back().rects.push_back(Rect{*x, *y, *w, *h});
    }
    if (open && frames.back().rects.empty()) frames.pop_back();
    return frames;
}

Road::Road() = default;

Road::~Road() {
    // platformd stops what it launched as it shuts down.
    m_platformd.reset();
}

bool Road::start(const std::vector<std::string>& addresses, std::string& why) {
    sayMachineLoad();
    if (!waitForProtocolPorts(addresses)) {
        why = "the protocol ports stayed in use";
        return false;
    }
    // TESSEL_BENCH_TREE names another build tree whose platformd (with its drivers) and
    // TesselHelper.app run instead of this build's, measured with this program's references:
    // the way to pair two builds.
    const char* tree = std::getenv("TESSEL_BENCH_TREE");
    const std::string helperApp = tree ? std::string(tree) + "/server/TesselHelper.app" : kHelperApp;
    m_platformd = std::make_unique<platformd::testing::PrivatePlatformd>();
    if (tree) m_platformd->setProgram(std::string(tree) + "/platform/daemon/platformd");
    if (!m_platformd->start()) {
        why = "platformd did not start: " + m_platformd->logText();
        return false;
    }
    m_helperPid = server::testing::launchHelper(helperApp);
    if (m_helperPid <= 0) {
        why = "TesselHelper did not finish launching: " + helperLogTail();
        return false;
    }
    say("platformd pid %d, TesselHelper pid %d%s%s", int(m_platformd->pid()), int(m_helperPid),
        tree ? " of " : "", tree ? tree : "");
    return true;
}

std::string Road::helperLogTail() const {
    if (!m_platformd) return {};
    std::string text = platformd::testing::readFile(m_platformd->root() + "/var/log/TesselHelper.log");
    return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
}

std::unique_ptr<refclient::Client> Road::connectDevice(const std::string& address, const std::string& name,
                                                       int width, int height, std::string& why) {
    refclient::Config config;
    std::string nominal = std::to_string(width) + "x" + std::to_string(height);
    auto parsed = refclient::parseCommandLine(
        {"--bind-address", address, "--name", name, "--nominal", nominal, "--no-announce", "--lenient"},
        config);
    if (!parsed.ok) {
        why = "refclient options: " + parsed.error;
        return nullptr;
    }
    auto device = std::make_unique<refclient::Client>(config);
    if (!device->start(&why)) return nullptr;
    int64_t since = server::testing::lastSequence();
    server::testing::post(foundation::kConnectServerToHost,
                          cf::Dictionary{{foundation::kConnectToHostName, address},
                                         {foundation::kServiceKey, kServiceKeyPrefix + name},
                                         {foundation::kDisplayNameKey, name}});
    auto report = server::testing::waitEvent(
        "distributed-post",
        {{"name", foundation::kServerConnectedToDevice}, {"userInfo.DeviceName", address}}, since);
    if (!report) {
        why = "no connection report for " + address + ": " + helperLogTail();
        return nullptr;
    }
    bool active = device->waitFor(
        [](const refclient::Snapshot& s) {
            return s.state == refclient::ClientState::Session && s.activated && s.resolutions >= 2;
        },
        platform::seconds(30));
    if (!active) {
        why = "the device on " + address + " got no first frame: " + helperLogTail();
        return nullptr;
    }
    return device;
}

std::vector<windowserver::DisplayInfo> Road::virtualDisplays() {
    std::vector<windowserver::DisplayInfo> displays;
    auto result = windowServer(windowserver::op::displays, cf::Value::emptyDictionary());
    const cf::Value* list = result ? result->find("displays") : nullptr;
    for (size_t i = 0; list && i < list->count(); ++i) {
        auto display = windowserver::DisplayInfo::fromValue(*list->at(i));
        if (display && display->online && (display->serialNumber >> 16) == kVirtualSerialPrefix)
            displays.push_back(*display);
    }
    std::sort(displays.begin(), displays.end(),
              [](const auto& a, const auto& b) { return a.serialNumber < b.serialNumber; });
    return displays;
}

bool Road::drawPhoto(const std::string& window, uint32_t display, int seed) {
    return succeeded(windowServer(windowserver::op::draw, cf::Dictionary{{"hook", true},
                                                                         {"name", window},
                                                                         {"display", int64_t(display)},
                                                                         {"pattern", "photo"},
                                                                         {"value", int64_t(seed)}}));
}

bool Road::moveWindow(const std::string& window, double x, double y) {
    return succeeded(windowServer(windowserver::op::move,
                                  cf::Dictionary{{"hook", true}, {"name", window}, {"x", x}, {"y", y}}));
}

std::optional<Counters> Road::counters(uint32_t display) {
    auto result = windowServer(windowserver::op::counters, cf::Dictionary{{"display", int64_t(display)}});
    if (!succeeded(result)) return std::nullopt;
    return Counters{number(*result, "vblanks"),       number(*result, "compositions"),
                    number(*result, "grabs"),         number(*result, "streamFrames"),
                    number(*result, "streamSkipped"), number(*result, "composedAt")};
}

std::optional<Pixels> Road::readDisplay(uint32_t display) {
    std::vector<ipc::UniqueFd> fds;
    auto result =
        windowServer(windowserver::op::displayImage, cf::Dictionary{{"display", int64_t(display)}}, &fds);
    if (!succeeded(result) || fds.size() != 1) return std::nullopt;
    int64_t w = number(*result, "width"), h = number(*result, "height"),
            pitch = number(*result, "bytesPerRow");
    struct stat st {};
    if (w <= 0 || h <= 0 || pitch < w * 4 || ::fstat(fds[0].get(), &st) != 0 || st.st_size < h * pitch)
        return std::nullopt;
    size_t length = size_t(h * pitch);
    void* mapped = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fds[0].get(), 0);
    if (mapped == MAP_FAILED) return std::nullopt;
    Pixels pixels{int(w), int(h), std::vector<uint8_t>(size_t(w * h * 4))};
    for (int64_t y = 0; y < h; ++y)
        std::memcpy(pixels.bgrx.data() + y * w * 4, static_cast<const uint8_t*>(mapped) + y * pitch,
                    size_t(w * 4));
    ::munmap(mapped, length);
    return pixels;
}

WindowShaker::WindowShaker(Road& road, std::vector<Window> windows, double rate)
    : m_road(road), m_windows(std::move(windows)) {
    m_thread = std::thread([this, rate] {
        const int64_t period = int64_t(1e9 / rate), start = monotonicNs();
        for (uint64_t tick = 1; !m_stop; ++tick) {
            sleepUntilNs(start + int64_t(tick) * period);
            const double shift = tick % 2 ? 16 : 0;
            for (const Window& w : m_windows) {
                if (m_road.moveWindow(w.name, w.x + shift, w.y))
                    ++m_moves;
                else
                    ++m_refused;
            }
        }
        for (const Window& w : m_windows)
            m_road.moveWindow(w.name, w.x, w.y);
    });
}

WindowShaker::~WindowShaker() {
    stop();
}

void WindowShaker::stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
}

std::unique_ptr<Road> setUpRoad(const std::function<bool(Road&, std::string&)>& setup, std::string& why,
                                int attempts) {
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        auto road = std::make_unique<Road>();
        if (setup(*road, why)) return road;
        if (attempt < attempts) say("setting up failed, trying again: %s", why.substr(0, 200).c_str());
    }
    return nullptr;
}

std::optional<PhotoDevice> startPhotoDevice(Road& road, int width, int height, std::string& why) {
    const std::string address = "127.0.0.2";
    if (!road.start({address}, why)) return std::nullopt;
    PhotoDevice photo;
    photo.device = road.connectDevice(address, "Bench", width, height, why);
    if (!photo.device) return std::nullopt;
    auto displays = road.virtualDisplays();
    if (displays.size() != 1) {
        why = std::to_string(displays.size()) + " virtual displays, expected one";
        return std::nullopt;
    }
    photo.display = displays.front();
    say("display 0x%x: %u x %u pixels at (%g, %g)", photo.display.displayID, photo.display.pixelsWide,
        photo.display.pixelsHigh, photo.display.bounds.origin.x, photo.display.bounds.origin.y);
    if (!road.drawPhoto("photo", photo.display.displayID, 13)) {
        why = "cannot draw the photo window";
        return std::nullopt;
    }
    waitForQuiet(*photo.device, 0.3, 10);
    return photo;
}

std::unique_ptr<Road> setUpPhotoRoad(std::optional<PhotoDevice>& photo, int width, int height,
                                     std::string& why) {
    return setUpRoad(
        [&](Road& road, std::string& w) {
            photo = startPhotoDevice(road, width, height, w);
            return photo.has_value();
        },
        why);
}

std::unique_ptr<Road> setUpFourPhotoDevices(PhotoDevices& photo, int width, int height, std::string& why) {
    constexpr int kDevices = 4;
    auto road = setUpRoad(
        [&](Road& r, std::string& w) {
            photo.devices.clear();
            if (!r.start({"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}, w)) return false;
            for (int i = 0; i < kDevices; ++i) {
                char address[16], name[8];
                std::snprintf(address, sizeof address, "127.0.0.%d", i + 2);
                std::snprintf(name, sizeof name, "D%d", i + 2);
                photo.devices.push_back(r.connectDevice(address, name, width, height, w));
                if (!photo.devices.back()) return false;
            }
            return true;
        },
        why);
    if (!road) return nullptr;
    photo.displays = road->virtualDisplays();
    if (photo.displays.size() != kDevices) {
        why = std::to_string(photo.displays.size()) + " virtual displays, expected 4";
        return nullptr;
    }
    photo.windows.clear();
    for (size_t i = 0; i < photo.displays.size(); ++i) {
        const auto& d = photo.displays[i];
        say("display 0x%x: %u x %u pixels at (%g, %g)", d.displayID, d.pixelsWide, d.pixelsHigh,
            d.bounds.origin.x, d.bounds.origin.y);
        const std::string name = "photo" + std::to_string(i);
        if (!road->drawPhoto(name, d.displayID, int(17 + i))) {
            why = "cannot draw a photo window";
            return nullptr;
        }
        photo.windows.push_back({name, d.bounds.origin.x, d.bounds.origin.y});
    }
    for (auto& device : photo.devices)
        waitForQuiet(*device, 0.3, 10);
    return road;
}

std::optional<Pixels> readShifted(Road& road, const PhotoDevice& photo, double shift) {
    const cg::CGPoint origin = photo.display.bounds.origin;
    if (!road.moveWindow("photo", origin.x + shift, origin.y)) return std::nullopt;
    waitForQuiet(*photo.device, 0.3, 10);
    return road.readDisplay(photo.display.displayID);
}

bool waitForQuiet(const refclient::Client& device, double quiet, double limit) {
    const int64_t end = monotonicNs() + int64_t(limit * 1e9);
    uint64_t frames = device.snapshot().frames;
    while (monotonicNs() < end) {
        bool more = device.waitFor([frames](const refclient::Snapshot& s) { return s.frames != frames; },
                                   platform::seconds(quiet));
        if (!more) return true;
        frames = device.snapshot().frames;
    }
    return false;
}

Reencoder::Reencoder() : m_handle(tjInitCompress()) {}

Reencoder::~Reencoder() {
    if (m_handle) tjDestroy(static_cast<tjhandle>(m_handle));
}

LoopbackSink::LoopbackSink() {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(listener);
        return;
    }
    const int writer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (writer >= 0 && ::connect(writer, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        m_reader = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    if (m_reader < 0) {
        if (writer >= 0) ::close(writer);
        return;
    }
    // The server's client sockets send without Nagle's delay too.
    const int on = 1;
    ::setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    m_writer = writer;
    m_drain = std::thread([fd = m_reader] {
        std::vector<char> buffer(1 << 18);
        for (;;) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n > 0 || (n < 0 && errno == EINTR)) continue;
            return;
        }
    });
}

LoopbackSink::~LoopbackSink() {
    if (m_writer >= 0) ::shutdown(m_writer, SHUT_RDWR);
    if (m_drain.joinable()) m_drain.join();
    if (m_writer >= 0) ::close(m_writer);
    if (m_reader >= 0) ::close(m_reader);
}

bool LoopbackSink::write(const void* head, size_t headLength, const void* payload, size_t payloadLength) {
    iovec pieces[2] = {{const_cast<void*>(head), headLength}, {const_cast<void*>(payload), payloadLength}};
    iovec* at = pieces;
    size_t count = payloadLength ? 2 : 1;
    while (count > 0) {
        msghdr message{};
        message.msg_iov = at;
        message.msg_iovlen = count;
        const ssize_t n = ::sendmsg(m_writer, &message, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        size_t sent = size_t(n);
        while (count > 0 && sent >= at->iov_len) {
            sent -= at->iov_len;
            ++at;
            --count;
        }
        if (count > 0) {
            at->iov_base = static_cast<char*>(at->iov_base) + sent;
            at->iov_len -= sent;
        }
    }
    return true;
}

double Reencoder::encode(const Pixels& source, const std::vector<Rect>& rects, uint64_t* bytes,
                         LoopbackSink* sink) {
    if (!m_handle) return -1;
    // The buffer is sized before the clock starts, as the server's reused buffers are.
    size_t largest = 0;
    for (const Rect& r : rects)
        largest = std::max<size_t>(largest, tjBufSize(r.width, r.height, TJSAMP_420));
    if (m_buffer.size() < largest) m_buffer.resize(largest);
    const double begin = threadCpuSeconds();
    uint64_t total = 0;
    if (sink) {
        const auto header = regions::QNScreenUpdateMsg{regions::kScreenUpdateDesignation,
                                                       uint16_t(std::min<size_t>(rects.size(), UINT16_MAX))}
                                .encode();
        if (!sink->write(header.data(), header.size())) return -1;
    }
    for (const Rect& r : rects) {
        const int x = std::clamp(r.x, 0, source.width), y = std::clamp(r.y, 0, source.height);
        const int w = std::min(r.width, source.width - x), h = std::min(r.height, source.height - y);
        if (w <= 0 || h <= 0) continue;
        unsigned char* out = m_buffer.data();
        unsigned long size = static_cast<unsigned long>(m_buffer.size());
        const unsigned char* at = source.bgrx.data() + (size_t(y) * size_t(source.width) + size_t(x)) * 4;
        if (tjCompress2(static_cast<tjhandle>(m_handle), at, w, source.width * 4, h, TJPF_BGRX, &out, &size,
                        TJSAMP_420, 99, TJFLAG_NOREALLOC | TJFLAG_FASTDCT) != 0)
            return -1;
        total += size;
        if (sink) {
            const auto record = regions::QNRectangleMsg::withRect(
                                    cg::CGRectMake(x, y, w, h), regions::QNScreenEncodingJPG, uint32_t(size))
                                    .encode();
            if (!sink->write(record.data(), record.size(), out, size)) return -1;
        }
    }
    const double spent = threadCpuSeconds() - begin;
    if (bytes) *bytes = total;
    return spent;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

RoundTrips measureRoundTrips(double rate, double seconds) {
    RoundTrips result;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return result;
    pid_t child = ::fork();
    if (child < 0) {
        ::close(pair[0]);
        ::close(pair[1]);
        return result;
    }
    if (child == 0) {
        // Only async-signal-safe calls here: the parent has threads.
        ::close(pair[0]);
        char byte;
        while (::read(pair[1], &byte, 1) == 1)
            if (::write(pair[1], &byte, 1) != 1) break;
        ::_exit(0);
    }
    ::close(pair[1]);
    const double childBegin = processCpuSeconds(child), selfBegin = threadCpuSeconds();
    const int64_t period = int64_t(1e9 / rate), start = monotonicNs();
    const uint64_t count = uint64_t(rate * seconds);
    for (uint64_t i = 0; i < count; ++i) {
        sleepUntilNs(start + int64_t(i) * period);
        char byte = 'r';
        if (::write(pair[0], &byte, 1) != 1 || ::read(pair[0], &byte, 1) != 1) break;
        ++result.made;
    }
    result.cpuSeconds = (threadCpuSeconds() - selfBegin) + (processCpuSeconds(child) - childBegin);
    ::close(pair[0]);
    int status;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return result;
}

} // namespace bench
