#include "platform/appkit/NSScreen.h"

#include "platform/coregraphics/CGDirectDisplay.h"

#include <algorithm>

namespace appkit {

namespace {

double mainDisplayHeight() {
    return cg::CGDisplayBounds(cg::CGMainDisplayID()).size.height;
}

} // namespace

cg::CGRect NSRectFromCGRect(cg::CGRect rect) {
    rect.origin.y = mainDisplayHeight() - (rect.origin.y + rect.size.height);
    return rect;
}

cg::CGRect CGRectFromNSRect(cg::CGRect rect) {
    return NSRectFromCGRect(rect);
}

cg::CGPoint NSPointKeepingRectInside(cg::CGPoint origin, cg::CGSize size, cg::CGRect bounds) {
    const double maxX = bounds.origin.x + bounds.size.width - size.width;
    const double maxY = bounds.origin.y + bounds.size.height - size.height;
    origin.x = std::max(bounds.origin.x, std::min(origin.x, maxX));
    // Too tall: the top stays at the top of bounds (y up: the bottom lies below it).
    origin.y = size.height > bounds.size.height ? maxY : std::max(bounds.origin.y, std::min(origin.y, maxY));
    return origin;
}

std::shared_ptr<NSScreen> NSScreen::screenHolding(cg::CGRect rect) {
    std::shared_ptr<NSScreen> best;
    double bestArea = 0;
    const cg::CGRect probe =
        cg::CGRectIsEmpty(rect) ? cg::CGRectMake(rect.origin.x, rect.origin.y, 1, 1) : rect;
    for (auto& screen : screens()) {
        const cg::CGRect overlap = cg::CGRectIntersection(screen->frame(), probe);
        const double area = cg::CGRectIsNull(overlap) ? 0 : overlap.size.width * overlap.size.height;
        if (area > bestArea) best = screen, bestArea = area;
    }
    return best;
}

std::optional<cg::CGRect> NSScreen::visibleFrameHolding(cg::CGRect rect) {
    auto best = screenHolding(rect);
    if (!best) best = mainScreen();
    if (!best) return std::nullopt;
    return best->visibleFrame();
}

std::vector<std::shared_ptr<NSScreen>> NSScreen::screens() {
    uint32_t count = 0;
    if (cg::CGGetActiveDisplayList(0, nullptr, &count) != cg::kCGErrorSuccess || count == 0) return {};
    std::vector<cg::CGDirectDisplayID> ids(count);
    if (cg::CGGetActiveDisplayList(count, ids.data(), &count) != cg::kCGErrorSuccess) return {};
    ids.resize(std::min<size_t>(count, ids.size()));
    const cg::CGDirectDisplayID main = cg::CGMainDisplayID();
    std::stable_partition(ids.begin(), ids.end(), [main](cg::CGDirectDisplayID id) { return id == main; });
    std::vector<std::shared_ptr<NSScreen>> screens;
    for (cg::CGDirectDisplayID id : ids)
        screens.push_back(std::make_shared<NSScreen>(id));
    return screens;
}

std::shared_ptr<NSScreen> NSScreen::mainScreen() {
    auto all = screens();
    return all.empty() ? nullptr : all.front();
}

cg::CGRect NSScreen::frame() const {
    return NSRectFromCGRect(cg::CGDisplayBounds(m_displayID));
}

cg::CGRect NSScreen::visibleFrame() const {
    cg::CGRect visible = frame();
    visible.size.height = std::max(0.0, visible.size.height - 22);
    return visible;
}

double NSScreen::backingScaleFactor() const {
    cg::CGDisplayModeRef mode = cg::CGDisplayCopyDisplayMode(m_displayID);
    return mode && mode->resolution > 0 ? mode->resolution : 1.0;
}

cf::Value NSScreen::deviceDescription() const {
    const cg::CGSize size = cg::CGDisplayBounds(m_displayID).size;
    const double dpi = 72.0 * backingScaleFactor();
    cf::Dictionary description;
    description.emplace("NSScreenNumber", cf::Value(m_displayID));
    description.emplace("NSDeviceSize",
                        cf::Value(cf::Dictionary{{"Width", size.width}, {"Height", size.height}}));
    description.emplace("NSDeviceResolution", cf::Value(cf::Dictionary{{"Width", dpi}, {"Height", dpi}}));
    return cf::Value(std::move(description));
}

} // namespace appkit
