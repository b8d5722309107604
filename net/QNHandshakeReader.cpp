#include "net/QNHandshakeReader.h"

#include "net/QNNetSocketProtocol.h"

#include "platform/core/Log.h"

namespace net {

namespace {

constexpr size_t kVersionBytes = 4; // major, minor, sub and the legacy display mode
constexpr size_t kRequestedDisplaySizeBytes = 4;
constexpr size_t kDisplayRequestCountBytes = 2;
constexpr size_t kIconHashSize = 16;

} // namespace

QNHandshakeReader::QNHandshakeReader(ReadExactly read) : m_read(std::move(read)) {}

QNHandshakeReader::QNHandshakeReader(QNNetSocketProtocol& socket)
    : m_read([&socket](uint8_t* buffer, size_t length) { return socket.getClientBytes(buffer, length); }) {}

size_t QNHandshakeReader::handshakeLength(uint8_t major, uint8_t minor, uint8_t sub) {
    const QNProtocolVersionInfo v{major, minor, sub, 0, 0, 0};
    if (theySpeakProtocolVersion(v, 3, 0, 0)) return QNClientHandshake::kSize;
    if (theySpeakProtocolVersion(v, 2, 0, 0)) return QNClientHandshake::kLegacySize;
    if (theySpeakProtocolVersion(v, 1, 1, 2)) return QNClientHandshake::kNumberOfDisplayRequestsOffset;
    if (theySpeakProtocolVersion(v, 1, 1, 0)) return QNClientHandshake::kRequestedDisplaySizeOffset;
    return QNClientHandshake::kCapabilitiesOffset;
}

bool QNHandshakeReader::step(std::array<uint8_t, QNClientHandshake::kSize>& record, size_t offset,
                             size_t length, size_t expected) {
    if (m_read(record.data() + offset, length)) return true;
    platform::log("Client handshake abandoned: the stream failed after %zu of %zu bytes", offset, expected);
    return false;
}

std::optional<QNClientHandshakeRecord> QNHandshakeReader::read() {
    std::array<uint8_t, QNClientHandshake::kSize> record{};
    record[0] = QNClientHandshake::kType;
    size_t count = QNClientHandshake::kVersionOffset;
    if (!step(record, count, kVersionBytes, count + kVersionBytes)) return std::nullopt;
    count += kVersionBytes;

    const size_t expected = handshakeLength(record[1], record[2], record[3]);
    const QNProtocolVersionInfo version{record[1], record[2], record[3], 0, 0, 0};
    if (theySpeakProtocolVersion(version, 1, 1, 0)) {
        if (!step(record, count, QNCapabilities::kSize, expected)) return std::nullopt;
        count += QNCapabilities::kSize;
    }
    if (theySpeakProtocolVersion(version, 1, 1, 2)) {
        if (!step(record, count, kRequestedDisplaySizeBytes, expected)) return std::nullopt;
        count += kRequestedDisplaySizeBytes;
    }
    if (theySpeakProtocolVersion(version, 2, 0, 0)) {
        if (!step(record, count, kDisplayRequestCountBytes, expected)) return std::nullopt;
        count += kDisplayRequestCountBytes;
    }
    if (theySpeakProtocolVersion(version, 3, 0, 0)) {
        if (!step(record, count, QNClientHandshake::kSize - count, expected)) return std::nullopt;
        count = QNClientHandshake::kSize;
    }

    QNClientHandshakeRecord result;
    result.handshake = *QNClientHandshake::decode(record);
    result.handshakeLength = count;
    const size_t hashCount = result.handshake.capabilities.iconHashCount;
    // No reservation up front: a count from the stream is not trusted until its hashes arrive.
    for (size_t i = 0; i < hashCount; ++i) {
        std::array<uint8_t, kIconHashSize> hash{};
        if (!m_read(hash.data(), hash.size())) {
            platform::log("Client handshake abandoned: icon hash %zu of %zu did not arrive", i + 1,
                          hashCount);
            return std::nullopt;
        }
        result.iconHashes.push_back(hash);
    }
    return result;
}

} // namespace net
