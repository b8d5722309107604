// The window server's answer to display images in its own process (unit tests' in-process
// kernel): the same snapshots platformd sends over its socket, without the socket.
#pragma once

#include "platform/coregraphics/CGDisplayImage.h"

#include <memory>

namespace windowserver {

class WindowServer;

// The server must outlive the provider's installation.
std::shared_ptr<cg::DisplayPixelProvider> makePixelProvider(WindowServer& server);

} // namespace windowserver
