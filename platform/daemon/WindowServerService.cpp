#include "platform/daemon/WindowServerService.h"

#include "platform/core/Log.h"
#include "platform/coregraphics/CGError.h"
#include "platform/daemon/ApplicationService.h"
#include "platform/daemon/Platformd.h"

#include <cmath>
#include "platform/windowserver/WindowServerProtocol.h"

namespace platformd {

void WindowServerService::registerConnectionRequests(RequestTable& table) {
    table.add(windowserver::op::displays, [this](RequestContext& ctx) { displays(ctx); });
    table.add(windowserver::op::displayImage, [this](RequestContext& ctx) { displayImage(ctx); });
    table.add(windowserver::op::streamCreate, [this](RequestContext& ctx) { streamCreate(ctx); });
    table.add(windowserver::op::framebuffer, [this](RequestContext& ctx) { framebuffer(ctx); });
    table.add(windowserver::op::seed, [this](RequestContext& ctx) { seed(ctx); });
    table.add(windowserver::op::seedPage, [this](RequestContext& ctx) { seedPage(ctx); });
    for (const auto& entry : windowserver::kWindowServerOps) {
        std::string_view op = entry.name;
        if (op == windowserver::op::displays || op == windowserver::op::displayImage ||
            op == windowserver::op::streamCreate || op == windowserver::op::framebuffer ||
            op == windowserver::op::seed || op == windowserver::op::seedPage)
            continue;
        if (windowserver::WindowServer::answersDescriptors(op)) {
            table.add(op, [this, op](RequestContext& ctx) { serveWithDescriptors(op, ctx); });
            continue;
        }
        table.add(op, [this, op](RequestContext& ctx) { serve(op, ctx); });
    }
}

void WindowServerService::clientArrived(const Client& client) {
    auto use = m_host->use();
    if (!use) return;
    uint64_t clientId = client.id;
    ServiceHost& daemon = m_daemon;
    auto push = [&daemon, clientId](const cf::Value& body) {
        daemon.push(clientId, windowserver::topic::windowServer, body);
    };
    windowserver::ClientIdentity identity{int32_t(client.pid), client.processName, client.bundleIdentifier};
    uint32_t cid = m_host->windowServer().connect(identity, push);
    std::lock_guard lock(m_mutex);
    m_cids[client.id] = cid;
}

void WindowServerService::clientGone(const Client& client) {
    uint32_t cid;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_cids.find(client.id);
        if (it == m_cids.end()) return;
        cid = it->second;
        m_cids.erase(it);
    }
    auto use = m_host->use();
    if (use) m_host->windowServer().disconnect(cid);
}

uint32_t WindowServerService::cidOf(uint64_t clientId) {
    std::lock_guard lock(m_mutex);
    auto it = m_cids.find(clientId);
    return it == m_cids.end() ? 0 : it->second;
}

// On the caller's connection thread: only the client's id and pid may be read here.
void WindowServerService::serve(std::string_view op, RequestContext& ctx) {
    auto use = m_host->use();
    if (!use) return ctx.refuse("the window server is not running");
    uint32_t cid = cidOf(ctx.client().id);
    if (!cid) return ctx.refuse("no window-server connection yet: wait for the hello's answer");
    ctx.defer();
    Responder responder = ctx.responder();
    m_host->windowServer().serveQueued(
        cid, op, ctx.args(), [responder](std::optional<cf::Value> result, const std::string& why) mutable {
            if (result)
                responder.reply(*result);
            else
                responder.fail(refusal(why));
        });
}

// Answered on the caller's connection thread, waiting for the window-server thread: a backing
// store or a window image travels beside the answer.
void WindowServerService::serveWithDescriptors(std::string_view op, RequestContext& ctx) {
    auto use = m_host->use();
    if (!use) return ctx.refuse("the window server is not running");
    uint32_t cid = cidOf(ctx.client().id);
    if (!cid) return ctx.refuse("no window-server connection yet: wait for the hello's answer");
    std::vector<ipc::UniqueFd> fds;
    std::string why;
    auto result = m_host->windowServer().serveWithDescriptors(cid, op, ctx.args(), &fds, &why);
    if (!result) return ctx.refuse(why);
    ctx.responder().reply(*result, std::move(fds));
}

// Answered on the caller's connection thread: the seed is published for any thread to read.
void WindowServerService::seed(RequestContext& ctx) {
    auto use = m_host->use();
    if (!use) return ctx.refuse("the window server is not running");
    if (!cidOf(ctx.client().id))
        return ctx.refuse("no window-server connection yet: wait for the hello's answer");
    ctx.reply(cf::Dictionary{{"seed", m_host->windowServer().mappingSeed()}});
}

// On the caller's connection thread, like the seed itself.
void WindowServerService::seedPage(RequestContext& ctx) {
    auto use = m_host->use();
    if (!use) return ctx.refuse("the window server is not running");
    if (!cidOf(ctx.client().id))
        return ctx.refuse("no window-server connection yet: wait for the hello's answer");
    ipc::UniqueFd page = m_host->windowServer().openMappingSeedPage();
    if (!page) return ctx.refuse("the display-mapping seed has no shared page: ask for the seed");
    std::vector<ipc::UniqueFd> fds;
    fds.push_back(std::move(page));
    ctx.responder().reply(cf::Value::emptyDictionary(), std::move(fds));
}

void WindowServerService::displays(RequestContext& ctx) {
    auto use = m_host->use();
    if (!use) return ctx.refuse("the window server is not running");
    cf::Array out;
    for (const auto& display : m_host->windowServer().displays())
        out.push_back(display.toValue());
    ctx.reply(cf::Dictionary{{"displays", cf::Value(std::move(out))}});
}

