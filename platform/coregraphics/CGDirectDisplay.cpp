#include "platform/coregraphics/CGDirectDisplay.h"

#include "platform/coregraphics/CGDisplayConfiguration.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/coregraphics/CGWindow.h"
#include "platform/coregraphics/WindowServerClient.h"
#include "platform/iokit/IOKitLib.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <cmath>
#include <cstring>
#include <map>
#include <mutex>

namespace cg {

using detail::integerAt;
using detail::isFinite;
using detail::realAt;
using detail::wsRequest;
using detail::wsStatus;

namespace {

// The display's record (see WindowServerRequests); nothing for an id never seen.
std::optional<cf::Value> record(CGDirectDisplayID display) {
    auto result = wsRequest(windowserver::op::display, cf::Dictionary{{"display", display}});
    if (!result) return std::nullopt;
    const cf::Value* d = result->find("display");
    if (!d || !d->isDictionary()) return std::nullopt;
    return *d;
}

// An online display's record.
std::optional<cf::Value> onlineRecord(CGDirectDisplayID display) {
    auto d = record(display);
    if (!d) return std::nullopt;
    const cf::Value* online = d->find("online");
    if (!online || !online->boolValue()) return std::nullopt;
    return d;
}

int64_t numberOf(const std::optional<cf::Value>& d, std::string_view key) {
    if (!d) return 0;
    return integerAt(*d, key).value_or(0);
}

bool flagOf(const std::optional<cf::Value>& d, std::string_view key) {
    if (!d) return false;
    const cf::Value* v = d->find(key);
    return v && v->boolValue();
}

CGRect boundsOf(const cf::Value& d) {
    return CGRectMake(realAt(d, "x").value_or(0), realAt(d, "y").value_or(0), realAt(d, "width").value_or(0),
                      realAt(d, "height").value_or(0));
}

// A list answer: the count alone for a null array, else at most max ids.
CGError writeIDs(const cf::Value* ids, uint32_t maxDisplays, CGDirectDisplayID* displays, uint32_t* count) {
    size_t n = ids && ids->isArray() ? ids->count() : 0;
    if (!displays) {
        *count = uint32_t(n);
        return kCGErrorSuccess;
    }
    uint32_t written = 0;
    for (size_t i = 0; i < n && written < maxDisplays; ++i)
        displays[written++] = uint32_t(ids->at(i)->unsignedIntegerValue());
    *count = written;
    return kCGErrorSuccess;
}

CGError listDisplays(bool online, uint32_t maxDisplays, CGDirectDisplayID* displays, uint32_t* count) {
    if (!count) return kCGErrorIllegalArgument;
    auto result = wsRequest(windowserver::op::displayList, cf::Dictionary{{"online", online}});
    if (!result) return kCGErrorInvalidConnection;
    return writeIDs(result->find("ids"), maxDisplays, displays, count);
}

CGDisplayModeRef modeOf(CGDirectDisplayID display, const cf::Value& m) {
    auto mode = std::make_shared<CGDisplayMode>();
    mode->display = display;
    mode->number = int32_t(integerAt(m, "number").value_or(0));
    mode->width = uint32_t(integerAt(m, "width").value_or(0));
    mode->height = uint32_t(integerAt(m, "height").value_or(0));
    mode->pixelWidth = uint32_t(integerAt(m, "pixelWidth").value_or(0));
    mode->pixelHeight = uint32_t(integerAt(m, "pixelHeight").value_or(0));
    mode->resolution = realAt(m, "resolution").value_or(1.0);
    mode->ioDisplayModeID = int32_t(integerAt(m, "ioMode").value_or(0));
    mode->ioFlags = uint32_t(integerAt(m, "ioFlags").value_or(0));
    mode->refreshRate = double(integerAt(m, "refresh").value_or(0)) / 65536.0;
    return mode;
}

struct ModeList {
    std::vector<cf::Value> modes;
    int32_t current = -1;
};

std::optional<ModeList> modeList(CGDirectDisplayID display) {
    auto result = wsRequest(windowserver::op::modes, cf::Dictionary{{"display", display}});
    if (!result || integerAt(*result, "status").value_or(kCGErrorFailure) != kCGErrorSuccess)
        return std::nullopt;
    const cf::Value* modes = result->find("modes");
    if (!modes || !modes->isArray()) return std::nullopt;
    ModeList list;
    list.modes = *modes->asArray();
    list.current = int32_t(integerAt(*result, "current").value_or(-1));
    return list;
}

void putU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

} // namespace

// ---- Lists and geometry.

CGError CGGetActiveDisplayList(uint32_t maxDisplays, CGDirectDisplayID* displays, uint32_t* displayCount) {
    return listDisplays(false, maxDisplays, displays, displayCount);
}
CGError CGGetOnlineDisplayList(uint32_t maxDisplays, CGDirectDisplayID* displays, uint32_t* displayCount) {
    return listDisplays(true, maxDisplays, displays, displayCount);
}
CGError CGSGetActiveDisplayList(uint32_t maxDisplays, CGDirectDisplayID* displays, uint32_t* displayCount) {
    return listDisplays(false, maxDisplays, displays, displayCount);
}
CGError CGSGetOnlineDisplayList(uint32_t maxDisplays, CGDirectDisplayID* displays, uint32_t* displayCount) {
    return listDisplays(true, maxDisplays, displays, displayCount);
}

uint32_t CGSGetNumberOfDisplays() {
    uint32_t n = 0;
    return listDisplays(false, 0, nullptr, &n) == kCGErrorSuccess ? n : 0;
}

CGError CGGetDisplaysWithRect(CGRect rect, uint32_t maxDisplays, CGDirectDisplayID* displays,
                              uint32_t* matchingDisplayCount) {
    if (!matchingDisplayCount || !isFinite(rect)) return kCGErrorIllegalArgument;
    uint32_t n = 0;
    CGError error = listDisplays(false, 0, nullptr, &n);
    if (error) return error;
    std::vector<CGDirectDisplayID> ids(n);
    if ((error = listDisplays(false, n, ids.data(), &n))) return error;
    uint32_t found = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (!CGRectIntersectsRect(CGDisplayBounds(ids[i]), rect)) continue;
        if (displays) {
            if (found >= maxDisplays) break;
            displays[found] = ids[i];
        }
        ++found;
    }
    *matchingDisplayCount = found;
    return kCGErrorSuccess;
}

