// Graphics state, transforms, the current path, fills, strokes, clips and images.
#include "platform/core/Log.h"
#include "platform/coregraphics/CGContextPrivate.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace cg {

using detail::checked;

namespace detail {

namespace {
// Cairo keeps coordinates in 24.8 fixed point; beyond this they would wrap.
constexpr double kLimit = 4194304.0;

double clampCoordinate(double v) {
    return std::clamp(v, -kLimit, kLimit);
}
} // namespace

CGAffineTransform deviceTransform(const CGContext& c) {
    return CGAffineTransformConcat(c.gs.ctm, CGAffineTransformMake(1, 0, 0, -1, 0, double(c.height)));
}

bool invertible(const CGAffineTransform& t) {
    double det = t.a * t.d - t.b * t.c;
    return std::isfinite(det) && std::fabs(det) > 1e-12 && std::isfinite(t.tx) && std::isfinite(t.ty);
}

cairo_matrix_t cairoMatrix(const CGAffineTransform& t) {
    cairo_matrix_t m;
    cairo_matrix_init(&m, t.a, t.b, t.c, t.d, t.tx, t.ty);
    return m;
}

bool emitPath(cairo_t* cr, const CGPath& path, const char* function) {
    for (const auto& e : path.elements) {
        int n = e.type == kCGPathElementCloseSubpath          ? 0
                : e.type == kCGPathElementAddCurveToPoint     ? 3
                : e.type == kCGPathElementAddQuadCurveToPoint ? 2
                                                              : 1;
        for (int i = 0; i < n; ++i) {
            if (!std::isfinite(e.points[i].x) || !std::isfinite(e.points[i].y)) {
                platform::log("%s: non-finite coordinates; nothing drawn", function);
                cairo_new_path(cr);
                return false;
            }
        }
    }
    cairo_new_path(cr);
    CGPoint current;
    for (const auto& e : path.elements) {
        CGPoint p[3];
        for (int i = 0; i < 3; ++i)
            p[i] = {clampCoordinate(e.points[i].x), clampCoordinate(e.points[i].y)};
        switch (e.type) {
        case kCGPathElementMoveToPoint:
            cairo_move_to(cr, p[0].x, p[0].y);
            break;
        case kCGPathElementAddLineToPoint:
            cairo_line_to(cr, p[0].x, p[0].y);
            break;
        case kCGPathElementAddQuadCurveToPoint:
            cairo_curve_to(cr, current.x + 2.0 / 3 * (p[0].x - current.x),
                           current.y + 2.0 / 3 * (p[0].y - current.y), p[1].x + 2.0 / 3 * (p[0].x - p[1].x),
                           p[1].y + 2.0 / 3 * (p[0].y - p[1].y), p[1].x, p[1].y);
            break;
        case kCGPathElementAddCurveToPoint:
            cairo_curve_to(cr, p[0].x, p[0].y, p[1].x, p[1].y, p[2].x, p[2].y);
            break;
        case kCGPathElementCloseSubpath:
            cairo_close_path(cr);
            break;
        }
        double x, y;
        cairo_get_current_point(cr, &x, &y);
        current = {x, y};
    }
    return true;
}

cairo_operator_t cairoOperator(CGBlendMode mode) {
    switch (mode) {
    case kCGBlendModeCopy:
        return CAIRO_OPERATOR_SOURCE;
    case kCGBlendModeXOR:
        return CAIRO_OPERATOR_XOR;
    case kCGBlendModeClear:
        return CAIRO_OPERATOR_CLEAR;
    default:
        return CAIRO_OPERATOR_OVER;
    }
}

namespace {

// One pass of a running-sum box blur of radius r along rows (step 1) or columns (step stride).
void boxBlur(uint8_t* data, int count, int length, int lineStride, int step, int r) {
    std::vector<uint8_t> line(size_t(length), 0);
    for (int l = 0; l < count; ++l) {
        uint8_t* base = data + size_t(l) * lineStride;
        for (int i = 0; i < length; ++i)
            line[size_t(i)] = base[size_t(i) * step];
        int sum = 0;
        for (int i = -r; i <= r; ++i)
            sum += (i >= 0 && i < length) ? line[size_t(i)] : 0;
        for (int i = 0; i < length; ++i) {
            base[size_t(i) * step] = uint8_t(sum / (2 * r + 1));
            const int out = i - r, in = i + r + 1;
            if (out >= 0) sum -= line[size_t(out)];
            if (in < length) sum += line[size_t(in)];
        }
    }
}

} // namespace

cairo_surface_t* shadowCoverage(const CGContext& c, cairo_pattern_t* drawing) {
    const int w = int(c.width), h = int(c.height);
    cairo_surface_t* coverage = cairo_image_surface_create(CAIRO_FORMAT_A8, w, h);
    cairo_t* cr = cairo_create(coverage);
    // The offset is in the base space, y up; Cairo's device space runs y down.
    cairo_translate(cr, c.gs.shadowOffset.width, -c.gs.shadowOffset.height);
    cairo_set_source(cr, drawing);
    cairo_paint(cr);
    cairo_destroy(cr);
    // Three box passes each way come close to the Gaussian a blur radius stands for.
    const int r = int(std::lround(c.gs.shadowBlur / 2));
    if (r > 0) {
        cairo_surface_flush(coverage);
        uint8_t* data = cairo_image_surface_get_data(coverage);
        const int stride = cairo_image_surface_get_stride(coverage);
        for (int pass = 0; pass < 3; ++pass) {
            boxBlur(data, h, w, stride, 1, r);
            boxBlur(data, w, h, 1, stride, r);
        }
        cairo_surface_mark_dirty(coverage);
    }
    return coverage;
}

} // namespace detail

