// The refclient's USB device mode: registration with the usbmuxd double, the connections it
// hands over (6004 the main stream, 6005 datagrams to the device, 6006 datagrams from it),
// the loopback road on TCP 127.0.0.1:6004-6006, and the USB fault options.
#include "tools/refclient/Client.h"

#include "platform/core/Log.h"
#include "tools/refclient/SidebandDatagram.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace refclient {

namespace {

// How long the double may take to answer the registration.
constexpr int kRegistrationReplyMs = 5000;

// The smallest binary property list: an empty dictionary.
const uint8_t kEmptyBinaryDictionary[] = {'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xD0, 0x08, 0, 0, 0, 0,
                                          0,   0,   1,   1,   0,   0,   0,   0,   0,    0,    0, 1, 0, 0,
                                          0,   0,   0,   0,   0,   0,   0,   0,   0,    0,    0, 0, 0, 9};

const char* sourceForPort(uint16_t port) {
    switch (port) {
    case kUsbStreamPort:
        return "usb6004";
    case kUsbToDevicePort:
        return "usb6005";
    default:
        return "usb6006";
    }
}

int listenLoopback(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

} // namespace

bool Client::startUsb(std::string* error) {
    auto fail = [&](const std::string& why) {
        platform::log("refclient: %@", why);
        if (error) *error = why;
        update([](Snapshot& s) {
            s.exitCode = 2;
            s.state = ClientState::Ended;
        });
        return false;
    };
    std::string endpoint = m_config.usbHub;
    if (endpoint.empty()) {
        const char* muxd = std::getenv("TESSEL_USBMUXD_SOCKET");
        if (!muxd || !*muxd) return fail("USB mode needs --usb-hub or TESSEL_USBMUXD_SOCKET");
        endpoint = std::string(muxd) + ".device";
    }
    sockaddr_un address{};
    if (endpoint.size() >= sizeof address.sun_path)
        return fail("the double's device endpoint path is too long");
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, endpoint.c_str(), endpoint.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::string why = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return fail(platform::format("cannot reach the usbmuxd double at %@: %@", endpoint, why));
    }
    std::string attach =
        platform::format("attach %u refclient-usb-%u %@\n", m_config.usbDeviceId, m_config.usbDeviceId,
                         m_config.usbListenDelay > 0 ? "" : "6004,6005,6006");
    std::string reply;
    if (sendAll(fd, ByteView(reinterpret_cast<const uint8_t*>(attach.data()), attach.size()))) {
        // Read the one reply line byte by byte: what follows it belongs to the connection records.
        while (reply.size() < 256) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, kRegistrationReplyMs) != 1) break;
            char c;
            if (::recv(fd, &c, 1, 0) != 1) break;
            if (c == '\n') break;
            reply.push_back(c);
        }
    }
    if (reply != "ok") {
        ::close(fd);
        return fail(platform::format("the usbmuxd double refused the device: \"%@\"", reply));
    }
    m_usbRegistrationFd = fd;
    if (m_config.usbLoopback) {
        for (uint16_t port : {kUsbStreamPort, kUsbToDevicePort, kUsbFromDevicePort}) {
            int listener = listenLoopback(port);
            if (listener < 0)
                return fail(
                    platform::format("cannot listen on 127.0.0.1:%u: %@", port, std::strerror(errno)));
            m_usbLoopbackListeners.emplace_back(listener, port);
        }
    }
    if (!m_config.logPath.empty() && !m_log.open(m_config.logPath))
        return fail(platform::format("cannot open the record log %@", m_config.logPath));
    m_streamSource = "usb6004";
    m_errorSource = m_streamSource;
    m_startTime = platform::now();
    m_log.restart(m_startTime);
    m_log.add("ctl", "usb-attached", {{"device", text(m_config.usbDeviceId)}});
    m_thread = std::thread([this] { runLoop(); });
    return true;
}

