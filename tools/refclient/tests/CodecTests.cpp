// The device's codec against byte layouts written out by hand.
#include "tools/refclient/Config.h"
#include "tools/refclient/Datagrams.h"
#include "tools/refclient/Handshake.h"
#include "tools/refclient/RectangleRecord.h"
#include "tools/refclient/SidebandDatagram.h"
#include "tools/refclient/UsbFrame.h"

#include <gtest/gtest.h>

using namespace refclient;

namespace {

Bytes hex(std::string_view text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
        i += 2;
    }
    return out;
}

uint16_t u16At(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }

} // namespace

TEST(RefclientCodec, RectangleRecordsMatchTheirGoldenBytes) {
    RectangleRecord jpeg{0, 0, 1024, 768, 4, 50000};
    EXPECT_EQ(jpeg.encode(), hex("00 00 00 00 00 04 00 03 04 50 C3 00 00"));
    EXPECT_EQ(RectangleRecord::decode(hex("00 00 00 00 00 04 00 03 04 50 C3 00 00")), jpeg);

    RectangleRecord hidden{10, 20, 0, 0, 2, 0};
    EXPECT_EQ(hidden.encode(), hex("0A 00 14 00 00 00 00 00 02 00 00 00 00"));

    auto negative = RectangleRecord::decode(hex("FB FF 00 00 00 00 00 00 02 00 00 00 00"));
    ASSERT_TRUE(negative);
    EXPECT_EQ(negative->x, -5);
    EXPECT_FALSE(RectangleRecord::decode(hex("00 00 00 00 00 04 00 03 04 50 C3 00")));
}

TEST(RefclientCodec, SidebandDatagramsAreSortedByLengthAndChecked) {
    Bytes invitation = invitationBytes();
    ASSERT_EQ(invitation.size(), 47u);
    Bytes head = hex("01 03 00 01 01 00 00 03 00 02 00");
    EXPECT_TRUE(std::equal(head.begin(), head.end(), invitation.begin()));
    EXPECT_EQ(SidebandDatagram::classify(invitation).kind, SidebandDatagram::Kind::Invitation);
    invitation[46] = 1;
    EXPECT_EQ(SidebandDatagram::classify(invitation).kind, SidebandDatagram::Kind::Refused);

    auto touchOn = SidebandDatagram::classify(hex("00 00 00 00 01 00 01 00 13 00 00 00 00"));
    ASSERT_EQ(touchOn.kind, SidebandDatagram::Kind::FeatureState);
    EXPECT_EQ(touchOn.feature(), kFeatureTouch);
    EXPECT_EQ(touchOn.operation(), kFeatureOn);

    // A cursor at x = 1 starts with the byte 01, which must not read as an invitation.
    auto cursor = SidebandDatagram::classify(hex("01 00 14 00 01 00 00 00 02 00 00 00 00"));
    ASSERT_EQ(cursor.kind, SidebandDatagram::Kind::CursorPosition);
    EXPECT_EQ(cursor.record.x, 1);
    EXPECT_TRUE(cursor.visible());
}

TEST(RefclientCodec, HostileSidebandDatagramsAreRefusedWithAReason) {
    for (const char* bad : {"", "01", "00 00 00 00 01 00 01 00 07 00 00 00 00", // unknown encoding
                            "00 00 00 00 01 00 01 00 13 05 00 00 00",           // feature state with payload
                            "00 00 00 00 01 00 09 00 13 00 00 00 00",           // operation 9
                            "00 00 00 00 05 00 00 00 02 00 00 00 00"}) {        // cursor with w 5
        auto d = SidebandDatagram::classify(hex(bad));
        EXPECT_EQ(d.kind, SidebandDatagram::Kind::Refused) << bad;
        EXPECT_FALSE(d.refusal.empty()) << bad;
    }
    Bytes long14(14, 0);
    EXPECT_EQ(SidebandDatagram::classify(long14).kind, SidebandDatagram::Kind::Refused);
}

