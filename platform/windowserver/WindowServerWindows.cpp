// Windows' backing stores: each owner's window has a memfd of its frame times its screen's scale,
// which the owner draws into and flushes by rectangles; the window server keeps its own copy of
// what was flushed, composes that, and answers it as the window's image.
#include "platform/core/Log.h"
#include "platform/windowserver/WindowServer.h"
#include "platform/windowserver/WindowServerArgs.h"
#include "platform/windowserver/WindowServerInternal.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace windowserver {

using namespace requestargs;

namespace {

// More rectangles in one flush are refused.
constexpr size_t kMaxFlushRects = 4096;

struct PixelBox {
    uint32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool empty() const { return x1 <= x0 || y1 <= y0; }
};

// r (window-local points, top-left origin) in a store's pixels: rounded outward and clipped.
PixelBox storeBox(const cg::CGRect& r, double scale, uint32_t width, uint32_t height) {
    double x0 = std::max(0.0, std::floor(r.origin.x * scale));
    double y0 = std::max(0.0, std::floor(r.origin.y * scale));
    double x1 = std::min(double(width), std::ceil((r.origin.x + r.size.width) * scale));
    double y1 = std::min(double(height), std::ceil((r.origin.y + r.size.height) * scale));
    if (!(x1 > x0 && y1 > y0)) return {};
    return {uint32_t(x0), uint32_t(y0), uint32_t(x1), uint32_t(y1)};
}

} // namespace

bool WindowServer::answersDescriptors(std::string_view op) {
    return op == op::newWindow || op == op::setWindow || op == op::windowImage;
}

std::optional<cf::Value> WindowServer::serveWithDescriptors(uint32_t cid, std::string_view op,
                                                            const cf::Value& args,
                                                            std::vector<ipc::UniqueFd>* fds,
                                                            std::string* why) {
    std::optional<cf::Value> result;
    std::string reason = "the window server is not running";
    m_thread.runAndWait([&] {
        auto it = m_clients.find(cid);
        if (it == m_clients.end()) {
            reason = "unknown connection";
            return;
        }
        auto client = it->second;
        client->replyFds.clear();
        Reply reply = [&](std::optional<cf::Value> answer, const std::string& text) {
            result = std::move(answer);
            reason = text;
        };
        dispatch(*client, op, args, reply);
        if (result && fds) *fds = std::move(client->replyFds);
        client->replyFds.clear();
    });
    if (why) *why = result ? std::string() : reason;
    return result;
}

// The scale of the display the frame overlaps most, else 1.
double WindowServer::scaleFor(const cg::CGRect& frame) const {
    double best = 0, scale = 1.0;
    for (auto& [id, bounds] : boundsByDisplay()) {
        cg::CGRect overlap = cg::CGRectIntersection(bounds, frame);
        if (cg::CGRectIsNull(overlap)) continue;
        double area = overlap.size.width * overlap.size.height;
        if (area > best || (best == 0 && cg::CGRectContainsPoint(bounds, frame.origin))) {
            best = area;
            if (auto d = recordFor(id, false)) scale = d->scale;
        }
    }
    return scale;
}

void WindowServer::attachStore(Client& client, Window& w, cf::Dictionary& answer, bool force) {
    const double scale = scaleFor(w.frame);
    const double pw = std::ceil(w.frame.size.width * scale), ph = std::ceil(w.frame.size.height * scale);
    if (!force && w.store && w.store->width() == pw && w.store->height() == ph && w.pixelScale == scale)
        return;
    if (!force && !w.store && (pw == 0 || ph == 0) && w.pixels.empty()) return;
    w.store.reset();
    w.pixels.clear();
    w.pixelsWide = w.pixelsHigh = 0;
    w.pixelScale = scale;
    w.opaque = false;
    // No store (yet): the answer says so, the window stays listed, undrawn.
    answer.insert_or_assign("storeWidth", 0);
    answer.insert_or_assign("storeHeight", 0);
    if (pw == 0 || ph == 0) return;
    if (pw > BackingStore::kMaxSide || ph > BackingStore::kMaxSide) {
        platform::log(
            "windowserver: window %u of pid %d gets no backing store: %g x %g pixels is over %u a side",
            w.number, client.identity.pid, pw, ph, BackingStore::kMaxSide);
        return;
    }
    auto store = BackingStore::create(uint32_t(pw), uint32_t(ph));
    ipc::UniqueFd fd = store ? store->duplicate() : ipc::UniqueFd();
    if (!fd) {
        platform::log("windowserver: no memory for the backing store of window %u", w.number);
        return;
    }
    w.pixels.assign(size_t(pw) * size_t(ph), 0);
    w.pixelsWide = uint32_t(pw), w.pixelsHigh = uint32_t(ph);
    w.store = std::move(store);
    answer.insert_or_assign("storeWidth", int64_t(w.pixelsWide));
    answer.insert_or_assign("storeHeight", int64_t(w.pixelsHigh));
    answer.insert_or_assign("storeBytesPerRow", int64_t(w.store->bytesPerRow()));
    answer.insert_or_assign("storeScale", scale);
    client.replyFds.clear();
    client.replyFds.push_back(std::move(fd));
}

