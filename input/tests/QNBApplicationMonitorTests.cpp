// The application monitor over fake applications: applications, windows, thumbnails, menus and
// the icon table.
#include "input/tests/ApplicationSharingTestSupport.h"

#include "foundation/DataAdditions.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/coregraphics/CGWindow.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace input::testing {
namespace {

using QNBApplicationMonitorTest = ApplicationSharingTest;

QNBApplicationWindowRef windowWithID(const std::vector<QNBApplicationWindowRef>& windows, uint64_t id) {
    for (const auto& w : windows)
        if (w->windowID == id) return w;
    return nullptr;
}

// Counts the monitor's notifications by name.
struct Heard {
    explicit Heard(const std::shared_ptr<QNBApplicationMonitor>& monitor) {
        token = ns::NSNotificationCenter::defaultCenter().addObserverForName(
            std::nullopt, monitor.get(), [this](const ns::NSNotification& n) { names.push_back(n.name); });
    }
    ~Heard() { ns::NSNotificationCenter::defaultCenter().removeObserver(token); }
    size_t count(const std::string& name) const {
        return size_t(std::count(names.begin(), names.end(), name));
    }
    ns::NSNotificationCenter::ObserverToken token;
    std::vector<std::string> names;
};

TEST_F(QNBApplicationMonitorTest, PollFindsApplicationsWindowsAndZOrderOverSkippedEntries) {
    // The back office's window is the oldest: it is listed behind every other.
    auto back = addApplication("Back Office");
    ASSERT_TRUE(back);
    const uint32_t backWindow = back->addWindow("Ledger", cg::CGRectMake(700, 500, 200, 100));
    auto editor = addFakeEditor();
    auto dock = addApplication("Dock");
    auto simulator = addApplication("iOS Simulator");
    ASSERT_TRUE(editor && dock && simulator);
    dock->addWindow("Dock", cg::CGRectMake(0, 850, 1440, 50));
    simulator->addWindow("", cg::CGRectMake(600, 100, 300, 500));
    const uint32_t floating = editor->addWindow("Palette", cg::CGRectMake(10, 10, 50, 50), 25);
    const uint32_t invisible = editor->addWindow("Ghost", cg::CGRectMake(20, 20, 50, 50));
    ASSERT_EQ(cg::CGSSetWindowAlpha(invisible, 0), cg::kCGErrorSuccess);

    poll();
    EXPECT_TRUE(m_monitor->pollComplete());
    EXPECT_EQ(m_monitor->applicationStates().size(), 4u);
    EXPECT_EQ(m_monitor->discoveredApplications().size(), 4u);
    const auto windows = m_monitor->applicationWindows();
    EXPECT_EQ(windows.size(), 3u); // two of the editor's and the ledger
    EXPECT_FALSE(windowWithID(windows, floating));
    EXPECT_FALSE(windowWithID(windows, invisible));
    for (const auto& w : windows)
        EXPECT_NE(w->applicationID, uint64_t(dock->pid()));
    for (const auto& w : windows)
        EXPECT_NE(w->applicationID, uint64_t(simulator->pid()));

    // The z-order is the place in the whole on-screen list, skipped entries counted.
    const auto list = cg::CGWindowListCopyWindowInfo(cg::kCGWindowListOptionOnScreenOnly, 0);
    ASSERT_TRUE(list);
    uint32_t place = 0;
    for (size_t i = 0; i < list->count(); ++i)
        if (list->at(i)->find(cg::kCGWindowNumber)->integerValue() == backWindow) place = uint32_t(i + 1);
    ASSERT_TRUE(windowWithID(windows, backWindow));
    EXPECT_EQ(windowWithID(windows, backWindow)->windowZOrder, place);
    EXPECT_GT(place, 3u);
    EXPECT_EQ(windowWithID(windows, m_editorWindows[0])->windowName, "Notes");
    EXPECT_TRUE(cg::CGRectEqualToRect(windowWithID(windows, m_editorWindows[0])->bounds,
                                      cg::CGRectMake(100, 80, 400, 300)));

    // Icons keep their representations between 64 and 128 pixels a side.
    const auto state = m_monitor->applicationStateForPID(uint64_t(editor->pid()));
    ASSERT_TRUE(state && state->icon);
    std::vector<int64_t> sides;
    for (const auto& rep : state->icon->representations())
        sides.push_back(std::dynamic_pointer_cast<appkit::NSBitmapImageRep>(rep)->pixelsWide());
    EXPECT_EQ(sides, (std::vector<int64_t>{64, 128}));
    EXPECT_EQ(m_source->applications[1].icon->representations().size(), 6u); // the source's is untouched

    // Announced once: then acknowledged.
    EXPECT_TRUE(m_monitor->hasApplicationInfoToSend());
    EXPECT_FALSE(m_monitor->hasApplicationInfoToSend());
    m_monitor->ackPoll();
    EXPECT_TRUE(m_monitor->discoveredApplications().empty());
    EXPECT_FALSE(m_monitor->firstRun());
}

// The menu-bar extras' windows are on the normal layer like any document's, but the device has
// its own menu bar: the list leaves them out, as it does the Dock's.
TEST_F(QNBApplicationMonitorTest, SystemUIServersWindowsAreLeftOutOfTheWindowList) {
    auto extras = addApplication("SystemUIServer");
    auto back = addApplication("Back Office");
    ASSERT_TRUE(extras && back);
    const uint32_t extra = extras->addWindow("Clock", cg::CGRectMake(1300, 0, 120, 22));
    const uint32_t ledger = back->addWindow("Ledger", cg::CGRectMake(700, 500, 200, 100));
    poll();
    const auto windows = m_monitor->applicationWindows();
    EXPECT_FALSE(windowWithID(windows, extra));
    EXPECT_TRUE(windowWithID(windows, ledger));
    for (const auto& w : windows)
        EXPECT_NE(w->applicationID, uint64_t(extras->pid()));
}

TEST_F(QNBApplicationMonitorTest, OnePollPerThirtySecondsAndNoneWhilePollLockIsHeld) {
    auto editor = addFakeEditor();
    poll();
    const double first = m_monitor->lastRun();
    m_monitor->ackPoll();
    editor->addWindow("Third", cg::CGRectMake(0, 400, 100, 100));
    platform::installFakeClock().advance(platform::seconds(10));
    poll();
    EXPECT_EQ(m_monitor->lastRun(), first);
    EXPECT_EQ(m_monitor->applicationWindows().size(), 2u);

    platform::installFakeClock().advance(platform::seconds(25));
    {
        std::lock_guard held(m_monitor->pollLock());
        m_monitor->poll(); // returns at once
    }
    EXPECT_EQ(m_monitor->lastRun(), first);
    poll(0.05);
    EXPECT_GT(m_monitor->lastRun(), first);
    EXPECT_EQ(m_monitor->applicationWindows().size(), 3u);
}

TEST_F(QNBApplicationMonitorTest, WindowsComeAndGoAndThumbnailsKeepTheirFreshness) {
    auto editor = addFakeEditor();
    Heard heard(m_monitor);
    poll();
    EXPECT_EQ(heard.count(kApplicationMonitorAppOrWindowCountChanged), 3u); // one state, two windows
    auto notes = windowWithID(m_monitor->applicationWindows(), m_editorWindows[0]);
    ASSERT_TRUE(notes && notes->thumbnail);
    EXPECT_EQ(cg::CGImageGetWidth(notes->thumbnail), 256u);
    EXPECT_EQ(cg::CGImageGetHeight(notes->thumbnail), 192u);
    EXPECT_EQ(notes->thumbnailHash.size(), 32u);
    EXPECT_TRUE(notes->freshThumbnail);
    m_monitor->ackPoll();

    // The same picture again: a thumbnail not yet sent stays fresh; a sent one stays sent.
    auto letters = windowWithID(m_monitor->applicationWindows(), m_editorWindows[1]);
    letters->freshThumbnail = false; // as a send clears it
    heard.names.clear();
    platform::installFakeClock().advance(platform::seconds(30));
    poll(0.05);
    EXPECT_TRUE(windowWithID(m_monitor->applicationWindows(), m_editorWindows[0])->freshThumbnail);
    EXPECT_FALSE(windowWithID(m_monitor->applicationWindows(), m_editorWindows[1])->freshThumbnail);
    EXPECT_EQ(heard.count(kApplicationMonitorReceivedWindowUpdate), 0u);

    // A new picture: fresh and announced. A window gone: removed without a count notification;
    // a new window: added with one.
    ASSERT_TRUE(editor->fillWindow(m_editorWindows[1], 0xFF336699));
    const uint32_t third = editor->addWindow("Third", cg::CGRectMake(0, 400, 100, 100));
    ASSERT_EQ(cg::CGSOrderWindow(m_editorWindows[0], false), cg::kCGErrorSuccess);
    heard.names.clear();
    platform::installFakeClock().advance(platform::seconds(30));
    poll(0.05);
    const auto windows = m_monitor->applicationWindows();
    EXPECT_FALSE(windowWithID(windows, m_editorWindows[0]));
    EXPECT_TRUE(windowWithID(windows, third));
    ASSERT_TRUE(windowWithID(windows, m_editorWindows[1]));
    EXPECT_TRUE(windowWithID(windows, m_editorWindows[1])->freshThumbnail);
    EXPECT_EQ(heard.count(kApplicationMonitorAppOrWindowCountChanged), 1u);
    EXPECT_EQ(heard.count(kApplicationMonitorReceivedWindowUpdate), 2u); // the filled one and the new one
}

TEST_F(QNBApplicationMonitorTest, MenuBarItemsAtLevelZeroOnlyForNewApplicationsWithWindows) {
    auto editor = addFakeEditor();
    auto idle = addApplication("Idle");
    auto vm = addApplication("vmware-vmx");
    vm->addWindow("Guest", cg::CGRectMake(0, 0, 200, 200));
    vm->setMenuBar({ax::AXFakeMenuItem{"Machine", true, "", "", {}, {}, {}}});
    idle->setMenuBar({ax::AXFakeMenuItem{"Idle", true, "", "", {}, {}, {}}});
    poll();
    const auto state = m_monitor->applicationStateForPID(uint64_t(editor->pid()));
    const auto top = state->topMenu();
    ASSERT_TRUE(top);
    EXPECT_TRUE(top->appTopMenu);
    EXPECT_EQ(top->elementHandle, editor->menuBarElement());
    ASSERT_EQ(top->submenus.size(), 2u);
    const auto file = top->submenus[0];
    EXPECT_EQ(file->title, "File");
    EXPECT_EQ(file->ordinal, 0u);
    EXPECT_EQ(file->position.x, 40); // x kept at the menu-bar level
    EXPECT_TRUE(file->hasSubMenus);
    EXPECT_TRUE(file->submenus.empty()); // deeper levels wait for a request
    EXPECT_EQ(file->parentMenu.lock(), top);
    EXPECT_EQ(m_monitor->menuForElementID(editor->menuElement({1}), uint64_t(editor->pid())),
              top->submenus[1]);
    EXPECT_FALSE(m_monitor->menuForElementID(editor->menuElement({1}), uint64_t(idle->pid())));
    // No windows, no menus (unless it is the active pid); none for vmware-vmx.
    EXPECT_FALSE(m_monitor->applicationStateForPID(uint64_t(idle->pid()))->topMenu());
    EXPECT_FALSE(m_monitor->applicationStateForPID(uint64_t(vm->pid()))->topMenu());

    m_monitor->setActivePID(uint64_t(idle->pid()));
    offMain([&] {
        std::lock_guard lock(m_monitor->lock());
        m_monitor->manageMenuState();
    });
    EXPECT_TRUE(m_monitor->applicationStateForPID(uint64_t(idle->pid()))->topMenu());

    // One level more, on request: the menu's items with their characters and marks.
    QNBApplicationMenuRef slot;
    offMain([&] { m_monitor->continueMenu(file->element, file, 1, 1, slot); });
    ASSERT_EQ(file->submenus.size(), 2u);
    EXPECT_EQ(file->submenus[0]->title, "Open…");
    EXPECT_EQ(file->submenus[0]->cmdChar, uint32_t('O'));
    EXPECT_EQ(file->submenus[0]->ordinal, 1u);
    EXPECT_EQ(file->submenus[0]->position.x, 0);
    EXPECT_EQ(file->submenus[0]->position.y, 30);
    EXPECT_EQ(file->submenus[1]->cmdChar, 0u); // an empty command character
    QNBApplicationMenuRef edit = top->submenus[1];
    offMain([&] { m_monitor->continueMenu(edit->element, edit, 1, 1, slot); });
    ASSERT_EQ(edit->submenus.size(), 1u);
    EXPECT_TRUE(edit->submenus[0]->checked);
    EXPECT_FALSE(file->submenus[0]->checked);
}

TEST_F(QNBApplicationMonitorTest, NoMenusWithAccessibilityOff) {
    auto editor = addFakeEditor();
    ASSERT_TRUE(m_kernel->windowServer()->serveAndWait(m_kernel->windowServerConnection()->cid(),
                                                       "ax.setEnabled", cf::Dictionary{{"enabled", false}}));
    poll();
    EXPECT_EQ(m_monitor->applicationWindows().size(), 2u); // windows and applications still
    EXPECT_FALSE(m_monitor->applicationStateForPID(uint64_t(editor->pid()))->topMenu());
}

TEST_F(QNBApplicationMonitorTest, IconTableHoldsAtMostItsLimitAndResetEmptiesIt) {
    std::vector<uint8_t> hash(16, 0);
    EXPECT_FALSE(m_monitor->cacheHash(std::vector<uint8_t>(15, 1)));
    for (size_t i = 0; i < QNBApplicationMonitor::kMaxKnownIcons + 10; ++i) {
        hash[0] = uint8_t(i);
        hash[1] = uint8_t(i >> 8);
        hash[2] = uint8_t(i >> 16);
        m_monitor->cacheHash(hash);
    }
    EXPECT_EQ(m_monitor->knownIconCount(), QNBApplicationMonitor::kMaxKnownIcons);
    // A hash it holds is still taken again; a new one is not.
    hash.assign(16, 0);
    EXPECT_TRUE(m_monitor->cacheHash(hash));
    hash[5] = 9;
    EXPECT_FALSE(m_monitor->cacheHash(hash));
    EXPECT_TRUE(m_monitor->knowsIcon(std::string(32, '0')));

    addFakeEditor();
    poll();
    m_monitor->fullReset();
    EXPECT_FALSE(m_monitor->hasApplicationInfoToSend());
    EXPECT_FALSE(m_monitor->knowsIcon(std::string(32, '0')));
    EXPECT_EQ(m_monitor->knownIconCount(), 0u);
    EXPECT_TRUE(m_monitor->applicationStates().empty());
    EXPECT_TRUE(m_monitor->firstRun());
}

TEST_F(QNBApplicationMonitorTest, IconFolderInTheUsersCaches) {
    const auto folder = m_monitor->obtainIconCacheDirectory();
    EXPECT_FALSE(folder); // no Caches folder: made without intermediate folders, so none
    std::filesystem::create_directories(m_home + "/Library/Caches");
    ASSERT_EQ(m_monitor->obtainIconCacheDirectory(), m_home + "/Library/Caches/icons");
    const std::string name = "00112233445566778899aabbccddeeff";
    std::FILE* f = std::fopen((m_home + "/Library/Caches/icons/" + name).c_str(), "w");
    ASSERT_TRUE(f);
    std::fclose(f);
    m_monitor->refreshIconCache();
    EXPECT_TRUE(m_monitor->knowsIcon(name));
    m_monitor->flushIconCache();
    EXPECT_FALSE(std::filesystem::exists(m_home + "/Library/Caches/icons/" + name));
}

// The launch and termination handlers, which nothing registers yet: a launch lists the new
// application and, until the next poll, its windows alone; a termination drops the application
// and prunes the windows it left.
TEST_F(QNBApplicationMonitorTest, LaunchAndTerminationHandlersKeepTheListsWhole) {
    auto editor = addFakeEditor();
    ASSERT_TRUE(editor);
    poll();
    ASSERT_TRUE(m_monitor->hasApplicationInfoToSend());
    offMain([&] { m_monitor->ackPoll(); });
    ASSERT_EQ(m_monitor->applicationWindows().size(), 2u);

    Heard heard(m_monitor);
    offMain([&] { m_monitor->notifiedOfTerminatedApplication(uint64_t(editor->pid())); });
    drain();
    EXPECT_FALSE(m_monitor->applicationStateForPID(uint64_t(editor->pid())));
    EXPECT_TRUE(m_monitor->applicationWindows().empty()) << "its windows pruned";
    EXPECT_EQ(heard.count(kApplicationMonitorAppOrWindowCountChanged), 2u); // the state, then the windows
    EXPECT_TRUE(m_monitor->hasApplicationInfoToSend());

    auto late = addApplication("Late", iconWithSides({16, 256}));
    ASSERT_TRUE(late);
    const uint32_t lateWindow = late->addWindow("Sheet", cg::CGRectMake(200, 150, 300, 200));
    offMain([&] { m_monitor->notifiedOfNewApplication({late->pid(), "Late", iconWithSides({16, 256})}); });
    drain();
    const auto state = m_monitor->applicationStateForPID(uint64_t(late->pid()));
    ASSERT_TRUE(state);
    EXPECT_EQ(state->name, "Late");
    EXPECT_TRUE(state->icon);
    const auto windows = m_monitor->applicationWindows();
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0]->windowID, lateWindow);
    EXPECT_TRUE(windows[0]->thumbnail) << "taken at once, without pauses";
    EXPECT_TRUE(m_monitor->hasApplicationInfoToSend());
    EXPECT_EQ(m_monitor->discoveredApplications(), std::vector<uint64_t>{uint64_t(late->pid())});

    // A pid the monitor never listed changes nothing but the flag.
    offMain([&] { m_monitor->notifiedOfTerminatedApplication(999999); });
    EXPECT_EQ(m_monitor->applicationWindows().size(), 1u);
}

