// Display sets and the display configuration over the in-process window server: bounds and
// scales of real displays, the reconfiguration callback reaching the delegate and the
// notifications, I/O Kit lookups that give their handles back, and windows on the display of
// interest.
#include "display/QNBDisplayConfiguration.h"
#include "display/QNBDisplaySet.h"
#include "display/tests/DisplayTestSupport.h"
#include "platform/coregraphics/CGDisplayConfiguration.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/coregraphics/CGWindow.h"
#include "platform/foundation/NSNotificationCenter.h"

namespace display {

namespace {

class QNBDisplaySetTest : public testing::DisplayTest {};

class Delegate : public QNBDisplayConfigurationDelegate {
  public:
    void screenReconfigured(uint32_t flags, CGDirectDisplayID display) override {
        heard.emplace_back(display, flags);
    }
    std::shared_ptr<std::recursive_mutex> frameBufferLockObject() override { return lock; }

    std::vector<std::pair<CGDirectDisplayID, uint32_t>> heard;
    std::shared_ptr<std::recursive_mutex> lock;
};

class QNBDisplayConfigurationTest : public testing::DisplayTest {
  protected:
    void SetUp() override {
        DisplayTest::SetUp();
        configuration->setDelegate(delegate);
        configuration->setSendNotifications(true);
        observer = ns::NSNotificationCenter::defaultCenter().addObserverForName(
            std::nullopt, configuration.get(), [this](const ns::NSNotification& n) { posted.push_back(n); });
    }
    void TearDown() override {
        ns::NSNotificationCenter::defaultCenter().removeObserver(observer);
        configuration->stopListening();
        DisplayTest::TearDown();
    }
    // The pass-2 flags the delegate heard for the display.
    std::vector<uint32_t> heardFor(CGDirectDisplayID display) const {
        std::vector<uint32_t> flags;
        for (auto [id, f] : delegate->heard)
            if (id == display && f != kCGDisplayBeginConfigurationFlag) flags.push_back(f);
        return flags;
    }
    const ns::NSNotification* lastPosted(const std::string& name) const {
        for (auto it = posted.rbegin(); it != posted.rend(); ++it)
            if (it->name == name) return &*it;
        return nullptr;
    }