namespace {

using detail::deviceTransform;

void setColor(cairo_t* cr, const RGBA& c, double alpha) {
    cairo_set_source_rgba(cr, c.r, c.g, c.b, c.a * alpha);
}

double finiteOr(double v, double fallback) {
    return std::isfinite(v) ? v : fallback;
}

// The path a one-shot call paints, in device space.
CGPath devicePath(const CGContext& c, void (*add)(const CGMutablePathRef&, const CGAffineTransform*, CGRect),
                  CGRect rect) {
    auto path = CGPathCreateMutable();
    CGAffineTransform t = deviceTransform(c);
    add(path, &t, rect);
    return *path;
}

void fill(CGContext& c, const CGPath& path, cairo_fill_rule_t rule, const char* function) {
    detail::paint(c, [&](cairo_t* cr) {
        if (!detail::emitPath(cr, path, function)) return;
        cairo_set_fill_rule(cr, rule);
        setColor(cr, c.gs.fill, c.gs.alpha);
        cairo_fill(cr);
    });
}

void stroke(CGContext& c, const CGPath& path, const char* function) {
    CGAffineTransform t = deviceTransform(c);
    if (!detail::invertible(t)) return; // a flattened space strokes nothing
    detail::paint(c, [&](cairo_t* cr) {
        if (!detail::emitPath(cr, path, function)) return;
        // The pen is shaped in user space; the path is already in device space.
        cairo_matrix_t m = detail::cairoMatrix(t);
        cairo_set_matrix(cr, &m);
        cairo_set_line_width(cr, c.gs.lineWidth);
        cairo_set_line_cap(cr, cairo_line_cap_t(c.gs.cap));
        cairo_set_line_join(cr, cairo_line_join_t(c.gs.join));
        cairo_set_miter_limit(cr, c.gs.miterLimit);
        cairo_set_dash(cr, c.gs.dashes.data(), int(c.gs.dashes.size()), c.gs.dashPhase);
        setColor(cr, c.gs.stroke, c.gs.alpha);
        cairo_stroke(cr);
    });
}

void takePath(CGContext& c, CGPath& out) {
    out = *c.path;
    c.path = CGPathCreateMutable();
}

void clipTo(CGContext& c, const CGPath& path, cairo_fill_rule_t rule, const char* function) {
    if (!detail::emitPath(c.cr, path, function)) {
        // Geometry that cannot be drawn clips everything away, as an empty path does.
        cairo_new_path(c.cr);
    }
    cairo_set_fill_rule(c.cr, rule);
    cairo_clip(c.cr);
}

// Maps a CGPath function's transform onto the current path, which is kept in device space.
template <typename Add> void addToPath(const CGContextRef& context, const char* function, Add&& add) {
    CGContext* c = checked(context, function);
    if (!c) return;
    CGAffineTransform t = deviceTransform(*c);
    add(c->path, &t);
}

} // namespace

