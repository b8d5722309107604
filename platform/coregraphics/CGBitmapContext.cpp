#include "platform/core/Log.h"
#include "platform/coregraphics/CGContextPrivate.h"

#include <cstring>
#include <new>

namespace cg {

namespace {

constexpr size_t kMaxSide = 16384;

CGContextRef create(void* data, size_t width, size_t height, size_t bitsPerComponent, size_t bytesPerRow,
                    const CGColorSpaceRef& space, CGBitmapInfo bitmapInfo) {
    auto layout = detail::pixelLayout(bitsPerComponent, bitsPerComponent == 32 ? 128 : 8 * 4, bitmapInfo,
                                      CGColorSpaceGetModel(space));
    if (!layout) layout = detail::pixelLayout(bitsPerComponent, 8, bitmapInfo, CGColorSpaceGetModel(space));
    if (!layout) {
        platform::log("CGBitmapContextCreate: unsupported parameter combination: %zu integer bits/component; "
                      "color space model %d; bitmap info 0x%x",
                      bitsPerComponent, int(CGColorSpaceGetModel(space)), bitmapInfo);
        return nullptr;
    }
    const size_t packed = width * layout->bytesPerPixel;
    if (bytesPerRow == 0) bytesPerRow = packed;
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide || bytesPerRow < packed ||
        bytesPerRow > 2 * kMaxSide * layout->bytesPerPixel) {
        platform::log("CGBitmapContextCreate: invalid data bytes/row (%zu) for a %zux%zu bitmap", bytesPerRow,
                      width, height);
        return nullptr;
    }
    auto c = std::make_shared<CGContext>();
    c->width = width, c->height = height, c->bytesPerRow = bytesPerRow;
    c->bitsPerPixel = layout->bytesPerPixel * 8;
    c->bitmapInfo = bitmapInfo;
    c->space = space;
    c->layout = *layout;
    if (data) {
        c->data = static_cast<uint8_t*>(data);
    } else {
        c->own.reset(new (std::nothrow) uint8_t[bytesPerRow * height]());
        if (!c->own) {
            platform::log("CGBitmapContextCreate: cannot allocate %zu bytes", bytesPerRow * height);
            return nullptr;
        }
        c->data = c->own.get();
    }
    const bool direct =
        layout->native() && bytesPerRow % 4 == 0 && reinterpret_cast<uintptr_t>(c->data) % 4 == 0;
    if (direct) {
        c->surface = cairo_image_surface_create_for_data(
            c->data, layout->skip ? CAIRO_FORMAT_RGB24 : CAIRO_FORMAT_ARGB32, int(width), int(height),
            int(bytesPerRow));
    } else {
        c->shadow.reset(new (std::nothrow) uint8_t[width * 4 * height]);
        if (!c->shadow) {
            platform::log("CGBitmapContextCreate: cannot allocate %zu bytes", width * 4 * height);
            return nullptr;
        }
        c->surface = cairo_image_surface_create_for_data(c->shadow.get(), CAIRO_FORMAT_ARGB32, int(width),
                                                         int(height), int(width * 4));
    }
    c->cr = cairo_create(c->surface);
    if (cairo_status(c->cr) != CAIRO_STATUS_SUCCESS) {
        platform::log("CGBitmapContextCreate: %s", cairo_status_to_string(cairo_status(c->cr)));
        return nullptr;
    }
    c->path = CGPathCreateMutable();
    return c;
}

} // namespace

CGContext::~CGContext() {
    gs.mask.reset();
    saved.clear();
    if (cr) cairo_destroy(cr);
    if (surface) cairo_surface_destroy(surface);
    if (release) release(releaseInfo, data);
}

