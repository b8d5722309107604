// The device listing's rows: artwork by type and state, the connect button's states, the row
// following its model (auto-connect without echoes, the stylus look by client version), the
// controls revealed by the mouse, hostile names kept inside their label, and the driver dialog.
#include "ViewManagerTestSupport.h"

#include "platform/coregraphics/CGWindowImage.h"
#include "platform/quartzcore/CALayer.h"

#include <cmath>
#include <cstring>

namespace host::testing {
namespace {

using namespace foundation;

class QNBTesselListingTest : public ViewManagerTest {
  protected:
    // A model known to the manager with the row that shows it.
    std::shared_ptr<QNBTesselCollectionViewItem> rowFor(const std::shared_ptr<QNBDisplayModel>& model) {
        return viewManager->collectionViewItemForDisplayModel(*model);
    }
    // "Device 000", "Device 001", ...: idle, available, each at an address of its own.
    void addDevices(int count) {
        for (int i = 0; i < count; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "Device %03d", i);
            char address[32];
            std::snprintf(address, sizeof address, "10.1.%d.%d", i / 250, i % 250 + 1);
            addModel(name, QNBTesselListingIdleType, address)->setAvailability(true);
        }
    }
};

// Counts the changes of one key it observes.
class ChangeCounter final : public ns::NSObject {
  public:
    void observeValueForKeyPath(const std::string&, ns::NSObject*, const ns::NSKeyValueChangeInfo&,
                                void*) override {
        ++changes;
    }
    int changes = 0;
};

TEST_F(QNBTesselListingTest, ArtworkFollowsTheDeviceTypeAndStateAndUSBAlwaysLooksConnected) {
    struct Expect {
        uint64_t type;
        const char* set;
    };
    const Expect types[] = {{QNBUnknownType, "desktop"},
                            {QNBiPhoneDisplayType, "iphone"},
                            {QNBiPadDisplayType, "ipad"},
                            {QNBMonitorDisplayType, "desktop"},
                            {QNBiPadStylusDisplayType, "stylus_ipad"},
                            {9, "desktop"}};
    struct State {
        uint64_t state;
        const char* look;
        double alpha;
    };
    const State states[] = {{QNBTesselListingConnectedType, "_connected", 1.0},
                            {QNBTesselListingInactiveType, "_inactive", 1.0},
                            {QNBTesselListingUnavailableType, "_unavailable", 0.6},
                            {QNBTesselListingIdleType, "_inactive", 1.0}};
    for (const Expect& type : types)
        for (const State& state : states) {
            QNBTesselImageView view;
            view.setDisplayType(type.type);
            view.setStateType(state.state);
            EXPECT_EQ(view.image()->name(), std::string(type.set) + state.look)
                << type.type << " " << state.state;
            EXPECT_DOUBLE_EQ(view.alphaValue(), state.alpha);
            // On USB the device is always shown connected at full alpha.
            view.setDisplayMechanism(QNBUSBConnectionMechanism);
            EXPECT_EQ(view.image()->name(), std::string(type.set) + "_connected");
            EXPECT_DOUBLE_EQ(view.alphaValue(), 1.0);
        }
    // A state past the known ones leaves the look as it was.
    QNBTesselImageView view;
    view.setDisplayType(QNBiPadDisplayType);
    view.setStateType(QNBTesselListingUnavailableType);
    view.setStateType(7);
    EXPECT_EQ(view.listingImageState(), QNBImageUnavailable);
    EXPECT_EQ(NSStringFromQNBType(0), "QNBImageConnected");
    EXPECT_EQ(NSStringFromQNBType(2), "QNBImageUnavailable");
    EXPECT_EQ(NSStringFromQNBType(1), "QNBImageIdle");
}

TEST_F(QNBTesselListingTest, TheConnectButtonsTitleAndEnablingFollowItsStates) {
    struct Case {
        uint64_t connectingState;
        bool connected;
        double alpha;
        bool enabled;
        const char* title;
    };
    const Case cases[] = {
        {1, false, 1, false, "Connecting..."},   {1, true, 1, false, "Connecting..."},
        {2, true, 1, false, "Disconnecting..."}, {0, true, 1, true, "Disconnect"},
        {0, false, 1, true, "Connect"},          {0, false, 0, false, "Connect"},
    };
    for (const Case& c : cases) {
        QNBConnectButton button;
        button.setEnabled(false);
        button.setAlphaValue(c.alpha);
        button.setConnected(c.connected);
        button.setConnectingState(c.connectingState);
        EXPECT_EQ(button.isEnabled(), c.enabled) << c.connectingState << c.connected << c.alpha;
        EXPECT_EQ(button.title(), c.title);
    }
    // While connecting, enabling from outside does nothing; the next connection value ends it.
    QNBConnectButton button;
    button.setConnectingState(QNBConnectingStateConnecting);
    button.setEnabled(true);
    EXPECT_FALSE(button.isEnabled());
    button.setConnected(true);
    EXPECT_EQ(button.connectingState(), QNBConnectingStateNone);
    EXPECT_TRUE(button.isEnabled());
    EXPECT_EQ(button.title(), "Disconnect");
    EXPECT_FALSE(button.isOpaque());
    EXPECT_FALSE(button.hasRedBackground());
    EXPECT_TRUE(QNBConnectButton::makeInCode(cg::CGRectMake(0, 0, 84, 28))->hasRedBackground());

    // Disconnect All: disconnecting disables it past its own guard; its title stays when connected.
    QNBDisconnectAllButton all;
    all.setConnectingState(QNBConnectingStateDisconnecting);
    EXPECT_FALSE(all.isEnabled());
    EXPECT_EQ(all.title(), "Disconnecting...");
    all.setConnectingState(QNBConnectingStateNone);
    EXPECT_TRUE(all.isEnabled());
    EXPECT_EQ(all.title(), "Disconnect All");
}

TEST_F(QNBTesselListingTest, TheRowMirrorsItsModelAndThePressedButtonConnectsOrDisconnects) {
    auto model = addModel("Demo iPad", QNBTesselListingIdleType);
    model->setAvailability(true);
    auto item = rowFor(model);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->displayNameLabel->stringValue(), "Demo iPad");
    EXPECT_EQ(item->autoConnectSwitch->title(), "Auto-connect");
    // Controls start hidden: the button cannot be pressed until the mouse is over the row.
    EXPECT_FALSE(item->connectButton->isEnabled());
    EXPECT_DOUBLE_EQ(item->connectButton->alphaValue(), 0);
    item->connectButton->performClick();
    EXPECT_TRUE(calls.empty());

