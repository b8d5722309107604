// Two rules of the view manager that need no views: where a window stands centred on the popover,
// and which listing row shows a display model.
#pragma once

#include "foundation/QNBDisplayModel.h"
#include "platform/coregraphics/CGGeometry.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

namespace host {

// The origin at which a window of size stands centred on the popover's window frame, kept
// horizontally inside visibleFrame (the visible frame of that window's screen) when it is wider
// than the popover. Without a popover window: centred on mainVisibleFrame (the main screen's).
cg::CGPoint centeringPointForWindowSize(cg::CGSize size, const std::optional<cg::CGRect>& popoverFrame,
                                        cg::CGRect visibleFrame, cg::CGRect mainVisibleFrame);

// The index of the arranged model that model's listing row shows: the same object, else the
// first with an equal non-empty service key, else the first with an equal non-empty unique
// identifier (typed-address and USB models have no service key). None when nothing matches.
std::optional<size_t>
listingIndexForDisplayModel(const std::vector<std::shared_ptr<foundation::QNBDisplayModel>>& arranged,
                            const foundation::QNBDisplayModel& model);

} // namespace host
