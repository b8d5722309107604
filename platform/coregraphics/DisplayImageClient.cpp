#include "platform/coregraphics/DisplayImageClient.h"

#include "platform/coregraphics/DisplayStreamClient.h"

#include "platform/core/Log.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/SharedPage.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace cg {

CGImageRef CGImageCreateWithSealedMemory(int fd, size_t width, size_t height, size_t bytesPerRow) {
    if (width == 0 || height == 0 || width > 16384 || height > 16384 || bytesPerRow < width * 4 ||
        bytesPerRow > width * 4 + 4096) {
        platform::log("coregraphics: refusing a display image of %zu x %zu, %zu bytes a row", width, height,
                      bytesPerRow);
        return nullptr;
    }
    struct stat st {};
    int seals = ::fcntl(fd, F_GET_SEALS);
    if (::fstat(fd, &st) != 0 || st.st_size < 0 || size_t(st.st_size) / bytesPerRow < height) {
        platform::log("coregraphics: a display image's memory is shorter than its %zu x %zu pixels", width,
                      height);
        return nullptr;
    }
    if (seals < 0 || !(seals & F_SEAL_WRITE) || !(seals & F_SEAL_SHRINK)) {
        platform::log("coregraphics: a display image's memory is not sealed");
        return nullptr;
    }
    size_t length = bytesPerRow * height;
    void* map = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) return nullptr;
    std::shared_ptr<const uint8_t> bytes(static_cast<const uint8_t*>(map), [length](const uint8_t* p) {
        ::munmap(const_cast<uint8_t*>(p), length);
    });
    return CGImageCreateWithBytes(width, height, bytesPerRow, std::move(bytes));
}

namespace {

// Every display image has this many bytes a row: padded, so code assuming packed rows shows.
size_t paddedBytesPerRow(size_t width) {
    return (width * 4 + 63) / 64 * 64 + 64;
}

// Pictures' memory, given back when their images go and handed out again: a display image is
// megabytes, and fresh memory costs a page fault a page and its return unmapping.
class PictureMemory {
  public:
    static PictureMemory& shared() {
        static auto* memory = new PictureMemory; // images may outlive everything else at exit
        return *memory;
    }
    // Zero-filled the first time; later the same rows again with their padding still zero.
    std::shared_ptr<uint8_t> take(size_t length) {
        uint8_t* bytes = nullptr;
        {
            std::lock_guard lock(m_lock);
            auto found =
                std::find_if(m_free.begin(), m_free.end(), [&](auto& f) { return f.first == length; });
            if (found != m_free.end()) {
                bytes = found->second;
                m_free.erase(found);
            }
        }
        if (!bytes) bytes = new (std::nothrow) uint8_t[length]();
        if (!bytes) return nullptr;
        return std::shared_ptr<uint8_t>(bytes, [this, length](uint8_t* b) { giveBack(b, length); });
    }

  private:
    static constexpr size_t kKept = 8; // four displays with two pictures each
    void giveBack(uint8_t* bytes, size_t length) {
        {
            std::lock_guard lock(m_lock);
            if (m_free.size() < kKept) {
                m_free.emplace_back(length, bytes);
                return;
            }
        }
        delete[] bytes;
    }
    std::mutex m_lock;
    std::vector<std::pair<size_t, uint8_t*>> m_free;
};

} // namespace

CGImageRef CGImageCreateFromComposedPixels(const windowserver::CompositionEntry& entry, uint64_t generation,
                                           const uint8_t* mapping, uint64_t mappingOffset,
                                           size_t mappingLength, bool* stale) {
    if (stale) *stale = false;
    if (!mapping) return nullptr;
    // A composition under way is waited out (a few milliseconds); a copy one tore is taken again.
    constexpr int kAttempts = 4;
    constexpr int kWaits = 20000; // yields, far longer than any composition
    int waits = 0;
    for (int attempt = 0; attempt < kAttempts;) {
        const uint32_t before = entry.sequence.load(std::memory_order_acquire);
        if (before & 1) {
            if (++waits > kWaits) return nullptr;
            std::this_thread::yield();
            continue;
        }
        ++attempt;
        if (entry.generation.load(std::memory_order_relaxed) != generation) {
            if (stale) *stale = true;
            return nullptr;
        }
        if (entry.composed.load(std::memory_order_relaxed) != 1) return nullptr;
        const uint64_t width = entry.width.load(std::memory_order_relaxed),
                       height = entry.height.load(std::memory_order_relaxed),
                       pitch = entry.bytesPerRow.load(std::memory_order_relaxed),
                       offset = entry.offset.load(std::memory_order_relaxed);
        if (width == 0 || height == 0 || width > 16384 || height > 16384 || pitch < width * 4 ||
            pitch > width * 4 + 4096 || offset != mappingOffset || height * pitch > mappingLength) {
            // Read while it changed, or not this mapping's picture at all.
            if (entry.sequence.load(std::memory_order_acquire) != before) continue;
            platform::log("coregraphics: a display's composition entry does not fit its framebuffer");
            return nullptr;
        }
        const size_t bytesPerRow = paddedBytesPerRow(size_t(width));
        std::shared_ptr<uint8_t> bytes = PictureMemory::shared().take(bytesPerRow * size_t(height));
        if (!bytes) return nullptr;
        for (uint64_t y = 0; y < height; ++y)
            std::memcpy(bytes.get() + y * bytesPerRow, mapping + y * pitch, size_t(width) * 4);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (entry.sequence.load(std::memory_order_relaxed) != before) continue; // torn
        return CGImageCreateWithBytes(size_t(width), size_t(height), bytesPerRow,
                                      std::shared_ptr<const uint8_t>(bytes, bytes.get()));
    }
    return nullptr;
}

