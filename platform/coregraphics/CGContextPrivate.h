// What the drawing files share of a context: its bitmap, its Cairo surface and state, and the
// steps every drawing call takes (check, prepare, draw, write back).
#pragma once

#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/PixelLayout.h"

#include <cairo.h>

#include <optional>
#include <string>
#include <vector>

namespace cg {

struct CGContext {
    struct GState {
        CGAffineTransform ctm = CGAffineTransformIdentity;
        RGBA fill{0, 0, 0, 1};
        RGBA stroke{0, 0, 0, 1};
        double alpha = 1;
        CGBlendMode blend = kCGBlendModeNormal;
        CGInterpolationQuality quality = kCGInterpolationDefault;
        bool antialias = true;
        double lineWidth = 1;
        CGLineCap cap = kCGLineCapButt;
        CGLineJoin join = kCGLineJoinMiter;
        double miterLimit = 10;
        double dashPhase = 0;
        std::vector<double> dashes;
        // The clip's mask in device pixels (A8), shared between saved states; null: none.
        std::shared_ptr<cairo_surface_t> mask;
        // A shadow under everything drawn: its colour (none: no shadow), its offset in device
        // pixels (y up) and its blur radius.
        std::optional<RGBA> shadowColor;
        CGSize shadowOffset{0, 0};
        double shadowBlur = 0;
        std::string fontName = "Helvetica";
        double fontSize = 12;
        CGTextDrawingMode textMode = kCGTextFill;
    };

    // The bitmap.
    uint8_t* data = nullptr;
    std::unique_ptr<uint8_t[]> own;
    size_t width = 0, height = 0, bytesPerRow = 0, bitsPerPixel = 0;
    CGBitmapInfo bitmapInfo = 0;
    CGColorSpaceRef space;
    detail::PixelLayout layout;
    CGBitmapContextReleaseDataCallback release = nullptr;
    void* releaseInfo = nullptr;

    // Cairo draws into the bitmap itself when its layout is Cairo's, else into shadow, which
    // is read from the bitmap before each drawing call and written back after it.
    std::unique_ptr<uint8_t[]> shadow;
    cairo_surface_t* surface = nullptr;
    cairo_t* cr = nullptr;

    GState gs;
    std::vector<GState> saved;
    CGMutablePathRef path; // device space
    CGPoint textPosition;

    CGContext() = default;
    CGContext(const CGContext&) = delete;
    CGContext& operator=(const CGContext&) = delete;
    ~CGContext();
};

namespace detail {

// The context, or null after logging "<function>: invalid context 0x0".
CGContext* checked(const CGContextRef& context, const char* function);

// User space to Cairo's device space (y down).
CGAffineTransform deviceTransform(const CGContext& c);
bool invertible(const CGAffineTransform& t);
cairo_matrix_t cairoMatrix(const CGAffineTransform& t);

// Puts a device-space path into Cairo's current path; false (logged under function) when a
// point is not finite. Coordinates are clamped to what Cairo's fixed point holds.
bool emitPath(cairo_t* cr, const CGPath& path, const char* function);

cairo_operator_t cairoOperator(CGBlendMode mode);

// Runs draw between the bitmap's read and write-back, under the clip's mask if any.
template <typename Draw> void paint(CGContext& c, Draw&& draw);
void beginPaint(CGContext& c);
void endPaint(CGContext& c);

// The coverage (A8, device pixels) of the shadow a drawing casts: the drawing's alpha moved
// by the state's offset and blurred by its radius. The caller destroys it.
cairo_surface_t* shadowCoverage(const CGContext& c, cairo_pattern_t* drawing);

// A Cairo surface over (or converted from) an image's pixels; null for an unusable image.
cairo_surface_t* surfaceForImage(const CGImage& image);

template <typename Draw> void paint(CGContext& c, Draw&& draw) {
    beginPaint(c);
    cairo_save(c.cr);
    cairo_set_operator(c.cr, cairoOperator(c.gs.blend));
    cairo_set_antialias(c.cr, c.gs.antialias ? CAIRO_ANTIALIAS_DEFAULT : CAIRO_ANTIALIAS_NONE);
    auto throughClip = [&c](auto&& drawing) {
        if (c.gs.mask) {
            // Drawn into a group, then through the mask; a copy under a mask composes as normal.
            cairo_push_group(c.cr);
            drawing(c.cr);
            cairo_pop_group_to_source(c.cr);
            if (c.gs.blend == kCGBlendModeCopy) cairo_set_operator(c.cr, CAIRO_OPERATOR_OVER);
            cairo_mask_surface(c.cr, c.gs.mask.get(), 0, 0);
        } else {
            drawing(c.cr);
        }
    };
    if (c.gs.shadowColor && c.gs.shadowColor->a > 0) {
        // The drawing is made once, aside; its shadow goes down first, then the drawing itself.
        cairo_push_group(c.cr);
        draw(c.cr);
        cairo_pattern_t* drawing = cairo_pop_group(c.cr);
        cairo_surface_t* shadow = shadowCoverage(c, drawing);
        const RGBA color = *c.gs.shadowColor;
        throughClip([&](cairo_t* cr) {
            cairo_set_source_rgba(cr, color.r, color.g, color.b, color.a);
            cairo_mask_surface(cr, shadow, 0, 0);
        });
        throughClip([&](cairo_t* cr) {
            cairo_set_source(cr, drawing);
            cairo_paint(cr);
        });
        cairo_surface_destroy(shadow);
        cairo_pattern_destroy(drawing);
    } else {
        throughClip(draw);
    }
    cairo_restore(c.cr);
    endPaint(c);
}

} // namespace detail
} // namespace cg
