// Drawing images, and clipping to an image's mask.
#include "platform/core/Log.h"
#include "platform/coregraphics/CGContextPrivate.h"

#include <cmath>

namespace cg {

using detail::checked;

namespace {

bool usableRect(CGRect& rect, const char* function) {
    rect = CGRectStandardize(rect);
    if (!std::isfinite(rect.origin.x) || !std::isfinite(rect.origin.y) || !std::isfinite(rect.size.width) ||
        !std::isfinite(rect.size.height)) {
        platform::log("%s: non-finite rectangle; nothing drawn", function);
        return false;
    }
    return rect.size.width > 0 && rect.size.height > 0;
}

// A pattern of image drawn into rect (user space), for a Cairo context in device space.
cairo_pattern_t* imagePattern(const CGContext& c, cairo_surface_t* surface, const CGImage& image,
                              CGRect rect) {
    cairo_matrix_t toUser = detail::cairoMatrix(detail::deviceTransform(c));
    cairo_matrix_invert(&toUser);
    const double sx = double(image.width) / rect.size.width, sy = double(image.height) / rect.size.height;
    cairo_matrix_t toPixels;
    cairo_matrix_init(&toPixels, sx, 0, 0, -sy, -rect.origin.x * sx, (rect.origin.y + rect.size.height) * sy);
    cairo_matrix_t m;
    cairo_matrix_multiply(&m, &toUser, &toPixels);
    cairo_pattern_t* pattern = cairo_pattern_create_for_surface(surface);
    cairo_pattern_set_matrix(pattern, &m);
    cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
    return pattern;
}

CGPath rectPath(const CGContext& c, CGRect rect) {
    auto path = CGPathCreateMutable();
    CGAffineTransform t = detail::deviceTransform(c);
    CGPathAddRect(path, &t, rect);
    return *path;
}

} // namespace

void CGContextDrawImage(const CGContextRef& context, CGRect rect, const CGImageRef& image) {
    CGContext* c = checked(context, "CGContextDrawImage");
    if (!c || !image || !usableRect(rect, "CGContextDrawImage")) return;
    if (!detail::invertible(detail::deviceTransform(*c))) return;
    cairo_surface_t* surface = detail::surfaceForImage(*image);
    if (!surface) {
        platform::log("CGContextDrawImage: the image's layout cannot be drawn");
        return;
    }
    cairo_pattern_t* pattern = imagePattern(*c, surface, *image, rect);
    const bool nearest = c->gs.quality == kCGInterpolationNone || !image->shouldInterpolate;
    cairo_pattern_set_filter(pattern, nearest ? CAIRO_FILTER_NEAREST : CAIRO_FILTER_BILINEAR);
    CGPath path = rectPath(*c, rect);
    detail::paint(*c, [&](cairo_t* cr) {
        if (!detail::emitPath(cr, path, "CGContextDrawImage")) return;
        cairo_clip(cr);
        cairo_set_source(cr, pattern);
        cairo_paint_with_alpha(cr, c->gs.alpha);
    });
    cairo_pattern_destroy(pattern);
    cairo_surface_destroy(surface);
}

void CGContextClipToMask(const CGContextRef& context, CGRect rect, const CGImageRef& mask) {
    CGContext* c = checked(context, "CGContextClipToMask");
    if (!c) return;
    cairo_surface_t* coverage = cairo_image_surface_create(CAIRO_FORMAT_A8, int(c->width), int(c->height));
    cairo_surface_t* source = mask ? detail::surfaceForImage(*mask) : nullptr;
    if (!source) platform::log("CGContextClipToMask: no usable mask; everything is clipped");
    if (source && usableRect(rect, "CGContextClipToMask") &&
        detail::invertible(detail::deviceTransform(*c))) {
        // A grey image's values are its coverage; anything else gives its alpha.
        if (CGColorSpaceGetModel(mask->space) == kCGColorSpaceModelMonochrome &&
            (mask->bitmapInfo & kCGBitmapAlphaInfoMask) == kCGImageAlphaNone) {
            cairo_surface_t* alpha =
                cairo_image_surface_create(CAIRO_FORMAT_A8, int(mask->width), int(mask->height));
            cairo_surface_flush(alpha);
            uint8_t* out = cairo_image_surface_get_data(alpha);
            const int stride = cairo_image_surface_get_stride(alpha);
            for (size_t y = 0; y < mask->height; ++y)
                for (size_t x = 0; x < mask->width; ++x)
                    out[y * stride + x] = mask->bytes.get()[y * mask->bytesPerRow + x];
            cairo_surface_mark_dirty(alpha);
            cairo_surface_destroy(source);
            source = alpha;
        }
        cairo_t* cr = cairo_create(coverage);
        cairo_pattern_t* pattern = imagePattern(*c, source, *mask, rect);
        cairo_pattern_set_extend(pattern, CAIRO_EXTEND_NONE);
        cairo_pattern_set_filter(pattern,
                                 mask->shouldInterpolate ? CAIRO_FILTER_BILINEAR : CAIRO_FILTER_NEAREST);
        cairo_set_source(cr, pattern);
        cairo_paint(cr);
        if (c->gs.mask) {
            cairo_set_operator(cr, CAIRO_OPERATOR_IN);
            cairo_set_source_surface(cr, c->gs.mask.get(), 0, 0);
            cairo_paint(cr);
        }
        cairo_pattern_destroy(pattern);
        cairo_destroy(cr);
    }
    if (source) cairo_surface_destroy(source);
    c->gs.mask = std::shared_ptr<cairo_surface_t>(coverage, cairo_surface_destroy);
}

} // namespace cg
