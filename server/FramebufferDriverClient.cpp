#include "server/FramebufferDriverClient.h"

#include "display/NSCursorTSEPrivate.h"
#include "display/QNBDisplaySet.h"
#include "display/QNBScreen.h"
#include "server/ScreenServer.h"

#include "foundation/QNBPreferences.h"
#include "platform/appkit/NSEvent.h"
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGSPrivate.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

namespace server {

using namespace iokit;

namespace {

constexpr char kFramebufferClassName[] = "QNExFramebuffer";

void storeError(platform::Error* error, const char* description) {
    platform::setError(error, platform::NSPOSIXErrorDomain, 1, description);
}

IOReturn callSelector(io_connect_t connection, uint32_t selector, const std::vector<uint64_t>& inputs = {}) {
    return IOConnectCallScalarMethod(connection, selector, inputs.data(),
                                     static_cast<uint32_t>(inputs.size()), nullptr, nullptr);
}

// The integer at the start of text ("2/QNExFramebuffer" gives 2); nothing without a digit.
std::optional<long> leadingInteger(std::string_view text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        if (value > 100000) return std::nullopt; // far past any framebuffer index
        value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

// Whether the service's IOService-plane path names framebuffer index: the integer at the
// start of its third "@" piece.
bool serviceHasIndex(io_service_t service, int index) {
    io_string_t path = {};
    if (IORegistryEntryGetPath(service, kIOServicePlane, path) != kIOReturnSuccess) return false;
    std::string_view text(path, strnlen(path, sizeof path));
    std::vector<std::string_view> pieces;
    size_t start = 0;
    for (;;) {
        size_t at = text.find('@', start);
        pieces.push_back(
            text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) break;
        start = at + 1;
    }
    if (pieces.size() < 3) return false;
    auto value = leadingInteger(pieces[2]);
    return value && *value == index;
}

std::vector<FramebufferScreen> screensOfTheServer() {
    std::vector<FramebufferScreen> list;
    for (const auto& screen : display::QNBScreen::screens()) {
        if (!screen) continue;
        FramebufferScreen entry;
        entry.displayID = screen->displayID();
        entry.framebufferIndex = screen->framebufferIndex();
        entry.userDescription = screen->userDescription();
        entry.frame = screen->frame();
        entry.scale = screen->scale();
        entry.displaySizeInPixels = screen->displaySizeInPixels();
        list.push_back(std::move(entry));
    }
    return list;
}

std::shared_ptr<display::QNBDisplaySet> finalizedSetFor(uint32_t displayID) {
    auto set = std::make_shared<display::QNBDisplaySet>();
    set->addDisplay(std::make_shared<display::QNBDisplay>(displayID));
    set->finalizeSet();
    return set;
}

} // namespace

namespace {
CursorGeometryCache::Geometry readCursorGeometry(const display::QNBDisplaySet& set);
} // namespace

FramebufferDriverClient::FramebufferDriverClient(std::recursive_mutex& mediatorLock)
    : m_mediatorLock(mediatorLock), m_screenList(screensOfTheServer),
      m_hiDPIQuery([](uint32_t display) { return display::QNBScreen::isHiDPIDisplay(display); }),
      m_passSleeper([](double seconds) { platform::sleepFor(seconds); }),
      m_cursorSeed([] { return cg::CGSCursorStateSeed(); }),
      m_cursorGeometry([] { return cg::CGSDisplayMappingChangedSeed(); }, readCursorGeometry) {}

void FramebufferDriverClient::setServers(const std::vector<std::shared_ptr<ScreenServer>>& servers) {
    std::lock_guard lock(m_portsLock);
    m_servers.assign(servers.begin(), servers.end());
    if (m_servers.size() > kFramebufferCount) m_servers.resize(kFramebufferCount);
}

int FramebufferDriverClient::indexOfSubScreen(const ScreenServer* server) const {
    std::lock_guard lock(m_portsLock);
    for (size_t i = 0; i < m_servers.size(); ++i) {
        auto live = m_servers[i].lock();
        if (live && live.get() == server) return static_cast<int>(i);
    }
    return kFramebufferCount;
}

void FramebufferDriverClient::setScreenList(ScreenList screens) {
    m_screenList = std::move(screens);
}
void FramebufferDriverClient::setHiDPIQuery(HiDPIQuery query) {
    m_hiDPIQuery = std::move(query);
}
void FramebufferDriverClient::setPassSleeper(PassSleeper sleeper) {
    m_passSleeper = std::move(sleeper);
}
void FramebufferDriverClient::setCursorSeedReader(CursorSeedReader reader) {
    m_cursorSeed = std::move(reader);
}

std::array<io_connect_t, kFramebufferCount> FramebufferDriverClient::dataPorts() const {
    std::lock_guard lock(m_portsLock);
    return m_dataPorts;
}

io_connect_t FramebufferDriverClient::portAt(int64_t index) const {
    if (index < 0 || index >= kFramebufferCount) return 0;
    std::lock_guard lock(m_portsLock);
    return m_dataPorts[static_cast<size_t>(index)];
}

std::vector<FramebufferScreen> FramebufferDriverClient::listScreens() const {
    return m_screenList ? m_screenList() : std::vector<FramebufferScreen>{};
}

// YES when no error was stored: a framebuffer that gives a zero connection is skipped without
// one, and so leaves the answer YES. A caller without a place for the error still hears YES when
// nothing failed (rather than NO whatever happened), so the answer alone tells it the outcome.
bool FramebufferDriverClient::setupUserClientWithError(platform::Error* error) {
    bool errorStored = false;
    for (int index = 0; index < kFramebufferCount; ++index) {
        mach_port_t masterPort = 0;
        IOMasterPort(0, &masterPort);
        auto matching = IOServiceMatching(kFramebufferClassName);
        if (!matching) {
            storeError(error, "Limner: Unable to find QNExFramebuffer class");
            return false;
        }
        if (matching->count() == 0) {
            storeError(error, "Limner: QNExFramebuffer class is zero.");
            return false;
        }
        io_iterator_t iterator = 0;
        if (IOServiceGetMatchingServices(masterPort, std::move(matching), &iterator) != kIOReturnSuccess) {
            storeError(error, "Limner: Unable to find any QNExFramebuffer class");
            return false;
        }
        io_service_t found = 0;
        for (int walked = 0; walked < kFramebufferCount; ++walked) {
            io_service_t service = IOIteratorNext(iterator);
            if (!service) break;
            if (serviceHasIndex(service, index)) {
                found = service;
                break;
            }
            IOObjectRelease(service);
        }
        IOObjectRelease(iterator);
        if (!found) {
            storeError(error, "Limner: Unable to find specific QNExFramebuffer class");
            errorStored = true;
            continue;
        }
        io_connect_t connection = 0;
        IOReturn opened = IOServiceOpen(found, mach_task_self(), kQNExFramebufferUserClientType, &connection);
        IOObjectRelease(found);
        if (opened != kIOReturnSuccess) {
            platform::log("Limner: opening the user client of framebuffer %d returned 0x%x", index, opened);
            storeError(error, "Limner: Unable to open QNExFramebuffer user client");
            return false;
        }
        if (connection == 0) continue;
        IOReturn status = callSelector(connection, kQNExUCOpen);
        if (status != kIOReturnSuccess) {
            platform::log("Limner: kQNExUCOpen of framebuffer %d returned 0x%x", index, status);
            storeError(error, "Limner: Unable to open QNExFramebuffer user client");
            IOServiceClose(connection);
            return false;
        }
        callSelector(connection, kQNExUCDisable);
        std::lock_guard lock(m_portsLock);
        m_dataPorts[static_cast<size_t>(index)] = connection;
    }
    return !errorStored;
}

std::shared_ptr<display::QNBDisplaySet>
FramebufferDriverClient::enableDisplayWithDisplayModes(ScreenServer& server, const int* modes,
                                                       size_t modeCount, platform::Error* error) {
    const int index = indexOfSubScreen(&server);
    // A session without a framebuffer connection of its own gets no display, not even one
    // that happens to be up (another process may be driving it).
    const io_connect_t connection = portAt(index);
    if (connection == 0) return nullptr;

    // A display already at the session's size is reused, unless it is a HiDPI one that the
    // preferences no longer allow.
    const cg::CGSize wanted = server.displayResolution();
    for (const auto& screen : listScreens()) {
        if (screen.framebufferIndex != index) continue;
        if (wanted.width != screen.displaySizeInPixels.width ||
            wanted.height != screen.displaySizeInPixels.height)
            break;
        bool hiDPI = m_hiDPIQuery && m_hiDPIQuery(screen.displayID);
        if (hiDPI && !foundation::QNBPreferences::sharedAppPrefs().enableHiDPIResolutions()) break;
        return finalizedSetFor(screen.displayID);
    }

    server.setFrameBufferPort(connection);
    auto screen = enableWithResolutionsForDisplayModes(modes, modeCount, connection, index);
    if (!screen) {
        storeError(error, "Unable to find virtual display.");
        return nullptr;
    }
    auto set = std::make_shared<display::QNBDisplaySet>();
    set->addDisplay(std::make_shared<display::QNBDisplay>(screen->displayID));
    server.setDisplayID(screen->displayID);
    server.setDisplayIsEnabled(true);
    set->finalizeSet();
    return set;
}

std::optional<FramebufferScreen>
FramebufferDriverClient::enableWithResolutionsForDisplayModes(const int* modes, size_t count,
                                                              io_connect_t connection, int index) {
    if (!modes || count == 0) {
        platform::log("Blocking attempt to send an empty display mode list to driver");
        return std::nullopt;
    }
    for (size_t i = 0; i < count; ++i) {
        if (modes[i] < kFirstDisplayModeID || modes[i] > kLastDisplayModeID) {
            platform::log("Blocking attempt to send invalid display mode [%llu] to driver",
                          static_cast<unsigned long long>(static_cast<int64_t>(modes[i])));
            return std::nullopt;
        }
    }
    if (connection == 0) return std::nullopt;

    bool clockSet = callSelector(connection, kQNExVBLSetSecondaryClock, {kSecondaryClockMicroseconds}) ==
                    kIOReturnSuccess;
    if (!clockSet) platform::log("kQNExVBLSetSecondaryClock failed");
    bool thresholdSet = callSelector(connection, kQNExVBLSetSecondaryClockThreshold,
                                     {kSecondaryClockThresholdMicroseconds}) == kIOReturnSuccess;
    if (!thresholdSet) platform::log("kQNExVBLSetSecondaryClockThreshold failed");
    if (clockSet && thresholdSet)
        enableVBLClientCallbacks();
    else
        platform::log("User client configuration failed");

    std::vector<uint64_t> ids(modes, modes + count);
    IOReturn enabled = count == 1 ? callSelector(connection, kQNExUCEnableWithResolution, ids)
                                  : callSelector(connection, kQNExUCEnableWithResolutions, ids);
    if (enabled != kIOReturnSuccess) {
        platform::log("kQNExUCEnableWithResolutions failed");
        return std::nullopt;
    }

    std::optional<FramebufferScreen> result;
    for (int pass = 0; pass < kDisplayWaitPasses; ++pass) {
        if (m_passSleeper) m_passSleeper(kDisplayWaitPassSeconds);
        bool atRequestedMode = false;
        for (const auto& screen : listScreens()) {
            if (screen.userDescription != display::QNBScreen::virtualDisplayNameString() ||
                screen.framebufferIndex != index)
                continue;
            result = screen;
            int current = display::QNBScreen::displayModeForSize(
                {screen.frame.size.width * screen.scale, screen.frame.size.height * screen.scale});
            if (std::find(modes, modes + count, current) != modes + count) atRequestedMode = true;
        }
        if (atRequestedMode) break;
    }
    return result;
}

void FramebufferDriverClient::disableDisplay(ScreenServer& server) {
    io_connect_t connection = portAt(indexOfSubScreen(&server));
    if (connection != 0) callSelector(connection, kQNExUCDisable);
}

void FramebufferDriverClient::closeService(io_connect_t connection) {
    if (connection == 0) return;
    {
        std::lock_guard lock(m_portsLock);
        for (auto& port : m_dataPorts) {
            if (port == connection) port = 0;
        }
    }
    callSelector(connection, kQNExUCClose);
    IOServiceClose(connection);
}

void FramebufferDriverClient::stop() {
    for (io_connect_t connection : dataPorts()) {
        if (connection == 0) continue;
        callSelector(connection, kQNExUCDisable);
        closeService(connection);
    }
}

void FramebufferDriverClient::enableVBLClientCallbacks() {
    std::vector<std::shared_ptr<ScreenServer>> servers;
    {
        std::lock_guard lock(m_portsLock);
        for (const auto& weak : m_servers) {
            if (auto server = weak.lock()) servers.push_back(std::move(server));
        }
    }
    for (const auto& server : servers)
        server->setSignalUserClientforVBL(true);
}

// ---- Cursor ---------------------------------------------------------------------------------

bool FramebufferDriverClient::shouldQueryMouseOnFramebuffer(int64_t index, cg::CGPoint origin) {
    if (index < 0 || index >= kFramebufferCount) return false;
    io_connect_t connection = portAt(index);
    if (connection == 0) return false;
    // Read before the driver is asked: a state given after this read moves the seed, and the
    // next tick asks again.
    const uint64_t seed = m_cursorSeed ? m_cursorSeed() : 0;
    {
        std::lock_guard lock(m_mediatorLock);
        const MouseAnswerSeed& known = m_lastMouseSeed[static_cast<size_t>(index)];
        if (seed != 0 && known.seed == seed && known.connection == connection && known.origin.x == origin.x &&
            known.origin.y == origin.y) {
            // The image change the last answer reported has been taken by now.
            m_lastMouseResult[static_cast<size_t>(index)][3] = 0;
            return true;
        }
    }
    // The driver is asked outside the lock, so the sessions' loops, each on its own framebuffer,
    // do not queue behind one another's round trips; the answer is stored under it.
    uint64_t outputs[4] = {};
    uint32_t outputCount = 4;
    IOReturn status =
        IOConnectCallScalarMethod(connection, kQNExQueryMouseStatus, nullptr, 0, outputs, &outputCount);
    std::lock_guard lock(m_mediatorLock);
    auto& entry = m_lastMouseResult[static_cast<size_t>(index)];
    entry = {};
    m_lastMouseSeed[static_cast<size_t>(index)] = {status == kIOReturnSuccess ? seed : 0, connection, origin};
    if (status != kIOReturnSuccess) {
        platform::log("kQNExQueryMouseStatus returned 0x%x (%d) ", static_cast<uint32_t>(status),
                      static_cast<int32_t>(status));
        return false;
    }
    for (uint32_t i = 0; i < std::min<uint32_t>(outputCount, 4); ++i)
        entry[i] = outputs[i];
    entry[0] = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(entry[0]) + origin.x));
    entry[1] = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(entry[1]) + origin.y));
    return true;
}

