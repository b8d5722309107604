// The application object's life in-process: launching's two calls in order, termination
// asking the delegate first, the crash reporter's stored configuration.
#include "platform/appkit/BITHockeyManager.h"
#include "platform/appkit/NSApplication.h"

#include "platform/core/Clock.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace appkit;

struct RecordingDelegate : NSApplicationDelegate {
    std::vector<std::string> calls;
    NSApplicationTerminateReply reply = NSTerminateNow;
    void applicationWillFinishLaunching(const ns::NSNotification& n) override {
        calls.push_back("will " + n.name);
    }
    void applicationDidFinishLaunching(const ns::NSNotification& n) override {
        calls.push_back("did " + n.name);
    }
    NSApplicationTerminateReply applicationShouldTerminate(NSApplication&) override {
        calls.push_back("should");
        return reply;
    }
    void applicationWillTerminate(const ns::NSNotification& n) override {
        calls.push_back("terminate " + n.name);
    }
};

TEST(NSApplicationLife, DidFinishLaunchingWaitsForTheRunLoopsFirstTurnAndComesOnce) {
    auto app = std::make_shared<NSApplication>();
    auto delegate = std::make_shared<RecordingDelegate>();
    app->setDelegate(delegate);
    app->finishLaunching();
    ASSERT_EQ(delegate->calls, std::vector<std::string>{"will NSApplicationWillFinishLaunchingNotification"});
    EXPECT_FALSE(app->didFinishLaunching());
    dispatch::RunLoop::main()->runModeBeforeDate(dispatch::kDefaultRunLoopMode, platform::now());
    ASSERT_EQ(delegate->calls.size(), 2u);
    EXPECT_EQ(delegate->calls[1], "did NSApplicationDidFinishLaunchingNotification");
    EXPECT_TRUE(app->didFinishLaunching());
}

TEST(NSApplicationLife, TerminateAsksTheDelegateThenSendsWillTerminateAndExitsZero) {
    auto app = std::make_shared<NSApplication>();
    auto delegate = std::make_shared<RecordingDelegate>();
    app->setDelegate(delegate);
    std::vector<int> exits;
    app->setExitHandler([&](int code) { exits.push_back(code); });
    int posted = 0;
    auto token = ns::NSNotificationCenter::defaultCenter().addObserverForName(
        NSApplicationWillTerminateNotification, app.get(), [&](const ns::NSNotification&) { ++posted; });

    delegate->reply = NSTerminateCancel;
    app->terminate();
    EXPECT_EQ(delegate->calls, std::vector<std::string>{"should"});
    EXPECT_TRUE(exits.empty());

    delegate->reply = NSTerminateNow;
    app->terminate();
    EXPECT_EQ(delegate->calls.back(), "terminate NSApplicationWillTerminateNotification");
    EXPECT_EQ(exits, std::vector<int>{0});
    EXPECT_EQ(posted, 1);
    ns::NSNotificationCenter::defaultCenter().removeObserver(token);
}

TEST(NSApplicationLife, KeepsTheActivationPolicyLocallyAndRefusesOnesOutOfRange) {
    auto app = std::make_shared<NSApplication>();
    EXPECT_EQ(app->activationPolicy(), NSApplicationActivationPolicyRegular);
    EXPECT_TRUE(app->setActivationPolicy(NSApplicationActivationPolicyAccessory));
    EXPECT_EQ(app->activationPolicy(), NSApplicationActivationPolicyAccessory);
    EXPECT_FALSE(app->setActivationPolicy(static_cast<NSApplicationActivationPolicy>(7)));
    EXPECT_EQ(app->activationPolicy(), NSApplicationActivationPolicyAccessory);
}

TEST(BITHockeyManager, StoresItsConfigurationAndStartWithoutDoingAnything) {
    auto& manager = BITHockeyManager::sharedHockeyManager();
    manager.resetForTesting();
    EXPECT_FALSE(manager.isConfigured());
    auto delegate = std::make_shared<BITHockeyManagerDelegate>();
    manager.configureWithIdentifier("abc", "Maker", delegate);
    EXPECT_FALSE(manager.isStarted());
    manager.startManager();
    EXPECT_TRUE(manager.isStarted());
    EXPECT_EQ(manager.identifier(), "abc");
    EXPECT_EQ(manager.companyName(), "Maker");
    EXPECT_EQ(manager.delegate(), delegate);
    delegate.reset();
    EXPECT_EQ(manager.delegate(), nullptr); // held weakly
}

} // namespace
