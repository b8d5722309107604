// A kext that only depends on another, for the loader's ordering tests.
#include "platform/kernel/IOLib.h"
#include "platform/kernel/ModuleInfo.h"

namespace {

kernel::kern_return_t moduleStart(kernel::kmod_info_t*, void*) {
    kernel::IOLog("KernelTestDependentKext: module start\n");
    return kernel::KERN_SUCCESS;
}

} // namespace

KMOD_EXPLICIT_DECL("com.tessel.test.driver.KernelTestDependentKext", "1.0.0", &moduleStart, nullptr);
