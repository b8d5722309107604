#include "display/QNBScreen.h"

#include "display/DisplayInformation.h"
#include "foundation/SystemVersion.h"
#include "platform/appkit/NSScreen.h"
#include "platform/core/Format.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/coregraphics/WindowServerTransport.h"
#include "platform/foundation/CFBundleLocalization.h"
#include "platform/iokit/IOGraphicsLib.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace display {

namespace {

// The shared list of screens and the display-mapping seed it was built at.
struct ScreenCache {
    std::mutex lock;
    std::vector<std::shared_ptr<QNBScreen>> screens;
    uint32_t seed = 0;
};

ScreenCache& screenCache() {
    static ScreenCache* cache = new ScreenCache; // lives for the process: screens may be asked at exit
    return *cache;
}

bool originIsZero(const cg::CGRect& rect) {
    return rect.origin.x == 0 && rect.origin.y == 0;
}

// The active displays, or the online ones when no display is active; empty on failure.
std::vector<CGDirectDisplayID> currentDisplayIDs(uint32_t count) {
    std::vector<CGDirectDisplayID> ids(count);
    uint32_t found = 0;
    if (cg::CGSGetActiveDisplayList(count, ids.data(), &found) != cg::kCGErrorSuccess) found = 0;
    if (found == 0 && cg::CGSGetOnlineDisplayList(count, ids.data(), &found) != cg::kCGErrorSuccess)
        found = 0;
    ids.resize(std::min(found, count));
    return ids;
}

// Rebuilds the list in place; the cache's lock is held.
void resetScreensLocked(ScreenCache& cache) {
    const uint32_t count = cg::CGSGetNumberOfDisplays();
    if (count == 0) {
        cache.screens.clear();
        return;
    }
    std::vector<CGDirectDisplayID> ids = currentDisplayIDs(count);
    std::vector<bool> used(ids.size(), false);
    std::optional<CGDirectDisplayID> primary;

    // Walk from the last to the first: survivors stay, the rest go.
    for (size_t i = cache.screens.size(); i-- > 0;) {
        const CGDirectDisplayID display = cache.screens[i]->displayID();
        auto found = std::find(ids.begin(), ids.end(), display);
        if (found == ids.end()) {
            cache.screens.erase(cache.screens.begin() + std::ptrdiff_t(i));
            continue;
        }
        used[size_t(found - ids.begin())] = true;
        if (!primary) {
            cg::CGRect bounds;
            GetCGSScreenBounds(display, &bounds);
            if (originIsZero(bounds)) primary = display;
        }
    }
    if (ids.empty()) cache.screens.clear();

    if (cache.screens.size() < ids.size()) {
        for (size_t i = 0; i < ids.size(); ++i) {
            if (used[i]) continue;
            cache.screens.push_back(std::make_shared<QNBScreen>(ids[i]));
            if (!primary) {
                cg::CGRect bounds;
                GetCGSScreenBounds(ids[i], &bounds);
                if (originIsZero(bounds)) primary = ids[i];
            }
        }
    }

    if (primary) {
        auto found = std::find_if(cache.screens.begin(), cache.screens.end(),
                                  [&](const auto& screen) { return screen->displayID() == *primary; });
        if (found != cache.screens.end()) std::rotate(cache.screens.begin(), found, found + 1);
    }
    cache.seed = cg::CGSDisplayMappingChangedSeed();
}

// A display's bounds (points) and its current mode's resolution, kept per display and read
// again only when the window server's display-mapping seed has moved (every reconfiguration
// moves it once its new state answers): the refresh road asks for both at each refresh of each
// session, and each read is a round trip the window server's thread answers between its
// compositions, while the seed is answered at once. A seed of 0 (unreadable) is never trusted,
// and another window server (a new transport) starts over, its seeds being its own.
struct DisplayGeometry {
    cg::CGRect bounds{};
    double resolution = 1.0;
};

struct DisplayGeometryCache {
    std::mutex lock;
    std::weak_ptr<cg::WindowServerTransport> transport; // whose seeds the entries carry
    std::map<CGDirectDisplayID, std::pair<uint32_t, DisplayGeometry>> entries; // display: seed, geometry
};

DisplayGeometry readDisplayGeometry(CGDirectDisplayID display) {
    DisplayGeometry geometry;
    geometry.bounds = cg::CGDisplayBounds(display);
    if (std::optional<cf::Value> mode = currentModeDictionary(display)) {
        const cf::Value* resolution = mode->find(kModeResolutionKey);
        if (resolution) geometry.resolution = resolution->doubleValue();
    }
    return geometry;
}

DisplayGeometry displayGeometry(CGDirectDisplayID display) {
    static auto* cache = new DisplayGeometryCache; // lives for the process, as the screen cache
    const auto transport = cg::CGSCurrentWindowServerTransport();
    const uint32_t seed = cg::CGSDisplayMappingChangedSeed();
    if (seed != 0) {
        std::lock_guard lock(cache->lock);
        if (cache->transport.lock() != transport) {
            cache->entries.clear();
            cache->transport = transport;
        }
        auto found = cache->entries.find(display);
        if (found != cache->entries.end() && found->second.first == seed) return found->second.second;
    }
    // Read after the seed: a reconfiguration completing meanwhile moves the seed again, so what
    // is kept under this seed is never older than the seed.
    const DisplayGeometry geometry = readDisplayGeometry(display);
    if (seed != 0) {
        std::lock_guard lock(cache->lock);
        if (cache->transport.lock() == transport)
            cache->entries.insert_or_assign(display, std::make_pair(seed, geometry));
    }
    return geometry;
}

} // namespace