namespace {

class SocketProvider : public DisplayPixelProvider {
  public:
    CGImageRef createImage(CGDirectDisplayID display, const CGRect* rect) override {
        // The whole display is copied here from its framebuffer when the window server counts
        // its compositions; else (and for a rectangle) the window server makes the picture.
        if (!rect) {
            if (CGImageRef image = copyComposedPixels(display)) return image;
        }
        auto connection = ipc::Connection::shared();
        if (!connection) return nullptr;
        cf::Dictionary args{{"display", int64_t(display)}};
        if (rect) {
            args.emplace("x", rect->origin.x);
            args.emplace("y", rect->origin.y);
            args.emplace("width", rect->size.width);
            args.emplace("height", rect->size.height);
        }
        ipc::Reply reply = connection->request(windowserver::op::displayImage, cf::Value(std::move(args)));
        if (!reply.ok || !reply.result) {
            if (!reply.ok) platform::log("coregraphics: a display image was refused: %@", reply.error);
            return nullptr;
        }
        const cf::Value& r = *reply.result;
        auto number = [&](std::string_view key) -> int64_t {
            const cf::Value* v = r.find(key);
            return v && v->isNumber() && !v->isFloatNumber() ? v->integerValue() : -1;
        };
        if (number("status") != 0) return nullptr;
        int64_t w = number("width"), h = number("height"), bpr = number("bytesPerRow");
        if (reply.fds.size() != 1 || w <= 0 || h <= 0 || bpr <= 0) {
            platform::log("coregraphics: a display image's answer is malformed");
            return nullptr;
        }
        return CGImageCreateWithSealedMemory(reply.fds[0].get(), size_t(w), size_t(h), size_t(bpr));
    }
    const void* baseAddress(CGDirectDisplayID display, size_t* bytesPerRow) override {
        if (bytesPerRow) *bytesPerRow = 0;
        auto mapping = mapFramebuffer(display);
        if (!mapping) return nullptr;
        if (bytesPerRow) *bytesPerRow = size_t(mapping->pitch);
        return mapping->bytes;
    }

    CGDisplayStreamRef createStream(CGDirectDisplayID display, size_t width, size_t height, uint32_t format,
                                    const CGDisplayStreamProperties& properties,
                                    const dispatch::dispatch_queue_t& queue,
                                    CGDisplayStreamFrameAvailableHandler handler) override {
        auto connection = ipc::Connection::shared();
        if (!connection) return nullptr;
        listen(connection);
        ipc::Reply reply = connection->request(
            windowserver::op::streamCreate, cf::Dictionary{{"display", int64_t(display)},
                                                           {"width", int64_t(width)},
                                                           {"height", int64_t(height)},
                                                           {"format", int64_t(format)},
                                                           {"minimumFrameTime", properties.minimumFrameTime},
                                                           {"queueDepth", int64_t(properties.queueDepth)},
                                                           {"showCursor", properties.showCursor}});
        if (!reply.ok || !reply.result) return nullptr;
        const cf::Value* status = reply.result->find("status");
        const cf::Value* number = reply.result->find("stream");
        const int64_t id = number ? number->storedInteger().value_or(0) : 0;
        if (!status || status->storedInteger() != 0 || id <= 0 || reply.fds.empty() || reply.fds.size() > 8) {
            if (status && status->storedInteger() == 0)
                platform::log("coregraphics: a display stream's answer is malformed");
            return nullptr;
        }
        std::vector<int> fds;
        for (auto& fd : reply.fds)
            fds.push_back(fd.get());
        std::weak_ptr<ipc::Connection> weakConnection = connection;
        const uint64_t stream = uint64_t(id);
        auto control = [weakConnection, stream](bool start) {
            auto c = weakConnection.lock();
            if (!c) return kCGErrorInvalidConnection;
            if (c->isReaderThread()) {
                // The last reference went while an event was handed on: the reader thread
                // never waits for a reply, so the stop goes from elsewhere.
                dispatch::dispatch_async(
                    dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_DEFAULT),
                    [c, stream] {
                        c->request(windowserver::op::streamStop, cf::Dictionary{{"stream", int64_t(stream)}});
                    });
                return kCGErrorSuccess;
            }
            ipc::Reply r = c->request(start ? windowserver::op::streamStart : windowserver::op::streamStop,
                                      cf::Dictionary{{"stream", int64_t(stream)}});
            const cf::Value* s = r.ok && r.result ? r.result->find("status") : nullptr;
            auto code = s ? s->storedInteger() : std::nullopt;
            return code ? CGError(*code) : kCGErrorFailure;
        };
        auto pool = mapStreamPool(fds, width, height);
        if (pool.empty()) {
            control(false);
            return nullptr;
        }
        auto client = std::make_shared<DisplayStreamClient>(stream, std::move(pool), queue,
                                                            std::move(handler), control);
        std::lock_guard lock(m_streamsMutex);
        std::erase_if(m_streams, [](auto& entry) { return entry.second.expired(); });
        m_streams[stream] = client;
        return client;
    }

