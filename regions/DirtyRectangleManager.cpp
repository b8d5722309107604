#include "regions/DirtyRectangleManager.h"

#include "platform/core/Log.h"

namespace regions {

using namespace cg;

namespace {

std::shared_ptr<UpdatedRectangles> asUpdated(const DirtyBlock& block) {
    const auto* updated = std::get_if<std::shared_ptr<UpdatedRectangles>>(&block);
    return updated ? *updated : nullptr;
}

std::shared_ptr<MovedRectangles> asMoved(const DirtyBlock& block) {
    const auto* moved = std::get_if<std::shared_ptr<MovedRectangles>>(&block);
    return moved ? *moved : nullptr;
}

} // namespace

void DirtyRectangleManager::addDirtyRectangle(CGRect rect) {
    const auto box = boxFromRect(rect);
    if (!box) return;
    std::lock_guard guard(m_lock);
    std::shared_ptr<UpdatedRectangles> target;
    std::shared_ptr<MovedRectangles> move;
    if (!m_rectangleQueue.empty()) {
        target = asUpdated(m_rectangleQueue.back());
        if (target && m_rectangleQueue.size() >= 2) move = asMoved(m_rectangleQueue[m_rectangleQueue.size() - 2]);
        if (!target) move = asMoved(m_rectangleQueue.back());
    }
    if (!target) {
        target = std::make_shared<UpdatedRectangles>();
        m_rectangleQueue.emplace_back(target);
    }
    const std::optional<PixmanRegion> moved = move ? move->regionData() : std::nullopt;
    // Area the move already covers is not marked again.
    PixmanRegion left(*box);
    if (moved) left.subtract(*moved);
    target->addRegion(left);
    target->validateRect();
    if (moved && target->isEmpty()) m_rectangleQueue.pop_back();
}

void DirtyRectangleManager::cleanRectangle(CGRect rect) {
    std::lock_guard guard(m_lock);
    if (m_rectangleQueue.empty()) return;
    const auto first = asUpdated(m_rectangleQueue.front());
    if (!first) return;
    first->cleanRectangle(rect);
    if (first->isEmpty()) m_rectangleQueue.erase(m_rectangleQueue.begin());
}

DirtyBlockClass DirtyRectangleManager::classOfNextDirtyBlock() const {
    std::lock_guard guard(m_lock);
    if (m_rectangleQueue.empty()) return DirtyBlockClass::None;
    return asUpdated(m_rectangleQueue.front()) ? DirtyBlockClass::Updated : DirtyBlockClass::Moved;
}

std::shared_ptr<UpdatedRectangles> DirtyRectangleManager::newMergedRectExtents() const {
    std::lock_guard guard(m_lock);
    std::shared_ptr<UpdatedRectangles> merged;
    for (const DirtyBlock& block : m_rectangleQueue) {
        const auto updated = asUpdated(block);
        if (!updated) continue;
        if (!merged) merged = updated->copy();
        else merged->mergeWithRectangles(updated.get());
    }
    if (merged) merged->validateRect();
    return merged;
}

std::vector<QNRect> DirtyRectangleManager::newArrayOfDirtyRectangles() const {
    std::lock_guard guard(m_lock);
    std::vector<QNRect> rects;
    for (const DirtyBlock& block : m_rectangleQueue) {
        if (const auto updated = asUpdated(block)) {
            for (QNRect& r : updated->newArrayOfRectangles()) rects.push_back(r);
        } else if (const auto moved = asMoved(block)) {
            const CGPoint delta = moved->delta();
            for (const CGRect& r : moved->rectangles()) rects.emplace_back(r, true, delta);
        }
    }
    return rects;
}

void DirtyRectangleManager::addMovedRectangle(const CGRect* rects, uint64_t count, CGPoint delta) {
    auto block = std::make_shared<MovedRectangles>(rects, count, delta);
    std::lock_guard guard(m_lock);
    // A move right after another takes over the earlier move's region: the earlier block
    // gives it up and the region the new block computed for itself is freed.
    if (!m_rectangleQueue.empty()) {
        if (const auto previous = asMoved(m_rectangleQueue.back())) block->setRegionData(previous->takeRegion());
    }
    m_rectangleQueue.emplace_back(block);
}

void DirtyRectangleManager::ackMovedRectangle(CGRect rect) {
    std::lock_guard guard(m_lock);
    if (m_rectangleQueue.empty()) return;
    const auto first = asMoved(m_rectangleQueue.front());
    if (!first) {
        platform::log("ackMovedRectangle: the next dirty block is not a moved block; %@ ignored",
                      NSStringFromRect(rect));
        return;
    }
    first->removeRectangle(rect);
    if (!first->hasRectangles()) m_rectangleQueue.erase(m_rectangleQueue.begin());
}

std::vector<DirtyBlock> DirtyRectangleManager::rectangleQueue() const {
    std::lock_guard guard(m_lock);
    return m_rectangleQueue;
}

void DirtyRectangleManager::setRectangleQueue(std::vector<DirtyBlock> queue) {
    std::lock_guard guard(m_lock);
    m_rectangleQueue = std::move(queue);
}

} // namespace regions
