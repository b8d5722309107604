#include "platform/foundation/PNG.h"

#include "platform/core/Log.h"

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <png.h>
#include <string>

namespace png {

namespace {

constexpr int64_t kCorruptCode = 259; // NSFileReadCorruptFileError
constexpr int64_t kWriteCode = 512;   // NSFileWriteUnknownError

// ---- The C side. libpng reports errors by longjmp, which skips C++ destructors, so everything
// between setjmp and the jump is plain C: raw buffers that the C++ side frees afterwards.

struct Failure {
    char message[200];
};

extern "C" void onPngError(png_structp png, png_const_charp message) {
    auto* failure = static_cast<Failure*>(png_get_error_ptr(png));
    std::snprintf(failure->message, sizeof failure->message, "%s", message ? message : "unknown error");
    png_longjmp(png, 1);
}

extern "C" void onPngWarning(png_structp, png_const_charp) {} // warnings change nothing here

struct Reader {
    const uint8_t* data;
    size_t length;
    size_t offset;
};

extern "C" void readFromMemory(png_structp png, png_bytep out, png_size_t count) {
    auto* r = static_cast<Reader*>(png_get_io_ptr(png));
    if (count > r->length - r->offset) png_error(png, "the data ends before the image does");
    std::memcpy(out, r->data + r->offset, count);
    r->offset += count;
}

struct Decoded {
    png_uint_32 width;
    png_uint_32 height;
    uint8_t* pixels; // malloc'd, RGBA8
    png_bytep* rows; // malloc'd
};

// Answers 0 on success, 1 on a libpng error (failure->message says why), 2 when too large.
int decodeC(Reader* reader, Decoded* out, Failure* failure) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, failure, onPngError, onPngWarning);
    if (!png) return 1;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
        return 1;
    }
    png_set_read_fn(png, reader, readFromMemory);
    // libpng's own limit would refuse an oversized image as "malformed"; the check below says why.
    png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
    png_set_chunk_malloc_max(png, 8 * 1024 * 1024);
    png_read_info(png, info);
    out->width = png_get_image_width(png, info);
    out->height = png_get_image_height(png, info);
    if (out->width == 0 || out->height == 0 || out->width > kMaxDimension || out->height > kMaxDimension) {
        png_destroy_read_struct(&png, &info, nullptr);
        return 2;
    }
    int colorType = png_get_color_type(png, info);
    if (png_get_bit_depth(png, info) == 16) png_set_strip_16(png);
    if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
    png_set_expand(png);
    png_set_filler(png, 0xff, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != static_cast<size_t>(out->width) * 4)
        png_error(png, "unexpected row layout");
    out->pixels = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(out->width) * out->height * 4));
    out->rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * out->height));
    if (!out->pixels || !out->rows) png_error(png, "out of memory");
    for (png_uint_32 y = 0; y < out->height; ++y)
        out->rows[y] = out->pixels + static_cast<size_t>(y) * out->width * 4;
    png_read_image(png, out->rows);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return 0;
}

struct Writer {
    uint8_t* data; // malloc'd
    size_t length;
    size_t capacity;
};

extern "C" void writeToMemory(png_structp png, png_bytep bytes, png_size_t count) {
    auto* w = static_cast<Writer*>(png_get_io_ptr(png));
    if (count > w->capacity - w->length) {
        size_t capacity = std::max(w->capacity * 2, w->length + count);
        auto* grown = static_cast<uint8_t*>(std::realloc(w->data, capacity));
        if (!grown) png_error(png, "out of memory");
        w->data = grown;
        w->capacity = capacity;
    }
    std::memcpy(w->data + w->length, bytes, count);
    w->length += count;
}

extern "C" void flushMemory(png_structp) {}

int encodeC(Writer* writer, png_bytep* rows, png_uint_32 width, png_uint_32 height, int hasAlpha,
            Failure* failure) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, failure, onPngError, onPngWarning);
    if (!png) return 1;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return 1;
    }
    png_set_write_fn(png, writer, writeToMemory, flushMemory);
    png_set_compression_level(png, 6);
    png_set_IHDR(png, info, width, height, 8, hasAlpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return 0;
}

// ---- The C++ side.

void refuse(platform::Error* error, int64_t code, const std::string& why) {
    platform::log("PNG: %@", why);
    platform::setError(error, platform::NSCocoaErrorDomain, code, why);
}

struct Layout {
    int r, g, b, a; // byte offsets; a < 0: no alpha
    bool premultiplied;
};

