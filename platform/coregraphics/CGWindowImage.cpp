#include "platform/coregraphics/CGWindowImage.h"

#include "platform/core/Log.h"
#include "platform/coregraphics/WindowServerClient.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

namespace cg {

namespace {

CGImageRef imageOfWindow(CGRect bounds, CGWindowID window, CGWindowImageOption option) {
    cf::Dictionary args{{"window", window}, {"nominal", (option & kCGWindowImageNominalResolution) != 0}};
    if (!CGRectIsNull(bounds)) {
        if (!detail::isFinite(bounds)) return nullptr;
        args.insert_or_assign("x", bounds.origin.x);
        args.insert_or_assign("y", bounds.origin.y);
        args.insert_or_assign("width", bounds.size.width);
        args.insert_or_assign("height", bounds.size.height);
    }
    std::vector<ipc::UniqueFd> fds;
    auto answer =
        detail::wsRequestWithDescriptors(windowserver::op::windowImage, cf::Value(std::move(args)), &fds);
    if (!answer || detail::integerAt(*answer, "status").value_or(kCGErrorFailure) != kCGErrorSuccess)
        return nullptr;
    auto w = detail::integerAt(*answer, "width"), h = detail::integerAt(*answer, "height");
    auto bpr = detail::integerAt(*answer, "bytesPerRow");
    struct stat st {};
    const int seals = fds.size() == 1 ? ::fcntl(fds[0].get(), F_GET_SEALS) : -1;
    if (!w || !h || !bpr || *w < 1 || *h < 1 || *w > 16384 || *h > 16384 || *bpr < *w * 4 ||
        *bpr > *w * 4 + 4096 || seals < 0 || !(seals & F_SEAL_WRITE) || !(seals & F_SEAL_SHRINK) ||
        ::fstat(fds[0].get(), &st) != 0 || st.st_size < *bpr * *h) {
        platform::log("coregraphics: refusing a malformed image of window %u", window);
        return nullptr;
    }
    const size_t length = size_t(*bpr) * size_t(*h);
    void* map = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fds[0].get(), 0);
    if (map == MAP_FAILED) return nullptr;
    auto provider = CGDataProviderCreateWithData(
        reinterpret_cast<void*>(length), map, length,
        [](void* info, const void* data, size_t) { ::munmap(const_cast<void*>(data), size_t(info)); });
    return CGImageCreate(size_t(*w), size_t(*h), 8, 32, size_t(*bpr),
                         kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little, provider);
}

} // namespace

CGImageRef CGWindowListCreateImage(CGRect screenBounds, CGWindowListOption listOption, CGWindowID window,
                                   CGWindowImageOption imageOption) {
    if (listOption != kCGWindowListOptionIncludingWindow || window == kCGNullWindowID) {
        platform::log("coregraphics: CGWindowListCreateImage answers one window only (option %u)",
                      listOption);
        return nullptr;
    }
    return imageOfWindow(screenBounds, window, imageOption);
}

CGImageRef CGWindowListCreateImageFromArray(CGRect screenBounds, const std::vector<CGWindowID>& windows,
                                            CGWindowImageOption imageOption) {
    if (windows.size() != 1 || windows[0] == kCGNullWindowID) {
        platform::log("coregraphics: CGWindowListCreateImageFromArray answers one window only (%zu given)",
                      windows.size());
        return nullptr;
    }
    return imageOfWindow(screenBounds, windows[0], imageOption);
}

} // namespace cg
