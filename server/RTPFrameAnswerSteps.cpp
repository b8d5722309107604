#include "server/RTPFrameAnswerSteps.h"

#include "capture/QNNetOutboundRTPSocket.h"
#include "net/QNMessages.h"

#include <algorithm>

namespace server {

std::array<uint8_t, 47> RTPFrameAnswerSteps::packetRecord() {
    return {1, 3, 0, 1, 1, 0, 0, 3, 0, 1, 0}; // the u16 values little-endian, as the wire is
}

std::array<uint8_t, 11> RTPFrameAnswerSteps::resolutionRecord(cg::CGSize displayResolution) {
    net::QNResolutionMsg message;
    message.width = static_cast<uint16_t>(std::clamp(displayResolution.width, 0.0, 65535.0));
    message.height = static_cast<uint16_t>(std::clamp(displayResolution.height, 0.0, 65535.0));
    message.requestNumber = 0;
    const std::vector<uint8_t> bytes = message.encode();
    std::array<uint8_t, 11> out{};
    std::copy_n(bytes.begin(), std::min(bytes.size(), out.size()), out.begin());
    return out;
}

void RTPFrameAnswerSteps::pollApplicationMonitor() {
    if (m_inner) m_inner->pollApplicationMonitor();
}

bool RTPFrameAnswerSteps::isRTPOutputSocket(const ScreenServer::Socket& socket) {
    auto rtp = std::dynamic_pointer_cast<capture::QNNetOutboundRTPSocket>(socket);
    if (!rtp) return false;
    std::lock_guard lock(m_lock);
    m_socket = rtp;
    return true;
}

std::shared_ptr<capture::QNNetOutboundRTPSocket> RTPFrameAnswerSteps::socket() const {
    std::lock_guard lock(m_lock);
    return m_socket.lock();
}

void RTPFrameAnswerSteps::beginRTPPacket(cg::CGSize displayResolution) {
    if (auto rtp = socket()) rtp->beginRTPPacket(packetRecord(), resolutionRecord(displayResolution));
}

void RTPFrameAnswerSteps::endRTPPacket() {
    if (auto rtp = socket()) rtp->endRTPPacket();
}

bool RTPFrameAnswerSteps::sendApplicationRecords(const ScreenServer::Socket& socket) {
    return m_inner ? m_inner->sendApplicationRecords(socket) : true;
}

} // namespace server
