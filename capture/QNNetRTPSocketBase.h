// What the RTP output sockets answer for the socket operations they have no use for: a
// connected socket without a peer address (no datagrams, no listening, no server reads).
#pragma once

#include "net/QNNetSocketProtocol.h"

#include <mutex>

namespace capture {

class QNNetRTPSocketBase : public net::QNNetSocketProtocol {
  public:
    bool connectToHost(const std::string& host, uint16_t port, platform::Error* error) override;
    bool connectToAddress(const net::SocketAddress& address, uint16_t port, platform::Error* error) override;
    bool listenOnPort(uint16_t port, std::weak_ptr<net::QNNetSocketDelegate> delegate,
                      platform::Error* error) override;
    bool getClientBytes(void* buffer, size_t length) override;
    bool getServerBytes(void* buffer, size_t length) override;
    bool sendBytes(const void* bytes, size_t length) override;
    bool sendBytes(const void* bytes, size_t length, double timeout) override;
    void close() override {}
    bool sendDatagram(const void* bytes, size_t length, const net::QNNetSocketProtocol* clientSocket,
                      uint16_t toPort) override;
    bool sendDatagram(const void* bytes, size_t length, const net::SocketAddress& clientAddr) override;
    void listenForDatagramsWithInfo(const net::DatagramListenInfo& info) override;
    void listenForDatagramsOnPort(uint16_t port, std::weak_ptr<net::QNNetSocketDelegate> delegate) override;
    void cancel() override {}
    bool isConnected() const override { return true; }
    bool isOpen() const override { return true; }
    bool isLoopback() const override { return false; }
    bool hasClientAddr() const override { return false; }
    void setHasClientAddr(bool) override {}
    net::SocketAddress knownClientAddr() const override { return {}; }
    void setKnownClientAddr(const net::SocketAddress&) override {}
    std::shared_ptr<net::QNNetSocketDelegate> delegate() const override;
    void setDelegate(std::weak_ptr<net::QNNetSocketDelegate> delegate) override;
    std::optional<platform::Error> waitForDatagramError() const override { return std::nullopt; }
    bool isListening() const override { return false; }

  private:
    mutable std::mutex m_delegateMutex;
    std::weak_ptr<net::QNNetSocketDelegate> m_delegate;
};

} // namespace capture
