// The window server's probe of one framebuffer: is a display connected, who is it (EDID),
// which modes does it offer, which one is current, and where do its pixels go. The caller
// holds the framebuffer's gate for the whole probe.
#pragma once

#include "platform/kernel/IODeviceMemory.h"
#include "platform/kernel/IOFramebuffer.h"
#include "platform/kernel/OSPtr.h"
#include "platform/windowserver/EDID.h"

#include <optional>
#include <vector>

namespace windowserver {

// The depth index of 32-bit pixels, the only depth the window server asks for.
inline constexpr kernel::IOIndex kDepth32 = 2;

struct DisplayMode {
    kernel::IODisplayModeID ioModeID = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    kernel::IOFixed1616 refreshRate = 0;
    uint32_t flags = 0;
};

struct FramebufferMemory {
    uint64_t bytesPerRow = 0;
    kernel::OSPtr<kernel::IODeviceMemory> aperture; // null when the driver gives none
};

struct ProbeResult {
    bool present = false;
    std::optional<EDIDInfo> edid;   // nothing: no DDC connection or an unreadable block
    std::vector<DisplayMode> modes; // listed modes, in driver order
    DisplayMode current;
    FramebufferMemory memory;

    // A display is shown when it is present and offers at least one mode.
    bool showsDisplay() const { return present && !modes.empty(); }
};

class FramebufferProbe {
  public:
    // A driver answering more modes than this is broken; its list is not read.
    static constexpr kernel::IOItemCount kMaxModeCount = 4096;

    explicit FramebufferProbe(kernel::IOFramebuffer& framebuffer) : m_framebuffer(framebuffer) {}

    ProbeResult run();
    // The row length and aperture of a mode (after a mode change as well).
    FramebufferMemory readMemory(const DisplayMode& mode);
    // The listed mode the driver reports as current, if any.
    std::optional<DisplayMode> currentListedMode(const std::vector<DisplayMode>& modes);

  private:
    bool isPresent();
    std::optional<EDIDInfo> readEDID();
    std::vector<DisplayMode> readModes();
    std::optional<DisplayMode> settleCurrentMode(const std::vector<DisplayMode>& modes);

    kernel::IOFramebuffer& m_framebuffer;
};

const DisplayMode* findMode(const std::vector<DisplayMode>& modes, kernel::IODisplayModeID id);

} // namespace windowserver