bool FramebufferDriverClient::mouseCursorChangedOnFramebuffer(int64_t index) {
    if (index < 0 || index >= kFramebufferCount) return false;
    std::lock_guard lock(m_mediatorLock);
    return m_lastMouseResult[static_cast<size_t>(index)][3] != 0;
}

bool FramebufferDriverClient::mouseCursorVisibleOnFramebuffer(int64_t index) {
    if (index < 0 || index >= kFramebufferCount) return false;
    std::lock_guard lock(m_mediatorLock);
    m_mouseVisible = m_lastMouseResult[static_cast<size_t>(index)][2] == 1;
    return m_mouseVisible;
}

cg::CGPoint FramebufferDriverClient::mouseLocationOnFramebuffer(int64_t index, bool mirrored,
                                                                double displayHeight) {
    // A mirrored display follows the event system's location, read before taking the lock so
    // that no window-server round trip happens under it.
    cg::CGPoint system;
    if (mirrored) {
        system = appkit::NSEvent::mouseLocation();
        if (display::NSCursorTSEPrivate::tseCurrentSystemCursor()) {
            const cg::CGPoint hotSpot = display::NSCursorTSEPrivate::tseHotSpot();
            system.x -= hotSpot.x;
            system.y += hotSpot.y;
        }
    }
    std::lock_guard lock(m_mediatorLock);
    if (index < 0 || index >= kFramebufferCount) return m_mouseLocation;
    const auto& entry = m_lastMouseResult[static_cast<size_t>(index)];
    const cg::CGPoint driverPoint{static_cast<double>(static_cast<int32_t>(entry[0])),
                                  static_cast<double>(static_cast<int32_t>(entry[1]))};
    const bool visible = entry[2] == 1;
    if (driverPoint.x == m_mouseLocation.x && driverPoint.y == m_mouseLocation.y && visible == m_mouseVisible)
        return m_mouseLocation;
    m_mouseLocation = mirrored ? cg::CGPoint{system.x, displayHeight - system.y} : driverPoint;
    return m_mouseLocation;
}

