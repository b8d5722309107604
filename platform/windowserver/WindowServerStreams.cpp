// Display streams: pools of shared surfaces filled at a display's vertical blank with what was
// composed, scaled (nearest) to the stream's output size. A surface is written only while its
// use count, kept in its shared header, is 0; the dirty rectangles of a frame cover everything
// changed since the last delivered one, so frames skipped for want of a surface lose nothing.
// A display's only stream, at the display's own size, is composed into directly and the display
// copies from it after the frame has gone out.
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/iosurface/IOSurface.h"
#include "platform/windowserver/StreamCopy.h"
#include "platform/windowserver/WindowServerInternal.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <pixman.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace windowserver {

namespace {

constexpr int32_t kCGErrorSuccess = 0;
constexpr int32_t kCGErrorIllegalArgument = 1001;
constexpr uint32_t kMaxOutputSide = 16384;
constexpr uint32_t kDefaultQueueDepth = 3;
constexpr uint32_t kMaxQueueDepth = 8;
constexpr uint32_t kPoison = 0xFFFF00FF; // opaque magenta
// Vertical blanks come every 16.666 ms, a hair under 1/60 s: a frame is due once the minimum
// frame time, less this, has passed.
constexpr int64_t kBlankJitterNs = 1'000'000;

class Region {
  public:
    Region() { pixman_region32_init(&m_region); }
    ~Region() { pixman_region32_fini(&m_region); }
    Region(const Region&) = delete;
    Region& operator=(const Region&) = delete;
    void add(int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
        if (x1 > x0 && y1 > y0)
            pixman_region32_union_rect(&m_region, &m_region, x0, y0, uint32_t(x1 - x0), uint32_t(y1 - y0));
    }
    void subtract(int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
        if (x1 <= x0 || y1 <= y0) return;
        pixman_region32_t cut;
        pixman_region32_init_rect(&cut, x0, y0, uint32_t(x1 - x0), uint32_t(y1 - y0));
        pixman_region32_subtract(&m_region, &m_region, &cut);
        pixman_region32_fini(&cut);
    }
    void clear() {
        pixman_region32_fini(&m_region);
        pixman_region32_init(&m_region);
    }
    bool empty() const { return !pixman_region32_not_empty(const_cast<pixman_region32_t*>(&m_region)); }
    pixman_region32_t* get() { return &m_region; }
    // Its boxes as rectangles; above max boxes, their extent.
    std::vector<cg::CGRect> rects(size_t max) {
        int n = 0;
        const pixman_box32_t* boxes = pixman_region32_rectangles(&m_region, &n);
        std::vector<cg::CGRect> out;
        if (size_t(n) > max) {
            const pixman_box32_t* e = pixman_region32_extents(&m_region);
            out.push_back(cg::CGRectMake(e->x1, e->y1, e->x2 - e->x1, e->y2 - e->y1));
            return out;
        }
        for (int i = 0; i < n; ++i)
            out.push_back(cg::CGRectMake(boxes[i].x1, boxes[i].y1, boxes[i].x2 - boxes[i].x1,
                                         boxes[i].y2 - boxes[i].y1));
        return out;
    }

  private:
    pixman_region32_t m_region;
};

} // namespace

struct WindowServer::Stream {
    struct PoolSurface {
        iosurface::IOSurfaceRef surface;
        Region stale; // output pixels not yet rewritten since they changed
        bool poisonDue = false;
    };
    uint64_t id = 0;
    uint32_t ownerCid = 0;
    uint32_t displayID = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    int64_t minimumFrameNs = 0;
    StreamSink sink;
    bool started = false;
    bool blanked = false;
    std::vector<std::unique_ptr<PoolSurface>> pool;
    Region dirty; // since the last delivered frame
    std::optional<int64_t> lastDelivered;
    uint64_t drops = 0;
    size_t next = 0;
    std::optional<size_t> direct; // the surface this blank's composition was written into

    // Whether a frame may go out now: the minimum frame time (less a blank's jitter) has passed.
    bool due(int64_t now) const {
        return !lastDelivered || now - *lastDelivered >= minimumFrameNs - kBlankJitterNs;
    }
    // The next surface nobody holds, from where the last frame's left off.
    std::optional<size_t> freeSurface() const {
        for (size_t k = 0; k < pool.size(); ++k) {
            const size_t index = (next + k) % pool.size();
            if (pool[index]->surface->header().useCount.load() == 0) return index;
        }
        return std::nullopt;
    }

