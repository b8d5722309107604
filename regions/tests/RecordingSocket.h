// A socket of the protocol that records what is written to it: each stream write with
// whether it carried a time-out and whether the writer held the socket's lock, and each
// datagram with its destination. Sends fail from a chosen write on.
#pragma once

#include "net/QNNetSocketProtocol.h"

#include "platform/corefoundation/Error.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace regions::testing {

class RecordingSocket final : public net::QNNetSocketProtocol {
public:
    struct Write {
        std::vector<uint8_t> bytes;
        bool withTimeout = false;
        bool lockHeld = false;
    };
    struct Datagram {
        std::vector<uint8_t> bytes;
        const net::QNNetSocketProtocol* clientSocket = nullptr;
        uint16_t port = 0;
        bool lockHeld = false;
    };

    std::vector<Write> writes;
    std::vector<Datagram> datagrams;
    bool probeLock = true;  // off for stress tests, where a probe thread per write is too slow
    size_t failFromWrite = SIZE_MAX;
    size_t datagramLimit = SIZE_MAX; // longer datagrams are refused, as a UDP socket refuses them
    std::atomic<int> closes{0};
    std::atomic<int> cancels{0};

    std::vector<uint8_t> stream() const {
        std::vector<uint8_t> all;
        for (const Write& w : writes) all.insert(all.end(), w.bytes.begin(), w.bytes.end());
        return all;
    }

    // The stream so far, read under the record's lock (while writers may still write).
    std::vector<uint8_t> streamNow() {
        std::lock_guard guard(m_recordLock);
        return stream();
    }
    size_t writeCount() {
        std::lock_guard guard(m_recordLock);
        return writes.size();
    }

    bool sendBytes(const void* bytes, size_t length) override { return record(bytes, length, false); }
    bool sendBytes(const void* bytes, size_t length, double) override { return record(bytes, length, true); }
    bool sendDatagram(const void* bytes, size_t length, const net::QNNetSocketProtocol* clientSocket,
                      uint16_t toPort) override {
        if (length > datagramLimit) return false;
        const auto* p = static_cast<const uint8_t*>(bytes);
        std::lock_guard guard(m_recordLock);
        datagrams.push_back({std::vector<uint8_t>(p, p + length), clientSocket, toPort, lockHeldByWriter()});
        return true;
    }

    bool connectToHost(const std::string&, uint16_t, platform::Error*) override { return false; }
    bool connectToAddress(const net::SocketAddress&, uint16_t, platform::Error*) override { return false; }
    bool listenOnPort(uint16_t, std::weak_ptr<net::QNNetSocketDelegate>, platform::Error*) override {
        return false;
    }
    bool getClientBytes(void*, size_t) override { return false; }
    bool getServerBytes(void*, size_t) override { return false; }
    void close() override { ++closes; }
    bool sendDatagram(const void*, size_t, const net::SocketAddress&) override { return false; }
    void listenForDatagramsWithInfo(const net::DatagramListenInfo&) override {}
    void listenForDatagramsOnPort(uint16_t, std::weak_ptr<net::QNNetSocketDelegate>) override {}
    void cancel() override { ++cancels; }
    bool isConnected() const override { return true; }
    bool isOpen() const override { return true; }
    bool isLoopback() const override { return false; }
    bool hasClientAddr() const override { return false; }
    void setHasClientAddr(bool) override {}
    net::SocketAddress knownClientAddr() const override { return {}; }
    void setKnownClientAddr(const net::SocketAddress&) override {}
    std::shared_ptr<net::QNNetSocketDelegate> delegate() const override { return nullptr; }
    void setDelegate(std::weak_ptr<net::QNNetSocketDelegate>) override {}
    std::optional<platform::Error> waitForDatagramError() const override { return std::nullopt; }
    bool isListening() const override { return false; }

private:
    bool record(const void* bytes, size_t length, bool withTimeout) {
        const bool held = lockHeldByWriter();
        {
            std::lock_guard guard(m_recordLock);
            if (writes.size() >= failFromWrite) return false;
            const auto* p = static_cast<const uint8_t*>(bytes);
            writes.push_back({std::vector<uint8_t>(p, p + length), withTimeout, held});
        }
        std::this_thread::yield(); // invites another writer to cut in, were the lock not held
        return true;
    }
    // Another thread cannot take a lock that the writing thread holds.
    bool lockHeldByWriter() {
        if (!probeLock) return true;
        bool freeElsewhere = false;
        std::thread probe([&] {
            freeElsewhere = try_lock();
            if (freeElsewhere) unlock();
        });
        probe.join();
        return !freeElsewhere;
    }
    std::mutex m_recordLock; // the record itself stays whole even when writers do not lock
};

} // namespace regions::testing
