// The host bundle's images by name, for the interface's artwork and status item.
#pragma once

#include "platform/appkit/NSImage.h"

#include <memory>
#include <string>

namespace host {

// The bundle's image of that name; an empty image carrying the name when the bundle has none.
std::shared_ptr<appkit::NSImage> hostImageNamed(const std::string& name);

} // namespace host