windowserver::WindowServer::DisplayObserver WindowServerService::displayRecorder(EventLog& events) {
    return [&events](const windowserver::DisplayInfo& display, bool added) {
        cf::Dictionary fields{{"id", display.displayID},
                              {"serial", display.serialNumber},
                              {"name", display.name},
                              {"location", display.location}};
        if (added) {
            fields.insert_or_assign("width", display.pixelsWide);
            fields.insert_or_assign("height", display.pixelsHigh);
        }
        auto kind = added ? windowserver::eventKind::displayAdded : windowserver::eventKind::displayRemoved;
        events.record(std::string(kind), "", Poster{}, std::move(fields));
    };
}

windowserver::WindowServer::ApplicationObserver WindowServerService::applicationForwarder(Platformd& daemon) {
    return [&daemon](const windowserver::ApplicationChange& change) {
        daemon.loop().post([&daemon, change] {
            ApplicationService* applications = daemon.applications();
            if (!applications) return;
            switch (change.kind) {
            case windowserver::ApplicationChange::Kind::added:
                applications->addFakeApplication(change.pid, change.name, change.bundleIdentifier);
                break;
            case windowserver::ApplicationChange::Kind::removed:
                applications->removeFakeApplication(change.pid);
                break;
            case windowserver::ApplicationChange::Kind::activated:
                applications->activateApplication(change.pid);
                break;
            }
        });
    };
}

void WindowServerService::displayImage(RequestContext& ctx) {
    auto use = m_host->use();
    if (!use) return ctx.refuse("the window server is not running");
    auto display = ctx.requiredInteger("display");
    if (!display) return;
    if (*display < 0 || *display > int64_t(UINT32_MAX)) return ctx.refuse("no such display");
    bool ok = true;
    auto x = ctx.optionalReal("x", ok), y = ctx.optionalReal("y", ok);
    auto w = ctx.optionalReal("width", ok), h = ctx.optionalReal("height", ok);
    if (!ok) return;
    std::optional<cg::CGRect> rect;
    if (x || y || w || h) {
        if (!x || !y || !w || !h || !std::isfinite(*x) || !std::isfinite(*y) || !std::isfinite(*w) ||
            !std::isfinite(*h) || *w < 0 || *h < 0)
            return ctx.refuse("a display image's rectangle must be four finite numbers, sides not negative");
        rect = cg::CGRectMake(*x, *y, *w, *h);
    }
    auto snapshot = m_host->windowServer().snapshotDisplay(uint32_t(*display), rect ? &*rect : nullptr);
    if (!snapshot) return ctx.reply(cf::Dictionary{{"status", int64_t(cg::kCGErrorIllegalArgument)}});
    std::vector<ipc::UniqueFd> fds;
    fds.push_back(std::move(snapshot->fd));
    ctx.responder().reply(cf::Dictionary{{"status", int64_t(cg::kCGErrorSuccess)},
                                         {"width", int64_t(snapshot->width)},
                                         {"height", int64_t(snapshot->height)},
                                         {"bytesPerRow", int64_t(snapshot->bytesPerRow)}},
                          std::move(fds));
}

} // namespace platformd

namespace platformd {

void WindowServerService::streamCreate(RequestContext& ctx) {
    auto use = m_host->use();
    if (!use) return ctx.refuse("the window server is not running");
    uint32_t cid = cidOf(ctx.client().id);
    if (!cid) return ctx.refuse("no window-server connection yet: wait for the hello's answer");
    ServiceHost& daemon = m_daemon;
    uint64_t clientId = ctx.client().id;
    auto stream = std::make_shared<uint64_t>(0);
    std::string why;
    auto pool = m_host->windowServer().createStream(
        cid, ctx.args(),
        [&daemon, clientId, stream](const windowserver::WindowServer::StreamEvent& e) {
            daemon.push(clientId, windowserver::topic::stream,
                        windowserver::WindowServer::streamPushBody(*stream, e));
        },
        &why);
    if (!pool) return ctx.reply(cf::Dictionary{{"status", int64_t(cg::kCGErrorIllegalArgument)}});
    *stream = pool->stream; // before the stream can be started
    ctx.responder().reply(
        cf::Dictionary{{"status", int64_t(cg::kCGErrorSuccess)}, {"stream", int64_t(pool->stream)}},
        std::move(pool->surfaces));
}

void WindowServerService::framebuffer(RequestContext& ctx) {
    auto use = m_host->use();
    if (!use) return ctx.refuse("the window server is not running");
    auto display = ctx.requiredInteger("display");
    if (!display) return;
    std::optional<windowserver::WindowServer::FramebufferView> view;
    if (*display >= 0 && *display <= int64_t(UINT32_MAX))
        view = m_host->windowServer().framebufferView(uint32_t(*display));
    if (!view || !view->memfd)
        return ctx.reply(cf::Dictionary{{"status", int64_t(cg::kCGErrorIllegalArgument)}});
    std::vector<ipc::UniqueFd> fds;
    fds.push_back(std::move(view->memfd));
    cf::Dictionary answer{{"status", int64_t(cg::kCGErrorSuccess)},
                          {"bytesPerRow", int64_t(view->bytesPerRow)},
                          {"length", int64_t(view->length)},
                          {"offset", int64_t(view->offset)}};
    // With the composition sequences, the client may copy pictures of the display itself.
    if (view->compositions) {
        fds.push_back(std::move(view->compositions));
        answer.insert_or_assign("generation", int64_t(view->generation));
    }
    ctx.responder().reply(std::move(answer), std::move(fds));
}

} // namespace platformd