void GetCGSScreenBounds(CGDirectDisplayID display, cg::CGRect* bounds) {
    if (!bounds) return;
    cg::CGRect read;
    *bounds = cg::CGSGetDisplayBounds(display, &read) == cg::kCGErrorSuccess ? read : cg::CGRectZero;
}

// ---- Instances

QNBScreen::QNBScreen() = default;

QNBScreen::QNBScreen(CGDirectDisplayID display) : mScreenNumber(int64_t(int32_t(display))) {}

CGDirectDisplayID QNBScreen::displayID() const {
    return CGDirectDisplayID(uint64_t(mScreenNumber) & 0xFFFFFFFFu);
}

cg::CGRect QNBScreen::frame() const {
    cg::CGRect bounds;
    GetCGSScreenBounds(displayID(), &bounds);
    if (originIsZero(bounds)) return bounds; // the main display, or unreadable bounds
    bounds.origin.y = zeroScreenHeight() - (bounds.origin.y + bounds.size.height);
    return bounds;
}

cg::CGSize QNBScreen::displaySizeInPixels() const {
    return {double(cg::CGDisplayPixelsWide(displayID())), double(cg::CGDisplayPixelsHigh(displayID()))};
}

cg::CGRect QNBScreen::normalizedDisplayBounds() const {
    return normalizedDisplayBoundsForDisplayID(displayID());
}

cg::CGRect QNBScreen::scaleCorrectedDisplayBounds() const {
    return scaleCorrectedDisplayBoundsForDisplayID(displayID());
}

double QNBScreen::scale() const {
    return scaleForDisplayID(displayID());
}

std::vector<cg::CGRect> QNBScreen::arrayOfScreenBounds() const {
    return {cg::CGRect{cg::CGPointZero, scaleCorrectedDisplayBounds().size}};
}

int64_t QNBScreen::framebufferIndex() {
    int64_t index = mDriverIndex.load();
    if (index != -1) return index;
    index = framebufferIndexForDisplayID(displayID());
    mDriverIndex.store(index);
    return index;
}

std::string QNBScreen::userDescription() const {
    return copyDisplayNameForDisplayID(displayID()).value_or(unknownDisplayString());
}

std::string QNBScreen::description() {
    return platform::format("<%@: %p; framebuffer-index=%i; display-id=%i frame=%@; scale=%f>", "QNBScreen",
                            static_cast<const void*>(this), framebufferIndex(), displayID(),
                            cg::NSStringFromRect(frame()), scale());
}

// ---- The list of screens

