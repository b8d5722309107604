// The window server's pixels: each display's desktop composed at its vertical blank (background,
// then the on-screen windows back to front, never the cursor), test windows drawn by hooks, and
// display images as sealed memfd snapshots.
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/DisplayImageClient.h"
#include "platform/coregraphics/DisplayStreamClient.h"
#include "platform/windowserver/PixelProvider.h"
#include "platform/windowserver/WindowServerInternal.h"

#include <pixman.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace windowserver {

namespace {

constexpr uint32_t kDesktopColor = 0xFF3A6EA5; // X byte 0xFF
constexpr uint32_t kMaxTestSide = 16384;

// r (global points) on a display: its pixels, rounded outward and clipped.
std::optional<pixman_box32_t> pixelBox(const cg::CGRect& r, const cg::CGRect& bounds, double scale,
                                       uint32_t w, uint32_t h) {
    double x0 = std::floor((r.origin.x - bounds.origin.x) * scale);
    double y0 = std::floor((r.origin.y - bounds.origin.y) * scale);
    double x1 = std::ceil((r.origin.x + r.size.width - bounds.origin.x) * scale);
    double y1 = std::ceil((r.origin.y + r.size.height - bounds.origin.y) * scale);
    if (!std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(x1) || !std::isfinite(y1))
        return std::nullopt;
    x0 = std::max(x0, 0.0), y0 = std::max(y0, 0.0);
    x1 = std::min(x1, double(w)), y1 = std::min(y1, double(h));
    if (x1 <= x0 || y1 <= y0) return std::nullopt;
    return pixman_box32_t{int32_t(x0), int32_t(y0), int32_t(x1), int32_t(y1)};
}

uint32_t blockColour(uint32_t bx, uint32_t by) {
    static constexpr uint32_t kColours[] = {0xFFE53935, 0xFF43A047, 0xFF1E88E5, 0xFFFDD835,
                                            0xFF8E24AA, 0xFF00ACC1, 0xFFFFFFFF, 0xFF212121};
    return kColours[(bx * 3 + by * 5) % 8];
}

// The box's rows into the memfd, each followed by its zero padding to bytesPerRow. Written, not
// mapped and copied: the memory is then allocated without faulting and zeroing every page first.
bool writeRows(int fd, const uint8_t* bytes, size_t sourceBytesPerRow, const pixman_box32_t& box,
               size_t bytesPerRow) {
    static const uint8_t kZeros[256] = {};
    const size_t rowBytes = size_t(box.x2 - box.x1) * 4, pad = bytesPerRow - rowBytes;
    if (pad > sizeof(kZeros)) return false;
    const size_t rows = size_t(box.y2 - box.y1);
    constexpr size_t kRowsPerCall = 256; // two vectors a row, within IOV_MAX
    std::vector<iovec> vectors;
    for (size_t first = 0; first < rows; first += kRowsPerCall) {
        const size_t count = std::min(kRowsPerCall, rows - first);
        vectors.clear();
        for (size_t y = first; y < first + count; ++y) {
            vectors.push_back(
                {const_cast<uint8_t*>(bytes) + (size_t(box.y1) + y) * sourceBytesPerRow + size_t(box.x1) * 4,
                 rowBytes});
            if (pad) vectors.push_back({const_cast<uint8_t*>(kZeros), pad});
        }
        size_t expected = count * bytesPerRow;
        off_t offset = off_t(first * bytesPerRow);
        size_t done = 0;
        // Short writes resume where they stopped.
        size_t index = 0;
        while (done < expected) {
            ssize_t n =
                ::pwritev(fd, vectors.data() + index, int(std::min<size_t>(vectors.size() - index, IOV_MAX)),
                          offset + off_t(done));
            if (n <= 0) return false;
            done += size_t(n);
            size_t left = size_t(n);
            while (index < vectors.size() && left >= vectors[index].iov_len)
                left -= vectors[index++].iov_len;
            if (left) {
                vectors[index].iov_base = static_cast<uint8_t*>(vectors[index].iov_base) + left;
                vectors[index].iov_len -= left;
            }
        }
    }
    return true;
}

} // namespace

