// One rectangle handed to an encoder: changed area, or area moved by an offset.
#pragma once

#include "platform/coregraphics/CGGeometry.h"

#include <string>

namespace regions {

class QNRect {
public:
    QNRect() = default;
    explicit QNRect(cg::CGRect rect) : m_rect(rect) {}
    QNRect(cg::CGRect rect, bool moved, cg::CGPoint delta) : m_rect(rect), m_moved(moved), m_delta(delta) {}

    static QNRect qnRectWith(cg::CGRect rect, bool moved, cg::CGPoint delta) { return QNRect(rect, moved, delta); }

    cg::CGRect rect() const { return m_rect; }
    void setRect(cg::CGRect rect) { m_rect = rect; }
    bool moved() const { return m_moved; }
    void setMoved(bool moved) { m_moved = moved; }
    cg::CGPoint delta() const { return m_delta; }
    void setDelta(cg::CGPoint delta) { m_delta = delta; }

    std::string description() const;

private:
    cg::CGRect m_rect = cg::CGRectZero;
    bool m_moved = false;
    cg::CGPoint m_delta = cg::CGPointZero;
};

} // namespace regions