std::vector<std::shared_ptr<QNBScreen>> QNBScreen::screens() {
    const uint32_t seed = cg::CGSDisplayMappingChangedSeed();
    ScreenCache& cache = screenCache();
    std::lock_guard guard(cache.lock);
    if (cache.screens.empty()) {
        cache.seed = seed;
        const uint32_t count = cg::CGSGetNumberOfDisplays();
        if (count == 0) return {};
        std::vector<std::shared_ptr<QNBScreen>> built;
        for (CGDirectDisplayID display : currentDisplayIDs(count)) {
            cg::CGRect bounds;
            GetCGSScreenBounds(display, &bounds);
            auto screen = std::make_shared<QNBScreen>(display);
            if (originIsZero(bounds))
                built.insert(built.begin(), std::move(screen));
            else
                built.push_back(std::move(screen));
        }
        cache.screens.insert(cache.screens.end(), built.begin(), built.end());
    } else if (cache.seed != seed) {
        resetScreensLocked(cache);
    }
    return cache.screens;
}

void QNBScreen::resetScreens() {
    ScreenCache& cache = screenCache();
    std::lock_guard guard(cache.lock);
    resetScreensLocked(cache);
}

double QNBScreen::zeroScreenHeight() {
    auto list = screens();
    if (list.empty()) return 0;
    cg::CGRect bounds;
    GetCGSScreenBounds(list.front()->displayID(), &bounds);
    return bounds.size.height;
}

// ---- Identity and names

int64_t QNBScreen::framebufferIndexForDisplayID(CGDirectDisplayID display) {
    const uint32_t serial = cg::CGDisplaySerialNumber(display);
    if ((serial >> 16) == kQNExDisplaySerialPrefix) return serial & 0xFFFF;
    return framebufferIndexFromInformation(copyDisplayInformation(display, 0));
}

std::string QNBScreen::userDescriptionForDisplayID(CGDirectDisplayID display) {
    return firstProductName(copyDisplayInformation(display, iokit::kIODisplayOnlyPreferredName))
        .value_or(unknownDisplayString());
}

std::optional<std::string>
QNBScreen::userDescriptionForScreen(const std::shared_ptr<appkit::NSScreen>& screen) {
    if (!screen) return std::nullopt;
    const cf::Value description = screen->deviceDescription();
    const cf::Value* number = description.find("NSScreenNumber");
    if (!number || !number->isNumber()) return std::nullopt;
    return userDescriptionForDisplayID(CGDirectDisplayID(number->unsignedIntegerValue()));
}

std::optional<std::string> QNBScreen::copyDisplayNameForDisplayID(CGDirectDisplayID display) {
    return localizedProductName(copyDisplayInformation(display, iokit::kIODisplayOnlyPreferredName));
}

std::optional<cf::Value> QNBScreen::deviceDescriptionForDisplayID(CGDirectDisplayID display) {
    for (const auto& screen : appkit::NSScreen::screens()) {
        const cf::Value& description = screen->deviceDescription();
        const cf::Value* number = description.find("NSScreenNumber");
        if (number && number->isNumber() && number->unsignedIntegerValue() == display) return description;
    }
    return std::nullopt;
}

// ---- Bounds and scale

cg::CGRect QNBScreen::normalizedDisplayBoundsForDisplayID(CGDirectDisplayID display) {
    return displayGeometry(display).bounds;
}

namespace {

// A mode's resolution scales a display only while Retina graphics are sent, on 10.7 and later.
bool sendsRetinaScale() {
    return transmitsRetinaGraphics() && foundation::BCDSystemVersionFunction() >= 0x0A0700;
}

double scaleOf(const DisplayGeometry& geometry) {
    return geometry.resolution > 1.0 ? geometry.resolution : 1.0;
}

} // namespace

cg::CGRect QNBScreen::scaleCorrectedDisplayBoundsForDisplayID(CGDirectDisplayID display) {
    if (display == 0) return cg::CGRectZero;
    const DisplayGeometry geometry = displayGeometry(display);
    cg::CGRect bounds = geometry.bounds;
    const double factor = sendsRetinaScale() ? scaleOf(geometry) : 1.0;
    bounds.size.width *= factor;
    bounds.size.height *= factor;
    return bounds;
}

double QNBScreen::scaleForDisplayID(CGDirectDisplayID display) {
    return sendsRetinaScale() ? scaleOf(displayGeometry(display)) : 1.0;
}

// ---- Modes

