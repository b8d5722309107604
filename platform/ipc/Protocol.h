// Every request platformd's system services answer and every event they push, in one place:
// the op name, its argument keys and its reply keys. Client facades and platformd's
// dispatch both name requests through these constants; a request that appears nowhere here
// does not exist. ("?" marks an optional key.)
#pragma once

#include <cstdint>
#include <string_view>

namespace ipc {

// Bumped when a message changes shape; platformd refuses a hello of another version.
constexpr int64_t kProtocolVersion = 1;

// Message keys: request {op, id, args, fds?}, reply {id, ok, result | error, fds?},
// event {topic, body, fds?}.
namespace key {
constexpr std::string_view op = "op";
constexpr std::string_view id = "id";
constexpr std::string_view args = "args";
constexpr std::string_view ok = "ok";
constexpr std::string_view result = "result";
constexpr std::string_view error = "error";
constexpr std::string_view topic = "topic";
constexpr std::string_view body = "body";
constexpr std::string_view fds = "fds";
} // namespace key

// A request's name with the keys of its arguments and of its reply.
struct OpSignature {
    std::string_view name;
    std::string_view args;
    std::string_view reply;
};

namespace op {
// Connection.
constexpr std::string_view hello = "hello";
constexpr std::string_view status = "status";
constexpr std::string_view shutdown = "shutdown";
// Distributed notifications.
constexpr std::string_view addObserver = "distnote.addObserver";
constexpr std::string_view removeObserver = "distnote.removeObserver";
constexpr std::string_view post = "distnote.post";
// Event log.
constexpr std::string_view events = "events.list";
constexpr std::string_view waitEvent = "events.wait";
constexpr std::string_view recordEvent = "events.record";
// Applications.
constexpr std::string_view launch = "apps.launch";
constexpr std::string_view runningApplications = "apps.running";
constexpr std::string_view processes = "apps.processes";
constexpr std::string_view setActivationPolicy = "apps.setActivationPolicy";
constexpr std::string_view finishedLaunching = "apps.finishedLaunching";
constexpr std::string_view login = "login";
// Login items.
constexpr std::string_view loginItems = "loginitems.list";
constexpr std::string_view insertLoginItem = "loginitems.insert";
constexpr std::string_view removeLoginItem = "loginitems.remove";
// Kext manager.
constexpr std::string_view loadedKexts = "kext.loaded";
// Authorization.
constexpr std::string_view authorize = "auth.create";
constexpr std::string_view setAuthorization = "auth.set";
constexpr std::string_view executeWithPrivileges = "auth.execute";
// Workspace.
constexpr std::string_view openURL = "workspace.openURL";
// Bonjour registry.
constexpr std::string_view bonjourPublish = "bonjour.publish";
constexpr std::string_view bonjourUnpublish = "bonjour.unpublish";
constexpr std::string_view bonjourSetTXT = "bonjour.setTXT";
constexpr std::string_view bonjourList = "bonjour.list";
constexpr std::string_view bonjourBrowse = "bonjour.browse";
constexpr std::string_view bonjourStopBrowse = "bonjour.stopBrowse";
constexpr std::string_view bonjourResolve = "bonjour.resolve";
constexpr std::string_view bonjourStopResolve = "bonjour.stopResolve";
constexpr std::string_view bonjourMonitor = "bonjour.monitor";
constexpr std::string_view bonjourResolveDelay = "bonjour.resolveDelay";
constexpr std::string_view bonjourFailResolve = "bonjour.failResolve";
// Updater.
constexpr std::string_view updaterRegister = "updater.register";
constexpr std::string_view updaterCheck = "updater.check";
constexpr std::string_view updaterAnswer = "updater.answer";
} // namespace op

inline constexpr OpSignature kSystemServiceOps[] = {
    {op::hello, "protocol executable processName bundleIdentifier? bundlePath? user", "pid"},
    {op::status, "", "root profile processes"},
    {op::shutdown, "", ""},
    {op::addObserver, "observer name? object?", ""},
    {op::removeObserver, "observer", ""},
    {op::post, "name object? userInfo? options", "sequence"},
    {op::events, "after? kind?", "events oldest next"},
    {op::waitEvent, "kind? match? after? timeout", "event? timedOut"},
    {op::recordEvent, "kind fields?", "sequence"},
    {op::launch, "path", "pid activated"},
    {op::runningApplications, "", "applications"},
    {op::processes, "", "processes"},
    {op::setActivationPolicy, "policy", ""},
    {op::finishedLaunching, "", ""},
    {op::login, "user?", "launched"},
    {op::loginItems, "user? global?", "items"},
    {op::insertLoginItem, "url user? global? authorized?", "id"},
    {op::removeLoginItem, "id? url? user? global? authorized?", "removed"},
    {op::loadedKexts, "ids?", "kexts"},
    {op::authorize, "rights?", "status"},
    {op::setAuthorization, "answer", ""},
    {op::executeWithPrivileges, "path arguments", "status"},
    {op::openURL, "url", ""},
    // services: [{name, type, domain?, port, host?, txt? (data or a dictionary of texts)}];
    // detached: owned by platformd rather than the connection (platformctl's).
    {op::bonjourPublish, "services detached?", ""},
    {op::bonjourUnpublish, "services", "removed"},
    {op::bonjourSetTXT, "name type? txt", ""},
    {op::bonjourList, "", "services"},
    {op::bonjourBrowse, "browse type", ""},
    {op::bonjourStopBrowse, "browse", ""},
    {op::bonjourResolve, "resolve name type timeout", ""},
    {op::bonjourStopResolve, "resolve", ""},
    {op::bonjourMonitor, "monitor name type on", ""},
    {op::bonjourResolveDelay, "name seconds", ""},
    {op::bonjourFailResolve, "name code? count?", ""},
    {op::updaterRegister, "updater bundlePath", ""},
    // found: the display version of the update the feed offers, absent when none.
    {op::updaterCheck, "updater bundlePath version? found?", ""},
    // answer: "found" (with version), "uptodate" or "install"; the number of updaters told.
    {op::updaterAnswer, "answer version?", "updaters"},
};

// Kinds of event-log entries the system services record (tests wait for them by name).
namespace eventKind {
constexpr std::string_view ready = "platformd-ready";            // root, socket
constexpr std::string_view clientGone = "client-gone";           // pid, executable; after every release
constexpr std::string_view distributedPost = "distributed-post"; // name, object, options, userInfo, receivers
constexpr std::string_view launch = "launch";                    // pid, path, executable, bundleIdentifier
constexpr std::string_view activate = "activate";                // pid, path, bundleIdentifier
constexpr std::string_view exit = "exit"; // pid, executable, bundleIdentifier, status, signal
constexpr std::string_view finishedLaunching = "finished-launching"; // pid, bundleIdentifier
constexpr std::string_view authorization = "authorization";          // answer, status, rights
constexpr std::string_view toolRun = "tool-run";                // path, arguments, status, pid
constexpr std::string_view toolExit = "tool-exit";              // pid, path, status, signal
constexpr std::string_view loginItemAdded = "login-item-added"; // user, URL, id
constexpr std::string_view loginItemRemoved = "login-item-removed";
constexpr std::string_view login = "login"; // user, launched, failed
constexpr std::string_view openURL = "open-url";                     // url
constexpr std::string_view openFile = "open-file";                   // path; recorded by NSWorkspace
constexpr std::string_view appleScript = "applescript";              // source; recorded by NSAppleScript
constexpr std::string_view bonjourRegister = "bonjour-register";     // name, type, domain, port, host, txt
constexpr std::string_view bonjourUnregister = "bonjour-unregister"; // name, type, domain, reason
constexpr std::string_view updateCheck = "update-check";             // bundlePath, version, found
// Recorded by tools through recordEvent.
constexpr std::string_view logoutRequested = "logout-requested";
} // namespace eventKind

// Pushed events.
namespace topic {
// body {observers [ids], name, object?, userInfo?}: one push per post and receiving process,
// naming each of its observers that matched.
constexpr std::string_view distributedNotification = "distnote";
// body {browse, removed, services [{name, type, domain}]}: one batch of finds or removals.
constexpr std::string_view bonjourBrowse = "bonjour.browse";
// body {resolve, ok, host?, port?, txt?, code?}: a resolve's one outcome.
constexpr std::string_view bonjourResolve = "bonjour.resolve";
// body {monitor, txt}: a monitored service's new TXT record.
constexpr std::string_view bonjourTXT = "bonjour.txt";
// body {updater, call ("found", "uptodate", "install"), displayVersionString?}.
constexpr std::string_view updater = "updater";
} // namespace topic

} // namespace ipc
