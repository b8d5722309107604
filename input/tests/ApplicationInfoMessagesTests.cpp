// The session's application messages and requests, over a recording socket and fake
// applications.
#include "input/ApplicationInfoMessages.h"
#include "input/tests/ApplicationSharingTestSupport.h"

#include "foundation/DataAdditions.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "regions/tests/RecordingSocket.h"

#include <tiffio.h>

#include <cstring>
#include <unistd.h>

namespace input::testing {
namespace {

using regions::testing::RecordingSocket;

std::shared_ptr<RecordingSocket> recordingSocket() {
    auto socket = std::make_shared<RecordingSocket>();
    socket->probeLock = false;
    socket->datagramLimit = ApplicationInfoMessages::kMaxDatagram;
    return socket;
}

std::vector<Bytes> datagramsOf(RecordingSocket& socket) {
    std::vector<Bytes> out;
    for (const auto& d : socket.datagrams)
        out.push_back(d.bytes);
    return out;
}

void clear(RecordingSocket& socket) {
    socket.writes.clear();
    socket.datagrams.clear();
}

// Every write from the n-th on (counted from now) fails.
void failAfter(RecordingSocket& socket, size_t n) {
    socket.failFromWrite = socket.writes.size() + n;
}

class Link final : public ApplicationInfoSessionLink {
  public:
    Socket clientSocket() const override { return client; }
    Socket sidebandSocket() const override { return sideband; }
    void lockSession() override { sessionLock.lock(); }
    void unlockSession() override { sessionLock.unlock(); }
    cg::CGPoint displayOrigin() const override { return origin; }
    uint16_t clientSidebandPort() const override { return 6000; }
    void removeScreenSaver() override { ++screenSaverCalls; }