  private:
    struct Mapping {
        CGDirectDisplayID display;
        dev_t device;
        ino_t inode;
        int64_t offset, length, pitch;
        const uint8_t* bytes;
        // With the composition sequences: the display's entry and its target's generation.
        const windowserver::CompositionEntry* entry = nullptr;
        uint64_t generation = 0;
    };

    // The display's framebuffer, mapped read-only; kept for the process, as callers hold the
    // address as long as they like. A display answering the same memory again gets the same
    // mapping.
    std::optional<Mapping> mapFramebuffer(CGDirectDisplayID display) {
        auto connection = ipc::Connection::shared();
        if (!connection) return std::nullopt;
        {
            std::lock_guard lock(m_mappingsMutex);
            followConnection(connection);
        }
        ipc::Reply reply =
            connection->request(windowserver::op::framebuffer, cf::Dictionary{{"display", int64_t(display)}});
        if (!reply.ok || !reply.result || reply.fds.empty() || reply.fds.size() > 2) return std::nullopt;
        const cf::Value& r = *reply.result;
        auto number = [&](std::string_view key) -> int64_t {
            const cf::Value* v = r.find(key);
            auto n = v ? v->storedInteger() : std::nullopt;
            return n ? *n : -1;
        };
        int64_t pitch = number("bytesPerRow"), length = number("length"), offset = number("offset");
        struct stat st {};
        if (number("status") != 0 || pitch <= 0 || length <= 0 || offset < 0 ||
            ::fstat(reply.fds[0].get(), &st) != 0 ||
            uint64_t(offset) + uint64_t(length) > uint64_t(st.st_size)) {
            platform::log("coregraphics: a display's framebuffer answer is malformed");
            return std::nullopt;
        }
        const int64_t generation = number("generation");
        const windowserver::CompositionEntry* entry = nullptr;
        if (reply.fds.size() == 2 && generation >= 0) entry = compositionEntry(display, reply.fds[1].get());
        std::lock_guard lock(m_mappingsMutex);
        for (auto& m : m_mappings)
            if (m.display == display && m.device == st.st_dev && m.inode == st.st_ino && m.offset == offset &&
                m.length == length && m.pitch == pitch) {
                m.entry = entry;
                m.generation = uint64_t(std::max<int64_t>(generation, 0));
                return m_current[display] = m;
            }
        const long page = ::sysconf(_SC_PAGESIZE);
        const int64_t aligned = offset / page * page;
        void* map = ::mmap(nullptr, size_t(length + offset - aligned), PROT_READ, MAP_SHARED,
                           reply.fds[0].get(), aligned);
        if (map == MAP_FAILED) return std::nullopt;
        const uint8_t* bytes = static_cast<const uint8_t*>(map) + (offset - aligned);
        m_mappings.push_back({display, st.st_dev, st.st_ino, offset, length, pitch, bytes, entry,
                              uint64_t(std::max<int64_t>(generation, 0))});
        return m_current[display] = m_mappings.back();
    }

    // Another platformd (tests boot several in one process) has pages and targets of its own:
    // what the last one answered is forgotten. Under m_mappingsMutex.
    void followConnection(const std::shared_ptr<ipc::Connection>& connection) {
        if (m_copiesConnection.lock() == connection) return;
        m_copiesConnection = connection;
        m_current.clear();
        m_compositions = nullptr; // the old page stays mapped: an entry may still be read
    }

