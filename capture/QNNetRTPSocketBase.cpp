#include "capture/QNNetRTPSocketBase.h"

namespace capture {

bool QNNetRTPSocketBase::connectToHost(const std::string&, uint16_t, platform::Error*) {
    return false;
}
bool QNNetRTPSocketBase::connectToAddress(const net::SocketAddress&, uint16_t, platform::Error*) {
    return false;
}
bool QNNetRTPSocketBase::listenOnPort(uint16_t, std::weak_ptr<net::QNNetSocketDelegate>, platform::Error*) {
    return false;
}
bool QNNetRTPSocketBase::getClientBytes(void*, size_t) {
    return false;
}
bool QNNetRTPSocketBase::getServerBytes(void*, size_t) {
    return false;
}
bool QNNetRTPSocketBase::sendBytes(const void*, size_t) {
    return false;
}
bool QNNetRTPSocketBase::sendBytes(const void* bytes, size_t length, double) {
    return sendBytes(bytes, length);
}
bool QNNetRTPSocketBase::sendDatagram(const void*, size_t, const net::QNNetSocketProtocol*, uint16_t) {
    return false;
}
bool QNNetRTPSocketBase::sendDatagram(const void*, size_t, const net::SocketAddress&) {
    return false;
}
void QNNetRTPSocketBase::listenForDatagramsWithInfo(const net::DatagramListenInfo&) {}
void QNNetRTPSocketBase::listenForDatagramsOnPort(uint16_t, std::weak_ptr<net::QNNetSocketDelegate>) {}

std::shared_ptr<net::QNNetSocketDelegate> QNNetRTPSocketBase::delegate() const {
    std::lock_guard lock(m_delegateMutex);
    return m_delegate.lock();
}

void QNNetRTPSocketBase::setDelegate(std::weak_ptr<net::QNNetSocketDelegate> delegate) {
    std::lock_guard lock(m_delegateMutex);
    m_delegate = std::move(delegate);
}

} // namespace capture
