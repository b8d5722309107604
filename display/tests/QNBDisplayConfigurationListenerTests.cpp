// Refresh listeners: registration of the window server's callback, delivery to every live
// listener, listeners changing the set from inside their call, listeners held weakly; and the
// small helpers of the configuration.
#include "display/QNBDisplayConfiguration.h"

#include "platform/core/Log.h"
#include "platform/coregraphics/testing/FakeWindowServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace display {

namespace {

class Listener : public QNBDisplayRefreshProtocol {
  public:
    void screenRefreshed(uint32_t count, const cg::CGRect* rectArray) override {
        ++calls;
        last.assign(rectArray, rectArray + count);
        if (onRefresh) onRefresh();
    }
    bool respondsToFeedQueuedRefreshes() const override { return feeds; }
    void feedQueuedRefreshes() override { order.push_back("feed"), ++fed; }

    int calls = 0;
    int fed = 0;
    bool feeds = false;
    std::vector<std::string> order;
    std::vector<cg::CGRect> last;
    std::function<void()> onRefresh;
};

class QNBDisplayConfigurationListenerTest : public ::testing::Test {
  protected:
    void SetUp() override { fake->answer("ws.subscribe", cf::Value::emptyDictionary()); }
    void deliver(std::vector<cg::CGRect> rects) {
        QNBDisplayConfiguration::QNBDisplayScreenRefreshCallback(uint32_t(rects.size()), rects.data(),
                                                                 configuration.get());
    }

    platform::LogCapture log{true};
    cg::testing::ScopedFakeWindowServer fake;
    std::shared_ptr<QNBDisplayConfiguration> configuration = std::make_shared<QNBDisplayConfiguration>();
};

} // namespace

TEST_F(QNBDisplayConfigurationListenerTest, RegistrationFollowsTheListeners) {
    auto first = std::make_shared<Listener>();
    auto second = std::make_shared<Listener>();
    EXPECT_FALSE(configuration->registeredForRefresh());
    configuration->registerScreenRefreshListener(first);
    EXPECT_TRUE(configuration->registeredForRefresh());
    configuration->registerScreenRefreshListener(second);
    configuration->registerScreenRefreshListener(second);
    EXPECT_EQ(configuration->registeredDisplays().size(), 2u);
    // Each registration re-registers the callback: once off, once on again.
    EXPECT_EQ(fake->requests("ws.subscribe"), 5u);

    configuration->unregisterScreenRefreshListener(first.get());
    EXPECT_TRUE(configuration->registeredForRefresh());
    configuration->unregisterScreenRefreshListener(nullptr);
    configuration->unregisterScreenRefreshListener(second.get());
    EXPECT_FALSE(configuration->registeredForRefresh());
    EXPECT_EQ(fake->requests("ws.subscribe"), 6u);
}

TEST_F(QNBDisplayConfigurationListenerTest, DeliveryFeedsThenRefreshes) {
    auto feeding = std::make_shared<Listener>();
    feeding->feeds = true;
    feeding->onRefresh = [&] { feeding->order.push_back("refresh"); };
    auto plain = std::make_shared<Listener>();
    configuration->registerScreenRefreshListener(feeding);
    configuration->registerScreenRefreshListener(plain);
    deliver({cg::CGRectMake(1, 2, 3, 4), cg::CGRectMake(10, 20, 30, 40)});
    EXPECT_EQ(feeding->order, (std::vector<std::string>{"feed", "refresh"}));
    EXPECT_EQ(plain->fed, 0);
    ASSERT_EQ(plain->last.size(), 2u);
    EXPECT_TRUE(cg::CGRectEqualToRect(plain->last[1], cg::CGRectMake(10, 20, 30, 40)));
}

// A listener that leaves and brings another in from inside its call: the delivery in progress
// goes on over the set as it was, the next one reaches the new set.
TEST_F(QNBDisplayConfigurationListenerTest, ListenersChangeTheSetInsideACallback) {
    auto leaving = std::make_shared<Listener>();
    auto newcomer = std::make_shared<Listener>();
    std::vector<std::shared_ptr<Listener>> crowd;
    for (int i = 0; i < 8; ++i)
        crowd.push_back(std::make_shared<Listener>());
    leaving->onRefresh = [&] {
        configuration->unregisterScreenRefreshListener(leaving.get());
        for (auto& member : crowd)
            configuration->unregisterScreenRefreshListener(member.get());
        configuration->registerScreenRefreshListener(newcomer);
    };
    configuration->registerScreenRefreshListener(leaving);
    for (auto& member : crowd)
        configuration->registerScreenRefreshListener(member);

    deliver({cg::CGRectMake(0, 0, 1, 1)});
    EXPECT_EQ(leaving->calls, 1);
    for (auto& member : crowd)
        EXPECT_EQ(member->calls, 1);
    EXPECT_EQ(newcomer->calls, 0);

    deliver({cg::CGRectMake(0, 0, 1, 1)});
    EXPECT_EQ(leaving->calls, 1);
    for (auto& member : crowd)
        EXPECT_EQ(member->calls, 1);
    EXPECT_EQ(newcomer->calls, 1);
}

