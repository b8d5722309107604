// The client's end for the drive program: a socket of the session's protocol that keeps what
// the encoder writes, for the reader to take.
#pragma once

#include "net/QNNetSocketProtocol.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace encoderdrive {

class CaptureSocket final : public net::QNNetSocketProtocol {
  public:
    // What was written since the last take.
    std::vector<uint8_t> take() {
        std::lock_guard guard(m_bytesLock);
        std::vector<uint8_t> out;
        out.swap(m_bytes);
        return out;
    }

    bool sendBytes(const void* bytes, size_t length) override { return keep(bytes, length); }
    bool sendBytes(const void* bytes, size_t length, double) override { return keep(bytes, length); }
    bool sendDatagram(const void*, size_t, const net::QNNetSocketProtocol*, uint16_t) override {
        return false;
    }
    bool connectToHost(const std::string&, uint16_t, platform::Error*) override { return false; }
    bool connectToAddress(const net::SocketAddress&, uint16_t, platform::Error*) override { return false; }
    bool listenOnPort(uint16_t, std::weak_ptr<net::QNNetSocketDelegate>, platform::Error*) override {
        return false;
    }
    bool getClientBytes(void*, size_t) override { return false; }
    bool getServerBytes(void*, size_t) override { return false; }
    void close() override { m_open = false; }
    bool sendDatagram(const void*, size_t, const net::SocketAddress&) override { return false; }
    void listenForDatagramsWithInfo(const net::DatagramListenInfo&) override {}
    void listenForDatagramsOnPort(uint16_t, std::weak_ptr<net::QNNetSocketDelegate>) override {}
    void cancel() override { m_open = false; }
    bool isConnected() const override { return m_open; }
    bool isOpen() const override { return m_open; }
    bool isLoopback() const override { return true; }
    bool hasClientAddr() const override { return false; }
    void setHasClientAddr(bool) override {}
    net::SocketAddress knownClientAddr() const override { return {}; }
    void setKnownClientAddr(const net::SocketAddress&) override {}
    std::shared_ptr<net::QNNetSocketDelegate> delegate() const override { return nullptr; }
    void setDelegate(std::weak_ptr<net::QNNetSocketDelegate>) override {}
    std::optional<platform::Error> waitForDatagramError() const override { return std::nullopt; }
    bool isListening() const override { return false; }

  private:
    bool keep(const void* bytes, size_t length) {
        if (!m_open) return false;
        const auto* p = static_cast<const uint8_t*>(bytes);
        std::lock_guard guard(m_bytesLock);
        m_bytes.insert(m_bytes.end(), p, p + length);
        return true;
    }
    std::mutex m_bytesLock;
    std::vector<uint8_t> m_bytes;
    std::atomic<bool> m_open{true};
};

} // namespace encoderdrive