void CGContextSaveGState(const CGContextRef& context) {
    CGContext* c = checked(context, "CGContextSaveGState");
    if (!c) return;
    c->saved.push_back(c->gs);
    cairo_save(c->cr);
}

void CGContextRestoreGState(const CGContextRef& context) {
    CGContext* c = checked(context, "CGContextRestoreGState");
    if (!c) return;
    if (c->saved.empty()) {
        platform::log("CGContextRestoreGState: no saved graphics state");
        return;
    }
    c->gs = std::move(c->saved.back());
    c->saved.pop_back();
    cairo_restore(c->cr);
}

void CGContextConcatCTM(const CGContextRef& context, CGAffineTransform t) {
    CGContext* c = checked(context, "CGContextConcatCTM");
    if (c) c->gs.ctm = CGAffineTransformConcat(t, c->gs.ctm);
}

void CGContextScaleCTM(const CGContextRef& context, CGFloat sx, CGFloat sy) {
    CGContextConcatCTM(context, CGAffineTransformMakeScale(sx, sy));
}

void CGContextTranslateCTM(const CGContextRef& context, CGFloat tx, CGFloat ty) {
    CGContextConcatCTM(context, CGAffineTransformMakeTranslation(tx, ty));
}

void CGContextRotateCTM(const CGContextRef& context, CGFloat angle) {
    CGContextConcatCTM(context, CGAffineTransformMakeRotation(angle));
}

CGAffineTransform CGContextGetCTM(const CGContextRef& context) {
    CGContext* c = checked(context, "CGContextGetCTM");
    return c ? c->gs.ctm : CGAffineTransformIdentity;
}

void CGContextSetLineWidth(const CGContextRef& context, CGFloat width) {
    if (CGContext* c = checked(context, "CGContextSetLineWidth"))
        c->gs.lineWidth = std::max(0.0, finiteOr(width, 1));
}

void CGContextSetLineCap(const CGContextRef& context, CGLineCap cap) {
    if (CGContext* c = checked(context, "CGContextSetLineCap"))
        c->gs.cap = CGLineCap(std::clamp(int(cap), 0, 2));
}

void CGContextSetLineJoin(const CGContextRef& context, CGLineJoin join) {
    if (CGContext* c = checked(context, "CGContextSetLineJoin"))
        c->gs.join = CGLineJoin(std::clamp(int(join), 0, 2));
}

void CGContextSetMiterLimit(const CGContextRef& context, CGFloat limit) {
    if (CGContext* c = checked(context, "CGContextSetMiterLimit")) c->gs.miterLimit = finiteOr(limit, 10);
}

void CGContextSetLineDash(const CGContextRef& context, CGFloat phase, const CGFloat* lengths, size_t count) {
    CGContext* c = checked(context, "CGContextSetLineDash");
    if (!c) return;
    c->gs.dashes.clear();
    c->gs.dashPhase = finiteOr(phase, 0);
    if (!lengths || count == 0) return;
    double total = 0;
    for (size_t i = 0; i < count; ++i) {
        if (!std::isfinite(lengths[i]) || lengths[i] < 0) {
            platform::log("CGContextSetLineDash: invalid dash lengths; solid lines");
            return;
        }
        total += lengths[i];
    }
    if (total > 0) c->gs.dashes.assign(lengths, lengths + count);
}

void CGContextSetFillColorWithColor(const CGContextRef& context, const CGColorRef& color) {
    if (CGContext* c = checked(context, "CGContextSetFillColorWithColor")) c->gs.fill = rgbaOfColor(color);
}

