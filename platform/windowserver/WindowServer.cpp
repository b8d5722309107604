#include "platform/windowserver/WindowServer.h"
#include "platform/windowserver/WindowServerInternal.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/kernel/IORegistryEntry.h"
#include "platform/kernel/OSNumber.h"
#include "platform/kernel/OSValueConversion.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
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

constexpr uint32_t kMainModeFlags = 0x800007;
constexpr IOFixed1616 k60Hz = 60 << 16;

// The pieces of a that lie outside b.
std::vector<cg::CGRect> subtract(const cg::CGRect& a, const cg::CGRect& b) {
    cg::CGRect i = cg::CGRectIntersection(a, b);
    if (cg::CGRectIsNull(i) || cg::CGRectIsEmpty(i)) return {a};
    std::vector<cg::CGRect> out;
    double ax0 = a.origin.x, ay0 = a.origin.y, ax1 = ax0 + a.size.width, ay1 = ay0 + a.size.height;
    double ix0 = i.origin.x, iy0 = i.origin.y, ix1 = ix0 + i.size.width, iy1 = iy0 + i.size.height;
    if (iy0 > ay0) out.push_back(cg::CGRectMake(ax0, ay0, ax1 - ax0, iy0 - ay0));
    if (ay1 > iy1) out.push_back(cg::CGRectMake(ax0, iy1, ax1 - ax0, ay1 - iy1));
    if (ix0 > ax0) out.push_back(cg::CGRectMake(ax0, iy0, ix0 - ax0, iy1 - iy0));
    if (ax1 > ix1) out.push_back(cg::CGRectMake(ix1, iy0, ax1 - ix1, iy1 - iy0));
    return out;
}

} // namespace

// What IODisplayCreateInfoDictionary answers of a display: kept on its framebuffer and its
// "display0", so it outlives a removal.
void publishDisplayInformation(IORegistryEntry* entry, const DisplayInfo& d) {
    if (!entry) return;
    cf::Dictionary info{
        {"DisplayProductName", cf::Dictionary{{"en_US", d.name}}},
        {"DisplayVendorID", cf::Value::number(cf::kCFNumberSInt32Type, int64_t(int32_t(d.vendorNumber)))},
        {"DisplayProductID", cf::Value::number(cf::kCFNumberSInt32Type, int64_t(int32_t(d.modelNumber)))},
        {"IODisplayLocation", d.location}};
    if (d.serialNumber)
        info.insert_or_assign("DisplaySerialNumber",
                              cf::Value::number(cf::kCFNumberSInt32Type, int64_t(int32_t(d.serialNumber))));
    if (auto object = OSObjectFromValue(cf::Value(std::move(info))))
        entry->setProperty(kDisplayInformationKey, object.get());
}

// Adds r to a list of non-overlapping rectangles, keeping them non-overlapping.
void addDisjoint(std::vector<cg::CGRect>& list, const cg::CGRect& r) {
    if (cg::CGRectIsEmpty(r)) return;
    std::vector<cg::CGRect> pieces{cg::CGRectStandardize(r)};
    for (const auto& existing : list) {
        std::vector<cg::CGRect> next;
        for (const auto& piece : pieces)
            for (const auto& rest : subtract(piece, existing))
                next.push_back(rest);
        pieces = std::move(next);
        if (pieces.empty()) return;
    }
    list.insert(list.end(), pieces.begin(), pieces.end());
}

WindowServer::WindowServer(Kernel& kernel, WindowServerConfig config)
    : m_kernel(kernel), m_config(std::move(config)), m_timers(m_thread) {
    const MainDisplayConfig& main = m_config.mainDisplay;
    uint32_t scale = main.scale == 2 ? 2 : 1;
    DisplayMode driver{0, main.width * scale, main.height * scale, k60Hz, kMainModeFlags};
    m_mainModes = {ListedMode{driver, 1.0}, ListedMode{driver, 2.0}};
    m_mainCurrent = m_mainModes[scale == 2 ? 1 : 0];
    // The arrow at the middle of the main display until cursor images and moves arrive.
    m_cursorImage = cg::CGSSystemCursorImage(cg::CGSSystemCursor::arrow);
    m_cursor.location = cg::CGPointMake(main.width / 2.0, main.height / 2.0);
    m_cursor.size = cg::CGSizeMake(m_cursorImage.width, m_cursorImage.height);
    m_cursor.hotSpot = m_cursorImage.hotSpot;
}

WindowServer::~WindowServer() {
    stop();
}

void WindowServer::setDisplayObserver(DisplayObserver observer) {
    m_observer = std::move(observer);
}

void WindowServer::setApplicationObserver(ApplicationObserver observer) {
    m_applicationObserver = std::move(observer);
}

