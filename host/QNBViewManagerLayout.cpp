#include "host/QNBViewManagerLayout.h"

#include <algorithm>

namespace host {

cg::CGPoint centeringPointForWindowSize(cg::CGSize size, const std::optional<cg::CGRect>& popoverFrame,
                                        cg::CGRect visibleFrame, cg::CGRect mainVisibleFrame) {
    const double w = size.width;
    const double h = size.height;
    if (!popoverFrame)
        return {mainVisibleFrame.origin.x + (mainVisibleFrame.size.width - w) / 2,
                mainVisibleFrame.origin.y + (mainVisibleFrame.size.height - h) / 2};
    const cg::CGRect& f = *popoverFrame;
    cg::CGPoint origin;
    // A taller window keeps its top edge level with the popover's.
    origin.y = f.size.height < h ? f.origin.y - (h - f.size.height) : f.origin.y + (f.size.height - h) / 2;
    if (w < f.size.width) {
        origin.x = f.origin.x + (f.size.width - w) / 2;
    } else {
        // Kept on the popover's screen, whatever its place among the screens: its right edge
        // first, its left edge winning when the window is wider than the screen.
        const double minX = visibleFrame.origin.x;
        const double maxX = visibleFrame.origin.x + visibleFrame.size.width;
        origin.x = f.origin.x - (w - f.size.width) / 2;
        origin.x = std::max(minX, std::min(origin.x, maxX - w));
    }
    return origin;
}

std::optional<size_t>
listingIndexForDisplayModel(const std::vector<std::shared_ptr<foundation::QNBDisplayModel>>& arranged,
                            const foundation::QNBDisplayModel& model) {
    auto first = [&](auto matches) -> std::optional<size_t> {
        for (size_t i = 0; i < arranged.size(); ++i)
            if (arranged[i] && matches(*arranged[i])) return i;
        return std::nullopt;
    };
    // Empty keys match nothing: every model without a service key (typed addresses, server
    // reports) would otherwise find the first such row.
    auto equalNonEmpty = [](const auto& a, const auto& b) { return a && !a->empty() && a == b; };
    if (auto same = first([&](const auto& row) { return &row == &model; })) return same;
    if (auto byKey =
            first([&](const auto& row) { return equalNonEmpty(model.serviceKey(), row.serviceKey()); }))
        return byKey;
    return first(
        [&](const auto& row) { return equalNonEmpty(model.uniqueIdentifier(), row.uniqueIdentifier()); });
}

} // namespace host