CGDirectDisplayID CGMainDisplayID() {
    return 1;
}

CGRect CGDisplayBounds(CGDirectDisplayID display) {
    auto d = onlineRecord(display);
    return d ? boundsOf(*d) : CGRectZero;
}

CGError CGSGetDisplayBounds(CGDirectDisplayID display, CGRect* bounds) {
    if (!bounds) return kCGErrorIllegalArgument;
    auto d = onlineRecord(display);
    if (!d) return kCGErrorIllegalArgument;
    *bounds = boundsOf(*d);
    return kCGErrorSuccess;
}

size_t CGDisplayPixelsWide(CGDirectDisplayID display) {
    return size_t(numberOf(onlineRecord(display), "pixelsWide"));
}
size_t CGDisplayPixelsHigh(CGDirectDisplayID display) {
    return size_t(numberOf(onlineRecord(display), "pixelsHigh"));
}

uint32_t CGSDisplayMappingChangedSeed() {
    // Read off the window server's shared page where there is one; a published seed is never 0.
    if (auto published = detail::wsPublishedMappingSeed(); published && *published != 0) return *published;
    auto result = wsRequest(windowserver::op::seed);
    return result ? uint32_t(integerAt(*result, "seed").value_or(0)) : 0;
}

uint64_t CGSCursorStateSeed() {
    return detail::wsPublishedCursorSeed().value_or(0);
}

// ---- Identity: removed displays keep answering.

uint32_t CGDisplaySerialNumber(CGDirectDisplayID display) {
    return uint32_t(numberOf(record(display), "serial"));
}
uint32_t CGDisplayVendorNumber(CGDirectDisplayID display) {
    return uint32_t(numberOf(record(display), "vendor"));
}
uint32_t CGDisplayModelNumber(CGDirectDisplayID display) {
    return uint32_t(numberOf(record(display), "model"));
}
uint32_t CGDisplayUnitNumber(CGDirectDisplayID display) {
    return uint32_t(numberOf(onlineRecord(display), "unit"));
}
CGSize CGDisplayScreenSize(CGDirectDisplayID display) {
    auto d = onlineRecord(display);
    return CGSizeMake(double(numberOf(d, "widthMM")), double(numberOf(d, "heightMM")));
}
double CGDisplayRotation(CGDirectDisplayID) {
    return 0;
}

bool CGDisplayIsActive(CGDirectDisplayID display) {
    return onlineRecord(display).has_value();
}
bool CGDisplayIsOnline(CGDirectDisplayID display) {
    return onlineRecord(display).has_value();
}
bool CGDisplayIsMain(CGDirectDisplayID display) {
    return flagOf(onlineRecord(display), "main");
}
bool CGDisplayIsBuiltin(CGDirectDisplayID display) {
    return flagOf(onlineRecord(display), "builtIn");
}
bool CGDisplayIsAsleep(CGDirectDisplayID) {
    return false;
}
bool CGDisplayIsStereo(CGDirectDisplayID) {
    return false;
}
bool CGDisplayUsesOpenGLAcceleration(CGDirectDisplayID display) {
    return onlineRecord(display).has_value();
}

