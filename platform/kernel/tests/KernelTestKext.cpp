// A small kext for the loader's tests: one driver that matches the resources node.
#include "platform/kernel/IOLib.h"
#include "platform/kernel/IOService.h"
#include "platform/kernel/ModuleInfo.h"

namespace kerneltest {

using namespace kernel;

class KernelTestDriver : public IOService {
    OSDeclareDefaultStructors(KernelTestDriver);

public:
    using super = IOService;

    bool start(IOService* provider) override {
        if (!super::start(provider)) return false;
        setProperty("started", true);
        IOLog("KernelTestDriver: started on %s\n", provider->getName().c_str());
        return true;
    }

    void stop(IOService* provider) override {
        IOLog("KernelTestDriver: stopped\n");
        super::stop(provider);
    }
};

OSDefineMetaClassAndStructors(KernelTestDriver, IOService);

kern_return_t moduleStart(kmod_info_t*, void*) {
    IOLog("KernelTestKext: module start\n");
    return KERN_SUCCESS;
}

kern_return_t moduleStop(kmod_info_t*, void*) {
    IOLog("KernelTestKext: module stop\n");
    return KERN_SUCCESS;
}

} // namespace kerneltest

KMOD_EXPLICIT_DECL("com.tessel.test.driver.KernelTestKext", "2.0.1", &kerneltest::moduleStart,
                   &kerneltest::moduleStop);
