// A view tree as text, for debugging: one row per view, indented by depth.
#pragma once

#include "platform/appkit/NSView.h"

#include <string>

namespace foundation {

// "<Class: 0x…; frame = {{x, y}, {w, h}}>" for the view, then for each subview in order a new
// row of "    |" repeated by its depth (1 for the view's own subviews), a blank, and the
// subview's rows.
std::string recursiveDescription(const appkit::NSView& view);

} // namespace foundation