// Sessions capture their own displays side by side: each listener here goes on only once the
// other has started, and both are done, with the refresh's rectangles, when the callback returns.
TEST_F(QNBDisplayConfigurationListenerTest, ListenersAreCalledSideBySideAndAllReturnFirst) {
    std::mutex mutex;
    std::condition_variable changed;
    int started = 0;
    bool together = true;
    auto meet = [&] {
        std::unique_lock lock(mutex);
        ++started;
        changed.notify_all();
        together = changed.wait_for(lock, std::chrono::seconds(20), [&] { return started == 2; }) && together;
    };
    auto first = std::make_shared<Listener>();
    auto second = std::make_shared<Listener>();
    first->onRefresh = meet;
    second->onRefresh = meet;
    configuration->registerScreenRefreshListener(first);
    configuration->registerScreenRefreshListener(second);
    deliver({cg::CGRectMake(5, 6, 7, 8)});
    EXPECT_TRUE(together);
    ASSERT_EQ(first->calls, 1);
    ASSERT_EQ(second->calls, 1);
    ASSERT_EQ(second->last.size(), 1u);
    EXPECT_TRUE(cg::CGRectEqualToRect(second->last[0], cg::CGRectMake(5, 6, 7, 8)));
}

TEST_F(QNBDisplayConfigurationListenerTest, ListenersAreHeldWeakly) {
    auto kept = std::make_shared<Listener>();
    auto dropped = std::make_shared<Listener>();
    std::weak_ptr<Listener> watch = dropped;
    configuration->registerScreenRefreshListener(kept);
    configuration->registerScreenRefreshListener(dropped);
    dropped.reset();
    EXPECT_TRUE(watch.expired());
    deliver({cg::CGRectMake(0, 0, 1, 1)});
    EXPECT_EQ(kept->calls, 1);
    EXPECT_EQ(configuration->registeredDisplays().size(), 1u);
}

TEST(QNBDisplayConfigurationHelpers, FlagNames) {
    EXPECT_EQ(stringFromCGDisplayChangeSummaryFlags(0), "DisplayChangeSummaryFlags: ");
    EXPECT_EQ(stringFromCGDisplayChangeSummaryFlags(0x10 | 0x100 | 0x1000),
              "DisplayChangeSummaryFlags: kCGDisplayAddFlag kCGDisplayEnabledFlag "
              "kCGDisplayDesktopShapeChangedFlag ");
    EXPECT_EQ(stringFromCGDisplayChangeSummaryFlags(0xFFFFFFFF),
              "DisplayChangeSummaryFlags: kCGDisplayBeginConfigurationFlag kCGDisplayMovedFlag "
              "kCGDisplaySetMainFlag "
              "kCGDisplaySetModeFlag kCGDisplayAddFlag kCGDisplayRemoveFlag kCGDisplayEnabledFlag "
              "kCGDisplayDisabledFlag kCGDisplayMirrorFlag kCGDisplayUnMirrorFlag "
              "kCGDisplayDesktopShapeChangedFlag ");
}

TEST(QNBDisplayConfigurationHelpers, CheckedArrayAccess) {
    std::vector<int> values{1, 2, 3};
    EXPECT_EQ(checkedObjectAtIndex(values, 2), 3);
    EXPECT_FALSE(checkedObjectAtIndex(values, 3));
    checkedReplaceObjectAtIndex(values, 3, 9);
    checkedReplaceObjectAtIndex(values, 0, 9);
    EXPECT_EQ(values, (std::vector<int>{9, 2, 3}));
}

// Window-list entries whose bounds, number or layer cannot be read are skipped.
TEST_F(QNBDisplayConfigurationListenerTest, UnreadableWindowEntriesAreSkipped) {
    fake->answer("ws.displayList", cf::Dictionary{{"ids", cf::Array{0x100}}});
    fake->answer("ws.display", cf::Dictionary{{"display", cf::Dictionary{{"online", true},
                                                                         {"x", 1440.0},
                                                                         {"y", 0.0},
                                                                         {"width", 1280.0},
                                                                         {"height", 800.0}}}});
    const auto bounds = [](cf::Value x) {
        return cf::Dictionary{{"X", x}, {"Y", 10.0}, {"Width", 100.0}, {"Height", 100.0}};
    };
    const auto window = [](int number, cf::Value layer, std::optional<cf::Value> windowBounds) {
        cf::Dictionary entry{{"kCGWindowNumber", number}, {"kCGWindowLayer", layer}};
        if (windowBounds) entry.emplace("kCGWindowBounds", *windowBounds);
        return cf::Value(entry);
    };
    fake->answer(
        "ws.windowList",
        cf::Dictionary{{"windows", cf::Array{window(1, 0, bounds(1500.0)), window(2, 0, bounds(std::nan(""))),
                                             window(3, 0, bounds("1500")), window(4, 0, std::nullopt),
                                             window(5, "0", bounds(1500.0)),
                                             window(6, 3, cf::Value("{{1500, 10}, {100, 100}}")),
                                             cf::Value("not a window"), window(7, 8, bounds(1500.0)),
                                             window(8, 3, bounds(1600.0))}}});
    configuration->setDisplayIDOfInterest(0x100);
    configuration->getWindowsOfInterest();
    EXPECT_EQ(configuration->windowsOfInterestWindowIDs(), (std::set<uint32_t>{1, 8}));
}

} // namespace display
