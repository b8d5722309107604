#include "platform/appkit/NSApplication.h"

#include "platform/appkit/NSAccessibilityExporter.h"
#include "platform/appkit/SUUpdaterWindow.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/corefoundation/NSUserDefaults.h"
#include "platform/corefoundation/Profile.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/dispatch/Thread.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

#include <cstdio>
#include <cstdlib>

namespace appkit {

namespace {

// platformd is told, not asked: a process without it (a tool, a unit test) still runs.
void tellPlatformd(std::string_view op, const cf::Value& args) {
    auto connection = ipc::Connection::shared();
    if (!connection) return;
    ipc::Reply reply = connection->request(op, args);
    if (!reply.ok)
        platform::log("NSApplication: platformd refused %s: %s", std::string(op),
                      reply.error.localizedDescription());
}

ns::NSNotification notification(const char* name, const std::shared_ptr<NSApplication>& app) {
    return ns::NSNotification{name, app, std::nullopt};
}

} // namespace

std::shared_ptr<NSApplication> NSApplication::sharedApplication() {
    return sharedApplication(nullptr);
}

std::shared_ptr<NSApplication> NSApplication::sharedApplication(const Maker& makeApplication) {
    static std::mutex mutex;
    static std::shared_ptr<NSApplication> app;
    std::lock_guard lock(mutex);
    if (app) return app;
    auto made = makeApplication ? makeApplication() : nullptr;
    if (!made) made = std::make_shared<NSApplication>();
    // Accessibility refuses what a modal loop or a sheet keeps from the window.
    made->setWindowBlockedHandler([](const NSWindow& window) {
        return !NSApplication::sharedApplication()->windowAcceptsInput(window);
    });
    app = std::move(made);
    return app;
}

std::shared_ptr<NSApplication> NSApp() {
    return NSApplication::sharedApplication();
}

void NSApplication::setDelegate(std::shared_ptr<NSApplicationDelegate> delegate) {
    std::lock_guard lock(m_mutex);
    m_delegate = std::move(delegate);
}

std::shared_ptr<NSApplicationDelegate> NSApplication::delegate() const {
    std::lock_guard lock(m_mutex);
    return m_delegate;
}

bool NSApplication::setActivationPolicy(NSApplicationActivationPolicy policy) {
    if (policy < NSApplicationActivationPolicyRegular || policy > NSApplicationActivationPolicyProhibited)
        return false;
    m_policy = policy;
    tellPlatformd(ipc::op::setActivationPolicy, cf::Dictionary{{"policy", static_cast<int64_t>(policy)}});
    return true;
}

NSApplicationActivationPolicy NSApplication::activationPolicy() const {
    return static_cast<NSApplicationActivationPolicy>(m_policy.load());
}

void NSApplication::finishLaunching() {
    auto self = shared_from_this();
    auto note = notification(NSApplicationWillFinishLaunchingNotification, self);
    if (auto d = delegate()) d->applicationWillFinishLaunching(note);
    ns::NSNotificationCenter::defaultCenter().postNotification(note);
    std::weak_ptr<NSApplication> weak = self;
    dispatch::RunLoop::main()->perform(dispatch::RunLoopModes{std::string(dispatch::kDefaultRunLoopMode)},
                                       [weak] {
                                           if (auto app = weak.lock()) app->sendDidFinishLaunching();
                                       });
}

void NSApplication::sendDidFinishLaunching() {
    if (m_finishedLaunching.exchange(true)) return;
    auto note = notification(NSApplicationDidFinishLaunchingNotification, shared_from_this());
    if (auto d = delegate()) d->applicationDidFinishLaunching(note);
    ns::NSNotificationCenter::defaultCenter().postNotification(note);
    // A delegate that terminated during launch never finished launching.
    if (!m_terminating.load()) tellPlatformd(ipc::op::finishedLaunching, cf::Value::emptyDictionary());
}

void NSApplication::run() {
    if (!dispatch::isMainThread()) {
        platform::log("NSApplication: run must be called on the main thread");
        return;
    }
    m_running = true;
    dispatch::RunLoop::main()->run();
    m_running = false;
}

void NSApplication::stop() {
    dispatch::RunLoop::main()->stop();
}

void NSApplication::setExitHandler(std::function<void(int)> handler) {
    std::lock_guard lock(m_mutex);
    m_exit = std::move(handler);
}

void NSApplication::terminate() {
    auto self = shared_from_this();
    auto d = delegate();
    if (d && d->applicationShouldTerminate(*this) != NSTerminateNow) return;
    m_terminating = true;
    auto note = notification(NSApplicationWillTerminateNotification, self);
    if (d) d->applicationWillTerminate(note);
    ns::NSNotificationCenter::defaultCenter().postNotification(note);
    ns::NSUserDefaults::standardUserDefaults()->synchronize();
    std::fflush(stdout);
    std::fflush(stderr);
    std::function<void(int)> exitHandler;
    {
        std::lock_guard lock(m_mutex);
        exitHandler = m_exit;
    }
    if (exitHandler) return exitHandler(0);
    // The process's threads (socket loops, queues) are still running: static destructors must
    // not run under them, so the exit skips them once everything is flushed.
    std::_Exit(0);
}

int NSApplicationMain(int argc, char** argv, const NSApplicationDelegateMaker& makeDelegate) {
    return NSApplicationMain(argc, argv, nullptr, makeDelegate);
}

int NSApplicationMain(int argc, char** argv, const NSApplication::Maker& makeApplication,
                      const NSApplicationDelegateMaker& makeDelegate) {
    (void)argc, (void)argv;
    // An application's own defaults live in the domain its bundle identifier names.
    if (auto bundle = ns::NSBundle::mainBundle())
        if (auto identifier = bundle->bundleIdentifier(); identifier && !identifier->empty())
            platform::setCurrentApplicationDomain(*identifier);
    auto app = NSApplication::sharedApplication(makeApplication);
    // The update framework's window for the checks a person asks for.
    SUUpdaterInstallWindow();
    app->setDelegate(makeDelegate ? makeDelegate() : nullptr);
    // The hello registers pid, bundle identifier and name; the policy follows it.
    app->setActivationPolicy(app->activationPolicy());
    // The process answers accessibility for its own pid while it runs.
    std::string name = platform::processName();
    if (auto bundle = ns::NSBundle::mainBundle())
        if (auto bundleName = bundle->objectForInfoDictionaryKey("CFBundleName");
            bundleName && bundleName->asString())
            name = *bundleName->asString();
    auto exporter = NSAccessibilityExporter::installForProcess(name);
    // "AXFrontmost" reads and makes the activation platformd's window server holds.
    if (exporter)
        exporter->setActivationHandlers([] { return NSApp()->isActive(); },
                                        [] { NSApp()->activateIgnoringOtherApps(true); });
    app->finishLaunching();
    app->run();
    return 0;
}

double NSAppKitVersionNumber() { return platform::Profile::current()->appKitVersion; }

} // namespace appkit
