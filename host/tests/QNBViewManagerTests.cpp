// The view manager: the sorted listing and which view the popover shows, the status item's icon,
// the popover's toggling, the host's menu and its commands, and the log lines the program keeps.
#include "ViewManagerTestSupport.h"

#include "host/QNBHostImages.h"

#include "platform/appkit/NSNib.h"
#include "platform/appkit/NSScreen.h"

namespace host::testing {
namespace {

using foundation::QNBTesselListingConnectedType;
using foundation::QNBTesselListingIdleType;
using foundation::QNBTesselListingInactiveType;
using foundation::QNBTesselListingUnavailableType;

class QNBViewManagerTest : public ViewManagerTest {};

TEST_F(QNBViewManagerTest, AnEmptyListShowsGetTheAppThenTheFirstModelShowsTheListingAtTheTop) {
    auto menulet = viewManager->menuletViewController();
    EXPECT_EQ(child()->view(), child()->getTesselView);
    EXPECT_FALSE(menulet->canDisconnectAll());

    auto model = addModel("Demo iPad", QNBTesselListingIdleType);
    EXPECT_EQ(child()->view(), child()->collectionViewContainer);
    EXPECT_EQ(child()->collectionViewContainer->superview(),
              viewManager->menuletViewController()->tesselViewController()->contentView.lock());
    ASSERT_TRUE(row(0));
    EXPECT_EQ(row(0)->displayName(), "Demo iPad");
    EXPECT_EQ(child()->collectionViewContainer->documentVisibleRect().origin.y, 0);

    // A connected model can be disconnected: the menu's Disconnect All follows.
    model->setConnected(true);
    model->setLocalConnection(true);
    ASSERT_TRUE(model->isDisconnectable());
    viewManager->rearrangeDisplayArray();
    EXPECT_TRUE(menulet->canDisconnectAll());
    EXPECT_TRUE(menulet->popupMenu->itemAtIndex(4)->isEnabled());

    models->removeDisplayModel(model);
    EXPECT_EQ(child()->view(), child()->getTesselView);
    EXPECT_FALSE(menulet->canDisconnectAll());
}

TEST_F(QNBViewManagerTest, ConnectedDevicesComeFirstAndAStateChangeResortsTheRows) {
    addModel("Charlie", QNBTesselListingIdleType, "192.0.2.3");
    auto bravo = addModel("Bravo", QNBTesselListingUnavailableType, "192.0.2.2");
    addModel("Alpha", QNBTesselListingIdleType, "192.0.2.1");
    EXPECT_EQ(arrangedNames(), (std::vector<std::string>{"Bravo", "Alpha", "Charlie"}));

    bravo->setStateType(QNBTesselListingIdleType);
    EXPECT_EQ(arrangedNames(), (std::vector<std::string>{"Alpha", "Bravo", "Charlie"}));
    bravo->setStateType(QNBTesselListingConnectedType);
    EXPECT_EQ(arrangedNames(), (std::vector<std::string>{"Bravo", "Alpha", "Charlie"}));
    // The rows follow the arranged order.
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(row(i));
        EXPECT_EQ(row(i)->displayName(), arrangedNames()[i]);
    }
}

TEST_F(QNBViewManagerTest, AfterADriverViewTheListingAndGetTheAppNeverComeBack) {
    platform::LogCapture log(true);
    viewManager->showInstallDriversView();
    EXPECT_EQ(child()->view(), child()->installDriversView);
    addModel("Demo iPad", QNBTesselListingIdleType);
    EXPECT_EQ(child()->view(), child()->installDriversView);
    viewManager->showAllowDriversView();
    EXPECT_EQ(child()->view(), child()->allowDriversView);
    viewManager->showGetTesselView();
    EXPECT_EQ(child()->view(), child()->allowDriversView);
    // The program's log keeps what it showed.
    EXPECT_TRUE(log.contains("view manager: showInstallDriversView"));
    EXPECT_TRUE(log.contains("view manager: showAllowDriversView"));
    EXPECT_TRUE(log.contains("listing: \"Demo iPad\" QNBTesselListingIdleType"));
}

TEST_F(QNBViewManagerTest, TheStatusItemShowsItsIconByStateAndAnUnknownStateKeepsIt) {
    auto item = viewManager->statusItem();
    ASSERT_TRUE(item);
    EXPECT_EQ(viewManager->currentAppState(), 1);
    EXPECT_EQ(item->image()->name(), "TesselHost_StatusBar");
    EXPECT_TRUE(item->image()->isTemplate());
    viewManager->setCurrentAppState(2);
    EXPECT_EQ(item->image()->name(), "TSE_Error.tiff");
    EXPECT_FALSE(item->image()->isTemplate());
    viewManager->setCurrentAppState(5);
    EXPECT_EQ(viewManager->currentAppState(), 5);
    EXPECT_EQ(item->image()->name(), "TSE_Error.tiff");
    viewManager->setCurrentAppState(0);
    EXPECT_EQ(item->image()->name(), "TesselHost_StatusBar");
}

TEST_F(QNBViewManagerTest, AClickOnTheStatusItemTogglesThePopoverOnTheNormalLevel) {
    auto item = viewManager->statusItem();
    auto popover = viewManager->menuletPopover();
    EXPECT_FALSE(popover->animates());
    EXPECT_EQ(popover->contentSize().width, 320);
    EXPECT_EQ(popover->contentSize().height, 400);

    item->button()->performClick();
    ASSERT_TRUE(popover->isShown());
    turn();
    EXPECT_TRUE(appkit::NSApp()->isActive());
    auto window = popover->window();
    EXPECT_EQ(window->level(), appkit::NSNormalWindowLevel);
    EXPECT_EQ(window->collectionBehavior(), 9u);
    // The popover's top stands at the status item's bottom.
    EXPECT_DOUBLE_EQ(window->frame().origin.y + window->frame().size.height,
                     item->window()->frame().origin.y);

    item->button()->performClick();
    EXPECT_FALSE(popover->isShown());

    // Resigning active closes the popover and the connect-to-other panel.
    item->button()->performClick();
    auto menulet = viewManager->menuletViewController();
    menulet->showConnectToOtherPanel(nullptr);
    auto panel = menulet->connectToOtherPanel()->otherDevicePanel;
    ASSERT_TRUE(panel);
    EXPECT_TRUE(panel->isVisible());
    viewManager->closeMenuletPopover();
    EXPECT_FALSE(popover->isShown());
    EXPECT_FALSE(panel->isVisible());
    viewManager->activateMenuletPopover();
    EXPECT_EQ(calls.back(), "activatePanels");
}

TEST_F(QNBViewManagerTest, AWindowIsCentredOnThePopoverOnceItIsShown) {
    auto visible = appkit::NSScreen::mainScreen()->visibleFrame();
    cg::CGPoint before = viewManager->centeringPointForWindowSize(cg::CGSizeMake(360, 150));
    EXPECT_DOUBLE_EQ(before.x, visible.origin.x + (visible.size.width - 360) / 2);

    viewManager->showPopover();
    auto frame = viewManager->menuletPopover()->window()->frame();
    cg::CGPoint narrow = viewManager->centeringPointForWindowSize(cg::CGSizeMake(200, 150));
    EXPECT_DOUBLE_EQ(narrow.x, frame.origin.x + (frame.size.width - 200) / 2);
    EXPECT_DOUBLE_EQ(narrow.y, frame.origin.y + (frame.size.height - 150) / 2);
    // The status item stands near the right edge: a wide window ends at the visible frame's edge.
    cg::CGPoint wide = viewManager->centeringPointForWindowSize(cg::CGSizeMake(600, 150));
    EXPECT_LE(wide.x + 600, visible.origin.x + visible.size.width);
}

TEST_F(QNBViewManagerTest, TheMenuHasItsSevenTitlesAndDisconnectAllFollowsItsFlag) {
    auto menulet = viewManager->menuletViewController();
    auto menu = menulet->popupMenu;
    ASSERT_TRUE(menu);
    std::vector<std::string> titles;
    for (const auto& item : menu->itemArray())
        titles.push_back(item->title());
    EXPECT_EQ(titles, (std::vector<std::string>{"About Tessel...", "Preferences...", "Display Arrangement...",
                                                "Connect To Other...", "Disconnect All",
                                                "Check For Updates...", "Quit"}));
    EXPECT_EQ(menu->itemAtIndex(0)->action(), "orderFrontStandardAboutPanel:");
    EXPECT_FALSE(menu->itemAtIndex(4)->isEnabled());
    menulet->setValueForKey(ns::Id(true), "canDisconnectAll");
    EXPECT_TRUE(menu->itemAtIndex(4)->isEnabled());

    // Every command reaches the rest of the program.
    platform::LogCapture log(true);
    for (int64_t i = 1; i < 7; ++i) {
        auto item = menu->itemAtIndex(i);
        if (item->action() != "displayArrangementsRequest:")
            item->target()->performAction(item->action(), item.get());
    }
    EXPECT_EQ(calls,
              (std::vector<std::string>{"preferences", "disconnectAll", "checkForUpdates", "terminate"}));
    ASSERT_TRUE(menulet->connectToOtherPanel()->otherDevicePanel);
    EXPECT_TRUE(menulet->connectToOtherPanel()->otherDevicePanel->isVisible());
    EXPECT_TRUE(log.contains("Disconnect all displays request"));
    EXPECT_EQ(menulet->helpButton.lock()->action(), "helpRequest:");
    menulet->helpButton.lock()->performClick();
    EXPECT_EQ(calls.back(), "help");
}

TEST_F(QNBViewManagerTest, ThePrefsButtonPopsTheMenuUpAndAChoiceRunsItsCommand) {
    viewManager->showPopover();
    auto menulet = viewManager->menuletViewController();
    auto prefs = menulet->prefsButton.lock();
    ASSERT_TRUE(prefs);
    EXPECT_EQ(prefs->frame().origin.x, 288);
    // Chosen on the next turn, inside the menu's tracking loop.
    dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), [menulet] {
        EXPECT_TRUE(menulet->popupMenu->isTracking());
        menulet->popupMenu->chooseItem(menulet->popupMenu->itemAtIndex(1));
    });
    prefs->performClick();
    EXPECT_EQ(calls, std::vector<std::string>{"preferences"});
}

