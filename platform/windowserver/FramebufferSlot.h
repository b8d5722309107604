// The window server's record of one framebuffer it has opened: its interrupt registrations,
// the display it shows (if any) and where that display is composed. Owned by the window-server
// thread; interrupt handlers touch only the atomic counter.
#pragma once

#include "platform/kernel/IODisplayConnect.h"
#include "platform/kernel/IOFramebuffer.h"
#include "platform/kernel/OSPtr.h"
#include "platform/windowserver/ComposeTarget.h"
#include "platform/windowserver/DisplayInfo.h"
#include "platform/windowserver/FramebufferProbe.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace windowserver {

class WindowServer;

struct FramebufferSlot : std::enable_shared_from_this<FramebufferSlot> {
    WindowServer* server = nullptr;
    kernel::OSPtr<kernel::IOFramebuffer> framebuffer; // null once retired
    uint32_t index = 0;                               // from its registry location
    std::string path;

    void* connectRef = nullptr; // to unregister; null when there is nothing to unregister
    void* vblRef = nullptr;
    bool vblRegistered = false;
    bool hardwareCursor = false;

    bool online = false;
    DisplayInfo display; // the last record: its identity outlives a removal
    std::vector<DisplayMode> modes;
    DisplayMode current;
    double scale = 1.0;    // the current mode's backing scale (2: its HiDPI twin)
    uint32_t mirrorOf = 0; // the display this one mirrors
    kernel::OSPtr<kernel::IODisplayConnect> displayConnect; // "display0", while online
    ComposeTarget target;
    bool loggedOwnBuffer = false;

    // Vertical blanks delivered but not yet taken in by the window-server thread; at most one
    // task per framebuffer is queued for them.
    std::atomic<uint32_t> pendingVBLs{0};
    // Blanks that came while the window server had nothing for them: counted, nothing more.
    std::atomic<uint64_t> quietVBLs{0};
    uint64_t vblankCount = 0;
};

} // namespace windowserver