    // The display's entry in the composition sequence page, mapped read-only once for the
    // connection. Refused unless the page is a page sealed against shrinking (no read may fault).
    const windowserver::CompositionEntry* compositionEntry(CGDirectDisplayID display, int fd) {
        auto index = windowserver::compositionIndex(display);
        if (!index) return nullptr;
        std::lock_guard lock(m_mappingsMutex);
        if (!m_compositions) {
            const void* map =
                ipc::mapSharedPage(fd, windowserver::kCompositionPageBytes, "composition sequence page");
            if (!map) return nullptr;
            m_compositions = static_cast<const windowserver::CompositionEntry*>(map);
        }
        return &m_compositions[*index];
    }

    // The whole display copied from its framebuffer; null when it cannot be (the window server
    // then makes the picture). A display whose target changed is mapped again once.
    CGImageRef copyComposedPixels(CGDirectDisplayID display) {
        auto connection = ipc::Connection::shared();
        if (!connection) return nullptr;
        std::optional<Mapping> mapping;
        {
            std::lock_guard lock(m_mappingsMutex);
            followConnection(connection);
            auto found = m_current.find(display);
            if (found != m_current.end()) mapping = found->second;
        }
        for (int round = 0; round < 2; ++round) {
            if (!mapping) mapping = mapFramebuffer(display);
            if (!mapping || !mapping->entry) return nullptr; // no sequences: the picture is asked for
            bool stale = false;
            CGImageRef image =
                CGImageCreateFromComposedPixels(*mapping->entry, mapping->generation, mapping->bytes,
                                                uint64_t(mapping->offset), size_t(mapping->length), &stale);
            if (image || !stale) return image;
            mapping.reset();
        }
        return nullptr;
    }

    // Stream events arrive on the connection's reader thread: each is checked and forwarded.
    void listen(const std::shared_ptr<ipc::Connection>& connection) {
        std::lock_guard lock(m_streamsMutex);
        if (m_listening.lock() == connection) return;
        m_listening = connection;
        connection->setEventHandler(windowserver::topic::stream,
                                    [this](ipc::Event& event) { deliver(event.body); });
    }

    void deliver(const cf::Value& body) {
        auto integer = [&](std::string_view key) -> std::optional<int64_t> {
            const cf::Value* v = body.find(key);
            return v ? v->storedInteger() : std::nullopt;
        };
        auto id = integer("stream"), status = integer("status"), time = integer("time"),
             surface = integer("surface"), drops = integer("drops");
        const cf::Value* list = body.find("rects");
        if (!id || !status || !time || !surface || !drops || (list && !list->isArray())) {
            platform::log("coregraphics: refused a malformed display stream push");
            return;
        }
        std::shared_ptr<DisplayStreamClient> stream;
        {
            std::lock_guard lock(m_streamsMutex);
            auto it = m_streams.find(uint64_t(*id));
            if (it != m_streams.end()) stream = it->second.lock();
        }
        if (!stream) return; // released meanwhile
        std::vector<CGRect> rects;
        const size_t count = list ? list->count() : 0;
        if (count > windowserver::kMaxStreamRects) {
            // Still handed on, so the stream refuses it and gives its surface back.
            rects.assign(count, CGRectMake(0, 0, 0, 0));
        } else {
            for (size_t i = 0; i < count; ++i) {
                const cf::Value* r = list->at(i);
                if (!r || !r->isArray() || r->count() != 4) {
                    rects.push_back(CGRectMake(NAN, NAN, NAN, NAN)); // refused below
                    continue;
                }
                rects.push_back(CGRectMake(r->at(0)->doubleValue(), r->at(1)->doubleValue(),
                                           r->at(2)->doubleValue(), r->at(3)->doubleValue()));
            }
        }
        stream->deliver(int32_t(*status), uint64_t(*time), *surface, std::move(rects), uint64_t(*drops));
    }

    std::mutex m_mappingsMutex;
    std::vector<Mapping> m_mappings;
    const windowserver::CompositionEntry* m_compositions = nullptr; // the page, once mapped
    std::map<CGDirectDisplayID, Mapping> m_current;                 // each display's last answer
    std::weak_ptr<ipc::Connection> m_copiesConnection;              // whose answers m_current holds
    std::mutex m_streamsMutex;
    std::weak_ptr<ipc::Connection> m_listening;
    std::map<uint64_t, std::weak_ptr<DisplayStreamClient>> m_streams;
};

} // namespace

std::shared_ptr<DisplayPixelProvider> socketDisplayPixelProvider() {
    // Never destroyed: stream events may arrive while the process exits.
    static auto* provider = new std::shared_ptr<SocketProvider>(std::make_shared<SocketProvider>());
    return *provider;
}

} // namespace cg
