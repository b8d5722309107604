#include "platform/windowserver/WindowServer.h"

#include "platform/core/Log.h"
#include "platform/kernel/IORegistryEntry.h"
#include "platform/kernel/OSNumber.h"

#include <algorithm>
#include <cstdlib>

namespace windowserver {

using namespace kernel;

namespace {

constexpr char kBuiltInFramebufferPath[] = "IOService:/BuiltInFramebuffer@0";
// Display ids stay distinct and readable: framebuffer indexes are small numbers.
constexpr uint32_t kMaxFramebufferIndex = 0xFFFF;

// The framebuffer's index: its location, a hexadecimal number, else its "IOAccelIndex".
std::optional<uint32_t> framebufferIndex(IOFramebuffer& framebuffer) {
    if (auto location = framebuffer.getLocation(); location && !location->empty() && location->size() <= 8) {
        char* end = nullptr;
        unsigned long value = std::strtoul(location->c_str(), &end, 16);
        if (end && *end == '\0' && value <= kMaxFramebufferIndex) return static_cast<uint32_t>(value);
    }
    if (auto* number = OSDynamicCast(OSNumber, framebuffer.getProperty("IOAccelIndex"))) {
        if (number->unsigned64BitValue() <= kMaxFramebufferIndex) return number->unsigned32BitValue();
    }
    return std::nullopt;
}

} // namespace

WindowServer::WindowServer(Kernel& kernel, WindowServerConfig config)
    : m_kernel(kernel), m_config(std::move(config)) {
    const MainDisplayConfig& main = m_config.mainDisplay;
    // A fixed arrow at the middle of the main display until cursor images and moves arrive.
    m_cursor.location = cg::CGPointMake(main.width / 2.0, main.height / 2.0);
    m_cursor.size = cg::CGSizeMake(16, 16);
}

WindowServer::~WindowServer() {
    stop();
}

void WindowServer::setDisplayObserver(DisplayObserver observer) {
    m_observer = std::move(observer);
}

void WindowServer::boot() {
    if (m_booted) return;
    m_booted = true;
    m_thread.start();
    if (auto builtIn = IORegistryEntry::fromPath(kBuiltInFramebufferPath))
        m_mainLocation = builtIn->getPath().value_or("");
    m_kernel.setFramebufferListener(this);
    m_kernel.waitQuiet();
    for (auto& service : m_kernel.matchingServices("IOFramebuffer")) {
        auto* framebuffer = OSDynamicCast(IOFramebuffer, service.get());
        if (!framebuffer) continue;
        OSPtr<IOFramebuffer> retained = makeRetained(framebuffer);
        m_thread.post([this, retained] { bootFramebuffer(retained); });
    }
    sync();
}

void WindowServer::stop() {
    if (!m_booted) return;
    m_booted = false;
    m_kernel.setFramebufferListener(nullptr);
    // A listener call already under way (a framebuffer stopping) ends before the slots go.
    m_kernel.waitQuiet();
    m_thread.runAndWait([this] {
        auto slots = m_slots;
        for (auto& slot : slots)
            retire(*slot);
    });
    m_thread.stop();
}

void WindowServer::sync() {
    m_thread.runAndWait([] {});
}

// Listener calls.

void WindowServer::framebufferPublished(IOFramebuffer* framebuffer) {
    OSPtr<IOFramebuffer> retained = makeRetained(framebuffer);
    m_thread.post([this, retained] { bootFramebuffer(retained); });
}

void WindowServer::framebufferWillStop(IOFramebuffer* framebuffer) {
    m_thread.runAndWait([this, framebuffer] {
        if (auto slot = slotFor(framebuffer)) retire(*slot);
    });
}

void WindowServer::framebufferNotification(IOFramebuffer* framebuffer, IOIndex event, void*) {
    if (event != kIOFBNotifyDisplayModeDidChange) return;
    if (auto slot = slotFor(framebuffer)) m_thread.post([this, slot] { modeDidChange(*slot); });
}

void WindowServer::connectChanged(OSObject*, void* reference) {
    auto slot = static_cast<FramebufferSlot*>(reference)->shared_from_this();
    slot->server->m_thread.post([slot] { slot->server->probe(*slot); });
}

void WindowServer::verticalBlank(OSObject*, void* reference) {
    auto* slot = static_cast<FramebufferSlot*>(reference);
    if (slot->pendingVBLs.fetch_add(1) != 0) return; // one task per framebuffer is queued already
    auto shared = slot->shared_from_this();
    slot->server->m_thread.post([shared] { shared->server->takeVerticalBlanks(*shared); });
}

// Boot (on the window-server thread).

void WindowServer::bootFramebuffer(const OSPtr<IOFramebuffer>& framebuffer) {
    if (slotFor(framebuffer.get()) || framebuffer->isInactive()) return;
    auto index = framebufferIndex(*framebuffer);
    if (!index) {
        platform::log("windowserver: %@ has no index; not opened", framebuffer->getName());
        return;
    }
    auto slot = std::make_shared<FramebufferSlot>();
    slot->server = this;
    slot->framebuffer = framebuffer;
    slot->index = *index;
    slot->path = framebuffer->getPath().value_or("");
    if (!openFramebuffer(*slot)) return;
    m_slots.push_back(slot);
    {
        std::lock_guard lock(m_tableMutex);
        m_table[framebuffer.get()] = slot;
    }
    {
        // Ends the uncaptured state; the first time, the driver fires a connect change.
        IOGateLock gate(framebuffer.get());
        framebuffer->setAttribute(kIOCapturedAttribute, 1);
    }
    probe(*slot);
}

bool WindowServer::openFramebuffer(FramebufferSlot& slot) {
    IOFramebuffer* fb = slot.framebuffer.get();
    IOGateLock gate(fb);
    IOReturn r = fb->open();
    if (r != kIOReturnSuccess) {
        platform::log("windowserver: cannot open %@: %s", slot.path, IOReturnName(r));
        return false;
    }
    r = fb->registerForInterruptType(kIOFBConnectInterruptType, &WindowServer::connectChanged, nullptr, &slot,
                                     &slot.connectRef);
    if (r != kIOReturnSuccess)
        platform::log("windowserver: %@ refused the connect-change interrupt: %s", slot.path,
                      IOReturnName(r));
    r = fb->registerForInterruptType(kIOFBVBLInterruptType, &WindowServer::verticalBlank, nullptr, &slot,
                                     &slot.vblRef);
    slot.vblRegistered = r == kIOReturnSuccess;
    if (!slot.vblRegistered) platform::log("windowserver: %@ gives no vertical-blank interrupt", slot.path);
    uintptr_t cursor = 0;
    slot.hardwareCursor =
        fb->getAttribute(kIOHardwareCursorAttribute, &cursor) == kIOReturnSuccess && cursor == 1;
    return true;
}

// Probe.

void WindowServer::probe(FramebufferSlot& slot) {
    IOFramebuffer* fb = slot.framebuffer.get();
    if (!fb) return;
    ProbeResult result;
    {
        IOGateLock gate(fb);
        if (!fb->isInactive()) result = FramebufferProbe(*fb).run();
    }
    if (result.showsDisplay())
        showDisplay(slot, result);
    else if (slot.online)
        removeDisplay(slot);
}

void WindowServer::showDisplay(FramebufferSlot& slot, ProbeResult& result) {
    bool added = !slot.online;
    slot.modes = std::move(result.modes);
    slot.current = result.current;
    DisplayInfo& d = slot.display;
    d.displayID = kFirstVirtualDisplayID + slot.index;
    d.serialNumber = result.edid ? result.edid->serial : 0;
    d.vendorNumber = result.edid ? result.edid->vendor : 0;
    d.modelNumber = result.edid ? result.edid->product : 0;
    d.name = result.edid ? result.edid->name : kUnknownDisplayName;
    d.location = slot.path;
    adoptMemory(slot, result.memory);
    slot.online = true;
    IOFramebuffer* fb = slot.framebuffer.get();
    {
        IOGateLock gate(fb);
        if (!slot.displayConnect) {
            slot.displayConnect = adoptRetained(IODisplayConnect::displayConnect());
            if (slot.displayConnect && slot.displayConnect->attach(fb))
                slot.displayConnect->registerService();
        }
        fb->setVBLStateBit(slot.vblRegistered);
    }
    layout();
    if (added) {
        feedCursor(slot, true);
        platform::log("windowserver: display 0x%x added: %@ serial 0x%08x at %@", d.displayID, d.name,
                      d.serialNumber, slot.path);
        if (m_observer) m_observer(recordOf(slot), true);
    }
}

void WindowServer::removeDisplay(FramebufferSlot& slot) {
    slot.online = false;
    if (IOFramebuffer* fb = slot.framebuffer.get()) {
        IOGateLock gate(fb);
        fb->setVBLStateBit(false);
        if (slot.displayConnect) slot.displayConnect->detach(fb);
    }
    slot.displayConnect.reset();
    slot.target.release();
    layout();
    platform::log("windowserver: display 0x%x removed", slot.display.displayID);
    if (m_observer) m_observer(recordOf(slot), false);
}

void WindowServer::modeDidChange(FramebufferSlot& slot) {
    IOFramebuffer* fb = slot.framebuffer.get();
    if (!fb || !slot.online) return;
    FramebufferMemory memory;
    {
        IOGateLock gate(fb);
        FramebufferProbe probe(*fb);
        if (auto current = probe.currentListedMode(slot.modes)) slot.current = *current;
        memory = probe.readMemory(slot.current);
    }
    adoptMemory(slot, memory);
    layout();
}

void WindowServer::adoptMemory(FramebufferSlot& slot, FramebufferMemory& memory) {
    if (!slot.target.set(std::move(memory.aperture), memory.bytesPerRow, slot.current.height)) {
        platform::log("windowserver: no memory to compose %@ at %ux%u", slot.path, slot.current.width,
                      slot.current.height);
    } else if (slot.target.usesOwnBuffer() && !slot.loggedOwnBuffer) {
        slot.loggedOwnBuffer = true;
        platform::log("windowserver: %@ has no aperture holding mode %d; composing into a buffer of its own",
                      slot.path, slot.current.ioModeID);
    }
    slot.display.ioModeID = slot.current.ioModeID;
    slot.display.pixelsWide = slot.current.width;
    slot.display.pixelsHigh = slot.current.height;
    slot.display.bytesPerRow = memory.bytesPerRow;
    slot.display.ownBuffer = slot.target.usesOwnBuffer();
}

// Composing of the display follows its vertical blanks; for now they are counted.
void WindowServer::takeVerticalBlanks(FramebufferSlot& slot) {
    slot.vblankCount += slot.pendingVBLs.exchange(0);
}

// A in reverse: interrupts, range, display, close.
void WindowServer::retire(FramebufferSlot& slot) {
    IOFramebuffer* fb = slot.framebuffer.get();
    if (!fb) return;
    {
        IOGateLock gate(fb);
        fb->unregisterInterrupt(slot.connectRef);
        fb->unregisterInterrupt(slot.vblRef);
        fb->setVBLStateBit(false);
    }
    slot.connectRef = slot.vblRef = nullptr;
    slot.target.release();
    if (slot.online) removeDisplay(slot);
    {
        IOGateLock gate(fb);
        fb->close();
    }
    {
        std::lock_guard lock(m_tableMutex);
        m_table.erase(fb);
    }
    slot.framebuffer.reset();
    std::erase_if(m_slots, [&](const auto& s) { return s.get() == &slot; }); // last, as it may free slot
}

// Virtual displays sit right of the main one in index order, top edges aligned. Every online
// framebuffer then learns where the cursor is relative to it.
void WindowServer::layout() {
    std::vector<FramebufferSlot*> online;
    for (auto& slot : m_slots)
        if (slot->online) online.push_back(slot.get());
    std::sort(online.begin(), online.end(), [](auto* a, auto* b) { return a->index < b->index; });
    double x = m_config.mainDisplay.width;
    for (FramebufferSlot* slot : online) {
        slot->display.bounds = cg::CGRectMake(x, 0, slot->current.width, slot->current.height);
        x += slot->current.width;
    }
    for (FramebufferSlot* slot : online)
        feedCursor(*slot, false);
}

void WindowServer::feedCursor(FramebufferSlot& slot, bool sendImage) {
    IOFramebuffer* fb = slot.framebuffer.get();
    if (!fb || !slot.hardwareCursor) return;
    CursorPlacement placement = cursorPlacement(m_cursor, slot.display.bounds, 1.0);
    IOGateLock gate(fb);
    if (sendImage) fb->setCursorImage(&m_cursor);
    fb->setCursorState(placement.x, placement.y, placement.visible);
}

// Queries.

DisplayInfo WindowServer::mainDisplay() const {
    const MainDisplayConfig& main = m_config.mainDisplay;
    DisplayInfo d;
    d.displayID = kMainDisplayID;
    d.bounds = cg::CGRectMake(0, 0, main.width, main.height);
    d.serialNumber = main.serial;
    d.vendorNumber = main.vendor;
    d.modelNumber = main.product;
    d.name = main.name;
    d.location = m_mainLocation;
    d.builtIn = true;
    d.pixelsWide = main.width;
    d.pixelsHigh = main.height;
    d.bytesPerRow = uint64_t(main.width) * 4;
    d.ownBuffer = true;
    return d;
}

DisplayInfo WindowServer::recordOf(const FramebufferSlot& slot) const {
    DisplayInfo d = slot.display;
    d.vblankCount = slot.vblankCount + slot.pendingVBLs.load();
    return d;
}

std::vector<DisplayInfo> WindowServer::displays() {
    std::vector<DisplayInfo> out;
    bool ran = m_thread.runAndWait([&] {
        out.push_back(mainDisplay());
        for (auto& slot : m_slots)
            if (slot->online) out.push_back(recordOf(*slot));
        std::sort(out.begin() + 1, out.end(),
                  [](const DisplayInfo& a, const DisplayInfo& b) { return a.displayID < b.displayID; });
    });
    if (!ran) out.assign(1, mainDisplay());
    return out;
}

std::optional<DisplayInfo> WindowServer::display(uint32_t displayID) {
    for (auto& d : displays())
        if (d.displayID == displayID) return d;
    return std::nullopt;
}

IOReturn WindowServer::setDisplayMode(uint32_t displayID, IODisplayModeID mode) {
    IOReturn result = kIOReturnNotAttached;
    m_thread.runAndWait([&] {
        auto slot = onlineSlot(displayID);
        if (!slot) return;
        if (!findMode(slot->modes, mode)) {
            result = kIOReturnBadArgument;
            return;
        }
        IOGateLock gate(slot->framebuffer.get());
        result = slot->framebuffer->setDisplayMode(mode, kDepth32);
    });
    return result;
}

std::shared_ptr<FramebufferSlot> WindowServer::slotFor(const IOFramebuffer* framebuffer) const {
    std::lock_guard lock(m_tableMutex);
    auto it = m_table.find(framebuffer);
    return it == m_table.end() ? nullptr : it->second;
}

std::shared_ptr<FramebufferSlot> WindowServer::onlineSlot(uint32_t displayID) const {
    for (auto& slot : m_slots)
        if (slot->online && slot->framebuffer && slot->display.displayID == displayID) return slot;
    return nullptr;
}

} // namespace windowserver