    item->mouseEnteredView();
    EXPECT_TRUE(item->connectButton->isEnabled());
    EXPECT_DOUBLE_EQ(item->availabilityLabel->alphaValue(), 0);
    item->connectButton->performClick();
    EXPECT_EQ(calls, std::vector<std::string>{"connect Demo iPad"});
    EXPECT_EQ(item->connectButton->title(), "Connecting...");
    EXPECT_FALSE(item->connectButton->isEnabled());
    EXPECT_GT(item->connectButton->lastRequestDate(), 0);

    model->setConnected(true);
    EXPECT_EQ(item->connectButton->title(), "Disconnect");
    item->connectButton->performClick();
    EXPECT_EQ(calls.back(), "disconnect Demo iPad");
    EXPECT_EQ(item->connectButton->title(), "Disconnecting...");

    // The name label is black only when connected.
    model->setStateType(QNBTesselListingConnectedType);
    EXPECT_EQ(item->displayNameLabel->textColor()->components(), appkit::NSColor::blackColor()->components());
    model->setStateType(QNBTesselListingIdleType);
    EXPECT_EQ(item->displayNameLabel->textColor()->components(),
              appkit::NSColor::disabledControlTextColor()->components());
    item->mouseExitedView();
    EXPECT_DOUBLE_EQ(item->connectButton->alphaValue(), 0);
    EXPECT_DOUBLE_EQ(item->availabilityLabel->alphaValue(), 1);
}

