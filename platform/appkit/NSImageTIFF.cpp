// TIFF files of images through libtiff: a page per bitmap representation, 8-bit RGB, with
// associated (premultiplied) alpha when the representation has alpha.
#include "platform/appkit/NSImage.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/PixelLayout.h"

#include <tiffio.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace appkit {

namespace {

struct MemoryFile {
    std::vector<uint8_t> bytes;
    toff_t position = 0;
};

MemoryFile& fileOf(thandle_t handle) {
    return *static_cast<MemoryFile*>(handle);
}

tsize_t readFile(thandle_t handle, tdata_t buffer, tsize_t size) {
    MemoryFile& f = fileOf(handle);
    if (f.position >= f.bytes.size()) return 0;
    size_t n = std::min<size_t>(size_t(size), f.bytes.size() - f.position);
    std::memcpy(buffer, f.bytes.data() + f.position, n);
    f.position += n;
    return tsize_t(n);
}

tsize_t writeFile(thandle_t handle, tdata_t buffer, tsize_t size) {
    MemoryFile& f = fileOf(handle);
    if (f.position + size_t(size) > f.bytes.size()) f.bytes.resize(f.position + size_t(size));
    std::memcpy(f.bytes.data() + f.position, buffer, size_t(size));
    f.position += size_t(size);
    return size;
}

toff_t seekFile(thandle_t handle, toff_t offset, int whence) {
    MemoryFile& f = fileOf(handle);
    if (whence == SEEK_CUR)
        offset += f.position;
    else if (whence == SEEK_END)
        offset += f.bytes.size();
    f.position = offset;
    return offset;
}

int closeFile(thandle_t) {
    return 0;
}

toff_t sizeOfFile(thandle_t handle) {
    return fileOf(handle).bytes.size();
}

int mapFile(thandle_t, tdata_t*, toff_t*) {
    return 0;
}

void unmapFile(thandle_t, tdata_t, toff_t) {}

void logTIFFError(const char* module, const char* fmt, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, args);
    platform::log("TIFF: %s: %s", module ? module : "", text);
}

bool writePage(TIFF* tif, const cg::CGImage& image, cg::CGSize points, uint16_t compression) {
    auto layout = cg::detail::pixelLayout(image.bitsPerComponent, image.bitsPerPixel, image.bitmapInfo,
                                          cg::CGColorSpaceGetModel(image.space));
    if (!layout) return false;
    const uint32_t width = uint32_t(image.width), height = uint32_t(image.height);
    const bool alpha = cg::detail::hasAlpha(image.bitmapInfo);
    const uint16_t samples = alpha ? 4 : 3;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
    if (alpha) {
        const uint16_t extra[] = {EXTRASAMPLE_ASSOCALPHA};
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
    }
    // 72 dpi at the representation's size in points.
    const double xdpi = points.width > 0 ? 72.0 * width / points.width : 72.0;
    const double ydpi = points.height > 0 ? 72.0 * height / points.height : 72.0;
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, float(xdpi));
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, float(ydpi));
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    std::vector<uint8_t> words(size_t(width) * 4), row(size_t(width) * samples);
    for (uint32_t y = 0; y < height; ++y) {
        cg::detail::loadARGB32(*layout, image.bytes.get() + y * image.bytesPerRow, image.bytesPerRow,
                               words.data(), words.size(), width, 1);
        for (uint32_t x = 0; x < width; ++x) {
            uint32_t w;
            std::memcpy(&w, &words[x * 4], 4);
            uint8_t* out = &row[x * samples];
            out[0] = uint8_t(w >> 16), out[1] = uint8_t(w >> 8), out[2] = uint8_t(w);
            if (alpha) out[3] = uint8_t(w >> 24);
        }
        if (TIFFWriteScanline(tif, row.data(), y, 0) < 0) return false;
    }
    return TIFFWriteDirectory(tif) != 0;
}

// The most pixels a page may have (a small file can stand for a huge picture).
constexpr uint64_t kMaxTIFFPixels = uint64_t(8192) * 8192;

void installTIFFHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(logTIFFError);
        TIFFSetWarningHandler(nullptr);
    });
}

} // namespace

std::shared_ptr<NSBitmapImageRep> detail::representationOfTIFF(const std::vector<uint8_t>& bytes) {
    installTIFFHandlers();
    MemoryFile file{bytes, 0};
    TIFF* tif = TIFFClientOpen("NSImage", "rm", &file, readFile, writeFile, seekFile, closeFile, sizeOfFile,
                               mapFile, unmapFile);
    if (!tif) {
        platform::log("NSImage: the data is not a readable TIFF");
        return nullptr;
    }
    uint32_t width = 0, height = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    std::shared_ptr<NSBitmapImageRep> rep;
    if (width == 0 || height == 0 || width > 16384 || height > 16384 ||
        uint64_t(width) * height > kMaxTIFFPixels) {
        platform::log("NSImage: a TIFF page of %u x %u pixels is refused", width, height);
    } else {
        rep = NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, width, height, 8, 4, true, false,
                                                         NSDeviceRGBColorSpace, 0, 0, 32);
        // libtiff answers premultiplied R, G, B, A bytes, rows from the top.
        auto* pixels = reinterpret_cast<uint32_t*>(rep->bitmapData());
        if (!TIFFReadRGBAImageOriented(tif, width, height, pixels, ORIENTATION_TOPLEFT, 0)) {
            platform::log("NSImage: the TIFF's pixels cannot be read");
            rep = nullptr;
        } else {
            rep->setSize({double(width), double(height)});
        }
    }
    TIFFClose(tif);
    return rep;
}

std::optional<std::vector<uint8_t>> NSImage::TIFFRepresentation() const {
    return TIFFRepresentationUsingCompression(NSTIFFCompressionNone, 0);
}

std::optional<std::vector<uint8_t>> NSImage::TIFFRepresentationUsingCompression(NSTIFFCompression compression,
                                                                                double) const {
    if (compression != NSTIFFCompressionNone && compression != NSTIFFCompressionLZW) {
        platform::log("NSImage TIFFRepresentation: compression %u is not written", unsigned(compression));
        return std::nullopt;
    }
    std::vector<std::pair<cg::CGImageRef, cg::CGSize>> pages;
    for (const auto& rep : representations())
        if (auto image = detail::CGImageOfRepresentation(*rep)) pages.emplace_back(image, rep->size());
    if (pages.empty()) {
        platform::log("NSImage TIFFRepresentation: the image has no bitmap representation");
        return std::nullopt;
    }
    installTIFFHandlers();
    MemoryFile file;
    TIFF* tif = TIFFClientOpen("NSImage", "w", &file, readFile, writeFile, seekFile, closeFile, sizeOfFile,
                               mapFile, unmapFile);
    if (!tif) return std::nullopt;
    bool written = true;
    for (const auto& [image, points] : pages)
        written =
            written && writePage(tif, *image, points,
                                 compression == NSTIFFCompressionLZW ? COMPRESSION_LZW : COMPRESSION_NONE);
    TIFFClose(tif);
    if (!written) {
        platform::log("NSImage TIFFRepresentation: writing failed");
        return std::nullopt;
    }
    return std::move(file.bytes);
}

} // namespace appkit