    void markWhole() {
        dirty.add(0, 0, int32_t(width), int32_t(height));
        for (auto& s : pool)
            s->stale.add(0, 0, int32_t(width), int32_t(height));
    }
};

std::optional<WindowServer::StreamPool> WindowServer::createStream(uint32_t cid, const cf::Value& args,
                                                                   StreamSink sink, std::string* why) {
    std::optional<StreamPool> out;
    std::string reason;
    bool ran = m_thread.runAndWait([&] {
        auto client = m_clients.find(cid);
        if (client == m_clients.end()) {
            reason = "unknown connection";
            return;
        }
        auto integer = [&](std::string_view key, int64_t min, int64_t max,
                           std::optional<int64_t> absent) -> std::optional<int64_t> {
            const cf::Value* v = args.find(key);
            if (!v) {
                if (!absent && reason.empty()) reason = platform::format("\"%@\" is missing", key);
                return absent;
            }
            auto n = v->storedInteger();
            if (!n || *n < min || *n > max) {
                if (reason.empty()) reason = platform::format("\"%@\" is not a number in range", key);
                return std::nullopt;
            }
            return n;
        };
        if (!args.isDictionary()) {
            reason = "the arguments are not a dictionary";
            return;
        }
        auto display = integer("display", 0, UINT32_MAX, std::nullopt);
        auto width = integer("width", 1, kMaxOutputSide, std::nullopt);
        auto height = integer("height", 1, kMaxOutputSide, std::nullopt);
        auto format = integer("format", 0, UINT32_MAX, std::nullopt);
        // Clamped, as the property is documented.
        auto depth = integer("queueDepth", INT32_MIN, INT32_MAX, kDefaultQueueDepth);
        double minimum = 0;
        if (const cf::Value* v = args.find("minimumFrameTime")) {
            if (!v->isNumber() || !std::isfinite(v->doubleValue()) || v->doubleValue() < 0 ||
                v->doubleValue() > 3600) {
                if (reason.empty())
                    reason = "\"minimumFrameTime\" is not a finite number of seconds, at least 0";
            } else {
                minimum = v->doubleValue();
            }
        }
        if (const cf::Value* v = args.find("showCursor")) {
            if (!v->isBoolean())
                reason = reason.empty() ? "\"showCursor\" is not a boolean" : reason;
            else if (v->boolValue())
                reason = reason.empty() ? "the cursor is never drawn into streams" : reason;
        }
        if (!display || !width || !height || !format || !depth || !reason.empty()) return;
        if (*format != iosurface::kIOSurfacePixelFormatBGRA) {
            reason = platform::format("pixel format 0x%x is not 'BGRA'", uint32_t(*format));
            return;
        }
        if (!recordFor(uint32_t(*display), false)) {
            reason = platform::format("no display %u", uint32_t(*display));
            return;
        }
        auto stream = std::make_shared<Stream>();
        stream->id = m_nextStream++;
        stream->ownerCid = cid;
        stream->displayID = uint32_t(*display);
        stream->width = uint32_t(*width);
        stream->height = uint32_t(*height);
        stream->minimumFrameNs = int64_t(std::llround(minimum * 1e9));
        if (!sink) {
            reason = "no one hears the stream";
            return;
        }
        stream->sink = std::move(sink);
        const uint32_t count = uint32_t(std::clamp<int64_t>(*depth, 1, kMaxQueueDepth));
        const uint32_t bytesPerRow = (stream->width * 4 + 63) / 64 * 64 + 64; // padded, like images
        StreamPool pool;
        pool.stream = stream->id;
        for (uint32_t i = 0; i < count; ++i) {
            int fd = -1;
            auto surface = iosurface::IOSurface::createShared(uint32_t(stream->id << 4 | i), stream->width,
                                                              stream->height, bytesPerRow, &fd);
            if (!surface) {
                reason = "no memory for the stream's surfaces";
                return;
            }
            auto entry = std::make_unique<Stream::PoolSurface>();
            entry->surface = std::move(surface);
            stream->pool.push_back(std::move(entry));
            pool.surfaces.emplace_back(fd);
        }
        m_streams[stream->id] = stream;
        platform::log("windowserver: display stream %llu of display 0x%x for pid %d: %u x %u, %u surfaces",
                      (unsigned long long)stream->id, stream->displayID, client->second->identity.pid,
                      stream->width, stream->height, count);
        out = std::move(pool);
    });
    if (!ran) reason = "the window server is not running";
    if (!out) {
        platform::log("windowserver: refusing a display stream: %@", reason);
        if (why) *why = reason;
    }
    return out;
}