TEST_F(QNBTesselListingTest, HoveringAnUnavailableDeviceNotInTheBackgroundRevealsNothing) {
    auto model = addModel("Away iPad", QNBTesselListingUnavailableType);
    model->setAvailability(false);
    auto item = rowFor(model);
    ASSERT_TRUE(item);
    item->mouseEnteredView();
    EXPECT_TRUE(item->mouseEntered());
    EXPECT_FALSE(item->listingView->controlsVisible());
    model->setInBackground(true);
    item->mouseEnteredView();
    EXPECT_TRUE(item->listingView->controlsVisible());
}

TEST_F(QNBTesselListingTest, AnOutsideAutoConnectChangeUpdatesTheRowOnce) {
    auto model = addModel("Demo iPad", QNBTesselListingIdleType);
    auto item = rowFor(model);
    ASSERT_TRUE(item);
    auto onModel = std::make_shared<ChangeCounter>();
    auto onRow = std::make_shared<ChangeCounter>();
    model->addObserver(onModel, "autoConnectMode", 0);
    item->addObserver(onRow, "autoConnectMode", 0);

    model->setAutoConnectMode(true);
    EXPECT_EQ(onModel->changes, 1) << "the row must not write the value back to its model";
    EXPECT_EQ(onRow->changes, 1);
    EXPECT_TRUE(item->autoConnectMode());
    EXPECT_EQ(item->autoConnectSwitch->state(), appkit::NSControlStateValueOn);
    model->removeObserver(onModel.get(), "autoConnectMode");
    item->removeObserver(onRow.get(), "autoConnectMode");
}

TEST_F(QNBTesselListingTest, TurningAutoConnectOnHidesTheButtonAndConnectsADisconnectedDevice) {
    auto model = addModel("Demo iPad", QNBTesselListingIdleType);
    model->setAvailability(true);
    auto item = rowFor(model);
    ASSERT_TRUE(item);
    auto onModel = std::make_shared<ChangeCounter>();
    model->addObserver(onModel, "autoConnectMode", 0);
    item->mouseEnteredView();

    item->autoConnectSwitch->performClick();
    EXPECT_TRUE(model->autoConnectMode());
    EXPECT_EQ(onModel->changes, 1);
    EXPECT_EQ(calls, std::vector<std::string>{"connect Demo iPad"});
    EXPECT_DOUBLE_EQ(item->connectButton->alphaValue(), 0);

    // Off again: the button comes back; on for a connected device only hides it.
    item->autoConnectSwitch->performClick();
    EXPECT_FALSE(model->autoConnectMode());
    EXPECT_DOUBLE_EQ(item->connectButton->alphaValue(), 1);
    model->setConnected(true);
    item->autoConnectSwitch->performClick();
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_DOUBLE_EQ(item->connectButton->alphaValue(), 0);
    model->removeObserver(onModel.get(), "autoConnectMode");
}

TEST_F(QNBTesselListingTest, AProtocolThreeClientNeverGetsTheStylusLook) {
    auto older = foundation::QNBDisplayModel::displayModelWithAddressString("192.0.2.1");
    older->setDisplayName("Older");
    older->setStylusSupported(true);
    older->setClientMajorVersion(2);
    auto newer = foundation::QNBDisplayModel::displayModelWithAddressString("192.0.2.2");
    newer->setDisplayName("Newer");
    newer->setStylusSupported(true);
    newer->setClientMajorVersion(3);
    models->addDisplayModel(older);
    models->addDisplayModel(newer);

    auto olderRow = rowFor(older), newerRow = rowFor(newer);
    ASSERT_TRUE(olderRow && newerRow);
    // The default profile is 10.12: the 10.10-or-later colours.
    EXPECT_DOUBLE_EQ(olderRow->frontPanelColor()->greenComponent(), 0.969);
    EXPECT_TRUE(olderRow->displayImageView->stylusSupported());
    EXPECT_DOUBLE_EQ(newerRow->frontPanelColor()->greenComponent(), 0.388);
    EXPECT_DOUBLE_EQ(newerRow->frontPanelColor()->blueComponent(), 0.969);
    EXPECT_FALSE(newerRow->displayImageView->stylusSupported());
    EXPECT_DOUBLE_EQ(newerRow->frontPanelColor()->alphaComponent(), 0.15);

    // A version reported later re-decides the look.
    older->setClientMajorVersion(3);
    EXPECT_FALSE(olderRow->displayImageView->stylusSupported());
}