TEST(RefclientCodec, HandshakeLengthFollowsTheVersion) {
    struct Case {
        const char* version;
        size_t bytes;
    } cases[] = {{"1.0.0", 5},   {"1.0.9", 5},   {"1.1.0", 105}, {"1.1.1", 105}, {"1.1.2", 109},
                 {"1.9.9", 109}, {"2.0.0", 111}, {"2.2.0", 111}, {"2.9.9", 111}, {"3.0.0", 388},
                 {"3.0.1", 388}};
    for (const auto& c : cases) {
        HandshakeFields f;
        f.version = *ProtocolVersion::parse(c.version);
        f.capabilities.iconHashCount = 2;
        EXPECT_EQ(handshakeLength(f.version), c.bytes) << c.version;
        EXPECT_EQ(encodeHandshake(f).size(), c.bytes) << c.version;
        // Hashes follow only when the capabilities (and so their count) went out.
        EXPECT_EQ(encodeIconHashes(f).size(), c.bytes >= 105 ? 32u : 0u) << c.version;
    }
}

TEST(RefclientCodec, HandshakeFieldsSitAtTheirOffsets) {
    Config config;
    config.bindAddress = "127.0.0.2";
    config.name = "Ref";
    config.legacyMode = 7;
    config.nominalWidth = 1366;
    config.nominalHeight = 1024;
    config.requestNumber = 3;
    std::string error;
    ASSERT_TRUE(config.caps.set("gateletClientId", "0x1122334455667788", error)) << error;
    ASSERT_TRUE(config.caps.set("displaySizes", "1024:768:2048", error)) << error;
    ASSERT_TRUE(config.caps.set("otherFlags", "1:2:3:4", error)) << error;
    ASSERT_TRUE(config.caps.set("productType", "9", error)) << error;
    Bytes b = encodeHandshake(config.handshakeFields());
    ASSERT_EQ(b.size(), 388u);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 5), hex("01 03 00 01 07"));
    EXPECT_EQ(u16At(b, 5 + 4), 1024);
    EXPECT_EQ(u16At(b, 5 + 8), 2048);
    EXPECT_EQ(Bytes(b.begin() + 81, b.begin() + 89), hex("88 77 66 55 44 33 22 11"));
    // With no display size given, the display is the nominal size; density 132.
    EXPECT_EQ(u16At(b, 5 + 84), 1366);
    EXPECT_EQ(u16At(b, 5 + 86), 1024);
    EXPECT_EQ(u16At(b, 5 + 88), 132);
    EXPECT_EQ(b[5 + 90], 9);
    EXPECT_EQ(u16At(b, 5 + 92), 1);
    EXPECT_EQ(u16At(b, 5 + 98), 4);
    EXPECT_EQ(u16At(b, 105), 1366);
    EXPECT_EQ(u16At(b, 107), 1024);
    EXPECT_EQ(u16At(b, 109), 3);
    for (size_t i = 111; i < 131; ++i) EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[131])), "refclient-127.0.0.2");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[175])), "Ref");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[255])), "iPad");
    for (size_t i = 287; i < 388; ++i) EXPECT_EQ(b[i], 0) << i;
}

TEST(RefclientCodec, TextFieldsAreCutAtACharacterBoundaryLeavingRoomForTheNul) {
    EXPECT_EQ(fitUtf8("abc", 4), "abc");
    EXPECT_EQ(fitUtf8("abcd", 4), "abc");
    // "é" is two bytes: cutting inside it would leave invalid UTF-8.
    EXPECT_EQ(fitUtf8("ab\xC3\xA9", 4), "ab");
    HandshakeFields f;
    f.deviceName = std::string(79, 'x') + "\xE2\x82\xAC"; // 82 bytes, ends in a 3-byte character
    Bytes b = encodeHandshake(f);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[175])), std::string(79, 'x'));
    EXPECT_EQ(b[254], 0);
}

TEST(RefclientCodec, IconHashesAreMd5OfTheirNames) {
    // MD5("refclient-icon-0"), computed independently.
    auto h = iconHash(0);
    EXPECT_EQ(Bytes(h.begin(), h.end()), hex("85 db f1 5e 00 d4 a5 56 d6 61 38 b2 68 62 30 ee"));
    EXPECT_NE(iconHash(1), h);
}

