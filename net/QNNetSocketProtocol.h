// The one socket interface of the screen server: the network socket implements it, and so
// does the USB socket, so a session's client and sideband sockets may be of either kind.
// Every socket object is also its own recursive lock: a whole message on the main stream is
// written while holding it (std::lock_guard lock(*socket)).
#pragma once

#include "net/QNNetSocketDelegate.h"
#include "net/SocketAddress.h"

#include "platform/corefoundation/Error.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace net {

// What a datagram receive loop needs when it is started as a thread's entry.
struct DatagramListenInfo {
    std::weak_ptr<QNNetSocketDelegate> delegate;
    uint16_t port = 0;
};

class QNNetSocketProtocol : public std::enable_shared_from_this<QNNetSocketProtocol> {
  public:
    virtual ~QNNetSocketProtocol() = default;

    // Stream operations. Failures answer false and, when error is given, fill it with an
    // error in the POSIX domain.
    virtual bool connectToHost(const std::string& host, uint16_t port, platform::Error* error) = 0;
    virtual bool connectToAddress(const SocketAddress& address, uint16_t port, platform::Error* error) = 0;
    virtual bool listenOnPort(uint16_t port, std::weak_ptr<QNNetSocketDelegate> delegate,
                              platform::Error* error) = 0;
    // Read exactly length bytes (blocking); true when all arrived. getServerBytes is the
    // twin for a socket that connected out.
    virtual bool getClientBytes(void* buffer, size_t length) = 0;
    virtual bool getServerBytes(void* buffer, size_t length) = 0;
    // Write all bytes; true when all went out. The time-out is accepted and ignored.
    virtual bool sendBytes(const void* bytes, size_t length) = 0;
    virtual bool sendBytes(const void* bytes, size_t length, double timeout) = 0;
    // A message's head, then its payload (with the payload's time-out), as the two sends would
    // write them; a socket that can hands both to the system in one call.
    virtual bool sendBytesWithPayload(const void* head, size_t headLength, const void* payload,
                                      size_t payloadLength, double payloadTimeout) {
        if (!sendBytes(head, headLength)) return false;
        return payloadLength == 0 || sendBytes(payload, payloadLength, payloadTimeout);
    }
    virtual void close() = 0;

    // Datagram operations.
    // To clientSocket's known address with its port replaced by port; a null clientSocket
    // sends on a connected datagram socket.
    virtual bool sendDatagram(const void* bytes, size_t length, const QNNetSocketProtocol* clientSocket,
                              uint16_t toPort) = 0;
    virtual bool sendDatagram(const void* bytes, size_t length, const SocketAddress& clientAddr) = 0;
    virtual void listenForDatagramsWithInfo(const DatagramListenInfo& info) = 0;
    // Runs the receive loop on the calling thread until it ends.
    virtual void listenForDatagramsOnPort(uint16_t port, std::weak_ptr<QNNetSocketDelegate> delegate) = 0;

    virtual void cancel() = 0;
    virtual bool isConnected() const = 0;
    virtual bool isOpen() const = 0;
    virtual bool isLoopback() const = 0;
    virtual bool hasClientAddr() const = 0;
    virtual void setHasClientAddr(bool hasClientAddr) = 0;
    virtual SocketAddress knownClientAddr() const = 0;
    virtual void setKnownClientAddr(const SocketAddress& address) = 0;
    virtual std::shared_ptr<QNNetSocketDelegate> delegate() const = 0;
    virtual void setDelegate(std::weak_ptr<QNNetSocketDelegate> delegate) = 0;
    virtual std::optional<platform::Error> waitForDatagramError() const = 0;
    virtual bool isListening() const = 0;

    // The object's own recursive lock (BasicLockable, so std::lock_guard works on a socket).
    void lock() { m_objectLock.lock(); }
    void unlock() { m_objectLock.unlock(); }
    bool try_lock() { return m_objectLock.try_lock(); }

  private:
    std::recursive_mutex m_objectLock;
};

} // namespace net
