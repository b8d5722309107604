#include "platform/windowserver/FramebufferProbe.h"

#include "platform/core/Log.h"

#include <algorithm>
#include <cstring>

namespace windowserver {

using namespace kernel;

namespace {

constexpr IOSelect kEDIDBlockType = 0;
constexpr UInt32 kFirstDDCBlock = 1;

} // namespace

const DisplayMode* findMode(const std::vector<DisplayMode>& modes, IODisplayModeID id) {
    auto it =
        std::find_if(modes.begin(), modes.end(), [id](const DisplayMode& m) { return m.ioModeID == id; });
    return it == modes.end() ? nullptr : &*it;
}

ProbeResult FramebufferProbe::run() {
    ProbeResult result;
    result.present = isPresent();
    if (!result.present) return result;
    result.edid = readEDID();
    result.modes = readModes();
    if (result.modes.empty()) return result;
    auto current = settleCurrentMode(result.modes);
    if (!current) {
        result.modes.clear();
        return result;
    }
    result.current = *current;
    result.memory = readMemory(result.current);
    return result;
}

// The connection count decides first; the enable attribute only for a connected display.
bool FramebufferProbe::isPresent() {
    if (m_framebuffer.getConnectionCount() < 1) return false;
    uintptr_t enabled = 0;
    if (m_framebuffer.getAttributeForConnection(0, kConnectionEnable, &enabled) != kIOReturnSuccess)
        return false;
    return enabled == 1;
}

std::optional<EDIDInfo> FramebufferProbe::readEDID() {
    if (!m_framebuffer.hasDDCConnect(0)) return std::nullopt;
    UInt8 block[kEDIDLength] = {};
    IOByteCount length = kEDIDLength;
    IOReturn r = m_framebuffer.getDDCBlock(0, kFirstDDCBlock, kEDIDBlockType, 0, block, &length);
    if (r != kIOReturnSuccess) return std::nullopt;
    auto edid = parseEDID(block, std::min<IOByteCount>(length, kEDIDLength));
    if (!edid)
        platform::log("windowserver: %@ gave an EDID block that fails its header or checksum; ignored",
                      m_framebuffer.getName());
    return edid;
}

std::vector<DisplayMode> FramebufferProbe::readModes() {
    std::vector<DisplayMode> modes;
    IOItemCount count = m_framebuffer.getDisplayModeCount();
    if (count == 0) return modes;
    if (count > kMaxModeCount) {
        platform::log("windowserver: %@ reports %u modes; not read", m_framebuffer.getName(), count);
        return modes;
    }
    std::vector<IODisplayModeID> ids(count, 0);
    if (m_framebuffer.getDisplayModes(ids.data()) != kIOReturnSuccess) return modes;
    for (IODisplayModeID id : ids) {
        IODisplayModeInformation info;
        std::memset(&info, 0, sizeof info);
        if (m_framebuffer.getInformationForDisplayMode(id, &info) != kIOReturnSuccess) continue;
        if (info.flags & kDisplayModeNeverShowFlag) continue;
        if (info.nominalWidth == 0 || info.nominalHeight == 0 || findMode(modes, id)) continue;
        modes.push_back({id, info.nominalWidth, info.nominalHeight, info.refreshRate, info.flags});
    }
    return modes;
}

std::optional<DisplayMode> FramebufferProbe::currentListedMode(const std::vector<DisplayMode>& modes) {
    IODisplayModeID id = 0;
    IOIndex depth = 0;
    if (m_framebuffer.getCurrentDisplayMode(&id, &depth) != kIOReturnSuccess) return std::nullopt;
    const DisplayMode* mode = findMode(modes, id);
    return mode ? std::optional<DisplayMode>(*mode) : std::nullopt;
}

// A current mode that is not listed gives way to the start-up mode; should that not be
// listed either, the first listed mode is set, so the display always shows a mode it offers.
std::optional<DisplayMode> FramebufferProbe::settleCurrentMode(const std::vector<DisplayMode>& modes) {
    if (auto current = currentListedMode(modes)) return current;
    IODisplayModeID startup = 0;
    IOIndex depth = 0;
    m_framebuffer.getStartupDisplayMode(&startup, &depth);
    const DisplayMode* mode = findMode(modes, startup);
    if (!mode) {
        platform::log("windowserver: %@'s start-up mode %d is not among its modes; using mode %d",
                      m_framebuffer.getName(), startup, modes.front().ioModeID);
        mode = &modes.front();
    }
    IOReturn r = m_framebuffer.setDisplayMode(mode->ioModeID, kDepth32);
    if (r != kIOReturnSuccess) {
        platform::log("windowserver: %@ refused mode %d: %s", m_framebuffer.getName(), mode->ioModeID,
                      IOReturnName(r));
        return std::nullopt;
    }
    return *mode;
}

FramebufferMemory FramebufferProbe::readMemory(const DisplayMode& mode) {
    FramebufferMemory memory;
    IOPixelInformation pixels;
    std::memset(&pixels, 0, sizeof pixels);
    if (m_framebuffer.getPixelInformation(mode.ioModeID, kDepth32, 0, &pixels) == kIOReturnSuccess)
        memory.bytesPerRow = pixels.bytesPerRow;
    // A driver that gives no row length, or one too short for the mode's pixels, is composed
    // for at the packed length.
    memory.bytesPerRow = std::max<uint64_t>(memory.bytesPerRow, uint64_t(mode.width) * 4);
    memory.aperture = adoptRetained(m_framebuffer.getApertureRange(0));
    return memory;
}

} // namespace windowserver
