// The main-stream reader: message framing, version gates and hostile bytes.
#include "tools/refclient/Bytes.h"
#include "tools/refclient/StreamParser.h"
#include "tools/refclient/SystemInformationDocument.h"

#include <gtest/gtest.h>

using namespace refclient;

namespace {

// Writes each call down as one line, so a test compares whole sequences.
class Recorder : public StreamHandler {
public:
    std::vector<std::string> events;
    std::vector<Bytes> payloads;
    int fatalErrors = 0;

    void busyReceived(uint64_t id) override { events.push_back("busy " + std::to_string(id)); }
    void resolutionReceived(const ResolutionMessage& m) override {
        events.push_back("resolution " + std::to_string(m.width) + "x" + std::to_string(m.height) +
                         (m.requestNumber ? " req " + std::to_string(*m.requestNumber) : ""));
    }
    void updateBegan(uint8_t type, uint16_t count) override {
        events.push_back("update " + std::to_string(type) + " " + std::to_string(count));
    }
    void updateRecordReceived(const RectangleRecord& r, ByteView payload) override {
        events.push_back("rect " + std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) +
                         "x" + std::to_string(r.height) + " enc " + std::to_string(r.encoding));
        payloads.emplace_back(payload.begin(), payload.end());
    }
    void updateEnded() override { events.push_back("end"); }
    void multiDisplayReceived(uint16_t count) override { events.push_back("displays " + std::to_string(count)); }
    void systemInformationReceived(ByteView doc, bool ok) override {
        events.push_back("sysinfo " + std::to_string(doc.size()) + (ok ? " ok" : " bad"));
    }
    void protocolError(const std::string&, bool fatal) override {
        events.push_back(fatal ? "fatal" : "error");
        fatalErrors += fatal;
    }
};

ProtocolVersion v(const char* text) { return *ProtocolVersion::parse(text); }

Bytes record(int16_t x, int16_t y, uint16_t w, uint16_t h, uint8_t enc, ByteView payload) {
    ByteWriter wr;
    wr.i16(x).i16(y).u16(w).u16(h).u8(enc).u32(static_cast<uint32_t>(payload.size())).bytes(payload);
    return wr.take();
}

const std::string kDoc = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?><si><os>10.12.6</os>"
                         "<release>16.7.0</release><revision>0</revision><clock>2.5 GHz</clock><cpus>4</cpus>"
                         "<memory>16 gb</memory><chipset>Intel HD</chipset><chipset>Radeon</chipset></si>";

Bytes systemInformation(const std::string& doc) {
    ByteWriter w;
    w.u8(0x31).u8(static_cast<uint8_t>(doc.size())).bytes(ByteView(reinterpret_cast<const uint8_t*>(doc.data()), doc.size()));
    return w.take();
}

} // namespace

TEST(RefclientStreamParser, ReadsEveryMessageEvenOneByteAtATime) {
    Bytes payload = {0xFF, 0xD8, 0xFF, 0xD9};
    ByteWriter s;
    s.u8(0x10).u32(0).u16(1024).u16(768).u16(1);                          // resolution
    s.bytes(systemInformation(kDoc));                                       // system information
    s.u8(0x25).u16(2);                                                      // two displays
    s.u8(0x20).u16(2).bytes(record(0, 0, 2, 2, 4, payload)).bytes(record(5, 6, 0, 0, 2, {}));
    s.u8(0x28).u16(0);                                                      // accepted as an update
    s.u8(0x02).u64(0x0102030405060708ull);                                  // busy
    Recorder whole, pieces;
    StreamParser a(v("3.0.1"), whole), b(v("3.0.1"), pieces);
    a.feed(s.bytes());
    for (uint8_t byte : s.bytes()) b.feed(ByteView(&byte, 1));
    std::vector<std::string> expected = {"resolution 1024x768 req 1",
                                         "sysinfo " + std::to_string(kDoc.size()) + " ok",
                                         "displays 2",
                                         "update 32 2",
                                         "rect 0,0 2x2 enc 4",
                                         "rect 5,6 0x0 enc 2",
                                         "end",
                                         "update 40 0",
                                         "end",
                                         "busy 72623859790382856"};
    EXPECT_EQ(whole.events, expected);
    EXPECT_EQ(pieces.events, expected);
    EXPECT_EQ(pieces.payloads.at(0), payload);
    EXPECT_TRUE(b.idle());
}

TEST(RefclientStreamParser, VersionDecidesTheResolutionLength) {
    Recorder old;
    StreamParser p(v("1.1.2"), old);
    ByteWriter s;
    s.u8(0x10).u32(0).u16(800).u16(600).u8(0x25).u16(0); // 9 bytes, then the next message
    p.feed(s.bytes());
    EXPECT_EQ(old.events, (std::vector<std::string>{"resolution 800x600", "displays 0"}));

    // A client below 1.1.2 gets no resolution at all: reading one is an error, framing holds.
    Recorder ancient;
    StreamParser q(v("1.0.0"), ancient);
    q.feed(s.bytes());
    EXPECT_EQ(ancient.events, (std::vector<std::string>{"error", "resolution 800x600", "displays 0"}));
}