void WindowServer::boot() {
    if (m_booted) return;
    m_booted = true;
    m_thread.start();
    m_timers.start();
    // The main display's first composition is whole.
    m_thread.post([this] {
        composeWhole(kMainDisplayID);
        scheduleTick();
    });
    if (auto builtIn = IORegistryEntry::fromPath(kBuiltInFramebufferPath)) {
        m_mainLocation = builtIn->getPath().value_or("");
        DisplayInfo main = mainDisplay();
        publishDisplayInformation(builtIn.get(), main);
        for (auto& child : builtIn->copyChildEntries())
            publishDisplayInformation(child.get(), main);
    }
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
    m_timers.stop();
    m_thread.runAndWait([this] {
        auto slots = m_slots;
        for (auto& slot : slots)
            retire(*slot);
        // Questions still waiting get their answer now.
        auto questions = std::move(m_questions);
        for (auto& [id, q] : questions)
            q.reply(std::nullopt, "the window server is stopping");
        m_clients.clear();
    });
    m_thread.stop();
}

void WindowServer::sync() {
    m_timers.postDue();
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
    if (!slot->server->m_blanksWanted.load(std::memory_order_acquire)) {
        slot->quietVBLs.fetch_add(1, std::memory_order_relaxed);
        return;
    }
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
    auto before = boundsByDisplay();
    uint32_t id = kFirstVirtualDisplayID + slot.index;
    if (result.showsDisplay()) {
        bool added = !slot.online;
        int32_t mode = slot.current.ioModeID;
        double scale = slot.scale;
        showDisplay(slot, result);
        if (added)
            endPass({{id, 0x10 | 0x100 | 0x1000}}, before);
        else if (mode != slot.current.ioModeID || scale != slot.scale)
            endPass({{id, 0x8 | 0x1000}}, before);
        else
            endPass({}, before);
    } else if (slot.online) {
        removeDisplay(slot);
        endPass({{id, 0x20 | 0x200 | 0x1000}}, before);
    }
}

void WindowServer::showDisplay(FramebufferSlot& slot, ProbeResult& result) {
    bool added = !slot.online;
    slot.modes = std::move(result.modes);
    // A client's twin survives a probe that finds the driver in the same mode.
    if (added || slot.current.ioModeID != result.current.ioModeID) {
        if (!added) supersede(kFirstVirtualDisplayID + slot.index, 0);
        slot.scale = 1.0;
    }
    slot.current = result.current;
    DisplayInfo& d = slot.display;
    d.displayID = kFirstVirtualDisplayID + slot.index;
    d.serialNumber = result.edid ? result.edid->serial : 0;
    d.vendorNumber = result.edid ? result.edid->vendor : 0;
    d.modelNumber = result.edid ? result.edid->product : 0;
    d.name = result.edid ? result.edid->name : kUnknownDisplayName;
    d.widthMM = result.edid ? result.edid->widthMM : 0;
    d.heightMM = result.edid ? result.edid->heightMM : 0;
    d.unit = slot.index + 1;
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
        publishDisplayInformation(fb, d);
        publishDisplayInformation(slot.displayConnect.get(), d);
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
    uint32_t id = kFirstVirtualDisplayID + slot.index;
    // Its mirror sets end with it.
    for (auto& other : m_slots)
        if (other->mirrorOf == id) other->mirrorOf = 0;
    if (m_mainMirrorOf == id) m_mainMirrorOf = 0;
    slot.mirrorOf = 0;
    supersede(id, 0);
    if (IOFramebuffer* fb = slot.framebuffer.get()) {
        IOGateLock gate(fb);
        fb->setVBLStateBit(false);
        if (slot.displayConnect) slot.displayConnect->detach(fb);
    }
    slot.displayConnect.reset();
    slot.target.release();
    m_compositions.invalidate(id);
    blankStreamsOf(id);
    layout();
    platform::log("windowserver: display 0x%x removed", slot.display.displayID);
    if (m_observer) m_observer(recordOf(slot), false);
}

void WindowServer::modeDidChange(FramebufferSlot& slot) {
    IOFramebuffer* fb = slot.framebuffer.get();
    if (!fb || !slot.online) return;
    FramebufferMemory memory;
    int32_t before = slot.current.ioModeID;
    {
        IOGateLock gate(fb);
        FramebufferProbe probe(*fb);
        if (auto current = probe.currentListedMode(slot.modes)) slot.current = *current;
        memory = probe.readMemory(slot.current);
    }
    adoptMemory(slot, memory);
    if (slot.current.ioModeID == before) {
        layout();
        return;
    }
    // The driver changed mode on its own: a new 1x mode, which supersedes app-only snapshots.
    auto bounds = boundsByDisplay();
    uint32_t id = kFirstVirtualDisplayID + slot.index;
    slot.scale = 1.0;
    supersede(id, 0);
    layout();
    endPass({{id, 0x8 | 0x1000}}, bounds);
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
    slot.display.scale = slot.scale;
    slot.display.bytesPerRow = memory.bytesPerRow;
    slot.display.ownBuffer = slot.target.usesOwnBuffer();
    composeWhole(kFirstVirtualDisplayID + slot.index);
    scheduleTick();
}

