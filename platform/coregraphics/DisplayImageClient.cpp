#include "platform/coregraphics/DisplayImageClient.h"

#include "platform/core/Log.h"
#include "platform/ipc/Connection.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

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

class SocketProvider : public DisplayPixelProvider {
  public:
    CGImageRef createImage(CGDirectDisplayID display, const CGRect* rect) override {
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
    const void* baseAddress(CGDirectDisplayID, size_t* bytesPerRow) override {
        if (bytesPerRow) *bytesPerRow = 0;
        return nullptr;
    }
    CGDisplayStreamRef createStream(CGDirectDisplayID, size_t, size_t, uint32_t,
                                    const CGDisplayStreamProperties&, const dispatch::dispatch_queue_t&,
                                    CGDisplayStreamFrameAvailableHandler) override {
        return nullptr;
    }
};

} // namespace

std::shared_ptr<DisplayPixelProvider> socketDisplayPixelProvider() {
    static auto provider = std::make_shared<SocketProvider>();
    return provider;
}

} // namespace cg
