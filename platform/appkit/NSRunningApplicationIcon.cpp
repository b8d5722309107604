#include "platform/appkit/NSRunningApplicationIcon.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/foundation/PNG.h"

#include <fstream>
#include <sys/stat.h>

namespace appkit {

namespace {

// The file's bytes when it is a regular file of at most kMaxIconFileBytes.
std::optional<std::vector<uint8_t>> readIconFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    if (!S_ISREG(st.st_mode) || st.st_size <= 0 || size_t(st.st_size) > kMaxIconFileBytes) {
        platform::log("appkit: icon %s is not a regular file of at most %zu bytes", path, kMaxIconFileBytes);
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes(size_t(st.st_size));
    if (!in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()))) return std::nullopt;
    return bytes;
}

std::shared_ptr<NSBitmapImageRep> representationOf(const png::Image& picture) {
    auto rep = NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, picture.width, picture.height, 8, 4, true,
                                                          false, NSDeviceRGBColorSpace,
                                                          NSBitmapFormatAlphaNonpremultiplied, 0, 32);
    if (!rep) return nullptr;
    std::copy(picture.rgba.begin(), picture.rgba.end(), rep->bitmapData());
    rep->setSize({double(picture.width), double(picture.height)});
    return rep;
}

// A light tile with a darker frame, side pixels square.
std::shared_ptr<NSBitmapImageRep> genericRepresentation(uint32_t side) {
    png::Image picture{side, side, std::vector<uint8_t>(size_t(side) * side * 4)};
    const uint32_t frame = std::max(1u, side / 16);
    for (uint32_t y = 0; y < side; ++y)
        for (uint32_t x = 0; x < side; ++x) {
            const bool edge = x < frame || y < frame || x >= side - frame || y >= side - frame;
            uint8_t* p = &picture.rgba[(size_t(y) * side + x) * 4];
            p[0] = edge ? 0x50 : 0xD8;
            p[1] = edge ? 0x5A : 0xDE;
            p[2] = edge ? 0x6E : 0xE8;
            p[3] = 0xFF;
        }
    return representationOf(picture);
}

} // namespace

std::shared_ptr<NSImage> iconOfBundle(const std::string& bundlePath) {
    if (bundlePath.empty()) return nullptr;
    auto info = cf::readPropertyListFile(bundlePath + "/Contents/Info.plist");
    const cf::Value* key = info && info->isDictionary() ? info->find("CFBundleIconFile") : nullptr;
    const std::string* name = key ? key->asString() : nullptr;
    if (!name || name->empty() || name->size() > 255 || name->find('/') != std::string::npos ||
        *name == "." || *name == "..")
        return nullptr;
    std::string path = bundlePath + "/Contents/Resources/" + *name;
    if (name->find('.') == std::string::npos) path += ".png";
    auto bytes = readIconFile(path);
    if (!bytes) return nullptr;
    platform::Error error;
    auto picture = png::decode(*bytes, &error);
    auto rep = picture ? representationOf(*picture) : nullptr;
    if (!rep) {
        platform::log("appkit: icon %s cannot be read: %@", path, error);
        return nullptr;
    }
    auto image = NSImage::initWithSize(rep->size());
    image->addRepresentation(rep);
    return image;
}

std::shared_ptr<NSImage> genericApplicationIcon() {
    // Made once: copies share its representations, which nothing changes in place.
    static const std::shared_ptr<NSImage> generic = [] {
        auto image = NSImage::initWithSize({512, 512});
        for (uint32_t side : {16u, 32u, 128u, 256u, 512u})
            image->addRepresentation(genericRepresentation(side));
        return image;
    }();
    return generic->copy();
}

std::shared_ptr<NSImage> iconOfRunningApplication(const ns::NSRunningApplication& application) {
    if (auto icon = iconOfBundle(application.bundlePath())) return icon;
    return genericApplicationIcon();
}

} // namespace appkit
