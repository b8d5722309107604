#include "platform/foundation/NSNotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace ns;

TEST(NotificationCenter, PostsInRegistrationOrderFilteredByNameAndObject) {
    NSNotificationCenter center;
    auto sender = std::make_shared<int>(1);
    auto other = std::make_shared<int>(2);
    std::vector<std::string> calls;
    auto t1 = center.addObserverForName("Changed", nullptr,
                                        [&](const NSNotification&) { calls.push_back("any object"); });
    auto t2 = center.addObserverForName(
        std::nullopt, sender.get(), [&](const NSNotification& n) { calls.push_back("sender's " + n.name); });
    auto t3 = center.addObserverForName("Changed", other.get(),
                                        [&](const NSNotification&) { calls.push_back("other"); });
    auto t4 = center.addObserverForName("Changed", sender.get(), [&](const NSNotification& n) {
        calls.push_back("exact");
        ASSERT_TRUE(n.userInfo);
        EXPECT_EQ(n.userInfo->objectForKey("k"), cf::Value(5));
    });
    center.postNotificationName("Changed", sender, cf::Value(cf::Dictionary{{"k", cf::Value(5)}}));
    EXPECT_EQ(calls, (std::vector<std::string>{"any object", "sender's Changed", "exact"}));
    calls.clear();
    center.postNotificationName("Other", nullptr);
    EXPECT_TRUE(calls.empty());
}

TEST(NotificationCenter, ObserversAddedDuringAPostMissItAndRemovedOnesAreNotCalled) {
    NSNotificationCenter center;
    std::vector<std::string> calls;
    NSNotificationCenter::ObserverToken second;
    NSNotificationCenter::ObserverToken late;
    auto first = center.addObserverForName("N", nullptr, [&](const NSNotification&) {
        calls.push_back("first");
        center.removeObserver(second);
        if (!late)
            late = center.addObserverForName("N", nullptr,
                                             [&](const NSNotification&) { calls.push_back("late"); });
    });
    second =
        center.addObserverForName("N", nullptr, [&](const NSNotification&) { calls.push_back("second"); });
    center.postNotificationName("N", nullptr);
    EXPECT_EQ(calls, std::vector<std::string>{"first"});
    center.postNotificationName("N", nullptr);
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "first", "late"}));
    center.removeObserver(first);
    center.removeObserver(late);
    EXPECT_EQ(center.observationCount(), 0u);
}

namespace {

struct Watcher {
    explicit Watcher(NSNotificationCenter& center) : m_center(center) {}
    ~Watcher() { m_center.removeObserver(this); }
    void changed(const NSNotification&) { ++calls; }
    void other(const NSNotification&) { ++otherCalls; }
    int calls = 0;
    int otherCalls = 0;
    NSNotificationCenter& m_center;
};

} // namespace

TEST(NotificationCenter, WeakObserversAreRemovedInDestructorsByNameAndWhenGone) {
    NSNotificationCenter center;
    auto watcher = std::make_shared<Watcher>(center);
    center.addObserver(watcher, &Watcher::changed, "Changed", nullptr);
    center.addObserver(watcher, &Watcher::other, "Other", nullptr);
    center.postNotificationName("Changed", nullptr);
    center.removeObserver(watcher.get(), std::string("Other"), nullptr);
    center.postNotificationName("Other", nullptr);
    EXPECT_EQ(watcher->calls, 1);
    EXPECT_EQ(watcher->otherCalls, 0);
    watcher.reset(); // the destructor removes what is left
    EXPECT_EQ(center.observationCount(), 0u);

    // An observer that forgets to remove itself is skipped once gone, then forgotten.
    struct Forgetful {
        void changed(const NSNotification&) { ADD_FAILURE() << "called after destruction"; }
    };
    auto forgetful = std::make_shared<Forgetful>();
    center.addObserver(forgetful, &Forgetful::changed, "Changed", nullptr);
    forgetful.reset();
    center.postNotificationName("Changed", nullptr);
    EXPECT_EQ(center.observationCount(), 0u);
}

TEST(NotificationCenter, PostsAddsAndRemovalsFromManyThreads) {
    NSNotificationCenter center;
    std::atomic<int> calls{0};
    auto permanent = center.addObserverForName("N", nullptr, [&](const NSNotification&) { ++calls; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                auto token = center.addObserverForName("N", nullptr, [](const NSNotification&) {});
                center.postNotificationName("N", nullptr);
                center.removeObserver(token);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(calls.load(), 8 * 200);
    EXPECT_EQ(center.observationCount(), 1u);
    EXPECT_EQ(&NSNotificationCenter::defaultCenter(), &NSNotificationCenter::defaultCenter());
}