TEST(RefclientStreamParser, OldClientsEmptyUpdateIsOneZeroRecord) {
    Recorder r;
    StreamParser p(v("2.2.0"), r);
    ByteWriter s;
    s.u8(0x20).u16(1).bytes(record(0, 0, 0, 0, 4, {}));
    p.feed(s.bytes());
    EXPECT_EQ(r.events, (std::vector<std::string>{"update 32 1", "rect 0,0 0x0 enc 4", "end"}));
}

TEST(RefclientStreamParser, UnknownEncodingsAreSkippedAndReported) {
    Recorder r;
    StreamParser p(v("3.0.1"), r);
    Bytes junk(1000, 0xAB);
    ByteWriter s;
    s.u8(0x20).u16(2).bytes(record(0, 0, 8, 8, 0, junk)).bytes(record(0, 0, 0, 0, 2, {})).u8(0x25).u16(1);
    p.feed(s.bytes());
    EXPECT_EQ(r.events, (std::vector<std::string>{"update 32 2", "error", "rect 0,0 8x8 enc 0", "rect 0,0 0x0 enc 2", "end",
                                                  "displays 1"}));
    EXPECT_TRUE(r.payloads[0].empty());
}

TEST(RefclientStreamParser, MessagesWithoutAKnownLengthStopTheParse) {
    for (uint8_t type : {0x01, 0x21, 0x24, 0x26, 0x27, 0x03, 0x99, 0xFF}) {
        Recorder r;
        StreamParser p(v("3.0.1"), r);
        Bytes s = {type, 0x20, 0x00, 0x00};
        p.feed(s);
        EXPECT_EQ(r.events, std::vector<std::string>{"fatal"}) << int(type);
        EXPECT_TRUE(p.stopped());
        p.feed(Bytes{0x20, 0x00, 0x00}); // nothing more is read
        EXPECT_EQ(r.events.size(), 1u);
    }
}

TEST(RefclientStreamParser, HugePayloadIsRefusedBeforeAnyAllocation) {
    Recorder r;
    StreamParser p(v("3.0.1"), r);
    ByteWriter s;
    s.u8(0x20).u16(1).i16(0).i16(0).u16(10).u16(10).u8(4).u32(0xFFFFFFF0u);
    p.feed(s.bytes());
    EXPECT_EQ(r.events, (std::vector<std::string>{"update 32 1", "fatal"}));
}

TEST(RefclientStreamParser, ShortMessagesWaitForTheirRest) {
    Recorder r;
    StreamParser p(v("3.0.1"), r);
    p.feed(Bytes{0x02, 1, 2, 3});
    p.feed(Bytes{0x20, 0x05});
    EXPECT_TRUE(r.events.empty());
    EXPECT_FALSE(p.idle());
}

TEST(RefclientStreamParser, SystemInformationIsCheckedAndGatedByVersion) {
    Recorder r;
    StreamParser p(v("3.0.1"), r);
    p.feed(systemInformation(""));
    p.feed(systemInformation(kDoc.substr(0, kDoc.size() - 5))); // a cut document
    EXPECT_EQ(r.events, (std::vector<std::string>{"sysinfo 0 ok", "sysinfo " + std::to_string(kDoc.size() - 5) + " bad",
                                                  "error"}));
    Recorder older;
    StreamParser q(v("3.0.0"), older);
    q.feed(systemInformation(""));
    EXPECT_EQ(older.events, (std::vector<std::string>{"error", "sysinfo 0 ok"}));
}

TEST(RefclientSystemInformation, AcceptsTheDocumentShapeOnly) {
    std::string why;
    EXPECT_TRUE(isSystemInformationDocument(kDoc, why)) << why;
    EXPECT_TRUE(isSystemInformationDocument("<?xml version=\"1.0\"?>\n<si><os/><release></release><revision>1"
                                            "</revision><clock/><cpus>8</cpus><memory>8 gb</memory></si>\n",
                                            why))
        << why;
    for (const char* bad : {"<si><os/></si>",
                            "<?xml version=\"1.0\"?><si><release/><os/><revision/><clock/><cpus/><memory/></si>",
                            "<?xml version=\"1.0\"?><si><os><b>x</b></os><release/><revision/><clock/><cpus/><memory/></si>",
                            "<?xml version=\"1.0\"?><si><os/><release/><revision/><clock/><cpus/><memory/><gpu/></si>",
                            "<?xml version=\"1.0\"?><si><os/><release/><revision/><clock/><cpus/><memory/></si>x",
                            "<?xml version=\"1.0\"?><root/>"}) {
        EXPECT_FALSE(isSystemInformationDocument(bad, why)) << bad;
    }
}
