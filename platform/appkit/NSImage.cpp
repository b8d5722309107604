#include "platform/appkit/NSImage.h"

#include <algorithm>

namespace appkit {

cg::CGSize NSImage::size() const {
    std::lock_guard guard(m_lock);
    return m_size;
}

void NSImage::setSize(cg::CGSize size) {
    std::lock_guard guard(m_lock);
    m_size = size;
}

std::string NSImage::name() const {
    std::lock_guard guard(m_lock);
    return m_name;
}

void NSImage::setName(std::string name) {
    std::lock_guard guard(m_lock);
    m_name = std::move(name);
}

std::vector<std::shared_ptr<NSImageRep>> NSImage::representations() const {
    std::lock_guard guard(m_lock);
    return m_representations;
}

void NSImage::addRepresentation(std::shared_ptr<NSImageRep> representation) {
    if (!representation) return;
    std::lock_guard guard(m_lock);
    m_representations.push_back(std::move(representation));
}

void NSImage::removeRepresentation(const std::shared_ptr<NSImageRep>& representation) {
    std::lock_guard guard(m_lock);
    m_representations.erase(std::remove(m_representations.begin(), m_representations.end(), representation),
                            m_representations.end());
}

} // namespace appkit
