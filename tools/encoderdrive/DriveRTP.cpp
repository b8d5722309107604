// encoder_drive rtp: the RTP encoder on the live display through an outbound RTP socket, each
// update bracketed by the packet block as the session brackets it, to two receivers of the
// drive's own on loopback. Once drawing stops the raster refresh goes round the whole display;
// the picture the first receiver rebuilt is then compared with the display's image, and the
// socket's close must bring a BYE to both.
#include "tools/encoderdrive/Drive.h"
#include "tools/encoderdrive/RTPPicture.h"

#include "capture/QNBVellRTPEncoder.h"
#include "capture/QNNetOutboundRTPSocket.h"
#include "server/RTPFrameAnswerSteps.h"

#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGDisplayImage.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace encoderdrive {

namespace {

// Ports of the drive's own, apart from the road's (8000, 9000), so both may run at once.
constexpr uint16_t kPortBase = 8040;
constexpr uint16_t kReceiverPort = 9040;
const char* const kReceivers[] = {"127.0.0.20", "127.0.0.21"};
constexpr double kMinPsnr = 30.0;
constexpr char kByeReason[] = "End transmission";

class UDPPort {
  public:
    UDPPort(const char* address, uint16_t port) {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int size = 8 << 20; // a whole frame of packets arrives at once
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &sin.sin_addr);
        m_bound = m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
    }
    ~UDPPort() {
        if (m_fd >= 0) ::close(m_fd);
    }
    UDPPort(const UDPPort&) = delete;
    UDPPort& operator=(const UDPPort&) = delete;
    bool bound() const { return m_bound; }
    // The next datagram within the wait (milliseconds), or an empty vector.
    std::vector<uint8_t> receive(int waitMs) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, waitMs) <= 0) return {};
        std::vector<uint8_t> buffer(65536);
        const ssize_t n = ::recv(m_fd, buffer.data(), buffer.size(), 0);
        buffer.resize(n > 0 ? size_t(n) : 0);
        return buffer;
    }

  private:
    int m_fd = -1;
    bool m_bound = false;
};

struct Receiver {
    explicit Receiver(const char* address) : rtp(address, kReceiverPort), rtcp(address, kReceiverPort + 1) {}
    UDPPort rtp, rtcp;
    RTPFrameAssembler frames;
    bool bye = false;
};

} // namespace

std::shared_ptr<capture::QNNetOutboundRTPSocket> rtpSocket() {
    capture::RTPSocketConfig config;
    config.portBase = kPortBase;
    config.receiverPort = kReceiverPort;
    config.receivers = {kReceivers[0], kReceivers[1]};
    auto socket = capture::QNNetOutboundRTPSocket::create(config);
    // The session reads the client's handshake first; the socket serves it.
    auto handshake = capture::QNNetOutboundRTPSocket::handshakeBytes();
    if (socket && !socket->getClientBytes(handshake.data(), handshake.size())) return nullptr;
    return socket;
}

int driveRTP(Drive& d) {
    const size_t width = cg::CGDisplayPixelsWide(d.displayID), height = cg::CGDisplayPixelsHigh(d.displayID);
    if (width == 0 || height == 0) return failure("display has no pixels");
    Receiver first(kReceivers[0]), second(kReceivers[1]);
    for (Receiver* r : {&first, &second})
        if (!r->rtp.bound() || !r->rtcp.bound()) return failure("rtp: cannot bind a receiver's ports");

    auto socket = std::dynamic_pointer_cast<capture::QNNetOutboundRTPSocket>(d.encoderSocket);
    if (!socket) return failure("rtp: no RTP socket");
    d.feed.encoder->addDirtyRectangle(cg::CGRectMake(0, 0, double(width), double(height)));
    const auto record = server::RTPFrameAnswerSteps::packetRecord();
    const auto resolution =
        server::RTPFrameAnswerSteps::resolutionRecord(cg::CGSizeMake(double(width), double(height)));
    RTPPicture picture(width, height);
    size_t sent = 0;
    auto drain = [&](Receiver& r, bool paint, int waitMs) {
        while (true) {
            const auto datagram = r.rtp.receive(waitMs);
            if (datagram.empty()) return true;
            auto frame = r.frames.take(datagram.data(), datagram.size());
            if (frame && paint && !picture.feedFrame(*frame)) return false;
        }
    };
    d.answer = [&] {
        socket->beginRTPPacket(record, resolution);
        {
            std::lock_guard lock(*socket);
            d.feed.encoder->encodeFrame(0, false, d.display, 0x20);
        }
        socket->endRTPPacketWithDelay(false);
        ++sent;
    };
    auto read = [&]() -> std::string {
        if (!drain(first, true, 0)) return "rtp: " + picture.error();
        drain(second, false, 0);
        return {};
    };
    d.handsMoves = false;
    if (auto why = d.drawAndRequest(read)) return failure(*why);

    // Drawing stopped: the raster refresh goes once round the display (eight interlaced passes
    // of its 32-row bands, 4 rows a strip), then a little more; a changed area, sent at low
    // quality, may land on strips already sent, so the round counts from the last of them.
    const size_t round = std::max<size_t>(height / 32, 1) * 8 + 8;
    const size_t recordsBefore = picture.counts().records;
    const platform::TimePoint settleEnd = platform::MonoClock::now() + platform::seconds(kSettleLimit);
    while (picture.stripsSinceChange() < round || picture.counts().records < recordsBefore + round) {
        if (platform::MonoClock::now() > settleEnd) return failure("rtp: the raster never went round");
        serveUntil(platform::MonoClock::now() + platform::seconds(kRequestInterval / 4));
        d.request();
        if (std::string why = read(); !why.empty()) return failure(why);
    }
    if (!drain(first, true, 200)) return failure("rtp: " + picture.error());
    drain(second, false, 200);

    auto image = cg::CGDisplayCreateImage(d.displayID);
    if (!image || !image->bytes) return failure("rtp: no image of the display");
    if (image->width != width || image->height != height)
        return failure("rtp: the display image is not the display's size");
    const double x =
        psnr(picture.pixels().data(), width * 4, image->bytes.get(), image->bytesPerRow, width, height);

    socket->close();
    int byes = 0;
    for (Receiver* r : {&first, &second}) {
        for (auto report = r->rtcp.receive(2000); !report.empty() && !r->bye; report = r->rtcp.receive(2000))
            r->bye = rtcpByeReason(report.data(), report.size()) == std::string(kByeReason);
        byes += r->bye;
    }

    const int receivers = (first.frames.frames() == sent) + (second.frames.frames() == sent);
    char line[256];
    std::snprintf(line, sizeof line, "rtp: frames %zu packets %zu receivers %d psnr %.2f dB bye %d", sent,
                  first.frames.packets(), receivers, x, byes);
    if (picture.width() != width || picture.height() != height)
        return failure(std::string(line) + ": the block names another size");
    if (!first.frames.inSequence() || !second.frames.inSequence())
        return failure(std::string(line) + ": packets out of sequence");
    if (receivers != 2) return failure(std::string(line) + ": a receiver missed frames");
    if (x < kMinPsnr) return failure(std::string(line) + ": below 30 dB");
    if (byes != 2) return failure(std::string(line) + ": a receiver had no BYE");
    std::printf("%s\n", line);
    return 0;
}

} // namespace encoderdrive