cf::Value WindowServer::streamPushBody(uint64_t stream, const StreamEvent& e) {
    cf::Array rects;
    for (auto& r : e.rects)
        rects.push_back(cf::Array{r.origin.x, r.origin.y, r.size.width, r.size.height});
    return cf::Dictionary{{"kind", std::string(push::stream)},
                          {"stream", int64_t(stream)},
                          {"status", e.status},
                          {"time", int64_t(e.displayTime)},
                          {"surface", e.surface},
                          {"rects", cf::Value(std::move(rects))},
                          {"drops", int64_t(e.dropCount)}};
}

bool WindowServer::startStream(uint32_t cid, uint64_t id) {
    bool ok = false;
    m_thread.runAndWait([&] {
        auto it = m_streams.find(id);
        if (it == m_streams.end() || it->second->ownerCid != cid || it->second->blanked) return;
        Stream& s = *it->second;
        if (!s.started) {
            s.started = true;
            s.markWhole();
            s.lastDelivered.reset();
            scheduleTick();
        }
        ok = true;
    });
    return ok;
}

bool WindowServer::stopStream(uint32_t cid, uint64_t id) {
    bool ok = false;
    m_thread.runAndWait([&] {
        auto it = m_streams.find(id);
        if (it == m_streams.end() || it->second->ownerCid != cid) return;
        m_streams.erase(it);
        ok = true;
    });
    return ok;
}

void WindowServer::setPoison(bool on) {
    m_thread.runAndWait([&] {
        m_poison = on;
        if (on) scheduleTick();
    });
}

// What was composed (display pixels) becomes dirty in the output of each stream of the display.
void WindowServer::streamsComposed(uint32_t displayID, const Canvas& canvas,
                                   const std::vector<cg::CGRect>& pixelRects) {
    if (canvas.width == 0 || canvas.height == 0) return;
    for (auto& [id, stream] : m_streams) {
        Stream& s = *stream;
        if (s.displayID != displayID || !s.started || s.blanked) continue;
        const double sx = double(s.width) / canvas.width, sy = double(s.height) / canvas.height;
        for (auto& r : pixelRects) {
            int32_t x0 = int32_t(std::floor(r.origin.x * sx)), y0 = int32_t(std::floor(r.origin.y * sy));
            int32_t x1 = int32_t(std::min<double>(s.width, std::ceil((r.origin.x + r.size.width) * sx)));
            int32_t y1 = int32_t(std::min<double>(s.height, std::ceil((r.origin.y + r.size.height) * sy)));
            x0 = std::max(x0, 0), y0 = std::max(y0, 0);
            s.dirty.add(x0, y0, x1, y1);
            for (auto& p : s.pool)
                p->stale.add(x0, y0, x1, y1);
        }
    }
}

// Composing straight into the surface saves a display-sized copy between the composition and
// the frame going out (a copy the display's pixels still get, after it has gone). One stream at
// the display's own size only: a second stream would copy from the display before it caught up.
std::optional<WindowServer::Canvas>
WindowServer::claimStreamSurface(uint32_t displayID, const Canvas& canvas,
                                 const std::vector<cg::CGRect>& pixelRects, bool whole) {
    Stream* only = nullptr;
    for (auto& [id, stream] : m_streams) {
        if (stream->displayID != displayID || !stream->started || stream->blanked) continue;
        if (only) return std::nullopt;
        only = stream.get();
    }
    if (!only || only->width != canvas.width || only->height != canvas.height || only->pool.empty() ||
        !only->due(platform::now().time_since_epoch().count()))
        return std::nullopt;
    const auto index = only->freeSurface();
    if (!index) return std::nullopt;
    Stream::PoolSurface& chosen = *only->pool[*index];
    iosurface::IOSurface& surface = *chosen.surface;
    if (m_poison && chosen.poisonDue) {
        // Poisoned and wholly rewritten at once: what a reader holding it too long would see.
        chosen.stale.add(0, 0, int32_t(only->width), int32_t(only->height));
        chosen.poisonDue = false;
    }
    // What the composition will not write comes from the display's pixels as they stand.
    Region keep;
    pixman_region32_copy(keep.get(), chosen.stale.get());
    for (const cg::CGRect& r : pixelRects)
        keep.subtract(int32_t(r.origin.x), int32_t(r.origin.y), int32_t(r.origin.x + r.size.width),
                      int32_t(r.origin.y + r.size.height));
    copyStaleRegion(m_composePool, PixelPlane{canvas.bytes, canvas.width, canvas.height, canvas.bytesPerRow},
                    PixelPlane{surface.baseAddress(), only->width, only->height, surface.bytesPerRow()},
                    keep.get());
    only->direct = index;
    Canvas target = canvas;
    target.bytes = surface.baseAddress();
    target.bytesPerRow = surface.bytesPerRow();
    m_directCompositions.push_back({displayID, canvas, chosen.surface, pixelRects, whole});
    return target;
}

