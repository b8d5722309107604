// A running application's icon (NSRunningApplication's icon): the services library that lists
// running applications holds no images, so the icon is made here.
#pragma once

#include "platform/appkit/NSImage.h"
#include "platform/services/NSRunningApplication.h"

#include <memory>

namespace appkit {

// The most bytes an icon file may have; a larger one is not read.
inline constexpr size_t kMaxIconFileBytes = 16u << 20;

// The bundle's icon (its Info.plist's CFBundleIconFile in Contents/Resources: a PNG, ".png"
// added to a name without an extension), else the generic application icon. Never null; each
// call makes a new image, so a caller may trim its representations.
std::shared_ptr<NSImage> iconOfRunningApplication(const ns::NSRunningApplication& application);
// The bundle's icon alone; null (logged when the file is bad) without one.
std::shared_ptr<NSImage> iconOfBundle(const std::string& bundlePath);
// The generic application icon: 512 points, representations of 16, 32, 128, 256 and 512 pixels.
std::shared_ptr<NSImage> genericApplicationIcon();

} // namespace appkit