TEST_F(QNBTesselListingTest, TwoHundredModelsEachGetTheirOwnRowInOrder) {
    platform::LogCapture quiet(true); // the listing's log line grows with every model
    addDevices(200);
    auto collection = viewManager->displayCollectionView();
    ASSERT_EQ(collection->numberOfItems(), 200u);
    for (size_t i : {size_t(0), size_t(57), size_t(199)}) {
        char name[16];
        std::snprintf(name, sizeof name, "Device %03zu", i);
        EXPECT_EQ(row(i)->displayName(), name);
        EXPECT_DOUBLE_EQ(row(i)->view()->frame().origin.y, 72.0 * double(i));
    }
}

TEST_F(QNBTesselListingTest, TheMouseOverTheScrolledListingRevealsTheRowUnderIt) {
    platform::LogCapture quiet(true); // the listing's log line grows with every model
    addDevices(200);
    viewManager->showPopover();
    auto window = viewManager->menuletPopover()->window();
    auto collection = viewManager->displayCollectionView();
    ASSERT_EQ(collection->numberOfItems(), 200u);
    collection->scrollRectToVisible(collection->frameForItemAtIndex(150));
    const double offset = child()->collectionViewContainer->documentVisibleRect().origin.y;
    ASSERT_GT(offset, 0);

    // 30 points below the listing's top edge (the listing fills the popover's lowest 318 points).
    auto moveTo = [&](double fromTop) {
        window->sendEvent(appkit::NSEvent::mouseEvent(appkit::NSEventType::MouseMoved,
                                                      cg::CGPointMake(100, 318 - fromTop), 0, 0,
                                                      window->windowNumber(), 0, 0));
    };
    moveTo(30);
    const size_t expected = size_t((offset + 30) / 72);
    EXPECT_EQ(viewManager->currentFocusItemIndex(), expected);
    ASSERT_TRUE(row(expected));
    EXPECT_TRUE(row(expected)->listingView->controlsVisible());
    EXPECT_TRUE(row(expected)->connectButton->isEnabled());
    EXPECT_FALSE(row(expected + 1)->listingView->controlsVisible());

    // The next row down: the first hears its exit before the second its entry.
    moveTo(30 + 72);
    EXPECT_EQ(viewManager->currentFocusItemIndex(), expected + 1);
    EXPECT_FALSE(row(expected)->listingView->controlsVisible());
    EXPECT_TRUE(row(expected + 1)->listingView->controlsVisible());
}

