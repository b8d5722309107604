#include "display/QNBDisplaySet.h"

#include "platform/core/Format.h"
#include "platform/coregraphics/CGDirectDisplay.h"

#include <algorithm>

namespace display {

// ---- QNBDisplay

QNBDisplay::QNBDisplay()
    : mRectManager(std::make_shared<regions::DirtyRectangleManager>()),
      mLossyRects(std::make_shared<regions::UpdatedRectangles>()) {}

QNBDisplay::QNBDisplay(CGDirectDisplayID display) : QNBDisplay() {
    mDisplayID.store(display);
}

std::optional<std::string> QNBDisplay::userDescription() const {
    std::lock_guard guard(m_lock);
    return mUserDescription;
}

void QNBDisplay::setUserDescription(std::optional<std::string> description) {
    std::lock_guard guard(m_lock);
    mUserDescription = std::move(description);
}

std::shared_ptr<regions::DirtyRectangleManager> QNBDisplay::rectManager() const {
    std::lock_guard guard(m_lock);
    return mRectManager;
}

void QNBDisplay::setRectManager(std::shared_ptr<regions::DirtyRectangleManager> manager) {
    std::lock_guard guard(m_lock);
    mRectManager = std::move(manager);
}

std::vector<std::shared_ptr<regions::UpdatedRectangles>> QNBDisplay::updateHeatMap() const {
    std::lock_guard guard(m_lock);
    return mUpdateHeatMap;
}

void QNBDisplay::setUpdateHeatMap(std::vector<std::shared_ptr<regions::UpdatedRectangles>> heatMap) {
    std::lock_guard guard(m_lock);
    mUpdateHeatMap = std::move(heatMap);
}

std::shared_ptr<regions::UpdatedRectangles> QNBDisplay::lossyRects() const {
    std::lock_guard guard(m_lock);
    return mLossyRects;
}

void QNBDisplay::setLossyRects(std::shared_ptr<regions::UpdatedRectangles> lossyRects) {
    std::lock_guard guard(m_lock);
    mLossyRects = std::move(lossyRects);
}

cg::CGPoint QNBDisplay::offsetFromOrigin() const {
    std::lock_guard guard(m_lock);
    return mOffsetFromOrigin;
}

void QNBDisplay::setOffsetFromOrigin(cg::CGPoint offset) {
    std::lock_guard guard(m_lock);
    mOffsetFromOrigin = offset;
}

cg::CGPoint QNBDisplay::ourOrigin() const {
    std::lock_guard guard(m_lock);
    return mOurOrigin;
}

void QNBDisplay::setOurOrigin(cg::CGPoint origin) {
    std::lock_guard guard(m_lock);
    mOurOrigin = origin;
}

int64_t QNBDisplay::framebufferIndex() {
    int64_t index = mFbIndex.load();
    if (index != -1) return index;
    index = QNBScreen::framebufferIndexForDisplayID(displayID());
    mFbIndex.store(index);
    return index;
}

cg::CGRect QNBDisplay::scaleCorrectedDisplayBounds() const {
    return QNBScreen::scaleCorrectedDisplayBoundsForDisplayID(displayID());
}

cg::CGRect QNBDisplay::normalizedDisplayBounds() const {
    return QNBScreen::normalizedDisplayBoundsForDisplayID(displayID());
}

double QNBDisplay::scale() const {
    return QNBScreen::scaleForDisplayID(displayID());
}

void QNBDisplay::clearRectangles() {
    std::lock_guard guard(m_lock);
    mLossyRects = std::make_shared<regions::UpdatedRectangles>();
    if (mRectManager) mRectManager->setRectangleQueue({});
    mUpdateHeatMap.clear();
}

void QNBDisplay::addDirtyRectangle(cg::CGRect rect) {
    if (auto manager = rectManager()) manager->addDirtyRectangle(rect);
}

std::string QNBDisplay::description() const {
    return platform::format("Display ID: 0x%x (%s)", displayID(),
                            cg::NSStringFromRect(scaleCorrectedDisplayBounds()).c_str());
}

// ---- QNBDisplaySet

std::vector<std::shared_ptr<QNBDisplay>> QNBDisplaySet::displays() const {
    std::lock_guard guard(m_lock);
    return mDisplays;
}

void QNBDisplaySet::setDisplays(std::vector<std::shared_ptr<QNBDisplay>> displays) {
    std::vector<std::shared_ptr<QNBDisplay>> members;
    for (auto& display : displays)
        if (display && std::find(members.begin(), members.end(), display) == members.end())
            members.push_back(std::move(display));
    std::lock_guard guard(m_lock);
    mDisplays = std::move(members);
}

void QNBDisplaySet::addDisplay(std::shared_ptr<QNBDisplay> display) {
    if (!display) return;
    std::lock_guard guard(m_lock);
    if (std::find(mDisplays.begin(), mDisplays.end(), display) == mDisplays.end())
        mDisplays.push_back(std::move(display));
}

CGDirectDisplayID QNBDisplaySet::displayID() const {
    auto members = displays();
    return members.empty() ? 0 : members.front()->displayID();
}

// An empty set drives no framebuffer: −1, never index 0, which belongs to a real display.
// Asked at every cursor tick: the first member alone, no copy of the list.
int64_t QNBDisplaySet::framebufferIndex() const {
    std::shared_ptr<QNBDisplay> first;
    {
        std::lock_guard guard(m_lock);
        if (mDisplays.empty()) return -1;
        first = mDisplays.front();
    }
    return first->framebufferIndex();
}

cg::CGRect QNBDisplaySet::frame() const {
    cg::CGRect frame = cg::CGRectZero;
    bool first = true;
    for (const auto& display : displays()) {
        cg::CGRect bounds;
        GetCGSScreenBounds(display->displayID(), &bounds);
        frame = first ? bounds : cg::CGRectUnion(frame, bounds);
        first = false;
    }
    return frame;
}

cg::CGRect QNBDisplaySet::displayBoundsWithScaleCorrection(bool scaleCorrection) const {
    cg::CGRect bounds = cg::CGRectZero;
    bool first = true;
    for (const auto& display : displays()) {
        const cg::CGRect member =
            scaleCorrection ? display->scaleCorrectedDisplayBounds() : display->normalizedDisplayBounds();
        bounds = (first || cg::CGRectIsEmpty(bounds)) ? member : cg::CGRectUnion(bounds, member);
        first = false;
    }
    return bounds;
}

cg::CGRect QNBDisplaySet::singleDisplayBoundsWithScaleCorrection(bool scaleCorrection) const {
    auto members = displays();
    if (members.empty()) return cg::CGRectZero;
    return scaleCorrection ? members.front()->scaleCorrectedDisplayBounds()
                           : members.front()->normalizedDisplayBounds();
}

cg::CGRect QNBDisplaySet::boundsOfPrimaryDisplay() const {
    for (const auto& display : displays()) {
        const cg::CGRect bounds = display->scaleCorrectedDisplayBounds();
        if (bounds.origin.x == 0 && bounds.origin.y == 0) return bounds;
    }
    return cg::CGRectZero;
}

CGDirectDisplayID QNBDisplaySet::primaryDisplayID() const {
    for (const auto& display : displays()) {
        const cg::CGRect bounds = display->scaleCorrectedDisplayBounds();
        if (bounds.origin.x == 0 && bounds.origin.y == 0) return display->displayID();
    }
    return 0;
}

double QNBDisplaySet::almostAuthenticScale() const {
    auto members = displays();
    return members.empty() ? 1.0 : QNBScreen::scaleForDisplayID(members.front()->displayID());
}

double QNBDisplaySet::cursorScale() const {
    auto members = displays();
    return members.size() == 1 ? members.front()->scale() : 1.0;
}

cg::CGSize QNBDisplaySet::displaySizeInPixels() const {
    return scaleCorrectedDisplayBounds().size;
}

std::vector<cg::CGRect> QNBDisplaySet::arrayOfScreenBounds() const {
    std::vector<cg::CGRect> bounds;
    for (const auto& display : displays())
        bounds.push_back(display->scaleCorrectedDisplayBounds());
    return bounds;
}

void QNBDisplaySet::finalizeSet() {
    const cg::CGPoint origin = scaleCorrectedDisplayBounds().origin;
    for (const auto& display : displays()) {
        const cg::CGPoint own = display->scaleCorrectedDisplayBounds().origin;
        // One step under the display's lock, so a reader never sees the new origin with the old
        // offset.
        std::lock_guard guard(display->lock());
        display->setOurOrigin(own);
        display->setOffsetFromOrigin({own.x - origin.x, own.y - origin.y});
    }
}

} // namespace display