std::optional<WindowServer::Canvas> WindowServer::canvasFor(uint32_t displayID) {
    auto record = recordFor(displayID, false);
    if (!record) return std::nullopt;
    Canvas canvas;
    canvas.bounds = record->bounds;
    if (displayID == kMainDisplayID) {
        uint32_t w = m_mainCurrent.driver.width, h = m_mainCurrent.driver.height;
        if (w != m_mainTargetWidth || h != m_mainTargetHeight || !m_mainTarget.isSet()) {
            if (!m_mainTarget.set({}, uint64_t(w) * 4, h)) return std::nullopt;
            m_mainTargetWidth = w, m_mainTargetHeight = h;
            composeWhole(displayID);
        }
        canvas.bytes = m_mainTarget.bytes();
        canvas.bytesPerRow = m_mainTarget.bytesPerRow();
        canvas.width = w, canvas.height = h;
        canvas.scale = m_mainCurrent.scale;
        return canvas;
    }
    auto slot = onlineSlot(displayID);
    if (!slot || !slot->target.isSet()) return std::nullopt;
    canvas.bytes = slot->target.bytes();
    canvas.bytesPerRow = slot->target.bytesPerRow();
    canvas.width = slot->current.width, canvas.height = slot->current.height;
    canvas.scale = slot->scale;
    if (!canvas.bytes || canvas.bytesPerRow < uint64_t(canvas.width) * 4) return std::nullopt;
    return canvas;
}

const ComposeTarget* WindowServer::composeTargetOf(uint32_t displayID) {
    if (displayID == kMainDisplayID) return &m_mainTarget;
    auto slot = onlineSlot(displayID);
    return slot ? &slot->target : nullptr;
}

void WindowServer::composeWhole(uint32_t displayID) {
    m_composeWhole.insert(displayID);
    m_compositions.invalidate(displayID);
}

void WindowServer::composeCounted(uint32_t displayID, const Canvas& canvas,
                                  const std::vector<cg::CGRect>& pixelRects,
                                  const std::vector<const Window*>& frontToBack, bool whole) {
    const ComposeTarget* target = composeTargetOf(displayID);
    const bool inMemfd = target && target->memfd() >= 0;
    if (inMemfd) m_compositions.begin(displayID);
    compose(canvas, pixelRects, frontToBack);
    if (inMemfd)
        m_compositions.end(displayID, whole, canvas.width, canvas.height, canvas.bytesPerRow,
                           target->memfdOffset());
}

// Composes what the damage (global points) touches on every online display, and the whole of
// displays new or in a new mode. Displays are composed side by side, all done before their
// streams learn what changed.
void WindowServer::composeDamaged(const std::vector<cg::CGRect>& damage) {
    if (damage.empty() && m_composeWhole.empty()) return;
    struct Job {
        uint32_t id = 0;
        Canvas canvas;
        std::vector<cg::CGRect> pixelRects;
        bool whole = false;
        std::optional<Canvas> direct; // a stream's surface written instead of the display
    };
    std::vector<Job> jobs;
    for (uint32_t id : onlineIDs()) {
        auto canvas = canvasFor(id);
        if (!canvas) continue;
        std::vector<cg::CGRect> rects;
        const bool whole = m_composeWhole.erase(id) > 0;
        if (whole) {
            rects.push_back(canvas->bounds);
        } else {
            rects = damage;
        }
        std::vector<cg::CGRect> pixelRects;
        for (auto& r : rects)
            if (auto box = pixelBox(r, canvas->bounds, canvas->scale, canvas->width, canvas->height))
                pixelRects.push_back(cg::CGRectMake(box->x1, box->y1, box->x2 - box->x1, box->y2 - box->y1));
        if (!pixelRects.empty()) jobs.push_back({id, *canvas, std::move(pixelRects), whole, std::nullopt});
    }
    m_composeWhole.clear();
    if (jobs.empty()) return;
    for (Job& job : jobs)
        job.direct = claimStreamSurface(job.id, job.canvas, job.pixelRects, job.whole);
    const auto ordered = windowsInOrder();
    std::vector<ComposePool::Task> tasks;
    for (const Job& job : jobs)
        tasks.push_back([this, &job, &ordered] {
            if (job.direct)
                compose(*job.direct, job.pixelRects, ordered);
            else
                composeCounted(job.id, job.canvas, job.pixelRects, ordered, job.whole);
        });
    m_composePool.run(tasks);
    const int64_t composedAt = platform::now().time_since_epoch().count();
    for (const Job& job : jobs) {
        streamsComposed(job.id, job.canvas, job.pixelRects);
        auto& counters = m_pixelCounters[job.id];
        ++counters.compositions;
        counters.composedAt = composedAt;
    }
}

