#include "drivers/videocard/QNExVideo.h"

#include "drivers/videocard/QNExDisplay.h"
#include "drivers/videocard/QNExPowerStates.h"
#include "platform/kernel/IOLib.h"
#include "platform/kernel/IOWorkLoop.h"
#include "platform/kernel/OSArray.h"
#include "platform/kernel/OSDictionary.h"
#include "platform/kernel/OSString.h"

#include <cstdio>
#include <cstring>

namespace drivers {

OSDefineMetaClassAndStructors(QNExVideo, IOService);

namespace {

// Marks the work loop as being created by another caller.
void* const kWorkLoopBeingCreated = reinterpret_cast<void*>(uintptr_t(1));

} // namespace

bool QNExVideo::start(IOService* provider) {
    if (!super::start(provider)) return false;
    PMinit();
    if (provider) provider->joinPMtree(this);
    registerPowerDriver(this, kQNExPowerStates, kQNExPowerStateCount);
    temporaryPowerClampOn();
    changePowerStateTo(kQNExPowerStateUsable);
    setName("QNExGFX");
    for (uint32_t index = 0; index < kQNExDisplayCount; ++index)
        publishDisplay(index);
    registerService();
    return true;
}

// A nub that cannot be initialised or attached is left out; the others are published.
void QNExVideo::publishDisplay(uint32_t index) {
    OSDictionary* dictionary = OSDictionary::withCapacity(1);
    auto* nub = new QNExDisplay;
    bool published = nub->init(dictionary, index) && nub->attach(this);
    dictionary->release();
    if (published) {
        char location[16];
        std::snprintf(location, sizeof location, "%X", index);
        nub->setLocation(location);
        nub->registerService();
    } else {
        IOLog("QNExVideo: display %u left out\n", index);
    }
    nub->release(); // an attached nub is kept by the registry
}

void QNExVideo::stop(IOService* provider) {
    PMstop();
    super::stop(provider);
}

bool QNExVideo::isCompatible(IOService* service, const char*) {
    char model[50] = {};
    if (!PEGetModelName(model, sizeof model) || model[0] == '\0' || version_major < 11 || !service)
        return true;
    auto* models = OSDynamicCast(OSArray, service->getProperty("incompatibleModels"));
    if (!models) return true;
    for (unsigned i = 0; i < models->getCount(); ++i) {
        auto* listed = OSDynamicCast(OSString, models->getObject(i));
        if (listed && listed->isEqualTo(model)) return false;
    }
    return true;
}

IOWorkLoop* QNExVideo::getWorkLoop() {
    for (;;) {
        void* current = __atomic_load_n(&m_workLoop, __ATOMIC_ACQUIRE);
        if (current && current != kWorkLoopBeingCreated) return static_cast<IOWorkLoop*>(current);
        if (!current && OSCompareAndSwapPtr(nullptr, kWorkLoopBeingCreated, &m_workLoop)) {
            IOWorkLoop* loop = IOWorkLoop::workLoop();
            __atomic_store_n(&m_workLoop, static_cast<void*>(loop), __ATOMIC_RELEASE);
            return loop;
        }
        processorYield();
    }
}

void QNExVideo::free() {
    void* loop = __atomic_exchange_n(&m_workLoop, nullptr, __ATOMIC_ACQ_REL);
    if (loop && loop != kWorkLoopBeingCreated) static_cast<IOWorkLoop*>(loop)->release();
    super::free();
}

} // namespace drivers