CGDirectDisplayID CGDisplayMirrorsDisplay(CGDirectDisplayID display) {
    return uint32_t(numberOf(onlineRecord(display), "mirrorOf"));
}
CGDirectDisplayID CGDisplayPrimaryDisplay(CGDirectDisplayID display) {
    CGDirectDisplayID master = CGDisplayMirrorsDisplay(display);
    return master ? master : display;
}
bool CGDisplayIsInMirrorSet(CGDirectDisplayID display) {
    auto d = onlineRecord(display);
    return numberOf(d, "mirrorOf") != 0 || flagOf(d, "mirrored");
}
bool CGDisplayIsAlwaysInMirrorSet(CGDirectDisplayID) {
    return false;
}
bool CGDisplayIsInHWMirrorSet(CGDirectDisplayID) {
    return false;
}

uint32_t CGDisplayIOServicePort(CGDirectDisplayID display) {
    auto d = record(display);
    const cf::Value* location = d ? d->find("location") : nullptr;
    if (!location || !location->asString() || location->asString()->empty()) return 0;
    std::string wanted = *location->asString() + "/display0";
    iokit::io_iterator_t iterator = 0;
    if (iokit::IOServiceGetMatchingServices(iokit::kIOMasterPortDefault,
                                            iokit::IOServiceMatching("IODisplayConnect"),
                                            &iterator) != iokit::KERN_SUCCESS)
        return 0;
    uint32_t found = 0;
    while (iokit::io_object_t service = iokit::IOIteratorNext(iterator)) {
        iokit::io_string_t path{};
        if (!found &&
            iokit::IORegistryEntryGetPath(service, iokit::kIOServicePlane, path) == iokit::KERN_SUCCESS &&
            wanted == path) {
            found = service;
            continue;
        }
        iokit::IOObjectRelease(service);
    }
    iokit::IOObjectRelease(iterator);
    // A removed display keeps answering its identity: its framebuffer, which holds the same
    // display information.
    if (!found)
        found = iokit::IORegistryEntryFromPath(iokit::kIOMasterPortDefault, location->asString()->c_str());
    return found;
}

CGError CGDisplayHideCursor(CGDirectDisplayID) {
    return wsStatus(windowserver::op::cursorHide, cf::Dictionary{{"hide", true}});
}
CGError CGDisplayShowCursor(CGDirectDisplayID) {
    return wsStatus(windowserver::op::cursorHide, cf::Dictionary{{"hide", false}});
}

// ---- Modes.

CGDisplayModeRef CGDisplayCopyDisplayMode(CGDirectDisplayID display) {
    auto list = modeList(display);
    if (!list || list->current < 0 || size_t(list->current) >= list->modes.size()) return nullptr;
    return modeOf(display, list->modes[size_t(list->current)]);
}

std::optional<std::vector<CGDisplayModeRef>> CGDisplayCopyAllDisplayModes(CGDirectDisplayID display,
                                                                          const cf::Value* options) {
    auto list = modeList(display);
    if (!list) return std::nullopt;
    bool duplicates = false;
    if (options) {
        if (const cf::Value* v = options->find(kCGDisplayShowDuplicateLowResolutionModes))
            duplicates = v->isBoolean() ? v->boolValue() : (v->isNumber() && v->integerValue() == 1);
    }
    std::vector<CGDisplayModeRef> all;
    for (auto& m : list->modes)
        all.push_back(modeOf(display, m));
    if (duplicates) return all;
    std::vector<CGDisplayModeRef> shown;
    for (auto& mode : all) {
        bool hidden =
            mode->resolution == 1.0 && std::any_of(all.begin(), all.end(), [&](const auto& twin) {
                return twin->resolution > 1.0 && twin->width == mode->width && twin->height == mode->height;
            });
        if (!hidden) shown.push_back(mode);
    }
    return shown;
}

