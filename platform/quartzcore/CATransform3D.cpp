#include "platform/quartzcore/CATransform3D.h"

#include <tuple>

namespace quartzcore {

const CATransform3D CATransform3DIdentity{};

CATransform3D CATransform3DMakeTranslation(double tx, double ty, double tz) {
    CATransform3D t;
    t.m41 = tx;
    t.m42 = ty;
    t.m43 = tz;
    return t;
}

bool CATransform3DEqualToTransform(const CATransform3D& a, const CATransform3D& b) {
    auto fields = [](const CATransform3D& t) {
        return std::tie(t.m11, t.m12, t.m13, t.m14, t.m21, t.m22, t.m23, t.m24, t.m31, t.m32, t.m33, t.m34,
                        t.m41, t.m42, t.m43, t.m44);
    };
    return fields(a) == fields(b);
}

bool CATransform3DIsIdentity(const CATransform3D& t) {
    return CATransform3DEqualToTransform(t, CATransform3DIdentity);
}

cg::CGAffineTransform CATransform3DGetAffineTransform(const CATransform3D& t) {
    return cg::CGAffineTransformMake(t.m11, t.m12, t.m21, t.m22, t.m41, t.m42);
}

} // namespace quartzcore