void CGContextSetStrokeColorWithColor(const CGContextRef& context, const CGColorRef& color) {
    if (CGContext* c = checked(context, "CGContextSetStrokeColorWithColor"))
        c->gs.stroke = rgbaOfColor(color);
}

void CGContextSetRGBFillColor(const CGContextRef& context, CGFloat r, CGFloat g, CGFloat b, CGFloat a) {
    CGContextSetFillColorWithColor(context, CGColorCreateGenericRGB(r, g, b, a));
}

void CGContextSetRGBStrokeColor(const CGContextRef& context, CGFloat r, CGFloat g, CGFloat b, CGFloat a) {
    CGContextSetStrokeColorWithColor(context, CGColorCreateGenericRGB(r, g, b, a));
}

void CGContextSetGrayFillColor(const CGContextRef& context, CGFloat gray, CGFloat a) {
    CGContextSetFillColorWithColor(context, CGColorCreateGenericGray(gray, a));
}

void CGContextSetGrayStrokeColor(const CGContextRef& context, CGFloat gray, CGFloat a) {
    CGContextSetStrokeColorWithColor(context, CGColorCreateGenericGray(gray, a));
}

void CGContextSetAlpha(const CGContextRef& context, CGFloat alpha) {
    if (CGContext* c = checked(context, "CGContextSetAlpha"))
        c->gs.alpha = std::clamp(finiteOr(alpha, 1), 0.0, 1.0);
}

void CGContextSetBlendMode(const CGContextRef& context, CGBlendMode mode) {
    CGContext* c = checked(context, "CGContextSetBlendMode");
    if (!c) return;
    if (mode != kCGBlendModeNormal && mode != kCGBlendModeCopy && mode != kCGBlendModeXOR &&
        mode != kCGBlendModeClear) {
        platform::log("CGContextSetBlendMode: blend mode %d is not drawn; normal used", int(mode));
        mode = kCGBlendModeNormal;
    }
    c->gs.blend = mode;
}

void CGContextSetInterpolationQuality(const CGContextRef& context, CGInterpolationQuality quality) {
    if (CGContext* c = checked(context, "CGContextSetInterpolationQuality")) c->gs.quality = quality;
}

CGInterpolationQuality CGContextGetInterpolationQuality(const CGContextRef& context) {
    CGContext* c = checked(context, "CGContextGetInterpolationQuality");
    return c ? c->gs.quality : kCGInterpolationDefault;
}

void CGContextSetShouldAntialias(const CGContextRef& context, bool antialias) {
    if (CGContext* c = checked(context, "CGContextSetShouldAntialias")) c->gs.antialias = antialias;
}

void CGContextSetShadowWithColor(const CGContextRef& context, CGSize offset, CGFloat blur,
                                 const CGColorRef& color) {
    CGContext* c = checked(context, "CGContextSetShadowWithColor");
    if (!c) return;
    if (!color || !std::isfinite(offset.width) || !std::isfinite(offset.height) || !std::isfinite(blur)) {
        c->gs.shadowColor.reset();
        return;
    }
    c->gs.shadowColor = rgbaOfColor(color);
    c->gs.shadowOffset = offset;
    // A blur is a radius: a negative one blurs nothing; a huge one is held to the bitmap.
    c->gs.shadowBlur = std::clamp(double(blur), 0.0, double(std::max(c->width, c->height)));
}

void CGContextBeginPath(const CGContextRef& context) {
    if (CGContext* c = checked(context, "CGContextBeginPath")) c->path = CGPathCreateMutable();
}

void CGContextMoveToPoint(const CGContextRef& context, CGFloat x, CGFloat y) {
    addToPath(context, "CGContextMoveToPoint", [&](auto& p, auto* t) { CGPathMoveToPoint(p, t, x, y); });
}

void CGContextAddLineToPoint(const CGContextRef& context, CGFloat x, CGFloat y) {
    addToPath(context, "CGContextAddLineToPoint",
              [&](auto& p, auto* t) { CGPathAddLineToPoint(p, t, x, y); });
}