// Background, then the windows back to front. Pixels under an opaque window are neither filled
// nor drawn by what lies behind it, and opaque windows are copied rather than blended: the result
// is the same, at a fraction of the memory traffic.
void WindowServer::compose(const Canvas& canvas, const std::vector<cg::CGRect>& pixelRects,
                           const std::vector<const Window*>& frontToBack) {
    std::vector<pixman_box32_t> boxes;
    for (auto& r : pixelRects)
        boxes.push_back({int32_t(r.origin.x), int32_t(r.origin.y), int32_t(r.origin.x + r.size.width),
                         int32_t(r.origin.y + r.size.height)});
    pixman_region32_t uncovered;
    pixman_region32_init_rects(&uncovered, boxes.data(), int(boxes.size()));
    pixman_image_t* dest =
        pixman_image_create_bits(PIXMAN_a8r8g8b8, int(canvas.width), int(canvas.height),
                                 reinterpret_cast<uint32_t*>(canvas.bytes), int(canvas.bytesPerRow));

    // One window's part of the composition.
    struct Layer {
        const Window* window = nullptr;
        pixman_region32_t visible; // the composed pixels no opaque window in front of it covers
        bool opaque = false;       // drawn by copying: it hides whatever lies behind it
        int32_t x = 0, y = 0, width = 0, height = 0;
    };
    std::vector<Layer> layers;
    for (const Window* w : frontToBack) {
        if (!pixman_region32_not_empty(&uncovered)) break; // everything further back is hidden
        if (!w->onScreen || w->pixels.empty() || w->alpha <= 0) continue;
        double dx = std::round((w->frame.origin.x - canvas.bounds.origin.x) * canvas.scale);
        double dy = std::round((w->frame.origin.y - canvas.bounds.origin.y) * canvas.scale);
        double dw = std::round(w->frame.size.width * canvas.scale),
               dh = std::round(w->frame.size.height * canvas.scale);
        if (!(std::fabs(dx) < 1e7 && std::fabs(dy) < 1e7 && dw < 1e7 && dh < 1e7)) continue;
        Layer layer;
        layer.window = w;
        layer.x = int32_t(dx), layer.y = int32_t(dy), layer.width = int32_t(dw), layer.height = int32_t(dh);
        pixman_region32_init(&layer.visible);
        pixman_region32_intersect_rect(&layer.visible, &uncovered, layer.x, layer.y,
                                       uint32_t(std::max(layer.width, 0)),
                                       uint32_t(std::max(layer.height, 0)));
        // At the display's own scale and alpha, an opaque window's pixels replace what was there;
        // beyond its pixels (a frame larger than them) nothing is drawn.
        layer.opaque = w->opaque && w->alpha >= 1.0 && w->pixelScale == canvas.scale;
        if (layer.opaque) {
            layer.width = std::min(layer.width, int32_t(w->pixelsWide));
            layer.height = std::min(layer.height, int32_t(w->pixelsHigh));
            if (layer.width > 0 && layer.height > 0) {
                pixman_region32_t covered;
                pixman_region32_init_rect(&covered, layer.x, layer.y, uint32_t(layer.width),
                                          uint32_t(layer.height));
                pixman_region32_intersect(&layer.visible, &layer.visible, &covered);
                pixman_region32_subtract(&uncovered, &uncovered, &covered);
                pixman_region32_fini(&covered);
            }
        }
        layers.push_back(layer);
    }

    pixman_color_t background{uint16_t(((kDesktopColor >> 16) & 0xFF) * 0x101),
                              uint16_t(((kDesktopColor >> 8) & 0xFF) * 0x101),
                              uint16_t((kDesktopColor & 0xFF) * 0x101), 0xFFFF};
    int n = 0;
    const pixman_box32_t* rects = pixman_region32_rectangles(&uncovered, &n);
    if (n > 0) pixman_image_fill_boxes(PIXMAN_OP_SRC, dest, &background, n, rects);

    for (auto it = layers.rbegin(); it != layers.rend(); ++it) {
        Layer& layer = *it;
        const Window& w = *layer.window;
        if (pixman_region32_not_empty(&layer.visible)) {
            pixman_image_set_clip_region32(dest, &layer.visible);
            pixman_image_t* src =
                pixman_image_create_bits(PIXMAN_a8r8g8b8, int(w.pixelsWide), int(w.pixelsHigh),
                                         const_cast<uint32_t*>(w.pixels.data()), int(w.pixelsWide * 4));
            // Differing scales map by nearest neighbour.
            double ratio = w.pixelScale / canvas.scale;
            if (ratio != 1.0) {
                pixman_transform_t t;
                pixman_transform_init_scale(&t, pixman_double_to_fixed(ratio), pixman_double_to_fixed(ratio));
                pixman_image_set_transform(src, &t);
                pixman_image_set_filter(src, PIXMAN_FILTER_NEAREST, nullptr, 0);
            }
            pixman_image_t* mask = nullptr;
            if (w.alpha < 1.0) {
                pixman_color_t a{0, 0, 0, uint16_t(std::lround(w.alpha * 0xFFFF))};
                mask = pixman_image_create_solid_fill(&a);
            }
            pixman_image_composite32(layer.opaque ? PIXMAN_OP_SRC : PIXMAN_OP_OVER, src, mask, dest, 0, 0, 0,
                                     0, layer.x, layer.y, layer.width, layer.height);
            if (mask) pixman_image_unref(mask);
            pixman_image_unref(src);
        }
        pixman_region32_fini(&layer.visible);
    }
    pixman_image_unref(dest);
    pixman_region32_fini(&uncovered);
}