    std::shared_ptr<QNBDisplayConfiguration> configuration = std::make_shared<QNBDisplayConfiguration>();
    std::shared_ptr<Delegate> delegate = std::make_shared<Delegate>();
    ns::NSNotificationCenter::ObserverToken observer;
    std::vector<ns::NSNotification> posted;
};

} // namespace

TEST_F(QNBDisplaySetTest, OneHiDPIDisplayBesideTheMainOne) {
    boot(hiDPIOn());
    enable(0, {38});
    ASSERT_TRUE(configureMode(0x100, 1280, 800, 2.0));
    QNBDisplaySet set;
    auto display = std::make_shared<QNBDisplay>(0x100);
    set.addDisplay(display);
    set.finalizeSet();
    EXPECT_TRUE(
        cg::CGRectEqualToRect(set.scaleCorrectedDisplayBounds(), cg::CGRectMake(1440, 0, 2560, 1600)));
    EXPECT_TRUE(cg::CGRectEqualToRect(set.normalizedDisplayBounds(), cg::CGRectMake(1440, 0, 1280, 800)));
    EXPECT_TRUE(cg::CGRectEqualToRect(set.frame(), cg::CGRectMake(1440, 0, 1280, 800)));
    EXPECT_EQ(display->offsetFromOrigin().x, 0);
    EXPECT_EQ(display->offsetFromOrigin().y, 0);
    EXPECT_EQ(display->ourOrigin().x, 1440);
    EXPECT_TRUE(cg::CGRectEqualToRect(set.boundsOfPrimaryDisplay(), cg::CGRectZero));
    EXPECT_EQ(set.primaryDisplayID(), 0u);
    EXPECT_EQ(set.cursorScale(), 2.0);
    EXPECT_EQ(set.scale(), 1.0);
    EXPECT_EQ(set.almostAuthenticScale(), 2.0);
    EXPECT_EQ(set.displaySizeInPixels().width, 2560);
    EXPECT_EQ(set.framebufferIndex(), 0);
    EXPECT_EQ(set.displayID(), 0x100u);
    EXPECT_EQ(display->description(), "Display ID: 0x100 ({{1440, 0}, {2560, 1600}})");
}

TEST_F(QNBDisplaySetTest, SetDisplayModeSwitchesToTheTablesSizeAnd1024By768OutsideIt) {
    enable(0, {19, 1, 38});
    QNBScreen screen(0x100);
    auto pixels = [] {
        auto mode = cg::CGDisplayCopyDisplayMode(0x100);
        return std::pair{cg::CGDisplayModeGetPixelWidth(mode), cg::CGDisplayModeGetPixelHeight(mode)};
    };
    const cg::CGSize table38 = QNBScreen::sizeOfMode(38);
    ASSERT_NE(pixels(), std::pair(size_t(table38.width), size_t(table38.height)));
    screen.setDisplayMode(38);
    EXPECT_EQ(pixels(), std::pair(size_t(table38.width), size_t(table38.height)));
    for (int outside : {443, -1}) {
        screen.setDisplayMode(38);
        screen.setDisplayMode(outside);
        EXPECT_EQ(pixels(), std::pair(size_t(1024), size_t(768))) << outside;
    }
}

TEST_F(QNBDisplaySetTest, SetsWithTheMainDisplay) {
    enable(0, {19});
    QNBDisplaySet set;
    set.addDisplay(std::make_shared<QNBDisplay>(0x100));
    set.addDisplay(std::make_shared<QNBDisplay>(1));
    set.finalizeSet();
    EXPECT_TRUE(cg::CGRectEqualToRect(set.boundsOfPrimaryDisplay(), cg::CGRectMake(0, 0, 1440, 900)));
    EXPECT_EQ(set.primaryDisplayID(), 1u);
    EXPECT_TRUE(cg::CGRectEqualToRect(set.scaleCorrectedDisplayBounds(), cg::CGRectMake(0, 0, 2720, 900)));
    EXPECT_TRUE(
        cg::CGRectEqualToRect(set.singleScaleCorrectedDisplayBounds(), cg::CGRectMake(1440, 0, 1280, 800)));
    EXPECT_EQ(set.cursorScale(), 1.0);
    ASSERT_EQ(set.arrayOfScreenBounds().size(), 2u);
    EXPECT_EQ(set.displays()[0]->offsetFromOrigin().x, 1440);
    EXPECT_EQ(set.displays()[1]->offsetFromOrigin().x, 0);
}

TEST_F(QNBDisplayConfigurationTest, DelegateHearsTheVirtualDisplayComeAndGo) {
    ASSERT_TRUE(configuration->startListeningForDevice(QNBScreen::virtualDisplayNameString()));
    EXPECT_TRUE(configuration->registeredForReconfigurationCallback());
    EXPECT_EQ(configuration->displayNameOfInterest(), "Tessel");

    enable(0, {19});
    EXPECT_EQ(heardFor(0x100), (std::vector<uint32_t>{0x10 | 0x100 | 0x1000}));
    EXPECT_EQ(configuration->displayIDOfInterest(), 0x100u);
    EXPECT_TRUE(
        cg::CGRectEqualToRect(configuration->displayOfInterestBounds(), cg::CGRectMake(1440, 0, 1280, 800)));
    const ns::NSNotification* added = lastPosted(TSEDisplayWasAddedNotification);
    ASSERT_TRUE(added);
    EXPECT_EQ(*added->userInfo->find(TSEDisplayConfigurationDisplayNameKey)->asString(), "Tessel");
    EXPECT_EQ(added->userInfo->find(TSEDisplayConfigurationDisplayIDKey)->intValue(), 0x100);
    ASSERT_TRUE(lastPosted(TSEDisplayOfInterestWasAddedNotification));
    const ns::NSNotification* shape = lastPosted(TSEDesktopShapeChangedNotification);
    ASSERT_TRUE(shape);
    EXPECT_EQ(shape->userInfo->find(TSEDisplayConfigurationFlagsKey)->intValue(), 0x1110);

    disable(0);
    EXPECT_EQ(heardFor(0x100), (std::vector<uint32_t>{0x1110, 0x20 | 0x200 | 0x1000}));
    ASSERT_TRUE(lastPosted(TSEDisplayWasRemovedNotification));
    EXPECT_EQ(*lastPosted(TSEDisplayWasRemovedNotification)
                   ->userInfo->find(TSEDisplayConfigurationDisplayNameKey)
                   ->asString(),
              "Tessel");

    configuration->stopListening();
    EXPECT_FALSE(configuration->registeredForReconfigurationCallback());
    EXPECT_FALSE(configuration->displayNameOfInterest());
}

TEST_F(QNBDisplayConfigurationTest, OtherDisplaysReachTheDelegateOnlyWithoutANameOfInterest) {
    configuration->setDisplayNameOfInterest("Tessel");
    QNBDisplayConfiguration::QNBDisplayReconfigurationCallBack(1, 0x8 | 0x1000, configuration.get());
    EXPECT_TRUE(delegate->heard.empty());
    configuration->setDisplayNameOfInterest(std::nullopt);
    QNBDisplayConfiguration::QNBDisplayReconfigurationCallBack(1, 0x8 | 0x1000, configuration.get());
    EXPECT_EQ(delegate->heard.size(), 1u);
}

TEST_F(QNBDisplayConfigurationTest, WithoutADelegateNotificationsStillGo) {
    configuration->setDelegate({});
    ASSERT_TRUE(configuration->startListeningForDevice("Tessel"));
    enable(1, {1});
    EXPECT_TRUE(lastPosted(TSEDisplayWasAddedNotification));
    EXPECT_TRUE(lastPosted(TSEDesktopShapeChangedNotification));
    disable(1);
    EXPECT_TRUE(lastPosted(TSEDisplayWasRemovedNotification));
}

TEST_F(QNBDisplayConfigurationTest, CallbackRunsUnderTheLentLock) {
    delegate->lock = std::make_shared<std::recursive_mutex>();
    bool heldDuringCall = false;
    struct Probe : Delegate {
        bool* held = nullptr;
        void screenReconfigured(uint32_t, CGDirectDisplayID) override {
            std::thread other([&] { *held = !lock->try_lock() || (lock->unlock(), false); });
            other.join();
        }
    };
    auto probe = std::make_shared<Probe>();
    probe->lock = delegate->lock;
    probe->held = &heldDuringCall;
    configuration->setDelegate(probe);
    QNBDisplayConfiguration::QNBDisplayReconfigurationCallBack(1, 0x8, configuration.get());
    EXPECT_TRUE(heldDuringCall);
}

TEST_F(QNBDisplayConfigurationTest, WithoutANameOfInterestTheUserInfoIsEmpty) {
    configuration->displayOfInterestRemoved();
    configuration->windowMovedOnDisplayOfInterest(7);
    ASSERT_TRUE(lastPosted(TSEWindowMovedOnDisplayOfInterest));
    EXPECT_EQ(lastPosted(TSEWindowMovedOnDisplayOfInterest)->userInfo->count(), 0u);
    configuration->setDisplayNameOfInterest("Tessel");
    configuration->setDisplayIDOfInterest(0x100);
    configuration->windowMovedOffDisplayOfInterest(7);
    const auto* off = lastPosted(TSEWindowMovedOffDisplayOfInterest);
    ASSERT_TRUE(off);
    EXPECT_EQ(off->userInfo->find(TSEDisplayConfigurationWindowIDKey)->intValue(), 7);
    EXPECT_EQ(off->userInfo->find(TSEDisplayConfigurationDisplayIDKey)->intValue(), 0x100);
    posted.clear();
    configuration->setSendNotifications(false);
    configuration->displayAdded(0x100);
    EXPECT_TRUE(posted.empty());
}

// The lookup keeps only the handle it answers; every other one goes back.
TEST_F(QNBDisplayConfigurationTest, ServicePortLookupGivesHandlesBack) {
    enable(0, {19});
    enable(1, {1});
    const auto before = iokit::IOKitLiveHandleCount();
    const uint32_t service = IOServicePortFromCGDisplayID(0x101);
    ASSERT_NE(service, 0u);
    EXPECT_EQ(iokit::IOKitLiveHandleCount(), *before + 1);
    iokit::IOObjectRelease(service);
    EXPECT_EQ(IOServicePortFromCGDisplayID(0x999), 0u);
    EXPECT_EQ(iokit::IOKitLiveHandleCount(), before);
    EXPECT_EQ(screenNameForDisplay(cf::Value(0x101)), "Tessel");
    EXPECT_EQ(screenNameForDisplay(cf::Value(0x999)), "unknown");
    EXPECT_EQ(screenNameForDisplay(std::nullopt), "unknown");
    EXPECT_EQ(displayNameStringWithCGDirectDisplayID(0x101), "Tessel");
    EXPECT_EQ(displayNameStringWithCGDirectDisplayID(0x999).rfind("Unknown Display (0x", 0), 0u);
    EXPECT_EQ(iokit::IOKitLiveHandleCount(), before);
}

TEST_F(QNBDisplayConfigurationTest, WindowsOnTheDisplayOfInterestAreRecorded) {
    ASSERT_TRUE(configuration->startListeningForDevice("Tessel"));
    enable(0, {19});
    ASSERT_EQ(configuration->displayIDOfInterest(), 0x100u);
    cg::CGSWindowRecord record;
    record.title = "Notes";
    record.frame = cg::CGRectMake(1500, 40, 300, 200);
    record.onScreen = true;
    const cg::CGWindowID onIt = cg::CGSNewWindow(record);
    record.title = "Elsewhere";
    record.frame = cg::CGRectMake(10, 10, 100, 100);
    const cg::CGWindowID elsewhere = cg::CGSNewWindow(record);
    ASSERT_NE(onIt, 0u);
    ASSERT_NE(elsewhere, 0u);
    settle();

    configuration->getWindowsOfInterest();
    EXPECT_EQ(configuration->windowsOfInterestWindowIDs(), (std::set<uint32_t>{onIt}));
    ASSERT_EQ(configuration->windowsOfInterest().size(), 1u);
    EXPECT_EQ(lastPosted(TSEWindowMovedOnDisplayOfInterest)
                  ->userInfo->find(TSEDisplayConfigurationWindowIDKey)
                  ->intValue(),
              int(onIt));
    auto description = QNBDisplayConfiguration::windowDescriptionForWindowID(onIt);
    ASSERT_TRUE(description);
    EXPECT_EQ(*description->find("kCGWindowName")->asString(), "Notes");
    EXPECT_FALSE(QNBDisplayConfiguration::windowDescriptionForWindowID(0xFFFFFF));

    // Moved within the display: the record follows; moved off with a refresh listener: dropped.
    cg::CGSSetWindowFrame(onIt, cg::CGRectMake(1600, 40, 300, 200));
    configuration->getWindowsOfInterest();
    cg::CGRect recorded;
    ASSERT_TRUE(cg::CGRectMakeWithDictionaryRepresentation(
        configuration->windowsOfInterest()[0].find("kCGWindowBounds"), &recorded));
    EXPECT_EQ(recorded.origin.x, 1600);

    cg::CGSSetWindowFrame(onIt, cg::CGRectMake(100, 40, 300, 200));
    configuration->getWindowsOfInterest();
    EXPECT_EQ(configuration->windowsOfInterest().size(), 1u)
        << "kept while no refresh callback is registered";
    configuration->registerScreenRefreshCallback();
    configuration->getWindowsOfInterest();
    EXPECT_TRUE(configuration->windowsOfInterest().empty());
    EXPECT_TRUE(lastPosted(TSEWindowMovedOffDisplayOfInterest));
    configuration->unregisterScreenRefreshCallback();
    cg::CGSReleaseWindow(onIt);
    cg::CGSReleaseWindow(elsewhere);
}

} // namespace display