void CGContextAddCurveToPoint(const CGContextRef& context, CGFloat cp1x, CGFloat cp1y, CGFloat cp2x,
                              CGFloat cp2y, CGFloat x, CGFloat y) {
    addToPath(context, "CGContextAddCurveToPoint",
              [&](auto& p, auto* t) { CGPathAddCurveToPoint(p, t, cp1x, cp1y, cp2x, cp2y, x, y); });
}

void CGContextAddQuadCurveToPoint(const CGContextRef& context, CGFloat cpx, CGFloat cpy, CGFloat x,
                                  CGFloat y) {
    addToPath(context, "CGContextAddQuadCurveToPoint",
              [&](auto& p, auto* t) { CGPathAddQuadCurveToPoint(p, t, cpx, cpy, x, y); });
}

void CGContextAddArc(const CGContextRef& context, CGFloat x, CGFloat y, CGFloat radius, CGFloat startAngle,
                     CGFloat endAngle, int clockwise) {
    addToPath(context, "CGContextAddArc", [&](auto& p, auto* t) {
        CGPathAddArc(p, t, x, y, radius, startAngle, endAngle, clockwise != 0);
    });
}

void CGContextAddRect(const CGContextRef& context, CGRect rect) {
    addToPath(context, "CGContextAddRect", [&](auto& p, auto* t) { CGPathAddRect(p, t, rect); });
}

void CGContextAddEllipseInRect(const CGContextRef& context, CGRect rect) {
    addToPath(context, "CGContextAddEllipseInRect",
              [&](auto& p, auto* t) { CGPathAddEllipseInRect(p, t, rect); });
}

void CGContextAddPath(const CGContextRef& context, const CGPathRef& path) {
    addToPath(context, "CGContextAddPath", [&](auto& p, auto* t) { CGPathAddPath(p, t, path); });
}

void CGContextClosePath(const CGContextRef& context) {
    if (CGContext* c = checked(context, "CGContextClosePath")) CGPathCloseSubpath(c->path);
}

bool CGContextIsPathEmpty(const CGContextRef& context) {
    CGContext* c = checked(context, "CGContextIsPathEmpty");
    return !c || CGPathIsEmpty(c->path);
}

void CGContextDrawPath(const CGContextRef& context, CGPathDrawingMode mode) {
    CGContext* c = checked(context, "CGContextDrawPath");
    if (!c) return;
    CGPath path;
    takePath(*c, path);
    if (mode == kCGPathFill || mode == kCGPathFillStroke)
        fill(*c, path, CAIRO_FILL_RULE_WINDING, "CGContextDrawPath");
    if (mode == kCGPathEOFill || mode == kCGPathEOFillStroke)
        fill(*c, path, CAIRO_FILL_RULE_EVEN_ODD, "CGContextDrawPath");
    if (mode == kCGPathStroke || mode == kCGPathFillStroke || mode == kCGPathEOFillStroke)
        stroke(*c, path, "CGContextDrawPath");
}

void CGContextFillPath(const CGContextRef& context) {
    if (checked(context, "CGContextFillPath")) CGContextDrawPath(context, kCGPathFill);
}

void CGContextEOFillPath(const CGContextRef& context) {
    if (checked(context, "CGContextEOFillPath")) CGContextDrawPath(context, kCGPathEOFill);
}

void CGContextStrokePath(const CGContextRef& context) {
    if (checked(context, "CGContextStrokePath")) CGContextDrawPath(context, kCGPathStroke);
}

void CGContextFillRect(const CGContextRef& context, CGRect rect) {
    if (CGContext* c = checked(context, "CGContextFillRect"))
        fill(*c, devicePath(*c, CGPathAddRect, rect), CAIRO_FILL_RULE_WINDING, "CGContextFillRect");
}

void CGContextFillEllipseInRect(const CGContextRef& context, CGRect rect) {
    if (CGContext* c = checked(context, "CGContextFillEllipseInRect"))
        fill(*c, devicePath(*c, CGPathAddEllipseInRect, rect), CAIRO_FILL_RULE_WINDING,
             "CGContextFillEllipseInRect");
}

