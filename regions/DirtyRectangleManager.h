// The queue of one display's changed and moved areas, oldest first. Changed area gathers in
// the newest updated block until a move is queued, and a move is always followed by a fresh
// updated block, so two updated blocks never stand in a row. The manager locks itself
// around every queue operation and takes a block's lock only while holding its own.
#pragma once

#include "regions/MovedRectangles.h"
#include "regions/QNRect.h"
#include "regions/UpdatedRectangles.h"

#include <memory>
#include <mutex>
#include <variant>
#include <vector>

namespace regions {

using DirtyBlock = std::variant<std::shared_ptr<UpdatedRectangles>, std::shared_ptr<MovedRectangles>>;

// The kind of the oldest block (the class of the next dirty block).
enum class DirtyBlockClass { None, Updated, Moved };

class DirtyRectangleManager {
public:
    DirtyRectangleManager() = default;
    DirtyRectangleManager(const DirtyRectangleManager&) = delete;
    DirtyRectangleManager& operator=(const DirtyRectangleManager&) = delete;

    void addDirtyRectangle(cg::CGRect rect);
    // Subtracts from the oldest block when it is an updated one, dropping it once empty.
    void cleanRectangle(cg::CGRect rect);
    DirtyBlockClass classOfNextDirtyBlock() const;
    // The union of every updated block, or null when the queue holds none.
    std::shared_ptr<UpdatedRectangles> newMergedRectExtents() const;
    // Updated blocks give one QNRect per box, moved blocks one per moved rectangle.
    std::vector<QNRect> newArrayOfDirtyRectangles() const;
    void addMovedRectangle(const cg::CGRect* rects, uint64_t count, cg::CGPoint delta);
    // Acknowledges one rectangle of the oldest block, which is to be a moved block.
    void ackMovedRectangle(cg::CGRect rect);

    std::vector<DirtyBlock> rectangleQueue() const;
    void setRectangleQueue(std::vector<DirtyBlock> queue);

private:
    mutable std::recursive_mutex m_lock;
    std::vector<DirtyBlock> m_rectangleQueue; // oldest first
};

} // namespace regions
