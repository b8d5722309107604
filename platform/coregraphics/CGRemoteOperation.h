// Screen-refresh callbacks: the rectangles of the desktop that changed, pushed after the
// window server composed them.
#pragma once

#include "platform/coregraphics/CGError.h"
#include "platform/coregraphics/CGGeometry.h"

namespace cg {

// rects: CG global points, non-overlapping, covering all damage since the last push to this
// process; valid during the call only. Runs on the main run loop, in every mode.
using CGScreenRefreshCallback = void (*)(uint32_t count, const CGRect* rects, void* userInfo);

// Idempotent; any thread, inside a callback too (an unregistered pair gets no new call).
CGError CGRegisterScreenRefreshCallback(CGScreenRefreshCallback callback, void* userInfo);
void CGUnregisterScreenRefreshCallback(CGScreenRefreshCallback callback, void* userInfo);

} // namespace cg
