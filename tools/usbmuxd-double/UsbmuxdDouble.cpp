#include "tools/usbmuxd-double/UsbmuxdDouble.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sstream>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace usbmuxd_double {

namespace {

// Answer numbers of a Connect.
constexpr uint64_t kResultOK = 0;
constexpr uint64_t kResultBadCommand = 1;
constexpr uint64_t kResultBadDevice = 2;
constexpr uint64_t kResultConnectionRefused = 3;

void note(const std::string& text) {
    std::fprintf(stderr, "usbmuxd-double: %s\n", text.c_str());
}

int listenUnix(const std::string& path, std::string* error) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        if (error) *error = "socket path \"" + path + "\" is empty or too long";
        return -1;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (error) *error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 128) != 0) {
        if (error) *error = "cannot listen on " + path + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

std::set<uint16_t> parsePorts(const std::string& text, bool& ok) {
    std::set<uint16_t> ports;
    ok = true;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (item.empty()) continue;
        char* end = nullptr;
        unsigned long port = std::strtoul(item.c_str(), &end, 10);
        if (*end != '\0' || port == 0 || port > 65535) {
            ok = false;
            return {};
        }
        ports.insert(static_cast<uint16_t>(port));
    }
    return ports;
}

// Hands fd to a device process with the 4-byte record u16 LE port, u16 0.
bool passDescriptor(int registrationFd, uint16_t port, int fd) {
    uint8_t record[4] = {static_cast<uint8_t>(port & 0xFF), static_cast<uint8_t>(port >> 8), 0, 0};
    iovec iov{record, sizeof record};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    ssize_t n;
    do {
        n = ::sendmsg(registrationFd, &message, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof record);
}

} // namespace

UsbmuxdDouble::UsbmuxdDouble(std::string socketPath, std::string deviceEndpoint)
    : m_socketPath(std::move(socketPath)),
      m_deviceEndpoint(deviceEndpoint.empty() ? m_socketPath + ".device" : std::move(deviceEndpoint)) {}

UsbmuxdDouble::~UsbmuxdDouble() {
    stop();
}

bool UsbmuxdDouble::start(std::string* error) {
    m_listenFd = listenUnix(m_socketPath, error);
    if (m_listenFd < 0) return false;
    m_deviceListenFd = listenUnix(m_deviceEndpoint, error);
    if (m_deviceListenFd < 0) {
        ::close(m_listenFd);
        m_listenFd = -1;
        return false;
    }
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_quit = false;
    m_thread = std::thread([this] { loop(); });
    return true;
}

