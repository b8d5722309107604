#include "regions/ScreenUpdateWriter.h"

#include "net/QNMessages.h"

#include "platform/core/Log.h"

#include <limits>
#include <mutex>

namespace regions {

using namespace cg;

namespace {

constexpr uint64_t kMaxRecordCount = std::numeric_limits<uint16_t>::max();
constexpr uint64_t kMaxPayloadLength = std::numeric_limits<uint32_t>::max();

template <size_t N> bool sendArray(net::QNNetSocketProtocol& socket, const std::array<uint8_t, N>& bytes) {
    return socket.sendBytes(bytes.data(), bytes.size());
}

bool sendRecordAndPayload(net::QNNetSocketProtocol& socket, const QNRectangleMsg& record,
                          std::span<const uint8_t> payload) {
    const auto head = record.encode();
    // One write for both: the device reads the record's head with its first payload bytes.
    return socket.sendBytesWithPayload(head.data(), head.size(), payload.data(), payload.size(),
                                       kPayloadSendTimeout);
}

} // namespace

bool SendClientUpdateDataJPEG(net::QNNetSocketProtocol& socket, uint8_t encoding, uint32_t payloadLength,
                              const uint8_t* payload, CGRect rect) {
    const uint32_t length = payload ? payloadLength : 0;
    std::lock_guard guard(socket);
    return sendRecordAndPayload(socket, QNRectangleMsg::withRect(rect, encoding, length),
                                std::span<const uint8_t>(payload, length));
}

bool sendScreenUpdateHeader(net::QNNetSocketProtocol& socket, uint8_t packetDesignation,
                            uint16_t recordCount) {
    std::lock_guard guard(socket);
    return sendArray(socket, QNScreenUpdateMsg{packetDesignation, recordCount}.encode());
}

bool sendScreenUpdate(net::QNNetSocketProtocol& socket, uint8_t packetDesignation,
                      std::span<const ScreenUpdateRecord> records) {
    if (records.size() > kMaxRecordCount) {
        platform::log("Screen update of %lu rectangles refused: the header counts at most %lu", records.size(),
                      kMaxRecordCount);
        return false;
    }
    for (const ScreenUpdateRecord& record : records) {
        if (record.payload.size() > kMaxPayloadLength) {
            platform::log("Screen update refused: a payload of %lu bytes does not fit its length field",
                          record.payload.size());
            return false;
        }
    }
    std::lock_guard guard(socket);
    bool ok = sendArray(socket, QNScreenUpdateMsg{packetDesignation, static_cast<uint16_t>(records.size())}.encode());
    for (const ScreenUpdateRecord& r : records) {
        if (!ok) break;
        const auto record = QNRectangleMsg::withRect(r.rect, r.encoding, static_cast<uint32_t>(r.payload.size()));
        ok = sendRecordAndPayload(socket, record, r.payload);
    }
    return ok;
}

bool sendMultiDisplayMsg(net::QNNetSocketProtocol& socket, size_t displayCount) {
    if (displayCount > kMaxRecordCount) {
        platform::log("Multi-display message for %lu displays refused", displayCount);
        return false;
    }
    std::lock_guard guard(socket);
    return sendArray(socket, net::multiDisplayMessage(static_cast<uint16_t>(displayCount)));
}

bool sendApplicationInfoBracket(net::QNNetSocketProtocol& socket, bool end) {
    std::lock_guard guard(socket);
    return sendArray(socket, net::applicationInfoBracketMessage(end));
}

bool sendCursorImageUpdate(net::QNNetSocketProtocol& socket, CGPoint hotSpot, CGSize imageSize,
                           std::span<const uint8_t> png) {
    if (png.size() > kMaxPayloadLength) {
        platform::log("Cursor image of %lu bytes refused", png.size());
        return false;
    }
    std::lock_guard guard(socket);
    if (!sendArray(socket, QNScreenUpdateMsg{kScreenUpdateDesignation, 1}.encode())) return false;
    return sendRecordAndPayload(socket, cursorImageRecord(hotSpot, imageSize, static_cast<uint32_t>(png.size())), png);
}

bool sendCursorPositionDatagram(net::QNNetSocketProtocol& socket,
                                const net::QNNetSocketProtocol* clientSocket, uint16_t port, CGPoint location,
                                bool visible, CGPoint displayOrigin) {
    const auto bytes = cursorPositionRecord(location, visible, displayOrigin).encode();
    std::lock_guard guard(socket);
    return socket.sendDatagram(bytes.data(), bytes.size(), clientSocket, port);
}

bool sendCursorPositionUpdate(net::QNNetSocketProtocol& socket, CGPoint location, bool visible) {
    std::lock_guard guard(socket);
    if (!sendArray(socket, QNScreenUpdateMsg{kScreenUpdateDesignation, 1}.encode())) return false;
    return sendArray(socket, cursorPositionStreamRecord(location, visible).encode());
}

} // namespace regions