bool FramebufferDriverClient::shouldQueryMouseOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set) {
    if (!set) return false;
    return shouldQueryMouseOnFramebuffer(set->framebufferIndex(), m_cursorGeometry.refresh(set).origin);
}

bool FramebufferDriverClient::mouseCursorChangedOnDisplay(
    const std::shared_ptr<display::QNBDisplaySet>& set) {
    return set && mouseCursorChangedOnFramebuffer(set->framebufferIndex());
}

bool FramebufferDriverClient::mouseCursorVisibleOnDisplay(
    const std::shared_ptr<display::QNBDisplaySet>& set) {
    return set && mouseCursorVisibleOnFramebuffer(set->framebufferIndex());
}

cg::CGPoint
FramebufferDriverClient::getMouseLocationOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set) {
    if (!set) return mouseLocation();
    // The tick's query has just checked the seed.
    const CursorGeometryCache::Geometry geometry = m_cursorGeometry.current(set);
    return mouseLocationOnFramebuffer(set->framebufferIndex(), geometry.mirrored, geometry.height);
}

// ---- Cursor geometry ------------------------------------------------------------------------

namespace {

CursorGeometryCache::Geometry readCursorGeometry(const display::QNBDisplaySet& set) {
    CursorGeometryCache::Geometry geometry;
    geometry.origin = set.scaleCorrectedDisplayBounds().origin;
    auto displays = set.displays();
    const uint32_t first = displays.empty() ? 0 : displays.front()->displayID();
    geometry.mirrored = first != 0 && cg::CGDisplayIsInMirrorSet(first);
    if (geometry.mirrored)
        geometry.height = display::QNBScreen::scaleCorrectedDisplayBoundsForDisplayID(first).size.height;
    return geometry;
}

} // namespace