CGDisplayModeRef CGDisplayBestModeForParameters(CGDirectDisplayID display, size_t bitsPerPixel, size_t width,
                                                size_t height, bool* exactMatch) {
    if (exactMatch) *exactMatch = false;
    const cf::Value duplicates = cf::Dictionary{{kCGDisplayShowDuplicateLowResolutionModes, true}};
    auto modes = CGDisplayCopyAllDisplayModes(display, &duplicates);
    if (!modes) return nullptr;
    CGDisplayModeRef best;
    double bestDistance = 0;
    for (const auto& mode : *modes) {
        if (mode->resolution != 1.0) continue;
        const double distance = std::fabs(double(mode->pixelWidth) - double(width)) +
                                std::fabs(double(mode->pixelHeight) - double(height));
        if (!best || distance < bestDistance) {
            best = mode;
            bestDistance = distance;
        }
    }
    if (best && exactMatch) *exactMatch = bestDistance == 0 && bitsPerPixel == 32;
    return best;
}

CGError CGDisplaySwitchToMode(CGDirectDisplayID display, const CGDisplayModeRef& mode) {
    if (!mode) return kCGErrorIllegalArgument;
    CGDisplayConfigRef config = nullptr;
    CGError status = CGBeginDisplayConfiguration(&config);
    if (status != kCGErrorSuccess) return status;
    status = CGConfigureDisplayWithDisplayMode(config, display, mode, nullptr);
    if (status != kCGErrorSuccess) {
        CGCancelDisplayConfiguration(config);
        return status;
    }
    return CGCompleteDisplayConfiguration(config, kCGConfigureForAppOnly);
}

size_t CGDisplayModeGetWidth(const CGDisplayModeRef& mode) {
    return mode ? mode->width : 0;
}
size_t CGDisplayModeGetHeight(const CGDisplayModeRef& mode) {
    return mode ? mode->height : 0;
}
size_t CGDisplayModeGetPixelWidth(const CGDisplayModeRef& mode) {
    return mode ? mode->pixelWidth : 0;
}
size_t CGDisplayModeGetPixelHeight(const CGDisplayModeRef& mode) {
    return mode ? mode->pixelHeight : 0;
}
int32_t CGDisplayModeGetIODisplayModeID(const CGDisplayModeRef& mode) {
    return mode ? mode->ioDisplayModeID : 0;
}
uint32_t CGDisplayModeGetIOFlags(const CGDisplayModeRef& mode) {
    return mode ? mode->ioFlags : 0;
}
double CGDisplayModeGetRefreshRate(const CGDisplayModeRef& mode) {
    return mode ? mode->refreshRate : 0;
}

CGError CGSGetNumberOfDisplayModes(CGDirectDisplayID display, int32_t* count) {
    if (!count) return kCGErrorIllegalArgument;
    auto list = modeList(display);
    if (!list) return kCGErrorIllegalArgument;
    *count = int32_t(list->modes.size());
    return kCGErrorSuccess;
}

CGError CGSGetCurrentDisplayMode(CGDirectDisplayID display, int32_t* modeNumber) {
    if (!modeNumber) return kCGErrorIllegalArgument;
    auto list = modeList(display);
    if (!list || list->current < 0) return kCGErrorIllegalArgument;
    *modeNumber = list->current;
    return kCGErrorSuccess;
}

CGError CGSGetDisplayModeDescriptionOfLength(CGDirectDisplayID display, int32_t modeNumber, void* description,
                                             int32_t length) {
    if (!description || length < 0 || length > kCGSDisplayModeDescriptionLength)
        return kCGErrorIllegalArgument;
    auto list = modeList(display);
    if (!list || modeNumber < 0 || size_t(modeNumber) >= list->modes.size()) return kCGErrorIllegalArgument;
    const cf::Value& m = list->modes[size_t(modeNumber)];
    uint8_t d[kCGSDisplayModeDescriptionLength] = {};
    double scale = realAt(m, "resolution").value_or(1.0);
    uint32_t pixelWidth = uint32_t(integerAt(m, "pixelWidth").value_or(0));
    putU32(d + 0, uint32_t(modeNumber));
    putU32(d + 4, uint32_t(integerAt(m, "ioFlags").value_or(0)));
    putU32(d + 8, uint32_t(integerAt(m, "width").value_or(0)));
    putU32(d + 12, uint32_t(integerAt(m, "height").value_or(0)));
    putU32(d + 20, 4 * pixelWidth + 32);
    putU32(d + 24, 32);
    putU32(d + 28, 8);
    putU32(d + 32, 3);
    putU32(d + 40, uint32_t(72 * scale));
    putU32(d + 44, uint32_t(72 * scale));
    putU32(d + 188, uint32_t(integerAt(m, "refresh").value_or(0)));
    putU32(d + 192, uint32_t(integerAt(m, "ioFlags").value_or(0)));
    putU32(d + 196, uint32_t(integerAt(m, "ioMode").value_or(0)));
    putU32(d + 200, pixelWidth);
    putU32(d + 204, uint32_t(integerAt(m, "pixelHeight").value_or(0)));
    float resolution = float(scale);
    uint32_t bits;
    std::memcpy(&bits, &resolution, 4);
    putU32(d + 208, bits);
    std::memcpy(description, d, size_t(length));
    return kCGErrorSuccess;
}

