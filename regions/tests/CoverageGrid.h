// The oracle of the rectangle-list property tests and fuzz target: a square grid of cells,
// each covered when its centre lies in a rectangle painted on it. With rectangles on whole or
// half pixels every edge falls between centres, so sampling them measures coverage exactly.
#pragma once

#include "regions/CGRectList.h"

#include <bitset>

namespace regions::testing {

template <int kCells> class CoverageGrid {
  public:
    explicit CoverageGrid(double cell = 0.5) : m_cell(cell) {}
    void paint(CGRect r) {
        if (CGRectIsEmpty(r)) return;
        // Only the cells near the rectangle; containment decides at each centre.
        const int x0 = bound(CGRectGetMinX(r) / m_cell - 1), x1 = bound(CGRectGetMaxX(r) / m_cell + 1);
        const int y0 = bound(CGRectGetMinY(r) / m_cell - 1), y1 = bound(CGRectGetMaxY(r) / m_cell + 1);
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                if (CGRectContainsPoint(r, cg::CGPointMake((x + 0.5) * m_cell, (y + 0.5) * m_cell)))
                    m_cells.set(y * kCells + x);
    }
    static CoverageGrid of(const CGRectList& list, double cell = 0.5) {
        CoverageGrid g(cell);
        for (uint64_t i = 0; i < list.count; ++i)
            g.paint(list.rects[i]);
        return g;
    }
    // Word by word: the fuzz target compares grids after every step.
    bool covers(const CoverageGrid& other) const { return (other.m_cells & ~m_cells).none(); }
    bool operator==(const CoverageGrid& other) const { return m_cells == other.m_cells; }
    double area() const { return static_cast<double>(m_cells.count()) * m_cell * m_cell; }

  private:
    static int bound(double v) { return v < 0 ? 0 : v > kCells ? kCells : static_cast<int>(v); }
    double m_cell;
    std::bitset<kCells * kCells> m_cells;
};

} // namespace regions::testing
