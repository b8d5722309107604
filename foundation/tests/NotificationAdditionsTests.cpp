#include "foundation/NSNotificationCenterAdditions.h"

#include "platform/dispatch/Testing.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/NSThread.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

using namespace foundation;

namespace {

struct Seen {
    std::atomic<int> count{0};
    std::atomic<bool> onMainThread{false};
    ns::NSNotification last;
};

ns::NSNotificationCenter::ObserverToken observe(ns::NSNotificationCenter& center, Seen& seen) {
    return center.addObserverForName("TestNote", nullptr, [&seen](const ns::NSNotification& n) {
        seen.last = n;
        seen.onMainThread = ns::NSThread::isMainThread();
        ++seen.count;
    });
}

// Serves the main run loop until done is set.
void runMainUntil(const std::atomic<bool>& done) {
    auto deadline = platform::now() + platform::seconds(10);
    while (!done && platform::now() < deadline)
        ns::NSRunLoop::mainRunLoop()->runModeBeforeDate("kCFRunLoopDefaultMode", platform::now() + platform::seconds(0.1));
}

} // namespace

TEST(NotificationAdditions, OnTheMainThreadObserversRunBeforeThePostReturns) {
    ns::NSNotificationCenter center;
    Seen seen;
    auto token = observe(center, seen);
    postNotificationOnMainThreadWithName(center, "TestNote", nullptr);
    EXPECT_EQ(seen.count, 1);
    postNotificationOnMainThread(center, ns::NSNotification{"TestNote", nullptr, std::nullopt}, false);
    EXPECT_EQ(seen.count, 2);
    EXPECT_TRUE(seen.onMainThread);
    EXPECT_EQ(dispatch::runUntilIdle(), 0u); // nothing was left for the run loop
}

TEST(NotificationAdditions, FromAnotherThreadWithoutWaitingThePosterGoesOnFirst) {
    ns::NSNotificationCenter center;
    Seen seen;
    auto token = observe(center, seen);
    auto object = std::make_shared<int>(7);
    cf::Value info = cf::Dictionary{{"k", cf::Value("v")}};
    std::thread poster([&] { postNotificationOnMainThreadWithName(center, "TestNote", object, info); });
    poster.join();
    EXPECT_EQ(seen.count, 0);

    dispatch::runUntilIdle();
    EXPECT_EQ(seen.count, 1);
    EXPECT_TRUE(seen.onMainThread);
    EXPECT_EQ(seen.last.objectIdentity(), object.get());
    ASSERT_TRUE(seen.last.userInfo);
    EXPECT_EQ(*seen.last.userInfo, info);
}

TEST(NotificationAdditions, FromAnotherThreadWaitingReturnsOnlyAfterTheObservers) {
    ns::NSNotificationCenter center;
    Seen seen;
    auto token = observe(center, seen);
    std::atomic<bool> returned{false};
    std::atomic<int> countAtReturn{-1};
    std::thread poster([&] {
        postNotificationOnMainThreadWithName(center, "TestNote", nullptr, std::nullopt, true);
        countAtReturn = seen.count.load();
        returned = true;
    });
    runMainUntil(returned);
    poster.join();
    EXPECT_EQ(countAtReturn, 1);
    EXPECT_FALSE(seen.last.userInfo);
}
