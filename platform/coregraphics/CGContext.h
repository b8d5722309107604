// Bitmap contexts and drawing. A context draws through Cairo into its bitmap; whatever the
// bitmap's layout, each call's result is in the bitmap's memory when the call returns. User
// space has its origin at the bottom-left corner, y up, until the transform (CTM) changes it.
// A null context, non-finite geometry or an unsupported request is one log line and draws
// nothing.
#pragma once

#include "platform/coregraphics/CGAffineTransform.h"
#include "platform/coregraphics/CGColor.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/coregraphics/CGPath.h"

#include <memory>
#include <string>

namespace cg {

struct CGContext;
using CGContextRef = std::shared_ptr<CGContext>;

// data null: the context allocates zeroed memory. Null (logged) unless the layout is one
// PixelLayout.h lists, the sides are 1 to 16384 and bytesPerRow (0: packed) holds a row;
// a caller's data must hold bytesPerRow × height bytes.
CGContextRef CGBitmapContextCreate(void* data, size_t width, size_t height, size_t bitsPerComponent,
                                   size_t bytesPerRow, const CGColorSpaceRef& space, CGBitmapInfo bitmapInfo);
// The display side's form: device RGB.
CGContextRef CGBitmapContextCreate(void* data, size_t width, size_t height, size_t bitsPerComponent,
                                   size_t bytesPerRow, CGBitmapInfo bitmapInfo);
// release (releaseInfo, data) runs when the context goes; also when creation fails.
using CGBitmapContextReleaseDataCallback = void (*)(void* releaseInfo, void* data);
CGContextRef CGBitmapContextCreateWithData(void* data, size_t width, size_t height, size_t bitsPerComponent,
                                           size_t bytesPerRow, const CGColorSpaceRef& space,
                                           CGBitmapInfo bitmapInfo,
                                           CGBitmapContextReleaseDataCallback release, void* releaseInfo);
void* CGBitmapContextGetData(const CGContextRef& context);
size_t CGBitmapContextGetWidth(const CGContextRef& context);
size_t CGBitmapContextGetHeight(const CGContextRef& context);
size_t CGBitmapContextGetBytesPerRow(const CGContextRef& context);
size_t CGBitmapContextGetBitsPerComponent(const CGContextRef& context);
size_t CGBitmapContextGetBitsPerPixel(const CGContextRef& context);
CGBitmapInfo CGBitmapContextGetBitmapInfo(const CGContextRef& context);
CGColorSpaceRef CGBitmapContextGetColorSpace(const CGContextRef& context);
// A copy of the context's pixels in its layout.
CGImageRef CGBitmapContextCreateImage(const CGContextRef& context);

// Graphics state: transform, clip, colours, alpha, blend mode, line style, interpolation,
// anti-aliasing and font.
void CGContextSaveGState(const CGContextRef& context);
void CGContextRestoreGState(const CGContextRef& context); // unbalanced: logged, nothing changes

void CGContextScaleCTM(const CGContextRef& context, CGFloat sx, CGFloat sy);
void CGContextTranslateCTM(const CGContextRef& context, CGFloat tx, CGFloat ty);
void CGContextRotateCTM(const CGContextRef& context, CGFloat angle);
void CGContextConcatCTM(const CGContextRef& context, CGAffineTransform transform);
CGAffineTransform CGContextGetCTM(const CGContextRef& context);

enum CGLineCap : int32_t { kCGLineCapButt = 0, kCGLineCapRound = 1, kCGLineCapSquare = 2 };
enum CGLineJoin : int32_t { kCGLineJoinMiter = 0, kCGLineJoinRound = 1, kCGLineJoinBevel = 2 };
// Drawn: normal, copy, exclusive-or and clear; any other mode is logged and draws as normal.
enum CGBlendMode : int32_t {
    kCGBlendModeNormal = 0,
    kCGBlendModeMultiply = 1,
    kCGBlendModeClear = 16,
    kCGBlendModeCopy = 17,
    kCGBlendModeSourceIn = 18,
    kCGBlendModeXOR = 25,
};
enum CGPathDrawingMode : int32_t {
    kCGPathFill = 0,
    kCGPathEOFill = 1,
    kCGPathStroke = 2,
    kCGPathFillStroke = 3,
    kCGPathEOFillStroke = 4,
};

void CGContextSetLineWidth(const CGContextRef& context, CGFloat width);
void CGContextSetLineCap(const CGContextRef& context, CGLineCap cap);
void CGContextSetLineJoin(const CGContextRef& context, CGLineJoin join);
void CGContextSetMiterLimit(const CGContextRef& context, CGFloat limit);
// count 0 (or null lengths): solid lines.
void CGContextSetLineDash(const CGContextRef& context, CGFloat phase, const CGFloat* lengths, size_t count);
void CGContextSetFillColorWithColor(const CGContextRef& context, const CGColorRef& color);
void CGContextSetStrokeColorWithColor(const CGContextRef& context, const CGColorRef& color);
void CGContextSetRGBFillColor(const CGContextRef& context, CGFloat r, CGFloat g, CGFloat b, CGFloat a);
void CGContextSetRGBStrokeColor(const CGContextRef& context, CGFloat r, CGFloat g, CGFloat b, CGFloat a);
void CGContextSetGrayFillColor(const CGContextRef& context, CGFloat gray, CGFloat a);
void CGContextSetGrayStrokeColor(const CGContextRef& context, CGFloat gray, CGFloat a);
void CGContextSetAlpha(const CGContextRef& context, CGFloat alpha);
void CGContextSetBlendMode(const CGContextRef& context, CGBlendMode mode);
void CGContextSetInterpolationQuality(const CGContextRef& context, CGInterpolationQuality quality);
CGInterpolationQuality CGContextGetInterpolationQuality(const CGContextRef& context);
void CGContextSetShouldAntialias(const CGContextRef& context, bool antialias);
// Everything drawn afterwards casts a shadow of color, moved by offset (device pixels, y up,
// whatever the transform) and blurred over blur pixels; a null color turns the shadow off.
void CGContextSetShadowWithColor(const CGContextRef& context, CGSize offset, CGFloat blur,
                                 const CGColorRef& color);

// The current path, held in device space as it is built.
void CGContextBeginPath(const CGContextRef& context);
void CGContextMoveToPoint(const CGContextRef& context, CGFloat x, CGFloat y);
void CGContextAddLineToPoint(const CGContextRef& context, CGFloat x, CGFloat y);
void CGContextAddCurveToPoint(const CGContextRef& context, CGFloat cp1x, CGFloat cp1y, CGFloat cp2x,
                              CGFloat cp2y, CGFloat x, CGFloat y);
void CGContextAddQuadCurveToPoint(const CGContextRef& context, CGFloat cpx, CGFloat cpy, CGFloat x,
                                  CGFloat y);
void CGContextAddArc(const CGContextRef& context, CGFloat x, CGFloat y, CGFloat radius, CGFloat startAngle,
                     CGFloat endAngle, int clockwise);
void CGContextAddRect(const CGContextRef& context, CGRect rect);
void CGContextAddEllipseInRect(const CGContextRef& context, CGRect rect);
void CGContextAddPath(const CGContextRef& context, const CGPathRef& path);
void CGContextClosePath(const CGContextRef& context);
bool CGContextIsPathEmpty(const CGContextRef& context);

// Painting consumes the current path.
void CGContextDrawPath(const CGContextRef& context, CGPathDrawingMode mode);
void CGContextFillPath(const CGContextRef& context);
void CGContextEOFillPath(const CGContextRef& context);
void CGContextStrokePath(const CGContextRef& context);
void CGContextFillRect(const CGContextRef& context, CGRect rect);
void CGContextFillEllipseInRect(const CGContextRef& context, CGRect rect);
void CGContextStrokeRect(const CGContextRef& context, CGRect rect);
void CGContextStrokeRectWithWidth(const CGContextRef& context, CGRect rect, CGFloat width);
void CGContextStrokeLineSegments(const CGContextRef& context, const CGPoint* points, size_t count);
// Makes rect transparent (skipped alpha: black), whatever the blend mode.
void CGContextClearRect(const CGContextRef& context, CGRect rect);

// Clips intersect the current clip. A mask image's alpha (grey value for grey images) is
// the coverage inside rect; outside rect nothing is drawn.
void CGContextClip(const CGContextRef& context);
void CGContextEOClip(const CGContextRef& context);
void CGContextClipToRect(const CGContextRef& context, CGRect rect);
void CGContextClipToMask(const CGContextRef& context, CGRect rect, const CGImageRef& mask);
CGRect CGContextGetClipBoundingBox(const CGContextRef& context); // user space

// Draws image scaled into rect, its first row at the top of rect (y up).
void CGContextDrawImage(const CGContextRef& context, CGRect rect, const CGImageRef& image);

// Text (drawn in the fill colour). Every font name selects DejaVu Sans, the bold face for
// names ending "-Bold". The text position advances past what is shown.
enum CGTextEncoding : int32_t { kCGEncodingFontSpecific = 0, kCGEncodingMacRoman = 1 };
// Fill paints; invisible only advances the text position (how text is measured).
enum CGTextDrawingMode : int32_t { kCGTextFill = 0, kCGTextInvisible = 3 };
void CGContextSetTextDrawingMode(const CGContextRef& context, CGTextDrawingMode mode);
void CGContextSelectFont(const CGContextRef& context, const char* name, CGFloat size,
                         CGTextEncoding encoding);
void CGContextSetFontSize(const CGContextRef& context, CGFloat size);
void CGContextSetTextPosition(const CGContextRef& context, CGFloat x, CGFloat y);
CGPoint CGContextGetTextPosition(const CGContextRef& context);
// UTF-8 text of length bytes.
void CGContextShowText(const CGContextRef& context, const char* string, size_t length);
void CGContextShowTextAtPoint(const CGContextRef& context, CGFloat x, CGFloat y, const char* string,
                              size_t length);

} // namespace cg