void WindowServer::flushRequest(Client& client, const cf::Value& value, Reply& reply) {
    Args args{value, op::flushWindow, {}};
    auto refuse = [&] {
        platform::log("windowserver: refusing %@ of pid %d: %@", op::flushWindow, client.identity.pid,
                      args.why);
        reply(std::nullopt, args.why);
    };
    auto number = args.integer("window", 0, UINT32_MAX);
    const cf::Value* rects = value.find("rects");
    if (!number) return refuse();
    if (!rects || !rects->isArray() || rects->count() > kMaxFlushRects) {
        args.why = platform::format("rects is not an array of at most %zu rectangles", kMaxFlushRects);
        return refuse();
    }
    std::vector<cg::CGRect> list;
    for (size_t i = 0; i < rects->count(); ++i) {
        const cf::Value* r = rects->at(i);
        bool ok = r && r->isArray() && r->count() == 4;
        double v[4] = {};
        for (size_t k = 0; ok && k < 4; ++k) {
            ok = r->at(k)->isNumber() && std::isfinite(r->at(k)->doubleValue()) &&
                 std::fabs(r->at(k)->doubleValue()) <= kMaxCoordinate;
            if (ok) v[k] = r->at(k)->doubleValue();
        }
        if (!ok || v[2] < 0 || v[3] < 0) {
            args.why = "a rectangle is not four finite numbers within the desktop, sides not negative";
            return refuse();
        }
        list.push_back(cg::CGRectMake(v[0], v[1], v[2], v[3]));
    }
    auto it = m_windows.find(uint32_t(*number));
    if (it == m_windows.end() || it->second->ownerCid != client.cid || it->second->test) {
        platform::log("windowserver: refusing %@ of pid %d: window %lld is not its own", op::flushWindow,
                      client.identity.pid, (long long)*number);
        return reply(status(kCGErrorIllegalArgument), "");
    }
    Window& w = *it->second;
    if (!w.store)
        return reply(status(kCGErrorIllegalArgument), ""); // undrawn (logged when it lost its store)
    const BackingStore& store = *w.store;
    for (const cg::CGRect& r : list) {
        PixelBox box = storeBox(r, w.pixelScale, store.width(), store.height());
        if (box.empty()) continue;
        for (uint32_t y = box.y0; y < box.y1; ++y)
            std::memcpy(&w.pixels[size_t(y) * w.pixelsWide + box.x0],
                        store.bytes() + size_t(y) * store.bytesPerRow() + size_t(box.x0) * 4,
                        size_t(box.x1 - box.x0) * 4);
        if (w.onScreen)
            addDamage(cg::CGRectMake(w.frame.origin.x + box.x0 / w.pixelScale,
                                     w.frame.origin.y + box.y0 / w.pixelScale,
                                     (box.x1 - box.x0) / w.pixelScale, (box.y1 - box.y0) / w.pixelScale));
    }
    reply(status(kCGErrorSuccess), "");
}

