#include "input/ClickTracking.h"

#include "foundation/CGGeometryAdditions.h"
#include "input/PointerStylus.h"

namespace input {

ClickTracking& ClickTracking::shared() {
    static ClickTracking tracking;
    return tracking;
}

double ClickTracking::secondsBetween(uint64_t earlier, uint64_t now) {
    return now >= earlier ? static_cast<double>(now - earlier) / 1e9 : 0.0;
}

std::optional<int64_t> ClickTracking::mouseButtonChanged(int button, bool pressed, uint64_t now) {
    if (button < 0 || button > 1) return std::nullopt;
    std::lock_guard lock(m_mutex);
    auto i = static_cast<size_t>(button);
    bool isDouble = NSEventIsDoubleClick(secondsBetween(m_mouseUp[i], now));
    std::optional<int64_t> state;
    if (pressed) {
        if (isDouble) state = 2;
        m_mouseDown[i] = now;
    } else {
        if (isDouble)
            state = 2;
        else if (secondsBetween(m_mouseDown[i], now) < kClickSeconds)
            state = 1;
        m_mouseUp[i] = now;
    }
    return state;
}

ClickTracking::TapClick ClickTracking::tapChanged(bool down, cg::CGPoint point, uint64_t now) {
    std::lock_guard lock(m_mutex);
    TapClick click{std::nullopt, point};
    if (NSEventIsDoubleClick(secondsBetween(m_tapUp, now)) &&
        foundation::CGPointProximateWithin(point, m_tapUpPoint, kDoubleClickDistance)) {
        click.clickState = 2;
    } else if (!down && secondsBetween(m_tapDown, now) < kClickSeconds &&
               foundation::CGPointProximateWithin(point, m_tapDownPoint, kClickDistance)) {
        click.location = m_tapDownPoint;
        click.clickState = 1;
    }
    if (down) {
        m_tapDown = now;
        m_tapDownPoint = point;
    } else {
        m_tapUp = now;
        m_tapUpPoint = point; // the converted point, not the moved one
    }
    return click;
}

void ClickTracking::reset() {
    std::lock_guard lock(m_mutex);
    m_mouseDown = {};
    m_mouseUp = {};
    m_tapDown = m_tapUp = 0;
    m_tapDownPoint = m_tapUpPoint = cg::CGPoint{};
}

} // namespace input