    std::shared_ptr<RecordingSocket> client = recordingSocket();
    std::shared_ptr<RecordingSocket> sideband = recordingSocket();
    std::recursive_mutex sessionLock;
    cg::CGPoint origin{0, 0};
    std::atomic<int> screenSaverCalls{0};
};

uint32_t u32At(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
uint64_t u64At(const Bytes& b, size_t at) {
    return uint64_t(u32At(b, at)) | uint64_t(u32At(b, at + 4)) << 32;
}
int16_t i16At(const Bytes& b, size_t at) {
    return int16_t(b[at] | b[at + 1] << 8);
}

class ScreenServerApplicationInfoTest : public ApplicationSharingTest {
  protected:
    void SetUp() override {
        ApplicationSharingTest::SetUp();
        m_messages = std::make_unique<ApplicationInfoMessages>(m_link, m_monitor);
    }
    void TearDown() override {
        m_messages.reset();
        ApplicationSharingTest::TearDown();
    }
    QNBApplicationWindowRef window(uint64_t id, cg::CGRect bounds, bool fresh) {
        auto w = std::make_shared<QNBApplicationWindow>();
        w->applicationID = 77;
        w->windowID = id;
        w->bounds = bounds;
        w->freshThumbnail = fresh;
        return w;
    }

    Link m_link;
    std::unique_ptr<ApplicationInfoMessages> m_messages;
};

TEST_F(ScreenServerApplicationInfoTest, KnownIconIsNotSentAgainAndTheTIFFIsLZWPagePerRepresentation) {
    QNBApplicationState state;
    state.name = "Mails";
    state.applicationID = 0x40000001;
    state.icon = iconWithSides({64, 128});
    ASSERT_TRUE(m_messages->serializeAndSendAppInfoForApp(state));
    const Bytes first = m_link.client->streamNow();
    ASSERT_GT(first.size(), QNApplicationInfoMsg::kSize + 12);
    EXPECT_EQ(first[0], 0x21);
    EXPECT_EQ(u64At(first, 1), 0x40000001u);
    EXPECT_EQ(u32At(first, 9), 12u);
    const uint32_t iconLength = u32At(first, 29);
    ASSERT_EQ(first.size(), QNApplicationInfoMsg::kSize + 12 + iconLength);
    const Bytes tiff(first.begin() + 45, first.end());
    const auto md5 = foundation::dataWithMD5OfData(tiff);
    EXPECT_TRUE(std::equal(md5.begin(), md5.end(), first.begin() + 13));

    // libtiff reads it back: LZW, a page per representation.
    const std::string path = m_home + "/icon.tiff";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(tiff.data(), 1, tiff.size(), f);
    std::fclose(f);
    TIFF* t = TIFFOpen(path.c_str(), "r");
    ASSERT_TRUE(t);
    int pages = 0;
    do {
        uint16_t compression = 0;
        TIFFGetField(t, TIFFTAG_COMPRESSION, &compression);
        EXPECT_EQ(compression, 5);
        ++pages;
    } while (TIFFReadDirectory(t));
    TIFFClose(t);
    EXPECT_EQ(pages, 2);

    // The device announced that icon: length 0, the same MD5, the name, no icon bytes.
    m_monitor->cacheHash(md5);
    clear(*m_link.client);
    ASSERT_TRUE(m_messages->serializeAndSendAppInfoForApp(state));
    const Bytes second = m_link.client->streamNow();
    ASSERT_EQ(second.size(), QNApplicationInfoMsg::kSize + 12);
    EXPECT_EQ(u32At(second, 29), 0u);
    EXPECT_TRUE(std::equal(md5.begin(), md5.end(), second.begin() + 13));

    // No icon: length 0 and the MD5 of no bytes.
    state.icon = nullptr;
    clear(*m_link.client);
    ASSERT_TRUE(m_messages->serializeAndSendAppInfoForApp(state));
    const auto none = foundation::dataWithMD5OfData({});
    EXPECT_TRUE(std::equal(none.begin(), none.end(), m_link.client->streamNow().begin() + 13));
}

TEST_F(ScreenServerApplicationInfoTest, FiveFreshThumbnailsGoThreeThenTwo) {
    m_link.origin = {1440, 0};
    std::vector<QNBApplicationWindowRef> windows;
    for (uint64_t id = 1; id <= 5; ++id) {
        auto w = window(id, cg::CGRectMake(100, 50, 300, 200), true);
        m_monitor->updateWindowState(w, false);
    }
    drain();
    ASSERT_TRUE(m_messages->sendWindowUpdates());
    Bytes out = m_link.client->streamNow();
    ASSERT_EQ(out.size(), 3 * QNApplicationThumbMsg::kSize); // no thumbnails: PNG length 0
    EXPECT_EQ(i16At(out, 17), -1340);
    EXPECT_EQ(u64At(out, 9), 1u);
    EXPECT_EQ(u64At(out, 2 * 35 + 9), 3u);
    clear(*m_link.client);
    ASSERT_TRUE(m_messages->sendWindowUpdates());
    out = m_link.client->streamNow();
    ASSERT_EQ(out.size(), 2 * QNApplicationThumbMsg::kSize);
    EXPECT_EQ(u64At(out, 9), 4u);
    clear(*m_link.client);
    ASSERT_TRUE(m_messages->sendWindowUpdates());
    EXPECT_TRUE(m_link.client->streamNow().empty());
}

// The update's snapshot is the list as the poll left it: a window gone between the poll and the
// update is still among the 0x23 records, though the refresh in between has seen it go.
TEST_F(ScreenServerApplicationInfoTest, TheUpdateSendsTheWindowSnapshotTakenBeforeTheRefresh) {
    ASSERT_TRUE(addFakeEditor());
    poll();
    ASSERT_EQ(m_monitor->applicationWindows().size(), 2u);
    ASSERT_EQ(cg::CGSSetWindowAlpha(m_editorWindows[1], 0), cg::kCGErrorSuccess); // off the list
    clear(*m_link.client);
    ASSERT_TRUE(m_messages->sendApplicationUpdate());
    EXPECT_EQ(m_monitor->applicationWindows().size(), 1u) << "the refresh saw the window go";
    std::vector<Bytes> snapshots;
    for (const auto& w : m_link.client->writes)
        if (w.bytes.size() == 9 && w.bytes[0] == 0x23 && u32At(w.bytes, 5) == 30) snapshots.push_back(w.bytes);
    ASSERT_EQ(snapshots.size(), 1u);
    EXPECT_EQ(u32At(snapshots[0], 1), 2u);
}

TEST_F(ScreenServerApplicationInfoTest, FailedSendsAnswerNo) {
    m_monitor->updateWindowState(window(1, cg::CGRectMake(0, 0, 10, 10), false), false);
    drain();
    // A snapshot whose records cannot be written, and an empty one.
    failAfter(*m_link.client, 1);
    EXPECT_FALSE(m_messages->sendWindowStateSnapshot(m_monitor->applicationWindows()));
    m_link.client->failFromWrite = SIZE_MAX;
    clear(*m_link.client);
    EXPECT_TRUE(m_messages->sendWindowStateSnapshot({}));
    EXPECT_EQ(m_link.client->streamNow(), (Bytes{0x23, 0, 0, 0, 0, 30, 0, 0, 0}));

    // Menus whose records cannot be written: NO, and the whole update with them.
    addFakeEditor();
    poll();
    clear(*m_link.client);
    ASSERT_TRUE(m_messages->sendMenus());
    EXPECT_GT(m_link.client->streamNow().size(), 9u);
    failAfter(*m_link.client, 1);
    EXPECT_FALSE(m_messages->sendMenus());
    m_link.client->failFromWrite = SIZE_MAX;
    // The whole update: count its writes (once the thumbnails went), then let all but the last
    // (the menus' records) through.
    ASSERT_TRUE(m_messages->sendApplicationUpdate());
    const size_t before = m_link.client->writes.size();
    ASSERT_TRUE(m_messages->sendApplicationUpdate());
    failAfter(*m_link.client, m_link.client->writes.size() - before - 1);
    EXPECT_FALSE(m_messages->sendApplicationUpdate());
    m_link.client->failFromWrite = SIZE_MAX;
}

TEST_F(ScreenServerApplicationInfoTest, MenuRequestsExpandItemsAndPressLeaves) {
    auto editor = addFakeEditor();
    poll();
    const uint64_t pid = uint64_t(editor->pid());
    // File has a menu: one type-9 datagram with its two items at ordinal 1, x 0.
    Bytes request(17, 0);
    request[0] = 8;
    const uint64_t file = editor->menuElement({0});
    std::memcpy(&request[1], &file, 8);
    std::memcpy(&request[9], &pid, 8);
    offMain([&] { m_messages->menuRequestDatagramReceived(request); });
    auto datagrams = datagramsOf(*m_link.sideband);
    ASSERT_EQ(datagrams.size(), 1u);
    const Bytes& d = datagrams[0];
    EXPECT_EQ(u64At(d, 0), file);
    EXPECT_EQ(d[8], 9);
    EXPECT_EQ(u32At(d, 9), d.size() - 13);
    EXPECT_EQ(u64At(d, 13), pid);
    const size_t first = 21, second = first + 42 + std::strlen("Open…");
    ASSERT_EQ(d.size(), second + 42 + 4);
    EXPECT_EQ(u64At(d, first + 8), editor->menuElement({0, 0}));
    EXPECT_EQ(i16At(d, first + 20), 0);             // x
    EXPECT_EQ(i16At(d, first + 22), 30);            // y
    EXPECT_EQ(d[first + 28], 1);                    // ordinal
    EXPECT_EQ(u64At(d, first + 30), file);          // parent
    EXPECT_EQ(u32At(d, first + 38), uint32_t('O')); // command
    EXPECT_EQ(std::string(d.begin() + first + 42, d.begin() + second), "Open…");
    EXPECT_EQ(u32At(d, second + 38), 0u);

    // Open… is a leaf: pressed, nothing sent.
    const uint64_t open = editor->menuElement({0, 0});
    std::memcpy(&request[1], &open, 8);
    clear(*m_link.sideband);
    offMain([&] { m_messages->menuRequestDatagramReceived(request); });
    EXPECT_TRUE(datagramsOf(*m_link.sideband).empty());
    EXPECT_EQ(editor->pressedMenuItems(), std::vector<uint64_t>{open});

    // Unknown handles and pids, short datagrams: nothing.
    for (uint64_t handle : {uint64_t(0), ~uint64_t(0), open + 1000}) {
        std::memcpy(&request[1], &handle, 8);
        offMain([&] { m_messages->menuRequestDatagramReceived(request); });
    }
    offMain([&] { m_messages->menuRequestDatagramReceived(std::span(request).first(16)); });
    EXPECT_TRUE(datagramsOf(*m_link.sideband).empty());
    EXPECT_EQ(editor->pressedMenuItems().size(), 1u);
}

TEST_F(ScreenServerApplicationInfoTest, TopMenuAndActiveApplicationDatagrams) {
    offMain([&] { m_messages->sendTopMenuForApplication(12345); });
    auto datagrams = datagramsOf(*m_link.sideband);
    ASSERT_EQ(datagrams.size(), 1u);
    EXPECT_EQ(datagrams[0].size(), 13u + 8 + 42);
    EXPECT_EQ(u64At(datagrams[0], 0), 0u);
    EXPECT_EQ(u64At(datagrams[0], 13), 12345u);
    EXPECT_EQ(Bytes(datagrams[0].begin() + 21, datagrams[0].end()), Bytes(42, 0));

    auto editor = addFakeEditor();
    poll();
    clear(*m_link.sideband);
    offMain([&] { m_messages->sendActiveApplication(editor->pid()); });
    datagrams = datagramsOf(*m_link.sideband);
    ASSERT_EQ(datagrams.size(), 2u);
    ASSERT_EQ(datagrams[0].size(), 13u);
    EXPECT_EQ(u64At(datagrams[0], 0), uint64_t(editor->pid()));
    EXPECT_EQ(datagrams[0][8], 8);
    EXPECT_EQ(u64At(datagrams[1], 0), editor->menuBarElement());
    EXPECT_EQ(datagrams[1].size(), 13u + 8 + 42 + (42 + 4) + (42 + 4)); // the bar, File, Edit
}

TEST_F(ScreenServerApplicationInfoTest, WindowRequestsFrontTheApplicationAndMakeTheMatchingWindowMain) {
    auto editor = addFakeEditor();
    poll();
    Bytes request(17, 0);
    request[0] = 5;
    const uint32_t pid = uint32_t(editor->pid());
    const uint64_t wid = m_editorWindows[1];
    std::memcpy(&request[1], &pid, 4);
    std::memcpy(&request[9], &wid, 8);
    offMain([&] { m_messages->windowRequestDatagramReceived(request); });
    EXPECT_EQ(m_link.screenSaverCalls, 1);
    EXPECT_TRUE(editor->frontmost());
    EXPECT_EQ(editor->mainWindow(), m_editorWindows[1]);

    // No running application with the pid: only the screen saver call.
    auto other = addApplication("Other");
    for (uint32_t nobody : {0u, 4294967295u, uint32_t(::getpid())}) {
        std::memcpy(&request[1], &nobody, 4);
        offMain([&] { m_messages->windowRequestDatagramReceived(request); });
    }
    EXPECT_EQ(m_link.screenSaverCalls, 4);
    EXPECT_FALSE(other->frontmost());
    offMain([&] { m_messages->windowRequestDatagramReceived(std::span(request).first(16)); });
    EXPECT_EQ(m_link.screenSaverCalls, 4);
}

// A window request comes whenever the device sends one, application sharing on or off: its pid
// look-up must not build every running application's icon each time.
TEST_F(ScreenServerApplicationInfoTest, AWindowRequestBuildsNoIcon) {
    auto editor = addFakeEditor();
    poll();
    const int listed = m_source->listingsWithIcons;
    Bytes request(17, 0);
    request[0] = 5;
    const uint32_t pid = uint32_t(editor->pid());
    std::memcpy(&request[1], &pid, 4);
    for (int i = 0; i < 3; ++i)
        offMain([&] { m_messages->windowRequestDatagramReceived(request); });
    EXPECT_TRUE(editor->frontmost()) << "the application was still found";
    EXPECT_EQ(m_source->listingsWithIcons, listed);
}

TEST_F(ScreenServerApplicationInfoTest, WindowRequestEndsAtTheFirstUnansweredCall) {
    auto editor = addFakeEditor();
    poll();
    editor->setAnswering(false);
    Bytes request(17, 0);
    request[0] = 5;
    const uint32_t pid = uint32_t(editor->pid());
    std::memcpy(&request[1], &pid, 4);
    platform::LogCapture log(true);
    offMain([&] { m_messages->windowRequestDatagramReceived(request); }, 1.0);
    EXPECT_EQ(log.count("went unanswered"), 1u);
    editor->setAnswering(true);
}

TEST_F(ScreenServerApplicationInfoTest, MenuRequestsRaceSendMenus) {
    auto editor = addFakeEditor();
    poll();
    Bytes request(17, 0);
    request[0] = 8;
    const uint64_t pid = uint64_t(editor->pid());
    std::memcpy(&request[9], &pid, 8);
    offMain([&] {
        std::thread menus([&] {
            for (int i = 0; i < 20; ++i)
                m_messages->sendMenus();
        });
        for (int i = 0; i < 10; ++i) {
            const uint64_t item = editor->menuElement({size_t(i % 2)});
            Bytes r = request;
            std::memcpy(&r[1], &item, 8);
            m_messages->menuRequestDatagramReceived(r);
        }
        menus.join();
    });
    EXPECT_EQ(datagramsOf(*m_link.sideband).size(), 10u);
}

TEST_F(ScreenServerApplicationInfoTest, OversizedMenuDatagramIsLogged) {
    auto editor = addApplication("Wordy");
    editor->addWindow("Page", cg::CGRectMake(0, 0, 100, 100));
    std::vector<ax::AXFakeMenuItem> items;
    for (int i = 0; i < 3; ++i)
        items.push_back(ax::AXFakeMenuItem{std::string(30000, char('a' + i)), true, "", "", {}, {}, {}});
    editor->setMenuBar({ax::AXFakeMenuItem{"Long", true, "", "", {}, {}, items}});
    poll();
    platform::LogCapture log(true);
    Bytes request(17, 0);
    request[0] = 8;
    const uint64_t pid = uint64_t(editor->pid()), item = editor->menuElement({0});
    std::memcpy(&request[1], &item, 8);
    std::memcpy(&request[9], &pid, 8);
    offMain([&] { m_messages->menuRequestDatagramReceived(request); });
    EXPECT_TRUE(datagramsOf(*m_link.sideband).empty());
    EXPECT_TRUE(log.contains("refused a menu datagram"));
}

} // namespace
} // namespace input::testing