TEST_F(QNBViewManagerTest, KeylessModelsUpdateTheirOwnRows) {
    // Typed-address models have no service key: each finds its own row.
    auto first = addModel("Alpha", QNBTesselListingIdleType, "192.0.2.1");
    auto second = addModel("Bravo", QNBTesselListingIdleType, "192.0.2.2");
    ASSERT_FALSE(first->serviceKey());
    ASSERT_TRUE(row(1));
    EXPECT_EQ(viewManager->collectionViewItemForDisplayModel(*second), row(1));

    viewManager->assertConnectingStateForDisplayModel(*second);
    EXPECT_EQ(row(1)->connectButton->connectingState(), QNBConnectingStateConnecting);
    EXPECT_EQ(row(0)->connectButton->connectingState(), QNBConnectingStateNone);
    // Connected (and so re-sorted first), the row shows it.
    second->setConnected(true);
    viewManager->updateListingStateForDisplayModel(*second);
    auto secondRow = viewManager->collectionViewItemForDisplayModel(*second);
    auto firstRow = viewManager->collectionViewItemForDisplayModel(*first);
    ASSERT_TRUE(secondRow && firstRow);
    EXPECT_NE(secondRow, firstRow);
    EXPECT_EQ(secondRow->connectButton->title(), "Disconnect");
    EXPECT_EQ(firstRow->connectButton->title(), "Connect");
}