void UsbmuxdDouble::stop() {
    if (!m_thread.joinable()) return;
    m_quit = true;
    wake();
    m_thread.join();
    std::lock_guard lock(m_mutex);
    for (auto& [fd, c] : m_mux)
        ::close(fd);
    m_mux.clear();
    for (auto& [fd, c] : m_deviceConnections)
        ::close(fd);
    m_deviceConnections.clear();
    m_devices.clear();
    for (int* fd : {&m_listenFd, &m_deviceListenFd, &m_wakeFd}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    ::unlink(m_socketPath.c_str());
    ::unlink(m_deviceEndpoint.c_str());
}

void UsbmuxdDouble::wake() {
    uint64_t one = 1;
    ssize_t ignored = ::write(m_wakeFd, &one, sizeof one);
    (void)ignored;
}

void UsbmuxdDouble::changed() {
    m_changed.notify_all();
}

void UsbmuxdDouble::loop() {
    while (!m_quit) {
        std::vector<pollfd> fds = {
            {m_wakeFd, POLLIN, 0}, {m_listenFd, POLLIN, 0}, {m_deviceListenFd, POLLIN, 0}};
        {
            std::lock_guard lock(m_mutex);
            for (auto& [fd, c] : m_mux)
                fds.push_back({fd, POLLIN, 0});
            for (auto& [fd, c] : m_deviceConnections)
                fds.push_back({fd, POLLIN, 0});
        }
        int n = ::poll(fds.data(), fds.size(), -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            note(std::string("poll failed: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents) {
            uint64_t value;
            ssize_t ignored = ::read(m_wakeFd, &value, sizeof value);
            (void)ignored;
        }
        if (fds[1].revents) acceptMux();
        if (fds[2].revents) acceptDevice();
        for (size_t i = 3; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            bool isMux;
            {
                std::lock_guard lock(m_mutex);
                isMux = m_mux.count(fds[i].fd) > 0;
                if (!isMux && !m_deviceConnections.count(fds[i].fd)) continue; // closed meanwhile
            }
            if (isMux) {
                readMux(fds[i].fd);
            } else {
                readDevice(fds[i].fd);
            }
        }
    }
}

void UsbmuxdDouble::acceptMux() {
    int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    std::lock_guard lock(m_mutex);
    if (!m_acceptNew) {
        ::close(fd);
        return;
    }
    ++m_accepted;
    m_mux[fd] = MuxConnection{fd, {}, false};
    changed();
}

void UsbmuxdDouble::acceptDevice() {
    int fd = ::accept4(m_deviceListenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    std::lock_guard lock(m_mutex);
    m_deviceConnections[fd] = DeviceConnection{fd, {}, std::nullopt};
}

bool UsbmuxdDouble::readMux(int fd) {
    std::vector<std::function<void()>> after;
    bool open = true;
    {
        std::unique_lock lock(m_mutex);
        auto it = m_mux.find(fd);
        if (it == m_mux.end()) return false;
        MuxConnection& c = it->second;
        // One packet at a time, never reading past it: a Connect's socket carries the
        // device's bytes once answered.
        size_t need = kHeaderSize;
        if (c.buffer.size() >= kHeaderSize) need = decodeHeader(c.buffer.data()).size;
        uint8_t chunk[4096];
        size_t want = std::min(sizeof chunk, need - c.buffer.size());
        ssize_t n = ::recv(fd, chunk, want, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        if (n <= 0) {
            closeMuxLocked(fd);
            return false;
        }
        c.buffer.insert(c.buffer.end(), chunk, chunk + n);
        if (c.buffer.size() == kHeaderSize) {
            Header h = decodeHeader(c.buffer.data());
            if (h.size < kHeaderSize || h.size > kMaxPacketSize || h.protocol != kPlistProtocol ||
                h.type != kPlistMessageType) {
                note("refused a packet: size " + std::to_string(h.size) + ", protocol " +
                     std::to_string(h.protocol) + ", type " + std::to_string(h.type));
                closeMuxLocked(fd);
                return false;
            }
        }
        if (c.buffer.size() < kHeaderSize || c.buffer.size() < decodeHeader(c.buffer.data()).size)
            return true;
        Header h = decodeHeader(c.buffer.data());
        Request request = parseRequest(h.tag, c.buffer.data() + kHeaderSize, h.size - kHeaderSize);
        c.buffer.clear();
        m_requests.push_back(request);
        changed();
        open = handleRequest(c, request, after);
    }
    for (auto& f : after)
        f();
    return open;
}

bool UsbmuxdDouble::handleRequest(MuxConnection& c, const Request& request,
                                  std::vector<std::function<void()>>& after) {
    int fd = c.fd;
    if (m_responder) {
        if (auto bytes = m_responder(request)) {
            writeLocked(fd, *bytes);
            return true;
        }
    }
    auto result = [&](uint64_t number) {
        writeLocked(fd, encodeMessage(request.tag, {{"MessageType", "Result"}, {"Number", number}}));
    };
    if (!request.parsed) {
        note("refused a request whose payload is no dictionary");
        result(kResultBadCommand);
        return true;
    }
    if (request.messageType == "Listen") {
        result(kResultOK);
        c.listening = true;
        for (const auto& [id, device] : m_devices)
            writeLocked(fd, encodeMessage(0, attachedMessage(device)));
        changed();
        return true;
    }
    if (request.messageType != "Connect") {
        result(kResultBadCommand);
        return true;
    }
    auto device =
        request.deviceId ? m_devices.find(static_cast<uint32_t>(*request.deviceId)) : m_devices.end();
    if (device == m_devices.end()) {
        result(kResultBadDevice);
        return true;
    }
    uint16_t port = swapPort(static_cast<uint16_t>(request.portNumber.value_or(0) & 0xFFFF));
    auto key = std::make_pair(device->first, port);
    ConnectScript script = m_scripts.count(key) ? m_scripts[key] : ConnectScript{};
    if (m_refused[key] < script.refuseFirst) {
        ++m_refused[key];
        result(kResultConnectionRefused);
        return true;
    }
    switch (script.mode) {
    case ConnectScript::Mode::NeverAnswer:
        return true;
    case ConnectScript::Mode::Close:
        closeMuxLocked(fd);
        return false;
    case ConnectScript::Mode::NoNumber:
        writeLocked(fd, encodeMessage(request.tag, {{"MessageType", "Result"}}));
        return true;
    case ConnectScript::Mode::Number4:
        result(4);
        return true;
    case ConnectScript::Mode::Normal:
        break;
    }
    if (!device->second.ports.count(port)) {
        result(kResultConnectionRefused);
        return true;
    }
    result(kResultOK);
    m_mux.erase(fd); // the socket is the device's now
    changed();
    if (device->second.registrationFd >= 0) {
        if (!passDescriptor(device->second.registrationFd, port, fd))
            note("could not pass a connection to device " + std::to_string(device->first));
        ::close(fd);
    } else if (device->second.handler) {
        after.push_back([handler = device->second.handler, port, fd] { handler(port, fd); });
    } else {
        ::close(fd);
    }
    return false;
}

void UsbmuxdDouble::readDevice(int fd) {
    char chunk[512];
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    std::lock_guard lock(m_mutex);
    auto it = m_deviceConnections.find(fd);
    if (it == m_deviceConnections.end()) return;
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        closeDeviceLocked(fd);
        return;
    }
    DeviceConnection& c = it->second;
    c.line.append(chunk, static_cast<size_t>(n));
    if (c.line.size() > 4096) {
        note("device registration line too long; closed");
        closeDeviceLocked(fd);
        return;
    }
    size_t end;
    while ((end = c.line.find('\n')) != std::string::npos) {
        std::string line = c.line.substr(0, end);
        c.line.erase(0, end + 1);
        if (!handleDeviceLine(c, line)) return;
    }
}

bool UsbmuxdDouble::handleDeviceLine(DeviceConnection& c, const std::string& line) {
    std::stringstream in(line);
    std::string verb, a, b, portText;
    in >> verb;
    auto reply = [&](const std::string& text) {
        std::string out = text + "\n";
        writeLocked(c.fd, Bytes(out.begin(), out.end()));
    };
    bool ok = true;
    if (verb == "attach" && !c.deviceId) {
        in >> a >> b >> portText;
        char* end = nullptr;
        unsigned long id = std::strtoul(a.c_str(), &end, 10);
        std::set<uint16_t> ports = parsePorts(portText, ok);
        if (a.empty() || *end != '\0' || id == 0 || id > UINT32_MAX || !ok) {
            reply("error malformed attach");
            return true;
        }
        if (m_devices.count(static_cast<uint32_t>(id))) {
            reply("error DeviceID in use");
            return true;
        }
        c.deviceId = static_cast<uint32_t>(id);
        addDeviceLocked(Device{static_cast<uint32_t>(id), b, ports, c.fd, nullptr});
        reply("ok");
    } else if (verb == "ports" && c.deviceId) {
        // No answer: after the attach, only connection records travel to the device.
        in >> portText;
        std::set<uint16_t> ports = parsePorts(portText, ok);
        if (!ok) {
            note("device " + std::to_string(*c.deviceId) + " sent malformed ports \"" + portText +
                 "\"; ignored");
            return true;
        }
        m_devices[*c.deviceId].ports = ports;
    } else if (!c.deviceId) {
        reply("error unknown command");
    } else {
        note("device " + std::to_string(*c.deviceId) + " sent an unknown command; ignored");
    }
    return true;
}

void UsbmuxdDouble::closeMuxLocked(int fd) {
    if (m_mux.erase(fd)) ::close(fd);
    changed();
    wake();
}

void UsbmuxdDouble::closeDeviceLocked(int fd) {
    auto it = m_deviceConnections.find(fd);
    if (it == m_deviceConnections.end()) return;
    if (it->second.deviceId) removeDeviceLocked(*it->second.deviceId);
    m_deviceConnections.erase(it);
    ::close(fd);
    wake();
}

void UsbmuxdDouble::writeLocked(int fd, const Bytes& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return; // the peer went; its read end closes it
        sent += static_cast<size_t>(n);
    }
}

Message UsbmuxdDouble::attachedMessage(const Device& d) const {
    Message properties = {{"DeviceID", static_cast<uint64_t>(d.id)},
                          {"SerialNumber", d.serial},
                          {"ConnectionType", "USB"},
                          {"ProductID", 0x12AB},
                          {"LocationID", 0x14100000},
                          {"ConnectionSpeed", 480000000}};
    return {
        {"MessageType", "Attached"}, {"DeviceID", static_cast<uint64_t>(d.id)}, {"Properties", properties}};
}

void UsbmuxdDouble::broadcastLocked(const Message& message) {
    Bytes packet = encodeMessage(0, message);
    for (auto& [fd, c] : m_mux)
        if (c.listening) writeLocked(fd, packet);
}

void UsbmuxdDouble::addDeviceLocked(Device device) {
    Message attached = attachedMessage(device);
    m_devices[device.id] = std::move(device);
    broadcastLocked(attached);
    changed();
}

void UsbmuxdDouble::removeDeviceLocked(uint32_t deviceId) {
    if (!m_devices.erase(deviceId)) return;
    broadcastLocked({{"MessageType", "Detached"}, {"DeviceID", static_cast<uint64_t>(deviceId)}});
    changed();
}

bool UsbmuxdDouble::registerDevice(uint32_t deviceId, std::string serial, std::set<uint16_t> ports,
                                   ConnectHandler handler) {
    std::lock_guard lock(m_mutex);
    if (m_devices.count(deviceId)) return false;
    addDeviceLocked(Device{deviceId, std::move(serial), std::move(ports), -1, std::move(handler)});
    return true;
}

void UsbmuxdDouble::unregisterDevice(uint32_t deviceId) {
    std::lock_guard lock(m_mutex);
    removeDeviceLocked(deviceId);
}

void UsbmuxdDouble::setPorts(uint32_t deviceId, std::set<uint16_t> ports) {
    std::lock_guard lock(m_mutex);
    if (auto it = m_devices.find(deviceId); it != m_devices.end()) it->second.ports = std::move(ports);
}

std::vector<uint32_t> UsbmuxdDouble::deviceIds() const {
    std::lock_guard lock(m_mutex);
    std::vector<uint32_t> ids;
    for (const auto& [id, d] : m_devices)
        ids.push_back(id);
    return ids;
}

void UsbmuxdDouble::setConnectScript(uint32_t deviceId, uint16_t port, ConnectScript script) {
    std::lock_guard lock(m_mutex);
    m_scripts[{deviceId, port}] = script;
    m_refused[{deviceId, port}] = 0;
}

void UsbmuxdDouble::setResponder(Responder responder) {
    std::lock_guard lock(m_mutex);
    m_responder = std::move(responder);
}

void UsbmuxdDouble::broadcast(const Message& message) {
    std::lock_guard lock(m_mutex);
    broadcastLocked(message);
}

void UsbmuxdDouble::sendRawToListeners(const Bytes& bytes) {
    std::lock_guard lock(m_mutex);
    for (auto& [fd, c] : m_mux)
        if (c.listening) writeLocked(fd, bytes);
}

void UsbmuxdDouble::reset(bool refuseNew) {
    std::lock_guard lock(m_mutex);
    std::vector<int> listening;
    for (auto& [fd, c] : m_mux)
        if (c.listening) listening.push_back(fd);
    for (int fd : listening)
        closeMuxLocked(fd);
    if (refuseNew) m_acceptNew = false;
}

void UsbmuxdDouble::acceptNewConnections(bool accept) {
    std::lock_guard lock(m_mutex);
    m_acceptNew = accept;
}

std::vector<Request> UsbmuxdDouble::requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

size_t UsbmuxdDouble::openConnections() const {
    std::lock_guard lock(m_mutex);
    return m_mux.size();
}

size_t UsbmuxdDouble::listeningConnections() const {
    std::lock_guard lock(m_mutex);
    size_t n = 0;
    for (const auto& [fd, c] : m_mux)
        n += c.listening ? 1 : 0;
    return n;
}

size_t UsbmuxdDouble::acceptedConnectionCount() const {
    std::lock_guard lock(m_mutex);
    return m_accepted;
}

bool UsbmuxdDouble::waitFor(const std::function<bool()>& pred, double timeoutSeconds) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] {
        lock.unlock();
        bool ok = pred();
        lock.lock();
        return ok;
    });
}

} // namespace usbmuxd_double
