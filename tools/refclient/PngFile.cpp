#include "tools/refclient/PngFile.h"

#include "platform/core/Format.h"
#include "tools/refclient/Picture.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <png.h>
#include <unistd.h>

namespace refclient {

namespace {

void appendToBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void flushNothing(png_structp) {}

uint32_t bigEndian32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

} // namespace

std::optional<Bytes> encodePng(const Picture& picture, std::string& error) {
    if (picture.width() <= 0 || picture.height() <= 0) {
        error = "empty picture";
        return std::nullopt;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        error = "libpng unavailable";
        return std::nullopt;
    }
    Bytes out;
    std::vector<uint8_t> row(static_cast<size_t>(picture.width()) * 3);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        error = "PNG encoding failed";
        return std::nullopt;
    }
    png_set_write_fn(png, &out, appendToBytes, flushNothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(picture.width()), static_cast<png_uint_32>(picture.height()), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const uint8_t* src = picture.pixels().data();
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x, src += 4) {
            row[static_cast<size_t>(x) * 3 + 0] = src[2];
            row[static_cast<size_t>(x) * 3 + 1] = src[1];
            row[static_cast<size_t>(x) * 3 + 2] = src[0];
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

bool writeFileAtomically(const std::string& path, ByteView bytes, std::string& error) {
    std::string temporary = platform::format("%@.tmp%d", path, static_cast<int>(getpid()));
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = platform::format("cannot create %@: %@", temporary, std::strerror(errno));
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = platform::format("cannot write %@: %@", temporary, std::strerror(errno));
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = platform::format("cannot rename %@ to %@: %@", temporary, path, std::strerror(errno));
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::optional<std::pair<uint32_t, uint32_t>> pngSize(ByteView png) {
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    // Signature, then the IHDR chunk: length, "IHDR", width, height.
    if (png.size() < 24 || std::memcmp(png.data(), kSignature, 8) != 0 || std::memcmp(png.data() + 12, "IHDR", 4) != 0)
        return std::nullopt;
    return std::pair(bigEndian32(png.data() + 16), bigEndian32(png.data() + 20));
}

} // namespace refclient