TEST_F(QNBViewManagerTest, ReplacingTheArrangedObjectsRemovesEveryOneThenAddsTheNew) {
    auto controller = std::make_shared<appkit::NSArrayController>();
    auto a = foundation::QNBDisplayModel::displayModelWithAddressString("192.0.2.1");
    auto b = foundation::QNBDisplayModel::displayModelWithAddressString("192.0.2.2");
    auto c = foundation::QNBDisplayModel::displayModelWithAddressString("192.0.2.3");
    controller->addObjects({a, b, c});
    viewManager->replaceArrangedObjects({c}, *controller);
    ASSERT_EQ(controller->arrangedObjects().size(), 1u);
    EXPECT_EQ(controller->arrangedObjects()[0].objectAs<foundation::QNBDisplayModel>(), c);
    viewManager->replaceArrangedObjects({}, *controller);
    EXPECT_TRUE(controller->arrangedObjects().empty());
}

TEST_F(QNBViewManagerTest, TheRowUnderTheMouseIsKeptUntilTheFocusEnds) {
    EXPECT_EQ(viewManager->currentFocusItemIndex(), ns::NSNotFound);
    viewManager->focusForCollectionViewItemIndex(3);
    EXPECT_EQ(viewManager->currentFocusItemIndex(), 3u);
    viewManager->focusEnded();
    EXPECT_EQ(viewManager->currentFocusItemIndex(), ns::NSNotFound);
    EXPECT_EQ(viewManager->displayScrollView(), nullptr);
}

TEST_F(QNBViewManagerTest, WithoutItsNibTheMenuletLogsItAndItsRequestsDoNothing) {
    platform::LogCapture log(true);
    auto builder = appkit::NSNib::builderFor(kQNBMenuletViewControllerNibName);
    ASSERT_TRUE(builder);
    appkit::NSNib::registerNib(kQNBMenuletViewControllerNibName, [](appkit::NSNib&) { return false; });
    auto menulet = QNBMenuletViewController::make(requests);
    appkit::NSNib::registerNib(kQNBMenuletViewControllerNibName, builder);

    EXPECT_TRUE(log.contains("Error opening nib file: QNBMenuletViewController"));
    EXPECT_TRUE(log.contains("Could not initialize view for popover"));
    EXPECT_FALSE(menulet->tesselViewController());
    menulet->configureViewForWindow();
    menulet->showDisplayCollectionView();
    menulet->hostWillDisconnectAll();
    menulet->disconnectAllComplete();
    menulet->menuRequest(nullptr);
    menulet->closePanels(nullptr);
    turn();
    EXPECT_TRUE(calls.empty());

    // The popover still takes such a controller, with no content.
    appkit::NSNib::registerNib(kQNBMenuletViewControllerNibName, [](appkit::NSNib&) { return false; });
    auto bare = QNBViewManager::create(models, requests);
    appkit::NSNib::registerNib(kQNBMenuletViewControllerNibName, builder);
    ASSERT_TRUE(bare->menuletPopover());
    EXPECT_TRUE(bare->menuletPopover()->contentViewController());
    EXPECT_FALSE(log.contains("Could not create menulet view controller"));
    bare->removeStatusItem();
}

} // namespace
} // namespace host::testing