WindowServer::Window* WindowServer::testWindow(uint32_t ownerCid, const std::string& name) {
    for (auto& [number, w] : m_windows)
        if (w->test && w->ownerCid == ownerCid && w->title == name) return w.get();
    return nullptr;
}

std::optional<std::string> WindowServer::drawTestWindow(Client& client, bool hook, const std::string& name,
                                                        int32_t level, cg::CGRect frame,
                                                        const std::string& pattern, int64_t value,
                                                        const cf::Bytes* pixels, uint32_t* number) {
    if (!std::isfinite(frame.origin.x) || !std::isfinite(frame.origin.y) ||
        !std::isfinite(frame.size.width) || !std::isfinite(frame.size.height) || frame.size.width <= 0 ||
        frame.size.height <= 0)
        return std::string("the rectangle is empty, negative or not finite");
    // The scale of the display holding the frame's origin, else 1.
    double scale = 1.0;
    cg::CGPoint displayOrigin = cg::CGPointMake(0, 0);
    bool onDisplay = false;
    for (auto& [id, bounds] : boundsByDisplay()) {
        if (cg::CGRectIntersectsRect(bounds, frame)) onDisplay = true;
        if (cg::CGRectContainsPoint(bounds, frame.origin)) {
            if (auto d = recordFor(id, false)) scale = d->scale;
            displayOrigin = bounds.origin;
        }
    }
    if (!onDisplay) return std::string("the rectangle lies on no display");
    double pw = std::ceil(frame.size.width * scale), ph = std::ceil(frame.size.height * scale);
    if (pw > kMaxTestSide || ph > kMaxTestSide) return std::string("the rectangle is too large");
    if (pattern == "blocks" && value == 0) return std::string("blocks need a size of at least 1");
    if (pattern == "pixels") {
        if (!pixels) return std::string("no pixels given");
        if (pixels->size() != size_t(pw) * size_t(ph) * 4)
            return platform::format("the pixels are not %u x %u BGRA", uint32_t(pw), uint32_t(ph));
        for (size_t i = 0; i < pixels->size(); i += 4)
            if ((*pixels)[i] > (*pixels)[i + 3] || (*pixels)[i + 1] > (*pixels)[i + 3] ||
                (*pixels)[i + 2] > (*pixels)[i + 3])
                return std::string("the pixels are not premultiplied");
    } else if (pattern != "solid" && pattern != "blocks" && pattern != "photo")
        return "unknown pattern " + pattern.substr(0, 16);

    uint32_t ownerCid = hook ? 0 : client.cid;
    Window* window = testWindow(ownerCid, name);
    if (!window) {
        auto fresh = std::make_unique<Window>();
        fresh->number = m_nextWindow++;
        fresh->ownerCid = ownerCid;
        fresh->ownerPID = client.identity.pid;
        fresh->ownerName = client.identity.name;
        fresh->title = name;
        fresh->test = true;
        fresh->onScreen = true;
        fresh->ignoresMouse = true;
        window = fresh.get();
        m_windows[fresh->number] = std::move(fresh);
    } else {
        addDamage(window->frame);
    }
    window->level = level;
    window->order = ++m_orderStamp;
    window->frame = frame;
    window->pixelScale = scale;
    window->pixelsWide = uint32_t(pw), window->pixelsHigh = uint32_t(ph);
    window->pixels.assign(size_t(pw) * size_t(ph), 0);
    uint32_t wide = window->pixelsWide;
    // Blocks sit on the display's own pixel grid, whatever the window's or the display's origin.
    int64_t gx = int64_t(std::round((frame.origin.x - displayOrigin.x) * scale));
    int64_t gy = int64_t(std::round((frame.origin.y - displayOrigin.y) * scale));
    uint32_t seed = uint32_t(value);
    for (uint32_t y = 0; y < window->pixelsHigh; ++y) {
        for (uint32_t x = 0; x < wide; ++x) {
            uint32_t& px = window->pixels[size_t(y) * wide + x];
            if (pattern == "pixels") {
                std::memcpy(&px, pixels->data() + (size_t(y) * wide + x) * 4, 4);
            } else if (pattern == "solid") {
                px = 0xFF000000u | uint32_t(value);
            } else if (pattern == "blocks") {
                px = blockColour(uint32_t((gx + x) / value), uint32_t((gy + y) / value));
            } else {
                seed = seed * 1664525u + 1013904223u;
                int noise = int((seed >> 24) % 33) - 16;
                auto c = [&](int v) { return uint32_t(std::clamp(v + noise, 0, 255)); };
                int r = int(x * 255 / std::max(1u, wide)),
                    g = int(y * 255 / std::max(1u, window->pixelsHigh));
                px = 0xFF000000u | (c(r) << 16) | (c(g) << 8) | c((r + g) / 2);
            }
        }
    }
    window->opaque = std::all_of(window->pixels.begin(), window->pixels.end(),
                                 [](uint32_t px) { return (px >> 24) == 0xFF; });
    addDamage(frame);
    *number = window->number;
    return std::nullopt;
}

