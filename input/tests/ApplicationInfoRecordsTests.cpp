// The application-sharing records against bytes written out by hand from their layouts.
#include "input/ApplicationInfoRecords.h"
#include "input/QNBApplicationRecords.h"

#include "tools/refclient/Datagrams.h"

#include <gtest/gtest.h>

namespace input {
namespace {

// Little-endian fields appended one by one, as the layouts list them.
struct Expect {
    Bytes bytes;
    Expect& u8(uint8_t v) { return put(v, 1); }
    Expect& u16(uint16_t v) { return put(v, 2); }
    Expect& u32(uint32_t v) { return put(v, 4); }
    Expect& u64(uint64_t v) { return put(v, 8); }
    Expect& raw(const Bytes& b) {
        bytes.insert(bytes.end(), b.begin(), b.end());
        return *this;
    }
    Expect& put(uint64_t v, int width) {
        for (int i = 0; i < width; ++i)
            bytes.push_back(uint8_t(v >> (8 * i)));
        return *this;
    }
};

TEST(ApplicationInfoRecords, ApplicationHeaderAndNameOfFiveLetters) {
    const Bytes name = applicationNameBytes("Mails");
    EXPECT_EQ(name, (Bytes{0xFF, 0xFE, 'M', 0, 'a', 0, 'i', 0, 'l', 0, 's', 0}));
    ASSERT_EQ(name.size(), 12u);
    EXPECT_EQ(applicationNameBytes("é€"), (Bytes{0xFF, 0xFE, 0xE9, 0x00, 0xAC, 0x20}));

    QNApplicationInfoMsg header;
    header.pid = 0x40000001;
    header.nameLength = 12;
    for (size_t i = 0; i < 16; ++i)
        header.iconMD5[i] = uint8_t(0xA0 + i);
    header.iconLength = 0x12345;
    Expect expect;
    expect.u8(0x21).u64(0x40000001).u32(12);
    for (size_t i = 0; i < 16; ++i)
        expect.u8(uint8_t(0xA0 + i));
    expect.u32(0x12345);
    EXPECT_EQ(header.encode(), expect.bytes);
    EXPECT_EQ(header.encode().size(), QNApplicationInfoMsg::kSize);
}

TEST(ApplicationInfoRecords, WindowPlacementIsRelativeToTheDisplay) {
    const WindowPlacement at1440 = windowPlacement(cg::CGRectMake(100.9, 50.5, 640.7, 480.2), {1440, 0});
    EXPECT_EQ(at1440.x, -1340);
    EXPECT_EQ(at1440.y, 50);
    EXPECT_EQ(at1440.width, 640);
    EXPECT_EQ(at1440.height, 480);
    // Truncated toward zero, not down; a coordinate past 16 bits keeps its low 16.
    EXPECT_EQ(windowPlacement(cg::CGRectMake(-10.5, 70000, 1, 1), {0, 0}).x, -10);
    EXPECT_EQ(windowPlacement(cg::CGRectMake(-10.5, 70000, 1, 1), {0, 0}).y, int16_t(70000 - 65536));
}

TEST(ApplicationInfoRecords, ThumbnailHeaderAndWindowRecord) {
    QNApplicationThumbMsg thumb;
    thumb.pid = 77;
    thumb.windowID = 0x1122334455667788ull;
    thumb.placement = windowPlacement(cg::CGRectMake(100, 20, 300, 200), {1440, 0});
    thumb.desktopNumber = 1;
    thumb.zOrder = 6;
    thumb.pngLength = 999;
    const Bytes expectThumb = Expect()
                                  .u8(0x22)
                                  .u64(77)
                                  .u64(0x1122334455667788ull)
                                  .u16(uint16_t(-1340))
                                  .u16(20)
                                  .u16(300)
                                  .u16(200)
                                  .u16(1)
                                  .u32(6)
                                  .u32(999)
                                  .bytes;
    EXPECT_EQ(thumb.encode(), expectThumb);
    EXPECT_EQ(thumb.encode().size(), QNApplicationThumbMsg::kSize);

    QNWindowRecord record{77, 9, thumb.placement, 0x0102, 3};
    Bytes written;
    record.appendTo(written);
    EXPECT_EQ(
        written,
        Expect().u64(77).u64(9).u16(uint16_t(-1340)).u16(20).u16(300).u16(200).u16(0x0102).u32(3).bytes);
    EXPECT_EQ(written.size(), QNWindowRecord::kSize);
}

TEST(ApplicationInfoRecords, CountedHeads) {
    EXPECT_EQ(QNWindowSnapshotMsg(0).encode(), Expect().u8(0x23).u32(0).u32(30).bytes);
    EXPECT_EQ(QNWindowSnapshotMsg(0).encode().size(), 9u);
    EXPECT_EQ(QNNewApplicationsMsg(3).encode(), Expect().u8(0x24).u32(3).u32(0).bytes);
    EXPECT_EQ(QNApplicationMenusMsg(2, 100).encode(), Expect().u8(0x26).u32(2).u32(100).bytes);
}

TEST(ApplicationInfoRecords, MenuRecordFieldsAndFlags) {
    QNMenuRecord menu;
    menu.pid = 0x40000002;
    menu.elementHandle = 0xABCDEF;
    menu.flags = QNMenuRecord::kEnabled | QNMenuRecord::kHasSubMenus | QNMenuRecord::kChecked | 0x30;
    menu.position = {-12.9, 22.5};
    menu.size = {80.7, 22};
    menu.ordinal = 0x10001;
    menu.parentHandle = 0x42;
    menu.cmdChar = 'O';
    menu.title = "Open…";
    const Bytes expect = Expect()
                             .u64(0x40000002)
                             .u64(0xABCDEF)
                             .u16(7)
                             .u16(1 | 4 | 8)
                             .u16(uint16_t(-12))
                             .u16(22)
                             .u16(80)
                             .u16(22)
                             .u16(1)
                             .u64(0x42)
                             .u32('O')
                             .raw(Bytes{'O', 'p', 'e', 'n', 0xE2, 0x80, 0xA6})
                             .bytes;
    EXPECT_EQ(menu.encode(), expect);

    // The menu bar: no title, no parent, whatever the record says of one.
    QNMenuRecord bar;
    bar.flags = QNMenuRecord::kAppTopMenu;
    bar.parentHandle = 0x99;
    const Bytes barBytes = bar.encode();
    ASSERT_EQ(barBytes.size(), QNMenuRecord::kSize);
    EXPECT_EQ(barBytes[18], 2);
    EXPECT_EQ(Bytes(barBytes.begin() + 30, barBytes.begin() + 38), Bytes(8, 0));
}

TEST(ApplicationInfoRecords, LongTitleIsCutToSixteenBitsOfLength) {
    QNMenuRecord menu;
    menu.title = std::string(70000, 'x');
    const Bytes bytes = menu.encode();
    ASSERT_EQ(bytes.size(), QNMenuRecord::kSize + 4464);
    EXPECT_EQ(bytes[16] | bytes[17] << 8, 4464);
}

TEST(ApplicationInfoRecords, SidebandDatagrams) {
    const Bytes records = {1, 2, 3};
    EXPECT_EQ(QNSidebandMenuMsg(0x0807060504030201ull, 0x40000001, records),
              Expect().u64(0x0807060504030201ull).u8(9).u32(11).u64(0x40000001).raw(records).bytes);
    EXPECT_EQ(QNSidebandMenuMsg(0, 0, {}).size(), 21u);

    const Bytes active = QNActiveApplicationMsg(-2);
    EXPECT_EQ(active, Expect().u64(0xFFFFFFFFFFFFFFFEull).u8(8).u32(0).bytes);
    EXPECT_EQ(QNActiveApplicationMsg(1234).size(), 13u);
}

TEST(ApplicationInfoRecords, RequestsAsTheReferenceClientSendsThem) {
    namespace d = refclient::datagram;
    const auto window = QNWindowRequestMsgFromDatagram(d::windowRequest(0x40000003, 0x0102030405060708ull));
    ASSERT_TRUE(window);
    EXPECT_EQ(window->pid, 0x40000003u);
    EXPECT_EQ(window->windowID, 0x0102030405060708ull);
    const auto menu = QNMenuRequestMsgFromDatagram(d::menuRequest(0xFEDCBA9876543210ull, 4294967295ull));
    ASSERT_TRUE(menu);
    EXPECT_EQ(menu->elementHandle, 0xFEDCBA9876543210ull);
    EXPECT_EQ(menu->pid, 4294967295ull);

    // The refclient's --send steps make the same bytes.
    std::string error;
    const auto step = refclient::SendStep::parse("window:7,9", error);
    ASSERT_TRUE(step) << error;
    ASSERT_EQ(step->datagrams.size(), 1u);
    EXPECT_EQ(QNWindowRequestMsgFromDatagram(step->datagrams[0])->windowID, 9u);
    const auto menuStep = refclient::SendStep::parse("menu:5,7", error);
    ASSERT_TRUE(menuStep) << error;
    EXPECT_EQ(QNMenuRequestMsgFromDatagram(menuStep->datagrams[0])->elementHandle, 5u);
    EXPECT_EQ(QNMenuRequestMsgFromDatagram(menuStep->datagrams[0])->pid, 7u);

    // One to sixteen bytes: no request.
    Bytes datagram = d::windowRequest(1, 2);
    for (size_t length = 0; length < 17; ++length) {
        EXPECT_FALSE(QNWindowRequestMsgFromDatagram({datagram.data(), length})) << length;
        EXPECT_FALSE(QNMenuRequestMsgFromDatagram({datagram.data(), length})) << length;
    }
}

// Menu records less than a point apart in x (or y) compare the same: the difference is truncated.
TEST(ApplicationInfoRecords, MenusUnderOnePointApartCompareTheSame) {
    QNBApplicationMenu a, b, c;
    a.position = cg::CGPointMake(10.0, 5.0);
    b.position = cg::CGPointMake(10.9, 5.9);
    c.position = cg::CGPointMake(11.0, 4.0);
    EXPECT_EQ(a.compareByXOrigin(b), 0);
    EXPECT_EQ(b.compareByXOrigin(a), 0);
    EXPECT_EQ(a.compareByXOrigin(c), -1);
    EXPECT_EQ(c.compareByXOrigin(a), 1);
    EXPECT_EQ(b.compareByXOrigin(c), 0); // 0.1 apart
    EXPECT_EQ(a.compareByYOrigin(b), 0);
    EXPECT_EQ(a.compareByYOrigin(c), 1);
}

} // namespace
} // namespace input