// Sets are told apart by owner, which needs no reference taken; an entry's weak reference keeps
// its owner's identity from being reused, and gone sets' entries are dropped as new ones come.
CursorGeometryCache::Entry*
CursorGeometryCache::entryFor(const std::shared_ptr<display::QNBDisplaySet>& set) {
    for (Entry& entry : m_entries)
        if (!entry.set.owner_before(set) && !set.owner_before(entry.set)) return &entry;
    return nullptr;
}

CursorGeometryCache::Geometry
CursorGeometryCache::refresh(const std::shared_ptr<display::QNBDisplaySet>& set) {
    // The seed is read before the geometry: a change between the two is seen at the next
    // refresh, never hidden under the new seed.
    const uint32_t seed = m_seed ? m_seed() : 0;
    {
        std::lock_guard lock(m_lock);
        if (Entry* entry = entryFor(set); entry && seed != 0 && entry->seed == seed) return entry->geometry;
    }
    const Geometry geometry = m_read(*set); // round trips, outside the lock
    std::lock_guard lock(m_lock);
    Entry* entry = entryFor(set);
    if (!entry) {
        std::erase_if(m_entries, [](const Entry& e) { return e.set.expired(); });
        entry = &m_entries.emplace_back(Entry{set, 0, {}});
    }
    entry->seed = seed;
    entry->geometry = geometry;
    return geometry;
}