void WindowServer::eraseTestWindows(uint32_t ownerCid, const std::string* name) {
    std::vector<uint32_t> gone;
    for (auto& [number, w] : m_windows)
        if (w->test && w->ownerCid == ownerCid && (!name || w->title == *name)) gone.push_back(number);
    for (uint32_t number : gone) {
        addDamage(m_windows[number]->frame);
        m_windows.erase(number);
    }
}

std::optional<DisplaySnapshot> WindowServer::snapshotDisplay(uint32_t displayID, const cg::CGRect* rect) {
    std::optional<DisplaySnapshot> snapshot;
    m_thread.runAndWait([&] {
        auto canvas = canvasFor(displayID);
        if (!canvas) return;
        // A display not yet composed is composed whole first.
        if (m_composeWhole.count(displayID)) {
            m_composeWhole.erase(displayID);
            composeCounted(displayID, *canvas, {cg::CGRectMake(0, 0, canvas->width, canvas->height)},
                           windowsInOrder(), true);
            streamsComposed(displayID, *canvas, {cg::CGRectMake(0, 0, canvas->width, canvas->height)});
        }
        pixman_box32_t box{0, 0, int32_t(canvas->width), int32_t(canvas->height)};
        if (rect) {
            cg::CGRect global = cg::CGRectOffset(*rect, canvas->bounds.origin.x, canvas->bounds.origin.y);
            auto b = pixelBox(global, canvas->bounds, canvas->scale, canvas->width, canvas->height);
            if (!b) return;
            box = *b;
        }
        size_t w = size_t(box.x2 - box.x1), h = size_t(box.y2 - box.y1);
        // Always padded, so that code assuming packed rows shows itself.
        size_t bytesPerRow = (w * 4 + 63) / 64 * 64 + 64;
        size_t length = bytesPerRow * h;
        int fd = ::memfd_create("display-image", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        if (fd < 0 || ::ftruncate(fd, off_t(length)) != 0 ||
            !writeRows(fd, canvas->bytes, canvas->bytesPerRow, box, bytesPerRow)) {
            if (fd >= 0) ::close(fd);
            platform::log("windowserver: no memory for an image of display %u", displayID);
            return;
        }
        if (::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
            ::close(fd);
            return;
        }
        ++m_pixelCounters[displayID].grabs;
        snapshot = DisplaySnapshot{ipc::UniqueFd(fd), uint32_t(w), uint32_t(h), bytesPerRow};
    });
    return snapshot;
}

cg::CGImageRef WindowServer::displayImage(uint32_t displayID, const cg::CGRect* rect) {
    auto snapshot = snapshotDisplay(displayID, rect);
    if (!snapshot) return nullptr;
    return cg::CGImageCreateWithSealedMemory(snapshot->fd.get(), snapshot->width, snapshot->height,
                                             snapshot->bytesPerRow);
}

std::optional<cf::Value> WindowServer::countersOf(uint32_t displayID) {
    auto record = recordFor(displayID, false);
    if (!record) return std::nullopt;
    const PixelCounters& c = m_pixelCounters[displayID];
    return cf::Value(cf::Dictionary{{"status", 0},
                                    {"vblanks", int64_t(record->vblankCount)},
                                    {"compositions", int64_t(c.compositions)},
                                    {"grabs", int64_t(c.grabs)},
                                    {"streamFrames", int64_t(c.streamFrames)},
                                    {"streamSkipped", int64_t(c.streamSkipped)},
                                    {"composedAt", c.composedAt}});
}

std::optional<WindowServer::PixelCounters> WindowServer::pixelCounters(uint32_t displayID) {
    std::optional<PixelCounters> out;
    m_thread.runAndWait([&] {
        auto record = recordFor(displayID, false);
        if (!record) return;
        out = m_pixelCounters[displayID];
    });
    return out;
}

} // namespace windowserver