TEST(RefclientCodec, InputDatagramsMatchTheirLayouts) {
    using namespace datagram;
    EXPECT_EQ(tap(1, -5, 300, 0x28), hex("02 01 FB FF 2C 01 28 00"));
    EXPECT_EQ(tap6(0, 10, 20), hex("02 00 0A 00 14 00"));
    Bytes s = stylus(9, 1, 2, 1.0f, 0.5f, 0x0005);
    ASSERT_EQ(s.size(), 51u);
    EXPECT_EQ(Bytes(s.begin() + 9, s.begin() + 17), hex("00 00 80 3F 00 00 00 3F"));
    EXPECT_EQ(u16At(s, 33), 5);
    EXPECT_EQ(key(0, 4, 0x20, 0x41), hex("03 00 04 20 00 41 00 00 00"));
    EXPECT_EQ(windowRequest(0x1234, 0x0102030405060708ull), hex("05 34 12 00 00 00 00 00 00 08 07 06 05 04 03 02 01"));
    EXPECT_EQ(mouse(3, -1, 2), hex("06 03 FF FF 02 00"));
    EXPECT_EQ(scroll(1.0f, -2.0f), hex("07 00 00 00 00 00 00 80 3F 00 00 00 C0"));
    EXPECT_EQ(menuRequest(7, 0x99), hex("08 07 00 00 00 00 00 00 00 99 00 00 00 00 00 00 00"));
    EXPECT_EQ(feature(1, 1), hex("09 01 00 01 00"));
    EXPECT_EQ(button(1, -1), hex("10 01 FF"));
}

