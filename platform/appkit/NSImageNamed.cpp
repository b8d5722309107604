// Images from files: the main bundle's named images and representations of PNG and TIFF bytes.
#include "platform/appkit/NSGraphicsContext.h"
#include "platform/appkit/NSImage.h"
#include "platform/core/Log.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/PNG.h"

#include <cmath>
#include <fstream>
#include <map>
#include <mutex>
#include <sys/stat.h>

namespace appkit {

namespace {

// The most pixels a decoded file may have (a small file can stand for a huge picture).
constexpr uint64_t kMaxImagePixels = uint64_t(8192) * 8192;

bool isPNG(const std::vector<uint8_t>& data) {
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return data.size() >= 8 && std::equal(signature, signature + 8, data.begin());
}

bool isTIFF(const std::vector<uint8_t>& data) {
    return data.size() >= 8 && ((data[0] == 'I' && data[1] == 'I' && data[2] == 42 && data[3] == 0) ||
                                (data[0] == 'M' && data[1] == 'M' && data[2] == 0 && data[3] == 42));
}

uint32_t bigEndian32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The header's sides, read before anything is decoded: IHDR is the first chunk of every PNG.
bool pngSidesAllowed(const std::vector<uint8_t>& data) {
    if (data.size() < 24) return false;
    const uint64_t width = bigEndian32(&data[16]), height = bigEndian32(&data[20]);
    if (width * height > kMaxImagePixels) {
        platform::log("NSImage: a PNG of %llu x %llu pixels is refused", (unsigned long long)width,
                      (unsigned long long)height);
        return false;
    }
    return true;
}

std::shared_ptr<NSBitmapImageRep> representationOfPNG(const std::vector<uint8_t>& data) {
    if (!pngSidesAllowed(data)) return nullptr;
    platform::Error error;
    auto picture = png::decode(data, &error);
    if (!picture) {
        platform::log("NSImage: the PNG cannot be decoded: %@", error);
        return nullptr;
    }
    auto rep = NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, picture->width, picture->height, 8, 4,
                                                          true, false, NSDeviceRGBColorSpace,
                                                          NSBitmapFormatAlphaNonpremultiplied, 0, 32);
    if (!rep) return nullptr;
    std::copy(picture->rgba.begin(), picture->rgba.end(), rep->bitmapData());
    rep->setSize({double(picture->width), double(picture->height)});
    return rep;
}

// The file's bytes when it is a regular file of 1 to kMaxImageFileBytes bytes.
std::optional<std::vector<uint8_t>> readImageFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        uint64_t(st.st_size) > kMaxImageFileBytes) {
        platform::log("NSImage: %s is not a regular file of 1 to %zu bytes", path, kMaxImageFileBytes);
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes(size_t(st.st_size));
    if (!in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()))) {
        platform::log("NSImage: %s cannot be read", path);
        return std::nullopt;
    }
    return bytes;
}

struct NamedImages {
    std::mutex lock;
    std::map<std::pair<std::string, std::string>, std::shared_ptr<NSImage>> byBundleAndName;
};

NamedImages& namedImages() {
    static NamedImages images;
    return images;
}

} // namespace

std::shared_ptr<NSBitmapImageRep> NSBitmapImageRep::imageRepWithData(const std::vector<uint8_t>& data) {
    if (isPNG(data)) return representationOfPNG(data);
    if (isTIFF(data)) return detail::representationOfTIFF(data);
    platform::log("NSImage: data of %zu bytes is neither PNG nor TIFF", data.size());
    return nullptr;
}

std::shared_ptr<NSImage> NSImage::initWithData(const std::vector<uint8_t>& data) {
    auto rep = NSBitmapImageRep::imageRepWithData(data);
    if (!rep) return nullptr;
    auto image = NSImage::initWithSize(rep->size());
    image->addRepresentation(rep);
    return image;
}

std::shared_ptr<NSImage> NSImage::initWithContentsOfFile(const std::string& path) {
    auto bytes = readImageFile(path);
    return bytes ? initWithData(*bytes) : nullptr;
}

// The system's images the host's interface names, drawn once: the action button's gear.
std::shared_ptr<NSImage> systemImageNamed(const std::string& name) {
    if (name != NSImageNameActionTemplate) return nullptr;
    static const std::shared_ptr<NSImage> gear = [] {
        auto image = NSImage::initWithSize(cg::CGSizeMake(16, 16));
        image->lockFocus();
        if (auto context = NSGraphicsContext::currentContext()) {
            const cg::CGContextRef& c = context->CGContext();
            cg::CGContextSetRGBFillColor(c, 0, 0, 0, 1);
            cg::CGContextTranslateCTM(c, 8, 8);
            for (int tooth = 0; tooth < 8; ++tooth) {
                cg::CGContextFillRect(c, cg::CGRectMake(-1.5, 4, 3, 3.5));
                cg::CGContextRotateCTM(c, M_PI / 4);
            }
            cg::CGContextFillEllipseInRect(c, cg::CGRectMake(-5.5, -5.5, 11, 11));
            cg::CGContextSetBlendMode(c, cg::kCGBlendModeClear);
            cg::CGContextFillEllipseInRect(c, cg::CGRectMake(-2, -2, 4, 4));
        }
        image->unlockFocus();
        image->setName(NSImageNameActionTemplate);
        image->setTemplate(true);
        return image;
    }();
    return gear;
}

std::shared_ptr<NSImage> NSImage::imageNamed(const std::string& name) {
    if (name.empty() || name.size() > 255 || name.find('/') != std::string::npos || name == "." ||
        name == "..")
        return nullptr;
    auto bundle = ns::NSBundle::mainBundle();
    if (!bundle) return systemImageNamed(name);
    NamedImages& images = namedImages();
    const auto key = std::make_pair(bundle->bundlePath(), name);
    {
        std::lock_guard guard(images.lock);
        if (auto it = images.byBundleAndName.find(key); it != images.byBundleAndName.end()) return it->second;
    }
    std::optional<std::string> path = bundle->pathForResource(name, std::nullopt);
    for (const char* type : {"png", "tiff", "tif"})
        if (!path) path = bundle->pathForResource(name, std::string_view(type));
    if (!path) return systemImageNamed(name);
    auto image = initWithContentsOfFile(*path);
    if (!image) {
        platform::log("NSImage: the image named %s (%s) cannot be loaded", name, *path);
        return nullptr;
    }
    image->setName(name);
    std::lock_guard guard(images.lock);
    return images.byBundleAndName.emplace(key, image).first->second;
}

void NSImage::forgetNamedImages() {
    NamedImages& images = namedImages();
    std::lock_guard guard(images.lock);
    images.byBundleAndName.clear();
}

bool NSImage::isTemplate() const {
    std::lock_guard guard(m_lock);
    return m_template;
}

void NSImage::setTemplate(bool isTemplate) {
    std::lock_guard guard(m_lock);
    m_template = isTemplate;
}

} // namespace appkit