CGError CGSGetDisplayAliasList(CGDirectDisplayID display, uint32_t maxDisplays, CGDirectDisplayID* aliases,
                               uint32_t* aliasCount) {
    if (!aliasCount) return kCGErrorIllegalArgument;
    auto result = wsRequest(windowserver::op::aliases, cf::Dictionary{{"display", display}});
    if (!result) return kCGErrorInvalidConnection;
    auto status = integerAt(*result, "status").value_or(kCGErrorFailure);
    if (status) return CGError(status);
    return writeIDs(result->find("ids"), maxDisplays, aliases, aliasCount);
}

// ---- Configuration transactions.

struct CGDisplayConfigRecord {};

namespace {

struct PendingConfiguration {
    std::map<CGDirectDisplayID, CGDisplayModeRef> modes;
    std::map<CGDirectDisplayID, CGDirectDisplayID> mirrors; // display → master (0: dissolve)
    bool invalid = false;                                   // a refused step spoils the whole transaction
};

// Handles are numbers, never reused, so a spent one is recognised rather than dereferenced.
std::mutex gConfigMutex;
std::map<uintptr_t, PendingConfiguration> gConfigs;
uintptr_t gNextConfig = 1;

uintptr_t handleOf(CGDisplayConfigRef config) {
    return reinterpret_cast<uintptr_t>(config);
}

} // namespace

CGError CGBeginDisplayConfiguration(CGDisplayConfigRef* config) {
    if (!config) return kCGErrorIllegalArgument;
    std::lock_guard lock(gConfigMutex);
    uintptr_t handle = gNextConfig++;
    gConfigs.emplace(handle, PendingConfiguration{});
    *config = reinterpret_cast<CGDisplayConfigRef>(handle);
    return kCGErrorSuccess;
}

CGError CGConfigureDisplayWithDisplayMode(CGDisplayConfigRef config, CGDirectDisplayID display,
                                          const CGDisplayModeRef& mode, const cf::Value*) {
    std::lock_guard lock(gConfigMutex);
    auto it = gConfigs.find(handleOf(config));
    if (it == gConfigs.end() || !mode) return kCGErrorIllegalArgument;
    it->second.modes[display] = mode;
    return kCGErrorSuccess;
}

CGError CGConfigureDisplayMirrorOfDisplay(CGDisplayConfigRef config, CGDirectDisplayID display,
                                          CGDirectDisplayID master) {
    std::lock_guard lock(gConfigMutex);
    auto it = gConfigs.find(handleOf(config));
    if (it == gConfigs.end() || display == master) return kCGErrorIllegalArgument;
    it->second.mirrors[display] = master;
    return kCGErrorSuccess;
}

CGError CGCancelDisplayConfiguration(CGDisplayConfigRef config) {
    std::lock_guard lock(gConfigMutex);
    return gConfigs.erase(handleOf(config)) ? kCGErrorSuccess : kCGErrorIllegalArgument;
}

CGError CGCompleteDisplayConfiguration(CGDisplayConfigRef config, CGConfigureOption option) {
    PendingConfiguration pending;
    {
        std::lock_guard lock(gConfigMutex);
        auto it = gConfigs.find(handleOf(config));
        if (it == gConfigs.end()) return kCGErrorIllegalArgument;
        pending = std::move(it->second);
        gConfigs.erase(it);
    }
    if (option > kCGConfigurePermanently) return kCGErrorIllegalArgument;
    cf::Array modes, mirrors;
    for (auto& [display, mode] : pending.modes)
        modes.push_back(cf::Dictionary{{"display", display},
                                       {"modeDisplay", mode->display},
                                       {"ioMode", mode->ioDisplayModeID},
                                       {"resolution", mode->resolution},
                                       {"width", mode->width},
                                       {"height", mode->height}});
    for (auto& [display, master] : pending.mirrors)
        mirrors.push_back(cf::Dictionary{{"display", display}, {"master", master}});
    return wsStatus(windowserver::op::configure, cf::Dictionary{{"option", option},
                                                                {"modes", cf::Value(std::move(modes))},
                                                                {"mirrors", cf::Value(std::move(mirrors))}});
}

} // namespace cg