TEST(RefclientCodec, SendSpecsBuildDatagramsOrPauses) {
    std::string error;
    auto tapStep = SendStep::parse("tap:0,100,-20,8", error);
    ASSERT_TRUE(tapStep) << error;
    EXPECT_EQ(tapStep->datagrams.at(0), datagram::tap(0, 100, -20, 8));
    auto wait = SendStep::parse("wait:250", error);
    ASSERT_TRUE(wait);
    EXPECT_EQ(wait->waitMs, 250);
    EXPECT_TRUE(wait->datagrams.empty());
    auto raw = SendStep::parse("raw:090100", error);
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->datagrams.at(0), hex("09 01 00"));
    auto empty = SendStep::parse("raw:", error);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->datagrams.at(0).empty());

    // "é" and a character beyond the basic plane: one datagram per UTF-16 unit.
    auto text = SendStep::parse("text:a\xC3\xA9\xF0\x9F\x98\x80", error);
    ASSERT_TRUE(text) << error;
    ASSERT_EQ(text->datagrams.size(), 4u);
    EXPECT_EQ(text->datagrams[1], datagram::key(0, 0, 0, 0xE9));
    EXPECT_EQ(text->datagrams[2], datagram::key(0, 0, 0, 0xD83D));
    EXPECT_EQ(text->datagrams[3], datagram::key(0, 0, 0, 0xDE00));

    for (const char* bad : {"tap:1,2", "tap:1,2,70000", "mouse:256,0,0", "raw:0", "raw:zz", "wait:x", "nothing:1",
                            "text:\xC3", "text:\xED\xA0\x80", "scroll:1,abc", "key:1,2,3"}) {
        error.clear();
        EXPECT_FALSE(SendStep::parse(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(RefclientCodec, CommandLineSetsTheHandshakeAndRefusesNonsense) {
    Config c;
    auto r = parseCommandLine({"--protocol", "2.2.0", "--bind-address", "127.0.0.3", "--nominal", "800x600",
                               "--caps", "displayWidth=2048,displayHeight=1536,displaySizes=1:2",
                               "--icon-hashes", "3", "--touch", "off", "--send", "tap:0,1,1", "--once",
                               "--end-mode=rst", "--busy-answer", "77"},
                              c);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(c.protocol.description(), "2.2.0");
    EXPECT_EQ(c.effectiveDeviceId(), "refclient-127.0.0.3");
    EXPECT_EQ(c.nominalWidth, 800);
    HandshakeFields f = c.handshakeFields();
    EXPECT_EQ(f.capabilities.displayWidth, 2048);
    EXPECT_EQ(f.capabilities.displaySizes[1], 2);
    EXPECT_EQ(f.capabilities.iconHashCount, 3);
    EXPECT_FALSE(c.touch);
    EXPECT_TRUE(c.once);
    EXPECT_EQ(c.endMode, EndMode::Rst);
    EXPECT_EQ(c.busyAnswer, 77u);
    EXPECT_EQ(c.sends.size(), 1u);
    Config connecting;
    ASSERT_TRUE(parseCommandLine({"--connect", "::1"}, connecting).ok);
    EXPECT_EQ(connecting.connectHost, "::1");

    for (std::vector<std::string> bad : {std::vector<std::string>{"--protocol", "3.0"},
                                         {"--nominal", "1024"},
                                         {"--caps", "bogus=1"},
                                         {"--caps", "displaySizes=1:2:3:4:5:6:7:8:9:10:11:12:13:14:15:16:17:"
                                                    "18:19:20:21:22:23:24:25:26:27:28:29:30:31:32:33"},
                                         {"--touch", "maybe"},
                                         {"--usb-frame-fault", "type7"},
                                         {"--usb-device-id", "0"},
                                         {"--name"},
                                         {"--frobnicate"},
                                         {"--connect", "localhost"},
                                         {"--once", "--connect", "ipad.local"},
                                         {"--connect", "127.0.0.256"}}) {
        Config other;
        auto result = parseCommandLine(bad, other);
        EXPECT_FALSE(result.ok) << bad[0];
        EXPECT_FALSE(result.error.empty()) << bad[0];
    }
}

TEST(RefclientCodec, UsbOptionsParse) {
    Config c;
    auto r = parseCommandLine({"--usb", "--usb-device-id", "5", "--usb-hub", "/tmp/x.device", "--usb-loopback",
                               "--usb-detach-after-frames", "3", "--usb-listen-delay", "2.5", "--usb-frame-fault",
                               "zero100"},
                              c);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(c.usb && c.usbLoopback);
    EXPECT_EQ(c.usbDeviceId, 5u);
    EXPECT_EQ(c.usbHub, "/tmp/x.device");
    EXPECT_EQ(c.usbDetachAfterFrames, 3);
    EXPECT_EQ(c.usbListenDelay, 2.5);
    EXPECT_EQ(c.usbFrameFault, "zero100");
}

TEST(RefclientCodec, UsbFramesAreBigEndianWithAnInnerLength) {
    Bytes f = encodeUsbDataFrame(kUsbFrameStream, 7, Bytes{0xAA, 0xBB});
    EXPECT_EQ(f, (Bytes{0, 0, 0, 1, 0, 0, 0, 100, 0, 0, 0, 7, 0, 0, 0, 6, 0, 0, 0, 2, 0xAA, 0xBB}));
    std::vector<std::pair<uint32_t, Bytes>> frames;
    std::vector<std::string> errors;
    UsbFrameDecoder d([&](uint32_t type, ByteView b) { frames.emplace_back(type, Bytes(b.begin(), b.end())); },
                      [&](const std::string& e) { errors.push_back(e); });
    Bytes two = f;
    Bytes datagram = encodeUsbDataFrame(kUsbFrameDatagram, 8, Bytes{9});
    two.insert(two.end(), datagram.begin(), datagram.end());
    for (uint8_t b : two)
        d.feed(ByteView(&b, 1)); // one byte at a time
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].second, (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(frames[1].first, kUsbFrameDatagram);
    EXPECT_TRUE(errors.empty());
    EXPECT_FALSE(d.feed(encodeUsbFrame(kUsbFrameEnd, 0, {})));
    EXPECT_TRUE(d.ended());
}

TEST(RefclientCodec, BadUsbFramesAreProtocolErrors) {
    Bytes huge = encodeUsbFrame(kUsbFrameStream, 1, {});
    huge[12] = 0xFF, huge[13] = 0xFF, huge[14] = 0xFF, huge[15] = 0xF0;
    for (const Bytes& bad : {encodeUsbFrame(kUsbFrameStream, 1, Bytes{0, 0, 0, 1, 5}, 2), huge,
                             encodeUsbFrame(kUsbFrameDatagram, 1, Bytes{0, 0}),
                             encodeUsbFrame(kUsbFrameDatagram, 1, Bytes{0, 0, 0, 9, 1}),
                             encodeUsbFrame(kUsbFrameStream, 1, Bytes{0, 0, 0, 0, 1})}) {
        int errors = 0, frames = 0;
        UsbFrameDecoder d([&](uint32_t, ByteView) { ++frames; }, [&](const std::string&) { ++errors; });
        EXPECT_FALSE(d.feed(bad));
        EXPECT_EQ(errors, 1);
        EXPECT_EQ(frames, 0);
    }
}
