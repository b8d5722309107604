// Fitting, centring and constraining rectangles inside other rectangles.
#pragma once

#include "platform/coregraphics/CGGeometry.h"

namespace foundation {

using ns::NSRect;
using ns::NSSize;

NSRect NSRectFromSize(NSSize size);

// The rectangle of the inner's aspect ratio, at the origin, that fits inside the outer (fill
// false) or covers it (fill true). An inner rectangle without area has no aspect ratio and
// gives the zero rectangle.
NSRect NSRectSizeRectInRect(NSRect inner, NSRect outer, bool fill);
// NSRectSizeRectInRect, centred on the outer rectangle.
NSRect NSRectFitRectInRect(NSRect inner, NSRect outer, bool fill);
NSRect NSRectCenterRectInRect(NSRect inner, NSRect outer);
// Moves r so that an edge past the bounds' far side comes back to it, and one before the
// near side comes back to that; both offsets are measured from r as given.
NSRect NSRectConstrainRectToRect(NSRect r, NSRect bounds);

} // namespace foundation
