#include "platform/kernel/IOPlatformExpertDevice.h"

namespace kernel {

OSDefineMetaClassAndStructors(IOPlatformExpertDevice, IOService);

IOPlatformExpertDevice* IOPlatformExpertDevice::withModel(const std::string& model,
                                                          const std::string& serialNumber) {
    auto* device = new IOPlatformExpertDevice;
    if (!device->init(nullptr)) {
        device->release();
        return nullptr;
    }
    device->setName(model);
    device->setProperty("IOPlatformSerialNumber", serialNumber.c_str());
    return device;
}

} // namespace kernel