TEST_F(QNBTesselListingTest, HostileNamesStayInsideTheirLabel) {
    viewManager->showPopover();
    auto model = addModel("A", QNBTesselListingIdleType);
    auto item = rowFor(model);
    ASSERT_TRUE(item);
    auto window = viewManager->menuletPopover()->window();
    auto snapshot = [&] {
        window->displayIfNeeded();
        return cg::CGWindowListCreateImage(cg::CGRectNull, cg::kCGWindowListOptionIncludingWindow,
                                           window->windowNumber(), cg::kCGWindowImageDefault);
    };
    // The strip between the label's right end (x 222) and the connect button (x 226), on the label's rows.
    auto strip = [&](const cg::CGImageRef& image) {
        std::vector<uint32_t> pixels;
        const cg::CGRect label =
            item->displayNameLabel->convertRectToView(item->displayNameLabel->bounds(), nullptr);
        const size_t top = size_t(window->frame().size.height - (label.origin.y + label.size.height));
        for (size_t y = top; y < top + size_t(label.size.height); ++y)
            for (size_t x = 222; x < 226; ++x) {
                uint32_t p = 0;
                std::memcpy(&p, cg::CGImageGetBytePtr(image) + y * cg::CGImageGetBytesPerRow(image) + x * 4,
                            4);
                pixels.push_back(p);
            }
        return pixels;
    };
    auto plain = snapshot();
    ASSERT_TRUE(plain);
    const auto expected = strip(plain);
    const std::string names[] = {std::string(10000, 'W'), "Bad\x01\x07\t\n\r\x1b[31mname",
                                 "\xE2\x80\xAE\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D iPad "
                                 "\xE2\x80\xAB\xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7"};
    for (const std::string& name : names) {
        model->setDisplayName(name);
        EXPECT_EQ(item->displayNameLabel->stringValue(), name);
        EXPECT_TRUE(cg::CGRectEqualToRect(item->displayNameLabel->frame(), cg::CGRectMake(72, 38, 150, 20)));
        auto image = snapshot();
        ASSERT_TRUE(image);
        EXPECT_EQ(strip(image), expected) << "the name drew outside its label";
    }
}

TEST_F(QNBTesselListingTest, InstallerRequestEndsOnlyADialogSessionItHolds) {
    platform::LogCapture log(true);
    auto controller = child();
    controller->getInstallerRequest(nullptr);
    EXPECT_EQ(calls, std::vector<std::string>{"installer"});
    EXPECT_FALSE(log.contains("endModalSession"));

    controller->displayAllowDriversDialog(nullptr);
    EXPECT_TRUE(controller->holdsModalSession());
    EXPECT_EQ(appkit::NSApp()->modalWindow(), controller->allowDriversWindow);
    EXPECT_TRUE(controller->allowDriversWindow->isVisible());
    controller->getInstallerRequest(nullptr);
    EXPECT_FALSE(controller->holdsModalSession());
    EXPECT_EQ(appkit::NSApp()->modalWindow(), nullptr);
    EXPECT_FALSE(controller->allowDriversWindow->isVisible());
    controller->disimissAllowDriversDialog(nullptr);
    EXPECT_EQ(calls.size(), 2u);
    EXPECT_FALSE(log.contains("endModalSession")) << "a session ended twice";
}

TEST_F(QNBTesselListingTest, TheSidesSwitchAfterTheirShortDelay) {
    auto model = addModel("Demo iPad", QNBTesselListingIdleType);
    auto item = rowFor(model);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->mainListingView->superview(), item->listingView);
    item->closeButton->performClick();
    EXPECT_EQ(item->auxillaryListingView->superview(), nullptr);
    // The row's look is frozen on its layer for the push to slide out.
    auto& row = *item->listingView;
    ASSERT_TRUE(row.layer());
    const cg::CGImageRef look = row.layer()->contents();
    ASSERT_TRUE(look);
    const double scale = row.window() ? row.window()->backingScaleFactor() : 1.0;
    EXPECT_EQ(double(look->width), std::ceil(row.bounds().size.width * scale));
    turn(0.02);
    EXPECT_EQ(item->auxillaryListingView->superview(), item->listingView);
    EXPECT_EQ(item->mainListingView->superview(), nullptr);
    turn(0.6);
    EXPECT_FALSE(row.layer()->contents()) << "the frozen look outlived the push";
    item->returnButton->performClick();
    turn(0.02);
    EXPECT_EQ(item->mainListingView->superview(), item->listingView);
}

TEST_F(QNBTesselListingTest, ActionsWithoutAModelLogAndDoNothing) {
    platform::LogCapture log(true);
    auto item = std::make_shared<QNBTesselCollectionViewItem>(requests);
    ASSERT_TRUE(item->view());
    item->connectButtonRequest(item->connectButton.get());
    item->autoConnectRequest(item->autoConnectSwitch.get());
    EXPECT_EQ(log.count("QNBTesselCollectionViewItem represented object is nil"), 2u);
    EXPECT_TRUE(calls.empty());
}

} // namespace
} // namespace host::testing
