// The refclient's sideband port: datagrams from the server (cursor positions, feature requests)
// read and answered, and datagrams sent to the server's port.
#include "tools/refclient/Client.h"

#include "platform/core/Log.h"
#include "tools/refclient/SidebandDatagram.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace refclient {

namespace {

constexpr size_t kReadChunk = 64 * 1024;

} // namespace

void Client::onDatagramReadable() {
    Bytes buffer(kReadChunk);
    for (;;) {
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = ::recvfrom(m_udpFd, buffer.data(), buffer.size(), MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) {
            if (errno == EINTR) continue;
            return; // EAGAIN: drained
        }
        // A datagram larger than the buffer is refused by its length like any odd size.
        size_t length = static_cast<size_t>(n) > buffer.size() ? buffer.size() + 1 : static_cast<size_t>(n);
        ByteView bytes(buffer.data(), std::min(length, buffer.size()));
        m_errorSource = "udp";
        if (length > buffer.size()) {
            protocolError(platform::format("sideband datagram of %lld bytes", static_cast<long long>(n)),
                          false);
        } else {
            handleDatagram(bytes, NetAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&from), fromLength));
        }
        m_errorSource = m_streamSource;
        settlePending();
        if (m_ended) return;
    }
}

// What a cursor or feature datagram leaves in the snapshot, whichever channel carried it.
void Client::cursorDatagramSeen(const SidebandDatagram& d) {
    update([&d](Snapshot& s) {
        s.cursor.haveDatagram = true;
        s.cursor.x = d.record.x;
        s.cursor.y = d.record.y;
        s.cursor.visible = d.visible();
    });
}

void Client::featureDatagramSeen(std::string_view source, const SidebandDatagram& d, const NetAddress& from) {
    m_log.add(source, "feature", {{"feature", text(d.feature())}, {"op", text(d.operation())}});
    update([&d](Snapshot& s) { s.features[d.feature()] = d.operation(); });
    if (d.operation() == kFeatureRequestOn || d.operation() == kFeatureRequestOff)
        answerFeature(d.feature(), d.operation(), from);
}

void Client::handleDatagram(ByteView bytes, const NetAddress& from) {
    SidebandDatagram d = SidebandDatagram::classify(bytes);
    switch (d.kind) {
    case SidebandDatagram::Kind::Invitation: {
        bool idle = snapshot().state == ClientState::Idle;
        if (m_awayUntil && platform::now() < *m_awayUntil) idle = false;
        m_log.add("udp", "invite", {{"from", from.ip()}, {"acted", idle ? "1" : "0"}});
        update([](Snapshot& s) { ++s.invitations; });
        if (idle) connectTo(from.ip());
        break;
    }
    case SidebandDatagram::Kind::CursorPosition:
        m_log.add("udp", "cursor",
                  {{"x", text(d.record.x)}, {"y", text(d.record.y)}, {"visible", d.visible() ? "1" : "0"}});
        cursorDatagramSeen(d);
        break;
    case SidebandDatagram::Kind::FeatureState:
        featureDatagramSeen("udp", d, from);
        break;
    case SidebandDatagram::Kind::Refused:
        protocolError(d.refusal, false);
        break;
    }
}

void Client::answerFeature(uint16_t feature, uint16_t, const NetAddress& from) {
    bool on =
        (feature == kFeatureTouch && m_config.touch) || (feature == kFeatureKeyboard && m_config.keyboard);
    if (m_config.usb) {
        sendUsbDatagram(datagram::feature(on ? kFeatureOn : kFeatureOff, feature));
        return;
    }
    NetAddress to = from;
    to.setPort(m_config.serverSidebandPort);
    sendDatagramTo(datagram::feature(on ? kFeatureOn : kFeatureOff, feature), to);
}

void Client::sendDatagramTo(ByteView bytes, NetAddress to) {
    auto destination = to.asFamily(m_bindAddress->family());
    if (!destination) {
        platform::log(
            "refclient: cannot reach %@ from the sideband socket's address family; datagram dropped",
            to.ip());
        return;
    }
    ssize_t n;
    do {
        n = ::sendto(m_udpFd, bytes.data(), bytes.size(), MSG_NOSIGNAL, destination->sockaddrPtr(),
                     destination->length());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        platform::log("refclient: datagram to %@ not sent: %@", to.ip(), std::strerror(errno));
        return;
    }
    m_log.add("udp", "datagram-sent",
              {{"type", bytes.empty() ? "none" : text(int(bytes[0]))}, {"len", text(bytes.size())}});
    update([](Snapshot& s) { ++s.datagramsSent; });
}

void Client::send(Bytes datagram) {
    m_loop.post([this, d = std::move(datagram)] { sendDatagram(d); });
}

// To the server's sideband: UDP 6002 over the network, the newest 6006 connection over USB.
void Client::sendDatagram(ByteView d) {
    if (m_config.usb) {
        sendUsbDatagram(d);
        return;
    }
    if (!m_connection) {
        platform::log("refclient: no session; datagram of %u bytes dropped", d.size());
        return;
    }
    NetAddress to = m_connection->server;
    to.setPort(m_config.serverSidebandPort);
    sendDatagramTo(d, to);
}

void Client::sendStream(Bytes bytes) {
    m_loop.post([this, b = std::move(bytes)] {
        if (!m_connection || m_connection->fd < 0) {
            platform::log("refclient: no connection; %u stream bytes dropped", b.size());
            return;
        }
        m_log.add("ctl", "stream-sent", {{"len", text(b.size())}});
        sendOnStream(b);
    });
}

void Client::handshakeOverride(Bytes bytes) {
    m_loop.post([this, b = std::move(bytes)] { m_config.handshakeOverride = b; });
}

} // namespace refclient