// The display's pixels get what was composed into a stream's surface, as a composition of the
// display would have written them (counted in its composition sequence).
void WindowServer::catchUpDirectCompositions() {
    auto pending = std::move(m_directCompositions);
    m_directCompositions.clear();
    for (const DirectComposition& d : pending) {
        // A display whose target changed meanwhile (a frame's receiver may reconfigure) is left
        // to the whole composition a new target gets.
        const auto now = canvasFor(d.displayID);
        if (!now || now->bytes != d.canvas.bytes || now->width != d.canvas.width ||
            now->height != d.canvas.height || now->bytesPerRow != d.canvas.bytesPerRow)
            continue;
        const ComposeTarget* target = composeTargetOf(d.displayID);
        const bool inMemfd = target && target->memfd() >= 0;
        if (inMemfd) m_compositions.begin(d.displayID);
        Region region;
        for (const cg::CGRect& r : d.pixelRects)
            region.add(int32_t(r.origin.x), int32_t(r.origin.y), int32_t(r.origin.x + r.size.width),
                       int32_t(r.origin.y + r.size.height));
        copyStaleRegion(
            m_composePool,
            PixelPlane{d.surface->baseAddress(), d.canvas.width, d.canvas.height, d.surface->bytesPerRow()},
            PixelPlane{d.canvas.bytes, d.canvas.width, d.canvas.height, d.canvas.bytesPerRow}, region.get(),
            PIXMAN_a8r8g8b8);
        if (inMemfd)
            m_compositions.end(d.displayID, d.whole, d.canvas.width, d.canvas.height, d.canvas.bytesPerRow,
                               target->memfdOffset());
    }
}

// At a vertical blank: surfaces given back are poisoned (when asked), then every stream with
// changes whose minimum frame time has passed gets a frame in a surface nobody uses.
void WindowServer::serviceStreams() {
    if (m_streams.empty()) return;
    const int64_t now = platform::now().time_since_epoch().count();
    std::vector<std::pair<std::shared_ptr<Stream>, StreamEvent>> events;
    for (auto& [id, stream] : m_streams) {
        Stream& s = *stream;
        if (m_poison) {
            for (auto& p : s.pool) {
                if (!p->poisonDue || p->surface->header().useCount.load() != 0) continue;
                auto* base = p->surface->baseAddress();
                for (uint32_t y = 0; y < s.height; ++y)
                    std::fill_n(reinterpret_cast<uint32_t*>(base + size_t(y) * p->surface->bytesPerRow()),
                                s.width, kPoison);
                p->surface->header().seed.fetch_add(1);
                p->stale.add(0, 0, int32_t(s.width), int32_t(s.height));
                p->poisonDue = false;
            }
        }
        const std::optional<size_t> direct = std::exchange(s.direct, std::nullopt);
        if (!s.started || s.blanked || s.dirty.empty()) continue;
        if (!direct && !s.due(now)) {
            ++s.drops;
            continue;
        }
        auto canvas = canvasFor(s.displayID);
        if (!canvas || canvas->width == 0 || canvas->height == 0) continue;
        // The use-count gate: a surface still held is never written.
        const std::optional<size_t> free = direct ? direct : s.freeSurface();
        if (!free) {
            ++s.drops;
            ++m_pixelCounters[s.displayID].streamSkipped;
            continue;
        }
        const size_t index = *free;
        Stream::PoolSurface* chosen = s.pool[index].get();
        iosurface::IOSurface& surface = *chosen->surface;
        if (!direct)
            copyStaleRegion(m_composePool,
                            PixelPlane{canvas->bytes, canvas->width, canvas->height, canvas->bytesPerRow},
                            PixelPlane{surface.baseAddress(), s.width, s.height, surface.bytesPerRow()},
                            chosen->stale.get());
        chosen->stale.clear();
        surface.header().seed.fetch_add(1);
        surface.header().useCount.store(1);
        chosen->poisonDue = true;

        StreamEvent e;
        e.status = 0;
        e.displayTime = uint64_t(now);
        e.surface = int32_t(index);
        e.rects = s.dirty.rects(kMaxStreamRects);
        e.dropCount = s.drops;
        s.dirty.clear();
        s.drops = 0;
        s.lastDelivered = now;
        s.next = index + 1;
        ++m_pixelCounters[s.displayID].streamFrames;
        events.emplace_back(stream, std::move(e));
    }
    for (auto& [stream, e] : events)
        stream->sink(e);
}