namespace detail {

CGContext* checked(const CGContextRef& context, const char* function) {
    if (!context) platform::log("%s: invalid context 0x0", function);
    return context.get();
}

void beginPaint(CGContext& c) {
    if (c.shadow) {
        loadARGB32(c.layout, c.data, c.bytesPerRow, c.shadow.get(), c.width * 4, c.width, c.height);
    }
    // The caller may have written the bitmap since the last call.
    cairo_surface_mark_dirty(c.surface);
}

void endPaint(CGContext& c) {
    cairo_surface_flush(c.surface);
    if (c.shadow)
        storeARGB32(c.layout, c.shadow.get(), c.width * 4, c.data, c.bytesPerRow, c.width, c.height);
    if (cairo_status(c.cr) != CAIRO_STATUS_SUCCESS)
        platform::log("CGContext: drawing failed: %s", cairo_status_to_string(cairo_status(c.cr)));
}

cairo_surface_t* surfaceForImage(const CGImage& image) {
    auto layout = pixelLayout(image.bitsPerComponent, image.bitsPerPixel, image.bitmapInfo,
                              CGColorSpaceGetModel(image.space));
    if (!layout || !image.bytes) return nullptr;
    const uint8_t* bytes = image.bytes.get();
    if (layout->native() && image.bytesPerRow % 4 == 0 && reinterpret_cast<uintptr_t>(bytes) % 4 == 0) {
        // Cairo only reads a source; the image keeps the bytes alive while it is drawn.
        return cairo_image_surface_create_for_data(
            const_cast<uint8_t*>(bytes), layout->skip ? CAIRO_FORMAT_RGB24 : CAIRO_FORMAT_ARGB32,
            int(image.width), int(image.height), int(image.bytesPerRow));
    }
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, int(image.width), int(image.height));
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(s);
        return nullptr;
    }
    cairo_surface_flush(s);
    loadARGB32(*layout, bytes, image.bytesPerRow, cairo_image_surface_get_data(s),
               size_t(cairo_image_surface_get_stride(s)), image.width, image.height);
    cairo_surface_mark_dirty(s);
    return s;
}

} // namespace detail

CGContextRef CGBitmapContextCreate(void* data, size_t width, size_t height, size_t bitsPerComponent,
                                   size_t bytesPerRow, const CGColorSpaceRef& space,
                                   CGBitmapInfo bitmapInfo) {
    return create(data, width, height, bitsPerComponent, bytesPerRow, space, bitmapInfo);
}

CGContextRef CGBitmapContextCreate(void* data, size_t width, size_t height, size_t bitsPerComponent,
                                   size_t bytesPerRow, CGBitmapInfo bitmapInfo) {
    return create(data, width, height, bitsPerComponent, bytesPerRow, CGColorSpaceCreateDeviceRGB(),
                  bitmapInfo);
}

CGContextRef CGBitmapContextCreateWithData(void* data, size_t width, size_t height, size_t bitsPerComponent,
                                           size_t bytesPerRow, const CGColorSpaceRef& space,
                                           CGBitmapInfo bitmapInfo,
                                           CGBitmapContextReleaseDataCallback release, void* releaseInfo) {
    CGContextRef c = create(data, width, height, bitsPerComponent, bytesPerRow, space, bitmapInfo);
    if (!c) {
        if (release) release(releaseInfo, data);
        return nullptr;
    }
    c->release = release;
    c->releaseInfo = releaseInfo;
    return c;
}

void* CGBitmapContextGetData(const CGContextRef& c) {
    return c ? c->data : nullptr;
}
size_t CGBitmapContextGetWidth(const CGContextRef& c) {
    return c ? c->width : 0;
}
size_t CGBitmapContextGetHeight(const CGContextRef& c) {
    return c ? c->height : 0;
}
size_t CGBitmapContextGetBytesPerRow(const CGContextRef& c) {
    return c ? c->bytesPerRow : 0;
}
size_t CGBitmapContextGetBitsPerComponent(const CGContextRef& c) {
    return c ? c->layout.bitsPerComponent : 0;
}
size_t CGBitmapContextGetBitsPerPixel(const CGContextRef& c) {
    return c ? c->bitsPerPixel : 0;
}
CGBitmapInfo CGBitmapContextGetBitmapInfo(const CGContextRef& c) {
    return c ? c->bitmapInfo : 0;
}
CGColorSpaceRef CGBitmapContextGetColorSpace(const CGContextRef& c) {
    return c ? c->space : nullptr;
}

CGImageRef CGBitmapContextCreateImage(const CGContextRef& context) {
    CGContext* c = detail::checked(context, "CGBitmapContextCreateImage");
    if (!c) return nullptr;
    std::vector<uint8_t> bytes(c->data, c->data + c->bytesPerRow * c->height);
    return CGImageCreate(c->width, c->height, c->layout.bitsPerComponent, c->bitsPerPixel, c->bytesPerRow,
                         c->space, c->bitmapInfo, CGDataProviderCreateWithData(std::move(bytes)), nullptr,
                         true, kCGRenderingIntentDefault);
}

} // namespace cg
