// Images: a size in points and an ordered list of representations.
#pragma once

#include "platform/appkit/NSBitmapImageRep.h"
#include "platform/coregraphics/CGGeometry.h"

#include <memory>
#include <mutex>
#include <vector>

namespace appkit {

class NSImage {
  public:
    NSImage() = default;
    explicit NSImage(cg::CGSize size) : m_size(size) {}
    static std::shared_ptr<NSImage> initWithSize(cg::CGSize size) { return std::make_shared<NSImage>(size); }

    cg::CGSize size() const;
    void setSize(cg::CGSize size);
    std::vector<std::shared_ptr<NSImageRep>> representations() const;
    void addRepresentation(std::shared_ptr<NSImageRep> representation);
    void removeRepresentation(const std::shared_ptr<NSImageRep>& representation);

  private:
    mutable std::mutex m_lock;
    cg::CGSize m_size;
    std::vector<std::shared_ptr<NSImageRep>> m_representations;
};

} // namespace appkit
