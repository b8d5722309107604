// Layer transforms: a 4 × 4 matrix acting on row vectors, as Core Animation keeps them. Layers
// are drawn flat, so only the affine part (m11, m12, m21, m22, m41, m42) reaches the picture.
#pragma once

#include "platform/coregraphics/CGAffineTransform.h"

namespace quartzcore {

struct CATransform3D {
    double m11 = 1, m12 = 0, m13 = 0, m14 = 0;
    double m21 = 0, m22 = 1, m23 = 0, m24 = 0;
    double m31 = 0, m32 = 0, m33 = 1, m34 = 0;
    double m41 = 0, m42 = 0, m43 = 0, m44 = 1;
};

extern const CATransform3D CATransform3DIdentity;

CATransform3D CATransform3DMakeTranslation(double tx, double ty, double tz);
bool CATransform3DIsIdentity(const CATransform3D& t);
bool CATransform3DEqualToTransform(const CATransform3D& a, const CATransform3D& b);
// The part that moves points in the plane.
cg::CGAffineTransform CATransform3DGetAffineTransform(const CATransform3D& t);

} // namespace quartzcore
