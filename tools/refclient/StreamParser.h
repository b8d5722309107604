// Incremental reader of the server's main stream. Bytes arrive in arbitrary pieces;
// each complete message (or update record) is handed to a StreamHandler. A message
// whose length cannot be known ends the parse: the stream cannot be resynchronised.
#pragma once

#include "tools/refclient/ProtocolVersion.h"
#include "tools/refclient/RectangleRecord.h"

#include <optional>
#include <string>

namespace refclient {

struct ResolutionMessage {
    uint16_t width = 0;
    uint16_t height = 0;
    std::optional<uint16_t> requestNumber; // clients of 2.0.0 and later
};

class StreamHandler {
public:
    virtual ~StreamHandler() = default;
    virtual void busyReceived(uint64_t id) = 0;
    virtual void resolutionReceived(const ResolutionMessage& message) = 0;
    virtual void updateBegan(uint8_t type, uint16_t count) = 0;
    // payload is empty for records whose payload was skipped.
    virtual void updateRecordReceived(const RectangleRecord& record, ByteView payload) = 0;
    virtual void updateEnded() = 0;
    virtual void multiDisplayReceived(uint16_t count) = 0;
    virtual void systemInformationReceived(ByteView document, bool wellFormed) = 0;
    // fatal: the parser has stopped and the connection must close.
    virtual void protocolError(const std::string& what, bool fatal) = 0;
};

class StreamParser {
public:
    // Largest payload held for decoding; a larger one cannot be a sane rectangle or cursor.
    static constexpr uint32_t kMaxPayload = 64u << 20;

    StreamParser(ProtocolVersion clientVersion, StreamHandler& handler);
    void feed(ByteView bytes);
    // Stops handing out messages (the handler is going away or the connection is ending).
    void stop() { m_stopped = true; }
    bool stopped() const { return m_stopped; }
    // Whether the parser is between messages (nothing half-read).
    bool idle() const { return m_step == Step::Type && available() == 0; }

private:
    enum class Step { Type, Body, RecordHead, Payload, Skip, Document };
    bool advance();
    bool readType();
    bool readBody();
    bool readRecordHead();
    bool readPayload();
    bool skipPayload();
    bool readDocument();
    void finishRecord();
    void fail(const std::string& what);
    void error(const std::string& what);
    size_t available() const { return m_buffer.size() - m_pos; }
    const uint8_t* cursor() const { return m_buffer.data() + m_pos; }
    void consume(size_t n) { m_pos += n; }
    void compact();

    ProtocolVersion m_version;
    StreamHandler& m_handler;
    Bytes m_buffer;
    size_t m_pos = 0;
    Step m_step = Step::Type;
    uint8_t m_type = 0;
    size_t m_bodySize = 0;
    uint16_t m_recordsLeft = 0;
    RectangleRecord m_record;
    uint64_t m_skipLeft = 0;
    bool m_stopped = false;
};

} // namespace refclient