std::optional<std::vector<cf::Value>> QNBScreen::modesForDisplayID(CGDirectDisplayID display,
                                                                   bool filterActiveModes, bool sortModes) {
    int32_t count = 0;
    if (cg::CGSGetNumberOfDisplayModes(display, &count) != cg::kCGErrorSuccess || count <= 0)
        return std::nullopt;

    std::vector<cf::Value> modes;
    std::vector<cf::Value> hiDPIModes;
    for (int32_t number = 0; number < count; ++number) {
        std::optional<cf::Value> mode = modeDictionary(display, number);
        if (!mode) continue;
        if (filterActiveModes) {
            const cf::Value* safe = mode->find(kModeIsSafeForHardwareKey);
            const cf::Value* usable = mode->find(kModeUsableForDesktopGUIKey);
            if (!safe || !safe->boolValue() || !usable || !usable->boolValue()) continue;
        }
        const cf::Value* resolution = mode->find(kModeResolutionKey);
        if (resolution && resolution->doubleValue() > 1.0) hiDPIModes.push_back(*mode);
        modes.push_back(std::move(*mode));
    }

    // A size offered both ways is listed once, as HiDPI.
    for (const cf::Value& hiDPI : hiDPIModes) {
        auto lowResolution = std::find_if(modes.begin(), modes.end(), [&](const cf::Value& mode) {
            const cf::Value* resolution = mode.find(kModeResolutionKey);
            const double value = resolution ? resolution->doubleValue() : 1.0;
            return value <= 1.0 &&
                   cf::CFEqual(mode.objectForKey(kModeWidthKey), hiDPI.objectForKey(kModeWidthKey)) &&
                   cf::CFEqual(mode.objectForKey(kModeHeightKey), hiDPI.objectForKey(kModeHeightKey));
        });
        if (lowResolution != modes.end()) modes.erase(lowResolution);
    }

    if (sortModes)
        std::stable_sort(modes.begin(), modes.end(),
                         [](const cf::Value& a, const cf::Value& b) { return CompareModes(a, b) < 0; });
    return modes;
}

// Only a HiDPI mode of the current pixel size counts: a 1x mode whose point size has a twin
// elsewhere in the list is not HiDPI.
bool QNBScreen::isHiDPIDisplay(CGDirectDisplayID display) {
    if (display == 0) return false;
    cg::CGDisplayModeRef current = cg::CGDisplayCopyDisplayMode(display);
    if (!current) return false;
    const double width = double(cg::CGDisplayModeGetWidth(current));
    const double height = double(cg::CGDisplayModeGetHeight(current));
    const double pixelWidth = double(cg::CGDisplayModeGetPixelWidth(current));
    const double pixelHeight = double(cg::CGDisplayModeGetPixelHeight(current));
    std::optional<std::vector<cf::Value>> modes = modesForDisplayID(display, true, true);
    if (!modes) return false;
    for (const cf::Value& mode : *modes) {
        const auto number = [&](const char* key) {
            const cf::Value* value = mode.find(key);
            return value ? value->doubleValue() : -1.0;
        };
        if (number(kModeWidthKey) == width && number(kModeHeightKey) == height &&
            number(kModeResolutionKey) > 1.0 && number(kModePixelsWideKey) == pixelWidth &&
            number(kModePixelsHighKey) == pixelHeight)
            return true;
    }
    return false;
}

std::optional<cf::Value> QNBScreen::findBestHiDPIModeForDisplayID(CGDirectDisplayID display) {
    std::optional<std::vector<cf::Value>> modes = modesForDisplayID(display, true, true);
    if (!modes) return std::nullopt;
    for (const cf::Value& mode : *modes) {
        const cf::Value* resolution = mode.find(kModeResolutionKey);
        if (resolution && resolution->doubleValue() > 1.0) return mode;
    }
    return std::nullopt;
}

std::optional<cf::Value> QNBScreen::findBestModeForDisplayID(CGDirectDisplayID display) {
    std::optional<std::vector<cf::Value>> modes = modesForDisplayID(display, true, true);
    if (!modes || modes->empty()) return std::nullopt;
    return modes->front();
}

bool QNBScreen::hiDPIForDevice(CGDirectDisplayID display) {
    std::optional<cf::Value> mode = currentModeDictionary(display);
    if (!mode) return false;
    const cf::Value* resolution = mode->find(kModeResolutionKey);
    return resolution && resolution->doubleValue() > 1.0;
}

} // namespace display
