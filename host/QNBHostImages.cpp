#include "host/QNBHostImages.h"

namespace host {

std::shared_ptr<appkit::NSImage> hostImageNamed(const std::string& name) {
    if (auto image = appkit::NSImage::imageNamed(name)) return image;
    auto image = std::make_shared<appkit::NSImage>();
    image->setName(name);
    return image;
}

} // namespace host