void CGContextStrokeRect(const CGContextRef& context, CGRect rect) {
    if (CGContext* c = checked(context, "CGContextStrokeRect"))
        stroke(*c, devicePath(*c, CGPathAddRect, rect), "CGContextStrokeRect");
}

void CGContextStrokeRectWithWidth(const CGContextRef& context, CGRect rect, CGFloat width) {
    CGContext* c = checked(context, "CGContextStrokeRectWithWidth");
    if (!c) return;
    double previous = c->gs.lineWidth;
    CGContextSetLineWidth(context, width);
    stroke(*c, devicePath(*c, CGPathAddRect, rect), "CGContextStrokeRectWithWidth");
    c->gs.lineWidth = previous;
}

void CGContextStrokeLineSegments(const CGContextRef& context, const CGPoint* points, size_t count) {
    CGContext* c = checked(context, "CGContextStrokeLineSegments");
    if (!c || !points) return;
    auto path = CGPathCreateMutable();
    CGAffineTransform t = deviceTransform(*c);
    for (size_t i = 0; i + 1 < count; i += 2) {
        CGPathMoveToPoint(path, &t, points[i].x, points[i].y);
        CGPathAddLineToPoint(path, &t, points[i + 1].x, points[i + 1].y);
    }
    stroke(*c, *path, "CGContextStrokeLineSegments");
}

void CGContextClearRect(const CGContextRef& context, CGRect rect) {
    CGContext* c = checked(context, "CGContextClearRect");
    if (!c) return;
    CGBlendMode previous = c->gs.blend;
    c->gs.blend = kCGBlendModeClear;
    fill(*c, devicePath(*c, CGPathAddRect, rect), CAIRO_FILL_RULE_WINDING, "CGContextClearRect");
    c->gs.blend = previous;
}

void CGContextClip(const CGContextRef& context) {
    CGContext* c = checked(context, "CGContextClip");
    if (!c) return;
    CGPath path;
    takePath(*c, path);
    clipTo(*c, path, CAIRO_FILL_RULE_WINDING, "CGContextClip");
}

void CGContextEOClip(const CGContextRef& context) {
    CGContext* c = checked(context, "CGContextEOClip");
    if (!c) return;
    CGPath path;
    takePath(*c, path);
    clipTo(*c, path, CAIRO_FILL_RULE_EVEN_ODD, "CGContextEOClip");
}

void CGContextClipToRect(const CGContextRef& context, CGRect rect) {
    if (CGContext* c = checked(context, "CGContextClipToRect"))
        clipTo(*c, devicePath(*c, CGPathAddRect, rect), CAIRO_FILL_RULE_WINDING, "CGContextClipToRect");
}

CGRect CGContextGetClipBoundingBox(const CGContextRef& context) {
    CGContext* c = checked(context, "CGContextGetClipBoundingBox");
    if (!c) return CGRectNull;
    double x0, y0, x1, y1;
    cairo_clip_extents(c->cr, &x0, &y0, &x1, &y1); // device space
    CGAffineTransform t = deviceTransform(*c);
    if (!detail::invertible(t) || x1 <= x0 || y1 <= y0) return CGRectNull;
    cairo_matrix_t m = detail::cairoMatrix(t);
    cairo_matrix_invert(&m);
    double xs[4] = {x0, x1, x0, x1}, ys[4] = {y0, y0, y1, y1};
    double ux0 = INFINITY, uy0 = INFINITY, ux1 = -INFINITY, uy1 = -INFINITY;
    for (int i = 0; i < 4; ++i) {
        cairo_matrix_transform_point(&m, &xs[i], &ys[i]);
        ux0 = std::min(ux0, xs[i]), ux1 = std::max(ux1, xs[i]);
        uy0 = std::min(uy0, ys[i]), uy1 = std::max(uy1, ys[i]);
    }
    return CGRectMake(ux0, uy0, ux1 - ux0, uy1 - uy0);
}

} // namespace cg