// refreshWindowLocation sets the bounds on a copy it drops; refresh reads the window list.
TEST_F(QNBApplicationMonitorTest, AWindowRecordRefreshesFromTheWindowListAndTheMonitorsCopyIsDropped) {
    auto editor = addFakeEditor();
    ASSERT_TRUE(editor);
    poll();
    const uint64_t notes = m_editorWindows[0], letters = m_editorWindows[1];
    m_monitor->refreshWindowLocation(cg::CGPointMake(1, 2), cg::CGSizeMake(3, 4), notes);
    auto live = m_monitor->copyWindowForWID(notes);
    ASSERT_TRUE(live);
    EXPECT_TRUE(cg::CGRectEqualToRect(live->bounds, cg::CGRectMake(100, 80, 400, 300)));

    ASSERT_TRUE(editor->moveWindow(uint32_t(notes), cg::CGRectMake(150, 90, 400, 300)));
    m_kernel->windowServer()->sync();
    QNBApplicationWindow older, newer, gone;
    older.windowID = notes;
    newer.windowID = letters;
    gone.windowID = 0xFFFFFF;
    gone.bounds = cg::CGRectMake(5, 6, 7, 8);
    older.refresh();
    newer.refresh();
    gone.refresh();
    EXPECT_TRUE(cg::CGRectEqualToRect(older.bounds, cg::CGRectMake(150, 90, 400, 300)));
    EXPECT_LT(newer.windowZOrder, older.windowZOrder) << "the later window lies in front";
    EXPECT_TRUE(cg::CGRectEqualToRect(gone.bounds, cg::CGRectMake(5, 6, 7, 8))) << "not listed: unchanged";
}

// Dropping the images keeps the table of icons the device holds, so none is sent again.
TEST_F(QNBApplicationMonitorTest, FlushingTheInMemoryIconsKeepsTheKnownHashes) {
    auto editor = addFakeEditor();
    ASSERT_TRUE(editor);
    poll();
    ASSERT_TRUE(m_monitor->applicationStateForPID(uint64_t(editor->pid()))->icon);
    ASSERT_TRUE(m_monitor->cacheHash(std::vector<uint8_t>(16, 0xAB)));
    m_monitor->flushInMemoryIconCache();
    for (const auto& state : m_monitor->applicationStates())
        EXPECT_FALSE(state->icon) << state->name;
    std::string hex;
    for (int i = 0; i < 16; ++i)
        hex += "ab";
    EXPECT_TRUE(m_monitor->knowsIcon(hex));
    EXPECT_EQ(m_monitor->knownIconCount(), 1u);
}

} // namespace
} // namespace input::testing
