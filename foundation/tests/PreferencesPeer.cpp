// The second process of the two-process tests: shares the preferences domain and the login
// items with the test under the same private platformd, and reports what it sees as events in
// platformd's log.
//
//   watch <count>          on each did-change: synchronize, read, report "peer-read"; exit after count
//   write-actions <count>  setAction:(i + 100) forButton:i for each i, report "peer-wrote", then on
//                          "com.quenby.tests.check" synchronize and report "peer-checked" with how many
//                          of the test's modifiers (i + 200 for button i) it sees
//   set-state <state>      setCurrentState:
//   add-login-item <url>   report "peer-ready", then on "com.quenby.tests.go" addAppAsLoginItem:
#include "foundation/QNBLaunchServices.h"
#include "foundation/QNBPreferences.h"
#include "foundation/Vocabulary.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"
#include "platform/services/NSDistributedNotificationCenter.h"

#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>

namespace {

using foundation::QNBPreferences;

// A test that waits longer than this has failed anyway.
constexpr double kPatienceSeconds = 30;

bool report(const std::string& kind, cf::Dictionary fields = {}) {
    auto connection = ipc::Connection::shared();
    if (!connection) return false;
    return connection->request(ipc::op::recordEvent, cf::Dictionary{{"kind", kind}, {"fields", cf::Value(fields)}}).ok;
}

// Serves the main run loop (where distributed notifications arrive) until done() or the patience ends.
bool serveUntil(const std::function<bool()>& done) {
    auto deadline = platform::now() + platform::seconds(kPatienceSeconds);
    while (!done()) {
        if (platform::now() >= deadline) return false;
        ns::NSRunLoop::mainRunLoop()->runModeBeforeDate(ns::NSDefaultRunLoopMode, platform::now() + platform::seconds(0.5));
    }
    return true;
}

int watch(int count) {
    auto& prefs = QNBPreferences::sharedAppPrefs();
    int seen = 0;
    auto token = ns::NSDistributedNotificationCenter::defaultCenter().addObserverForName(
        foundation::kPrefsDidChangeNotification, std::nullopt, [&](const ns::NSNotification&) {
            prefs.synchronize();
            report("peer-read", {{"index", ++seen},
                                 {"presentationMode", prefs.presentationMode()},
                                 {"enableKeyboardInput", prefs.enableKeyboardInput()},
                                 {"enableTouchDisplay", prefs.enableTouchDisplay()},
                                 {"currentState", static_cast<int64_t>(prefs.currentState())}});
        });
    report("peer-ready");
    bool ok = serveUntil([&] { return seen >= count; });
    ns::NSDistributedNotificationCenter::defaultCenter().removeObserver(token);
    return ok ? 0 : 1;
}

int writeActions(int count) {
    auto& prefs = QNBPreferences::sharedAppPrefs();
    bool check = false;
    auto token = ns::NSDistributedNotificationCenter::defaultCenter().addObserverForName(
        "com.quenby.tests.check", std::nullopt, [&](const ns::NSNotification&) { check = true; });
    report("peer-ready");
    for (int i = 0; i < count; ++i) prefs.setAction(static_cast<uint64_t>(i + 100), static_cast<uint64_t>(i));
    report("peer-wrote");
    if (!serveUntil([&] { return check; })) return 1;
    prefs.synchronize();
    int64_t correct = 0;
    for (int i = 0; i < count; ++i) {
        if (prefs.modifiersForButton(static_cast<uint64_t>(i)) == static_cast<uint64_t>(i + 200)) ++correct;
    }
    report("peer-checked", {{"correct", correct}});
    ns::NSDistributedNotificationCenter::defaultCenter().removeObserver(token);
    return 0;
}

// Several of these start at once and wait for one signal, so their adds overlap.
int addLoginItemOnGo(const std::string& url) {
    bool go = false;
    auto token = ns::NSDistributedNotificationCenter::defaultCenter().addObserverForName(
        "com.quenby.tests.go", std::nullopt, [&](const ns::NSNotification&) { go = true; });
    report("peer-ready");
    if (!serveUntil([&] { return go; })) return 1;
    foundation::QNBLaunchServices::addAppAsLoginItem(url);
    ns::NSDistributedNotificationCenter::defaultCenter().removeObserver(token);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc != 3) {
        platform::log("usage: %s watch|write-actions|set-state|add-login-item <argument>", argv[0]);
        return 2;
    }
    std::string command = argv[1], argument = argv[2];
    if (command == "watch") return watch(std::atoi(argument.c_str()));
    if (command == "write-actions") return writeActions(std::atoi(argument.c_str()));
    if (command == "set-state") {
        QNBPreferences::sharedAppPrefs().setCurrentState(static_cast<uint64_t>(std::atoi(argument.c_str())));
        return 0;
    }
    if (command == "add-login-item") return addLoginItemOnGo(argument);
    platform::log("unknown command %s", command);
    return 2;
}