CursorGeometryCache::Geometry
CursorGeometryCache::current(const std::shared_ptr<display::QNBDisplaySet>& set) {
    {
        std::lock_guard lock(m_lock);
        if (Entry* entry = entryFor(set)) return entry->geometry;
    }
    return m_read(*set);
}

std::shared_ptr<appkit::NSCursor>
FramebufferDriverClient::mouseCursorOnDisplay(const std::shared_ptr<display::QNBDisplaySet>&) {
    return display::NSCursorTSEPrivate::tseCurrentSystemCursor();
}

cg::CGPoint FramebufferDriverClient::mouseHotspotOnDisplay(const std::shared_ptr<display::QNBDisplaySet>&) {
    return mouseHotspot();
}

cg::CGPoint FramebufferDriverClient::mouseHotspot() {
    return display::NSCursorTSEPrivate::tseCurrentSystemCursor() ? display::NSCursorTSEPrivate::tseHotSpot()
                                                                 : cg::CGPoint{};
}

cg::CGPoint FramebufferDriverClient::mouseLocation() const {
    std::lock_guard lock(m_mediatorLock);
    return m_mouseLocation;
}

bool FramebufferDriverClient::mouseVisible() const {
    std::lock_guard lock(m_mediatorLock);
    return m_mouseVisible;
}

} // namespace server
