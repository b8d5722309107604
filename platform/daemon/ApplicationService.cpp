#include "platform/daemon/ApplicationService.h"

#include "platform/core/Format.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/daemon/EventLog.h"
#include "platform/daemon/ServiceLoop.h"
#include "platform/daemon/Spawner.h"
#include "platform/ipc/Protocol.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace platformd {

namespace {

const std::string* stringKey(const cf::Value& dict, std::string_view key) {
    const cf::Value* v = dict.find(key);
    return v ? v->asString() : nullptr;
}

bool isPlainFileName(const std::string& name, size_t maxBytes) {
    return !name.empty() && name.size() <= maxBytes && name != "." && name != ".." &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

std::string fileName(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

std::optional<BundleInfo> readBundleInfo(const std::string& bundlePath, platform::Error* error) {
    // Every refusal names the bundle and what is wrong with it: a bare "No such file or
    // directory" leaves a person guessing which path was meant.
    auto refuse = [&](const std::string& path, const std::string& what) {
        platform::setError(error, refusal(path + ": " + what));
        return std::nullopt;
    };
    if (bundlePath.empty() || bundlePath[0] != '/' || bundlePath.size() >= PATH_MAX)
        return refuse(bundlePath, "an application path must be absolute");
    char resolved[PATH_MAX];
    struct stat st {};
    if (!::realpath(bundlePath.c_str(), resolved) || ::stat(resolved, &st) != 0) {
        int err = errno ? errno : ENOENT;
        return refuse(bundlePath, "no such application bundle (" + std::string(std::strerror(err)) + ")");
    }
    if (!S_ISDIR(st.st_mode)) return refuse(bundlePath, "not a folder, so not an application bundle");
    BundleInfo info;
    info.path = resolved;
    if (info.path.size() < 5 || info.path.compare(info.path.size() - 4, 4, ".app") != 0)
        return refuse(info.path, "not an application bundle (its name does not end in .app)");
    // A client names the bundle in its hello: a FIFO or device posing as Info.plist must not
    // stall the service thread, so only a regular file is read.
    std::string infoPath = info.path + "/Contents/Info.plist";
    if (::stat(infoPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return refuse(info.path, "malformed bundle: no Contents/Info.plist file");
    platform::Error readError;
    auto plist = cf::readPropertyListFile(infoPath, &readError);
    if (!plist) return refuse(info.path, "malformed bundle: Contents/Info.plist cannot be read (" +
                                             readError.localizedDescription() + ")");
    if (!plist->isDictionary()) return refuse(info.path, "malformed bundle: Contents/Info.plist is not a dictionary");
    const std::string* exe = stringKey(*plist, "CFBundleExecutable");
    if (!exe || !isPlainFileName(*exe, ApplicationService::kMaxExecutableName))
        return refuse(info.path, "malformed bundle: Contents/Info.plist names no usable CFBundleExecutable");
    info.executableName = *exe;
    if (const std::string* id = stringKey(*plist, "CFBundleIdentifier")) info.identifier = *id;
    info.localizedName = info.executableName;
    for (auto key : {"CFBundleDisplayName", "CFBundleName"}) {
        if (const std::string* name = stringKey(*plist, key); name && !name->empty()) {
            info.localizedName = *name;
            break;
        }
    }
    return info;
}

cf::Value RunningApplication::toValue() const {
    cf::Dictionary d{{"pid", static_cast<int64_t>(pid)},
                     {"localizedName", localizedName},
                     {"executable", executable},
                     {"activationPolicy", activationPolicy},
                     {"active", active},
                     {"finishedLaunching", finishedLaunching},
                     {"launched", launched}};
    if (!bundleIdentifier.empty()) d.insert_or_assign("bundleIdentifier", bundleIdentifier);
    if (!bundlePath.empty()) d.insert_or_assign("bundlePath", bundlePath);
    return d;
}

void ApplicationService::registerRequests(RequestTable& table) {
    table.add(ipc::op::launch, [this](RequestContext& ctx) { launch(ctx); });
    table.add(ipc::op::runningApplications, [this](RequestContext& ctx) { running(ctx); });
    table.add(ipc::op::processes, [this](RequestContext& ctx) { processes(ctx); });
    table.add(ipc::op::setActivationPolicy, [this](RequestContext& ctx) { setActivationPolicy(ctx); });
    table.add(ipc::op::finishedLaunching, [this](RequestContext& ctx) { finishedLaunching(ctx); });
    table.add(ipc::op::openURL, [this](RequestContext& ctx) { openURL(ctx); });
}

// Nothing is opened: the URL is recorded for tests to see.
void ApplicationService::openURL(RequestContext& ctx) {
    const std::string* url = ctx.requiredString("url");
    if (!url) return;
    m_host.events().record(std::string(ipc::eventKind::openURL), "openURL:", posterOf(ctx.client()), {{"url", *url}});
    ctx.reply();
}

RunningApplication* ApplicationService::find(pid_t pid) {
    for (auto& app : m_running)
        if (app.pid == pid) return &app;
    return nullptr;
}

// The entry of the application on this connection (a process may also connect without its
// bundle, as tools linked into one do).
RunningApplication* ApplicationService::findConnected(const Client& client) {
    for (auto& app : m_running)
        if (app.connected && app.clientId == client.id) return &app;
    return nullptr;
}

std::optional<LaunchResult>
ApplicationService::launchApplication(const std::string& path, const Poster& poster, platform::Error* error) {
    auto info = readBundleInfo(path, error);
    if (!info) return std::nullopt;
    if (!info->identifier.empty()) {
        for (auto& app : m_running) {
            if (app.bundleIdentifier != info->identifier) continue;
            m_host.events().record(std::string(ipc::eventKind::activate), "launchApplication:", poster,
                                   {{"pid", static_cast<int64_t>(app.pid)},
                                    {"bundleIdentifier", app.bundleIdentifier},
                                    {"path", info->path}});
            return LaunchResult{app.pid, true};
        }
    }
    std::string exe = info->path + "/Contents/MacOS/" + info->executableName;
    struct stat st {};
    if (::stat(exe.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(exe.c_str(), X_OK) != 0) {
        platform::setError(error, refusal(info->path + ": malformed bundle: Contents/MacOS/" +
                                          info->executableName + " is missing or not executable"));
        return std::nullopt;
    }
    SpawnRequest request{exe, {exe}, m_host.root() + "/var/log/" + info->executableName + ".log"};
    pid_t pid = spawnDetached(request);
    if (pid < 0) {
        int err = errno;
        platform::log("platformd: cannot launch %s: %s", exe, std::string(std::strerror(err)));
        platform::setError(error, refusal(exe + ": cannot start (" + std::string(std::strerror(err)) + ")"));
        return std::nullopt;
    }
    m_children.emplace_back(pid, exe);
    m_host.reaper().watch(pid, [this](pid_t child, ExitStatus status) {
        m_host.loop().post([this, child, status] { childExited(child, status); });
    });
    RunningApplication app;
    app.pid = pid;
    app.bundleIdentifier = info->identifier;
    app.bundlePath = info->path;
    app.localizedName = info->localizedName;
    app.executable = exe;
    app.launched = true;
    m_running.push_back(app);
    m_host.events().record(std::string(ipc::eventKind::launch), "launchApplication:", poster,
                           {{"pid", static_cast<int64_t>(pid)},
                            {"path", info->path},
                            {"executable", exe},
                            {"bundleIdentifier", info->identifier}});
    return LaunchResult{pid, false};
}

void ApplicationService::launch(RequestContext& ctx) {
    const std::string* path = ctx.requiredString("path", PATH_MAX);
    if (!path) return;
    platform::Error error;
    auto result = launchApplication(*path, posterOf(ctx.client()), &error);
    if (!result) return ctx.fail(error);
    ctx.reply(cf::Dictionary{{"pid", static_cast<int64_t>(result->pid)}, {"activated", result->activated}});
}

void ApplicationService::running(RequestContext& ctx) {
    cf::Array apps;
    for (RunningApplication app : m_running) {
        app.active = app.pid == m_activePid;
        apps.push_back(app.toValue());
    }
    ctx.reply(cf::Dictionary{{"applications", cf::Value(std::move(apps))}});
}

void ApplicationService::processes(RequestContext& ctx) {
    std::vector<std::pair<pid_t, std::string>> table;
    for (const Client* c : m_host.clients())
        table.emplace_back(c->pid, c->commandName());
    for (const auto& child : m_children) {
        const pid_t pid = child.first;
        if (std::none_of(table.begin(), table.end(), [&](auto& row) { return row.first == pid; }))
            table.emplace_back(pid, fileName(child.second).substr(0, 16));
    }
    std::sort(table.begin(), table.end());
    cf::Array out;
    for (const auto& [pid, name] : table)
        out.push_back(cf::Dictionary{{"pid", static_cast<int64_t>(pid)}, {"command", name}});
    ctx.reply(cf::Dictionary{{"processes", cf::Value(std::move(out))}});
}

void ApplicationService::setActivationPolicy(RequestContext& ctx) {
    auto policy = ctx.requiredInteger("policy");
    if (!policy) return;
    if (*policy < 0 || *policy > 2) return ctx.refuse(platform::format("no activation policy %lld", *policy));
    RunningApplication* app = findConnected(ctx.client());
    if (!app) return ctx.refuse("only an application bundle has an activation policy");
    app->activationPolicy = *policy;
    ctx.reply();
}

void ApplicationService::finishedLaunching(RequestContext& ctx) {
    const Client& client = ctx.client();
    std::string bundleIdentifier = client.bundleIdentifier;
    if (RunningApplication* app = findConnected(client)) {
        app->finishedLaunching = true;
        bundleIdentifier = app->bundleIdentifier;
    }
    m_host.events().record(std::string(ipc::eventKind::finishedLaunching), "applicationDidFinishLaunching:",
                           posterOf(client),
                           {{"pid", static_cast<int64_t>(client.pid)}, {"bundleIdentifier", bundleIdentifier}});
    ctx.reply();
}

void ApplicationService::clientArrived(const Client& client) {
    if (client.bundlePath.empty()) return;
    if (RunningApplication* app = find(client.pid)) {
        app->connected = true;
        app->clientId = client.id;
        return;
    }
    RunningApplication app;
    app.pid = client.pid;
    app.bundleIdentifier = client.bundleIdentifier;
    app.bundlePath = client.bundlePath;
    app.executable = client.executable;
    app.localizedName = client.processName;
    if (auto info = readBundleInfo(client.bundlePath, nullptr)) app.localizedName = info->localizedName;
    app.connected = true;
    app.clientId = client.id;
    m_running.push_back(app);
}

void ApplicationService::clientGone(const Client& client) {
    // A launched application stays listed until it is reaped; a connected one goes now.
    for (auto it = m_running.begin(); it != m_running.end();) {
        if (it->clientId == client.id && it->connected) {
            it->connected = false;
            if (!it->launched) {
                it = m_running.erase(it);
                continue;
            }
        }
        ++it;
    }
}

void ApplicationService::addFakeApplication(pid_t pid, const std::string& name,
                                            const std::string& bundleIdentifier) {
    if (find(pid)) return;
    RunningApplication app;
    app.pid = pid;
    app.localizedName = name;
    app.bundleIdentifier = bundleIdentifier;
    app.finishedLaunching = true;
    app.fake = true;
    m_running.push_back(app);
}

void ApplicationService::removeFakeApplication(pid_t pid) {
    std::erase_if(m_running, [&](const RunningApplication& app) { return app.pid == pid && app.fake; });
    if (m_activePid == pid) m_activePid = 0;
}

void ApplicationService::activateApplication(pid_t pid) {
    m_activePid = pid;
}

void ApplicationService::childExited(pid_t pid, ExitStatus status) {
    auto child = std::find_if(m_children.begin(), m_children.end(), [&](auto& c) { return c.first == pid; });
    if (child == m_children.end()) return;
    std::string exe = child->second;
    m_children.erase(child);
    std::string bundleIdentifier;
    if (RunningApplication* app = find(pid)) bundleIdentifier = app->bundleIdentifier;
    std::erase_if(m_running, [&](const RunningApplication& app) { return app.pid == pid && app.launched; });
    m_host.events().record(std::string(ipc::eventKind::exit), "", Poster{},
                           {{"pid", static_cast<int64_t>(pid)},
                            {"executable", exe},
                            {"bundleIdentifier", bundleIdentifier},
                            {"status", static_cast<int64_t>(status.code)},
                            {"signal", static_cast<int64_t>(status.signal)}});
}

} // namespace platformd