void WindowServer::windowImageRequest(Client& client, const cf::Value& value, Reply& reply) {
    Args args{value, op::windowImage, {}};
    auto refuse = [&] {
        platform::log("windowserver: refusing %@ of pid %d: %@", op::windowImage, client.identity.pid,
                      args.why);
        reply(std::nullopt, args.why);
    };
    auto number = args.integer("window", 0, UINT32_MAX);
    std::optional<cg::CGRect> rect;
    if (value.find("x") || value.find("y") || value.find("width") || value.find("height")) rect = args.rect();
    auto nominal = args.boolean("nominal", false);
    if (!number || !args.why.empty()) return refuse();
    auto it = m_windows.find(uint32_t(*number));
    if (it == m_windows.end() || it->second->pixels.empty())
        return reply(status(kCGErrorIllegalArgument), "");
    const Window& w = *it->second;
    // The part of the window asked for, in window-local points.
    cg::CGRect local = cg::CGRectMake(0, 0, w.frame.size.width, w.frame.size.height);
    if (rect) {
        cg::CGRect part = cg::CGRectIntersection(*rect, w.frame);
        if (cg::CGRectIsNull(part) || part.size.width <= 0 || part.size.height <= 0)
            return reply(status(kCGErrorIllegalArgument), "");
        local = cg::CGRectOffset(part, -w.frame.origin.x, -w.frame.origin.y);
    }
    PixelBox box = storeBox(local, w.pixelScale, w.pixelsWide, w.pixelsHigh);
    if (box.empty()) return reply(status(kCGErrorIllegalArgument), "");
    // Nominal resolution: one pixel per point, sampled by nearest neighbour.
    const double step = (nominal && *nominal) ? w.pixelScale : 1.0;
    const uint32_t width = std::max(1u, uint32_t(std::lround((box.x1 - box.x0) / step)));
    const uint32_t height = std::max(1u, uint32_t(std::lround((box.y1 - box.y0) / step)));
    const size_t bytesPerRow = BackingStore::paddedBytesPerRow(width);
    std::vector<uint8_t> rows(bytesPerRow * height, 0);
    for (uint32_t y = 0; y < height; ++y) {
        uint32_t sy = std::min(box.y1 - 1, box.y0 + uint32_t(y * step));
        uint32_t* out = reinterpret_cast<uint32_t*>(rows.data() + size_t(y) * bytesPerRow);
        for (uint32_t x = 0; x < width; ++x)
            out[x] = w.pixels[size_t(sy) * w.pixelsWide + std::min(box.x1 - 1, box.x0 + uint32_t(x * step))];
    }
    int fd = ::memfd_create("window-image", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    ipc::UniqueFd owned(fd);
    if (fd < 0 || ::pwrite(fd, rows.data(), rows.size(), 0) != ssize_t(rows.size()) ||
        ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        platform::log("windowserver: no memory for an image of window %u", w.number);
        return reply(status(kCGErrorIllegalArgument), "");
    }
    client.replyFds.clear();
    client.replyFds.push_back(std::move(owned));
    reply(cf::Dictionary{{"status", kCGErrorSuccess},
                         {"width", int64_t(width)},
                         {"height", int64_t(height)},
                         {"bytesPerRow", int64_t(bytesPerRow)}},
          "");
}

void WindowServer::routeMouse(int64_t type, cg::CGPoint location, uint64_t flags, double pressure) {
    if (type == 23) return copyToMonitors(type, location, flags, pressure, 0); // tablet points
    const Window* target = nullptr;
    for (const Window* w : windowsInOrder()) {
        if (!w->onScreen || w->ignoresMouse || w->alpha <= 0 || w->test) continue;
        if (cg::CGRectContainsPoint(w->frame, location)) {
            target = w;
            break;
        }
    }
    const uint32_t number = target ? target->number : 0;
    if (m_pointerWindow && m_pointerWindow != number) {
        auto previous = m_windows.find(m_pointerWindow);
        if (previous != m_windows.end())
            if (auto owner = m_clients.find(previous->second->ownerCid); owner != m_clients.end())
                push(*owner->second,
                     cf::Dictionary{{"kind", "pointer-left"}, {"window", int64_t(m_pointerWindow)}});
    }
    m_pointerWindow = number;
    auto owner = target ? m_clients.find(target->ownerCid) : m_clients.end();
    if (owner == m_clients.end()) return copyToMonitors(type, location, flags, pressure, 0);
    // Status items (25), menus (101) and non-activating panels leave the active application be.
    const bool down = type == 1 || type == 3 || type == 25;
    if (down && target->level != 25 && target->level != 101 && !target->nonActivating)
        activate(target->ownerCid, "mouse-down", true);
    push(*owner->second,
         cf::Dictionary{{"kind", "mouse"},
                        {"type", type},
                        {"window", int64_t(number)},
                        {"x", location.x - target->frame.origin.x},
                        {"y", target->frame.origin.y + target->frame.size.height - location.y},
                        {"flags", int64_t(flags)}});
    copyToMonitors(type, location, flags, pressure, target->ownerCid);
}

} // namespace windowserver