Layout layoutOf(PixelFormat format) {
    switch (format) {
    case PixelFormat::BGRA:
        return {2, 1, 0, 3, false};
    case PixelFormat::ARGB:
        return {1, 2, 3, 0, false};
    case PixelFormat::RGBA:
        return {0, 1, 2, 3, false};
    case PixelFormat::PremultipliedBGRA:
        return {2, 1, 0, 3, true};
    case PixelFormat::PremultipliedARGB:
        return {1, 2, 3, 0, true};
    case PixelFormat::PremultipliedRGBA:
        return {0, 1, 2, 3, true};
    case PixelFormat::BGRX:
        break;
    }
    return {2, 1, 0, -1, false};
}

uint8_t unpremultiply(uint8_t c, uint8_t a) {
    if (a == 0) return 0;
    return static_cast<uint8_t>(std::min(255, (c * 255 + a / 2) / a));
}

// The pixels as the file's rows: RGBA8 or RGB8.
std::vector<uint8_t> fileRows(const uint8_t* pixels, uint32_t width, uint32_t height, size_t bytesPerRow,
                              const Layout& layout) {
    size_t channels = layout.a >= 0 ? 4 : 3;
    std::vector<uint8_t> out(static_cast<size_t>(width) * height * channels);
    uint8_t* o = out.data();
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* p = pixels + static_cast<size_t>(y) * bytesPerRow;
        for (uint32_t x = 0; x < width; ++x, p += 4) {
            uint8_t a = layout.a >= 0 ? p[layout.a] : 255;
            uint8_t r = p[layout.r], g = p[layout.g], b = p[layout.b];
            if (layout.premultiplied) {
                r = unpremultiply(r, a);
                g = unpremultiply(g, a);
                b = unpremultiply(b, a);
            }
            *o++ = r;
            *o++ = g;
            *o++ = b;
            if (channels == 4) *o++ = a;
        }
    }
    return out;
}

} // namespace

std::optional<std::vector<uint8_t>> encode(const uint8_t* pixels, uint32_t width, uint32_t height,
                                           size_t bytesPerRow, PixelFormat format, platform::Error* error) {
    if (!pixels || width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension ||
        bytesPerRow < static_cast<size_t>(width) * 4) {
        refuse(error, kWriteCode,
               platform::format("cannot encode a %u x %u image with %zu bytes per row", width, height,
                                bytesPerRow));
        return std::nullopt;
    }
    Layout layout = layoutOf(format);
    std::vector<uint8_t> rowData = fileRows(pixels, width, height, bytesPerRow, layout);
    size_t rowBytes = static_cast<size_t>(width) * (layout.a >= 0 ? 4 : 3);
    std::vector<png_bytep> rows(height);
    for (uint32_t y = 0; y < height; ++y)
        rows[y] = rowData.data() + y * rowBytes;
    Writer writer{nullptr, 0, 0};
    Failure failure{};
    int status = encodeC(&writer, rows.data(), width, height, layout.a >= 0, &failure);
    std::optional<std::vector<uint8_t>> result;
    if (status == 0) {
        result.emplace(writer.data, writer.data + writer.length);
    } else {
        refuse(error, kWriteCode, std::string("encoding failed: ") + failure.message);
    }
    std::free(writer.data);
    return result;
}

std::optional<Image> decode(const uint8_t* data, size_t length, platform::Error* error) {
    if (!data || length < 8 || png_sig_cmp(data, 0, 8) != 0) {
        refuse(error, kCorruptCode, "the data is not a PNG image");
        return std::nullopt;
    }
    Reader reader{data, length, 0};
    Decoded decoded{0, 0, nullptr, nullptr};
    Failure failure{};
    int status = decodeC(&reader, &decoded, &failure);
    std::optional<Image> image;
    if (status == 0) {
        image.emplace();
        image->width = decoded.width;
        image->height = decoded.height;
        image->rgba.assign(decoded.pixels,
                           decoded.pixels + static_cast<size_t>(decoded.width) * decoded.height * 4);
    } else if (status == 2) {
        refuse(error, kCorruptCode,
               platform::format("a %u x %u image is refused: the limit is %u x %u", decoded.width,
                                decoded.height, kMaxDimension, kMaxDimension));
    } else {
        refuse(error, kCorruptCode, std::string("the PNG data is malformed: ") + failure.message);
    }
    std::free(decoded.pixels);
    std::free(decoded.rows);
    return image;
}

std::optional<Image> decode(const std::vector<uint8_t>& data, platform::Error* error) {
    return decode(data.data(), data.size(), error);
}

} // namespace png
