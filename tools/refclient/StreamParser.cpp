#include "tools/refclient/StreamParser.h"

#include "platform/core/Format.h"
#include "tools/refclient/SystemInformationDocument.h"
#include "tools/refclient/Wire.h"

namespace refclient {

StreamParser::StreamParser(ProtocolVersion clientVersion, StreamHandler& handler)
    : m_version(clientVersion), m_handler(handler) {}

void StreamParser::feed(ByteView bytes) {
    if (m_stopped) return;
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
    while (!m_stopped && advance()) {
    }
    compact();
}

void StreamParser::compact() {
    if (m_pos == 0) return;
    if (m_pos == m_buffer.size()) {
        m_buffer.clear();
    } else {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_pos));
    }
    m_pos = 0;
}

bool StreamParser::advance() {
    switch (m_step) {
    case Step::Type: return readType();
    case Step::Body: return readBody();
    case Step::RecordHead: return readRecordHead();
    case Step::Payload: return readPayload();
    case Step::Skip: return skipPayload();
    case Step::Document: return readDocument();
    }
    return false;
}

void StreamParser::fail(const std::string& what) {
    m_stopped = true;
    m_handler.protocolError(what, true);
}

void StreamParser::error(const std::string& what) { m_handler.protocolError(what, false); }

bool StreamParser::readType() {
    if (available() < 1) return false;
    m_type = *cursor();
    consume(1);
    switch (m_type) {
    case kMessageBusy: m_bodySize = 8; break;
    case kMessageResolution:
        if (!m_version.atLeast(1, 1, 2)) error("resolution message sent to a client below 1.1.2");
        m_bodySize = m_version.atLeast(2, 0, 0) ? 10 : 8;
        break;
    case kMessageScreenUpdate:
    case kMessageScreenUpdateWithAppInfo:
    case kMessageMultiDisplay: m_bodySize = 2; break;
    case kMessageSystemInformation:
        if (!m_version.atLeast(3, 0, 1)) error("system information sent to a client below 3.0.1");
        m_bodySize = 1;
        break;
    case 0x01:
    case 0x21:
    case 0x22:
    case 0x23:
    case 0x24:
    case 0x26:
    case 0x27: fail(platform::format("message type 0x%02x is never sent to this device", m_type)); return false;
    default: fail(platform::format("unknown message type 0x%02x", m_type)); return false;
    }
    m_step = Step::Body;
    return true;
}

bool StreamParser::readBody() {
    if (available() < m_bodySize) return false;
    ByteReader r(ByteView(cursor(), m_bodySize));
    consume(m_bodySize);
    m_step = Step::Type;
    switch (m_type) {
    case kMessageBusy: m_handler.busyReceived(r.u64()); break;
    case kMessageResolution: {
        ResolutionMessage m;
        if (r.u32() != 0) error("resolution message with a non-zero lead field");
        m.width = r.u16();
        m.height = r.u16();
        if (m_bodySize == 10) m.requestNumber = r.u16();
        m_handler.resolutionReceived(m);
        break;
    }
    case kMessageMultiDisplay: m_handler.multiDisplayReceived(r.u16()); break;
    case kMessageSystemInformation:
        m_bodySize = r.u8();
        m_step = Step::Document;
        break;
    default: // the two update types
        m_recordsLeft = r.u16();
        m_handler.updateBegan(m_type, m_recordsLeft);
        if (m_recordsLeft == 0) {
            m_handler.updateEnded();
        } else {
            m_step = Step::RecordHead;
        }
        break;
    }
    return true;
}

bool StreamParser::readRecordHead() {
    if (available() < kRectangleRecordSize) return false;
    m_record = *RectangleRecord::decode(ByteView(cursor(), kRectangleRecordSize));
    consume(kRectangleRecordSize);
    bool kept = m_record.encoding == kEncodingJPG || m_record.encoding == kEncodingMouseCursor;
    if (kept && m_record.length > kMaxPayload) {
        fail(platform::format("record payload of %u bytes is beyond %u", m_record.length, kMaxPayload));
        return false;
    }
    if (kept) {
        m_step = Step::Payload;
        return true;
    }
    if (m_record.encoding == kEncodingMousePos) {
        if (m_record.length != 0) error(platform::format("cursor position record with %u payload bytes", m_record.length));
    } else {
        error(platform::format("update record of encoding %u", m_record.encoding));
    }
    m_skipLeft = m_record.length;
    m_step = Step::Skip;
    return true;
}

bool StreamParser::readPayload() {
    if (available() < m_record.length) return false;
    ByteView payload(cursor(), m_record.length);
    consume(m_record.length);
    m_handler.updateRecordReceived(m_record, payload);
    finishRecord();
    return true;
}

bool StreamParser::skipPayload() {
    size_t n = available() < m_skipLeft ? available() : static_cast<size_t>(m_skipLeft);
    consume(n);
    m_skipLeft -= n;
    if (m_skipLeft > 0) return false;
    m_handler.updateRecordReceived(m_record, ByteView());
    finishRecord();
    return true;
}

void StreamParser::finishRecord() {
    if (--m_recordsLeft > 0) {
        m_step = Step::RecordHead;
        return;
    }
    m_step = Step::Type;
    if (!m_stopped) m_handler.updateEnded();
}

bool StreamParser::readDocument() {
    if (available() < m_bodySize) return false;
    ByteView doc(cursor(), m_bodySize);
    consume(m_bodySize);
    m_step = Step::Type;
    std::string why;
    bool ok = doc.empty() ||
              isSystemInformationDocument(std::string_view(reinterpret_cast<const char*>(doc.data()), doc.size()), why);
    m_handler.systemInformationReceived(doc, ok);
    if (!ok) error("system information document: " + why);
    return true;
}

} // namespace refclient
