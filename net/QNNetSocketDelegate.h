// What a socket tells the object that owns it: accepted connections, datagrams and
// read latency. Every operation is optional: the defaults do nothing, and where the
// socket must know whether a delegate takes an operation at all (which datagram form,
// latency reports) the delegate says so through a capability answer.
#pragma once

#include "net/SocketAddress.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace net {

class QNNetSocketProtocol;

class QNNetSocketDelegate {
  public:
    virtual ~QNNetSocketDelegate() = default;

    // The forms in which a delegate takes datagrams; the receive loop uses the one named.
    enum class DatagramForm {
        None,           // datagrams are read and dropped
        Bytes,          // datagramReceivedForSocket(socket, bytes, length)
        DataAndAddress, // datagramReceivedForSocket(socket, data, fromAddress)
        Data,           // datagramReceivedForSocket(socket, data)
    };
    virtual DatagramForm datagramForm() const { return DatagramForm::None; }
    // Whether socketIsExperiencingLatency is wanted (reports are posted to the main queue).
    virtual bool receivesLatencyReports() const { return false; }

    // Called on the accept loop's thread with each new client connection.
    virtual void acceptedNewClientSocket(const std::shared_ptr<QNNetSocketProtocol>& socket) { (void)socket; }
    // Called on the datagram loop's thread once its socket is bound.
    virtual void willBeginListeningForDatagramsOnSocket(const std::shared_ptr<QNNetSocketProtocol>& socket) {
        (void)socket;
    }
    // The bytes stay valid only during the call; a delegate that keeps them copies them.
    virtual void datagramReceivedForSocket(const std::shared_ptr<QNNetSocketProtocol>& socket,
                                           const uint8_t* bytes, size_t length) {
        (void)socket, (void)bytes, (void)length;
    }
    virtual void datagramReceivedForSocket(const std::shared_ptr<QNNetSocketProtocol>& socket,
                                           std::span<const uint8_t> data, const SocketAddress& fromAddress) {
        (void)socket, (void)data, (void)fromAddress;
    }
    virtual void datagramReceivedForSocket(const std::shared_ptr<QNNetSocketProtocol>& socket,
                                           std::span<const uint8_t> data) {
        (void)socket, (void)data;
    }
    // Asked after each delivered datagram. Answering false ends the receive loop;
    // shouldClose (true unless changed) then says whether the socket is closed.
    virtual bool shouldContinueToReceiveDatagramsOnSocket(const std::shared_ptr<QNNetSocketProtocol>& socket,
                                                          bool& shouldClose) {
        (void)socket, (void)shouldClose;
        return true;
    }
    // 0.0 once bytes flow again; otherwise seconds of silence / 45.
    virtual void socketIsExperiencingLatency(double latency) { (void)latency; }
};

} // namespace net
