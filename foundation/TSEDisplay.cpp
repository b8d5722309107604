#include "foundation/TSEDisplay.h"

#include "foundation/QNBRegistryExplorer.h"
#include "foundation/SystemVersion.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGDisplayConfiguration.h"
#include "platform/coregraphics/CGSPrivate.h"

#include <array>
#include <atomic>
#include <cstdio>

namespace foundation {

namespace {

constexpr int8_t kMuxCapabilityUnknown = 127;
constexpr uint32_t kAliasCountUnknown = 0xFFFFFFFF;
constexpr uint32_t kMaxDisplays = 32;
constexpr uint64_t kAGCOutputPreset = 0x0BADBABE;

std::atomic<int8_t> sMuxCapabilityValue{kMuxCapabilityUnknown};
std::atomic<uint32_t> sAliasedDisplayCount{kAliasCountUnknown};

AGCConnection gAGC;

enum AGCSelector : uint32_t {
    kAGCOpen = 0,
    kAGCClose = 1,
    kAGCSetMuxState = 2,
    kAGCGetState = 3,
    kAGCSetExclusive = 4
};

bool callScalar(const AGCConnection& agc, uint32_t selector, std::initializer_list<uint64_t> inputs,
                uint64_t* output = nullptr) {
    const std::vector<uint64_t> scalars(inputs);
    uint32_t outputCount = output ? 1 : 0;
    return iokit::IOConnectCallScalarMethod(agc.connection, selector, scalars.data(),
                                            uint32_t(scalars.size()), output,
                                            output ? &outputCount : nullptr) == iokit::kIOReturnSuccess;
}

// Attaches, opens, switches when the multiplexer can, closes. The service handle is released
// with the connection: nothing is left open between switches.
void switchMux(uint64_t a, uint64_t b, uint64_t c, bool logSwitchFailure) {
    iokit::mach_port_t masterPort = 0;
    if (iokit::IOMasterPort(0, &masterPort) != iokit::kIOReturnSuccess) {
        platform::log("setCurrentXMuxGPU: IOMasterPort() failed");
        return;
    }
    if (!AGCAttach(masterPort, &gAGC, nullptr, nullptr, nullptr)) {
        platform::log("setCurrentXMuxGPU: AGCAttach() failed");
        return;
    }
    const auto detach = [] {
        iokit::IOServiceClose(gAGC.connection);
        iokit::IOObjectRelease(gAGC.service);
        gAGC = {};
    };
    if (!AGCOpen(gAGC)) {
        detach();
        platform::log("setCurrentXMuxGPU: AGCOpen() failed");
        return;
    }
    if (AGCHasFeature(gAGC, 2) && !AGCSetMuxState(gAGC, a, b, c) && logSwitchFailure)
        platform::log("setCurrentXMuxGPU: AGCSetMuxState() failed");
    AGCClose(gAGC);
    detach();
}

} // namespace

int32_t turnOffDisplayMirroringForSession(uint32_t configureOption) {
    cg::CGDisplayConfigRef config = nullptr;
    if (cg::CGError error = cg::CGBeginDisplayConfiguration(&config); error != cg::kCGErrorSuccess)
        return error;
    cg::CGConfigureDisplayMirrorOfDisplay(config, cg::CGMainDisplayID(), cg::kCGNullDirectDisplay);
    return cg::CGCompleteDisplayConfiguration(config, configureOption);
}

// With no online display there is nothing to count: the answer is NO, and the next call asks
// again.
bool computerHasXMuxGPUCapability() {
    const int8_t cached = sMuxCapabilityValue.load();
    if (cached != kMuxCapabilityUnknown) return cached == 1;
    if (sAliasedDisplayCount.load() == kAliasCountUnknown) {
        std::array<cg::CGDirectDisplayID, kMaxDisplays> displays{};
        uint32_t count = 0;
        if (cg::CGGetOnlineDisplayList(kMaxDisplays, displays.data(), &count) != cg::kCGErrorSuccess ||
            count == 0)
            return false;
        std::array<cg::CGDirectDisplayID, kMaxDisplays> aliases{};
        uint32_t aliasCount = 0;
        if (cg::CGSGetDisplayAliasList(displays[0], kMaxDisplays, aliases.data(), &aliasCount) !=
            cg::kCGErrorSuccess)
            return false;
        sAliasedDisplayCount.store(aliasCount);
    }
    const bool capable = sAliasedDisplayCount.load() > 1;
    sMuxCapabilityValue.store(capable ? 1 : 0);
    return capable;
}

void resetXMuxGPUCapabilityCache() {
    sMuxCapabilityValue.store(kMuxCapabilityUnknown);
    sAliasedDisplayCount.store(kAliasCountUnknown);
}

bool computerHasXMuxGPUFreezeIssues() {
    QNBRegistryExplorer& explorer = QNBRegistryExplorer::sharedExplorer();
    explorer.setCurrentPlane("IOService");
    explorer.buildFullRegistryDictionary();
    const std::optional<std::string> model = QNBRegistryExplorer::computerModel();
    if (model != "MacBookPro6,1" && model != "MacBookPro6,2") return false;
    return BCDSystemVersionFunction() < 0x0A0605;
}

void setCurrentXMuxGPU(uint32_t gpu) {
    switchMux(1, 4, gpu, true);
}

void TSEForceSwitch() {
    switchMux(1, 2, 0, false);
}

void TSEUseHighPowerVideo() {}

void TSEUseLowPowerVideo() {}

// Failures go to standard output, as the tools that use this print them.
bool AGCAttach(iokit::mach_port_t masterPort, AGCConnection* agc, void* notificationPort,
               AGCInterestCallback callback, void* refcon) {
    // Interest notifications are declared for callers that want them, but the stand-in kernel
    // carries no general-interest notifications, so nothing is registered for them.
    (void)notificationPort, (void)callback, (void)refcon;
    if (!agc) return false;
    std::optional<cf::Value> matching = iokit::IOServiceMatching("AppleGraphicsControl");
    if (!matching) {
        std::printf("IOServiceMatching returned a NULL dictionary.\n");
        std::fflush(stdout);
        return false;
    }
    iokit::io_iterator_t iterator = 0;
    if (iokit::kern_return_t result = iokit::IOServiceGetMatchingServices(masterPort, matching, &iterator);
        result != iokit::kIOReturnSuccess) {
        std::printf("IOServiceGetMatchingServices returned %d\n\n", int(result));
        std::fflush(stdout);
        return false;
    }
    agc->service = iokit::IOIteratorNext(iterator);
    iokit::IOObjectRelease(iterator);
    if (agc->service == 0) {
        std::printf("Couldn't find any matches.\n");
        std::fflush(stdout);
        return false;
    }
    if (iokit::IOServiceOpen(agc->service, iokit::mach_task_self(), 0, &agc->connection) !=
        iokit::kIOReturnSuccess) {
        iokit::IOObjectRelease(agc->service);
        *agc = {};
        return false;
    }
    return true;
}

bool AGCOpen(const AGCConnection& agc) {
    return callScalar(agc, kAGCOpen, {});
}

bool AGCClose(const AGCConnection& agc) {
    return callScalar(agc, kAGCClose, {});
}

bool AGCSetMuxState(const AGCConnection& agc, uint64_t a, uint64_t b, uint64_t c) {
    return callScalar(agc, kAGCSetMuxState, {a, b, c});
}

bool AGCHasFeature(const AGCConnection& agc, uint32_t feature) {
    uint64_t output = kAGCOutputPreset;
    return callScalar(agc, kAGCGetState, {1, 0}, &output) && feature < 64 && ((output >> feature) & 1);
}

bool AGCGetMuxState(const AGCConnection& agc, uint64_t a, uint64_t b, uint64_t* result) {
    uint64_t output = kAGCOutputPreset;
    const bool succeeded = callScalar(agc, kAGCGetState, {a, b}, &output);
    if (result) *result = succeeded ? output : 0;
    return succeeded;
}

bool AGCSetExclusive(const AGCConnection& agc, bool exclusive) {
    return callScalar(agc, kAGCSetExclusive, {exclusive ? 1u : 0u});
}

} // namespace foundation
