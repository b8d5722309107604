// The preferences window: the panel and its toolbar, swapping and resizing the panes, showing and
// closing, a missing nib; the General pane's switches, the coupled Retina and HiDPI switches and
// the log-out alert, with the will/did-change pairs each click announces.
#include "PreferencesWindowTestSupport.h"

#include "host/QNBTesselPreferencesWindow.h"

#include "platform/appkit/NSNib.h"
#include "platform/appkit/NSScreen.h"

namespace host {
namespace {

using testing::PreferencesWindowTest;

double top(const cg::CGRect& r) {
    return r.origin.y + r.size.height;
}

class QNBPreferencesManagerTest : public PreferencesWindowTest {};

TEST_F(QNBPreferencesManagerTest, LoadsTheFloatingPanelWithItsToolbarAndShowsGeneral) {
    auto& m = manager();
    ASSERT_TRUE(m.preferencesPanel);
    EXPECT_EQ(m.window(), m.preferencesPanel);
    EXPECT_EQ(m.preferencesPanel->title(), "Preferences");
    EXPECT_EQ(m.preferencesPanel->level(), appkit::NSModalPanelWindowLevel);
    EXPECT_FALSE(m.preferencesPanel->hidesOnDeactivate());
    EXPECT_EQ(m.preferencesPanel->animationBehavior(), 5);
    EXPECT_FALSE(m.preferencesPanel->isVisible()) << "shown only when asked for";

    ASSERT_TRUE(m.preferencesToolbar);
    EXPECT_EQ(m.preferencesPanel->toolbar(), m.preferencesToolbar);
    ASSERT_EQ(m.preferencesToolbar->items().size(), 2u);
    EXPECT_EQ(m.preferencesToolbar->items()[0], m.tesselPreferencesItem);
    EXPECT_EQ(m.preferencesToolbar->items()[1], m.scrivetPreferencesItem);
    EXPECT_EQ(m.tesselPreferencesItem->itemIdentifier(), "General");
    EXPECT_EQ(m.scrivetPreferencesItem->itemIdentifier(), "Stylus");
    EXPECT_EQ(m.tesselPreferencesItem->label(), "General");
    EXPECT_EQ(m.scrivetPreferencesItem->label(), "Stylus");
    EXPECT_EQ(m.preferencesToolbar->selectedItemIdentifier(), "General");

    EXPECT_EQ(m.selectedPreferenceItemIndex(), 0u);
    auto content = m.preferencesPanel->contentView();
    ASSERT_EQ(content->subviews().size(), 1u);
    EXPECT_EQ(content->subviews()[0], general().view());
    const cg::CGRect shown = m.preferencesPanel->contentRectForFrameRect(m.preferencesPanel->frame());
    EXPECT_EQ(shown.size.width, 480);
    EXPECT_EQ(shown.size.height, 320);
    EXPECT_EQ(stylus().view()->frame().size.height, kQNBStylusPaneHeight);
    EXPECT_TRUE(find(content, "useHiDPISwitch"));
}

TEST_F(QNBPreferencesManagerTest, SwappingPanesKeepsTheTopEdgeAndTheShownPaneIsNotRebuilt) {
    auto& m = manager();
    m.preferencesPanel->setFrameOrigin(cg::CGPointMake(300, 200));
    const cg::CGRect before = m.preferencesPanel->frame();

    m.setSelectedPreferenceItemIndex(1);
    const cg::CGRect after = m.preferencesPanel->frame();
    EXPECT_EQ(m.selectedPreferenceItemIndex(), 1u);
    EXPECT_EQ(m.preferencesPanel->contentView()->subviews().at(0), stylus().view());
    EXPECT_EQ(m.preferencesToolbar->selectedItemIdentifier(), "Stylus");
    EXPECT_EQ(after.origin.x, before.origin.x);
    EXPECT_EQ(top(after), top(before));
    EXPECT_EQ(m.preferencesPanel->contentRectForFrameRect(after).size.height, kQNBStylusPaneHeight);

    // The shown pane again: nothing is resized, even after the panel was moved.
    m.preferencesPanel->setFrame(cg::CGRectMake(100, 100, 480, 300), false);
    m.setSelectedPreferenceItemIndex(1);
    EXPECT_TRUE(cg::CGRectEqualToRect(m.preferencesPanel->frame(), cg::CGRectMake(100, 100, 480, 300)));

    m.setSelectedPreferenceItemIndex(0);
    EXPECT_EQ(m.preferencesPanel->contentView()->subviews().size(), 1u);
    EXPECT_EQ(top(m.preferencesPanel->frame()), 400);
    EXPECT_EQ(m.preferencesPanel->contentRectForFrameRect(m.preferencesPanel->frame()).size.height, 320);
}

TEST_F(QNBPreferencesManagerTest, AnIndexAboveOneShowsAndStoresGeneral) {
    auto& m = manager();
    m.setSelectedPreferenceItemIndex(1);
    m.setSelectedPreferenceItemIndex(2);
    EXPECT_EQ(m.selectedPreferenceItemIndex(), 0u);
    EXPECT_EQ(m.preferencesPanel->contentView()->subviews().at(0), general().view());
    EXPECT_EQ(m.preferencesToolbar->selectedItemIdentifier(), "General");
    m.setSelectedPreferenceItemIndex(UINT64_MAX);
    EXPECT_EQ(m.selectedPreferenceItemIndex(), 0u);
    EXPECT_EQ(m.preferencesPanel->contentView()->subviews().size(), 1u);
}

TEST_F(QNBPreferencesManagerTest, ToolbarItemsSelectTheirPanes) {
    auto& m = manager();
    m.displayPreferencesPanel(nullptr);
    ASSERT_TRUE(m.scrivetPreferencesItem->sendItemAction());
    EXPECT_EQ(m.selectedPreferenceItemIndex(), 1u);
    ASSERT_TRUE(m.tesselPreferencesItem->sendItemAction());
    EXPECT_EQ(m.selectedPreferenceItemIndex(), 0u);
    m.toolbarItemPressed(nullptr);
    EXPECT_EQ(m.selectedPreferenceItemIndex(), 0u);
}

TEST_F(QNBPreferencesManagerTest, TheToolbarDelegateAnswersOnlyItsOwnToolbarAndIgnoresCase) {
    auto& m = manager();
    auto& toolbar = *m.preferencesToolbar;
    const std::vector<std::string> both{"General", "Stylus"};
    EXPECT_EQ(m.toolbarAllowedItemIdentifiers(toolbar), both);
    EXPECT_EQ(m.toolbarDefaultItemIdentifiers(toolbar), both);
    EXPECT_EQ(m.toolbarSelectableItemIdentifiers(toolbar), both);
    EXPECT_EQ(m.toolbarItemForItemIdentifier(toolbar, "stylus", true), m.scrivetPreferencesItem);
    EXPECT_EQ(m.toolbarItemForItemIdentifier(toolbar, "GENERAL", true), m.tesselPreferencesItem);
    EXPECT_EQ(m.toolbarItemForItemIdentifier(toolbar, "Stylu", true), nullptr);

    appkit::NSToolbar other;
    EXPECT_TRUE(m.toolbarAllowedItemIdentifiers(other).empty());
    EXPECT_EQ(m.toolbarItemForItemIdentifier(other, "General", true), nullptr);
}

TEST_F(QNBPreferencesManagerTest, ToggleCentresAndShowsThenClosesAndCentresAgain) {
    auto& m = manager();
    auto panel = m.preferencesPanel;
    auto centred = [&] {
        const cg::CGRect visible = appkit::NSScreen::mainScreen()->visibleFrame();
        const cg::CGRect f = panel->frame();
        return std::abs(f.origin.x + f.size.width / 2 - (visible.origin.x + visible.size.width / 2)) < 1 &&
               std::abs(f.origin.y + f.size.height / 2 - (visible.origin.y + visible.size.height / 2)) < 1;
    };
    m.togglePreferencesPanelDisplay(nullptr);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_TRUE(panel->isKeyWindow());
    EXPECT_TRUE(centred());

    panel->setFrameOrigin(cg::CGPointMake(10, 10));
    m.activatePanels(nullptr);
    EXPECT_TRUE(panel->isVisible());
    m.togglePreferencesPanelDisplay(nullptr);
    EXPECT_FALSE(panel->isVisible());
    m.activatePanels(nullptr);
    EXPECT_FALSE(panel->isVisible()) << "a closed panel stays closed when the host becomes active";

    m.togglePreferencesPanelDisplay(nullptr);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_TRUE(centred());
    m.closePanels(nullptr);
    EXPECT_FALSE(panel->isVisible());
}

TEST_F(QNBPreferencesManagerTest, WithoutItsNibTheManagerHasNoPanelAndDoesNothing) {
    appkit::NSNib::registerNib(kQNBTesselPreferencesWindowNibName, [](appkit::NSNib&) { return false; });
    auto m = QNBPreferencesManager::make(*m_preferences);
    appkit::NSNib::registerNib(kQNBTesselPreferencesWindowNibName, buildQNBTesselPreferencesWindow);
    EXPECT_TRUE(m_log.contains("Error opening nib file: QNBTesselPreferencesWindow"));
    EXPECT_FALSE(m->preferencesPanel);
    m->togglePreferencesPanelDisplay(nullptr);
    m->setSelectedPreferenceItemIndex(1);
    m->resizeWindowForContentSize(cg::CGSizeMake(10, 10));
    EXPECT_EQ(m->selectedPreferenceItemIndex(), 0u);
    EXPECT_TRUE(appkit::NSApp()->windows().empty());
}

// ---- The General pane.

class QNBPreferencesManagerGeneralPaneTest : public PreferencesWindowTest {
  protected:
    std::shared_ptr<appkit::NSButton> button(const std::string& id) {
        return generalView<appkit::NSButton>(id);
    }
    bool isOn(const std::string& id) { return button(id)->state() == appkit::NSControlStateValueOn; }
};

TEST_F(QNBPreferencesManagerGeneralPaneTest, SwitchesShowTheirPreferencesWithTheirTexts) {
    m_preferences->baseSetPresentationMode(true);
    m_preferences->baseSetStartAtLogin(false);
    manager();
    EXPECT_TRUE(isOn("presentationModeSwitch"));
    EXPECT_FALSE(isOn("startAtLoginSwitch"));
    EXPECT_FALSE(isOn("useRetinaSwitch"));
    EXPECT_TRUE(isOn("checkForUpdatesSwitch"));
    EXPECT_EQ(button("useHiDPISwitch")->title(), "Use HiDPI system resolution");
    EXPECT_EQ(generalView<appkit::NSTextField>("useRetinaLabel")->stringValue(),
              "Uses full Retina resolution for more screen space (when available)");
    EXPECT_EQ(button("checkNowButton")->title(), "Check Now");
    // The defaults were stored, each announced.
    EXPECT_FALSE(storedBool(foundation::kStartAtLoginOption));
    EXPECT_TRUE(stored(foundation::kEnableRetinaDisplayOption));
    pairs();

    button("presentationModeSwitch")->performClick();
    EXPECT_FALSE(storedBool(foundation::kPresentationModeOption));
    EXPECT_TRUE(storedBool(foundation::kEnableKeyboardInputOption));
    EXPECT_GE(pairs(), 1u);
}

TEST_F(QNBPreferencesManagerGeneralPaneTest, TurningRetinaOffTurnsHiDPIOffInOneAnnouncement) {
    m_preferences->baseSetRetinaResolutionsEnabled(true);
    m_preferences->baseSetEnableHiDPIResolutions(true);
    manager();
    ASSERT_TRUE(isOn("useHiDPISwitch"));
    pairs();

    button("useRetinaSwitch")->performClick();
    EXPECT_FALSE(isOn("useRetinaSwitch"));
    EXPECT_FALSE(isOn("useHiDPISwitch"));
    EXPECT_FALSE(storedBool(foundation::kEnableRetinaDisplayOption));
    EXPECT_FALSE(storedBool(foundation::kDisplayResolutionEnabled));
    EXPECT_EQ(pairs(), 1u);

    button("useRetinaSwitch")->performClick();
    EXPECT_TRUE(storedBool(foundation::kEnableRetinaDisplayOption));
    EXPECT_FALSE(isOn("useHiDPISwitch")) << "Retina on leaves HiDPI alone";
    EXPECT_EQ(pairs(), 1u);
}

TEST_F(QNBPreferencesManagerGeneralPaneTest, HiDPIOnWhenTheWindowServerHasItAlreadyAsksNothing) {
    writeWindowServerHiDPI(true);
    manager();
    pairs();
    AlertSeen seen;
    answerNextAlert("Cancel", &seen);
    button("useHiDPISwitch")->performClick();
    turn();
    EXPECT_FALSE(seen.shown);
    EXPECT_TRUE(isOn("useHiDPISwitch"));
    EXPECT_TRUE(isOn("useRetinaSwitch")) << "HiDPI brings Retina with it";
    EXPECT_TRUE(storedBool(foundation::kDisplayResolutionEnabled));
    EXPECT_TRUE(storedBool(foundation::kEnableRetinaDisplayOption));
    EXPECT_EQ(pairs(), 1u);

    button("useHiDPISwitch")->performClick();
    EXPECT_FALSE(storedBool(foundation::kDisplayResolutionEnabled));
    EXPECT_TRUE(storedBool(foundation::kEnableRetinaDisplayOption)) << "HiDPI off leaves Retina on";
    EXPECT_EQ(pairs(), 1u);
}

TEST_F(QNBPreferencesManagerGeneralPaneTest, CancelTakesTheWholeClickBackAndAnnouncesOnceAfterTheAnswer) {
    for (const bool retinaBefore : {false, true}) {
        SCOPED_TRACE(retinaBefore);
        m_preferences->baseSetRetinaResolutionsEnabled(retinaBefore);
        m_preferences->baseSetEnableHiDPIResolutions(false);
        m_manager.reset();
        manager();
        pairs();
        AlertSeen seen;
        answerNextAlert("Cancel", &seen);
        button("useHiDPISwitch")->performClick();
        ASSERT_TRUE(seen.shown);
        EXPECT_EQ(seen.message, "Logout required");
        EXPECT_EQ(seen.postsBeforeAnswer, 0u) << "nothing reaches the screen server before the answer";
        for (const char* title : {"Log Out Now", "Cancel", "Don't Log Out"})
            EXPECT_NE(std::find(seen.buttons.begin(), seen.buttons.end(), title), seen.buttons.end())
                << title;

        EXPECT_FALSE(isOn("useHiDPISwitch"));
        EXPECT_EQ(isOn("useRetinaSwitch"), retinaBefore);
        EXPECT_FALSE(storedBool(foundation::kDisplayResolutionEnabled));
        EXPECT_EQ(storedBool(foundation::kEnableRetinaDisplayOption), retinaBefore);
        EXPECT_EQ(pairs(), 1u);
    }
}

TEST_F(QNBPreferencesManagerGeneralPaneTest, TheLogOutAnswersKeepHiDPIOnAndAnnounceOnce) {
    for (const char* answer : {"Log Out Now", "Don't Log Out"}) {
        SCOPED_TRACE(answer);
        m_preferences->baseSetRetinaResolutionsEnabled(false);
        m_preferences->baseSetEnableHiDPIResolutions(false);
        m_manager.reset();
        manager();
        pairs();
        AlertSeen seen;
        answerNextAlert(answer, &seen);
        button("useHiDPISwitch")->performClick();
        ASSERT_TRUE(seen.shown);
        EXPECT_EQ(seen.postsBeforeAnswer, 0u);
        EXPECT_TRUE(isOn("useHiDPISwitch"));
        EXPECT_TRUE(isOn("useRetinaSwitch"));
        EXPECT_TRUE(storedBool(foundation::kDisplayResolutionEnabled));
        EXPECT_TRUE(storedBool(foundation::kEnableRetinaDisplayOption));
        EXPECT_EQ(pairs(), 1u);
    }
}

TEST_F(QNBPreferencesManagerGeneralPaneTest, HiDPIFromCodeRatherThanAClickAsksNothing) {
    manager();
    pairs();
    AlertSeen seen;
    answerNextAlert("Cancel", &seen);
    button("useHiDPISwitch")->setState(appkit::NSControlStateValueOn);
    general().useHiDPISwitchClicked(nullptr);
    turn();
    EXPECT_FALSE(seen.shown);
    EXPECT_TRUE(storedBool(foundation::kDisplayResolutionEnabled));
    EXPECT_EQ(pairs(), 1u);
}

} // namespace
} // namespace host
