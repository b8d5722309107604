// Rounding, scaling, distances, centres and gradient geometry on Core Graphics values.
// Several of these round through single precision on purpose: their callers compare
// against results computed that way.
#pragma once

#include "platform/coregraphics/CGAffineTransform.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGGeometry.h"

namespace foundation {

using cg::CGAffineTransform;
using cg::CGFloat;
using cg::CGPoint;
using cg::CGRect;
using cg::CGSize;

// Halves go toward positive infinity: 2.5 gives 3, -2.5 gives -2.
CGFloat CGFloatRound(CGFloat value);
CGSize CGSizeIntegral(CGSize size);

CGPoint CGPointGetMid(CGPoint p, CGPoint q);
CGFloat CGPointDistance(CGPoint p, CGPoint q);
bool CGPointProximateWithin(CGPoint p, CGPoint q, CGFloat distance);

CGSize CGSizeScale(CGSize size, CGFloat factor);   // rounds up
CGPoint CGPointScale(CGPoint point, CGFloat factor); // rounds up
CGRect CGRectScale(CGRect rect, CGFloat factor);   // rounds halves away from zero
CGRect CGRectRound(CGRect rect);
CGFloat CGRectArea(CGRect rect);

CGPoint CGRectGetMidPoint(CGRect rect);
CGPoint CGRectGetCenter(CGRect rect);
CGRect CGRectOfSizeCenteredInRect(CGSize size, CGRect rect);
// The size scaled to fit inside the rectangle with its aspect kept, centred in it.
CGRect CGRectWithSizeScaledToFitRect(CGSize size, CGRect rect);
CGRect CGRectContract(CGSize amount, CGRect rect); // origin kept, size reduced
CGRect CGRectShift(CGSize amount, CGRect rect);    // far corner kept
// A quarter turn (±90 or ±270 whole degrees) swaps the axes; other angles change nothing.
CGRect CGRectRotateMediaBoxWithAngle(int angle, CGRect rect);

// A rotation by angle radians about point, followed by transform.
CGAffineTransform CGAffineTransformRotateAroundPoint(CGFloat angle, CGPoint point, CGAffineTransform transform);

// Radial gradient geometry: the centre moved by offset (in half-sizes of the rectangle) and
// the distance from it to the rectangle's farther corner. Null outputs are skipped.
void CGRectComputeCenterAndRadiusWithOffset(CGPoint offset, CGRect rect, CGPoint* center, CGFloat* radius);
// Linear gradient geometry: where a gradient at angle degrees starts and ends so that it
// spans the rectangle. Null outputs are skipped.
void CGRectComputeEndpointsWithAngle(CGFloat angle, CGRect rect, CGPoint* start, CGPoint* end);

// Save and restore of a context's graphics state under names of their own, so that a debugger
// can stop on this code's saves and restores alone.
void QNContextSaveGStateDebug(const cg::CGContextRef& context);
void QNContextRestoreGStateDebug(const cg::CGContextRef& context);

} // namespace foundation
