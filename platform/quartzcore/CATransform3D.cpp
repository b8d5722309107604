#include "platform/quartzcore/CATransform3D.h"

namespace quartzcore {

const CATransform3D CATransform3DIdentity{};

CATransform3D CATransform3DMakeTranslation(double tx, double ty, double tz) {
    CATransform3D t;
    t.m41 = tx;
    t.m42 = ty;
    t.m43 = tz;
    return t;
}

CATransform3D CATransform3DMakeScale(double sx, double sy, double sz) {
    CATransform3D t;
    t.m11 = sx;
    t.m22 = sy;
    t.m33 = sz;
    return t;
}

CATransform3D CATransform3DMakeAffineTransform(cg::CGAffineTransform m) {
    CATransform3D t;
    t.m11 = m.a;
    t.m12 = m.b;
    t.m21 = m.c;
    t.m22 = m.d;
    t.m41 = m.tx;
    t.m42 = m.ty;
    return t;
}

CATransform3D CATransform3DConcat(const CATransform3D& a, const CATransform3D& b) {
    const double* x = &a.m11;
    const double* y = &b.m11;
    CATransform3D out;
    double* r = &out.m11;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            double sum = 0;
            for (int k = 0; k < 4; ++k)
                sum += x[i * 4 + k] * y[k * 4 + j];
            r[i * 4 + j] = sum;
        }
    return out;
}

bool CATransform3DEqualToTransform(const CATransform3D& a, const CATransform3D& b) {
    const double* x = &a.m11;
    const double* y = &b.m11;
    for (int i = 0; i < 16; ++i)
        if (x[i] != y[i]) return false;
    return true;
}

bool CATransform3DIsIdentity(const CATransform3D& t) {
    return CATransform3DEqualToTransform(t, CATransform3DIdentity);
}

bool CATransform3DIsAffine(const CATransform3D& t) {
    return t.m13 == 0 && t.m14 == 0 && t.m23 == 0 && t.m24 == 0 && t.m31 == 0 && t.m32 == 0 && t.m33 == 1 &&
           t.m34 == 0 && t.m43 == 0 && t.m44 == 1;
}

cg::CGAffineTransform CATransform3DGetAffineTransform(const CATransform3D& t) {
    return cg::CGAffineTransformMake(t.m11, t.m12, t.m21, t.m22, t.m41, t.m42);
}

} // namespace quartzcore
