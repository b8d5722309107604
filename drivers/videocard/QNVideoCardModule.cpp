// The module record of the video-card kext and its driver-wide globals.
#include "platform/kernel/ModuleInfo.h"
#include "platform/kernel/OSSymbol.h"

namespace drivers {

using namespace kernel;

const OSSymbol* gIODVCHeadDefaultName = nullptr;

// Lives from load to unload.
class IOProxyVideoCardGlobals {
public:
    IOProxyVideoCardGlobals() { gIODVCHeadDefaultName = OSSymbol::withCString("ProxyVideoHead"); }
    ~IOProxyVideoCardGlobals() {
        if (gIODVCHeadDefaultName) gIODVCHeadDefaultName->release();
        gIODVCHeadDefaultName = nullptr;
    }
};

static IOProxyVideoCardGlobals gIOProxyVideoCardGlobals;

} // namespace drivers

KMOD_EXPLICIT_DECL("com.quenby.driver.QNVideoCard", "1.3.0", nullptr, nullptr);