// Composing of the display follows its vertical blanks; refresh pushes follow it.
void WindowServer::takeVerticalBlanks(FramebufferSlot& slot) {
    slot.vblankCount += slot.pendingVBLs.exchange(0);
    if (slot.online) displayBlanked(kFirstVirtualDisplayID + slot.index);
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
    m_compositions.invalidate(kFirstVirtualDisplayID + slot.index);
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
// Mirrors take their master's origin (a master of the main display shares its origin).
void WindowServer::layout() {
    std::vector<FramebufferSlot*> online;
    for (auto& slot : m_slots)
        if (slot->online) online.push_back(slot.get());
    std::sort(online.begin(), online.end(), [](auto* a, auto* b) { return a->index < b->index; });
    double x = m_mainCurrent.width();
    for (FramebufferSlot* slot : online) {
        double w = slot->current.width / slot->scale, h = slot->current.height / slot->scale;
        uint32_t id = kFirstVirtualDisplayID + slot->index;
        if (slot->mirrorOf || m_mainMirrorOf == id) {
            slot->display.bounds = cg::CGRectMake(0, 0, w, h);
            continue;
        }
        slot->display.bounds = cg::CGRectMake(x, 0, w, h);
        x += w;
    }
    auto bounds = boundsByDisplay();
    for (FramebufferSlot* slot : online) {
        if (!slot->mirrorOf) continue;
        auto master = bounds.find(slot->mirrorOf);
        if (master != bounds.end()) slot->display.bounds.origin = master->second.origin;
    }
    for (FramebufferSlot* slot : online) {
        slot->display.mirrorOf = slot->mirrorOf;
        slot->display.scale = slot->scale;
        feedCursor(*slot, false);
    }
}

void WindowServer::feedCursor(FramebufferSlot& slot, bool sendImage) {
    IOFramebuffer* fb = slot.framebuffer.get();
    if (!fb || !slot.hardwareCursor) return;
    m_cursor.hideCount = hideCount();
    CursorPlacement placement = cursorPlacement(m_cursor, slot.display.bounds, slot.scale);
    {
        IOGateLock gate(fb);
        if (sendImage) fb->setCursorImage(&m_cursor);
        fb->setCursorState(placement.x, placement.y, placement.visible);
    }
    m_seedPage.cursorStateFed();
}

// Queries.

DisplayInfo WindowServer::mainDisplay() const {
    const MainDisplayConfig& main = m_config.mainDisplay;
    DisplayInfo d;
    d.displayID = kMainDisplayID;
    d.bounds = cg::CGRectMake(0, 0, m_mainCurrent.width(), m_mainCurrent.height());
    d.serialNumber = main.serial;
    d.vendorNumber = main.vendor;
    d.modelNumber = main.product;
    d.name = main.name;
    d.location = m_mainLocation;
    d.builtIn = true;
    d.main = true;
    d.pixelsWide = m_mainCurrent.driver.width;
    d.pixelsHigh = m_mainCurrent.driver.height;
    d.bytesPerRow = uint64_t(d.pixelsWide) * 4;
    d.ownBuffer = true;
    d.scale = m_mainCurrent.scale;
    d.mirrorOf = m_mainMirrorOf;
    d.vblankCount = m_mainBlanks;
    return d;
}

DisplayInfo WindowServer::recordOf(const FramebufferSlot& slot) const {
    DisplayInfo d = slot.display;
    d.vblankCount = slot.vblankCount + slot.pendingVBLs.load() + slot.quietVBLs.load();
    d.online = slot.online;
    uint32_t id = kFirstVirtualDisplayID + slot.index;
    d.mirrored = m_mainMirrorOf == id || std::any_of(m_slots.begin(), m_slots.end(),
                                                     [&](auto& s) { return s->online && s->mirrorOf == id; });
    return d;
}

std::vector<DisplayInfo> WindowServer::displays() {
    std::vector<DisplayInfo> out;
    bool ran = m_thread.runAndWait([&] {
        for (uint32_t id : onlineIDs())
            if (auto d = recordFor(id, false)) out.push_back(*d);
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
        const DisplayMode* listed = findMode(slot->modes, mode);
        if (!listed) {
            result = kIOReturnBadArgument;
            return;
        }
        Transaction transaction;
        transaction.modes.push_back({slot->display.displayID, ListedMode{*listed, 1.0}});
        result = applyTransaction(0, transaction, 2) == 0 ? kIOReturnSuccess : kIOReturnError;
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