void Client::onUsbRegistrationReadable() {
    uint8_t record[4];
    iovec iov{record, sizeof record};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(m_usbRegistrationFd, &message, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    int fd = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
            std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
    if (n <= 0) {
        if (fd >= 0) ::close(fd);
        m_loop.unwatch(m_usbRegistrationFd);
        ::close(m_usbRegistrationFd);
        m_usbRegistrationFd = -1;
        endRun(2, "the usbmuxd double went away");
        return;
    }
    if (n != static_cast<ssize_t>(sizeof record) || fd < 0) {
        if (fd >= 0) ::close(fd);
        platform::log("refclient: a connection record of %lld bytes from the double; ignored",
                      static_cast<long long>(n));
        return;
    }
    adoptUsbConnection(static_cast<uint16_t>(record[0] | record[1] << 8), fd);
}

void Client::adoptUsbConnection(uint16_t port, int fd) {
    m_log.add(sourceForPort(port), "connect");
    if (port == kUsbStreamPort) {
        // A new 6004 connection becomes the session; an older one is closed.
        if (m_connection) closeConnection("replaced", EndMode::Fin);
        m_connection = std::make_unique<Connection>();
        m_connection->fd = fd;
        m_connection->usb = true;
        m_connection->generation = m_nextGeneration++;
        m_connection->frames = std::make_unique<UsbFrameDecoder>(
            [this](uint32_t type, ByteView bytes) { onUsbStreamFrame(type, bytes); },
            [this](const std::string& what) { protocolError(what, true); });
        update([](Snapshot& s) {
            s.state = ClientState::Handshaking;
            s.silent = false;
            s.serverAddress = "usb";
            ++s.sessions;
        });
        beginSession();
        return;
    }
    if (port != kUsbToDevicePort && port != kUsbFromDevicePort) {
        platform::log("refclient: a connection to port %u, which this device does not offer; closed", port);
        ::close(fd);
        return;
    }
    uint64_t id = m_nextUsbLink++;
    UsbLink& link = m_usbLinks[id];
    link.fd = fd;
    link.port = port;
    link.frames = std::make_unique<UsbFrameDecoder>(
        [this, id](uint32_t type, ByteView bytes) {
            UsbLink& l = m_usbLinks[id];
            const char* source = sourceForPort(l.port);
            if (l.port == kUsbToDevicePort && type == kUsbFrameDatagram) {
                handleUsbDatagram(bytes, source);
            } else {
                m_errorSource = source;
                protocolError(platform::format("frame type %u on %u", type, l.port), false);
                m_errorSource = m_streamSource;
            }
        },
        [this, id](const std::string& what) {
            UsbLink& l = m_usbLinks[id];
            l.broken = true;
            m_errorSource = sourceForPort(l.port);
            protocolError(what, false);
            m_errorSource = m_streamSource;
        });
    m_loop.watch(fd, POLLIN, [this, id](short) { onUsbLinkReadable(id); });
}

void Client::onUsbLinkReadable(uint64_t id) {
    auto it = m_usbLinks.find(id);
    if (it == m_usbLinks.end()) return;
    Bytes buffer(64 * 1024);
    ssize_t n;
    do {
        n = ::recv(it->second.fd, buffer.data(), buffer.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
        closeUsbLink(id);
        return;
    }
    it->second.frames->feed(ByteView(buffer.data(), static_cast<size_t>(n)));
    if (it->second.broken || it->second.frames->ended()) closeUsbLink(id);
    settlePending();
}

void Client::closeUsbLink(uint64_t id) {
    auto it = m_usbLinks.find(id);
    if (it == m_usbLinks.end()) return;
    m_loop.unwatch(it->second.fd);
    ::close(it->second.fd);
    m_log.add(sourceForPort(it->second.port), "closed", {{"reason", "eof"}});
    m_usbLinks.erase(it);
}

void Client::onUsbStreamFrame(uint32_t type, ByteView bytes) {
    if (type == kUsbFrameStream) {
        if (m_connection && m_connection->parser) m_connection->parser->feed(bytes);
    } else if (type == kUsbFrameDatagram) {
        handleUsbDatagram(bytes, "usb6004"); // cursor datagrams ride the stream's channel
    } else {
        protocolError(platform::format("frame type %u on 6004", type), false);
    }
}

void Client::handleUsbDatagram(ByteView bytes, const char* source) {
    m_errorSource = source;
    SidebandDatagram d = SidebandDatagram::classify(bytes);
    switch (d.kind) {
    case SidebandDatagram::Kind::Invitation:
        // The wake-up hello: the server follows it with 6004, 6005 and 6006 by itself.
        m_log.add(source, "invite");
        update([](Snapshot& s) { ++s.invitations; });
        break;
    case SidebandDatagram::Kind::CursorPosition:
        // Signed, as over the network: a display left of or above the main one has negative
        // positions.
        m_log.add(source, "cursor",
                  {{"x", text(d.record.x)}, {"y", text(d.record.y)}, {"visible", d.visible() ? "1" : "0"}});
        cursorDatagramSeen(d);
        break;
    case SidebandDatagram::Kind::FeatureState:
        featureDatagramSeen(source, d, NetAddress());
        break;
    case SidebandDatagram::Kind::Refused:
        protocolError(d.refusal, false);
        break;
    }
    m_errorSource = m_streamSource;
}

void Client::sendUsbDatagram(ByteView bytes) {
    UsbLink* newest = nullptr;
    for (auto& [id, link] : m_usbLinks)
        if (link.port == kUsbFromDevicePort) newest = &link;
    if (!newest) {
        platform::log("refclient: no 6006 connection; datagram of %u bytes dropped", bytes.size());
        return;
    }
    if (!sendAll(newest->fd, encodeUsbDataFrame(kUsbFrameDatagram, newest->nextTag++, bytes))) {
        platform::log("refclient: datagram not sent on 6006: %@", std::strerror(errno));
        return;
    }
    m_log.add("usb6006", "datagram-sent",
              {{"type", bytes.empty() ? "none" : text(static_cast<uint64_t>(bytes[0]))},
               {"len", text(bytes.size())}});
    update([](Snapshot& s) { ++s.datagramsSent; });
}

void Client::usbDetach() {
    if (m_connection) closeConnection("detached", EndMode::Fin);
    std::vector<uint64_t> ids;
    for (auto& [id, link] : m_usbLinks)
        ids.push_back(id);
    for (uint64_t id : ids)
        closeUsbLink(id);
    if (m_usbRegistrationFd >= 0) {
        m_loop.unwatch(m_usbRegistrationFd);
        ::close(m_usbRegistrationFd);
        m_usbRegistrationFd = -1;
    }
    platform::log("refclient: Detached");
    m_log.add("ctl", "detached");
    endRun(0, "detached");
}

void Client::injectUsbFrameFault() {
    m_usbFaultSent = true;
    const std::string& kind = m_config.usbFrameFault;
    Bytes frame;
    bool onSideband = kind == "short101" || kind == "long101";
    if (kind == "version2") {
        frame = encodeUsbFrame(kUsbFrameStream, 0, Bytes{0, 0, 0, 1, 0x20}, 2);
    } else if (kind == "zero100") {
        frame = encodeUsbFrame(kUsbFrameStream, 0, Bytes{0, 0, 0, 0});
    } else if (kind == "short101") {
        frame = encodeUsbFrame(kUsbFrameDatagram, 0, Bytes{0, 0});
    } else if (kind == "long101") {
        frame = encodeUsbFrame(kUsbFrameDatagram, 0, Bytes{0, 0, 0, 100, 4, 0, 0});
    } else if (kind == "huge") {
        frame = encodeUsbFrame(kUsbFrameStream, 0, {});
        frame[12] = 0xFF, frame[13] = 0xFF, frame[14] = 0xFF, frame[15] = 0xF0;
    } else if (kind == "type99") {
        frame = encodeUsbFrame(kUsbFrameDictionary, 0,
                               ByteView(kEmptyBinaryDictionary, sizeof kEmptyBinaryDictionary));
    } else {
        frame = encodeUsbFrame(102, 0, Bytes{1, 2, 3});
    }
    int fd = -1;
    if (onSideband) {
        for (auto& [id, link] : m_usbLinks)
            if (link.port == kUsbFromDevicePort) fd = link.fd;
    } else if (m_connection) {
        fd = m_connection->fd;
    }
    if (fd < 0 || !sendAll(fd, frame)) {
        platform::log("refclient: the %@ frame fault could not be sent", kind);
        return;
    }
    m_log.add("ctl", "usb-frame-fault", {{"kind", kind}, {"len", text(frame.size())}});
}

} // namespace refclient
