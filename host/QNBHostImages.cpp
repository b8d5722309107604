#include "host/QNBHostImages.h"

namespace host {

std::shared_ptr<appkit::NSImage> hostImageNamed(const std::string& name) {
    auto image = std::make_shared<appkit::NSImage>();
    image->setName(name);
    return image;
}

} // namespace host

namespace host {

void markTemplate(const std::shared_ptr<appkit::NSImage>& image, bool isTemplate) {
    (void)image;
    (void)isTemplate;
}

} // namespace host
