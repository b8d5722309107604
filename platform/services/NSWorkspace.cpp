#include "platform/services/NSWorkspace.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/Paths.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

namespace ns {

NSWorkspace& NSWorkspace::sharedWorkspace() {
    static NSWorkspace workspace;
    return workspace;
}

bool NSWorkspace::launchApplication(const std::string& path) {
    platform::Error error;
    auto c = ipc::Connection::shared(&error);
    if (!c) {
        platform::log("NSWorkspace: cannot launch %s: %@", path, error);
        return false;
    }
    std::string mapped = platform::macPath(path);
    ipc::Reply reply = c->request(ipc::op::launch, cf::Dictionary{{"path", mapped}});
    if (!reply.ok) {
        platform::log("NSWorkspace: cannot launch %s: %@", mapped, reply.error);
        return false;
    }
    return true;
}

bool NSWorkspace::openURL(const std::string& url) {
    platform::Error error;
    auto c = ipc::Connection::shared(&error);
    ipc::Reply reply = c ? c->request(ipc::op::openURL, cf::Dictionary{{"url", url}}) : ipc::Reply{};
    if (!c || !reply.ok) {
        platform::log("NSWorkspace: cannot open %s: %@", url, c ? reply.error : error);
        return false;
    }
    return true;
}

bool NSWorkspace::openFile(const std::string& path) {
    platform::Error error;
    auto c = ipc::Connection::shared(&error);
    ipc::Reply reply =
        c ? c->request(ipc::op::recordEvent, cf::Dictionary{{"kind", std::string(ipc::eventKind::openFile)},
                                                            {"fields", cf::Dictionary{{"path", path}}}})
          : ipc::Reply{};
    if (!c || !reply.ok) {
        platform::log("NSWorkspace: cannot open %s: %@", path, c ? reply.error : error);
        return false;
    }
    return true;
}

std::vector<std::shared_ptr<NSRunningApplication>> NSWorkspace::runningApplications() {
    std::vector<std::shared_ptr<NSRunningApplication>> out;
    auto c = ipc::Connection::shared();
    if (!c) return out;
    ipc::Reply reply = c->request(ipc::op::runningApplications);
    const cf::Value* apps = reply.ok && reply.result ? reply.result->find("applications") : nullptr;
    for (size_t i = 0; apps && i < apps->count(); ++i)
        if (auto app = NSRunningApplication::fromValue(*apps->at(i))) out.push_back(app);
    return out;
}

std::vector<std::shared_ptr<NSRunningApplication>>
NSWorkspace::runningApplicationsWithBundleIdentifier(const std::string& bundleIdentifier) {
    std::vector<std::shared_ptr<NSRunningApplication>> out;
    for (auto& app : runningApplications())
        if (app->bundleIdentifier() == bundleIdentifier) out.push_back(app);
    return out;
}

cf::Value NSWorkspace::activeApplication() {
    int64_t pid = 0;
    for (auto& app : runningApplications()) {
        if (app->isActive()) {
            pid = app->processIdentifier();
            break;
        }
    }
    return cf::Dictionary{
        {"NSApplicationProcessIdentifier", cf::Value::number(cf::kCFNumberSInt32Type, pid)}};
}

} // namespace ns
