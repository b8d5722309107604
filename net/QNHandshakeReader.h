// Reads a client handshake from the main stream in the steps its version implies, into a
// typed record. It only parses: what the session does with the record is the session's.
#pragma once

#include "net/QNClientHandshake.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace net {

class QNNetSocketProtocol;

struct QNClientHandshakeRecord {
    QNClientHandshake handshake; // fields the version did not send are zero
    size_t handshakeLength = 0;  // bytes of the record the client sent, type byte included
    std::vector<std::array<uint8_t, 16>> iconHashes;
};

class QNHandshakeReader {
  public:
    // Reads exactly length bytes into buffer; false when they did not all arrive.
    using ReadExactly = std::function<bool(uint8_t* buffer, size_t length)>;

    explicit QNHandshakeReader(ReadExactly read);
    // Reads through the socket's getClientBytes.
    explicit QNHandshakeReader(QNNetSocketProtocol& socket);

    // The record's length for a version, type byte included: 5 below 1.1.0, 105 up to
    // 1.1.1, 109 below 2.0.0, 111 for 2.x and 388 from 3.0.0.
    static size_t handshakeLength(uint8_t major, uint8_t minor, uint8_t sub);

    // Reads the rest of a handshake whose type byte the stream reader already took, then
    // the icon hashes. A read that fails abandons the handshake at once (logged), so
    // nothing of a half-read handshake reaches the session.
    std::optional<QNClientHandshakeRecord> read();

  private:
    bool step(std::array<uint8_t, QNClientHandshake::kSize>& record, size_t offset, size_t length,
              size_t expected);

    ReadExactly m_read;
};

} // namespace net
