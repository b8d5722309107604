#include "drivers/videocard/QNExDisplay.h"

namespace drivers {

OSDefineMetaClassAndStructors(QNExDisplay, IOService);

bool QNExDisplay::init(OSDictionary* dictionary, unsigned int index) {
    bool initialised = super::init(dictionary);
    setName("Quenby Virtual Display");
    setProperty("compatible", "QNVirtualDisplay");
    setProperty("displayNum", static_cast<uint64_t>(index), 16);
    return initialised;
}

} // namespace drivers