bool WindowServer::streamsPending() const {
    for (auto& [id, s] : m_streams) {
        if (s->started && !s->blanked && !s->dirty.empty()) return true;
        if (m_poison)
            for (auto& p : s->pool)
                if (p->poisonDue) return true;
    }
    return false;
}

// The display went: each of its streams hears so once, then nothing more.
void WindowServer::blankStreamsOf(uint32_t displayID) {
    // Collected first: a sink may end its stream (and so change the table) while it is told.
    std::vector<std::shared_ptr<Stream>> blanked;
    for (auto& [id, stream] : m_streams) {
        if (stream->displayID != displayID || stream->blanked) continue;
        stream->blanked = true;
        blanked.push_back(stream);
    }
    StreamEvent e;
    e.status = 2;
    e.displayTime = uint64_t(platform::now().time_since_epoch().count());
    for (auto& stream : blanked)
        stream->sink(e);
}

// A dead connection's streams end, their use counts cleared.
void WindowServer::dropStreamsOf(uint32_t cid) {
    for (auto it = m_streams.begin(); it != m_streams.end();) {
        if (it->second->ownerCid != cid) {
            ++it;
            continue;
        }
        for (auto& p : it->second->pool)
            p->surface->header().useCount.store(0);
        it = m_streams.erase(it);
    }
}

void WindowServer::streamRequest(Client& client, std::string_view op, const cf::Value& args, Reply& reply) {
    auto refuse = [&](const std::string& why) {
        platform::log("windowserver: refusing %@ of pid %d: %@", op, client.identity.pid, why);
        reply(std::nullopt, std::string(op) + ": " + why);
    };
    if (op == op::poison) {
        const cf::Value* on = args.find("on");
        if (!on || !on->isBoolean()) return refuse("\"on\" is not a boolean");
        m_poison = on->boolValue();
        if (m_poison) scheduleTick();
        return reply(cf::Dictionary{{"status", kCGErrorSuccess}}, "");
    }
    const cf::Value* v = args.find("stream");
    auto id = v ? v->storedInteger() : std::nullopt;
    if (!id || *id <= 0) return refuse("\"stream\" is not a stream number");
    const bool ok = op == op::streamStart ? startStream(client.cid, uint64_t(*id))
                                          : stopStream(client.cid, uint64_t(*id));
    reply(cf::Dictionary{{"status", ok ? kCGErrorSuccess : kCGErrorIllegalArgument}}, "");
}

std::optional<WindowServer::FramebufferView> WindowServer::framebufferView(uint32_t displayID) {
    std::optional<FramebufferView> out;
    m_thread.runAndWait([&] {
        auto canvas = canvasFor(displayID);
        if (!canvas) return;
        const ComposeTarget* target = composeTargetOf(displayID);
        if (!target) return;
        FramebufferView view;
        view.bytes = canvas->bytes;
        view.bytesPerRow = canvas->bytesPerRow;
        view.length = size_t(canvas->bytesPerRow) * canvas->height;
        if (int fd = target->memfd(); fd >= 0) {
            view.memfd = ipc::UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
            view.offset = target->memfdOffset();
            view.generation = m_compositions.generation(displayID);
            if (int page = m_compositions.memfd(); page >= 0)
                view.compositions = ipc::UniqueFd(::fcntl(page, F_DUPFD_CLOEXEC, 0));
        }
        out = std::move(view);
    });
    return out;
}

} // namespace windowserver