namespace windowserver {

namespace {

class InProcessPixelProvider : public cg::DisplayPixelProvider,
                               public std::enable_shared_from_this<InProcessPixelProvider> {
  public:
    explicit InProcessPixelProvider(WindowServer& server) : m_server(server) {}
    cg::CGImageRef createImage(cg::CGDirectDisplayID display, const cg::CGRect* rect) override {
        return m_server.displayImage(display, rect);
    }
    const void* baseAddress(cg::CGDirectDisplayID display, size_t* bytesPerRow) override {
        if (bytesPerRow) *bytesPerRow = 0;
        auto view = m_server.framebufferView(display);
        if (!view || !view->bytes) return nullptr;
        if (bytesPerRow) *bytesPerRow = view->bytesPerRow;
        return view->bytes;
    }
    cg::CGDisplayStreamRef createStream(cg::CGDirectDisplayID display, size_t width, size_t height,
                                        uint32_t format, const cg::CGDisplayStreamProperties& properties,
                                        const dispatch::dispatch_queue_t& queue,
                                        cg::CGDisplayStreamFrameAvailableHandler handler) override {
        uint32_t cid = connection();
        if (!cid) return nullptr;
        // The stream is made before it exists here; its events begin only once it is started.
        auto slot = std::make_shared<std::weak_ptr<cg::DisplayStreamClient>>();
        auto pool = m_server.createStream(
            cid,
            cf::Dictionary{{"display", int64_t(display)},
                           {"width", int64_t(width)},
                           {"height", int64_t(height)},
                           {"format", int64_t(format)},
                           {"minimumFrameTime", properties.minimumFrameTime},
                           {"queueDepth", int64_t(properties.queueDepth)},
                           {"showCursor", properties.showCursor}},
            [slot](const WindowServer::StreamEvent& e) {
                if (auto stream = slot->lock())
                    stream->deliver(e.status, e.displayTime, e.surface, e.rects, e.dropCount);
            },
            nullptr);
        if (!pool) return nullptr;
        std::vector<int> fds;
        for (auto& fd : pool->surfaces)
            fds.push_back(fd.get());
        auto surfaces = cg::mapStreamPool(fds, width, height);
        const uint64_t id = pool->stream;
        // A stream released after the kernel shut down finds no window server to stop it.
        std::weak_ptr<InProcessPixelProvider> weak = weak_from_this();
        auto control = [weak, cid, id](bool start) {
            auto self = weak.lock();
            if (!self) return cg::kCGErrorInvalidConnection;
            bool ok = start ? self->m_server.startStream(cid, id) : self->m_server.stopStream(cid, id);
            return ok ? cg::kCGErrorSuccess : cg::kCGErrorIllegalArgument;
        };
        if (surfaces.empty()) {
            control(false);
            return nullptr;
        }
        auto stream = std::make_shared<cg::DisplayStreamClient>(id, std::move(surfaces), queue,
                                                                std::move(handler), control);
        *slot = stream;
        return stream;
    }

  private:
    // This process's own connection to the window server, made on first need.
    uint32_t connection() {
        std::lock_guard lock(m_mutex);
        if (!m_cid) m_cid = m_server.connect({int32_t(::getpid()), "in-process streams", ""}, nullptr);
        return m_cid;
    }

    WindowServer& m_server;
    std::mutex m_mutex;
    uint32_t m_cid = 0;
};

} // namespace

std::shared_ptr<cg::DisplayPixelProvider> makePixelProvider(WindowServer& server) {
    return std::make_shared<InProcessPixelProvider>(server);
}

} // namespace windowserver
