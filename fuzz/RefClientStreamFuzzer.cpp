// The reference client's parser of the server's main stream, fed in pieces of the input's
// choosing for a client of any version: the same bytes cut differently must give the same
// messages, and after a fatal error nothing more is handed out.
#include "fuzz/FuzzSupport.h"
#include "tools/refclient/StreamParser.h"

using namespace refclient;

namespace {

class Recorder final : public StreamHandler {
  public:
    void busyReceived(uint64_t id) override { note("busy " + std::to_string(id)); }
    void resolutionReceived(const ResolutionMessage& m) override {
        note("resolution " + std::to_string(m.width) + "x" + std::to_string(m.height) + " " +
             (m.requestNumber ? std::to_string(*m.requestNumber) : "-"));
    }
    void updateBegan(uint8_t type, uint16_t count) override {
        note("update " + std::to_string(type) + " " + std::to_string(count));
    }
    void updateRecordReceived(const RectangleRecord& record, ByteView payload) override {
        FUZZ_CHECK(payload.empty() || payload.size() == record.length, "payload of another length");
        note("record " + std::to_string(record.x) + "," + std::to_string(record.y) + " " +
             std::to_string(record.length) + " " + std::to_string(payload.size()));
    }
    void updateEnded() override { note("end"); }
    void multiDisplayReceived(uint16_t count) override { note("multi " + std::to_string(count)); }
    void systemInformationReceived(ByteView document, bool wellFormed) override {
        note("si " + std::to_string(document.size()) + (wellFormed ? " well-formed" : ""));
    }
    void protocolError(const std::string& what, bool fatal) override {
        note("error " + what + (fatal ? " fatal" : ""));
        if (fatal) m_fatal = true;
    }
    std::vector<std::string> events;

  private:
    void note(std::string event) {
        FUZZ_CHECK(!m_fatal, "a message after a fatal error: " + event);
        events.push_back(std::move(event));
    }
    bool m_fatal = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    // The client's version (three bytes), the size of the pieces, then the server's stream.
    fuzz::Reader input(data, size);
    ProtocolVersion version;
    version.major = input.u8();
    version.minor = input.u8();
    version.sub = input.u8();
    const size_t piece = 1 + input.u8() % 64;
    const std::vector<uint8_t> stream = input.rest();

    Recorder whole;
    StreamParser once(version, whole);
    once.feed(ByteView(stream));

    Recorder cut;
    StreamParser inPieces(version, cut);
    for (size_t at = 0; at < stream.size(); at += piece)
        inPieces.feed(ByteView(stream).subspan(at, std::min(piece, stream.size() - at)));
    FUZZ_CHECK(whole.events == cut.events, "cutting the stream changed what was read");
    return 0;
}
