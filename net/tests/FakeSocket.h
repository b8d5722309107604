// A socket of the protocol over memory: reads come from a script of bytes, writes are
// recorded. Reads past the script fail, and every length asked for is recorded, so a
// test can see that a reader never asks for more than a record holds.
#pragma once

#include "net/QNNetSocketProtocol.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

namespace net::testing {

class FakeSocket final : public QNNetSocketProtocol {
  public:
    explicit FakeSocket(std::vector<uint8_t> input = {}) : m_input(std::move(input)) {}

    std::vector<uint8_t> written;
    size_t consumed = 0;  // bytes handed out
    size_t requested = 0; // bytes asked for, including a failed last read
    int lockedWrites = 0; // writes made while the object's lock was held (by the writer)

    bool getClientBytes(void* buffer, size_t length) override {
        requested += length;
        if (length > m_input.size() - consumed) {
            consumed = m_input.size();
            return false;
        }
        std::memcpy(buffer, m_input.data() + consumed, length);
        consumed += length;
        return true;
    }
    bool getServerBytes(void* buffer, size_t length) override { return getClientBytes(buffer, length); }
    bool sendBytes(const void* bytes, size_t length) override {
        // Another thread cannot take the lock while the writer holds it.
        bool freeElsewhere = false;
        std::thread probe([&] {
            freeElsewhere = try_lock();
            if (freeElsewhere) unlock();
        });
        probe.join();
        lockedWrites += freeElsewhere ? 0 : 1;
        auto* p = static_cast<const uint8_t*>(bytes);
        written.insert(written.end(), p, p + length);
        return !failSends;
    }
    bool sendBytes(const void* bytes, size_t length, double) override { return sendBytes(bytes, length); }
    bool failSends = false;

    bool connectToHost(const std::string&, uint16_t, platform::Error*) override { return false; }
    bool connectToAddress(const SocketAddress&, uint16_t, platform::Error*) override { return false; }
    bool listenOnPort(uint16_t, std::weak_ptr<QNNetSocketDelegate>, platform::Error*) override {
        return false;
    }
    void close() override {}
    bool sendDatagram(const void*, size_t, const QNNetSocketProtocol*, uint16_t) override { return false; }
    bool sendDatagram(const void*, size_t, const SocketAddress&) override { return false; }
    void listenForDatagramsWithInfo(const DatagramListenInfo&) override {}
    void listenForDatagramsOnPort(uint16_t, std::weak_ptr<QNNetSocketDelegate>) override {}
    void cancel() override {}
    bool isConnected() const override { return true; }
    bool isOpen() const override { return true; }
    bool isLoopback() const override { return false; }
    bool hasClientAddr() const override { return false; }
    void setHasClientAddr(bool) override {}
    SocketAddress knownClientAddr() const override { return {}; }
    void setKnownClientAddr(const SocketAddress&) override {}
    std::shared_ptr<QNNetSocketDelegate> delegate() const override { return nullptr; }
    void setDelegate(std::weak_ptr<QNNetSocketDelegate>) override {}
    std::optional<platform::Error> waitForDatagramError() const override { return std::nullopt; }
    bool isListening() const override { return false; }

  private:
    std::vector<uint8_t> m_input;
};

} // namespace net::testing
